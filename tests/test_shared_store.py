"""Several handles on one store, in one process or in several, behave as one
store: random writes through each handle, checked after every step against an
in-memory model through every handle (and a reader process), then once more
after all are closed and the store is opened again."""

import json
import math
import random
import struct
import subprocess
import sys
import threading

import pytest
from orbisk import PyZurAD
from storefiles import read, sibling, write

WORLD = (-90.0, -180.0, 90.0, 180.0)
GROUPS = 4


class Model:
    """The store as a list of slots (None for a tombstone); compaction renumbers the survivors."""

    def __init__(self):
        self.slots = []

    def insert(self, point):
        self.slots.append(point)
        return len(self.slots) - 1

    def delete(self, ns):
        hit = 0
        for i, p in enumerate(self.slots):
            if p and p[2]["n"] in ns:
                self.slots[i] = None
                hit += 1
        return hit

    def compact(self):
        reclaimed = self.slots.count(None)
        if reclaimed:
            self.slots = [p for p in self.slots if p]
        return reclaimed

    def rows(self, pred=lambda p: True):
        return [(i, p[0], p[1], p[2]) for i, p in enumerate(self.slots) if p and pred(p)]

    def stats(self):
        return (len(self.slots), sum(1 for p in self.slots if p))

    def live_ns(self):
        return [p[2]["n"] for p in self.slots if p]


def as_rows(rows):
    return sorted((r["id"], r["latitude"], r["longitude"], r["metadata"]) for r in rows)


SERVER = """
import json, sys
sys.path[:0] = {paths!r}
from orbisk import PyZurAD
db = PyZurAD(sys.argv[1], capacity=16, wal_sync_interval_ms=1000)
print(json.dumps("ready"), flush=True)
for line in sys.stdin:
    name, args = json.loads(line)
    if name == "insert_batch":
        args = [[tuple(p) for p in args[0]]]
    try:
        out = getattr(db, name)(*args)
    except Exception as e:
        out = {{"error": type(e).__name__, "text": str(e)}}
    print(json.dumps(out), flush=True)
"""


