"""How orbisk's costs grow with the store, against SQLite on the same data in the same run.

    python3 bench/bench_scale.py [--sizes 1000000,10000000,100000000] [--repeat 7] [--dir DIR] [--keep]
                                 [--sqlite-up-to N]

For each size: clustered points (cities of very different sizes, a Gaussian spread of a few km
around each centre) with four metadata keys: "name" (unique, "P<id>"), "kind" (10 values),
"city" (2000 values) and "pop" (an integer). Both systems are loaded batch by batch from the
same generated data; SQLite keeps an R*Tree of the points and a table of exact coordinates and
JSON text, and gets an index on json_extract(doc, '$.name'). It is loaded with 1 GB of page cache
and its R*Tree rows in a rough spatial order within each batch (both count in its load time).

Measured for each size (then printed as growth from each size to the next):
  - load: the insert calls only (generation excluded), then a checkpoint (flush / WAL
    checkpoint);
  - open of the checkpointed store (which the checkpoint has given its open cache) with a warm
    page cache, in a fresh process: PyZurAD(path);
    for SQLite connect plus one indexed read (orbisk's open, index builds and memory, SQLite's
    open and index build, and the queries each run in a process of their own);
  - the first query that builds each metadata index (name, kind, city, then the numeric index
    of "pop"), and SQLite's CREATE INDEX on the name;
  - a lookup by the unique name, a small box (0.02 degrees) and a 1 km radius in a city, all
    returning the same rows as the same dicts; medians of rounds in which the two run in turn,
    and the median of the rounds' ratios (above 1: orbisk is faster);
  - resident memory beyond the page cache of the mapped files (RssAnon of /proc/self/status),
    per point, after the open and after each index is built, over the fresh process's own.

With --sqlite-up-to N, larger sizes are loaded and measured with orbisk alone (SQLite's load of
10,000,000 points takes 8.5 minutes here, and grows faster than the points). --add-sqlite then
loads SQLite's store into such a kept size, resumably (its time is the sum of its batches'), after
which the size is measured against SQLite as any other.
A size is skipped, with the reason, when the disk (a quarter more than the estimated bytes of both stores)
does not allow it. With --keep the stores stay in DIR/orbisk-scale-N, and a later run measures
them again without loading (the load figures are the first run's).
"""

import argparse
import json
import math
import os
import random
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from common import RAD, circle_box, haversine, median_of, median_ratio, rounds_of, timed  # noqa: E402
from orbisk import PyZurAD  # noqa: E402

CITIES = 2000
KINDS = ["cafe", "museum", "park", "station", "library", "market", "school", "harbour", "hotel", "shop"]
BATCH = 200_000
# Bytes a point takes on disk in the two stores together (orbisk about 90, SQLite about 160;
# measured at 10,000,000 points: 257), and the share of free space kept beyond that.
DISK_PER_POINT = 260
DISK_MARGIN = 1.25
ORBISK_DISK_PER_POINT = 100


# ---- the data ------------------------------------------------------------------------------------


def cities(seed=11):
    """Centres, spreads (km) and shares of the points: a few large cities, many small ones."""
    rng = np.random.default_rng(seed)
    lat = rng.uniform(-55, 65, CITIES)
    lon = rng.uniform(-179, 179, CITIES)
    sigma = rng.uniform(2, 15, CITIES)
    share = 1.0 / np.arange(1, CITIES + 1) ** 0.8
    return lat, lon, sigma, share / share.sum()


