// Where a point lies inside its grid cell, as a 32-bit code: the point's step
// on a 65536 x 65536 lattice laid over the cell, its column (longitude) and
// row (latitude) bits interleaved, column bit first (Z order). Sorting a
// cell's points by code puts every square of the lattice's implicit quadtree
// (the whole cell, its quarters, their quarters, ...) into one contiguous run,
// which is what lets a crowded cell be searched without reading all of it.
//
// The step of a coordinate is floor((v - origin) * scale) clamped to the
// lattice, and NaN is step 0. For one cell that is a monotonic function of v
// (every operation rounds monotonically), so a point inside a box has steps
// between the steps of the box's bounds: a box's lattice rectangle never
// leaves out a point the box holds. Codes are never stored on disk.
#pragma once

#include <cstdint>

namespace orbisk {

inline constexpr std::uint32_t kLatticeMax = 65535;

// The lattice of one cell: its south-west corner and steps per degree.
struct CellFrame {
    double lat0;
    double lon0;
    double scale;

    std::uint32_t step(double v, double origin) const {
        const double f = (v - origin) * scale;
        if (!(f > 0.0)) return 0;  // NaN too
        if (f >= static_cast<double>(kLatticeMax)) return kLatticeMax;
        return static_cast<std::uint32_t>(f);  // floor, for a positive f
    }
    std::uint32_t x(double lon) const { return step(lon, lon0); }
    std::uint32_t y(double lat) const { return step(lat, lat0); }
};

// The 16 low bits of v spread to the even bits of the result.
constexpr std::uint32_t spread_bits(std::uint32_t v) {
    v &= 0xFFFFu;
    v = (v | (v << 8)) & 0x00FF00FFu;
    v = (v | (v << 4)) & 0x0F0F0F0Fu;
    v = (v | (v << 2)) & 0x33333333u;
    v = (v | (v << 1)) & 0x55555555u;
    return v;
}

// The even bits of v gathered into the 16 low bits of the result.
constexpr std::uint32_t gather_bits(std::uint32_t v) {
    v &= 0x55555555u;
    v = (v | (v >> 1)) & 0x33333333u;
    v = (v | (v >> 2)) & 0x0F0F0F0Fu;
    v = (v | (v >> 4)) & 0x00FF00FFu;
    v = (v | (v >> 8)) & 0x0000FFFFu;
    return v;
}

constexpr std::uint32_t cell_code(std::uint32_t x, std::uint32_t y) { return spread_bits(x) | (spread_bits(y) << 1); }
constexpr std::uint32_t code_x(std::uint32_t code) { return gather_bits(code); }
constexpr std::uint32_t code_y(std::uint32_t code) { return gather_bits(code >> 1); }

inline std::uint32_t cell_code(const CellFrame& frame, double lat, double lon) {
    return cell_code(frame.x(lon), frame.y(lat));
}

// An inclusive rectangle of lattice steps; empty when x0 > x1 or y0 > y1.
struct CodeRect {
    std::uint32_t x0 = 0;
    std::uint32_t x1 = kLatticeMax;
    std::uint32_t y0 = 0;
    std::uint32_t y1 = kLatticeMax;

    bool contains(std::uint32_t code) const {
        const std::uint32_t x = code_x(code), y = code_y(code);
        return x0 <= x && x <= x1 && y0 <= y && y <= y1;
    }
    bool whole() const { return x0 == 0 && y0 == 0 && x1 == kLatticeMax && y1 == kLatticeMax; }
    bool empty() const { return x0 > x1 || y0 > y1; }
};

}  // namespace orbisk
