// Circle: the shape of a radius query, every point within a great-circle
// distance of a centre, together with the search box that holds all of it.
// The distance test alone decides which points match; the box only has to be
// large enough that the grid never leaves one of them out.
#pragma once

#include <optional>

#include "engine/query/geo_box.hpp"
#include "engine/query/great_circle.hpp"

namespace orbisk {

class Circle {
public:
    // No range check: any centre and radius make a circle, and match what the
    // distance test accepts (nothing for a NaN or negative radius).
    Circle(double center_lat, double center_lon, double radius_meters);

    // The distance test: the store's distance from the centre (DistanceFrom) is
    // at most the radius. The circle's edge is included.
    bool within_distance(double lat, double lon) const { return radius_ >= distance_(lat, lon); }

    // A box that holds every point within latitude ±90 and longitude ±180 that
    // passes the distance test; none when no point can pass. Its longitudes wrap
    // across the antimeridian, and a circle that reaches a pole takes all
    // longitudes (infinite bounds).
    const std::optional<GeoBox>& search_box() const { return box_; }

private:
    DistanceFrom distance_;
    double radius_;
    std::optional<GeoBox> box_;
};

}  // namespace orbisk
