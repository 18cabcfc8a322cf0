"""Deleting by metadata and compacting: a randomized run against a model of the store (metadata and
spatial queries on both routes), the files of each generation, argument errors, readers during
compaction, deletes cut short at open, and compactions whose system calls fail."""

import errno
import os
import random
import struct
import threading
import zlib

import orbisk
import pytest
from orbisk import PyZurAD
from storefiles import (
    data_files,
    delete_payload,
    header_count,
    log_record,
    parse_log,
    parse_manifest,
    read,
    sibling,
    write,
)
from test_geometry import closed, star
from test_query import Model, check, holds, make_filter, make_meta, read_back, render, same
from test_spatial import in_box, in_circle, in_polygon

NAN = struct.pack("<Q", 0x7FF8000000000000)


def rows_of(model):
    return [(i, lat, lon, read_back(meta)) for i, (lat, lon, meta) in sorted(model.points.items())]


def assert_store_is(db, model, next_slot):
    assert db.slot_stats() == (next_slot, len(model.points)) and db.len() == db.count() == len(model.points)
    rows = db.query({})
    assert [r["id"] for r in rows] == sorted(model.points)
    for r, (_, lat, lon, meta) in zip(rows, rows_of(model)):
        assert (r["latitude"], r["longitude"]) == (lat, lon) and same(r["metadata"], meta), r


def check_spatial(db, model, rng, kind):
    """A random box, circle or polygon, alone (grid route), with a single condition that few points
    meet (index route for a box or a circle) and with an $and (grid route, filtered)."""
    if kind == 0:
        lat = sorted(rng.uniform(-90, 90) for _ in range(2))
        lon = [rng.uniform(-180, 180) for _ in range(2)]  # min > max crosses the antimeridian
        shape, run = (lat[0], lon[0], lat[1], lon[1]), db.query_bbox
        inside = lambda lat, lon: in_box(shape, lat, lon)  # noqa: E731
    elif kind == 1:
        shape = (rng.uniform(-90, 90), rng.uniform(-180, 180), rng.choice([1e5, 1e6, 5e6]))
        run = db.query_radius
        inside = lambda lat, lon: in_circle(shape, lat, lon)  # noqa: E731
    else:
        ring = star(rng, rng.randint(3, 9), rng.uniform(-150, 150), rng.uniform(-60, 60), 5, 40)
        shape, run = (ring,), db.query_polygon
        inside = lambda lat, lon: in_polygon(closed(ring), lat, lon)  # noqa: E731
    verdicts = {i: inside(lat, lon) for i, (lat, lon, _) in model.points.items()}
    for node in (
        None,
        ("cmp", "a", "$eq", rng.choice([0, 1, 2, True, "1"])),
        ("and", [("cmp", "c", "$ne", "red"), ("cmp", "n", "$gte", 0)]),
    ):
        rows = run(*shape) if node is None else run(*shape, filter=render(node, rng))
        ids = sorted(r["id"] for r in rows)
        want = {i for i, v in verdicts.items() if v is not False and (node is None or holds(node, model.points[i][2]))}
        assert set(ids) <= want and len(ids) == len(set(ids)), (shape, node)
        assert not {i for i in want if verdicts[i]} - set(ids), (shape, node)
        for r in rows:
            lat, lon, meta = model.points[r["id"]]
            assert (r["latitude"], r["longitude"]) == (lat, lon) and same(r["metadata"], read_back(meta))


def doomed_filter(rng, model):
    """A delete's filter: mostly one that takes a modest share of the points, now and then any filter."""
    r = rng.random()
    if r < 0.03:
        return ("and", [])
    if r < 0.15:
        return make_filter(rng)
    if r < 0.4:
        keys = [f"id-{k}" for k in rng.sample(range(6000), 40)] + [m["u"] for _, _, m in model.points.values()][:3]
        return ("cmp", "u", "$in", keys)
    if r < 0.6:
        return ("cmp", "a", "$eq", rng.choice([0, 1, 2, 3, 4, 1.0, True, None, "1"]))
    if r < 0.8:
        return ("cmp", "n", rng.choice(["$lt", "$gte"]), rng.choice([-40, 45, 2**63]))
    return ("and", [("cmp", "c", "$eq", rng.choice(["red", "blue", ""])), ("cmp", "a", "$ne", 1)])


