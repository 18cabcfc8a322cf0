// Polygon: the shape of a polygon query, one ring of (longitude, latitude)
// vertices in the plane (no holes, no antimeridian handling), and the
// winding-number test that places a point inside, outside or on the ring.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "engine/query/geo_box.hpp"

namespace orbisk {

// A ring vertex: x is the longitude, y the latitude.
struct Vertex {
    double x;
    double y;
};

enum class RingLocation { Outside, Inside, Boundary };

// Where (x, y) lies relative to the closed ring q[0] ... q[n-1] (q[n-1] repeats
// q[0]), by winding number on the exact orientation predicate. A point on an
// edge or a vertex is on the Boundary; self-intersecting rings follow the
// nonzero rule. An edge with a NaN coordinate counts for nothing; as a vertex is
// found on the edge that ends there, one that follows a NaN vertex may then not
// be found on the Boundary.
RingLocation point_in_ring(std::span<const Vertex> ring, double x, double y);

class Polygon {
public:
    // Closes the ring: a non-empty list whose last vertex differs from its first
    // in either coordinate (NaN counts as different) gets the first appended.
    explicit Polygon(std::vector<Vertex> vertices);

    const std::vector<Vertex>& ring() const { return ring_; }

    // The bounds of the ring's vertices (NaN coordinates left out); none for an
    // empty ring.
    const std::optional<GeoBox>& search_box() const { return box_; }

    // The polygon test: within the bounds, a non-empty ring, and inside it.
    bool contains(double lat, double lon) const {
        return box_ && box_->contains(lat, lon) && point_in_ring(ring_, lon, lat) == RingLocation::Inside;
    }

private:
    std::vector<Vertex> ring_;
    std::optional<GeoBox> box_;
};

}  // namespace orbisk
