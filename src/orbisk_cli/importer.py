"""`orbisk import`: reading files into a store in batches.

The reading and typing of the next batch (Python, holding the interpreter
lock) overlaps the storing of the previous one on a second thread, as far
as `insert_batch` lets go of the lock: it holds it while it converts the
points, about a third of its time, and releases it for the engine.
A point that the store refuses (its metadata or coordinates) is found by
halving the refused batch: the halves before it are stored, so without
--skip-bad everything before the first bad row is imported and nothing after.
Batches are stored in file order, so what is stored is always the rows of
the file up to some row: an interrupted import (SIGINT) stops reading, lets
the batch being stored finish, drops the rest and says up to which row the
file is stored, and --skip-rows goes on from there.
"""

from __future__ import annotations

import gzip
import os
import queue
import shutil
import signal
import sys
import tempfile
import threading
import time
from collections.abc import Callable
from typing import IO, Any, cast

from orbisk import PyZurAD

from orbisk_cli.errors import CliError
from orbisk_cli.progress import Progress
from orbisk_cli.source import ArrowBatch, Point, Source
from orbisk_cli.values import BadRow

BATCH = 50_000
# Rows appended through the companion handle at a time: each call is one
# commit, whose fixed costs (forced writes, the manifest) want large groups.
ARROW_BATCH = 250_000
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


def split_gz(path: str) -> tuple[str, bool]:
    """The name without a final ".gz", and whether it had one."""
    if path.lower().endswith(".gz"):
        return path[:-3], True
    return path, False


def format_of(path: str, given: str | None) -> str:
    name, gz = split_gz(path)
    if given:
        fmt = given
    else:
        ext = os.path.splitext(name)[1].lower()
        if ext not in FORMATS:
            raise CliError(f"cannot tell the format of {path} from its name; give it with --format")
        fmt = FORMATS[ext]
    if gz and fmt == "parquet":
        raise CliError(f"{path}: GeoParquet compresses its own columns; give the file without gzip")
    return fmt


class _Stop(Exception):
    def __init__(self, bad: BadRow) -> None:
        self.bad = bad


class _Rows:
    """Rows read one by one, for the storing thread: lists of points and bad
    rows, in the file's order."""

    __slots__ = ("items", "count")

    def __init__(self, items: list[list[Point] | BadRow] | None = None) -> None:
        self.items = items if items is not None else []
        self.count = 0  # points and bad rows, as handed over while reading


class Interrupted(Exception):
    """An import stopped by SIGINT; the source's rows up to `last_row` are stored."""

    def __init__(self, source: Source, last_row: int, stored: int) -> None:
        self.source = source
        self.last_row = last_row
        self.stored = stored  # points of this source


