#include "engine/query/metadata_scan.hpp"

#include <atomic>

#include "engine/util/worker_pool.hpp"

namespace orbisk {

namespace {

// Pieces small enough to balance two or more threads, large enough that a
// piece costs far more than handing it over.
constexpr std::size_t kMinPiece = 256;
std::size_t grain_for(std::size_t n) {
    const std::size_t pieces = 8 * (WorkerPool::instance().threads() + 1);
    return std::max(kMinPiece, (n + pieces - 1) / pieces);
}

// Reads candidates and tests them against an optional filter. The test runs on
// only the members the filter looks at (the rest of the text is checked, not
// built), so only matching records are read in full.
class Reader {
public:
    Reader(const RecordStore& records, const FilterExpr* filter)
        : records_(records), filter_(filter), keys_(filter ? filter_keys(*filter) : std::vector<std::string>{}) {}

    // The record of one candidate if it is readable and matches.
    std::optional<PointRecord> take(std::uint64_t slot) const {
        if (filter_) {
            const auto text = records_.live_metadata_text(slot);
            if (!text) return std::nullopt;
            const auto subset = metadata_subset_from_json_text(*text, keys_);
            if (!subset || !filter_matches(*filter_, *subset)) return std::nullopt;
        }
        return records_.read_live_record(slot);
    }

private:
    const RecordStore& records_;
    const FilterExpr* filter_;
    std::vector<std::string> keys_;
};

std::vector<PointRecord> join(std::vector<std::vector<PointRecord>>& parts) {
    std::size_t n = 0;
    for (const auto& p : parts) n += p.size();
    std::vector<PointRecord> out;
    out.reserve(n);
    for (auto& p : parts)
        for (auto& r : p) out.push_back(std::move(r));
    return out;
}

// Candidates in order on the calling thread, stopping after `limit` records.
std::vector<PointRecord> scan_serial(const Reader& reader, std::span<const std::uint64_t> cands,
                                     std::uint64_t limit) {
    std::vector<PointRecord> out;
    for (std::uint64_t s : cands) {
        if (out.size() >= limit) break;
        if (auto rec = reader.take(s)) out.push_back(std::move(*rec));
    }
    return out;
}

// In parallel with a shared countdown of the records still wanted: a match is
// kept only if it can still take one, and workers stop once none is left.
std::vector<PointRecord> scan_countdown(const Reader& reader, std::span<const std::uint64_t> cands,
                                        std::uint64_t limit) {
    std::atomic<std::uint64_t> left{limit};
    auto parts = fork_join<std::vector<PointRecord>>(cands.size(), grain_for(cands.size()), [&](std::size_t b, std::size_t e) {
        std::vector<PointRecord> part;
        for (std::size_t i = b; i < e && left.load(std::memory_order_relaxed) > 0; ++i) {
            auto rec = reader.take(cands[i]);
            if (!rec) continue;
            std::uint64_t n = left.load(std::memory_order_relaxed);
            while (n > 0 && !left.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) {
            }
            if (n == 0) break;
            part.push_back(std::move(*rec));
        }
        return part;
    });
    return join(parts);
}

// Reads (and with a filter, tests) the candidates and keeps at most `limit`.
std::vector<PointRecord> run_route(const RecordStore& records, std::span<const std::uint64_t> cands,
                                   const FilterExpr* filter, std::uint64_t limit) {
    const std::uint64_t n = cands.size();
    // Everything (or, when testing, a limit of half the list or more): read all.
    if (filter ? limit >= n / 2 : limit >= n) {
        auto out = collect_candidates(records, cands, filter);
        if (out.size() > limit) out.resize(limit);
        return out;
    }
    const Reader reader(records, filter);
    if (n <= kSerialLimitedMax) return scan_serial(reader, cands, limit);
    return scan_countdown(reader, cands, limit);
}

std::vector<std::uint64_t> slots_of(const SlotBitmap& bits, std::size_t expected = 0) {
    std::vector<std::uint64_t> out;
    out.reserve(expected);
    bits.for_each_set([&](std::uint64_t s) { out.push_back(s); });
    return out;
}

}  // namespace

std::vector<PointRecord> collect_candidates(const RecordStore& records, std::span<const std::uint64_t> candidates,
                                            const FilterExpr* filter) {
    const Reader reader(records, filter);
    if (candidates.size() <= kSerialCollectMax) return scan_serial(reader, candidates, kNoLimit);
    auto parts = fork_join<std::vector<PointRecord>>(
        candidates.size(), grain_for(candidates.size()),
        [&](std::size_t b, std::size_t e) { return scan_serial(reader, candidates.subspan(b, e - b), kNoLimit); });
    return join(parts);
}

std::vector<PointRecord> metadata_scan(const RecordStore& records, MetadataIndexes& indexes, const FilterExpr& filter,
                                       std::uint64_t limit) {
    if (limit == 0) return {};
    using Kind = FilterExpr::Kind;

    if (filter.kind == Kind::And && filter.children.size() >= 2) {
        // Each condition an index answers narrows the candidates.
        std::optional<SlotBitmap> narrowed;
        for (const auto& child : filter.children) {
            if (child.kind != Kind::Compare) continue;
            auto set = indexes.answer(records, child);
            if (!set) continue;
            if (narrowed)
                narrowed->and_with(*set);
            else
                narrowed = std::move(set);
        }
        if (narrowed) {
            const auto cands = slots_of(*narrowed);
            auto out = collect_candidates(records, cands, &filter);
            if (out.size() > limit) out.resize(limit);
            return out;
        }
    } else if (filter.kind == Kind::Compare) {
        if (auto cands = indexes.answer_slots(records, filter)) {
            // A $nin answer may hold more than the matches: test them again.
            return run_route(records, *cands, filter.op == CompareOp::Nin ? &filter : nullptr, limit);
        }
    }
    return run_route(records, slots_of(records.live_bitmap(), records.live_count()), &filter, limit);
}

}  // namespace orbisk
