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
from operator import itemgetter
from typing import Any

_KINDS = {bool: "bool", int: "int", float: "float", str: "str"}


class SchemaChange(Exception):
    """Rows hold metadata that the columns already written cannot hold."""


class Schema:
    def __init__(self) -> None:
        self.kinds: dict[str, str] = {}

    def learn(self, rows: Iterable[dict[str, Any]]) -> Schema:
        kinds = self.kinds
        for meta in map(itemgetter("metadata"), rows):
            for key, value in meta.items():
                kind = _KINDS.get(type(value), "json")
                seen = kinds.get(key)
                if seen is None:
                    kinds[key] = kind
                elif seen != kind:
                    kinds[key] = "json"
        return self

    @property
    def keys(self) -> list[str]:
        return list(self.kinds)

    def check(self, metas: list[dict[str, Any]]) -> None:
        """Raises SchemaChange when some metadata has a key this schema lacks."""
        known = self.kinds.keys()
        for meta in metas:
            if not known >= meta.keys():
                raise SchemaChange()
