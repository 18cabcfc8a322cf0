"""Nearest neighbours, k = 10, on clustered points: orbisk against rtree's nearest, shapely's
STRtree query_nearest and SQLite's R*Tree (a box grown until it holds k points within the distance
it guarantees, then ORDER BY distance), the same points, the systems in turn in one run.

    python3 bench/bench_nearest.py [--points 1000000] [--repeat 5] [--dir DIR] [--queries 200]

Requirements beyond orbisk: pip install rtree shapely numpy pyarrow (rtree and shapely are the
planar peers; pyarrow loads the store). orbisk is timed through the companion module's
ColumnarStore.nearest, as installed (scripts/install.sh, or pip install .: the release build). Its
rows are the store's rows with "distance_m", built from the stored text. When the test-only probe
module is at hand (scripts/test.sh builds it in build/tests/probe, or set ORBISK_PROBE_DIR), the
bench also prints how much of the grid the search read.

The points: 70 % in 50 Gaussian clusters (sigma 0.02 to 1 degree) around places on land, 30 %
spread evenly over rough boxes of the continents, each with about 100 bytes of metadata. The query
centres follow the same mix. rtree and the STRtree index (longitude, latitude) in the plane, so
their answers differ from the great-circle ones and only times are compared; both hand back row
dicts built before the timing. STRtree.query_nearest has no k: it returns the one nearest point
(and its ties), so it is compared with orbisk's k = 1 as well. SQLite computes the store's
haversine in SQL; its answers are checked against orbisk's, ties by id included.

Prints the median time per query of each system, the medians of the ratios taken round by round,
and how much of the grid orbisk's search read (candidates per query, rounds).
"""

import argparse
import json
import math
import os
import random
import sqlite3
import sys
import time

# numpy's BLAS threads would spin beside the timed calls on a small machine.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
import pyarrow as pa  # noqa: E402
import shapely  # noqa: E402
from rtree import index as rtree_index  # noqa: E402

from orbisk_columnar import ColumnarStore  # noqa: E402

sys.path.insert(0, os.path.dirname(__file__))
from common import median_of, median_ratio, rounds_of, run_in_work_dir  # noqa: E402

EARTH_RADIUS = 6371000.0
RAD = 0.017453292519943295

# (min_lat, min_lon, max_lat, max_lon): rough boxes of the land.
LAND = [
    (15.0, -125.0, 60.0, -65.0),  # North America
    (-40.0, -75.0, 10.0, -40.0),  # South America
    (36.0, -10.0, 60.0, 40.0),  # Europe
    (-30.0, -15.0, 30.0, 45.0),  # Africa
    (10.0, 45.0, 55.0, 140.0),  # Asia
    (-35.0, 115.0, -15.0, 150.0),  # Australia
    (55.0, 30.0, 70.0, 170.0),  # Siberia
]
CATEGORIES = ["cafe", "museum", "park", "station", "library", "market", "school", "harbour"]


def probe_module():
    """The test-only probe module, for the search's statistics; None when it is not built."""
    directory = os.environ.get("ORBISK_PROBE_DIR") or os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "build", "tests", "probe"
    )
    sys.path.insert(0, directory)
    try:
        import _orbisk_probe
    except ImportError:
        return None
    return _orbisk_probe


def on_land(rng):
    areas = [(b[2] - b[0]) * (b[3] - b[1]) * math.cos((b[0] + b[2]) / 2 * RAD) for b in LAND]
    min_lat, min_lon, max_lat, max_lon = rng.choices(LAND, areas)[0]
    return rng.uniform(min_lat, max_lat), rng.uniform(min_lon, max_lon)


def clustered(n, rng, clusters):
    """(lat, lon) of n points: 70 % around the clusters, 30 % over the land."""
    out = []
    for _ in range(n):
        if rng.random() < 0.7:
            clat, clon, sigma = rng.choice(clusters)
            lat = min(max(rng.gauss(clat, sigma), -90.0), 90.0)
            lon = (rng.gauss(clon, sigma) + 180.0) % 360.0 - 180.0
            out.append((lat, lon))
        else:
            out.append(on_land(rng))
    return out


def make_points(n, seed=19):
    rng = random.Random(seed)
    clusters = [(*on_land(rng), rng.uniform(0.02, 1.0)) for _ in range(50)]
    points = []
    for i, (lat, lon) in enumerate(clustered(n, rng, clusters)):
        meta = {
            "name": f"place-{i:08d}",
            "category": CATEGORIES[i % len(CATEGORIES)],
            "rating": round(rng.uniform(0, 5), 2),
            "open": rng.random() < 0.7,
            "visits": rng.randrange(1_000_000),
        }
        points.append((lat, lon, meta))
    return points, rng, clusters


