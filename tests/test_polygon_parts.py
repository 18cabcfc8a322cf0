"""Multi-part polygons with holes, queried through the test-only probe and through the companion
handle (as GeoJSON mappings and as shapely geometries), against exact rational arithmetic: random
stars with holes, MultiPolygons whose parts touch along edges and at vertices, an island in a lake,
a part given twice, parts far apart; every vertex of every ring, holes included, points on its
edges and a hair off them; with filters on the grid route and on the index route. Then the messages
of malformed shapes, on both ways in, and the rows of a nearest-neighbour search."""

import math
import random

import pyarrow as pa
import pytest
import shapely
from test_geometry import closed, oracle_location, probe_points, star

from orbisk_columnar import ColumnarStore

# ---- the oracle ------------------------------------------------------------------------------------


def location(ring, x, y):
    """oracle_location, skipped (as "outside") for points beyond the ring's bounds."""
    xs, ys = [v[0] for v in ring], [v[1] for v in ring]
    if not (min(xs) <= x <= max(xs) and min(ys) <= y <= max(ys)):
        return "outside"
    return oracle_location(ring, x, y)


def in_shape(parts, x, y):
    """Strictly inside some part's exterior and outside its holes, and on no ring at all."""
    inside = False
    for rings in parts:
        where = [location(r, x, y) for r in rings]
        if "boundary" in where:
            return False
        inside = inside or (where[0] == "inside" and "inside" not in where[1:])
    return inside


# ---- shapes ----------------------------------------------------------------------------------------


def square(x0, y0, x1, y1):
    return [(x0, y0), (x1, y0), (x1, y1), (x0, y1)]


def shifted(ring, dx, dy):
    return [(x + dx, y + dy) for x, y in ring]


def star_with_holes(rng, cx, cy, holes, snap=None):
    """A star of radii 6 to 10 around (cx, cy) with up to `holes` small stars inside it."""
    rings = [star(rng, rng.randint(6, 14), cx, cy, 6, 10, snap=snap)]
    for _ in range(holes):
        hx, hy = cx + rng.uniform(-2.5, 2.5), cy + rng.uniform(-2.5, 2.5)
        rings.append(star(rng, rng.randint(3, 8), hx, hy, 0.5, 2.5, snap=snap))
    return rings


def make_shapes(rng):
    lake = [square(0.0, 0.0, 10.0, 10.0), square(2.0, 2.0, 8.0, 8.0)]
    shapes = [
        # A square with a square hole, and an island in the hole.
        [lake],
        [lake, [square(4.0, 4.0, 6.0, 6.0)]],
        # A hole that meets the exterior at a corner, and one that shares part of an edge.
        [[square(20.0, 0.0, 30.0, 10.0), [(20.0, 0.0), (23.0, 1.0), (21.0, 3.0)], square(26.0, 5.0, 30.0, 8.0)]],
        # Parts sharing an edge, and one meeting them at a vertex only.
        [[square(40.0, 0.0, 45.0, 5.0)], [square(45.0, 0.0, 50.0, 5.0)], [square(50.0, 5.0, 55.0, 10.0)]],
        # The same part twice, and overlapping parts: no point comes back twice.
        [[square(60.0, 0.0, 66.0, 6.0)], [square(60.0, 0.0, 66.0, 6.0)], [square(63.0, 3.0, 69.0, 9.0)]],
        # Parts far apart over the globe: across ±180 (as two parts), near both poles.
        [
            [[(175.0, -20.0), (180.0, -20.0), (180.0, -10.0), (175.0, -10.0)]],
            [[(-180.0, -20.0), (-175.0, -20.0), (-175.0, -10.0), (-180.0, -10.0)]],
            [square(-30.0, 80.0, 30.0, 90.0)],
            [square(100.0, -90.0, 120.0, -85.0), square(105.0, -89.0, 110.0, -87.0)],
        ],
        # A self-intersecting hole (nonzero rule) and a degenerate one: three collinear vertices.
        [[square(-40.0, -40.0, -20.0, -20.0), [(-35.0, -35.0), (-25.0, -25.0), (-25.0, -35.0), (-35.0, -25.0)]]],
        [[square(-70.0, -40.0, -50.0, -20.0), [(-65.0, -30.0), (-60.0, -30.0), (-55.0, -30.0)]]],
        # Rings given closed.
        [[closed(square(-100.0, 40.0, -90.0, 50.0)), closed(square(-97.0, 43.0, -93.0, 47.0))]],
    ]
    # Random stars with holes, one part or several, some on the integer grid where vertices, edges
    # and the points that try them line up exactly.
    for k in range(12):
        cx, cy = -150.0 + 25.0 * k, -60.0 + 10.0 * (k % 4)
        snap = 1.0 if k % 2 else None
        parts = [star_with_holes(rng, round(cx), round(cy), rng.randint(0, 3), snap)]
        for _ in range(rng.randint(0, 2)):
            parts.append(star_with_holes(rng, round(cx + rng.uniform(-8, 8)), round(cy + 18), rng.randint(0, 2), snap))
        shapes.append(parts)
    return shapes


