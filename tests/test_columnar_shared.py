"""The companion handle beside PyZurAD handles, for real: both write and read
one store in one process and across processes, checked against an in-memory
model after every step; read-only handles on read-only mounts change no byte;
appends killed at random moments leave all of their points or none."""

import hashlib
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import time

import pyarrow as pa
import pytest
from orbisk import PyZurAD
from test_shared_store import Model, Remote, new_point

from orbisk_columnar import ColumnarStore

WORLD = (-90.0, -180.0, 90.0, 180.0)


def as_rows(rows):
    return sorted((r["id"], r["latitude"], r["longitude"], r["metadata"]) for r in rows)


def table_rows(result):
    """(id, lat, lon, metadata) of an Arrow result whose metadata columns are n, g and who."""
    t = pa.table(result)
    cols = [c for c in ("n", "g", "who") if c in t.column_names]
    out = []
    for r in t.to_pylist():
        out.append((r["id"], r["latitude"], r["longitude"], {c: r[c] for c in cols if r[c] is not None}))
    return sorted(out)


def check_columnar(store, model, rng):
    live = model.stats()[1]
    assert len(store) == live
    assert as_rows(store.rows()) == model.rows()
    assert table_rows(store.to_arrow(batch_size=rng.choice([7, 1000]))) == model.rows()
    g = rng.randrange(4)
    assert table_rows(store.to_arrow(filter={"g": g})) == model.rows(lambda p: p[2]["g"] == g)
    assert as_rows(store.rows(bbox=(-10.0, -10.0, 10.0, 10.0))) == model.rows(
        lambda p: -10 <= p[0] <= 10 and -10 <= p[1] <= 10
    )


def points_table(points):
    return pa.table(
        {
            "latitude": [p[0] for p in points],
            "longitude": [p[1] for p in points],
            "n": [p[2]["n"] for p in points],
            "g": [p[2]["g"] for p in points],
            "who": [p[2]["who"] for p in points],
        }
    )


def run_mixed(pyz, columnar, readers, steps, seed):
    rng = random.Random(seed)
    model = Model()
    n = 0
    for step in range(steps):
        op = rng.random()
        if op < 0.25:
            p = new_point(rng, n, 0)
            n += 1
            assert pyz.insert(*p) == model.insert(p)
        elif op < 0.4:
            pts = [new_point(rng, n + k, 0) for k in range(rng.randint(1, 30))]
            n += len(pts)
            got = pyz.insert_batch([list(p) for p in pts] if isinstance(pyz, Remote) else pts)
            assert got == [model.insert(p) for p in pts]
        elif op < 0.6:
            pts = [new_point(rng, n + k, 1) for k in range(rng.randint(1, 300))]
            n += len(pts)
            ids = [model.insert(p) for p in pts]
            assert columnar.append(points_table(pts)) == range(ids[0], ids[-1] + 1)
        elif op < 0.72:
            live = model.live_ns()
            doomed = rng.sample(live, min(len(live), rng.randint(1, 8)))
            assert pyz.delete_by_metadata({"n": {"$in": doomed}}) == model.delete(set(doomed))
        elif op < 0.77:
            assert pyz.compact() == model.compact()
        elif op < 0.82:
            pyz.flush()
        else:
            h = rng.choice([columnar, *readers])
            check_columnar(h, model, rng)
        if step % 4 == 0:
            check_columnar(rng.choice(readers), model, rng)
    for h in [columnar, *readers]:
        check_columnar(h, model, rng)
    return model


def test_pyzurad_and_columnar_handles_in_one_process_act_as_one_store(store_path):
    pyz = PyZurAD(store_path, wal_sync_interval_ms=1000)
    columnar = ColumnarStore(store_path)
    reader = ColumnarStore(store_path, read_only=True)
    model = run_mixed(pyz, columnar, [reader], 300, seed=3)
    pyz.close() if hasattr(pyz, "close") else None
    del pyz
    columnar.close()
    reader.close()
    # Unflushed single inserts are in the log: a read-only handle replays them in memory.
    check_columnar(ColumnarStore(store_path, read_only=True), model, random.Random(1))
    assert as_rows(PyZurAD(store_path).query({})) == model.rows()


def test_pyzurad_in_another_process_and_columnar_handles_here_act_as_one_store(store_path):
    remote = Remote(store_path)
    try:
        model = run_mixed(remote, ColumnarStore(store_path), [ColumnarStore(store_path, read_only=True)], 200, seed=8)
    finally:
        remote.close()
    check_columnar(ColumnarStore(store_path, read_only=True), model, random.Random(2))


def digest(directory):
    out = {}
    for name in sorted(os.listdir(directory)):
        with open(os.path.join(directory, name), "rb") as f:
            out[name] = hashlib.sha256(f.read()).hexdigest()
    return out


