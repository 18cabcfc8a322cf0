"""The `orbisk` command as a user meets it: errors as one line on stderr
with a non-zero status, and the progress bar in a real terminal."""

import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time
import uuid

import pytest
from orbisk import PyZurAD

ORBISK = [sys.executable, "-m", "orbisk_cli"]
GOOD_CSV = "lat,lon,name\n1,2,a\n3,4,b\n"


def run(*args, cwd):
    return subprocess.run([*ORBISK, *args], cwd=cwd, capture_output=True, text=True, timeout=120)


def corrupt_manifest(d):
    with open(os.path.join(d, "s.commit"), "wb") as f:
        f.write(b"\0" * 10)


def corrupt_coordinates(d):
    with open(os.path.join(d, "s.coords.mmap"), "r+b") as f:
        f.seek(64)
        f.write(b"\xff")


def geoparquet_naming_a_missing_column(d):
    import pyarrow as pa
    import pyarrow.parquet as pq

    point = b"\x01\x01\x00\x00\x00" + bytes(16)
    geo = '{"version":"1.1.0","primary_column":"geometry","columns":{"geometry":{"encoding":"WKB"}}}'
    table = pa.table({"geom": pa.array([point], pa.binary()), "a": [1]}).replace_schema_metadata({"geo": geo})
    pq.write_table(table, os.path.join(d, "x.parquet"))