class Importer:
    """Stores a source's batches: points through `insert_batch` of a
    `PyZurAD` handle (`db`, or `open_db()` opens one when first needed),
    Arrow batches through `append` of the companion handle `columnar` (the
    same store). A refused Arrow batch is read again as points, which finds
    its bad rows."""

    def __init__(
        self,
        db: PyZurAD | None,
        skip_bad: bool,
        err: IO[str],
        columnar: Any = None,
        open_db: Callable[[], PyZurAD] | None = None,
    ) -> None:
        self._db = db
        self.open_db = open_db
        self.columnar = columnar
        self.skip_bad = skip_bad
        self.err = err
        self.imported = 0
        self.skipped = 0
        self.progress: Progress | None = None
        self.lock = threading.Lock()
        self.last_row = 0  # of the source being imported: its rows up to this one are stored
        self.cancelled = False

    def report(self, bad: BadRow) -> None:
        with self.lock:
            self.skipped += 1
            if self.skipped <= SHOWN_BAD_ROWS:
                clear = "\r\x1b[K" if self.progress and self.progress.drawn else ""
                self.err.write(f"{clear}orbisk: skipped {bad.place}: {bad.problem}\n")
                self.err.flush()

    @property
    def db(self) -> PyZurAD:
        if self._db is None:
            assert self.open_db is not None
            self._db = self.open_db()
        return self._db

    def _append(self, batch: ArrowBatch, source: Source) -> None:
        """Stores an Arrow batch, or, when the store refuses it, its rows as the row reader reads them."""
        if self.columnar is not None:
            try:
                self.columnar.append(
                    batch.table,
                    latitude=batch.latitude,
                    longitude=batch.longitude,
                    geometry=batch.geometry,
                    columns=batch.keys,
                )
            except RuntimeError as e:
                # A coordinate the store refuses is found row by row; any other
                # failure is the store's (and may have left the points stored).
                if not any(c in str(e) for c in _COORDINATE_ERRORS):
                    raise
            except _DATA_ERRORS:
                pass  # a value the store refuses, before anything is written: found row by row
            else:
                self.imported += batch.count
                return
        self._store_rows(_Rows(list(batch.points())), source)

    def _store_rows(self, rows: _Rows, source: Source) -> None:
        """Stores the points of `rows` as one batch (not a batch, and a commit,
        a run of good rows), and reports the bad rows in the file's order: those
        read and those the store refuses. Without --skip-bad, stops at the first
        bad row, with the rows before it stored."""
        items = rows.items
        first_bad = next((i for i, item in enumerate(items) if isinstance(item, BadRow)), len(items))
        if not self.skip_bad:
            before = [p for item in items[:first_bad] for p in cast(list[Point], item)]
            if before:
                self._insert(before, source)
            if first_bad < len(items):
                raise _Stop(cast(BadRow, items[first_bad]))
            return
        points = [p for item in items if not isinstance(item, BadRow) for p in item]
        refused: dict[int, BadRow] = {}  # by id() of the point
        if points:
            self._insert(points, source, refused)
        if refused or first_bad < len(items):
            for item in items:
                if isinstance(item, BadRow):
                    self.report(item)
                else:
                    for p in item:
                        if id(p) in refused:
                            self.report(refused[id(p)])

    def _insert(self, points: list[Point], source: Source, refused: dict[int, BadRow] | None = None) -> None:
        try:
            self.db.insert_batch(points)
        except RuntimeError as e:
            if not str(e).startswith(_COORDINATE_ERRORS):
                raise
            self._halve(points, source, e, refused)
        except _DATA_ERRORS as e:
            self._halve(points, source, e, refused)
        else:
            self.imported += len(points)

    def _halve(
        self, points: list[Point], source: Source, error: BaseException, refused: dict[int, BadRow] | None
    ) -> None:
        """Stores what it can of a refused batch, halving it down to its bad
        rows, which stop the import or, with --skip-bad, go into `refused` (or
        are reported)."""
        if len(points) == 1:
            bad = BadRow(source.place_of(points[0]), str(error))
            if not self.skip_bad:
                raise _Stop(bad)
            if refused is not None:
                refused[id(points[0])] = bad
            else:
                self.report(bad)
            return
        middle = len(points) // 2
        self._insert(points[:middle], source, refused)
        self._insert(points[middle:], source, refused)

    def run(self, source: Source, label: str, position: Callable[[], int] | None = None) -> None:
        """Imports one source; raises CliError when it stops early, and
        Interrupted on SIGINT once the batch being stored is stored."""
        where = position or (lambda: source.done)
        self.last_row = source.skip_rows
        self.cancelled = False
        # batches to store, each with where reading had got to after it (in units of source.total)
        pending: queue.Queue[tuple[ArrowBatch | _Rows, int] | None] = queue.Queue(maxsize=2)
        stored_to = [0]  # where reading had got to after the last batch stored
        failure: list[BaseException] = []

        def store() -> None:
            while (entry := pending.get()) is not None:
                batch, position = entry
                if not failure and not self.cancelled:
                    try:
                        if isinstance(batch, ArrowBatch):
                            self._append(batch, source)
                            self.last_row = batch.last_row
                        else:
                            self._store_rows(batch, source)
                            last = next((item for item in reversed(batch.items) if isinstance(item, list)), None)
                            if last:
                                self.last_row = source.row_of(last[-1])
                        stored_to[0] = position
                    except BaseException as e:  # handed to the reading thread
                        failure.append(e)

        before = self.imported
        writer = threading.Thread(target=store, name="orbisk-import", daemon=True)
        stop: BadRow | None = None
        malformed = interrupted = False
        progress = None
        gathered: ArrowBatch | None = None  # Arrow batches are appended ARROW_BATCH rows at a time
        # Rows read one by one (points and bad rows), handed over BATCH points at a time.
        rows = _Rows()

        def hand(batch: ArrowBatch | _Rows | None) -> None:
            if batch is not None and (isinstance(batch, ArrowBatch) or batch.items):
                pending.put((batch, where()))

        try:
            try:
                scan = Progress(self.err, source.total, f"{label}: column types")
                source.prepare(lambda: scan.update(where()))
                scan.clear()
                self.progress = progress = Progress(self.err, source.total, label)
                progress.update(0, self.imported)
                writer.start()
                for item in source.batches():
                    if failure:
                        break
                    if isinstance(item, ArrowBatch):
                        hand(rows)
                        rows = _Rows()
                        more = gathered.merged(item) if gathered is not None else None
                        if more is None:
                            hand(gathered)
                            more = item
                        gathered = more
                        if gathered.count >= ARROW_BATCH:
                            hand(gathered)
                            gathered = None
                        progress.update(stored_to[0], self.imported)
                        continue
                    hand(gathered)
                    gathered = None
                    if isinstance(item, BadRow) and not self.skip_bad:
                        stop = item
                        break
                    rows.items.append(item)
                    rows.count += len(item) if isinstance(item, list) else 1
                    if rows.count >= BATCH:
                        hand(rows)
                        rows = _Rows()
                    progress.update(stored_to[0], self.imported)
                if not failure:  # after a bad row, the rows before it are imported
                    hand(gathered)
                    hand(rows)
            except BadRow as e:
                stop, malformed = e, True
                if not failure:
                    hand(gathered)
                    hand(rows)
        except KeyboardInterrupt:
            interrupted = True
        drawn = [-1]

        def tick() -> None:  # each stored batch is drawn, however soon after the last
            if progress is not None and stored_to[0] != drawn[0]:
                drawn[0] = stored_to[0]
                progress.update(stored_to[0], self.imported, force=True)

        self._stop(writer, pending, interrupted, tick)
        if progress is not None and progress.drawn and (interrupted or stop is not None or failure):
            self.err.write("\n")
        if failure:
            error = failure[0]
            if isinstance(error, _Stop):
                stop = error.bad
            elif isinstance(error, (RuntimeError, OSError, MemoryError)):
                raise CliError(f"import of {source.name} failed after {self.imported - before:,} points: {error}")
            else:
                raise error
        if interrupted:
            raise Interrupted(source, self.last_row, self.imported - before)
        if stop is not None:
            done = self.imported - before
            before_it = "1 point before it was" if done == 1 else f"{done:,} points before it were"
            if malformed:  # nothing after it can be read
                raise CliError(f"{stop.place}: {stop.problem}" + (f" ({before_it} imported)" if done else ""))
            raise CliError(f"{stop.place}: {stop.problem} ({before_it} imported; --skip-bad goes on past bad rows)")
        assert progress is not None
        progress.finish(where(), self.imported)

    def _stop(
        self,
        writer: threading.Thread,
        pending: queue.Queue[tuple[ArrowBatch | _Rows, int] | None],
        cancel: bool,
        tick: Callable[[], Any] = lambda: None,
    ) -> None:
        """Ends the storing thread: at once after the batch it stores when
        `cancel`, else after every batch handed to it, calling `tick` now and
        then while it works. What is stored must be known, so SIGINT is
        ignored meanwhile."""
        if not writer.is_alive():
            return
        restore = None
        if threading.current_thread() is threading.main_thread():
            restore = signal.signal(signal.SIGINT, signal.SIG_IGN)
        try:
            if cancel:
                self.cancelled = True
                while True:
                    try:
                        pending.get_nowait()
                    except queue.Empty:
                        break
            pending.put(None)
            while writer.is_alive():
                writer.join(0.05)
                tick()
        finally:
            if restore is not None:
                signal.signal(signal.SIGINT, restore)


