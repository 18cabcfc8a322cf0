"""The `orbisk` command moves points between files and stores without
changing them: coordinates bit for bit, metadata equal in value and type."""

import csv
import gzip
import json
import math
import random
import re
import struct

import geopandas
import pytest
from orbisk import PyZurAD

from orbisk_cli import export, geoparquet, selection
from orbisk_cli.importer import Importer
from orbisk_cli.main import main
from orbisk_cli.source import Source

FORMATS = ["csv", "geojson", "ndjson", "parquet", "csv.gz", "geojson.gz", "ndjson.gz"]

# Identifiers that look like numbers, and text that looks like other values.
IDENTIFIERS = ["1E4", "5E9", "+33", "1.50", "007", "-0", "1e16", "0x1F", "NaN", "Infinity", "N/A", "١٢٣", "1_000"]
AWKWARD_TEXT = [
    "",
    *IDENTIFIERS,
    "007",
    "1.5",
    "-0",
    "1e5",
    "true",
    "null",
    "[1]",
    '"quoted"',
    "{}",
    "tango",
    "a,b;c\td",
    "line\nbreak\r\n",
    "\x01\x1f control",
    "🌍 Zürich 東京 ❤\u200d",
    "\u2028",
    "'",
    "\\",
    " padded ",
]
AWKWARD_NUMBERS = [0, -1, 2**63 - 1, -(2**63), 10**18, 0.1, -0.0, 1e-300, 1.5e300, 5e-324, 123.0, 1e16]
AWKWARD_COORDS = [
    (90.0, 180.0),
    (-90.0, -180.0),
    (0.0, -180.0),
    (0.0, 180.0),
    (-0.0, -0.0),
    (89.99999999999999, 179.99999999999997),
    (5e-324, -5e-324),
    (45.0, -179.9999999999),
]


def awkward_value(rng, depth=0):
    pick = rng.random()
    if pick < 0.3:
        return rng.choice(AWKWARD_TEXT)
    if pick < 0.55:
        return rng.choice(AWKWARD_NUMBERS)
    if pick < 0.65:
        return rng.choice([True, False, None])
    if depth > 2 or pick < 0.8:
        return rng.uniform(-1e6, 1e6)
    if pick < 0.9:
        return [awkward_value(rng, depth + 1) for _ in range(rng.randrange(4))]
    return {rng.choice(AWKWARD_TEXT + ["k", "ключ"]): awkward_value(rng, depth + 1) for _ in range(rng.randrange(4))}


def awkward_points(n, seed):
    rng = random.Random(seed)
    keys = ["name", "ключ", "名前", "n", "mixed", "a b", "x,y", "nested", "emoji🌍", "id"]
    points = []
    for i in range(n):
        lat, lon = AWKWARD_COORDS[i] if i < len(AWKWARD_COORDS) else (rng.uniform(-90, 90), rng.uniform(-180, 180))
        meta = {"name": f"p{i}"}
        for key in rng.sample(keys[1:], rng.randrange(len(keys))):
            meta[key] = awkward_value(rng)
        if i % 7 == 0:
            meta["count"] = i  # a column of ints only
        if i % 3:
            meta["code"] = rng.choice(IDENTIFIERS + ["", "LAX", "JFK"])  # text, typed-looking or not
        meta["zip"] = rng.choice([str(rng.randrange(10000, 99999)), "true", "null", ""])  # all text that reads typed
        if i == n - 1:
            meta["late key"] = {"appears": ["only", "at", "the", "end"]}
        points.append((lat, lon, meta))
    return points


def same(a, b):
    """Equal in value and type, floats bit for bit."""
    if type(a) is not type(b):
        return False
    if type(a) is float:
        return struct.pack("<d", a) == struct.pack("<d", b)
    if type(a) is list:
        return len(a) == len(b) and all(map(same, a, b))
    if type(a) is dict:
        return a.keys() == b.keys() and all(same(v, b[k]) for k, v in a.items())
    return a == b


def stored(path):
    return [(r["latitude"], r["longitude"], r["metadata"]) for r in PyZurAD(path).query({})]


