"""Shared pieces of the benchmarks: generated data and the SQLite peer."""

import argparse
import bisect
import itertools
import json
import math
import os
import random
import shutil
import sqlite3
import statistics
import tempfile
import time

EARTH_RADIUS = 6371000.0
RAD = math.pi / 180


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


def make_points(n, seed=7):
    """n points spread over the globe, each with about 100 bytes of metadata."""
    rng = random.Random(seed)
    categories = ["cafe", "museum", "park", "station", "library", "market", "school", "harbour"]
    points = []
    for i in range(n):
        meta = {
            "name": f"place-{i:08d}",
            "category": categories[i % len(categories)],
            "rating": round(rng.uniform(0, 5), 2),
            "open": rng.random() < 0.7,
            "visits": rng.randrange(1_000_000),
            "tags": ["t%d" % rng.randrange(50), "t%d" % rng.randrange(50)],
        }
        points.append((rng.uniform(-85, 85), rng.uniform(-180, 180), meta))
    return points


# Rough boxes over the land masses (min_lat, max_lat, min_lon, max_lon).
LAND = [
    (30, 50, -122, -75),
    (50, 62, -125, -65),
    (15, 30, -110, -90),
    (-35, -5, -70, -40),
    (-5, 8, -78, -50),
    (38, 60, -8, 30),
    (-30, -5, 15, 40),
    (-5, 30, -10, 40),
    (15, 38, 35, 60),
    (40, 65, 30, 140),
    (10, 35, 70, 120),
    (-38, -15, 115, 152),
]
KINDS = ["town"] * 30 + ["village"] * 35 + ["hamlet"] * 20 + ["station"] * 10 + ["city"] * 5
COUNTRIES = ["DE", "FR", "US", "BR", "IN", "CN", "NG", "AU", "RU", "MX", "ZA", "JP"]


def make_clustered_points(n, seed=11, clusters=50, share=0.7):
    """n points as people put them on a map: `share` of them in `clusters` Gaussian clusters of
    very different sizes (cities: spreads of about 2 to 30 km, sizes falling off like a city size
    law), the rest spread evenly over rough boxes of land. Each point has about 100 bytes of
    metadata: a unique name, a kind (30 % towns), a population spread evenly in its logarithm
    between 10 and 10,000,000, a key whose every value 1 % of the points hold ("bucket"), and a
    few more. The points come in random order, as a real import would interleave places."""
    rng = random.Random(seed)
    areas = list(itertools.accumulate((b - a) * (d - c) * math.cos(math.radians((a + b) / 2)) for a, b, c, d in LAND))

    def on_land():
        a, b, c, d = LAND[bisect.bisect(areas, rng.random() * areas[-1])]
        return rng.uniform(a, b), rng.uniform(c, d)

    centres = [on_land() for _ in range(clusters)]
    spreads = [math.exp(rng.uniform(math.log(0.02), math.log(0.3))) for _ in range(clusters)]
    weights = list(itertools.accumulate(1 / (k + 1) ** 0.8 for k in range(clusters)))
    located = []
    for _ in range(n):
        if rng.random() < share:
            k = bisect.bisect(weights, rng.random() * weights[-1])
            (clat, clon), s = centres[k], spreads[k]
            lat = min(max(rng.gauss(clat, s), -90.0), 90.0)
            lon = (rng.gauss(clon, s / max(math.cos(math.radians(clat)), 0.1)) + 180.0) % 360.0 - 180.0
            located.append((lat, lon))
        else:
            located.append(on_land())
    rng.shuffle(located)
    points = []
    for i, (lat, lon) in enumerate(located):
        meta = {
            "name": f"P{i:07d}",
            "kind": rng.choice(KINDS),
            "pop": int(10 ** rng.uniform(1, 7)),
            "bucket": rng.randrange(100),
            "elev": round(rng.uniform(-20, 3000), 1),
            "cc": rng.choice(COUNTRIES),
            "open": rng.random() < 0.8,
        }
        points.append((lat, lon, meta))
    return points


def fresh_rows(records, idx):
    """New row dicts (with a copy of the metadata dict) of the records at the indexes `idx`: what
    a store must hand out, dicts its caller may change."""
    return [
        {"id": i, "latitude": lat, "longitude": lon, "metadata": m.copy()}
        for i, lat, lon, m in map(records.__getitem__, idx.tolist())
    ]


