"""`orbisk import`: reading files into a store in batches.

The reading and typing of the next batch (Python, holding the interpreter
lock) overlaps the storing of the previous one on a second thread, as far
as `insert_batch` lets go of the lock: it holds it while it converts the
points, about a third of its time, and releases it for the engine.
A point that the store refuses (its metadata or coordinates) is found by
halving the refused batch: the halves before it are stored, so without
--skip-bad everything before the first bad row is imported and nothing after.
"""

from __future__ import annotations

import os
import queue
import sys
import threading
import time
from typing import IO, Any

from orbisk import PyZurAD

from orbisk_cli.errors import CliError
from orbisk_cli.progress import Progress
from orbisk_cli.source import Point, Source
from orbisk_cli.values import BadRow

BATCH = 50_000
SHOWN_BAD_ROWS = 20
FORMATS = {
    ".csv": "csv",
    ".tsv": "csv",
    ".txt": "csv",
    ".geojson": "geojson",
    ".json": "geojson",
    ".ndjson": "ndjson",
    ".geojsonl": "ndjson",
    ".geojsons": "ndjson",
    ".geojsonseq": "ndjson",
    ".jsonl": "ndjson",
    ".parquet": "parquet",
    ".geoparquet": "parquet",
    ".pq": "parquet",
}
# Refusals of insert_batch that are about the data, not the store.
_DATA_ERRORS = (TypeError, ValueError, OverflowError, IndexError, UnicodeError)
_COORDINATE_ERRORS = ("non-finite coordinate", "coordinate out of range")


def format_of(path: str, given: str | None) -> str:
    if given:
        return given
    ext = os.path.splitext(path)[1].lower()
    if ext not in FORMATS:
        raise CliError(f"cannot tell the format of {path} from its name; give it with --format")
    return FORMATS[ext]


class _Stop(Exception):
    def __init__(self, bad: BadRow) -> None:
        self.bad = bad


class Importer:
    def __init__(self, db: PyZurAD, skip_bad: bool, err: IO[str]) -> None:
        self.db = db
        self.skip_bad = skip_bad
        self.err = err
        self.imported = 0
        self.skipped = 0
        self.progress: Progress | None = None
        self.lock = threading.Lock()

    def report(self, bad: BadRow) -> None:
        with self.lock:
            self.skipped += 1
            if self.skipped <= SHOWN_BAD_ROWS:
                clear = "\r\x1b[K" if self.progress and self.progress.drawn else ""
                self.err.write(f"{clear}orbisk: skipped {bad.place}: {bad.problem}\n")
                self.err.flush()

    def _insert(self, points: list[Point], source: Source) -> None:
        try:
            self.db.insert_batch(points)
        except RuntimeError as e:
            if not str(e).startswith(_COORDINATE_ERRORS):
                raise
            self._halve(points, source, e)
        except _DATA_ERRORS as e:
            self._halve(points, source, e)
        else:
            self.imported += len(points)

    def _halve(self, points: list[Point], source: Source, error: BaseException) -> None:
        if len(points) == 1:
            bad = BadRow(source.place(points[0][3]), str(error))
            if not self.skip_bad:
                raise _Stop(bad)
            self.report(bad)
            return
        middle = len(points) // 2
        self._insert(points[:middle], source)
        self._insert(points[middle:], source)

    def run(self, source: Source, label: str) -> None:
        """Imports one source; raises CliError when it stops early."""
        self.progress = progress = Progress(self.err, source.total, label)
        progress.update(0, self.imported)
        pending: queue.Queue[list[Point] | None] = queue.Queue(maxsize=2)
        failure: list[BaseException] = []

        def store() -> None:
            while (batch := pending.get()) is not None:
                if not failure:
                    try:
                        self._insert(batch, source)
                    except BaseException as e:  # handed to the reading thread
                        failure.append(e)

        before = self.imported
        writer = threading.Thread(target=store, name="orbisk-import", daemon=True)
        writer.start()
        stop: BadRow | None = None
        malformed = False
        try:
            for item in source.batches():
                if failure:
                    break
                if item.__class__ is BadRow:
                    if not self.skip_bad:
                        stop = item
                        break
                    self.report(item)
                    continue
                pending.put(item)  # type: ignore[arg-type]
                progress.update(source.done, self.imported)
        except BadRow as e:
            stop, malformed = e, True
        finally:
            pending.put(None)
            writer.join()
        if failure:
            error = failure[0]
            if isinstance(error, _Stop):
                stop = error.bad
            elif isinstance(error, (RuntimeError, OSError, MemoryError)):
                raise CliError(f"import of {source.name} failed after {self.imported - before:,} points: {error}")
            else:
                raise error
        if stop is not None:
            if progress.drawn:
                self.err.write("\n")
            done = self.imported - before
            before_it = "1 point before it was" if done == 1 else f"{done:,} points before it were"
            if malformed:  # nothing after it can be read
                raise CliError(f"{stop.place}: {stop.problem}" + (f" ({before_it} imported)" if done else ""))
            raise CliError(f"{stop.place}: {stop.problem} ({before_it} imported; --skip-bad goes on past bad rows)")
        progress.finish(source.done, self.imported)


def open_source(path: str, fmt: str, options: Any) -> tuple[Source, IO[bytes]]:
    if path == "-":
        stream: IO[bytes] = sys.stdin.buffer
        name, total = "<stdin>", None
        if fmt == "parquet":
            raise CliError("GeoParquet cannot be read from standard input; give a file")
    else:
        try:
            stream = open(path, "rb")  # noqa: SIM115 - closed by the caller
        except OSError as e:
            raise CliError(f"cannot read {path}: {e.strerror}") from None
        name, total = path, os.fstat(stream.fileno()).st_size
    if fmt == "csv":
        from orbisk_cli.csvfile import CsvSource

        delimiter = options.delimiter or ("\t" if path.lower().endswith(".tsv") else ",")
        source: Source = CsvSource(stream, name, total, BATCH, options.lat_column, options.lon_column, delimiter)
    elif fmt == "geojson":
        from orbisk_cli.geojson import FeatureCollectionSource

        source = FeatureCollectionSource(stream, name, total, BATCH)
    elif fmt == "ndjson":
        from orbisk_cli.geojson import FeatureLinesSource

        source = FeatureLinesSource(stream, name, total, BATCH)
    else:
        from orbisk_cli.geoparquet import GeoParquetSource

        try:
            source = GeoParquetSource(stream, name, BATCH, options.lat_column, options.lon_column)
        except BadRow as e:
            stream.close()
            raise CliError(f"{e.place}: {e.problem}") from None
    return source, stream


def import_files(db: PyZurAD, paths: list[str], options: Any, out: IO[str], err: IO[str]) -> int:
    importer = Importer(db, options.skip_bad, err)
    started = time.monotonic()
    for path in paths:
        source, stream = open_source(path, format_of(path, options.format), options)
        try:
            importer.run(source, os.path.basename(source.name))
        finally:
            if stream is not sys.stdin.buffer:
                stream.close()
    seconds = time.monotonic() - started
    skipped = f", skipped {importer.skipped:,} bad rows" if importer.skipped else ""
    files = paths[0] if len(paths) == 1 else f"{len(paths)} files"
    rate = importer.imported / seconds if seconds > 0 else 0.0
    points = "1 point" if importer.imported == 1 else f"{importer.imported:,} points"
    out.write(f"imported {points} from {files}{skipped} in {seconds:.1f} s ({rate:,.0f} points/s)\n")
    return 0