def cli(*args):
    status = main([str(a) for a in args])
    assert status == 0, args
    return status


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("chunk", [100_000, 37])
def test_store_to_file_to_store_keeps_every_point_exactly(tmp_path, monkeypatch, fmt, chunk):
    # A small chunk reads the store in many pieces, each written in smaller
    # pieces again and put in id order through a spill file: the late key
    # makes CSV and GeoParquet start over with a surveyed schema, and
    # GeoParquet gathers the pieces into row groups.
    monkeypatch.setattr(selection, "CHUNK", chunk)
    monkeypatch.setattr(export, "PIECE", 11 if chunk < 100 else 2000)
    monkeypatch.setattr(export, "KEEP", 1000 if chunk < 100 else export.KEEP)  # spilled to a file
    monkeypatch.setattr(geoparquet, "ROW_GROUP", 50)
    original = awkward_points(300, seed=10 + len(fmt))
    source = str(tmp_path / "source.db")
    PyZurAD(source).insert_batch(original)
    out = tmp_path / f"out.{fmt}"
    # a CSV id column is metadata to import; GeoParquet names it in its metadata
    cli("export", source, out, *(["--no-id"] if fmt.startswith("csv") else []))
    cli("import", tmp_path / "copy.db", out)
    copy = stored(str(tmp_path / "copy.db"))
    expected = stored(source)
    assert len(copy) == len(expected)
    assert all(same(got, want) for got, want in zip(copy, expected))  # in id order, however many chunks


@pytest.mark.filterwarnings("ignore:Could not parse column", "ignore:Integer values probably ranging")
@pytest.mark.parametrize("fmt", FORMATS)
def test_geopandas_and_pandas_read_exports_with_the_same_points_in_id_order(tmp_path, monkeypatch, fmt):
    import pandas

    monkeypatch.setattr(selection, "CHUNK", 53)  # many chunks, put in id order by the export
    points = awkward_points(200, seed=3)
    source = str(tmp_path / "s.db")
    db = PyZurAD(source)
    db.insert_batch(points)
    db.delete_by_metadata({"name": {"$in": ["p0", "p7"]}})  # ids 0 and 7 are gone
    rows = db.query({})
    out = tmp_path / f"out.{fmt}"
    cli("export", source, out)
    if fmt == "parquet":
        frame = geopandas.read_parquet(out)
    elif fmt.startswith("csv"):  # pandas, as text: what a spreadsheet shows
        frame = pandas.read_csv(out, dtype=str, keep_default_na=False)
    else:
        frame = geopandas.read_file(gzip.open(out) if fmt.endswith(".gz") else out)
    if fmt.startswith("csv"):
        lats, lons = map(float, frame["latitude"]), map(float, frame["longitude"])
        assert frame.columns[0] == "id_"  # "id" is a metadata key of these points
        assert list(frame["id_"]) == [str(r["id"]) for r in rows]
        # text is plain text, whatever it looks like; the empty string and no value both show empty
        assert list(frame["code"]) == [r["metadata"].get("code", "") for r in rows]
    else:
        assert frame.crs.to_string() in ("EPSG:4326", "OGC:CRS84")
        lats, lons = frame.geometry.y, frame.geometry.x
        if fmt == "parquet":
            assert list(frame["id_"]) == [r["id"] for r in rows]
            codes = [c if isinstance(c, str) else None for c in frame["code"]]  # pandas shows no value as NaN
            assert codes == [r["metadata"].get("code") for r in rows]
    got = [struct.pack("<dd", *p) for p in zip(lats, lons)]
    assert got == [struct.pack("<dd", r["latitude"], r["longitude"]) for r in rows]


def test_geoparquet_metadata_and_covering(tmp_path):
    import pyarrow.parquet as pq

    source = str(tmp_path / "s.db")
    PyZurAD(source).insert_batch([(10.0, 20.0, {"geometry": 1, "bbox": "x"}), (-5.0, 30.0, {})])
    out = tmp_path / "o.parquet"
    cli("export", source, out)
    table = pq.read_table(out)
    geo = json.loads(table.schema.metadata[b"geo"])
    assert geo["version"] == "1.1.0"
    column = geo["columns"][geo["primary_column"]]
    assert column["encoding"] == "WKB" and column["geometry_types"] == ["Point"]
    assert column["bbox"] == [20.0, -5.0, 30.0, 10.0]
    cover = column["covering"]["bbox"]
    bbox_column = cover["xmin"][0]
    # metadata keys named like the geometry columns keep their names
    assert geo["primary_column"] not in ("geometry", "bbox") and bbox_column not in ("geometry", "bbox")
    boxes = table.column(bbox_column).to_pylist()
    assert boxes[0] == {"xmin": 20.0, "ymin": 10.0, "xmax": 20.0, "ymax": 10.0}
    cli("import", tmp_path / "back.db", out)
    assert sorted(map(repr, stored(str(tmp_path / "back.db")))) == sorted(map(repr, stored(source)))


