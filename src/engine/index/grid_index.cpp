#include "engine/index/grid_index.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "engine/util/debug_check.hpp"
#include "engine/util/format.hpp"
#include "engine/util/worker_pool.hpp"

namespace orbisk {

namespace {

constexpr double kOriginLat = -90.0;
constexpr double kOriginLon = -180.0;
constexpr double kMinCellSize = 0.001;
constexpr double kMaxCellSize = 10.0;
constexpr double kEmptyCellSize = 1.0;
constexpr double kPointsPerCellInv = 0.00390625;  // 1/256
constexpr double kLatticeSteps = 65536.0;         // lattice steps along a cell's edge
// Entries in crowded cells from which a build sorts them on the worker pool.
constexpr std::size_t kParallelPackFrom = 100000;
// Entries a piece of a whole-grid check reads (a cached grid's, at open).
constexpr std::size_t kParallelCheckGrain = std::size_t{1} << 20;

// floor((v - origin) / cell_size) as a saturated int32; NaN gives 0.
std::int32_t cell_coord(double v, double origin, double cell_size) {
    const double c = std::floor((v - origin) / cell_size);
    if (std::isnan(c)) return 0;
    if (c <= -2147483648.0) return std::numeric_limits<std::int32_t>::min();
    if (c >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(c);
}

constexpr std::uint64_t pack(std::int32_t column, std::int32_t row) {
    return (std::uint64_t{static_cast<std::uint32_t>(column)} << 32) | static_cast<std::uint32_t>(row);
}
constexpr std::int32_t column_part(std::uint64_t key) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(key >> 32));
}
constexpr std::int32_t row_part(std::uint64_t key) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(key));
}

// 64-bit finalizer mix: neighbouring cells differ in few bits, and the table
// indexes by the low bits, so every input bit must reach them.
inline std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdull;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ull;
    x ^= x >> 33;
    return x;
}

Error capacity_error(std::uint64_t slot) {
    return Error::internal("grid index point id " + std::to_string(slot) + " exceeds u32 capacity");
}

struct ColumnRange {
    std::int64_t lo;
    std::int64_t hi;
    bool contains(std::int64_t c) const { return lo <= c && c <= hi; }
    std::int64_t width() const { return hi < lo ? 0 : hi - lo + 1; }
};

}  // namespace

GridIndex::GridIndex() = default;

std::int32_t GridIndex::column_of(double lon) const { return cell_coord(lon, kOriginLon, cell_size_); }
std::int32_t GridIndex::row_of(double lat) const { return cell_coord(lat, kOriginLat, cell_size_); }
std::uint64_t GridIndex::key_of(double lat, double lon) const { return pack(column_of(lon), row_of(lat)); }

CellFrame GridIndex::frame_of(std::uint64_t key) const {
    return CellFrame{kOriginLat + row_part(key) * cell_size_, kOriginLon + column_part(key) * cell_size_,
                     kLatticeSteps / cell_size_};
}

std::uint32_t GridIndex::code_of(std::uint64_t key, double lat, double lon) const {
    return cell_code(frame_of(key), lat, lon);
}

// ---- cell map -------------------------------------------------------------

std::size_t GridIndex::find(std::uint64_t key) const {
    if (table_.empty()) return kNotFound;
    const std::size_t mask = table_.size() - 1;
    for (std::size_t i = mix(key) & mask;; i = (i + 1) & mask) {
        const Bucket& b = table_[i];
        if (b.index == kEmptyBucket) return kNotFound;
        if (b.key == key) return static_cast<std::size_t>(b.index);
    }
}

std::size_t GridIndex::find_or_add(std::uint64_t key) {
    if ((cells_.size() + 1) * 2 > table_.size()) rehash(std::max<std::size_t>(16, table_.size() * 2));
    const std::size_t mask = table_.size() - 1;
    std::size_t i = mix(key) & mask;
    for (;; i = (i + 1) & mask) {
        const Bucket& b = table_[i];
        if (b.index == kEmptyBucket) break;
        if (b.key == key) return static_cast<std::size_t>(b.index);
    }
    const std::size_t index = cells_.size();
    cells_.push_back(Cell{key, {}});
    table_[i] = Bucket{key, index};
    return index;
}