# ---- SQLite -----------------------------------------------------------------------------------------

DISTANCE = (
    "2.0 * atan2(sqrt(min(max(cos(m.lat * :rad) * :cos_clat * sin((m.lon - :clon) * :rad * 0.5)"
    " * sin((m.lon - :clon) * :rad * 0.5) + sin((m.lat - :clat) * :rad * 0.5) * sin((m.lat - :clat) * :rad * 0.5),"
    " 0.0), 1.0)), sqrt(1.0 - min(max(cos(m.lat * :rad) * :cos_clat * sin((m.lon - :clon) * :rad * 0.5)"
    " * sin((m.lon - :clon) * :rad * 0.5) + sin((m.lat - :clat) * :rad * 0.5) * sin((m.lat - :clat) * :rad * 0.5),"
    " 0.0), 1.0))) * 6371000.0"
)


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


def lon_ranges(clat, clon, theta):
    """Longitude ranges of a box holding the circle of angular radius theta (as the store's)."""
    if theta >= math.pi / 2 or abs(clat * RAD) + theta >= math.pi / 2 - 1e-6:
        return [(-180.0, 180.0)]
    x = math.sin(theta) / math.cos(clat * RAD)
    if x >= 1.0 - 1e-9:
        return [(-180.0, 180.0)]
    dlon = math.asin(x) / RAD + 1e-9
    lo, hi = clon - dlon, clon + dlon
    if lo < -180.0:
        return [(lo + 360.0, 180.0), (-180.0, hi)]
    if hi > 180.0:
        return [(lo, 180.0), (-180.0, hi - 360.0)]
    return [(lo, hi)]


def sqlite_nearest(db, clat, clon, k, where=""):
    """The k nearest by the store's haversine, ties by id: boxes grown fourfold in area until the
    circle they hold has k points, or holds the globe."""
    params = {"clat": clat, "clon": clon, "rad": RAD, "cos_clat": math.cos(clat * RAD), "k": k}
    r = 2000.0
    while True:
        theta = r / EARTH_RADIUS * (1 + 1e-8) + 1e-11
        dlat = theta / RAD
        ranges = lon_ranges(clat, clon, theta)
        whole = theta >= math.pi / 2
        parts = []
        for j, (lo, hi) in enumerate(ranges):
            params.update({f"lo{j}": lo, f"hi{j}": hi})
            parts.append(
                f"SELECT m.id, m.lat, m.lon, m.doc, {DISTANCE} AS d FROM rt JOIN meta m ON m.id = rt.id"
                f" WHERE rt.max_lat >= :min_lat AND rt.min_lat <= :max_lat AND rt.max_lon >= :lo{j}"
                f" AND rt.min_lon <= :hi{j}{where}"
            )
        params.update({"min_lat": clat - dlat, "max_lat": clat + dlat, "r": math.inf if whole else r})
        sql = f"SELECT * FROM ({' UNION ALL '.join(parts)}) WHERE d <= :r ORDER BY d, id LIMIT :k"
        rows = db.execute(sql, params).fetchall()
        if len(rows) == k or whole:
            return [
                {"id": i, "latitude": lat, "longitude": lon, "metadata": json.loads(doc), "distance_m": d}
                for i, lat, lon, doc, d in rows
            ]
        r *= 2.0


# ---- the run -----------------------------------------------------------------------------------------