READER = """
import hashlib, json, os, sys
sys.path[:0] = {paths!r}
from orbisk import PyZurAD
from orbisk_columnar import ColumnarStore
import pyarrow as pa
path = sys.argv[1]
d = os.path.dirname(path)
def digest():
    return {{n: hashlib.sha256(open(os.path.join(d, n), "rb").read()).hexdigest() for n in sorted(os.listdir(d))}}
before = digest()
out = {{"files": sorted(before)}}
for make in (lambda: PyZurAD(path), lambda: ColumnarStore(path)):
    try:
        make()
        out.setdefault("writers", []).append("opened")
    except OSError as e:
        out.setdefault("writers", []).append(str(e))
with ColumnarStore(path, read_only=True) as s:
    out["rows"] = sorted([r["id"], r["latitude"], r["longitude"], r["metadata"]] for r in s.rows())
    out["arrow_rows"] = pa.table(s.to_arrow()).num_rows
    out["len"] = len(s)
out["unchanged"] = digest() == before
print(json.dumps(out))
"""


@pytest.mark.parametrize("medium", ["bind", "tmpfs"])
def test_read_only_opening_on_read_only_media_replays_the_log_in_memory_and_changes_nothing(tmp_path, medium):
    if os.geteuid() != 0 or not shutil.which("unshare"):
        pytest.skip("needs root and unshare for a private mount namespace")
    src = tmp_path / "store"
    src.mkdir()
    path = str(src / "geo.db")
    db = PyZurAD(path, wal_sync_interval_ms=0)
    db.insert_batch([(float(i % 90), float(i % 180), {"i": i, "s": "é" * (i % 3)}) for i in range(5000)])
    db.delete_by_metadata({"i": {"$lt": 10}})
    for i in range(5000, 5040):  # logged, not checkpointed
        db.insert(-float(i % 90), 1.5, {"i": i})
    del db
    with open(src / "geo.wal", "ab") as f:
        f.write(b"OWR2\x10")  # a torn record after the good ones
    if medium == "tmpfs":
        os.remove(src / "geo.lock")  # read-only media may lack the lock file too
    before = digest(src)
    # What a writer's open serves, from a copy (a writer's open checkpoints the replay).
    copy = tmp_path / "copy"
    shutil.copytree(src, copy)
    want = sorted(
        [r["id"], r["latitude"], r["longitude"], r["metadata"]] for r in PyZurAD(str(copy / "geo.db")).query({})
    )
    mnt = tmp_path / "mnt"
    mnt.mkdir()
    script = tmp_path / "reader.py"
    script.write_text(READER.format(paths=sys.path))
    if medium == "bind":
        setup = f"mount --bind {src} {mnt} && mount -o remount,bind,ro {mnt}"
    else:
        setup = f"mount -t tmpfs none {mnt} && cp -a {src}/. {mnt}/ && mount -o remount,ro {mnt}"
    r = subprocess.run(
        ["unshare", "-m", "sh", "-c", f"{setup} && {sys.executable} {script} {mnt}/geo.db"],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert r.returncode == 0, r.stderr
    out = json.loads(r.stdout)
    assert out["writers"] == ["Read-only file system (os error 30)"] * 2
    assert out["rows"] == want and out["arrow_rows"] == out["len"] == len(want) == 5030
    assert out["unchanged"]
    assert digest(src) == before


WRITER = """
import json, sys
sys.path[:0] = {paths!r}
import pyarrow as pa
from orbisk_columnar import ColumnarStore
path, seed = sys.argv[1], int(sys.argv[2])
import random
rng = random.Random(seed)
s = ColumnarStore(path, wal_sync_interval_ms=0)
print("ready", flush=True)
b = seed * 1000000
while True:
    k = rng.choice([1, 50, 3000, 30000])
    t = pa.table({{"latitude": [rng.uniform(-80, 80) for _ in range(k)], "longitude": [1.0] * k,
                   "b": [b] * k, "k": list(range(k))}})
    print(json.dumps(["start", b, k]), flush=True)
    ids = s.append(t)
    print(json.dumps(["done", b, ids.start, ids.stop]), flush=True)
    b += 1
"""


def test_appends_killed_at_random_moments_leave_all_of_their_points_or_none(store_path, tmp_path):
    script = tmp_path / "writer.py"
    script.write_text(WRITER.format(paths=sys.path))
    rng = random.Random(17)
    started = {}  # batch -> size
    done = {}  # batch -> first id
    for rnd in range(6):
        proc = subprocess.Popen([sys.executable, str(script), store_path, str(rnd)], stdout=subprocess.PIPE, text=True)
        assert proc.stdout.readline().strip() == "ready"
        time.sleep(rng.uniform(0.05, 1.5))
        proc.send_signal(signal.SIGKILL)
        proc.wait()
        for line in proc.stdout.read().splitlines():
            ev = json.loads(line)
            if ev[0] == "start":
                started[ev[1]] = ev[2]
            else:
                done[ev[1]] = ev[2]
        found = {}
        for r in PyZurAD(store_path).query({}):
            found.setdefault(r["metadata"]["b"], []).append(r)
        assert set(found) <= set(started)
        for b, k in started.items():
            ids = sorted(r["id"] for r in found.get(b, []))
            if b in done:
                assert ids == list(range(done[b], done[b] + k)), "an acknowledged append lost points"
            else:
                assert len(ids) in (0, k), "a killed append left part of its points"
