"""Metadata queries of orbisk against SQLite with indexes on JSON expressions, same data, same run,
with numpy over the same values in memory as the ceiling.

    python3 bench/bench_queries.py [--points 1000000] [--repeat 20] [--data clustered|even] [--dir DIR]

The data is make_clustered_points (the default) or make_points (--data even). All systems return
the same rows, materialised as the same dicts ({"id", "latitude", "longitude", "metadata"}); the
numpy ceiling (clustered data only) finds the ids with vectorised tests over arrays of the values
and builds new dicts from values it keeps in a list. The systems run in turn, round by round (quick
calls in batches of about 2 ms). Prints the median and the 95th percentile of each system's
times, and the median of the rounds' ratios SQLite time / orbisk time (above 1: orbisk is
faster) and orbisk time / ceiling time.
"""

import json
import os
import sqlite3
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from common import (  # noqa: E402
    KINDS,
    fresh_rows,
    main_of,
    make_clustered_points,
    make_points,
    median_of,
    median_ratio,
    p95_of,
    rounds_of,
    timed,
)
from orbisk import PyZurAD  # noqa: E402

RARE = 424242  # the only point holding "flag"


def query_points(n):
    """make_points plus a key whose every value is held by 1 % of the points, and one rare key."""
    points = make_points(n)
    for i, (_, _, meta) in enumerate(points):
        meta["bucket"] = i % 100
        if i == RARE:
            meta["flag"] = "rare"
    return points


def sqlite_rows(db, where, args=(), limit=None):
    sql = (
        "SELECT id, lat, lon, doc FROM meta WHERE "
        + where
        + " ORDER BY id"
        + (f" LIMIT {limit}" if limit is not None else "")
    )
    return [
        {"id": i, "latitude": lat, "longitude": lon, "metadata": json.loads(doc)}
        for i, lat, lon, doc in db.execute(sql, args)
    ]


def sqlite_exists(db, where, args=()):
    return db.execute(f"SELECT EXISTS(SELECT 1 FROM meta WHERE {where})", args).fetchone()[0] == 1


J = "json_extract(doc, '$.{}')".format

# name, orbisk call, SQLite call (even data)
EVEN_QUERIES = [
    (
        "equality, 1 % of the points",
        lambda db: db.query({"bucket": 42}),
        lambda s: sqlite_rows(s, f"{J('bucket')} = ?", (42,)),
    ),
    (
        "$and of equality and range, about 1 %",
        lambda db: db.query({"category": "park", "visits": {"$lt": 80000}}),
        lambda s: sqlite_rows(s, f"{J('category')} = ? AND {J('visits')} < ?", ("park", 80000)),
    ),
    (
        "equality, limit=10",
        lambda db: db.query({"bucket": 42}, limit=10),
        lambda s: sqlite_rows(s, f"{J('bucket')} = ?", (42,), limit=10),
    ),
    (
        "exists, a value one point holds",
        lambda db: db.exists({"flag": "rare"}),
        lambda s: sqlite_exists(s, f"{J('flag')} = ?", ("rare",)),
    ),
    (
        "full scan, 0.2 % (equality on a double)",
        lambda db: db.query({"rating": 2.5}),
        lambda s: sqlite_rows(s, f"{J('rating')} = ?", (2.5,)),
    ),
    (
        "full scan, all but one ($ne on a unique key)",
        lambda db: db.query({"name": {"$ne": "place-00000007"}}),
        lambda s: sqlite_rows(s, f"{J('name')} != ?", ("place-00000007",)),
    ),
]


TOWNS = {"$gte": 20_000, "$lt": 28_200}  # about 2.5 % of the towns


class Ceiling:
    """The values the queries test as numpy arrays, and every point's values in a list, from which
    it builds its rows as the spatial benchmark's ceiling does."""

    def __init__(self, points):
        self.records = [(i, lat, lon, m) for i, (lat, lon, m) in enumerate(points)]
        kinds = sorted(set(KINDS))
        self.town = kinds.index("town")
        self.kind = np.array([kinds.index(m["kind"]) for _, _, m in points], dtype=np.int8)
        self.pop = np.array([m["pop"] for _, _, m in points])
        self.bucket = np.array([m["bucket"] for _, _, m in points], dtype=np.int16)
        self.elev = np.array([m["elev"] for _, _, m in points])
        self.name = np.array([m["name"] for _, _, m in points])

    def take(self, mask, limit=None):
        return fresh_rows(self.records, np.flatnonzero(mask)[:limit])