class Opened:
    """A source and how to close its file, with where reading has got to in
    units of `source.total`."""

    def __init__(self, source: Source, close: Callable[[], None], position: Callable[[], int] | None) -> None:
        self.source = source
        self.close = close
        self.position = position


def open_source(path: str, fmt: str, options: Any) -> Opened:
    closing: list[IO[bytes]] = []
    position: Callable[[], int] | None = None
    typing = not getattr(options, "no_typing", False)
    if path == "-":
        stream: IO[bytes] = sys.stdin.buffer
        name, total = "<stdin>", None
        if fmt == "parquet":
            raise CliError("GeoParquet cannot be read from standard input; give a file")
        if fmt == "csv" and typing:  # read twice: first kept in a temporary file
            spool = tempfile.TemporaryFile()  # noqa: SIM115 - closed with the source
            shutil.copyfileobj(stream, spool, 1 << 20)
            spool.seek(0)
            stream, total = spool, os.fstat(spool.fileno()).st_size
            closing.append(spool)
    else:
        try:
            raw = open(path, "rb")  # noqa: SIM115 - closed by the caller
        except OSError as e:
            raise CliError(f"cannot read {path}: {e.strerror}") from None
        closing.append(raw)
        name, total = path, os.fstat(raw.fileno()).st_size
        stream = raw
        if split_gz(path)[1]:
            stream = cast(IO[bytes], gzip.GzipFile(fileobj=raw, mode="rb"))
            closing.insert(0, stream)
            position = raw.tell

    def close() -> None:
        for f in closing:
            f.close()

    try:
        source = _source(stream, path, name, total, fmt, options, typing)
    except BadRow as e:
        close()
        raise CliError(f"{e.place}: {e.problem}") from None
    return Opened(source, close, position)


