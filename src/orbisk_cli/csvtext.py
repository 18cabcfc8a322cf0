"""CSV text that both CSV readers share: the `csv` module's (csvfile) and
pyarrow's block reader (csvblocks).

A file's bytes become text lines as a text file opened with newline="" reads
them, and a column of cells becomes typed values by the rules of
`values.cell_value`, a whole column at a time where it can.
"""

from __future__ import annotations

import io
import re
from collections.abc import Iterator, Sequence
from operator import itemgetter
from typing import Any

from orbisk_cli.values import INT64_MAX, INT64_MIN, cell_value, decode_all

BOM = b"\xef\xbb\xbf"

SEP = "\x1f"
_FLOAT = "-?(?:0|[1-9][0-9]{0,16})(?:\\.[0-9]+(?:[eE][-+]?[0-9]{1,2})?|[eE][-+]?[0-9]{1,2})"
_FLOATS = re.compile(f"{_FLOAT}(?:\x1f{_FLOAT})*")
NUMBER_START = frozenset("-0123456789")
JSON_STARTS = frozenset('[{"')
NOT_TEXT_START = NUMBER_START | JSON_STARTS
WORD_START = frozenset("tfn")
BOOL_START = frozenset("tf")
_BOOL_WORDS = frozenset(("true", "false"))
_BOOL_OF = {"true": True, "false": False}.__getitem__


def column_values(cells: Sequence[str]) -> list[Any]:
    """The typed values of one column of a batch (ABSENT for empty cells).

    A column that is all plain text, all integers, all floats or all booleans
    is recognised with a few passes in C (a float column by its cells being
    the shortest text of their values, else by a regular expression), a
    column of JSON texts is decoded in one go, the rest goes cell by cell."""
    if cells and "" not in cells:
        firsts = set(map(itemgetter(0), cells))
        if is_plain(cells, firsts):
            return list(cells)
        if firsts <= NUMBER_START:
            try:
                ints = list(map(int, cells))
            except ValueError:
                pass
            else:
                if list(map(str, ints)) == list(cells) and INT64_MIN <= min(ints) and max(ints) <= INT64_MAX:
                    return ints
            try:
                floats = list(map(float, cells))
            except ValueError:
                pass
            else:
                if list(map(repr, floats)) == list(cells):
                    return floats
                joined = SEP.join(cells)
                if joined.count(SEP) == len(cells) - 1 and _FLOATS.fullmatch(joined):
                    return floats
        elif firsts <= BOOL_START and set(cells) <= _BOOL_WORDS:
            return list(map(_BOOL_OF, cells))
        elif firsts <= JSON_STARTS:
            values = decode_all(list(cells))
            if values is not None:
                return values
    return list(map(cell_value, cells))


def is_plain(cells: Sequence[str], firsts: set[str]) -> bool:
    """Whether the non-empty cells all read back as the text they are."""
    if firsts & NOT_TEXT_START:
        return False
    return not firsts & WORD_START or not ("true" in cells or "false" in cells or "null" in cells)


def decoded_lines(data: bytes | bytearray) -> Iterator[str]:
    """The text lines of `data`, which ends at a line end or the file's end;
    invalid UTF-8 raises UnicodeDecodeError once the lines before the line
    that holds it have been given, its position counted in that line."""
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        start = max(data.rfind(b"\n", 0, e.start), data.rfind(b"\r", 0, e.start)) + 1
        yield from io.StringIO(data[:start].decode("utf-8"), newline="")
        ends = [i for i in (data.find(b"\n", e.start), data.find(b"\r", e.start)) if i >= 0]
        data[start : min(ends, default=len(data)) + 1].decode("utf-8")
        raise
    yield from io.StringIO(text, newline="")
