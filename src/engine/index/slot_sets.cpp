#include "engine/index/slot_sets.hpp"

#include <algorithm>
#include <cstring>

namespace orbisk {

namespace {

// Handle of a pool block: 10 in the top two bits, then the size class (4
// bits), the member count (13 bits) and the block's first word (45 bits).
constexpr int kCountShift = 45;
constexpr int kClassShift = 58;
constexpr std::uint64_t kOffsetMask = (std::uint64_t{1} << kCountShift) - 1;
constexpr std::uint64_t kCountMask = (std::uint64_t{1} << 13) - 1;
constexpr std::uint64_t kHighBit = std::uint64_t{1} << 63;

// Chunks of 65536 slots that ascending members span.
std::uint64_t chunks_spanned(const std::uint64_t* members, std::uint64_t n) {
    std::uint64_t chunks = 0, last = ~std::uint64_t{0};
    for (std::uint64_t i = 0; i < n; ++i) {
        if ((members[i] >> 16) != last) ++chunks;
        last = members[i] >> 16;
    }
    return chunks;
}

}  // namespace

SlotSets::Block SlotSets::block_of(Handle h) {
    return {h & kOffsetMask, static_cast<int>((h >> kClassShift) & 15), (h >> kCountShift) & kCountMask};
}

SlotSets::Handle SlotSets::block_handle(const Block& b) {
    return (Handle{2} << 62) | (static_cast<Handle>(b.size_class) << kClassShift) | (b.count << kCountShift) | b.offset;
}

std::uint64_t SlotSets::allocate_block(int size_class) {
    auto& free = free_blocks_[static_cast<std::size_t>(size_class)];
    if (!free.empty()) {
        const std::uint64_t offset = free.back();
        free.pop_back();
        return offset;
    }
    const std::uint64_t offset = pool_.size();
    pool_.resize(offset + capacity(size_class));
    return offset;
}

void SlotSets::free_block(const Block& b) { free_blocks_[static_cast<std::size_t>(b.size_class)].push_back(b.offset); }

SlotSets::Block SlotSets::move_block(const Block& b, int size_class) {
    Block to{allocate_block(size_class), size_class, b.count};  // may move pool_
    std::memcpy(pool_.data() + to.offset, pool_.data() + b.offset, b.count * sizeof(std::uint64_t));
    free_block(b);
    return to;
}

SlotSets::Handle SlotSets::make_big(const std::uint64_t* members, std::uint64_t n) {
    std::uint64_t i;
    if (!free_bigs_.empty()) {
        i = free_bigs_.back();
        free_bigs_.pop_back();
    } else {
        i = bigs_.size();
        bigs_.emplace_back();
    }
    CompressedBitmap& big = bigs_[i];
    for (std::uint64_t k = 0; k < n; ++k) big.set(members[k]);
    big_bytes_ += big.memory_bytes();
    return big_handle(i);
}

void SlotSets::free_big(std::uint64_t i) {
    big_bytes_ -= bigs_[i].memory_bytes();
    bigs_[i] = CompressedBitmap();
    free_bigs_.push_back(i);
}

bool SlotSets::add(Handle& h, std::uint64_t slot) {
    if (h == kEmpty) {
        if (slot < kHighBit) {
            h = slot;
            return true;
        }
        const Block b{allocate_block(0), 0, 1};
        pool_[b.offset] = slot;
        h = block_handle(b);
        return true;
    }
    if (is_single(h)) {
        if (h == slot) return false;
        const Block b{allocate_block(0), 0, 2};
        pool_[b.offset] = std::min(h, slot);
        pool_[b.offset + 1] = std::max(h, slot);
        h = block_handle(b);
        return true;
    }
    if (is_block(h)) {
        Block b = block_of(h);
        const std::uint64_t* first = pool_.data() + b.offset;
        // Ascending adds (a build) append; others find their place.
        std::uint64_t pos = b.count;
        if (first[b.count - 1] >= slot) {
            pos = static_cast<std::uint64_t>(std::lower_bound(first, first + b.count, slot) - first);
            if (first[pos] == slot) return false;
        }
        if (b.count == capacity(b.size_class)) {
            const bool dense =
                b.count >= kDenseMin && b.count >= kDenseMembersPerChunk * chunks_spanned(first, b.count);
            if (b.count == kBlockMax || dense) {
                const Handle big = make_big(first, b.count);
                free_block(b);
                h = big;
                return add(h, slot);
            }
            b = move_block(b, b.size_class + 1);
        }
        std::uint64_t* members = pool_.data() + b.offset;
        std::memmove(members + pos + 1, members + pos, (b.count - pos) * sizeof(std::uint64_t));
        members[pos] = slot;
        ++b.count;
        h = block_handle(b);
        return true;
    }
    CompressedBitmap& big = bigs_[big_index(h)];
    const std::size_t before = big.memory_bytes();
    const bool added = big.set(slot);
    big_bytes_ += big.memory_bytes() - before;
    return added;
}

bool SlotSets::remove(Handle& h, std::uint64_t slot) {
    if (h == kEmpty) return false;
    if (is_single(h)) {
        if (h != slot) return false;
        h = kEmpty;
        return true;
    }
    if (is_block(h)) {
        Block b = block_of(h);
        std::uint64_t* members = pool_.data() + b.offset;
        const auto pos = static_cast<std::uint64_t>(std::lower_bound(members, members + b.count, slot) - members);
        if (pos == b.count || members[pos] != slot) return false;
        std::memmove(members + pos, members + pos + 1, (b.count - pos - 1) * sizeof(std::uint64_t));
        --b.count;
        if (b.count == 0 || (b.count == 1 && members[0] < kHighBit)) {
            const Handle rest = b.count ? members[0] : kEmpty;
            free_block(b);
            h = rest;
            return true;
        }
        // Give back what a run of removals left unused.
        if (b.size_class > 1 && b.count <= capacity(b.size_class) / 4) b = move_block(b, b.size_class - 1);
        h = block_handle(b);
        return true;
    }
    const std::uint64_t i = big_index(h);
    CompressedBitmap& big = bigs_[i];
    const std::size_t before = big.memory_bytes();
    if (!big.clear(slot)) return false;
    big_bytes_ -= before - big.memory_bytes();
    if (big.empty()) {
        free_big(i);
        h = kEmpty;
    }
    return true;
}

std::uint64_t SlotSets::count(Handle h) const {
    if (h == kEmpty) return 0;
    if (is_single(h)) return 1;
    if (is_block(h)) return block_of(h).count;
    return bigs_[big_index(h)].count();
}

void SlotSets::list_first(Handle h, std::uint64_t max, std::vector<std::uint64_t>& out) const {
    if (h == kEmpty || max == 0) return;
    if (is_single(h)) {
        out.push_back(h);
    } else if (is_block(h)) {
        const Block b = block_of(h);
        const std::uint64_t* members = pool_.data() + b.offset;
        out.insert(out.end(), members, members + std::min(max, b.count));
    } else {
        bigs_[big_index(h)].list_first(max, out);
    }
}

void SlotSets::or_into(Handle h, SlotBitmap& dense) const {
    if (h == kEmpty) return;
    const std::uint64_t size = dense.size();
    if (is_single(h)) {
        if (h < size) dense.set(h);
    } else if (is_block(h)) {
        const Block b = block_of(h);
        const std::uint64_t* members = pool_.data() + b.offset;
        for (std::uint64_t i = 0; i < b.count && members[i] < size; ++i) dense.set(members[i]);
    } else {
        bigs_[big_index(h)].or_into(dense);
    }
}

std::size_t SlotSets::memory_bytes() const {
    std::size_t bytes = pool_.capacity() * sizeof(std::uint64_t) + bigs_.capacity() * sizeof(CompressedBitmap) +
                        free_bigs_.capacity() * sizeof(std::uint64_t) + big_bytes_;
    for (const auto& f : free_blocks_) bytes += f.capacity() * sizeof(std::uint64_t);
    return bytes;
}

}  // namespace orbisk
