"""Nearest neighbours and selections in order of distance through the companion handle, against a
model of the store kept by the test: fixed-seed random queries (clusters, both poles, ±180, exact
ties, filters on the grid and on the index route, largest distances on a point's distance, k beyond
the store) compared with a brute-force sort by the store's haversine, written here from its formula,
through deletes, appends and a compaction, on a writing and on a read-only handle. Then the
refusals of the arguments, message by message."""

import math
import random

import pyarrow as pa
import pytest
from orbisk import PyZurAD

from orbisk_columnar import ColumnarStore

RAD = 0.017453292519943295


def distance(clat, clon, lat, lon):
    """The store's haversine, operation for operation, so that ties and edges agree to the bit."""
    h1 = math.sin((lat - clat) * RAD * 0.5)
    h2 = math.sin((lon - clon) * RAD * 0.5)
    a = min(max(math.cos(lat * RAD) * math.cos(clat * RAD) * h2 * h2 + h1 * h1, 0.0), 1.0)
    return 2.0 * math.atan2(math.sqrt(a), math.sqrt(1.0 - a)) * 6371000.0


FILTERS = [
    (None, lambda m: True),
    ({"g": 2}, lambda m: m["g"] == 2),  # a fifth of the points: the grid route
    ({"r": True}, lambda m: "r" in m),  # a handful: the index route
    ({"$and": [{"g": {"$in": [1, 3]}}, {"n": {"$lt": 700}}]}, lambda m: m["g"] in (1, 3) and m["n"] < 700),
]


def make_points(rng, first, n):
    """Clusters (one at a pole, one across ±180), exact duplicates, and points spread over the globe."""
    centres = [(48.85, 2.35), (89.5, 40.0), (-12.0, 179.9), (-89.9, -100.0), (0.0, 0.0)]
    points = []
    for i in range(first, first + n):
        kind = rng.random()
        if kind < 0.6:
            clat, clon = rng.choice(centres)
            lat = min(max(rng.gauss(clat, 0.5), -90.0), 90.0)
            lon = (rng.gauss(clon, 0.5) + 180.0) % 360.0 - 180.0
        elif kind < 0.7:
            lat, lon = rng.choice([(48.85, 2.35), (90.0, 0.0), (-90.0, 17.0), (10.0, 180.0), (10.0, -180.0)])
        else:
            lat, lon = rng.uniform(-90, 90), rng.uniform(-180, 180)
        meta = {"n": i, "g": i % 5, **({"r": True} if i % 97 == 0 else {})}
        points.append((lat, lon, meta))
    return points


def expected(model, lat, lon, k, holds, most=math.inf):
    ranked = sorted(
        (d, slot)
        for slot, (plat, plon, m) in model.items()
        if holds(m) and (d := distance(lat, lon, plat, plon)) <= most
    )
    return [(slot, d) for d, slot in ranked[:k]]


def in_box(box, lat, lon):
    min_lat, min_lon, max_lat, max_lon = box
    if not min_lat <= lat <= max_lat:
        return False
    return min_lon <= lon <= max_lon if min_lon <= max_lon else (lon >= min_lon or lon <= max_lon)


def in_square_with_hole(lat, lon):
    """The polygon below: strictly inside (-20, -20)-(60, 60), outside the closed hole (0, 0)-(50, 50)."""
    return -20 < lon < 60 and -20 < lat < 60 and not (0 <= lon <= 50 and 0 <= lat <= 50)


SQUARE_WITH_HOLE = {
    "type": "Polygon",
    "coordinates": [
        [[-20, -20], [60, -20], [60, 60], [-20, 60], [-20, -20]],
        [[0, 0], [0, 50], [50, 50], [50, 0]],
    ],
}


