"""The orbisk module and the PyZurAD handle: surface, constructor, temporary stores, write lock."""

import fcntl
import os
import pathlib
import shutil
import struct
import subprocess
import sys
import threading
import time

import orbisk
import pytest
from orbisk import PyZurAD

SIGNATURES = {
    "insert": "insert($self, lat, lon, metadata, skip_index=None)",
    "insert_batch": "insert_batch($self, points, skip_index=None)",
    "query_bbox": "query_bbox($self, min_lat, min_lon, max_lat, max_lon, filter=None)",
    "query_polygon": "query_polygon($self, coordinates, filter=None)",
    "query_radius": "query_radius($self, center_lat, center_lon, radius_meters, filter=None)",
    "query": "query($self, filter, limit=None)",
    "len": "len($self)",
    "count": "count($self)",
    "exists": "exists($self, filter)",
    "delete_by_metadata": "delete_by_metadata($self, filter)",
    "verify_integrity": "verify_integrity($self, flush=False)",
    "flush": "flush($self)",
    "compact": "compact($self)",
    "slot_stats": "slot_stats($self)",
}

DOCS = {
    "verify_integrity": "fsck-style integrity check. Returns a dict\n`{ok, errors}`. Default (`flush=False`) verifies "
    "the committed\non-disk data against the CRC recorded at the last flush (detects\nat-rest corruption; most "
    "meaningful right after open). `flush=True`\nfirst flushes, then validates the write -> read path.",
    "flush": "Durably checkpoint: catch the committed mmap + manifest up to the\ncurrent state and reset the WAL, "
    "under the cross-process write lock.",
    "compact": "OB-R1: crash-safe compaction \u2014 reclaim tombstoned slots/bytes by\nrewriting a fresh, "
    "tombstone-free data generation and atomically\nswapping the manifest to it. Returns the number of tombstones "
    "reclaimed.",
    "slot_stats": "OB-R1: `(next_slot, live_count)` \u2014 the gap is the tombstone backlog.",
}


def test_module_exposes_only_the_handle_class():
    assert orbisk.__all__ == ["PyZurAD"]
    assert [name for name in dir(orbisk) if not name.startswith("_")] == ["PyZurAD"]
    assert PyZurAD.__text_signature__ == "(path=None, capacity=10000, wal_sync_interval_ms=None)"


def test_methods_signatures_and_docstrings():
    public = sorted(name for name in dir(PyZurAD) if not name.startswith("_"))
    assert public == sorted(SIGNATURES)
    for name, line in SIGNATURES.items():
        method = getattr(PyZurAD, name)
        assert name + method.__text_signature__ == line
        assert method.__doc__ == DOCS.get(name), name


class FsPath:
    """An os.PathLike whose __fspath__ returns (or raises) what it is given."""

    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"path": 123}, TypeError, "argument 'path': 'int' object cannot be converted to 'PyString'"),
        ({"path": b"geo.db"}, TypeError, "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
        (
            {"path": FsPath(b"geo.db")},
            TypeError,
            "argument 'path': 'FsPath' object cannot be converted to 'PyString'",
        ),
        ({"path": FsPath(7)}, TypeError, "expected FsPath.__fspath__() to return str or bytes, not int"),
        ({"path": FsPath(ZeroDivisionError("own error"))}, ZeroDivisionError, "own error"),
        ({"capacity": -1}, OverflowError, None),
        ({"capacity": 2**64}, OverflowError, None),
        ({"wal_sync_interval_ms": -1}, OverflowError, None),
        ({"capacity": "5"}, TypeError, None),
        ({"wal_sync_interval_ms": 1.5}, TypeError, None),
        ({"cap": 5}, TypeError, None),
    ],
)
def test_constructor_rejects_bad_arguments(kwargs, exc, message):
    with pytest.raises(exc) as info:
        PyZurAD(**kwargs)
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize("interval", [None, 0, 250])
def test_constructor_accepts_sync_interval_none_or_int(store_path, interval):
    db = PyZurAD(store_path, 5, wal_sync_interval_ms=interval)
    assert db.insert(1.0, 2.0, {}) == 0
    assert db.len() == db.count() == 1


def test_capacity_sizes_new_files_and_never_shrinks_existing_ones(store_path):
    coords, meta = store_path[:-2] + "coords.mmap", store_path[:-2] + "metadata.mmap"
    PyZurAD(store_path, capacity=5)
    assert (os.path.getsize(coords), os.path.getsize(meta)) == (144, 1564)
    db = PyZurAD(store_path, capacity=0)
    db.insert_batch([(0.0, 0.0, {"i": i}) for i in range(3)])
    assert (os.path.getsize(coords), os.path.getsize(meta)) == (144, 1564)
    assert db.len() == db.count() == 3


