// The engine's batch write path alone: 1 million points with about 70 bytes
// of metadata (four keys) stored by Database::insert_batch into a new store,
// without Python. Prints the time and the rate. Built with
// -DORBISK_BUILD_BENCH=ON; run build/.../bench_batch_write [DIR] [POINTS].
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "engine/database.hpp"
#include "engine/util/text.hpp"

using namespace orbisk;

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : "/tmp";
    const std::size_t n = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1'000'000;
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> lat(-85, 85), lon(-180, 180), rating(0, 5);
    const char* cats[] = {"cafe", "museum", "park", "station"};
    PointBatch batch;
    batch.reserve(n, n * 80);
    for (std::size_t i = 0; i < n; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "place-%08zu", i);
        std::string& t = batch.text_buffer();
        t += cat("{\"name\":\"", name, "\",\"category\":\"", cats[i % 4], "\",\"rating\":");
        append_json_double(t, static_cast<double>(static_cast<int>(rating(rng) * 100)) / 100);
        t += cat(",\"visits\":", rng() % 1000000, "}");
        batch.add(lat(rng), lon(rng));
    }
    const std::string path = cat(dir, "/bench_batch_", std::chrono::steady_clock::now().time_since_epoch().count());
    auto db = Database::open(path + ".db", 10000, 0);
    if (!db) {
        std::fprintf(stderr, "%s\n", db.error().message.c_str());
        return 1;
    }
    const auto t0 = std::chrono::steady_clock::now();
    auto ids = (*db)->insert_batch(batch);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (!ids) {
        std::fprintf(stderr, "%s\n", ids.error().message.c_str());
        return 1;
    }
    std::printf("insert_batch of %zu points: %.3f s (%.0f points/s, %.2f us a point)\n", n, s, n / s, s * 1e6 / n);
    for (const char* ext : {"coords.mmap", "metadata.mmap", "wal", "commit", "lock"})
        std::remove(cat(path, ".", ext).c_str());
}