void GridIndex::reserve_cells(std::size_t n) {
    cells_.reserve(n);
    // Keep the table at most half full once n cells exist.
    const std::size_t want = std::bit_ceil(std::max<std::size_t>(16, n * 2));
    if (want > table_.size()) rehash(want);
}

void GridIndex::rehash(std::size_t buckets) {
    table_.assign(buckets, Bucket{0, kEmptyBucket});
    const std::size_t mask = buckets - 1;
    for (std::size_t index = 0; index < cells_.size(); ++index) {
        std::size_t i = mix(cells_[index].key) & mask;
        while (table_[i].index != kEmptyBucket) i = (i + 1) & mask;
        table_[i] = Bucket{cells_[index].key, index};
    }
}

void GridIndex::erase_cell(std::size_t index) {
    // The cell is in the table (so the probes below end), and no other is emptied.
    ORBISK_DCHECK(index < cells_.size() && find(cells_[index].key) == index && cells_[index].points.empty());
    const std::uint64_t erased_key = cells_[index].key;
    const std::size_t mask = table_.size() - 1;
    auto bucket_of = [&](std::uint64_t key) {
        std::size_t i = mix(key) & mask;
        while (table_[i].key != key || table_[i].index == kEmptyBucket) i = (i + 1) & mask;
        return i;
    };

    // Backward-shift deletion keeps every probe chain unbroken without tombstones.
    std::size_t hole = bucket_of(cells_[index].key);
    for (std::size_t j = (hole + 1) & mask; table_[j].index != kEmptyBucket; j = (j + 1) & mask) {
        const std::size_t home = mix(table_[j].key) & mask;
        // The entry at j may fill the hole unless its home lies cyclically in (hole, j].
        const bool stays = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
        if (!stays) {
            table_[hole] = table_[j];
            hole = j;
        }
    }
    table_[hole].index = kEmptyBucket;

    // Fill the gap in cells_ with the last cell and repoint its bucket.
    const std::size_t last = cells_.size() - 1;
    if (index != last) {
        cells_[index] = std::move(cells_[last]);
        table_[bucket_of(cells_[index].key)].index = index;
    }
    cells_.pop_back();
    ORBISK_DCHECK(find(erased_key) == kNotFound && (index == cells_.size() || find(cells_[index].key) == index));
}

// ---- build, insert, remove --------------------------------------------------

namespace {

// Coordinate bounds of a point list; NaN values are left out of min/max.
struct Bounds {
    double min_lat = std::numeric_limits<double>::infinity();
    double max_lat = -std::numeric_limits<double>::infinity();
    double min_lon = std::numeric_limits<double>::infinity();
    double max_lon = -std::numeric_limits<double>::infinity();
    bool nan_lat = false;
    bool nan_lon = false;
    bool oversized = false;  // some slot id above GridIndex::kMaxSlot
    std::uint64_t first_oversized = 0;
};

Bounds bounds_of(const std::vector<SlotPoint>& points) {
    Bounds b;
    for (const SlotPoint& p : points) {
        if (p.slot > GridIndex::kMaxSlot && !b.oversized) {
            b.oversized = true;
            b.first_oversized = p.slot;
        }
        // Comparisons with NaN are false, so NaN never replaces a bound.
        // (Written out rather than fmin/fmax, which are library calls.)
        b.min_lat = p.lat < b.min_lat ? p.lat : b.min_lat;
        b.max_lat = p.lat > b.max_lat ? p.lat : b.max_lat;
        b.min_lon = p.lon < b.min_lon ? p.lon : b.min_lon;
        b.max_lon = p.lon > b.max_lon ? p.lon : b.max_lon;
        b.nan_lat |= p.lat != p.lat;
        b.nan_lon |= p.lon != p.lon;
    }
    return b;
}

// Range of cell coordinates that the values of one axis map to: floor is
// monotonic, and NaN maps to 0.
std::pair<std::int64_t, std::int64_t> coord_span(double lo, double hi, bool nan, double origin, double cell_size) {
    std::int64_t a = 0, b = 0;
    if (lo <= hi) {
        a = cell_coord(lo, origin, cell_size);
        b = cell_coord(hi, origin, cell_size);
        if (nan) {
            a = std::min<std::int64_t>(a, 0);
            b = std::max<std::int64_t>(b, 0);
        }
    }
    return {a, b};
}

}  // namespace

