// The value index: for every metadata key with at most 1000 distinct scalar
// values, one slot set per value (null, boolean, 64-bit signed integer or
// string). It answers equality, inequality and membership conditions exactly,
// or declines what it cannot answer exactly (doubles, keys that ever held an
// array for $in/$nin, keys dropped at the distinct limit). In memory only;
// rebuilt from the records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/metadata/metadata.hpp"
#include "engine/metadata/compare.hpp"
#include "engine/util/compressed_bitmap.hpp"
#include "engine/util/slot_bitmap.hpp"
#include "engine/util/string_map.hpp"

namespace orbisk {

// The slots holding one value of one key, compressed: a key costs a few bytes
// a point whatever its number of distinct values.
using ValueBitmap = CompressedBitmap;

inline constexpr std::uint64_t kDistinctLimit = 1000;

class ValueIndex {
public:
    // Adds one record's top-level scalar values (and notes array-valued keys).
    void add(std::uint64_t slot, const MetadataMap& metadata);
    // The slots satisfying `key op operand` for Eq, Ne and In exactly, or a
    // superset of them for Nin; nothing when the index cannot answer.
    std::optional<SlotBitmap> answer(std::string_view key, CompareOp op, const MetadataValue& operand) const;
    // The Eq answer as ascending slots, listed from the value's own set without
    // a bitmap as long as the store: what a rare value costs is its members.
    // At most `max` of them, the lowest.
    std::optional<std::vector<std::uint64_t>> equal_slots(std::string_view key, const MetadataValue& operand,
                                                          std::uint64_t max) const;
    // Forgets a deleted slot under the record's own values.
    void remove(std::uint64_t slot, const MetadataMap& metadata);

    // Raised to the store's slot count before a build.
    void set_universe(std::uint64_t n) { universe_ = n; }
    bool empty() const { return keys_.empty(); }
    // Set once the index has been built from the records; from then on inserts
    // maintain it, even while it holds no key.
    bool built() const { return built_; }
    void mark_built() { built_ = true; }
    std::size_t memory_bytes() const;

private:
    struct KeyEntry {
        // Value key (see value_key) -> slots holding that value.
        StringMap<ValueBitmap> values;
        std::uint64_t length = 0;  // every answer for the key has this many bits
    };

    // The Eq answer of an entry for one encoded value key.
    SlotBitmap equal_bitmap(const KeyEntry& entry, std::string_view value_key, std::uint64_t length) const;

    StringMap<KeyEntry> keys_;
    StringMap<std::uint64_t> distinct_;
    StringSet array_keys_;
    std::uint64_t universe_ = 0;
    bool built_ = false;
};

// The value key of a metadata value, encoded as text (a kind byte, then the
// value), or false for values the index does not hold: doubles, integers of
// 2^63 and above, arrays and objects.
bool value_key(const MetadataValue& v, std::string& out);

}  // namespace orbisk
