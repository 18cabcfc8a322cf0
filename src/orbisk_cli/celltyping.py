"""How CSV cells become metadata values, and metadata values CSV cells.

Reading. A cell left empty leaves its key out of the point's metadata; a
cell written as a pair of quotes with nothing between them is the empty
string. Every other cell is text or a value, decided for a whole column
over the whole file: the cells of a column are values only when every one
of them (empty cells aside) is *typed*, that is:

- an integer written as it is written back: no plus sign, no leading zero,
  not "-0", within the signed 64-bit range ("007", "+33" are not);
- a finite float written as it is written back, Python's shortest
  round-trip text ("1.5", "0.1", "1e+16"; not "1.50", "1E4", "1e16", ".5");
- true, false or null;
- JSON text that starts with '[', '{' or '"' and decodes to a value that
  the store gives back as it is.

Otherwise every cell of the column is its text. So no cell is ever read as a
value that is written back as other text, and a column never mixes numbers
with text that merely failed to be one. Columns named with --text-columns,
and every column with --no-typing, are text.

Writing. Each column is written so that it reads back the same: numbers,
booleans and null as their text, text as itself when some text of the column
is not typed (the column then reads back as text), else as JSON strings; a
column of mixed kinds as JSON text throughout; the empty string as "".

The rules live here, for cells as Python strings (the `csv` module's
reading) and as Arrow string arrays (pyarrow's), so every reader applies the
same ones. In Arrow arrays a null is an empty cell and "" a quoted one.
"""

from __future__ import annotations

import math
import re
from collections.abc import Iterable, Sequence
from operator import itemgetter
from typing import Any

from orbisk_cli.values import (
    ABSENT,
    INT64_MAX,
    INT64_MIN,
    MAX_DEPTH,
    decode,
    decode_all,
    encode,
    encode_all,
    problem_in,
    screened,
)


class _QuotedEmpty(str):
    """The cell "" (a pair of quotes): the empty string, where an empty cell is no value."""

    __slots__ = ()


QUOTED_EMPTY = _QuotedEmpty("")
NOT_TYPED: Any = object()

# Integers as written back: the pattern alone keeps them within 64 bits up to
# 18 digits; 19 digits need a look at the value.
INT_TEXT = re.compile(r"0|-?[1-9][0-9]*")
SHORT_INT_CELL = r"^(?:0|-?[1-9][0-9]{0,17})$"
# A JSON number with a fraction or an exponent; typed when repr gives it back.
_FLOAT = r"-?(?:0|[1-9][0-9]*)(?:\.[0-9]+(?:[eE][-+]?[0-9]+)?|[eE][-+]?[0-9]+)"
FLOAT_TEXT = re.compile(_FLOAT)
FLOAT_CELL = f"^{_FLOAT}$"
# Floats that repr certainly gives back as they are: at most 15 digits (every
# such decimal is the shortest text of its double), written in the fixed form
# repr uses between 1e-4 and 1e16, without trailing zeros but in "x.0".
SHORT_FLOAT_CELL = r"^-?(?:[1-9][0-9]*\.(?:0|[0-9]*[1-9])|0\.(?:0|0{0,3}[1-9](?:[0-9]*[1-9])?))$"
SHORT_FLOAT_LENGTH = 16  # without the sign: 15 digits and a point (or "0." and 14)
NUMBER_START = frozenset("-0123456789")
JSON_START = frozenset('[{"')
WORD_START = frozenset("tfn")
_WORDS: dict[str, Any] = {"true": True, "false": False, "null": None}
_BOOL_TEXT = {True: "true", False: "false"}
SAMPLE = 2000  # Arrow cells looked at to tell whether a column repeats


def typed_value(cell: str) -> Any:
    """The value of a non-empty cell, or NOT_TYPED when it is text."""
    first = cell[0]
    if first in NUMBER_START:
        if INT_TEXT.fullmatch(cell):
            number = int(cell)
            return number if INT64_MIN <= number <= INT64_MAX else NOT_TYPED
        if FLOAT_TEXT.fullmatch(cell):
            real = float(cell)
            return real if math.isfinite(real) and repr(real) == cell else NOT_TYPED
        return NOT_TYPED
    if first in JSON_START:
        try:
            value = decode(cell)
        except (ValueError, RecursionError):
            return NOT_TYPED
        return NOT_TYPED if problem_in(value, 2) else value
    if first in WORD_START and cell in _WORDS:
        return _WORDS[cell]
    return NOT_TYPED


def untyped_in(cells: Sequence[str]) -> bool:
    """Whether some cell, empty ones aside, is text rather than a value."""
    present = [c for c in cells if c] if "" in cells else list(cells)
    if not present:
        return False
    firsts = set(map(itemgetter(0), present))
    if firsts <= NUMBER_START:
        try:
            ints = list(map(int, present))
        except ValueError:
            pass
        else:
            return list(map(str, ints)) != present or min(ints) < INT64_MIN or max(ints) > INT64_MAX
        try:
            floats = list(map(float, present))
        except ValueError:
            return True
        if list(map(repr, floats)) == present and all(map(math.isfinite, floats)):
            return False
        return any(typed_value(c) is NOT_TYPED for c in present)
    if firsts <= JSON_START:
        return decode_all(present) is None
    if not firsts & (NUMBER_START | JSON_START | WORD_START):
        return True
    return any(typed_value(c) is NOT_TYPED for c in present)


