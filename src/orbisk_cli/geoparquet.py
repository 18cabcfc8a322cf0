"""GeoParquet 1.1 in and out (pyarrow, the optional extra `parquet`).

Written files hold the points' ids (uint64, the column "id", unless left
out), the points as WKB in the column "geometry", a covering column "bbox"
(struct of xmin, ymin, xmax, ymax) named in the `geo` file metadata, and one
column a metadata key: bool, int64, double or string when all of the key's
values have that type, else JSON text. The names of the id column and of the
JSON-text columns are kept in the file metadata under "orbisk", so that an
import leaves the ids out and turns the JSON text back into values. Reading goes one row group batch at a
time. A batch whose geometries are all 2D little-endian WKB points is handed to the store as it is
(the store reads the points); other WKB is decoded with numpy for a whole batch at once.
"""

from __future__ import annotations

import json
import math
import struct
from collections.abc import Callable, Iterator
from typing import IO, Any

from orbisk_cli.errors import CliError
from orbisk_cli.schema import ROW_FIELDS, Schema, SchemaChange
from orbisk_cli.source import ArrowBatch, Item, Point, Source, free_name, in_order
from orbisk_cli.values import (
    ABSENT,
    INT64_MAX,
    BadRow,
    any_problem,
    decode,
    decode_all,
    documents,
    encode,
    encode_all,
    problem_in,
)

GEOPARQUET_VERSION = "1.1.0"
# A column of JSON text: the store keeps each cell's value.
_JSON_FIELD = {b"ARROW:extension:name": b"arrow.json", b"ARROW:extension:metadata": b""}
ROW_GROUP = 100_000  # rows gathered before a row group is written
_WKB_TYPES = {
    1: "Point",
    2: "LineString",
    3: "Polygon",
    4: "MultiPoint",
    5: "MultiLineString",
    6: "MultiPolygon",
    7: "GeometryCollection",
}
_LONLAT_CRS = {("EPSG", "4326"), ("OGC", "CRS84"), ("EPSG", "4979"), ("OGC", "CRS84h")}


def modules() -> tuple[Any, Any, Any]:
    try:
        import numpy
        import pyarrow
        import pyarrow.parquet
    except ImportError:
        raise CliError("GeoParquet needs pyarrow: pip install 'orbisk[parquet]'") from None
    return pyarrow, pyarrow.parquet, numpy


def _wkb_point(blob: bytes | None) -> tuple[float, float]:
    """(x, y) of one WKB point; ValueError says what else it is."""
    if blob is None:
        raise ValueError("has no geometry")
    if len(blob) < 5 or blob[0] not in (0, 1):
        raise ValueError("geometry is not WKB")
    order = "<" if blob[0] == 1 else ">"
    (kind,) = struct.unpack_from(order + "I", blob, 1)
    base = kind & 0xFFFF
    if kind & 0xE0000000 or base > 1000:
        raise ValueError("geometry has Z or M values; only longitude and latitude can be stored")
    if base != 1:
        raise ValueError(f"geometry is a {_WKB_TYPES.get(base, f'WKB type {base}')}, not a Point")
    if len(blob) != 21:
        raise ValueError("geometry is not WKB")
    x, y = struct.unpack_from(order + "dd", blob, 5)
    if math.isnan(x) and math.isnan(y):
        raise ValueError("geometry is an empty Point")
    return x, y


def _check_crs(crs: Any, name: str) -> None:
    if crs is None or not isinstance(crs, dict):
        return
    ident = crs.get("id") or {}
    key = (str(ident.get("authority", "")).upper(), str(ident.get("code", "")))
    if key not in _LONLAT_CRS:
        label = crs.get("name") or f"{key[0]}:{key[1]}"
        raise BadRow(name, f"coordinates are in {label}, not longitude/latitude; reproject the file first")