def as_geojson(parts, rng):
    """The parts as a GeoJSON mapping: a Polygon when there is one, else a MultiPolygon, now and
    then inside a Feature or a FeatureCollection; positions as lists, some with a height."""
    rings = [[[[x, y, 0.0] if rng.random() < 0.1 else [x, y] for x, y in ring] for ring in part] for part in parts]
    geometry = (
        {"type": "Polygon", "coordinates": rings[0]}
        if len(parts) == 1
        else {"type": "MultiPolygon", "coordinates": rings}
    )
    wrap = rng.randrange(4)
    if wrap == 1:
        return {"type": "Feature", "properties": {}, "geometry": geometry}
    if wrap == 2:
        features = [{"type": "Feature", "geometry": {"type": "Polygon", "coordinates": part}} for part in rings]
        return {"type": "FeatureCollection", "features": features}
    return geometry


def as_shapely(parts):
    polygons = [shapely.Polygon(part[0], part[1:]) for part in parts]
    return polygons[0] if len(polygons) == 1 else shapely.MultiPolygon(polygons)


def test_multipolygons_with_holes_agree_with_exact_arithmetic(probe, store_path):
    rng = random.Random(20260612)
    shapes = make_shapes(rng)
    # Points over the globe, and around every ring of every shape.
    located = [(rng.uniform(-180, 180), rng.uniform(-90, 90)) for _ in range(3000)]
    for parts in shapes:
        for rings in parts:
            for ring in rings:
                located += probe_points(rng, ring, 20)
    located = [(x, y) for x, y in located if -180 <= x <= 180 and -90 <= y <= 90]
    db = probe.PyZurAD(store_path)
    metas = [{"i": i, "k": i % 3, **({"r": True} if i % 40 == 0 else {})} for i in range(len(located))]
    ids = db.insert_batch([(y, x, m) for (x, y), m in zip(located, metas)])
    assert ids == list(range(len(located)))
    store = ColumnarStore(store_path, read_only=True)

    filters = [
        (None, lambda m: True),
        ({"k": 1}, lambda m: m["k"] == 1),  # a third of the points: the grid route
        ({"r": True}, lambda m: "r" in m),  # under 1000 points: the index route
        ({"k": {"$in": [0, 2]}, "i": {"$gte": 100}}, lambda m: m["k"] != 1 and m["i"] >= 100),
    ]
    seen_inside = seen_on_rings = 0
    for parts in shapes:
        inside = {i for i, (x, y) in enumerate(located) if in_shape(parts, x, y)}
        seen_inside += len(inside)
        seen_on_rings += sum(
            any(location(ring, x, y) == "boundary" for rings in parts for ring in rings) for x, y in located
        )
        for doc, holds in filters:
            rows = probe.query_shape(db, parts, doc)
            got = [r["id"] for r in rows]
            assert len(got) == len(set(got)), parts
            assert set(got) == {i for i in inside if holds(metas[i])}, (parts, doc)
            for r in rows[:5]:
                x, y = located[r["id"]]
                assert r == {"id": r["id"], "latitude": y, "longitude": x, "metadata": metas[r["id"]]}
            # The companion finds the same points in the shape as GeoJSON and as a shapely geometry.
            shape = as_geojson(parts, rng) if doc is None or rng.random() < 0.5 else as_shapely(parts)
            assert sorted(r["id"] for r in store.rows(polygon=shape, filter=doc)) == sorted(got), (parts, doc)
        ids = pa.table(store.to_arrow(polygon=as_shapely(parts), metadata="none")).column("id").to_pylist()
        assert sorted(ids) == sorted(inside)
        # A single ring without holes is what query_polygon finds.
        if len(parts) == 1 and len(parts[0]) == 1:
            assert sorted(r["id"] for r in db.query_polygon(parts[0][0])) == sorted(inside)
    assert seen_inside > 2500 and seen_on_rings > 1500


