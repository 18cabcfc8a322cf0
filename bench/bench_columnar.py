"""Columnar in and out, against the dict methods and a Parquet file, in one run.

A store of N points (default 1,000,000) with four metadata keys (two strings,
a float, an integer) is read and written by each system in turn, round after
round; times are medians over the rounds and ratios the medians of the rounds'
ratios:

- whole store to a pyarrow.Table: ColumnarStore.to_arrow + pyarrow.table,
  against PyZurAD.query({}) + pandas.DataFrame(rows), and against
  pyarrow.parquet.read_table of the same columns from a local Parquet file
  (read once before, so the page cache is warm);
- storing the points: ColumnarStore.append of a pyarrow.Table, against
  PyZurAD.insert_batch of the same points as prepared (lat, lon, dict) tuples,
  each into a new store.

Usage: python bench/bench_columnar.py [--points N] [--repeat R] [--dir DIR]
"""

import argparse
import gc
import os
import random
import statistics
import time

import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
from common import run_in_work_dir
from orbisk import PyZurAD

from orbisk_columnar import ColumnarStore


def make_columns(n, seed=7):
    rng = random.Random(seed)
    categories = ["cafe", "museum", "park", "station", "library", "market", "school", "harbour"]
    return {
        "latitude": [rng.uniform(-85, 85) for _ in range(n)],
        "longitude": [rng.uniform(-180, 180) for _ in range(n)],
        "name": [f"place-{i:08d}" for i in range(n)],
        "category": [categories[i % len(categories)] for i in range(n)],
        "rating": [round(rng.uniform(0, 5), 2) for _ in range(n)],
        "visits": [rng.randrange(1_000_000) for _ in range(n)],
    }


def timed(f):
    gc.collect()
    t = time.perf_counter()
    r = f()
    return time.perf_counter() - t, r


def report(title, rounds, names, target):
    print(f"\n{title}")
    for i, name in enumerate(names):
        print(f"  {name:<48} {statistics.median(r[i] for r in rounds) * 1000:9.1f} ms")
    for i in range(1, len(names)):
        ratios = [r[i] / r[0] for r in rounds]
        print(
            f"  {names[i]} / {names[0]}: {statistics.median(ratios):.2f}x "
            f"(rounds {min(ratios):.2f}-{max(ratios):.2f}; target {target[i - 1]})"
        )


def run(args, work):
    n = args.points
    cols = make_columns(n)
    keys = ["name", "category", "rating", "visits"]
    points = [
        (lat, lon, {"name": a, "category": b, "rating": c, "visits": d})
        for lat, lon, a, b, c, d in zip(*(cols[k] for k in ["latitude", "longitude", *keys]))
    ]
    table = pa.table(cols)
    store_path = os.path.join(work, "read.db")
    PyZurAD(store_path).insert_batch(points)
    db = PyZurAD(store_path)
    store = ColumnarStore(store_path)
    parquet = os.path.join(work, "points.parquet")
    pq.write_table(pa.table(store.to_arrow()), parquet)
    pq.read_table(parquet)  # warm
    print(f"{n:,} points, four metadata keys; load average {os.getloadavg()[0]:.1f}")

    read_rounds = []
    for _ in range(args.repeat):
        t_arrow, got = timed(lambda: pa.table(store.to_arrow()))
        assert got.num_rows == n
        del got
        t_parquet, got = timed(lambda: pq.read_table(parquet))
        del got
        t_dicts, got = timed(lambda: pd.DataFrame(db.query({})))
        del got
        read_rounds.append([t_arrow, t_dicts, t_parquet])
    report(
        "Whole store to a table",
        read_rounds,
        ["to_arrow + pyarrow.table", "query({}) + pandas.DataFrame", "pyarrow.parquet.read_table (warm)"],
        [">= 10x", ">= 0.5x"],
    )

    write_rounds = []
    for r in range(args.repeat):
        a = os.path.join(work, f"append{r}.db")
        b = os.path.join(work, f"batch{r}.db")
        with ColumnarStore(a) as s:
            t_append, ids = timed(lambda: s.append(table))
        assert len(ids) == n
        handle = PyZurAD(b)
        t_batch, ids = timed(lambda: handle.insert_batch(points))
        assert len(ids) == n
        handle = None
        write_rounds.append([t_append, t_batch])
        for p in (a, b):
            base = p[:-3]
            for ext in ("coords.mmap", "metadata.mmap", "wal", "commit", "lock"):
                if os.path.exists(f"{base}.{ext}"):
                    os.remove(f"{base}.{ext}")
    report(
        "Storing the points",
        write_rounds,
        ["ColumnarStore.append(pyarrow.Table)", "PyZurAD.insert_batch(prepared dicts)"],
        [">= 3x"],
    )


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--points", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--dir", default=None)
    args = ap.parse_args()
    run_in_work_dir(args.dir, lambda work: run(args, work))
