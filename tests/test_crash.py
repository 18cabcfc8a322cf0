"""Crash safety, for real: a child process writes (and deletes, and compacts)
and is killed; every write it saw acknowledged must be in the store when it is
opened again, and every delete it saw acknowledged must be done."""

import json
import random
import signal
import struct
import subprocess
import sys
import textwrap
import time

from orbisk import PyZurAD

CHILD = """
import json, sys
sys.path[:0] = {paths!r}
from orbisk import PyZurAD
path, rnd, mode, seed = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4])
import random
rng = random.Random(seed)
interval = 0 if mode == "single-sync" else 50
db = PyZurAD(path, capacity=64, wal_sync_interval_ms=interval)
print("ready", flush=True)
i = 0
while True:
    if mode == "batch":
        n = rng.randint(1, 3000)
        pts = [point(rnd, i + k) for k in range(n)]
        ids = db.insert_batch(pts)
        print(json.dumps([[rnd, i + k, s] for k, s in enumerate(ids)]), flush=True)
        i += n
    else:
        s = db.insert(*point(rnd, i))
        print(json.dumps([[rnd, i, s]]), flush=True)
        i += 1
    if i >= {limit}:
        {finish}
"""

POINT = """
def point(rnd, i):
    lat = ((i * 7919) % 18000) / 100.0 - 90.0
    lon = ((i * 104729) % 36000) / 100.0 - 180.0
    return (lat, lon, {"r": rnd, "i": i, "tag": "p" * (i % 40), "f": i / 7, "nested": {"b": [i, None], "a": True}})
"""


def child_script(limit, finish):
    return POINT + textwrap.dedent(CHILD).format(paths=sys.path, limit=limit, finish=finish)


exec(POINT)  # the parent computes the same points


def stored_points(path):
    """{(round, i): (slot, lat, lon, metadata)} read from the files of a closed store."""
    base = path[: -len(".db")]
    manifest = open(base + ".commit", "rb").read()
    next_slot, _wal_seq, _gen, _cb, _cc, meta_bytes = struct.unpack_from("<QQQQIQ", manifest, 8)
    coords = open(base + ".coords.mmap", "rb").read()
    text = open(base + ".metadata.mmap", "rb").read()[64 : 64 + meta_bytes].decode()
    decoder = json.JSONDecoder()
    out, pos = {}, 0
    for slot in range(next_slot):
        meta, pos = decoder.raw_decode(text, pos)
        lat, lon = struct.unpack_from("<dd", coords, 64 + 16 * slot)
        key = (meta["r"], meta["i"])
        assert key not in out, f"point {key} stored twice"
        out[key] = (slot, lat, lon, meta)
    assert pos == len(text)
    return out


def check_acknowledged(path, acked):
    db = PyZurAD(path)  # reopens without refusal, replays and checkpoints
    count = db.len()
    del db
    stored = stored_points(path)
    assert count == len(stored)
    for rnd, i, slot in acked:
        lat, lon, meta = point(rnd, i)  # noqa: F821
        assert stored[(rnd, i)] == (slot, lat, lon, meta)
    return stored


def test_killed_writers_lose_no_acknowledged_point(tmp_path):
    path = str(tmp_path / "geo.db")
    rng = random.Random(20261208)
    script = child_script(10**9, "pass")
    acked = []
    modes = ["single-sync", "single-interval", "batch"]
    for rnd in range(9):
        mode = modes[rnd % 3]
        proc = subprocess.Popen(
            [sys.executable, "-c", script, path, str(rnd), mode, str(rng.randrange(10**6))],
            stdout=subprocess.PIPE,
            text=True,
        )
        assert proc.stdout.readline().strip() == "ready"
        time.sleep(rng.uniform(0.02, 0.4))
        proc.send_signal(signal.SIGKILL)
        out, _ = proc.communicate()
        lines = out.splitlines()
        # A line cut by the kill was never a complete acknowledgement.
        for line in lines:
            try:
                acked.extend(json.loads(line))
            except json.JSONDecodeError:
                pass
        stored = check_acknowledged(path, acked)
        assert len(stored) >= len(acked)
    assert len(acked) > 100


def test_exit_without_destructors_loses_nothing(tmp_path):
    path = str(tmp_path / "geo.db")
    acked = []
    for rnd, mode in enumerate(["single-interval", "batch"]):
        script = child_script(500 if mode != "batch" else 5000, "os._exit(0)").replace(
            "import json, sys", "import json, os, sys"
        )
        out = subprocess.run(
            [sys.executable, "-c", script, path, str(rnd), mode, "1"], capture_output=True, text=True, timeout=60
        )
        assert out.returncode == 0, out.stderr
        acked += [a for line in out.stdout.splitlines()[1:] for a in json.loads(line)]
    assert len(acked) >= 5500
    assert len(check_acknowledged(path, acked)) == len(acked)