NAN, INF = math.nan, math.inf
SQUARE = square(0.0, 0.0, 1.0, 1.0)


@pytest.mark.parametrize(
    "parts, message",
    [
        ([], "polygon has no parts"),
        ([[SQUARE], []], "polygon part 1 has no rings"),
        ([[[]]], "polygon part 0, ring 0: a ring needs at least 3 distinct vertices, it has 0"),
        (
            [[[(0, 0), (1, 0), (0.0, 0.0), (1, 0)]]],
            "polygon part 0, ring 0: a ring needs at least 3 distinct vertices, it has 2",
        ),
        (
            [[[(0.0, 0.0), (-0.0, 0.0), (1, 1)]]],
            "polygon part 0, ring 0: a ring needs at least 3 distinct vertices, it has 2",
        ),
        ([[SQUARE, [(1, 1)] * 4]], "polygon part 0, ring 1: a ring needs at least 3 distinct vertices, it has 1"),
        ([[[(0, 0), (1, 0), (NAN, 1)]]], "polygon part 0, ring 0: vertex 2 is not finite (lon=NaN, lat=1)"),
        (
            [[SQUARE], [SQUARE, [(0, 0), (0.5, INF), (1, 0)]]],
            "polygon part 1, ring 1: vertex 1 is not finite (lon=0.5, lat=inf)",
        ),
        # The first fault in part, ring and vertex order.
        ([[[(0, 0)], [(-INF, 0)]]], "polygon part 0, ring 0: a ring needs at least 3 distinct vertices, it has 1"),
    ],
)
def test_malformed_shapes_are_refused_with_their_fault(probe, store_path, parts, message):
    db = probe.PyZurAD(store_path)
    with pytest.raises(ValueError) as e:
        probe.query_shape(db, parts)
    assert str(e.value) == message
    # The companion refuses the same shape, as a GeoJSON MultiPolygon, with the same message;
    # a polygon of no rings is an empty one there, and adds no part.
    store = ColumnarStore(store_path)
    mapping = {"type": "MultiPolygon", "coordinates": [[[list(v) for v in ring] for ring in part] for part in parts]}
    if parts == [[SQUARE], []]:
        assert store.rows(polygon=mapping) == []
        return
    with pytest.raises(ValueError) as e:
        store.rows(polygon=mapping)
    assert str(e.value) == message


class Shaped:
    def __init__(self, geo):
        self.__geo_interface__ = geo


POINT = {"type": "Point", "coordinates": [0, 0]}


