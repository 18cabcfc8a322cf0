// Nearest neighbours and ordering by distance, on a store that the test keeps
// a model of: fixed-seed random queries (clusters, the poles, ±180, exact ties,
// filters on the grid and on the index route, largest distances, k beyond the
// store) against a brute-force sort of the model, through deletes, appends and
// a compaction. The store's distance function itself is checked against a
// long-double haversine on every point the queries return.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "temp_dir.hpp"
#include "engine/database.hpp"
#include "engine/query/great_circle.hpp"
#include "engine/query/metadata_scan.hpp"
#include "engine/util/text.hpp"

using namespace orbisk;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr long double kRadL = 3.141592653589793238462643383279502884L / 180.0L;

long double oracle_distance(double lat1, double lon1, double lat2, double lon2) {
    const long double s1 = std::sin((static_cast<long double>(lat2) - lat1) * kRadL / 2);
    const long double s2 = std::sin((static_cast<long double>(lon2) - lon1) * kRadL / 2);
    const long double a = s1 * s1 + std::cos(lat1 * kRadL) * std::cos(lat2 * kRadL) * s2 * s2;
    return 2 * std::atan2(std::sqrt(a), std::sqrt(std::max(0.0L, 1 - a))) * 6371000.0L;
}

struct Pt {
    double lat;
    double lon;
    std::uint64_t n;  // insertion number, never reused
    std::uint64_t g;  // n % 5
    bool rare;        // n % 150 == 0
};

std::string text_of(const Pt& p) {
    return cat("{\"n\":", p.n, ",\"g\":", p.g, ",\"d\":", p.n % 4, p.rare ? ",\"r\":true" : "", "}");
}

using Model = std::map<std::uint64_t, Pt>;  // slot -> point

struct Filter {
    const char* name;
    std::optional<FilterExpr> expr;
    std::function<bool(const Pt&)> holds;
};

FilterExpr cmp(const char* key, CompareOp op, MetadataValue v) { return FilterExpr::compare(key, op, std::move(v)); }

std::vector<Filter> make_filters() {
    using U = std::uint64_t;
    std::vector<Filter> f;
    f.push_back({"none", std::nullopt, [](const Pt&) { return true; }});
    f.push_back({"g = 2", cmp("g", CompareOp::Eq, U{2}), [](const Pt& p) { return p.g == 2; }});
    f.push_back({"rare", cmp("r", CompareOp::Eq, true), [](const Pt& p) { return p.rare; }});
    f.push_back({"n >= 5990", cmp("n", CompareOp::Gte, U{5990}), [](const Pt& p) { return p.n >= 5990; }});
    f.push_back(
        {"g nin [0, 1]", cmp("g", CompareOp::Nin, MetadataArray{U{0}, U{1}}), [](const Pt& p) { return p.g >= 2; }});
    f.push_back({"g in [1, 3] and n < 3000",
                 FilterExpr::group(FilterExpr::Kind::And, {cmp("g", CompareOp::In, MetadataArray{U{1}, U{3}}),
                                                           cmp("n", CompareOp::Lt, U{3000})}),
                 [](const Pt& p) { return (p.g == 1 || p.g == 3) && p.n < 3000; }});
    return f;
}

struct Expected {
    std::uint64_t slot;
    double distance;
};

// Every live point of the model that matches and lies within `most` of the
// origin (by the store's distance), nearest first, ties by slot.
std::vector<Expected> brute_force(const Model& model, double lat, double lon, const Filter& f, double most,
                                  const std::function<bool(const Pt&)>& where = nullptr) {
    const DistanceFrom distance(lat, lon);
    std::vector<Expected> out;
    for (const auto& [slot, p] : model) {
        if (!f.holds(p) || (where && !where(p))) continue;
        const double d = distance(p.lat, p.lon);
        if (d <= most) out.push_back({slot, d});
    }
    std::sort(out.begin(), out.end(), [](const Expected& a, const Expected& b) {
        return a.distance < b.distance || (a.distance == b.distance && a.slot < b.slot);
    });
    return out;
}

