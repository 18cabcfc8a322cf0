import json
import os
import struct
import subprocess
import sys
import textwrap

import pytest
from orbisk import PyZurAD

OUT_OF_RANGE = "coordinate out of range (lat={} must be in [-90,90], lon={} in [-180,180])"
NON_FINITE = "non-finite coordinate (lat={}, lon={}); NaN/Inf are not storable"


def manifest_fields(path):
    """(next_slot, wal_seq) of the store's manifest, or None without one."""
    commit = path[: -len(".db")] + ".commit"
    if not os.path.exists(commit):
        return None
    data = open(commit, "rb").read()
    assert data[:8] == b"GEOCMT03"
    return struct.unpack_from("<QQ", data, 8)


def wal_size(path):
    return os.path.getsize(path[: -len(".db")] + ".wal")


@pytest.mark.parametrize(
    "lat, lon, message",
    [
        (90.0000001, 0, OUT_OF_RANGE.format("90.0000001", "0")),
        (0, 200, OUT_OF_RANGE.format("0", "200")),
        (-91, 1e-4, OUT_OF_RANGE.format("-91", "0.0001")),
        (1e300, 0, OUT_OF_RANGE.format("1" + "0" * 300, "0")),
        (float("nan"), 0, NON_FINITE.format("NaN", "0")),
        (0, float("inf"), NON_FINITE.format("0", "inf")),
        (float("-inf"), 95.5, NON_FINITE.format("-inf", "95.5")),
    ],
)
def test_invalid_coordinates_are_refused_and_store_nothing(store_path, lat, lon, message):
    db = PyZurAD(store_path)
    with pytest.raises(RuntimeError) as err:
        db.insert(lat, lon, {})
    assert str(err.value) == message
    with pytest.raises(RuntimeError) as err:
        db.insert_batch([(0, 0, {}), (lat, lon, {})])
    assert str(err.value) == message
    assert db.len() == 0 and db.slot_stats() == (0, 0)
    assert wal_size(store_path) == 0


def test_bounds_are_inclusive_and_ids_count_up(store_path):
    db = PyZurAD(store_path)
    assert db.insert(90, -180, {}) == 0
    assert db.insert(-90.0, 180.0, {}) == 1
    assert db.insert(lat=0, lon=0, metadata={}) == 2
    assert db.len() == db.count() == 3


class Real:
    def __float__(self):
        return 12.5


class Index:
    def __index__(self):
        return 7


def test_coordinates_accept_anything_python_converts_to_float(store_path):
    db = PyZurAD(store_path)
    db.insert(Real(), Index(), {})
    db.insert_batch([(True, Index(), {})])
    with open(store_path[:-3] + ".coords.mmap", "rb") as f:
        f.seek(64)
        assert struct.unpack("<4d", f.read(32)) == (12.5, 7.0, 1.0, 7.0)


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda db: db.insert("1", 2, {}), TypeError, "argument 'lat': must be real number, not str"),
        (lambda db: db.insert(1, None, {}), TypeError, "argument 'lon': must be real number, not NoneType"),
        (lambda db: db.insert(10**400, 0, {}), OverflowError, "int too large to convert to float"),
        (
            lambda db: db.insert(1, 2, [1]),
            TypeError,
            "argument 'metadata': 'list' object cannot be converted to 'PyDict'",
        ),
        (
            lambda db: db.insert(1, 2, {}, skip_index="a"),
            TypeError,
            "argument 'skip_index': Can't extract `str` to `Vec`",
        ),
        (
            lambda db: db.insert(1, 2, {}, skip_index=5),
            TypeError,
            "argument 'skip_index': 'int' object cannot be converted to 'Sequence'",
        ),
        (
            lambda db: db.insert(1, 2, {}, skip_index=["a", 1]),
            TypeError,
            "argument 'skip_index': 'int' object cannot be converted to 'PyString'",
        ),
        (lambda db: db.insert(1, 2), TypeError, "insert() missing 1 required positional argument: 'metadata'"),
        (
            lambda db: db.insert(1, 2, {}, None, 5),
            TypeError,
            "insert() takes from 3 to 4 positional arguments but 5 were given",
        ),
        (lambda db: db.insert(1, 2, {}, lat=1), TypeError, "insert() got multiple values for argument 'lat'"),
        (lambda db: db.insert(1, 2, {}, colour=1), TypeError, "insert() got an unexpected keyword argument 'colour'"),
        (
            lambda db: db.insert_batch((1, 2, {})),
            TypeError,
            "argument 'points': 'tuple' object cannot be converted to 'PyList'",
        ),
        (
            lambda db: db.insert_batch([(0, 0, {}), [0, 0, {}]]),
            TypeError,
            "'list' object cannot be converted to 'PyTuple'",
        ),
        (lambda db: db.insert_batch([(0, 0)]), IndexError, "tuple index out of range"),
        (lambda db: db.insert_batch([(0, "x", {})]), TypeError, "must be real number, not str"),
        (lambda db: db.insert_batch([(0, 0, "{}")]), TypeError, "'str' object cannot be converted to 'PyDict'"),
        (
            lambda db: db.insert_batch([(0, 0, {"k": (1,)})]),
            TypeError,
            "unsupported metadata value type 'tuple' (allowed: bool, int, float, str, None, list, dict)",
        ),
        (
            lambda db: db.insert_batch([], skip_index="a"),
            TypeError,
            "argument 'skip_index': Can't extract `str` to `Vec`",
        ),
    ],
)
def test_argument_errors_store_nothing(store_path, call, exc, message):
    db = PyZurAD(store_path)
    with pytest.raises(exc) as err:
        call(db)
    assert str(err.value) == message
    assert db.len() == 0 and wal_size(store_path) == 0


