"""Spatial queries of orbisk against SQLite's R*Tree, same data, same run, with shapely's STRtree
over the same points in memory as the ceiling.

    python3 bench/bench_spatial.py [--points 1000000] [--repeat 20] [--data clustered|even] [--dir DIR]

The data is make_clustered_points (the default: the shapes are placed on its crowds and sized to
about 100, 10,000, a few, 7,700 and 1,000 rows) or make_points (--data even).

All three return the same rows as the same dicts ({"id", "latitude", "longitude", "metadata"}),
compared sorted by id (orbisk's order is not defined). SQLite keeps an R*Tree of the points
(32-bit bounds, rounded outwards) joined to a table of exact coordinates and JSON metadata; the
exact test runs in SQL, or in Python where that is faster (both are timed for the radius, the
polygon's is shapely's vectorised test). The STRtree's side keeps every point's values in a list
and builds its rows from them, new dicts with a copy of the metadata dict (a store must hand out
dicts its caller may change): the ceiling for a store that must build its rows. Requires shapely
and numpy (bench only).

Prints the median and the 95th percentile of each system's times (SQLite's faster variant), and
the medians of the ratios taken round by round (the systems run in turn); then what a row costs,
all in, at about 100 and 10,000 rows and at every point of the store (orbisk and the ceiling).
"""

import json
import math
import os
import sqlite3
import sys

import numpy as np
import shapely

sys.path.insert(0, os.path.dirname(__file__))
from bench_queries import stored_points  # noqa: E402
from common import (  # noqa: E402
    EARTH_RADIUS,
    RAD,
    circle_box,
    fresh_rows,
    haversine,
    main_of,
    median_of,
    median_ratio,
    p95_of,
    rounds_of,
)
from orbisk import PyZurAD  # noqa: E402


def irregular_polygon(clon, clat, radii):
    """A ring of (longitude, latitude) vertices at even angles and the given radii (degrees)."""
    n = len(radii)
    return [
        (clon + r * math.cos(2 * math.pi * k / n), clat + r * math.sin(2 * math.pi * k / n))
        for k, r in enumerate(radii)
    ]


def haversine_np(clat, clon, lat, lon):
    """The same on numpy arrays of coordinates."""
    h1 = np.sin((lat - clat) * RAD * 0.5)
    h2 = np.sin((lon - clon) * RAD * 0.5)
    a = np.clip(np.cos(lat * RAD) * math.cos(clat * RAD) * h2 * h2 + h1 * h1, 0.0, 1.0)
    return 2 * np.arctan2(np.sqrt(a), np.sqrt(1 - a)) * EARTH_RADIUS


# ---- SQLite ----------------------------------------------------------------------------------------


def sqlite_store(path, points):
    db = sqlite3.connect(path, isolation_level=None)
    db.execute("PRAGMA journal_mode=WAL")
    db.execute("PRAGMA synchronous=NORMAL")
    db.execute("CREATE VIRTUAL TABLE rt USING rtree(id, min_lat, max_lat, min_lon, max_lon)")
    db.execute("CREATE TABLE meta(id INTEGER PRIMARY KEY, lat REAL, lon REAL, doc TEXT)")
    db.execute("BEGIN")
    db.executemany(
        "INSERT INTO rt VALUES (?,?,?,?,?)", ((i, lat, lat, lon, lon) for i, (lat, lon, _) in enumerate(points))
    )
    db.executemany(
        "INSERT INTO meta VALUES (?,?,?,?)",
        ((i, lat, lon, json.dumps(m, separators=(",", ":"))) for i, (lat, lon, m) in enumerate(points)),
    )
    db.execute("COMMIT")
    return db


JOIN = (
    "SELECT m.id, m.lat, m.lon, m.doc FROM rt JOIN meta m ON m.id = rt.id WHERE rt.max_lat >= :min_lat "
    "AND rt.min_lat <= :max_lat AND rt.max_lon >= :min_lon AND rt.min_lon <= :max_lon"
)


def bounds(box):
    return dict(zip(("min_lat", "min_lon", "max_lat", "max_lon"), box))