def test_geoparquet_json_texts_the_store_would_change_are_bad_rows(tmp_path, capsys):
    # A JSON-text column is decoded without the value checks when its text
    # shows it can hold no such value: each kind of such value, alone among
    # good texts, must still be found, and the rows around it imported.
    import pyarrow as pa
    import pyarrow.parquet as pq

    good = ['["t1",2]', '{"a":[1.5,-2e5]}', "null"]
    refused = {
        None: None,
        "[18446744073709551616]": "outside the signed 64-bit range",
        '"\\ud800"': "lone surrogate",
        "[1e400]": "not finite",
        "[" * 130 + "]" * 130: "nested deeper than 127 levels",
    }
    for case, (text, problem) in enumerate(refused.items()):
        texts = good[:1] + ([text] if text else []) + good[1:]
        n = len(texts)
        table = pa.table({"latitude": [float(i) for i in range(n)], "longitude": [0.0] * n, "tags": texts})
        path = tmp_path / f"t{case}.parquet"
        pq.write_table(table.replace_schema_metadata({"orbisk": json.dumps({"json_columns": ["tags"]})}), path)
        db = tmp_path / f"t{case}.db"
        assert main(["import", str(db), str(path), "--skip-bad"]) == 0
        err = capsys.readouterr().err
        rows = stored(str(db))
        assert [r[2]["tags"] for r in rows] == [json.loads(t) for t in good], text
        if problem:
            assert [r[0] for r in rows] == [0.0, 2.0, 3.0]
            assert "row 2: column 'tags'" in err and problem in err, (problem, err)
        else:
            assert "skipped" not in err


def _csv_with_bad_rows(rng, n):
    lines, good = ["lat,lon,v"], []
    for i in range(n):
        kind = rng.random()
        if kind < 0.1:
            lines.append(rng.choice(["north,1,x", "91,0,x", "1,-181,x", "nan,0,x", "1,2", "1,2,3,4", ",,"]))
            good.append(None)
        else:
            lat, lon = rng.uniform(-90, 90), rng.uniform(-180, 180)
            lines.append(f"{lat!r},{lon!r},{i}")
            good.append((lat, lon, {"v": i}))
    return "\n".join(lines) + "\n", good


@pytest.mark.parametrize("skip_bad", [True, False])
def test_bad_rows_stop_the_import_or_are_skipped(tmp_path, monkeypatch, capsys, skip_bad):
    import orbisk_cli.importer as importer

    monkeypatch.setattr(importer, "BATCH", 16)
    text, rows = _csv_with_bad_rows(random.Random(5), 400)
    path = tmp_path / "in.csv"
    path.write_text(text)
    args = ["import", str(tmp_path / "s.db"), str(path)] + (["--skip-bad"] if skip_bad else [])
    status = main(args)
    err = capsys.readouterr().err
    first_bad = rows.index(None)
    if skip_bad:
        expected = [r for r in rows if r is not None]
        assert status == 0
        assert err.count("orbisk: skipped ") == min(rows.count(None), importer.SHOWN_BAD_ROWS)
    else:
        expected = rows[:first_bad]
        assert status == 1
        assert err.startswith(f"orbisk: {path} line {first_bad + 2}: ")
    assert stored(str(tmp_path / "s.db")) == expected


class _Listed(Source):
    def __init__(self, points):
        super().__init__("listed", None, 8)
        self.points = points

    def batches(self):
        for start in range(0, len(self.points), self.batch_size):
            yield from self.checked(self.points[start : start + self.batch_size])


