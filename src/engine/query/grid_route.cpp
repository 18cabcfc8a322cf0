#include "engine/query/grid_route.hpp"

#include <optional>

#include "engine/util/format.hpp"

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

}  // namespace

std::vector<std::uint64_t> grid_route_slots(const GridIndex& grid, const RecordStore& records,
                                            const SpatialShape& shape) {
    return std::visit(
        [&](const auto& s) {
            std::vector<std::uint64_t> slots;
            const std::optional<GeoBox> box = search_box_of(s);
            if (!box) return slots;
            grid.candidates(box->min_lat, box->min_lon, box->max_lat, box->max_lon, slots);

            const SlotBitmap& live = records.live_bitmap();
            const MappedFile& coords = records.coords();
            const std::uint64_t in_file = coords.size() < kDataStart ? 0 : (coords.size() - kDataStart) / kCoordRecord;
            // Kept slots are compacted to the front of the candidate list.
            std::size_t kept = 0;
            for (const std::uint64_t slot : slots) {
                if (slot >= in_file || !live.test(slot)) continue;
                const std::uint8_t* rec = coords.data() + kDataStart + kCoordRecord * slot;
                if (passes(s, *box, load_f64(rec), load_f64(rec + 8))) slots[kept++] = slot;
            }
            slots.resize(kept);
            return slots;
        },
        shape);
}

}  // namespace orbisk