DELETER = """
import json, random, sys
sys.path[:0] = {paths!r}
from orbisk import PyZurAD
path, rnd, seed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rng = random.Random(seed)
db = PyZurAD(path, capacity=64, wal_sync_interval_ms=rng.choice([0, 50]))
live = {{}}
for row in db.query({{}}):
    live.setdefault(row["metadata"]["r"], []).append(row["metadata"]["i"])
print("ready", flush=True)


def say(**what):
    print(json.dumps(what), flush=True)


i = 0
while True:
    x = rng.random()
    if x < 0.45 or not live:
        n = rng.choice([1, 1, rng.randint(2, 400)])
        say(inserting=[rnd, i, n])
        points = [point(rnd, i + k) for k in range(n)]
        ids = db.insert_batch(points) if n > 1 else [db.insert(*points[0])]
        say(inserted=[rnd, i, n])
        live.setdefault(rnd, []).extend(range(i, i + n))
        i += n
    elif x < 0.92:
        r = rng.choice(sorted(live))
        doomed = rng.sample(live[r], min(len(live[r]), rng.randint(1, 300)))
        say(deleting=[r, doomed])
        n = db.delete_by_metadata({{"r": r, "i": {{"$in": doomed}}}})
        say(deleted=[r, doomed], n=n)
        gone = set(doomed)
        live[r] = [k for k in live[r] if k not in gone]
        if not live[r]:
            del live[r]
    else:
        say(compacting=True)
        say(compacted=db.compact())
"""


def test_killed_deleters_lose_no_acknowledged_write_and_undo_no_acknowledged_delete(tmp_path):
    path = str(tmp_path / "geo.db")
    rng = random.Random(20260704)
    script = POINT + textwrap.dedent(DELETER).format(paths=sys.path)
    stored = set()  # (round, i) of every point known to be stored and not deleted
    counts = {"deleted": 0, "compacted": 0, "cut short": 0}
    # At least 24 rounds, and more while the children (slow on a loaded machine) have not yet
    # deleted and compacted often enough for the kills to land in those steps.
    for rnd in range(400):
        if rnd >= 24 and counts["deleted"] > 100 and counts["compacted"] > 5:
            break
        proc = subprocess.Popen(
            [sys.executable, "-c", script, path, str(rnd), str(rng.randrange(10**6))], stdout=subprocess.PIPE, text=True
        )
        assert proc.stdout.readline().strip() == "ready"
        time.sleep(rng.uniform(0.05, 0.6))
        proc.send_signal(signal.SIGKILL)
        out, _ = proc.communicate()
        events = []
        for line in out.splitlines():
            try:
                events.append(json.loads(line))
            except json.JSONDecodeError:  # cut by the kill: never a complete acknowledgement
                pass
        in_flight = None
        for e in events:
            if "inserted" in e:
                r, i, n = e["inserted"]
                stored.update((r, i + k) for k in range(n))
            elif "deleted" in e:
                r, doomed = e["deleted"]
                assert e["n"] == len(doomed)
                stored.difference_update((r, i) for i in doomed)
                counts["deleted"] += 1
            elif "compacted" in e:
                counts["compacted"] += 1
            in_flight = None if any(k in e for k in ("inserted", "deleted", "compacted")) else e

        db = PyZurAD(path)  # never refused
        rows = db.query({})
        assert db.verify_integrity() == {"ok": True, "errors": []}
        del db
        found = [(row["metadata"]["r"], row["metadata"]["i"]) for row in rows]
        assert found == sorted(found), "points out of insertion order"
        assert [row["id"] for row in rows] == sorted(row["id"] for row in rows)
        for row, (r, i) in zip(rows, found):
            lat, lon, meta = point(r, i)  # noqa: F821
            assert (row["latitude"], row["longitude"], row["metadata"]) == (lat, lon, meta)
        # The step the child was killed in: a delete happened entirely or not at all; of the
        # points being inserted, the log may already have held a leading part.
        extra = set(found) - stored
        if in_flight and "inserting" in in_flight:
            r, i, n = in_flight["inserting"]
            assert sorted(extra) == [(r, i + k) for k in range(len(extra))] and len(extra) <= n
            stored |= extra
        elif in_flight and "deleting" in in_flight:
            r, doomed = in_flight["deleting"]
            gone = {(r, i) for i in doomed} - set(found)
            assert gone in (set(), {(r, i) for i in doomed}), "a delete was applied in part"
            stored -= gone
            counts["cut short"] += bool(gone)
        assert set(found) == stored
    assert counts["deleted"] > 100 and counts["compacted"] > 5, counts
