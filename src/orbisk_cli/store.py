"""Opening a store from the command line, and the files it consists of.

Commands that only read (query, export, stats, verify without --flush, map)
open the store read-only through the companion handle: nothing is created
or written, so they work on a read-only file system, and they leave a
store's log as they find it. Commands that write open a `PyZurAD`.
"""

from __future__ import annotations

import glob
import os
from typing import Any, cast

from orbisk import PyZurAD

from orbisk_cli.errors import CliError
from orbisk_columnar import ColumnarStore


def prefix_of(path: str) -> str:
    """The path without its last extension, with the full stop: files are {prefix}coords.mmap, ..."""
    directory, name = os.path.split(path)
    stem = name
    if name not in (".", ".."):
        dot = name.rfind(".")
        if dot > 0:
            stem = name[:dot]
    return os.path.join(directory, stem + ".")


def store_files(path: str) -> list[str]:
    """The files of the store at `path` that exist, data files of every generation included."""
    prefix = prefix_of(path)
    names = [prefix + s for s in ("coords.mmap", "metadata.mmap", "commit", "wal", "lock")]
    names += sorted(
        glob.glob(glob.escape(prefix) + "coords.*.mmap") + glob.glob(glob.escape(prefix) + "metadata.*.mmap")
    )
    return [n for n in names if os.path.isfile(n)]


def exists(path: str) -> bool:
    prefix = prefix_of(path)
    return os.path.isfile(prefix + "commit") or os.path.isfile(prefix + "coords.mmap")


def open_store(path: str, create: bool = False) -> PyZurAD:
    if not create and not exists(path):
        raise CliError(f"store {path} does not exist")
    try:
        return PyZurAD(path)
    except OSError as e:
        raise CliError(f"cannot open store {path}: {e}") from None


class Reader:
    """A store opened for reading only, with the read methods of `PyZurAD`
    that selections use, and the companion handle (`columnar`) for Arrow."""

    def __init__(self, columnar: ColumnarStore) -> None:
        self.columnar = columnar

    def len(self) -> int:
        return len(self.columnar)

    def slot_stats(self) -> tuple[int, int]:
        return self.columnar.slot_stats()

    def verify_integrity(self) -> dict[str, Any]:
        return self.columnar.verify_integrity()

    def query(self, filter: dict[str, Any], limit: int | None = None) -> list[dict[str, Any]]:
        return cast(list[dict[str, Any]], self.columnar.rows(filter=filter, limit=limit))

    def query_bbox(
        self, min_lat: float, min_lon: float, max_lat: float, max_lon: float, filter: dict[str, Any] | None = None
    ) -> list[dict[str, Any]]:
        return cast(list[dict[str, Any]], self.columnar.rows(bbox=(min_lat, min_lon, max_lat, max_lon), filter=filter))

    def query_radius(
        self, lat: float, lon: float, meters: float, filter: dict[str, Any] | None = None
    ) -> list[dict[str, Any]]:
        return cast(list[dict[str, Any]], self.columnar.rows(radius=(lat, lon, meters), filter=filter))

    def query_polygon(self, ring: list[Any], filter: dict[str, Any] | None = None) -> list[dict[str, Any]]:
        return cast(list[dict[str, Any]], self.columnar.rows(polygon=ring, filter=filter))


# What selections read from: a handle that writes, or one that only reads.
Store = PyZurAD | Reader


def open_reader(path: str) -> Reader:
    """The store at `path`, opened read-only."""
    if not exists(path):
        raise CliError(f"store {path} does not exist")
    try:
        return Reader(ColumnarStore(path, read_only=True))
    except OSError as e:
        raise CliError(f"cannot open store {path}: {e}") from None
