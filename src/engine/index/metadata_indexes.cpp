#include "engine/index/metadata_indexes.hpp"

#include <algorithm>
#include <array>
#include <string>

#include "engine/util/worker_pool.hpp"

namespace orbisk {

namespace {

// A range's size is estimated from one word of its answer in this many.
constexpr std::size_t kEstimateStride = 64;

// Reads every live, readable record in ascending slot order.
template <class F>
void for_each_live_record(const RecordStore& records, F add) {
    records.live_bitmap().for_each_set([&](std::uint64_t s) {
        if (auto rec = records.read_live_record(s)) add(s, rec->metadata);
    });
}

// Double-checked lazy build of the numeric index (`*index`, guarded by `m`): a
// shared look first, and build(*index) under the exclusive lock only if nobody
// has built it meanwhile.
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

// Confirms a slot the value index keeps without its value's text by reading
// the slot's record. The caller holds the storage lock shared.
class RecordCheck final : public ValueCheck {
public:
    explicit RecordCheck(const RecordStore& records) : records_(records) {}
    bool holds(std::uint64_t slot, std::string_view key, std::string_view vk) const override {
        // The coordinate record and the text's span lie far apart in a large
        // store: both are asked for at once.
        records_.prefetch_coordinates(slot);
        records_.prefetch_metadata_span(slot);
        const auto text = records_.live_metadata_text(slot);
        return text && text_holds_value_key(*text, key, vk);
    }

private:
    const RecordStore& records_;
};

// What the live, readable records of slots [begin, end) hold under `key`, in
// `batch` (emptied first, its buffers kept).
void read_key_values(const RecordStore& records, const std::string& key, std::uint64_t begin, std::uint64_t end,
                     KeyValueBatch& batch) {
    batch.clear();
    const std::vector<std::uint64_t>& live = records.live_bitmap().words();
    for (std::uint64_t w = begin >> 6; w < live.size() && (w << 6) < end; ++w) {
        std::uint64_t bits = live[w];
        if ((w << 6) < begin) bits &= ~std::uint64_t{0} << (begin & 63);
        for (; bits; bits &= bits - 1) {
            const std::uint64_t s = (w << 6) | static_cast<std::uint64_t>(std::countr_zero(bits));
            if (s >= end) break;
            if (const auto text = records.live_metadata_text(s))
                batch.add_from_text(s, *text, key, records.metadata_line(s));
        }
    }
}

// Builds `key` in the value index from the records. It reads the records in
// rounds of kRoundSlots slots, each round's pieces on the worker pool, while
// one thread adds the previous round's values: reading the text is most of the
// work and spreads over every thread; the adding goes in slot order. Rounds are
// short, so that what is read waits in the cache, not in memory, and the two
// rounds' buffers are reused.
void build_value_key(ValueIndex& index, const RecordStore& records, std::string_view key) {
    constexpr std::uint64_t kRoundSlots = std::uint64_t{1} << 16;
    constexpr std::uint64_t kPieceSlots = std::uint64_t{1} << 12;
    constexpr std::size_t kPieces = kRoundSlots / kPieceSlots;
    const std::uint64_t n = records.next_slot();
    const std::string name(key);
    index.raise_universe(n);
    index.begin_key(key);
    std::array<std::vector<KeyValueBatch>, 2> buffers{std::vector<KeyValueBatch>(kPieces),
                                                      std::vector<KeyValueBatch>(kPieces)};
    std::size_t ready_pieces = 0;
    bool kept = true;
    for (std::uint64_t start = 0, round = 0; kept; start += kRoundSlots, ++round) {
        std::vector<KeyValueBatch>& next = buffers[round % 2];
        const std::vector<KeyValueBatch>& ready = buffers[(round + 1) % 2];
        const std::uint64_t end = std::min(n, start + kRoundSlots);
        const std::size_t pieces =
            start < n ? static_cast<std::size_t>((end - start + kPieceSlots - 1) / kPieceSlots) : 0;
        WorkerPool::instance().run(pieces + 1, [&](std::size_t i) {
            if (i == 0) {
                for (std::size_t k = 0; k < ready_pieces && kept; ++k) kept = index.add_batch(key, ready[k]);
                // A key of mostly distinct values: size its table once for the whole store.
                if (round == 1 && kept) index.expect_distinct(key, std::min(n, kRoundSlots), n);
                return;
            }
            const std::uint64_t first = start + (i - 1) * kPieceSlots;
            read_key_values(records, name, first, std::min(end, first + kPieceSlots), next[i - 1]);
        });
        if (start >= n) break;
        ready_pieces = pieces;
    }
}

}  // namespace

template <class Ask>
auto MetadataIndexes::ask_value_index(const RecordStore& records, std::string_view key, Ask ask) {
    {
        ReaderLock lock(value_mutex_);
        if (value_.knows(key)) return ask(static_cast<const ValueIndex&>(value_));
    }
    {
        WriterLock lock(value_mutex_);
        if (!value_.knows(key)) {
            try {
                build_value_key(value_, records, key);
            } catch (...) {
                value_.forget_key(key);  // a build cut short leaves nothing half-made behind
                throw;
            }
        }
    }
    ReaderLock lock(value_mutex_);
    return ask(static_cast<const ValueIndex&>(value_));
}

std::optional<SlotBitmap> MetadataIndexes::answer(const RecordStore& records, const Condition& condition) {
    if (is_value_op(condition.op)) {
        if (!value_index_may_answer(condition.op, condition.operand)) return std::nullopt;
        return ask_value_index(records, condition.key, [&](const ValueIndex& index) {
            return index.answer(condition.key, condition.op, condition.operand, RecordCheck(records));
        });
    }
    ensure_built(&numeric_, numeric_mutex_, [&](NumericIndex& index) { build_numeric(index, records); });
    ReaderLock lock(numeric_mutex_);
    return numeric_.answer(condition.key, condition.op, condition.operand);
}

std::optional<std::vector<std::uint64_t>> MetadataIndexes::answer_slots(const RecordStore& records,
                                                                        const Condition& condition, std::uint64_t max) {
    if (condition.op == CompareOp::Eq) {
        if (!value_index_may_answer(condition.op, condition.operand)) return std::nullopt;
        return ask_value_index(records, condition.key, [&](const ValueIndex& index) {
            return index.equal_slots(condition.key, condition.operand, max, RecordCheck(records));
        });
    }
    auto bits = answer(records, condition);
    if (!bits) return std::nullopt;
    std::vector<std::uint64_t> out;
    bits->for_each_set([&](std::uint64_t s) { out.push_back(s); });
    if (out.size() > max) out.resize(max);
    return out;
}

bool MetadataIndexes::equal_candidates(const RecordStore& records, const Condition& condition, std::string& vk,
                                       SingleCandidates& out) {
    if (condition.op != CompareOp::Eq || !value_key(condition.operand, vk)) return false;
    return ask_value_index(records, condition.key,
                           [&](const ValueIndex& index) { return index.single_candidates(condition.key, vk, out); });
}

std::optional<SlotBitmap> MetadataIndexes::answer_range(const RecordStore& records, std::string_view key,
                                                        const std::optional<RangeBound>& lower,
                                                        const std::optional<RangeBound>& upper) {
    ensure_built(&numeric_, numeric_mutex_, [&](NumericIndex& index) { build_numeric(index, records); });
    ReaderLock lock(numeric_mutex_);
    return numeric_.answer_range(key, lower, upper);
}

std::optional<std::uint64_t> MetadataIndexes::estimate_range(const RecordStore& records, std::string_view key,
                                                             const std::optional<RangeBound>& lower,
                                                             const std::optional<RangeBound>& upper) {
    ensure_built(&numeric_, numeric_mutex_, [&](NumericIndex& index) { build_numeric(index, records); });
    ReaderLock lock(numeric_mutex_);
    return numeric_.estimate_range(key, lower, upper, kEstimateStride);
}

bool MetadataIndexes::any_built() const {
    {
        ReaderLock lock(numeric_mutex_);
        if (numeric_.built()) return true;
    }
    ReaderLock lock(value_mutex_);
    return value_.any_key_built();
}

void MetadataIndexes::add(std::uint64_t first, std::span<const MetadataMap> metadata,
                          std::span<const std::uint32_t> lines) {
    {
        WriterLock lock(numeric_mutex_);
        if (numeric_.built())
            for (std::size_t i = 0; i < metadata.size(); ++i) numeric_.add(first + i, metadata[i], 0);
    }
    WriterLock lock(value_mutex_);
    for (std::size_t i = 0; i < metadata.size(); ++i)
        value_.add(first + i, metadata[i], i < lines.size() ? lines[i] : 0);
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
    value_ = ValueIndex(value_budget_);
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
