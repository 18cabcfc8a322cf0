"""Arrow out and in: fixed-seed random stores and tables make round trips
through pyarrow, polars, DuckDB and geopandas, checked value by value against
what the dict methods store and return; refusals are checked message by
message, and each leaves the store as it was."""

import io
import json
import random

import duckdb
import geopandas
import polars as pl
import pyarrow as pa
import pytest
from orbisk import PyZurAD
from storefiles import parse_manifest, read, sibling

from orbisk_columnar import ColumnarStore

KEYS = ["n", "name", "score", "flag", "tags", "obj", "mixed", "maybe", "big"]


def random_value(rng, key):
    """Each key has a kind; some are nested, one mixes kinds, one is often an explicit null."""
    if key == "n":
        return rng.choice([0, 1, -1, 2**63 - 1, -(2**63), rng.randrange(-(10**12), 10**12)])
    if key == "name":
        return rng.choice(["", "plain", "naïve café", "日本語", "emoji 🌍", 'quote " and \\', "tab\tnew\nline", "\x01"])
    if key == "score":
        return rng.choice([0.0, -0.0, 1.5, 1e300, -2.5e-300, 0.1, 123456789.125])
    if key == "flag":
        return rng.random() < 0.5
    if key == "tags":
        return [rng.choice(["a", "b", "ç"]) for _ in range(rng.randrange(4))]
    if key == "obj":
        return {"z": rng.randrange(5), "a": [None, True, {"deep": ["x"]}], "m": None}
    if key == "mixed":
        return rng.choice([1, "one", 1.0, None, [1], {"k": 1}, False])
    if key == "maybe":
        return rng.choice([None, None, 7])
    return rng.choice([2**62, 2**63 - 1])


def random_points(seed, n):
    rng = random.Random(seed)
    corners = [(90.0, 180.0), (-90.0, -180.0), (90.0, -180.0), (0.0, 180.0), (-90.0, 0.0)]
    points = []
    for i in range(n):
        lat, lon = corners[i] if i < len(corners) else (rng.uniform(-90, 90), rng.uniform(-180, 180))
        meta = {k: random_value(rng, k) for k in KEYS if rng.random() < 0.8}
        points.append((lat, lon, meta))
    return points


def stored(path):
    """(latitude, longitude, metadata) of every point, in id order, as the dict methods return them."""
    return [(r["latitude"], r["longitude"], r["metadata"]) for r in PyZurAD(path).query({})]


ABSENT = object()


def loads_json_columns(table):
    """The table as rows of Python values, the JSON text columns decoded; ABSENT for null cells."""
    rows = table.to_pylist()
    json_cols = {f.name for f in table.schema if "json" in str(f.type)}
    for r in rows:
        for c in r:
            if r[c] is None:
                r[c] = ABSENT
            elif c in json_cols:
                r[c] = json.loads(r[c])
    return rows


def test_store_to_arrow_to_store_keeps_every_value_through_pyarrow_and_polars(tmp_path):
    src = str(tmp_path / "src.db")
    points = random_points(11, 3000)
    PyZurAD(src).insert_batch(points)
    expected = stored(src)
    with ColumnarStore(src) as store:
        result = store.to_arrow(batch_size=700)
        table = pa.table(result)
    assert table.num_rows == len(points)
    assert [b.num_rows for b in table.to_batches()][:4] == [700] * 4
    # Typed where the kind is one, JSON text where nested or mixed, nulls and misfits in metadata_rest.
    types = {f.name: str(f.type) for f in table.schema}
    assert types["id"] == "uint64" and types["latitude"] == types["longitude"] == "double"
    assert types["n"] == "int64" and types["name"] == "string" and types["score"] == "double"
    assert types["flag"] == "bool" and types["big"] == "int64"
    assert all("json" in types[k] for k in ("tags", "obj", "mixed", "metadata_rest"))
    assert types["maybe"] == "int64"
    rows = loads_json_columns(table)
    for row, (lat, lon, meta) in zip(rows, expected):
        assert (row["latitude"], row["longitude"]) == (lat, lon)
        got = {k: row[k] for k in KEYS if k in row and row[k] is not ABSENT}
        got.update(row["metadata_rest"] if row["metadata_rest"] is not ABSENT else {})
        assert got == meta
    for name, data in [("pyarrow", table), ("polars", pl.DataFrame(result).drop("id"))]:
        dst = str(tmp_path / f"{name}.db")
        with ColumnarStore(dst) as store:
            assert store.append(data) == range(len(points))
        assert stored(dst) == expected, name
        # The JSON text of an exact round trip is exact too: same bytes as the source's values.
        again = pa.table(ColumnarStore(dst, read_only=True).to_arrow())
        assert again.drop_columns(["id"]).equals(table.drop_columns(["id"])), name


