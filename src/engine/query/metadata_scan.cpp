#include "engine/query/metadata_scan.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <iterator>
#include <string>

#include "engine/index/value_keys.hpp"
#include "engine/query/index_plan.hpp"
#include "engine/query/route_override.hpp"
#include "engine/query/text_precheck.hpp"
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

// What a scan hands back, in candidate order: parsed records, or records with
// their stored text for the row builder.
void append(std::vector<PointRecord>& to, std::vector<PointRecord>&& from) {
    if (to.empty())
        to = std::move(from);
    else
        to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
}
void append(TextRecords& to, TextRecords&& from) { to.append(std::move(from)); }
void truncate(std::vector<PointRecord>& records, std::size_t n) {
    if (records.size() > n) records.erase(records.begin() + static_cast<std::ptrdiff_t>(n), records.end());
}
void truncate(TextRecords& records, std::size_t n) { records.truncate(n); }

// Reads candidates and tests them against an optional filter. A text that
// cannot hold the filter's values is passed over unread (TextPrecheck); the
// test runs on only the members the filter looks at (the rest of the text is
// checked, not built), so only matching records are read in full.
//
// Without a filter, a text is checked readable only where the scan must know
// (a limit counts readable records only); an unlimited read hands its texts
// over unchecked, and the row builder, which parses each text anyway, drops
// those it cannot read.
class Reader {
public:
    Reader(const RecordStore& records, const FilterExpr* filter, bool check_text)
        : records_(records),
          filter_(filter),
          keys_(filter ? filter_keys(*filter) : std::vector<std::string>{}),
          precheck_(filter ? TextPrecheck(*filter) : std::optional<TextPrecheck>()),
          check_text_(check_text) {}

    // Adds the record of one candidate to `out` if it is readable and matches.
    bool take(std::uint64_t slot, std::vector<PointRecord>& out) const {
        if (filter_) {
            const auto text = records_.live_metadata_text(slot);
            if (!text || !matches(*text)) return false;
        }
        auto rec = records_.read_live_record(slot);
        if (!rec) return false;
        out.push_back(std::move(*rec));
        return true;
    }
    bool take(std::uint64_t slot, TextRecords& out) const {
        const auto text = records_.live_metadata_text(slot);
        if (!text) return false;
        if (filter_ ? !matches(*text) : check_text_ && !metadata_text_readable(*text)) return false;
        // Read once more for the row: a tombstone another process has written
        // since the liveness test is not served.
        const auto [lat, lon] = records_.coordinates(slot);
        if (std::isnan(lat) || std::isnan(lon)) return false;
        out.add(slot, lat, lon, *text);
        return true;
    }

    // Whether every readable candidate is taken (no filter to test).
    bool takes_all() const { return !filter_; }

private:
    // Readable, and matching the filter.
    bool matches(std::string_view text) const {
        if (!precheck_->may_match(text)) return false;
        const auto subset = metadata_subset_from_json_text(text, keys_);
        return subset && filter_matches(*filter_, *subset);
    }

    const RecordStore& records_;
    const FilterExpr* filter_;
    std::vector<std::string> keys_;
    std::optional<TextPrecheck> precheck_;
    bool check_text_;
};

template <class Out>
Out join(std::vector<Out>& parts) {
    Out out;
    for (auto& p : parts) append(out, std::move(p));
    return out;
}

// Room for `n` records read on one thread: a text of about 100 bytes each,
// up to a buffer the allocator keeps on its heap (more only grows it as usual).
void reserve_for(std::vector<PointRecord>& out, std::size_t n) { out.reserve(n); }
void reserve_for(TextRecords& out, std::size_t n) { out.reserve(n, std::min<std::size_t>(n * 128, 32 * 1024)); }

// Candidates in order on the calling thread, stopping after `limit` records.
template <class Out>
Out scan_serial(const Reader& reader, std::span<const std::uint64_t> cands, std::uint64_t limit) {
    Out out;
    // Without a test every candidate is likely taken.
    if (reader.takes_all()) reserve_for(out, static_cast<std::size_t>(std::min<std::uint64_t>(cands.size(), limit)));
    for (std::uint64_t s : cands) {
        if (out.size() >= limit) break;
        reader.take(s, out);
    }
    return out;
}

