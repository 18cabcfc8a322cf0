// A growable bit vector indexed by slot id: slot s is bit (s mod 64) of word (s div 64).
// Growing appends zero bits; set operations work on whole words.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/util/debug_check.hpp"

namespace orbisk {

// The set bits of n words. The build targets every x86-64, whose baseline has
// no population-count instruction (a portable count costs several times as
// much), so the count takes the instruction where the processor has it.
#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("popcnt"))) inline std::uint64_t count_bits_popcnt(const std::uint64_t* w, std::size_t n) {
    std::uint64_t c = 0;
    for (std::size_t i = 0; i < n; ++i) c += static_cast<std::uint64_t>(__builtin_popcountll(w[i]));
    return c;
}
#endif

inline std::uint64_t count_bits(const std::uint64_t* w, std::size_t n) {
#if defined(__x86_64__) && defined(__GNUC__)
    static const bool has_popcnt = __builtin_cpu_supports("popcnt");
    if (has_popcnt) return count_bits_popcnt(w, n);
#endif
    std::uint64_t c = 0;
    for (std::size_t i = 0; i < n; ++i) c += static_cast<std::uint64_t>(std::popcount(w[i]));
    return c;
}

class SlotBitmap {
public:
    SlotBitmap() = default;
    // `n` zero bits.
    explicit SlotBitmap(std::uint64_t n) : words_((n + 63) / 64, 0), size_(n) {}

    std::uint64_t size() const { return size_; }
    bool test(std::uint64_t i) const { return i < size_ && (words_[i >> 6] >> (i & 63)) & 1u; }
    // set and clear require i < size().
    void set(std::uint64_t i) {
        ORBISK_DCHECK(i < size_);
        words_[i >> 6] |= std::uint64_t{1} << (i & 63);
    }
    void clear(std::uint64_t i) {
        ORBISK_DCHECK(i < size_);
        words_[i >> 6] &= ~(std::uint64_t{1} << (i & 63));
    }
    void push_back(bool bit) {
        if ((size_ & 63) == 0) words_.push_back(0);
        ++size_;
        if (bit) set(size_ - 1);
    }
    // Appends zero bits up to n (nothing when n <= size()).
    void grow(std::uint64_t n) {
        if (n <= size_) return;
        words_.resize((n + 63) / 64, 0);
        size_ = n;
    }
    // Keeps the first n bits (n <= size()).
    void truncate(std::uint64_t n) {
        ORBISK_DCHECK(n <= size_);
        words_.resize((n + 63) / 64);
        if (n & 63) words_.back() &= (std::uint64_t{1} << (n & 63)) - 1;
        size_ = n;
    }
    void reserve(std::uint64_t n) { words_.reserve((n + 63) / 64); }
    std::uint64_t count() const { return count_bits(words_.data(), words_.size()); }
    const std::vector<std::uint64_t>& words() const { return words_; }
    std::vector<std::uint64_t>& words() { return words_; }

    // Whole-word set operations. A shorter operand counts as zero bits beyond its
    // end; the length of *this is unchanged.
    void and_with(const SlotBitmap& o) {
        const std::size_t n = std::min(words_.size(), o.words_.size());
        for (std::size_t i = 0; i < n; ++i) words_[i] &= o.words_[i];
        std::fill(words_.begin() + static_cast<std::ptrdiff_t>(n), words_.end(), 0);
    }
    void and_not_with(const SlotBitmap& o) {
        const std::size_t n = std::min(words_.size(), o.words_.size());
        for (std::size_t i = 0; i < n; ++i) words_[i] &= ~o.words_[i];
    }
    // Bits of `o` beyond size() are dropped.
    void or_with(const SlotBitmap& o) {
        const std::size_t n = std::min(words_.size(), o.words_.size());
        for (std::size_t i = 0; i < n; ++i) words_[i] |= o.words_[i];
        if (size_ & 63 && !words_.empty()) words_.back() &= (std::uint64_t{1} << (size_ & 63)) - 1;
    }
    // Inverts every bit below size().
    void invert() {
        for (auto& w : words_) w = ~w;
        if (size_ & 63) words_.back() &= (std::uint64_t{1} << (size_ & 63)) - 1;
    }

    // Calls f(slot) for every set bit, in ascending order.
    template <class F>
    void for_each_set(F f) const {
        for (std::size_t w = 0; w < words_.size(); ++w) {
            std::uint64_t bits = words_[w];
            while (bits) {
                f((static_cast<std::uint64_t>(w) << 6) | static_cast<std::uint64_t>(std::countr_zero(bits)));
                bits &= bits - 1;
            }
        }
    }

private:
    std::vector<std::uint64_t> words_;
    std::uint64_t size_ = 0;
};

}  // namespace orbisk
