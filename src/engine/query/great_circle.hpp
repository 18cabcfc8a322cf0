// The store's great-circle distance: the haversine formula on a sphere of
// kEarthRadiusMeters. One function measures every distance the queries compare
// or report (the radius test, nearest neighbours, ordering by distance), so a
// point that one of them finds at d metres is at d metres for all of them.
#pragma once

#include <cmath>

namespace orbisk {

inline constexpr double kDegToRad = 0.017453292519943295;
inline constexpr double kEarthRadiusMeters = 6371000.0;

// Distances from one fixed point (clat, clon), in degrees, to others.
class DistanceFrom {
public:
    DistanceFrom(double clat, double clon) : clat_(clat), clon_(clon), cos_clat_(std::cos(clat * kDegToRad)) {}

    // The haversine distance in metres to (lat, lon). NaN when a coordinate is
    // NaN. Compiled with the engine, never inlined elsewhere: every caller gets
    // the same rounding.
    double operator()(double lat, double lon) const;

    double lat() const { return clat_; }
    double lon() const { return clon_; }

private:
    double clat_;
    double clon_;
    double cos_clat_;
};

}  // namespace orbisk