// Candidates a countdown walks on the calling thread before it forks: a small
// limit that the first candidates meet never pays for the fork.
constexpr std::size_t kCountdownLead = 256;

// The lowest kCountdownLead candidates on the calling thread, then the rest in
// parallel with a shared countdown of the records still wanted: a match is
// kept only if it can still take one, and workers stop once none is left.
template <class Out>
Out scan_countdown(const Reader& reader, std::span<const std::uint64_t> cands, std::uint64_t limit) {
    const std::size_t lead = std::min(cands.size(), kCountdownLead);
    Out out = scan_serial<Out>(reader, cands.first(lead), limit);
    if (out.size() >= limit || lead == cands.size()) return out;
    cands = cands.subspan(lead);
    std::atomic<std::uint64_t> left{limit - out.size()};
    auto parts = fork_join<Out>(cands.size(), grain_for(cands.size()), [&](std::size_t b, std::size_t e) {
        Out part;
        for (std::size_t i = b; i < e && left.load(std::memory_order_relaxed) > 0; ++i) {
            if (!reader.take(cands[i], part)) continue;
            std::uint64_t n = left.load(std::memory_order_relaxed);
            while (n > 0 && !left.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) {}
            if (n == 0) {
                truncate(part, part.size() - 1);  // read too late: every wanted record is taken
                break;
            }
        }
        return part;
    });
    for (auto& p : parts) append(out, std::move(p));
    return out;
}

// Every candidate that reads (and matches), in candidate order.
template <class Out>
Out collect(const Reader& reader, std::span<const std::uint64_t> cands) {
    if (cands.size() <= kSerialCollectMax) return scan_serial<Out>(reader, cands, kNoLimit);
    auto parts = fork_join<Out>(cands.size(), grain_for(cands.size()), [&](std::size_t b, std::size_t e) {
        return scan_serial<Out>(reader, cands.subspan(b, e - b), kNoLimit);
    });
    return join(parts);
}

// Reads (and with a filter, tests) the candidates and keeps at most `limit`.
template <class Out>
Out run_route(const RecordStore& records, std::span<const std::uint64_t> cands, const FilterExpr* filter,
              std::uint64_t limit, bool check_text) {
    const Reader reader(records, filter, check_text);
    const std::uint64_t n = cands.size();
    // Everything (or, when testing, a limit of half the list or more): read all.
    if (filter ? limit >= n / 2 : limit >= n) {
        Out out = collect<Out>(reader, cands);
        truncate(out, limit);
        return out;
    }
    if (n <= kSerialLimitedMax) return scan_serial<Out>(reader, cands, limit);
    return scan_countdown<Out>(reader, cands, limit);
}

// The first `limit` records of the candidates that read (and match), in
// candidate order: a lead on the calling thread, then pieces four times as
// long as what was read before, each collected in parallel, until enough.
template <class Out>
Out lowest_matches(const Reader& reader, std::span<const std::uint64_t> cands, std::uint64_t limit) {
    if (limit >= cands.size()) return collect<Out>(reader, cands);
    std::size_t done = std::min(cands.size(), kCountdownLead);
    Out out = scan_serial<Out>(reader, cands.first(done), limit);
    while (out.size() < limit && done < cands.size()) {
        const std::size_t piece = std::min(cands.size() - done, std::max(kSerialLimitedMax, 4 * done));
        append(out, collect<Out>(reader, cands.subspan(done, piece)));
        done += piece;
    }
    truncate(out, limit);
    return out;
}

// Takes one confirmed record: the record as the scan hands it back.
bool take_record(const RecordStore& records, std::uint64_t slot, std::string_view text, TextRecords& out) {
    const auto [lat, lon] = records.coordinates(slot);
    if (std::isnan(lat) || std::isnan(lon)) return false;
    out.add(slot, lat, lon, text);
    return true;
}
bool take_record(const RecordStore& records, std::uint64_t slot, std::string_view, std::vector<PointRecord>& out) {
    auto rec = records.read_live_record(slot);
    if (!rec) return false;
    out.push_back(std::move(*rec));
    return true;
}

