"""One Parquet file from two written at once.

pyarrow encodes a file's columns on one thread. A large export is written
as two files on two threads instead, the first half of its row groups to
the output and the second half to a temporary file, and the second file's
row groups are then copied after the first's, with one footer for both: the
first file's footer with the second's row groups appended, their offsets
moved by where their bytes now lie. The footer is Thrift's compact encoding
of the file metadata; it is read into a tree of fields and written back,
and a footer that does not come back byte for byte as pyarrow wrote it
(some field this reader does not know) is refused, so that the caller
writes the file on one thread instead.
"""

from __future__ import annotations

import errno
import os
import struct
from typing import IO, Any

MAGIC = b"PAR1"

# Compact protocol types.
_TRUE, _FALSE, _BYTE, _I16, _I32, _I64, _DOUBLE, _BINARY, _LIST, _SET, _MAP, _STRUCT = range(1, 13)

# Field ids of the file metadata that a join reads or moves.
_FILE_SCHEMA, _FILE_ROWS, _FILE_ROW_GROUPS = 2, 3, 4
_GROUP_COLUMNS, _GROUP_OFFSET, _GROUP_ORDINAL = 1, 5, 7
_CHUNK_OFFSET, _CHUNK_META, _CHUNK_OFFSET_INDEX, _CHUNK_COLUMN_INDEX = 2, 3, 4, 6
_META_OFFSETS = (9, 10, 11, 14)  # data, index and dictionary pages, bloom filter


class NotJoinable(Exception):
    """The parts cannot be joined as written (the caller writes one file instead)."""


class _Reader:
    def __init__(self, data: bytes) -> None:
        self.data = data
        self.at = 0

    def byte(self) -> int:
        if self.at >= len(self.data):
            raise NotJoinable("footer ends early")
        value = self.data[self.at]
        self.at += 1
        return value

    def varint(self) -> int:
        shift = value = 0
        while True:
            b = self.byte()
            value |= (b & 0x7F) << shift
            if b < 0x80:
                return value
            shift += 7

    def zigzag(self) -> int:
        v = self.varint()
        return (v >> 1) ^ -(v & 1)

    def value(self, kind: int) -> Any:
        if kind in (_TRUE, _FALSE, _BYTE):  # in a list: one byte each
            return self.byte()
        if kind in (_I16, _I32, _I64):
            return self.zigzag()
        if kind == _DOUBLE:
            self.at += 8
            return self.data[self.at - 8 : self.at]
        if kind == _BINARY:
            n = self.varint()
            self.at += n
            return self.data[self.at - n : self.at]
        if kind in (_LIST, _SET):
            head = self.byte()
            size, element = head >> 4, head & 0x0F
            if size == 15:
                size = self.varint()
            return (element, [self.value(element) for _ in range(size)])
        if kind == _MAP:
            size = self.varint()
            if not size:
                return (0, [])
            types = self.byte()
            pairs = [(self.value(types >> 4), self.value(types & 0x0F)) for _ in range(size)]
            return (types, pairs)
        if kind == _STRUCT:
            return self.struct()
        raise NotJoinable(f"unknown compact type {kind}")

    def struct(self) -> list[list[Any]]:
        fields: list[list[Any]] = []
        last = 0
        while True:
            head = self.byte()
            if head == 0:
                return fields
            kind, delta = head & 0x0F, head >> 4
            field = last + delta if delta else self.zigzag()
            value = None if kind in (_TRUE, _FALSE) else self.value(kind)
            fields.append([field, kind, value])
            last = field


class _Writer:
    def __init__(self) -> None:
        self.out = bytearray()

    def varint(self, v: int) -> None:
        while v >= 0x80:
            self.out.append((v & 0x7F) | 0x80)
            v >>= 7
        self.out.append(v)

    def zigzag(self, v: int) -> None:
        self.varint((v << 1) ^ (v >> 63))

    def value(self, kind: int, v: Any) -> None:
        if kind in (_TRUE, _FALSE, _BYTE):
            self.out.append(v)
        elif kind in (_I16, _I32, _I64):
            self.zigzag(v)
        elif kind == _DOUBLE:
            self.out += v
        elif kind == _BINARY:
            self.varint(len(v))
            self.out += v
        elif kind in (_LIST, _SET):
            element, items = v
            if len(items) < 15:
                self.out.append(len(items) << 4 | element)
            else:
                self.out.append(0xF0 | element)
                self.varint(len(items))
            for item in items:
                self.value(element, item)
        elif kind == _MAP:
            types, pairs = v
            self.varint(len(pairs))
            if pairs:
                self.out.append(types)
                for k, x in pairs:
                    self.value(types >> 4, k)
                    self.value(types & 0x0F, x)
        else:
            self.struct(v)

    def struct(self, fields: list[list[Any]]) -> None:
        last = 0
        for field, kind, v in fields:
            if 0 < field - last <= 15:
                self.out.append((field - last) << 4 | kind)
            else:
                self.out.append(kind)
                self.zigzag(field)
            if kind not in (_TRUE, _FALSE):
                self.value(kind, v)
            last = field
        self.out.append(0)


