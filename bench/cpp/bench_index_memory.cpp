// Memory of the metadata indexes for 1 million points: one key whose values are
// drawn from 3, 10, 100, 1000 or 1,000,000 distinct integers (uniformly spread over
// the slots; the last is a value per point, as names and ids are), added
// record by record as the inserts of a store add them. Prints the value
// index's and the numeric index's bytes per point for that key. Built with
// -DORBISK_BUILD_BENCH=ON; run build/.../bench_index_memory.
#include <cstdint>
#include <cstdio>
#include <random>

#include "engine/index/numeric_index.hpp"
#include "engine/index/value_index.hpp"
#include "engine/metadata/metadata.hpp"

using namespace orbisk;

int main() {
    constexpr std::uint64_t kPoints = 1'000'000;
    std::printf("%-18s %22s %24s\n", "distinct values", "value index B/point", "numeric index B/point");
    for (std::uint64_t distinct :
         {std::uint64_t{3}, std::uint64_t{10}, std::uint64_t{100}, std::uint64_t{1000}, kPoints}) {
        std::mt19937_64 rng(distinct);
        ValueIndex values;
        NumericIndex numbers;
        values.raise_universe(kPoints);
        values.begin_key("k");
        MetadataMap m;
        for (std::uint64_t s = 0; s < kPoints; ++s) {
            const std::uint64_t v = distinct == kPoints ? s : rng() % distinct;
            m.insert_or_assign("k", MetadataValue(v));
            values.add(s, m);
            numbers.add(s, m, kPoints);
        }
        std::printf("%-18llu %22.2f %24.2f\n", static_cast<unsigned long long>(distinct),
                    static_cast<double>(values.memory_bytes()) / kPoints,
                    static_cast<double>(numbers.memory_bytes()) / kPoints);
    }
}
