#include "engine/query/nearest.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "engine/query/circle.hpp"
#include "engine/query/distance_bound.hpp"
#include "engine/query/grid_route.hpp"
#include "engine/query/great_circle.hpp"
#include "engine/query/text_precheck.hpp"
#include "engine/util/text.hpp"

namespace orbisk {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kMetersPerDegree = 111320.0;
// Index answers with fewer members than this are always read instead of the grid.
constexpr double kIndexAnswerAlwaysRead = 1000;
// The search hands the collector at least this many points at a time (when the
// queue holds them in order), their texts asked for together.
constexpr std::uint64_t kOfferBatch = 16;

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
          precheck_(filter ? TextPrecheck(*filter) : std::optional<TextPrecheck>()),
          k_(k) {}

    bool full() const { return out_.distances.size() >= k_; }
    std::uint64_t wanted() const { return k_ - out_.distances.size(); }
    std::uint64_t size() const { return out_.distances.size(); }

    void offer(const Near& n) {
        const auto text = records_.live_metadata_text(n.slot);
        if (!text) return;
        if (filter_) {
            // A text that cannot hold the filter's values is passed over unread.
            if (!precheck_->may_match(*text)) return;
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
    std::optional<TextPrecheck> precheck_;
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

// The best-first walk of the grid. One queue holds what is still to be read,
// each under a lower bound of the distance of the points it holds:
//   - the frontier: every point not yet in the queue lies farther than the
//     radius it stands for, as the grid cells of that circle's search box are;
//   - squares of a cell's sorted parts (a whole cell at first), split into
//     their quarters or, when small, read;
//   - a cell's unsorted tail, whose entries are then queued one by one under
//     the bound of their lattice step;
//   - points, under their distance.
// Taking the least item each time, points come out in ascending distance, and
// at one distance by ascending slot: at an equal key every other item comes
// before a point, so a point that ties with an unread one waits for it. The
// points go to the collector until it holds k or the keys pass the largest
// distance.
class GridWalk {
public:
    GridWalk(const GridIndex& grid, const RecordStore& records, const NearestQuery& query, Collector& collector,
             NearestStats& stats)
        : grid_(grid),
          records_(records),
          query_(query),
          distance_(query.lat, query.lon),
          bound_(query.lat, query.lon),
          collector_(collector),
          stats_(stats) {}

    void run() {
        // The first box holds about one cell; each further one doubles the radius.
        widen(std::min(0.5 * grid_.cell_size() * kMetersPerDegree, query_.max_distance_m));
        while (!queue_.empty() && !collector_.full()) {
            std::pop_heap(queue_.begin(), queue_.end(), Later{});
            const Item item = queue_.back();
            queue_.pop_back();
            if (item.key > query_.max_distance_m) return;
            switch (item.kind) {
                case Kind::Frontier:
                    widen(std::min(2.0 * item.key, query_.max_distance_m));
                    break;
                case Kind::Square:
                    expand_square(item);
                    break;
                case Kind::Tail:
                    expand_tail(item);
                    break;
                case Kind::Entry:
                    read(&item.slot, 1);
                    break;
                case Kind::Point:
                    offer_points(item);
                    break;
            }
        }
    }

private:
    // In the order the queue takes items of equal key: points last.
    enum class Kind : std::uint8_t { Frontier, Square, Tail, Entry, Point };

    struct Item {
        double key;
        const std::uint64_t* first;  // a square's or a tail's entries
        std::uint32_t count;         // how many
        std::uint32_t slot;          // an entry's or a point's slot; a square's or a tail's cell
        Kind kind;
        std::uint8_t level;  // a square's
    };
    // The heap's order: the item taken later is the greater.
    struct Later {
        bool operator()(const Item& a, const Item& b) const {
            if (a.key != b.key) return a.key > b.key;
            if (a.kind != b.kind) return a.kind > b.kind;
            return a.slot > b.slot;
        }
    };

    // A cell of the walk: its frame, the origin's longitude moved next to it,
    // and the least cosine of its latitudes.
    struct CellGeometry {
        CellFrame frame;
        double step;  // degrees per lattice step
        double near_lon;
        double cos_min;
    };

    // Offers `first` and the points that come next in the queue's order,
    // as many as may be needed, their texts asked for together.
    void offer_points(const Item& first) {
        settled_.assign(1, first);
        const std::uint64_t want = std::max<std::uint64_t>(collector_.wanted(), kOfferBatch);
        while (settled_.size() < want && !queue_.empty() && queue_.front().kind == Kind::Point &&
               queue_.front().key <= query_.max_distance_m) {
            std::pop_heap(queue_.begin(), queue_.end(), Later{});
            settled_.push_back(queue_.back());
            queue_.pop_back();
        }
        for (const Item& p : settled_) records_.prefetch_metadata_text(p.slot);
        for (const Item& p : settled_) {
            if (collector_.full()) return;
            collector_.offer(Near{p.key, p.slot});
        }
    }

    void push(const Item& item) {
        queue_.push_back(item);
        std::push_heap(queue_.begin(), queue_.end(), Later{});
    }

    // Queues the cells of the circle of `radius` not queued before, and the
    // frontier beyond it unless the circle covers the globe or reaches the
    // largest distance.
    void widen(double radius) {
        ++stats_.rounds;
        const Circle circle(query_.lat, query_.lon, radius);
        if (!circle.search_box()) return;  // not for a valid query
        const GeoBox& b = *circle.search_box();
        const GridIndex::Box box{b.min_lat, b.min_lon, b.max_lat, b.max_lon};
        views_.clear();
        grid_.cells_in_box(box, listed_ ? &*listed_ : nullptr, views_);
        listed_ = box;
        for (const GridIndex::CellView& view : views_) add_cell(view);
        if (!covers_globe(b) && radius < query_.max_distance_m) push(Item{radius, nullptr, 0, 0, Kind::Frontier, 0});
    }

    void add_cell(const GridIndex::CellView& view) {
        const double size = grid_.cell_size();
        const double lat_hi = view.frame.lat0 + size;
        const double lon_hi = view.frame.lon0 + size;
        CellGeometry g{view.frame, size / 65536.0, bound_.lon_near(view.frame.lon0 + 0.5 * size),
                       DistanceBound::cos_min(view.frame.lat0, lat_hi)};
        const double key = bound_(view.frame.lat0, lat_hi, view.frame.lon0, lon_hi, g.near_lon, g.cos_min);
        const auto cell = static_cast<std::uint32_t>(cells_.size());
        cells_.push_back(g);
        view.points->for_each_sorted_part([&](const std::uint64_t* first, const std::uint64_t* last) {
            push(Item{key, first, static_cast<std::uint32_t>(last - first), cell, Kind::Square, 16});
        });
        const auto tail = view.points->tail();
        if (!tail.empty()) push(Item{key, tail.data(), static_cast<std::uint32_t>(tail.size()), cell, Kind::Tail, 0});
    }

    // The bound of the lattice square of side 2^level at (x, y) of a cell.
    double square_bound(const CellGeometry& g, std::uint32_t x, std::uint32_t y, int level, double cos_min) const {
        const double side = static_cast<double>(std::uint32_t{1} << level) * g.step;
        const double lat_lo = g.frame.lat0 + static_cast<double>(y) * g.step;
        const double lon_lo = g.frame.lon0 + static_cast<double>(x) * g.step;
        return bound_(lat_lo, lat_lo + side, lon_lo, lon_lo + side, g.near_lon, cos_min);
    }

    void expand_square(const Item& item) {
        if (item.count <= CellPoints::kLeafRun || item.level == 0) {
            read_entries(item.first, item.count);
            return;
        }
        const CellGeometry& g = cells_[item.slot];
        const int level = item.level;
        const std::uint32_t code = CellPoints::code_of(*item.first);
        const std::uint32_t mask = ~((std::uint32_t{1} << level) - 1);
        const std::uint32_t x = code_x(code) & mask, y = code_y(code) & mask;
        const std::uint32_t h = std::uint32_t{1} << (level - 1);
        const std::uint64_t* b[5];
        CellPoints::quarters(item.first, item.first + item.count, x, y, level, b);
        for (int i = 0; i < 4; ++i) {
            if (b[i] == b[i + 1]) continue;
            const std::uint32_t qx = x + (i & 1 ? h : 0), qy = y + (i & 2 ? h : 0);
            const double lat_lo = g.frame.lat0 + static_cast<double>(qy) * g.step;
            const double cos_min = DistanceBound::cos_min(lat_lo, lat_lo + static_cast<double>(h) * g.step);
            push(Item{square_bound(g, qx, qy, level - 1, cos_min), b[i], static_cast<std::uint32_t>(b[i + 1] - b[i]),
                      item.slot, Kind::Square, static_cast<std::uint8_t>(level - 1)});
        }
    }

    void expand_tail(const Item& item) {
        if (item.count <= CellPoints::kLeafRun) {
            read_entries(item.first, item.count);
            return;
        }
        const CellGeometry& g = cells_[item.slot];
        for (std::uint32_t i = 0; i < item.count; ++i) {
            const std::uint64_t e = item.first[i];
            const std::uint32_t code = CellPoints::code_of(e);
            push(Item{square_bound(g, code_x(code), code_y(code), 0, g.cos_min), nullptr, 0, CellPoints::slot_of(e),
                      Kind::Entry, 0});
        }
    }

    void read_entries(const std::uint64_t* first, std::uint32_t count) {
        slots_.resize(count);
        for (std::uint32_t i = 0; i < count; ++i) slots_[i] = CellPoints::slot_of(first[i]);
        read(slots_.data(), count);
    }

    template <class Slot>
    void read(const Slot* slots, std::size_t count) {
        batch_.assign(slots, slots + count);
        stats_.examined += count;
        for (const std::uint64_t slot : batch_) records_.prefetch_coordinates(slot);
        for_each_live_point(records_, batch_, [&](std::uint64_t slot, double lat, double lon) {
            records_.prefetch_metadata_span(slot);
            push(Item{distance_(lat, lon), nullptr, 0, static_cast<std::uint32_t>(slot), Kind::Point, 0});
        });
    }

    static bool covers_globe(const GeoBox& box) {
        return box.min_lat <= -90.0 && box.max_lat >= 90.0 && box.min_lon == -kInf && box.max_lon == kInf;
    }

    const GridIndex& grid_;
    const RecordStore& records_;
    const NearestQuery& query_;
    const DistanceFrom distance_;
    const DistanceBound bound_;
    Collector& collector_;
    NearestStats& stats_;
    std::vector<Item> queue_;
    std::vector<CellGeometry> cells_;
    std::vector<GridIndex::CellView> views_;
    std::optional<GridIndex::Box> listed_;
    std::vector<std::uint64_t> slots_;
    std::vector<std::uint64_t> batch_;
    std::vector<Item> settled_;
};

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

    GridWalk(grid, records, query, collector, st).run();
    return collector.take();
}

}  // namespace orbisk
