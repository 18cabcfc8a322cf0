// The grid route of a multi-part polygon up to the exact point test. Each
// part's bounds are searched on their own, so a shape whose parts lie far
// apart never reads the cells between them; a point whose cell several parts'
// bounds overlap is judged once, by the first part whose bounds hold it.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/query/grid_route.hpp"

namespace orbisk {

// The slots that pass the exact point test, part after part, each part's in
// the grid's candidate order. The caller holds the grid and the storage read
// locks.
std::vector<std::uint64_t> multi_polygon_route_slots(const GridIndex& grid, const RecordStore& records,
                                                     const MultiPolygon& shape);

}  // namespace orbisk
