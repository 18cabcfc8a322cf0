// Memory and speed of one value-index key kept as a CompressedBitmap per
// distinct value, against a dense SlotBitmap per value, for 1 million points
// with 3, 100 and 1000 distinct values, spread uniformly or in runs of equal
// values. Built with -DORBISK_BUILD_BENCH=ON; run build/.../bench_value_bitmaps.
//
// Per key it prints: bytes a point held (memory_bytes, and the heap growth
// that malloc reports, which adds its own per-allocation overhead), what run
// chunks would hold instead of arrays and bitmaps, the time to build the key
// slot by slot (ascending, as a lazy build does, and in random order), and the
// time of an Eq answer (one value as a dense bitmap of every slot), an Ne
// answer (the same, inverted) and an In answer of 10 values (ORed into one
// dense bitmap). Times are medians of several repetitions.
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "engine/util/compressed_bitmap.hpp"
#include "engine/util/slot_bitmap.hpp"

using orbisk::CompressedBitmap;
using orbisk::SlotBitmap;

namespace {

constexpr std::uint64_t kPoints = 1'000'000;
constexpr int kRepeats = 7;
// Answers are summed into this so that the compiler keeps them.
volatile std::uint64_t g_sink = 0;

template <class F>
double median_seconds(F f) {
    std::vector<double> t;
    for (int r = 0; r < kRepeats; ++r) {
        const auto start = std::chrono::steady_clock::now();
        f();
        t.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

std::size_t heap_in_use() { return mallinfo2().uordblks; }

// The value of every slot: uniform, or in runs of 1 to 512 equal values.
std::vector<std::uint32_t> make_values(std::uint32_t distinct, bool runs, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<std::uint32_t> v(kPoints);
    for (std::uint64_t s = 0; s < kPoints;) {
        const auto value = static_cast<std::uint32_t>(rng() % distinct);
        const std::uint64_t len = runs ? 1 + rng() % 512 : 1;
        for (std::uint64_t k = 0; k < len && s < kPoints; ++k) v[s++] = value;
    }
    return v;
}

std::vector<CompressedBitmap> build(const std::vector<std::uint32_t>& values, std::uint32_t distinct,
                                    const std::vector<std::uint64_t>& order) {
    std::vector<CompressedBitmap> key(distinct);
    for (std::uint64_t s : order) key[values[s]].set(s);
    return key;
}

// Bytes the key would hold if every chunk took the smallest of array, bitmap
// and run form (4 bytes a run), with the same 32-byte chunk entries.
double run_form_bytes_per_point(const std::vector<CompressedBitmap>& key) {
    double bytes = 0;
    for (const auto& b : key) {
        std::uint64_t chunk = ~std::uint64_t{0}, members = 0, runs = 0, last = 0;
        auto close = [&] {
            if (members) bytes += 32 + double(std::min({2 * members, std::uint64_t{8192}, 4 * runs}));
        };
        b.for_each_set([&](std::uint64_t s) {
            if (s >> 16 != chunk) {
                close();
                chunk = s >> 16;
                members = runs = 0;
            } else if (s == last + 1) {
                --runs;
            }
            ++members;
            ++runs;
            last = s;
        });
        close();
    }
    return bytes / double(kPoints);
}

void measure(std::uint32_t distinct, bool runs) {
    const auto values = make_values(distinct, runs, distinct * 2 + runs);
    std::vector<std::uint64_t> ascending(kPoints);
    for (std::uint64_t s = 0; s < kPoints; ++s) ascending[s] = s;
    std::vector<std::uint64_t> shuffled = ascending;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937_64(5));

    const std::size_t heap_before = heap_in_use();
    const std::vector<CompressedBitmap> key = build(values, distinct, ascending);
    const double heap = double(heap_in_use() - heap_before) / double(kPoints);
    std::size_t held = 0;
    for (const auto& b : key) held += b.memory_bytes();

    std::vector<SlotBitmap> dense(distinct, SlotBitmap(kPoints));
    for (std::uint64_t s = 0; s < kPoints; ++s) dense[values[s]].set(s);
    const double dense_bytes = double(distinct) * double((kPoints + 63) / 64 * 8) / double(kPoints);

    const double build_asc = median_seconds([&] { build(values, distinct, ascending); });
    const double build_rand = median_seconds([&] { build(values, distinct, shuffled); });
    const double build_dense = median_seconds([&] {
        std::vector<SlotBitmap> d(distinct, SlotBitmap(kPoints));
        for (std::uint64_t s = 0; s < kPoints; ++s) d[values[s]].set(s);
    });

    // Up to 50 values spread over the value range, asked one after another.
    std::vector<std::uint32_t> asked;
    for (std::uint32_t v = 0; v < distinct; v += std::max(1u, distinct / 50)) asked.push_back(v);
    const double per = double(asked.size());
    std::uint64_t sink = 0;
    const double eq_c = median_seconds([&] {
                            for (auto v : asked) sink += key[v].to_slot_bitmap(kPoints).words()[7];
                        }) /
                        per;
    const double eq_d = median_seconds([&] {
                            for (auto v : asked) sink += SlotBitmap(dense[v]).words()[7];
                        }) /
                        per;
    const double ne_c = median_seconds([&] {
                            for (auto v : asked) {
                                SlotBitmap a = key[v].to_slot_bitmap(kPoints);
                                a.invert();
                                sink += a.words()[7];
                            }
                        }) /
                        per;
    const double ne_d = median_seconds([&] {
                            for (auto v : asked) {
                                SlotBitmap a(dense[v]);
                                a.invert();
                                sink += a.words()[7];
                            }
                        }) /
                        per;
    const std::uint32_t in_n = std::min<std::uint32_t>(10, distinct - 1);
    const double in_c = median_seconds([&] {
        SlotBitmap a(kPoints);
        for (std::uint32_t v = 0; v < in_n; ++v) key[v].or_into(a);
        sink += a.words()[7];
    });
    const double in_d = median_seconds([&] {
        SlotBitmap a(kPoints);
        for (std::uint32_t v = 0; v < in_n; ++v) a.or_with(dense[v]);
        sink += a.words()[7];
    });

    g_sink = g_sink + sink;
    std::printf(
        "%5u %-7s | %5.2f %5.2f %5.2f | %7.2f | %5.1f %5.1f %5.1f | %6.1f %6.1f | %6.1f %6.1f | %2u: %6.1f %6.1f\n",
        distinct, runs ? "runs" : "uniform", double(held) / double(kPoints), heap, run_form_bytes_per_point(key),
        dense_bytes, build_asc * 1e9 / double(kPoints), build_rand * 1e9 / double(kPoints),
        build_dense * 1e9 / double(kPoints), eq_c * 1e6, eq_d * 1e6, ne_c * 1e6, ne_d * 1e6, in_n, in_c * 1e6,
        in_d * 1e6);
}

}  // namespace

int main() {
    std::printf("one key over %llu points; bytes a point; build ns a point; answers in microseconds\n",
                static_cast<unsigned long long>(kPoints));
    std::printf(
        "values layout  | held  heap  runs |   dense | build asc  rand dense |  Eq c    Eq d  |"
        "  Ne c    Ne d  | In  c      d\n");
    for (bool runs : {false, true})
        for (std::uint32_t distinct : {3u, 100u, 1000u}) measure(distinct, runs);
}
