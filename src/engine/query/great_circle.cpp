#include "engine/query/great_circle.hpp"

namespace orbisk {

double DistanceFrom::operator()(double lat, double lon) const {
    const double h1 = std::sin((lat - clat_) * kDegToRad * 0.5);
    const double h2 = std::sin((lon - clon_) * kDegToRad * 0.5);
    double a = std::cos(lat * kDegToRad) * cos_clat_ * h2 * h2 + h1 * h1;
    // For nearly antipodal points a can round to just above 1, which would make
    // sqrt(1 - a) NaN and lose the point; below 0 it can only be for latitudes
    // beyond the poles. NaN stays NaN.
    if (a > 1.0)
        a = 1.0;
    else if (a < 0.0)
        a = 0.0;
    return 2.0 * std::atan2(std::sqrt(a), std::sqrt(1.0 - a)) * kEarthRadiusMeters;
}

}  // namespace orbisk
