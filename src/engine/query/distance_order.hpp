// Records in order of distance from a point: what a nearest-neighbour query
// returns, and what any other selection becomes when its caller asks for it
// sorted by distance. The order is ascending great-circle distance by the
// store's haversine (DistanceFrom), ties by ascending slot id, and each record
// carries its distance in metres.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/query/text_records.hpp"
#include "engine/util/error.hpp"

namespace orbisk {

struct DistanceRecords {
    TextRecords records;
    // distances[i] is the distance of the i-th record, in metres. A row builder
    // that drops a record whose text is unreadable drops its distance with it.
    std::vector<double> distances;
};

// Fails unless (lat, lon) can be a point to measure from: both finite,
// latitude within [-90, 90] and longitude within [-180, 180].
//   "distance origin is not finite (lat={lat}, lon={lon})"
//   "distance origin out of range (lat={lat} must be in [-90,90], lon={lon} in [-180,180])"
Status validate_origin(double lat, double lon);

// `records` in ascending distance from (lat, lon), ties by ascending slot id.
// The origin is taken as it is (validate_origin is the caller's).
DistanceRecords sort_by_distance(const TextRecords& records, double lat, double lon);

}  // namespace orbisk