def test_random_writes_deletes_compactions_and_reopens_agree_with_a_model(store_path):
    rng = random.Random(8086)
    model, next_slot, key = Model(), 0, 0
    db = PyZurAD(store_path, capacity=16)

    def new_points(n):
        nonlocal key
        pts = [(rng.uniform(-90, 90), rng.uniform(-180, 180), make_meta(rng, key + i)) for i in range(n)]
        key += n
        return pts

    for step in range(160):
        r = rng.random()
        if r < 0.2:
            p = new_points(1)[0]
            assert db.insert(*p) == next_slot
            model.points[next_slot] = p
            next_slot += 1
        elif r < 0.35:
            # Now and then a first batch large enough to build the grid from itself.
            pts = new_points(rng.choice([0, 1, 40, 300, 1200 if next_slot == 0 else 700]))
            assert db.insert_batch(pts) == list(range(next_slot, next_slot + len(pts)))
            model.points.update(zip(range(next_slot, next_slot + len(pts)), pts))
            next_slot += len(pts)
        elif r < 0.6:
            node = doomed_filter(rng, model)
            doomed = model.matches(node)
            doc = render(node, rng)
            assert db.delete_by_metadata(doc) == len(doomed), doc
            for i in doomed:
                del model.points[i]
            if doomed and rng.random() < 0.3:
                assert db.delete_by_metadata(doc) == 0
        elif r < 0.75:
            assert db.compact() == next_slot - len(model.points)
            model.points = {j: p for j, (_, p) in enumerate(sorted(model.points.items()))}
            next_slot = len(model.points)
        elif r < 0.9:
            if rng.random() < 0.5:
                db.flush()
            del db
            db = PyZurAD(store_path, capacity=16)
        else:
            db.flush()
        assert_store_is(db, model, next_slot)
        for _ in range(2):
            check(db, model, make_filter(rng), rng, (1, 7))
        check_spatial(db, model, rng, step % 3)
    assert key > 3000
    assert db.verify_integrity() == {"ok": True, "errors": []}


# ---- the files of each generation ---------------------------------------------------------------


def area(path, n):
    return read(path)[64 : 64 + n]


def test_generations_hold_exactly_the_live_points_and_replace_each_other(store_path):
    db = PyZurAD(store_path, capacity=4)
    points = [(i + 0.5, -i - 0.25, {"i": i, "s": "x" * i}) for i in range(5)]
    assert db.insert_batch(points[:4]) == [0, 1, 2, 3] and db.insert(*points[4]) == 4
    log_before = read(sibling(store_path, "wal"))
    assert db.compact() == 0  # nothing to reclaim: a checkpoint and no new generation
    assert read(sibling(store_path, "wal")) == b"" and log_before != b""
    files = ("commit", "coords.mmap", "lock", "metadata.mmap", "wal")
    assert sorted(os.listdir(os.path.dirname(store_path))) == ["geo." + f for f in files]
    assert db.delete_by_metadata({"i": {"$in": [1, 3]}}) == 2
    assert db.compact() == 2

    def expect(generation, live):
        coords, meta = data_files(store_path)
        texts = b"".join(b'{"i":%d,"s":"%s"}' % (i, b"x" * i) for i in live)
        records = b"".join(struct.pack("<dd", i + 0.5, -i - 0.25) for i in live)
        assert (os.path.getsize(coords), os.path.getsize(meta)) == (64 + len(records), 64 + len(texts))
        assert header_count(coords) == header_count(meta) == len(live)
        assert area(coords, 16 * len(live)) == records and area(meta, len(texts)) == texts
        m = parse_manifest(read(sibling(store_path, "commit")))
        assert m == dict(
            next_slot=len(live),
            wal_seq=m["wal_seq"],
            generation=generation,
            coords_bytes=len(records),
            coords_crc=zlib.crc32(records),
            metadata_bytes=len(texts),
            metadata_crc=zlib.crc32(texts),
        )
        suffix = f".{generation}" if generation else ""
        assert sorted(f for f in os.listdir(os.path.dirname(store_path)) if f.endswith(".mmap")) == [
            f"geo.coords{suffix}.mmap",
            f"geo.metadata{suffix}.mmap",
        ]
        assert read(sibling(store_path, "wal")) == b""
        # The second handle's capacity is too small to extend the files, so the
        # growth below is the first handle's own.
        for handle in (db, PyZurAD(store_path, capacity=0)):
            assert [(r["id"], r["metadata"]["i"]) for r in handle.query({})] == list(enumerate(live))
            assert handle.slot_stats() == (len(live), len(live))

    expect(1, [0, 2, 4])
    # Later points grow the exact-size files by doubling, at the ids after the survivors.
    assert db.insert(9.5, -9.25, {"i": 9, "s": "x" * 9}) == 3
    assert os.path.getsize(data_files(store_path)[0]) == 2 * (64 + 16 * 4)
    assert db.delete_by_metadata({"i": {"$lt": 3}}) == 2
    assert db.compact() == 2
    expect(2, [4, 9])
    assert db.delete_by_metadata({}) == 2 and db.len() == 0 and db.slot_stats() == (2, 0)
    assert db.compact() == 2
    expect(3, [])
    del db
    db = PyZurAD(store_path, capacity=4)
    assert db.slot_stats() == (0, 0) and db.insert(1, 1, {}) == 0