# (files to write, setup on the store s.db holding two points, arguments, status, the stderr line)
CASES = [
    ({}, None, ["stats", "missing.db"], 1, "orbisk: store missing.db does not exist"),
    ({}, None, ["query", "missing.db"], 1, "orbisk: store missing.db does not exist"),
    ({}, None, ["export", "missing.db"], 1, "orbisk: store missing.db does not exist"),
    ({}, None, ["verify", "missing.db"], 1, "orbisk: store missing.db does not exist"),
    ({}, None, ["map", "missing.db", "--out", "m.png"], 1, "orbisk: store missing.db does not exist"),
    ({}, None, ["delete", "missing.db", "--all"], 1, "orbisk: store missing.db does not exist"),
    (
        {},
        None,
        ["delete", "s.db", "--filter", "{}"],
        1,
        "orbisk: --filter '{}' matches every point; give --all to delete them all",
    ),
    ({}, None, ["query", "s.db", "--radius", "1", "2", "-5"], 1, "orbisk: --radius: the distance -5.0 m is negative"),
    ({}, None, ["export", "s.db", "--bbox", "nan", "0", "1", "1"], 1, "orbisk: --bbox takes finite numbers, not nan"),
    (
        {},
        corrupt_manifest,
        ["stats", "s.db"],
        1,
        re.compile(r"orbisk: cannot open store s\.db: Orbisk CRITICAL: refusing to open.+"),
    ),
    (
        {},
        None,
        ["query", "s.db", "--filter", '{"a": '],
        1,
        re.compile(r"orbisk: --filter is not valid JSON: Expecting value: .+"),
    ),
    (
        {},
        None,
        ["query", "s.db", "--filter", "[1]"],
        1,
        "orbisk: --filter must be a JSON object, such as '{\"name\": \"Paris\"}'",
    ),
    (
        {},
        None,
        ["query", "s.db", "--filter", '{"a": {"$regex": "x"}}'],
        1,
        "orbisk: bad filter: Unknown operator: $regex",
    ),
    ({}, None, ["export", "s.db", "--filter", '{"a": {"$in": 5}}'], 1, "orbisk: bad filter: $in requires an array"),
    ({}, None, ["import", "s.db", "nope.csv"], 1, "orbisk: cannot read nope.csv: no such file"),
    (
        {"x.xyz": "1"},
        None,
        ["import", "s.db", "x.xyz"],
        1,
        "orbisk: cannot tell the format of x.xyz from its name; give it with --format",
    ),
    (
        {"x.csv": "a,b\n1,2\n"},
        None,
        ["import", "s.db", "x.csv"],
        1,
        "orbisk: x.csv header: no latitude column (looked for latitude, lat, y); name it with --lat-column",
    ),
    (
        {"x.csv": "lat,lon\n1,2\nnorth,3\n"},
        None,
        ["import", "s.db", "x.csv"],
        1,
        "orbisk: x.csv line 3: latitude 'north' is not a number (1 point before it was imported; "
        "--skip-bad goes on past bad rows)",
    ),
    (
        {"x.geojson": '{"type":"FeatureCollection","features":[{"type":"Feature",\n'},
        None,
        ["import", "s.db", "x.geojson"],
        1,
        re.compile(r"orbisk: x\.geojson line 1: feature 1 is not valid JSON \(.+\)"),
    ),
    (
        {
            "x.geojson": '{"type":"FeatureCollection","features":[{"type":"Feature","properties":null,'
            '"geometry":{"type":"LineString","coordinates":[[1,2],[3,4]]}}]}'
        },
        None,
        ["import", "s.db", "x.geojson", "--skip-bad"],
        0,
        "orbisk: skipped x.geojson feature 1 (line 1): geometry is a LineString, not a Point",
    ),
    (
        {
            "x.ndjson": '{"type":"Feature","properties":{"n":18446744073709551616},'
            '"geometry":{"type":"Point","coordinates":[1,2]}}\n'
        },
        None,
        ["import", "s.db", "x.ndjson"],
        1,
        "orbisk: x.ndjson line 1: integer 18446744073709551616 is outside the signed 64-bit range the store keeps "
        "exactly (0 points before it were imported; --skip-bad goes on past bad rows)",
    ),
    (
        {"x.ndjson": '{"type":"Feature","properties":{"n":NaN},"geometry":{"type":"Point","coordinates":[1,2]}}\n'},
        None,
        ["import", "s.db", "x.ndjson", "--skip-bad"],
        0,
        "orbisk: skipped x.ndjson line 1: NaN is not a JSON number",
    ),
    (
        {
            "x.geojson": '{"type":"FeatureCollection","features":[\n'
            + ",\n".join(
                '{"type":"Feature","properties":{"n":%s},"geometry":{"type":"Point","coordinates":[1,2]}}' % n
                for n in (1, 2**64, 3)
            )
            + "]}"
        },
        None,
        ["import", "s.db", "x.geojson", "--skip-bad"],
        0,
        "orbisk: skipped x.geojson feature 2 (line 3): integer 18446744073709551616 is outside the signed 64-bit "
        "range the store keeps exactly",
    ),
    (
        {"x.parquet": "not parquet"},
        None,
        ["import", "s.db", "x.parquet"],
        1,
        re.compile(r"orbisk: x\.parquet: not a Parquet file \(.+\)"),
    ),
    (
        {},
        geoparquet_naming_a_missing_column,
        ["import", "s.db", "x.parquet"],
        1,
        "orbisk: x.parquet: its 'geo' metadata names the column 'geometry', which it does not have",
    ),
    ({}, corrupt_coordinates, ["verify", "s.db"], 1, ""),
    (
        {},
        lambda d: PyZurAD(os.path.join(d, "s.db")).insert(5, 5, {"latitude": 1}),
        ["export", "s.db", "o.csv"],
        1,
        "orbisk: a metadata key is named 'latitude' like a coordinate column; name the coordinate columns with "
        "--lat-column and --lon-column",
    ),
    (
        {},
        None,
        ["query", "s.db", "--bbox", "1", "2"],
        2,
        "orbisk query: error: argument --bbox: expected 4 arguments (see orbisk query --help)",
    ),
    (
        {},
        None,
        ["export", "s.db", "--bbox", "0", "0", "1", "1", "--radius", "0", "0", "5"],
        1,
        "orbisk: give at most one of --bbox, --radius and --polygon (got --bbox and --radius)",
    ),
    (
        {"poly.json": '{"type":"Polygon","coordinates":[[[0,0],[1,0],[1,1],[0,0]],[[0.2,0.2],[0.3,0.2],[0.2,0.2]]]}'},
        None,
        ["export", "s.db", "--polygon", "poly.json"],
        1,
        "orbisk: poly.json: polygon part 0, ring 1: a ring needs at least 3 distinct vertices, it has 2",
    ),
]


