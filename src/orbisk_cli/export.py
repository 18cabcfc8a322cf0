"""Writing selected points to a file or to standard output, in id order.

The output goes to a temporary file beside the target and replaces it only
when complete, so a failed export leaves no half-written file. A selection
is read from the store in chunks (bands of latitude, each in id order): one
chunk is written as it is; when there are more, each is written as it comes
to a spill file beside the output and the spill is copied out in id order
at the end, a row's text at a time (GeoParquet: Arrow's `take` over the
spilled record batches). CSV and GeoParquet need their columns before the
first row: they start from the first chunk's keys and kinds and, should a
later chunk bring others, start again from a schema surveyed over the whole
selection. A name that ends in ".gz" is written gzip-compressed.
"""

from __future__ import annotations

import gzip
import mmap
import os
import shutil
import sys
import tempfile
from array import array
from collections.abc import Iterator
from functools import partial
from itertools import accumulate, chain
from operator import add, itemgetter, lt
from typing import IO, Any, cast

from orbisk_cli.errors import CliError
from orbisk_cli.importer import split_gz
from orbisk_cli.progress import Progress, Ticker
from orbisk_cli.schema import Schema, SchemaChange
from orbisk_cli.selection import Selection, chunks
from orbisk_cli.store import Reader, Store

# Rows handed to a writer at a time. A writer makes several passes over its
# rows (a field, a column, its kinds, its text), each touching every row's
# objects, which lie scattered in memory: a few thousand rows stay in the
# processor's cache from one pass to the next, a whole chunk does not (at a
# chunk at a time, the passes took about half as long again).
PIECE = 2000
WINDOW = 20_000  # rows copied out of a spill at a time
KEEP = 256 << 20  # bytes of a spill held in memory
# file name ending: the format written
WRITTEN = {
    ".csv": "csv",
    ".tsv": "csv",
    ".geojson": "geojson",
    ".json": "geojson",
    ".ndjson": "ndjson",
    ".jsonl": "ndjson",
    ".geojsonl": "ndjson",
    ".geojsons": "ndjson",
    ".geojsonseq": "ndjson",
    ".parquet": "parquet",
    ".geoparquet": "parquet",
    ".pq": "parquet",
}


_ID = itemgetter("id")


def output_format(path: str | None, given: str | None) -> str:
    """The format of an export to `path` (None: standard output, GeoJSON unless given)."""
    if path is None:
        return given or "geojson"
    name, gz = split_gz(path)
    fmt = given or WRITTEN.get(os.path.splitext(name)[1].lower())
    if fmt is None:
        names = list(WRITTEN)
        raise CliError(
            f"cannot tell the format of {path} from its name; orbisk export writes "
            f"{', '.join(names[:-1])} and {names[-1]} files (CSV and GeoJSON also with .gz after the name), "
            "or what --format names"
        )
    if gz and fmt == "parquet":
        raise CliError(f"{path}: GeoParquet compresses its own columns; give a name without .gz")
    return fmt


def _text_writer(fmt: str, schema: Schema | None, options: Any) -> Any:
    if fmt == "csv":
        from orbisk_cli.csvfile import CsvWriter

        path = getattr(options, "file", None)
        tsv = path is not None and split_gz(path)[0].lower().endswith(".tsv")
        lat, lon = options.lat_column or "latitude", options.lon_column or "longitude"
        schema = schema or Schema()
        id_name = None
        if not getattr(options, "no_id", False):
            id_name = "id"
            while id_name in schema.kinds or id_name in (lat, lon):
                id_name += "_"
        try:
            return CsvWriter(schema, lat, lon, options.delimiter or ("\t" if tsv else ","), id_name)
        except ValueError as e:
            raise CliError(str(e)) from None
    from orbisk_cli.geojson import FeatureCollectionWriter, FeatureLinesWriter

    return FeatureCollectionWriter() if fmt == "geojson" else FeatureLinesWriter()


def _pieces(rows: list[Any]) -> Iterator[list[Any]]:
    for start in range(0, len(rows), PIECE):
        yield rows[start : start + PIECE]


def _write_all(
    fmt: str,
    out: IO[bytes],
    rows: Iterator[list[Any]],
    schema: Schema | None,
    options: Any,
    progress: Progress,
    spill_dir: str | None,
) -> int:
    first = next(rows, [])
    if fmt in ("csv", "parquet"):
        schema = schema or Schema().learn(first)
    second = next(rows, None)
    every = iter([first]) if second is None else chain([first, second], rows)
    if fmt == "parquet":
        from orbisk_cli.geoparquet import GeoParquetWriter

        writer = GeoParquetWriter(out, schema or Schema(), not getattr(options, "no_id", False))
        return _write_parquet(writer, every, second is None, progress, spill_dir)
    writer = _text_writer(fmt, schema, options)
    if second is None:
        return _write_text(writer, first, out, progress)
    return _spill_text(writer, every, out, progress, spill_dir)