def test_delete_arguments_and_filters_that_match_nothing_change_nothing(store_path):
    db = PyZurAD(store_path)
    db.insert_batch([(0, 0, {"k": i % 3}) for i in range(6)])
    files = {k: read(sibling(store_path, k)) for k in ("commit", "wal")}
    delete = db.delete_by_metadata
    for call, exc, message in [
        (lambda: delete([]), TypeError, "argument 'filter': 'list' object cannot be converted to 'PyDict'"),
        (lambda: delete({"k": {"$bad": 1}}), ValueError, "Unknown operator: $bad"),
        (lambda: delete({"k": {"$in": 1}}), ValueError, "$in requires an array"),
        (lambda: delete(), TypeError, "delete_by_metadata() missing 1 required positional argument: 'filter'"),
        (lambda: delete({}, {}), TypeError, "delete_by_metadata() takes 1 positional argument but 2 were given"),
        (lambda: db.compact(1), TypeError, "PyZurAD.compact() takes no arguments (1 given)"),
    ]:
        with pytest.raises(exc) as e:
            call()
        assert str(e.value) == message
    assert db.delete_by_metadata({"k": "missing-value"}) == 0 and db.delete_by_metadata(filter={"z": 1}) == 0
    assert {k: read(sibling(store_path, k)) for k in ("commit", "wal")} == files and db.slot_stats() == (6, 6)


# ---- readers while the store is compacted ---------------------------------------------------------


def test_queries_during_deletes_and_compactions_only_see_matching_points():
    db = PyZurAD()
    db.insert_batch(
        [(10.0, 10.0, {"k": 3, "n": i}) if i % 5 == 3 else (-10.0, -10.0, {"k": i % 5, "n": i}) for i in range(20000)]
    )
    kept = list(range(3, 20000, 5))  # the points with k = 3 are never deleted
    stop, errors = threading.Event(), []

    def reader(query, right):
        while not stop.is_set():
            try:
                rows = query()
                assert right([r["metadata"] for r in rows]), rows[:5]
            except Exception as e:  # reported by the main thread
                errors.append(e)
                return

    # The metadata answers come from the indexes and the box's candidates from the grid, all of
    # whose slot ids compaction changes. Short metadata queries, so that many of them start while
    # the store is being compacted.
    threads = [
        threading.Thread(target=reader, args=a)
        for a in (
            (lambda: db.query({"k": 3}, limit=3), lambda ms: len(ms) == 3 and all(m["k"] == 3 for m in ms)),
            (
                lambda: db.query({"n": {"$gte": 19990}}, limit=3),
                lambda ms: len(ms) == 3 and all(m["n"] >= 19990 for m in ms),
            ),
            (lambda: db.query_bbox(5, 5, 15, 15), lambda ms: sorted(m["n"] for m in ms) == kept),
        )
    ]
    for t in threads:
        t.start()
    for i in range(12):
        db.delete_by_metadata({"n": {"$lt": 1000 * (i + 1)}, "k": {"$ne": 3}})
        db.compact()
    stop.set()
    for t in threads:
        t.join()
    assert not errors, errors[0]
    assert [r["metadata"]["n"] for r in db.query({"k": 3})] == kept


# ---- deletes cut short inside the committed region ---------------------------------------------


def crc_issue(committed, on_disk, n):
    return (
        f"coords.mmap: CRC mismatch (committed {committed:08x}, on-disk {on_disk:08x}) over {n} bytes "
        "(silent corruption)"
    )


# (name, slots tombstoned in the file, the Delete record's ids, its previous records, its seq relative to the
#  manifest's, what follows it in the log, whether the open succeeds)
CUT_SHORT = [
    ("tombstones-written", [2], [2], "own", 0, b"", True),
    ("half-written", [5], [2, 5, 7], "own", 0, b"", True),
    ("latitude-only", ["lat2"], [2], "own", 0, b"", True),
    ("torn-tail-after", [2], [2], "own", 0, b"OWR2\x05", True),
    ("earlier-delete-too", [1, 2], [1, 2], "own", 1, b"", True),
    ("no-previous-records", [2], [2], None, 0, b"", False),
    ("wrong-previous-record", [2], [2], "wrong", 0, b"", False),
    ("record-below-manifest", [2], [2], "own", -1, b"", False),
    ("other-slot-named", [2], [3], "own", 0, b"", False),
    ("record-damaged", [2], [2], "own", 0, "damage", False),
]


