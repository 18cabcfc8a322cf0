"""Exports through Arrow: the selection read by the companion handle as
record batches (`ColumnarStore.to_arrow`), and each format's text or columns
made from whole columns with pyarrow's compute functions, without a Python
object a point.

The selection comes in id order: a whole store or a filter scan is read in
slot order, a shape's points are put in order by their ids (one sort in C),
and a limit keeps the lowest ids. The columns of CSV and GeoParquet are the
metadata columns of the result, whose keys and types are known over the
whole selection before the first row is written. Values a typed column
could not hold (stored nulls, keys named like the result's own columns) come
in the JSON column `metadata_rest`; the keys found there are written from
Python values by the rules of `celltyping` and `schema`, which are the
rules of every column here too:

- CSV: numbers, booleans as their text (floats as Python's shortest
  round-trip text), text as itself when some text of its column is not
  typed, else as JSON strings, a column of mixed kinds as JSON text (its top
  level floats written as Python writes them), the empty string as "".
- GeoJSON: each point's stored metadata text is its properties.
- GeoParquet: typed columns as they are, JSON columns as JSON text named in
  the file's `orbisk` metadata.
"""

from __future__ import annotations

import json
import os
import re
from collections.abc import Callable, Iterator
from typing import IO, Any

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc

from orbisk_cli.celltyping import QUOTED_EMPTY, arrow_untyped, column_cells, has_plain_text
from orbisk_cli.csvfile import _quoted, _quoted_cell
from orbisk_cli.errors import CliError
from orbisk_cli.progress import Progress
from orbisk_cli.selection import Selection, exact_limit
from orbisk_cli.store import Reader
from orbisk_cli.values import ABSENT, decode, encode, encode_all

SLICE = 100_000  # rows made into text at a time
_FIXED = ("id", "latitude", "longitude", "geometry")
_REST = "metadata_rest"
_KINDS = {bool: "bool", int: "int", float: "float", str: "str"}
_JSON_EXTENSION = b"arrow.json"
# Floats whose text pyarrow writes as Python does: with a fraction, no
# exponent, in the range where Python writes no exponent either.
_FIXED_LOW, _FIXED_HIGH = 1e-4, 1e16
_NEEDS_JSON_ESCAPE = r'["\\\x00-\x1f]'
_NUMBER_STARTS = pa.array(list("-0123456789"))
_TOP_LEVEL_FLOAT = r"^-?(?:0|[1-9][0-9]*)(?:\.[0-9]+)?(?:[eE][-+]?[0-9]+)?$"


# ---- the selection --------------------------------------------------------------------


def selected(reader: Reader, sel: Selection, **options: Any) -> Any:
    """The selected points as a pyarrow Table in id order (`options`: those of
    `to_arrow` beyond the selection)."""
    shape: dict[str, Any] = {}
    if sel.bbox is not None:
        shape["bbox"] = sel.bbox
    elif sel.radius is not None:
        shape["radius"] = sel.radius
    elif sel.polygon is not None:
        shape["polygon"] = sel.polygon
    limit = sel.limit
    if limit is not None and (shape or not exact_limit(reader.len(), limit)):
        limit = None  # all of them, in id order, then the first ones
    try:
        table = pa.table(reader.columnar.to_arrow(filter=sel.filter, limit=limit, **shape, **options))
    except (ValueError, TypeError) as e:
        raise CliError(f"bad filter: {e}") from None
    if shape and table.num_rows > 1:
        ids = table.column("id")
        if not pc.all(pc.less(ids.slice(0, len(ids) - 1), ids.slice(1))).as_py():
            table = table.take(pc.sort_indices(ids))
    if sel.limit is not None and table.num_rows > sel.limit:
        table = table.slice(0, sel.limit)
    return table


# ---- columns ----------------------------------------------------------------------------


def _plain_array(column: Any) -> Any:
    """A column as one array of its storage type (an extension type's storage)."""
    array = column.combine_chunks() if isinstance(column, pa.ChunkedArray) else column
    if isinstance(array.type, pa.BaseExtensionType):
        array = array.storage
    return array


