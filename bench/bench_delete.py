"""Deleting 1 % of a store by an indexed equality filter, then reclaiming the space: orbisk's
delete_by_metadata and compact against SQLite's DELETE and VACUUM, same data, same run.

    python3 bench/bench_delete.py [--points 1000000] [--dir DIR]

SQLite is the peer of bench_writes.py (an R*Tree plus a table of JSON metadata, WAL journal,
synchronous=FULL) with an index on the filtered JSON expression; orbisk's value index is built by
a query first, as SQLite's index is. Both delete the same 1 % (every point whose "bucket" is 42).
Prints both times, the ratio SQLite time / orbisk time (above 1: orbisk is faster), and the size
of each store's files before the delete, after it and after the compaction.
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(__file__))
from bench_queries import query_points  # noqa: E402
from common import SqlitePeer, run_in_work_dir, timed  # noqa: E402
from orbisk import PyZurAD  # noqa: E402


def files_size(directory, prefix):
    return sum(os.path.getsize(os.path.join(directory, f)) for f in os.listdir(directory) if f.startswith(prefix))


def mb(n):
    return f"{n / 1e6:,.1f} MB"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--points", type=int, default=1_000_000)
    ap.add_argument("--dir", default=None)
    args = ap.parse_args()
    run_in_work_dir(args.dir, lambda work: run(args, work))


def run(args, work):
    n = args.points
    points = query_points(n)
    doomed = sum(1 for _, _, m in points if m["bucket"] == 42)
    print(f"{n:,} points; deleting the {doomed:,} whose bucket is 42")

    db = PyZurAD(os.path.join(work, "d.db"))
    db.insert_batch(points)
    db.query({"bucket": 0}, limit=1)  # builds the value index
    peer = SqlitePeer(os.path.join(work, "d.sqlite"), synchronous="FULL")
    peer.bulk(points)
    del points
    s = peer.db
    s.execute("CREATE INDEX i_bucket ON meta(json_extract(doc, '$.bucket'))")
    s.execute("PRAGMA wal_checkpoint(TRUNCATE)")

    sizes = [(files_size(work, "d.") - files_size(work, "d.sqlite"), files_size(work, "d.sqlite"))]
    t_delete, deleted = timed(lambda: db.delete_by_metadata({"bucket": 42}))

    def sqlite_delete():
        where = "json_extract(doc, '$.bucket') = 42"
        s.execute("BEGIN")
        s.execute(f"DELETE FROM rt WHERE id IN (SELECT id FROM meta WHERE {where})")
        count = s.execute(f"DELETE FROM meta WHERE {where}").rowcount
        s.execute("COMMIT")
        return count

    t_sql_delete, sql_deleted = timed(sqlite_delete)
    assert deleted == sql_deleted == doomed, (deleted, sql_deleted)
    s.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    sizes.append((files_size(work, "d.") - files_size(work, "d.sqlite"), files_size(work, "d.sqlite")))

    t_compact, reclaimed = timed(db.compact)
    t_vacuum, _ = timed(lambda: s.execute("VACUUM"))
    assert reclaimed == doomed and db.len() == n - doomed
    s.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    sizes.append((files_size(work, "d.") - files_size(work, "d.sqlite"), files_size(work, "d.sqlite")))
    peer.close()

    print(f"{'':<44}{'orbisk':>12}{'sqlite':>12}      {'sqlite/orbisk':>8}")
    for name, ours, theirs in (
        ("delete 1 % (delete_by_metadata / DELETE)", t_delete, t_sql_delete),
        ("compact / VACUUM", t_compact, t_vacuum),
    ):
        print(f"{name:<44}{ours * 1000:10,.1f}ms{theirs * 1000:10,.1f}ms {theirs / ours:12.1f}x")
    for name, (ours, theirs) in zip(
        ("files before the delete", "files after the delete", "files after compact / VACUUM"), sizes
    ):
        print(f"{name:<44}{mb(ours):>12}{mb(theirs):>12}")


if __name__ == "__main__":
    main()
