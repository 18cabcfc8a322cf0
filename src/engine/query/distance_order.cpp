#include "engine/query/distance_order.hpp"

#include <algorithm>
#include <cmath>

#include "engine/metadata/metadata.hpp"
#include "engine/query/great_circle.hpp"
#include "engine/util/text.hpp"

namespace orbisk {

Status validate_origin(double lat, double lon) {
    if (!std::isfinite(lat) || !std::isfinite(lon))
        return fail(Error::invalid(
            cat("distance origin is not finite (lat=", format_coordinate(lat), ", lon=", format_coordinate(lon), ")")));
    if (std::fabs(lat) > 90.0 || std::fabs(lon) > 180.0)
        return fail(Error::invalid(cat("distance origin out of range (lat=", format_coordinate(lat),
                                       " must be in [-90,90], lon=", format_coordinate(lon), " in [-180,180])")));
    return {};
}

DistanceRecords sort_by_distance(const TextRecords& records, double lat, double lon) {
    const DistanceFrom distance(lat, lon);
    struct Keyed {
        double distance;
        TextRecords::Record record;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(records.size());
    records.for_each([&](const TextRecords::Record& r) {
        const double d = distance(r.lat, r.lon);
        // Stored points have finite coordinates; should one not, it goes last.
        keyed.push_back({std::isnan(d) ? HUGE_VAL : d, r});
        return true;
    });
    std::sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
        return a.distance < b.distance || (a.distance == b.distance && a.record.slot < b.record.slot);
    });
    DistanceRecords out;
    out.distances.reserve(keyed.size());
    for (const Keyed& k : keyed) {
        out.records.add(k.record.slot, k.record.lat, k.record.lon, k.record.text);
        out.distances.push_back(k.distance);
    }
    return out;
}

}  // namespace orbisk
