#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <vector>

#include "check.hpp"
#include "engine/index/grid_index.hpp"

using orbisk::ErrorKind;
using orbisk::GridIndex;
using orbisk::SlotPoint;
using Strategy = GridIndex::Strategy;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<std::uint64_t> sorted(std::vector<std::uint64_t> v) {
    std::sort(v.begin(), v.end());
    return v;
}

std::vector<std::uint64_t> ids(std::initializer_list<std::uint64_t> v) { return sorted(v); }

// Both strategy and result of one candidate request.
struct Answer {
    Strategy strategy;
    std::vector<std::uint64_t> slots;  // sorted
};

Answer ask(const GridIndex& g, double min_lat, double min_lon, double max_lat, double max_lon) {
    std::vector<std::uint64_t> out;
    const Strategy s = g.candidates(min_lat, min_lon, max_lat, max_lon, out);
    return {s, sorted(std::move(out))};
}

// Number of times `slot` occurs in `v`.
std::size_t occurrences(const std::vector<std::uint64_t>& v, std::uint64_t slot) {
    return static_cast<std::size_t>(std::count(v.begin(), v.end(), slot));
}

}  // namespace

TEST_CASE("grid: empty grids have cell size 1 and answer nothing") {
    const GridIndex fresh;
    CHECK_EQ(fresh.cell_size(), 1.0);
    CHECK_EQ(fresh.occupied_cells(), 0u);
    CHECK(fresh.candidates(-90, -180, 90, 180).empty());
    CHECK(fresh.candidates(-1e300, -1e300, 1e300, 1e300).empty());
    CHECK(fresh.candidates(10, 170, 20, -170).empty());

    const GridIndex built = GridIndex::build({});
    CHECK_EQ(built.cell_size(), 1.0);
    CHECK_EQ(built.occupied_cells(), 0u);
    CHECK(built.candidates(-90, -180, 90, 180).empty());
}

TEST_CASE("grid build: cell size follows the point count and extent") {
    // A million points over 40 degrees of longitude: load 3906.25, sqrt 62.5.
    {
        const std::size_t n = 1'000'000;
        std::vector<SlotPoint> pts;
        pts.reserve(n);
        for (std::size_t i = 0; i < n; ++i)
            pts.push_back({i, static_cast<double>(i % 1000) * 0.01, -20.0 + 40.0 * static_cast<double>(i) / (n - 1)});
        const GridIndex g = GridIndex::build(std::move(pts));
        CHECK_EQ(g.cell_size(), 0.64);
        CHECK_EQ(g.candidates(-90, -180, 90, 180).size(), n);
    }
    // 1024 points: load 4, so the extent is halved; latitude extent wins here.
    {
        std::vector<SlotPoint> pts;
        for (std::uint64_t i = 0; i < 1024; ++i) pts.push_back({i, (i % 2) ? 8.0 : 0.0, 1.0 + (i % 3)});
        CHECK_EQ(GridIndex::build(std::move(pts)).cell_size(), 4.0);
    }
    // Few points: load is 1, the cell is the extent, clamped to [0.001, 10].
    CHECK_EQ(GridIndex::build({{0, 0, 0}, {1, 5, 2}}).cell_size(), 5.0);
    CHECK_EQ(GridIndex::build({{0, -80, -170}, {1, 80, 170}}).cell_size(), 10.0);
    CHECK_EQ(GridIndex::build({{0, 1.0, 1.0}, {1, 1.00001, 1.0}}).cell_size(), 0.001);
    // Extent 0: one point, or all points at one location.
    CHECK_EQ(GridIndex::build({{7, 12.5, -3.25}}).cell_size(), 0.001);
    CHECK_EQ(GridIndex::build({{1, 3, 4}, {2, 3, 4}, {3, 3, 4}}).cell_size(), 0.001);
    // NaN coordinates do not take part in the extent.
    {
        const GridIndex g = GridIndex::build({{0, kNaN, 0}, {1, 2, 0}, {2, 0, kNaN}, {3, 0, 3}});
        CHECK_EQ(g.cell_size(), 3.0);
        // ...but they are placed: NaN is cell 0 (latitude -90, longitude -180).
        CHECK(g.candidates(-90, 0, -89, 0) == std::vector<std::uint64_t>{0});
        CHECK(g.candidates(0, -180, 0, -179) == std::vector<std::uint64_t>{2});
    }
    CHECK_EQ(GridIndex::build({{0, kNaN, kNaN}, {1, kNaN, kNaN}}).cell_size(), 0.001);
    // Infinite extent is capped like any other large one.
    CHECK_EQ(GridIndex::build({{0, 0, 0}, {1, std::numeric_limits<double>::infinity(), 0}}).cell_size(), 10.0);
    // Points at both ends of the saturated range on both axes.
    {
        const GridIndex g = GridIndex::build({{0, -1e300, -1e300}, {1, 1e300, 1e300}, {2, 5, 5}, {3, 1e300, -1e300}});
        CHECK_EQ(g.cell_size(), 10.0);
        CHECK_EQ(g.occupied_cells(), 4u);
        CHECK(g.candidates(0, 0, 9, 9) == std::vector<std::uint64_t>{2});
        CHECK(g.candidates(1e300, -1e300, 1e300, -1e300) == std::vector<std::uint64_t>{3});
        CHECK(sorted(g.candidates(-1e300, -1e300, 1e300, 1e300)) == ids({0, 1, 2, 3}));
    }
}