class Remote:
    """A handle that lives in a process of its own, called method by method."""

    def __init__(self, path):
        self.proc = subprocess.Popen(
            [sys.executable, "-c", SERVER.format(paths=sys.path), path],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        assert self._reply() == "ready"

    def _reply(self):
        line = self.proc.stdout.readline()
        assert line, "the handle's process died"
        out = json.loads(line)
        if isinstance(out, dict) and "error" in out:
            raise RuntimeError(out)
        return out

    def __getattr__(self, name):
        def call(*args):
            self.proc.stdin.write(json.dumps([name, args]) + "\n")
            self.proc.stdin.flush()
            out = self._reply()
            if name == "insert_batch":  # tuples came back as lists
                return out
            return tuple(out) if name == "slot_stats" else out

        return call

    def close(self):
        self.proc.stdin.close()
        assert self.proc.wait(timeout=60) == 0


def insert_batch(handle, points):
    if isinstance(handle, Remote):
        return handle.insert_batch([list(p) for p in points])
    return handle.insert_batch(points)


def check_view(handle, model, rng):
    """Every kind of read through `handle` agrees with the model."""
    assert tuple(handle.slot_stats()) == model.stats()
    assert handle.len() == model.stats()[1]
    assert as_rows(handle.query({})) == model.rows()
    assert as_rows(handle.query_bbox(*WORLD)) == model.rows()
    g = rng.randrange(GROUPS)
    in_group = lambda p: p[2]["g"] == g
    assert as_rows(handle.query({"g": g})) == model.rows(in_group)
    assert as_rows(handle.query_bbox(-10.0, -10.0, 10.0, 10.0, {"g": g})) == model.rows(
        lambda p: in_group(p) and -10 <= p[0] <= 10 and -10 <= p[1] <= 10
    )
    assert as_rows(handle.query_radius(0.0, 0.0, 800000.0)) == model.rows(lambda p: haversine(p[0], p[1]) <= 800000.0)
    assert handle.exists({"g": g}) == bool(model.rows(in_group))


def haversine(lat, lon):
    # Points are kept far from the circle's edge, so float details do not matter.
    a = math.sin(math.radians(lat) / 2) ** 2 + math.cos(math.radians(lat)) * math.sin(math.radians(lon) / 2) ** 2
    return 2 * 6371000.0 * math.asin(math.sqrt(a))


def new_point(rng, n, who):
    # Away from the check circle's edge (about 7.19 degrees at the equator).
    while True:
        lat, lon = round(rng.uniform(-20, 20), 3), round(rng.uniform(-20, 20), 3)
        if abs(haversine(lat, lon) - 800000.0) > 2000.0:
            return (lat, lon, {"n": n, "g": rng.randrange(GROUPS), "who": who})


def run_scenario(writers, readers, steps, seed, compactions=True):
    rng = random.Random(seed)
    model = Model()
    n = 0
    ids_seen = set()
    generation = 0
    for step in range(steps):
        who = rng.randrange(len(writers))
        w = writers[who]
        op = rng.random()
        if op < 0.35:
            p = new_point(rng, n, who)
            n += 1
            got = w.insert(*p)
            assert got == model.insert(p)
            assert (generation, got) not in ids_seen, "slot id handed out twice"
            ids_seen.add((generation, got))
        elif op < 0.55:
            pts = [new_point(rng, n + k, who) for k in range(rng.randint(1, 40))]
            n += len(pts)
            got = insert_batch(w, pts)
            assert got == [model.insert(p) for p in pts]
            assert not ids_seen & {(generation, i) for i in got}, "slot id handed out twice"
            ids_seen |= {(generation, i) for i in got}
        elif op < 0.75:
            live = model.live_ns()
            doomed = rng.sample(live, min(len(live), rng.randint(1, 6))) + [n + 1000]  # one that never existed
            assert w.delete_by_metadata({"n": {"$in": doomed}}) == model.delete(set(doomed))
        elif op < 0.8 and compactions:
            assert w.compact() == model.compact()
            generation += 1
        elif op < 0.85:
            w.flush()
        else:
            check_view(rng.choice(writers + readers), model, rng)
        # The others see every acknowledged write on their next call.
        if readers and step % 3 == 0:
            check_view(rng.choice(readers), model, rng)
    for h in writers + readers:
        check_view(h, model, rng)
    return model


def test_two_handles_in_one_process_act_as_one_store(store_path):
    a, b = PyZurAD(store_path), PyZurAD(store_path, wal_sync_interval_ms=1000)
    model = run_scenario([a, b], [], 500, seed=91)
    # One compacts under the other, which then writes into the new generation.
    assert b.compact() == model.compact()
    a.delete_by_metadata({"n": {"$in": model.live_ns()[:3]}})
    model.delete(set(model.live_ns()[:3]))
    assert a.compact() == model.compact() == 3
    p = (1.5, 2.5, {"n": -1, "g": 0, "who": 1})
    assert b.insert(*p) == model.insert(p)
    check_view(a, model, random.Random(1))
    del a, b
    check_view(PyZurAD(store_path), model, random.Random(2))


def test_processes_writing_in_turn_lose_nothing_and_reuse_no_id(store_path):
    procs = [Remote(store_path) for _ in range(3)]
    try:
        model = run_scenario(procs[:2], procs[2:], 360, seed=7)
    finally:
        for p in procs:
            p.close()
    check_view(PyZurAD(store_path), model, random.Random(3))


def test_a_reader_follows_a_writer_through_many_checkpoints(store_path):
    """Single inserts checkpoint every 10000th slot and batches every time: the
    reader catches up across checkpoints, log resets and file growth."""
    writer = Remote(store_path)
    reader = PyZurAD(store_path)
    rng = random.Random(5)
    model = Model()
    try:
        n = 0
        for rnd in range(6):
            pts = [new_point(rng, n + k, 0) for k in range(rng.choice([1, 3000, 12000]))]
            n += len(pts)
            assert insert_batch(writer, pts) == [model.insert(p) for p in pts]
            for _ in range(rng.randint(0, 3)):
                p = new_point(rng, n, 0)
                n += 1
                assert writer.insert(*p) == model.insert(p)
            check_view(reader, model, rng)
    finally:
        writer.close()


def bump_counter(store_path, step):
    lock = sibling(store_path, "lock")
    data = read(lock)
    (value,) = struct.unpack_from("<Q", data.ljust(8, b"\0"))
    write(lock, struct.pack("<Q", (value + step) % 2**64) + data[8:])


def flip_committed_coords(store_path):
    path = sibling(store_path, "coords.mmap")
    data = bytearray(read(path))
    data[64 + 3] ^= 0x10
    write(path, bytes(data))


def garble_manifest(store_path):
    path = sibling(store_path, "commit")
    data = bytearray(read(path))
    data[20] ^= 1
    write(path, bytes(data))


@pytest.mark.parametrize(
    "corrupt, step, refusal",
    [
        (
            garble_manifest,
            1,
            "Orbisk CRITICAL: refusing to open, commit manifest is corrupt: "
            "commit manifest self-CRC mismatch (manifest corrupted) (",
        ),
        (garble_manifest, 1 << 32, "Orbisk CRITICAL: refusing to open, commit manifest is corrupt: "),
        (
            flip_committed_coords,
            1 << 32,
            "Orbisk CRITICAL: refusing to open corrupted database (1 issue(s)): coords.mmap: CRC mismatch",
        ),
    ],
)
def test_a_handle_that_finds_the_store_corrupt_refuses_every_later_call(store_path, corrupt, step, refusal):
    db = PyZurAD(store_path)
    db.insert_batch([(float(i), float(i), {"i": i}) for i in range(10)])
    # Another handle of the store changed it, and the store is damaged since.
    corrupt(store_path)
    bump_counter(store_path, step)
    calls = [
        lambda: db.len(),
        lambda: db.query({}),
        lambda: db.insert(1.0, 1.0, {}),
        lambda: db.flush(),
        lambda: db.query_bbox(*WORLD),
        lambda: db.slot_stats(),
        lambda: db.compact(),
        lambda: db.delete_by_metadata({}),
        lambda: db.verify_integrity(),
    ]
    for call in calls:
        with pytest.raises(RuntimeError) as e:
            call()
        assert str(e.value).startswith(refusal)
    with pytest.raises(OSError) as e:
        PyZurAD(store_path)
    assert str(e.value).startswith(refusal)


def test_threads_sharing_one_handle_see_some_moment_of_the_store(store_path):
    """Inserts, batches, deletes, every query and compactions from several
    threads: each query's answer lies between the store as it was when the
    query started and as it was when it ended."""
    db = PyZurAD(store_path, wal_sync_interval_ms=1000)
    other = PyZurAD(store_path)  # a second handle that writes now and then
    clock = iter(range(10**9))
    clock_lock = threading.Lock()

    def tick():
        with clock_lock:
            return next(clock)

    def note(table, items):
        # Queries copy the tables while other threads write them: one lock for both.
        with clock_lock:
            table.update(items)

    points = {}  # n -> (lat, lon, meta)
    ins = {}  # n -> (start, ack)
    dels = {}  # n -> (start, ack)
    failures = []

    def check(start, end, found, pred=lambda p: True, exact=True):
        ns = [r["metadata"]["n"] for r in found]
        assert len(ns) == len(set(ns)), "a point twice"
        assert len({r["id"] for r in found}) == len(found), "an id twice"
        for r in found:
            k = r["metadata"]["n"]
            assert (r["latitude"], r["longitude"], r["metadata"]) == points[k]
            assert ins[k][0] < end, "a point before its insert"
            assert not (k in dels and dels[k][1] < start), "a deleted point"
        if exact:
            with clock_lock:
                inserted = list(ins.items())
            for k, (_, ack) in inserted:
                if ack < start and not (k in dels and dels[k][0] < end) and pred(points[k]):
                    assert k in ns, "an acknowledged point missing"

    def worker(t, handle, count):
        rng = random.Random(1000 + t)
        mine = []
        try:
            for i in range(count):
                op = rng.random()
                if op < 0.3:
                    k = t * 10**6 + i
                    p = (rng.uniform(-60, 60), rng.uniform(-170, 170), {"n": k, "g": rng.randrange(GROUPS)})
                    points[k] = p
                    s = tick()
                    note(ins, {k: (s, 10**9)})
                    handle.insert(*p)
                    note(ins, {k: (s, tick())})
                    mine.append(k)
                elif op < 0.4:
                    batch = []
                    for j in range(rng.randint(2, 30)):
                        k = t * 10**6 + i * 100 + 500000 + j
                        batch.append(
                            (rng.uniform(-60, 60), rng.uniform(-170, 170), {"n": k, "g": rng.randrange(GROUPS)})
                        )
                        points[k] = batch[-1]
                    s = tick()
                    note(ins, {p[2]["n"]: (s, 10**9) for p in batch})
                    handle.insert_batch(batch)
                    note(ins, {p[2]["n"]: (s, tick()) for p in batch})
                    mine += [p[2]["n"] for p in batch]
                elif op < 0.5 and mine:
                    doomed = [mine.pop(rng.randrange(len(mine))) for _ in range(min(len(mine), rng.randint(1, 3)))]
                    s = tick()
                    note(dels, {k: (s, 10**9) for k in doomed})
                    assert handle.delete_by_metadata({"n": {"$in": doomed}}) == len(doomed)
                    a = tick()
                    note(dels, {k: (s, a) for k in doomed})
                elif op < 0.505:
                    handle.compact()
                else:
                    kind = rng.randrange(6)
                    g = rng.randrange(GROUPS)
                    s = tick()
                    if kind == 0:
                        found = handle.query({})
                    elif kind == 1:
                        found = handle.query_bbox(*WORLD)
                    elif kind == 2:
                        found = handle.query_polygon([(-180, -90), (180, -90), (180, 90), (-180, 90)])
                    elif kind == 3:
                        found = handle.query({"g": g})
                    elif kind == 4:
                        found = handle.query_bbox(*WORLD, {"g": g})
                    else:
                        found = handle.query_radius(0.0, 0.0, 3.0e6, {"g": g})
                    e = tick()
                    check(s, e, found, lambda p: p[2]["g"] == g if kind >= 3 else True, exact=kind != 5)
        except BaseException as e:  # reported by the main thread
            failures.append(e)

    threads = [threading.Thread(target=worker, args=(t, db, 400)) for t in range(4)]
    threads.append(threading.Thread(target=worker, args=(4, other, 150)))
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=600)
    assert not any(t.is_alive() for t in threads), "a thread hangs"
    if failures:
        raise failures[0]
    alive = {k for k in ins if k not in dels}
    del db, other
    final = PyZurAD(store_path).query({})
    assert sorted(r["metadata"]["n"] for r in final) == sorted(alive)