@pytest.mark.parametrize(
    "where, capacity, message",
    [
        ("geo.db", 2**63, "memory map length overflows isize"),
        ("missing/geo.db", 1, "No such file or directory (os error 2)"),
    ],
)
def test_store_that_cannot_be_opened_raises_os_error(tmp_path, where, capacity, message):
    with pytest.raises(OSError) as info:
        PyZurAD(str(tmp_path / where), capacity=capacity)
    assert str(info.value) == message


def test_a_path_like_opens_the_store_its_text_names_and_an_empty_path_creates_nothing(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    PyZurAD("geo.db").insert(1.0, 2.0, {"via": "str"})
    for path in (pathlib.Path("geo.db"), tmp_path / "geo.db", FsPath("geo.db"), pathlib.PurePosixPath("geo.db")):
        db = PyZurAD(path, capacity=5)
        assert [r["metadata"] for r in db.query({})][:1] == [{"via": "str"}], path
        db.insert(3.0, 4.0, {})
    assert PyZurAD("geo.db").len() == 5
    before = sorted(os.listdir(tmp_path))
    for empty in ("", FsPath("")):
        with pytest.raises(OSError) as info:
            PyZurAD(empty)
        assert str(info.value) == (
            "the store path is empty: give the path of the store's files, or no path for a temporary store"
        )
    assert sorted(os.listdir(tmp_path)) == before


# ---- temporary stores ---------------------------------------------------------------------

SUFFIXES = ("_coords.mmap", "_metadata.mmap", "_wal")


def temp_numbers(directory):
    """The {n} of every orbisk_{pid}_{n}_coords.mmap in `directory`."""
    prefix = f"orbisk_{os.getpid()}_"
    return sorted(
        int(name[len(prefix) : -len("_coords.mmap")])
        for name in os.listdir(directory)
        if name.startswith(prefix) and name.endswith("_coords.mmap")
    )


@pytest.fixture
def tmpdir_env(tmp_path, monkeypatch):
    directory = tmp_path / "tmp"
    directory.mkdir()
    monkeypatch.setenv("TMPDIR", str(directory))
    return directory


def test_temporary_stores_get_numbered_files_that_vanish_on_drop(tmpdir_env):
    first = PyZurAD()
    [n] = temp_numbers(tmpdir_env)
    second = PyZurAD()
    assert temp_numbers(tmpdir_env) == [n, n + 1]
    stem = f"orbisk_{os.getpid()}_{n + 1}"
    assert sorted(os.listdir(tmpdir_env)) == sorted(
        [f"orbisk_{os.getpid()}_{n}{s}" for s in SUFFIXES] + [stem + s for s in SUFFIXES]
    )
    second.insert(1.0, 2.0, {"a": 1})
    second.flush()
    assert os.path.exists(tmpdir_env / f"{stem}_commit")
    del second
    assert temp_numbers(tmpdir_env) == [n] and len(os.listdir(tmpdir_env)) == 3
    del first
    assert os.listdir(tmpdir_env) == []


def test_temporary_store_never_touches_files_already_under_its_name(tmp_path, tmpdir_env):
    # A log with records, a data file and a symlink to someone else's file, planted
    # under the names the next temporary stores would take.
    (tmp_path / "src").mkdir()
    source = PyZurAD(str(tmp_path / "src" / "geo.db"))
    source.insert(1.0, 2.0, {"planted": True})
    source.insert(3.0, 4.0, {"planted": True})
    victim = tmp_path / "victim"
    victim.write_bytes(b"precious")
    probe_store = PyZurAD()
    [n] = temp_numbers(tmpdir_env)
    del probe_store
    stem = f"{tmpdir_env}/orbisk_{os.getpid()}_"
    planted = {
        f"{stem}{n + 1}_wal": lambda p: shutil.copyfile(tmp_path / "src" / "geo.wal", p),
        f"{stem}{n + 2}_coords.mmap": lambda p: os.symlink(victim, p),
        f"{stem}{n + 3}_metadata.mmap": lambda p: shutil.copyfile(tmp_path / "src" / "geo.metadata.mmap", p),
        f"{stem}{n + 4}_metadata.mmap": lambda p: os.symlink(tmp_path / "not-there", p),
        f"{stem}{n + 5}_commit": lambda p: pathlib.Path(p).write_bytes(b"GEOCMT03"),
        f"{stem}{n + 6}_commit.commit.tmp": lambda p: pathlib.Path(p).write_bytes(b"GEOCMT03"),
    }
    for path, plant in planted.items():
        plant(path)
    before = {p: os.readlink(p) if os.path.islink(p) else pathlib.Path(p).read_bytes() for p in planted}

    db = PyZurAD()
    assert db.len() == 0 and db.slot_stats() == (0, 0)
    assert temp_numbers(tmpdir_env)[-1] > n + 6
    db.insert(5.0, 6.0, {})
    db.flush()
    del db
    after = {p: os.readlink(p) if os.path.islink(p) else pathlib.Path(p).read_bytes() for p in planted}
    assert after == before
    assert victim.read_bytes() == b"precious"
    assert not os.path.lexists(tmp_path / "not-there")
    assert sorted(os.listdir(tmpdir_env)) == sorted(os.path.basename(p) for p in planted)


def test_temporary_store_that_cannot_be_created_raises_internal_error(tmp_path, monkeypatch):
    monkeypatch.setenv("TMPDIR", str(tmp_path / "missing"))
    with pytest.raises(BaseException) as info:
        PyZurAD()
    assert not isinstance(info.value, Exception)
    assert type(info.value).__bases__ == (BaseException,)
    assert str(info.value).startswith("Failed to create mmap storage: ")


# ---- the write lock -------------------------------------------------------------------------


def lock_is_held(lock_path):
    """Whether some open file description holds a lock on the file (F_OFD_GETLK)."""
    fd = os.open(lock_path, os.O_RDWR)
    try:
        request = struct.pack("hh4xqqi4x", fcntl.F_WRLCK, os.SEEK_SET, 0, 0, 0)
        answer = fcntl.fcntl(fd, fcntl.F_OFD_GETLK, request)
        return struct.unpack("hh4xqqi4x", answer)[0] != fcntl.F_UNLCK
    finally:
        os.close(fd)


def test_second_handle_in_another_thread_waits_for_a_writer(store_path):
    first = PyZurAD(store_path, capacity=1)
    meta = {"k": "v" * 40}
    points = [(1.0, 2.0, meta)] * 400_000
    seen = []

    def write():
        first.insert_batch(points)

    def reopen():
        seen.append(PyZurAD(store_path).len())

    writer = threading.Thread(target=write)
    writer.start()
    deadline = time.monotonic() + 30
    while not lock_is_held(store_path[:-2] + "lock"):
        assert writer.is_alive() and time.monotonic() < deadline, "the batch never held the store's file lock"
        time.sleep(0.001)
    opener = threading.Thread(target=reopen)
    opener.start()
    writer.join(60)
    opener.join(60)
    # The second handle opened after the whole batch had been written, never in the middle of it.
    assert not writer.is_alive() and seen == [len(points)]


def test_another_process_waits_while_the_lock_is_held(store_path):
    PyZurAD(store_path).insert(1.0, 2.0, {"a": 1})
    child_code = (
        "import sys\nfrom orbisk import PyZurAD\nprint('opening', flush=True)\n"
        "print(PyZurAD(sys.argv[1]).len(), flush=True)\n"
    )
    fd = os.open(store_path[:-2] + "lock", os.O_RDWR)
    try:
        fcntl.lockf(fd, fcntl.LOCK_EX)
        child = subprocess.Popen(
            [sys.executable, "-c", child_code, store_path], stdout=subprocess.PIPE, text=True, env=os.environ.copy()
        )
        try:
            assert child.stdout.readline() == "opening\n"
            time.sleep(0.3)
            assert child.poll() is None
        finally:
            fcntl.lockf(fd, fcntl.LOCK_UN)
        out, _ = child.communicate(timeout=30)
    finally:
        os.close(fd)
    assert child.returncode == 0 and out == "1\n"


@pytest.mark.parametrize("operation", ["flush", "verify_integrity", "insert", "open", "query_polygon"])
def test_waiting_for_the_store_lock_never_freezes_other_threads(store_path, operation):
    db = PyZurAD(store_path)
    calls = {
        "flush": db.flush,
        "verify_integrity": lambda: db.verify_integrity(flush=True),
        "insert": lambda: db.insert(1, 2, {}),
        "open": lambda: PyZurAD(store_path),
        "query_polygon": lambda: db.query_polygon([(0, 0), (1, 0), (0, 1)]),
    }
    if operation == "query_polygon":
        # 2048 points, none of them bulk-built into the grid: the query first rebuilds it, under the lock.
        db.insert_batch([(0.25, 0.25, {})] * 1000)
        db.insert_batch([(0.25, 0.25, {})] * 1048)
    # Another process holds the store's lock for a while.
    holder = subprocess.Popen(
        [
            sys.executable,
            "-c",
            "import fcntl, os, sys, time\n"
            "fd = os.open(sys.argv[1], os.O_RDWR)\nfcntl.lockf(fd, fcntl.LOCK_EX)\n"
            "print('locked', flush=True)\ntime.sleep(1.0)\n",
            store_path[:-2] + "lock",
        ],
        stdout=subprocess.PIPE,
        text=True,
    )
    assert holder.stdout.readline() == "locked\n"
    waiter = threading.Thread(target=calls[operation])
    waiter.start()
    spins = 0
    deadline = time.monotonic() + 0.3
    while time.monotonic() < deadline:
        spins += 1
    # This thread kept running Python code while the other one waited for the lock.
    assert waiter.is_alive() and spins > 1000
    holder.wait(30)
    waiter.join(30)
    assert not waiter.is_alive()
