"""Opening a store from the command line, and the files it consists of."""

from __future__ import annotations

import glob
import os

from orbisk import PyZurAD

from orbisk_cli.errors import CliError


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
