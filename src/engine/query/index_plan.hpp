// The index plan of a filter: candidate slots from the metadata indexes, for
// the metadata scans and the index route of the spatial queries.
//
// An And is planned over its flattened conditions (an And among them gives
// its own). The range conditions on one key become one numeric-index answer
// with both bounds. The value index's answers (cheap: their sets are listed or
// laid out) are asked first and met in order of size; then the ranges, the
// smallest estimate first, and the Ors; asking stops once the candidates are
// so few that testing the whole filter on them costs less than the next
// answer would. An Or is the union of its children's plans, when every child
// has one. An equality on a double is the numeric index's one-value range,
// tested. A Not, or a condition no index answers, narrows nothing.
//
// The plan holds every slot that matches (a candidate may still be deleted,
// or unreadable, which reading it finds out). It is exact when every slot in
// it also matches: then the candidates need no test.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "engine/index/metadata_indexes.hpp"
#include "engine/query/filter.hpp"
#include "engine/storage/record_store.hpp"

namespace orbisk {

// Estimated costs in nanoseconds, from the engine's micro-benchmarks and the
// profiles of the query benchmarks on the development machine. Only their
// ratios matter: they decide between routes that return the same points.
inline constexpr double kEvaluateCost = 250;    // read a record's text and test a filter on it
inline constexpr double kReadCost = 60;         // read a record's text, untested
inline constexpr double kCoordCost = 10;        // the exact point test on a grid candidate
inline constexpr double kRandomCoordCost = 40;  // the same on an index candidate, far from the last
inline constexpr double kListCost = 2;          // list one slot of an answer
inline constexpr double kWordCost = 2;          // one word (64 slots) of a value answer
inline constexpr double kRangeWordCost = 12;    // one word of a range answer, both bounds
inline constexpr double kBuildCost = 700;       // one record added to an index at its lazy build

struct IndexPlan {
    std::vector<std::uint64_t> slots;  // ascending
    bool exact = false;
    double cost = 0;  // estimated cost of the answers asked
};

struct PlanLimits {
    // Stop asking once answers would cost more than this in all.
    double budget = std::numeric_limits<double>::infinity();
    // Ask every condition that an index answers, whatever the candidates.
    bool ask_all = false;
    // More candidates than this make the plan useless to the caller: a plan
    // that is one equality gives up as soon as its listing passes this.
    std::uint64_t max_candidates = std::numeric_limits<std::uint64_t>::max();
};

// Whether `f` is an equality on a double, which only a plan answers (by the
// numeric index), not the value index.
bool is_double_equality(const FilterExpr& f);

// The plan of `filter`, or nothing when the indexes narrow nothing (or could
// not within the budget). The caller holds the storage lock shared; indexes
// are built here on first use, each under its own lock.
std::optional<IndexPlan> plan_with_indexes(const RecordStore& records, MetadataIndexes& indexes,
                                           const FilterExpr& filter, const PlanLimits& limits = {});

}  // namespace orbisk
