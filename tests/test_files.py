"""The files of a store: names, sizes, growth, header, record layout, stale generations, reload,
the change counter in the lock file, and the names of a temporary store."""

import os
import re
import struct
import zlib

import pytest
from orbisk import PyZurAD


def header_count(path):
    with open(path, "rb") as f:
        head = f.read(16)
    assert head[:8] == b"ZURAD004"
    return struct.unpack_from("<Q", head, 8)[0]


@pytest.mark.parametrize(
    "name, prefix",
    [("geo.db", "geo."), ("geo", "geo."), ("geo.tar.gz", "geo.tar."), (".geo", ".geo.")],
)
def test_file_names_derive_from_the_path(tmp_path, name, prefix):
    directory = tmp_path / "data"
    directory.mkdir()
    db = PyZurAD(str(directory / name), capacity=1)
    expected = {prefix + s for s in ("coords.mmap", "metadata.mmap", "lock", "wal")}
    assert set(os.listdir(directory)) == expected
    db.insert(1.0, 2.0, {})
    db.flush()
    assert set(os.listdir(directory)) == expected | {prefix + "commit"}
    # The lock file holds the change counter: the insert and the flush.
    assert (directory / (prefix + "lock")).read_bytes() == struct.pack("<Q", 2)


def test_fresh_store_preallocates_for_the_default_capacity(store_path):
    PyZurAD(store_path)
    assert os.path.getsize(store_path[:-2] + "coords.mmap") == 160064
    assert os.path.getsize(store_path[:-2] + "metadata.mmap") == 3000064


@pytest.mark.parametrize(
    "capacity, points, text_len, coords_size, meta_size",
    [
        (10000, 10001, 8, 320160, 3000064),  # slot 10000 needs 160080 bytes
        (1, 1, 400, 80, 928),  # one text of 400 bytes needs 464
    ],
)
def test_data_files_grow_to_twice_the_required_length(store_path, capacity, points, text_len, coords_size, meta_size):
    db = PyZurAD(store_path, capacity=capacity)
    meta = {"s": "x" * (text_len - 8)}
    db.insert_batch([(float(i % 90), 0.0, meta) for i in range(points)])
    assert os.path.getsize(store_path[:-2] + "coords.mmap") == coords_size
    assert os.path.getsize(store_path[:-2] + "metadata.mmap") == meta_size
    last = 64 + 16 * (points - 1)
    with open(store_path[:-2] + "coords.mmap", "rb") as f:
        assert struct.unpack("<dd", f.read()[last : last + 16]) == (float((points - 1) % 90), 0.0)


def test_data_file_without_magic_is_stamped_at_open(store_path):
    coords, meta = store_path[:-2] + "coords.mmap", store_path[:-2] + "metadata.mmap"
    junk = bytes(range(256)) * 2
    for path in (coords, meta):
        with open(path, "wb") as f:
            f.write(junk)
    db = PyZurAD(store_path, capacity=1)
    assert db.len() == 0
    for path, size in ((coords, 512), (meta, 512)):
        data = open(path, "rb").read()
        assert len(data) == size
        assert data[:16] == b"ZURAD004" + bytes(8) and data[16:] == junk[16:]


def test_records_are_laid_out_by_slot_and_counted_at_checkpoint(store_path):
    coords, meta = store_path[:-2] + "coords.mmap", store_path[:-2] + "metadata.mmap"
    db = PyZurAD(store_path, capacity=4)
    assert db.insert(12.5, -45.25, {"a": 1}) == 0
    assert db.insert(-90.0, 180.0, {"b": "xyz"}) == 1
    assert header_count(coords) == header_count(meta) == 0
    data = open(coords, "rb").read()
    assert data[64:96] == struct.pack("<4d", 12.5, -45.25, -90.0, 180.0)
    assert open(meta, "rb").read()[64:88] == b'{"a":1}{"b":"xyz"}' + bytes(6)
    db.flush()
    assert header_count(coords) == header_count(meta) == 2


def test_never_checkpointed_store_reopens_with_every_point(store_path):
    db = PyZurAD(store_path, capacity=2)
    for i in range(5):
        db.insert(float(i), float(-i), {"i": i})
    assert not os.path.exists(store_path[:-2] + "commit")
    del db
    db = PyZurAD(store_path, capacity=2)
    assert db.slot_stats() == (5, 5) and db.len() == 5
    # The replay was checkpointed: the headers now count the replayed points.
    assert header_count(store_path[:-2] + "coords.mmap") == 5
    assert open(store_path[:-2] + "metadata.mmap", "rb").read()[64:99] == b"".join(b'{"i":%d}' % i for i in range(5))


def manifest_v3(generation, next_slot=0, wal_seq=0):
    body = b"GEOCMT03" + struct.pack("<QQQQIQI", next_slot, wal_seq, generation, 0, 0, 0, 0)
    return body + struct.pack("<I", zlib.crc32(body))


