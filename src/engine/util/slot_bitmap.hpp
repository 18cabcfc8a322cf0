// A growable bit vector indexed by slot id: slot s is bit (s mod 64) of word (s div 64).
#pragma once

#include <bit>
#include <cstdint>
#include <vector>

namespace orbisk {

class SlotBitmap {
public:
    std::uint64_t size() const { return size_; }
    bool test(std::uint64_t i) const { return i < size_ && (words_[i >> 6] >> (i & 63)) & 1u; }
    void set(std::uint64_t i) { words_[i >> 6] |= std::uint64_t{1} << (i & 63); }
    void clear(std::uint64_t i) { words_[i >> 6] &= ~(std::uint64_t{1} << (i & 63)); }
    void push_back(bool bit) {
        if ((size_ & 63) == 0) words_.push_back(0);
        if (bit) set(size_);
        ++size_;
    }
    // Keeps the first n bits (n <= size()).
    void truncate(std::uint64_t n) {
        words_.resize((n + 63) / 64);
        if (n & 63) words_.back() &= (std::uint64_t{1} << (n & 63)) - 1;
        size_ = n;
    }
    void reserve(std::uint64_t n) { words_.reserve((n + 63) / 64); }
    std::uint64_t count() const {
        std::uint64_t c = 0;
        for (auto w : words_) c += static_cast<std::uint64_t>(std::popcount(w));
        return c;
    }
    const std::vector<std::uint64_t>& words() const { return words_; }

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