def _storage_chunks(column: Any) -> Any:
    """A column as a ChunkedArray of its storage type, chunk by chunk as it
    came (no copy: a copy of every column cost an export more than pyarrow's
    writing of the same columns)."""
    chunks = column.chunks if isinstance(column, pa.ChunkedArray) else [column]
    kind = column.type.storage_type if isinstance(column.type, pa.BaseExtensionType) else column.type
    return pa.chunked_array([c.storage if isinstance(c, pa.ExtensionArray) else c for c in chunks], type=kind)


def _is_json(field: Any) -> bool:
    if isinstance(field.type, pa.BaseExtensionType):
        return bool(field.type.extension_name == "arrow.json")
    return (field.metadata or {}).get(b"ARROW:extension:name") == _JSON_EXTENSION


class Column:
    """One metadata key of an export: its kind ("bool", "int", "float", "str"
    or "json"), and its values, as an Arrow array (null: the key is missing)
    or, for keys found in `metadata_rest`, as Python values (ABSENT: missing)."""

    def __init__(self, key: str, kind: str, array: Any = None, values: list[Any] | None = None) -> None:
        self.key = key
        self.kind = kind
        self.array = array
        self.values = values
        self.plain = False  # str: some text of the key is not typed, so it is written as it is


def _kind_of(values: list[Any]) -> str:
    types = set(map(type, values)) - {type(ABSENT)}
    return _KINDS.get(next(iter(types)), "json") if len(types) == 1 else "json"


def metadata_columns(table: Any, texts: Callable[[], Any] | None = None, for_text: bool = True) -> list[Column]:
    """The metadata keys of an Arrow result, in the order the points first
    show them. `texts`: gives the stored texts of the same rows (a `metadata`
    column), to place keys found in `metadata_rest` among the others.
    `for_text`: the columns are made into text (CSV): each is one array and
    knows whether its text is `plain`; else they stay in the table's chunks."""
    names = [n for n in table.column_names if n not in _FIXED and n != _REST]
    rest: dict[int, dict[str, Any]] = {}
    if _REST in table.column_names:
        rest_texts = table.column(_REST)
        present = pc.indices_nonzero(pc.is_valid(rest_texts)).to_pylist()
        for i, text in zip(present, _plain_array(rest_texts).take(pa.array(present, pa.int64())).to_pylist()):
            rest[i] = decode(text)
    in_rest = list(dict.fromkeys(k for doc in rest.values() for k in doc))
    keys = names + [k for k in in_rest if k not in names]
    if in_rest:
        keys = _in_first_order(table, keys, names, rest, texts)
    columns = []
    for key in keys:
        if key in in_rest:
            values = (
                [ABSENT if v is None else v for v in _plain_values(table, key)]
                if key in names
                else [ABSENT] * table.num_rows
            )
            for i, doc in rest.items():
                if key in doc:
                    values[i] = doc[key]
            column = Column(key, _kind_of(values), values=values)
            column.plain = column.kind == "str" and has_plain_text(values)
        else:
            field = table.schema.field(key)
            array = _plain_array(table.column(key)) if for_text else _storage_chunks(table.column(key))
            if _is_json(field):
                kind = "json"
            elif pa.types.is_boolean(array.type):
                kind = "bool"
            elif pa.types.is_integer(array.type):
                kind = "int"
            elif pa.types.is_floating(array.type):
                kind = "float"
            elif pa.types.is_string(array.type) or pa.types.is_large_string(array.type):
                kind = "str"
            else:  # not a type the companion writes; its values say what they are
                values = [ABSENT if v is None else v for v in array.to_pylist()]
                columns.append(Column(key, _kind_of(values), values=values))
                continue
            column = Column(key, kind, array=array)
            column.plain = for_text and kind == "str" and arrow_untyped(array)
        columns.append(column)
    return columns