TEST_CASE("grid build: every point lands in its cell in list order, duplicates kept") {
    // Extent 3.5, so cell size 3.5; slots 5, 3, 5 share one cell.
    const GridIndex g = GridIndex::build({{5, 1, 1}, {9, 4.5, 4.5}, {3, 1.5, 1.5}, {5, 1.2, 1.2}});
    CHECK_EQ(g.cell_size(), 3.5);
    CHECK_EQ(g.occupied_cells(), 2u);
    const std::vector<std::uint64_t> first_cell = g.candidates(1, 1, 1.5, 1.5);
    CHECK(first_cell == (std::vector<std::uint64_t>{5, 3, 5}));
    CHECK(g.candidates(4.5, 4.5, 4.5, 4.5) == std::vector<std::uint64_t>{9});
}

TEST_CASE("grid: slot ids above u32 are refused with the capacity message") {
    GridIndex g;
    CHECK(g.insert(4294967295ull, 1, 1).has_value());
    const auto too_big = g.insert(4294967296ull, 1, 1);
    REQUIRE(!too_big.has_value());
    CHECK(too_big.error().kind == ErrorKind::Internal);
    CHECK_EQ(too_big.error().message, std::string("grid index point id 4294967296 exceeds u32 capacity"));
    CHECK(g.candidates(1, 1, 1, 1) == std::vector<std::uint64_t>{4294967295ull});

    // A build reports the first oversized slot in list order...
    const auto failed = GridIndex::try_build({{4294967295ull, 0, 0}, {4294967296ull, 0, 0}, {~0ull, 0, 0}});
    REQUIRE(!failed.has_value());
    CHECK(failed.error().kind == ErrorKind::Internal);
    CHECK_EQ(failed.error().message, std::string("grid index point id 4294967296 exceeds u32 capacity"));
    CHECK(GridIndex::try_build({{4294967295ull, 0, 0}}).has_value());
    // ...and the infallible build leaves such points out.
    const GridIndex skipped = GridIndex::build({{1, 0, 0}, {4294967296ull, 0, 0}, {2, 0, 0}});
    CHECK(sorted(skipped.candidates(-90, -180, 90, 180)) == ids({1, 2}));
}

TEST_CASE("grid remove: drops every occurrence, keeps order, deletes emptied cells") {
    GridIndex g;
    REQUIRE(g.insert(1, 10.5, 10.5).has_value());
    REQUIRE(g.insert(2, 10.6, 10.6).has_value());
    REQUIRE(g.insert(1, 10.7, 10.7).has_value());
    REQUIRE(g.insert(3, 10.8, 10.8).has_value());
    REQUIRE(g.insert(4, -20.5, 30.5).has_value());
    CHECK_EQ(g.occupied_cells(), 2u);

    g.remove(1, 10.5, 10.5);
    CHECK(g.candidates(10, 10, 11, 11) == (std::vector<std::uint64_t>{2, 3}));
    CHECK_EQ(g.occupied_cells(), 2u);

    // Absent slot, or coordinates of another (empty) cell: nothing changes.
    g.remove(99, 10.5, 10.5);
    g.remove(2, 50.5, 50.5);
    g.remove(4294967298ull, 10.5, 10.5);  // would alias slot 2 if truncated to 32 bits
    CHECK(g.candidates(10, 10, 11, 11) == (std::vector<std::uint64_t>{2, 3}));
    CHECK_EQ(g.occupied_cells(), 2u);

    // The only point of a cell: the cell goes away.
    g.remove(4, -20.5, 30.5);
    CHECK_EQ(g.occupied_cells(), 1u);
    CHECK(g.candidates(-21, 30, -20, 31).empty());

    g.remove(2, 10.6, 10.6);
    g.remove(3, 10.6, 10.6);
    CHECK_EQ(g.occupied_cells(), 0u);
    g.remove(3, 10.6, 10.6);  // on an empty grid
    CHECK_EQ(g.occupied_cells(), 0u);

    // The emptied cell can be occupied again.
    REQUIRE(g.insert(8, 10.5, 10.5).has_value());
    CHECK(g.candidates(10, 10, 11, 11) == std::vector<std::uint64_t>{8});
}

