"""The `orbisk` command against geopandas on the same files, in one run.

A store of N generated points is exported to CSV, GeoJSON and GeoParquet
(`orbisk export`, timed); geopandas reads each file (`read_file`,
`read_parquet`) and writes it back (`to_file`, `to_parquet`); `orbisk
import` loads each file into a fresh store; its two halves are then timed
alone, the command reading the file into batches and the store taking them
(`ColumnarStore.append` of Arrow batches; the command overlaps the two on two
threads), and the read of the store as Arrow (`to_arrow`) that an export
starts from. The CSV import runs once more with the progress bar drawn on a
pseudo-terminal, to price the bar.

    python bench/bench_cli.py [N [ROUNDS [FORMATS]]]
        (default 1,000,000 points, 3 rounds, FORMATS "CSV,GeoJSON,GeoParquet")

Each format's figures are the medians of ROUNDS rounds, each round running
every step in turn (one run of a step varies by a fifth from run to run).
"""

import gc
import io
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import types
import warnings

import geopandas
import pyarrow
from common import make_points
from orbisk import PyZurAD

from orbisk_cli.importer import ARROW_BATCH, format_of, open_source
from orbisk_cli.main import main
from orbisk_cli.progress import Progress
from orbisk_cli.source import ArrowBatch
from orbisk_columnar import ColumnarStore

warnings.filterwarnings("ignore")


def timed(f):
    start = time.perf_counter()
    f()
    return time.perf_counter() - start


def cli(*args):
    status = main([str(a) for a in args])
    if status != 0:
        raise SystemExit(f"orbisk {' '.join(map(str, args))} failed with status {status}")