def batches(n, seed=7, start=0):
    """(first id, [(lat, lon, metadata)]) in batches of BATCH points; those of ids below `start`
    are drawn (the data stays the same) but not built."""
    clat, clon, sigma, share = cities()
    rng = np.random.default_rng(seed)
    for first in range(0, n, BATCH):
        k = min(BATCH, n - first)
        c = rng.choice(CITIES, size=k, p=share)
        dy, dx = rng.normal(0, 1, k) * sigma[c], rng.normal(0, 1, k) * sigma[c]
        lat = np.clip(clat[c] + dy / 111.32, -89.9, 89.9)
        lon = clon[c] + dx / (111.32 * np.cos(lat * RAD))
        lon = (lon + 180) % 360 - 180
        kind = rng.integers(0, len(KINDS), k)
        pop = rng.integers(0, 100_000, k)
        if first + k <= start:
            continue
        points = [
            (la, lo, {"name": f"P{first + i}", "kind": KINDS[kd], "city": f"city-{ci:04d}", "pop": po})
            for i, (la, lo, kd, ci, po) in enumerate(
                zip(lat.tolist(), lon.tolist(), kind.tolist(), c.tolist(), pop.tolist())
            )
        ]
        yield first, points


def probes(n, count=200, seed=3):
    """Names to look up (many, so that each lookup finds its rows out of the processor's caches,
    as random lookups in a large store do), small boxes and radius centres in cities of every size."""
    clat, clon, sigma, _ = cities()
    rng = random.Random(seed)
    names = [f"P{rng.randrange(n)}" for _ in range(100 * count)]
    picks = [rng.randrange(20, CITIES // 2) for _ in range(count)]
    boxes = []
    centres = []
    for c in picks:
        la = clat[c] + rng.gauss(0, sigma[c] / 3) / 111.32
        lo = clon[c] + rng.gauss(0, sigma[c] / 3) / (111.32 * math.cos(la * RAD))
        boxes.append((la - 0.01, lo - 0.01, la + 0.01, lo + 0.01))
        centres.append((la, lo))
    return names, boxes, centres


# ---- SQLite --------------------------------------------------------------------------------------


def sqlite_open(path):
    db = sqlite3.connect(path, isolation_level=None)
    db.execute("PRAGMA journal_mode=WAL")
    db.execute("PRAGMA synchronous=NORMAL")
    return db


def sqlite_create(path):
    db = sqlite_open(path)
    db.execute("PRAGMA cache_size=-1000000")  # 1 GB of page cache for the load
    db.execute("CREATE VIRTUAL TABLE rt USING rtree(id, min_lat, max_lat, min_lon, max_lon)")
    db.execute("CREATE TABLE meta(id INTEGER PRIMARY KEY, lat REAL, lon REAL, doc TEXT)")
    return db


def sqlite_load(db, first, points):
    """One batch in one transaction; the R*Tree rows in a rough spatial order (bands of 0.1 degree
    of latitude, then longitude), which at 3 million points loads it a third faster."""
    rows = sorted(
        ((first + i, la, la, lo, lo) for i, (la, lo, _) in enumerate(points)), key=lambda r: (int(r[1] * 10), r[3])
    )
    db.execute("BEGIN")
    db.executemany("INSERT INTO rt VALUES (?,?,?,?,?)", rows)
    db.executemany(
        "INSERT INTO meta VALUES (?,?,?,?)",
        ((first + i, la, lo, json.dumps(m, separators=(",", ":"))) for i, (la, lo, m) in enumerate(points)),
    )
    db.execute("COMMIT")


JOIN = (
    "SELECT m.id, m.lat, m.lon, m.doc FROM rt JOIN meta m ON m.id = rt.id WHERE rt.max_lat >= ? "
    "AND rt.min_lat <= ? AND rt.max_lon >= ? AND rt.min_lon <= ?"
)


def sqlite_rows(cursor, keep=None):
    return [
        {"id": i, "latitude": la, "longitude": lo, "metadata": json.loads(doc)}
        for i, la, lo, doc in cursor
        if keep is None or keep(la, lo)
    ]


def sqlite_name(db, name):
    sql = "SELECT id, lat, lon, doc FROM meta WHERE json_extract(doc, '$.name') = ?"
    return sqlite_rows(db.execute(sql, (name,)))


def sqlite_bbox(db, box):
    min_lat, min_lon, max_lat, max_lon = box
    sql = JOIN + " AND m.lat BETWEEN ? AND ? AND m.lon BETWEEN ? AND ?"
    return sqlite_rows(db.execute(sql, (min_lat, max_lat, min_lon, max_lon) * 2))


def sqlite_radius(db, clat, clon, r):
    min_lat, min_lon, max_lat, max_lon = circle_box(clat, clon, r)
    cursor = db.execute(JOIN, (min_lat, max_lat, min_lon, max_lon))
    return sqlite_rows(cursor, lambda la, lo: haversine(clat, clon, la, lo) <= r)


# ---- one size --------------------------------------------------------------------------------------


def rss_anon():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) * 1024
    return 0


def load(n, work, with_sqlite):
    """Loads both stores (orbisk's alone without `with_sqlite`); returns the seconds each took."""
    db = PyZurAD(os.path.join(work, "s.db"), capacity=n)
    s = sqlite_create(os.path.join(work, "s.sqlite")) if with_sqlite else None
    ours, theirs = 0.0, (0.0 if with_sqlite else None)
    for first, points in batches(n):
        ours += timed(lambda: db.insert_batch(points))[0]
        if s:
            theirs += timed(lambda: sqlite_load(s, first, points))[0]
    ours += timed(db.flush)[0]
    if s:
        theirs += timed(lambda: s.execute("PRAGMA wal_checkpoint(TRUNCATE)"))[0]
        s.close()
    return ours, theirs


def add_sqlite(n, directory):
    """Loads SQLite's store into a kept size that was loaded without it, as `load` would have loaded
    it, batch by batch and resumable: each batch is one transaction, and the seconds of the batches
    committed (wall and processor) are kept in sqlite-load.json, so a stopped load goes on where it
    stopped. While the file PAUSE is in `directory`, the load waits between batches (a quiet window
    for other measurements; the wait is not counted). Once complete, loaded.json gets its time."""
    work = os.path.join(directory, f"orbisk-scale-{n}")
    loaded, progress = os.path.join(work, "loaded.json"), os.path.join(work, "sqlite-load.json")
    with open(loaded) as f:
        ours, theirs = json.load(f)
    if theirs is not None:
        print(f"{n:,} points: SQLite is loaded already ({theirs:,.0f} s)")
        return
    state = {"done": 0, "seconds": 0.0, "cpu": 0.0}
    if os.path.exists(progress):
        with open(progress) as f:
            state = json.load(f)
    path = os.path.join(work, "s.sqlite")
    if state["done"] == 0:
        for stale in (path, path + "-wal", path + "-shm"):  # of a load stopped in its first batch
            if os.path.exists(stale):
                os.remove(stale)
        need = DISK_MARGIN * (DISK_PER_POINT - ORBISK_DISK_PER_POINT) * n
        if shutil.disk_usage(directory).free < need:
            sys.exit(f"{n:,} points: the disk has too little free space for SQLite's store ({need / 1e9:.0f} GB)")
        s = sqlite_create(path)
    else:
        s = sqlite_open(path)
        s.execute("PRAGMA cache_size=-1000000")
        (top,) = s.execute("SELECT coalesce(max(id) + 1, 0) FROM meta").fetchone()
        if top != state["done"]:
            sys.exit(f"{path} holds {top:,} points but {progress} says {state['done']:,}")
    for first, points in batches(n, start=state["done"]):
        while os.path.exists(os.path.join(directory, "PAUSE")):
            time.sleep(5)
        cpu = time.process_time()
        seconds = timed(lambda: sqlite_load(s, first, points))[0]
        state = {
            "done": first + len(points),
            "seconds": state["seconds"] + seconds,
            "cpu": state["cpu"] + time.process_time() - cpu,
        }
        with open(progress + ".new", "w") as f:
            json.dump(state, f)
        os.replace(progress + ".new", progress)
        print(f"{state['done']:,} points, {state['seconds']:,.0f} s ({state['cpu']:,.0f} s of processor)", flush=True)
    state["seconds"] += timed(lambda: s.execute("PRAGMA wal_checkpoint(TRUNCATE)"))[0]
    s.close()
    with open(loaded, "w") as f:
        json.dump([ours, state["seconds"]], f)
    print(f"{n:,} points: SQLite loaded in {state['seconds']:,.0f} s ({state['cpu']:,.0f} s of processor)")


def cycle(items):
    """A callable that hands out the items in turn, round and round."""
    state = {"i": -1}

    def next_item():
        state["i"] = (state["i"] + 1) % len(items)
        return items[state["i"]]

    return next_item


def open_sqlite(work):
    """Connects and makes one indexed read, as a first query after an open does."""
    s = sqlite_open(os.path.join(work, "s.sqlite"))
    s.execute("SELECT doc FROM meta WHERE id = 0").fetchall()
    return s


def measure_orbisk(n, work, repeat):
    """Open, the first query of each index and memory, in a process of its own."""
    out = {}
    # One open first, not timed, so that the timed one finds the files in the page cache
    # whatever ran before it (the other size's stores, SQLite's loads).
    warm = PyZurAD(os.path.join(work, "s.db"))
    del warm
    base = rss_anon()
    per_point = lambda: (rss_anon() - base) / n  # noqa: E731
    out["open"], db = timed(lambda: PyZurAD(os.path.join(work, "s.db")))
    out["mem_open"] = per_point()
    names, _, _ = probes(n)
    builds = [
        ("name", lambda: db.query({"name": names[0]})),
        ("kind", lambda: db.query({"kind": "park"}, limit=1)),
        ("city", lambda: db.query({"city": "city-0100"}, limit=1)),
        ("pop", lambda: db.query({"pop": {"$lt": 0}})),
    ]
    for key, first_query in builds:
        out["build_" + key] = timed(first_query)[0]
        out["mem_" + key] = per_point()
    return out


def measure_sqlite(n, work, repeat):
    """Open and CREATE INDEX, in a process of its own (the index build leaves much memory and
    disk traffic behind, which must not fall on the queries)."""
    out = {}
    out["sqlite_open"], s = timed(lambda: open_sqlite(work))
    s.execute("DROP INDEX IF EXISTS i_name")  # built by an earlier measurement of kept stores
    out["sqlite_build_name"] = timed(lambda: s.execute("CREATE INDEX i_name ON meta(json_extract(doc, '$.name'))"))[0]
    s.close()
    os.sync()
    return out


def measure_queries(n, work, repeat):
    """The same rows from both, then the queries in turn, round by round, in a fresh process
    (orbisk's alone when the size has no SQLite store)."""
    out = {}
    db = PyZurAD(os.path.join(work, "s.db"))
    s = open_sqlite(work) if os.path.exists(os.path.join(work, "s.sqlite")) else None
    names, boxes, centres = probes(n)
    db.query({"name": names[0]})  # builds the name index, as SQLite's is built
    by_id = lambda rows: sorted(rows, key=lambda r: r["id"])  # noqa: E731
    queries = [
        ("lookup", cycle(names), lambda k: db.query({"name": k}), lambda k: sqlite_name(s, k)),
        ("box", cycle(boxes), lambda b: db.query_bbox(*b), lambda b: sqlite_bbox(s, b)),
        (
            "radius",
            cycle(centres),
            lambda c: db.query_radius(c[0], c[1], 1000),
            lambda c: sqlite_radius(s, c[0], c[1], 1000),
        ),
    ]
    items = {"lookup": names, "box": boxes, "radius": centres}
    for name, _, ours, theirs in queries:
        rows = 0
        for item in items[name][:20]:
            got = by_id(ours(item))
            if s:
                assert got == by_id(theirs(item)), (name, item)
            rows += len(got)
        out["rows_" + name] = rows / 20
    for name, next_item, ours, theirs in queries:
        calls = [lambda: ours(next_item())] + ([lambda: theirs(next_item())] if s else [])
        rounds = rounds_of(calls, repeat)
        out[name] = median_of(rounds, 0)
        if s:
            out["sqlite_" + name] = median_of(rounds, 1)
            out["ratio_" + name] = median_ratio(rounds, 1, 0)
    if s:
        s.close()
    return out


PHASES = {"orbisk": measure_orbisk, "sqlite": measure_sqlite, "queries": measure_queries}


def run_size(n, directory, repeat, keep, with_sqlite):
    """Loads (or with `keep`, finds loaded) the stores of n points and measures them."""
    work = (
        os.path.join(directory, f"orbisk-scale-{n}")
        if keep
        else tempfile.mkdtemp(prefix="orbisk-scale-", dir=directory)
    )
    loaded = os.path.join(work, "loaded.json")
    try:
        if os.path.exists(loaded):
            with open(loaded) as f:
                ours, theirs = json.load(f)
        else:
            os.makedirs(work, exist_ok=True)
            ours, theirs = load(n, work, with_sqlite)
            with open(loaded, "w") as f:
                json.dump([ours, theirs], f)
        if not any(f.startswith("s.cache.") for f in os.listdir(work)):
            # A store kept from a build without the open cache gets it from one open, as the
            # load's flush would have written it.
            subprocess.run(
                [sys.executable, "-c", f"from orbisk import PyZurAD; PyZurAD({os.path.join(work, 's.db')!r})"],
                check=True,
            )
        # Bytes the files take on the disk (a data file is longer than what it holds, and sparse).
        files = [(f, os.stat(os.path.join(work, f)).st_blocks * 512) for f in os.listdir(work)]
        disk = {
            "ours": sum(size for f, size in files if f.startswith("s.") and not f.startswith("s.sqlite")),
            "theirs": sum(size for f, size in files if f.startswith("s.sqlite")),
        }
        figures = {}
        for phase in PHASES:
            if phase == "sqlite" and theirs is None:
                continue
            child = subprocess.run(
                [sys.executable, __file__, "--measure", phase, str(n), work, str(repeat)],
                check=True,
                capture_output=True,
                text=True,
            )
            figures.update(json.loads(child.stdout.strip().splitlines()[-1]))
        figures.update(load=ours, disk=disk["ours"] / n)
        if theirs is not None:
            figures.update(sqlite_load=theirs, sqlite_disk=disk["theirs"] / n)
        return figures
    finally:
        if not keep:
            shutil.rmtree(work, ignore_errors=True)


# ---- printing --------------------------------------------------------------------------------------

ROWS = [
    # label, orbisk figure, SQLite figure, unit
    ("load (insert calls + checkpoint)", "load", "sqlite_load", "s"),
    ("disk bytes a point", "disk", "sqlite_disk", "B"),
    ("open of a checkpointed store", "open", "sqlite_open", "s"),
    ("first query building the name index", "build_name", "sqlite_build_name", "s"),
    ("first query building the kind index", "build_kind", None, "s"),
    ("first query building the city index", "build_city", None, "s"),
    ("first query building the numeric index", "build_pop", None, "s"),
    ("lookup by the unique name (1 row)", "lookup", "sqlite_lookup", "ms"),
    ("small box (0.02 degrees)", "box", "sqlite_box", "ms"),
    ("1 km radius in a city", "radius", "sqlite_radius", "ms"),
    ("memory a point after open", "mem_open", None, "B"),
    ("  after the name index", "mem_name", None, "B"),
    ("  after the kind index", "mem_kind", None, "B"),
    ("  after the city index", "mem_city", None, "B"),
    ("  after the numeric index", "mem_pop", None, "B"),
]


def shown(value, unit):
    if value is None:
        return ""
    if unit == "ms":
        return f"{value * 1000:,.3f}"
    if unit == "s":
        return f"{value:,.3f}"
    return f"{value:,.1f}"


def print_size(n, f):
    print(f"\n{n:,} points")
    print(f"{'':<42}{'orbisk':>12}{'sqlite':>12}  unit  {'sqlite/orbisk':>13}")
    for label, ours, theirs, unit in ROWS:
        t = f.get(theirs) if theirs else None
        ratio = f.get("ratio_" + ours) or (t / f[ours] if t and f.get(ours) else None)
        ratio_text = f"{ratio:12.1f}x" if ratio and unit in ("s", "ms") else ""
        print(f"{label:<42}{shown(f.get(ours), unit):>12}{shown(t, unit):>12}  {unit:<4}  {ratio_text}")
    print(f"rows: lookup {f['rows_lookup']:.0f}, box {f['rows_box']:.1f}, radius {f['rows_radius']:.1f} (average)")


def print_growth(results):
    sizes = sorted(results)
    if len(sizes) < 2:
        return
    steps = list(zip(sizes, sizes[1:]))
    print("\ngrowth of each figure (value at the larger size / value at the smaller)")
    header = "".join(f"{f'{a / 1e6:g}M -> {b / 1e6:g}M':>16}" for a, b in steps)
    print(f"{'':<42}{header}")
    for label, ours, theirs, _ in ROWS:
        for who, key in (("orbisk", ours), ("sqlite", theirs)):
            if not key:
                continue
            cells = "".join(
                f"{results[b][key] / results[a][key]:>15.2f}x"
                if results[a].get(key) and results[b].get(key) is not None
                else f"{'-':>16}"
                for a, b in steps
            )
            print(f"{(label if who == 'orbisk' else ''):<34}{who:>8}{cells}")


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--measure":
        phase, n, work, repeat = sys.argv[2], int(sys.argv[3]), sys.argv[4], int(sys.argv[5])
        print(json.dumps(PHASES[phase](n, work, repeat)))
        return
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", default="1000000,10000000,100000000")
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--dir", default=None)
    ap.add_argument(
        "--sqlite-up-to",
        type=int,
        default=None,
        help="load and measure the SQLite peer only at sizes up to this one (its load grows to hours at 100M)",
    )
    ap.add_argument(
        "--keep",
        action="store_true",
        help="keep each size's stores in DIR/orbisk-scale-N and measure stores found there without loading them again",
    )
    ap.add_argument(
        "--add-sqlite",
        action="store_true",
        help="load the SQLite peer into sizes kept (--keep) without it, resumably, and measure nothing",
    )
    args = ap.parse_args()
    directory = args.dir or tempfile.gettempdir()
    if args.add_sqlite:
        for n in (int(x) for x in args.sizes.split(",")):
            add_sqlite(n, directory)
        return
    results = {}
    for n in (int(x) for x in args.sizes.split(",")):
        free = shutil.disk_usage(directory).free
        with_sqlite = args.sqlite_up_to is None or n <= args.sqlite_up_to
        need = int(DISK_MARGIN * (DISK_PER_POINT if with_sqlite else ORBISK_DISK_PER_POINT) * n)
        kept = args.keep and os.path.exists(os.path.join(directory, f"orbisk-scale-{n}", "loaded.json"))
        if free < need and not kept:
            print(
                f"\n{n:,} points: skipped, the disk has {free / 1e9:.0f} GB free and this size wants {need / 1e9:.0f} GB"
            )
            continue
        started = time.perf_counter()
        if not with_sqlite:
            print(f"\n{n:,} points: orbisk alone (--sqlite-up-to {args.sqlite_up_to:,})")
        results[n] = run_size(n, directory, args.repeat, args.keep, with_sqlite)
        print_size(n, results[n])
        print(f"({time.perf_counter() - started:,.0f} s for this size; load average {os.getloadavg()[0]:.1f})")
        sys.stdout.flush()
    print_growth(results)


if __name__ == "__main__":
    main()
