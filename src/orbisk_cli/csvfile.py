"""CSV in and out.

The latitude and longitude columns are found by their usual names or named
with options; every other column is a metadata key, its cells typed by the
rules of `celltyping`, for a whole column over the whole file: a first
reading of the file learns which columns are typed, the second imports
(`CsvSource.prepare`). The `csv` module's reading (strict quoting, lines
split at LF, CRLF and CR, UTF-8 with an optional byte order mark) is what a
file says; with pyarrow installed, `csvblocks` reads the blocks of a file
where it reads the same, several times faster.
"""

from __future__ import annotations

import csv
import math
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from operator import itemgetter
from typing import IO, Any

from orbisk_cli.celltyping import QUOTED_EMPTY, ColumnTyping, column_cells, has_plain_text, text_values, typed_values
from orbisk_cli.csvtext import BOM, Tap, decoded_lines, mark_quoted_empty
from orbisk_cli.schema import ROW_FIELDS, Schema, SchemaChange
from orbisk_cli.source import Item, Point, Source, in_order
from orbisk_cli.values import ABSENT, BadRow, documents

LAT_NAMES = ("latitude", "lat", "y")
LON_NAMES = ("longitude", "lon", "lng", "long", "x")

csv.field_size_limit(sys.maxsize)

CHUNK = 1 << 20