_EXPORTS = (
    "orbisk export writes .csv, .tsv, .geojson, .json, .ndjson, .jsonl, .geojsonl, .geojsons, .geojsonseq, "
    ".parquet, .geoparquet and .pq files (CSV and GeoJSON also with .gz after the name), or what --format names"
)
_BOX = "the box is MIN_LAT MIN_LON MAX_LAT MAX_LON, latitude first"
_FEATURE = '{"type":"Feature","properties":%s,"geometry":{"type":"Point","coordinates":%s}}'
CASES += [
    ({}, None, ["export", "s.db", "x.gpkg"], 1, f"orbisk: cannot tell the format of x.gpkg from its name; {_EXPORTS}"),
    ({}, None, ["export", "s.db", "x.txt"], 1, f"orbisk: cannot tell the format of x.txt from its name; {_EXPORTS}"),
    (
        {},
        None,
        ["export", "s.db", "x.parquet.gz"],
        1,
        "orbisk: x.parquet.gz: GeoParquet compresses its own columns; give a name without .gz",
    ),
    (
        {"x.parquet.gz": "x"},
        None,
        ["import", "s.db", "x.parquet.gz"],
        1,
        "orbisk: x.parquet.gz: GeoParquet compresses its own columns; give the file without gzip",
    ),
    (
        {},
        None,
        ["map", "s.db", "--out", "m.gif"],
        1,
        "orbisk: cannot tell the picture format of m.gif from its name; orbisk map writes .png, .jpg, .jpeg, "
        ".svg, .svgz, .pdf, .eps, .ps, .tif, .tiff and .webp",
    ),
    (
        {},
        None,
        ["query", "s.db", "--bbox", "5", "0", "-5", "10"],
        1,
        f"orbisk: --bbox: the box is empty, its MIN_LAT 5 is above its MAX_LAT -5; {_BOX}",
    ),
    (
        {},
        None,
        ["map", "s.db", "--out", "m.png", "--bbox", "0", "100", "95", "120"],
        1,
        f"orbisk: --bbox: latitude 95 is outside [-90, 90]; {_BOX}",
    ),
    (
        {},
        None,
        ["export", "s.db", "o.ndjson", "--bbox", "2", "1", "4", "3"],
        0,
        f"orbisk: note: no point is in the box, but 2 points would be with latitude and longitude swapped "
        f"(--bbox 1 2 3 4); {_BOX}",
    ),
    (
        {"x.csv": "lat;lon;name\n1;2;a\n"},
        None,
        ["import", "s.db", "x.csv"],
        1,
        "orbisk: x.csv header: no latitude column (looked for latitude, lat, y); name it with --lat-column, "
        "or, if the file is separated by ';', give --delimiter ';'",
    ),
    (
        {"x.tsv": "lat\tlon\n1\t2\n"},
        None,
        ["import", "s.db", "x.tsv", "--delimiter", ","],
        1,
        "orbisk: x.tsv header: no latitude column (looked for latitude, lat, y); name it with --lat-column, "
        "or, if the file is separated by '\\t', give --delimiter '\\t'",
    ),
    (
        {"x.csv": "lat,lon,name\n1,2,a\n"},
        None,
        ["import", "s.db", "x.csv", "--text-columns", "name,nope"],
        1,
        "orbisk: x.csv header: there is no column 'nope' (named in --text-columns)",
    ),
    (
        {"x.geojson": '{"type":"FeatureCollection","features":[' + _FEATURE % ("{}", "[1,2,30.5]") + "]}"},
        None,
        ["import", "s.db", "x.geojson"],
        1,
        "orbisk: x.geojson feature 1 (line 1): Point has 3 coordinates; only [longitude, latitude] can be stored "
        "(--height-key NAME keeps the third as the metadata key NAME) (0 points before it were imported; "
        "--skip-bad goes on past bad rows)",
    ),
    (
        {"x.ndjson": _FEATURE % ('{"h":1}', "[1,2,3]") + "\n"},
        None,
        ["import", "s.db", "x.ndjson", "--height-key", "h"],
        1,
        "orbisk: x.ndjson line 1: properties hold 'h' already, the key --height-key gives the height (0 points "
        "before it were imported; --skip-bad goes on past bad rows)",
    ),
    (
        {
            "x.geojson": '{"type":"FeatureCollection","features":[\n'
            + ",\n".join(_FEATURE % (p, "[1,2]") for p in ('{"n":1}', '{"n":NaN}', '{"n":-Infinity}', '{"n":3}'))
            + "]}"
        },
        None,
        ["import", "s.db", "x.geojson", "--skip-bad"],
        0,
        "orbisk: skipped x.geojson feature 2 (line 3): NaN is not a JSON number\n"
        "orbisk: skipped x.geojson feature 3 (line 4): -Infinity is not a JSON number",
    ),
    (
        {},
        None,
        ["import", "s.db", "x.csv", "--skip-rows", "-1"],
        2,
        "orbisk import: error: argument --skip-rows: -1 is negative (see orbisk import --help)",
    ),
]