def run_in_work_dir(directory, run):
    """run(work) in a fresh directory below `directory` (None: the temporary one), removed after."""
    work = tempfile.mkdtemp(prefix="orbisk-bench-", dir=directory)
    try:
        run(work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def timed(f):
    t = time.perf_counter()
    r = f()
    return time.perf_counter() - t, r


def median_time(f, repeat):
    """Median time of `repeat` calls of f, and the last call's result."""
    times, result = [], None
    for _ in range(repeat):
        t, result = timed(f)
        times.append(t)
    return statistics.median(times), result


def batch_size(f):
    """How many calls of f make a batch of about 2 ms (at most 1000)."""
    return max(1, min(1000, int(0.002 / max(timed(f)[0], 1e-7))))


def batch_time(f, k):
    """Time of one call, averaged over a batch of k."""
    t = time.perf_counter()
    for _ in range(k):
        f()
    return (time.perf_counter() - t) / k


def rounds_of(fs, repeat):
    """The calls in turn, round after round, quick ones in batches: one list of times a round.
    Ratios taken round by round hold while the shared machine's speed drifts."""
    calls = [(f, batch_size(f)) for f in fs]
    return [[batch_time(f, k) for f, k in calls] for _ in range(repeat)]


def median_of(rounds, i):
    """Median time of the i-th call over the rounds."""
    return statistics.median(r[i] for r in rounds)


def p95_of(rounds, i):
    """95th percentile of the i-th call's times over the rounds (the nearest rank)."""
    times = sorted(r[i] for r in rounds)
    return times[min(len(times) - 1, math.ceil(0.95 * len(times)) - 1)]


def median_ratio(rounds, i, j):
    """Median over the rounds of time i / time j."""
    return statistics.median(r[i] / r[j] for r in rounds)


def main_of(run):
    """Command-line entry of a query benchmark: run(args, work) with --points, --repeat, --data
    (clustered: make_clustered_points; even: make_points) and --dir."""
    ap = argparse.ArgumentParser()
    ap.add_argument("--points", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=20)
    ap.add_argument("--data", choices=("clustered", "even"), default="clustered")
    ap.add_argument("--dir", default=None)
    args = ap.parse_args()
    run_in_work_dir(args.dir, lambda work: run(args, work))


class SqlitePeer:
    """An R*Tree virtual table plus a table of JSON metadata, in WAL mode."""

    def __init__(self, path, synchronous="FULL"):
        for suffix in ("", "-wal", "-shm"):
            if os.path.exists(path + suffix):
                os.remove(path + suffix)
        self.db = sqlite3.connect(path, isolation_level=None)
        self.db.execute("PRAGMA journal_mode=WAL")
        self.db.execute(f"PRAGMA synchronous={synchronous}")
        self.db.execute("CREATE VIRTUAL TABLE IF NOT EXISTS rt USING rtree(id, min_lat, max_lat, min_lon, max_lon)")
        self.db.execute("CREATE TABLE IF NOT EXISTS meta(id INTEGER PRIMARY KEY, doc TEXT)")
        self.next_id = 0

    def bulk(self, points):
        start = self.next_id
        rows = [(start + i, lat, lat, lon, lon) for i, (lat, lon, _) in enumerate(points)]
        docs = [(start + i, json.dumps(m, separators=(",", ":"))) for i, (_, _, m) in enumerate(points)]
        self.db.execute("BEGIN")
        self.db.executemany("INSERT INTO rt VALUES (?,?,?,?,?)", rows)
        self.db.executemany("INSERT INTO meta VALUES (?,?)", docs)
        self.db.execute("COMMIT")
        self.next_id += len(points)

    def insert(self, lat, lon, meta):
        i = self.next_id
        self.db.execute("BEGIN")
        self.db.execute("INSERT INTO rt VALUES (?,?,?,?,?)", (i, lat, lat, lon, lon))
        self.db.execute("INSERT INTO meta VALUES (?,?)", (i, json.dumps(meta, separators=(",", ":"))))
        self.db.execute("COMMIT")
        self.next_id += 1

    def close(self):
        self.db.close()
