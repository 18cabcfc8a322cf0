"""CSV in and out.

The latitude and longitude columns are found by their usual names or named
with options; every other column is a metadata key, its cells typed by the
rules of `values.cell_value`. Batches are typed column by column (see
`csvtext.column_values`). The `csv` module's reading (strict quoting, lines split
at LF, CRLF and CR, UTF-8 with an optional byte order mark) is what a file
says; with pyarrow installed, `csvblocks` reads the blocks of a file where
it reads the same, several times faster.
"""

from __future__ import annotations

import csv
import math
import sys
from collections.abc import Iterator, Sequence
from operator import itemgetter
from typing import IO, Any

from orbisk_cli.csvtext import BOM, SEP, column_values, decoded_lines, is_plain
from orbisk_cli.schema import ROW_FIELDS, Schema
from orbisk_cli.source import Point, Source, in_order
from orbisk_cli.values import (
    ABSENT,
    BadRow,
    cell_text,
    documents,
    encode_all,
)

LAT_NAMES = ("latitude", "lat", "y")
LON_NAMES = ("longitude", "lon", "lng", "long", "x")

csv.field_size_limit(sys.maxsize)

CHUNK = 1 << 20
_BOOL_TEXT = {True: "true", False: "false"}
_CONTAINERS = frozenset((list, dict))


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


def coordinate(text: str, what: str, limit: float) -> float:
    try:
        value = float(text)
    except ValueError:
        raise ValueError(f"{what} {text!r} is not a number") from None
    if not -limit <= value <= limit:
        raise ValueError(f"{what} {text} is out of range [{-limit:g}, {limit:g}]")
    return value


class CsvSource(Source):
    """Reads a CSV file in batches.

    With pyarrow at hand, the file is cut into blocks at line ends outside
    quotes and each block that `csvblocks` can vouch for is parsed by
    pyarrow's reader; everything else (and everything without pyarrow) goes
    through the `csv` module, whose reading decides what is accepted, the
    values and the line numbers."""

    unit = "line"
    block_size = 1 << 22
    use_blocks = True

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
        self.stream = stream
        self.at_end = False
        self.delimiter = delimiter
        self.lat_column = lat_column
        self.lon_column = lon_column

    def read(self, size: int) -> bytes:
        """The next bytes of the file (empty at its end), counted as done."""
        if self.at_end:
            return b""
        data = self.stream.read(size)
        if not data:
            self.at_end = True
        self.done += len(data)
        return data

    def use_header(self, header: list[str]) -> None:
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
        head = self.read(CHUNK)
        if head.startswith(BOM):
            head = head[len(BOM) :]
        if self.use_blocks:
            try:
                from orbisk_cli import csvblocks
            except ImportError:  # without pyarrow (or numpy)
                pass
            else:
                if csvblocks.usable(self.delimiter):
                    yield from csvblocks.batches(self, head)
                    return
        yield from self.csv_batches(self.lines(head), 0, True)

    def reader(self, lines: Iterator[str]) -> Any:
        return csv.reader(lines, delimiter=self.delimiter, strict=True)

    def csv_batches(self, lines: Iterator[str], line0: int, header: bool) -> Iterator[list[Point] | BadRow]:
        """The batches of the rows of `lines` read by the `csv` module, the
        first of them the header when `header` is set; `line0` lines came before."""
        reader = self.reader(lines)
        if header:
            try:
                first = next(reader)
            except StopIteration:
                raise BadRow(self.name, "the file is empty; a CSV file needs a header line") from None
            except (csv.Error, UnicodeDecodeError) as e:
                raise BadRow(f"{self.name} line 1", f"malformed CSV ({e})") from None
            self.use_header(first)
        while True:
            rows: list[list[str]] = []
            lines_of: list[int] = []
            try:
                for row in reader:
                    if row:
                        rows.append(row)
                        lines_of.append(line0 + reader.line_num)
                        if len(rows) >= self.batch_size:
                            break
            except (csv.Error, UnicodeDecodeError) as e:
                yield from self.typed(rows, lines_of)
                raise self.malformed(line0 + reader.line_num + 1, e) from None
            if not rows:
                return
            yield from self.typed(rows, lines_of)

    def malformed(self, line: int, error: Exception) -> BadRow:
        return BadRow(f"{self.name} line {line}", f"malformed CSV ({error})")

    def lines(self, head: bytes | bytearray) -> Iterator[str]:
        """The text lines (ends kept, as a text file opened with newline="" reads
        them) of `head` and the rest of the file, decoded a chunk at a time."""
        pending = bytearray(head)
        while True:
            more = self.read(CHUNK)
            if not more:
                if pending:
                    yield from decoded_lines(pending)
                return
            start = len(pending)
            pending += more
            cut = more.rfind(b"\n") + 1
            if not cut:
                cut = more.rfind(b"\r", 0, len(more) - 1) + 1  # a lone CR ends a line too
            if cut:
                yield from decoded_lines(pending[: start + cut])
                del pending[: start + cut]

    def typed(self, rows: Sequence[Sequence[str]], lines: list[int]) -> Iterator[list[Point] | BadRow]:
        """The points of a batch of rows, with the bad ones split out in order."""
        width, lat_i, lon_i = self.width, self.lat_i, self.lon_i
        columns: list[tuple[str, ...]] | None = None
        bad: list[tuple[int, str]] = []
        if set(map(len, rows)) == {width}:
            try:
                columns = list(zip(*rows))
                lats = list(map(float, columns[lat_i]))
                lons = list(map(float, columns[lon_i]))
                if not (in_range(lats, 90.0) and in_range(lons, 180.0)):
                    columns = None
            except ValueError:
                columns = None
        if columns is None:
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
            if columns is not None:
                return self.points(columns, lines, lats, lons)
            part = list(zip(*rows[start:stop]))
            return self.points(part, lines[start:stop], list(map(float, part[lat_i])), list(map(float, part[lon_i])))

        yield from in_order(len(rows), bad, make, lambda i: f"{self.name} line {lines[i]}")

    def points(
        self,
        columns: Sequence[Sequence[Any]],
        lines: Sequence[int],
        lats: list[float],
        lons: list[float],
        typed: bool = False,
        absent: bool = True,
    ) -> list[Point]:
        """Points from a batch's columns (all of them, by header position);
        `typed`: the metadata columns hold values, not cells; `absent`: some
        value may be ABSENT."""
        metas: list[Any] = [columns[i] if typed else column_values(columns[i]) for i in self.meta_i]
        return list(zip(lats, lons, documents(self.keys, metas, len(lats), absent), lines))


