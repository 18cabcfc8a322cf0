"""Writing selected points to a file or to standard output.

The output goes to a temporary file beside the target and replaces it only
when complete, so a failed export leaves no half-written file. CSV and
GeoParquet need their columns before the first row: they start from the
first chunk's keys and kinds and, should a later chunk bring others, start
again from a schema surveyed over the whole selection.
"""

from __future__ import annotations

import os
import shutil
import sys
import tempfile
from collections.abc import Iterator
from typing import IO, Any

from orbisk import PyZurAD

from orbisk_cli.errors import CliError
from orbisk_cli.schema import Schema, SchemaChange
from orbisk_cli.selection import Selection, chunks

# Rows handed to a writer at a time. A writer makes several passes over its
# rows (a field, a column, its kinds, its text), each touching every row's
# objects, which lie scattered in memory: a few thousand rows stay in the
# processor's cache from one pass to the next, a whole chunk does not (at a
# chunk at a time, the passes took about half as long again).
PIECE = 2000


def _writer(fmt: str, stream: IO[bytes], schema: Schema | None, options: Any) -> tuple[Any, IO[str] | None]:
    if fmt == "parquet":
        from orbisk_cli.geoparquet import GeoParquetWriter

        return GeoParquetWriter(stream, schema or Schema()), None
    text = open(stream.fileno(), "w", encoding="utf-8", newline="", closefd=False, buffering=1 << 20)
    if fmt == "csv":
        from orbisk_cli.csvfile import CsvWriter

        try:
            writer: Any = CsvWriter(
                text,
                schema or Schema(),
                options.lat_column or "latitude",
                options.lon_column or "longitude",
                options.delimiter or ",",
            )
        except ValueError as e:
            raise CliError(str(e)) from None
    elif fmt == "geojson":
        from orbisk_cli.geojson import FeatureCollectionWriter

        writer = FeatureCollectionWriter(text)
    else:
        from orbisk_cli.geojson import FeatureLinesWriter

        writer = FeatureLinesWriter(text)
    return writer, text


def _write_all(fmt: str, stream: IO[bytes], rows: Iterator[list[Any]], schema: Schema | None, options: Any) -> int:
    if fmt in ("csv", "parquet"):
        first = next(rows, [])
        schema = schema or Schema().learn(first)
        rows = _chain(first, rows)
    writer, text = _writer(fmt, stream, schema, options)
    count = 0
    for chunk in rows:
        for start in range(0, len(chunk), PIECE):
            writer.write(chunk[start : start + PIECE])
        count += len(chunk)
    writer.close()
    if text is not None:
        text.flush()
    return count


def _chain(first: list[Any], rest: Iterator[list[Any]]) -> Iterator[list[Any]]:
    yield first
    yield from rest


def export(db: PyZurAD, sel: Selection, path: str | None, fmt: str, options: Any) -> int:
    """Writes the selection; returns the number of points written."""
    directory = os.path.dirname(os.path.abspath(path)) if path else None
    schema: Schema | None = None
    for attempt in range(2):
        try:
            fd, temp = tempfile.mkstemp(prefix=".orbisk-export-", dir=directory)
        except OSError as e:
            raise CliError(f"cannot write to {directory or tempfile.gettempdir()}: {e.strerror}") from None
        try:
            with open(fd, "w+b") as stream:
                try:
                    count = _write_all(fmt, stream, chunks(db, sel), schema, options)
                except SchemaChange:
                    if attempt:
                        raise CliError("the store changed during the export; run it again") from None
                    schema = Schema()
                    for chunk in chunks(db, sel):
                        schema.learn(chunk)
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
