// Nearest neighbours: the k live points closest to a point by the store's
// great-circle distance, optionally only those that match a metadata filter
// and only those within a largest distance.
//
// The search is best-first over the grid: the cells of a circle around the
// point (those of its search box; the radius doubles whenever the cells
// listed so far may not hold the answer), and within a crowded cell the squares of its
// implicit quadtree, are taken in order of a lower bound of the distance of
// anything in them (DistanceBound); a square is split or read only when its
// bound comes before the points found so far, so a query in a crowd reads a
// few leaves of its cell's quadtree and not the cell. Points come out in
// ascending distance, ties by ascending slot, and are offered to the filter
// in that order until k match. A single-condition filter that a metadata
// index answers with few slots takes those slots instead of the grid.
#pragma once

#include <cstdint>
#include <limits>

#include "engine/index/grid_index.hpp"
#include "engine/index/metadata_indexes.hpp"
#include "engine/query/distance_order.hpp"
#include "engine/query/filter.hpp"
#include "engine/storage/record_store.hpp"

namespace orbisk {

struct NearestQuery {
    double lat;
    double lon;
    std::uint64_t k;
    // Points farther than this (metres) are left out; one exactly this far is
    // kept, as a radius query keeps its edge. Infinity: no bound.
    double max_distance_m = std::numeric_limits<double>::infinity();
};

// Fails for an origin validate_origin refuses, or for a largest distance that
// is NaN or negative:
//   "max_distance_m must be a non-negative number, got {value}"
Status validate_nearest(const NearestQuery& query);

// How a nearest search went, for tests and diagnostics.
struct NearestStats {
    bool index_route = false;
    unsigned rounds = 0;         // circles whose cells the search listed (0 on the index route)
    std::uint64_t examined = 0;  // coordinate records read: grid entries, or the index answer's slots
};

// The up to k live, readable points nearest to the query's point that match
// `filter` (every one when null) and lie within its largest distance, in
// ascending distance, ties by ascending slot id, each with its distance. The
// query must have passed validate_nearest. The caller holds the grid and the
// storage read locks; an index lock is taken here, one at a time, and
// exclusively only to build that index on first use.
DistanceRecords nearest(const GridIndex& grid, const RecordStore& records, MetadataIndexes& indexes,
                        const NearestQuery& query, const FilterExpr* filter, NearestStats* stats = nullptr);

}  // namespace orbisk