int distance_checks = 0;

// The records are exactly `want`, with the model's coordinates; each distance
// is the one a radius query measures and agrees with the long-double oracle.
bool same_records(const DistanceRecords& got, const std::vector<Expected>& want, const Model& model, double lat,
                  double lon) {
    if (got.records.size() != want.size() || got.distances.size() != want.size()) return false;
    std::size_t i = 0;
    bool ok = true;
    got.records.for_each([&](const TextRecords::Record& r) {
        const Pt& p = model.at(want[i].slot);
        const double d = got.distances[i];
        ok = ok && r.slot == want[i].slot && d == want[i].distance && r.lat == p.lat && r.lon == p.lon &&
             r.text == text_of(p);
        // The radius test keeps the point at exactly this distance and not a hair less.
        ok = ok && Circle(lat, lon, d).within_distance(p.lat, p.lon) &&
             !Circle(lat, lon, std::nextafter(d, -kInf)).within_distance(p.lat, p.lon);
        const long double o = oracle_distance(lat, lon, p.lat, p.lon);
        ok = ok && std::fabs(static_cast<long double>(d) - o) <= 1e-9L * o + 1e-3L;
        ++distance_checks;
        ++i;
        return ok;
    });
    return ok;
}

}  // namespace

TEST_CASE("nearest: random queries agree with a brute-force sort, through deletes, appends and a compaction") {
    TempDir dir;
    auto opened = Database::open(dir.path + "/geo.db", 64, 1000000);
    REQUIRE(opened.has_value());
    Database& db = **opened;
    std::mt19937_64 rng(20260612);
    auto uniform = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
    std::normal_distribution<double> gauss(0.0, 1.0);

    Model model;
    std::uint64_t inserted = 0;
    // Some locations the queries aim at.
    const std::vector<std::pair<double, double>> clusters{{48.85, 2.35}, {-33.9, 151.2}, {1.3, 103.8},
                                                          {64.1, -21.9}, {-0.5, 179.8},  {10.0, -179.9}};
    auto add = [&](std::vector<std::pair<double, double>> at) {
        PointBatch batch;
        std::vector<Pt> pts;
        for (auto [lat, lon] : at) {
            const std::uint64_t n = inserted++;
            pts.push_back({lat, lon, n, n % 5, n % 150 == 0});
            batch.add(lat, lon, text_of(pts.back()));
        }
        auto ids = db.insert_batch(batch);
        REQUIRE(ids.has_value());
        for (std::size_t i = 0; i < pts.size(); ++i) model[(*ids)[i]] = pts[i];
    };
    auto some_points = [&](std::size_t count) {
        std::vector<std::pair<double, double>> at;
        for (std::size_t i = 0; i < count; ++i) {
            const double kind = uniform(0, 1);
            if (kind < 0.4) {  // spread over the globe
                at.emplace_back(uniform(-90, 90), uniform(-180, 180));
            } else if (kind < 0.8) {  // clusters, wrapped across ±180
                const auto [clat, clon] = clusters[rng() % clusters.size()];
                double lon = clon + 0.3 * gauss(rng);
                lon = lon > 180 ? lon - 360 : lon < -180 ? lon + 360 : lon;
                at.emplace_back(std::clamp(clat + 0.3 * gauss(rng), -90.0, 90.0), lon);
            } else if (kind < 0.85) {  // at and near the poles
                const double lat = rng() % 2 ? 90.0 : uniform(89.0, 90.0);
                at.emplace_back(rng() % 2 ? lat : -lat, uniform(-180, 180));
            } else if (kind < 0.9) {  // on and near the antimeridian
                const double lon = rng() % 3 ? 180.0 : uniform(179.5, 180.0);
                at.emplace_back(uniform(-60, 60), rng() % 2 ? lon : -lon);
            } else if (kind < 0.95 && !at.empty()) {  // a copy of an earlier point: equal distances
                at.push_back(at[rng() % at.size()]);
            } else {  // mirror pairs about the meridian 0 at a few latitudes: equal distances
                const double lat = std::vector<double>{-45.0, 0.0, 30.0, 70.0}[rng() % 4];
                const double off = uniform(0, 3);
                at.emplace_back(lat + uniform(-2, 2), off);
                at.emplace_back(at.back().first, -off);
            }
        }
        return at;
    };

    const std::vector<Filter> filters = make_filters();
    const std::uint64_t ks[] = {1, 2, 3, 10, 37, 1000};
    std::uint64_t index_routes = 0, grid_queries = 0, grid_examined = 0, grid_live = 0, returned = 0;
    int queries = 0, failures = 0;

    add(some_points(6000));  // a bulk build of the grid
    for (int round = 0; round < 4; ++round) {
        for (int q = 0; q < 120; ++q) {
            double lat, lon;
            const int aim = q % 6;
            if (aim == 0) {
                lat = uniform(-90, 90), lon = uniform(-180, 180);
            } else if (aim == 1) {  // on a stored point
                auto it = model.begin();
                std::advance(it, static_cast<long>(rng() % model.size()));
                lat = it->second.lat, lon = it->second.lon;
            } else if (aim == 2) {  // a pole
                lat = q % 4 == 0 ? 90.0 : -90.0, lon = uniform(-180, 180);
            } else if (aim == 3) {  // the antimeridian
                lat = uniform(-20, 20), lon = q % 4 == 1 ? 180.0 : -180.0;
            } else if (aim == 4) {  // a cluster
                const auto [clat, clon] = clusters[rng() % clusters.size()];
                lat = clat + 0.1 * gauss(rng), lon = std::clamp(clon + 0.1 * gauss(rng), -180.0, 180.0);
            } else {  // the meridian 0, between mirror pairs
                lat = std::vector<double>{-45.0, 0.0, 30.0, 70.0}[rng() % 4], lon = 0.0;
            }
            const Filter& f = filters[static_cast<std::size_t>(q / 6) % filters.size()];
            std::uint64_t k = ks[rng() % std::size(ks)];
            if (q % 17 == 0) k = model.size() + 5;
            double most = kInf;
            if (q % 3 == 1) most = uniform(0, 3e6);
            if (q % 3 == 2) {
                // Exactly the distance of some point: the edge is kept.
                const auto all = brute_force(model, lat, lon, f, kInf);
                if (!all.empty()) most = all[rng() % std::min<std::size_t>(all.size(), 50)].distance;
            }

            NearestStats stats;
            const auto got = db.nearest(NearestQuery{lat, lon, k, most}, f.expr ? &*f.expr : nullptr, &stats);
            REQUIRE(got.has_value());
            auto want = brute_force(model, lat, lon, f, most);
            if (want.size() > k) want.resize(k);
            ++queries;
            returned += want.size();
            if (!same_records(*got, want, model, lat, lon) && ++failures <= 5)
                check::report(__FILE__, __LINE__,
                              cat("round ", round, " query ", q, " filter ", f.name, " k ", k, " got ",
                                  got->records.size(), " want ", want.size()));
            if (stats.index_route) {
                ++index_routes;
            } else if (!f.expr && k <= 10 && std::fabs(lat) < 80) {
                ++grid_queries;
                grid_examined += stats.examined;
                grid_live += model.size();
            }
        }

        // The records of other selections, in distance order.
        const double lat = uniform(-60, 60), lon = uniform(-180, 180);
        for (const Filter& f : filters) {
            if (!f.expr) continue;
            const auto all = db.metadata_scan_by_distance(*f.expr, kNoLimit, lat, lon);
            REQUIRE(all.has_value());
            CHECK(same_records(*all, brute_force(model, lat, lon, f, kInf), model, lat, lon));
            const auto seven = db.metadata_scan_by_distance(*f.expr, 7, lat, lon);
            REQUIRE(seven.has_value());
            auto want = brute_force(model, lat, lon, f, kInf);
            want.resize(std::min<std::size_t>(want.size(), 7));
            CHECK(same_records(*seven, want, model, lat, lon));
        }
        const GeoBox box{lat - 30, lon - 50, lat + 30, lon + 50 > 180 ? lon - 310 : lon + 50};
        const auto in_box = db.spatial_query_by_distance(box, nullptr, lat, lon);
        REQUIRE(in_box.has_value());
        CHECK(same_records(
            *in_box,
            brute_force(model, lat, lon, filters[0], kInf, [&](const Pt& p) { return box.contains(p.lat, p.lon); }),
            model, lat, lon));

        // Deletes, appends (one at a time and in a batch), and after the third round a compaction.
        FilterExpr doomed = cmp("d", CompareOp::Eq, static_cast<std::uint64_t>(round));
        REQUIRE(db.delete_by_metadata(doomed).has_value());
        std::erase_if(model, [&](const auto& e) { return e.second.n % 4 == static_cast<std::uint64_t>(round); });
        for (auto p : some_points(20)) add({p});
        add(some_points(700));
        if (round == 2) {
            REQUIRE(db.compact().has_value());
            Model renumbered;
            std::uint64_t next = 0;
            for (const auto& [slot, p] : model) renumbered[next++] = p;
            model = std::move(renumbered);
        }
    }

    CHECK_EQ(failures, 0);
    CHECK(returned > 20000);
    CHECK(distance_checks > 50000);
    // The rare value and narrow range take the index answers; unfiltered
    // searches for a few points read a small part of the store.
    CHECK(index_routes > 60);
    CHECK(grid_queries > 50);
    CHECK(grid_examined * 10 < grid_live);
}