def sqlite_rows(cursor, keep=None):
    return [
        {"id": i, "latitude": lat, "longitude": lon, "metadata": json.loads(doc)}
        for i, lat, lon, doc in cursor
        if keep is None or keep(lat, lon)
    ]


def sqlite_bbox(db, box, where="", args=None):
    sql = JOIN + " AND m.lat BETWEEN :min_lat AND :max_lat AND m.lon BETWEEN :min_lon AND :max_lon" + where
    return sqlite_rows(db.execute(sql, {**bounds(box), **(args or {})}))


def sqlite_radius_sql(db, clat, clon, r):
    h1, h2 = "sin((m.lat - :clat) * :half)", "sin((m.lon - :clon) * :half)"
    a = f"min(max(cos(m.lat * :rad) * :cos_clat * {h2} * {h2} + {h1} * {h1}, 0.0), 1.0)"
    sql = JOIN + f" AND 2 * atan2(sqrt({a}), sqrt(1 - {a})) * {EARTH_RADIUS!r} <= :r"
    return sqlite_rows(
        db.execute(
            sql,
            {
                **bounds(circle_box(clat, clon, r)),
                "clat": clat,
                "clon": clon,
                "r": r,
                "rad": RAD,
                "half": RAD * 0.5,
                "cos_clat": math.cos(clat * RAD),
            },
        )
    )


def sqlite_radius_py(db, clat, clon, r):
    return sqlite_rows(
        db.execute(JOIN, bounds(circle_box(clat, clon, r))), lambda lat, lon: haversine(clat, clon, lat, lon) <= r
    )


def sqlite_polygon(db, ring):
    xs, ys = [x for x, _ in ring], [y for _, y in ring]
    polygon = shapely.Polygon(ring)
    shapely.prepare(polygon)
    rows = db.execute(JOIN, bounds((min(ys), min(xs), max(ys), max(xs)))).fetchall()
    if not rows:
        return []
    coords = np.array([(lon, lat) for _, lat, lon, _ in rows])
    inside = shapely.contains_xy(polygon, coords[:, 0], coords[:, 1])
    return sqlite_rows(row for row, keep in zip(rows, inside) if keep)


# ---- shapely's STRtree ------------------------------------------------------------------------------


class Ceiling:
    """Every point as a shapely point in an STRtree, and every point's values in a list."""

    def __init__(self, points):
        self.lat = np.array([p[0] for p in points])
        self.lon = np.array([p[1] for p in points])
        self.tree = shapely.STRtree(shapely.points(self.lon, self.lat))
        self.records = [(i, lat, lon, m) for i, (lat, lon, m) in enumerate(points)]
        self.bucket = np.array([p[2]["bucket"] for p in points])

    def take(self, idx):
        return fresh_rows(self.records, idx)

    def bbox(self, box, bucket=None):
        min_lat, min_lon, max_lat, max_lon = box
        idx = self.tree.query(shapely.box(min_lon, min_lat, max_lon, max_lat))
        if bucket is not None:
            idx = idx[self.bucket[idx] == bucket]
        return self.take(idx)

    def radius(self, clat, clon, r):
        min_lat, min_lon, max_lat, max_lon = circle_box(clat, clon, r)
        idx = self.tree.query(shapely.box(min_lon, min_lat, max_lon, max_lat))
        return self.take(idx[haversine_np(clat, clon, self.lat[idx], self.lon[idx]) <= r])

    def polygon(self, ring):
        return self.take(self.tree.query(shapely.Polygon(ring), predicate="contains_properly"))


# ---- the run -----------------------------------------------------------------------------------------


def by_id(rows):
    return sorted(rows, key=lambda r: r["id"])


def count_in_box(ceiling, box):
    min_lat, min_lon, max_lat, max_lon = box
    lat, lon = ceiling.lat, ceiling.lon
    return int(np.count_nonzero((lat >= min_lat) & (lat <= max_lat) & (lon >= min_lon) & (lon <= max_lon)))


def square(clat, clon, half):
    """A box about 2 * half degrees of latitude high and as many kilometres wide."""
    w = half / math.cos(clat * RAD)
    return clat - half, clon - w, clat + half, clon + w


