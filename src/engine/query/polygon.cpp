#include "engine/query/polygon.hpp"

#include <limits>
#include <utility>

#include "engine/query/orient2d.hpp"

namespace orbisk {

RingLocation point_in_ring(std::span<const Vertex> ring, double x, double y) {
    const std::size_t n = ring.size();
    if (n == 0) return RingLocation::Outside;
    if (n == 1) return x == ring[0].x && y == ring[0].y ? RingLocation::Boundary : RingLocation::Outside;

    long long winding = 0;
    for (std::size_t i = 0; i + 1 < n; ++i) {
        const Vertex& a = ring[i];
        const Vertex& b = ring[i + 1];
        double o;
        // Half-open in y: an upward edge counts from a.y up to below b.y, a
        // downward one from below a.y down to b.y, so a vertex at the point's
        // height counts once. A NaN a.y or b.y skips the edge.
        if (a.y <= y) {
            if (!(y <= b.y)) continue;
            o = orient2d(a.x, a.y, b.x, b.y, x, y);
            if (o > 0.0) {
                if (b.y != y) ++winding;
                continue;
            }
            if (o < 0.0) continue;
        } else if (a.y > y) {
            if (!(y >= b.y)) continue;
            o = orient2d(a.x, a.y, b.x, b.y, x, y);
            if (o < 0.0) {
                --winding;
                continue;
            }
            if (o > 0.0) continue;
        } else {
            continue;
        }
        // Collinear (or NaN) with y within the edge's span: on the edge when x is
        // within its span too.
        const bool forward = a.x <= b.x;
        const double lo = forward ? a.x : b.x;
        const double hi = forward ? b.x : a.x;
        if (lo <= x && x <= hi) return RingLocation::Boundary;
    }
    return winding != 0 ? RingLocation::Inside : RingLocation::Outside;
}

Polygon::Polygon(std::vector<Vertex> vertices) : ring_(std::move(vertices)) {
    if (ring_.empty()) return;
    const Vertex first = ring_.front();
    const Vertex last = ring_.back();
    if (!(first.x == last.x && first.y == last.y)) ring_.push_back(first);

    constexpr double kInf = std::numeric_limits<double>::infinity();
    GeoBox box{kInf, kInf, -kInf, -kInf};
    // Comparisons with NaN are false, so a NaN coordinate never becomes a bound.
    for (const Vertex& v : ring_) {
        box.min_lat = v.y < box.min_lat ? v.y : box.min_lat;
        box.max_lat = v.y > box.max_lat ? v.y : box.max_lat;
        box.min_lon = v.x < box.min_lon ? v.x : box.min_lon;
        box.max_lon = v.x > box.max_lon ? v.x : box.max_lon;
    }
    box_ = box;
}

}  // namespace orbisk
