"""CSV read in blocks by pyarrow's reader, where it reads as the `csv` module does.

The `csv` module decides what a CSV file says: which texts are accepted, the
cells, the line numbers and the messages. pyarrow's reader (in C, and
without the interpreter lock) reads some texts the `csv` module refuses (a
quote in the middle of a field, an unterminated quote at the end), skips
empty lines and knows no line numbers. So the file is cut into blocks at
line ends outside quotes and a block goes to pyarrow only when it is
vouched for: every quote opens a field or closes one (or doubles one), no
NUL, no lone CR, no byte order mark at its start, and pyarrow found one row
for each non-empty record.
Any other block is read by the `csv` module; a block that the `csv` module
finds to end inside a quoted field sends the rest of the file through it.
"""

from __future__ import annotations

import csv
from collections.abc import Iterable, Iterator, Sequence
from typing import IO, Any, Protocol

import numpy as np
import pyarrow as pa  # first: without it, numpy is not loaded for nothing
import pyarrow.compute as pc
import pyarrow.csv as pa_csv

from orbisk_cli.celltyping import ColumnTyping, _array, arrow_cells, arrow_untyped, arrow_values
from orbisk_cli.csvtext import BOM, Tap, decoded_lines, mark_quoted_empty
from orbisk_cli.source import ArrowBatch, Item, Point, free_name
from orbisk_cli.values import BadRow


class CsvSource(Protocol):
    """What the blocks are read for: the CSV source (`csvfile.CsvSource`)
    whose file they cut, whose header they read, and whose `csv` module
    reading and typing of rows they fall back on."""

    stream: IO[bytes]
    block_size: int
    batch_size: int
    at_end: bool
    done: int
    delimiter: str
    width: int
    lat_i: int
    lon_i: int
    meta_i: list[int]
    keys: list[str]
    records: int
    scanning: bool
    typing: ColumnTyping | None
    kept: list[tuple[Any, list[int], int, int]]

    def read(self, size: int) -> bytes: ...
    def skipped(self, count: int) -> int: ...
    def lines(self, head: bytes | bytearray) -> Iterator[str]: ...
    def reader(self, lines: Iterable[str]) -> Any: ...
    def use_header(self, header: list[str]) -> None: ...
    def csv_batches(self, lines: Iterator[str], line0: int, header: bool) -> Iterator[list[Point] | BadRow]: ...
    def typed(
        self, rows: Sequence[Sequence[str]], lines: list[int], first: int | None = None
    ) -> Iterator[list[Point] | BadRow]: ...
    def malformed(self, line: int, error: Exception) -> BadRow: ...
    def points(
        self,
        columns: Sequence[Sequence[Any]],
        lines: Sequence[int],
        lats: list[float],
        lons: list[float],
        first: int,
        typed: bool = False,
        absent: bool = True,
    ) -> list[Point]: ...


MAX_BLOCK = 1 << 26  # a block this long with no record end in it: the rest is read by the csv module
KEEP = 256 << 20  # bytes of blocks whose tables the first reading keeps for the second
_QUOTE = ord('"')
# A column of JSON text: the store keeps each cell's value.
_JSON_FIELD = {b"ARROW:extension:name": b"arrow.json", b"ARROW:extension:metadata": b""}
_LF = ord("\n")


def usable(delimiter: str) -> bool:
    return len(delimiter.encode("utf-8")) == 1 and delimiter != "\0"


