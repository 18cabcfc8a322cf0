"""CSV text that both CSV readers share, the `csv` module's (csvfile) and
pyarrow's blocks (csvblocks): a file's bytes as text lines, as a text file
opened with newline="" reads them, and the empty fields a row writes as "".
"""

from __future__ import annotations

import io
from collections.abc import Iterator

from orbisk_cli.celltyping import QUOTED_EMPTY

BOM = b"\xef\xbb\xbf"


class Tap:
    """An iterator over lines that keeps the lines taken since it was last cleared."""

    def __init__(self, lines: Iterator[str]) -> None:
        self.lines = lines
        self.taken: list[str] = []

    def __iter__(self) -> Tap:
        return self

    def __next__(self) -> str:
        line = next(self.lines)
        self.taken.append(line)
        return line


def mark_quoted_empty(row: list[str], taken: list[str], delimiter: str) -> None:
    """Replaces the empty fields of a row that its text writes as "" with
    QUOTED_EMPTY; `taken` are the lines of the row, which the csv module read
    without complaint."""
    text = "".join(taken)
    if '""' not in text:
        return
    end = len(text)
    while end and text[end - 1] in "\r\n":
        end -= 1
    at = field = 0
    while True:
        if text.startswith('""', at) and (at + 2 == end or text[at + 2] == delimiter):
            if field < len(row) and row[field] == "":
                row[field] = QUOTED_EMPTY
            at += 2
        elif at < end and text[at] == '"':
            at += 1
            while True:  # to the closing quote, past doubled ones
                at = text.index('"', at)
                if text.startswith('""', at):
                    at += 2
                    continue
                at += 1
                break
        else:
            next_at = text.find(delimiter, at, end)
            at = end if next_at < 0 else next_at
        if at >= end:
            return
        at += len(delimiter)
        field += 1


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
