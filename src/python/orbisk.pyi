"""Embedded, persistent store of geographic points with JSON-like metadata.

The module has one attribute, the class `PyZurAD`: a handle on one store.
The names starting with an underscore below exist for type checkers only;
import them under `typing.TYPE_CHECKING`.
"""

from collections.abc import Sequence
from os import PathLike
from typing import Any, SupportsFloat, SupportsIndex, TypeAlias, TypedDict, TypeVar, final

from typing_extensions import Unpack

__all__ = ["PyZurAD"]

# A coordinate or a radius: anything Python turns into a float.
_Number: TypeAlias = SupportsFloat | SupportsIndex

# A metadata document as given: a dict whose keys are str and whose values
# are bool, int, float, str, None, list or dict, nested freely. Values are
# `Any` so that every dict[str, ...] a program holds is accepted as it is.
_Metadata: TypeAlias = dict[str, Any]

# A filter document: {"key": value}, {"key": {"$gte": 1}}, {"$or": [...]}, ...
_Filter: TypeAlias = dict[str, Any]

# One point of insert_batch: (latitude, longitude, metadata), further
# elements ignored.
_PointT = TypeVar("_PointT", bound=tuple[_Number, _Number, _Metadata, Unpack[tuple[Any, ...]]])

# One polygon vertex: (longitude, latitude), further elements ignored.
_VertexT = TypeVar("_VertexT", bound=tuple[_Number, _Number, Unpack[tuple[Any, ...]]])

class _Row(TypedDict):
    """One result row; its keys come in this order."""

    id: int
    latitude: float
    longitude: float
    metadata: dict[str, Any]

class _Integrity(TypedDict):
    """The findings of `verify_integrity`."""

    ok: bool
    errors: list[str]

@final
class PyZurAD:
    def __new__(
        cls,
        path: str | PathLike[str] | None = None,
        capacity: int = 10000,
        wal_sync_interval_ms: int | None = None,
    ) -> PyZurAD:
        """Open the store at `path`, creating it when missing.

        `path` is a str or an os.PathLike whose os.fspath is a str (a
        pathlib.Path); an empty path is refused. Without a path the store
        lives in the temporary directory and its files go with the handle. `capacity` pre-sizes the data files (they
        grow beyond it); `wal_sync_interval_ms` (None means 0) forces the log
        to disk on every write, or at most once per interval.

        Raises OSError when the store cannot be opened, among them the
        refusals that begin "Orbisk CRITICAL: refusing to open".

        Other handles, in this process or others, may have the same store
        open: each call first catches up with what they changed. Should
        that find the store corrupt, the call raises the open's refusal as
        RuntimeError, and so does every later call of this handle.
        """

    def insert(
        self,
        lat: _Number,
        lon: _Number,
        metadata: _Metadata,
        skip_index: Sequence[str] | None = None,
    ) -> int:
        """Store one point and return its id.

        Raises RuntimeError for a coordinate that is not finite or out of
        range (latitude within [-90, 90], longitude within [-180, 180]) and
        TypeError for metadata it cannot store; nothing is stored then.
        `skip_index` (a sequence of str, not a str) is checked and unused.
        """

    def insert_batch(
        self,
        points: list[_PointT],
        skip_index: Sequence[str] | None = None,
    ) -> list[int]:
        """Store (latitude, longitude, metadata) tuples; return their ids in order.

        Every point is checked before anything is written: one bad point
        fails the call and stores none.
        """

    def query_bbox(
        self,
        min_lat: _Number,
        min_lon: _Number,
        max_lat: _Number,
        max_lon: _Number,
        filter: _Filter | None = None,
    ) -> list[_Row]:
        """Every live point inside the box (bounds included), optionally filtered.

        A box with min_lon > max_lon crosses the antimeridian. The order of
        the rows is not defined.
        """

    def query_polygon(
        self,
        coordinates: list[_VertexT],
        filter: _Filter | None = None,
    ) -> list[_Row]:
        """Every live point strictly inside a ring of (longitude, latitude) tuples.

        The ring is closed for you; points on its boundary are not returned.
        The order of the rows is not defined.
        """

    def query_radius(
        self,
        center_lat: _Number,
        center_lon: _Number,
        radius_meters: _Number,
        filter: _Filter | None = None,
    ) -> list[_Row]:
        """Every live point within `radius_meters` great-circle distance of the centre.

        The order of the rows is not defined.
        """

    def query(self, filter: _Filter, limit: SupportsIndex | None = None) -> list[_Row]:
        """The live points whose metadata matches `filter`, in ascending id order.

        `{}` matches every point; `limit` caps the number of rows.
        """

    def len(self) -> int:
        """The number of live points."""

    def count(self) -> int:
        """The number of live points (the same as `len`)."""

    def exists(self, filter: _Filter) -> bool:
        """Whether any live point's metadata matches `filter`."""

    def delete_by_metadata(self, filter: _Filter) -> int:
        """Delete every live point whose metadata matches `filter`; return how many."""

    def verify_integrity(self, flush: bool = False) -> _Integrity:
        """fsck-style integrity check. Returns a dict
        `{ok, errors}`. Default (`flush=False`) verifies the committed
        on-disk data against the CRC recorded at the last flush (detects
        at-rest corruption; most meaningful right after open). `flush=True`
        first flushes, then validates the write -> read path."""

    def flush(self) -> None:
        """Durably checkpoint: catch the committed mmap + manifest up to the
        current state and reset the WAL, under the cross-process write lock."""

    def compact(self) -> int:
        """OB-R1: crash-safe compaction — reclaim tombstoned slots/bytes by
        rewriting a fresh, tombstone-free data generation and atomically
        swapping the manifest to it. Returns the number of tombstones reclaimed."""

    def slot_stats(self) -> tuple[int, int]:
        """OB-R1: `(next_slot, live_count)` — the gap is the tombstone backlog."""
