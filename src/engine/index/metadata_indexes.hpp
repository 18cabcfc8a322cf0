// The handle's two metadata indexes, each behind its own reader/writer lock:
// the lazy build on first use (the numeric index all at once, the value index
// one key at a time, as keys are asked about), answers to single conditions,
// and their upkeep by inserts, deletes and compaction. Callers that read the
// records hold the storage lock shared and take at most one index lock at a
// time; writers come here only after releasing the storage lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/index/numeric_index.hpp"
#include "engine/index/value_index.hpp"
#include "engine/metadata/compare.hpp"
#include "engine/storage/record_store.hpp"
#include "engine/util/thread_annotations.hpp"

namespace orbisk {

// Operators the value index answers (the others go to the numeric index).
inline bool is_value_op(CompareOp op) {
    return op == CompareOp::Eq || op == CompareOp::Ne || op == CompareOp::In || op == CompareOp::Nin;
}

struct IndexMemory {
    std::size_t numeric_bytes = 0;
    std::size_t value_bytes = 0;
};

class MetadataIndexes {
public:
    explicit MetadataIndexes(ValueBudget value_budget = {}) : value_(value_budget), value_budget_(value_budget) {}

    // The slot set of one condition from the index that serves its operator,
    // building that index from `records` first if it has not been built. Nothing
    // when the index declines. The caller holds the storage lock shared.
    std::optional<SlotBitmap> answer(const RecordStore& records, const Condition& condition);
    // The same answer as ascending slots, at most `max` of them, the lowest (an
    // Eq answer is listed from the value's own set, without a bitmap as long as
    // the store, and only as far as `max`).
    std::optional<std::vector<std::uint64_t>> answer_slots(const RecordStore& records, const Condition& condition,
                                                           std::uint64_t max = ~std::uint64_t{0});

    // For an Eq condition on a value the value index keeps only as singles:
    // the operand's encoded value key in `value_key` and the slots that may
    // hold it in `out` (ValueIndex::single_candidates), building the key first
    // if it has not been built. The caller confirms each slot by reading its
    // record (text_holds_value_key). False when the answer is not given so:
    // answer_slots gives it.
    bool equal_candidates(const RecordStore& records, const Condition& condition, std::string& value_key,
                          SingleCandidates& out);

    // The numeric index's answer to a range on one key, both bounds in one
    // pass (either may be absent), building the index first if it has not
    // been built. Nothing when the key holds no Number.
    std::optional<SlotBitmap> answer_range(const RecordStore& records, std::string_view key,
                                           const std::optional<RangeBound>& lower,
                                           const std::optional<RangeBound>& upper);
    // About how many slots that answer holds, from one word in 64 of it
    // (builds the index too).
    std::optional<std::uint64_t> estimate_range(const RecordStore& records, std::string_view key,
                                                const std::optional<RangeBound>& lower,
                                                const std::optional<RangeBound>& upper);

    // Whether either index has been built, the value index for some key (and
    // so wants new points).
    bool any_built() const;

    // Adds newly stored points, slots first, first + 1, ..., to each index that
    // has been built, deciding that under the index's exclusive lock. `lines`,
    // when given, holds for each the 64-byte line of the metadata file where
    // its text starts (RecordStore::metadata_line).
    void add(std::uint64_t first, std::span<const MetadataMap> metadata, std::span<const std::uint32_t> lines = {});
    // Forgets deleted points (their slot and stored metadata) in both indexes.
    void remove(std::span<const PointRecord> records);
    // Empties both indexes; the next query that needs one builds it again.
    void reset();

    IndexMemory memory() const;

private:
    // ask(index) under the value index's shared lock, once `key` is built
    // (built here first, under the exclusive lock, when it is not).
    template <class Ask>
    auto ask_value_index(const RecordStore& records, std::string_view key, Ask ask) EXCLUDES(value_mutex_);

    // No thread holds both index locks at once.
    mutable SharedMutex numeric_mutex_;
    NumericIndex numeric_ GUARDED_BY(numeric_mutex_);
    mutable SharedMutex value_mutex_;
    ValueIndex value_ GUARDED_BY(value_mutex_);
    const ValueBudget value_budget_;
};

}  // namespace orbisk