def _source(stream: IO[bytes], path: str, name: str, total: int | None, fmt: str, options: Any, typing: bool) -> Source:
    if fmt == "csv":
        from orbisk_cli.csvfile import CsvSource

        tsv = split_gz(path)[0].lower().endswith(".tsv")
        delimiter = options.delimiter or ("\t" if tsv else ",")
        text_columns = [c for group in getattr(options, "text_columns", None) or [] for c in group.split(",") if c]
        return CsvSource(
            stream, name, total, BATCH, options.lat_column, options.lon_column, delimiter, text_columns, typing
        )
    height = getattr(options, "height_key", None)
    if fmt == "geojson":
        from orbisk_cli.geojson import FeatureCollectionSource

        return FeatureCollectionSource(stream, name, total, BATCH, height)
    if fmt == "ndjson":
        from orbisk_cli.geojson import FeatureLinesSource

        return FeatureLinesSource(stream, name, total, BATCH, height)
    from orbisk_cli.geoparquet import GeoParquetSource

    return GeoParquetSource(stream, name, BATCH, options.lat_column, options.lon_column)


def import_files(store: str, paths: list[str], options: Any, out: IO[str], err: IO[str]) -> int:
    """Imports the files into the store at `store` (created if missing)."""
    from orbisk_cli.store import open_store
    from orbisk_columnar import ColumnarStore

    try:
        columnar = ColumnarStore(store)
    except OSError as e:
        raise CliError(f"cannot open store {store}: {e}") from None
    importer = Importer(None, options.skip_bad, err, columnar, lambda: open_store(store, create=True))
    started = time.monotonic()
    finished: list[str] = []
    for i, path in enumerate(paths):
        opened = open_source(path, format_of(path, options.format), options)
        source = opened.source
        source.skip_rows = (getattr(options, "skip_rows", None) or 0) if i == 0 else 0
        try:
            importer.run(source, os.path.basename(source.name), opened.position)
        except Interrupted as e:
            raise CliError(_interrupted(importer, finished, e, paths[i + 1 :]), status=130) from None
        finally:
            opened.close()
        finished.append(source.name)
    seconds = time.monotonic() - started
    skipped = f", skipped {importer.skipped:,} bad rows" if importer.skipped else ""
    files = paths[0] if len(paths) == 1 else f"{len(paths)} files"
    rate = importer.imported / seconds if seconds > 0 else 0.0
    out.write(
        f"imported {_points(importer.imported)} from {files}{skipped} in {seconds:.1f} s ({rate:,.0f} points/s)\n"
    )
    return 0


def _points(n: int) -> str:
    return "1 point" if n == 1 else f"{n:,} points"


def _interrupted(importer: Importer, finished: list[str], stop: Interrupted, rest: list[str]) -> str:
    """What an interrupted import stored, and how to go on."""
    source = stop.source
    unit, first, last = source.row_unit, source.skip_rows + 1, stop.last_row
    parts = []
    if finished:
        parts.append("all of " + ", ".join(finished))
    if last >= first:
        rows = f"{unit} {first:,}" if last == first else f"{unit}s {first:,} to {last:,}"
        bad = last - first + 1 - stop.stored  # every row up to the last is stored or a bad row
        skipped = "" if bad <= 0 or unit == "line" else f", {bad:,} of them bad and skipped"
        parts.append(f"{rows} of {source.name}{skipped}")
    else:
        parts.append(f"none of {source.name}" + (f" after {unit} {source.skip_rows:,}" if source.skip_rows else ""))
    stored = "no point stored" if not importer.imported else f"{_points(importer.imported)} stored"
    again = f"import {source.name}" + (" and the files after it" if rest else "") + " again"
    if last:
        again += f" with --skip-rows {last}"
    return f"interrupted: {stored} ({'; '.join(parts)}); to go on without duplicates, {again}"