def _write_text(writer: Any, rows: list[Any], out: IO[bytes], progress: Progress) -> int:
    out.write(writer.head.encode())
    done = 0
    for piece in _pieces(rows):
        texts = writer.render(piece)
        out.write(((writer.lead if not done else writer.separator) + writer.separator.join(texts)).encode())
        done += len(piece)
        progress.update(done, done)
    out.write(((writer.tail if done else "") + writer.foot).encode())
    progress.finish(done, done)
    return done


class _Spill:
    """Bytes written once, then read in any order: held in memory up to
    KEEP bytes, beyond that in a temporary file."""

    def __init__(self, directory: str | None) -> None:
        self.directory = directory
        self.memory = bytearray()
        self.file: IO[bytes] | None = None
        self.mapping: mmap.mmap | None = None

    def write(self, data: bytes) -> None:
        if self.file is None and len(self.memory) + len(data) > KEEP:
            self.file = tempfile.TemporaryFile(prefix=".orbisk-spill-", dir=self.directory)
            self.file.write(self.memory)
            self.memory = bytearray()
        if self.file is not None:
            self.file.write(data)
        else:
            self.memory += data

    def data(self) -> Any:
        """What was written, to slice."""
        if self.file is None:
            return memoryview(self.memory)
        self.file.flush()
        self.mapping = mmap.mmap(self.file.fileno(), 0, access=mmap.ACCESS_READ)
        return self.mapping

    def close(self) -> None:
        if self.mapping is not None:
            self.mapping.close()
        if self.file is not None:
            self.file.close()


def _spill_text(
    writer: Any, every: Iterator[list[Any]], out: IO[bytes], progress: Progress, spill_dir: str | None
) -> int:
    separator = writer.separator.encode()
    step = len(separator)
    with_step = partial(add, step)
    ids, starts = array("q"), array("q")  # of each row, and where its text begins in the spill
    position = 0
    spill = _Spill(spill_dir)
    try:
        for chunk in every:
            for piece in _pieces(chunk):
                texts = writer.render(piece)
                joined = writer.separator.join(texts) + writer.separator
                if joined.isascii():  # a character a byte: no text encoded twice
                    data = joined.encode()
                    sizes = map(with_step, map(len, texts))
                else:
                    encoded = [text.encode() for text in texts]
                    data = separator.join(encoded) + separator
                    sizes = map(with_step, map(len, encoded))
                spill.write(data)
                starts.extend(accumulate(sizes, initial=position))
                position += len(data)
                starts.pop()  # the next piece's start
                ids.extend(map(_ID, piece))
                progress.update(len(ids), len(ids))
        count = len(ids)
        progress.finish(count, count)
        starts.append(position)
        out.write(writer.head.encode())
        if count:
            out.write(writer.lead.encode())
            data = spill.data()
            if all(map(lt, ids, ids[1:])):  # already in id order
                out.write(data[: position - step])
            else:
                order = _order(ids)
                del ids
                sorting = Progress(progress.stream, count, f"{progress.label}: in id order")
                for begin in range(0, count, WINDOW):
                    window = order[begin : begin + WINDOW]
                    parts = [data[starts[i] : starts[i + 1]] for i in window]
                    if begin + WINDOW >= count:
                        parts[-1] = parts[-1][:-step]
                    out.write(b"".join(parts))
                    sorting.update(begin + len(window))
                sorting.finish(count)
            out.write(writer.tail.encode())
        out.write(writer.foot.encode())
    finally:
        spill.close()
    return count


def _order(ids: array[int]) -> list[int]:
    """The positions of the ids in ascending order of id."""
    try:
        import numpy as np
    except ImportError:
        return sorted(range(len(ids)), key=ids.__getitem__)
    return np.argsort(np.frombuffer(ids, dtype=np.int64), kind="stable").tolist()  # type: ignore[no-any-return]


def _write_parquet(
    writer: Any, every: Iterator[list[Any]], single: bool, progress: Progress, spill_dir: str | None
) -> int:
    done = 0
    if single:
        for chunk in every:
            for piece in _pieces(chunk):
                writer.add(writer.render(piece))
                done += len(piece)
                progress.update(done, done)
        writer.close()
        progress.finish(done, done)
        return done
    pa, np = writer.pa, writer.np
    fd, path = tempfile.mkstemp(prefix=".orbisk-spill-", dir=spill_dir)
    os.close(fd)
    try:
        ids: list[int] = []
        with pa.ipc.new_file(path, writer.arrow_schema) as spill:
            for chunk in every:
                for piece in _pieces(chunk):
                    spill.write_batch(writer.render(piece))
                    ids.extend(map(_ID, piece))
                    progress.update(len(ids), len(ids))
        progress.finish(len(ids), len(ids))
        table = pa.ipc.open_file(pa.memory_map(path)).read_all()
        order = np.argsort(np.array(ids, dtype=np.uint64), kind="stable")
        sorting = Progress(progress.stream, len(ids), f"{progress.label}: in id order")
        from orbisk_cli.geoparquet import ROW_GROUP

        for begin in range(0, len(ids), ROW_GROUP):
            writer.add(table.take(order[begin : begin + ROW_GROUP]))
            sorting.update(min(begin + ROW_GROUP, len(ids)))
        writer.close()
        sorting.finish(len(ids))
        return len(ids)
    finally:
        os.unlink(path)