_SEP = "\x1f"
# Likely delimiters of a file whose header holds no coordinate column.
_DELIMITERS = (",", ";", "\t", "|")


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
    values and the line numbers. Points are (lat, lon, metadata, line, row),
    the row counting the records after the header from 1."""

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
        text_columns: Iterable[str] = (),
        typing: bool = True,
    ) -> None:
        super().__init__(name, total, batch_size)
        self.stream = stream
        self.at_end = False
        self.delimiter = delimiter
        self.lat_column = lat_column
        self.lon_column = lon_column
        self.text_columns = list(text_columns)
        self.typing_on = typing
        self.typing: ColumnTyping | None = None
        self.scanning = False
        self.prepared = False
        self.records = 0  # rows handed to `typed` so far
        # (table, record lines, last line, file offset of its end) of the blocks
        # the first reading parsed, kept for the second (see csvblocks)
        self.kept: list[tuple[Any, list[int], int, int]] = []

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
            problem = e.problem
            if problem.startswith("no "):
                hint = next((d for d in _DELIMITERS if d != self.delimiter and any(d in h for h in header)), None)
                if hint is not None:
                    shown = "'\\t'" if hint == "\t" else f"'{hint}'"
                    problem += f", or, if the file is separated by {shown}, give --delimiter {shown}"
            raise BadRow(f"{self.name} {e.place}", problem) from None
        if self.lat_i == self.lon_i:
            raise BadRow(f"{self.name} header", "latitude and longitude are the same column")
        self.width = len(header)
        self.meta_i = [i for i in range(self.width) if i not in (self.lat_i, self.lon_i)]
        self.keys = [header[i] for i in self.meta_i]
        if len(set(self.keys)) != len(self.keys):
            twice = sorted({k for k in self.keys if self.keys.count(k) > 1})
            raise BadRow(f"{self.name} header", f"column {twice[0]!r} appears more than once")
        missing = [c for c in self.text_columns if c not in header]
        if missing:
            raise BadRow(f"{self.name} header", f"there is no column {missing[0]!r} (named in --text-columns)")
        if self.typing is None:
            text = [j for j, key in enumerate(self.keys) if not self.typing_on or key in self.text_columns]
            self.typing = ColumnTyping(len(self.keys), text)

    def prepare(self, tick: Callable[[], None]) -> None:
        """Reads the file once to learn which columns are typed, then rewinds
        it; `tick` is called now and then. A file that cannot be read to its
        end is learnt up to the place where the import will stop."""
        self.prepared = True
        if not self.typing_on:
            return
        self.scanning = True
        try:
            for _ in self._batches():
                tick()
                if self.typing is not None and not self.typing.open:
                    break  # every column is text
        except BadRow:
            pass
        finally:
            self.scanning = False
        self.stream.seek(0)
        self.at_end = False
        self.done = 0
        self.records = 0

    def batches(self) -> Iterator[Item]:
        if not self.prepared:
            self.prepare(lambda: None)
        return self._batches()

    def _batches(self) -> Iterator[Item]:
        head = self.read(CHUNK)
        start = 0
        if head.startswith(BOM):
            head = head[len(BOM) :]
            start = len(BOM)
        if self.use_blocks:
            try:
                from orbisk_cli import csvblocks
            except ImportError:  # without pyarrow (or numpy)
                pass
            else:
                if csvblocks.usable(self.delimiter):
                    yield from csvblocks.batches(self, head, start)
                    return
        yield from self.csv_batches(self.lines(head), 0, True)

    def row_of(self, point: Point) -> int:
        row: int = point[4]  # type: ignore[misc]
        return row

    def reader(self, lines: Iterable[str]) -> Any:
        return csv.reader(lines, delimiter=self.delimiter, strict=True)

    def csv_batches(self, lines: Iterator[str], line0: int, header: bool) -> Iterator[list[Point] | BadRow]:
        """The batches of the rows of `lines` read by the `csv` module, the
        first of them the header when `header` is set; `line0` lines came before."""
        tap = Tap(lines)
        reader = self.reader(tap)
        if header:
            try:
                first = next(reader)
            except StopIteration:
                raise BadRow(self.name, "the file is empty; a CSV file needs a header line") from None
            except (csv.Error, UnicodeDecodeError) as e:
                raise BadRow(f"{self.name} line 1", f"malformed CSV ({e})") from None
            self.use_header(first)
            tap.taken.clear()
        while True:
            rows: list[list[str]] = []
            lines_of: list[int] = []
            try:
                for row in reader:
                    if row:
                        if "" in row:
                            mark_quoted_empty(row, tap.taken, self.delimiter)
                        rows.append(row)
                        lines_of.append(line0 + reader.line_num)
                        tap.taken.clear()
                        if len(rows) >= self.batch_size:
                            break
                    else:
                        tap.taken.clear()
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

    def skipped(self, count: int) -> int:
        """Counts `count` more rows read; returns how many of them --skip-rows passes over."""
        base = self.records
        self.records += count
        if self.scanning or base >= self.skip_rows:
            return 0
        return min(self.skip_rows - base, count)

    def typed(
        self, rows: Sequence[Sequence[str]], lines: list[int], first: int | None = None
    ) -> Iterator[list[Point] | BadRow]:
        """The points of a batch of rows, with the bad ones split out in order;
        `first`: the row number of the first row, when the rows are counted
        (and --skip-rows applied) already."""
        if first is None:
            skip = self.skipped(len(rows))
            if skip:
                rows, lines = rows[skip:], lines[skip:]
                if not rows:
                    return
            first = self.records - len(rows) + 1
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
        if self.scanning:  # the column types are learnt over the rows that are not bad
            typing = self.typing
            assert typing is not None
            if columns is None:
                wrong = {i for i, _ in bad}
                good = [row for i, row in enumerate(rows) if i not in wrong]
                columns = list(zip(*good)) if good else None
            if columns is not None:
                for j in typing.open:
                    typing.see(j, columns[self.meta_i[j]])
            yield []
            return

        def make(start: int, stop: int) -> list[Point]:
            if columns is not None:
                return self.points(columns, lines, lats, lons, first)
            part = list(zip(*rows[start:stop]))
            return self.points(
                part, lines[start:stop], list(map(float, part[lat_i])), list(map(float, part[lon_i])), first + start
            )

        yield from in_order(len(rows), bad, make, lambda i: f"{self.name} line {lines[i]}")

    def points(
        self,
        columns: Sequence[Sequence[Any]],
        lines: Sequence[int],
        lats: list[float],
        lons: list[float],
        first: int,
        typed: bool = False,
        absent: bool = True,
    ) -> list[Point]:
        """Points from a batch's columns (all of them, by header position),
        the first of them row `first`; `typed`: the metadata columns hold
        values, not cells; `absent`: some value may be ABSENT."""
        if typed:
            metas: list[Any] = [columns[i] for i in self.meta_i]
        else:
            kinds = self.typing.typed if self.typing is not None else [True] * len(self.meta_i)
            metas = [
                typed_values(columns[i]) if kind else text_values(columns[i]) for i, kind in zip(self.meta_i, kinds)
            ]
        n = len(lats)
        return list(zip(lats, lons, documents(self.keys, metas, n, absent), lines, range(first, first + n)))


def in_range(values: list[float], limit: float) -> bool:
    return -limit <= min(values) and max(values) <= limit and not any(map(math.isnan, values))


# ---- writer -----------------------------------------------------------------------


def _quoted(cells: list[str], delimiter: str) -> list[str]:
    """The cells as written: quoted where they hold the delimiter, a quote or a
    line end, and QUOTED_EMPTY as a pair of quotes."""
    joined = _SEP.join(cells)
    special = delimiter in joined or '"' in joined or "\n" in joined or "\r" in joined
    if "" not in cells:
        if not special:
            return cells
        if delimiter != _SEP and joined.count(_SEP) == len(cells) - 1:
            return ('"' + joined.replace('"', '""').replace(_SEP, f'"{_SEP}"') + '"').split(_SEP)
    return [_quoted_cell(c, delimiter) if c else '""' if c is QUOTED_EMPTY else "" for c in cells]


def _quoted_cell(cell: str, delimiter: str) -> str:
    if delimiter in cell or '"' in cell or "\n" in cell or "\r" in cell:
        return '"' + cell.replace('"', '""') + '"'
    return cell


class CsvWriter:
    """Writes points as CSV: the id column (unless `id_name` is None), the
    coordinates, then one column a metadata key, each written by the rules of
    `celltyping` so that it reads back the same."""

    def __init__(self, schema: Schema, lat_name: str, lon_name: str, delimiter: str, id_name: str | None) -> None:
        keys = schema.keys
        for name in (lat_name, lon_name):
            if name in keys:
                raise ValueError(
                    f"a metadata key is named {name!r} like a coordinate column; "
                    "name the coordinate columns with --lat-column and --lon-column"
                )
        self.schema = schema
        self.keys = keys
        self.delimiter = delimiter
        self.id_name = id_name
        names = [lat_name, lon_name, *keys]
        if id_name is not None:
            names.insert(0, id_name)
        self.head = delimiter.join(_quoted_cell(n, delimiter) if n else '""' for n in names) + "\n"
        self.lead = self.foot = ""
        self.separator = self.tail = "\n"

    def render(self, rows: list[dict[str, Any]]) -> list[str]:
        """The lines of the rows (without their line ends)."""
        if not rows:
            return []
        lats, lons, metas = zip(*map(ROW_FIELDS, rows))  # one pass over the rows
        columns = [list(map(repr, lats)), list(map(repr, lons))]
        if self.id_name is not None:
            columns.insert(0, list(map(str, map(_ID, rows))))
        schema = self.schema
        for key, values in zip(self.keys, schema.columns(metas, ABSENT)):
            kind = schema.kinds[key]
            if kind != "json":
                wanted = _TYPES[kind]
                if set(map(type, values)) - {wanted, _ABSENT_TYPE}:
                    raise SchemaChange()
            plain = schema.plain.get(key, False)
            if kind == "str" and not plain and has_plain_text(values):
                raise SchemaChange()  # the key's text reads as text after all: written as it is
            columns.append(column_cells(values, kind, plain))
        quoted = [_quoted(column, self.delimiter) for column in columns]
        return list(map(self.delimiter.join, zip(*quoted)))


_ID = itemgetter("id")
_TYPES = {"bool": bool, "int": int, "float": float, "str": str}
_ABSENT_TYPE = type(ABSENT)
