#include "engine/index/numeric_index.hpp"

#include <algorithm>
#include <bit>

namespace orbisk {

std::uint64_t value_code(double x) {
    if (x == 0.0) x = 0.0;  // -0.0 takes the code of 0.0
    const std::uint64_t u = std::bit_cast<std::uint64_t>(x);
    return (u >> 63) ? ~u : (u | 0x8000000000000000ull);
}

void NumericIndex::add(std::uint64_t slot, const MetadataMap& metadata, std::uint64_t presize) {
    for (const auto& [key, value] : metadata) {
        double x;
        if (!number_as_double(value, x)) continue;
        auto it = columns_.find(key);
        if (it == columns_.end()) {
            it = columns_.try_emplace(key).first;
            it->second.existence.grow(presize);
            for (auto& s : it->second.slices) s.grow(presize);
        }
        BitSlicedColumn& col = it->second;
        if (col.existence.size() <= slot) {
            // Amortised: appends at the end double the storage, not one word at a time.
            const std::uint64_t n = slot + 1;
            if (col.existence.words().capacity() * 64 < n) {
                const std::uint64_t want = std::max<std::uint64_t>(n, 2 * col.existence.size());
                col.existence.reserve(want);
                for (auto& s : col.slices) s.reserve(want);
            }
            col.existence.grow(n);
            for (auto& s : col.slices) s.grow(n);
        }
        col.existence.set(slot);
        for (std::uint64_t code = value_code(x); code; code &= code - 1)
            col.slices[static_cast<std::size_t>(std::countr_zero(code))].set(slot);
    }
}

namespace {

// The range test of one word of a column: the slots of word w whose code lies
// within the bounds. EQ holds, per side, the slots whose code agrees with the
// bound's on the bits seen so far (high to low), R those already known to be
// beyond it on the wanted side; once no slot ties with either bound, the
// lower bits change nothing.
class RangeWords {
public:
    RangeWords(const BitSlicedColumn& col, const std::optional<RangeBound>& lower,
               const std::optional<RangeBound>& upper)
        : col_(col),
          has_lower_(lower.has_value()),
          has_upper_(upper.has_value()),
          lower_code_(lower ? value_code(lower->value) : 0),
          upper_code_(upper ? value_code(upper->value) : 0),
          lower_equal_(lower && lower->op == CompareOp::Gte),
          upper_equal_(upper && upper->op == CompareOp::Lte) {}

    std::uint64_t word(std::size_t w) const {
        const std::uint64_t exist = col_.existence.words()[w];
        std::uint64_t eq_lo = has_lower_ ? exist : 0, r_lo = 0;
        std::uint64_t eq_hi = has_upper_ ? exist : 0, r_hi = 0;
        for (int j = 63; j >= 0 && (eq_lo | eq_hi); --j) {
            const std::uint64_t s = col_.slices[static_cast<std::size_t>(j)].words()[w];
            if ((lower_code_ >> j) & 1u) {
                eq_lo &= s;
            } else {
                r_lo |= eq_lo & s;
                eq_lo &= ~s;
            }
            if ((upper_code_ >> j) & 1u) {
                r_hi |= eq_hi & ~s;
                eq_hi &= s;
            } else {
                eq_hi &= ~s;
            }
        }
        const std::uint64_t above = has_lower_ ? (lower_equal_ ? r_lo | eq_lo : r_lo) : exist;
        const std::uint64_t below = has_upper_ ? (upper_equal_ ? r_hi | eq_hi : r_hi) : exist;
        return above & below;
    }

private:
    const BitSlicedColumn& col_;
    bool has_lower_, has_upper_;
    std::uint64_t lower_code_, upper_code_;
    bool lower_equal_, upper_equal_;
};

bool is_lower(CompareOp op) { return op == CompareOp::Gt || op == CompareOp::Gte; }
bool is_upper(CompareOp op) { return op == CompareOp::Lt || op == CompareOp::Lte; }

}  // namespace

std::optional<SlotBitmap> NumericIndex::answer(std::string_view key, CompareOp op, const MetadataValue& operand) const {
    double y;
    if (!(is_lower(op) || is_upper(op)) || !number_as_double(operand, y)) return std::nullopt;
    const RangeBound bound{op, y};
    return is_lower(op) ? answer_range(key, bound, std::nullopt) : answer_range(key, std::nullopt, bound);
}

std::optional<SlotBitmap> NumericIndex::answer_range(std::string_view key, const std::optional<RangeBound>& lower,
                                                     const std::optional<RangeBound>& upper) const {
    const auto it = columns_.find(key);
    if (it == columns_.end()) return std::nullopt;
    const BitSlicedColumn& col = it->second;
    const RangeWords range(col, lower, upper);
    SlotBitmap out(col.existence.size());
    auto& res = out.words();
    for (std::size_t w = 0; w < res.size(); ++w) res[w] = range.word(w);
    return out;
}

std::optional<std::uint64_t> NumericIndex::estimate_range(std::string_view key, const std::optional<RangeBound>& lower,
                                                          const std::optional<RangeBound>& upper,
                                                          std::size_t stride) const {
    const auto it = columns_.find(key);
    if (it == columns_.end()) return std::nullopt;
    const BitSlicedColumn& col = it->second;
    const RangeWords range(col, lower, upper);
    const std::size_t words = col.existence.words().size();
    stride = std::max<std::size_t>(stride, 1);
    std::uint64_t found = 0, sampled = 0;
    // Start half a stride in, so that a short column's sample is not only its first word.
    for (std::size_t w = std::min(stride / 2, words ? words - 1 : 0); w < words; w += stride, ++sampled)
        found += static_cast<std::uint64_t>(std::popcount(range.word(w)));
    return sampled ? found * words / sampled : 0;
}

std::size_t NumericIndex::column_words(std::string_view key) const {
    const auto it = columns_.find(key);
    return it == columns_.end() ? 0 : it->second.existence.words().size();
}

void NumericIndex::remove(std::uint64_t slot) {
    for (auto& [key, col] : columns_) {
        if (slot >= col.existence.size()) continue;
        col.existence.clear(slot);
        for (auto& s : col.slices) s.clear(slot);
    }
}

std::size_t NumericIndex::memory_bytes() const {
    std::size_t n = 0;
    for (const auto& [key, col] : columns_) {
        n += key.capacity() + sizeof(col) + col.existence.words().capacity() * 8;
        for (const auto& s : col.slices) n += s.words().capacity() * 8;
    }
    return n;
}

}  // namespace orbisk
