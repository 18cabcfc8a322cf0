#include "engine/query/nearest.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "engine/query/circle.hpp"
#include "engine/query/grid_route.hpp"
#include "engine/query/great_circle.hpp"
#include "engine/util/text.hpp"

namespace orbisk {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kPi = 3.141592653589793;
constexpr double kMetersPerDegree = 111320.0;
// The first radius is never below this (metres), so that every round grows it.
constexpr double kMinRadius = 1.0;
// The first round narrows its radius until its search box holds about this
// many points for each one wanted (a circle takes about 3/4 of its box), in at
// most kMaxShrinks steps.
constexpr double kShrinkTarget = 4.0;
constexpr int kMaxShrinks = 4;
// Index answers with fewer members than this are always read instead of the grid.
constexpr double kIndexAnswerAlwaysRead = 1000;
// Bounds on how much a round grows the radius.
constexpr double kMinGrowth = 1.5;
constexpr double kMaxGrowth = 8.0;

// A live point the grid listed.
struct Located {
    std::uint64_t slot;
    double lat;
    double lon;
};

struct Near {
    double distance;
    std::uint64_t slot;
    bool operator<(const Near& o) const { return distance < o.distance || (distance == o.distance && slot < o.slot); }
};

// Collects the result: offered points, nearest first, are kept while fewer
// than k are held, if their record reads and matches the filter.
class Collector {
public:
    Collector(const RecordStore& records, const FilterExpr* filter, std::uint64_t k)
        : records_(records),
          filter_(filter),
          keys_(filter ? filter_keys(*filter) : std::vector<std::string>{}),
          k_(k) {}

    bool full() const { return out_.distances.size() >= k_; }
    std::uint64_t size() const { return out_.distances.size(); }

    void offer(const Near& n) {
        const auto text = records_.live_metadata_text(n.slot);
        if (!text) return;
        if (filter_) {
            const auto subset = metadata_subset_from_json_text(*text, keys_);
            if (!subset || !filter_matches(*filter_, *subset)) return;
        } else if (!metadata_text_readable(*text)) {
            return;
        }
        // Read once more for the row: a tombstone another process has written
        // since the distance was taken is not served.
        const auto [lat, lon] = records_.coordinates(n.slot);
        if (std::isnan(lat) || std::isnan(lon)) return;
        out_.records.add(n.slot, lat, lon, *text);
        out_.distances.push_back(n.distance);
    }

    // Offers the points in ascending order until k are held. Only as many as
    // may be needed are put in order: a few more than are still wanted, then
    // four times as many again whenever those fall short.
    void offer_in_order(std::vector<Near>& points) {
        std::size_t begin = 0;
        std::size_t chunk = 2 * static_cast<std::size_t>(std::min<std::uint64_t>(k_ - size(), points.size())) + 8;
        while (begin < points.size() && !full()) {
            const auto first = points.begin() + static_cast<std::ptrdiff_t>(begin);
            const std::size_t end = std::min(points.size(), begin + chunk);
            const auto last = points.begin() + static_cast<std::ptrdiff_t>(end);
            if (last != points.end()) std::nth_element(first, last, points.end());
            std::sort(first, last);
            for (auto it = first; it != last && !full(); ++it) offer(*it);
            begin = end;
            chunk *= 4;
        }
    }

    DistanceRecords take() { return std::move(out_); }

private:
    const RecordStore& records_;
    const FilterExpr* filter_;
    std::vector<std::string> keys_;
    std::uint64_t k_;
    DistanceRecords out_;
};

// The ascending slots of the index answer to a single-condition filter, when
// they are so few that reading them all costs less than walking the grid.
//
// Walking outwards, the grid route tests the metadata of about k * live / m
// points before k of the m matches turn up; the index route reads m coordinate
// records, several times cheaper each. Below 1000 members, or below
// 2 * sqrt(k * live), the answer is taken.
std::optional<std::vector<std::uint64_t>> few_matching_slots(const RecordStore& records, MetadataIndexes& indexes,
                                                             const FilterExpr& filter, std::uint64_t k) {
    if (filter.kind != FilterExpr::Kind::Compare) return std::nullopt;
    const double live = static_cast<double>(records.live_count());
    const double most =
        std::max(kIndexAnswerAlwaysRead - 1.0, std::floor(2.0 * std::sqrt(static_cast<double>(k) * live)));
    // Never more than the store holds, which also keeps the conversion in range.
    const std::uint64_t limit = most >= live ? records.live_count() : static_cast<std::uint64_t>(most);
    if (filter.op == CompareOp::Eq) {
        // Listed from the value's own set, and only one past the limit.
        auto slots = indexes.answer_slots(records, filter.condition(), limit + 1);
        if (!slots || slots->size() > limit) return std::nullopt;
        return slots;
    }
    const auto bits = indexes.answer(records, filter.condition());
    if (!bits || bits->count() > limit) return std::nullopt;
    std::vector<std::uint64_t> slots;
    bits->for_each_set([&](std::uint64_t s) { slots.push_back(s); });
    return slots;
}

// A first radius that holds about k points where the points are as dense as
// in the grid's average occupied cell.
double first_radius(const GridIndex& grid, std::uint64_t live, std::uint64_t k) {
    const double cells = static_cast<double>(std::max<std::size_t>(grid.occupied_cells(), 1));
    const double per_cell = std::max(static_cast<double>(live) / cells, 1.0);
    const double wanted = static_cast<double>(std::min(k, live));
    const double cell_m = grid.cell_size() * kMetersPerDegree;
    return std::max(cell_m * std::sqrt(wanted / (kPi * per_cell)), kMinRadius);
}

// The next round's radius: points found within a radius grow with its square,
// so k of them are expected at radius * sqrt(k / found).
double next_radius(double radius, std::uint64_t k, std::uint64_t found, std::uint64_t within) {
    double growth;
    if (found == 0)
        growth = within == 0 ? kMaxGrowth : 4.0;
    else
        growth = 1.25 * std::sqrt(static_cast<double>(k) / static_cast<double>(found));
    return radius * std::clamp(growth, kMinGrowth, kMaxGrowth);
}

bool covers_globe(const GeoBox& box) {
    return box.min_lat <= -90.0 && box.max_lat >= 90.0 && box.min_lon == -kInf && box.max_lon == kInf;
}

}  // namespace