@pytest.mark.parametrize(
    "tombstoned, ids, prev, seq, tail, opens", [c[1:] for c in CUT_SHORT], ids=[c[0] for c in CUT_SHORT]
)
def test_open_takes_back_only_the_tombstones_the_log_explains(store_path, tombstoned, ids, prev, seq, tail, opens):
    db = PyZurAD(store_path)
    db.insert_batch([(i + 0.5, i - 0.5, {"i": i}) for i in range(8)])
    del db
    coords = sibling(store_path, "coords.mmap")
    m = parse_manifest(read(sibling(store_path, "commit")))
    original = read(coords)
    records = [original[64 + 16 * i : 80 + 16 * i] for i in range(8)]
    data = bytearray(original)
    for s in tombstoned:
        if s == "lat2":
            data[64 + 32 : 64 + 40] = NAN
        else:
            data[64 + 16 * s : 80 + 16 * s] = NAN * 2
    write(coords, bytes(data))
    previous = None if prev is None else [records[i] if prev == "own" else records[i][::-1] for i in ids]
    wal_seq = m["wal_seq"] + min(seq, 0)
    log = b""
    if seq > 0:  # a delete of slot 1 before, not yet checkpointed either
        log = log_record(delete_payload(wal_seq, [1], [records[1]]))
        wal_seq += 1
        ids, previous = [i for i in ids if i != 1], [p for i, p in zip(ids, previous) if i != 1]
    payload = delete_payload(wal_seq, ids, previous)
    log += log_record(payload, crc=zlib.crc32(payload.encode()) ^ 1 if tail == "damage" else None)
    write(sibling(store_path, "wal"), log + (tail if isinstance(tail, bytes) else b""))
    if not opens:
        with pytest.raises(OSError) as e:
            PyZurAD(store_path)
        n = m["coords_bytes"]
        assert str(e.value) == (
            "Orbisk CRITICAL: refusing to open corrupted database (1 issue(s)): "
            + crc_issue(m["coords_crc"], zlib.crc32(bytes(data[64 : 64 + n])), n)
        )
        assert read(coords) == bytes(data)
        return
    db = PyZurAD(store_path)
    gone = set(ids) | ({1} if seq > 0 else set())
    assert [r["id"] for r in db.query({})] == [i for i in range(8) if i not in gone]
    assert db.verify_integrity() == {"ok": True, "errors": []}
    del db
    assert [r["metadata"]["i"] for r in PyZurAD(store_path).query({})] == [i for i in range(8) if i not in gone]


def test_delete_record_carries_the_previous_coordinates_and_is_forced(probe, store_path):
    db = probe.PyZurAD(store_path, wal_sync_interval_ms=60000)
    db.insert_batch([(i + 0.5, i - 0.5, {"i": i}) for i in range(4)])
    seq = parse_manifest(read(sibling(store_path, "commit")))["wal_seq"]
    coords = read(sibling(store_path, "coords.mmap"))
    # The checkpoint after the second delete fails at its first call: the record stays in the log.
    probe.faults_arm()
    assert db.delete_by_metadata({"i": {"$in": [3, 1]}}) == 2
    events = probe.faults_events()
    calls = [e[0] for e in events]
    first_msync = calls.index("msync")
    probe.faults_arm([first_msync - 1])  # the checkpoint's force of the log, after the record's own force
    assert db.delete_by_metadata({"i": 2}) == 1
    events = probe.faults_events()
    probe.faults_disarm()
    wal = sibling(store_path, "wal")
    assert [e[:3] for e in events if e[0] != "fcntl"] == [
        ("write", wal, 0),
        ("fdatasync", wal, 0),
        ("fdatasync", wal, errno.EIO),
    ]
    assert parse_log(read(wal)) == [delete_payload(seq + 1, [2], [coords[96:112]]).encode()]
    assert db.len() == 1
    del db
    assert [r["id"] for r in PyZurAD(store_path).query({})] == [0]


# ---- compactions whose system calls fail --------------------------------------------------------


def compaction_calls(probe, store_path):
    """The file-layer calls of a compaction of a store like the ones `doomed_store` makes."""
    db = doomed_store(probe, store_path)
    probe.faults_arm()
    assert db.compact() == 3
    events = probe.faults_events()
    probe.faults_disarm()
    return events


