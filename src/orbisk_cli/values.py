"""Metadata values on their way between files and a store.

A store keeps JSON-like metadata, but reads some values back changed: an
integer outside the signed 64-bit range as an approximate float, NaN and the
infinities as null, a document nested deeper than 127 levels not at all.
Imports refuse such values as bad rows instead of storing something else.
This module decodes JSON text strictly, finds those values, and types CSV
cells so that what the CSV writer writes reads back as the same value.
"""

from __future__ import annotations

import json
import math
import re
from typing import Any

INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1
MAX_DEPTH = 127  # the top-level object is level 1


class BadRow(Exception):
    """A row, line or feature that cannot be imported as it is."""

    def __init__(self, place: str, problem: str) -> None:
        super().__init__(f"{place}: {problem}")
        self.place = place
        self.problem = problem


def _reject_constant(name: str) -> Any:
    raise ValueError(f"{name} is not a JSON number")


decoder = json.JSONDecoder(parse_constant=_reject_constant)
decode = decoder.decode
raw_decode = decoder.raw_decode
encode = json.JSONEncoder(ensure_ascii=False, separators=(",", ":"), allow_nan=False).encode

# Text in which one of the values above may hide: long digit runs, three-digit
# exponents and surrogate escapes. Only text that matches is walked.
_SUSPECT = re.compile(r"\d{19}|[eE][+-]?\d{3}|\\u[dD][89abAB]")


def problem_in_text(text: str, value: Any) -> str | None:
    """Why `value`, decoded from the JSON `text`, would not read back the same."""
    if _SUSPECT.search(text) or text.count("{") + text.count("[") >= MAX_DEPTH:
        return problem_in(value)
    return None


def problem_in(value: Any, depth: int = 1) -> str | None:
    """Why a metadata value (at the given nesting level) would not read back the same."""
    kind = type(value)
    if kind is int:
        if not INT64_MIN <= value <= INT64_MAX:
            return f"integer {value} is outside the signed 64-bit range the store keeps exactly"
    elif kind is float:
        if not math.isfinite(value):
            return f"number {value!r} is not finite"
    elif kind is str:
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            return f"text {value!r} holds a lone surrogate, which is not valid Unicode"
    elif kind is dict or kind is list:
        if depth > MAX_DEPTH:
            return f"nested deeper than {MAX_DEPTH} levels"
        items = value.values() if kind is dict else value
        for item in items:
            found = problem_in(item, depth + 1)
            if found:
                return found
    return None


# ---- CSV cells ---------------------------------------------------------------------
#
# A cell is read as: nothing (empty: the key is absent), an integer (canonical
# decimal that fits 64 bits), a float (a finite JSON number with a fraction or
# an exponent), true, false or null, a JSON array, object or string (text that
# starts with '[', '{' or '"' and decodes), or else the text itself.

INT_TEXT = re.compile(r"-?(?:0|[1-9][0-9]*)")
FLOAT_TEXT = re.compile(r"-?(?:0|[1-9][0-9]*)(?:\.[0-9]+(?:[eE][-+]?[0-9]+)?|[eE][-+]?[0-9]+)")
_WORDS: dict[str, Any] = {"true": True, "false": False, "null": None}
ABSENT: Any = object()


def cell_value(cell: str) -> Any:
    """The metadata value a CSV cell stands for (ABSENT for an empty cell)."""
    if not cell:
        return ABSENT
    first = cell[0]
    if first in "-0123456789":
        if INT_TEXT.fullmatch(cell):
            number = int(cell)
            if INT64_MIN <= number <= INT64_MAX:
                return number
        elif FLOAT_TEXT.fullmatch(cell):
            real = float(cell)
            if math.isfinite(real):
                return real
        return cell
    if first in "[{\"":
        try:
            value = decode(cell)
        except ValueError:
            return cell
        return cell if problem_in(value) else value
    if first in "tfn" and cell in _WORDS:
        return _WORDS[cell]
    return cell


def cell_text(value: Any) -> str:
    """The CSV cell that reads back as `value`."""
    kind = type(value)
    if kind is str:
        if value and value[0] not in "-0123456789[{\"tfn":
            return value
        return value if cell_value(value) is value else encode(value)
    if kind is float:
        return repr(value)
    if kind is bool:
        return "true" if value else "false"
    if kind is int:
        return str(value)
    if value is None:
        return "null"
    return encode(value)
