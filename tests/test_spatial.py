"""Spatial queries through the Python API against oracles written here: boxes (across the
antimeridian too), great circles (points just inside and just outside the radius in every compass
direction, near the poles and across ±180) and polygons on exact rational arithmetic, and random
boxes and circles from metres to the globe over crowds far denser than a grid cell's share; each
with filters, on every route (the grid's candidates, the metadata indexes' plan, and the one the
estimated costs choose), before and after inserts, a delete and a compaction; deleted points
crafted in the files; the argument rules; the grid rebuild's lock failure; queries alongside
inserts."""

import errno
import math
import os
import random
import struct
import threading
import zlib
from decimal import Decimal
from fractions import Fraction

import pytest
from orbisk import PyZurAD
from storefiles import manifest_bytes, parse_manifest, read, sibling, write
from test_geometry import closed, nudge, oracle_location, probe_points, star

# ---- oracles ---------------------------------------------------------------------------------------

EARTH_RADIUS = 6371000.0
RAD = math.pi / 180


def in_box(box, lat, lon):
    min_lat, min_lon, max_lat, max_lon = box
    if not min_lat <= lat <= max_lat:
        return False
    if min_lon > max_lon:
        return lon >= min_lon or lon <= max_lon
    return min_lon <= lon <= max_lon


def distance(lat1, lon1, lat2, lon2):
    """Great-circle distance by the atan2 form, well conditioned at every distance (the haversine
    form loses about 0.1 m near antipodes)."""
    p1, p2, dl = lat1 * RAD, lat2 * RAD, (lon2 - lon1) * RAD
    y = math.hypot(
        math.cos(p2) * math.sin(dl), math.cos(p1) * math.sin(p2) - math.sin(p1) * math.cos(p2) * math.cos(dl)
    )
    x = math.sin(p1) * math.sin(p2) + math.cos(p1) * math.cos(p2) * math.cos(dl)
    return math.atan2(y, x) * EARTH_RADIUS


def in_circle(circle, lat, lon):
    """True or False; None within half a metre of the edge, where the two formulas may disagree."""
    clat, clon, r = circle
    if not r >= 0 or r == math.inf:
        return r == math.inf
    d = distance(clat, clon, lat, lon)
    if abs(d - r) <= 0.5 + 1e-9 * r:
        return None
    return d < r


def destination(lat, lon, bearing, dist):
    """The point `dist` metres from (lat, lon) along the initial bearing (degrees from north)."""
    p1, th, d = lat * RAD, bearing * RAD, dist / EARTH_RADIUS
    p2 = math.asin(max(-1.0, min(1.0, math.sin(p1) * math.cos(d) + math.cos(p1) * math.sin(d) * math.cos(th))))
    dl = math.atan2(math.sin(th) * math.sin(d) * math.cos(p1), math.cos(d) - math.sin(p1) * math.sin(p2))
    lon2 = (lon + dl / RAD + 180.0) % 360.0 - 180.0
    return max(-90.0, min(90.0, p2 / RAD)), lon2


def in_polygon(ring, lat, lon):
    xs, ys = [v[0] for v in ring], [v[1] for v in ring]
    if not ring or not (min(xs) <= lon <= max(xs) and min(ys) <= lat <= max(ys)):
        return False
    return oracle_location(ring, lon, lat) == "inside"


def storable(lat, lon):
    return -90.0 <= lat <= 90.0 and -180.0 <= lon <= 180.0


# ---- shapes and the points that try them --------------------------------------------------------

BOXES = [
    (-10.0, 170.0, 10.0, -170.0),  # across the antimeridian
    (0.0, 179.0, 5.0, -179.0),
    (-5.0, -180.0, 5.0, -179.5),
    (20.0, -30.0, 50.0, 40.0),
    (84.0, 100.0, 90.0, 120.0),
    (-90.0, -180.0, 90.0, 180.0),
    (3.25, 7.5, 3.25, 7.5),  # a single location
    (-45.5, 60.0, -30.25, 60.0),  # no width
    (-1e300, 179.5, 1e300, -179.5),  # beyond the globe
    (10.0, 0.0, -10.0, 5.0),  # inverted latitudes: nothing
]