def test_scalar_columns_round_trip_through_duckdb_and_geopandas(tmp_path):
    # pandas turns an integer column with nulls into floats: every point has "i".
    rng = random.Random(5)
    points = [
        (
            rng.uniform(-90, 90),
            rng.choice([180.0, -180.0, rng.uniform(-180, 180)]),
            {
                k: v
                for k, v in {
                    "i": rng.randrange(-(2**63), 2**63),
                    "s": rng.choice(["ü", "x", ""]),
                    "f": rng.uniform(-1, 1),
                    "b": rng.random() < 0.5,
                }.items()
                if k == "i" or rng.random() < 0.8
            },
        )
        for _ in range(2000)
    ]
    src = str(tmp_path / "src.db")
    PyZurAD(src).insert_batch(points)
    store = ColumnarStore(src)
    result = store.to_arrow(geometry="wkb")
    assert duckdb.sql("select count(*) from result").fetchall() == [(2000,)]
    frame = geopandas.GeoDataFrame.from_arrow(result)
    assert frame.crs.to_string() == "OGC:CRS84"
    assert [(p.y, p.x) for p in frame.geometry] == [(p[0], p[1]) for p in points]
    rel = duckdb.sql("select * exclude (id, geometry) from result")
    for name, data, kw in [
        ("duckdb", rel, {}),
        ("geopandas", frame.to_arrow(), {"columns": ["i", "s", "f", "b"]}),
    ]:
        dst = str(tmp_path / f"{name}.db")
        assert ColumnarStore(dst).append(data, **kw) == range(2000)
        assert stored(dst) == [(lat, lon, m) for lat, lon, m in points], name


def arrow_table(seed, n):
    """A table with a column of every type append reads, nulls everywhere."""
    rng = random.Random(seed)

    def maybe(v):
        return None if rng.random() < 0.15 else v

    ints = {
        f"{s}int{w}": (pa.int8() if False else getattr(pa, f"{s}int{w}")()) for s in ("", "u") for w in (8, 16, 32, 64)
    }
    cols = {
        "latitude": pa.array([rng.uniform(-90, 90) for _ in range(n)], pa.float32()),
        "longitude": pa.array([rng.uniform(-180, 180) for _ in range(n)]),
    }
    for name, t in ints.items():
        lo, hi = (
            (0, 2**t.bit_width - 1) if name.startswith("u") else (-(2 ** (t.bit_width - 1)), 2 ** (t.bit_width - 1) - 1)
        )
        cols[name] = pa.array([maybe(rng.choice([lo, hi, 0, rng.randint(lo, hi)])) for _ in range(n)], t)
    cols["f16"] = pa.array([maybe(rng.choice([0.5, -2.0, 65504.0])) for _ in range(n)], pa.float16())
    cols["f32"] = pa.array([maybe(rng.uniform(-1, 1)) for _ in range(n)], pa.float32())
    cols["f64"] = pa.array([maybe(rng.uniform(-1e9, 1e9)) for _ in range(n)])
    cols["bool"] = pa.array([maybe(rng.random() < 0.5) for _ in range(n)])
    cols["text"] = pa.array([maybe(rng.choice(["", "α", "x\"y", "\n"])) for _ in range(n)])
    cols["large"] = pa.array([maybe(rng.choice(["a" * 20, "ß"])) for _ in range(n)], pa.large_string())
    cols["view"] = pa.array(
        [maybe(rng.choice(["short", "a string longer than twelve"])) for _ in range(n)], pa.string_view()
    )
    cols["dict"] = pa.array([maybe(rng.choice(["red", "green"])) for _ in range(n)]).dictionary_encode()
    cols["nulls"] = pa.nulls(n)
    cols["list"] = pa.array(
        [maybe([maybe(rng.randrange(9)) for _ in range(rng.randrange(3))]) for _ in range(n)], pa.list_(pa.int32())
    )
    cols["llist"] = pa.array([maybe(["q"] * rng.randrange(3)) for _ in range(n)], pa.large_list(pa.string()))
    cols["fixed"] = pa.array([maybe([1.5, maybe(2.5)]) for _ in range(n)], pa.list_(pa.float64(), 2))
    st = pa.struct([("b", pa.int64()), ("a", pa.struct([("y", pa.string())]))])
    cols["struct"] = pa.array(
        [maybe({"b": maybe(rng.randrange(5)), "a": maybe({"y": maybe("v")})}) for _ in range(n)], st
    )
    cols["json"] = pa.array(
        [maybe(rng.choice(['{"b":1,"a":[true,null]}', " 3 ", '"s"', "null", "1.0"])) for _ in range(n)], pa.json_()
    )
    return pa.table(cols)


