"""Write and reopen throughput of orbisk against SQLite's R*Tree, same data, same run.

    python3 bench/bench_writes.py [--points 1000000] [--data even|clustered] [--dir DIR]

The points are make_points (evenly spread, the default) or make_clustered_points (--data
clustered), in the order they are made.

Prints each figure for both stores and the ratio (orbisk rate / SQLite rate).
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import textwrap

sys.path.insert(0, os.path.dirname(__file__))
from common import SqlitePeer, make_clustered_points, make_points, run_in_work_dir, timed  # noqa: E402
from orbisk import PyZurAD  # noqa: E402


def count_log_forces(directory, inserts):
    """Forces of the log per durable single insert, counted with strace."""
    if not shutil.which("strace"):
        return None
    script = textwrap.dedent(f"""
        import sys; sys.path[:0] = {sys.path!r}
        from orbisk import PyZurAD
        db = PyZurAD({os.path.join(directory, 'forces.db')!r}, wal_sync_interval_ms=0)
        db.insert(0, 0, {{}})
        import os; os.write(1, b"start\\n")
        for i in range({inserts}):
            db.insert(1.0, 2.0, {{"i": i}})
    """)
    out = subprocess.run(
        ["strace", "-f", "-e", "trace=fsync,fdatasync,write", "-o", "/dev/stderr", sys.executable, "-c", script],
        capture_output=True,
        text=True,
    )
    lines = out.stderr.splitlines()
    start = next(i for i, l in enumerate(lines) if 'write(1, "start' in l)
    return sum(1 for l in lines[start:] if "fsync(" in l or "fdatasync(" in l) / inserts


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--points", type=int, default=1_000_000)
    ap.add_argument("--singles", type=int, default=2000)
    ap.add_argument("--fast-singles", type=int, default=200_000)
    ap.add_argument("--data", choices=("even", "clustered"), default="even")
    ap.add_argument("--dir", default=None)
    args = ap.parse_args()
    run_in_work_dir(args.dir, lambda work: run(args, work))


def row(name, ours, theirs, unit):
    ratio = f"{ours / theirs:6.2f}x" if theirs else "   n/a"
    theirs_s = f"{theirs:14,.0f}" if theirs else "           n/a"
    print(f"{name:<46}{ours:14,.0f}{theirs_s} {unit:<9}{ratio}")


def run(args, work):
    n = args.points
    points = make_clustered_points(n) if args.data == "clustered" else make_points(n)
    print(f"{n:,} points, ~{sum(len(str(m)) for _, _, m in points[:1000]) // 1000} bytes of metadata each")
    print(f"{'':<46}{'orbisk':>14}{'sqlite':>14} {'unit':<9}{'ratio':>7}")

    path = os.path.join(work, "bulk.db")
    db = PyZurAD(path, capacity=n)
    t_ours, _ = timed(lambda: db.insert_batch(points))
    peer = SqlitePeer(os.path.join(work, "bulk.sqlite"))
    t_theirs, _ = timed(lambda: peer.bulk(points))
    peer.close()
    row("bulk load (insert_batch / one transaction)", n / t_ours, n / t_theirs, "points/s")
    del db

    opens = []
    for _ in range(7):
        t_open, db = timed(lambda: PyZurAD(path))
        assert db.len() == n
        opens.append(t_open)
        del db
    print(
        f"{'reopen of the bulk-loaded store (median of 7)':<46}{statistics.median(opens) * 1000:14,.1f}{'':>14} {'ms':<9}"
    )

    singles = points[: args.singles]
    db = PyZurAD(os.path.join(work, "durable.db"), wal_sync_interval_ms=0)
    t_ours, _ = timed(lambda: [db.insert(*p) for p in singles])
    peer = SqlitePeer(os.path.join(work, "durable.sqlite"), synchronous="FULL")
    t_theirs, _ = timed(lambda: [peer.insert(*p) for p in singles])
    peer.close()
    row("durable single inserts (sync every write)", len(singles) / t_ours, len(singles) / t_theirs, "points/s")
    del db
    forces = count_log_forces(work, 200)
    if forces is not None:
        print(f"{'  log forces per durable insert':<46}{forces:14.2f}")

    fast = points[: args.fast_singles]
    db = PyZurAD(os.path.join(work, "interval.db"), wal_sync_interval_ms=1000)
    t_ours, _ = timed(lambda: [db.insert(*p) for p in fast])
    peer = SqlitePeer(os.path.join(work, "interval.sqlite"), synchronous="NORMAL")
    t_theirs, _ = timed(lambda: [peer.insert(*p) for p in fast[:20000]])
    peer.close()
    row("single inserts, 1000 ms sync interval", len(fast) / t_ours, 20000 / t_theirs, "points/s")
    print("  (SQLite peer: synchronous=NORMAL, one transaction per insert)")


if __name__ == "__main__":
    main()