def test_skip_index_sequences_are_accepted(store_path):
    db = PyZurAD(store_path)
    assert db.insert(1.0, 2.0, {"a": 1}, skip_index=["a"]) == 0
    assert db.insert_batch([(1.0, 2.0, {})], skip_index=("a", "b")) == [1]


def test_batch_extra_tuple_elements_are_ignored_and_empty_batch_writes_nothing(store_path):
    db = PyZurAD(store_path)
    assert db.insert_batch([]) == []
    assert wal_size(store_path) == 0 and manifest_fields(store_path) is None
    assert db.insert_batch([(0, 0, {}, "extra", 5)]) == [0]
    assert db.len() == 1


def test_batch_ids_follow_existing_slots_and_the_batch_is_checkpointed(store_path):
    db = PyZurAD(store_path)
    assert db.insert_batch([(i % 90, i % 180, {"i": i}) for i in range(2000)]) == list(range(2000))
    assert manifest_fields(store_path) == (2000, 2000)
    assert wal_size(store_path) == 0

    other = PyZurAD(store_path[:-3] + "2.db")
    other.insert(0, 0, {})
    assert other.insert_batch([(1, 1, {})] * 2000) == list(range(1, 2001))


def test_large_batch_is_written_in_chunks_and_leaves_an_empty_log(store_path):
    db = PyZurAD(store_path, capacity=1000)
    ids = db.insert_batch([(0.5, 0.5, {})] * 250000)
    assert ids[0] == 0 and ids[-1] == 249999 and len(ids) == 250000
    assert manifest_fields(store_path) == (250000, 250000)
    assert wal_size(store_path) == 0
    del db
    assert PyZurAD(store_path).slot_stats() == (250000, 250000)


def test_every_ten_thousandth_single_insert_checkpoints(store_path):
    db = PyZurAD(store_path, wal_sync_interval_ms=60000)
    for i in range(9999):
        db.insert(0, 0, {})
    assert manifest_fields(store_path) is None and wal_size(store_path) > 0
    db.insert(0, 0, {})
    assert manifest_fields(store_path) == (10000, 10000)
    assert wal_size(store_path) == 0
    db.insert(0, 0, {})
    assert wal_size(store_path) > 0


# ---- a write that fails leaves nothing half done --------------------------------

CHILD_PRELUDE = """
import json, os, resource, signal, sys
sys.path[:0] = {paths!r}
from orbisk import PyZurAD
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
path = {path!r}
wal = path[:-3] + ".wal"
def limit(n):
    resource.setrlimit(resource.RLIMIT_FSIZE, (n, resource.RLIM_INFINITY))
def attempt(f):
    try:
        return ["ok", f()]
    except Exception as e:
        return [type(e).__name__, str(e)]
"""


def run_child(store_path, body, wrap=None):
    script = CHILD_PRELUDE.format(paths=sys.path, path=store_path) + textwrap.dedent(body)
    cmd = [sys.executable, "-c", script]
    if wrap:
        cmd = wrap + cmd
    out = subprocess.run(cmd, capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout.strip().splitlines()[-1])