@pytest.mark.parametrize("files, setup, args, status, line", CASES, ids=lambda v: v if isinstance(v, str) else "")
def test_errors_are_one_line_on_stderr(tmp_path, files, setup, args, status, line):
    d = str(tmp_path)
    db = PyZurAD(os.path.join(d, "s.db"))
    db.insert_batch([(1.0, 2.0, {"a": 1}), (3.0, 4.0, {"a": 2})])
    db.flush()
    del db
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    if setup:
        setup(d)
    before = sorted(os.listdir(d))
    r = run(*args, cwd=d)
    assert r.returncode == status, r.stderr
    lines = r.stderr.splitlines()
    if isinstance(line, re.Pattern):
        assert len(lines) == 1 and line.fullmatch(lines[0]), r.stderr
    else:
        assert lines == (line.split("\n") if line else []), r.stderr
    if "missing.db" in args or (status and args[0] in ("export", "map")):
        assert sorted(os.listdir(d)) == before  # a read command never creates a store, a refusal no file
    if args[0] == "verify" and "s.db" in args:
        assert "CRC mismatch" in r.stdout


def test_missing_extra_is_named_with_how_to_get_it(tmp_path):
    blocker = tmp_path / "blocked"
    blocker.mkdir()
    (blocker / "pyarrow.py").write_text("raise ImportError('blocked for this test')\n")
    (blocker / "matplotlib.py").write_text("raise ImportError('blocked for this test')\n")
    PyZurAD(str(tmp_path / "s.db")).insert(1, 2, {})
    env = dict(os.environ, PYTHONPATH=str(blocker))
    for args, line in [
        (["export", "s.db", "o.parquet"], "orbisk: GeoParquet needs pyarrow: pip install 'orbisk[parquet]'"),
        (["map", "s.db", "--out", "m.png"], "orbisk: maps need matplotlib: pip install 'orbisk[map]'"),
    ]:
        r = subprocess.run([*ORBISK, *args], cwd=tmp_path, capture_output=True, text=True, env=env, timeout=120)
        assert (r.returncode, r.stderr.splitlines()) == (1, [line])


def in_tmux(command, tmp_path):
    """Runs a shell command in a terminal of 120 x 20; returns the final screen
    and everything written to the terminal."""
    if not shutil.which("tmux"):
        pytest.fail("tmux is not installed: run the suite through scripts/test.sh")
    session = f"orbisk-{uuid.uuid4().hex[:8]}"
    log = tmp_path / "pane.log"
    subprocess.run(["tmux", "new-session", "-d", "-s", session, "-x", "120", "-y", "20", "bash", "--norc"], check=True)
    try:
        subprocess.run(["tmux", "pipe-pane", "-t", session, "-o", f"cat >> {log}"], check=True)
        subprocess.run(["tmux", "send-keys", "-t", session, command + "; echo EXIT=$?", "Enter"], check=True)
        screen = ""
        for _ in range(1200):
            screen = subprocess.run(
                ["tmux", "capture-pane", "-p", "-t", session], capture_output=True, text=True
            ).stdout
            if re.search(r"^EXIT=\d+", screen, re.M):
                break
            time.sleep(0.1)
    finally:
        subprocess.run(["tmux", "kill-session", "-t", session])
    assert re.search(r"^EXIT=0", screen, re.M), screen
    return screen, log.read_bytes().decode("utf-8", "replace")


def bar_shares(label, written):
    """The shares of the bar frames of `label`, checked to rise to 100 % with an ETA on the way."""
    frames = re.findall(
        rf"\r({re.escape(label)} \[[#-]+\]\s+(\d+\.\d)%\s+[\d,]+ points\s+[\d.]+[kM]? pts/s[^\r\n]*)", written
    )
    shares = [float(share) for _, share in frames]
    assert len(shares) >= 2 and shares[0] < 100.0 and shares[-1] == 100.0, frames
    assert shares == sorted(shares)
    assert any("ETA " in frame for frame, _ in frames[:-1])
    return shares


