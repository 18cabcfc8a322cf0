"""The `orbisk` command on the companion handle: reading commands on a
read-only file system, and a partitioned GeoParquet export read back by
DuckDB and by Dask on a cluster of worker processes, skipping the
partitions a filter rules out."""

import contextlib
import errno
import hashlib
import io
import json
import os
import random
import shutil
import struct
import subprocess
import sys

import pytest
from orbisk import PyZurAD

from orbisk_cli.main import main

ORBISK = [sys.executable, "-m", "orbisk_cli"]
DEGREES = 30.0  # the partition grid of the tests: 6 rows of 12 cells


def cell_of(lat, lon):
    """The grid cell of a point, counted row by row from the south-west."""
    row = min(int((lat + 90) // DEGREES), int(180 / DEGREES) - 1)
    column = min(int((lon + 180) // DEGREES), int(360 / DEGREES) - 1)
    return row * int(360 / DEGREES) + column


def _cells_meeting(box):
    """The cells that meet a (min_lat, min_lon, max_lat, max_lon) box (not across 180 degrees)."""
    (south, west), (north, east) = (divmod(cell_of(box[0], box[1]), 12)), (divmod(cell_of(box[2], box[3]), 12))
    return {row * 12 + column for row in range(south, north + 1) for column in range(west, east + 1)}


@pytest.fixture(scope="module")
def partitioned(tmp_path_factory):
    """A store of random points, exported as a folder partitioned by grid cell."""
    tmp = tmp_path_factory.mktemp("partitioned")
    rng = random.Random(44)
    points = [
        (rng.uniform(-90, 90), rng.uniform(-180, 180), {"kind": rng.choice(["a", "b", "c"]), "n": i})
        for i in range(20_000)
    ]
    points += [(90.0, 180.0, {"kind": "corner", "n": -1}), (-90.0, -180.0, {"kind": "corner", "n": -2})]
    store = str(tmp / "s.db")
    PyZurAD(store).insert_batch(points)
    folder = tmp / "parts"
    assert main(["export", store, str(folder), "--partition", "--partition-degrees", str(DEGREES)]) == 0
    expected = {i: (lat, lon, meta) for i, (lat, lon, meta) in enumerate(points)}
    return folder, expected


def test_a_partitioned_export_is_a_hive_folder_of_geoparquet_files_by_grid_cell(partitioned):
    import pyarrow.parquet as pq

    folder, expected = partitioned
    cells = sorted(os.listdir(folder))
    assert cells == sorted({f"cell={cell_of(lat, lon)}" for lat, lon, _ in expected.values()})
    for cell in cells:
        (name,) = os.listdir(folder / cell)
        table = pq.read_table(folder / cell / name)
        geo = json.loads(table.schema.metadata[b"geo"])
        column = geo["columns"][geo["primary_column"]]
        assert column["covering"]["bbox"]["xmin"] == ["bbox", "xmin"]
        ids = table.column("id").to_pylist()
        assert ids == sorted(ids)  # in id order within a partition
        lats = [expected[i][0] for i in ids]
        lons = [expected[i][1] for i in ids]
        assert column["bbox"] == [min(lons), min(lats), max(lons), max(lats)]  # the partition's own extent
        assert {cell_of(*expected[i][:2]) for i in ids} == {int(cell.split("=")[1])}


def _profile(con, query):
    """DuckDB's profile of a query, as a dict (EXPLAIN ANALYZE with JSON output)."""
    con.sql("PRAGMA enable_profiling = 'json'")
    text = con.sql("EXPLAIN ANALYZE " + query).fetchall()[0][1]
    con.sql("PRAGMA disable_profiling")
    return json.loads(text)


def _scan_of(profile):
    stack = list(profile["children"] if "children" in profile else profile["operator"])
    while stack:
        node = stack.pop()
        if node.get("name") == "READ_PARQUET" or node.get("extra_info", {}).get("Function") == "READ_PARQUET":
            return node
        stack.extend(node.get("children", []))
    raise AssertionError("no parquet scan in the profile")


def test_duckdb_reads_the_folder_and_a_box_skips_the_other_partitions(partitioned):
    import duckdb

    folder, expected = partitioned
    con = duckdb.connect()
    source = f"read_parquet('{folder}/*/*.parquet', hive_partitioning = true)"
    rows = con.sql(f"SELECT id, bbox.ymin, bbox.xmin, cell FROM {source}").fetchall()
    assert len(rows) == len(expected)
    for i, lat, lon, cell in rows:
        assert (lat, lon) == expected[i][:2] and cell == cell_of(lat, lon)
    box = (10.0, 5.0, 35.0, 30.0)  # min_lat, min_lon, max_lat, max_lon
    where = f"bbox.xmin >= {box[1]} AND bbox.xmax <= {box[3]} AND bbox.ymin >= {box[0]} AND bbox.ymax <= {box[2]}"
    inside = sorted(i for i, (lat, lon, _) in expected.items() if box[0] <= lat <= box[2] and box[1] <= lon <= box[3])
    assert sorted(r[0] for r in con.sql(f"SELECT id FROM {source} WHERE {where}").fetchall()) == inside
    # The box alone: the statistics of the covering column rule out the row groups of other cells.
    meeting = _cells_meeting(box)
    groups = {
        cell: con.sql(
            f"SELECT count(DISTINCT row_group_id) FROM parquet_metadata('{folder}/cell={cell}/*.parquet')"
        ).fetchall()[0][0]
        for cell in (int(c.split("=")[1]) for c in os.listdir(folder))
    }
    scan = _scan_of(_profile(con, f"SELECT count(*) FROM {source} WHERE {where}"))
    assert scan["total_row_groups_to_scan"] == sum(groups.values())
    assert 0 < scan["row_groups_scanned"] <= sum(groups[c] for c in meeting if c in groups) < sum(groups.values())
    # With the partition key too, the other files are not even opened.
    keyed = f"{where} AND cell IN ({', '.join(map(str, sorted(meeting)))})"
    assert sorted(r[0] for r in con.sql(f"SELECT id FROM {source} WHERE {keyed}").fetchall()) == inside
    scan = _scan_of(_profile(con, f"SELECT count(*) FROM {source} WHERE {keyed}"))
    assert int(scan["extra_info"]["Total Files Read"]) == len(meeting & set(groups)) < len(groups)


def test_dask_on_a_cluster_of_processes_reads_only_the_partitions_a_key_filter_keeps(partitioned):
    dd = pytest.importorskip("dask.dataframe")
    distributed = pytest.importorskip("distributed")

    folder, expected = partitioned
    box = (-40.0, -100.0, -5.0, -60.0)
    meeting = sorted(_cells_meeting(box))
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            assert len(client.scheduler_info()["workers"]) == 2
            everything = dd.read_parquet(str(folder), columns=["id", "bbox"])
            assert everything.npartitions == len(os.listdir(folder))
            assert sorted(everything["id"].compute().tolist()) == sorted(expected)
            kept = dd.read_parquet(str(folder), columns=["id", "bbox", "cell"], filters=[("cell", "in", meeting)])
            # one partition a file, and only the files of the cells the filter keeps
            assert kept.npartitions == len([c for c in meeting if os.path.isdir(folder / f"cell={c}")])
            frame = kept.compute()
            want = sorted(i for i, (lat, lon, _) in expected.items() if cell_of(lat, lon) in meeting)
            assert sorted(frame["id"].tolist()) == want
            in_box = [
                i
                for i, b in zip(frame["id"], frame["bbox"])
                if box[0] <= b["ymin"] <= box[2] and box[1] <= b["xmin"] <= box[3]
            ]
            assert sorted(in_box) == sorted(
                i for i, (lat, lon, _) in expected.items() if box[0] <= lat <= box[2] and box[1] <= lon <= box[3]
            )


def test_limit_keeps_the_lowest_ids_of_a_large_store(tmp_path, capsys):
    # More points than a limited scan reads in order: it shares the work out
    # and would keep whichever matches it finds first.
    rng = random.Random(3)
    store = str(tmp_path / "s.db")
    PyZurAD(store).insert_batch(
        [(rng.uniform(-60, 60), rng.uniform(-170, 170), {"k": i % 5, "i": i}) for i in range(30_000)]
    )
    for args, want in (([], list(range(7))), (["--filter", '{"k": 3}'], [3, 8, 13, 18, 23, 28, 33])):
        assert main(["export", store, str(tmp_path / "o.ndjson"), "--limit", "7", *args]) == 0
        features = [json.loads(line) for line in (tmp_path / "o.ndjson").read_text().splitlines()]
        assert [f["id"] for f in features] == want
        capsys.readouterr()
        assert main(["query", store, "--limit", "7", *args]) == 0
        lines = capsys.readouterr().out.splitlines()[1:-1]
        assert [int(line.split()[0]) for line in lines] == want


def _digest(folder):
    return {name: hashlib.sha256((folder / name).read_bytes()).hexdigest() for name in sorted(os.listdir(folder))}


def test_reading_commands_work_on_a_read_only_bind_mount(tmp_path):
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        pytest.skip("needs root and unshare for a private read-only bind mount")
    source, mount, out = tmp_path / "store", tmp_path / "ro", tmp_path / "out"
    for d in (source, mount, out):
        d.mkdir()
    db = PyZurAD(str(source / "s.db"))
    rng = random.Random(12)
    db.insert_batch([(rng.uniform(-80, 80), rng.uniform(-170, 170), {"n": i, "t": "x" * (i % 4)}) for i in range(3000)])
    for i in range(5):  # left in the log: a read replays them in memory
        db.insert(1.0 + i, 2.0, {"n": 3000 + i, "t": "logged"})
    del db
    before = _digest(source)
    store = mount / "s.db"
    steps = [
        [*ORBISK, "query", str(store), "--count"],
        [*ORBISK, "query", str(store), "--filter", '{"t": "logged"}', "--format", "csv"],
        [*ORBISK, "export", str(store), str(out / "all.parquet")],
        [*ORBISK, "export", str(store), str(out / "parts"), "--partition"],
        [*ORBISK, "stats", str(store)],
        [*ORBISK, "verify", str(store)],
        [*ORBISK, "map", str(store), "--out", str(out / "map.png")],
        [*ORBISK, "flush", str(store)],  # a write: refused by the file system
    ]
    script = f"mount --bind {source} {mount} && mount -o remount,bind,ro {mount}"
    for step in steps:
        script += " && { " + " ".join(map(_quote, step)) + f"; echo EXIT=$?; }} >> {out / 'log'} 2>&1"
    done = subprocess.run(["unshare", "-m", "sh", "-c", script], capture_output=True, text=True, timeout=300)
    if not (out / "log").exists():
        pytest.skip(f"no private read-only mount here: {done.stderr.strip()}")
    log = (out / "log").read_text()
    exits = [line for line in log.splitlines() if line.startswith("EXIT=")]
    assert exits == ["EXIT=0"] * 7 + ["EXIT=1"], log
    assert "3005\n" in log and "Read-only file system (os error 30)" in log.splitlines()[-2]
    assert log.count(",logged") == 5 and f"{store}: ok" in log and "points        3,005" in log
    import pyarrow.parquet as pq

    assert pq.read_table(out / "all.parquet").num_rows == 3005
    assert os.path.getsize(out / "map.png") > 0 and os.listdir(out / "parts")
    assert _digest(source) == before  # not a byte of the store changed, no file was added


def _quote(arg):
    return "'" + str(arg).replace("'", "'\\''") + "'"


def _import_outcome(tmp_path, name, path, arrow, extra=()):
    """What `orbisk import` does with a file: status, stderr, stored rows (by
    repr, so that 1, 1.0 and True differ). `arrow=False`: Arrow batches are
    stored as their rows are read one by one."""
    import orbisk_cli.importer as importer

    original = importer.Importer._append

    def rows_only(self, batch, source):
        self.columnar = None
        return original(self, batch, source)

    importer.Importer._append = original if arrow else rows_only
    try:
        out, err = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            status = main(["import", str(tmp_path / f"{name}.db"), str(path), *extra])
    finally:
        importer.Importer._append = original
    rows = PyZurAD(str(tmp_path / f"{name}.db")).query({}) if os.path.exists(tmp_path / f"{name}.commit") else []
    lines = [line for line in err.getvalue().splitlines() if not line.startswith("imported")]
    return status, lines, [repr((r["latitude"], r["longitude"], r["metadata"])) for r in rows]


@pytest.mark.parametrize("skip_bad", [True, False])
def test_csv_rows_appended_as_arrow_are_stored_as_the_row_reader_stores_them(tmp_path, monkeypatch, skip_bad):
    from test_csv_reading import awkward_csv

    import orbisk_cli.importer as importer
    from orbisk_cli import celltyping

    monkeypatch.setattr(importer, "BATCH", 7)
    monkeypatch.setattr(importer, "ARROW_BATCH", 20)  # appends of a few batches gathered
    monkeypatch.setattr(celltyping, "SAMPLE", 4)  # so that columns are found to repeat
    from orbisk_columnar import ColumnarStore

    appended = []
    append = ColumnarStore.append
    monkeypatch.setattr(ColumnarStore, "append", lambda self, data, **kw: appended.append(append(self, data, **kw)))
    rng = random.Random(5150 + skip_bad)
    extra = ["--skip-bad"] if skip_bad else []
    for case in range(60):
        data, delimiter = awkward_csv(rng)
        path = tmp_path / f"c{case}.csv"
        path.write_bytes(data)
        options = [*extra, "--delimiter", "\\t" if delimiter == "\t" else delimiter]
        arrow = _import_outcome(tmp_path, f"a{case}", path, True, options)
        rows = _import_outcome(tmp_path, f"r{case}", path, False, options)
        assert arrow == rows, (case, data[:300])
    assert len(appended) > 20  # most files' rows went through Arrow


def test_geoparquet_rows_appended_as_arrow_are_stored_as_the_row_reader_stores_them(tmp_path, monkeypatch):
    # Every column type a file may hold, values the store keeps and values
    # it refuses, the JSON columns of an orbisk export among them.
    import pyarrow as pa
    import pyarrow.parquet as pq

    import orbisk_cli.importer as importer

    monkeypatch.setattr(importer, "BATCH", 10)  # row batches of 10: many without a refused value
    monkeypatch.setattr(importer, "ARROW_BATCH", 30)  # appended a few at a time
    rng = random.Random(77)
    n = 400
    texts = ['["t1",2]', '{"a":[1.5,-2e5]}', "null", "[18446744073709551616]", '"\\ud800"', "[1e400]", "{", " [1] "]
    columns = {
        "latitude": [91.0]
        + [
            rng.choice([rng.uniform(-90, 90), 91.0, float("nan")]) if rng.random() < 0.02 else rng.uniform(-90, 90)
            for _ in range(n - 1)
        ],
        "longitude": [-5.0] + [rng.uniform(-180, 180) for _ in range(n - 1)],
        "i8": pa.array([rng.choice([None, -5, 7]) for _ in range(n)], pa.int8()),
        "u64": pa.array(
            [rng.choice([None, 3, 2**63 - 1, 2**63 + 5]) if rng.random() < 0.05 else 1 for _ in range(n)], pa.uint64()
        ),
        "f32": pa.array(
            [rng.choice([None, 1.5, 0.1, float("inf")]) if rng.random() < 0.1 else 2.25 for _ in range(n)], pa.float32()
        ),
        "f64": [
            rng.choice([None, -0.0, 1e300, float("nan")]) if rng.random() < 0.05 else rng.random() for _ in range(n)
        ],
        "b": [rng.choice([None, True, False]) for _ in range(n)],
        "s": [rng.choice([None, "", "x", "Zürich", "007"]) for _ in range(n)],
        "tags": [rng.choice(texts) if rng.random() < 0.05 else rng.choice(texts[:3]) for _ in range(n)],
        "when": pa.array([None if rng.random() < 0.1 else 1_700_000_000 + i for i in range(n)], pa.timestamp("s")),
        "nested": pa.array([{"k": i, "v": None} if i % 9 else None for i in range(n)]),
    }
    table = pa.table(columns).replace_schema_metadata({"orbisk": json.dumps({"json_columns": ["tags"]})})
    # The same points as WKB in a GeoParquet geometry column, some of them
    # geometries the row reader refuses: row groups of plain 2D points go to
    # the store as WKB, the others decoded.
    odd = [
        None,
        b"\x00\x00\x00\x00\x01" + struct.pack(">dd", 4.0, 5.0),  # big-endian: kept
        b"\x01\xe9\x03\x00\x00" + struct.pack("<ddd", 4.0, 5.0, 6.0),  # Z
        b"\x01\x01\x00\x00\x00" + struct.pack("<dd", float("nan"), float("nan")),  # empty
        b"\x01\x02\x00\x00\x00\x01\x00\x00\x00" + struct.pack("<dd", 1.0, 2.0),  # LineString
        b"\x01\x01\x00\x00\x00" + struct.pack("<d", 1.0),  # cut short
    ]
    wkb = [
        rng.choice(odd) if rng.random() < 0.05 else b"\x01\x01\x00\x00\x00" + struct.pack("<dd", lo, la)
        for la, lo in zip(columns["latitude"], columns["longitude"])
    ]
    geo = {"version": "1.1.0", "primary_column": "geom", "columns": {"geom": {"encoding": "WKB"}}}
    located = table.drop_columns(["latitude", "longitude"]).append_column("geom", pa.array(wkb, pa.binary()))
    located = located.replace_schema_metadata({**table.schema.metadata, b"geo": json.dumps(geo).encode()})
    # and in a file of points all in range, a few of them with a Z
    fine = [
        odd[2] if rng.random() < 0.03 else b"\x01\x01\x00\x00\x00" + struct.pack("<dd", i / 3, -i / 7) for i in range(n)
    ]
    fine = pa.table({"geom": pa.array(fine, pa.binary()), "s": columns["s"]}, metadata=located.schema.metadata)
    from orbisk_columnar import ColumnarStore

    appended = []
    append = ColumnarStore.append
    monkeypatch.setattr(ColumnarStore, "append", lambda self, data, **kw: appended.append(append(self, data, **kw)))
    # with columns of other types (read row by row), and without them
    for case, data in enumerate((table, table.drop_columns(["when", "nested"]), located.drop_columns(["when"]), fine)):
        path = tmp_path / f"t{case}.parquet"
        pq.write_table(data, path, row_group_size=57)
        for extra in (["--skip-bad"], []):
            arrow = _import_outcome(tmp_path, f"a{case}{len(extra)}", path, True, extra)
            rows = _import_outcome(tmp_path, f"r{case}{len(extra)}", path, False, extra)
            assert arrow == rows
            assert len(arrow[2]) > (300 if extra else -1) and (arrow[0] == 0) == bool(extra)
            first = "row 1: coordinate out of range" if data is not fine else "geometry has Z or M values"
            assert first in arrow[1][0]
    assert appended  # row groups without a refused value went through Arrow


@pytest.mark.parametrize("no_id, other_device", [(False, False), (True, True)])
def test_geoparquet_written_in_halves_on_two_threads_is_the_file_one_thread_writes(
    tmp_path, monkeypatch, no_id, other_device
):
    # Small row groups, so that a few thousand points make files of several;
    # the halves joined must give the very bytes of the file written whole
    # (the footer's offsets, ordinals and row count made over), which every
    # reader then reads as it reads that one.
    import pyarrow.parquet as pq

    import orbisk_cli.geoparquet as geoparquet
    import orbisk_cli.parquetjoin as parquetjoin

    monkeypatch.setattr(geoparquet, "ROW_GROUP", 301)
    if other_device:  # the second half copied through memory

        def cross(*a):
            raise OSError(errno.EXDEV, "Invalid cross-device link")

        monkeypatch.setattr(os, "copy_file_range", cross)
    rng = random.Random(23)
    values = [None, True, 2**62, -1.5, "Zürich", "", [1, {"a": None}], {"b": "x"}]
    points = [
        (
            rng.uniform(-90, 90),
            rng.uniform(-180, 180),
            {k: rng.choice(values) for k in rng.sample(["a", "b", "c", "bbox", "id"], rng.randrange(5))},
        )
        for _ in range(2_500)
    ]
    store = str(tmp_path / "s.db")
    PyZurAD(store).insert_batch(points)
    extra = ["--no-id"] if no_id else []
    halves, whole = tmp_path / "halves.parquet", tmp_path / "whole.parquet"
    joins = []
    join = parquetjoin.join
    monkeypatch.setattr(parquetjoin, "join", lambda *a: joins.append(join(*a)))
    assert main(["export", store, str(halves), *extra]) == 0
    assert len(joins) == 1

    def refuse(*a):
        raise parquetjoin.NotJoinable("as a footer this reader does not know")

    monkeypatch.setattr(parquetjoin, "join", refuse)
    assert main(["export", store, str(whole), *extra]) == 0  # on one thread, after the refusal
    assert halves.read_bytes() == whole.read_bytes()
    assert pq.ParquetFile(halves).metadata.num_row_groups == 9


# The screen of JSON text as it is written: digits as 0, exponent marks as e,
# any other byte a space, a '+' dropped; then three searches.
_MARKS = bytes(ord("0") if c in b"0123456789" else ord("e") if c in b"eE" else ord(" ") for c in range(256))


def _screened_by_marks(data: bytes) -> bool:
    marks = data.translate(_MARKS, b"+")
    return b"0" * 19 not in marks and b"0e000" not in marks and b"\\ud" not in data and b"\\uD" not in data


def test_the_json_screen_answers_as_its_reading_of_marks():
    # Texts of every length around the 64-byte blocks the screen reads at
    # once, with runs of digits, exponents and escapes across block ends.
    from orbisk_cli.values import screened

    rng = random.Random(41)
    pieces = [b"0", b"7", b"123456789", b"e", b"E", b"+", b"-", b".", b"\\", b"u", b"d", b"D", b'"t3",', b"[", b" "]
    pieces += [b"\xc3\xa9", b"x" * 40, b"1e+308", b"\\ud83d", b"9" * 18]
    answers = []
    for i in range(20000):
        data = b"".join(rng.choice(pieces) for _ in range(rng.choice([0, 1, 5, 20, 60])))
        if i % 3 == 0:  # a run or an exponent placed across a block end
            run = rng.choice([b"1" * rng.randrange(15, 24), b"5e" + b"0" * rng.randrange(1, 5), b"\\ud"])
            data = b"a" * rng.randrange(130) + run + data
        elif i % 3 == 1:  # an exponent's digits at the start of a block of plain bytes
            data = b"a" * rng.randrange(56, 66) + b"5e" + b"0" * rng.randrange(1, 5) + b"x" * 70
        answers.append(screened(data))
        assert answers[-1] == _screened_by_marks(data), data
    assert 5000 < sum(answers) < 15000