# name, orbisk call, SQLite call, ceiling call (clustered data)
CLUSTERED_QUERIES = [
    (
        "equality, 1 % of the points",
        lambda db: db.query({"bucket": 42}),
        lambda s: sqlite_rows(s, f"{J('bucket')} = ?", (42,)),
        lambda c: c.take(c.bucket == 42),
    ),
    (
        "$and of equality and two-sided range",
        lambda db: db.query({"$and": [{"kind": "town"}, {"pop": TOWNS}]}),
        lambda s: sqlite_rows(s, f"{J('kind')} = ? AND {J('pop')} >= ? AND {J('pop')} < ?", ("town", 20_000, 28_200)),
        lambda c: c.take((c.kind == c.town) & (c.pop >= 20_000) & (c.pop < 28_200)),
    ),
    (
        "$or of an equality and a range",
        lambda db: db.query({"$or": [{"bucket": 42}, {"pop": {"$gte": 9_000_000}}]}),
        lambda s: sqlite_rows(s, f"{J('bucket')} = ? OR {J('pop')} >= ?", (42, 9_000_000)),
        lambda c: c.take((c.bucket == 42) | (c.pop >= 9_000_000)),
    ),
    (
        "equality, limit=10",
        lambda db: db.query({"bucket": 42}, limit=10),
        lambda s: sqlite_rows(s, f"{J('bucket')} = ?", (42,), limit=10),
        lambda c: c.take(c.bucket == 42, 10),
    ),
    (
        "exists, a name (full scan to its point)",
        lambda db: db.exists({"name": "P0424242"}),
        lambda s: sqlite_exists(s, f"{J('name')} = ?", ("P0424242",)),
        lambda c: bool(np.any(c.name == "P0424242")),
    ),
    (
        "full scan, equality on a double",
        lambda db: db.query({"elev": 1234.5}),
        lambda s: sqlite_rows(s, f"{J('elev')} = ?", (1234.5,)),
        lambda c: c.take(c.elev == 1234.5),
    ),
]


def sqlite_store(path, points):
    """One table of exact coordinates and JSON metadata (an R*Tree keeps only 32-bit floats)."""
    db = sqlite3.connect(path, isolation_level=None)
    db.execute("PRAGMA journal_mode=WAL")
    db.execute("PRAGMA synchronous=NORMAL")
    db.execute("CREATE TABLE meta(id INTEGER PRIMARY KEY, lat REAL, lon REAL, doc TEXT)")
    db.execute("BEGIN")
    db.executemany(
        "INSERT INTO meta VALUES (?,?,?,?)",
        ((i, lat, lon, json.dumps(m, separators=(",", ":"))) for i, (lat, lon, m) in enumerate(points)),
    )
    db.execute("COMMIT")
    return db


def row(name, ours, theirs, ratio=None):
    ratio = theirs / ours if ratio is None else ratio
    print(f"{name:<46}{ours * 1000:12,.3f}{theirs * 1000:12,.3f}  ms {ratio:8.1f}x")


def ms(t):
    return f"{t * 1000:,.3f}"


def stored_points(n, path, data="clustered"):
    """The benchmark's points, also stored in a new orbisk store at `path`."""
    points = make_clustered_points(n) if data == "clustered" else query_points(n)
    size = sum(len(json.dumps(m, separators=(",", ":"))) for _, _, m in points[:1000]) // 1000
    print(f"{n:,} points, {size} bytes of metadata each on average")
    PyZurAD(path, capacity=n).insert_batch(points)
    return points


def run(args, work):
    n = args.points
    clustered = args.data == "clustered"
    path = os.path.join(work, "q.db")
    points = stored_points(n, path, args.data)
    s = sqlite_store(os.path.join(work, "q.sqlite"), points)
    ceiling = Ceiling(points) if clustered else None
    del points

    print(f"{'one-off index build':<46}{'orbisk':>12}{'sqlite':>12}      {'sqlite/orbisk':>8}")
    db = PyZurAD(path)
    t_value, _ = timed(lambda: db.query({"bucket": 0}, limit=1))
    t_sql_value, _ = timed(lambda: s.execute(f"CREATE INDEX i_bucket ON meta({J('bucket')})"))
    row("value index / CREATE INDEX on one key", t_value, t_sql_value)
    numeric = "pop" if clustered else "visits"
    t_numeric, _ = timed(lambda: db.query({numeric: {"$lt": 0}}))
    t_sql_numeric, _ = timed(lambda: s.execute(f"CREATE INDEX i_{numeric} ON meta({J(numeric)})"))
    row("numeric index / CREATE INDEX on one key", t_numeric, t_sql_numeric)
    for key in ("kind",) if clustered else ("category", "flag"):
        s.execute(f"CREATE INDEX i_{key} ON meta({J(key)})")
    s.execute("ANALYZE")

    queries = CLUSTERED_QUERIES if clustered else [(name, a, b, None) for name, a, b in EVEN_QUERIES]
    print(
        f"{'query (%d rounds), ms' % args.repeat:<40}{'rows':>8}{'orbisk':>9}{'p95':>9}{'sqlite':>9}{'p95':>9}"
        f"{'ceiling':>9}{'p95':>9}{'sqlite/orbisk':>15}{'orbisk/ceiling':>16}"
    )
    for name, ours, theirs, best in queries:
        want = ours(db)
        assert want == theirs(s), name
        calls = [lambda: ours(db), lambda: theirs(s)]
        if best:
            assert want == best(ceiling), name
            calls.append(lambda: best(ceiling))
        rounds = rounds_of(calls, args.repeat)
        times = "".join(f"{ms(median_of(rounds, i)):>9}{ms(p95_of(rounds, i)):>9}" for i in range(len(calls)))
        ratios = f"{median_ratio(rounds, 1, 0):>14.1f}x" + (f"{median_ratio(rounds, 0, 2):>15.1f}x" if best else "")
        rows = len(want) if isinstance(want, list) else int(want)
        print(f"{name:<40}{rows:>8,}{times}{'':>{0 if best else 18}}{ratios}")
    s.close()


if __name__ == "__main__":
    main_of(run)
