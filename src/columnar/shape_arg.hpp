// The polygon argument of the companion's selections: the shapes a Python
// caller hands over, read into the engine's multi-part polygon.
//
// Accepted, as (longitude, latitude) vertices in the plane:
// - a list of (lon, lat) tuples: one ring, as query_polygon takes it;
// - a GeoJSON-like mapping: a Polygon (its rings: the exterior, then holes),
//   a MultiPolygon (its polygons are the parts), and, made of those, a
//   Feature (its geometry), a FeatureCollection (every feature's parts, in
//   order) or a GeometryCollection (every geometry's parts);
// - any object with __geo_interface__ that gives such a mapping (shapely's
//   geometries, a GeoDataFrame's FeatureCollection).
// Rings are sequences of positions, positions sequences of two or more
// numbers (a third, the height, is ignored).
//
// A structure that is none of these raises TypeError, "argument '{arg}': "
// and what is wrong, with where it is (part, ring and vertex counted from 0
// over the whole shape). A structure that is well formed but not a shape (no
// part at all, a ring of fewer than 3 distinct vertices, a coordinate that is
// not finite) raises ValueError with MultiPolygon::make's message.
#pragma once

#include <optional>

#include "engine/query/grid_route.hpp"
#include "python/py_util.hpp"

namespace orbisk::py {

// The shape of `obj`, or false with a Python exception set.
bool polygon_shape(PyObject* obj, const char* arg, std::optional<SpatialShape>& out);

}  // namespace orbisk::py