@pytest.mark.parametrize(
    "shape, error, message",
    [
        (shapely.Polygon(), ValueError, "polygon has no parts"),
        ({"type": "FeatureCollection", "features": []}, ValueError, "polygon has no parts"),
        ([], ValueError, "polygon part 0, ring 0: a ring needs at least 3 distinct vertices, it has 0"),
        (
            [(0, 0), (1, 0), (math.inf, 1)],
            ValueError,
            "polygon part 0, ring 0: vertex 2 is not finite (lon=inf, lat=1)",
        ),
        ([[0, 0], [1, 0], [1, 1]], TypeError, "'list' object cannot be converted to 'PyTuple'"),
        (
            (0, 0),
            TypeError,
            "argument 'polygon': expected a list of (lon, lat) tuples, a GeoJSON Polygon or MultiPolygon mapping, "
            "or an object with __geo_interface__, not 'tuple'",
        ),
        (
            shapely.Point(1, 2),
            TypeError,
            "argument 'polygon': a GeoJSON Point is not a polygon: a Polygon or a "
            "MultiPolygon is wanted, or a Feature, FeatureCollection or GeometryCollection of them",
        ),
        (
            {"type": "Feature", "geometry": None},
            TypeError,
            "argument 'polygon': a Feature without a geometry",
        ),
        (
            {"type": "FeatureCollection", "features": [{"type": "Feature", "geometry": POINT}]},
            TypeError,
            "argument 'polygon': feature 0: the Feature's geometry: a GeoJSON Point is not a polygon: a Polygon or "
            "a MultiPolygon is wanted, or a Feature, FeatureCollection or GeometryCollection of them",
        ),
        (
            {"coordinates": []},
            TypeError,
            'argument \'polygon\': a mapping without a "type": a GeoJSON Polygon or MultiPolygon is wanted',
        ),
        ({"type": 5}, TypeError, "argument 'polygon': the \"type\" is a 'int', not a string"),
        ({"type": "Polygon"}, TypeError, "argument 'polygon': the Polygon's \"coordinates\" are missing, not a list"),
        (
            {"type": "MultiPolygon", "coordinates": [[[[0, 0], [1, 0], [1, 1]]], 7]},
            TypeError,
            "argument 'polygon': polygon 1 of the MultiPolygon is a 'int', not a list of rings",
        ),
        (
            {"type": "Polygon", "coordinates": [[[0, 0], [1, 0], 5]]},
            TypeError,
            "argument 'polygon': polygon part 0, ring 0, vertex 2: a position is a [lon, lat] list, not a 'int'",
        ),
        (
            {"type": "Polygon", "coordinates": [[[0, 0], [1, 0], [1]]]},
            TypeError,
            "argument 'polygon': polygon part 0, ring 0, vertex 2: a position needs 2 numbers, [lon, lat]; it has 1",
        ),
        (
            {"type": "Polygon", "coordinates": [[[0, 0], [1, 0], [1, "1"]]]},
            TypeError,
            "argument 'polygon': polygon part 0, ring 0, vertex 2: a coordinate is a number, not a 'str'",
        ),
        (
            Shaped([(0, 0)]),
            TypeError,
            "argument 'polygon': the __geo_interface__ of 'Shaped' is a 'list', not a mapping",
        ),
    ],
)
def test_the_companion_names_what_is_wrong_with_a_shape(store_path, shape, error, message):
    store = ColumnarStore(store_path)
    for call in (store.rows, store.to_arrow):
        with pytest.raises(error) as e:
            call(polygon=shape)
        assert str(e.value) == message


def test_nearest_rows_are_the_stores_rows_with_their_distance(probe):
    rng = random.Random(7)
    db = probe.PyZurAD()
    points = [(rng.uniform(-60, 60), rng.uniform(-180, 180), {"i": i}) for i in range(3000)]
    db.insert_batch(points)
    for lat, lon in [(0.0, 0.0), (89.0, 180.0), (-45.0, -179.5)]:
        rows = probe.nearest(db, lat, lon, 25, {"i": {"$gte": 1000}})
        assert len(rows) == 25
        assert [r["distance_m"] for r in rows] == sorted(r["distance_m"] for r in rows)
        for r in rows:
            i = r["id"]
            assert r == {
                "id": i,
                "latitude": points[i][0],
                "longitude": points[i][1],
                "metadata": {"i": i},
                "distance_m": r["distance_m"],
            }
        # The radius query of the farthest distance finds all of them, edge included, and no
        # other matching point nearer than it.
        around = db.query_radius(lat, lon, rows[-1]["distance_m"], {"i": {"$gte": 1000}})
        assert {r["id"] for r in rows} <= {r["id"] for r in around}
        assert len(around) == 25 or rows[-1]["distance_m"] == rows[-2]["distance_m"]
