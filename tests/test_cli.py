"""The `orbisk` command as a user meets it: errors as one line on stderr
with a non-zero status, and the progress bar in a real terminal."""

import os
import re
import shutil
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
        assert lines == ([line] if line else []), r.stderr
    if "missing.db" in args:
        assert sorted(os.listdir(d)) == before  # a read command never creates a store
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


def test_progress_bar_moves_and_finishes_in_a_terminal(tmp_path):
    if not shutil.which("tmux"):
        pytest.fail("tmux is not installed: run the suite through scripts/test.sh")
    rows = ["latitude,longitude,name,rank"] + [
        f"{(i * 7919) % 17999 / 100 - 90:.5f},{(i * 104729) % 35999 / 100 - 180:.5f},place {i},{i}"
        for i in range(400_000)
    ]
    (tmp_path / "big.csv").write_text("\n".join(rows) + "\n")
    session = f"orbisk-{uuid.uuid4().hex[:8]}"
    log = tmp_path / "pane.log"
    command = f"{sys.executable} -m orbisk_cli import {tmp_path / 's.db'} {tmp_path / 'big.csv'}; echo EXIT=$?"
    subprocess.run(["tmux", "new-session", "-d", "-s", session, "-x", "120", "-y", "20", "bash", "--norc"], check=True)
    try:
        subprocess.run(["tmux", "pipe-pane", "-t", session, "-o", f"cat >> {log}"], check=True)
        subprocess.run(["tmux", "send-keys", "-t", session, command, "Enter"], check=True)
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
    assert "imported 400,000 points from" in screen
    frames = re.findall(
        r"\r(big\.csv \[[#-]+\]\s+(\d+\.\d)%\s+[\d,]+ points\s+[\d.]+[kM]? pts/s[^\r\n]*)",
        log.read_bytes().decode("utf-8", "replace"),
    )
    shares = [float(share) for _, share in frames]
    assert len(shares) >= 2 and shares[0] < 100.0 and shares[-1] == 100.0, frames
    assert shares == sorted(shares)
    assert any("ETA " in frame for frame, _ in frames[:-1])
    # the finished bar stays on the screen above the summary
    assert re.search(r"big\.csv \[#+\] 100\.0%\s+400,000 points", screen)


def test_no_progress_bar_without_a_terminal(tmp_path):
    (tmp_path / "p.csv").write_text(GOOD_CSV)
    r = run("import", "s.db", "p.csv", cwd=tmp_path)
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout.startswith("imported 2 points from p.csv in ")
