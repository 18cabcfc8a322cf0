// Lower bounds of the store's great-circle distance (DistanceFrom) from one
// point to every point of a latitude/longitude rectangle: what lets a
// nearest-neighbour search pass over a grid cell, or a square of one, without
// reading its points.
//
// The haversine gives hav(d) = hav(dlat) + cos(lat) cos(lat') hav(dlon). For a
// point of the rectangle dlat is at least the latitude gap to it, dlon at least
// the longitude gap (the shorter way round), and cos(lat') at least the least
// cosine of its latitudes; hav grows on [0, pi]. With sin(t) >= t - t^3 / 6 on
// [0, pi / 2] and asin(u) >= u, 2 R sqrt(a) of those gaps bounds d from below
// with no trigonometry per rectangle. The rectangle is widened by kSlack
// degrees against the rounding of the lattice steps that place points in it,
// and the bound lowered by a relative kShrink against the rounding of the
// distance itself, so that no point's computed distance falls below it.
#pragma once

#include <algorithm>
#include <cmath>

#include "engine/query/great_circle.hpp"

namespace orbisk {

class DistanceBound {
public:
    static constexpr double kSlack = 1e-9;   // degrees, about 0.1 mm
    static constexpr double kShrink = 1e-9;  // relative

    DistanceBound(double lat, double lon) : lat_(lat), lon_(lon), cos_lat_(std::cos(lat * kDegToRad)) {}

    // The origin's longitude moved by whole turns to within 180 degrees of
    // `lon`: the value to pass as `near_lon` for rectangles around `lon`.
    double lon_near(double lon) const {
        double q = lon_;
        while (q - lon > 180.0) q -= 360.0;
        while (lon - q > 180.0) q += 360.0;
        return q;
    }

    // The least cosine of the latitudes in [lat_lo, lat_hi] (clamped to the globe).
    static double cos_min(double lat_lo, double lat_hi) {
        const double farthest = std::min(std::max(std::fabs(lat_lo), std::fabs(lat_hi)), 90.0);
        return std::max(std::cos(farthest * kDegToRad), 0.0);
    }

    // A lower bound, in metres, of the distance to every point with latitude in
    // [lat_lo, lat_hi] and longitude in [lon_lo, lon_hi] (less than a turn
    // wide, within a turn of `near_lon` = lon_near of about its middle), given
    // `cos_min` at most the cosine of each of those latitudes.
    double operator()(double lat_lo, double lat_hi, double lon_lo, double lon_hi, double near_lon,
                      double cos_min) const {
        const double dlat = std::max({0.0, lat_lo - kSlack - lat_, lat_ - lat_hi - kSlack});
        const double east = lon_lo - kSlack - near_lon;  // > 0: the rectangle lies east
        const double west = near_lon - lon_hi - kSlack;  // > 0: the rectangle lies west
        double dlon = 0.0;
        if (east > 0.0)
            dlon = std::min(east, 360.0 - (lon_hi + kSlack - near_lon));
        else if (west > 0.0)
            dlon = std::min(west, 360.0 - (near_lon - lon_lo + kSlack));
        const double s1 = low_sin(dlat * (0.5 * kDegToRad));
        const double s2 = low_sin(std::min(dlon, 180.0) * (0.5 * kDegToRad));
        const double a = s1 * s1 + cos_lat_ * cos_min * s2 * s2;
        return 2.0 * kEarthRadiusMeters * std::sqrt(a) * (1.0 - kShrink);
    }

private:
    // sin(t) from below for t in [0, pi / 2], and never negative there.
    static double low_sin(double t) { return t - t * t * t * (1.0 / 6.0); }

    double lat_;
    double lon_;
    double cos_lat_;
};

}  // namespace orbisk
