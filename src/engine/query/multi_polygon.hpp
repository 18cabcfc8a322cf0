// MultiPolygon: a shape of one or more parts in the (longitude, latitude)
// plane, each an exterior ring with zero or more holes, as countries are
// drawn. A point lies in the shape when it is strictly inside some part's
// exterior and outside every hole of that part, and on no ring of the shape at
// all: points on an edge or a vertex of any ring, holes included, are not in
// it. Rings follow the nonzero rule of the one-ring polygon test, on the same
// exact predicate, and may be given open or closed.
//
// Unlike the one-ring Polygon, which takes any vertex list, a MultiPolygon is
// made only from a well-formed description: at least one part, finite
// coordinates, and at least 3 distinct vertices in every ring.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "engine/query/geo_box.hpp"
#include "engine/query/polygon.hpp"
#include "engine/util/error.hpp"

namespace orbisk {

// The rings of one part as given: rings[0] is the exterior, the rest are holes.
using PartRings = std::vector<std::vector<Vertex>>;

class MultiPolygon {
public:
    // Checks and closes the rings of `parts`. Fails, naming the first fault in
    // part, ring and vertex order (rings counted from 0, the exterior):
    //   "polygon has no parts"
    //   "polygon part {p} has no rings"
    //   "polygon part {p}, ring {r}: vertex {v} is not finite (lon={x}, lat={y})"
    //   "polygon part {p}, ring {r}: a ring needs at least 3 distinct vertices, it has {n}"
    static Result<MultiPolygon> make(std::vector<PartRings> parts);

    std::size_t part_count() const { return parts_.size(); }
    // The bounds of every ring.
    const GeoBox& bounds() const { return bounds_; }
    // The bounds of part i's rings (its exterior's, unless a hole strays outside it).
    const GeoBox& part_box(std::size_t i) const { return parts_[i].box; }

    // Whether the point lies in the shape.
    bool contains(double lat, double lon) const;
    // The same, for a point known to lie in part_box(i): only the parts whose
    // bounds meet that part's are consulted.
    bool contains_near_part(std::size_t i, double lat, double lon) const;
    // The parts before i whose bounds meet part i's, ascending.
    std::span<const std::size_t> earlier_neighbours(std::size_t i) const;

private:
    MultiPolygon() = default;

    struct Ring {
        std::vector<Vertex> vertices;  // closed
        GeoBox box;
    };
    struct Part {
        std::vector<Ring> rings;  // rings[0] is the exterior
        GeoBox box;
        // The other parts whose bounds meet this one's, ascending; those
        // before this part come first (`earlier` of them).
        std::vector<std::size_t> neighbours;
        std::size_t earlier = 0;
    };

    // Where a point inside part.box lies relative to the part.
    static RingLocation locate(const Part& part, double x, double y);
    bool judge(const Part& part, double x, double y, bool& inside) const;

    std::vector<Part> parts_;
    GeoBox bounds_{};
};

}  // namespace orbisk
