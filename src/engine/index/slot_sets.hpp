// SlotSets: the sets of slot ids behind the values of one value-index key,
// each named by a 64-bit handle and kept in the form that costs least for its
// size and spread:
//
//   - one member: the handle is the slot itself (no storage at all);
//   - 2 to 4096 members: a block of ascending 64-bit slots in a shared pool,
//     sized by powers of two, with the block's size class and member count in
//     the handle (8 bytes a member, nothing else);
//   - more, or members packed kDenseMembersPerChunk or more to a 65536-slot
//     chunk: a CompressedBitmap (about 2 bytes a member, less when dense).
//
// A key whose values are nearly all held by one or a few points (names, ids,
// codes) so costs little more than its members, where a CompressedBitmap per
// value would cost some 60 bytes a value even for one member.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/util/compressed_bitmap.hpp"
#include "engine/util/slot_bitmap.hpp"

namespace orbisk {

class SlotSets {
public:
    using Handle = std::uint64_t;
    // The handle of the empty set.
    static constexpr Handle kEmpty = ~Handle{0};
    // Largest pool block, in members.
    static constexpr std::uint64_t kBlockMax = 4096;
    // A block of at least kDenseMin members whose members average
    // kDenseMembersPerChunk or more a 65536-slot chunk becomes a
    // CompressedBitmap when it grows: there a member costs 2 bytes, not 8, and
    // a value held by many points leaves the pool early (the pool keeps what
    // it once held for later blocks).
    static constexpr std::uint64_t kDenseMin = 16;
    static constexpr std::uint64_t kDenseMembersPerChunk = 8;

    // Adds `slot` to the set `h` names, which may take another form and so
    // another handle. Returns false when it was a member already.
    bool add(Handle& h, std::uint64_t slot);
    // Removes `slot`; returns false when it was not a member.
    bool remove(Handle& h, std::uint64_t slot);

    std::uint64_t count(Handle h) const;
    // Appends the lowest `max` members (every member when fewer), ascending.
    void list_first(Handle h, std::uint64_t max, std::vector<std::uint64_t>& out) const;
    // Sets the bits of the members below dense.size().
    void or_into(Handle h, SlotBitmap& dense) const;

    // Heap bytes held by the pool, its free lists and the bitmaps.
    std::size_t memory_bytes() const;

private:
    static constexpr int kClasses = 12;  // block sizes 2 << 0 ... 2 << 11 (4096)

    struct Block {
        std::uint64_t offset;  // first word in pool_
        int size_class;
        std::uint64_t count;
    };
    static bool is_single(Handle h) { return (h >> 63) == 0; }
    static bool is_block(Handle h) { return (h >> 62) == 2; }
    static Block block_of(Handle h);
    static Handle block_handle(const Block& b);
    static std::uint64_t capacity(int size_class) { return std::uint64_t{2} << size_class; }
    static std::uint64_t big_index(Handle h) { return h & ((Handle{1} << 62) - 1); }
    static Handle big_handle(std::uint64_t i) { return (Handle{3} << 62) | i; }

    std::uint64_t allocate_block(int size_class);
    void free_block(const Block& b);
    // Moves a block's members to a block of another size class.
    Block move_block(const Block& b, int size_class);
    Handle make_big(const std::uint64_t* members, std::uint64_t n);
    void free_big(std::uint64_t i);

    std::vector<std::uint64_t> pool_;
    std::array<std::vector<std::uint64_t>, kClasses> free_blocks_;
    std::vector<CompressedBitmap> bigs_;
    std::vector<std::uint64_t> free_bigs_;
    std::size_t big_bytes_ = 0;  // heap bytes of the bitmaps in bigs_
};

}  // namespace orbisk