def batches(source: CsvSource, head: bytes, start: int = 0) -> Iterator[Item]:
    """The batches of a file whose first bytes (from file offset `start`, after
    a byte order mark) are `head`. The first reading of a file (the one that
    learns the column types) keeps the tables pyarrow parsed, up to KEEP bytes
    of blocks, and the second starts with them, then reads on after them."""
    end = _header_end(source, head)
    if end is None:
        yield from source.csv_batches(source.lines(head), 0, True)
        return
    header_text = head[:end]
    try:
        rows = list(source.reader(decoded_lines(header_text)))
    except (csv.Error, UnicodeDecodeError):
        rows = []
    if len(rows) != 1:  # the csv module names the problem
        yield from source.csv_batches(source.lines(head), 0, True)
        return
    source.use_header(rows[0])
    reading = _Blocks(source)
    line0 = header_text.count(b"\n")
    offset = start + end  # in the file, of the buffer's first byte
    buffer = bytearray(head[end:])
    if source.kept and not source.scanning:
        for table, lines, line_after, block_end in source.kept:
            yield from reading.batches_of(table, lines, True)
            line0, offset = line_after, block_end
            source.done = offset  # read again from memory: progress as the file's bytes
        source.kept = []
        source.stream.seek(offset)
        source.at_end = False
        source.done = offset
        buffer = bytearray()
    keeping = source.scanning
    kept = 0
    while True:
        while len(buffer) < source.block_size and not source.at_end:
            buffer += source.read(source.block_size - len(buffer))
        if not buffer:
            return
        cut = _record_end(buffer, source.block_size) if len(buffer) > source.block_size or not source.at_end else None
        if cut is None:
            if source.at_end:
                cut = len(buffer)
            elif len(buffer) < MAX_BLOCK:
                buffer += source.read(len(buffer))
                continue
            else:
                yield from source.csv_batches(source.lines(buffer), line0, False)
                return
        block = bytes(memoryview(buffer)[:cut])
        del buffer[:cut]
        offset += cut
        final = source.at_end and not buffer
        parsed = reading.parse(block, line0)
        if parsed is not None:
            table, lines, line_after = parsed
            if keeping and kept + len(block) <= KEEP:
                source.kept.append((table, lines, line_after, offset))
                kept += len(block)
            else:
                keeping = False
            yield from reading.batches_of(table, lines)
            line0 = line_after
            continue
        keeping = False
        # the csv module reads the block
        tap = Tap(decoded_lines(block))
        reader = source.reader(tap)
        rows, lines = [], []
        error: Exception | None = None
        try:
            for row in reader:
                if row:
                    if "" in row:
                        mark_quoted_empty(row, tap.taken, source.delimiter)
                    rows.append(row)
                    lines.append(line0 + reader.line_num)
                tap.taken.clear()
        except (csv.Error, UnicodeDecodeError) as e:
            if not final and isinstance(e, csv.Error) and str(e) == "unexpected end of data":
                # the block does not end where a record does: the rest goes through the csv module
                yield from source.csv_batches(source.lines(block + buffer), line0, False)
                return
            error = e
        for start in range(0, len(rows), source.batch_size):
            stop = start + source.batch_size
            yield from source.typed(rows[start:stop], lines[start:stop])
        if error is not None:
            raise source.malformed(line0 + reader.line_num + 1, error)
        line0 += reader.line_num


def _header_end(source: CsvSource, head: bytes) -> int | None:
    """Where the header record ends in `head`, when pyarrow could read blocks after it."""
    end = quotes = 0
    while True:
        at = head.find(b"\n", end)
        if at < 0:
            if not source.at_end:
                return None
            at = len(head) - 1
        quotes += head.count(b'"', end, at + 1)
        end = at + 1
        if quotes % 2 == 0:
            return end if _Layout(head[:end], ord(source.delimiter)).plain else None
        if end >= len(head):
            return None


def _record_end(buffer: bytearray, size: int) -> int | None:
    """The end of the last line in the first `size` bytes of `buffer` (or,
    when none ends there, in all of it) that ends outside quotes; or of the
    last line when none of the last lines does (a stray quote: the block is
    then not vouched for and the csv module reads it); None when there is no
    line end."""
    last = at = buffer.rfind(b"\n", 0, size)
    if last < 0:
        last = at = buffer.rfind(b"\n")
        if last < 0:
            return None
    quotes = buffer.count(b'"', 0, at)
    for _ in range(64):
        if quotes % 2 == 0:
            return at + 1
        before = buffer.rfind(b"\n", 0, at)
        if before < 0:
            break
        quotes -= buffer.count(b'"', before, at)
        at = before
    return last + 1