def expected_metadata(row):
    """What a row's metadata must be: nulls leave their key out (in structs too)."""

    def clean(v):
        if isinstance(v, dict):
            return {k: clean(x) for k, x in sorted(v.items()) if x is not None}
        if isinstance(v, list):
            return [clean(x) for x in v]
        if isinstance(v, float) and v.is_integer() is False:
            return v
        return v

    out = {}
    for k, v in row.items():
        if k in ("latitude", "longitude") or v is None:
            continue
        if k == "json":
            v = json.loads(v)
        out[k] = clean(v)
    return out


def test_arrow_to_store_to_arrow_keeps_every_value(tmp_path):
    table = arrow_table(3, 1500)
    path = str(tmp_path / "geo.db")
    store = ColumnarStore(path)
    # Two calls: ids follow on, and the batches of a reader count rows across batches.
    first = store.append(table.slice(0, 1000).to_reader(max_chunksize=300))
    second = store.append(table.slice(1000))
    assert (first, second) == (range(0, 1000), range(1000, 1500))
    rows = table.to_pylist()
    got = stored(path)
    for row, (lat, lon, meta) in zip(rows, got):
        assert (lat, lon) == (row["latitude"], row["longitude"])
        want = expected_metadata(row)
        assert meta.keys() == want.keys()
        for k, v in want.items():
            if k in ("uint64",) and v >= 2**63:
                assert meta[k] == float(v)  # the dict methods return such integers as floats
            elif isinstance(v, float):
                assert meta[k] == v and type(meta[k]) is float
            else:
                assert meta[k] == v and type(meta[k]) is type(v), k
    back = pa.table(store.to_arrow())
    types = {f.name: str(f.type) for f in back.schema}
    assert types["uint64"] == "uint64" and types["int8"] == "int64" and types["f32"] == "double"
    assert types["dict"] == types["view"] == "string"
    back_rows = loads_json_columns(back)
    for row, brow in zip(rows, back_rows):
        want = expected_metadata(row)
        assert {k for k in brow if brow[k] is not ABSENT} - {"id", "latitude", "longitude"} == want.keys()
        for k, v in want.items():
            assert brow[k] == v and type(brow[k]) is type(v), k


def committed_bytes(path):
    """The committed bytes of a store's two data files."""
    m = parse_manifest(read(sibling(path, "commit")))
    return [
        read(sibling(path, name))[64 : 64 + m[field]]
        for name, field in (("coords.mmap", "coords_bytes"), ("metadata.mmap", "metadata_bytes"))
    ]


