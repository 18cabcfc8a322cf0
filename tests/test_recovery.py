"""Commit manifest, open-time checks and refusals, checkpoints and integrity verification."""

import os
import random
import struct
import zlib

import orbisk
import pytest
from storefiles import (
    data_file,
    header_count,
    insert_payload,
    log_record,
    manifest_bytes,
    parse_log,
    parse_manifest,
    read,
    sibling,
    write,
)

STORE_FILES = ("wal", "coords.mmap", "metadata.mmap", "commit")


def make_store(store_path, committed=3, pending=1, **kw):
    """A store with `committed` checkpointed points and `pending` more that only the log holds."""
    db = orbisk.PyZurAD(store_path, **kw)
    db.insert_batch([(i, -i, {"n": i}) for i in range(committed)])
    for i in range(pending):
        db.insert(50, 60 + i, {"p": i})
    return db


def snapshot(store_path):
    return {k: read(sibling(store_path, k)) for k in STORE_FILES if os.path.isfile(sibling(store_path, k))}


def manifest(store_path):
    return parse_manifest(read(sibling(store_path, "commit")))


def refusal(store_path, **kw):
    before = snapshot(store_path)
    with pytest.raises(OSError) as e:
        orbisk.PyZurAD(store_path, **kw)
    assert snapshot(store_path) == before  # a refused open touches neither the log nor committed bytes
    return str(e.value)


def patch(path, offset, data):
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(data)