Result<GridIndex> GridIndex::try_build(std::vector<SlotPoint> points) {
    const Bounds b = bounds_of(points);
    if (b.oversized) return fail(capacity_error(b.first_oversized));
    return build_checked(points, b.min_lat, b.max_lat, b.min_lon, b.max_lon, b.nan_lat, b.nan_lon);
}

GridIndex GridIndex::build(std::vector<SlotPoint> points) {
    Bounds b = bounds_of(points);
    if (b.oversized) {
        std::erase_if(points, [](const SlotPoint& p) { return p.slot > kMaxSlot; });
        b = bounds_of(points);
    }
    return build_checked(points, b.min_lat, b.max_lat, b.min_lon, b.max_lon, b.nan_lat, b.nan_lon);
}

GridIndex GridIndex::build_checked(const std::vector<SlotPoint>& points, double min_lat, double max_lat, double min_lon,
                                   double max_lon, bool nan_lat, bool nan_lon) {
    GridIndex grid;
    grid.fresh_ = true;
    const std::size_t n = points.size();
    if (n == 0) return grid;

    // An axis of only NaN gives -inf or NaN here; fmax with 0 turns those into 0.
    const double extent = std::fmax(std::fmax(max_lat - min_lat, max_lon - min_lon), 0.0);
    const double load = std::max(static_cast<double>(n) * kPointsPerCellInv, 1.0);
    if (extent > 0.0) {
        const double size = extent / std::max(std::sqrt(load), 1.0);
        grid.cell_size_ = std::min(std::max(size, kMinCellSize), kMaxCellSize);
    } else {
        grid.cell_size_ = kMinCellSize;
    }
    const auto expected_cells = static_cast<std::size_t>(load);
    grid.reserve_cells(expected_cells);

    if (n > kMaxSlot) {
        // Too many points for the 32-bit bookkeeping below; plain inserts.
        for (const SlotPoint& p : points) {
            const std::uint64_t key = grid.key_of(p.lat, p.lon);
            const std::size_t index = grid.find_or_add(key);
            grid.cells_[index].points.push(grid.code_of(key, p.lat, p.lon), static_cast<std::uint32_t>(p.slot));
        }
        grid.pack_cells();
        return grid;
    }

    // Pass 1 finds each point's cell and counts the points per cell; pass 2
    // fills every cell, allocated once at its final size, in list order, and
    // sorts the crowded ones.
    //
    // The cell size is chosen so that the cells spanned by the points number
    // about `load`. Unless the size was clamped or points lie far off the
    // globe, a dense table over that span replaces the hash look-ups of pass 1.
    const auto [col_lo, col_hi] = coord_span(min_lon, max_lon, nan_lon, kOriginLon, grid.cell_size_);
    const auto [row_lo, row_hi] = coord_span(min_lat, max_lat, nan_lat, kOriginLat, grid.cell_size_);
    const std::uint64_t span_cols = static_cast<std::uint64_t>(col_hi - col_lo) + 1;
    const std::uint64_t span_rows = static_cast<std::uint64_t>(row_hi - row_lo) + 1;
    const std::uint64_t dense_limit = 4 * static_cast<std::uint64_t>(expected_cells) + 4096;
    const bool dense = span_cols <= dense_limit && span_rows <= dense_limit && span_cols * span_rows <= dense_limit;

    std::vector<std::uint32_t> cell_of(n);
    std::vector<std::uint32_t> counts;
    counts.reserve(grid.cells_.capacity());
    if (dense) {
        constexpr std::uint32_t kNone = ~std::uint32_t{0};
        std::vector<std::uint32_t> table(span_cols * span_rows, kNone);
        for (std::size_t i = 0; i < n; ++i) {
            const std::int32_t column = grid.column_of(points[i].lon);
            const std::int32_t row = grid.row_of(points[i].lat);
            std::uint32_t& entry =
                table[static_cast<std::size_t>(column - col_lo) * span_rows + static_cast<std::size_t>(row - row_lo)];
            if (entry == kNone) {
                entry = static_cast<std::uint32_t>(grid.cells_.size());
                grid.cells_.push_back(Cell{pack(column, row), {}});
                counts.push_back(0);
            }
            ++counts[entry];
            cell_of[i] = entry;
        }
        // Cells were added in first-seen order, as the hash path would add them.
        grid.rehash(std::max(grid.table_.size(), std::bit_ceil(std::max<std::size_t>(16, grid.cells_.size() * 2))));
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t index = grid.find_or_add(grid.key_of(points[i].lat, points[i].lon));
            if (index == counts.size()) counts.push_back(0);
            ++counts[index];
            cell_of[i] = static_cast<std::uint32_t>(index);
        }
    }
    std::vector<CellFrame> frames;
    frames.reserve(grid.cells_.size());
    for (std::size_t c = 0; c < grid.cells_.size(); ++c) {
        grid.cells_[c].points.reserve(counts[c]);
        frames.push_back(grid.frame_of(grid.cells_[c].key));
    }
    for (std::size_t i = 0; i < n; ++i)
        grid.cells_[cell_of[i]].points.push(cell_code(frames[cell_of[i]], points[i].lat, points[i].lon),
                                            static_cast<std::uint32_t>(points[i].slot));
    grid.pack_cells();
    return grid;
}

