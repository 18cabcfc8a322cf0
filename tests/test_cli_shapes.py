"""`orbisk query --polygon` with holes and several parts, and `orbisk nearest`, as a user runs them:
the points found are checked against the shapes drawn here and against the companion's search,
and refusals are one line on stderr."""

import csv
import io
import json
import os
import subprocess
import sys

import pytest
from orbisk import PyZurAD

from orbisk_columnar import ColumnarStore

ORBISK = [sys.executable, "-m", "orbisk_cli"]


def run(*args, cwd):
    return subprocess.run([*ORBISK, *args], cwd=cwd, capture_output=True, text=True, timeout=120)


def square(x0, y0, x1, y1):
    return [[x0, y0], [x1, y0], [x1, y1], [x0, y1], [x0, y0]]


@pytest.fixture(scope="module")
def grid_store(tmp_path_factory):
    """Points on the integer grid of (-10..30) x (-10..30), so that many lie on rings' edges."""
    d = tmp_path_factory.mktemp("shapes")
    points = [
        (float(y), float(x), {"i": i, "open": i % 3 == 0})
        for i, (x, y) in enumerate((x, y) for x in range(-10, 31) for y in range(-10, 31))
    ]
    PyZurAD(str(d / "s.db")).insert_batch(points)
    return d, points


def ids_of_features(text):
    return sorted(json.loads(line)["id"] for line in text.splitlines())


def test_polygon_files_with_holes_and_parts(grid_store):
    d, points = grid_store
    lake = {"type": "Polygon", "coordinates": [square(0, 0, 10, 10), square(2, 2, 8, 8)[::-1]]}
    islands = {
        "type": "FeatureCollection",
        "features": [
            {"type": "Feature", "properties": {"name": "a"}, "geometry": lake},
            {
                "type": "Feature",
                "properties": {},
                "geometry": {
                    "type": "MultiPolygon",
                    "coordinates": [[square(20, 20, 25, 25)], [square(25, 20, 30, 25)]],
                },
            },
        ],
    }

    def in_lake(x, y):
        return 0 < x < 10 and 0 < y < 10 and not (2 <= x <= 8 and 2 <= y <= 8)

    def in_islands(x, y):
        return in_lake(x, y) or (20 < x < 30 and 20 < y < 25 and x != 25)

    for name, shape, inside in (("lake.geojson", lake, in_lake), ("islands.json", islands, in_islands)):
        (d / name).write_text(json.dumps(shape))
        r = run("query", "s.db", "--polygon", name, "--filter", '{"open": true}', "--format", "ndjson", cwd=d)
        assert r.returncode == 0, r.stderr
        want = sorted(i for i, (y, x, m) in enumerate(points) if inside(x, y) and m["open"])
        assert ids_of_features(r.stdout) == want and want

    bad = [
        (
            {"type": "Point", "coordinates": [0, 0]},
            "p.geojson holds a Point, not a GeoJSON Polygon or MultiPolygon (or a Feature or collection of them)",
        ),
        (
            {"type": "MultiPolygon", "coordinates": [[square(0, 0, 1, 1)], [[[0, 0], [1, 1], [0, 0]]]]},
            "p.geojson: polygon part 1, ring 0: a ring needs at least 3 distinct vertices, it has 2",
        ),
        (
            {"type": "Polygon", "coordinates": [[[0, 0], [1, 0], "x"]]},
            "p.geojson: polygon part 0, ring 0, vertex 2: a position is a [lon, lat] list, not a 'str'",
        ),
    ]
    for shape, message in bad:
        (d / "p.geojson").write_text(json.dumps(shape))
        r = run("export", "s.db", "--polygon", "p.geojson", cwd=d)
        assert (r.returncode, r.stderr) == (1, f"orbisk: {message}\n")


def test_nearest_prints_the_companions_answer_in_every_format(grid_store):
    d, points = grid_store
    want = ColumnarStore(str(d / "s.db"), read_only=True).nearest(4.2, 5.1, 7, {"open": True})
    ids = [r["id"] for r in want]

    r = run("nearest", "s.db", "4.2", "5.1", "-k", "7", "--filter", '{"open": true}', "--format", "csv", cwd=d)
    assert r.returncode == 0, r.stderr
    rows = list(csv.DictReader(io.StringIO(r.stdout)))
    assert [int(x["id"]) for x in rows] == ids
    assert [float(x["distance_m"]) for x in rows] == [w["distance_m"] for w in want]
    assert rows[0]["open"] == "true" and rows[0]["i"] == str(want[0]["metadata"]["i"])

    r = run("nearest", "s.db", "4.2", "5.1", "-k", "7", "--filter", '{"open": true}', "--format", "geojson", cwd=d)
    features = json.loads(r.stdout)["features"]
    assert [(f["id"], f["distance_m"], f["properties"]) for f in features] == [
        (w["id"], w["distance_m"], w["metadata"]) for w in want
    ]
    assert features[0]["geometry"] == {"type": "Point", "coordinates": [want[0]["longitude"], want[0]["latitude"]]}

    # A table, nearest first; --max-distance keeps a point exactly that far.
    r = run(
        "nearest",
        "s.db",
        "4.2",
        "5.1",
        "-k",
        "7",
        "--filter",
        '{"open": true}',
        "--max-distance",
        repr(want[2]["distance_m"]),
        cwd=d,
    )
    lines = r.stdout.splitlines()
    assert lines[0].split() == ["id", "distance_m", "latitude", "longitude", "metadata"]
    assert [int(line.split()[0]) for line in lines[1:-1]] == ids[:3] and lines[-1] == "(3 points)"

    refusals = [
        (["nearest", "s.db", "95", "0"], "orbisk: LAT 95 is outside [-90, 90] (latitude comes first)"),
        (
            ["nearest", "s.db", "0", "0", "--max-distance", "-1"],
            "orbisk: --max-distance takes a distance of 0 metres or more, not -1.0",
        ),
        (
            ["nearest", "s.db", "0", "0", "--filter", '{"a": {"$near": 1}}'],
            "orbisk: bad filter: Unknown operator: $near",
        ),
        (["nearest", "missing.db", "0", "0"], "orbisk: store missing.db does not exist"),
    ]
    for args, message in refusals:
        r = run(*args, cwd=d)
        assert (r.returncode, r.stderr) == (1, message + "\n")
    assert not os.path.exists(d / "missing.coords.mmap")