CIRCLES = [
    (0.0, 0.0, 1000.0),
    (45.0, 10.0, 50_000.0),
    (-33.9, 151.2, 250_000.0),
    (12.3, -45.6, 2_000_000.0),
    (89.9, 0.0, 20_000.0),
    (89.999, 120.0, 500.0),
    (-89.5, -60.0, 100_000.0),
    (-88.0, 45.0, 300_000.0),
    (10.0, 179.95, 20_000.0),
    (-20.0, -179.9, 50_000.0),
    (0.0, 180.0, 1000.0),
    (0.0, -180.0, 100_000.0),
    (60.0, 179.0, 400_000.0),
    (30.0, 60.0, 9_000_000.0),
    (-10.0, 20.0, 19_500_000.0),  # most of the globe, nearly antipodal points
    (10.0, 20.0, math.pi * EARTH_RADIUS),
    (5.0, 5.0, math.inf),
    (6.16, 44.21, math.inf),  # its antipode rounds to more than half the globe away
    (1.0, 2.0, -1.0),
    (1.0, 2.0, math.nan),
]


def box_points(box):
    """Corners and edge midpoints of a box, and the same one unit in the last place outside."""
    min_lat, min_lon, max_lat, max_lon = box
    lons = [min_lon, max_lon, (min_lon + max_lon) / 2 if min_lon <= max_lon else 180.0]
    lats = [min_lat, max_lat, (min_lat + max_lat) / 2]
    pts = [(lat, lon) for lat in lats for lon in lons]
    pts += [(nudge(lat, -1 if lat == min_lat else 1), lon) for lat, lon in pts if lat in (min_lat, max_lat)]
    pts += [(lat, nudge(lon, -1 if lon == min_lon else 1)) for lat, lon in pts[:9] if lon in (min_lon, max_lon)]
    return pts


def circle_points(rng, circle):
    """The centre and its antipode, points at every compass direction a metre (or 1e-7 of the
    radius) inside and outside the edge, and random points around the centre."""
    clat, clon, r = circle
    pts = [(clat, clon), (-clat, clon - 180.0 if clon > 0 else clon + 180.0)]
    if not 0 < r < math.pi * EARTH_RADIUS:
        return pts
    margin = max(1e-7 * r, 1.0)
    for bearing in range(0, 360, 45):
        pts += [destination(clat, clon, bearing, r - margin), destination(clat, clon, bearing, r + margin)]
    pts += [destination(clat, clon, rng.uniform(0, 360), rng.uniform(0, 1.5 * r)) for _ in range(8)]
    return pts


def make_polygons(rng):
    pentagram = [(math.cos(4 * math.pi * k / 5) * 5 + 30, math.sin(4 * math.pi * k / 5) * 5 - 20) for k in range(5)]
    square = [(0.0, 0.0), (10.0, 0.0), (10.0, 10.0), (0.0, 10.0)]
    polygons = [
        square,
        closed(square),
        pentagram,
        # A sliver along a long diagonal of the globe: points a hair off it are where the
        # plain floating-point determinant gets the side wrong.
        [(-179.123456789, -89.1), (179.987654321, 88.7), (179.987654321, -89.1)],
        [(170.0, -10.0), (179.5, 0.0), (170.0, 10.0), (175.0, 0.0)],
    ]  # concave arrowhead
    polygons += [star(rng, rng.randint(5, 14), rng.uniform(-150, 150), rng.uniform(-60, 60), 1, 8) for _ in range(10)]
    polygons += [
        star(rng, rng.randint(5, 14), float(rng.randint(-150, 150)), float(rng.randint(-60, 60)), 2, 9, snap=1.0)
        for _ in range(10)
    ]
    # Self-intersecting, by random vertex order.
    polygons += [
        [(float(rng.randint(-6, 6)) - 40, float(rng.randint(-6, 6)) + 40) for _ in range(rng.randint(4, 9))]
        for _ in range(8)
    ]
    polygons += [[(rng.uniform(-170, 170), rng.uniform(-80, 80)) for _ in range(rng.randint(4, 9))] for _ in range(6)]
    return polygons