def test_failed_single_insert_takes_its_record_back(store_path):
    result = run_child(
        store_path,
        """
        db = PyZurAD(path, capacity=10)
        db.insert(1, 2, {"a": 1})
        before = os.path.getsize(wal)
        limit(100000)
        # The record fits in the log, but the metadata file cannot grow to hold it.
        big = attempt(lambda: db.insert(3, 4, {"big": "x" * 60000}))
        after_big = os.path.getsize(wal)
        # The record does not even fit in the log.
        huge = attempt(lambda: db.insert(3, 4, {"huge": "x" * 300000}))
        after_huge = os.path.getsize(wal)
        limit(resource.RLIM_INFINITY)
        n = db.len()
        ok = db.insert(5, 6, {})
        del db
        print(json.dumps([big, huge, before, after_big, after_huge, n, ok, PyZurAD(path).slot_stats()]))
    """,
    )
    big, huge, before, after_big, after_huge, n, ok, reopened = result
    assert big == ["RuntimeError", "File too large (os error 27)"]
    assert huge == ["RuntimeError", "File too large (os error 27)"]
    assert before == after_big == after_huge
    assert n == 1 and ok == 1
    assert reopened == [2, 2]


def test_failed_batch_keeps_exactly_the_committed_chunks(store_path):
    result = run_child(
        store_path,
        """
        db = PyZurAD(path, capacity=10)
        db.insert(0, 0, {})
        # The first chunk fits; the second cannot grow the metadata file.
        points = [(1, 1, {"k": "v" * 40})] * 100000 + [(2, 2, {"k": "w" * 400})] * 20000
        limit(14_000_000)
        r = attempt(lambda: db.insert_batch(points))
        limit(resource.RLIM_INFINITY)
        stats = db.slot_stats()
        wal_len = os.path.getsize(wal)
        del db
        print(json.dumps([r, stats, wal_len, PyZurAD(path).slot_stats()]))
    """,
    )
    r, stats, wal_len, reopened = result
    assert r == ["RuntimeError", "File too large (os error 27)"]
    assert stats == [100001, 100001]
    assert wal_len == 0
    assert reopened == stats


def test_failed_manifest_write_takes_the_whole_chunk_back(store_path):
    db = PyZurAD(store_path)
    db.insert_batch([(1, 1, {"n": 1})])
    os.mkdir(store_path[:-3] + ".commit.tmp")
    with pytest.raises(RuntimeError) as err:
        db.insert_batch([(2, 2, {"n": 2}), (3, 3, {"n": 3})])
    assert str(err.value) == "Is a directory (os error 21)"
    assert db.slot_stats() == (1, 1)
    assert wal_size(store_path) == 0
    # The next write reuses the slots that the failed chunk gave back.
    os.rmdir(store_path[:-3] + ".commit.tmp")
    assert db.insert(4, 4, {"n": 4}) == 1
    del db
    assert PyZurAD(store_path).slot_stats() == (2, 2)


def test_full_disk_fails_writes_without_faulting(store_path, tmp_path):
    """On a file system that fills up, writes fail with an error; nothing is lost."""
    mnt = tmp_path / "small"
    mnt.mkdir()
    path = str(mnt / "geo.db")
    body = """
        db = PyZurAD(path, capacity=10)
        n = 0
        while True:
            r = attempt(lambda: db.insert(1, 2, {"x": "y" * 20000}))
            if r[0] != "ok":
                break
            n += 1
        batch = attempt(lambda: db.insert_batch([(1, 2, {"x": "y" * 2000})] * 200))
        stats = db.slot_stats()
        del db
        print(json.dumps([n, r, batch, stats, PyZurAD(path).slot_stats()]))
    """
    script = CHILD_PRELUDE.format(paths=sys.path, path=path) + textwrap.dedent(body)
    shell = f'mount -t tmpfs -o size=2m tmpfs "{mnt}" && exec "$0" -c "$1"'
    # A private mount namespace: the small file system vanishes with the child.
    wrap = ["unshare", "-m"] if os.geteuid() == 0 else ["unshare", "-rm"]
    out = subprocess.run(
        wrap + ["sh", "-c", shell, sys.executable, script], capture_output=True, text=True, timeout=120
    )
    assert out.returncode == 0, out.stderr
    n, single, batch, stats, reopened = json.loads(out.stdout.strip().splitlines()[-1])
    assert n > 10
    assert single == ["RuntimeError", "No space left on device (os error 28)"]
    assert batch == ["RuntimeError", "No space left on device (os error 28)"]
    assert stats == [n, n] and reopened == [n, n]
