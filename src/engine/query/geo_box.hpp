// GeoBox: a latitude/longitude box with inclusive bounds. It is the shape of a
// box query and the search box that every spatial query hands to the grid.
// A box whose min_lon is greater than its max_lon crosses the antimeridian: it
// covers the longitudes at or above min_lon together with those at or below
// max_lon.
#pragma once

namespace orbisk {

struct GeoBox {
    double min_lat;
    double min_lon;
    double max_lat;
    double max_lon;

    // The box test. A NaN bound, or min_lat above max_lat, matches nothing.
    bool contains(double lat, double lon) const {
        if (!(min_lat <= lat && lat <= max_lat)) return false;
        if (min_lon > max_lon) return lon >= min_lon || lon <= max_lon;
        return min_lon <= lon && lon <= max_lon;
    }
};

}  // namespace orbisk