def run(args, work):
    n = args.points
    t = time.perf_counter()
    points, rng, clusters = make_points(n)
    centres = clustered(args.queries, rng, clusters)
    print(f"{n:,} points, {len(centres)} query centres (made in {time.perf_counter() - t:.1f} s)")

    t = time.perf_counter()
    path = os.path.join(work, "nearest.db")
    store = ColumnarStore(path, capacity=n)
    columns = {"latitude": [p[0] for p in points], "longitude": [p[1] for p in points]}
    for key in points[0][2]:
        columns[key] = [p[2][key] for p in points]
    store.append(pa.table(columns))
    del columns
    store.rows(bbox=(0, 0, 0, 0))  # the grid is rebuilt for the store's size by the first query
    print(f"orbisk store built in {time.perf_counter() - t:.1f} s")
    t = time.perf_counter()
    s = sqlite_store(os.path.join(work, "nearest.sqlite"), points)
    print(f"SQLite store built in {time.perf_counter() - t:.1f} s")
    t = time.perf_counter()
    rows = [{"id": i, "latitude": lat, "longitude": lon, "metadata": m} for i, (lat, lon, m) in enumerate(points)]
    rt = rtree_index.Index(((i, (lon, lat, lon, lat), None) for i, (lat, lon, _) in enumerate(points)))
    tree = shapely.STRtree(shapely.points(np.array([p[1] for p in points]), np.array([p[0] for p in points])))
    targets = [shapely.Point(lon, lat) for lat, lon in centres]
    print(f"rtree and STRtree built in {time.perf_counter() - t:.1f} s")

    cafe = {"category": "cafe", "open": True}
    cafe_sql = " AND json_extract(m.doc, '$.category') = 'cafe' AND json_extract(m.doc, '$.open') = 1"
    # SQLite's answers are orbisk's, ties by id included.
    for lat, lon in centres[:50]:
        assert sqlite_nearest(s, lat, lon, 10) == store.nearest(lat, lon, 10)
        assert sqlite_nearest(s, lat, lon, 10, cafe_sql) == store.nearest(lat, lon, 10, cafe)

    def each(f):
        return lambda: [f(lat, lon, i) for i, (lat, lon) in enumerate(centres)]

    systems = {
        "orbisk k=10": each(lambda lat, lon, i: store.nearest(lat, lon, 10)),
        "rtree k=10": each(lambda lat, lon, i: [rows[j] for j in rt.nearest((lon, lat, lon, lat), 10)]),
        "sqlite k=10": each(lambda lat, lon, i: sqlite_nearest(s, lat, lon, 10)),
        "orbisk k=1": each(lambda lat, lon, i: store.nearest(lat, lon, 1)),
        "STRtree k=1": each(lambda lat, lon, i: [rows[j] for j in tree.query_nearest(targets[i]).tolist()]),
        "orbisk k=10 cafe+open": each(lambda lat, lon, i: store.nearest(lat, lon, 10, cafe)),
        "sqlite k=10 cafe+open": each(lambda lat, lon, i: sqlite_nearest(s, lat, lon, 10, cafe_sql)),
    }
    names = list(systems)
    rounds = rounds_of(list(systems.values()), args.repeat)
    q = len(centres)
    print(f"\nmedian time per query over {args.repeat} rounds (load average {os.getloadavg()[0]:.1f})")
    for i, name in enumerate(names):
        print(f"  {name:<24}{median_of(rounds, i) / q * 1e6:>10.1f} us")

    def ratio(a, b):
        return median_ratio(rounds, names.index(a), names.index(b))

    print("\nratios (median of the rounds' ratios)")
    print(f"  orbisk / rtree, k=10        {ratio('orbisk k=10', 'rtree k=10'):>7.2f}   (target at most 2)")
    print(f"  orbisk / STRtree, k=1       {ratio('orbisk k=1', 'STRtree k=1'):>7.2f}   (target at most 2)")
    print(f"  orbisk k=10 / STRtree k=1   {ratio('orbisk k=10', 'STRtree k=1'):>7.2f}")
    print(f"  SQLite / orbisk, k=10       {ratio('sqlite k=10', 'orbisk k=10'):>7.2f}   (target at least 10)")
    print(f"  SQLite / orbisk, cafe+open  {ratio('sqlite k=10 cafe+open', 'orbisk k=10 cafe+open'):>7.2f}")

    probe = probe_module()
    if probe is None:
        print("\n(the probe module is not built: no statistics of the search)")
        s.close()
        return
    db = probe.PyZurAD(path)
    print("\nwhat orbisk's search read per query (mean)")
    for label, flt in (("k=10", None), ("k=1", None), ("k=10 cafe+open", cafe)):
        k = 1 if label == "k=1" else 10
        stats = [probe.nearest_stats(db, lat, lon, k, flt) for lat, lon in centres]
        examined = sum(st[2] for st in stats) / q
        rounds_mean = sum(st[1] for st in stats) / q
        index_share = sum(st[0] for st in stats) / q
        print(f"  {label:<16}{examined:>10,.0f} candidates, {rounds_mean:.2f} rounds, index route {index_share:.0%}")
    s.close()


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--points", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--queries", type=int, default=200)
    ap.add_argument("--dir", default=None)
    args = ap.parse_args()
    run_in_work_dir(args.dir, lambda work: run(args, work))