def with_terminal(f):
    """Runs f with stderr on a pseudo-terminal, read by another process as a
    terminal would be (a thread of ours would compete for the interpreter lock)."""
    master, slave = os.openpty()
    drain = subprocess.Popen(["cat"], stdin=master, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    saved = sys.stderr
    sys.stderr = io.TextIOWrapper(os.fdopen(slave, "wb", buffering=0), write_through=True)
    try:
        return timed(f)
    finally:
        sys.stderr.close()
        sys.stderr = saved
        os.close(master)
        drain.wait()


def parts_of_import(path, store):
    """The two halves of an import, each alone: the command reading and typing
    the file into batches (Arrow batches, or points where a file is read row
    by row), and the store taking them (ColumnarStore.append, gathered as the
    command gathers them, or insert_batch)."""
    options = types.SimpleNamespace(
        delimiter=None, lat_column=None, lon_column=None, text_columns=None, height_key=None
    )
    opened = open_source(path, format_of(path, None), options)
    source = opened.source
    batches = []
    gc.disable()  # as the command runs
    try:

        def read():
            source.prepare(lambda: None)  # a CSV file is read twice: first for its column types
            gathered = None
            for item in source.batches():
                if isinstance(item, ArrowBatch):
                    gathered = item if gathered is None else (gathered.merged(item) or gathered)
                    if gathered.count >= ARROW_BATCH:
                        batches.append(gathered)
                        gathered = None
                else:
                    batches.append(item)
            if gathered is not None:
                batches.append(gathered)

        reading = timed(read)
        opened.close()
        columnar = ColumnarStore(store)
        db = PyZurAD(store)

        def write():
            for b in batches:
                if isinstance(b, ArrowBatch):
                    columnar.append(
                        b.table, latitude=b.latitude, longitude=b.longitude, geometry=b.geometry, columns=b.keys
                    )
                else:
                    db.insert_batch(b)

        storing = timed(write)
    finally:
        gc.enable()
    return reading, storing


def bar_cost(work, csv):
    """The CSV import without a terminal and with the progress bar drawn, and
    the bar's own cost."""
    plain = timed(lambda: cli("import", os.path.join(work, "plain.db"), csv))
    # The bar's own cost: the processor time of the thread that draws it,
    # spent in its update calls (waits for the interpreter lock, which the
    # storing thread holds part of the time, are not the bar's work).
    spent = [0.0, 0, 0.0]
    update = Progress.update

    def counted(self, *args, **kwargs):
        start, wall = time.thread_time(), time.perf_counter()
        update(self, *args, **kwargs)
        spent[0] += time.thread_time() - start
        spent[1] += 1
        spent[2] += time.perf_counter() - wall

    Progress.update = counted
    bar = with_terminal(lambda: cli("import", os.path.join(work, "bar.db"), csv))
    Progress.update = update
    return plain, bar, spent


def main_bench(n, repeat, formats):
    work = tempfile.mkdtemp(prefix="orbisk-bench-cli-")
    try:
        run(n, work, repeat, formats)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def run(n, work, repeat, formats):
    source = os.path.join(work, "source.db")
    PyZurAD(source).insert_batch(make_points(n))
    files = {
        fmt: os.path.join(work, f"points.{ext}")
        for fmt, ext in (("CSV", "csv"), ("GeoJSON", "geojson"), ("GeoParquet", "parquet"))
        if fmt in formats
    }
    rows = []
    for fmt, path in files.items():
        # Rounds in turn; each figure is the median of its rounds.
        figures = []
        for r in range(repeat):
            export = timed(lambda: cli("export", source, path))
            if fmt == "GeoParquet":
                frame = None

                def read():
                    nonlocal frame
                    frame = geopandas.read_parquet(path)

                gp_read = timed(read)
                gp_write = timed(lambda: frame.to_parquet(os.path.join(work, "gp.parquet")))
            else:
                options = {"X_POSSIBLE_NAMES": "longitude", "Y_POSSIBLE_NAMES": "latitude", "KEEP_GEOM_COLUMNS": "NO"}
                frame = None

                def read():
                    nonlocal frame
                    frame = geopandas.read_file(path, **(options if fmt == "CSV" else {}))

                gp_read = timed(read)
                target = os.path.join(work, "gp." + ("csv" if fmt == "CSV" else "geojson"))
                if os.path.exists(target):  # the last round's
                    os.remove(target)
                layer = {"layer_options": {"GEOMETRY": "AS_XY"}} if fmt == "CSV" else {}
                gp_write = timed(lambda: frame.to_file(target, driver="CSV" if fmt == "CSV" else "GeoJSON", **layer))
            frame = None  # freed before the import is timed
            store = os.path.join(work, f"import-{fmt}-{r}.db")
            imported = timed(lambda: cli("import", store, path))
            reading, storing = parts_of_import(path, os.path.join(work, f"parts-{fmt}-{r}.db"))
            wanted = {"CSV": {}, "GeoJSON": {"metadata": "json"}, "GeoParquet": {"geometry": "wkb"}}[fmt]
            querying = timed(lambda: pyarrow.table(ColumnarStore(source, read_only=True).to_arrow(**wanted)))
            for leftover in os.listdir(work):  # the stores of this round
                if leftover.startswith((f"import-{fmt}-{r}.", f"parts-{fmt}-{r}.")):
                    os.remove(os.path.join(work, leftover))
            figures.append((imported, reading, storing, gp_read, export, querying, gp_write))
        imported, reading, storing, gp_read, export, querying, gp_write = (statistics.median(f) for f in zip(*figures))
        size = os.path.getsize(path)
        rows.append((fmt, size, imported, reading, storing, gp_read, export, querying, gp_write))
        print(
            f"{fmt}: import {imported:.2f} s (reading alone {reading:.2f} s, storing alone {storing:.2f} s) "
            f"vs read {gp_read:.2f} s; export {export:.2f} s (to_arrow alone {querying:.2f} s) "
            f"vs write {gp_write:.2f} s; rounds' ratios "
            + ", ".join(f"{f[3] / f[0]:.2f}x/{f[6] / f[4]:.2f}x" for f in figures),
            file=sys.stderr,
        )
    bar = bar_cost(work, files["CSV"]) if "CSV" in files else None

    print(f"\n{n:,} points, one run, medians of {repeat} rounds in turn\n")
    print(
        "| file | size | orbisk import | reading alone | storing alone | geopandas read | ratio "
        "| orbisk export | to_arrow alone | geopandas write | ratio |"
    )
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for fmt, size, imported, reading, storing, gp_read, export, querying, gp_write in rows:
        print(
            f"| {fmt} | {size / 2**20:.0f} MiB | {imported:.2f} s | {reading:.2f} s | {storing:.2f} s "
            f"| {gp_read:.2f} s | {gp_read / imported:.2f}x | {export:.2f} s | {querying:.2f} s "
            f"| {gp_write:.2f} s | {gp_write / export:.2f}x |"
        )
    if bar is not None:
        plain, drawn, spent = bar
        print(
            f"\nCSV import without a terminal {plain:.2f} s, with the progress bar drawn {drawn:.2f} s; "
            f"{spent[1]} bar updates took {spent[0] * 1000:.1f} ms of processor time "
            f"({spent[0] / drawn * 100:.3f} % of the import; {spent[2] * 1000:.1f} ms in all)"
        )


if __name__ == "__main__":
    main_bench(
        int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000,
        int(sys.argv[2]) if len(sys.argv) > 2 else 3,
        (sys.argv[3] if len(sys.argv) > 3 else "CSV,GeoJSON,GeoParquet").split(","),
    )
