"""Columnar access to orbisk stores: Arrow out and in, and read-only opening.

`ColumnarStore` is a handle on a store, beside the `orbisk.PyZurAD` handles
that may have the same store open in this process or in others: each sees
what the others write. It hands selected points to any Arrow consumer
(pyarrow, polars, DuckDB, geopandas) without a Python object per point, and
takes points from any Arrow producer the same way.

    from orbisk_columnar import ColumnarStore

    with ColumnarStore("data/places.db") as store:
        ids = store.append(table)                       # a pyarrow Table, a polars DataFrame, ...
        result = store.to_arrow(bbox=(35, -10, 55, 5), geometry="wkb")
        df = pyarrow.table(result).to_pandas()

No package beyond orbisk itself is needed to produce or consume Arrow
streams: the Arrow C data interface is spoken directly.
"""

from __future__ import annotations

import os
from collections.abc import Mapping, Sequence
from types import TracebackType
from typing import Any, Protocol, SupportsFloat, SupportsIndex, TypeAlias, TypedDict, overload

from ._columnar import ArrowResult, Handle

__all__ = ["ArrowResult", "ColumnarStore", "DistanceRow", "GeoInterface", "Row", "Shape"]

_Number: TypeAlias = SupportsFloat | SupportsIndex


class GeoInterface(Protocol):
    """An object that describes its geometry as a GeoJSON-like mapping (shapely's geometries do)."""

    @property
    def __geo_interface__(self) -> Mapping[str, Any]: ...


# What `polygon=` takes: a list of (lon, lat) tuples (one ring), a GeoJSON-like
# Polygon, MultiPolygon, Feature, FeatureCollection or GeometryCollection
# mapping, or an object with __geo_interface__.
Shape: TypeAlias = list[tuple[_Number, _Number]] | Mapping[str, Any] | GeoInterface


class Row(TypedDict):
    """One row of `ColumnarStore.rows`: the rows of `orbisk.PyZurAD`'s queries."""

    id: int
    latitude: float
    longitude: float
    metadata: dict[str, Any]


class DistanceRow(Row):
    """A row of `ColumnarStore.nearest`, or of `rows(sort_by_distance=...)`: with its distance."""

    distance_m: float