class GeoParquetSource(Source):
    """Reads a GeoParquet file, or a Parquet file with latitude and longitude columns."""

    unit = "row"

    def __init__(
        self, stream: IO[bytes], name: str, batch_size: int, lat_column: str | None, lon_column: str | None
    ) -> None:
        self.pa, self.pq, self.np = modules()
        import pyarrow.compute  # noqa: F401 - self.pa.compute

        try:
            self.file = self.pq.ParquetFile(stream)
        except Exception as e:  # pyarrow raises its own types for a file that is not Parquet
            raise BadRow(name, f"not a Parquet file ({e})") from None
        super().__init__(name, self.file.metadata.num_rows, batch_size)
        self.lat_column = lat_column
        self.lon_column = lon_column

    def _layout(self) -> None:
        schema = self.file.schema_arrow
        meta = {**(schema.metadata or {}), **(self.file.metadata.metadata or {})}
        names = schema.names
        self.geometry: str | None = None
        skip: set[str] = set()
        if b"geo" in meta and self.lat_column is None and self.lon_column is None:
            try:
                geo = json.loads(meta[b"geo"])
                self.geometry = geo["primary_column"]
                column = geo["columns"][self.geometry]
                self.encoding = str(column.get("encoding", "WKB")).lower()
            except (ValueError, KeyError, TypeError, AttributeError):
                raise BadRow(self.name, "its 'geo' metadata is not valid GeoParquet metadata") from None
            if self.geometry not in names:
                raise BadRow(
                    self.name, f"its 'geo' metadata names the column {self.geometry!r}, which it does not have"
                )
            if len(geo["columns"]) > 1:
                raise BadRow(self.name, "it has more than one geometry column; only points can be imported")
            if self.encoding not in ("wkb", "point"):
                raise BadRow(self.name, f"geometry encoding {column.get('encoding')!r} is not a point encoding")
            _check_crs(column.get("crs"), self.name)
            skip.add(self.geometry)
            for path in (column.get("covering") or {}).get("bbox", {}).values():
                skip.add(path[0])
        else:
            from orbisk_cli.csvfile import LAT_NAMES, LON_NAMES, find_column

            try:
                lat_i = find_column(names, self.lat_column, LAT_NAMES, "latitude", "--lat-column")
                lon_i = find_column(names, self.lon_column, LON_NAMES, "longitude", "--lon-column")
            except BadRow as e:
                raise BadRow(self.name, f"it has no GeoParquet metadata and {e.problem}") from None
            self.lat_name, self.lon_name = names[lat_i], names[lon_i]
            skip.update((self.lat_name, self.lon_name))
        try:
            ours = json.loads(meta.get(b"orbisk", b"{}"))
            self.json_columns = set(ours.get("json_columns", []))
            id_column = ours.get("id_column")
        except (ValueError, AttributeError, TypeError):
            self.json_columns, id_column = set(), None
        if isinstance(id_column, str):
            skip.add(id_column)  # the ids of the store it was exported from
        self.keys = [n for n in names if n not in skip]
        # The columns read: the points and the metadata, not the bbox covering
        # or the ids (about a third of the decoding of a file written here).
        if self.geometry is not None:
            self.read = [self.geometry, *self.keys]
        else:
            self.read = list(dict.fromkeys([self.lat_name, self.lon_name, *self.keys]))

    def batches(self) -> Iterator[Item]:
        self._layout()
        first = 1
        for batch in self.file.iter_batches(batch_size=self.batch_size, columns=self.read):
            if first + batch.num_rows - 1 <= self.skip_rows:
                self.done += batch.num_rows
                first += batch.num_rows
                continue
            if first <= self.skip_rows:
                self.done += self.skip_rows - first + 1
                batch = batch.slice(self.skip_rows - first + 1)
                first = self.skip_rows + 1
            n = batch.num_rows
            bad: dict[int, str] = {}
            if self.geometry is not None and self.encoding == "wkb" and self._plain_wkb(batch.column(self.geometry)):
                # Every geometry is a 2D little-endian WKB point: the store reads
                # them itself (and refuses a coordinate out of range or missing,
                # whose row the row reader then finds).
                coordinates = None
            else:
                coordinates = self._coordinates(batch, bad)
            self.done += n
            rows = self._rows(batch, first, coordinates, bad)
            arrow = None if bad else self._arrow_columns(batch)
            if arrow is None:
                yield from rows()
                first += n
                continue
            keys = list(self.keys)
            lat_name = free_name("latitude", [*keys, self.geometry or ""])
            lon_name = free_name("longitude", [*keys, self.geometry or "", lat_name])
            if coordinates is None:
                assert self.geometry is not None
                fields = [self.pa.field(self.geometry, batch.schema.field(self.geometry).type)]
                arrays = [batch.column(self.geometry)]
            else:
                fields = [self.pa.field(lat_name, self.pa.float64()), self.pa.field(lon_name, self.pa.float64())]
                arrays = [self.pa.array(coordinates[1]), self.pa.array(coordinates[0])]
            table = self.pa.Table.from_arrays(
                arrays + [a for _, a in arrow], schema=self.pa.schema(fields + [f for f, _ in arrow])
            )
            geometry = self.geometry if coordinates is None else None
            yield ArrowBatch(table, lat_name, lon_name, keys, first + n - 1, rows, geometry)
            first += n

    def _rows(
        self, batch: Any, row0: int, coordinates: tuple[Any, Any] | None, bad: dict[int, str]
    ) -> Callable[[], Iterator[list[Point] | BadRow]]:
        """The points and bad rows of a batch, read row by row (Python values);
        its coordinates are decoded here when not given."""

        def rows() -> Iterator[list[Point] | BadRow]:
            found = dict(bad)
            lon, lat = coordinates if coordinates is not None else self._coordinates(batch, found)
            columns = [self._values(batch.column(k), k, found) for k in self.keys]
            lats, lons = lat.tolist(), lon.tolist()

            def make(start: int, stop: int) -> list[Point]:
                metas = documents(self.keys, [c[start:stop] for c in columns], stop - start)
                return list(zip(lats[start:stop], lons[start:stop], metas, range(row0 + start, row0 + stop)))

            yield from in_order(batch.num_rows, sorted(found.items()), make, lambda i: f"{self.name} row {row0 + i}")

        return rows

    def _arrow_columns(self, batch: Any) -> list[tuple[Any, Any]] | None:
        """The metadata columns of a batch as the companion appends them, when
        it stores every value as the row reader would (bools, integers within
        int64, finite floats, text, JSON text that shows it holds no value the
        store changes); None when some column is of another kind."""
        pa, pc = self.pa, self.pa.compute
        out = []
        for key in self.keys:
            array = batch.column(key)
            kind = array.type
            field = pa.field(key, kind)
            if key in self.json_columns:
                if not self._unchanging(array):
                    return None
                field = pa.field(key, kind, metadata=_JSON_FIELD)
            elif pa.types.is_uint64(kind):
                top = pc.max(array).as_py()
                if top is not None and top > INT64_MAX:
                    return None
            elif pa.types.is_floating(kind):
                if array.null_count < len(array) and not pc.all(pc.is_finite(array)).as_py():
                    return None
            elif not (
                pa.types.is_boolean(kind)
                or pa.types.is_integer(kind)
                or pa.types.is_string(kind)
                or pa.types.is_large_string(kind)
            ):
                return None
            out.append((field, array))
        return out

    def _plain_wkb(self, geom: Any) -> bool:
        """Whether every cell of a WKB column is a 2D little-endian point
        (21 bytes: 1, type 1, x, y), as the row reader reads it too."""
        np, pa = self.np, self.pa
        n = len(geom)
        if not n or geom.null_count or not (pa.types.is_binary(geom.type) or pa.types.is_large_binary(geom.type)):
            return False
        buffers = geom.buffers()
        offsets = np.frombuffer(buffers[1], dtype=np.int64 if pa.types.is_large_binary(geom.type) else np.int32)
        offsets = offsets[geom.offset : geom.offset + n + 1]
        start = int(offsets[0])
        if buffers[2] is None or int(offsets[-1]) - start != 21 * n or not (np.diff(offsets) == 21).all():
            return False
        data = buffers[2]
        order = np.ndarray((n,), dtype=np.uint8, buffer=data, offset=start, strides=(21,))
        kind = np.ndarray((n,), dtype="<u4", buffer=data, offset=start + 1, strides=(21,))
        return bool((order == 1).all() and (kind == 1).all())

    def _coordinates(self, batch: Any, bad: dict[int, str]) -> tuple[Any, Any]:
        """The longitudes and latitudes of a batch (float64 numpy arrays), with
        the rows whose geometry or coordinates are bad in `bad`."""
        np, pa = self.np, self.pa
        n = batch.num_rows
        if self.geometry is None:
            lat = batch.column(self.lat_name).cast(pa.float64()).to_numpy(zero_copy_only=False)
            lon = batch.column(self.lon_name).cast(pa.float64()).to_numpy(zero_copy_only=False)
        elif self.encoding == "point":
            geom = batch.column(self.geometry)
            lon = geom.field("x").to_numpy(zero_copy_only=False).astype(float)
            lat = geom.field("y").to_numpy(zero_copy_only=False).astype(float)
            for i in np.flatnonzero(geom.is_null().to_numpy(zero_copy_only=False)):
                bad[int(i)] = "has no geometry"
        else:
            geom = batch.column(self.geometry)
            lon, lat = np.full(n, np.nan), np.full(n, np.nan)
            buffers = geom.buffers()
            offsets = np.frombuffer(buffers[1], dtype=np.int64 if pa.types.is_large_binary(geom.type) else np.int32)
            offsets = offsets[geom.offset : geom.offset + n + 1]
            lengths = np.diff(offsets)
            data = np.frombuffer(buffers[2], dtype=np.uint8) if buffers[2] is not None else np.zeros(0, np.uint8)
            plain = (lengths == 21) & ~geom.is_null().to_numpy(zero_copy_only=False) if n else lengths == 21
            if plain.all() and n and offsets[-1] - offsets[0] == 21 * n:
                raw = data[offsets[0] : offsets[-1]].reshape(n, 21)
                plain = (raw[:, 0] == 1) & (raw[:, 1] == 1) & (raw[:, 2:5] == 0).all(axis=1)
                xy = raw[:, 5:].copy().view("<f8")
                lon, lat = xy[:, 0].copy(), xy[:, 1].copy()
            else:
                plain = np.zeros(n, dtype=bool)
            for i in np.flatnonzero(~plain):
                try:
                    lon[i], lat[i] = _wkb_point(geom[int(i)].as_py())
                except ValueError as e:
                    bad[int(i)] = str(e)
        wrong = ~((lat >= -90.0) & (lat <= 90.0) & (lon >= -180.0) & (lon <= 180.0))
        for i in np.flatnonzero(wrong):
            where = f"latitude {float(lat[i])!r}, longitude {float(lon[i])!r}"  # not numpy's repr
            bad.setdefault(int(i), f"coordinate out of range or missing ({where})")
        return lon, lat

    def _unchanging(self, array: Any) -> bool:
        """Whether a column of JSON texts certainly holds no value that the
        store would give back changed (checked on the text, in C)."""
        if not (self.pa.types.is_string(array.type) or self.pa.types.is_large_string(array.type)):
            return False
        from orbisk_cli.celltyping import unchanging

        return unchanging(array.drop_null())

    def _values(self, array: Any, key: str, bad: dict[int, str]) -> list[Any]:
        pa, np = self.pa, self.np
        kind = array.type
        values: list[Any] = array.to_pylist()
        if array.null_count:
            values = [ABSENT if v is None else v for v in values]
        if key in self.json_columns:
            texts = [v for v in values if v is not ABSENT] if array.null_count else values
            decoded = decode_all(texts, checked=not self._unchanging(array))
            if decoded is not None:
                if not array.null_count:
                    return decoded
                it = iter(decoded)
                return [v if v is ABSENT else next(it) for v in values]
            out = []
            for i, v in enumerate(values):
                if v is ABSENT:
                    out.append(v)
                    continue
                try:
                    value = decode(v)
                except (ValueError, RecursionError):
                    bad.setdefault(i, f"column {key!r} holds text that is not JSON")
                    value = None
                out.append(value)
            values = out
        elif pa.types.is_floating(kind):
            finite = np.isfinite(array.to_numpy(zero_copy_only=False))
            for i in np.flatnonzero(~finite):
                if values[i] is not ABSENT:
                    bad.setdefault(int(i), f"column {key!r} holds {values[i]!r}, which the store cannot keep")
            return values
        elif (
            pa.types.is_integer(kind)
            or pa.types.is_boolean(kind)
            or pa.types.is_string(kind)
            or (pa.types.is_large_string(kind))
        ):
            if pa.types.is_uint64(kind):
                for i, v in enumerate(values):
                    if v is not ABSENT and v > INT64_MAX:
                        bad.setdefault(i, f"column {key!r} holds {v}, outside the signed 64-bit range")
            return values
        else:
            values = [v if v is ABSENT else _plain(v) for v in values]
        if not any_problem([v for v in values if v is not ABSENT], 2):
            return values
        for i, v in enumerate(values):
            if v is not ABSENT:
                problem = problem_in(v, 2)
                if problem:
                    bad.setdefault(i, f"column {key!r}: {problem}")
        return values