class _Layout:
    """Where the quotes and line ends of a block are, and whether every quote
    opens a field, closes one or doubles one, with no NUL, no lone CR and no
    byte order mark at its start, which pyarrow would drop (`plain`): such a
    block reads the same to pyarrow as to the csv module."""

    def __init__(self, block: bytes, delimiter: int) -> None:
        self.block = block
        self.plain = False
        self.multiline = False  # some quoted field holds a line end
        self.quotes = self.newlines = self.inside = None
        self.line_ends = 0
        if b"\0" in block or block.startswith(BOM):
            return
        crs = block.count(b"\r")
        if crs and crs != block.count(b"\r\n"):
            return
        if b'"' in block:
            data = np.frombuffer(block, np.uint8)
            quotes = np.flatnonzero(data == _QUOTE)
            if len(quotes) % 2:
                return
            opening, closing = quotes[0::2], quotes[1::2]
            before = data[opening - 1]
            after = data[np.minimum(closing + 1, len(data) - 1)]
            if opening[0] == 0:
                before[0] = _LF
            if closing[-1] == len(data) - 1:
                after[-1] = _LF
            border = np.zeros(256, bool)
            border[[delimiter, _LF, ord("\r"), _QUOTE]] = True
            if not (border[before].all() and border[after].all()):
                return
            self.quotes = quotes
            self.newlines = np.flatnonzero(data == _LF)
            self.inside = np.searchsorted(quotes, self.newlines) % 2 == 1
            self.multiline = bool(self.inside.any())
        self.line_ends = block.count(b"\n") if self.newlines is None else len(self.newlines)
        self.plain = True

    def record_lines(self, rows: int, line0: int) -> list[int] | None:
        """The line of each non-empty record (where its last line is), when
        there are `rows` of them, else None."""
        block = self.block
        newlines = self.line_ends
        unended = 0 if block.endswith(b"\n") else 1
        if rows == newlines + unended:  # a record on every line
            return list(range(line0 + 1, line0 + rows + 1))
        data = np.frombuffer(block, np.uint8)
        ends = np.flatnonzero(data == _LF) if self.newlines is None else self.newlines
        outside = np.ones(len(ends), bool) if self.inside is None else ~self.inside
        numbers = np.flatnonzero(outside) + 1  # the line of each record end
        record_ends = ends[outside]
        if unended:
            numbers = np.append(numbers, newlines + 1)
            record_ends = np.append(record_ends, len(data))
        starts = np.concatenate(([0], record_ends[:-1] + 1))
        length = record_ends - starts
        empty = (length == 0) | ((length == 1) & (data[np.minimum(starts, len(data) - 1)] == ord("\r")))
        kept = numbers[~empty]
        if len(kept) != rows:
            return None
        return (kept + line0).tolist()  # type: ignore[no-any-return]


