"""CSV in and out.

The latitude and longitude columns are found by their usual names or named
with options; every other column is a metadata key, its cells typed by the
rules of `values.cell_value`. Batches are typed column by column: a column
that is all plain text, all integers, all floats or all booleans is checked
with one regular expression over the joined column and converted in C,
the rest cell by cell.
"""

from __future__ import annotations

import csv
import io
import re
import sys
from collections.abc import Iterator, Sequence
from itertools import repeat
from operator import itemgetter, methodcaller
from typing import IO, Any

from orbisk_cli.schema import Schema
from orbisk_cli.source import Point, Source, in_order
from orbisk_cli.values import ABSENT, BadRow, cell_text, cell_value

LAT_NAMES = ("latitude", "lat", "y")
LON_NAMES = ("longitude", "lon", "lng", "long", "x")

csv.field_size_limit(sys.maxsize)

_SEP = "\x1f"
# Any cell that is not plain text: empty, or starting like a number or JSON.
_NOT_PLAIN = re.compile("(?:^|\x1f)(?:[-0-9\\[{\"]|(?:true|false|null)(?:\x1f|$)|\x1f|$)")
_INTS = re.compile("-?(?:0|[1-9][0-9]{0,17})(?:\x1f-?(?:0|[1-9][0-9]{0,17}))*")
_FLOAT = "-?(?:0|[1-9][0-9]{0,16})(?:\\.[0-9]+(?:[eE][-+]?[0-9]{1,2})?|[eE][-+]?[0-9]{1,2})"
_FLOATS = re.compile(f"{_FLOAT}(?:\x1f{_FLOAT})*")
_BOOLS = re.compile("(?:true|false)(?:\x1f(?:true|false))*")
_BOOL_OF = {"true": True, "false": False}.__getitem__


def find_column(header: Sequence[str], given: str | None, names: tuple[str, ...], what: str, option: str) -> int:
    if given is not None:
        if given not in header:
            raise BadRow("header", f"there is no column {given!r}")
        return header.index(given)
    for name in names:
        if name in header:
            return header.index(name)
    folded = [h.strip().lower() for h in header]
    for name in names:
        if name in folded:
            return folded.index(name)
    raise BadRow("header", f"no {what} column (looked for {', '.join(names)}); name it with {option}")


def column_values(cells: Sequence[str]) -> list[Any]:
    """The typed values of one column of a batch (ABSENT for empty cells)."""
    joined = _SEP.join(cells)
    if joined.count(_SEP) == len(cells) - 1:
        if not _NOT_PLAIN.search(joined):
            return list(cells)
        if _INTS.fullmatch(joined):
            return list(map(int, cells))
        if _FLOATS.fullmatch(joined):
            return list(map(float, cells))
        if _BOOLS.fullmatch(joined):
            return list(map(_BOOL_OF, cells))
    return list(map(cell_value, cells))


def coordinate(text: str, what: str, limit: float) -> float:
    try:
        value = float(text)
    except ValueError:
        raise ValueError(f"{what} {text!r} is not a number") from None
    if not -limit <= value <= limit:
        raise ValueError(f"{what} {text} is out of range [{-limit:g}, {limit:g}]")
    return value


