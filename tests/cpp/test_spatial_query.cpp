// The spatial query operation's choice of route, which pytest sees only
// through time: the index answer is read instead of the grid's candidates when
// that is estimated to read less; deleted slots that the grid and an index
// still list; and the grid rebuild that opens a query.
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "check.hpp"
#include "temp_dir.hpp"
#include "engine/database.hpp"
#include "engine/query/route_override.hpp"
#include "engine/query/spatial_query.hpp"
#include "engine/storage/storage.hpp"
#include "engine/util/text.hpp"

using namespace orbisk;

namespace {

std::set<std::uint64_t> slots_of(const TextRecords& records) {
    std::set<std::uint64_t> out;
    records.for_each([&](const TextRecords::Record& r) { return out.insert(r.slot).second; });
    return out;
}

FilterExpr eq(const char* value) { return FilterExpr::compare("v", CompareOp::Eq, std::string(value)); }
FilterExpr n_below(std::uint64_t k) { return FilterExpr::compare("n", CompareOp::Lt, k); }

// Restores the routes' choice by cost when a test leaves.
struct Forcing {
    explicit Forcing(ForcedRoute r) { force_route(r); }
    ~Forcing() { force_route(ForcedRoute::None); }
};

}  // namespace

TEST_CASE("spatial query: the route estimated to read less is taken, and both routes agree") {
    TempDir dir;
    auto opened =
        Storage::open(OpenOptions{dir.path + "/geo.coords.mmap", dir.path + "/geo.metadata.mmap", 64, 0, false});
    REQUIRE(opened.has_value());
    Storage& storage = **opened;
    // 20000 points on a lattice: "v" is "a" at 999 of them, "b" at 1000 and
    // "c" at the rest; "n" counts up, so "n" < k holds at k points.
    std::vector<std::string> texts;
    std::vector<PendingPoint> points;
    for (std::uint64_t i = 0; i < 20000; ++i)
        texts.push_back(cat("{\"v\":\"", i < 999 ? "a" : i < 1999 ? "b" : "c", "\",\"n\":", i, "}"));
    for (std::uint64_t i = 0; i < texts.size(); ++i)
        points.push_back({(i % 100) * 0.5 - 25.0, (i / 100) * 0.5 - 50.0, texts[i]});
    REQUIRE(!storage.write_points(points).has_value());
    const GridIndex grid = GridIndex::build(storage.records().collect_live_points());
    MetadataIndexes indexes;

    auto run = [&](const SpatialShape& shape, const FilterExpr& filter) {
        return spatial_query(grid, storage.records(), indexes, shape, &filter);
    };
    const GeoBox globe{-90, -180, 90, 180};
    const GeoBox corner{-25, -50, -24.5, -49.5};  // four points
    const Circle circle(0, 0, 1e8);
    const Polygon polygon({{-60, -30}, {60, -30}, {60, 30}, {-60, 30}});
    const FilterExpr in_a = FilterExpr::compare("v", CompareOp::In, MetadataArray{std::string("a")});
    const FilterExpr nin_bc =
        FilterExpr::compare("v", CompareOp::Nin, MetadataArray{std::string("b"), std::string("c")});
    const FilterExpr a_and_low = FilterExpr::group(FilterExpr::Kind::And, {eq("a"), n_below(500)});

    // The whole lattice with a rare condition: the index answer. Polygons and
    // compound filters take it too.
    CHECK(run(globe, eq("a")).route == SpatialRoute::Index);
    CHECK(run(circle, n_below(999)).route == SpatialRoute::Index);
    CHECK(run(globe, in_a).route == SpatialRoute::Index);
    CHECK(run(globe, nin_bc).route == SpatialRoute::Index);
    CHECK(run(polygon, eq("a")).route == SpatialRoute::Index);
    CHECK(run(globe, a_and_low).route == SpatialRoute::Index);
    // A few points of the grid: the grid, whatever the filter; so without a
    // filter, or with one no index answers.
    CHECK(run(corner, eq("a")).route == SpatialRoute::Grid);
    CHECK(run(corner, n_below(999)).route == SpatialRoute::Grid);
    CHECK(spatial_query(grid, storage.records(), indexes, globe, nullptr).route == SpatialRoute::Grid);
    CHECK(run(globe, FilterExpr::group(FilterExpr::Kind::Not, {eq("c")})).route == SpatialRoute::Grid);

    // Deleted slots stay listed by the grid and the index answers; neither route returns them.
    // (The first slot of a value is confirmed by reading its record, so a deleted one is not
    // listed: slot 0 leaves the answers of "a", and the complement of "b" and "c" stays at 999.)
    std::vector<std::uint64_t> doomed{0, 1, 500, 998, 1000, 1998};
    REQUIRE(storage.delete_slots(doomed).has_value());
    const std::vector<FilterExpr> filters{eq("a"), n_below(999), in_a, nin_bc};
    for (const FilterExpr& f : filters) {
        for (const SpatialShape& shape : {SpatialShape(globe), SpatialShape(circle)}) {
            SpatialAnswer by_index, by_grid;
            {
                Forcing forcing(ForcedRoute::Index);
                by_index = run(shape, f);
            }
            {
                Forcing forcing(ForcedRoute::Scan);
                by_grid = run(shape, f);
            }
            CHECK(by_index.route == SpatialRoute::Index && by_grid.route == SpatialRoute::Grid);
            CHECK_EQ(by_index.records.size(), 995u);
            CHECK(slots_of(by_index.records) == slots_of(by_grid.records));
            CHECK(!slots_of(by_index.records).contains(500));
        }
    }
    // The box and the distance test still apply on the index route.
    Forcing forcing(ForcedRoute::Index);
    CHECK_EQ(run(corner, eq("a")).records.size(), 2u);
    CHECK_EQ(run(Circle(-25, -50, 1.0), n_below(999)).records.size(), 0u);  // slot 0, deleted
    CHECK_EQ(run(Circle(-24, -50, 1.0), n_below(999)).records.size(), 1u);
}

TEST_CASE("spatial query: a store grown to 2048 points from nothing rebuilds its grid first") {
    TempDir dir;
    auto db = Database::open(dir.path + "/geo.db", 100, 1000000);
    REQUIRE(db.has_value());
    Database& d = **db;
    for (int i = 0; i < 2048; ++i) REQUIRE(d.insert(i * 0.01, 0.5, "{}"));
    CHECK_EQ(d.build_count(), 0u);
    const auto rows = d.spatial_query(Circle(10, 0.5, 1.0), nullptr);
    REQUIRE(rows.has_value());
    CHECK_EQ(rows->size(), 1u);
    CHECK_EQ(d.build_count(), 2048u);
}