@pytest.mark.parametrize("skip_bad", [True, False])
@pytest.mark.parametrize("refusals", [True, False])
def test_points_the_store_refuses_are_found_by_halving(tmp_path, monkeypatch, skip_bad, refusals):
    # Metadata a file cannot hold (a key that is not text) stands in for any
    # refusal that only insert_batch finds; a NaN is found by the reader.
    # Bad rows of both kinds are reported in the rows' order, and the good rows
    # between the reader's bad rows are stored as one batch, not one a run.
    import orbisk_cli.importer as importer_module

    monkeypatch.setattr(importer_module, "SHOWN_BAD_ROWS", 1000)
    rng = random.Random(9)
    kinds = [{1: "x"}, {"f": float("nan")}] if refusals else [{"f": float("nan")}]
    points = [
        (rng.uniform(-9, 9), rng.uniform(-9, 9), rng.choice(kinds) if rng.random() < 0.15 else {"i": i}, i)
        for i in range(1, 201)
    ]

    class Counted:
        calls = 0

        def insert_batch(self, batch):
            Counted.calls += 1
            return db.insert_batch(batch)

    db = PyZurAD(str(tmp_path / "s.db"))
    importer = Importer(Counted(), skip_bad, open(tmp_path / "err.txt", "w"))
    bad = [p for p in points if "i" not in p[2]]
    try:
        importer.run(_Listed(points), "listed")
    except Exception as e:  # the CliError of a stop
        assert not skip_bad and str(e).startswith(f"listed row {bad[0][3]}: ")
    importer.err.close()
    wanted = [p[:3] for p in points if "i" in p[2]]
    if not skip_bad:
        wanted = [p[:3] for p in points[: points.index(bad[0])]]
    assert [(r["latitude"], r["longitude"], r["metadata"]) for r in db.query({})] == wanted
    assert importer.skipped == (len(bad) if skip_bad else 0)
    reported = [int(line.split(" row ")[1].split(":")[0]) for line in open(tmp_path / "err.txt")]
    assert reported == ([p[3] for p in bad] if skip_bad else [])
    if not refusals:
        assert Counted.calls == (1 if wanted else 0)


# A CSV column's cells as written in the file, and the values they read back
# as (MISSING: the key is left out). Columns are typed as a whole, over the
# whole file: the cell that makes a column text is often in a later batch.
MISSING = object()
COLUMNS = [
    (["1", "-12", "0", "9223372036854775807", "", "-9223372036854775808"], [1, -12, 0, 2**63 - 1, MISSING, -(2**63)]),
    (["1", "2", "3", "4", "5", "6", "ABC"], ["1", "2", "3", "4", "5", "6", "ABC"]),
    (["1", "2", "3", "007"], ["1", "2", "3", "007"]),
    (["1", "+33"], ["1", "+33"]),
    (["1", "-0"], ["1", "-0"]),
    (["2", "1E4", "5E9"], ["2", "1E4", "5E9"]),
    (["2.5", "1.50"], ["2.5", "1.50"]),
    (["1e16", "1"], ["1e16", "1"]),
    (["1.5", "0.1", "1e+16", "-0.0", "3", "5e-324", "1e-05"], [1.5, 0.1, 1e16, -0.0, 3, 5e-324, 1e-05]),
    (["1", "2", "3", "4", "5", "9223372036854775808"], ["1", "2", "3", "4", "5", "9223372036854775808"]),
    (["true", "false", "", "true"], [True, False, MISSING, True]),
    (["true", "yes"], ["true", "yes"]),
    (["null", "1", '"[1, {""k"": null}]"', '"""007"""', "[]"], [None, 1, [1, {"k": None}], "007", []]),
    (["[1]", "[2]", "[3]", "[4]", "[1e400]"], ["[1]", "[2]", "[3]", "[4]", "[1e400]"]),
    (["[1]", "[18446744073709551616]"], ["[1]", "[18446744073709551616]"]),
    (["[1]", "NaN"], ["[1]", "NaN"]),
    (["x", "", '""', "null", "Paris"], ["x", MISSING, "", "null", "Paris"]),
    (['""', "1", ""], ["", 1, MISSING]),
]


def _text_of(raw):
    return "" if not raw else next(csv.reader([raw]))[0]