def make_meta(rng, i):
    meta = {"i": i, "n": rng.uniform(0, 100)}
    if rng.random() < 0.98:
        meta["g"] = rng.choice("abcd")
    if rng.random() < 0.03:
        meta["r"] = True
    return meta


# name, filter document, the same filter in Python; the first few the indexes cannot narrow
FILTERS = [
    ("none", None, lambda m: True),
    ("empty", {}, lambda m: True),
    ("$not", {"$not": {"g": "a"}}, lambda m: m.get("g") != "a"),
    ("rare value", {"r": True}, lambda m: m.get("r") is True),
    ("narrow range", {"n": {"$lt": 2.0}}, lambda m: m["n"] < 2.0),
    ("two-sided range", {"n": {"$gte": 40, "$lt": 42.5}}, lambda m: 40 <= m["n"] < 42.5),
    ("rare $in", {"r": {"$in": [True, "x"]}}, lambda m: m.get("r") is True),
    ("$nin of every value", {"g": {"$nin": ["a", "b", "c", "d"]}}, lambda m: "g" not in m),
    ("common value", {"g": "b"}, lambda m: m.get("g") == "b"),
    ("wide range", {"n": {"$gte": 30}}, lambda m: m["n"] >= 30),
    ("$ne", {"g": {"$ne": "a"}}, lambda m: m.get("g") != "a"),
    (
        "nested $and of a value and a range",
        {"$and": [{"g": "a"}, {"$and": [{"n": {"$gt": 10}}, {"n": {"$lte": 60}}]}]},
        lambda m: m.get("g") == "a" and 10 < m["n"] <= 60,
    ),
    ("$or", {"$or": [{"r": True}, {"n": {"$lt": 1}}]}, lambda m: m.get("r") is True or m["n"] < 1),
    (
        "$or with a $not",
        {"$or": [{"g": "d"}, {"$not": {"n": {"$lt": 99}}}]},
        lambda m: m.get("g") == "d" or not m["n"] < 99,
    ),
]

ROUTES = [None, "scan", "index"]

# Crowds: (latitude, longitude, spread in degrees, points). Their grid cells hold far more points
# than the grid leaves unsorted (256): a city, a crowd at each pole, one across the antimeridian.
CROWDS = [(48.85, 2.35, 0.02, 1500), (89.97, 0.0, 0.02, 900), (-89.9, 120.0, 0.05, 900), (10.0, 179.99, 0.03, 1200)]


def crowd_points(rng, crowds, scale=1):
    points = []
    for clat, clon, spread, n in crowds:
        for _ in range(n * scale):
            lat = min(90.0, max(-90.0, rng.gauss(clat, spread)))
            points.append((lat, (rng.gauss(clon, spread) + 180.0) % 360.0 - 180.0))
    return points


def random_shapes(rng, located):
    """Boxes and circles from a few metres to the whole globe, around points of the data (the
    crowds among them), at the poles and across the antimeridian."""
    shapes = []
    for _ in range(40):
        lat, lon = rng.choice(located)
        half = 10 ** rng.uniform(-5, 2.3)
        box = (lat - half, lon - half * rng.uniform(0.5, 2), lat + half * rng.uniform(0.5, 2), lon + half)
        if box[1] < -180:
            box = (box[0], box[1] + 360, box[2], box[3])
        elif box[3] > 180:
            box = (box[0], box[1], box[2], box[3] - 360)
        shapes.append(("box", box))
        lat, lon = rng.choice(located)
        shapes.append(("circle", (lat, lon, 10 ** rng.uniform(0, 7))))
    return shapes


def tombstone(path, slots):
    """Marks slots of a closed store deleted as the store does: quiet NaN over both coordinates,
    with the manifest's CRC of the coordinates file brought along."""
    coords = bytearray(read(sibling(path, "coords.mmap")))
    for s in slots:
        struct.pack_into("<QQ", coords, 64 + 16 * s, 0x7FF8000000000000, 0x7FF8000000000000)
    write(sibling(path, "coords.mmap"), bytes(coords))
    m = parse_manifest(read(sibling(path, "commit")))
    m["coords_crc"] = zlib.crc32(coords[64 : 64 + m["coords_bytes"]])
    write(sibling(path, "commit"), manifest_bytes(**m))


