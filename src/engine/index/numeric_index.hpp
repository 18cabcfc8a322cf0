// The numeric index: one bit-sliced column per metadata key that holds Numbers.
// Slice j of a column holds bit j of each slot's value code, an unsigned image
// of the number as a double that sorts like the numbers do, so a range
// condition is answered by 64 whole-word passes over the column, whatever the
// number of distinct values. In memory only; rebuilt from the records.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/metadata/metadata.hpp"
#include "engine/metadata/compare.hpp"
#include "engine/util/slot_bitmap.hpp"
#include "engine/util/string_map.hpp"

namespace orbisk {

// Order-preserving code of a number taken as a double; -0.0 and 0.0 share one.
std::uint64_t value_code(double x);

// One side of a range on a key's numbers: Gt or Gte a lower bound, Lt or Lte
// an upper one, the bound taken as a double.
struct RangeBound {
    CompareOp op;
    double value;
};

struct BitSlicedColumn {
    std::array<SlotBitmap, 64> slices;
    SlotBitmap existence;  // the slots that hold a Number under the key
};

class NumericIndex {
public:
    // Adds one record's top-level Numbers. A new column is presized to
    // `presize` slots (the store's slot count during a build, 0 otherwise).
    void add(std::uint64_t slot, const MetadataMap& metadata, std::uint64_t presize);
    // The slots holding a Number under `key` that compares with `operand` as
    // `op` (Gt, Gte, Lt, Lte) asks, or nothing when the key has no column, the
    // operand is not a Number or the operator is not a range.
    std::optional<SlotBitmap> answer(std::string_view key, CompareOp op, const MetadataValue& operand) const;
    // The slots holding a Number under `key` within both bounds (either may be
    // absent; not both), in one pass over the column: exactly the intersection
    // of the two single answers. Nothing when the key has no column.
    std::optional<SlotBitmap> answer_range(std::string_view key, const std::optional<RangeBound>& lower,
                                           const std::optional<RangeBound>& upper) const;
    // About how many slots answer_range would give, from the answer over one
    // word (64 slots) in every `stride`: a sixty-fourth of the store at stride
    // 64 costs a sixty-fourth of the answer. Nothing when the key has no column.
    std::optional<std::uint64_t> estimate_range(std::string_view key, const std::optional<RangeBound>& lower,
                                                const std::optional<RangeBound>& upper, std::size_t stride) const;
    // Words (64 slots each) in the key's column, or 0 when it has none.
    std::size_t column_words(std::string_view key) const;
    // Forgets a deleted slot in every column.
    void remove(std::uint64_t slot);

    bool empty() const { return columns_.empty(); }
    // Set once the index has been built from the records; from then on inserts
    // maintain it, even while it holds no column.
    bool built() const { return built_; }
    void mark_built() { built_ = true; }
    std::size_t memory_bytes() const;

private:
    StringMap<BitSlicedColumn> columns_;
    bool built_ = false;
};

}  // namespace orbisk
