// The grid route of the spatial queries up to the exact point test: the grid
// cells of the shape's search box give candidate slots, and a candidate is kept
// when it is live, its coordinate record lies within the mapped file, and its
// coordinates pass the shape's geometric test. Reading metadata, filtering and
// building rows come after, on the slots this returns. The exact point test is
// shared with the index route, which runs it on an index answer's slots.
#pragma once

#include <cmath>
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "engine/index/grid_index.hpp"
#include "engine/query/circle.hpp"
#include "engine/query/geo_box.hpp"
#include "engine/query/multi_polygon.hpp"
#include "engine/query/polygon.hpp"
#include "engine/storage/record_store.hpp"
#include "engine/util/format.hpp"

namespace orbisk {

// The query shapes. On the grid route a box takes the box test, a circle the
// box test of its search box and then the distance test, a polygon the polygon
// test, and a multi-part polygon its own test over the cells of each part.
using SpatialShape = std::variant<GeoBox, Circle, Polygon, MultiPolygon>;

// Longer candidate lists are read in slot order (a grid's slot ids fit 32 bits).
inline constexpr std::size_t kSortCandidatesFrom = 4096;

// How many candidates ahead the exact point test asks for coordinate records.
inline constexpr std::size_t kPrefetchAhead = 32;

// Calls f(slot, lat, lon) for each candidate slot, in order, that is live, whose
// coordinate record ends within the mapped file and holds no NaN. Only
// coordinate records are read.
template <class F>
void for_each_live_point(const RecordStore& records, std::span<const std::uint64_t> slots, F f) {
    const SlotBitmap& live = records.live_bitmap();
    const MappedFile& coords = records.coords();
    const std::uint64_t in_file = coords.size() < kDataStart ? 0 : (coords.size() - kDataStart) / kCoordRecord;
    const std::uint8_t* const first = coords.data() + kDataStart;
    const std::size_t n = slots.size();
    for (std::size_t i = 0; i < n; ++i) {
        // Candidates are often far apart in the file (an index answer's slots,
        // the cells of a large box): ask for the records a few steps ahead.
        if (i + kPrefetchAhead < n && slots[i + kPrefetchAhead] < in_file)
            __builtin_prefetch(first + kCoordRecord * slots[i + kPrefetchAhead]);
        const std::uint64_t slot = slots[i];
        if (slot >= in_file || !live.test(slot)) continue;
        const std::uint8_t* rec = first + kCoordRecord * slot;
        const double lat = load_f64(rec), lon = load_f64(rec + 8);
        // A tombstone that another handle of the store has just written.
        if (std::isnan(lat) || std::isnan(lon)) continue;
        f(slot, lat, lon);
    }
}

// The exact point test on candidate slots, in place and in order: a slot is
// kept when for_each_live_point visits it and its coordinates pass
// `test(lat, lon)`.
template <class Test>
void keep_points_passing(const RecordStore& records, std::vector<std::uint64_t>& slots, Test test) {
    std::size_t kept = 0;
    // Slot i is visited before position i is written, so the pass may compact in place.
    for_each_live_point(records, slots, [&](std::uint64_t slot, double lat, double lon) {
        if (test(lat, lon)) slots[kept++] = slot;
    });
    slots.resize(kept);
}

// The slots that pass the exact point test, in the grid's candidate order. The
// caller holds the grid and the storage read locks.
std::vector<std::uint64_t> grid_route_slots(const GridIndex& grid, const RecordStore& records,
                                            const SpatialShape& shape);

}  // namespace orbisk