def check_queries(probe, db, points, queries):
    """Every query with every filter, on every route, against the oracles: the same set of points,
    each once; on the index route in ascending id order. Returns the number of rows seen."""
    found = 0
    for what, run, oracle in queries:
        verdicts = {i: oracle(lat, lon) for i, (lat, lon, _) in points.items()}
        unsure = {i for i, v in verdicts.items() if v is None}
        inside = {i for i, v in verdicts.items() if v}
        assert len(unsure) <= 2, what
        for name, doc, holds in FILTERS:
            want = {i for i in inside if holds(points[i][2])}
            for route in ROUTES:
                probe.force_route(route)
                try:
                    rows = run() if doc is None else run(filter=doc)
                finally:
                    probe.force_route(None)
                ids = [r["id"] for r in rows]
                assert len(ids) == len(set(ids)), (what, name, route)
                assert set(ids) - unsure == want, (what, name, route)
                if route == "index" and name not in ("none", "empty", "$not", "$or with a $not"):
                    assert ids == sorted(ids), (what, name)
                for r in rows[:3]:
                    lat, lon, meta = points[r["id"]]
                    assert r == {"id": r["id"], "latitude": lat, "longitude": lon, "metadata": meta}
                found += len(ids)
    return found


def shape_queries(db, boxes, circles, polygons):
    queries = [
        (f"box {b}", lambda b=b, **f: db.query_bbox(*b, **f), lambda lat, lon, b=b: in_box(b, lat, lon)) for b in boxes
    ]
    queries += [
        (f"circle {c}", lambda c=c, **f: db.query_radius(*c, **f), lambda lat, lon, c=c: in_circle(c, lat, lon))
        for c in circles
    ]
    queries += [
        (
            f"polygon {p}",
            lambda p=p, **f: db.query_polygon(p, **f),
            lambda lat, lon, p=p: in_polygon(closed(p), lat, lon),
        )
        for p in polygons
    ]
    return queries