@pytest.mark.parametrize("options", [[], ["--text-columns", "c1,c8", "--text-columns", "c12"], ["--no-typing"]])
def test_csv_columns_are_values_only_when_every_cell_is_one_written_back_as_it_reads(tmp_path, monkeypatch, options):
    import orbisk_cli.importer as importer

    monkeypatch.setattr(importer, "BATCH", 3)
    rows = max(len(cells) for cells, _ in COLUMNS)
    header = ["Latitude", "LNG", *(f"c{i}" for i in range(len(COLUMNS)))]
    lines = [",".join(header)]
    for r in range(rows):
        lines.append(",".join([str(r), "2"] + [cells[r] if r < len(cells) else "" for cells, _ in COLUMNS]))
    path = tmp_path / "in.csv"
    path.write_text("\ufeff" + "\n".join(lines) + "\n")
    cli("import", tmp_path / "s.db", path, *options)
    text = {"--no-typing": set(range(len(COLUMNS))), "--text-columns": {1, 8, 12}}.get(
        options[0] if options else "", set()
    )
    got = stored(str(tmp_path / "s.db"))
    for i, (cells, values) in enumerate(COLUMNS):
        if i in text:  # read as the text of the cells, empty cells still leaving the key out
            values = [MISSING if not c else _text_of(c) for c in cells]
        want = [MISSING if r >= len(values) else values[r] for r in range(rows)]
        have = [meta.get(f"c{i}", MISSING) for _, _, meta in got]
        assert len(have) == len(want) and all(h is w or same(h, w) for h, w in zip(have, want)), (i, have, want)


# ---- selections against an oracle ------------------------------------------------

_RAD = 0.017453292519943295


def _in_radius(lat, lon, clat, clon, r):
    """Inside the circle as the grid route decides it: its latitude band and the haversine distance."""
    dlat = r / 111320.0
    if not max(clat - dlat, -90.0) <= lat <= min(clat + dlat, 90.0):
        return False
    h1 = math.sin((lat - clat) * _RAD * 0.5)
    h2 = math.sin((lon - clon) * _RAD * 0.5)
    a = math.cos(lat * _RAD) * math.cos(clat * _RAD) * h2 * h2 + h1 * h1
    return r >= 2 * math.atan2(math.sqrt(a), math.sqrt(1 - a)) * 6371000.0


def _in_ring(lat, lon, ring):
    inside = False
    for (x1, y1), (x2, y2) in zip(ring, ring[1:] + ring[:1]):
        if (y1 > lat) != (y2 > lat) and lon < x1 + (lat - y1) * (x2 - x1) / (y2 - y1):
            inside = not inside
    return inside


def _in_box(lat, lon, box):
    lo_lat, lo_lon, hi_lat, hi_lon = box
    in_lon = lo_lon <= lon <= hi_lon if lo_lon <= hi_lon else lon >= lo_lon or lon <= hi_lon
    return lo_lat <= lat <= hi_lat and in_lon


_FILTERS = [  # (filter, the same test in Python)
    (None, lambda m: True),
    ({"kind": "cafe"}, lambda m: m["kind"] == "cafe"),
    ({"n": {"$gte": 40}, "kind": {"$in": ["bar", "shop"]}}, lambda m: m["n"] >= 40 and m["kind"] in ("bar", "shop")),
    ({"$or": [{"kind": "cafe"}, {"n": {"$lt": 10}}]}, lambda m: m["kind"] == "cafe" or m["n"] < 10),
]