void GridIndex::pack_cells() {
    // The crowded cells, largest first, sorted on the worker pool when there
    // is enough to sort: the pool's threads take the next cell as they finish.
    std::vector<std::size_t> crowded;
    std::size_t entries = 0;
    for (std::size_t c = 0; c < cells_.size(); ++c) {
        if (cells_[c].points.size() <= CellPoints::kTailMax) continue;
        crowded.push_back(c);
        entries += cells_[c].points.size();
    }
    if (entries < kParallelPackFrom) {
        for (std::size_t c : crowded) cells_[c].points.pack();
        return;
    }
    std::sort(crowded.begin(), crowded.end(),
              [&](std::size_t a, std::size_t b) { return cells_[a].points.size() > cells_[b].points.size(); });
    WorkerPool::instance().run(crowded.size(), [&](std::size_t i) { cells_[crowded[i]].points.pack(); });
}

Status GridIndex::insert(std::uint64_t slot, double lat, double lon) {
    if (slot > kMaxSlot) return fail(capacity_error(slot));
    fresh_ = false;
    const std::uint64_t key = key_of(lat, lon);
    cells_[find_or_add(key)].points.add(code_of(key, lat, lon), static_cast<std::uint32_t>(slot));
    return {};
}

void GridIndex::remove(std::uint64_t slot, double lat, double lon) {
    fresh_ = false;
    // A slot above kMaxSlot was never added.
    if (cells_.empty() || slot > kMaxSlot) return;
    const std::size_t index = find(key_of(lat, lon));
    if (index == kNotFound) return;
    CellPoints& points = cells_[index].points;
    points.remove_slot(static_cast<std::uint32_t>(slot));
    if (points.empty()) erase_cell(index);
}

