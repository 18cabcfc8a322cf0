// CompressedBitmap: a set of slot ids that costs memory in proportion to its
// members rather than to the highest slot id. The value index keeps one per
// distinct value of a key, so a key costs a few bytes per point however many
// values it has, where a dense SlotBitmap per value would cost (values / 8)
// bytes per point.
//
// Slot ids are cut into chunks of 65536 (the high 48 bits are the chunk key,
// the low 16 bits the offset). Chunks that hold members are kept in ascending
// key order. A chunk of at most kArrayMax members is a sorted array of 16-bit
// offsets (2 bytes a member); a fuller one is a 1024-word bitmap (8 KiB). The
// two cost the same at kArrayMax members, so a chunk always takes the smaller
// form: it becomes a bitmap when a set takes it above kArrayMax and an array
// again when a clear brings it back down.
//
// Answers leave the container as dense SlotBitmaps: or_into ORs the members
// into one word by word, so an Eq, Ne or In answer costs one pass over the
// members plus the dense bitmap's own zeroing and inversion.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/util/slot_bitmap.hpp"

namespace orbisk {

class CompressedBitmap {
public:
    static constexpr std::uint32_t kChunkBits = 65536;
    static constexpr std::uint32_t kChunkWords = kChunkBits / 64;
    // Most members an array chunk holds; above it a chunk is a bitmap.
    static constexpr std::uint32_t kArrayMax = 4096;

    CompressedBitmap() = default;
    CompressedBitmap(CompressedBitmap&&) noexcept = default;
    CompressedBitmap& operator=(CompressedBitmap&&) noexcept = default;
    // Not copyable, so that a large set is never copied by accident; answers
    // leave as dense bitmaps.
    CompressedBitmap(const CompressedBitmap&) = delete;
    CompressedBitmap& operator=(const CompressedBitmap&) = delete;

    // Adds `slot`; returns false when it was already a member. Cheapest when
    // slots come in ascending order (an append to the last chunk).
    bool set(std::uint64_t slot);
    // Removes `slot`; returns false when it was not a member.
    bool clear(std::uint64_t slot);
    bool test(std::uint64_t slot) const;

    std::uint64_t count() const { return count_; }
    bool empty() const { return count_ == 0; }

    // ORs every member below dense.size() into `dense`; members at or above
    // its size are left out. The size of `dense` is unchanged.
    void or_into(SlotBitmap& dense) const;
    // A dense bitmap of `length` bits holding the members below `length`.
    SlotBitmap to_slot_bitmap(std::uint64_t length) const;

    // Appends the lowest `max` members (every member when fewer) to `out`, in
    // ascending order.
    void list_first(std::uint64_t max, std::vector<std::uint64_t>& out) const;

    // Calls f(slot) for every member, in ascending order.
    template <class F>
    void for_each_set(F f) const {
        for (const Chunk& c : chunks_) {
            const std::uint64_t base = c.key << 16;
            if (c.bits) {
                for (std::uint32_t w = 0; w < kChunkWords; ++w) {
                    for (std::uint64_t word = c.bits[w]; word; word &= word - 1)
                        f(base | (std::uint64_t{w} << 6) | static_cast<std::uint64_t>(std::countr_zero(word)));
                }
            } else {
                for (std::uint32_t i = 0; i < c.count; ++i) f(base | c.array[i]);
            }
        }
    }

    // Heap bytes held: the chunk table (at its capacity), the arrays (at their
    // capacities) and the bitmaps. The object itself is not counted. Kept as
    // the set changes, so asking costs nothing.
    std::size_t memory_bytes() const { return bytes_; }

private:
    struct Chunk {
        std::uint64_t key = 0;                   // slot >> 16
        std::uint32_t count = 0;                 // members, 1 to 65536
        std::uint32_t capacity = 0;              // offsets `array` has room for (array form only)
        std::unique_ptr<std::uint16_t[]> array;  // array form: `count` ascending offsets
        std::unique_ptr<std::uint64_t[]> bits;   // bitmap form: kChunkWords words
    };

    // Index in chunks_ of the chunk with `key`, or of the first chunk with a
    // larger key (chunks_.size() when none).
    std::size_t lower_chunk(std::uint64_t key) const;
    void array_insert(Chunk& c, std::uint32_t pos, std::uint16_t offset);
    void to_bitmap(Chunk& c);
    void to_array(Chunk& c);

    std::vector<Chunk> chunks_;
    std::uint64_t count_ = 0;
    std::size_t bytes_ = 0;
};

}  // namespace orbisk
