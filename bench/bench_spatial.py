"""Spatial queries of orbisk against SQLite's R*Tree, same data, same run, with shapely's STRtree
over the same points in memory as the ceiling.

    python3 bench/bench_spatial.py [--points 1000000] [--repeat 5] [--dir DIR]

All three return the same rows as the same dicts ({"id", "latitude", "longitude", "metadata"}),
compared sorted by id (orbisk's order is not defined). SQLite keeps an R*Tree of the points
(32-bit bounds, rounded outwards) joined to a table of exact coordinates and JSON metadata; the
exact test runs in SQL, or in Python where that is faster (both are timed for the radius, the
polygon's is shapely's vectorised test). The STRtree hands back dicts built before the timing, so
it is the ceiling for a store that must build its rows. Requires shapely and numpy (bench only).

Prints the median time of each system, and the median of the ratios taken round by round (the
systems run in turn); "examined" is the number of points the grid lists (or the index answers)
per result row.
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
from common import main_of, median_of, median_ratio, rounds_of  # noqa: E402
from orbisk import PyZurAD  # noqa: E402

EARTH_RADIUS = 6371000.0
RAD = math.pi / 180


def irregular_polygon(clon, clat, radii):
    """A ring of (longitude, latitude) vertices at even angles and the given radii (degrees)."""
    n = len(radii)
    return [
        (clon + r * math.cos(2 * math.pi * k / n), clat + r * math.sin(2 * math.pi * k / n))
        for k, r in enumerate(radii)
    ]


def circle_box(clat, clon, r):
    """A box that holds the whole circle (for circles clear of the poles and the antimeridian)."""
    theta = r / EARTH_RADIUS * (1 + 1e-8) + 1e-11
    dlat = theta / RAD
    dlon = math.asin(math.sin(theta) / math.cos(clat * RAD)) / RAD + 1e-9
    assert abs(clat) + dlat < 89 and abs(clon) + dlon < 180
    return clat - dlat, clon - dlon, clat + dlat, clon + dlon


def haversine(clat, clon, lat, lon):
    """The store's distance test."""
    h1 = math.sin((lat - clat) * RAD * 0.5)
    h2 = math.sin((lon - clon) * RAD * 0.5)
    a = min(max(math.cos(lat * RAD) * math.cos(clat * RAD) * h2 * h2 + h1 * h1, 0.0), 1.0)
    return 2 * math.atan2(math.sqrt(a), math.sqrt(1 - a)) * EARTH_RADIUS


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
    """Every point as a shapely point in an STRtree, and every row as a dict, built beforehand."""

    def __init__(self, points):
        self.lat = np.array([p[0] for p in points])
        self.lon = np.array([p[1] for p in points])
        self.tree = shapely.STRtree(shapely.points(self.lon, self.lat))
        self.rows = [
            {"id": i, "latitude": lat, "longitude": lon, "metadata": m} for i, (lat, lon, m) in enumerate(points)
        ]
        self.bucket = np.array([p[2]["bucket"] for p in points])

    def take(self, idx):
        rows = self.rows
        return [rows[i] for i in idx.tolist()]

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


def grid_candidates(lat, lon, box):
    """How many points the grid lists for a box: those in the cells it overlaps, with the cell
    size a build over these points gets (no box here crosses the antimeridian)."""
    extent = max(lat.max() - lat.min(), lon.max() - lon.min())
    cell = min(max(extent / max(math.sqrt(max(len(lat) / 256, 1.0)), 1.0), 0.001), 10.0)
    rows, cols = np.floor((lat + 90) / cell), np.floor((lon + 180) / cell)
    min_lat, min_lon, max_lat, max_lon = box
    return int(
        np.count_nonzero(
            (rows >= math.floor((min_lat + 90) / cell))
            & (rows <= math.floor((max_lat + 90) / cell))
            & (cols >= math.floor((min_lon + 180) / cell))
            & (cols <= math.floor((max_lon + 180) / cell))
        )
    )