TEST_CASE("nearest: an empty store, k of 0, and the arguments it refuses") {
    TempDir dir;
    auto opened = Database::open(dir.path + "/geo.db", 64, 1000000);
    REQUIRE(opened.has_value());
    Database& db = **opened;
    auto empty = db.nearest(NearestQuery{0, 0, 10}, nullptr);
    REQUIRE(empty.has_value());
    CHECK(empty->records.empty() && empty->distances.empty());
    REQUIRE(db.insert(1, 1, "{}").has_value());
    CHECK_EQ(db.nearest(NearestQuery{0, 0, 0}, nullptr)->records.size(), 0u);
    CHECK_EQ(db.nearest(NearestQuery{0, 0, ~std::uint64_t{0}}, nullptr)->records.size(), 1u);
    CHECK_EQ(db.nearest(NearestQuery{0, 0, 5, 0.0}, nullptr)->records.size(), 0u);
    CHECK_EQ(db.nearest(NearestQuery{1, 1, 5, 0.0}, nullptr)->records.size(), 1u);

    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Row {
        NearestQuery query;
        const char* message;
    };
    const Row rows[] = {
        {{nan, 0, 1}, "distance origin is not finite (lat=NaN, lon=0)"},
        {{0, -kInf, 1}, "distance origin is not finite (lat=0, lon=-inf)"},
        {{90.5, 0, 1}, "distance origin out of range (lat=90.5 must be in [-90,90], lon=0 in [-180,180])"},
        {{0, -180.25, 1}, "distance origin out of range (lat=0 must be in [-90,90], lon=-180.25 in [-180,180])"},
        {{0, 0, 1, -1.5}, "max_distance_m must be a non-negative number, got -1.5"},
        {{0, 0, 1, nan}, "max_distance_m must be a non-negative number, got nan"},
    };
    for (const Row& r : rows) {
        const auto got = db.nearest(r.query, nullptr);
        CHECK(!got.has_value() && got.error().kind == ErrorKind::InvalidData);
        if (!got.has_value()) CHECK_EQ(got.error().message, std::string(r.message));
    }
    const auto sorted = db.metadata_scan_by_distance(FilterExpr::group(FilterExpr::Kind::And, {}), kNoLimit, 91, 0);
    CHECK(!sorted.has_value());
}

