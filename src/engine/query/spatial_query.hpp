// The spatial query operation behind query_bbox, query_radius and
// query_polygon, and behind queries by multi-part polygons with holes: every
// live point inside a box, a circle or a polygon that matches an optional
// metadata filter. Candidates come from one of two routes: the grid cells of
// the shape's search box (of each part's), or the metadata indexes' plan of
// the filter (index_plan.hpp), whichever is estimated to read less. Either way
// the exact point test runs on the coordinate records first, and only the
// slots that pass it are read (and filtered, collect_candidates).
#pragma once

#include <cstdint>
#include <vector>

#include "engine/index/grid_index.hpp"
#include "engine/index/metadata_indexes.hpp"
#include "engine/query/filter.hpp"
#include "engine/query/grid_route.hpp"
#include "engine/query/text_records.hpp"
#include "engine/storage/record_store.hpp"

namespace orbisk {

enum class SpatialRoute : std::uint8_t { Grid, Index };

struct SpatialAnswer {
    TextRecords records;
    SpatialRoute route = SpatialRoute::Grid;
};

// The records of the live points in `shape` that match `filter` (every one
// when it is null). On the grid route they come in the grid's candidate order,
// on the index route in ascending slot order. The caller holds the grid and
// the storage read locks; an index lock is taken here, one at a time, and
// exclusively only to build that index on first use.
SpatialAnswer spatial_query(const GridIndex& grid, const RecordStore& records, MetadataIndexes& indexes,
                            const SpatialShape& shape, const FilterExpr* filter);

}  // namespace orbisk
