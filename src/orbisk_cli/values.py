"""Metadata values on their way between files and a store.

A store keeps JSON-like metadata, but reads some values back changed: an
integer outside the signed 64-bit range as an approximate float, NaN and the
infinities as null, a document nested deeper than 127 levels not at all.
Imports refuse such values as bad rows instead of storing something else.
This module decodes JSON text strictly, finds those values, and makes the
metadata dicts of a batch from its columns (how CSV cells become values is
`celltyping`'s).
"""

from __future__ import annotations

import json
import math
from collections.abc import Callable, Iterable
from itertools import chain, repeat
from operator import itemgetter
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
# (text, index) -> (value, end), with no white space skipped
scan: Callable[[str, int], tuple[Any, int]] = decoder.scan_once  # type: ignore[attr-defined]


def decode_constants(text: str, index: int) -> tuple[str | None, int]:
    """Decodes the JSON value at `index` allowing NaN, Infinity and -Infinity:
    (the first such constant's name, or None, and the end of the value).
    Raises JSONDecodeError as the strict decoder does for anything else."""
    constants: list[str] = []

    def seen(name: str) -> None:
        constants.append(name)

    _, end = json.JSONDecoder(parse_constant=seen).raw_decode(text, index)
    return (constants[0] if constants else None), end


_encoder = json.JSONEncoder(ensure_ascii=False, separators=(",", ":"), allow_nan=False)


def _not_json(value: Any) -> Any:
    raise TypeError(f"Object of type {type(value).__name__} is not JSON serializable")


# The C encoder behind `_encoder`, made once (JSONEncoder.encode makes one on every call).
_c_encode: Callable[[Any, int], list[str]] | None = None
_make_encoder = getattr(json.encoder, "c_make_encoder", None)
if _make_encoder is not None:
    # (markers, default, string encoder, indent, key separator, item separator, sort_keys, skipkeys,
    # allow_nan); no markers: values read from a store hold no cycles. It is used only when it
    # is made as this interpreter expects and encodes a sample as the plain encoder does.
    _sample = {"k": [1, -2.5, "é\n", None, True, {"b": {}}]}
    try:
        _c_encode = _make_encoder(
            None, _not_json, vars(json.encoder)["c_encode_basestring"], None, ":", ",", False, False, False
        )
        if "".join(_c_encode(_sample, 0)) != _encoder.encode(_sample):
            _c_encode = None
    except Exception:
        _c_encode = None


def encode(value: Any) -> str:
    """Compact JSON text of a metadata value, non-ASCII kept as it is."""
    if _c_encode is None:
        return _encoder.encode(value)
    return "".join(_c_encode(value, 0))


def encode_all(values: list[Any]) -> list[str]:
    """`encode` of each value."""
    if _c_encode is None:
        return list(map(_encoder.encode, values))
    return list(map("".join, map(_c_encode, values, repeat(0))))


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
        if kind is dict:
            for key in value:
                found = problem_in(key, depth + 1)
                if found:
                    return found
        items = value.values() if kind is dict else value
        for item in items:
            found = problem_in(item, depth + 1)
            if found:
                return found
    return None


def any_problem(values: list[Any], depth: int, keys: Iterable[Any] = ()) -> bool:
    """Whether problem_in finds something in any of the values, each at nesting
    level `depth`, or in the keys beside them. One pass per level over a
    whole batch, mostly in C; only a batch with a problem is walked value by
    value to find it."""
    keys = list(keys)
    while values or keys:
        kinds = set(map(type, values))
        if int in kinds:
            ints = [v for v in values if v.__class__ is int]
            if min(ints) < INT64_MIN or max(ints) > INT64_MAX:
                return True
        if float in kinds and not all(map(math.isfinite, [v for v in values if v.__class__ is float])):
            return True
        if str in kinds or keys:
            try:
                "".join([v for v in values if v.__class__ is str] + keys).encode("utf-8")
            except UnicodeEncodeError:
                return True
            except TypeError:  # a key that is not text: the store names the problem
                pass
        dicts = [v for v in values if v.__class__ is dict] if dict in kinds else []
        lists = [v for v in values if v.__class__ is list] if list in kinds else []
        if (dicts or lists) and depth > MAX_DEPTH:
            return True
        keys = list(chain.from_iterable(dicts))
        values = list(chain(chain.from_iterable(map(dict.values, dicts)), chain.from_iterable(lists)))
        depth += 1
    return False


def any_problem_in_documents(docs: list[dict[str, Any]]) -> bool:
    """any_problem over metadata documents (top-level objects)."""
    return any_problem(list(chain.from_iterable(map(dict.values, docs))), 2, chain.from_iterable(docs))


def screened(data: bytes) -> bool:
    """Whether JSON text certainly holds no value that problem_in refuses
    other than one nested too deeply: no run of 19 digits (an integer beyond
    the signed 64-bit range has one), no exponent of three digits (a number
    beyond a double has one or such a run), no escape of a surrogate (a lone
    surrogate is one; UTF-8 text has none as it is). One pass in C, where
    problem_in over the values takes several in Python's objects."""
    from orbisk_columnar._columnar import screened as screen

    return screen(data)


def decode_all(texts: list[str], checked: bool = True) -> list[Any] | None:
    """The values of JSON texts, each a whole text without surrounding white
    space, none of which problem_in refuses (at nesting level 2); None when
    that is not so for every one of them. `checked=False`: the caller has
    shown that no text can hold a value problem_in would refuse."""
    try:
        pairs = list(map(scan, texts, repeat(0, len(texts))))
    except (StopIteration, ValueError, RecursionError):
        return None
    if list(map(itemgetter(1), pairs)) != list(map(len, texts)):
        return None
    values = list(map(itemgetter(0), pairs))
    return None if checked and any_problem(values, 2) else values


# The value of an empty CSV cell or of a missing key: the key is left out.
ABSENT: Any = object()


_MAKERS: dict[tuple[str, ...], Callable[[list[list[Any]]], list[dict[str, Any]]]] = {}


def documents(keys: list[str], columns: list[list[Any]], count: int, absent: bool = True) -> list[dict[str, Any]]:
    """One metadata dict for each of `count` rows, from a batch's columns (one
    column a key), leaving out the keys whose value is ABSENT (`absent=False`:
    the caller knows no value is).

    The dicts are made by a comprehension with the keys written in it, made
    once for each set of keys: a dict display costs about half of
    dict(zip(keys, row))."""
    if not keys:
        return [{} for _ in range(count)]
    make = _MAKERS.get(tuple(keys))
    if make is None:
        names = [f"v{i}" for i in range(len(keys))]
        members = ",".join(f"{key!r}:{name}" for key, name in zip(keys, names))
        make = eval(f"lambda columns: [{{{members}}} for {','.join(names)}, in zip(*columns)]", {"zip": zip})
        if len(_MAKERS) > 64:
            _MAKERS.clear()
        _MAKERS[tuple(keys)] = make
    docs = make(columns)
    if not absent:
        return docs
    for key, column in zip(keys, columns):
        if ABSENT in column:
            for doc, value in zip(docs, column):
                if value is ABSENT:
                    del doc[key]
    return docs
