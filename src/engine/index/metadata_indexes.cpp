#include "engine/index/metadata_indexes.hpp"

#include <mutex>

namespace orbisk {

namespace {

// Reads every live, readable record in ascending slot order.
template <class F>
void for_each_live_record(const RecordStore& records, F add) {
    records.live_bitmap().for_each_set([&](std::uint64_t s) {
        if (auto rec = records.read_live_record(s)) add(s, rec->metadata);
    });
}

// Double-checked lazy build of one index (`*index`, guarded by `m`): a shared
// look first, and build(*index) under the exclusive lock only if nobody has
// built it meanwhile.
template <class Index, class Build>
void ensure_built(Index* index, SharedMutex& m, Build build) EXCLUDES(m) {
    {
        ReaderLock lock(m);
        if (index->built()) return;
    }
    WriterLock lock(m);
    if (index->built()) return;
    try {
        build(*index);
    } catch (...) {
        *index = Index();  // a build cut short leaves nothing half-made behind
        throw;
    }
    index->mark_built();
}

void build_numeric(NumericIndex& index, const RecordStore& records) {
    const std::uint64_t n = records.next_slot();
    for_each_live_record(records, [&](std::uint64_t s, const MetadataMap& m) { index.add(s, m, n); });
}

void build_value(ValueIndex& index, const RecordStore& records) {
    index.set_universe(records.next_slot());
    for_each_live_record(records, [&](std::uint64_t s, const MetadataMap& m) { index.add(s, m); });
}

}  // namespace

std::optional<SlotBitmap> MetadataIndexes::answer(const RecordStore& records, const Condition& condition) {
    if (is_value_op(condition.op)) {
        ensure_built(&value_, value_mutex_, [&](ValueIndex& index) { build_value(index, records); });
        ReaderLock lock(value_mutex_);
        return value_.answer(condition.key, condition.op, condition.operand);
    }
    ensure_built(&numeric_, numeric_mutex_, [&](NumericIndex& index) { build_numeric(index, records); });
    ReaderLock lock(numeric_mutex_);
    return numeric_.answer(condition.key, condition.op, condition.operand);
}

std::optional<std::vector<std::uint64_t>> MetadataIndexes::answer_slots(const RecordStore& records,
                                                                        const Condition& condition, std::uint64_t max) {
    if (condition.op == CompareOp::Eq) {
        ensure_built(&value_, value_mutex_, [&](ValueIndex& index) { build_value(index, records); });
        ReaderLock lock(value_mutex_);
        return value_.equal_slots(condition.key, condition.operand, max);
    }
    auto bits = answer(records, condition);
    if (!bits) return std::nullopt;
    std::vector<std::uint64_t> out;
    bits->for_each_set([&](std::uint64_t s) { out.push_back(s); });
    if (out.size() > max) out.resize(max);
    return out;
}

bool MetadataIndexes::any_built() const {
    {
        ReaderLock lock(numeric_mutex_);
        if (numeric_.built()) return true;
    }
    ReaderLock lock(value_mutex_);
    return value_.built();
}

void MetadataIndexes::add(std::uint64_t first, std::span<const MetadataMap> metadata) {
    {
        WriterLock lock(numeric_mutex_);
        if (numeric_.built())
            for (std::size_t i = 0; i < metadata.size(); ++i) numeric_.add(first + i, metadata[i], 0);
    }
    WriterLock lock(value_mutex_);
    if (value_.built())
        for (std::size_t i = 0; i < metadata.size(); ++i) value_.add(first + i, metadata[i]);
}

void MetadataIndexes::remove(std::span<const PointRecord> records) {
    {
        WriterLock lock(numeric_mutex_);
        if (!numeric_.empty())
            for (const auto& r : records) numeric_.remove(r.slot);
    }
    WriterLock lock(value_mutex_);
    for (const auto& r : records) value_.remove(r.slot, r.metadata);
}

void MetadataIndexes::reset() {
    {
        WriterLock lock(numeric_mutex_);
        numeric_ = NumericIndex();
    }
    WriterLock lock(value_mutex_);
    value_ = ValueIndex();
}

IndexMemory MetadataIndexes::memory() const {
    IndexMemory m;
    {
        ReaderLock lock(numeric_mutex_);
        m.numeric_bytes = numeric_.memory_bytes();
    }
    ReaderLock lock(value_mutex_);
    m.value_bytes = value_.memory_bytes();
    return m;
}

}  // namespace orbisk
