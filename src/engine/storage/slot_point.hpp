// SlotPoint: a live point's slot id and coordinates, as the record store lists
// them for the grid index to be built from.
#pragma once

#include <cstdint>

namespace orbisk {

struct SlotPoint {
    std::uint64_t slot;
    double lat;
    double lon;
};

}  // namespace orbisk
