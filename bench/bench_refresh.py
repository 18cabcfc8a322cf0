"""What a handle pays to follow another process's writes, against SQLite in the same run.

    python3 bench/bench_refresh.py [--points 1000000] [--repeat 3] [--dir DIR]
    python3 bench/bench_refresh.py --check-cost --baseline SITE_DIR [--rounds 5]

The first form loads a store, opens a reader on it, and has a writer process
append 1, 1,000 and 100,000 points; it times the reader's next call, which
catches up with the appends, against a reload forced by moving the change
counter's rewrite part (what a delete or a compaction by the other process
costs the reader) and against opening the store afresh. SQLite's peer: a
reader connection's first small R*Tree query after the writer process
committed as many rows, against the same query with nothing new.

The second form measures what the change check costs the single-insert and
the small-query figures: the same script, alternately with this build and
with a build of the module without the check (SITE_DIR, e.g. made with
`pip install --target SITE_DIR` from a checkout before the check), in fresh
processes, and the ratio round by round.
"""

import argparse
import json
import os
import statistics
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(__file__))
from common import SqlitePeer, make_points, run_in_work_dir, timed  # noqa: E402

WRITER = """
import json, sqlite3, sys
sys.path[:0] = {paths!r}
from common import make_points
from orbisk import PyZurAD
db = PyZurAD(sys.argv[1], wal_sync_interval_ms=1000)
lite = sqlite3.connect(sys.argv[2], isolation_level=None)
lite.execute("PRAGMA synchronous=FULL")
seed, next_id = 1000, int(sys.argv[3])
print("ready", flush=True)
for line in sys.stdin:
    what, k = line.split()
    pts = make_points(int(k), seed)
    seed += 1
    if what == "orbisk":
        db.insert_batch(pts)
    else:
        lite.execute("BEGIN")
        lite.executemany("INSERT INTO rt VALUES (?,?,?,?,?)",
                         [(next_id + i, la, la, lo, lo) for i, (la, lo, _) in enumerate(pts)])
        lite.executemany("INSERT INTO meta VALUES (?,?)",
                         [(next_id + i, json.dumps(m, separators=(",", ":"))) for i, (_, _, m) in enumerate(pts)])
        lite.execute("COMMIT")
        next_id += len(pts)
    print("ok", flush=True)
"""

SMALL_BOX = (10.0, 10.0, 10.6, 10.6)


def bump_rewrite_part(store_path):
    """Moves the change counter as a delete by another handle would."""
    lock = store_path[: -len(".db")] + ".lock"
    with open(lock, "r+b") as f:
        (value,) = struct.unpack("<Q", f.read(8))
        f.seek(0)
        f.write(struct.pack("<Q", (value + (1 << 32)) % 2**64))


def ms(seconds):
    return f"{seconds * 1000:.2f} ms"