void GridIndex::remove(std::span<const SlotPoint> points) {
    fresh_ = false;
    if (cells_.empty()) return;
    // (cell key, slot), grouped by cell; each cell is looked up again when its
    // turn comes, since dropping an emptied cell moves another in the map.
    std::vector<std::pair<std::uint64_t, std::uint32_t>> doomed;
    doomed.reserve(points.size());
    for (const SlotPoint& p : points)
        if (p.slot <= kMaxSlot) doomed.emplace_back(key_of(p.lat, p.lon), static_cast<std::uint32_t>(p.slot));
    std::sort(doomed.begin(), doomed.end());
    std::vector<std::uint32_t> slots;
    for (std::size_t i = 0; i < doomed.size();) {
        const std::uint64_t key = doomed[i].first;
        slots.clear();
        for (; i < doomed.size() && doomed[i].first == key; ++i) slots.push_back(doomed[i].second);
        const std::size_t index = find(key);
        if (index == kNotFound) continue;
        CellPoints& cell = cells_[index].points;
        cell.remove_slots(slots);
        if (cell.empty()) erase_cell(index);
    }
}

// ---- candidates -------------------------------------------------------------

namespace {

struct AppendSlots {
    std::vector<std::uint64_t>& out;
    void run(const std::uint64_t* first, const std::uint64_t* last) {
        const std::size_t at = out.size();
        out.resize(at + static_cast<std::size_t>(last - first));  // grows geometrically, unlike reserve
        std::transform(first, last, out.begin() + static_cast<std::ptrdiff_t>(at), CellPoints::slot_of);
    }
    void one(std::uint64_t e) { out.push_back(CellPoints::slot_of(e)); }
};

struct CountSlots {
    std::uint64_t n = 0;
    void run(const std::uint64_t* first, const std::uint64_t* last) { n += static_cast<std::uint64_t>(last - first); }
    void one(std::uint64_t) { ++n; }
};

}  // namespace

namespace {

// The cells a box covers: rows [row_lo, row_hi] and one or two column ranges
// (two when the box crosses the antimeridian).
struct BoxCells {
    std::int64_t row_lo;
    std::int64_t row_hi;
    ColumnRange ranges[2] = {};
    std::size_t range_count = 1;

    bool holds(std::int64_t column, std::int64_t row) const {
        return row_lo <= row && row <= row_hi &&
               (ranges[0].contains(column) || (range_count == 2 && ranges[1].contains(column)));
    }
};

BoxCells box_cells(double cell_size, double min_lat, double min_lon, double max_lat, double max_lon) {
    BoxCells span{cell_coord(min_lat, kOriginLat, cell_size), cell_coord(max_lat, kOriginLat, cell_size)};
    if (min_lon > max_lon) {  // across the antimeridian
        span.ranges[0] = {cell_coord(min_lon, kOriginLon, cell_size), cell_coord(180.0, kOriginLon, cell_size)};
        span.ranges[1] = {cell_coord(-180.0, kOriginLon, cell_size), cell_coord(max_lon, kOriginLon, cell_size)};
        span.range_count = 2;
    } else {
        span.ranges[0] = {cell_coord(min_lon, kOriginLon, cell_size), cell_coord(max_lon, kOriginLon, cell_size)};
    }
    return span;
}

}  // namespace