def text_values(cells: Sequence[str]) -> list[Any]:
    """The values of a text column's cells: the text, ABSENT for an empty cell."""
    if "" not in cells:
        return list(cells)
    return [c if c else "" if c is QUOTED_EMPTY else ABSENT for c in cells]


def typed_values(cells: Sequence[str]) -> list[Any]:
    """The values of a typed column's cells (ABSENT for an empty cell); a cell
    that is not typed after all (the file changed between the readings) is
    kept as its text."""
    if "" not in cells and cells:
        firsts = set(map(itemgetter(0), cells))
        if firsts <= NUMBER_START:
            try:
                ints = list(map(int, cells))
            except ValueError:
                floats = list(map(float, cells)) if all(map(FLOAT_TEXT.fullmatch, cells)) else None
                if floats is not None and list(map(repr, floats)) == list(cells):
                    return floats
            else:
                if list(map(str, ints)) == list(cells) and INT64_MIN <= min(ints) and max(ints) <= INT64_MAX:
                    return ints
        elif firsts <= JSON_START:
            values = decode_all(list(cells))
            if values is not None:
                return values
    out = []
    for cell in cells:
        if not cell:
            out.append("" if cell is QUOTED_EMPTY else ABSENT)
        else:
            value = typed_value(cell)
            out.append(cell if value is NOT_TYPED else value)
    return out


class ColumnTyping:
    """Which metadata columns of a file are typed, learnt over all its rows:
    a column stays typed until a cell of it is text."""

    def __init__(self, count: int, text: Iterable[int] = ()) -> None:
        self.typed = [True] * count
        for i in text:
            self.typed[i] = False

    @property
    def open(self) -> list[int]:
        """The columns that may still be typed."""
        return [i for i, typed in enumerate(self.typed) if typed]

    def see(self, i: int, cells: Sequence[str]) -> None:
        if self.typed[i] and untyped_in(cells):
            self.typed[i] = False

    def see_arrow(self, i: int, cells: Any) -> None:
        if self.typed[i] and arrow_untyped(cells):
            self.typed[i] = False


# ---- Arrow string arrays (pyarrow) -------------------------------------------------


def _pa() -> tuple[Any, Any]:
    import pyarrow
    import pyarrow.compute

    return pyarrow, pyarrow.compute


def _array(cells: Any) -> Any:
    pa, _ = _pa()
    if isinstance(cells, pa.ChunkedArray):
        return cells.chunk(0) if cells.num_chunks == 1 else pa.concat_arrays(cells.chunks)
    return cells


def arrow_untyped(cells: Any) -> bool:
    """untyped_in for an Arrow string array (nulls are empty cells)."""
    pa, pc = _pa()
    array = _array(cells).drop_null()
    if len(array) and pc.any(pc.equal(array, "")).as_py():
        array = array.filter(pc.not_equal(array, ""))
    if not len(array):
        return False
    array = _distinct(array)
    firsts = set(pc.unique(pc.utf8_slice_codeunits(array, 0, 1)).to_pylist())
    if not firsts & (NUMBER_START | JSON_START | WORD_START):
        return True
    if firsts <= NUMBER_START:
        if _all(pc.match_substring_regex(array, SHORT_INT_CELL)):
            return False
        unsigned = pc.utf8_length(pc.utf8_ltrim(array, characters="-"))
        short = pc.and_(pc.match_substring_regex(array, SHORT_FLOAT_CELL), pc.less_equal(unsigned, SHORT_FLOAT_LENGTH))
        short = pc.or_(short, pc.match_substring_regex(array, SHORT_INT_CELL))
        if _all(short):
            return False
        rest = array.filter(pc.invert(short))
        return untyped_in(rest.to_pylist())
    if firsts <= JSON_START and unchanging(array):
        return decode_all(array.to_pylist(), checked=False) is None
    return untyped_in(array.to_pylist())


def _distinct(array: Any) -> Any:
    """The distinct cells of an array when a sample of it repeats, else the array."""
    _, pc = _pa()
    if len(array) >= 2 * SAMPLE and pc.count_distinct(array.slice(0, SAMPLE)).as_py() <= SAMPLE * 3 // 4:
        distinct = pc.unique(array)
        if 2 * len(distinct) <= len(array):
            return distinct
    return array