def doomed_store(probe, store_path):
    db = probe.PyZurAD(store_path, capacity=4)
    db.insert_batch([(i, -i, {"i": i}) for i in range(6)])
    assert db.delete_by_metadata({"i": {"$in": [0, 2, 4]}}) == 3
    return db


def test_compaction_that_fails_before_its_manifest_stays_on_its_generation(probe, tmp_path):
    (tmp_path / "a").mkdir()
    events = compaction_calls(probe, str(tmp_path / "a" / "geo.db"))
    at = next(i for i, e in enumerate(events) if e[0] == "fallocate" and e[1].endswith("metadata.1.mmap"))
    (tmp_path / "b").mkdir()
    path = str(tmp_path / "b" / "geo.db")
    db = doomed_store(probe, path)
    probe.faults_arm([at], errno.ENOSPC)
    with pytest.raises(RuntimeError) as e:
        db.compact()
    probe.faults_disarm()
    assert str(e.value) == "No space left on device (os error 28)"
    assert parse_manifest(read(sibling(path, "commit")))["generation"] == 0
    assert [(r["id"], r["metadata"]["i"]) for r in db.query({})] == [(1, 1), (3, 3), (5, 5)]
    # The handle goes on writing; the next compaction writes over the leftover files.
    assert db.insert(9, 9, {"i": 9}) == 6 and db.compact() == 3
    assert [(r["id"], r["metadata"]["i"]) for r in db.query({})] == [(0, 1), (1, 3), (2, 5), (3, 9)]
    assert sorted(f for f in os.listdir(tmp_path / "b") if f.endswith(".mmap")) == [
        "geo.coords.1.mmap",
        "geo.metadata.1.mmap",
    ]


@pytest.mark.parametrize("power_cut", [False, True])
def test_compaction_whose_manifest_is_not_durable_leaves_both_generations(probe, tmp_path, power_cut):
    from test_faults import cut_power

    (tmp_path / "a").mkdir()
    events = compaction_calls(probe, str(tmp_path / "a" / "geo.db"))
    rename = max(i for i, e in enumerate(events) if e[0] == "rename")  # the new generation's manifest
    at = next(i for i, e in enumerate(events) if i > rename and e[0] == "fsync")
    (tmp_path / "b").mkdir()
    path = str(tmp_path / "b" / "geo.db")
    db = doomed_store(probe, path)
    old_manifest = read(sibling(path, "commit"))
    probe.faults_arm([at])
    with pytest.raises(RuntimeError) as e:
        db.compact()
    events, renamed = probe.faults_events(), probe.faults_renamed()
    probe.faults_disarm()
    eio = "Input/output error (os error 5)"
    assert str(e.value) == (
        f"{eio}; compaction could not make its new manifest durable, so the store must be opened again"
    )
    refusal = f"the store must be opened again: compaction could not make its new manifest durable ({eio})"
    for write_call in (
        lambda: db.insert(0, 0, {}),
        lambda: db.insert_batch([(0, 0, {})]),
        db.flush,
        db.compact,
        lambda: db.delete_by_metadata({"i": 1}),
        lambda: db.delete_by_metadata({"i": 0}),  # matches nothing
        lambda: db.verify_integrity(flush=True),
    ):
        with pytest.raises(OSError) as e:
            write_call()
        assert str(e.value) == refusal
    # Reads go on, on the generation the handle knew; both generations stay on disk, and the
    # check of the committed data reads the generation the manifest names.
    assert [(r["id"], r["metadata"]["i"]) for r in db.query({})] == [(1, 1), (3, 3), (5, 5)]
    assert db.verify_integrity() == {"ok": True, "errors": []}
    assert {"geo.coords.mmap", "geo.metadata.mmap", "geo.coords.1.mmap", "geo.metadata.1.mmap"} <= set(
        os.listdir(tmp_path / "b")
    )
    del db
    if power_cut:
        cut_power(path, events, renamed, old_manifest)
    db = orbisk.PyZurAD(path)
    ids = [1, 3, 5] if power_cut else [0, 1, 2]
    assert [(r["id"], r["metadata"]["i"]) for r in db.query({})] == list(zip(ids, [1, 3, 5]))
    assert db.verify_integrity()["ok"]
    generation = 0 if power_cut else 1
    assert parse_manifest(read(sibling(path, "commit")))["generation"] == generation
    suffix = f".{generation}" if generation else ""
    assert sorted(f for f in os.listdir(tmp_path / "b") if f.endswith(".mmap")) == [
        f"geo.coords{suffix}.mmap",
        f"geo.metadata{suffix}.mmap",
    ]