def test_a_batch_converted_on_several_threads_stores_the_bytes_of_small_batches(tmp_path):
    # A batch of 32768 rows or more is cut into ranges of rows converted on
    # several threads and joined; small batches are converted in one piece.
    table = arrow_table(11, 70000).combine_chunks()
    (tmp_path / "one").mkdir()
    (tmp_path / "small").mkdir()
    one, small = str(tmp_path / "one" / "geo.db"), str(tmp_path / "small" / "geo.db")
    a, b = ColumnarStore(one), ColumnarStore(small)
    assert a.append(table) == range(70000)
    assert b.append(table.to_reader(max_chunksize=1000)) == range(70000)
    assert committed_bytes(one) == committed_bytes(small)
    # What the handles that wrote them read back (through where they put each point).
    assert pa.table(a.to_arrow(metadata="json")).equals(pa.table(b.to_arrow(metadata="json")))
    # The first refused row is named, whichever range holds it, and nothing is stored.
    for bad_rows, named in (([60000], 60000), ([34999, 35000], 34999), ([50000, 20000], 20000)):
        rating = pa.array([0.5 if i not in bad_rows else float("nan") for i in range(70000)])
        path = str(tmp_path / f"bad{named}.db")
        store = ColumnarStore(path)
        with pytest.raises(ValueError) as e:
            store.append(table.append_column("rating", rating))
        assert str(e.value) == f"column 'rating', row {named}: NaN cannot be stored: metadata numbers are finite"
        assert len(store) == 0


def test_text_columns_store_the_bytes_of_the_dict_path_whatever_their_characters(tmp_path):
    # Runs of rows whose texts need no escape and are ASCII (written as they
    # lie), among runs where one text somewhere needs an escape or is not
    # ASCII; utf8 and large_utf8 columns, nulls, and slices of the table.
    rng = random.Random(29)
    plain = [chr(c) for c in range(0x20, 0x80) if chr(c) not in '"\\']
    odd = ['"', "\\", "\n", "\x00", "\x1f", "é", "🌍", "\x7f"]
    n = 70000
    texts = [None] * n
    start = 0
    while start < n:
        run = rng.choice([1, 50, 5000, 20000, 40000])
        for i in range(start, min(n, start + run)):
            if rng.random() < 0.05:
                continue  # null
            texts[i] = "".join(rng.choice(plain) for _ in range(rng.randrange(40)))
        if rng.random() < 0.5:
            i = rng.randrange(start, min(n, start + run))
            texts[i] = (texts[i] or "") + rng.choice(odd)
        start += run
    lats = [rng.uniform(-90, 90) for _ in range(n)]
    lons = [rng.uniform(-180, 180) for _ in range(n)]
    table = pa.table(
        {
            "latitude": lats,
            "longitude": lons,
            "s": pa.array(texts, pa.string()),
            "big": pa.array(list(reversed(texts)), pa.large_string()),
        }
    )
    for k, (lo, hi) in enumerate([(0, n), (1, n - 1), (33333, n)]):
        (tmp_path / f"a{k}").mkdir()
        (tmp_path / f"d{k}").mkdir()
        a, d = str(tmp_path / f"a{k}" / "geo.db"), str(tmp_path / f"d{k}" / "geo.db")
        assert ColumnarStore(a).append(table.slice(lo, hi - lo)) == range(hi - lo)
        rows = [
            (lats[i], lons[i], {c: v for c, v in (("s", texts[i]), ("big", texts[n - 1 - i])) if v is not None})
            for i in range(lo, hi)
        ]
        PyZurAD(d).insert_batch(rows)
        assert committed_bytes(a) == committed_bytes(d), (lo, hi)


def test_appends_one_after_another_store_the_bytes_of_the_dict_path(tmp_path):
    # Large appends leave their buffers to the next one, which converts into
    # them whatever their sizes; every store holds what insert_batch stores.
    rng = random.Random(31)
    for k, n in enumerate([150000, 3000, 170000, 90000, 200000]):
        lats = [rng.uniform(-90, 90) for _ in range(n)]
        lons = [rng.uniform(-180, 180) for _ in range(n)]
        cols = {
            "s": [None if rng.random() < 0.1 else f"v{rng.randrange(10 ** rng.randrange(1, 12))}" for _ in range(n)],
            "x": [None if rng.random() < 0.1 else rng.uniform(-1e6, 1e6) for _ in range(n)],
            "k": [rng.randrange(-(2**63), 2**63) for _ in range(n)],
            "b": [None if rng.random() < 0.1 else rng.random() < 0.5 for _ in range(n)],
        }
        if k % 2:
            del cols["x"]
        (tmp_path / f"a{k}").mkdir()
        (tmp_path / f"d{k}").mkdir()
        a, d = str(tmp_path / f"a{k}" / "geo.db"), str(tmp_path / f"d{k}" / "geo.db")
        assert ColumnarStore(a).append(pa.table({"latitude": lats, "longitude": lons, **cols})) == range(n)
        rows = [(lats[i], lons[i], {c: v[i] for c, v in cols.items() if v[i] is not None}) for i in range(n)]
        PyZurAD(d).insert_batch(rows)
        assert committed_bytes(a) == committed_bytes(d), n
    # A value that cannot be stored is named, and nothing is stored.
    bad = rng.randrange(n)
    x = pa.array([float("inf") if i == bad else 0.5 for i in range(n)], pa.float32())
    store = ColumnarStore(str(tmp_path / "bad.db"))
    with pytest.raises(ValueError) as e:
        store.append(pa.table({"latitude": lats, "longitude": lons, "k": cols["k"], "x": x}))
    assert str(e.value) == f"column 'x', row {bad}: inf cannot be stored: metadata numbers are finite"
    assert len(store) == 0


