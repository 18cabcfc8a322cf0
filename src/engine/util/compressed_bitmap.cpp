#include "engine/util/compressed_bitmap.hpp"

#include <algorithm>
#include <cstring>

#include "engine/util/debug_check.hpp"

namespace orbisk {

namespace {

constexpr std::uint64_t bit(std::uint16_t offset) { return std::uint64_t{1} << (offset & 63); }

// Room for the next array offset: doubling while small, then a quarter more,
// so that an array of more than 64 offsets wastes at most a fifth of its bytes.
std::uint32_t grown_capacity(std::uint32_t capacity) {
    const std::uint32_t next = capacity < 4 ? 4 : capacity < 64 ? capacity * 2 : capacity + capacity / 4;
    return std::min(next, CompressedBitmap::kArrayMax);
}

}  // namespace

std::size_t CompressedBitmap::lower_chunk(std::uint64_t key) const {
    const auto it = std::lower_bound(chunks_.begin(), chunks_.end(), key,
                                     [](const Chunk& c, std::uint64_t k) { return c.key < k; });
    return static_cast<std::size_t>(it - chunks_.begin());
}

// Inserts `offset` at `pos` of an array chunk below kArrayMax members, growing
// the array when full. The caller counts the member.
void CompressedBitmap::array_insert(Chunk& c, std::uint32_t pos, std::uint16_t offset) {
    ORBISK_DCHECK(c.count < kArrayMax && pos <= c.count);
    if (c.count == c.capacity) {
        const std::uint32_t capacity = grown_capacity(c.capacity);
        auto grown = std::make_unique_for_overwrite<std::uint16_t[]>(capacity);
        if (c.count) std::memcpy(grown.get(), c.array.get(), c.count * sizeof(std::uint16_t));
        c.array = std::move(grown);
        c.capacity = capacity;
    }
    ORBISK_DCHECK(c.count < c.capacity);
    std::uint16_t* a = c.array.get();
    if (pos < c.count) std::memmove(a + pos + 1, a + pos, (c.count - pos) * sizeof(std::uint16_t));
    a[pos] = offset;
}

void CompressedBitmap::to_bitmap(Chunk& c) {
    auto bits = std::make_unique<std::uint64_t[]>(kChunkWords);  // zeroed
    for (std::uint32_t i = 0; i < c.count; ++i) bits[c.array[i] >> 6] |= bit(c.array[i]);
    c.bits = std::move(bits);
    c.array.reset();
    c.capacity = 0;
}

void CompressedBitmap::to_array(Chunk& c) {
    auto array = std::make_unique_for_overwrite<std::uint16_t[]>(c.count);
    std::uint32_t n = 0;
    for (std::uint32_t w = 0; w < kChunkWords; ++w) {
        for (std::uint64_t word = c.bits[w]; word; word &= word - 1)
            array[n++] = static_cast<std::uint16_t>((w << 6) | static_cast<std::uint32_t>(std::countr_zero(word)));
    }
    ORBISK_DCHECK(n == c.count && n <= kArrayMax);
    c.array = std::move(array);
    c.capacity = c.count;
    c.bits.reset();
}

bool CompressedBitmap::set(std::uint64_t slot) {
    const std::uint64_t key = slot >> 16;
    const auto offset = static_cast<std::uint16_t>(slot);
    // Ascending sets land in the last chunk or just after it.
    std::size_t i = chunks_.size();
    if (i == 0 || chunks_.back().key > key)
        i = lower_chunk(key);
    else if (chunks_.back().key == key)
        --i;
    if (i == chunks_.size() || chunks_[i].key != key) {
        if (chunks_.size() == chunks_.capacity()) {
            // The chunk table too grows by a quarter: a set of 1000 values over
            // 17 chunks should not pay for 32 chunks each.
            const std::size_t n = chunks_.size();
            chunks_.reserve(n < 4 ? n + 1 : n + n / 4);
        }
        chunks_.emplace(chunks_.begin() + static_cast<std::ptrdiff_t>(i))->key = key;
    }
    Chunk& c = chunks_[i];
    if (c.bits) {
        std::uint64_t& word = c.bits[offset >> 6];
        if (word & bit(offset)) return false;
        word |= bit(offset);
    } else {
        std::uint32_t pos = c.count;
        if (c.count && c.array[c.count - 1] >= offset) {
            const std::uint16_t* a = c.array.get();
            pos = static_cast<std::uint32_t>(std::lower_bound(a, a + c.count, offset) - a);
            if (a[pos] == offset) return false;
        }
        if (c.count == kArrayMax) {
            to_bitmap(c);
            c.bits[offset >> 6] |= bit(offset);
        } else {
            array_insert(c, pos, offset);
        }
    }
    ++c.count;
    ++count_;
    return true;
}

bool CompressedBitmap::clear(std::uint64_t slot) {
    const std::uint64_t key = slot >> 16;
    const auto offset = static_cast<std::uint16_t>(slot);
    const std::size_t i = lower_chunk(key);
    if (i == chunks_.size() || chunks_[i].key != key) return false;
    Chunk& c = chunks_[i];
    if (c.bits) {
        std::uint64_t& word = c.bits[offset >> 6];
        if (!(word & bit(offset))) return false;
        word &= ~bit(offset);
    } else {
        std::uint16_t* a = c.array.get();
        const auto pos = static_cast<std::uint32_t>(std::lower_bound(a, a + c.count, offset) - a);
        if (pos == c.count || a[pos] != offset) return false;
        std::memmove(a + pos, a + pos + 1, (c.count - pos - 1) * sizeof(std::uint16_t));
    }
    --c.count;
    --count_;
    if (c.count == 0) {
        chunks_.erase(chunks_.begin() + static_cast<std::ptrdiff_t>(i));
    } else if (c.bits) {
        if (c.count == kArrayMax) to_array(c);
    } else if (c.capacity > 64 && c.count < c.capacity / 4) {
        // Give back what a run of clears left unused.
        auto shrunk = std::make_unique_for_overwrite<std::uint16_t[]>(c.capacity / 2);
        std::memcpy(shrunk.get(), c.array.get(), c.count * sizeof(std::uint16_t));
        c.array = std::move(shrunk);
        c.capacity /= 2;
    }
    return true;
}

bool CompressedBitmap::test(std::uint64_t slot) const {
    const std::uint64_t key = slot >> 16;
    const auto offset = static_cast<std::uint16_t>(slot);
    const std::size_t i = lower_chunk(key);
    if (i == chunks_.size() || chunks_[i].key != key) return false;
    const Chunk& c = chunks_[i];
    if (c.bits) return c.bits[offset >> 6] & bit(offset);
    return std::binary_search(c.array.get(), c.array.get() + c.count, offset);
}

void CompressedBitmap::list_first(std::uint64_t max, std::vector<std::uint64_t>& out) const {
    const std::uint64_t want = out.size() + std::min(max, count_);
    out.reserve(want);
    for (const Chunk& c : chunks_) {
        const std::uint64_t base = c.key << 16;
        if (c.bits) {
            for (std::uint32_t w = 0; w < kChunkWords; ++w) {
                for (std::uint64_t word = c.bits[w]; word; word &= word - 1) {
                    if (out.size() == want) return;
                    out.push_back(base | (std::uint64_t{w} << 6) | static_cast<std::uint64_t>(std::countr_zero(word)));
                }
            }
        } else {
            for (std::uint32_t i = 0; i < c.count; ++i) {
                if (out.size() == want) return;
                out.push_back(base | c.array[i]);
            }
        }
    }
}

void CompressedBitmap::or_into(SlotBitmap& dense) const {
    const std::uint64_t size = dense.size();
    std::vector<std::uint64_t>& words = dense.words();
    for (const Chunk& c : chunks_) {
        const std::uint64_t base = c.key << 16;
        if (base >= size) break;
        if (c.bits) {
            const std::size_t first = static_cast<std::size_t>(base >> 6);
            const std::size_t n = std::min<std::size_t>(kChunkWords, words.size() - first);
            std::uint64_t* out = words.data() + first;
            const std::uint64_t* in = c.bits.get();
            for (std::size_t w = 0; w < n; ++w) out[w] |= in[w];
        } else {
            const std::uint16_t* a = c.array.get();
            std::uint32_t n = c.count;
            if (size - base < kChunkBits)  // the dense bitmap ends inside this chunk
                n = static_cast<std::uint32_t>(std::lower_bound(a, a + n, size - base) - a);
            std::uint64_t* out = words.data() + (base >> 6);
            for (std::uint32_t k = 0; k < n; ++k) out[a[k] >> 6] |= std::uint64_t{1} << (a[k] & 63);
        }
    }
    // A bitmap chunk may reach past the end within the last word.
    if (size & 63) words.back() &= (std::uint64_t{1} << (size & 63)) - 1;
}

SlotBitmap CompressedBitmap::to_slot_bitmap(std::uint64_t length) const {
    SlotBitmap out(length);
    or_into(out);
    return out;
}

std::size_t CompressedBitmap::memory_bytes() const {
    std::size_t bytes = chunks_.capacity() * sizeof(Chunk);
    for (const Chunk& c : chunks_)
        bytes += c.bits ? kChunkWords * sizeof(std::uint64_t) : c.capacity * sizeof(std::uint16_t);
    return bytes;
}

}  // namespace orbisk