def flip_bit(data, bit):
    b = bytearray(data)
    b[bit // 8] ^= 1 << (bit % 8)
    return bytes(b)


SIZE_OR_MAGIC = "commit manifest has wrong size or magic"
SELF_CRC = "commit manifest self-CRC mismatch (manifest corrupted)"
V2 = manifest_bytes(2, 2, 0, 32, 0, 0, 0, version=2)
BAD_MANIFESTS = [
    ("7-bytes", lambda m: m[:7], SIZE_OR_MAGIC),
    ("no-magic", lambda m: b"GEOCMT04" + m[8:], SIZE_OR_MAGIC),
    ("v3-61-bytes", lambda m: m + b"\0", "commit manifest (v3) has wrong size"),
    ("v2-60-bytes", lambda m: b"GEOCMT02" + m[8:], "commit manifest (v2) has wrong size"),
    ("magic-bit-0", lambda m: flip_bit(m, 0), SIZE_OR_MAGIC),
    ("magic-bit-56", lambda m: flip_bit(m, 56), "commit manifest (v2) has wrong size"),
    ("v2-bit-flip", lambda m: flip_bit(V2, 300), SELF_CRC),
    ("directory", None, "Is a directory (os error 21)"),
] + [(f"bit-{b}", lambda m, b=b: flip_bit(m, b), SELF_CRC) for b in random.Random(2024).sample(range(64, 480), 12)]


@pytest.mark.parametrize("corrupt,error", [c[1:] for c in BAD_MANIFESTS], ids=[c[0] for c in BAD_MANIFESTS])
def test_unreadable_manifest_refuses_the_open(store_path, corrupt, error):
    make_store(store_path)
    path = sibling(store_path, "commit")
    if corrupt:
        write(path, corrupt(read(path)))
    else:
        os.remove(path)
        os.mkdir(path)
    assert refusal(store_path) == (f"Orbisk CRITICAL: refusing to open, commit manifest is corrupt: {error} ({path})")


def test_version_2_manifest_is_read_and_upgraded_by_the_next_checkpoint(store_path):
    make_store(store_path, committed=2, pending=0)
    fields = manifest(store_path)
    v2 = {k: v for k, v in fields.items() if k != "generation"}
    write(sibling(store_path, "commit"), manifest_bytes(**v2, version=2))
    db = orbisk.PyZurAD(store_path)
    assert db.len() == 2
    db.flush()
    assert manifest(store_path) == fields  # 60 bytes, "GEOCMT03", generation 0


def test_checkpoint_manifest_describes_the_data_files(store_path):
    db = orbisk.PyZurAD(store_path)
    db.flush()
    assert read(sibling(store_path, "commit")) == manifest_bytes()
    assert os.path.getsize(sibling(store_path, "wal")) == 0
    texts = [b'{"a":1}', b'{"b":"xyz"}', b"{}"]
    for i, meta in enumerate([{"a": 1}, {"b": "xyz"}, {}]):
        db.insert(i + 0.5, -i, meta)
    db.flush()
    coords, meta = read(sibling(store_path, "coords.mmap")), read(sibling(store_path, "metadata.mmap"))
    assert coords[64:112] == b"".join(struct.pack("<dd", i + 0.5, -i) for i in range(3))
    assert meta[64:84] == b"".join(texts)
    assert manifest(store_path) == dict(
        next_slot=3,
        wal_seq=3,
        generation=0,
        coords_bytes=48,
        coords_crc=zlib.crc32(coords[64:112]),
        metadata_bytes=20,
        metadata_crc=zlib.crc32(meta[64:84]),
    )
    assert [struct.unpack_from("<Q", d, 8)[0] for d in (coords, meta)] == [3, 3]
    assert os.path.getsize(sibling(store_path, "wal")) == 0
    first = read(sibling(store_path, "commit"))
    db.flush()
    assert read(sibling(store_path, "commit")) == first
    del db
    assert orbisk.PyZurAD(store_path).len() == 3
    assert read(sibling(store_path, "commit")) == first
    assert os.path.getsize(sibling(store_path, "wal")) == 0


@pytest.mark.parametrize(
    "name,refused",
    [
        ("geo.coords.1.mmap", True),
        ("geo.coords.+7.mmap", True),
        ("geo.coords.0.mmap", False),
        ("geo.coords.x.mmap", False),
        ("geo.coords.-1.mmap", False),
        ("geo.coords.18446744073709551616.mmap", False),
        ("geo.metadata.1.mmap", False),
    ],
)
def test_missing_manifest_with_compacted_generations_refuses_the_open(store_path, name, refused):
    make_store(store_path, committed=0, pending=2)
    write(os.path.join(os.path.dirname(store_path), name), data_file(0))
    if refused:
        assert refusal(store_path) == (
            "Orbisk CRITICAL: refusing to open — commit manifest " + sibling(store_path, "commit") + " is missing "
            "but compacted generation files (<base>.coords.<N>.mmap) exist. Opening at gen 0 would serve an empty "
            "store and reclaim the live data. Restore the .commit sidecar or move the generation files aside."
        )
    else:
        assert orbisk.PyZurAD(store_path).len() == 2
        # Stale generations are removed only by an open that found a manifest.
        assert os.path.exists(os.path.join(os.path.dirname(store_path), name))


def test_open_with_a_manifest_removes_only_this_stores_other_generations(store_path):
    make_store(store_path)
    directory = os.path.dirname(store_path)
    stale = ["geo.coords.1.mmap", "geo.coords.+3.mmap", "geo.metadata.7.mmap"]
    # Not generations of this store: a neighbour's data file, a user's copies.
    kept = [
        "geo.coords.0.mmap",
        "geo.coords.x.mmap",
        "geo.coords.old.coords.mmap",
        "other.coords.1.mmap",
        "geo.coords.1.mmapx",
    ]
    for name in stale + kept:
        write(os.path.join(directory, name), b"")
    assert orbisk.PyZurAD(store_path).len() == 4
    assert sorted(n for n in os.listdir(directory) if "mmap" in n) == sorted(
        kept + ["geo.coords.mmap", "geo.metadata.mmap"]
    )


def crc_issue(name, committed, region):
    return (
        f"{name}: CRC mismatch (committed {committed:08x}, on-disk {zlib.crc32(region):08x}) "
        f"over {len(region)} bytes (silent corruption)"
    )


@pytest.mark.parametrize("regions", [["coords"], ["metadata"], ["coords", "metadata"]])
def test_changed_committed_bytes_refuse_the_open(store_path, regions):
    make_store(store_path)
    m = manifest(store_path)
    issues = []
    for kind in regions:
        path = sibling(store_path, kind + ".mmap")
        patch(path, 64 + 5, b"\x99")
        region = read(path)[64 : 64 + m[kind + "_bytes"]]
        issues.append(crc_issue(kind + ".mmap", m[kind + "_crc"], region))
    assert refusal(store_path) == (
        f"Orbisk CRITICAL: refusing to open corrupted database ({len(issues)} issue(s)): " + "; ".join(issues)
    )


@pytest.mark.parametrize("capacity", [0, 1])
def test_metadata_file_cut_below_its_committed_region(store_path, capacity):
    make_store(store_path, capacity=1)
    m = manifest(store_path)
    path = sibling(store_path, "metadata.mmap")
    kept = read(path)[: 64 + m["metadata_bytes"] - 2]
    write(path, kept)
    if capacity == 0:
        issue = f"metadata.mmap: committed region of {m['metadata_bytes']} bytes exceeds file length {len(kept) - 64}"
    else:  # the open extends the file again, with zeros where the text was
        issue = crc_issue("metadata.mmap", m["metadata_crc"], kept[64:] + b"\0\0")
    with pytest.raises(OSError) as e:
        orbisk.PyZurAD(store_path, capacity=capacity)
    assert str(e.value) == f"Orbisk CRITICAL: refusing to open corrupted database (1 issue(s)): {issue}"


@pytest.mark.parametrize(
    "coords_bytes,issue",
    [
        (2**64 - 64, "coords.mmap: region length overflow"),
        (2**64 - 1, "coords.mmap: region length overflow"),
        (2**64 - 65, "coords.mmap: committed region of 18446744073709551551 bytes exceeds file length 160000"),
    ],
)
def test_committed_length_past_any_file(store_path, coords_bytes, issue):
    make_store(store_path)
    write(sibling(store_path, "commit"), manifest_bytes(**{**manifest(store_path), "coords_bytes": coords_bytes}))
    assert refusal(store_path) == f"Orbisk CRITICAL: refusing to open corrupted database (1 issue(s)): {issue}"


E0, E1 = b'{"k":"ab"}', b'{"k":"abcd"}'  # 10 and 12 bytes


@pytest.mark.parametrize(
    "next_slot,committed,message",
    [
        (2, 20, "metadata entry 1 of 2 failed to decode at offset 74"),
        (2, 10, "metadata exhausted at entry 1 of 2 (offset 74 reached committed bound 74)"),
        (1, 22, "metadata parse consumed 10 bytes but committed region is 22 bytes"),
        (2, None, "metadata truncated at entry 1 of 2 (offset 74 >= file len 74)"),
    ],
)
def test_metadata_inconsistent_with_the_slot_count_refuses_the_open(store_path, next_slot, committed, message):
    coords = struct.pack("<dddd", 1, 2, 3, 4)
    meta = E0 + E1 if committed else E0  # without a manifest the file ends right after the first entry
    write(sibling(store_path, "coords.mmap"), data_file(2, coords))
    write(sibling(store_path, "metadata.mmap"), data_file(2, meta))
    if committed:
        write(
            sibling(store_path, "commit"),
            manifest_bytes(
                next_slot,
                0,
                0,
                16 * next_slot,
                zlib.crc32(coords[: 16 * next_slot]),
                committed,
                zlib.crc32(meta[:committed]),
            ),
        )
    assert refusal(store_path, capacity=0) == (
        f"Orbisk CRITICAL: refusing to open, inconsistent committed state: {message}"
    )


def test_bytes_after_the_committed_region_are_rebuilt_by_replay(store_path):
    db = make_store(store_path, committed=3, pending=2)
    m = manifest(store_path)
    del db
    patch(sibling(store_path, "coords.mmap"), 64 + m["coords_bytes"], b"\xff" * 40)
    patch(sibling(store_path, "metadata.mmap"), 64 + m["metadata_bytes"], b"garbage{")
    db = orbisk.PyZurAD(store_path)
    assert db.slot_stats() == (5, 5)
    assert db.verify_integrity() == {"ok": True, "errors": []}
    assert read(sibling(store_path, "metadata.mmap"))[64 + m["metadata_bytes"] :][:16] == b'{"p":0}{"p":1}\0\0'


def test_never_checkpointed_store_reopens_from_its_log(store_path):
    make_store(store_path, committed=0, pending=3)
    assert not os.path.exists(sibling(store_path, "commit"))
    assert orbisk.PyZurAD(store_path).len() == 3
    assert manifest(store_path)["next_slot"] == 3
    assert len(parse_log(read(sibling(store_path, "wal")))) == 3


@pytest.mark.parametrize("counts,loaded", [((1, 2), 1), ((2, 1), 1), ((2, 2), 2), ((0, 2), 0)])
def test_lenient_open_loads_the_smaller_header_count(store_path, counts, loaded):
    write(sibling(store_path, "coords.mmap"), data_file(counts[0], struct.pack("<dddd", 4, 5, 6, 7)))
    write(sibling(store_path, "metadata.mmap"), data_file(counts[1], b'{"a":1}{"a":2}'))
    write(sibling(store_path, "wal"), log_record(insert_payload(0, 1.0, 1.0, '{"b":2}')))
    assert orbisk.PyZurAD(store_path).slot_stats() == (loaded + 1, loaded + 1)
    text = read(sibling(store_path, "metadata.mmap"))[64 : 64 + 7 * (loaded + 1)]
    assert text == b'{"a":1}{"a":2}'[: 7 * loaded] + b'{"b":2}'


@pytest.mark.parametrize("committed", [0, 2])
def test_failed_manifest_write_leaves_header_counts_and_loses_nothing(store_path, committed):
    db = make_store(store_path, committed=committed, pending=3)
    os.mkdir(sibling(store_path, "commit.tmp"))  # the temporary manifest cannot be opened
    for call in (db.flush, lambda: db.verify_integrity(flush=True)):  # noqa: F821
        with pytest.raises(OSError) as e:
            call()
        assert str(e.value) == "Is a directory (os error 21)"
    for kind in ("coords.mmap", "metadata.mmap"):
        assert header_count(sibling(store_path, kind)) == committed
    os.rmdir(sibling(store_path, "commit.tmp"))
    db.insert(1, 1, {})
    del db
    assert orbisk.PyZurAD(store_path).slot_stats() == (committed + 4, committed + 4)


def test_verify_integrity_reports_committed_damage(store_path):
    db = make_store(store_path, committed=0, pending=2)
    result = db.verify_integrity()
    assert result == {"ok": True, "errors": []} and list(result) == ["ok", "errors"]
    db.flush()
    assert db.verify_integrity() == {"ok": True, "errors": []}
    m = manifest(store_path)
    path = sibling(store_path, "coords.mmap")
    patch(path, 64 + 17, b"\x42")  # through another handle; the store's mapping sees it
    assert db.verify_integrity() == {
        "ok": False,
        "errors": [crc_issue("coords.mmap", m["coords_crc"], read(path)[64 : 64 + 32])],
    }
    write(sibling(store_path, "commit"), bytes(10))
    assert db.verify_integrity() == {
        "ok": False,
        "errors": ["commit manifest: commit manifest has wrong size or magic"],
    }


def test_verify_integrity_with_flush_checkpoints_first(store_path):
    db = make_store(store_path, committed=1, pending=2)
    with pytest.raises(TypeError) as e:
        db.verify_integrity(flush=1)
    assert str(e.value) == "argument 'flush': 'int' object cannot be converted to 'PyBool'"
    assert os.path.getsize(sibling(store_path, "wal")) > 0
    assert db.verify_integrity(flush=True) == {"ok": True, "errors": []}
    assert os.path.getsize(sibling(store_path, "wal")) == 0
    assert manifest(store_path)["next_slot"] == 3


def test_verify_integrity_accepts_numpy_booleans(store_path):
    numpy = pytest.importorskip("numpy")
    db = make_store(store_path, committed=0, pending=1)
    assert db.verify_integrity(flush=numpy.False_) == {"ok": True, "errors": []}
    assert os.path.getsize(sibling(store_path, "wal")) > 0
    assert db.verify_integrity(flush=numpy.True_) == {"ok": True, "errors": []}
    assert os.path.getsize(sibling(store_path, "wal")) == 0


def test_checkpoint_after_loading_a_short_coordinates_file_vouches_only_for_real_bytes(store_path):
    """A store loaded without a manifest from a coordinates file that lost its
    tail: the next checkpoint extends the file and records the lost slots as
    deleted, so the manifest matches the bytes and the next open succeeds."""
    make_store(store_path, committed=5, pending=0, capacity=0).flush()
    os.remove(sibling(store_path, "commit"))
    coords = sibling(store_path, "coords.mmap")
    os.truncate(coords, 64 + 16 * 3)
    db = orbisk.PyZurAD(store_path, capacity=0)
    assert db.slot_stats() == (5, 3)
    db.flush()
    m = manifest(store_path)
    assert m["coords_bytes"] == 16 * 5
    assert m["coords_crc"] == zlib.crc32(read(coords)[64 : 64 + 16 * 5])
    assert struct.unpack_from("<4d", read(coords), 64 + 16 * 3) == pytest.approx([float("nan")] * 4, nan_ok=True)
    del db
    reopened = orbisk.PyZurAD(store_path, capacity=0)
    assert reopened.slot_stats() == (5, 3)
    assert reopened.verify_integrity() == {"ok": True, "errors": []}