template <class Visit>
GridIndex::Strategy GridIndex::for_each_cell(double min_lat, double min_lon, double max_lat, double max_lon,
                                             Visit visit) const {
    const BoxCells span = box_cells(cell_size_, min_lat, min_lon, max_lat, max_lon);
    const std::int64_t row_lo = span.row_lo;
    const std::int64_t row_hi = span.row_hi;
    const ColumnRange* const ranges = span.ranges;
    const std::size_t range_count = span.range_count;
    const bool crossing = min_lon > max_lon;

    // rows <= 2^32 and columns <= 2^33, so the product may exceed int64.
    const std::int64_t rows = row_hi < row_lo ? 0 : row_hi - row_lo + 1;
    std::int64_t columns = 0;
    for (std::size_t r = 0; r < range_count; ++r) columns += ranges[r].width();
    std::int64_t cell_count;
    if (__builtin_mul_overflow(rows, columns, &cell_count)) cell_count = std::numeric_limits<std::int64_t>::max();

    const auto occupied = static_cast<std::int64_t>(cells_.size());
    const Strategy strategy = cell_count > occupied ? Strategy::Scan : Strategy::Probe;
    if (cells_.empty()) return strategy;

    // The lattice rectangle of the box in one cell. A NaN bound leaves its
    // side open. Across the antimeridian a point passes by being east of
    // min_lon or west of max_lon: in a column east of max_lon's only the first
    // can hold, in one west of min_lon's only the second, and in the column
    // both bounds share either.
    const std::int64_t min_lon_column = column_of(min_lon);
    const std::int64_t max_lon_column = column_of(max_lon);
    auto rect_of = [&](std::uint64_t key) {
        const CellFrame frame = frame_of(key);
        CodeRect rect;
        rect.y0 = std::isnan(min_lat) ? 0 : frame.y(min_lat);
        rect.y1 = std::isnan(max_lat) ? kLatticeMax : frame.y(max_lat);
        if (crossing) {
            const std::int64_t column = column_part(key);
            rect.x0 = column > max_lon_column ? frame.x(min_lon) : 0;
            rect.x1 = column < min_lon_column ? frame.x(max_lon) : kLatticeMax;
        } else {
            rect.x0 = std::isnan(min_lon) ? 0 : frame.x(min_lon);
            rect.x1 = std::isnan(max_lon) ? kLatticeMax : frame.x(max_lon);
        }
        return rect;
    };

    if (strategy == Strategy::Scan) {
        for (const Cell& cell : cells_)
            if (span.holds(column_part(cell.key), row_part(cell.key))) visit(cell, rect_of(cell.key));
        return strategy;
    }

    // Probe: at most cell_count <= occupied look-ups. With no rows the column
    // loops would do nothing, however wide the ranges are.
    if (rows == 0) return strategy;
    for (std::size_t r = 0; r < range_count; ++r) {
        for (std::int64_t column = ranges[r].lo; column <= ranges[r].hi; ++column) {
            // A column in both ranges (both bounds in one column) is visited once.
            if (r == 1 && ranges[0].contains(column)) continue;
            for (std::int64_t row = row_lo; row <= row_hi; ++row) {
                const std::uint64_t key = pack(static_cast<std::int32_t>(column), static_cast<std::int32_t>(row));
                const std::size_t index = find(key);
                if (index != kNotFound) visit(cells_[index], rect_of(key));
            }
        }
    }
    return strategy;
}

void GridIndex::cells_in_box(const Box& box, const Box* inner, std::vector<CellView>& out) const {
    std::optional<BoxCells> seen;
    if (inner) seen = box_cells(cell_size_, inner->min_lat, inner->min_lon, inner->max_lat, inner->max_lon);
    for_each_cell(box.min_lat, box.min_lon, box.max_lat, box.max_lon, [&](const Cell& cell, const CodeRect&) {
        if (!seen || !seen->holds(column_part(cell.key), row_part(cell.key)))
            out.push_back(CellView{frame_of(cell.key), &cell.points});
    });
}

std::vector<std::uint64_t> GridIndex::candidates(double min_lat, double min_lon, double max_lat, double max_lon) const {
    std::vector<std::uint64_t> out;
    candidates(min_lat, min_lon, max_lat, max_lon, out);
    return out;
}

GridIndex::Strategy GridIndex::candidates(double min_lat, double min_lon, double max_lat, double max_lon,
                                          std::vector<std::uint64_t>& out) const {
    AppendSlots sink{out};
    return for_each_cell(min_lat, min_lon, max_lat, max_lon,
                         [&](const Cell& cell, const CodeRect& rect) { cell.points.search(rect, sink); });
}

