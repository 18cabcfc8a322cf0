// Read-only handles: they serve what a writer's open would serve (log records
// replayed in memory), change no byte of any file and create none, refuse
// every write, and follow a writer that appends, deletes and compacts.
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "check.hpp"
#include "temp_dir.hpp"
#include "engine/database.hpp"
#include "engine/query/metadata_scan.hpp"
#include "engine/util/text.hpp"

using namespace orbisk;

namespace {

// Every file of the directory with its bytes.
std::map<std::string, std::string> snapshot(const std::string& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        std::ifstream f(e.path(), std::ios::binary);
        std::ostringstream s;
        s << f.rdbuf();
        out[e.path().filename().string()] = s.str();
    }
    return out;
}

// (slot, lat, lon, text) of every point a handle serves.
std::set<std::tuple<std::uint64_t, double, double, std::string>> points_of(Database& db) {
    std::set<std::tuple<std::uint64_t, double, double, std::string>> out;
    auto r = db.metadata_scan(FilterExpr(), kNoLimit);
    if (!r) return out;
    for (const PointRecord& p : *r) out.emplace(p.slot, p.lat, p.lon, metadata_to_json_text(p.metadata));
    return out;
}

}  // namespace

TEST_CASE("read-only: unreplayed log records are served from memory, and no byte of the store changes") {
    TempDir dir;
    const std::string path = dir.path + "/geo.db";
    {
        auto w = Database::open(path, 4, 1000000);
        REQUIRE(w.has_value());
        PointBatch batch;
        for (int i = 0; i < 50; ++i) batch.add(i * 0.5, i * -1.5, cat("{\"i\":", i, "}"));
        REQUIRE((*w)->insert_batch(batch).has_value());
        // Logged, not checkpointed, and beyond the files' first capacity.
        for (int i = 50; i < 70; ++i) REQUIRE((*w)->insert(i * 0.5, 1.0, cat("{\"i\":", i, "}")).has_value());
        REQUIRE((*w)->delete_by_metadata(FilterExpr::compare("i", CompareOp::Eq, std::uint64_t{7})).has_value());
        REQUIRE((*w)->insert(-1.0, -2.0, "{\"last\":true}").has_value());
    }
    // A torn record at the end of the log stays in the file.
    { std::ofstream(path.substr(0, path.size() - 2) + "wal", std::ios::app | std::ios::binary) << "OWR2\x05"; }
    const auto before = snapshot(dir.path);
    auto r = Database::open_read_only(path);
    REQUIRE(r.has_value());
    const auto served = points_of(**r);
    CHECK_EQ(served.size(), std::size_t{70});
    auto box = (*r)->spatial_query(GeoBox{-90, -180, 90, 180}, nullptr);
    REQUIRE(box.has_value());
    CHECK_EQ(box->size(), std::size_t{70});
    // Every write is refused, and nothing was written by any of it.
    CHECK(!(*r)->insert(1.0, 1.0, "{}") && (*r)->insert(1.0, 1.0, "{}").error().kind == ErrorKind::ReadOnly);
    CHECK(!(*r)->insert_batch(PointBatch()));
    CHECK(!(*r)->delete_by_metadata(FilterExpr()));
    CHECK(!(*r)->compact());
    CHECK(!(*r)->flush());
    CHECK(!(*r)->verify_integrity(true));
    CHECK(snapshot(dir.path) == before);
    r->reset();
    CHECK(snapshot(dir.path) == before);
    // A writer's open serves the same points.
    auto w = Database::open(path, 4, 0);
    REQUIRE(w.has_value());
    CHECK(points_of(**w) == served);
}

TEST_CASE("read-only: a missing store or lock file creates nothing") {
    TempDir dir;
    auto none = Database::open_read_only(dir.path + "/absent.db");
    REQUIRE(!none.has_value());
    CHECK_EQ(none.error().code, ENOENT);
    CHECK(snapshot(dir.path).empty());
    const std::string path = dir.path + "/geo.db";
    {
        auto w = Database::open(path, 4, 0);
        REQUIRE(w.has_value());
        REQUIRE((*w)->insert(1.0, 2.0, "{\"a\":1}").has_value());
        REQUIRE((*w)->flush().has_value());
    }
    std::filesystem::remove(dir.path + "/geo.lock");
    std::filesystem::remove(dir.path + "/geo.wal");
    const auto before = snapshot(dir.path);
    auto r = Database::open_read_only(path);
    REQUIRE(r.has_value());
    CHECK_EQ(points_of(**r).size(), std::size_t{1});
    CHECK(snapshot(dir.path) == before);
}

TEST_CASE("read-only: a reader follows a writer through appends, deletes, checkpoints and compactions") {
    TempDir dir;
    const std::string path = dir.path + "/geo.db";
    auto w = Database::open(path, 4, 1000000);
    REQUIRE(w.has_value());
    REQUIRE((*w)->insert(0.0, 0.0, "{\"n\":0}").has_value());
    auto r = Database::open_read_only(path);
    REQUIRE(r.has_value());
    std::uint64_t n = 1;
    for (int round = 0; round < 12; ++round) {
        switch (round % 4) {
            case 0:
                for (int k = 0; k < 30; ++k, ++n) REQUIRE((*w)->insert(double(n % 80), 1.0, cat("{\"n\":", n, "}")));
                break;
            case 1: {
                PointBatch batch;
                for (int k = 0; k < 3000; ++k, ++n) batch.add(-double(n % 80), 2.0, cat("{\"n\":", n, "}"));
                REQUIRE((*w)->insert_batch(batch).has_value());
                break;
            }
            case 2:
                REQUIRE((*w)->delete_by_metadata(FilterExpr::compare("n", CompareOp::Lt, n / 3)).has_value());
                break;
            default:
                REQUIRE((*w)->compact().has_value());
        }
        CHECK(points_of(**r) == points_of(**w));
        auto rs = (*r)->slot_stats();
        auto ws = (*w)->slot_stats();
        REQUIRE(rs.has_value() && ws.has_value());
        CHECK(*rs == *ws);
    }
}