def test_queries_agree_with_the_oracles_on_every_route(probe, store_path):
    rng = random.Random(20260611)
    polygons = make_polygons(rng)
    # Background points over the globe, crowded near the poles and the antimeridian, crowds far
    # denser than a grid cell's share, then the points that try each box and circle.
    located = [(rng.uniform(-90, 90), rng.uniform(-180, 180)) for _ in range(6000)]
    located += [(rng.choice([-1, 1]) * rng.uniform(85, 90), rng.uniform(-180, 180)) for _ in range(600)]
    located += [(rng.uniform(-30, 30), rng.choice([-1, 1]) * rng.uniform(175, 180)) for _ in range(600)]
    located += crowd_points(rng, CROWDS)
    shapes = random_shapes(rng, located)
    boxes = BOXES + [b for kind, b in shapes if kind == "box"]
    circles = CIRCLES + [c for kind, c in shapes if kind == "circle"]
    located += [p for box in boxes for p in box_points(box)]
    located += [p for circle in circles for p in circle_points(rng, circle)]
    located = [p for p in located if storable(*p)]
    points = {i: (lat, lon, make_meta(rng, i)) for i, (lat, lon) in enumerate(located)}
    assert probe.PyZurAD(store_path).insert_batch(list(points.values())) == list(points)

    # About 1 % of them deleted, crafted in the files of the closed store.
    deleted = rng.sample(sorted(points), len(points) // 100)
    tombstone(store_path, deleted)
    for s in deleted:
        del points[s]
    db = probe.PyZurAD(store_path)
    assert db.slot_stats() == (len(located), len(points))

    # The points that try the polygons arrive after the open, one grid insert at a time.
    tries = [(lat, lon) for ring in polygons for lon, lat in probe_points(rng, ring, 8) if storable(lat, lon)]
    extra = [(lat, lon, make_meta(rng, len(located) + k)) for k, (lat, lon) in enumerate(tries)]
    points.update(zip(db.insert_batch(extra), extra))
    assert check_queries(probe, db, points, shape_queries(db, boxes, circles, polygons)) > 300_000

    # More of each crowd one at a time (their cells' unsorted tails fill and are merged), a
    # delete, then a compaction that renumbers the points; the shapes are tried again after each.
    some = boxes[:12] + rng.sample(boxes[12:], 12) + circles[:10] + rng.sample(circles[10:], 12)
    later = shape_queries(db, [b for b in some if len(b) == 4], [c for c in some if len(c) == 3], polygons[:6])
    for lat, lon in crowd_points(rng, CROWDS, 1)[::3]:
        meta = make_meta(rng, len(points))
        points[db.insert(lat, lon, meta)] = (lat, lon, meta)
    doomed = {i for i, (_, _, m) in points.items() if m["n"] < 20}
    assert db.delete_by_metadata({"n": {"$lt": 20}}) == len(doomed)
    for i in doomed:
        del points[i]
    check_queries(probe, db, points, later)
    db.compact()
    points = dict(enumerate(points[i] for i in sorted(points)))
    check_queries(probe, db, points, later)


def test_exact_centres_degenerate_rings_and_argument_forms():
    db = PyZurAD()
    ids = db.insert_batch([(0, 0, {"at": "centre"}), (0, 1e-9, {}), (5, 5, {})])

    def got(rows):
        return sorted(r["id"] for r in rows)

    assert got(db.query_radius(0, 0, 0)) == [ids[0]] and got(db.query_radius(0, 0, 1)) == ids[:2]
    assert db.query_polygon([]) == [] and db.query_polygon([(5, 5)]) == [] and db.query_polygon([(5, 5, "z")]) == []
    # Anything that converts to a float, by keyword too; vertices' further elements are ignored.
    assert got(db.query_bbox(Fraction(-1, 2), Decimal("-0.5"), True, max_lon=Zero(), filter=None)) == [ids[0]]
    assert got(db.query_radius(center_lat=0, center_lon=0, radius_meters=1, filter={})) == ids[:2]
    assert got(db.query_polygon(coordinates=[(-1, -1, None), (1, -1), (0, 1, 2, 3)], filter={"at": "centre"})) == [
        ids[0]
    ]


class Zero:
    def __index__(self):
        return 0


class Sneaky:
    """A coordinate whose conversion empties the list of vertices being read."""

    def __init__(self, vertices):
        self.vertices = vertices

    def __float__(self):
        self.vertices.clear()
        return 1.0


def sneaky_ring():
    ring = [(0.0, 0.0), (1.0, 0.0)]
    ring[0] = (Sneaky(ring), 0.0)
    return ring


BAD = {"a": {"$bad": 1}}
ARGUMENT_ERRORS = [
    (lambda db: db.query_bbox("0", [], 1, 1, []), TypeError, "argument 'min_lat': must be real number, not str"),
    (
        lambda db: db.query_bbox(0, 0, 1, None, filter=[]),
        TypeError,
        "argument 'max_lon': must be real number, not NoneType",
    ),
    (lambda db: db.query_bbox(0, 0, 1, 10**400, []), OverflowError, "int too large to convert to float"),
    (
        lambda db: db.query_bbox(0, 0, 1, 1, []),
        TypeError,
        "argument 'filter': 'list' object cannot be converted to 'PyDict'",
    ),
    (lambda db: db.query_bbox(0, 0, 1, 1, BAD), ValueError, "Unknown operator: $bad"),
    (lambda db: db.query_bbox(0, 0, 1), TypeError, "query_bbox() missing 1 required positional argument: 'max_lon'"),
    (lambda db: db.query_radius(0, 0, "5", BAD), TypeError, "argument 'radius_meters': must be real number, not str"),
    (
        lambda db: db.query_radius(0, 0, 5, filter=5),
        TypeError,
        "argument 'filter': 'int' object cannot be converted to 'PyDict'",
    ),
    (lambda db: db.query_radius(0, 0, 5, {"a": {"$in": 1}}), ValueError, "$in requires an array"),
    (
        lambda db: db.query_radius(0, 0, 5, radius=5),
        TypeError,
        "query_radius() got an unexpected keyword argument 'radius'",
    ),
    (
        lambda db: db.query_polygon(((0, 0),), 5),
        TypeError,
        "argument 'coordinates': 'tuple' object cannot be converted to 'PyList'",
    ),
    (
        lambda db: db.query_polygon([[0, 0]], 5),
        TypeError,
        "argument 'filter': 'int' object cannot be converted to 'PyDict'",
    ),
    (lambda db: db.query_polygon([(0, 0), [1, 0]], BAD), TypeError, "'list' object cannot be converted to 'PyTuple'"),
    (lambda db: db.query_polygon([(0, 0), (1,)], BAD), IndexError, "tuple index out of range"),
    (lambda db: db.query_polygon([(0, "1")], BAD), TypeError, "must be real number, not str"),
    (lambda db: db.query_polygon([(0, 0)], BAD), ValueError, "Unknown operator: $bad"),
    (lambda db: db.query_polygon(sneaky_ring(), BAD), ValueError, "Unknown operator: $bad"),
]


@pytest.mark.parametrize("call, exc, message", ARGUMENT_ERRORS)
def test_argument_errors_in_their_order(call, exc, message):
    db = PyZurAD()
    db.insert(0.5, 0.5, {"a": 1})
    with pytest.raises(exc) as err:
        call(db)
    assert str(err.value) == message


def test_a_grid_rebuild_that_cannot_take_the_lock_fails_the_query(probe, store_path):
    db = probe.PyZurAD(store_path)
    # 2048 points one grid insert at a time: the next spatial query rebuilds the grid.
    db.insert_batch([(0.5, 0.5, {})] * 1000)
    db.insert_batch([(1.5, 1.5, {})] * 1048)
    probe.faults_arm(0, errno.ENOLCK)
    try:
        with pytest.raises(RuntimeError) as err:
            db.query_radius(0.5, 0.5, 10)
        events = probe.faults_events()
    finally:
        probe.faults_disarm()
    assert str(err.value) == f"{os.strerror(errno.ENOLCK)} (os error {errno.ENOLCK})"
    assert [e[0] for e in events] == ["fcntl"]
    assert len(db.query_radius(0.5, 0.5, 10)) == 1000 and len(db.query_bbox(1, 1, 2, 2)) == 1048


def test_queries_alongside_inserts_and_a_grid_rebuild_see_whole_points():
    db = PyZurAD()
    rng = random.Random(8)

    def batch(n):
        return [(rng.uniform(0, 1), rng.uniform(0, 1), {"k": rng.randrange(5)}) for _ in range(n)]

    db.insert_batch(batch(600))
    box, circle, ring = (0.2, 0.2, 0.8, 0.8), (0.5, 0.5, 30_000.0), [(0.1, 0.1), (0.9, 0.1), (0.5, 0.9)]
    calls = [
        lambda: db.query_bbox(*box, filter={"k": 3}),
        lambda: db.query_radius(*circle, filter={"k": 3}),
        lambda: db.query_polygon(ring, {"k": {"$gte": 3}, "$not": {"k": 4}}),
        lambda: db.query_bbox(*box, {"k": 3}),
    ]
    stop = threading.Event()
    errors = []

    def reader(call):
        while not stop.is_set():
            try:
                rows = call()
                assert all(r["metadata"] == {"k": 3} for r in rows) and len({r["id"] for r in rows}) == len(rows)
            except Exception as e:  # reported by the main thread
                errors.append(e)
                return

    threads = [threading.Thread(target=reader, args=(c,)) for c in calls]
    for t in threads:
        t.start()
    # Crosses 2048 live points: some query rebuilds the grid while inserts go on.
    for _ in range(30):
        db.insert_batch(batch(100))
        db.insert(0.5, 0.5, {"k": 3})
    stop.set()
    for t in threads:
        t.join()
    assert not errors
    everything = db.query({"k": 3})
    for call, holds in zip(
        calls,
        [
            lambda lat, lon: in_box(box, lat, lon),
            lambda lat, lon: in_circle(circle, lat, lon),
            lambda lat, lon: in_polygon(closed(ring), lat, lon),
        ],
    ):
        assert sorted(r["id"] for r in call()) == [r["id"] for r in everything if holds(r["latitude"], r["longitude"])]