def _in_first_order(
    table: Any, keys: list[str], names: list[str], rest: dict[int, dict[str, Any]], texts: Callable[[], Any] | None
) -> list[str]:
    """The keys in the order the rows first show them (a row's keys in the
    order of its stored text)."""
    first: dict[str, int] = {}
    for key in names:
        first[key] = pc.index(pc.is_valid(table.column(key)), True).as_py()
    for i in sorted(rest):
        for key in rest[i]:
            first[key] = min(first.get(key, i), i)
    rows = sorted({first[k] for k in keys})
    place: dict[str, tuple[int, int]] = {}
    shared = [r for r in rows if sum(1 for k in keys if first[k] == r) > 1]
    if shared and texts is not None:
        stored = _plain_array(texts().column("metadata")).take(pa.array(shared, pa.int64())).to_pylist()
        for row, text in zip(shared, stored):
            for position, key in enumerate(decode(text)):
                place[key] = (row, position)
    order = {k: i for i, k in enumerate(keys)}
    return sorted(keys, key=lambda k: (first[k], *place.get(k, (first[k], order[k]))[1:], order[k]))


def _plain_values(table: Any, key: str) -> list[Any]:
    array = _plain_array(table.column(key))
    values = array.to_pylist()
    if _is_json(table.schema.field(key)):
        return [None if v is None else decode(v) for v in values]
    return values  # type: ignore[no-any-return]


# ---- text -------------------------------------------------------------------------------


def float_texts(array: Any) -> Any:
    """Python's shortest round-trip text (repr) of each float64 of the array."""
    texts = pc.cast(array, pa.string())
    if not len(array):
        return texts
    values = array.to_numpy(zero_copy_only=False)
    numbers = np.abs(values)
    usual = (numbers >= _FIXED_LOW) & (numbers < _FIXED_HIGH)
    plain = ~np.asarray(pc.match_substring(texts, "e"))  # pyarrow's text has no exponent
    whole = plain & (numbers < _FIXED_HIGH) & (np.floor(values) == values)
    if whole.any():  # 5 and -0 are written 5.0 and -0.0
        texts = pc.if_else(pa.array(whole), pc.binary_join_element_wise(texts, ".0", ""), texts)
    other = ~((usual & plain) | whole)
    if array.null_count:
        other &= np.asarray(array.is_valid())
    if other.any():
        at = np.flatnonzero(other)
        texts = pc.replace_with_mask(texts, pa.array(other), pa.array(list(map(repr, array.take(at).to_pylist()))))
    return texts


def _holds_any(texts: Any, characters: str) -> bool:
    """Whether some text of a string array holds one of the (ASCII) characters."""
    data = bytes(_buffer_of(texts))
    return any(c.encode() in data for c in characters)


def _json_strings(texts: Any) -> Any:
    """Each text as a JSON string."""
    quoted = pc.binary_join_element_wise('"', texts, '"', "")
    if not _holds_any(texts, '"\\') and not re.search(rb"[\x00-\x1f]", bytes(_buffer_of(texts))):
        return quoted
    escape = np.asarray(pc.fill_null(pc.match_substring_regex(texts, _NEEDS_JSON_ESCAPE), False))
    if escape.any():
        at = np.flatnonzero(escape)
        quoted = pc.replace_with_mask(quoted, pa.array(escape), pa.array(encode_all(texts.take(at).to_pylist())))
    return quoted


def _csv_cells(column: Column, start: int, stop: int, delimiter: str) -> Any:
    """The cells of rows [start, stop) of a column as written (quoted where
    they must be); null for a missing key."""
    if column.values is not None:
        cells = column_cells(column.values[start:stop], column.kind, column.plain)
        written = _quoted(cells, delimiter)
        return pa.array([None if c == "" and c is not QUOTED_EMPTY else w for c, w in zip(cells, written)], pa.string())
    array = column.array.slice(start, stop - start)
    kind = column.kind
    empty = None  # where the cell is the empty string, written ""
    if kind == "bool":
        texts = pc.if_else(array, "true", "false")
    elif kind == "int":
        texts = pc.cast(array, pa.string())
    elif kind == "float":
        texts = float_texts(array)
    elif kind == "str":
        empty = pc.equal(array, "")
        texts = array if column.plain else _json_strings(array)
    else:  # JSON text: top-level floats as Python writes them, top-level empty strings as ""
        texts = array.cast(pa.string())
        empty = pc.equal(texts, '""')
        first = pc.utf8_slice_codeunits(texts, 0, 1)
        number = np.asarray(pc.fill_null(pc.is_in(first, value_set=_NUMBER_STARTS), False))
        if number.any():
            number &= np.asarray(pc.fill_null(pc.match_substring_regex(texts, _TOP_LEVEL_FLOAT), False))
        if number.any():
            real = number & ~np.asarray(pc.fill_null(pc.match_substring_regex(texts, "^-?[0-9]+$"), False))
            if real.any():
                at = np.flatnonzero(real)
                floats = pc.cast(texts.take(at), pa.float64())
                texts = pc.replace_with_mask(texts, pa.array(real), float_texts(floats))
    specials = delimiter + '"\r\n'
    if _holds_any(texts, specials):
        needs = pc.match_substring(texts, specials[0])
        for c in specials[1:]:
            needs = pc.or_(needs, pc.match_substring(texts, c))
        quoted = pc.binary_join_element_wise('"', pc.replace_substring(texts, '"', '""'), '"', "")
        texts = pc.if_else(pc.fill_null(needs, False), quoted, texts)
    if empty is not None:
        texts = pc.if_else(pc.fill_null(empty, False), '""', texts)
    return texts


