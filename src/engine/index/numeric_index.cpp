#include "engine/index/numeric_index.hpp"

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

std::optional<SlotBitmap> NumericIndex::answer(std::string_view key, CompareOp op, const MetadataValue& operand) const {
    if (op != CompareOp::Gt && op != CompareOp::Gte && op != CompareOp::Lt && op != CompareOp::Lte) return std::nullopt;
    const auto it = columns_.find(key);
    double y;
    if (it == columns_.end() || !number_as_double(operand, y)) return std::nullopt;
    const BitSlicedColumn& col = it->second;
    const std::uint64_t c = value_code(y);
    const bool greater = op == CompareOp::Gt || op == CompareOp::Gte;
    const bool or_equal = op == CompareOp::Gte || op == CompareOp::Lte;

    SlotBitmap out(col.existence.size());
    auto& res = out.words();
    const auto& exist = col.existence.words();
    // Word by word: EQ holds the slots whose code agrees with c on the bits seen
    // so far (high to low), R those already known to be greater (or less).
    for (std::size_t w = 0; w < exist.size(); ++w) {
        std::uint64_t eq = exist[w];
        std::uint64_t r = 0;
        for (int j = 63; j >= 0 && eq; --j) {
            const std::uint64_t s = col.slices[static_cast<std::size_t>(j)].words()[w];
            const bool bit = (c >> j) & 1u;
            if (greater) {
                if (bit) {
                    eq &= s;
                } else {
                    r |= eq & s;
                    eq &= ~s;
                }
            } else {
                if (bit) {
                    r |= eq & ~s;
                    eq &= s;
                } else {
                    eq &= ~s;
                }
            }
        }
        res[w] = or_equal ? (r | eq) : r;
    }
    return out;
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