def test_json_text_columns_store_the_bytes_of_the_dict_path_however_spelled(tmp_path):
    # JSON texts in their stored form are copied as they lie; any other
    # spelling (white space, escapes, "-0", 1.50, objects, which are stored
    # sorted) is rewritten, and a range where many are is written the long
    # way. Runs of each kind, nulls, slices, beside plain numbers and text.
    rng = random.Random(37)
    stored = ['["t3","t4"]', "[]", "[1,-2,[true,null]]", '"é🌍"', "123456789012345678", "false", '"a b"', "[[[]]]"]
    other = ["[1, 2]", ' "x"', '"\\u00e9"', "-0", "1.50", "1e2", "-12", '{"b":1,"a":2}', '"\\n"']
    n = 60000
    texts: list = []
    while len(texts) < n:
        share = rng.choice([0.0, 0.01, 0.5, 1.0])
        for _ in range(rng.choice([1, 100, 5000, 30000])):
            texts.append(None if rng.random() < 0.05 else rng.choice(other if rng.random() < share else stored))
    texts = texts[:n]
    lats = [rng.uniform(-90, 90) for _ in range(n)]
    lons = [rng.uniform(-180, 180) for _ in range(n)]
    nums = [
        rng.choice([1.5, 0.1, 2.675, 100.0, 1e-7, 1e21, round(rng.uniform(-1e3, 1e3), 2), rng.random()])
        for _ in range(n)
    ]
    table = pa.table({"latitude": lats, "longitude": lons, "j": pa.array(texts, pa.json_()), "n": nums, "s": ["x"] * n})
    for k, (lo, hi) in enumerate([(0, n), (7, n - 3)]):
        (tmp_path / f"a{k}").mkdir()
        (tmp_path / f"d{k}").mkdir()
        a, d = str(tmp_path / f"a{k}" / "geo.db"), str(tmp_path / f"d{k}" / "geo.db")
        assert ColumnarStore(a).append(table.slice(lo, hi - lo)) == range(hi - lo)
        rows = []
        for i in range(lo, hi):
            meta = {} if texts[i] is None else {"j": json.loads(texts[i])}
            rows.append((lats[i], lons[i], {**meta, "n": nums[i], "s": "x"}))
        PyZurAD(d).insert_batch(rows)
        assert committed_bytes(a) == committed_bytes(d), (lo, hi)


def test_values_a_column_cannot_hold_go_to_metadata_rest_and_come_back(tmp_path):
    path = str(tmp_path / "geo.db")
    db = PyZurAD(path)
    db.insert_batch(
        [
            (0.0, 0.0, {"small": 5, "f": 0.5, "s": "x", "id": 9, "latitude": "no"}),
            (1.0, 1.0, {"small": 300, "f": 0.1, "s": None}),
            (2.0, 2.0, {"small": "text", "f": 2}),
        ]
    )
    store = ColumnarStore(path)
    result = store.to_arrow(
        types={"small": "int8", "f": pa.float32(), "s": "string"}, columns=["small", "f", "s", "id", "latitude"]
    )
    table = pa.table(result)
    assert table.column_names == ["id", "latitude", "longitude", "small", "f", "s", "metadata_rest"]
    assert str(table.schema.field("small").type) == "int8" and str(table.schema.field("f").type) == "float"
    assert table.column("small").to_pylist() == [5, None, None]
    assert table.column("f").to_pylist() == [0.5, None, None]
    assert [json.loads(x) if x else x for x in table.column("metadata_rest").to_pylist()] == [
        {"id": 9, "latitude": "no"},
        {"small": 300, "f": 0.1, "s": None},
        {"small": "text", "f": 2},
    ]
    copy = str(tmp_path / "copy.db")
    ColumnarStore(copy).append(table)
    assert stored(copy) == stored(path)


