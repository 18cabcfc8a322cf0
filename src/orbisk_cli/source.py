"""What the importer reads from: a file of points, in batches.

A source yields batches of points, each point a tuple (latitude, longitude,
metadata, place, ...) that `insert_batch` takes as it is (it ignores the
elements after the metadata), or `ArrowBatch`es, rows as Arrow columns that
the companion handle appends without a Python object a point, and, between
them, the rows it could not read as `BadRow`s, in file order. A `BadRow` raised instead of yielded means the
file itself is malformed and reading cannot go on. `done` and `total` measure progress in
the source's own unit of work (bytes, or rows).

Rows are numbered from 1 in the source's own way (`row_unit`): CSV records
after the header, GeoJSON features, lines of newline-delimited GeoJSON,
GeoParquet rows. `skip_rows` passes over the first rows without reading
them as points (where an interrupted import left off).
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Iterator
from operator import itemgetter
from typing import Any

from orbisk_cli.values import BadRow, any_problem_in_documents, problem_in

# (lat, lon, metadata, row or line, ...): what insert_batch takes, with the
# places of the row in its file after the metadata
Point = tuple[float, float, dict[str, Any], int] | tuple[float, float, dict[str, Any], int, int]


class ArrowBatch:
    """Rows of a source as an Arrow table for `ColumnarStore.append`: the
    coordinates in the columns named `latitude` and `longitude`, or, when
    those are not in the table, in the WKB points of the column `geometry`, the metadata
    in the columns `keys`, each cell stored as the row reader would store
    its value (a null cell: no key). Should the store refuse the table,
    `points()` reads the same rows as the row reader does: their points and
    bad rows, in order, with the row reader's messages."""

    __slots__ = ("table", "latitude", "longitude", "keys", "count", "last_row", "points", "geometry")

    def __init__(
        self,
        table: Any,
        latitude: str,
        longitude: str,
        keys: list[str] | None,
        last_row: int,
        points: Callable[[], Iterator[list[Point] | BadRow]],
        geometry: str | None = None,
    ) -> None:
        self.table = table
        self.geometry = geometry
        self.latitude = latitude
        self.longitude = longitude
        self.keys = keys
        self.count: int = table.num_rows
        self.last_row = last_row
        self.points = points

    def __iter__(self) -> Iterator[Point | BadRow]:
        """The rows as the row reader reads them: points, and bad rows in their places."""
        for item in self.points():
            if isinstance(item, BadRow):
                yield item
            else:
                yield from item

    def merged(self, other: ArrowBatch) -> ArrowBatch | None:
        """One batch of this one's rows and the next one's, when their columns are alike."""
        if (other.keys, other.geometry, other.table.schema) != (self.keys, self.geometry, self.table.schema):
            return None
        import pyarrow as pa

        first, second = self.points, other.points

        def both() -> Iterator[list[Point] | BadRow]:
            yield from first()
            yield from second()

        table = pa.concat_tables([self.table, other.table])
        return ArrowBatch(table, self.latitude, self.longitude, self.keys, other.last_row, both, self.geometry)


# What a source yields: a batch of points, a bad row or an Arrow batch.
Item = list[Point] | BadRow | ArrowBatch


def free_name(name: str, taken: Iterable[str]) -> str:
    """`name`, with underscores after it until it is none of `taken`."""
    taken = set(taken)
    while name in taken:
        name += "_"
    return name


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

    def batches(self) -> Iterator[Item]:
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