def _buffer_of(texts: Any) -> memoryview:
    """The bytes of a string array without nulls, its texts back to back."""
    array = texts.combine_chunks() if isinstance(texts, pa.ChunkedArray) else texts
    if not len(array):
        return memoryview(b"")
    offsets = np.frombuffer(array.buffers()[1], dtype=np.int64 if pa.types.is_large_string(array.type) else np.int32)
    first, last = int(offsets[array.offset]), int(offsets[array.offset + len(array)])
    data = array.buffers()[2]
    return memoryview(data)[first:last] if data is not None else memoryview(b"")


def _slices(count: int) -> Iterator[tuple[int, int]]:
    for start in range(0, count, SLICE):
        yield start, min(start + SLICE, count)


# ---- formats ----------------------------------------------------------------------------


def _id_name(taken: set[str], others: tuple[str, ...] = ()) -> str:
    name = "id"
    while name in taken or name in others:
        name += "_"
    return name


def write_csv(
    table: Any, out: IO[bytes], options: Any, progress: Progress, texts: Callable[[], Any] | None = None
) -> int:
    path = getattr(options, "file", None)
    from orbisk_cli.importer import split_gz

    tsv = path is not None and split_gz(path)[0].lower().endswith(".tsv")
    delimiter = options.delimiter or ("\t" if tsv else ",")
    lat_name, lon_name = options.lat_column or "latitude", options.lon_column or "longitude"
    columns = metadata_columns(table, texts)
    keys = [c.key for c in columns]
    for name in (lat_name, lon_name):
        if name in keys:
            raise CliError(
                f"a metadata key is named {name!r} like a coordinate column; "
                "name the coordinate columns with --lat-column and --lon-column"
            )
    id_name = None if getattr(options, "no_id", False) else _id_name(set(keys), (lat_name, lon_name))
    names = [lat_name, lon_name, *keys]
    if id_name is not None:
        names.insert(0, id_name)
    out.write((delimiter.join(_quoted_cell(n, delimiter) if n else '""' for n in names) + "\n").encode())
    count = table.num_rows
    lats, lons, ids = (_plain_array(table.column(n)) for n in ("latitude", "longitude", "id"))
    for start, stop in _slices(count):
        cells = [float_texts(lats.slice(start, stop - start)), float_texts(lons.slice(start, stop - start))]
        if id_name is not None:
            cells.insert(0, pc.cast(ids.slice(start, stop - start), pa.string()))
        cells += [_csv_cells(c, start, stop, delimiter) for c in columns]
        lines = pc.binary_join_element_wise(*cells, delimiter, null_handling="replace", null_replacement="")
        out.write(_buffer_of(pc.binary_join_element_wise(lines, "", "\n")))
        progress.update(stop, stop)
    progress.finish(count, count)
    return count  # type: ignore[no-any-return]


_FEATURE_HEAD = '{"type":"Feature","id":'
_FEATURE_POINT = ',"geometry":{"type":"Point","coordinates":['
_FEATURE_PROPERTIES = ']},"properties":'


