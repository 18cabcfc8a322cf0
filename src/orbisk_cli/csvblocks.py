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
from collections.abc import Iterator, Sequence
from typing import Any, Protocol

import numpy as np
import pyarrow as pa  # first: without it, numpy is not loaded for nothing
import pyarrow.compute as pc
import pyarrow.csv as pa_csv

from orbisk_cli.csvtext import (
    BOM,
    BOOL_START,
    JSON_STARTS,
    NOT_TEXT_START,
    NUMBER_START,
    WORD_START,
    column_values,
    decoded_lines,
)
from orbisk_cli.source import Point
from orbisk_cli.values import FLOAT_TEXT, INT_TEXT, MAX_DEPTH, BadRow, decode_all, screened


class CsvSource(Protocol):
    """What the blocks are read for: the CSV source (`csvfile.CsvSource`)
    whose file they cut, whose header they read, and whose `csv` module
    reading and typing of rows they fall back on."""

    block_size: int
    batch_size: int
    at_end: bool
    delimiter: str
    width: int
    lat_i: int
    lon_i: int
    meta_i: list[int]

    def read(self, size: int) -> bytes: ...
    def lines(self, head: bytes | bytearray) -> Iterator[str]: ...
    def reader(self, lines: Iterator[str]) -> Any: ...
    def use_header(self, header: list[str]) -> None: ...
    def csv_batches(self, lines: Iterator[str], line0: int, header: bool) -> Iterator[list[Point] | BadRow]: ...
    def typed(self, rows: Sequence[Sequence[str]], lines: list[int]) -> Iterator[list[Point] | BadRow]: ...
    def malformed(self, line: int, error: Exception) -> BadRow: ...
    def points(
        self,
        columns: Sequence[Sequence[Any]],
        lines: Sequence[int],
        lats: list[float],
        lons: list[float],
        typed: bool = False,
        absent: bool = True,
    ) -> list[Point]: ...


# Whole cells that read as an integer (when it fits 64 bits), as a float.
_INT_CELL = "^" + INT_TEXT.pattern + "$"
_FLOAT_CELL = "^" + FLOAT_TEXT.pattern + "$"
_WORDS = pa.array(["true", "false", "null"])
SAMPLE = 2000  # cells looked at to tell whether a column repeats
MAX_BLOCK = 1 << 26  # a block this long with no record end in it: the rest is read by the csv module
_QUOTE = ord('"')
_LF = ord("\n")


def usable(delimiter: str) -> bool:
    return len(delimiter.encode("utf-8")) == 1 and delimiter != "\0"


def batches(source: CsvSource, head: bytes) -> Iterator[list[Point] | BadRow]:
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
    buffer = bytearray(head[end:])
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
        final = source.at_end and not buffer
        parsed = reading.parse(block, line0)
        if parsed is not None:
            batches_of_block, line0 = parsed
            yield from batches_of_block
            continue
        # the csv module reads the block
        reader = source.reader(decoded_lines(block))
        rows, lines = [], []
        error: Exception | None = None
        try:
            for row in reader:
                if row:
                    rows.append(row)
                    lines.append(line0 + reader.line_num)
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
        self.convert_options = pa_csv.ConvertOptions(
            column_types={name: pa.string() for name in self.names},
            strings_can_be_null=False,
            quoted_strings_can_be_null=False,
            null_values=[],
        )
        # pyarrow reads about four times faster when it need not look for line ends in quotes
        self.parse_options = [
            pa_csv.ParseOptions(delimiter=source.delimiter, newlines_in_values=multiline) for multiline in (False, True)
        ]
        self.delimiter = ord(source.delimiter)

    def parse(self, block: bytes, line0: int) -> tuple[list[list[Point] | BadRow], int] | None:
        """The batches of a block pyarrow reads as the csv module would, and the
        number of the block's last line; None when it cannot vouch for the block."""
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
        source = self.source
        columns = [table.column(i) for i in range(source.width)]
        out: list[list[Point] | BadRow] = []
        for start in range(0, table.num_rows, source.batch_size):
            stop = min(start + source.batch_size, table.num_rows)
            out.extend(self.typed([c.slice(start, stop - start) for c in columns], lines[start:stop]))
        return out, line0 + layout.line_ends

    def typed(self, columns: list[Any], lines: list[int]) -> Iterator[list[Point] | BadRow]:
        source = self.source
        lats = _coordinates(columns[source.lat_i], 90.0)
        lons = _coordinates(columns[source.lon_i], 180.0)
        if lats is None or lons is None:
            # some coordinate is not a plain number in range: found row by row
            yield from source.typed(list(zip(*[c.to_pylist() for c in columns])), lines)
            return
        values: list[Any] = [None] * len(columns)
        absent = False
        for i in source.meta_i:
            values[i], empty = _values(columns[i])
            absent |= empty
        yield source.points(values, lines, lats, lons, typed=True, absent=absent)