def _plain(value: Any) -> Any:
    """A JSON-like value for what pyarrow returns for other Arrow types."""
    if isinstance(value, (bool, int, float, str)) or value is None:
        return value
    if isinstance(value, dict):
        return {str(k): _plain(v) for k, v in value.items()}
    if isinstance(value, list) and all(isinstance(v, tuple) and len(v) == 2 for v in value) and value:
        return {str(k): _plain(v) for k, v in value}  # a map column
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if hasattr(value, "isoformat"):
        return value.isoformat()
    if isinstance(value, bytes):
        return value.hex()
    return str(value)


# ---- writer -----------------------------------------------------------------------


def _free_name(name: str, taken: set[str]) -> str:
    while name in taken:
        name += "_"
    return name


class GeoParquetWriter:
    """Writes points as GeoParquet: `render` makes a record batch of rows,
    `add` gathers batches into row groups, `close` ends the file with its
    `geo` metadata (the bbox of every point rendered)."""

    def __init__(self, out: IO[bytes], schema: Schema, with_id: bool = True) -> None:
        self.pa, self.pq, self.np = modules()
        pa = self.pa
        self.schema = schema
        taken = set(schema.keys)
        self.id_name = _free_name("id", taken) if with_id else None
        taken |= {self.id_name} if self.id_name else set()
        self.geometry = _free_name("geometry", taken)
        self.bbox = _free_name("bbox", taken | {self.geometry})
        types = {"bool": pa.bool_(), "int": pa.int64(), "float": pa.float64(), "str": pa.string(), "json": pa.string()}
        self.bbox_type = pa.struct([(k, pa.float64()) for k in ("xmin", "ymin", "xmax", "ymax")])
        fields = [pa.field(self.geometry, pa.binary()), pa.field(self.bbox, self.bbox_type)]
        if self.id_name:
            fields.insert(0, pa.field(self.id_name, pa.uint64()))
        fields += [pa.field(k, types[kind]) for k, kind in schema.kinds.items()]
        self.json_columns = [k for k, kind in schema.kinds.items() if kind == "json"]
        self.arrow_schema = pa.schema(fields)
        # Without a stored Arrow schema, readers take the file metadata written at
        # close as the schema's, so the `geo` metadata can carry the final bbox.
        self.writer = self.pq.ParquetWriter(out, self.arrow_schema, compression="snappy", store_schema=False)
        self.extent = [math.inf, math.inf, -math.inf, -math.inf]
        self.pending: list[Any] = []  # record batches of the next row group
        self.pending_rows = 0

    def render(self, rows: list[dict[str, Any]]) -> Any:
        """The rows as a record batch."""
        pa, np = self.pa, self.np
        n = len(rows)
        lats, lons, metas = zip(*map(ROW_FIELDS, rows)) if n else ((), (), ())  # one pass over the rows
        lon = np.array(lons, dtype=np.float64)
        lat = np.array(lats, dtype=np.float64)
        wkb = np.zeros(n, dtype=np.dtype([("order", "u1"), ("type", "<u4"), ("x", "<f8"), ("y", "<f8")]))
        wkb["order"] = 1
        wkb["type"] = 1
        wkb["x"] = lon
        wkb["y"] = lat
        offsets = np.arange(0, 21 * (n + 1), 21, dtype=np.int32)
        geometry = pa.Array.from_buffers(pa.binary(), n, [None, pa.py_buffer(offsets), pa.py_buffer(wkb.tobytes())])
        x, y = pa.array(lon), pa.array(lat)
        bbox = pa.StructArray.from_arrays([x, y, x, y], fields=list(self.bbox_type))
        arrays = [geometry, bbox]
        if self.id_name:
            arrays.insert(0, pa.array([r["id"] for r in rows], type=pa.uint64()))
        for (key, kind), values in zip(self.schema.kinds.items(), self.schema.columns(metas, ABSENT)):
            if kind == "json":
                if ABSENT in values:
                    values = [None if v is ABSENT else encode(v) for v in values]
                else:
                    values = encode_all(values)
            else:
                wanted = {"bool": bool, "int": int, "float": float, "str": str}[kind]
                kinds = set(map(type, values)) - {type(ABSENT)}
                if kinds - {wanted}:
                    raise SchemaChange()
                if ABSENT in values:
                    values = [None if v is ABSENT else v for v in values]
            arrays.append(pa.array(values, type=self.arrow_schema.field(key).type))
        if n:
            e = self.extent
            e[0], e[1] = min(e[0], float(lon.min())), min(e[1], float(lat.min()))
            e[2], e[3] = max(e[2], float(lon.max())), max(e[3], float(lat.max()))
        return pa.RecordBatch.from_arrays(arrays, schema=self.arrow_schema)

    def add(self, batch: Any) -> None:
        """Writes a record batch (or table) of rendered rows, in row groups of ROW_GROUP rows."""
        self.pending.append(batch)
        self.pending_rows += batch.num_rows
        if self.pending_rows >= ROW_GROUP:
            self._flush()

    def _flush(self) -> None:
        """Writes the pieces held back as one row group."""
        if self.pending:
            pieces = [p if isinstance(p, self.pa.Table) else self.pa.Table.from_batches([p]) for p in self.pending]
            table = self.pa.concat_tables(pieces).combine_chunks()
            self.writer.write_table(table, row_group_size=max(self.pending_rows, 1))
        self.pending = []
        self.pending_rows = 0

    def close(self) -> None:
        self._flush()
        column: dict[str, Any] = {
            "encoding": "WKB",
            "geometry_types": ["Point"],
            "covering": {"bbox": {k: [self.bbox, k] for k in ("xmin", "ymin", "xmax", "ymax")}},
        }
        if self.extent[0] <= self.extent[2]:
            column["bbox"] = self.extent
        geo = {"version": GEOPARQUET_VERSION, "primary_column": self.geometry, "columns": {self.geometry: column}}
        ours: dict[str, Any] = {"json_columns": self.json_columns}
        if self.id_name:
            ours["id_column"] = self.id_name
        self.writer.add_key_value_metadata({"geo": json.dumps(geo), "orbisk": encode(ours)})
        self.writer.close()