def write_geojson(table: Any, out: IO[bytes], lines: bool, progress: Progress) -> int:
    """A FeatureCollection (a feature a line), or one feature a line."""
    count = table.num_rows
    separator = "\n" if lines else ",\n"
    if not lines:
        out.write(b'{"type":"FeatureCollection","features":[')
        if count:
            out.write(b"\n")
    ids, lats, lons, metas = (_plain_array(table.column(n)) for n in ("id", "latitude", "longitude", "metadata"))
    for start, stop in _slices(count):
        n = stop - start
        features = pc.binary_join_element_wise(
            _FEATURE_HEAD,
            pc.cast(ids.slice(start, n), pa.string()),
            _FEATURE_POINT,
            float_texts(lons.slice(start, n)),
            ",",
            float_texts(lats.slice(start, n)),
            _FEATURE_PROPERTIES,
            metas.slice(start, n).cast(pa.string()),
            "}",
            "",
        )
        if lines or stop < count:
            out.write(_buffer_of(pc.binary_join_element_wise(features, "", separator)))
        else:  # the last feature has no separator after it
            out.write(_buffer_of(pc.binary_join_element_wise(features.slice(0, n - 1), "", separator)))
            out.write(_buffer_of(features.slice(n - 1)))
        progress.update(stop, stop)
    if not lines:
        out.write(b"\n]}\n")
    progress.finish(count, count)
    return count  # type: ignore[no-any-return]


def _free_name(name: str, taken: set[str]) -> str:
    while name in taken:
        name += "_"
    return name


# A file's key-value metadata, or what makes it once the rows are written.
FileMetadata = dict[str, str] | Callable[[], dict[str, str]]


