#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <vector>

#include "check.hpp"
#include "engine/util/compressed_bitmap.hpp"

using orbisk::CompressedBitmap;
using orbisk::SlotBitmap;

namespace {

using Model = std::set<std::uint64_t>;

constexpr std::uint64_t kChunk = 65536;
constexpr std::uint64_t kSpan = 3 * kChunk;
// Three regions of three chunks each: the bottom of the id space, across 2^32,
// and the top of the id space up to the largest slot id.
constexpr std::uint64_t kRegions[] = {0, (std::uint64_t{1} << 32) - 2 * kChunk,
                                      std::numeric_limits<std::uint64_t>::max() - kSpan + 1};

// Compares every observable of `b` with the model: count, iteration order,
// membership around members, and the dense views over the bottom region at
// lengths that end inside a word, on a word edge and on chunk edges.
void check_against(const CompressedBitmap& b, const Model& model, std::mt19937_64& rng) {
    CHECK_EQ(b.count(), model.size());
    CHECK_EQ(b.empty(), model.empty());
    std::vector<std::uint64_t> seen;
    b.for_each_set([&](std::uint64_t s) { seen.push_back(s); });
    REQUIRE(seen == std::vector<std::uint64_t>(model.begin(), model.end()));
    for (std::uint64_t max : {std::uint64_t{0}, std::uint64_t{1}, rng() % (seen.size() + 2), seen.size() + 1}) {
        std::vector<std::uint64_t> first{7};  // listed after what the vector holds
        b.list_first(max, first);
        CHECK_EQ(first.size(), 1 + std::min<std::uint64_t>(max, seen.size()));
        CHECK(std::equal(first.begin() + 1, first.end(), seen.begin()));
    }

    for (int k = 0; k < 200 && !model.empty(); ++k) {
        const std::uint64_t s = seen[rng() % seen.size()];
        CHECK(b.test(s));
        CHECK_EQ(b.test(s + 1), model.contains(s + 1));
        CHECK_EQ(b.test(s - 1), model.contains(s - 1));
    }

    SlotBitmap bottom(kSpan);
    for (auto it = model.begin(); it != model.end() && *it < kSpan; ++it) bottom.set(*it);
    CHECK_EQ(bottom.count(), static_cast<std::uint64_t>(std::distance(model.begin(), model.lower_bound(kSpan))));
    // Also a length on a word edge with a member right at it, which must stay out.
    std::uint64_t edge = rng() % (kSpan / 64);
    for (std::uint64_t k = 0; k < kSpan / 64 && !(bottom.words()[edge] & 1); ++k) edge = (edge + 1) % (kSpan / 64);
    const std::uint64_t lengths[] = {0, 1, 64, 65, kChunk, kChunk + 1, 2 * kChunk - 3, kSpan, rng() % kSpan, edge * 64};
    for (std::uint64_t len : lengths) {
        SlotBitmap members = bottom;
        members.truncate(len);
        CHECK(b.to_slot_bitmap(len).words() == members.words());

        SlotBitmap noise(len);
        for (auto& w : noise.words()) w = rng() & rng();
        noise.truncate(len);
        members.or_with(noise);
        b.or_into(noise);
        CHECK(noise.words() == members.words());
        CHECK_EQ(noise.size(), len);
    }
}

class Runner {
public:
    explicit Runner(std::uint64_t seed) : rng_(seed) {}

    bool set(std::uint64_t s) {
        const bool added = model_.insert(s).second;
        CHECK_EQ(b_.set(s), added);
        return added;
    }
    bool clear(std::uint64_t s) {
        const bool removed = model_.erase(s) == 1;
        CHECK_EQ(b_.clear(s), removed);
        return removed;
    }

    // Sets each slot of the chunk at `base` with probability p, ascending,
    // descending or shuffled.
    void fill(std::uint64_t base, double p) {
        std::vector<std::uint64_t> slots;
        std::bernoulli_distribution pick(p);
        for (std::uint64_t o = 0; o < kChunk; ++o)
            if (pick(rng_)) slots.push_back(base + o);
        switch (rng_() % 3) {
            case 0:
                break;
            case 1:
                std::reverse(slots.begin(), slots.end());
                break;
            default:
                std::shuffle(slots.begin(), slots.end(), rng_);
        }
        for (std::uint64_t s : slots) set(s);
    }

