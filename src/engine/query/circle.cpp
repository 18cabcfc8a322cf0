#include "engine/query/circle.hpp"

#include <cmath>
#include <limits>

namespace orbisk {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kHalfPi = 1.5707963267948966;

// How much larger than the circle its search box is drawn.
//
// The distance test rounds. For points whose latitude keeps kPoleGuard away
// from the poles its result is off by less than about 2e-10 relative (the
// cosine of a latitude is off by about 1e-16 absolute) plus 1e-15 radians
// absolute (the rounded difference of two longitudes), and the box below never
// relies on points closer to a pole. So the box is that of a circle larger by
// kRelativeMargin and kAbsoluteMargin, which the rounding cannot bridge.
constexpr double kRelativeMargin = 1e-8;
constexpr double kAbsoluteMargin = 1e-11;  // radians, about 0.06 mm
// A box that comes this close to a pole (radians, about 6 m) takes all longitudes.
constexpr double kPoleGuard = 1e-6;
// Near 1, asin magnifies rounding; from here on all longitudes are taken.
constexpr double kAsinGuard = 1e-9;
// Added to the longitude half-width (degrees) against rounding in computing it.
constexpr double kLonSlack = 1e-9;

std::optional<GeoBox> radius_search_box(double clat, double clon, double radius) {
    // A NaN or negative radius, or a centre that is not finite, makes the
    // distance NaN or larger than the radius for every point.
    if (!(radius >= 0.0) || !std::isfinite(clat) || !std::isfinite(clon)) return std::nullopt;
    const GeoBox everything{-kInf, -kInf, kInf, kInf};
    // Beyond the poles the cosine of the centre's latitude turns negative and
    // the formula no longer measures a distance on the sphere.
    if (std::fabs(clat) > 90.0) return everything;
    const double theta = radius / kEarthRadiusMeters * (1.0 + kRelativeMargin) + kAbsoluteMargin;
    // A circle of a quarter of the globe or more reaches a pole and covers at
    // least a hemisphere; the latitude band would save little.
    if (!(theta < kHalfPi)) return everything;

    const double dlat = theta / kDegToRad;
    GeoBox box{clat - dlat, -kInf, clat + dlat, kInf};
    const double phi = clat * kDegToRad;
    if (std::fabs(phi) + theta >= kHalfPi - kPoleGuard || std::fabs(clon) > 180.0) return box;

    // The widest longitude of a spherical cap that keeps clear of the poles.
    const double x = std::sin(theta) / std::cos(phi);
    if (x >= 1.0 - kAsinGuard) return box;
    const double dlon = std::asin(x) / kDegToRad + kLonSlack;
    if (dlon >= 180.0) return box;
    box.min_lon = clon - dlon;
    box.max_lon = clon + dlon;
    if (box.min_lon < -180.0)
        box.min_lon += 360.0;
    else if (box.max_lon > 180.0)
        box.max_lon -= 360.0;
    return box;
}

}  // namespace

Circle::Circle(double center_lat, double center_lon, double radius_meters)
    : distance_(center_lat, center_lon),
      radius_(radius_meters),
      box_(radius_search_box(center_lat, center_lon, radius_meters)) {}

}  // namespace orbisk