def check_round(store, db, model, rng, queries):
    origins = [(90.0, 0.0), (-90.0, 123.0), (10.0, 180.0), (-12.0, -180.0), (48.85, 2.35), (0.0, 179.9999)]
    origins += [(rng.uniform(-90, 90), rng.uniform(-180, 180)) for _ in range(queries - len(origins))]
    n = len(model)
    for q, (lat, lon) in enumerate(origins):
        doc, holds = FILTERS[q % len(FILTERS)]
        k = rng.choice([0, 1, 3, 10, 50, n + 5])
        want = expected(model, lat, lon, k, holds)
        most = None
        if q % 3 == 1 and want:
            most = want[len(want) // 2][1]  # a point exactly this far is kept
            want = expected(model, lat, lon, k, holds, most)
        elif q % 3 == 2:
            most = rng.choice([0.0, 1000.0, 2.0e6])
            want = expected(model, lat, lon, k, holds, most)
        rows = store.nearest(lat, lon, k, doc, most)
        assert [(r["id"], r["distance_m"]) for r in rows] == want, (lat, lon, k, doc, most)
        for r in rows[:3]:
            plat, plon, meta = model[r["id"]]
            assert r == {
                "id": r["id"],
                "latitude": plat,
                "longitude": plon,
                "metadata": meta,
                "distance_m": r["distance_m"],
            }
        # The same search as a selection in order of distance, as rows and as Arrow.
        assert store.rows(sort_by_distance=(lat, lon), limit=k, filter=doc, max_distance_m=most) == rows
        table = pa.table(store.to_arrow(sort_by_distance=(lat, lon), limit=k, filter=doc, max_distance_m=most))
        assert table.column_names[:4] == ["id", "latitude", "longitude", "distance_m"]
        assert list(zip(table.column("id").to_pylist(), table.column("distance_m").to_pylist())) == want
        if q % 6 == 1:  # no limit: every match within the distance, or every match
            everything = store.rows(sort_by_distance=(lat, lon), filter=doc, max_distance_m=most)
            assert [(r["id"], r["distance_m"]) for r in everything] == expected(
                model, lat, lon, n, holds, math.inf if most is None else most
            )
        elif q % 6 == 3:
            everything = store.rows(sort_by_distance=(lat, lon), filter=doc)
            assert [(r["id"], r["distance_m"]) for r in everything] == expected(model, lat, lon, n, holds)

    # Shapes in order of distance: the shape's points, sorted, then limited.
    radius = (rng.uniform(-60, 60), rng.uniform(-180, 180), 3.0e6)
    shapes = [
        ({"bbox": (-30, 170, 30, -170)}, lambda la, lo: in_box((-30, 170, 30, -170), la, lo)),
        ({"bbox": (40, -10, 90, 60)}, lambda la, lo: in_box((40, -10, 90, 60), la, lo)),
        ({"polygon": SQUARE_WITH_HOLE}, in_square_with_hole),
        ({"radius": radius}, None),
    ]
    for shape, inside in shapes:
        lat, lon = rng.uniform(-90, 90), rng.uniform(-180, 180)
        if inside is None:
            members = {r["id"] for r in db.query_radius(*radius)}
            inside_ids = members
        else:
            inside_ids = {s for s, (la, lo, _) in model.items() if inside(la, lo)}
        for doc, holds in FILTERS[:2]:
            full = expected({s: model[s] for s in inside_ids}, lat, lon, len(model), holds)
            rows = store.rows(**shape, filter=doc, sort_by_distance=(lat, lon))
            assert [(r["id"], r["distance_m"]) for r in rows] == full, shape
            limit = rng.choice([0, 1, rng.randrange(len(full) + 2)])
            assert len(store.rows(**shape, filter=doc, limit=limit)) == min(limit, len(full)), shape
            most = full[len(full) // 3][1] if full else 5.0
            cut = [(s, d) for s, d in full if d <= most][:limit]
            table = pa.table(
                store.to_arrow(**shape, filter=doc, sort_by_distance=(lat, lon), limit=limit, max_distance_m=most)
            )
            assert list(zip(table.column("id").to_pylist(), table.column("distance_m").to_pylist())) == cut, shape


def test_nearest_and_distance_order_agree_with_a_model_through_deletes_appends_and_compaction(store_path):
    rng = random.Random(20260613)
    db = PyZurAD(store_path)
    store = ColumnarStore(store_path)
    assert store.nearest(0.0, 0.0, 10) == [] and store.rows(sort_by_distance=(0, 0)) == []

    points = make_points(rng, 0, 1200)
    model = dict(zip(db.insert_batch(points), points))
    check_round(store, db, model, rng, 40)

    assert db.delete_by_metadata({"g": 4}) > 0
    model = {s: p for s, p in model.items() if p[2]["g"] != 4}
    more = make_points(rng, 1200, 400)
    ids = store.append(
        pa.table(
            {
                "latitude": [p[0] for p in more],
                "longitude": [p[1] for p in more],
                "n": [p[2]["n"] for p in more],
                "g": [p[2]["g"] for p in more],
                "r": [p[2].get("r") for p in more],
            }
        )
    )
    model.update(zip(ids, more))
    check_round(ColumnarStore(store_path, read_only=True), db, model, rng, 30)

    assert db.compact() > 0
    model = dict(enumerate(model[s] for s in sorted(model)))
    check_round(store, db, model, rng, 30)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (
            lambda s: s.nearest(91, 0, 1),
            ValueError,
            "distance origin out of range (lat=91 must be in [-90,90], lon=0 in [-180,180])",
        ),
        (lambda s: s.nearest(float("nan"), 0, 1), ValueError, "distance origin is not finite (lat=NaN, lon=0)"),
        (
            lambda s: s.nearest(0, 0, 1, max_distance_m=-1),
            ValueError,
            "max_distance_m must be a non-negative number, got -1",
        ),
        (lambda s: s.nearest(0, 0, -1), ValueError, "argument 'k': a number of points, 0 or more, not -1"),
        (lambda s: s.nearest(0, 0, 1.5), TypeError, "argument 'k': 'float' object cannot be interpreted as an integer"),
        (lambda s: s.nearest("x", 0, 1), TypeError, "argument 'lat': must be real number, not str"),
        (
            lambda s: s.nearest(0, 0, 1, [1]),
            TypeError,
            "argument 'filter': 'list' object cannot be converted to 'PyDict'",
        ),
        (lambda s: s.nearest(0, 0, 1, {"a": {"$bad": 1}}), ValueError, "Unknown operator: $bad"),
        (
            lambda s: s.rows(max_distance_m=5),
            ValueError,
            "max_distance_m applies to a selection in order of distance: give sort_by_distance=(lat, lon) as well",
        ),
        (
            lambda s: s.rows(sort_by_distance=(1,)),
            ValueError,
            "argument 'sort_by_distance': a (lat, lon) sequence, not 1 values",
        ),
        (
            lambda s: s.rows(sort_by_distance=1),
            TypeError,
            "argument 'sort_by_distance': a (lat, lon) sequence, not 'int'",
        ),
        (
            lambda s: s.to_arrow(sort_by_distance=(0, 200)),
            ValueError,
            "distance origin out of range (lat=0 must be in [-90,90], lon=200 in [-180,180])",
        ),
        (
            lambda s: s.to_arrow(sort_by_distance=(0, 0), max_distance_m=float("nan")),
            ValueError,
            "max_distance_m must be a non-negative number, got nan",
        ),
        (lambda s: s.rows(limit=-1), ValueError, "argument 'limit': a number of points, 0 or more, not -1"),
    ],
)
def test_refused_arguments(store_path, call, error, message):
    store = ColumnarStore(store_path)
    with pytest.raises(error) as e:
        call(store)
    assert str(e.value) == message