class GeoParquetTable:
    """The columns of a GeoParquet file of points: the ids (unless left out),
    WKB points, the bbox covering column and the metadata columns."""

    def __init__(self, table: Any, with_id: bool, texts: Callable[[], Any] | None = None) -> None:
        columns = metadata_columns(table, texts, for_text=False)
        taken = {c.key for c in columns}
        self.id_name = _free_name("id", taken) if with_id else None
        taken |= {self.id_name} if self.id_name else set()
        self.geometry = _free_name("geometry", taken)
        self.bbox = _free_name("bbox", taken | {self.geometry})
        # The table's own chunks, as they came: the points' longitudes and
        # latitudes are the covering's children without a copy.
        lon = _storage_chunks(table.column("longitude"))
        lat = _storage_chunks(table.column("latitude"))
        box_type = pa.struct([(k, pa.float64()) for k in ("xmin", "ymin", "xmax", "ymax")])
        boxes = [
            pa.StructArray.from_arrays([x, y, x, y], fields=list(box_type)) for x, y in zip(lon.chunks, lat.chunks)
        ]
        arrays = [_storage_chunks(table.column("geometry")), pa.chunked_array(boxes, type=box_type)]
        fields = [pa.field(self.geometry, pa.binary()), pa.field(self.bbox, box_type)]
        if self.id_name:
            arrays.insert(0, _storage_chunks(table.column("id")))
            fields.insert(0, pa.field(self.id_name, pa.uint64()))
        self.json_columns = []
        for column in columns:
            array = column.array
            if array is None:
                assert column.values is not None
                values = [None if v is ABSENT else v for v in column.values]
                if column.kind == "json":
                    array = pa.array([None if v is ABSENT else encode(v) for v in column.values], pa.string())
                else:
                    kind = {"bool": pa.bool_(), "int": pa.int64(), "float": pa.float64(), "str": pa.string()}
                    try:
                        array = pa.array(values, kind[column.kind])
                    except OverflowError:  # integers beyond int64, none negative
                        array = pa.array(values, pa.uint64())
            if column.kind == "json":
                self.json_columns.append(column.key)
                array = array.cast(pa.string())
            arrays.append(array)
            fields.append(pa.field(column.key, array.type))
        self.table = pa.Table.from_arrays(arrays, schema=pa.schema(fields))
        # Dictionary encoding pays for columns whose values repeat; trying it on
        # the others (ids, points, names) costs more than the rest of the writing.
        self.repeating = [c.key for c in columns if _repeats(self.table.column(c.key))]
        self.lon, self.lat = lon, lat
        # The columns (leaves: the covering's four) whose statistics are written.
        self.statistics = [
            leaf
            for f in self.table.schema
            if f.name != self.geometry
            for leaf in ([f"{f.name}.{c.name}" for c in f.type] if pa.types.is_struct(f.type) else [f.name])
        ]

    def file_metadata(self, rows: Any = None) -> dict[str, str]:
        """The `geo` and `orbisk` metadata of a file of the given rows (indices; all of them by default)."""
        lon, lat = self.lon, self.lat
        if rows is not None:
            lon, lat = lon.take(rows), lat.take(rows)
        column: dict[str, Any] = {
            "encoding": "WKB",
            "geometry_types": ["Point"],
            "covering": {"bbox": {k: [self.bbox, k] for k in ("xmin", "ymin", "xmax", "ymax")}},
        }
        if len(lon):
            lo_lon, hi_lon = pc.min_max(lon).values()
            lo_lat, hi_lat = pc.min_max(lat).values()
            column["bbox"] = [lo_lon.as_py(), lo_lat.as_py(), hi_lon.as_py(), hi_lat.as_py()]
        from orbisk_cli.geoparquet import GEOPARQUET_VERSION

        geo = {"version": GEOPARQUET_VERSION, "primary_column": self.geometry, "columns": {self.geometry: column}}
        ours: dict[str, Any] = {"json_columns": self.json_columns}
        if self.id_name:
            ours["id_column"] = self.id_name
        return {"geo": json.dumps(geo), "orbisk": encode(ours)}

    def write(
        self, out: Any, table: Any, metadata: FileMetadata, done: Callable[[int], None], spill_dir: str | None
    ) -> None:
        """Writes rows of `self.table` as a GeoParquet file (a path, or a file
        open for reading and writing), in row groups of ROW_GROUP rows. From
        two row groups on, the halves are written on two threads and joined
        (`parquetjoin`); `spill_dir` holds the second half meanwhile."""
        from orbisk_cli.geoparquet import ROW_GROUP

        if isinstance(out, str):
            with open(out, "w+b") as stream:
                self.write(stream, table, metadata, done, spill_dir)
            return
        groups = -(-table.num_rows // ROW_GROUP)
        if groups >= 2 and out.seekable() and out.tell() == 0:
            from orbisk_cli.parquetjoin import NotJoinable

            shown = [0]  # rows the progress has been told of

            def counted(n: int) -> None:
                shown[0] += n
                done(n)

            try:
                self._write_halves(out, table, metadata, counted, (groups + 1) // 2 * ROW_GROUP, spill_dir)
                return
            except NotJoinable:  # written again on one thread, the progress going on from where it was
                out.seek(0)
                out.truncate()

            def beyond(n: int) -> None:
                seen = min(n, shown[0])
                shown[0] -= seen
                if n > seen:
                    done(n - seen)

            self._write_part(out, table, metadata, beyond)
            return
        self._write_part(out, table, metadata, done)

    def _write_part(self, out: Any, table: Any, metadata: FileMetadata, done: Callable[[int], None]) -> None:
        import pyarrow.parquet as pq

        from orbisk_cli.geoparquet import ROW_GROUP

        # Without a stored Arrow schema, readers take the file's metadata as the schema's.
        # Statistics of WKB bytes say nothing a reader can use (the covering's
        # statistics bound the points), and take longer to gather than to write.
        writer = pq.ParquetWriter(
            out,
            table.schema,
            compression="snappy",
            store_schema=False,
            use_dictionary=self.repeating,
            write_statistics=self.statistics,
        )
        for start in range(0, table.num_rows, ROW_GROUP):
            part = table.slice(start, ROW_GROUP)
            writer.write_table(part, row_group_size=max(part.num_rows, 1))
            done(part.num_rows)
        # Worked out once the rows are written: on the first of two threads,
        # while the other may still be writing its half.
        if callable(metadata):
            metadata = metadata()
        if metadata:
            writer.add_key_value_metadata(metadata)
        writer.close()

    def _write_halves(
        self,
        out: Any,
        table: Any,
        metadata: FileMetadata,
        done: Callable[[int], None],
        half: int,
        spill_dir: str | None,
    ) -> None:
        """Rows [0, half) to `out` on this thread while the rest go to a
        temporary file on another (pyarrow lets go of the interpreter lock
        while it encodes), then the rest joined to `out`."""
        import tempfile
        import threading

        from orbisk_cli.parquetjoin import join

        with tempfile.TemporaryFile(prefix=".orbisk-part-", dir=spill_dir) as second:
            failure: list[BaseException] = []

            def write_second() -> None:
                try:
                    self._write_part(second, table.slice(half), {}, lambda n: None)
                except BaseException as e:  # raised on this thread
                    failure.append(e)

            thread = threading.Thread(target=write_second, name="orbisk-parquet", daemon=True)
            thread.start()
            try:
                self._write_part(out, table.slice(0, half), metadata, done)
            finally:
                thread.join()
            if failure:
                raise failure[0]
            out.flush()
            join(out, out.tell(), second)
        done(table.num_rows - half)


def _repeats(column: Any, sample: int = 2000) -> bool:
    """Whether a sample of the column's first values repeats."""
    values = column.slice(0, sample)
    return len(values) > 0 and pc.count_distinct(values).as_py() <= len(values) // 2


def write_geoparquet(
    table: Any, out: IO[bytes], options: Any, progress: Progress, texts: Callable[[], Any] | None = None
) -> int:
    files = GeoParquetTable(table, not getattr(options, "no_id", False), texts)
    written = [0]

    def done(n: int) -> None:
        written[0] += n
        progress.update(written[0], written[0])

    path = getattr(options, "file", None)
    spill_dir = os.path.dirname(os.path.abspath(path)) if path else None
    files.write(out, files.table, files.file_metadata, done, spill_dir)
    progress.finish(table.num_rows, table.num_rows)
    return table.num_rows  # type: ignore[no-any-return]


# ---- a folder of GeoParquet files by a coarse spatial key --------------------------------

PARTITION_KEY = "cell"


def grid_cells(lat: Any, lon: Any, degrees: float) -> Any:
    """The cell of each point (numpy arrays) in a grid of `degrees` by
    `degrees`, numbered row by row from the south-west corner:
    floor((lat + 90) / degrees) * (360 / degrees) + floor((lon + 180) / degrees),
    the last row and column holding the poles and 180 degrees east."""
    rows, columns = round(180 / degrees), round(360 / degrees)
    row = np.minimum(np.floor((lat + 90.0) / degrees).astype(np.int64), rows - 1)
    column = np.minimum(np.floor((lon + 180.0) / degrees).astype(np.int64), columns - 1)
    return row * columns + column


def write_partitioned(
    table: Any, folder: str, options: Any, progress: Progress, texts: Callable[[], Any] | None = None
) -> tuple[int, int]:
    """Writes the points as GeoParquet files in Hive-style folders by grid
    cell, folder/cell=N/part-00000.parquet, each with the bbox of its points;
    returns (points, files). The folder must not hold files already."""
    degrees = options.partition_degrees
    if os.path.exists(folder) and (not os.path.isdir(folder) or os.listdir(folder)):
        what = "a folder that holds files" if os.path.isdir(folder) else "a file"
        raise CliError(
            f"{folder} is {what}; --partition writes a new folder (give one that does not exist or is empty)"
        )
    files = GeoParquetTable(table, not getattr(options, "no_id", False), texts)
    lat = _plain_array(table.column("latitude")).to_numpy()
    lon = _plain_array(table.column("longitude")).to_numpy()
    keys = grid_cells(lat, lon, degrees)
    order = np.argsort(keys, kind="stable")  # by cell, and by id within a cell
    cells, starts = np.unique(keys[order], return_index=True)
    bounds = [*starts.tolist(), len(order)]
    written = [0]

    def done(n: int) -> None:
        written[0] += n
        progress.update(written[0], written[0])

    try:
        os.makedirs(folder, exist_ok=True)
        for cell, start, stop in zip(cells.tolist(), bounds, bounds[1:]):
            rows = pa.array(order[start:stop])
            directory = os.path.join(folder, f"{PARTITION_KEY}={cell}")
            os.makedirs(directory, exist_ok=True)
            target = os.path.join(directory, "part-00000.parquet")
            temp = os.path.join(directory, ".part-00000.parquet.partial")
            files.write(temp, files.table.take(rows), files.file_metadata(rows), done, directory)
            os.replace(temp, target)
    except OSError as e:
        raise CliError(f"cannot write {folder}: {e.strerror or e}") from None
    progress.finish(table.num_rows, table.num_rows)
    return table.num_rows, len(cells)