// An equality on a value the index keeps only as singles (a unique key's
// value): the candidates' records, asked for all at once, are each read once,
// to confirm that they hold the value and to take them. A confirmed text is
// readable, so the first `limit` confirmed are the answer, in slot order.
template <class Out>
Out take_singles(const RecordStore& records, std::string_view key, std::string_view vk, SingleCandidates& cands,
                 std::uint64_t limit) {
    // Where the index knew where a text starts, the text is asked for with the
    // rest of its record, rather than once its span has come.
    for (std::size_t i = 0; i < cands.size; ++i) {
        records.prefetch_coordinates(cands.slots[i]);
        records.prefetch_metadata_span(cands.slots[i]);
        records.prefetch_live(cands.slots[i]);
        records.prefetch_metadata_line(cands.lines[i]);
    }
    const std::span<std::uint64_t> slots(cands.slots.data(), cands.size);
    std::sort(slots.begin(), slots.end());
    if (slots.size() > 1)
        for (std::uint64_t s : slots) records.prefetch_metadata_text(s);
    Out out;
    for (std::uint64_t s : slots) {
        if (out.size() >= limit) break;
        const auto text = records.live_metadata_text(s);
        if (text && text_holds_value_key(*text, key, vk)) take_record(records, s, *text, out);
    }
    return out;
}

std::vector<std::uint64_t> slots_of(const SlotBitmap& bits, std::size_t expected = 0) {
    std::vector<std::uint64_t> out;
    out.reserve(expected);
    bits.for_each_set([&](std::uint64_t s) { out.push_back(s); });
    return out;
}

template <class Out>
Out scan(const RecordStore& records, MetadataIndexes& indexes, const FilterExpr& filter, std::uint64_t limit,
         TextCheck check = TextCheck::kChecked) {
    if (limit == 0) return {};
    using Kind = FilterExpr::Kind;
    // Texts taken without a test are checked where the limit counts them.
    const bool check_text = limit != kNoLimit && check == TextCheck::kChecked;

    const ForcedRoute forced = forced_route();
    if (forced == ForcedRoute::Scan) {
        // Every live record, tested.
    } else if (filter.kind != Kind::Compare || is_double_equality(filter)) {
        PlanLimits limits;
        limits.ask_all = forced == ForcedRoute::Index;
        if (auto plan = plan_with_indexes(records, indexes, filter, limits)) {
            // An exact plan's candidates are the matches: read, not tested.
            const Reader reader(records, plan->exact ? nullptr : &filter, check_text);
            return lowest_matches<Out>(reader, plan->slots, limit);
        }
    } else {
        SingleCandidates singles;
        std::string vk;
        if (indexes.equal_candidates(records, filter.condition(), vk, singles))
            return take_singles<Out>(records, filter.key, vk, singles, limit);
        std::optional<std::vector<std::uint64_t>> cands;
        if (filter.op == CompareOp::Eq && limit <= kCountdownLead) {
            // Read without a test, the lowest readable candidates are what the
            // route keeps: list only as many as the limit wants, with a margin
            // for unreadable ones, and all of them only if that falls short.
            const std::uint64_t listed = 2 * limit + 16;
            cands = indexes.answer_slots(records, filter.condition(), listed);
            if (cands && cands->size() == listed) {
                Out out = scan_serial<Out>(Reader(records, nullptr, check_text), *cands, limit);
                if (out.size() == limit) return out;
                cands = indexes.answer_slots(records, filter.condition());
            }
        } else {
            cands = indexes.answer_slots(records, filter.condition());
        }
        // A $nin answer may hold more than the matches: test them again.
        if (cands)
            return run_route<Out>(records, *cands, filter.op == CompareOp::Nin ? &filter : nullptr, limit, check_text);
    }
    return run_route<Out>(records, slots_of(records.live_bitmap(), records.live_count()), &filter, limit, check_text);
}

}  // namespace

TextRecords collect_candidates(const RecordStore& records, std::span<const std::uint64_t> candidates,
                               const FilterExpr* filter) {
    return collect<TextRecords>(Reader(records, filter, false), candidates);
}

TextRecords metadata_scan_texts(const RecordStore& records, MetadataIndexes& indexes, const FilterExpr& filter,
                                std::uint64_t limit, TextCheck check) {
    return scan<TextRecords>(records, indexes, filter, limit, check);
}

std::vector<PointRecord> metadata_scan(const RecordStore& records, MetadataIndexes& indexes, const FilterExpr& filter,
                                       std::uint64_t limit) {
    return scan<std::vector<PointRecord>>(records, indexes, filter, limit);
}

}  // namespace orbisk