def run(args, work):
    n = args.points
    path = os.path.join(work, "s.db")
    points = stored_points(n, path)
    s = sqlite_store(os.path.join(work, "s.sqlite"), points)
    ceiling = Ceiling(points)
    db = PyZurAD(path)
    db.query({"bucket": 0}, limit=1)  # builds the value index, as SQLite's tables are built

    # Point density is even in degrees: about n / 61200 points a square degree.
    side = lambda results: math.sqrt(results / (n / 61200))  # noqa: E731
    small = (10.0, 20.0, 10.0 + side(100), 20.0 + side(100))
    medium = (-20.0, 30.0, -20.0 + side(10_000), 30.0 + side(10_000))
    near = points[n // 3]
    ring = irregular_polygon(-100.0, 40.0, [5.5, 3.0, 6.0, 4.0, 5.0, 2.5, 6.5, 3.5, 5.0, 4.5, 6.0, 3.0])
    xs, ys = [x for x, _ in ring], [y for _, y in ring]
    ring_box = (min(ys), min(xs), max(ys), max(xs))
    queries = [
        # name, orbisk, SQLite variants, ceiling, the box the grid is asked for
        (
            "small box (~100)",
            lambda: db.query_bbox(*small),
            [lambda: sqlite_bbox(s, small)],
            lambda: ceiling.bbox(small),
            small,
        ),
        (
            "medium box (~10,000)",
            lambda: db.query_bbox(*medium),
            [lambda: sqlite_bbox(s, medium)],
            lambda: ceiling.bbox(medium),
            medium,
        ),
        (
            "radius 1 km around a point",
            lambda: db.query_radius(near[0], near[1], 1000),
            [lambda: sqlite_radius_sql(s, near[0], near[1], 1000), lambda: sqlite_radius_py(s, near[0], near[1], 1000)],
            lambda: ceiling.radius(near[0], near[1], 1000),
            circle_box(near[0], near[1], 1000),
        ),
        (
            "radius 50 km",
            lambda: db.query_radius(45.0, 7.0, 50_000),
            [lambda: sqlite_radius_sql(s, 45.0, 7.0, 50_000), lambda: sqlite_radius_py(s, 45.0, 7.0, 50_000)],
            lambda: ceiling.radius(45.0, 7.0, 50_000),
            circle_box(45.0, 7.0, 50_000),
        ),
        (
            "12-vertex polygon (~1,000)",
            lambda: db.query_polygon(ring),
            [lambda: sqlite_polygon(s, ring)],
            lambda: ceiling.polygon(ring),
            ring_box,
        ),
        (
            "small box, filter on the index route",
            lambda: db.query_bbox(*small, {"bucket": 42}),
            [lambda: sqlite_bbox(s, small, " AND json_extract(m.doc, '$.bucket') = :bucket", {"bucket": 42})],
            lambda: ceiling.bbox(small, 42),
            None,
        ),
    ]

    print(
        f"{'query (median of %d)' % args.repeat:<38}{'rows':>7}{'examined':>10}{'orbisk':>10}{'sqlite':>10}"
        f"{'ceiling':>10}   ms {'sqlite/orbisk':>14}{'orbisk/ceiling':>15}"
    )
    for name, ours, theirs, best, grid_box in queries:
        want = by_id(ours())
        for f in theirs + [best]:
            assert by_id(f()) == want, name
        rounds = rounds_of([ours, best] + theirs, args.repeat)
        t_ours, t_best = median_of(rounds, 0), median_of(rounds, 1)
        t_variants = [median_of(rounds, i) for i in range(2, 2 + len(theirs))]
        fastest = t_variants.index(min(t_variants)) + 2
        vs_sqlite = median_ratio(rounds, fastest, 0)
        vs_ceiling = median_ratio(rounds, 0, 1)
        examined = grid_candidates(ceiling.lat, ceiling.lon, grid_box) if grid_box else n // 100
        print(
            f"{name:<38}{len(want):>7,}{examined / max(len(want), 1):>10.1f}{t_ours * 1000:>10.3f}"
            f"{min(t_variants) * 1000:>10.3f}{t_best * 1000:>10.3f}      {vs_sqlite:>10.1f}x{vs_ceiling:>14.1f}x"
            + (
                ""
                if len(theirs) == 1
                else f"   (SQL test {t_variants[0] * 1000:.3f}, Python test {t_variants[1] * 1000:.3f})"
            )
        )
    s.close()


if __name__ == "__main__":
    main_of(run)
