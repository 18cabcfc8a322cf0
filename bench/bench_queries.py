"""Metadata queries of orbisk against SQLite with indexes on JSON expressions, same data, same run.

    python3 bench/bench_queries.py [--points 1000000] [--repeat 5] [--dir DIR]

Both systems return the same rows, materialised as the same dicts
({"id", "latitude", "longitude", "metadata"}). Prints each figure for both and
the ratio SQLite time / orbisk time (above 1: orbisk is faster). The queries run
in turn, round by round (quick calls in batches of about 2 ms); times are the
medians, the ratio the median of the rounds' ratios.
"""

import json
import os
import sqlite3
import sys

sys.path.insert(0, os.path.dirname(__file__))
from common import main_of, make_points, median_of, median_ratio, rounds_of, timed  # noqa: E402
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

# name, orbisk call, SQLite call
QUERIES = [
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


def stored_points(n, path):
    """The benchmark's points, also stored in a new orbisk store at `path`."""
    points = query_points(n)
    size = sum(len(json.dumps(m, separators=(",", ":"))) for _, _, m in points[:1000]) // 1000
    print(f"{n:,} points, {size} bytes of metadata each on average")
    PyZurAD(path, capacity=n).insert_batch(points)
    return points


def run(args, work):
    n = args.points
    path = os.path.join(work, "q.db")
    points = stored_points(n, path)
    s = sqlite_store(os.path.join(work, "q.sqlite"), points)
    del points

    print(f"{'one-off index build':<46}{'orbisk':>12}{'sqlite':>12}      {'sqlite/orbisk':>8}")
    db = PyZurAD(path)
    t_value, _ = timed(lambda: db.query({"bucket": 0}, limit=1))
    t_sql_value, _ = timed(lambda: s.execute(f"CREATE INDEX i_bucket ON meta({J('bucket')})"))
    row("value index / CREATE INDEX on one key", t_value, t_sql_value)
    t_numeric, _ = timed(lambda: db.query({"visits": {"$lt": 0}}))
    t_sql_numeric, _ = timed(lambda: s.execute(f"CREATE INDEX i_visits ON meta({J('visits')})"))
    row("numeric index / CREATE INDEX on one key", t_numeric, t_sql_numeric)
    for key in ("category", "flag"):
        s.execute(f"CREATE INDEX i_{key} ON meta({J(key)})")
    s.execute("ANALYZE")

    print(f"{'query (median of %d)' % args.repeat:<46}{'orbisk':>12}{'sqlite':>12}      {'sqlite/orbisk':>8}")
    for name, ours, theirs in QUERIES:
        assert ours(db) == theirs(s), name
        rounds = rounds_of([lambda: ours(db), lambda: theirs(s)], args.repeat)
        row(name, median_of(rounds, 0), median_of(rounds, 1), median_ratio(rounds, 1, 0))
    s.close()


if __name__ == "__main__":
    main_of(run)