TEST_CASE("grid candidates: the strategy flips only when the box has more cells than the grid") {
    GridIndex g;  // cell size 1
    REQUIRE(g.insert(1, 0.5, 0.5).has_value());
    REQUIRE(g.insert(2, 1.5, 0.5).has_value());
    REQUIRE(g.insert(3, 0.5, 1.5).has_value());
    REQUIRE(g.insert(4, 40.5, 40.5).has_value());
    REQUIRE(g.occupied_cells() == 4u);

    // 2 x 2 cells = 4 = occupied: probe. Equal answers either way.
    const Answer square = ask(g, 0.1, 0.1, 1.9, 1.9);
    CHECK(square.strategy == Strategy::Probe);
    CHECK(square.slots == ids({1, 2, 3}));
    // 1 x 4 cells: still probe.
    CHECK(ask(g, 0.1, 0.1, 0.9, 3.9).strategy == Strategy::Probe);
    CHECK(ask(g, 0.1, 0.1, 0.9, 3.9).slots == ids({1, 3}));
    // 5 cells: scan.
    const Answer wide = ask(g, 0.1, 0.1, 0.9, 4.9);
    CHECK(wide.strategy == Strategy::Scan);
    CHECK(wide.slots == ids({1, 3}));
    // Whole globe: scan, everything.
    const Answer all = ask(g, -90, -180, 90, 180);
    CHECK(all.strategy == Strategy::Scan);
    CHECK(all.slots == ids({1, 2, 3, 4}));
}

TEST_CASE("grid candidates: boxes across the antimeridian take both sides, shared column once") {
    GridIndex g;  // cell size 1
    REQUIRE(g.insert(1, 5.5, 179.5).has_value());
    REQUIRE(g.insert(2, 5.5, -179.5).has_value());
    REQUIRE(g.insert(3, 5.5, 0.5).has_value());
    REQUIRE(g.insert(4, 5.5, 180.0).has_value());   // its own column, 360
    REQUIRE(g.insert(5, 5.5, -180.0).has_value());  // column 0, with slot 2

    CHECK(ask(g, 5, 170, 6, -170).slots == ids({1, 2, 4, 5}));
    CHECK(ask(g, 5, 170, 6, -170).strategy == Strategy::Scan);
    CHECK(ask(g, 5, 0.9, 6, 0.1).slots == ids({1, 2, 3, 4, 5}));

    // Fill two rows with one point per column so that a one-row box across
    // (almost) the whole globe is cheaper to probe than the grid is to scan.
    std::uint64_t slot = 100;
    for (int col = 0; col < 360; ++col) {
        REQUIRE(g.insert(slot++, 30.5, -180.0 + col + 0.5).has_value());
        REQUIRE(g.insert(slot++, -30.5, -180.0 + col + 0.5).has_value());
    }
    // min_lon 0.9 and max_lon 0.1 share column 180: ranges [180, 360] and [0, 180].
    std::vector<std::uint64_t> probed;
    CHECK(g.candidates(5, 0.9, 5.9, 0.1, probed) == Strategy::Probe);
    CHECK(sorted(probed) == ids({1, 2, 3, 4, 5}));
    // The same kind of box over many rows is scanned; every slot still once.
    std::vector<std::uint64_t> scanned;
    CHECK(g.candidates(-40, 0.9, 40, 0.1, scanned) == Strategy::Scan);
    CHECK_EQ(scanned.size(), 5u + 720u);
    CHECK_EQ(occurrences(scanned, 3), 1u);
}