def test_progress_bar_moves_and_finishes_in_a_terminal(tmp_path):
    rows = ["latitude,longitude,name,rank"] + [
        f"{(i * 7919) % 17999 / 100 - 90:.5f},{(i * 104729) % 35999 / 100 - 180:.5f},place {i},{i}"
        for i in range(400_000)
    ]
    (tmp_path / "big.csv").write_text("\n".join(rows) + "\n")
    command = f"{sys.executable} -m orbisk_cli import {tmp_path / 's.db'} {tmp_path / 'big.csv'}"
    screen, written = in_tmux(command, tmp_path)
    assert "imported 400,000 points from" in screen
    bar_shares("big.csv", written)
    # the finished bar stays on the screen above the summary
    assert re.search(r"big\.csv \[#+\] 100\.0%\s+400,000 points", screen)


def test_export_and_delete_show_their_progress_in_a_terminal(tmp_path):
    rng = random.Random(8)
    PyZurAD(str(tmp_path / "s.db")).insert_batch(
        [(rng.uniform(-90, 90), rng.uniform(-180, 180), {"name": f"p{i}", "k": i % 3}) for i in range(300_000)]
    )
    orbisk = f"{sys.executable} -m orbisk_cli"
    store = tmp_path / "s.db"
    command = (
        f"{orbisk} export {store} {tmp_path / 'out.csv'} && {orbisk} stats {store} > /dev/null"
        f" && {orbisk} delete {store} --filter '{{\"k\": 1}}'"
    )
    screen, written = in_tmux(command, tmp_path)
    assert "exported 300,000 points to" in screen and "deleted 100,000 points" in screen
    assert re.search(r"\rout\.csv: reading the store  0:\d\d", written)  # read in id order, then written
    bar_shares("out.csv", written)
    bar_shares("s.db", written)  # stats
    assert re.search(r"\rdeleting  0:\d\d", written)
    lines = (tmp_path / "out.csv").read_text().splitlines()
    assert lines[0] == "id,latitude,longitude,name,k"
    assert [int(line.split(",", 1)[0]) for line in lines[1:]] == list(range(300_000))


def test_no_progress_bar_without_a_terminal(tmp_path):
    (tmp_path / "p.csv").write_text(GOOD_CSV)
    r = run("import", "s.db", "p.csv", cwd=tmp_path)
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout.startswith("imported 2 points from p.csv in ")


def test_version_is_the_installed_distributions_and_count_prints_a_number(tmp_path):
    from importlib.metadata import version

    r = run("--version", cwd=tmp_path)
    assert (r.returncode, r.stdout, r.stderr) == (0, f"orbisk {version('orbisk')}\n", "")
    db = PyZurAD(str(tmp_path / "s.db"))
    db.insert_batch([(1.0, 2.0, {"a": 1}), (3.0, 4.0, {"a": 2}), (50.0, 4.0, {"a": 2})])
    del db
    for args, out in [
        ([], "3"),
        (["--filter", '{"a": 2}'], "2"),
        (["--limit", "1"], "1"),
        (["--bbox", "0", "0", "10", "10"], "2"),
        (["--radius", "50", "4", "1000", "--filter", '{"a": 1}'], "0"),
    ]:
        r = run("query", "s.db", "--count", *args, cwd=tmp_path)
        assert (r.returncode, r.stdout, r.stderr) == (0, out + "\n", ""), args


def test_maps_are_written_in_the_format_their_name_says(tmp_path):
    from orbisk_cli.main import main

    PyZurAD(str(tmp_path / "s.db")).insert_batch([(float(i % 50), float(i % 170), {}) for i in range(500)])
    magic = {
        "png": b"\x89PNG",
        "jpg": b"\xff\xd8\xff",
        "jpeg": b"\xff\xd8\xff",
        "svg": b"<?xml",
        "svgz": b"\x1f\x8b",
        "pdf": b"%PDF",
        "eps": b"%!PS",
        "ps": b"%!PS",
        "tif": b"II*\x00",
        "tiff": b"II*\x00",
        "webp": b"RIFF",
    }
    for ext, start in magic.items():
        out = tmp_path / f"m.{ext.upper() if ext == 'png' else ext}"
        assert main(["map", str(tmp_path / "s.db"), "--out", str(out)]) == 0
        assert out.read_bytes().startswith(start), ext


