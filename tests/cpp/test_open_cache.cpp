// The grid an open maps from the open cache against the grid a build gives
// from the same points: the same cells, in the same order, with the same
// entries, before and after inserts change the mapped cells.
#include <algorithm>
#include <array>
#include <atomic>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "temp_dir.hpp"
#include "engine/database.hpp"
#include "engine/util/crc.hpp"

using namespace orbisk;

namespace {

std::shared_ptr<Database> open_db(const std::string& path) {
    auto db = Database::open(path, 1000, 0);
    REQUIRE(db.has_value());
    return *db;
}

// Points around a few centres, one of them crowded enough for sorted cells.
PointBatch clustered(std::mt19937_64& rng, std::size_t n, std::size_t first) {
    std::normal_distribution<double> near(0.0, 0.01);
    std::uniform_real_distribution<double> far(-60.0, 60.0);
    PointBatch batch;
    for (std::size_t i = 0; i < n; ++i) {
        const int kind = static_cast<int>(i % 5);
        double lat = kind < 3 ? 48.85 + near(rng) : kind == 3 ? -33.9 + 10 * near(rng) : far(rng);
        double lon = kind < 3 ? 2.35 + near(rng) : kind == 3 ? 151.2 + 10 * near(rng) : 3 * far(rng);
        batch.add(lat, lon, "{\"i\":" + std::to_string(first + i) + "}");
    }
    return batch;
}

}  // namespace

TEST_CASE("a grid mapped from the open cache lists what the built grid lists, in its order") {
    TempDir dir;
    const std::string path = dir.path + "/geo.db";
    const std::string cache = dir.path + "/geo.cache.mmap";
    std::mt19937_64 rng(20261209);
    {
        auto db = open_db(path);
        REQUIRE(db->insert_batch(clustered(rng, 6000, 0)).has_value());
        REQUIRE(db->insert_batch(clustered(rng, 1500, 6000)).has_value());
        REQUIRE(db->flush().has_value());
    }
    REQUIRE(std::filesystem::exists(cache));
    auto mapped = open_db(path);  // from the cache
    std::filesystem::remove(cache);
    auto built = open_db(path);  // from the data files, and writes the cache again
    REQUIRE(std::filesystem::exists(cache));

    std::uniform_real_distribution<double> lat(-90.0, 90.0), lon(-180.0, 180.0), side(0.0, 0.05);
    auto same_answers = [&] {
        CHECK(mapped->grid_cell_size() == built->grid_cell_size());
        CHECK(mapped->build_count() == built->build_count());
        std::vector<std::array<double, 4>> boxes = {
            {-90, -180, 90, 180}, {48.8, 2.3, 48.9, 2.4}, {-40, 170, -30, -170}};
        for (int i = 0; i < 300; ++i) {
            const bool city = i % 2 == 0;
            const double a = city ? 48.85 + side(rng) - 0.025 : lat(rng),
                         b = city ? 2.35 + side(rng) - 0.025 : lon(rng);
            const double s = city ? side(rng) : 40 * side(rng);
            boxes.push_back({a, b, a + s, b + s});
        }
        for (const auto& [a, b, c, d] : boxes)
            CHECK(mapped->grid_candidates(a, b, c, d) == built->grid_candidates(a, b, c, d));
    };
    same_answers();

    // Inserts through one handle reach the other's grid by the same inserts:
    // the mapped cells they touch are copied out first.
    REQUIRE(mapped->insert_batch(clustered(rng, 700, 7500)).has_value());
    REQUIRE(mapped->insert(48.85, 2.35, "{\"i\":-1}").has_value());
    REQUIRE(built->live_count().has_value());
    same_answers();
    CHECK(*mapped->live_count() == 8201);
}

TEST_CASE("a CRC combined from parts or hashed on the pool is the CRC of the whole") {
    std::mt19937_64 rng(7);
    std::vector<std::uint8_t> bytes((std::size_t{40} << 20) + 12345);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    const std::uint32_t whole = crc32(bytes.data(), bytes.size());
    CHECK(crc32_parallel(bytes.data(), bytes.size()) == whole);
    // A check run on the blocks as they are hashed sees every byte once, in blocks from 4096-byte bounds.
    std::vector<std::atomic<int>> seen(bytes.size() / 4096 + 1);
    std::atomic<bool> unaligned = false;
    CHECK(crc32_parallel(bytes.data(), bytes.size(), [&](std::size_t begin, std::size_t end) {
              if (begin % 4096 != 0 || end <= begin) unaligned = true;
              for (std::size_t at = begin; at < end; at += 4096) ++seen[at / 4096];
          }) == whole);
    CHECK(!unaligned);
    CHECK(std::all_of(seen.begin(), seen.end(), [](const std::atomic<int>& n) { return n == 1; }));
    for (std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{4096}, bytes.size() / 3, bytes.size()}) {
        const std::uint32_t a = crc32(bytes.data(), cut), b = crc32(bytes.data() + cut, bytes.size() - cut);
        CHECK(crc32_combine(a, b, bytes.size() - cut) == whole);
    }
    CHECK(crc32_parallel(bytes.data(), 100) == crc32(bytes.data(), 100));
}

TEST_CASE("the CRC of any range from any register is the bitwise CRC's") {
    // Long ranges take a folding path of their own: every length around its
    // block sizes, at every alignment, continued from arbitrary registers.
    auto bitwise = [](std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
        std::uint32_t reg = ~crc;
        for (std::size_t i = 0; i < n; ++i) {
            reg ^= p[i];
            for (int b = 0; b < 8; ++b) reg = (reg >> 1) ^ ((reg & 1) ? 0xEDB88320u : 0u);
        }
        return ~reg;
    };
    std::mt19937_64 rng(11);
    std::vector<std::uint8_t> bytes(70000);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    for (int round = 0; round < 3000; ++round) {
        const std::size_t offset = rng() % 64;
        const std::size_t len = round < 2000 ? rng() % 1100 : rng() % (bytes.size() - 64);
        const auto start = static_cast<std::uint32_t>(rng());
        REQUIRE(crc32_continue(start, bytes.data() + offset, len) == bitwise(start, bytes.data() + offset, len));
    }
}
