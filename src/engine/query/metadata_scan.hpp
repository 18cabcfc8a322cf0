// Metadata scans: the planner that picks candidate slots (index answers for
// single conditions and for the conditions of an And, or every live slot), and
// the routes that read and test candidates, on the calling thread for short
// lists and on the worker pool for long ones, always returning records in
// candidate order. Callers hold the storage lock shared for the whole call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/index/metadata_indexes.hpp"
#include "engine/query/filter.hpp"
#include "engine/query/text_records.hpp"
#include "engine/storage/record_store.hpp"

namespace orbisk {

inline constexpr std::uint64_t kNoLimit = ~std::uint64_t{0};
// Longest candidate list read on the calling thread when every record is wanted.
inline constexpr std::size_t kSerialCollectMax = 1000;
// Longest candidate list read on the calling thread when a limit may stop early.
inline constexpr std::size_t kSerialLimitedMax = 4000;

// Reads every candidate and keeps the readable ones that match `filter` (all
// readable ones when it is null), in candidate order, with their text for the
// row builder (which drops unreadable texts itself: without a filter they are
// not checked here). Runs on the calling thread up to kSerialCollectMax
// candidates and on the worker pool above.
TextRecords collect_candidates(const RecordStore& records, std::span<const std::uint64_t> candidates,
                               const FilterExpr* filter);

// Whether a limited read checks the texts of the records it takes without a
// test: kChecked counts only readable records towards the limit. kUnchecked
// leaves the check to a row builder that parses every text anyway: its first
// `limit` records are those of kChecked whenever all of them read (a caller
// that finds one unreadable among `limit` records reads again, checked).
enum class TextCheck { kChecked, kUnchecked };

// The records that match `filter`, in ascending slot order, at most `limit` of
// them, with their text for the row builder. Every text is checked readable
// except those of records taken without a test on an unlimited or kUnchecked
// read (the row builder drops them). Builds the metadata indexes it asks on
// first use.
TextRecords metadata_scan_texts(const RecordStore& records, MetadataIndexes& indexes, const FilterExpr& filter,
                                std::uint64_t limit, TextCheck check = TextCheck::kChecked);
// The same scan with each record's metadata parsed, for callers that need the
// values themselves.
std::vector<PointRecord> metadata_scan(const RecordStore& records, MetadataIndexes& indexes, const FilterExpr& filter,
                                       std::uint64_t limit);

}  // namespace orbisk
