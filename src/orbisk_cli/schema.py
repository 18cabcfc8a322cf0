"""The columns of a CSV or GeoParquet export.

Both formats write their columns before the first row, but a store's
metadata has no schema: each point has its own keys and value types. An
export starts from the keys and kinds of its first rows; a writer that then
meets a key or a kind it has no column for raises `SchemaChange`, and the
export starts again from a schema surveyed over every selected row.

A key's kind is "bool", "int", "float" or "str" when all its values are of
that type, and "json" otherwise (mixed types, null, lists, objects): such a
column holds each value as JSON text. For CSV, a schema also knows of each
key whether some of its text is not typed (`plain`), so that the column
reads back as text when its text is written as it is (see `celltyping`).
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from itertools import chain
from operator import itemgetter
from typing import Any

from orbisk_cli.celltyping import has_plain_text

_KINDS = {bool: "bool", int: "int", float: "float", str: "str"}
# (latitude, longitude, metadata) of a row: writers take all three in one pass over the rows.
ROW_FIELDS = itemgetter("latitude", "longitude", "metadata")


class _Missing:
    pass


_MISSING = _Missing()


class SchemaChange(Exception):
    """Rows hold metadata that the columns already written cannot hold."""


class Schema:
    def __init__(self) -> None:
        self.kinds: dict[str, str] = {}
        self.plain: dict[str, bool] = {}

    def learn(self, rows: Iterable[dict[str, Any]]) -> Schema:
        kinds = self.kinds
        metas = list(map(itemgetter("metadata"), rows))
        keys = list(dict.fromkeys(chain.from_iterable(metas)))
        for key, column in zip(keys, columns_of(metas, keys, _MISSING)):
            types = set(map(type, column)) - {_Missing}
            kind = _KINDS.get(next(iter(types)), "json") if len(types) == 1 else "json"
            seen = kinds.get(key)
            if seen is None:
                kinds[key] = kind
            elif seen != kind:
                kinds[key] = "json"
            if str in types and not self.plain.get(key):
                self.plain[key] = has_plain_text(column)
        return self

    @property
    def keys(self) -> list[str]:
        return list(self.kinds)

    def columns(self, metas: Sequence[dict[str, Any]], absent: Any) -> list[list[Any]]:
        """The values of each key of the schema over the metadata, `absent`
        where a key is missing; raises SchemaChange when some metadata has a
        key this schema lacks."""
        columns, complete = _columns(metas, self.keys, absent)
        # Every point holding every key, and no more keys than that, holds no other key.
        if not (complete and set(map(len, metas)) <= {len(self.kinds)}):
            if not self.kinds.keys() >= set(chain.from_iterable(metas)):
                raise SchemaChange()
        return columns


def columns_of(metas: Sequence[dict[str, Any]], keys: list[str], absent: Any) -> list[list[Any]]:
    """The values of each key over the metadata, `absent` where a key is missing."""
    return _columns(metas, keys, absent)[0]


def _columns(metas: Sequence[dict[str, Any]], keys: list[str], absent: Any) -> tuple[list[list[Any]], bool]:
    """The columns, read in one pass over the dicts (a pass a key would fetch
    each dict from memory again), and whether every dict held every key."""
    if not keys or not metas:
        return [[] for _ in keys], True
    try:
        if len(keys) == 1:
            return [list(map(itemgetter(keys[0]), metas))], True
        return list(map(list, zip(*map(itemgetter(*keys), metas)))), True
    except KeyError:  # some point lacks a key
        absents = [absent] * len(keys)
        return list(map(list, zip(*[tuple(map(meta.get, keys, absents)) for meta in metas]))), False
