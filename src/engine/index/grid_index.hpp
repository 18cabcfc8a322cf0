// GridIndex: the in-memory spatial index. The globe is cut into square cells
// of `cell_size` degrees (origin latitude -90, longitude -180); every occupied
// cell keeps the 32-bit slot ids of its points, each with its position in the
// cell (cell_points.hpp), so that a cell holding a crowd is searched without
// reading all of it. The grid answers one question: which slots may lie in a
// box. It lists every slot of a point inside the box, from the cells that
// overlap it, and leaves out points whose position in their cell shows them
// outside; callers do the exact geometric test and the live check themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "engine/index/cell_code.hpp"
#include "engine/index/cell_points.hpp"
#include "engine/storage/slot_point.hpp"
#include "engine/util/error.hpp"

namespace orbisk {

// Not safe for concurrent use by itself: Database guards it with the grid lock,
// held shared for `candidates` and exclusively for the rest.
class GridIndex {
public:
    // Largest slot id a cell can hold.
    static constexpr std::uint64_t kMaxSlot = 0xFFFFFFFFull;

    // How `candidates` walked the grid: over every occupied cell (Scan) or by
    // looking up each cell of the box (Probe).
    enum class Strategy { Scan, Probe };

    // An empty grid: cell_size 1.0, no cells.
    GridIndex();

    // Builds a grid sized for `points` (about 256 points per cell over their
    // extent, clamped to [0.001, 10] degrees) and adds them in list order.
    // Fails with the capacity error of `insert` for the first slot id above
    // kMaxSlot.
    static Result<GridIndex> try_build(std::vector<SlotPoint> points);

    // As try_build, for callers whose slot ids are known to fit in 32 bits;
    // points whose slot id does not fit are left out of the grid.
    static GridIndex build(std::vector<SlotPoint> points);

    // Appends `slot` to the cell of (lat, lon). No duplicate check.
    Status insert(std::uint64_t slot, double lat, double lon);

    // Removes every occurrence of `slot` from the cell of (lat, lon), which
    // must be the coordinates it was inserted with. An emptied cell is dropped.
    void remove(std::uint64_t slot, double lat, double lon);
    // The same for many points, each cell they touch read once.
    void remove(std::span<const SlotPoint> points);

    // Slot ids of the cells overlapping the box, cell by cell: every slot of a
    // point in the box, and some of points outside it. Unsorted. min_lon >
    // max_lon means the box crosses the antimeridian.
    std::vector<std::uint64_t> candidates(double min_lat, double min_lon, double max_lat, double max_lon) const;

    // As above, appending to `out` (which is not cleared) so that a caller can
    // reuse its buffer. Returns the strategy that was used.
    Strategy candidates(double min_lat, double min_lon, double max_lat, double max_lon,
                        std::vector<std::uint64_t>& out) const;

    // How many slots `candidates` lists for the box, without listing them.
    std::uint64_t count_candidates(double min_lat, double min_lon, double max_lat, double max_lon) const;

    // An occupied cell as a search sees it: its lattice frame (south-west
    // corner and steps per degree; the cell spans cell_size degrees from the
    // corner) and its points.
    struct CellView {
        CellFrame frame;
        const CellPoints* points;
    };
    // A latitude/longitude box as `candidates` takes it.
    struct Box {
        double min_lat;
        double min_lon;
        double max_lat;
        double max_lon;
    };
    // Appends the occupied cells that `candidates` reads for `box`, leaving
    // out those it reads for `inner` when one is given: a search that widens
    // its box sees each cell once. The views stay valid while the grid is
    // unchanged.
    void cells_in_box(const Box& box, const Box* inner, std::vector<CellView>& out) const;

    // Whether the grid is a build's, not changed since: what a build from the
    // same points gives, cell for cell.
    bool is_fresh_build() const { return fresh_; }

    // The grid's sections of the open cache (the byte layout is in
    // docs/format.md): the header (cell size, cell count), one 24-byte
    // record a cell, and the cells' entries, in place. Valid while the grid
    // is not changed.
    struct CacheImage {
        std::uint8_t header[16];
        std::vector<std::uint64_t> cells;
        std::vector<std::span<const std::uint8_t>> entries;
    };
    CacheImage cache_image() const;
    // A grid over those sections, searched in place in the mapping that
    // `owner` keeps alive; a cell is copied out on its first change. Fails
    // when the sections do not make a grid of `points` slots below `slots`.
    static Result<GridIndex> from_cache(std::shared_ptr<const void> owner, std::span<const std::uint8_t> header,
                                        std::span<const std::uint64_t> cells, std::span<const std::uint64_t> entries,
                                        std::uint64_t slots, std::uint64_t points);

    double cell_size() const { return cell_size_; }
    std::size_t occupied_cells() const { return cells_.size(); }
    // Bytes of memory the cells hold (their entries and the cell map).
    std::size_t memory_bytes() const;

private:
    struct Cell {
        std::uint64_t key;  // packed (column, row)
        CellPoints points;
    };
    // Open-addressing bucket; `index` points into cells_, kEmptyBucket if free.
    struct Bucket {
        std::uint64_t key;
        std::uint64_t index;
    };
    static constexpr std::uint64_t kEmptyBucket = ~std::uint64_t{0};
    static constexpr std::size_t kNotFound = ~std::size_t{0};

    static GridIndex build_checked(const std::vector<SlotPoint>& points, double min_lat, double max_lat, double min_lon,
                                   double max_lon, bool nan_lat, bool nan_lon);

    std::uint64_t key_of(double lat, double lon) const;
    std::int32_t column_of(double lon) const;
    std::int32_t row_of(double lat) const;
    CellFrame frame_of(std::uint64_t key) const;
    std::uint32_t code_of(std::uint64_t key, double lat, double lon) const;

    // Calls visit(cell, rect) for every occupied cell overlapping the box,
    // with the lattice rectangle that holds the box's part of it.
    template <class Visit>
    Strategy for_each_cell(double min_lat, double min_lon, double max_lat, double max_lon, Visit visit) const;

    std::size_t find(std::uint64_t key) const;
    std::size_t find_or_add(std::uint64_t key);
    void reserve_cells(std::size_t n);
    // Sorts every cell that is crowded (CellPoints::pack), after a build.
    void pack_cells();
    void rehash(std::size_t buckets);
    void erase_cell(std::size_t index);

    double cell_size_ = 1.0;
    // Occupied cells, densely packed; their order is the map order.
    std::vector<Cell> cells_;
    // Power-of-two bucket array, at most half full; empty for an empty grid.
    std::vector<Bucket> table_;
    bool fresh_ = false;
    // The mapping that cells read from the open cache search in place.
    std::shared_ptr<const void> backing_;
};

}  // namespace orbisk