    // Clears each member of the chunk at `base` with probability q, in random order.
    void thin(std::uint64_t base, double q) {
        std::vector<std::uint64_t> members(model_.lower_bound(base), model_.upper_bound(base + (kChunk - 1)));
        std::shuffle(members.begin(), members.end(), rng_);
        std::bernoulli_distribution pick(q);
        for (std::uint64_t s : members)
            if (pick(rng_)) clear(s);
    }

    std::uint64_t members_in(std::uint64_t base) const {
        return static_cast<std::uint64_t>(
            std::distance(model_.lower_bound(base), model_.upper_bound(base + (kChunk - 1))));
    }

    // Brings the chunk at `base` to the array limit, then clears members
    // above it and sets slots below it, so that it changes form back and forth.
    void hover(std::uint64_t base) {
        constexpr std::uint64_t kLimit = CompressedBitmap::kArrayMax;
        std::uint64_t n = members_in(base);
        if (n > kLimit) thin(base, 1.0 - double(kLimit - 100) / double(n));
        n = members_in(base);
        while (n < kLimit) n += set(base + rng_() % kChunk);
        int crossings = 0;
        for (int k = 0; k < 400; ++k) {
            const std::uint64_t before = n;
            if (n > kLimit - rng_() % 3) {
                while (!clear(base + rng_() % kChunk)) {}
                --n;
            } else {
                n += set(base + rng_() % kChunk);
            }
            crossings += (before > kLimit) != (n > kLimit);
        }
        CHECK(crossings > 50);
    }

    // Sets the first and the last member of the chunk at `base` again.
    void set_again(std::uint64_t base) {
        const auto first = model_.lower_bound(base), end = model_.upper_bound(base + (kChunk - 1));
        if (first == end) return;
        set(*first);
        set(*std::prev(end));
    }

    void scatter(std::uint64_t region, int n) {
        for (int k = 0; k < n; ++k) set(region + rng_() % kSpan);
    }

    void check() { check_against(b_, model_, rng_); }
    std::mt19937_64& rng() { return rng_; }

private:
    std::mt19937_64 rng_;
    CompressedBitmap b_;
    Model model_;
};

}  // namespace

TEST_CASE("compressed bitmap: random sets and clears across chunks, forms and the id space match a set model") {
    Runner run(20240611);
    auto& rng = run.rng();
    const double densities[] = {0.001, 0.02, 0.06, 0.07, 0.3, 1.0};
    const double thinnings[] = {0.1, 0.5, 0.95, 1.0};
    for (int round = 0; round < 80; ++round) {
        const std::uint64_t region = kRegions[rng() % 3];
        const std::uint64_t chunk = region + (rng() % 3) * kChunk;
        switch (rng() % 5) {
            case 0:
            case 1:
                run.fill(chunk, densities[rng() % 6]);
                break;
            case 2:
                run.thin(chunk, thinnings[rng() % 4]);
                break;
            case 3:
                run.hover(chunk);
                break;
            default:
                run.scatter(region, 3000);
        }
        for (int k = 0; k < 300; ++k) {  // clears of absent slots and sets of present ones
            const std::uint64_t s = region + rng() % kSpan;
            if (rng() % 2)
                run.set(s);
            else
                run.clear(s);
        }
        run.set_again(chunk);
        run.check();
    }
    // Everything cleared: the set is empty again and every view is zero.
    for (std::uint64_t region : kRegions)
        for (std::uint64_t c = 0; c < 3; ++c) run.thin(region + c * kChunk, 1.0);
    run.check();
}

TEST_CASE("compressed bitmap: a key of 3, 100 or 1000 values costs at most 4 bytes a point") {
    constexpr std::uint64_t kPoints = 300000;
    for (std::uint64_t values : {3, 100, 1000}) {
        std::mt19937_64 rng(values);
        std::vector<CompressedBitmap> key(values);
        for (std::uint64_t s = 0; s < kPoints; ++s) key[rng() % values].set(s);
        std::size_t bytes = 0;
        for (const auto& b : key) bytes += b.memory_bytes();
        CHECK(bytes <= 4 * kPoints);
    }
}