def bisect_size(count, want, hi):
    """The size in (0, hi] at which count(size) first reaches `want` (count grows with size)."""
    lo = 0.0
    for _ in range(40):
        mid = (lo + hi) / 2
        lo, hi = (mid, hi) if count(mid) < want else (lo, mid)
    return hi


def dense_spots(ceiling):
    """Centres of the cells of a 0.1-degree grid, the most crowded first."""
    h, _, _ = np.histogram2d(ceiling.lat, ceiling.lon, bins=[1800, 3600], range=[[-90, 90], [-180, 180]])
    order = np.argsort(h.ravel(), kind="stable")[::-1]
    return [(-90 + 0.1 * (k // 3600) + 0.05, -180 + 0.1 * (k % 3600) + 0.05) for k in order[:400].tolist()]


def near_count(ceiling, clat, clon, r):
    box = circle_box(clat, clon, r)
    lat, lon = ceiling.lat, ceiling.lon
    sub = (lat >= box[0]) & (lat <= box[2]) & (lon >= box[1]) & (lon <= box[3])
    return int(np.count_nonzero(haversine_np(clat, clon, lat[sub], lon[sub]) <= r))


def clustered_shapes(ceiling):
    """Shapes placed on the data's crowds and sized to set row counts: a small box (about
    100 rows) and a medium one (about 10,000), a 1 km circle around a point with a few neighbours,
    the 50 km circle around a crowd closest to 7,700 rows, a polygon of about 1,000 rows."""
    spots = dense_spots(ceiling)
    clat, clon = spots[40]
    small = square(clat, clon, bisect_size(lambda h: count_in_box(ceiling, square(clat, clon, h)), 100, 1.0))
    clat, clon = spots[0]
    medium = square(clat, clon, bisect_size(lambda h: count_in_box(ceiling, square(clat, clon, h)), 10_000, 5.0))
    clat, clon = spots[100]
    lat, lon = ceiling.lat, ceiling.lon
    near = next(
        (lat[i], lon[i])
        for i in np.flatnonzero(np.abs(lat - clat) + np.abs(lon - clon) < 0.1).tolist()
        if 5 <= near_count(ceiling, lat[i], lon[i], 1000) <= 8
    )
    wide = min(spots[:200:5], key=lambda c: abs(near_count(ceiling, c[0], c[1], 50_000) - 7_700))
    clat, clon = spots[20]
    radii = [5.5, 3.0, 6.0, 4.0, 5.0, 2.5, 6.5, 3.5, 5.0, 4.5, 6.0, 3.0]

    def ring_of(scale):
        return irregular_polygon(clon, clat, [r * scale for r in radii])

    def in_ring(scale):
        polygon = shapely.Polygon(ring_of(scale))
        xs, ys = [x for x, _ in polygon.exterior.coords], [y for _, y in polygon.exterior.coords]
        box = (min(ys), min(xs), max(ys), max(xs))
        sub = (lat >= box[0]) & (lat <= box[2]) & (lon >= box[1]) & (lon <= box[3])
        return int(np.count_nonzero(shapely.contains_xy(polygon, lon[sub], lat[sub])))

    ring = ring_of(bisect_size(in_ring, 1_000, 1.0))
    return small, medium, near, wide, ring


def even_shapes(n, points):
    """The shapes on evenly spread points: point density is about n / 61200 a square degree."""
    side = lambda results: math.sqrt(results / (n / 61200))  # noqa: E731
    small = (10.0, 20.0, 10.0 + side(100), 20.0 + side(100))
    medium = (-20.0, 30.0, -20.0 + side(10_000), 30.0 + side(10_000))
    ring = irregular_polygon(-100.0, 40.0, [5.5, 3.0, 6.0, 4.0, 5.0, 2.5, 6.5, 3.5, 5.0, 4.5, 6.0, 3.0])
    return small, medium, points[n // 3][:2], (45.0, 7.0), ring


def ms(t):
    return f"{t * 1000:,.3f}"


def run(args, work):
    n = args.points
    path = os.path.join(work, "s.db")
    points = stored_points(n, path, args.data)
    s = sqlite_store(os.path.join(work, "s.sqlite"), points)
    ceiling = Ceiling(points)
    db = PyZurAD(path)
    db.query({"bucket": 0}, limit=1)  # builds the value index, as SQLite's tables are built
    small, medium, near, wide, ring = clustered_shapes(ceiling) if args.data == "clustered" else even_shapes(n, points)
    del points

    queries = [
        # name, orbisk, SQLite variants, ceiling
        ("small box", lambda: db.query_bbox(*small), [lambda: sqlite_bbox(s, small)], lambda: ceiling.bbox(small)),
        ("medium box", lambda: db.query_bbox(*medium), [lambda: sqlite_bbox(s, medium)], lambda: ceiling.bbox(medium)),
        (
            "radius 1 km around a point",
            lambda: db.query_radius(near[0], near[1], 1000),
            [lambda: sqlite_radius_sql(s, near[0], near[1], 1000), lambda: sqlite_radius_py(s, near[0], near[1], 1000)],
            lambda: ceiling.radius(near[0], near[1], 1000),
        ),
        (
            "radius 50 km",
            lambda: db.query_radius(wide[0], wide[1], 50_000),
            [
                lambda: sqlite_radius_sql(s, wide[0], wide[1], 50_000),
                lambda: sqlite_radius_py(s, wide[0], wide[1], 50_000),
            ],
            lambda: ceiling.radius(wide[0], wide[1], 50_000),
        ),
        (
            "12-vertex polygon",
            lambda: db.query_polygon(ring),
            [lambda: sqlite_polygon(s, ring)],
            lambda: ceiling.polygon(ring),
        ),
        (
            "small box, 1 % filter",
            lambda: db.query_bbox(*small, {"bucket": 42}),
            [lambda: sqlite_bbox(s, small, " AND json_extract(m.doc, '$.bucket') = :bucket", {"bucket": 42})],
            lambda: ceiling.bbox(small, 42),
        ),
    ]

    print(
        f"{'query (%d rounds), ms' % args.repeat:<28}{'rows':>8}{'orbisk':>9}{'p95':>9}{'sqlite':>9}{'p95':>9}"
        f"{'ceiling':>9}{'p95':>9}{'sqlite/orbisk':>15}{'orbisk/ceiling':>16}"
    )
    for name, ours, theirs, best in queries:
        want = by_id(ours())
        for f in theirs + [best]:
            assert by_id(f()) == want, name
        rounds = rounds_of([ours, best] + theirs, args.repeat)
        medians = [median_of(rounds, i) for i in range(2, 2 + len(theirs))]
        fastest = medians.index(min(medians)) + 2
        times = "".join(f"{ms(median_of(rounds, i)):>9}{ms(p95_of(rounds, i)):>9}" for i in (0, fastest, 1))
        print(
            f"{name:<28}{len(want):>8,}{times}{median_ratio(rounds, fastest, 0):>14.1f}x"
            f"{median_ratio(rounds, 0, 1):>15.1f}x"
            + ("" if len(theirs) == 1 else f"   (SQL test {ms(medians[0])}, Python test {ms(medians[1])})")
        )
    s.close()

    # What a row costs, all in (the grid, the exact test, the records' texts, the dicts), at 100,
    # 10,000 and every row; the ceiling's rows are fresh dicts built from values it keeps.
    globe = (-90.0, -180.0, 90.0, 180.0)
    print(f"{'cost a row, us':<28}{'rows':>8}{'orbisk':>9}{'p95':>9}{'ceiling':>9}{'p95':>9}")
    for name, box, repeat in (
        ("small box", small, args.repeat),
        ("medium box", medium, args.repeat),
        ("globe", globe, 3),
    ):
        rows = len(db.query_bbox(*box))
        rounds = rounds_of([lambda: db.query_bbox(*box), lambda: ceiling.bbox(box)], repeat)
        per_row = "".join(
            f"{median_of(rounds, i) * 1e6 / rows:>9.3f}{p95_of(rounds, i) * 1e6 / rows:>9.3f}" for i in (0, 1)
        )
        print(f"{name:<28}{rows:>8,}{per_row}")


if __name__ == "__main__":
    main_of(run)
