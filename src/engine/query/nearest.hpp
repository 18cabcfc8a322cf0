// Nearest neighbours: the k live points closest to a point by the store's
// great-circle distance, optionally only those that match a metadata filter
// and only those within a largest distance.
//
// The search works outwards in rounds of growing radius. The grid lists the
// cells of the search box of a circle (Circle::search_box, which holds every
// point whose distance passes the circle's test), so once a round has looked
// at the points in that box, it has seen every point within the radius; a
// later round whose radius is no larger looks at the same points again without
// asking the grid. The first radius is a guess from the grid's average density;
// where the first box holds far more points than wanted, the round narrows the
// radius before any distance is computed. The points of each new ring are put
// in order of distance, and tested against the filter, only as far as needed
// for k matches; the radius grows by what the matches so far suggest, until k
// have matched, or the circle covers the globe or the largest distance. A
// single-condition filter that a metadata index answers with few slots takes
// those slots instead of the grid.
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
    unsigned rounds = 0;         // rounds of the outward search (0 on the index route)
    std::uint64_t examined = 0;  // slots the grid listed, or the index answer's
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
