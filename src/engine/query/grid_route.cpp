#include "engine/query/grid_route.hpp"

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
            keep_points_passing(records, slots, [&](double lat, double lon) { return passes(s, *box, lat, lon); });
            return slots;
        },
        shape);
}

}  // namespace orbisk
