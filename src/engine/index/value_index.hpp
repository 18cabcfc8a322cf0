// The value index: for each metadata key asked about, the slots holding each
// of its scalar values (null, boolean, 64-bit signed integer or string). It
// answers equality, inequality and membership conditions exactly, or declines
// what it cannot answer exactly (doubles, keys that ever held an array for
// $in/$nin, keys beyond their memory budget). In memory only; rebuilt from the
// records.
//
// Keys are built one at a time, on the first question about them, and from
// then on kept up by inserts and deletes. A key may hold any number of
// distinct values (KeyValues keeps values held by one point as bare hashed
// slots), within a memory budget of kBudgetBytesPerPoint bytes a slot of the
// store (at least kBudgetFloorBytes): a key that goes beyond it is dropped and
// declined until the index is reset.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/index/key_values.hpp"
#include "engine/index/value_keys.hpp"
#include "engine/metadata/compare.hpp"
#include "engine/metadata/metadata.hpp"
#include "engine/util/slot_bitmap.hpp"
#include "engine/util/string_map.hpp"

namespace orbisk {

struct ValueBudget {
    std::uint64_t bytes_per_point = 32;
    std::uint64_t floor_bytes = std::uint64_t{1} << 20;
};

// How the index confirms a slot it keeps without its value's text: whether
// the record of `slot` holds, under `key`, the value whose encoded value key
// (see value_key) is `value_key`. Called under the index's shared lock.
class ValueCheck {
public:
    virtual bool holds(std::uint64_t slot, std::string_view key, std::string_view value_key) const = 0;

protected:
    ~ValueCheck() = default;
};

// One key's values as a build reads them from the records, in ascending slot
// order: the slots holding an indexable value with their encoded value keys
// and the lines where their texts start (see KeyValues::add), and whether some
// record held an array under the key.
struct KeyValueBatch {
    std::vector<std::uint64_t> slots;
    std::vector<std::size_t> ends;  // value key i is bytes[ends[i - 1], ends[i])
    std::vector<std::uint32_t> lines;
    std::string bytes;
    bool saw_array = false;

    // Adds what `value` brings to the index.
    void add(std::uint64_t slot, const MetadataValue& value);
    // Adds what a record's stored text, starting at 64-byte line `line` of the
    // metadata file, holds under `key` (nothing when the text is unreadable:
    // such a record reads as absent).
    void add_from_text(std::uint64_t slot, std::string_view text, std::string_view key, std::uint32_t line = 0);
    std::size_t size() const { return slots.size(); }
    void clear() {
        slots.clear();
        ends.clear();
        lines.clear();
        bytes.clear();
        saw_array = false;
    }
    std::string_view value_key(std::size_t i) const {
        const std::size_t begin = i ? ends[i - 1] : 0;
        return std::string_view(bytes).substr(begin, ends[i] - begin);
    }
};

// The slots that may hold one value held by few points: those the index keeps
// without the value's text, found by the value's hash. Each is confirmed by
// reading its record.
struct SingleCandidates {
    static constexpr std::size_t kMax = 8;
    std::array<std::uint64_t, kMax> slots;
    std::array<std::uint32_t, kMax> lines;  // where each slot's text starts, when known (KeyValues::add)
    std::size_t size = 0;
};

class ValueIndex {
public:
    explicit ValueIndex(ValueBudget budget = {}) : budget_(budget) {}

    // Whether `key` has been built (or was dropped beyond its budget).
    bool knows(std::string_view key) const { return keys_.contains(key) || declined_.contains(key); }
    // Starts building `key`: from now on it answers and add() keeps it up.
    void begin_key(std::string_view key);
    // Adds what the records of a batch hold under `key`. False when the key went
    // beyond its budget and was dropped.
    bool add_batch(std::string_view key, const KeyValueBatch& batch);
    // Called by a build after the values of its first `read` slots, with the
    // store's slot count: sizes the key's singles for the number of values
    // that start promises when it is large (and fits the budget), instead of
    // growing the table step by step.
    void expect_distinct(std::string_view key, std::uint64_t read, std::uint64_t slots);
    // Forgets a key whose build was cut short; it is built again when asked.
    void forget_key(std::string_view key) {
        if (const auto it = keys_.find(key); it != keys_.end()) keys_.erase(it);
    }

    // Adds one newly stored record's values under the keys that are built,
    // with the line where its text starts (see KeyValues::add; 0: not known).
    void add(std::uint64_t slot, const MetadataMap& metadata, std::uint32_t line = 0);
    // Forgets a deleted slot under the record's own values.
    void remove(std::uint64_t slot, const MetadataMap& metadata);

    // The slots satisfying `key op operand` for Eq, Ne and In exactly, or a
    // superset of them for Nin; nothing when the index cannot answer.
    std::optional<SlotBitmap> answer(std::string_view key, CompareOp op, const MetadataValue& operand,
                                     const ValueCheck& check) const;
    // The Eq answer as ascending slots, at most `max` of them, the lowest:
    // listed from the value's own set, without a bitmap as long as the store.
    std::optional<std::vector<std::uint64_t>> equal_slots(std::string_view key, const MetadataValue& operand,
                                                          std::uint64_t max, const ValueCheck& check) const;
    // The Eq answer for the encoded value key `value_key` of a value the index
    // keeps only as singles: the slots that may hold it (in table order, not
    // confirmed), so that a caller reads each record once, to confirm it and
    // to take it. False when the answer cannot be given so (the key is not
    // built, the value has an interned set, or more than SingleCandidates::kMax
    // singles share its hash): equal_slots answers then.
    bool single_candidates(std::string_view key, std::string_view value_key, SingleCandidates& out) const;

    // Raises the universe (one more than the highest slot an answer may hold)
    // to the store's slot count, before a build.
    void raise_universe(std::uint64_t n) {
        if (n > universe_) universe_ = n;
    }
    // Whether some key is built, so that new records must be added.
    bool any_key_built() const { return !keys_.empty(); }
    std::size_t memory_bytes() const;
    // Bytes held for one key (0 when it is not built).
    std::size_t key_memory_bytes(std::string_view key) const;

private:
    struct KeyEntry {
        KeyValues values;
        bool has_array = false;  // some added record held an array under the key
    };

    std::uint64_t budget_bytes() const;
    // Adds one value key under an entry; false when the key is beyond its budget.
    bool add_value(KeyEntry& entry, std::uint64_t slot, std::string_view value_key, std::uint32_t line);
    void decline(StringMap<KeyEntry>::iterator it);
    void or_equal_into(std::string_view key, const KeyEntry& entry, std::string_view value_key, const ValueCheck& check,
                       SlotBitmap& out) const;

    StringMap<KeyEntry> keys_;
    StringSet declined_;
    std::uint64_t universe_ = 0;
    ValueBudget budget_;
};

// Whether the index could answer `op operand` on some key, seen from the
// operand alone: Eq, Ne and In need value keys of the operand (of each element
// for In), Nin needs a list. Checked before a key is built for the question.
bool value_index_may_answer(CompareOp op, const MetadataValue& operand);

}  // namespace orbisk