TEST_CASE("nearest: crowds far denser than a grid cell, across cell borders, ±180 and a pole, with inserts") {
    TempDir dir;
    auto opened = Database::open(dir.path + "/geo.db", 64, 1000000);
    REQUIRE(opened.has_value());
    std::shared_ptr<Database> handle = *opened;
    std::mt19937_64 rng(20261209);
    auto uniform = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
    std::normal_distribution<double> gauss(0.0, 1.0);

    // With points over the whole globe the grid's cells are 10 degrees wide,
    // their borders on multiples of 10: the crowds sit inside a cell, on a
    // corner of four, on the antimeridian, and at the north pole.
    struct Crowd {
        double lat, lon;
    };
    const std::vector<Crowd> crowds{{45.3, 7.7}, {10.0, 20.0}, {-20.0, 180.0}, {89.9995, 60.0}};
    Model model;
    std::uint64_t inserted = 0;
    auto make = [&](double lat, double lon) {
        const std::uint64_t n = inserted++;
        return Pt{lat, lon, n, n % 5, n % 150 == 0};
    };
    auto wrap = [](double lon) { return lon > 180 ? lon - 360 : lon < -180 ? lon + 360 : lon; };
    // Points of one crowd, on a lattice of 1e-6 degrees (so that some share
    // their place), some copies, and pairs mirrored about the crowd's meridian
    // (equal distances from any point on it).
    auto crowd_points = [&](std::size_t count) {
        std::vector<std::pair<double, double>> at;
        while (at.size() < count) {
            const Crowd& c = crowds[rng() % crowds.size()];
            const double spread = std::vector<double>{0.00005, 0.0005, 0.01, 0.3}[rng() % 4];
            const double lat = std::clamp(std::round((c.lat + spread * gauss(rng)) * 1e6) / 1e6, -90.0, 90.0);
            const double kind = uniform(0, 1);
            if (kind < 0.1 && !at.empty()) {
                at.push_back(at[rng() % at.size()]);
            } else if (kind < 0.25) {
                const double off = std::fabs(spread * gauss(rng));
                at.emplace_back(lat, wrap(c.lon + off));
                at.emplace_back(lat, wrap(c.lon - off));
            } else {
                at.emplace_back(lat, wrap(std::round((c.lon + spread * gauss(rng)) * 1e6) / 1e6));
            }
        }
        return at;
    };
    auto add_batch = [&](const std::vector<std::pair<double, double>>& at) {
        PointBatch batch;
        std::vector<Pt> pts;
        for (auto [lat, lon] : at) {
            pts.push_back(make(lat, lon));
            batch.add(lat, lon, text_of(pts.back()));
        }
        auto ids = handle->insert_batch(batch);
        REQUIRE(ids.has_value());
        for (std::size_t i = 0; i < pts.size(); ++i) model[(*ids)[i]] = pts[i];
    };

    std::vector<std::pair<double, double>> first;
    for (int i = 0; i < 300; ++i) first.emplace_back(uniform(-90, 90), uniform(-180, 180));
    for (auto p : crowd_points(2300)) first.push_back(p);
    add_batch(first);  // the first query builds the grid over these

    const std::vector<Filter> filters = make_filters();
    const std::uint64_t ks[] = {1, 3, 10, 64, 500};
    int queries = 0, failures = 0;
    std::uint64_t crowd_queries = 0, crowd_examined = 0;
    auto run_queries = [&](int count, const char* stage) {
        for (int q = 0; q < count; ++q) {
            const Crowd& c = crowds[rng() % crowds.size()];
            double lat = c.lat, lon = c.lon;
            const int aim = q % 5;
            if (aim == 1) {  // near the crowd's middle
                lat = std::clamp(c.lat + 0.002 * gauss(rng), -90.0, 90.0), lon = wrap(c.lon + 0.002 * gauss(rng));
            } else if (aim == 2) {  // on a stored point
                auto it = model.begin();
                std::advance(it, static_cast<long>(rng() % model.size()));
                lat = it->second.lat, lon = it->second.lon;
            } else if (aim == 3) {  // on the crowd's meridian, between mirrored pairs
                lat = std::clamp(c.lat + 0.01 * gauss(rng), -90.0, 90.0);
            } else if (aim == 4) {  // anywhere: the nearest may be far away
                lat = uniform(-90, 90), lon = uniform(-180, 180);
            }
            if (lon == 180.0 && q % 2) lon = -180.0;
            const Filter& f = q % 4 == 0 ? filters[static_cast<std::size_t>(q / 4) % filters.size()] : filters[0];
            // Now and then every point, nearest first: the bounds of far cells decide the order.
            const std::uint64_t k = q % 23 == 4 ? model.size() + 1 : ks[rng() % std::size(ks)];
            double most = kInf;
            if (q % 7 == 3) {
                // Exactly the distance of some point: the edge is kept.
                const auto all = brute_force(model, lat, lon, f, kInf);
                if (!all.empty()) most = all[rng() % std::min<std::size_t>(all.size(), 40)].distance;
            }
            NearestStats stats;
            const auto got = handle->nearest(NearestQuery{lat, lon, k, most}, f.expr ? &*f.expr : nullptr, &stats);
            REQUIRE(got.has_value());
            auto want = brute_force(model, lat, lon, f, most);
            if (want.size() > k) want.resize(k);
            ++queries;
            if (!same_records(*got, want, model, lat, lon) && ++failures <= 5)
                check::report(__FILE__, __LINE__,
                              cat(stage, " query ", q, " filter ", f.name, " k ", k, " got ", got->records.size(),
                                  " want ", want.size()));
            if (aim <= 1 && !f.expr && k <= 10) {
                ++crowd_queries;
                crowd_examined += stats.examined;
            }
        }
    };

    run_queries(150, "built");
    // Single inserts into the crowded cells: tails, sorted runs, their merges.
    for (auto [lat, lon] : crowd_points(2600)) {
        const Pt p = make(lat, lon);
        auto id = handle->insert(lat, lon, text_of(p));
        REQUIRE(id.has_value());
        model[*id] = p;
        if (inserted % 500 == 0) run_queries(10, "inserting");
    }
    run_queries(100, "inserted");
    add_batch(crowd_points(1200));
    FilterExpr doomed = cmp("d", CompareOp::Eq, std::uint64_t{1});
    REQUIRE(handle->delete_by_metadata(doomed).has_value());
    std::erase_if(model, [&](const auto& e) { return e.second.n % 4 == 1; });
    run_queries(100, "deleted");
    // Reopened, the grid's cells are searched in place in the open cache's
    // mapping, until an insert copies a cell out.
    REQUIRE(handle->flush().has_value());
    handle.reset();
    opened = Database::open(dir.path + "/geo.db", 64, 1000000);
    REQUIRE(opened.has_value());
    handle = *opened;
    run_queries(80, "reopened");
    for (auto [lat, lon] : crowd_points(300)) {
        const Pt p = make(lat, lon);
        auto id = handle->insert(lat, lon, text_of(p));
        REQUIRE(id.has_value());
        model[*id] = p;
    }
    run_queries(80, "reopened and inserted");

    CHECK_EQ(failures, 0);
    CHECK(queries > 500);
    // A search for a few points in a crowd (about 1,500 points in one to four
    // cells) reads a few leaves of the cells' quadtrees, not the cells; a leaf
    // holds every point of its lattice step, and the tightest crowds put dozens
    // in one.
    CHECK(crowd_queries > 50);
    CHECK(crowd_examined < 300 * crowd_queries);
}