def test_a_tombstone_written_under_a_handle_hides_the_point_from_every_read(store_path):
    """Another handle's delete may reach the coordinates before this handle
    hears of it: a slot whose stored coordinates are NaN is never served."""
    db = PyZurAD(store_path)
    db.insert_batch([(float(i), float(i), {"i": i, "g": i % 2}) for i in range(6)])
    db.query({"g": 1})  # the value index is built and lists slot 3
    path = sibling(store_path, "coords.mmap")
    with open(path, "r+b") as f:  # both fields, then only one: either is a tombstone
        f.seek(64 + 16 * 3)
        f.write(struct.pack("<Q", 0x7FF8000000000000) * 2)
        f.seek(64 + 16 * 4 + 8)
        f.write(struct.pack("<Q", 0x7FF8000000000000))
    square = [(-1.0, -1.0), (10.0, -1.0), (10.0, 10.0), (-1.0, 10.0)]
    for found in (
        db.query({}),
        db.query({"g": 1}),
        db.query_bbox(*WORLD),
        db.query_bbox(*WORLD, {"g": 1}),
        db.query_radius(0.0, 0.0, 2.0e6),
        db.query_polygon(square),
        db.query({"i": {"$gte": 0}}, limit=6),
    ):
        assert {r["metadata"]["i"] for r in found} <= {0, 1, 2, 5}
    assert {r["metadata"]["i"] for r in db.query({})} == {0, 1, 2, 5}
    assert not db.exists({"i": 3})