TEST_CASE("grid candidates: inverted latitudes, saturated and NaN coordinates") {
    GridIndex g;  // cell size 1
    REQUIRE(g.insert(1, 10.5, 10.5).has_value());
    REQUIRE(g.insert(2, 10.7, 10.2).has_value());
    REQUIRE(g.insert(3, 1e300, 20.5).has_value());   // row saturates to int32 max
    REQUIRE(g.insert(4, -1e300, 20.5).has_value());  // row saturates to int32 min
    REQUIRE(g.insert(5, kNaN, 20.5).has_value());    // row 0, as latitude -90
    REQUIRE(g.insert(6, 0.5, kNaN).has_value());     // column 0, as longitude -180

    // Inverted bounds in different rows: no rows, no candidates, however wide.
    CHECK(ask(g, 11.5, 10, 10.5, 11).slots.empty());
    CHECK(ask(g, 40, -1e300, -40, 1e300).slots.empty());
    // Inverted bounds within one row look into that row's cell, where no
    // point can lie between them.
    CHECK(ask(g, 10.9, 10, 10.1, 11).slots.empty());
    CHECK(ask(g, 10.7, 10, 10.7, 11).slots == ids({2}));

    // Bounds far outside the globe saturate; the box is huge and scanned.
    const Answer everything = ask(g, -1e300, -1e300, 1e300, 1e300);
    CHECK(everything.strategy == Strategy::Scan);
    CHECK(everything.slots == ids({1, 2, 3, 4, 5, 6}));
    const Answer infinite = ask(g, -INFINITY, -INFINITY, INFINITY, INFINITY);
    CHECK(infinite.strategy == Strategy::Scan);
    CHECK(infinite.slots == everything.slots);
    // The globe itself does not reach the saturated rows.
    CHECK(ask(g, -90, -180, 90, 180).slots == ids({1, 2, 5, 6}));
    CHECK(ask(g, 1e300, 20, 1e300, 21).slots == ids({3}));
    CHECK(ask(g, -90, 20, -89.5, 21).slots == ids({5}));
    CHECK(ask(g, 0.1, -180, 0.9, -179.5).slots == ids({6}));
    // NaN bounds count as cell 0 too.
    CHECK(ask(g, kNaN, 20, kNaN, 21).slots == ids({5}));
}