def in_range(values: list[float], limit: float) -> bool:
    return -limit <= min(values) and max(values) <= limit and not any(map(math.isnan, values))


# ---- writer -----------------------------------------------------------------------


def _blank_or_text(value: Any) -> str:
    return "" if value is ABSENT else cell_text(value)


def column_cells(values: list[Any]) -> list[str]:
    kinds = set(map(type, values))
    if kinds == {str}:
        if "" not in values and is_plain(values, set(map(itemgetter(0), values))):
            return values
    elif kinds == {int}:
        return list(map(str, values))
    elif kinds == {float}:
        return list(map(repr, values))
    elif kinds == {bool}:
        return list(map(_BOOL_TEXT.__getitem__, values))
    elif kinds <= _CONTAINERS:
        return encode_all(values)
    return list(map(_blank_or_text, values))


def _quoted(cells: list[str], delimiter: str) -> list[str] | None:
    """The cells as written: as they are when none needs quoting, else all
    quoted; None when the quick way cannot tell."""
    joined = SEP.join(cells)
    if not (delimiter in joined or '"' in joined or "\n" in joined or "\r" in joined):
        return cells
    if delimiter == SEP or joined.count(SEP) != len(cells) - 1:
        return None
    return ('"' + joined.replace('"', '""').replace(SEP, f'"{SEP}"') + '"').split(SEP)


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
        self.out = out
        self.delimiter = delimiter
        self.writer = csv.writer(out, delimiter=delimiter, lineterminator="\n")
        self.writer.writerow([lat_name, lon_name, *keys])

    def write(self, rows: list[dict[str, Any]]) -> None:
        if not rows:
            return
        lats, lons, metas = zip(*map(ROW_FIELDS, rows))  # one pass over the rows
        columns = [list(map(repr, lats)), list(map(repr, lons))]
        columns += map(column_cells, self.schema.columns(metas, ABSENT))
        quoted = [_quoted(column, self.delimiter) for column in columns]
        if None in quoted:
            self.writer.writerows(zip(*columns))
        else:
            self.out.write("\n".join(map(self.delimiter.join, zip(*quoted))) + "\n")

    def close(self) -> None:
        pass
