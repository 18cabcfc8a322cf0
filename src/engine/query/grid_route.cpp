#include "engine/query/grid_route.hpp"

#include <algorithm>
#include <optional>

#include "engine/query/multi_polygon_route.hpp"

namespace orbisk {

namespace {

std::optional<GeoBox> search_box_of(const GeoBox& box) { return box; }
std::optional<GeoBox> search_box_of(const Circle& circle) { return circle.search_box(); }
std::optional<GeoBox> search_box_of(const Polygon& polygon) { return polygon.search_box(); }

bool passes(const GeoBox& box, const GeoBox&, double lat, double lon) { return box.contains(lat, lon); }
bool passes(const Circle& circle, const GeoBox& box, double lat, double lon) {
    return box.contains(lat, lon) && circle.within_distance(lat, lon);
}
bool passes(const Polygon& polygon, const GeoBox&, double lat, double lon) { return polygon.contains(lat, lon); }
// A multi-part polygon's parts are searched one by one (multi_polygon_route_slots).
std::optional<GeoBox> search_box_of(const MultiPolygon&) { return std::nullopt; }
bool passes(const MultiPolygon&, const GeoBox&, double, double) { return false; }

// Sorts slot ids below 2^32 ascending: two counting passes of 16 bits each,
// the second skipped when every slot shares its high half.
void sort_slots(std::vector<std::uint64_t>& slots) {
    const std::size_t n = slots.size();
    std::vector<std::uint64_t> buffer(n);
    std::vector<std::size_t> counts(std::size_t{1} << 16);
    std::uint64_t* from = slots.data();
    std::uint64_t* to = buffer.data();
    for (int shift = 0; shift < 32; shift += 16) {
        std::fill(counts.begin(), counts.end(), 0);
        for (std::size_t i = 0; i < n; ++i) ++counts[(from[i] >> shift) & 0xFFFF];
        if (counts[(from[0] >> shift) & 0xFFFF] == n) continue;
        std::size_t offset = 0;
        for (std::size_t& c : counts) {
            const std::size_t k = c;
            c = offset;
            offset += k;
        }
        for (std::size_t i = 0; i < n; ++i) to[counts[(from[i] >> shift) & 0xFFFF]++] = from[i];
        std::swap(from, to);
    }
    if (from != slots.data()) std::copy(from, from + n, slots.data());
}

}  // namespace

std::vector<std::uint64_t> grid_route_slots(const GridIndex& grid, const RecordStore& records,
                                            const SpatialShape& shape) {
    if (const auto* parts = std::get_if<MultiPolygon>(&shape)) return multi_polygon_route_slots(grid, records, *parts);
    return std::visit(
        [&](const auto& s) {
            std::vector<std::uint64_t> slots;
            const std::optional<GeoBox> box = search_box_of(s);
            if (!box) return slots;
            grid.candidates(box->min_lat, box->min_lon, box->max_lat, box->max_lon, slots);
            // A crowded cell lists its points by position, not by slot: in
            // slot order the coordinate and metadata files are read front to
            // back instead of at random.
            if (slots.size() > kSortCandidatesFrom) sort_slots(slots);
            keep_points_passing(records, slots, [&](double lat, double lon) { return passes(s, *box, lat, lon); });
            return slots;
        },
        shape);
}

}  // namespace orbisk
