"""The columns of a CSV or GeoParquet export.

Both formats write their columns before the first row, but a store's
metadata has no schema: each point has its own keys and value types. An
export starts from the keys and kinds of its first rows; a writer that then
meets a key or a kind it has no column for raises `SchemaChange`, and the
export starts again from a schema surveyed over every selected row.

A key's kind is "bool", "int", "float" or "str" when all its values are of
that type, and "json" otherwise (mixed types, null, lists, objects): such a
column holds each value as JSON text.
"""

from __future__ import annotations

from collections.abc import Iterable
from itertools import chain
from operator import itemgetter, methodcaller
from typing import Any

_KINDS = {bool: "bool", int: "int", float: "float", str: "str"}


class _Missing:
    pass


_MISSING = _Missing()


class SchemaChange(Exception):
    """Rows hold metadata that the columns already written cannot hold."""


class Schema:
    def __init__(self) -> None:
        self.kinds: dict[str, str] = {}

    def learn(self, rows: Iterable[dict[str, Any]]) -> Schema:
        kinds = self.kinds
        metas = list(map(itemgetter("metadata"), rows))
        keys = list(dict.fromkeys(chain.from_iterable(metas)))
        for key, column in zip(keys, columns_of(metas, keys, _MISSING)):
            types = set(map(type, column)) - {_Missing}
            kind = _KINDS.get(types.pop(), "json") if len(types) == 1 else "json"
            seen = kinds.get(key)
            if seen is None:
                kinds[key] = kind
            elif seen != kind:
                kinds[key] = "json"
        return self

    @property
    def keys(self) -> list[str]:
        return list(self.kinds)

    def columns(self, metas: list[dict[str, Any]], absent: Any) -> list[list[Any]]:
        """The values of each key of the schema over the metadata, `absent`
        where a key is missing; raises SchemaChange when some metadata has a
        key this schema lacks."""
        columns, complete = _columns(metas, self.keys, absent)
        # Every point holding every key, and no more keys than that, holds no other key.
        if not (complete and set(map(len, metas)) <= {len(self.kinds)}):
            if not self.kinds.keys() >= set(chain.from_iterable(metas)):
                raise SchemaChange()
        return columns


def columns_of(metas: list[dict[str, Any]], keys: list[str], absent: Any) -> list[list[Any]]:
    """The values of each key over the metadata, `absent` where a key is missing."""
    return _columns(metas, keys, absent)[0]


def _columns(metas: list[dict[str, Any]], keys: list[str], absent: Any) -> tuple[list[list[Any]], bool]:
    columns = []
    complete = True
    for key in keys:
        try:
            columns.append(list(map(itemgetter(key), metas)))
        except KeyError:  # some point lacks the key
            complete = False
            columns.append(list(map(methodcaller("get", key, absent), metas)))
    return columns, complete
