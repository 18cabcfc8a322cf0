#include "engine/query/multi_polygon.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <utility>

#include "engine/metadata/metadata.hpp"
#include "engine/util/text.hpp"

namespace orbisk {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

bool same(const Vertex& a, const Vertex& b) { return a.x == b.x && a.y == b.y; }

// How many distinct vertices the ring has, counted only up to 3.
std::size_t distinct_up_to_3(const std::vector<Vertex>& ring) {
    const Vertex* seen[2] = {};
    std::size_t n = 0;
    for (const Vertex& v : ring) {
        if (n > 0 && same(v, *seen[0])) continue;
        if (n > 1 && same(v, *seen[1])) continue;
        if (n == 2) return 3;
        seen[n++] = &v;
    }
    return n;
}

GeoBox bounds_of(const std::vector<Vertex>& ring) {
    GeoBox box{kInf, kInf, -kInf, -kInf};
    for (const Vertex& v : ring) {
        box.min_lat = std::min(box.min_lat, v.y);
        box.max_lat = std::max(box.max_lat, v.y);
        box.min_lon = std::min(box.min_lon, v.x);
        box.max_lon = std::max(box.max_lon, v.x);
    }
    return box;
}

GeoBox union_of(const GeoBox& a, const GeoBox& b) {
    return {std::min(a.min_lat, b.min_lat), std::min(a.min_lon, b.min_lon), std::max(a.max_lat, b.max_lat),
            std::max(a.max_lon, b.max_lon)};
}

std::string ring_name(std::size_t part, std::size_t ring) { return cat("polygon part ", part, ", ring ", ring); }

}  // namespace

Result<MultiPolygon> MultiPolygon::make(std::vector<PartRings> parts) {
    if (parts.empty()) return fail(Error::invalid("polygon has no parts"));
    MultiPolygon shape;
    shape.parts_.reserve(parts.size());
    for (std::size_t p = 0; p < parts.size(); ++p) {
        if (parts[p].empty()) return fail(Error::invalid(cat("polygon part ", p, " has no rings")));
        Part part;
        part.rings.reserve(parts[p].size());
        for (std::size_t r = 0; r < parts[p].size(); ++r) {
            std::vector<Vertex>& vertices = parts[p][r];
            for (std::size_t v = 0; v < vertices.size(); ++v)
                if (!std::isfinite(vertices[v].x) || !std::isfinite(vertices[v].y))
                    return fail(Error::invalid(cat(ring_name(p, r), ": vertex ", v,
                                                   " is not finite (lon=", format_coordinate(vertices[v].x),
                                                   ", lat=", format_coordinate(vertices[v].y), ")")));
            if (const std::size_t n = distinct_up_to_3(vertices); n < 3)
                return fail(
                    Error::invalid(cat(ring_name(p, r), ": a ring needs at least 3 distinct vertices, it has ", n)));
            if (!same(vertices.front(), vertices.back())) vertices.push_back(vertices.front());
            const GeoBox box = bounds_of(vertices);
            part.box = r == 0 ? box : union_of(part.box, box);
            part.rings.push_back(Ring{std::move(vertices), box});
        }
        shape.bounds_ = p == 0 ? part.box : union_of(shape.bounds_, part.box);
        shape.parts_.push_back(std::move(part));
    }

    // Which parts' bounds meet (touching counts): a sweep over the parts in
    // order of their western bound.
    std::vector<Part>& all = shape.parts_;
    std::vector<std::size_t> order(all.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return all[a].box.min_lon < all[b].box.min_lon; });
    for (std::size_t i = 0; i < order.size(); ++i) {
        const GeoBox& a = all[order[i]].box;
        for (std::size_t j = i + 1; j < order.size() && all[order[j]].box.min_lon <= a.max_lon; ++j) {
            const GeoBox& b = all[order[j]].box;
            if (b.min_lat <= a.max_lat && a.min_lat <= b.max_lat) {
                all[order[i]].neighbours.push_back(order[j]);
                all[order[j]].neighbours.push_back(order[i]);
            }
        }
    }
    for (std::size_t p = 0; p < all.size(); ++p) {
        std::vector<std::size_t>& n = all[p].neighbours;
        std::sort(n.begin(), n.end());
        all[p].earlier = static_cast<std::size_t>(std::lower_bound(n.begin(), n.end(), p) - n.begin());
    }
    return shape;
}

RingLocation MultiPolygon::locate(const Part& part, double x, double y) {
    const Ring& exterior = part.rings.front();
    const RingLocation outer =
        exterior.box.contains(y, x) ? point_in_ring(exterior.vertices, x, y) : RingLocation::Outside;
    if (outer == RingLocation::Boundary) return outer;
    // A hole's rings are looked at even for a point outside the exterior: a
    // point on any ring is on the shape's boundary.
    bool in_hole = false;
    for (std::size_t r = 1; r < part.rings.size(); ++r) {
        const Ring& hole = part.rings[r];
        if (!hole.box.contains(y, x)) continue;
        const RingLocation at = point_in_ring(hole.vertices, x, y);
        if (at == RingLocation::Boundary) return at;
        in_hole = in_hole || at == RingLocation::Inside;
    }
    return outer == RingLocation::Inside && !in_hole ? RingLocation::Inside : RingLocation::Outside;
}

// Adds what `part` says about the point to `inside`; false when the point is on
// one of its rings.
bool MultiPolygon::judge(const Part& part, double x, double y, bool& inside) const {
    if (!part.box.contains(y, x)) return true;
    const RingLocation at = locate(part, x, y);
    if (at == RingLocation::Boundary) return false;
    inside = inside || at == RingLocation::Inside;
    return true;
}

bool MultiPolygon::contains(double lat, double lon) const {
    if (!bounds_.contains(lat, lon)) return false;
    bool inside = false;
    for (const Part& part : parts_)
        if (!judge(part, lon, lat, inside)) return false;
    return inside;
}

bool MultiPolygon::contains_near_part(std::size_t i, double lat, double lon) const {
    // Every part whose bounds hold the point meets part i's bounds, which hold it too.
    bool inside = false;
    if (!judge(parts_[i], lon, lat, inside)) return false;
    for (std::size_t q : parts_[i].neighbours)
        if (!judge(parts_[q], lon, lat, inside)) return false;
    return inside;
}

std::span<const std::size_t> MultiPolygon::earlier_neighbours(std::size_t i) const {
    return std::span(parts_[i].neighbours).first(parts_[i].earlier);
}

}  // namespace orbisk