def _field(fields: list[list[Any]], field: int) -> list[Any] | None:
    for f in fields:
        if f[0] == field:
            return f
    return None


def _footer(stream: IO[bytes], end: int) -> tuple[int, list[list[Any]]]:
    """Where a file's footer starts, and the footer read, checked to come back as written."""
    stream.seek(end - 8)
    tail = stream.read(8)
    if len(tail) != 8 or tail[4:] != MAGIC:
        raise NotJoinable("not a Parquet file")
    (length,) = struct.unpack("<I", tail[:4])
    start = end - 8 - length
    if start < len(MAGIC):
        raise NotJoinable("footer longer than the file")
    stream.seek(start)
    data = stream.read(length)
    reader = _Reader(data)
    tree = reader.struct()
    writer = _Writer()
    writer.struct(tree)
    if reader.at != len(data) or bytes(writer.out) != data:
        raise NotJoinable("footer does not read back as written")
    return start, tree


def _moved(group: list[list[Any]], by: int, ordinal: int) -> None:
    """Moves a row group's offsets by `by` bytes and gives it its place among the file's."""
    for f in group:
        if f[0] == _GROUP_OFFSET:
            f[2] += by
        elif f[0] == _GROUP_ORDINAL:
            f[2] = ordinal
    columns = _field(group, _GROUP_COLUMNS)
    for chunk in columns[2][1] if columns else []:
        for f in chunk:
            if f[0] in (_CHUNK_OFFSET, _CHUNK_OFFSET_INDEX, _CHUNK_COLUMN_INDEX) and f[2]:
                f[2] += by
            elif f[0] == _CHUNK_META:
                for m in f[2]:
                    if m[0] in _META_OFFSETS:
                        m[2] += by


def _copy(source: IO[bytes], target: IO[bytes], start: int, count: int, to: int) -> None:
    """Copies `count` bytes of `source` from `start` to `target` at `to`, in
    the kernel where the file systems let it, else through memory."""
    try:
        while count and hasattr(os, "copy_file_range"):
            copied = os.copy_file_range(source.fileno(), target.fileno(), count, start, to)
            if not copied:
                break
            start, to, count = start + copied, to + copied, count - copied
    except OSError as e:
        if e.errno not in (errno.EXDEV, errno.EINVAL, errno.ENOSYS, errno.EOPNOTSUPP):
            raise
    while count:
        data = os.pread(source.fileno(), min(count, 1 << 24), start)
        if not data:
            raise OSError(errno.EIO, "the second part ended early")
        written = os.pwrite(target.fileno(), data, to)
        start, to, count = start + written, to + written, count - written


def join(out: IO[bytes], first_end: int, second: IO[bytes]) -> None:
    """Appends the row groups of the Parquet file `second` to the one that
    `out` holds (ending at `first_end`), giving `out` one footer for both.
    The first file's footer keeps its own fields (its key-value metadata).
    Raises NotJoinable, with `out` unchanged, when the two cannot be joined."""
    first_start, head = _footer(out, first_end)
    second.seek(0, os.SEEK_END)
    second_end = second.tell()
    second_start, tail = _footer(second, second_end)
    if _field(head, _FILE_SCHEMA) != _field(tail, _FILE_SCHEMA):
        raise NotJoinable("the parts' schemas differ")
    rows, groups = _field(head, _FILE_ROWS), _field(head, _FILE_ROW_GROUPS)
    more_rows, more_groups = _field(tail, _FILE_ROWS), _field(tail, _FILE_ROW_GROUPS)
    if not (rows and groups and more_rows and more_groups):
        raise NotJoinable("a part has no row groups")
    by = first_start - len(MAGIC)  # the second file's bytes after its magic go where the first's footer was
    count = len(groups[2][1])
    for i, group in enumerate(more_groups[2][1]):
        _moved(group, by, count + i)
    groups[2][1].extend(more_groups[2][1])
    rows[2] += more_rows[2]
    writer = _Writer()
    writer.struct(head)
    out.seek(first_start)
    out.truncate()
    out.flush()
    second.flush()
    _copy(second, out, len(MAGIC), second_start - len(MAGIC), first_start)
    out.seek(0, os.SEEK_END)
    out.write(bytes(writer.out) + struct.pack("<I", len(writer.out)) + MAGIC)