def test_open_removes_only_this_stores_stale_generations(tmp_path):
    (tmp_path / "geo.commit").write_bytes(manifest_v3(generation=2))
    removed = [
        "geo.coords.mmap",
        "geo.coords.1.mmap",
        "geo.coords.+3.mmap",
        "geo.coords.17.mmap",
        "geo.metadata.mmap",
        "geo.metadata.1.mmap",
        "geo.metadata.7.mmap",
    ]
    kept = [
        "geo.coords.x.mmap",
        "geo.coords.1x.mmap",
        "geo.coords.-1.mmap",
        "geo.coords..mmap",
        "geo.coords.18446744073709551616.mmap",
        "geo.coords.1.mmap.bak",
        "geo.metadata.x.mmap",
        # a neighbouring store opened on "geo.coords.old" (or "geo.metadata.old") and its generations
        "geo.coords.old.coords.mmap",
        "geo.coords.old.coords.1.mmap",
        "geo.coords.old.metadata.mmap",
        "geo.metadata.old.metadata.mmap",
        "geo.metadata.old.metadata.4.mmap",
        "geox.coords.1.mmap",
        "other.coords.mmap",
    ]
    for name in removed + kept:
        (tmp_path / name).write_bytes(b"not empty")
    db = PyZurAD(str(tmp_path / "geo.db"), capacity=1)
    assert db.len() == 0
    assert set(os.listdir(tmp_path)) == set(kept) | {
        "geo.commit",
        "geo.coords.2.mmap",
        "geo.metadata.2.mmap",
        "geo.lock",
        "geo.wal",
    }
    assert all((tmp_path / name).read_bytes() == b"not empty" for name in kept)


APPEND, REWRITE = 1, 1 << 32


def reopen_after_an_unflushed_insert(db, path):
    db.insert(7.0, 8.0, {"k": 4})
    del db  # no checkpoint: the next open replays the log and rewrites the manifest
    return PyZurAD(path)


# (step, what it does to the handle (and returns the handle to go on with), how far it moves the counter)
COUNTER_STEPS = [
    ("insert", lambda db, p: db.insert(1.0, 2.0, {"k": 1}), APPEND),
    ("batch", lambda db, p: db.insert_batch([(3.0, 4.0, {"k": 2}), (5.0, 6.0, {"k": 3})]), APPEND),
    ("flush", lambda db, p: db.flush(), APPEND),
    ("reads", lambda db, p: (db.query({}), db.len(), db.query_bbox(0, 0, 9, 9), db.verify_integrity()), 0),
    ("delete-of-nothing", lambda db, p: db.delete_by_metadata({"k": 99}), 0),
    ("delete", lambda db, p: db.delete_by_metadata({"k": 1}), REWRITE),
    ("compact", lambda db, p: db.compact(), REWRITE),
    ("compact-of-nothing", lambda db, p: db.compact(), APPEND),
    ("reopen-after-replay", reopen_after_an_unflushed_insert, APPEND + REWRITE),
    ("flush-and-plain-reopen", lambda db, p: (db.flush(), PyZurAD(p))[1], APPEND),
]


def test_lock_file_holds_the_change_counter_and_deletes_write_the_tombstone_pattern(store_path):
    lock, coords = store_path[:-2] + "lock", store_path[:-2] + "coords.mmap"
    db = PyZurAD(store_path, capacity=4)
    for name, step, moved in COUNTER_STEPS:
        before = struct.unpack("<Q", open(lock, "rb").read())[0]
        result = step(db, store_path)
        db = result if isinstance(result, PyZurAD) else db
        assert struct.unpack("<Q", open(lock, "rb").read())[0] - before == moved, name
        if name == "delete":
            db.flush()
            assert open(coords, "rb").read()[64:80] == struct.pack("<Q", 0x7FF8000000000000) * 2


def test_temporary_store_names_its_files_and_generations_after_its_stem(tmp_path, monkeypatch):
    monkeypatch.setenv("TMPDIR", str(tmp_path))
    db = PyZurAD()
    [name] = [n for n in os.listdir(tmp_path) if n.endswith("_wal")]
    stem = name[: -len("_wal")]
    assert re.fullmatch(rf"orbisk_{os.getpid()}_\d+", stem)
    db.insert_batch([(1.0, 2.0, {"i": 0}), (3.0, 4.0, {"i": 1})])
    db.delete_by_metadata({"i": 0})
    db.flush()
    assert db.compact() == 1
    # No lock file; the manifest is written only by flush and compaction.
    assert sorted(os.listdir(tmp_path)) == [stem + s for s in ("_commit", "_coords.1.mmap", "_metadata.1.mmap", "_wal")]
    del db
    assert os.listdir(tmp_path) == []
