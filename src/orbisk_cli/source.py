"""What the importer reads from: a file of points, in batches.

A source yields batches of points, each point a tuple (latitude, longitude,
metadata, place, ...) that `insert_batch` takes as it is (it ignores the
elements after the metadata), and, between them, the rows it could not read
as `BadRow`s, in file order. A `BadRow` raised instead of yielded means the
file itself is malformed and reading cannot go on. `done` and `total` measure progress in
the source's own unit of work (bytes, or rows).

Rows are numbered from 1 in the source's own way (`row_unit`): CSV records
after the header, GeoJSON features, lines of newline-delimited GeoJSON,
GeoParquet rows. `skip_rows` passes over the first rows without reading
them as points (where an interrupted import left off).
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from operator import itemgetter
from typing import Any

from orbisk_cli.values import BadRow, any_problem_in_documents, problem_in

# (lat, lon, metadata, row or line, ...): what insert_batch takes, with the
# places of the row in its file after the metadata
Point = tuple[float, float, dict[str, Any], int] | tuple[float, float, dict[str, Any], int, int]


class Source:
    unit = "row"  # the unit of the places in messages
    row_unit = "row"  # the unit of row numbers and of --skip-rows

    def __init__(self, name: str, total: int | None, batch_size: int) -> None:
        self.name = name
        self.total = total
        self.done = 0
        self.batch_size = batch_size
        self.skip_rows = 0

    def prepare(self, tick: Callable[[], None]) -> None:
        """Work before the first batch (a CSV file learns its columns' types);
        calls `tick` now and then."""

    def row_of(self, point: Point) -> int:
        """The row number of a point of this source."""
        return point[3]

    def batches(self) -> Iterator[list[Point] | BadRow]:
        """The file's points in batches, and its bad rows, in file order (each format's reader)."""
        raise NotImplementedError

    def checked(self, batch: list[Any]) -> Iterator[list[Point] | BadRow]:
        """The batch, with the points whose metadata the store would not give
        back as it is split out as bad rows, in their places."""
        metas = list(map(itemgetter(2), batch))
        if not any_problem_in_documents(metas):
            yield batch
            return
        bad = [(i, problem) for i, problem in enumerate(map(problem_in, metas)) if problem]
        yield from in_order(len(batch), bad, lambda start, stop: batch[start:stop], lambda i: self.place_of(batch[i]))

    def place(self, number: int) -> str:
        """Names the row, line or feature of a point's fourth element."""
        return f"{self.name} {self.unit} {number}"

    def place_of(self, point: Point) -> str:
        return self.place(point[3])


def in_order(
    count: int, bad: list[tuple[int, str]], make: Callable[[int, int], list[Point]], place: Callable[[int], str]
) -> Iterator[list[Point] | BadRow]:
    """The points of rows [0, count) made by `make(start, stop)`, with the bad
    rows (ascending (index, problem) pairs) yielded in their places."""
    start = 0
    for index, problem in bad:
        if index > start:
            yield make(start, index)
        yield BadRow(place(index), problem)
        start = index + 1
    if start < count:
        yield make(start, count)
