// The handle's two metadata indexes, each behind its own reader/writer lock:
// the lazy build on first use, answers to single conditions, and their upkeep
// by inserts, deletes and compaction. Callers that read the records hold the
// storage lock shared and take at most one index lock at a time; writers come
// here only after releasing the storage lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
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
    // The slot set of one condition from the index that serves its operator,
    // building that index from `records` first if it has not been built. Nothing
    // when the index declines. The caller holds the storage lock shared.
    std::optional<SlotBitmap> answer(const RecordStore& records, const Condition& condition);
    // The same answer as ascending slots, at most `max` of them, the lowest (an
    // Eq answer is listed from the value's own set, without a bitmap as long as
    // the store, and only as far as `max`).
    std::optional<std::vector<std::uint64_t>> answer_slots(const RecordStore& records, const Condition& condition,
                                                           std::uint64_t max = ~std::uint64_t{0});

    // Whether either index has been built (and so wants new points).
    bool any_built() const;
    // Adds newly stored points, slots first, first + 1, ..., to each index that
    // has been built, deciding that under the index's exclusive lock.
    void add(std::uint64_t first, std::span<const MetadataMap> metadata);
    // Forgets deleted points (their slot and stored metadata) in both indexes.
    void remove(std::span<const PointRecord> records);
    // Empties both indexes; the next query that needs one builds it again.
    void reset();

    IndexMemory memory() const;

private:
    // No thread holds both index locks at once.
    mutable SharedMutex numeric_mutex_;
    NumericIndex numeric_ GUARDED_BY(numeric_mutex_);
    mutable SharedMutex value_mutex_;
    ValueIndex value_ GUARDED_BY(value_mutex_);
};

}  // namespace orbisk