def refresh_costs(args, work):
    from orbisk import PyZurAD

    path = os.path.join(work, "refresh.db")
    lite_path = os.path.join(work, "refresh.sqlite")
    points = make_points(args.points)
    db = PyZurAD(path, wal_sync_interval_ms=1000)
    peer = SqlitePeer(lite_path)
    for start in range(0, len(points), 100_000):
        db.insert_batch(points[start : start + 100_000])
    peer.bulk(points)
    del db, points
    reader = PyZurAD(path)
    lite = peer.db
    small_query = lambda: lite.execute(
        "SELECT m.id, m.doc FROM rt JOIN meta m ON m.id = rt.id WHERE min_lat >= ? AND max_lat <= ? "
        "AND min_lon >= ? AND max_lon <= ?",
        (SMALL_BOX[0], SMALL_BOX[2], SMALL_BOX[1], SMALL_BOX[3]),
    ).fetchall()
    writer = subprocess.Popen(
        [sys.executable, "-c", WRITER.format(paths=sys.path), path, lite_path, str(peer.next_id)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    assert writer.stdout.readline().strip() == "ready"

    def write(what, k):
        writer.stdin.write(f"{what} {k}\n")
        writer.stdin.flush()
        assert writer.stdout.readline().strip() == "ok"

    idle = statistics.median(timed(reader.len)[0] for _ in range(1000))
    lite_idle = statistics.median(timed(small_query)[0] for _ in range(200))
    print(
        f"{args.points:,}-point store; a call with nothing new: {idle * 1e6:.2f} us; "
        f"SQLite small query with nothing new: {ms(lite_idle)}"
    )
    print(
        "| appended by the other process | catch-up (next call) | forced reload | fresh open "
        "| SQLite first small query | reload / catch-up |"
    )
    print("|---|---|---|---|---|---|")
    for k in (1, 1000, 100_000):
        inc, full, opens, lite_first = [], [], [], []
        # The catch-ups in a row: a reload lays the slot tables out anew, and
        # the first append after it pays for moving them once (as the first
        # insert after an open does).
        for _ in range(args.repeat):
            before = reader.len()
            write("orbisk", k)
            t, n = timed(reader.len)
            assert n == before + k
            inc.append(t)
        for _ in range(args.repeat):
            before = reader.len()
            write("orbisk", k)
            bump_rewrite_part(path)
            t, n = timed(reader.len)
            assert n == before + k
            full.append(t)
            opens.append(timed(lambda: PyZurAD(path))[0])
            write("sqlite", k)
            lite_first.append(timed(small_query)[0])
        i, f = statistics.median(inc), statistics.median(full)
        print(
            f"| {k:,} | {ms(i)} | {ms(f)} | {ms(statistics.median(opens))} | "
            f"{ms(statistics.median(lite_first))} | {f / i:.0f}x |"
        )
    writer.stdin.close()
    writer.wait()
    peer.close()


CHECK_RUN = """
import json, os, sys, time
sys.path.insert(0, sys.argv[1])
from orbisk import PyZurAD
work, n = sys.argv[2], int(sys.argv[3])
for name in os.listdir(work):
    os.remove(os.path.join(work, name))
db = PyZurAD(os.path.join(work, "c.db"), wal_sync_interval_ms=1000)
t = time.perf_counter()
for i in range(n):
    db.insert(10.0 + (i % 600) / 1000.0, 10.0 + (i * 7 % 600) / 1000.0, {{"i": i, "name": "place-%08d" % i}})
ins = (time.perf_counter() - t) / n
db.insert_batch([(-50.0 + (i % 1000) / 10.0, -100.0 + (i // 1000) / 10.0, {{"i": i}}) for i in range(100000)])
box = {box!r}
db.query_bbox(*box)
t = time.perf_counter()
for _ in range(n):
    db.query_bbox(*box)
q = (time.perf_counter() - t) / n
print(json.dumps([ins, q, len(db.query_bbox(*box))]))
"""


def check_cost(args, work):
    here = os.path.dirname(os.path.abspath(__import__("orbisk").__file__))
    sites = {"with check": here, "without": args.baseline}
    script = CHECK_RUN.format(box=(9.9, 9.9, 10.01, 10.01))
    results = {k: [] for k in sites}
    ratios_ins, ratios_q = [], []
    for _ in range(args.rounds):
        pair = {}
        for name, site in sites.items():
            out = subprocess.run(
                [sys.executable, "-c", script, site, work, str(args.calls)], capture_output=True, text=True, check=True
            )
            pair[name] = json.loads(out.stdout)
            results[name].append(pair[name])
        ratios_ins.append(pair["with check"][0] / pair["without"][0])
        ratios_q.append(pair["with check"][1] / pair["without"][1])
    print(
        f"{args.calls:,} calls per run, {args.rounds} rounds, builds in turn; "
        f"small query returns {results['with check'][0][2]} rows"
    )
    print("| figure | with the check | without | ratio (median, min-max) |")
    print("|---|---|---|---|")
    for label, idx, ratios in (
        ("single insert, 1000 ms sync interval", 0, ratios_ins),
        ("small box query", 1, ratios_q),
    ):
        a = statistics.median(r[idx] for r in results["with check"])
        b = statistics.median(r[idx] for r in results["without"])
        print(
            f"| {label} | {a * 1e6:.2f} us | {b * 1e6:.2f} us | "
            f"{statistics.median(ratios):.3f} ({min(ratios):.3f}-{max(ratios):.3f}) |"
        )


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--points", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--dir", default=None)
    ap.add_argument("--check-cost", action="store_true")
    ap.add_argument("--baseline", help="site directory of a build without the change check")
    ap.add_argument("--rounds", type=int, default=9)
    ap.add_argument("--calls", type=int, default=20000)
    args = ap.parse_args()
    if args.check_cost:
        if not args.baseline:
            ap.error("--check-cost needs --baseline")
        run_in_work_dir(args.dir, lambda work: check_cost(args, work))
    else:
        run_in_work_dir(args.dir, lambda work: refresh_costs(args, work))


if __name__ == "__main__":
    main()