class CsvSource(Source):
    unit = "line"

    def __init__(
        self,
        stream: IO[bytes],
        name: str,
        total: int | None,
        batch_size: int,
        lat_column: str | None,
        lon_column: str | None,
        delimiter: str,
    ) -> None:
        super().__init__(name, total, batch_size)
        counted = _Counted(stream, self)
        text = io.TextIOWrapper(io.BufferedReader(counted, 1 << 20), encoding="utf-8-sig", newline="")
        self.reader = csv.reader(text, delimiter=delimiter, strict=True)
        self.lat_column = lat_column
        self.lon_column = lon_column

    def _header(self) -> None:
        try:
            header = next(self.reader)
        except StopIteration:
            raise BadRow(self.name, "the file is empty; a CSV file needs a header line") from None
        except (csv.Error, UnicodeDecodeError) as e:
            raise BadRow(f"{self.name} line 1", f"malformed CSV ({e})") from None
        try:
            self.lat_i = find_column(header, self.lat_column, LAT_NAMES, "latitude", "--lat-column")
            self.lon_i = find_column(header, self.lon_column, LON_NAMES, "longitude", "--lon-column")
        except BadRow as e:
            raise BadRow(f"{self.name} {e.place}", e.problem) from None
        if self.lat_i == self.lon_i:
            raise BadRow(f"{self.name} header", "latitude and longitude are the same column")
        self.width = len(header)
        self.meta_i = [i for i in range(self.width) if i not in (self.lat_i, self.lon_i)]
        self.keys = [header[i] for i in self.meta_i]
        if len(set(self.keys)) != len(self.keys):
            twice = sorted({k for k in self.keys if self.keys.count(k) > 1})
            raise BadRow(f"{self.name} header", f"column {twice[0]!r} appears more than once")

    def batches(self) -> Iterator[list[Point] | BadRow]:
        self._header()
        reader = self.reader
        while True:
            rows: list[list[str]] = []
            lines: list[int] = []
            try:
                for row in reader:
                    if row:
                        rows.append(row)
                        lines.append(reader.line_num)
                        if len(rows) >= self.batch_size:
                            break
            except (csv.Error, UnicodeDecodeError) as e:
                yield from self._typed(rows, lines)
                raise BadRow(f"{self.name} line {reader.line_num + 1}", f"malformed CSV ({e})") from None
            if not rows:
                return
            yield from self._typed(rows, lines)

    def _typed(self, rows: list[list[str]], lines: list[int]) -> Iterator[list[Point] | BadRow]:
        """The points of a batch of rows, with the bad ones split out in order."""
        width, lat_i, lon_i = self.width, self.lat_i, self.lon_i
        coords: tuple[list[float], list[float]] | None = None
        bad: list[tuple[int, str]] = []
        if set(map(len, rows)) == {width}:
            try:
                lats = list(map(float, map(itemgetter(lat_i), rows)))
                lons = list(map(float, map(itemgetter(lon_i), rows)))
                if all(-90.0 <= v <= 90.0 for v in lats) and all(-180.0 <= v <= 180.0 for v in lons):
                    coords = (lats, lons)
            except ValueError:
                pass
        if coords is None:
            for i, row in enumerate(rows):
                if len(row) != width:
                    bad.append((i, f"{len(row)} fields where the header has {width}"))
                    continue
                try:
                    coordinate(row[lat_i], "latitude", 90.0)
                    coordinate(row[lon_i], "longitude", 180.0)
                except ValueError as e:
                    bad.append((i, str(e)))

        def make(start: int, stop: int) -> list[Point]:
            if coords is not None:
                return self._points(rows, lines, coords)
            part = rows[start:stop]
            lats = list(map(float, map(itemgetter(lat_i), part)))
            lons = list(map(float, map(itemgetter(lon_i), part)))
            return self._points(part, lines[start:stop], (lats, lons))

        yield from in_order(len(rows), bad, make, lambda i: f"{self.name} line {lines[i]}")

    def _points(self, rows: list[list[str]], lines: list[int], coords: tuple[list[float], list[float]]) -> list[Point]:
        columns = [column_values(list(map(itemgetter(i), rows))) for i in self.meta_i]
        metas: list[dict[str, Any]]
        if columns:
            metas = list(map(dict, map(zip, repeat(self.keys), zip(*columns))))
        else:
            metas = [{} for _ in rows]
        for key, column in zip(self.keys, columns):
            if ABSENT in column:
                for meta, value in zip(metas, column):
                    if value is ABSENT:
                        del meta[key]
        return list(zip(coords[0], coords[1], metas, lines))


class _Counted(io.RawIOBase):
    """A binary stream that adds what it reads to a source's progress."""

    def __init__(self, stream: IO[bytes], source: Source) -> None:
        self.stream = stream
        self.source = source

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        data = self.stream.read(len(buffer))
        n = len(data)
        buffer[:n] = data
        self.source.done += n
        return n


# ---- writer -----------------------------------------------------------------------


def _blank_or_text(value: Any) -> str:
    return "" if value is ABSENT else cell_text(value)


def column_cells(values: list[Any]) -> list[str] | map[str]:
    kinds = set(map(type, values))
    if kinds == {str}:
        joined = _SEP.join(values)
        if joined.count(_SEP) == len(values) - 1 and not _NOT_PLAIN.search(joined):
            return values
    elif kinds == {int}:
        return map(str, values)
    elif kinds == {float}:
        return map(repr, values)
    return map(_blank_or_text, values)


class CsvWriter:
    def __init__(self, out: IO[str], schema: Schema, lat_name: str, lon_name: str, delimiter: str) -> None:
        keys = schema.keys
        for name in (lat_name, lon_name):
            if name in keys:
                raise ValueError(
                    f"a metadata key is named {name!r} like a coordinate column; "
                    "name the coordinate columns with --lat-column and --lon-column"
                )
        self.schema = schema
        self.keys = keys
        self.writer = csv.writer(out, delimiter=delimiter, lineterminator="\n")
        self.writer.writerow([lat_name, lon_name, *keys])

    def write(self, rows: list[dict[str, Any]]) -> None:
        metas = list(map(itemgetter("metadata"), rows))
        self.schema.check(metas)
        columns = [column_cells(list(map(methodcaller("get", k, ABSENT), metas))) for k in self.keys]
        lats = map(repr, map(itemgetter("latitude"), rows))
        lons = map(repr, map(itemgetter("longitude"), rows))
        self.writer.writerows(zip(lats, lons, *columns))

    def close(self) -> None:
        pass
