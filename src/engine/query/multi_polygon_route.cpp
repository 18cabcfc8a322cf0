#include "engine/query/multi_polygon_route.hpp"

namespace orbisk {

std::vector<std::uint64_t> multi_polygon_route_slots(const GridIndex& grid, const RecordStore& records,
                                                     const MultiPolygon& shape) {
    std::vector<std::uint64_t> out;
    std::vector<std::uint64_t> part;
    for (std::size_t i = 0; i < shape.part_count(); ++i) {
        const GeoBox& box = shape.part_box(i);
        part.clear();
        grid.candidates(box.min_lat, box.min_lon, box.max_lat, box.max_lon, part);
        const auto earlier = shape.earlier_neighbours(i);
        keep_points_passing(records, part, [&](double lat, double lon) {
            if (!box.contains(lat, lon)) return false;
            // An earlier part whose bounds hold the point listed its cell, and judged it.
            for (std::size_t q : earlier)
                if (shape.part_box(q).contains(lat, lon)) return false;
            return shape.contains_near_part(i, lat, lon);
        });
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

}  // namespace orbisk
