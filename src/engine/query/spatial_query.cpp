#include "engine/query/spatial_query.hpp"

#include <algorithm>
#include <optional>

#include "engine/query/index_plan.hpp"
#include "engine/query/metadata_scan.hpp"
#include "engine/query/route_override.hpp"

namespace orbisk {

namespace {

// How many candidates the grid route lists for the shape (nothing when no
// point can lie in it): those of its search box, or of each part's.
std::optional<std::uint64_t> grid_listing(const GridIndex& grid, const SpatialShape& shape) {
    auto count = [&](const GeoBox& b) { return grid.count_candidates(b.min_lat, b.min_lon, b.max_lat, b.max_lon); };
    if (const auto* parts = std::get_if<MultiPolygon>(&shape)) {
        std::uint64_t n = 0;
        for (std::size_t i = 0; i < parts->part_count(); ++i) n += count(parts->part_box(i));
        return n;
    }
    std::optional<GeoBox> box;
    if (const auto* b = std::get_if<GeoBox>(&shape))
        box = *b;
    else if (const auto* circle = std::get_if<Circle>(&shape))
        box = circle->search_box();
    else
        box = std::get<Polygon>(shape).search_box();
    if (!box) return std::nullopt;
    return count(*box);
}

// The index route's geometric test: the box test for a box, the distance test
// alone for a circle (its search box holds every point that passes it, so both
// routes agree), the shape's own test for a polygon or a multi-part polygon.
bool index_route_passes(const SpatialShape& shape, double lat, double lon) {
    if (const auto* box = std::get_if<GeoBox>(&shape)) return box->contains(lat, lon);
    if (const auto* circle = std::get_if<Circle>(&shape)) return circle->within_distance(lat, lon);
    if (const auto* parts = std::get_if<MultiPolygon>(&shape)) return parts->contains(lat, lon);
    return std::get<Polygon>(shape).contains(lat, lon);
}

}  // namespace

SpatialAnswer spatial_query(const GridIndex& grid, const RecordStore& records, MetadataIndexes& indexes,
                            const SpatialShape& shape, const FilterExpr* filter) {
    SpatialAnswer answer;
    const ForcedRoute forced = forced_route();
    if (filter && forced != ForcedRoute::Scan) {
        if (const std::optional<std::uint64_t> count = grid_listing(grid, shape)) {
            // The grid route reads its candidates' coordinates and tests the
            // filter on those in the shape: about all of them, the grid
            // leaving out most points outside the box. The indexes are asked
            // only as long as their answers cost less than that.
            const auto listed = static_cast<double>(*count);
            const double grid_cost = listed * (kCoordCost + kEvaluateCost);
            const bool forced_index = forced == ForcedRoute::Index;
            PlanLimits limits;
            limits.ask_all = forced_index;
            if (!forced_index) {
                limits.budget = grid_cost;
                limits.max_candidates = static_cast<std::uint64_t>(grid_cost / kRandomCoordCost);
            }
            auto plan = plan_with_indexes(records, indexes, *filter, limits);
            if (plan) {
                // The index route reads every candidate's coordinates, far
                // apart, and reads (and unless the plan is exact, tests) those
                // in the shape: as many as the grid lists, in proportion.
                const auto members = static_cast<double>(plan->slots.size());
                const double live = static_cast<double>(std::max<std::uint64_t>(records.live_count(), 1));
                const double in_shape = members * std::min(1.0, listed / live);
                const double index_cost =
                    members * kRandomCoordCost + in_shape * (plan->exact ? kReadCost : kEvaluateCost);
                if (forced_index || index_cost < grid_cost) {
                    std::vector<std::uint64_t>& slots = plan->slots;
                    keep_points_passing(records, slots,
                                        [&](double lat, double lon) { return index_route_passes(shape, lat, lon); });
                    answer.records = collect_candidates(records, slots, plan->exact ? nullptr : filter);
                    answer.route = SpatialRoute::Index;
                    return answer;
                }
            }
        }
    }
    answer.records = collect_candidates(records, grid_route_slots(grid, records, shape), filter);
    return answer;
}

}  // namespace orbisk