def test_selections_export_what_an_oracle_selects(tmp_path, monkeypatch, capsys):
    # Small chunks read whole-store and box selections in many latitude bands.
    monkeypatch.setattr(selection, "CHUNK", 53)
    rng = random.Random(21)
    points = []
    for i in range(1500):
        if i % 5 == 0:  # crowd the antimeridian and the poles, where selections wrap
            lat, lon = rng.choice(
                [
                    (rng.uniform(-30, 30), rng.choice([-1, 1]) * rng.uniform(175, 180)),
                    (rng.uniform(85, 90), rng.uniform(-180, 180)),
                    (rng.choice([-90.0, 90.0, 0.0, 10.0]), rng.choice([-180.0, 180.0, 0.0, 20.0])),
                ]
            )
        else:
            lat, lon = rng.uniform(-90, 90), rng.uniform(-180, 180)
        points.append((lat, lon, {"kind": rng.choice(["cafe", "bar", "shop", "park"]), "n": rng.randrange(100)}))
    store = str(tmp_path / "s.db")
    PyZurAD(store).insert_batch(points)
    ring = [(-30.0, -20.0), (40.0, -25.0), (10.0, 0.0), (45.0, 30.0), (-20.0, 35.0)]  # (lon, lat), not convex
    (tmp_path / "ring.geojson").write_text(
        json.dumps(
            {"type": "Feature", "properties": {}, "geometry": {"type": "Polygon", "coordinates": [[*map(list, ring)]]}}
        )
    )
    shapes = [
        ([], lambda lat, lon: True),
        (["--bbox", -10, 0, 10, 20], lambda lat, lon: _in_box(lat, lon, (-10, 0, 10, 20))),
        (["--bbox", -30, 176, 60, -178], lambda lat, lon: _in_box(lat, lon, (-30, 176, 60, -178))),
        (["--bbox", -90, -180, 90, 180], lambda lat, lon: True),
        (["--radius", 10, 179.5, 900_000], lambda lat, lon: _in_radius(lat, lon, 10, 179.5, 900_000)),
        (["--radius", 88, 40, 500_000], lambda lat, lon: _in_radius(lat, lon, 88, 40, 500_000)),
        (["--radius", 0, 20, 0], lambda lat, lon: _in_radius(lat, lon, 0, 20, 0)),
        (["--polygon", tmp_path / "ring.geojson"], lambda lat, lon: _in_ring(lat, lon, ring)),
    ]

    def check(live, label):
        for shape, inside in shapes:
            for flt, matches in _FILTERS:
                for limit in (None, 7):
                    args = shape + (["--filter", json.dumps(flt)] if flt is not None else [])
                    args += ["--limit", limit] if limit is not None else []
                    want = [p for p in live if inside(p[0], p[1]) and matches(p[2])]
                    cli("export", store, tmp_path / "out.ndjson", *args)
                    got = [
                        (f["geometry"]["coordinates"][1], f["geometry"]["coordinates"][0], f["properties"])
                        for f in map(json.loads, (tmp_path / "out.ndjson").read_text().splitlines())
                    ]
                    if limit is None:
                        assert sorted(got, key=repr) == sorted(want, key=repr), (label, args)
                    else:  # the lowest ids: the earliest inserted
                        assert got == want[:limit], (label, args)

    check(points, "as inserted")
    capsys.readouterr()
    cli("delete", store, "--filter", '{"kind": "park", "n": {"$lt": 50}}')
    cli("compact", store)
    out = capsys.readouterr().out.splitlines()
    deleted = sum(1 for p in points if p[2]["kind"] == "park" and p[2]["n"] < 50)
    assert out[0] == f"deleted {deleted:,} points (orbisk compact reclaims their space)"
    assert re.fullmatch(rf"reclaimed {deleted:,} slots and [\d,]+ bytes \(.+\)", out[1]), out
    check([p for p in points if not (p[2]["kind"] == "park" and p[2]["n"] < 50)], "after a delete and compaction")


def _spoil_first_row(path, fmt):
    """Makes the first row of an exported text file a bad row."""
    opener = gzip.open if fmt.endswith(".gz") else open
    with opener(path, "rt", encoding="utf-8", newline="") as f:
        text = f.read()
    if fmt.startswith("csv"):
        head, first, rest = text.split("\n", 2)
        text = "\n".join([head, "north" + first[first.index(",") :], rest])
    elif fmt.startswith("ndjson"):
        text = "{}\n" + text.split("\n", 1)[1]
    else:
        text = text.replace('"type":"Feature"', '"type":"Feat"', 1)
    with opener(path, "wt", encoding="utf-8", newline="") as f:
        f.write(text)


@pytest.mark.parametrize("fmt", FORMATS)
def test_skip_rows_goes_on_after_the_rows_it_names(tmp_path, fmt):
    source = str(tmp_path / "source.db")
    PyZurAD(source).insert_batch(awkward_points(120, seed=31))
    out = tmp_path / f"out.{fmt}"
    cli("export", source, out, *(["--no-id"] if fmt.startswith("csv") else []))
    expected = stored(source)
    if fmt != "parquet":  # a bad row among the rows passed over does not stop the import
        _spoil_first_row(out, fmt)
    for skip in (1, 2, 57, 119, 120, 500):
        cli("import", tmp_path / f"part{skip}.db", out, "--skip-rows", skip)
        copy = stored(str(tmp_path / f"part{skip}.db"))
        assert len(copy) == len(expected[skip:]) and all(map(same, copy, expected[skip:])), skip
