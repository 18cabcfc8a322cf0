// The orientation predicate of the polygon test: on which side of the directed
// line a->b a point c lies. Polygon answers must not depend on rounding, so the
// sign is exact: a floating-point determinant decides when its error bound
// allows, and exact arithmetic decides the rest.
#pragma once

namespace orbisk {

// Positive when c lies to the left of the directed line a->b, negative when it
// lies to the right, zero when the three points are collinear.
//
// For finite inputs the sign is exact and only the sign is meaningful. With an
// infinite or NaN input the result is the plain floating-point determinant
// (a - c) x (b - c), which may be NaN.
double orient2d(double ax, double ay, double bx, double by, double cx, double cy);

}  // namespace orbisk
