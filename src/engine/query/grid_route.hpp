// The grid route of the spatial queries up to the exact point test: the grid
// cells of the shape's search box give candidate slots, and a candidate is kept
// when it is live, its coordinate record lies within the mapped file, and its
// coordinates pass the shape's geometric test. Reading metadata, filtering and
// building rows come after, on the slots this returns.
#pragma once

#include <cstdint>
#include <variant>
#include <vector>

#include "engine/index/grid_index.hpp"
#include "engine/query/circle.hpp"
#include "engine/query/geo_box.hpp"
#include "engine/query/polygon.hpp"
#include "engine/storage/record_store.hpp"

namespace orbisk {

// The three query shapes. On the grid route a box takes the box test, a circle
// the box test of its search box and then the distance test, and a polygon the
// polygon test.
using SpatialShape = std::variant<GeoBox, Circle, Polygon>;

// The slots that pass the exact point test, in the grid's candidate order. The
// caller holds the grid and the storage read locks.
std::vector<std::uint64_t> grid_route_slots(const GridIndex& grid, const RecordStore& records,
                                            const SpatialShape& shape);

}  // namespace orbisk
