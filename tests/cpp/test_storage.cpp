// Engine behaviour that Python cannot reach yet: deletes and reads of single
// records, the entry-length limit, the grid rebuild rule, the grid after a
// batch that fails part way, and the grid across deletes and compaction.
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>

#include "check.hpp"
#include "temp_dir.hpp"
#include "engine/util/crc.hpp"
#include "engine/database.hpp"
#include "engine/util/format.hpp"
#include "engine/storage/manifest.hpp"
#include "engine/storage/storage.hpp"

using namespace orbisk;

namespace {

std::unique_ptr<Storage> open_store(const TempDir& dir, std::uint64_t capacity = 16) {
    auto st =
        Storage::open(OpenOptions{dir.path + "/geo.coords.mmap", dir.path + "/geo.metadata.mmap", capacity, 0, false});
    REQUIRE(st.has_value());
    return std::move(*st);
}

std::uint64_t add(Storage& s, double lat, double lon, std::string_view text) {
    auto r = s.insert_point(PendingPoint{lat, lon, text});
    REQUIRE(r.has_value());
    return *r;
}

}  // namespace

TEST_CASE("tombstones count each live slot once and read back as absent") {
    TempDir dir;
    auto s = open_store(dir);
    for (int i = 0; i < 5; ++i) add(*s, i, -i, "{\"i\":" + std::to_string(i) + "}");
    const std::uint64_t ids[] = {3, 3, 99, 1};
    auto n = s->delete_slots(ids);
    REQUIRE(n.has_value());
    CHECK_EQ(*n, 2u);
    CHECK_EQ(s->next_slot(), 5u);
    CHECK_EQ(s->live_count(), 3u);
    CHECK(!s->records().read_live_record(3));
    CHECK(!s->records().read_live_record(5));
    auto rec = s->records().read_live_record(4);
    REQUIRE(rec.has_value());
    CHECK_EQ(rec->lat, 4.0);
    CHECK_EQ(rec->lon, -4.0);
    CHECK(rec->metadata.find("i") && *rec->metadata.find("i") == MetadataValue(std::uint64_t{4}));
    const std::uint8_t* r3 = s->records().coords().data() + 64 + 16 * 3;
    CHECK_EQ(load_u64(r3), kTombstoneBits);
    CHECK_EQ(load_u64(r3 + 8), kTombstoneBits);

    // The delete committed: the manifest's CRC covers the region with the NaNs in it.
    auto m = read_manifest(s->manifest_path());
    REQUIRE(m.has_value() && m->has_value());
    CHECK_EQ((*m)->coords_crc, crc32(s->records().coords().data() + 64, 16 * 5));
    CHECK_EQ((*m)->next_slot, 5u);

    // Reopening keeps them deleted.
    s.reset();
    auto again = open_store(dir);
    CHECK_EQ(again->live_count(), 3u);
    CHECK(!again->records().read_live_record(1));
    const auto live = again->records().collect_live_points();
    REQUIRE(live.size() == 3);
    CHECK_EQ(live[0].slot, 0u);
    CHECK_EQ(live[2].slot, 4u);
}

