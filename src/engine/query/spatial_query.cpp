#include "engine/query/spatial_query.hpp"

#include <optional>

#include "engine/query/metadata_scan.hpp"

namespace orbisk {

namespace {

// The ascending slots of the index answer to a single condition, when there is
// one and it is small enough to be worth reading instead of the grid cells.
std::optional<std::vector<std::uint64_t>> small_index_answer(const RecordStore& records, MetadataIndexes& indexes,
                                                             const FilterExpr& filter) {
    if (filter.kind != FilterExpr::Kind::Compare) return std::nullopt;
    const std::uint64_t live = records.live_count();
    const auto small = [&](std::uint64_t members) {
        return members < kIndexRouteMaxMembers || members * kIndexRouteLiveShare < live;
    };
    if (filter.op == CompareOp::Eq) {
        // Listed from the value's own set, without a bitmap as long as the store.
        auto slots = indexes.answer_slots(records, filter.condition());
        if (!slots || !small(slots->size())) return std::nullopt;
        return slots;
    }
    // Counted before listing: a large answer is declined without a pass over its members.
    const auto bits = indexes.answer(records, filter.condition());
    if (!bits) return std::nullopt;
    const std::uint64_t members = bits->count();
    if (!small(members)) return std::nullopt;
    std::vector<std::uint64_t> slots;
    slots.reserve(members);
    bits->for_each_set([&](std::uint64_t s) { slots.push_back(s); });
    return slots;
}

// The index route: a box, a circle or a multi-part polygon, and a small index
// answer to the filter.
std::optional<std::vector<std::uint64_t>> index_route_slots(const RecordStore& records, MetadataIndexes& indexes,
                                                            const SpatialShape& shape, const FilterExpr& filter) {
    const GeoBox* box = std::get_if<GeoBox>(&shape);
    const Circle* circle = std::get_if<Circle>(&shape);
    const MultiPolygon* parts = std::get_if<MultiPolygon>(&shape);
    if (!box && !circle && !parts) return std::nullopt;
    auto slots = small_index_answer(records, indexes, filter);
    if (!slots) return std::nullopt;
    // The box test for a box; the distance test alone for a circle, whose
    // search box holds every point that passes it, so both routes agree; the
    // shape's own test for a multi-part polygon.
    keep_points_passing(records, *slots, [&](double lat, double lon) {
        return box ? box->contains(lat, lon) : circle ? circle->within_distance(lat, lon) : parts->contains(lat, lon);
    });
    return slots;
}

}  // namespace

SpatialAnswer spatial_query(const GridIndex& grid, const RecordStore& records, MetadataIndexes& indexes,
                            const SpatialShape& shape, const FilterExpr* filter) {
    SpatialAnswer answer;
    std::optional<std::vector<std::uint64_t>> slots;
    if (filter) slots = index_route_slots(records, indexes, shape, *filter);
    if (slots)
        answer.route = SpatialRoute::Index;
    else
        slots = grid_route_slots(grid, records, shape);
    // Each slot read is tested against the filter: on the grid route that is
    // the filtering; on the index route it tests the condition again, since a
    // $nin answer may hold more slots than its matches.
    answer.records = collect_candidates(records, *slots, filter);
    return answer;
}

}  // namespace orbisk