def test_selections_match_the_dict_queries(tmp_path):
    path = str(tmp_path / "geo.db")
    db = PyZurAD(path)
    rng = random.Random(2)
    db.insert_batch(
        [(rng.uniform(-80, 80), rng.uniform(-180, 180), {"g": rng.randrange(4), "i": i}) for i in range(5000)]
    )
    db.delete_by_metadata({"i": {"$lt": 100}})
    store = ColumnarStore(path)
    ring = [(-30, -20), (40, -25), (10, 50)]
    cases = [
        ({}, db.query({})),
        ({"filter": {"g": 1}}, db.query({"g": 1})),
        ({"filter": {"g": 2}, "limit": 10}, db.query({"g": 2}, limit=10)),
        ({"bbox": (-10, 170, 30, -170)}, db.query_bbox(-10, 170, 30, -170)),
        ({"radius": [10, 10, 2.0e6], "filter": {"g": 3}}, db.query_radius(10, 10, 2.0e6, {"g": 3})),
        ({"polygon": ring}, db.query_polygon(ring)),
    ]
    key = lambda r: r["id"]
    for selection, want in cases:
        assert sorted(store.rows(**selection), key=key) == sorted(want, key=key), selection
        table = pa.table(store.to_arrow(**selection))
        assert sorted(table.column("id").to_pylist()) == sorted(r["id"] for r in want), selection
    assert len(store.rows(bbox=(-90, -180, 90, 180), limit=7)) == 7
    assert len(store) == db.len() == 4900


def invalid_utf8_table():
    data = pa.py_buffer(b"ok\xff\xfe")
    offsets = pa.py_buffer(pa.array([0, 2, 4], pa.int32()).buffers()[1])
    bad = pa.Array.from_buffers(pa.string(), 2, [None, offsets, data])
    return pa.table({"latitude": [1.0, 2.0], "longitude": [1.0, 2.0], "s": bad})


def deep_list(depth):
    t = pa.int64()
    v = 1
    for _ in range(depth):
        t = pa.list_(t)
        v = [v]
    return pa.array([v, v], t)