class _Blocks:
    def __init__(self, source: CsvSource) -> None:
        self.source = source
        self.names = [f"c{i}" for i in range(source.width)]
        self.read_options = pa_csv.ReadOptions(column_names=self.names, block_size=1 << 30)
        # an empty cell is null, a quoted one ("") the empty string
        self.convert_options = pa_csv.ConvertOptions(
            column_types={name: pa.string() for name in self.names},
            strings_can_be_null=True,
            quoted_strings_can_be_null=False,
            null_values=[""],
        )
        # pyarrow reads about four times faster when it need not look for line ends in quotes
        self.parse_options = [
            pa_csv.ParseOptions(delimiter=source.delimiter, newlines_in_values=multiline) for multiline in (False, True)
        ]
        self.delimiter = ord(source.delimiter)

    def parse(self, block: bytes, line0: int) -> tuple[Any, list[int], int] | None:
        """pyarrow's table of a block that it reads as the csv module would,
        the line of each of its records and the number of the block's last
        line; None when it cannot vouch for the block."""
        layout = _Layout(block, self.delimiter)
        if not layout.plain:
            return None
        try:
            table = pa_csv.read_csv(
                pa.py_buffer(block), self.read_options, self.parse_options[layout.multiline], self.convert_options
            )
        except (pa.ArrowException, UnicodeDecodeError):
            return None
        lines = layout.record_lines(table.num_rows, line0)
        if lines is None:
            return None
        return table, lines, line0 + layout.line_ends

    def batches_of(self, table: Any, lines: list[int], seen: bool = False) -> Iterator[Item]:
        """The batches of a parsed block; `seen`: the block is one the first
        reading parsed and typed (kept for this one), not read again."""
        source = self.source
        columns = [table.column(i) for i in range(source.width)]
        for start in range(0, table.num_rows, source.batch_size):
            stop = min(start + source.batch_size, table.num_rows)
            yield from self.typed([c.slice(start, stop - start) for c in columns], lines[start:stop], seen)

    def typed(self, columns: list[Any], lines: list[int], seen: bool = False) -> Iterator[Item]:
        source = self.source
        skip = source.skipped(len(lines))
        if skip:
            columns = [c.slice(skip) for c in columns]
            lines = lines[skip:]
            if not lines:
                return
        first = source.records - len(lines) + 1
        lats = _coordinates(columns[source.lat_i], 90.0)
        lons = _coordinates(columns[source.lon_i], 180.0)
        if lats is None or lons is None:
            # some coordinate is not a plain number in range: found row by row
            rows = list(zip(*[arrow_cells(c) for c in columns]))
            yield from source.typed(rows, lines, first)
            return
        typing = source.typing
        assert typing is not None
        if source.scanning:
            for j in typing.open:
                typing.see_arrow(j, columns[source.meta_i[j]])
            yield []
            return

        def points() -> Iterator[list[Point] | BadRow]:
            values: list[Any] = [None] * len(columns)
            absent = False
            for j, i in enumerate(source.meta_i):
                values[i], empty = arrow_values(columns[i], typing.typed[j])
                absent |= empty
            yield source.points(values, lines, lats.to_pylist(), lons.to_pylist(), first, typed=True, absent=absent)

        # A typed column's cells are JSON text of their values (see celltyping):
        # the store reads them as it reads JSON. Cells of a block read again
        # are looked at once more, should the file have changed in between.
        if seen or not any(arrow_untyped(columns[i]) for j, i in enumerate(source.meta_i) if typing.typed[j]):
            yield self.arrow_batch(columns, lats, lons, first + len(lines) - 1, points)
        else:
            yield from points()

    def arrow_batch(self, columns: list[Any], lats: Any, lons: Any, last_row: int, points: Any) -> ArrowBatch:
        source = self.source
        typing = source.typing
        assert typing is not None
        keys = source.keys
        lat_name = free_name("latitude", keys)
        lon_name = free_name("longitude", [*keys, lat_name])
        arrays = [lats, lons]
        fields = [pa.field(lat_name, pa.float64()), pa.field(lon_name, pa.float64())]
        for j, i in enumerate(source.meta_i):
            cells = _array(columns[i])
            if typing.typed[j]:
                if pc.any(pc.equal(cells, "")).as_py():  # the cell "" is the empty string
                    cells = pc.if_else(pc.equal(cells, ""), '""', cells)
                fields.append(pa.field(keys[j], pa.string(), metadata=_JSON_FIELD))
            else:
                fields.append(pa.field(keys[j], pa.string()))
            arrays.append(cells)
        table = pa.Table.from_arrays(arrays, schema=pa.schema(fields))
        return ArrowBatch(table, lat_name, lon_name, keys, last_row, points)


def _coordinates(cells: Any, limit: float) -> Any:
    """The numbers of a coordinate column (a float64 array), when every cell is
    one that float() reads as the same number (pyarrow refuses the rest) and
    within the limit."""
    try:
        numbers = _array(pc.cast(cells, pa.float64()))
    except pa.ArrowException:
        return None
    array = numbers.to_numpy(zero_copy_only=False)
    if not len(array) or not (-limit <= array.min() and array.max() <= limit):  # NaN is neither
        return None
    return numbers