def test_a_map_across_the_antimeridian_is_centred_on_it(tmp_path, monkeypatch):
    import matplotlib.pyplot as plt

    from orbisk_cli.main import main

    figures = []
    monkeypatch.setattr(plt, "close", figures.append)
    store = str(tmp_path / "s.db")
    PyZurAD(store).insert_batch([(-20.0, lon, {}) for lon in (171.0, 175.0, 179.9, -179.9, -175.0, -171.0, 10.0)])
    out = str(tmp_path / "m.png")
    assert main(["map", store, "--out", out, "--bbox", "-25", "170", "-10", "-170"]) == 0
    axes = figures[-1].axes[0]
    assert axes.get_xlim() == (170.0, 190.0)
    xs = sorted(axes.collections[0].get_offsets()[:, 0])
    assert xs == [171.0, 175.0, 179.9, 180.1, 185.0, 189.0]
    figures[-1].canvas.draw()
    labels = {t.get_text() for t in axes.get_xticklabels()}
    assert "180" in labels and "-175" in labels and "190" not in labels, labels
    # no box: the points of a circle around the antimeridian decide
    assert main(["map", store, "--out", out, "--radius", "-20", "180", "1000000"]) == 0
    west, east = figures[-1].axes[0].get_xlim()
    assert 170.0 < west < 171.0 and 189.0 < east < 190.0


def test_the_longitude_window_is_the_narrowest_arc_holding_every_point():
    import numpy as np

    from orbisk_cli.mapping import longitude_window

    rng = random.Random(4)
    for _ in range(300):
        centre, width = rng.uniform(-180, 180), rng.choice([1.0, 30.0, 170.0, 300.0])
        lons = [((centre + rng.uniform(-width / 2, width / 2) + 180) % 360) - 180 for _ in range(rng.randrange(2, 30))]
        # the narrowest arc by brute force: each point as its western edge
        narrowest = min(max((x - w) % 360 for x in lons) for w in lons)
        window = longitude_window(np.array(lons), None)
        if window is None:
            assert max(lons) - min(lons) <= narrowest + 1e-9
        else:
            west, east = window
            assert east > 180 and abs((east - west) - narrowest) < 1e-9
            assert all(west <= (x if x >= west else x + 360) <= east for x in lons)


def test_an_interrupted_import_says_what_it_stored_and_goes_on_without_duplicates(tmp_path):
    # Every 997th row is bad and skipped; the file is large enough to be
    # interrupted while it is stored (the reader is then still reading: it
    # runs at most three batches of 50,000 rows ahead of what is stored).
    lines = ["lat,lon,row,tag"]
    for i in range(1, 450_001):
        lat = "north" if i % 997 == 0 else f"{(i * 7919) % 17999 / 100 - 90:.5f}"
        lines.append(f"{lat},{(i * 104729) % 35999 / 100 - 180:.5f},{i},{'t' if i % 2 else 'u'}{i % 7}")
    (tmp_path / "big.csv").write_text("\n".join(lines) + "\n")
    good = [i for i in range(1, 450_001) if i % 997]
    store = str(tmp_path / "s.db")
    command = [*ORBISK, "import", "s.db", "big.csv", "--skip-bad"]
    child = subprocess.Popen(command, cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    watcher = None
    while child.poll() is None:
        watcher = watcher or (PyZurAD(store) if os.path.exists(tmp_path / "s.commit") else None)
        if watcher is not None and watcher.len() > 0:
            child.send_signal(signal.SIGINT)
            break
        time.sleep(0.01)
    out, err = child.communicate(timeout=120)
    assert child.returncode == 130, (out, err)
    last = err.strip().splitlines()[-1]
    m = re.fullmatch(
        r"orbisk: interrupted: ([\d,]+) points stored \(rows 1 to ([\d,]+) of big\.csv"
        r"(?:, ([\d,]+) of them bad and skipped)?\); "  # no bad row yet when stopped before row 997
        r"to go on without duplicates, import big\.csv again with --skip-rows (\d+)",
        last,
    )
    assert m, err
    stored, last_row, skipped, skip = (int((g or "0").replace(",", "")) for g in m.groups())
    assert last_row == skip < 450_000
    rows = [r["metadata"]["row"] for r in PyZurAD(store).query({})]
    assert stored == len(rows) and rows == [i for i in good if i <= last_row]
    assert skipped == last_row // 997
    r = run("import", "s.db", "big.csv", "--skip-bad", "--skip-rows", str(skip), cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    rows = [(r["metadata"]["row"], r["metadata"]["tag"]) for r in PyZurAD(store).query({})]
    assert rows == [(i, f"{'t' if i % 2 else 'u'}{i % 7}") for i in good]  # each once, in file order, typed alike