Status validate_nearest(const NearestQuery& query) {
    if (auto st = validate_origin(query.lat, query.lon); !st) return st;
    if (!(query.max_distance_m >= 0.0)) {
        char buf[32];
        const auto r = std::to_chars(buf, buf + sizeof buf, query.max_distance_m);
        return fail(Error::invalid(cat("max_distance_m must be a non-negative number, got ",
                                       std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)))));
    }
    return {};
}

DistanceRecords nearest(const GridIndex& grid, const RecordStore& records, MetadataIndexes& indexes,
                        const NearestQuery& query, const FilterExpr* filter, NearestStats* stats) {
    NearestStats local;
    NearestStats& st = stats ? *stats : local;
    st = NearestStats{};
    const std::uint64_t live = records.live_count();
    if (query.k == 0 || live == 0) return {};
    const DistanceFrom distance(query.lat, query.lon);
    const double most = query.max_distance_m;
    Collector collector(records, filter, query.k);
    std::vector<Near> ring;

    if (filter) {
        if (auto slots = few_matching_slots(records, indexes, *filter, query.k)) {
            st.index_route = true;
            st.examined = slots->size();
            for_each_live_point(records, *slots, [&](std::uint64_t slot, double lat, double lon) {
                const double d = distance(lat, lon);
                if (d <= most) ring.push_back({d, slot});
            });
            collector.offer_in_order(ring);
            return collector.take();
        }
    }

    // Every point at distance `done` or less has been offered (none yet).
    double done = -1.0;
    double radius = std::min(first_radius(grid, live, query.k), most);
    // The points the grid listed in the last search box: every point at
    // distance `covered` or less is among them.
    double covered = -1.0;
    std::vector<Located> pool;
    std::vector<Located> work;
    std::vector<std::uint64_t> candidates;
    for (;;) {
        ++st.rounds;
        const bool listed = !(radius <= covered);
        if (listed) {
            // The search box holds every point whose distance is at most the radius.
            const Circle circle(query.lat, query.lon, radius);
            if (!circle.search_box()) return collector.take();  // not for a valid query
            const GeoBox box = *circle.search_box();
            candidates.clear();
            grid.candidates(box.min_lat, box.min_lon, box.max_lat, box.max_lon, candidates);
            st.examined += candidates.size();
            pool.clear();
            for_each_live_point(records, candidates, [&](std::uint64_t slot, double lat, double lon) {
                if (box.contains(lat, lon)) pool.push_back({slot, lat, lon});
            });
            covered = radius;
            // A box of the whole globe lists every point: this round takes all up to the largest distance.
            if (covers_globe(box)) covered = radius = most;
        }
        // The points of the pool within the radius's search box. In the first
        // round, while there are many more of them than are wanted (the first
        // radius is a guess), a smaller radius whose box holds about enough:
        // the pool holds every point within it too. Later radii come from
        // what the rounds before found, and only grow.
        const std::size_t enough =
            static_cast<std::size_t>(kShrinkTarget * static_cast<double>(std::min(query.k, live))) + 16;
        std::size_t count = pool.size();
        bool narrowed = !listed;
        for (int i = 0; i < kMaxShrinks && done < 0.0 && std::isfinite(radius) && count > 2 * enough; ++i) {
            radius *= std::sqrt(static_cast<double>(enough) / static_cast<double>(count));
            const GeoBox inner = *Circle(query.lat, query.lon, radius).search_box();
            count = static_cast<std::size_t>(std::count_if(
                pool.begin(), pool.end(), [&](const Located& p) { return inner.contains(p.lat, p.lon); }));
            narrowed = true;
        }
        const std::vector<Located>* points = &pool;
        if (narrowed && std::isfinite(radius)) {
            work.clear();
            const GeoBox box = *Circle(query.lat, query.lon, radius).search_box();
            for (const Located& p : pool)
                if (box.contains(p.lat, p.lon)) work.push_back(p);
            points = &work;
        }
        ring.clear();
        std::uint64_t within = 0;
        for (const Located& p : *points) {
            const double d = distance(p.lat, p.lon);
            if (!(d <= radius)) continue;
            ++within;
            if (d > done) ring.push_back({d, p.slot});
        }
        // The new ring lies wholly beyond every point offered before.
        collector.offer_in_order(ring);
        if (collector.full() || radius >= most) return collector.take();
        done = radius;
        radius = std::min(next_radius(radius, query.k, collector.size(), within), most);
    }
}

}  // namespace orbisk