def _arrow_writer(db: Store) -> Any:
    """The module that exports through Arrow, when the store is read through
    the companion handle and pyarrow is installed; else None."""
    if not isinstance(db, Reader):
        return None
    try:
        from orbisk_cli import arrowout
    except ImportError:
        return None
    return arrowout


def _write_arrow(
    arrowout: Any, db: Reader, sel: Selection, fmt: str, out: IO[bytes], options: Any, progress: Progress
) -> int:
    def texts() -> Any:  # the stored texts, when wanted
        return arrowout.selected(db, sel, metadata="json")

    with Ticker(progress.stream, f"{progress.label}: reading the store"):
        if fmt == "csv":
            table = arrowout.selected(db, sel)
        elif fmt == "parquet":
            table = arrowout.selected(db, sel, geometry="wkb")
        else:
            table = texts()
    if fmt == "csv":
        return arrowout.write_csv(table, out, options, progress, texts)  # type: ignore[no-any-return]
    if fmt == "parquet":
        return arrowout.write_geoparquet(table, out, options, progress, texts)  # type: ignore[no-any-return]
    return arrowout.write_geojson(table, out, fmt == "ndjson", progress)  # type: ignore[no-any-return]


def export_partitioned(
    db: Store, sel: Selection, folder: str, options: Any, err: IO[str], total: int | None
) -> tuple[int, int]:
    """Writes the selection as a folder of GeoParquet files, one a grid cell;
    returns (points, files)."""
    arrowout = _arrow_writer(db)
    if arrowout is None:
        from orbisk_cli.geoparquet import modules

        modules()  # names what is missing
        raise CliError("--partition reads the store through orbisk_columnar")
    assert isinstance(db, Reader)
    label = os.path.basename(folder.rstrip("/"))
    with Ticker(err, f"{label}: reading the store"):
        table = arrowout.selected(db, sel, geometry="wkb")
    progress = Progress(err, table.num_rows, label)

    def texts() -> Any:
        return arrowout.selected(db, sel, metadata="json")

    return arrowout.write_partitioned(table, folder, options, progress, texts)  # type: ignore[no-any-return]


def export(
    db: Store, sel: Selection, path: str | None, fmt: str, options: Any, err: IO[str], total: int | None = None
) -> int:
    """Writes the selection; returns the number of points written. `total`:
    how many points the selection holds, when that is known beforehand (for
    the progress bar). A store read through the companion handle is exported
    through Arrow when pyarrow is installed (`arrowout`), else row by row."""
    arrowout = _arrow_writer(db)
    directory = os.path.dirname(os.path.abspath(path)) if path else None
    gz = path is not None and split_gz(path)[1]
    label = os.path.basename(path) if path else "export"
    schema: Schema | None = None
    for attempt in range(2):
        try:
            fd, temp = tempfile.mkstemp(prefix=".orbisk-export-", dir=directory)
        except OSError as e:
            raise CliError(f"cannot write to {directory or tempfile.gettempdir()}: {e.strerror}") from None
        try:
            with open(fd, "w+b") as stream:
                out: IO[bytes] = stream
                if gz:
                    name = os.path.basename(split_gz(path)[0]) if path else ""
                    out = cast(IO[bytes], gzip.GzipFile(filename=name, fileobj=stream, mode="wb", compresslevel=6))
                progress = Progress(err, total, label)
                try:
                    if arrowout is not None:
                        assert isinstance(db, Reader)
                        count = _write_arrow(arrowout, db, sel, fmt, out, options, progress)
                    else:
                        count = _write_all(fmt, out, chunks(db, sel), schema, options, progress, directory)
                    out.flush()
                    if gz:
                        out.close()
                except SchemaChange:
                    if attempt:
                        raise CliError("the store changed during the export; run it again") from None
                    progress.clear()
                    schema = Schema()
                    survey = Progress(err, total, f"{label}: metadata keys")
                    seen = 0
                    for chunk in chunks(db, sel):
                        schema.learn(chunk)
                        seen += len(chunk)
                        survey.update(seen, seen)
                    survey.clear()
                    continue
                except OSError as e:
                    raise CliError(f"cannot write {path or 'the output'}: {e.strerror or e}") from None
                if path is None:
                    stream.seek(0)
                    shutil.copyfileobj(stream, sys.stdout.buffer, 1 << 20)
                    sys.stdout.buffer.flush()
            if path is not None:
                mask = os.umask(0)
                os.umask(mask)
                os.chmod(temp, 0o666 & ~mask)
                os.replace(temp, path)
            return count
        finally:
            if os.path.exists(temp):
                os.unlink(temp)
    raise AssertionError("unreachable")