class ColumnarStore:
    """A handle on the store at `path`, speaking Arrow.

    The store's files, formats, locks and refusals are those of
    `orbisk.PyZurAD(path)`: a missing store is created (unless `read_only`),
    and a store that fails its checks raises OSError with the refusal
    ("Orbisk CRITICAL: refusing to open ..."). A store without a path is not
    supported. `capacity` and `wal_sync_interval_ms` mean what they mean for
    PyZurAD.

    `read_only=True` opens the store for reading only: no file is created or
    written and no writer lock is taken, so that a store on a read-only
    directory or file system can be read. Records in the log that the last
    writer did not checkpoint are replayed in memory. `append` then raises
    io.UnsupportedOperation. When a writer changes the store, the next call
    of a read-only handle reads the store again (a full reopen).

    Selections (the keyword arguments of `to_arrow` and `rows`):

    - no shape: every point;
    - `bbox=(min_lat, min_lon, max_lat, max_lon)`: a box, as `query_bbox`
      takes it (bounds included; min_lon > max_lon crosses the antimeridian);
    - `radius=(center_lat, center_lon, radius_meters)`: a great-circle
      distance, as `query_radius`;
    - `polygon=`: the points strictly inside a shape of (longitude, latitude)
      vertices in the plane, and outside its holes. Points on any ring's
      edge or vertex, holes' rings included, are not in it. The shape is one
      of: a list of (lon, lat) tuples (one ring, as `query_polygon` takes it);
      a GeoJSON-like mapping: a Polygon ({"type": "Polygon", "coordinates":
      [exterior, hole, ...]}, each ring a list of [lon, lat] positions, open
      or closed), a MultiPolygon (several such polygons), or a Feature,
      FeatureCollection or GeometryCollection of them (all their parts
      together); or any object with `__geo_interface__` that gives such a
      mapping (shapely's Polygon and MultiPolygon, a GeoDataFrame). Rings
      follow the nonzero rule; a polygon without rings adds nothing. A
      structure that is none of these raises TypeError; a shape without any
      part, a ring of fewer than 3 distinct vertices or a coordinate that is
      not finite (the one-ring list included, which query_polygon would take)
      raise ValueError, naming the part, ring and vertex (counted from 0 over
      the whole shape);
    - `filter={...}`: a metadata filter document, as `query` takes it,
      alone or with a shape;
    - `limit=n`: at most n points;
    - `sort_by_distance=(lat, lon)`: the points in ascending great-circle
      distance from (lat, lon) (the store's haversine, ties by ascending
      id), each with its distance in metres: a "distance_m" key in `rows`,
      a float64 column `distance_m` after the coordinates in `to_arrow`.
      With `limit=k` the selection is then the k nearest (without a shape:
      a nearest-neighbour search, which reads only the points around the
      origin); `max_distance_m=m` leaves out points farther than m metres
      (one exactly m away is kept).

    At most one shape may be given. Without a shape or an order, points come
    in ascending id order (with a limit: the lowest ids when the store holds
    at most 4000 points, as `query`); with a shape, in no defined order.

    Use it with `with`, or call `close()`: a closed handle raises ValueError.
    """

    def __init__(
        self,
        path: str | os.PathLike[str],
        *,
        read_only: bool = False,
        capacity: int = 10000,
        wal_sync_interval_ms: int | None = None,
    ) -> None:
        self._path = os.fspath(path)
        self._handle = Handle(self._path, bool(read_only), capacity, wal_sync_interval_ms)

    @property
    def path(self) -> str:
        """The base path the store was opened on."""
        return self._path

    @property
    def read_only(self) -> bool:
        """Whether the store was opened for reading only."""
        return self._handle.read_only

    @property
    def closed(self) -> bool:
        """Whether `close` has been called."""
        return self._handle.closed

    def close(self) -> None:
        """Close the handle. Calls of other threads that are running finish first; later calls raise ValueError."""
        self._handle.close()

    def __enter__(self) -> ColumnarStore:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.close()

    def __len__(self) -> int:
        """The number of live points."""
        return self._handle.len()

    def slot_stats(self) -> tuple[int, int]:
        """(ids handed out, live points), as `PyZurAD.slot_stats`."""
        return self._handle.slot_stats()

    def verify_integrity(self) -> dict[str, Any]:
        """The committed data checked against its recorded checksums, as
        `PyZurAD.verify_integrity()` without a flush (so a read-only handle
        can check): {"ok": bool, "errors": [str, ...]}."""
        return self._handle.verify_integrity()

    def __repr__(self) -> str:
        state = "closed" if self.closed else ("read-only" if self.read_only else "open")
        return f"<ColumnarStore {self._path!r} ({state})>"

    @overload
    def rows(
        self,
        *,
        bbox: Sequence[_Number] | None = None,
        radius: Sequence[_Number] | None = None,
        polygon: Shape | None = None,
        filter: dict[str, Any] | None = None,
        limit: SupportsIndex | None = None,
        sort_by_distance: None = None,
        max_distance_m: None = None,
    ) -> list[Row]: ...
    @overload
    def rows(
        self,
        *,
        bbox: Sequence[_Number] | None = None,
        radius: Sequence[_Number] | None = None,
        polygon: Shape | None = None,
        filter: dict[str, Any] | None = None,
        limit: SupportsIndex | None = None,
        sort_by_distance: Sequence[_Number],
        max_distance_m: _Number | None = None,
    ) -> list[DistanceRow]: ...
    def rows(
        self,
        *,
        bbox: Sequence[_Number] | None = None,
        radius: Sequence[_Number] | None = None,
        polygon: Shape | None = None,
        filter: dict[str, Any] | None = None,
        limit: SupportsIndex | None = None,
        sort_by_distance: Sequence[_Number] | None = None,
        max_distance_m: _Number | None = None,
    ) -> list[Row] | list[DistanceRow]:
        """The selected points as row dicts {"id", "latitude", "longitude", "metadata"}
        (and "distance_m", with `sort_by_distance`).

        The selection keywords are described in the class documentation.
        Errors are those of PyZurAD's queries (TypeError and ValueError for
        bad arguments and filters, RuntimeError for engine failures).
        """
        return self._handle.rows(  # type: ignore[return-value]
            bbox, radius, polygon, filter, limit, sort_by_distance, max_distance_m
        )

    def nearest(
        self,
        lat: _Number,
        lon: _Number,
        k: SupportsIndex,
        filter: dict[str, Any] | None = None,
        max_distance_m: _Number | None = None,
    ) -> list[DistanceRow]:
        """The k live points nearest to (lat, lon) that match `filter`, nearest first.

        Distances are great-circle distances by the store's haversine (Earth
        radius 6371000 m); ties go by ascending id. Each row is the store's
        row with its distance in metres under "distance_m". Fewer than k come
        back when fewer match; with `max_distance_m`, none farther than that
        (one exactly that far is kept, as `query_radius` keeps its edge).

        The search works outwards from (lat, lon) over the grid, or reads a
        small metadata index answer for a single-condition filter; it does
        not read the whole store. The same rows, and their Arrow form, come
        from `rows`/`to_arrow(sort_by_distance=(lat, lon), limit=k,
        filter=..., max_distance_m=...)`.

        An origin that is not finite or lies outside [-90, 90] x [-180, 180],
        a negative k, and a negative or NaN `max_distance_m` raise ValueError.
        """
        return self._handle.nearest(lat, lon, k, filter, max_distance_m)  # type: ignore[return-value]

    def to_arrow(
        self,
        *,
        bbox: Sequence[_Number] | None = None,
        radius: Sequence[_Number] | None = None,
        polygon: Shape | None = None,
        filter: dict[str, Any] | None = None,
        limit: SupportsIndex | None = None,
        sort_by_distance: Sequence[_Number] | None = None,
        max_distance_m: _Number | None = None,
        columns: Sequence[str] | None = None,
        types: dict[str, object] | None = None,
        geometry: str | None = None,
        metadata: str = "columns",
        batch_size: int = 65536,
    ) -> ArrowResult:
        """The selected points as Arrow record batches.

        The result has the Arrow PyCapsule stream interface
        (`__arrow_c_stream__`): `pyarrow.table(r)`, `polars.from_arrow(r)`,
        `duckdb.sql("select ... from r")` and
        `geopandas.GeoDataFrame.from_arrow(r)` read it, each as often as it
        likes. The points are read and their metadata typed in one pass, on
        all cores, before the call returns; batches hold `batch_size` rows.

        Columns, in order:

        - `id` (uint64), `latitude`, `longitude` (float64);
        - `distance_m` (float64), with `sort_by_distance`: the distance from
          its origin in metres (the rows come in ascending distance);
        - `geometry`, when asked: "wkb" (GeoArrow WKB points), "point"
          (GeoArrow points, a struct of x and y) or "interleaved" (GeoArrow
          points, fixed-size lists of x, y); coordinate system OGC:CRS84;
        - with `metadata="columns"` (the default), one column per metadata
          key, in the order the points first show the keys (or the order of
          `columns`, which limits the keys to those named). A key missing
          from a point is null. A key's type is bool, int64, uint64 (integers
          beyond int64, none negative), float64 or string when all its values
          are of that kind; a key whose values are nested (lists, objects) or
          of several kinds is a JSON text column (extension type arrow.json),
          which holds every value as JSON text. `types` gives keys a type
          instead: a name ("bool", "int8" to "int64", "uint8" to "uint64",
          "float32", "float64", "string", "large_string", "json") or a pyarrow
          type that prints as one;
        - `metadata_rest` (JSON text), only when some point needs it: the
          values a typed column cannot hold as they are, with their keys, as
          one JSON object per row. Those are stored nulls (a column's null
          means that the point has no such key), values that do not fit a
          type given in `types` (an integer out of the type's range, a float
          that float32 would round, a value of another kind), and the values
          of a key named id, latitude, longitude, metadata_rest (or geometry
          and distance_m, when asked). So no value is lost or changed, and `append` puts
          them back;
        - with `metadata="json"`, one column `metadata` instead: each point's
          stored metadata text (arrow.json); with `metadata="none"`, none.

        Points whose stored metadata cannot be read are left out, as every
        read leaves them out.
        """
        return self._handle.to_arrow(
            bbox,
            radius,
            polygon,
            filter,
            limit,
            sort_by_distance,
            max_distance_m,
            columns,
            types,
            geometry,
            metadata,
            batch_size,
        )

    def append(
        self,
        data: object,
        *,
        latitude: str = "latitude",
        longitude: str = "longitude",
        geometry: str | None = None,
        columns: Sequence[str] | None = None,
    ) -> range:
        """Store the rows of Arrow data as points; return their ids as a range.

        `data` is anything with `__arrow_c_stream__`: a pyarrow Table or
        RecordBatchReader, a polars DataFrame, a DuckDB relation, or a
        GeoDataFrame's `to_arrow()`. The coordinates come from the columns
        named by `latitude` and `longitude` (any number type) when both
        exist; otherwise from a geometry column: the one named by `geometry`,
        or else the stream's one GeoArrow column (WKB, or points as a struct
        or as interleaved lists), or else a column named "geometry" holding
        WKB. Geometries must be points (x is the longitude, y the latitude).

        The other columns become metadata keys, or only those named in
        `columns`. Columns that `to_arrow` wrote beside the metadata are not
        metadata: `id` and `distance_m` are skipped when their field metadata
        marks them (pyarrow keeps the mark; polars, DuckDB and pandas drop it,
        and then they become keys unless `columns` names the others), and a text column
        named `metadata_rest` is merged back into each row's metadata. A null cell leaves its key out of
        the point's metadata (in a struct too; a null list element stays
        null). Types: bool, integers of every width, float16/32/64, strings
        (utf8, large_utf8, string_view), JSON text (arrow.json: its value),
        lists (list, large_list, fixed_size_list) as arrays, structs as
        objects, dictionary-encoded columns as their values, null. Any other
        type is refused with TypeError naming the column, before anything is
        read.

        A value the store cannot keep is refused, naming its column and row
        (counted from 0 over the whole stream): NaN and infinite numbers,
        text that is not UTF-8 and nesting deeper than 127 levels raise
        ValueError, as do null coordinates and rows; coordinates out of range
        raise RuntimeError with insert_batch's message. Every row is read
        and checked before anything is written, and the points are then
        written and made durable as one unit: when the call returns they are
        on disk; when it raises, none of them is stored.
        """
        first, end = self._handle.append(data, latitude, longitude, geometry, columns)
        return range(first, end)