std::uint64_t GridIndex::count_candidates(double min_lat, double min_lon, double max_lat, double max_lon) const {
    CountSlots sink;
    for_each_cell(min_lat, min_lon, max_lat, max_lon,
                  [&](const Cell& cell, const CodeRect& rect) { cell.points.search(rect, sink); });
    return sink.n;
}

std::size_t GridIndex::memory_bytes() const {
    std::size_t n = cells_.capacity() * sizeof(Cell) + table_.capacity() * sizeof(Bucket);
    for (const Cell& cell : cells_) n += cell.points.memory_bytes();
    return n;
}

// ---- the open cache's sections ------------------------------------------------

GridIndex::CacheImage GridIndex::cache_image() const {
    CacheImage image;
    store_f64(image.header, cell_size_);
    store_u64(image.header + 8, cells_.size());
    image.cells.reserve(3 * cells_.size());
    std::uint64_t first = 0;
    for (const Cell& c : cells_) {
        const auto entries = c.points.entries();
        // A built grid has no runs: its cells are sorted whole or not at all.
        ORBISK_DCHECK(c.points.run_ends().empty());
        image.cells.push_back(c.key);
        image.cells.push_back(first);
        image.cells.push_back(entries.size() | (std::uint64_t{c.points.sorted_count()} << 32));
        image.entries.emplace_back(reinterpret_cast<const std::uint8_t*>(entries.data()), entries.size() * 8);
        first += entries.size();
    }
    return image;
}

Result<GridIndex> GridIndex::from_cache(std::shared_ptr<const void> owner, std::span<const std::uint8_t> header,
                                        std::span<const std::uint64_t> cells, std::span<const std::uint64_t> entries,
                                        std::uint64_t slots, std::uint64_t points) {
    auto bad = [](const char* what) { return fail(Error::invalid(std::string("open cache grid: ") + what)); };
    if (header.size() != 16 || cells.size() % 3 != 0) return bad("wrong section lengths");
    GridIndex grid;
    grid.cell_size_ = load_f64(header.data());
    const std::uint64_t count = load_u64(header.data() + 8);
    if (count != cells.size() / 3) return bad("wrong cell count");
    if (!(grid.cell_size_ == kEmptyCellSize || (grid.cell_size_ >= kMinCellSize && grid.cell_size_ <= kMaxCellSize)))
        return bad("cell size out of range");
    grid.cells_.reserve(count);
    std::uint64_t next = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t key = cells[3 * i], first = cells[3 * i + 1], sizes = cells[3 * i + 2];
        const std::uint64_t n = static_cast<std::uint32_t>(sizes), sorted = sizes >> 32;
        // Cells lie one after the other, none empty, each sorted whole or not at all.
        if (first != next || n == 0 || n > entries.size() - first || (sorted != 0 && sorted != n) ||
            (sorted == 0 && n > CellPoints::kTailMax))
            return bad("cell out of order");
        next = first + n;
        grid.cells_.push_back(
            Cell{key, CellPoints::mapped(entries.data() + first, n, static_cast<std::uint32_t>(sorted))});
    }
    if (next != entries.size() || entries.size() != points) return bad("entries left over");
    // A reduction, so that it vectorises, on both halves of the entries at once.
    const auto tops = fork_join<std::uint32_t>(entries.size(), kParallelCheckGrain, [&](std::size_t b, std::size_t e) {
        std::uint32_t top = 0;
        for (std::size_t i = b; i < e; ++i) top = std::max(top, CellPoints::slot_of(entries[i]));
        return top;
    });
    const std::uint32_t top = tops.empty() ? 0 : *std::max_element(tops.begin(), tops.end());
    if (!entries.empty() && top >= slots) return bad("slot out of range");
    grid.rehash(std::bit_ceil(std::max<std::size_t>(16, grid.cells_.size() * 2)));
    for (std::size_t i = 0; i < grid.cells_.size(); ++i)
        if (grid.find(grid.cells_[i].key) != i) return bad("a cell twice");
    grid.backing_ = std::move(owner);
    grid.fresh_ = true;
    return grid;
}

}  // namespace orbisk