def _values(cells: Any) -> tuple[list[Any], bool]:
    """`_cell_values` of a column of cells; when a sample of them repeats, of
    its distinct cells only, each value then given to all its cells (a
    column of categories or of JSON tags is decoded once a distinct text)."""
    array = cells.chunk(0) if cells.num_chunks == 1 else pa.concat_arrays(cells.chunks)
    if len(array) >= 2 * SAMPLE and pc.count_distinct(array.slice(0, SAMPLE)).as_py() <= SAMPLE * 3 // 4:
        encoded = pc.dictionary_encode(array)
        if 2 * len(encoded.dictionary) <= len(array):
            distinct, absent = _cell_values(encoded.dictionary)
            values = np.fromiter(distinct, dtype=object, count=len(distinct))
            return values[encoded.indices.to_numpy()].tolist(), absent
    return _cell_values(array)


def _cell_values(cells: Any) -> tuple[list[Any], bool]:
    """`column_values` of a column of cells, with pyarrow's help where it can
    show that a column is all integers, all floats or all JSON texts that
    cannot hold a value the store would give back changed; and whether
    some cell is empty (its value ABSENT)."""
    if pc.any(pc.equal(cells, "")).as_py():
        return column_values(cells.to_pylist()), True
    firsts = set(pc.unique(pc.utf8_slice_codeunits(cells, 0, 1)).to_pylist())
    if not firsts & NOT_TEXT_START:
        if not firsts & WORD_START or not _any(pc.is_in(cells, value_set=_WORDS)):
            return cells.to_pylist(), False  # all plain text
        if firsts <= BOOL_START and _all(pc.is_in(cells, value_set=_WORDS[:2])):
            return pc.equal(cells, "true").to_pylist(), False
    elif firsts <= NUMBER_START:
        if _all(pc.match_substring_regex(cells, _INT_CELL)):
            try:
                return pc.cast(cells, pa.int64()).to_pylist(), False
            except pa.ArrowException:  # out of range
                pass
        elif _all(pc.match_substring_regex(cells, _FLOAT_CELL)):
            try:
                floats = pc.cast(cells, pa.float64())
            except pa.ArrowException:
                pass
            else:
                if np.isfinite(floats.to_numpy()).all():
                    return floats.to_pylist(), False
    elif firsts <= JSON_STARTS and unchanging(cells):
        values = decode_all(cells.to_pylist(), checked=False)
        if values is not None:
            return values, False
    return column_values(cells.to_pylist()), False


def _all(flags: Any) -> bool:
    return bool(pc.all(flags).as_py())


def unchanging(texts: Any) -> bool:
    """Whether no JSON text of a string array can hold a value the store
    gives back changed: none longer than MAX_DEPTH (so none nested too
    deeply), and their bytes `screened`."""
    longest = pc.max(pc.binary_length(texts)).as_py()
    if longest is None:
        return True
    if longest > MAX_DEPTH:
        return False
    offsets = np.frombuffer(texts.buffers()[1], dtype=np.int64 if pa.types.is_large_string(texts.type) else np.int32)
    data = texts.buffers()[2]
    start, end = offsets[texts.offset], offsets[texts.offset + len(texts)]
    return screened(bytes(memoryview(data)[start:end])) if data is not None else True


def _any(flags: Any) -> bool:
    return bool(pc.any(flags).as_py())


def _coordinates(cells: Any, limit: float) -> list[float] | None:
    """The numbers of a coordinate column, when every cell is one that float()
    reads as the same number (pyarrow refuses the rest) and within the limit."""
    try:
        numbers = pc.cast(cells, pa.float64())
    except pa.ArrowException:
        return None
    array = numbers.to_numpy()
    if not len(array) or not (-limit <= array.min() and array.max() <= limit):  # NaN is neither
        return None
    return numbers.to_pylist()  # type: ignore[no-any-return]