def arrow_values(cells: Any, typed: bool) -> tuple[list[Any], bool]:
    """The values of an Arrow string column (text or typed), and whether some
    cell is empty (its value ABSENT). A column whose cells repeat is typed
    once a distinct cell, each value then given to all its cells."""
    pa, pc = _pa()
    array = _array(cells)
    absent = array.null_count > 0
    if not typed:
        values = array.to_pylist()
        return ([ABSENT if v is None else v for v in values] if absent else values), absent
    if len(array) >= 2 * SAMPLE and pc.count_distinct(array.slice(0, SAMPLE)).as_py() <= SAMPLE * 3 // 4:
        encoded = pc.dictionary_encode(array)
        if 2 * len(encoded.dictionary) <= len(array):
            import numpy as np

            distinct = _arrow_typed(encoded.dictionary)
            table = np.fromiter(distinct + [ABSENT], dtype=object, count=len(distinct) + 1)
            indices = encoded.indices.fill_null(len(distinct)) if absent else encoded.indices
            return table[indices.to_numpy()].tolist(), absent
    return _arrow_typed(array), absent


def _arrow_typed(array: Any) -> list[Any]:
    """typed_values of an Arrow string array, in C where the column is all of one kind."""
    pa, pc = _pa()
    nulls = array.null_count
    if not pc.any(pc.equal(array, "")).as_py() and len(array) > nulls:
        firsts = set(pc.unique(pc.utf8_slice_codeunits(array.drop_null(), 0, 1)).to_pylist())
        if firsts <= NUMBER_START:
            if _all(pc.match_substring_regex(array.drop_null(), SHORT_INT_CELL)):
                values = pc.cast(array, pa.int64()).to_pylist()
            elif _all(pc.match_substring_regex(array.drop_null(), FLOAT_CELL)):
                values = pc.cast(array, pa.float64()).to_pylist()
            else:
                values = None
            if values is not None:
                return [ABSENT if v is None else v for v in values] if nulls else values
        elif firsts <= JSON_START and not nulls:
            decoded = decode_all(array.to_pylist(), checked=not unchanging(array))
            if decoded is not None:
                return decoded
    cells = array.to_pylist()
    if nulls or "" in cells:
        cells = ["" if c is None else QUOTED_EMPTY if c == "" else c for c in cells]
    return typed_values(cells)


def arrow_cells(cells: Any) -> list[str]:
    """The cells of an Arrow string array as the `csv` module reading gives
    them: "" for an empty cell, QUOTED_EMPTY for a quoted one."""
    _, pc = _pa()
    array = _array(cells)
    values = array.to_pylist()
    if array.null_count or pc.any(pc.equal(array, "")).as_py():
        return ["" if c is None else QUOTED_EMPTY if c == "" else c for c in values]
    return values  # type: ignore[no-any-return]


def _all(flags: Any) -> bool:
    _, pc = _pa()
    return bool(pc.all(flags).as_py())


def unchanging(texts: Any) -> bool:
    """Whether no JSON text of a string array can hold a value the store
    gives back changed: none longer than MAX_DEPTH (so none nested too
    deeply), and their bytes `screened`."""
    import numpy as np

    pa, pc = _pa()
    longest = pc.max(pc.binary_length(texts)).as_py()
    if longest is None:
        return True
    if longest > MAX_DEPTH:
        return False
    offsets = np.frombuffer(texts.buffers()[1], dtype=np.int64 if pa.types.is_large_string(texts.type) else np.int32)
    data = texts.buffers()[2]
    start, end = offsets[texts.offset], offsets[texts.offset + len(texts)]
    return screened(bytes(memoryview(data)[start:end])) if data is not None else True


# ---- writing -----------------------------------------------------------------------


def _json_string(text: str) -> str:
    return encode(text) if text else QUOTED_EMPTY


def column_cells(values: list[Any], kind: str, plain_text: bool) -> list[str]:
    """The cells of one column of an export: `kind` is the schema's kind of
    the key ("bool", "int", "float", "str" or "json"), `plain_text` whether
    the key's text over the whole export holds some cell that is not typed
    (so that text written as it is reads back as text). Empty cells ("")
    for ABSENT, QUOTED_EMPTY for the empty string."""
    absent = ABSENT in values
    if kind == "str":
        if plain_text:
            if absent or "" in values:
                return ["" if v is ABSENT else v if v else QUOTED_EMPTY for v in values]
            return values
        cells = [v if v is ABSENT else _json_string(v) for v in values]
    elif kind == "int":
        cells = [v if v is ABSENT else str(v) for v in values] if absent else list(map(str, values))
    elif kind == "float":
        cells = [v if v is ABSENT else repr(v) for v in values] if absent else list(map(repr, values))
    elif kind == "bool":
        cells = [v if v is ABSENT else _BOOL_TEXT[v] for v in values]
    else:
        if absent or str in set(map(type, values)):
            cells = [v if v is ABSENT else _json_string(v) if v.__class__ is str else encode(v) for v in values]
        else:
            cells = encode_all(values)
    return ["" if c is ABSENT else c for c in cells] if absent else cells


def has_plain_text(values: Iterable[Any]) -> bool:
    """Whether some non-empty text among the values is not typed (a column of
    such text reads back as text)."""
    texts = [v for v in values if v.__class__ is str and v]
    return untyped_in(texts)