REFUSALS = [
    (
        pa.table({"latitude": [1.0, 2.0], "longitude": [1.0, 2.0], "x": [1.0, float("nan")]}),
        ValueError,
        "column 'x', row 1: NaN cannot be stored: metadata numbers are finite",
    ),
    (
        pa.table({"latitude": [1.0], "longitude": [1.0], "x": [float("-inf")]}),
        ValueError,
        "column 'x', row 0: -inf cannot be stored: metadata numbers are finite",
    ),
    (invalid_utf8_table(), ValueError, "column 's', row 1: text that is not UTF-8"),
    (
        pa.table({"latitude": [1.0, 2.0], "longitude": [1.0, 2.0], "d": deep_list(127)}),
        ValueError,
        "column 'd', row 0: metadata nested deeper than 127 levels",
    ),
    (
        pa.table({"latitude": [1.0], "longitude": [1.0], "t": pa.array([0], pa.timestamp("s"))}),
        TypeError,
        "column 't': Arrow type of format 'tss:' cannot be stored as metadata",
    ),
    (
        pa.table({"latitude": [1.0], "longitude": [1.0], "b": [b"x"]}),
        TypeError,
        "column 'b': binary values cannot be stored as metadata (a geometry column is read only for coordinates)",
    ),
    (
        pa.table({"latitude": [1.0, None], "longitude": [1.0, 2.0]}),
        ValueError,
        "column 'latitude', row 1: a null coordinate",
    ),
    (
        pa.table({"latitude": [1.0, 90.5], "longitude": [1.0, 2.0]}),
        RuntimeError,
        "column 'latitude', row 1: coordinate out of range (lat=90.5 must be in [-90,90], lon=2 in [-180,180])",
    ),
    (
        pa.table({"latitude": [1.0], "longitude": [float("nan")]}),
        RuntimeError,
        "column 'longitude', row 0: non-finite coordinate (lat=1, lon=NaN); NaN/Inf are not storable",
    ),
    (
        pa.table({"lat": [1.0], "lon": [1.0]}),
        ValueError,
        "no coordinates: the stream has neither columns 'latitude' and 'longitude' nor a geometry column",
    ),
    (
        pa.table({"geometry": [b"\x01\x02\x00\x00\x00\x00\x00\x00\x00"]}),
        ValueError,
        "column 'geometry', row 0: a geometry that is not a point",
    ),
    (
        pa.table({"latitude": ["1"], "longitude": [1.0]}),
        TypeError,
        "column 'latitude': coordinates must be numbers, not format 'u'",
    ),
    (
        pa.Table.from_arrays(
            [pa.array([1.0]), pa.array([1.0]), pa.array([1]), pa.array([2])], ["latitude", "longitude", "k", "k"]
        ),
        ValueError,
        "two columns are named 'k'",
    ),
    (
        [1, 2],
        TypeError,
        "append() takes Arrow data (an object with __arrow_c_stream__: a pyarrow Table or RecordBatchReader, "
        "a polars DataFrame, a DuckDB relation, the to_arrow() of a GeoDataFrame), not 'list'",
    ),
]


@pytest.mark.parametrize("data, error, message", REFUSALS)
def test_refused_appends_name_the_column_and_row_and_store_nothing(tmp_path, data, error, message):
    path = str(tmp_path / "geo.db")
    store = ColumnarStore(path)
    store.append(pa.table({"latitude": [5.0], "longitude": [5.0], "k": [1]}))
    with pytest.raises(error) as e:
        store.append(data)
    assert str(e.value) == message
    assert stored(path) == [(5.0, 5.0, {"k": 1})]


def test_geometry_columns_give_the_coordinates(tmp_path):
    path = str(tmp_path / "geo.db")
    store = ColumnarStore(path)
    src = PyZurAD(str(tmp_path / "src.db"))
    src.insert_batch([(-45.5, 170.25, {"k": 1}), (90.0, -180.0, {"k": 2})])
    source = ColumnarStore(str(tmp_path / "src.db"))
    for form in ("wkb", "point", "interleaved"):
        table = pa.table(source.to_arrow(geometry=form)).drop_columns(["latitude", "longitude"])
        ids = store.append(table)
        assert [r["latitude"] for r in store.rows(filter={}) if r["id"] in ids] == [-45.5, 90.0]
    # Big-endian WKB with an SRID and a Z coordinate, in a column named otherwise.
    wkb = bytes.fromhex("00a0000001000010e6") + b"".join(
        x.to_bytes(8, "big") for x in (0x4000000000000000, 0x3FF0000000000000, 0)
    )
    store.append(pa.table({"where": pa.array([wkb], pa.binary())}), geometry="where")
    assert store.rows(filter={})[-1]["latitude"] == 1.0 and store.rows(filter={})[-1]["longitude"] == 2.0
    assert len(store) == 7


def test_closed_and_read_only_handles_refuse_clearly(tmp_path):
    path = str(tmp_path / "geo.db")
    with ColumnarStore(path) as store:
        store.append(pa.table({"latitude": [1.0], "longitude": [2.0]}))
    assert store.closed
    with pytest.raises(ValueError, match="operation on a closed store"):
        store.to_arrow()
    reader = ColumnarStore(path, read_only=True)
    assert reader.read_only and len(reader) == 1
    with pytest.raises(io.UnsupportedOperation) as e:
        reader.append(pa.table({"latitude": [1.0], "longitude": [2.0]}))
    assert str(e.value) == "the store is open read-only: it takes no writes"
    with pytest.raises(OSError) as e:
        ColumnarStore(str(tmp_path / "absent.db"), read_only=True)
    assert e.value.errno is None and str(e.value) == "No such file or directory (os error 2)"
