// Circle: the shape of a radius query, every point within a great-circle
// distance of a centre, together with the search box that holds all of it.
// The distance test alone decides which points match; the box only has to be
// large enough that the grid never leaves one of them out.
#pragma once

#include <optional>

#include "engine/query/geo_box.hpp"

namespace orbisk {

inline constexpr double kDegToRad = 0.017453292519943295;
inline constexpr double kEarthRadiusMeters = 6371000.0;

class Circle {
public:
    // No range check: any centre and radius make a circle, and match what the
    // distance test accepts (nothing for a NaN or negative radius).
    Circle(double center_lat, double center_lon, double radius_meters);

    // The distance test: the haversine distance from the centre, on a sphere of
    // kEarthRadiusMeters, is at most the radius. The circle's edge is included.
    bool within_distance(double lat, double lon) const;

    // A box that holds every point within latitude ±90 and longitude ±180 that
    // passes the distance test; none when no point can pass. Its longitudes wrap
    // across the antimeridian, and a circle that reaches a pole takes all
    // longitudes (infinite bounds).
    const std::optional<GeoBox>& search_box() const { return box_; }

private:
    double clat_;
    double clon_;
    double radius_;
    double cos_clat_;
    std::optional<GeoBox> box_;
};

}  // namespace orbisk