TEST_CASE("a metadata text of 2^32 bytes is refused before it is logged") {
    TempDir dir;
    auto s = open_store(dir);
    const std::size_t len = std::size_t{1} << 32;
    // Reserved address space only: the length check comes before any byte is read.
    void* mem = ::mmap(nullptr, len, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    REQUIRE(mem != MAP_FAILED);
    const std::string_view huge(static_cast<const char*>(mem), len);
    const std::uint64_t seq = s->wal_seq();
    auto r = s->insert_point(PendingPoint{0, 0, huge});
    CHECK(!r.has_value());
    const PendingPoint batch[] = {{0, 0, "{}"}, {0, 0, huge}};
    auto f = s->write_points(batch);
    REQUIRE(f.has_value());
    CHECK(!f->kept);
    CHECK_EQ(f->error.message, entry_too_long_message(len));
    CHECK_EQ(s->wal_seq(), seq);
    CHECK_EQ(s->next_slot(), 0u);
    CHECK_EQ(std::filesystem::file_size(s->wal_path()), 0u);
    ::munmap(mem, len);
}

TEST_CASE("the grid is rebuilt when the store has grown fourfold since the last build") {
    TempDir dir;
    auto db = Database::open(dir.path + "/geo.db", 100, 1000000);
    REQUIRE(db.has_value());
    Database& d = **db;
    auto insert_until = [&](std::uint64_t n) {
        while (*d.live_count() < n) REQUIRE(d.insert(std::fmod(*d.live_count() * 0.37, 80.0), 10.0, "{}"));
    };
    insert_until(2047);
    REQUIRE(d.maybe_rebuild_grid());
    CHECK_EQ(d.build_count(), 0u);
    insert_until(2048);
    REQUIRE(d.maybe_rebuild_grid());
    CHECK_EQ(d.build_count(), 2048u);
    insert_until(8191);
    REQUIRE(d.maybe_rebuild_grid());
    CHECK_EQ(d.build_count(), 2048u);
    insert_until(8192);
    REQUIRE(d.maybe_rebuild_grid());
    CHECK_EQ(d.build_count(), 8192u);
    CHECK_EQ(d.grid_candidates(-90, -180, 90, 180).size(), 8192u);
}

TEST_CASE("a first batch builds the grid only when it holds more than 1000 points") {
    TempDir dir;
    PointBatch pts;
    for (int i = 0; i < 1000; ++i) pts.add(1.0, 2.0, "{}");
    auto a = Database::open(dir.path + "/a.db", 10, 0);
    REQUIRE(a.has_value());
    REQUIRE((*a)->insert_batch(pts));
    CHECK_EQ((*a)->build_count(), 0u);
    pts.add(3.0, 4.0, "{}");
    auto b = Database::open(dir.path + "/b.db", 10, 0);
    REQUIRE(b.has_value());
    REQUIRE((*b)->insert_batch(pts));
    CHECK_EQ((*b)->build_count(), 1001u);
    CHECK_EQ((*b)->grid_cell_size(), 2.0 / std::sqrt(1001 / 256.0));
    // Reopening bulk-loads the grid from the stored points.
    b->reset();
    auto c = Database::open(dir.path + "/b.db", 10, 0);
    REQUIRE(c.has_value());
    CHECK_EQ((*c)->build_count(), 1001u);
    CHECK_EQ((*c)->grid_candidates(-90, -180, 90, 180).size(), 1001u);
}

TEST_CASE("a batch that fails part way serves exactly its committed chunks from the grid") {
    TempDir dir;
    auto db = Database::open(dir.path + "/geo.db", 10, 0);
    REQUIRE(db.has_value());
    // The first chunk fits; the second cannot grow the metadata file.
    PointBatch pts;
    MetadataMap small, big;
    small.insert_or_assign("k", std::string(40, 'v'));
    big.insert_or_assign("k", std::string(400, 'w'));
    for (int i = 0; i < 100000; ++i) pts.add(10.0, 20.0, metadata_to_json_text(small));
    for (int i = 0; i < 20000; ++i) pts.add(-10.0, -20.0, metadata_to_json_text(big));
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved;
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit lim = saved;
    lim.rlim_cur = 14'000'000;
    ::setrlimit(RLIMIT_FSIZE, &lim);
    auto r = (*db)->insert_batch(pts);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, old_handler);
    REQUIRE(!r.has_value());
    const auto stats = (*db)->slot_stats();
    REQUIRE(stats.has_value());
    CHECK_EQ(stats->first, 100000u);
    CHECK_EQ((*db)->build_count(), 100000u);
    auto in_box = (*db)->grid_candidates(9, 19, 11, 21);
    CHECK_EQ(in_box.size(), 100000u);
    CHECK(std::ranges::all_of(in_box, [](std::uint64_t s) { return s < 100000; }));
    CHECK((*db)->grid_candidates(-11, -21, -9, -19).empty());
}

TEST_CASE("deletes leave the grid and compaction rebuilds it over the renumbered slots") {
    TempDir dir;
    auto db = Database::open(dir.path + "/geo.db", 10, 0);
    REQUIRE(db.has_value());
    Database& d = **db;
    PointBatch pts;
    for (int i = 0; i < 3000; ++i) {
        MetadataMap m;
        m.insert_or_assign("k", std::uint64_t(i % 3));
        pts.add(-60.0 + i * 0.001, 10.0 + (i % 7) * 0.01, metadata_to_json_text(m));
    }
    REQUIRE(d.insert_batch(pts));
    auto world = [&] {
        auto c = d.grid_candidates(-90, -180, 90, 180);
        std::ranges::sort(c);
        return c;
    };
    auto r = d.delete_by_metadata(FilterExpr::compare("k", CompareOp::Ne, std::uint64_t{1}));
    REQUIRE(r.has_value());
    CHECK_EQ(*r, 2000u);
    auto left = world();
    REQUIRE(left.size() == 1000);
    CHECK(std::ranges::all_of(left, [](std::uint64_t s) { return s % 3 == 1; }));
    CHECK_EQ(d.build_count(), 3000u);

    auto reclaimed = d.compact();
    REQUIRE(reclaimed.has_value());
    CHECK_EQ(*reclaimed, 2000u);
    CHECK_EQ(d.build_count(), 1000u);
    auto dense = world();
    REQUIRE(dense.size() == 1000);
    for (std::uint64_t j = 0; j < 1000; ++j) CHECK_EQ(dense[j], j);
    // The new grid is sized for the survivors, and still finds each by its cell.
    CHECK_EQ(d.grid_cell_size(), ((-60.0 + 2998 * 0.001) - (-60.0 + 1 * 0.001)) / std::sqrt(1000 / 256.0));
    auto near = d.grid_candidates(-60.0 + 1 * 0.001, 10.01, -60.0 + 1 * 0.001, 10.01);
    CHECK(std::ranges::find(near, 0u) != near.end());
    // Nothing to reclaim: the grid stays as built.
    REQUIRE(d.compact().value_or(9) == 0u);
    CHECK_EQ(d.build_count(), 1000u);
}