TEST_CASE("grid candidates: randomized comparison with a brute-force scan") {
    std::mt19937_64 rng(0x6f72626973ull);
    auto uni = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    // Coordinates on the globe, often on awkward values: poles, the
    // antimeridian, integer and cell-edge degrees.
    auto coord = [&](double lo, double hi) {
        switch (pick(6)) {
            case 0:
                return pick(2) ? lo : hi;
            case 1:
                return std::clamp(std::round(uni(lo, hi)), lo, hi);
            case 2:
                return std::clamp(std::round(uni(lo, hi) * 4) / 4, lo, hi);
            default:
                return uni(lo, hi);
        }
    };

    std::size_t scans = 0, probes = 0, crossing_scans = 0, crossing_probes = 0;
    for (int round = 0; round < 6; ++round) {
        // A regional cluster gives a fine grid; globe-wide inserts then add
        // many sparse cells, and removals punch holes in the cell map.
        const double clat = uni(-60, 60), clon = uni(-170, 170), span = round % 2 ? uni(0.5, 3) : uni(0.5, 30);
        std::map<std::uint64_t, SlotPoint> live;
        std::vector<SlotPoint> initial;
        const std::uint64_t cluster = 500 + rng() % 20000;
        for (std::uint64_t s = 0; s < cluster; ++s) {
            const SlotPoint p{s, std::clamp(clat + uni(-span, span), -90.0, 90.0),
                              std::clamp(clon + uni(-span, span), -180.0, 180.0)};
            initial.push_back(p);
            live[s] = p;
        }
        // A crowd far denser than the rest: its cells hold thousands of points,
        // sorted by position and searched as a quadtree.
        const double crowd_spread = span * std::pow(10.0, -uni(1, 4));
        for (int k = 0, crowd = round % 2 ? 4000 : 20000; k < crowd; ++k) {
            const std::uint64_t s = initial.size();
            const SlotPoint p{s, std::clamp(clat + uni(-crowd_spread, crowd_spread), -90.0, 90.0),
                              std::clamp(clon + uni(-crowd_spread, crowd_spread), -180.0, 180.0)};
            initial.push_back(p);
            live[s] = p;
        }
        // NaN coordinates land in cell 0 of their axis, far from the cluster,
        // which makes the build look up cells by hash rather than by offset.
        if (round % 2 == 1) {
            for (int k = 0; k < 9; ++k) {
                const std::uint64_t s = initial.size();
                const SlotPoint p{s, k % 3 == 0 ? clat : kNaN, k % 3 == 1 ? clon : kNaN};
                initial.push_back(p);
                live[s] = p;
            }
        }
        const std::uint64_t n0 = initial.size();
        GridIndex g = round == 0 ? GridIndex() : GridIndex::build(initial);
        if (round == 0) {
            for (const SlotPoint& p : initial) REQUIRE(g.insert(p.slot, p.lat, p.lon).has_value());
        }
        std::uint64_t next = n0;
        for (int i = 0; i < 8000; ++i) {
            if (pick(3) == 0 && !live.empty()) {
                auto it = live.lower_bound(rng() % next);
                if (it == live.end()) it = live.begin();
                g.remove(it->first, it->second.lat, it->second.lon);
                live.erase(it);
            } else {
                // Most new points join the crowd: its cells' tails fill and are
                // sorted into runs, which are merged, and merged into the main part.
                const SlotPoint p = pick(4) == 0 ? SlotPoint{next++, coord(-90, 90), coord(-180, 180)}
                                                 : SlotPoint{next++, clat + uni(-crowd_spread, crowd_spread),
                                                             clon + uni(-crowd_spread, crowd_spread)};
                REQUIRE(g.insert(p.slot, p.lat, p.lon).has_value());
                live[p.slot] = p;
            }
        }
        // Many removed at once, some of them twice over or never added.
        {
            std::vector<SlotPoint> doomed;
            for (auto it = live.begin(); it != live.end(); ++it)
                if (pick(8) == 0) doomed.push_back(it->second);
            doomed.push_back(doomed.front());
            doomed.push_back(SlotPoint{next + 5, clat, clon});
            g.remove(doomed);
            for (const SlotPoint& p : doomed) live.erase(p.slot);
        }
        const double cs = g.cell_size();

        for (int q = 0; q < 400; ++q) {
            double min_lat, max_lat, min_lon, max_lon;
            const double size = pick(2) ? uni(0, 4 * cs) : uni(0, 200);
            const double at_lat = pick(2) ? clat : coord(-90, 90);
            const double at_lon = pick(2) ? clon : coord(-180, 180);
            min_lat = coord(at_lat - size, at_lat);
            max_lat = coord(at_lat, at_lat + size);
            min_lon = coord(at_lon - size, at_lon);
            max_lon = coord(at_lon, at_lon + size);
            const bool crossing = pick(3) == 0;
            if (crossing) {
                // Wrap the longitudes back onto the globe, min east of max.
                min_lon = coord(std::max(at_lon, -180.0), 180);
                max_lon = coord(-180, std::min(at_lon, 180.0));
                if (min_lon <= max_lon) std::swap(min_lon, max_lon);
                if (min_lon == max_lon) continue;
            }

            // Around the crowd too, in boxes from a few metres up.
            if (!crossing && pick(3) == 0) {
                const double half = crowd_spread * std::pow(10.0, uni(-3, 1));
                min_lat = clat + uni(-crowd_spread, crowd_spread) - half;
                max_lat = min_lat + 2 * half * uni(0, 1);
                min_lon = clon + uni(-crowd_spread, crowd_spread) - half;
                max_lon = min_lon + 2 * half * uni(0, 1);
            }

            std::vector<std::uint64_t> got;
            const Strategy s = g.candidates(min_lat, min_lon, max_lat, max_lon, got);
            REQUIRE(g.count_candidates(min_lat, min_lon, max_lat, max_lon) == got.size());
            (s == Strategy::Scan ? scans : probes) += 1;
            if (crossing) (s == Strategy::Scan ? crossing_scans : crossing_probes) += 1;
            std::sort(got.begin(), got.end());

            // No slot twice (each was inserted once), none that was removed.
            REQUIRE(std::adjacent_find(got.begin(), got.end()) == got.end());
            for (std::uint64_t slot : got) REQUIRE(live.count(slot) == 1);

            for (const auto& [slot, p] : live) {
                const bool in_lat = min_lat <= p.lat && p.lat <= max_lat;
                const bool in_lon =
                    crossing ? (p.lon >= min_lon || p.lon <= max_lon) : (min_lon <= p.lon && p.lon <= max_lon);
                const bool returned = std::binary_search(got.begin(), got.end(), slot);
                if (in_lat && in_lon && !returned) {
                    check::report(__FILE__, __LINE__, "point in box missing from candidates");
                    REQUIRE(false);
                }
                // Candidates come from cells touching the box: at most one
                // cell beyond it.
                if (returned && !std::isnan(p.lat) && !std::isnan(p.lon)) {
                    const double tol = cs * (1 + 1e-9);
                    const bool near_lat = p.lat >= min_lat - tol && p.lat <= max_lat + tol;
                    const bool near_lon = crossing ? (p.lon >= min_lon - tol || p.lon <= max_lon + tol)
                                                   : (p.lon >= min_lon - tol && p.lon <= max_lon + tol);
                    REQUIRE(near_lat && near_lon);
                }
            }
        }
    }
    // The comparison is only worth something if both walks were exercised.
    CHECK(scans > 100);
    CHECK(probes > 100);
    CHECK(crossing_scans > 10);
    CHECK(crossing_probes > 10);
}
