"""Write-ahead log: record format, sync interval, replay at open and cutting back a damaged tail."""

import os
import struct
import subprocess
import sys

import orbisk
import pytest
from storefiles import (
    delete_payload,
    header_count,
    insert_payload,
    log_record,
    parse_log,
    parse_manifest,
    read,
    sibling,
    write,
)


def files(store_path):
    return {k: sibling(store_path, k) for k in ("wal", "commit", "coords.mmap", "metadata.mmap", "lock")}


@pytest.mark.parametrize("interval", [None, 0, 1000])
def test_each_insert_leaves_one_exact_record_in_the_file(store_path, interval):
    f = files(store_path)
    db = orbisk.PyZurAD(store_path, wal_sync_interval_ms=interval)
    assert db.insert(1.5, -2.25, {"a": 1, "b": 'x"y'}) == 0
    # Written to the operating system right after the call, whatever the interval.
    assert read(f["wal"]) == log_record(
        '{"seq":0,"op":{"Insert":{"lat":1.5,"lon":-2.25,"meta_json":"{\\"a\\":1,\\"b\\":\\"x\\\\\\"y\\"}"}}}'
    )
    db.insert(10, 20, {})
    assert parse_log(read(f["wal"]))[1] == b'{"seq":1,"op":{"Insert":{"lat":10.0,"lon":20.0,"meta_json":"{}"}}}'
    db.flush()
    assert parse_manifest(read(f["commit"]))["wal_seq"] == 2
    db.insert(0, 0, {})
    assert parse_log(read(f["wal"]))[0].startswith(b'{"seq":2,')


def test_store_with_the_largest_sync_interval_is_an_ordinary_persistent_store(store_path):
    f = files(store_path)
    db = orbisk.PyZurAD(store_path, wal_sync_interval_ms=2**64 - 1)
    assert os.path.exists(f["lock"])
    db.insert(1, 2, {"k": "v"})
    assert len(parse_log(read(f["wal"]))) == 1
    db.insert_batch([(3, 4, {}), (5, 6, {})])
    # A batch checkpoints: manifest written, headers current, log empty.
    assert parse_manifest(read(f["commit"]))["next_slot"] == 3
    assert os.path.getsize(f["wal"]) == 0
    assert header_count(f["coords.mmap"]) == header_count(f["metadata.mmap"]) == 3
    del db
    assert all(os.path.exists(p) for p in f.values())
    assert orbisk.PyZurAD(store_path).len() == 3


def open_with_log(store_path, log):
    write(sibling(store_path, "wal"), log)
    return orbisk.PyZurAD(store_path)


def stored_text(store_path, start, n):
    return read(sibling(store_path, "metadata.mmap"))[64 + start : 64 + start + n]


@pytest.mark.parametrize(
    "payload",
    [
        '{"op":{"Insert":{"meta_json":"{\\"q\\":7}","lon":-3.5,"lat":2.25}},"seq":0}',
        '{"seq":0,"x":[1,{"y":null}],"op":{"Insert":{"z":"w","lat":2.25,"lon":-3.5,"meta_json":"{\\"q\\":7}"}}}',
        ' \t{ "seq" : 0 ,\n"op" : { "Insert" : { "lat" : 2.25 , "lon" : -3.5 , "meta_json" : "{\\"q\\":7}" } } }\r\n ',
    ],
    ids=["key-order", "unknown-keys", "whitespace"],
)
def test_replay_accepts_other_spellings_of_a_record(store_path, payload):
    log = log_record(payload)
    db = open_with_log(store_path, log)
    assert db.len() == 1
    assert read(sibling(store_path, "coords.mmap"))[64:80] == struct.pack("<dd", 2.25, -3.5)
    assert stored_text(store_path, 0, 8) == b'{"q":7}\0'
    assert read(sibling(store_path, "wal")) == log


INS = insert_payload
BAD_PAYLOADS = {
    "missing-seq": '{"op":{"Insert":{"lat":1,"lon":2,"meta_json":"{}"}}}',
    "repeated-seq": '{"seq":1,"seq":1,"op":{"Insert":{"lat":1,"lon":2,"meta_json":"{}"}}}',
    "missing-op": '{"seq":1}',
    "repeated-op": INS(1, 1.0, 2.0)[:-1] + ',"op":{"Delete":{"ids":[]}}}',
    "missing-lat": '{"seq":1,"op":{"Insert":{"lon":2,"meta_json":"{}"}}}',
    "repeated-lon": '{"seq":1,"op":{"Insert":{"lat":1,"lon":2,"lon":2,"meta_json":"{}"}}}',
    "repeated-meta_json": '{"seq":1,"op":{"Insert":{"lat":1,"lon":2,"meta_json":"{}","meta_json":"{}"}}}',
    "missing-ids": '{"seq":1,"op":{"Delete":{}}}',
    "repeated-ids": '{"seq":1,"op":{"Delete":{"ids":[0],"ids":[0]}}}',
    "two-variants": '{"seq":1,"op":{"Delete":{"ids":[]},"Insert":{"lat":1,"lon":2,"meta_json":"{}"}}}',
    "unknown-variant": '{"seq":1,"op":{"Update":{"ids":[]}}}',
    "garbage-after-value": INS(1, 1.0, 2.0) + " x",
    "meta-number": INS(1, 1.0, 2.0, "5"),
    "meta-trailing-text": INS(1, 1.0, 2.0, "{}x"),
    "meta-empty": INS(1, 1.0, 2.0, ""),
    "meta-array": INS(1, 1.0, 2.0, "[]"),
    # Nothing can follow the last sequence number; the counter would wrap.
    "last-seq": INS(2**64 - 1, 1.0, 2.0),
}
GOOD0 = log_record(INS(0, 1.0, 2.0, '{"n":0}'))
GOOD1 = log_record(INS(1, 3.0, 4.0, '{"n":1}'))
GOOD2 = log_record(INS(2, 5.0, 6.0, '{"n":2}'))


def flipped(record, at):
    b = bytearray(record)
    b[at] ^= 0x01
    return bytes(b)


DAMAGED_TAILS = {
    **{k: log_record(v) + GOOD2 for k, v in BAD_PAYLOADS.items()},
    "bad-crc": log_record(INS(1, 3.0, 4.0), crc=0xDEADBEEF) + GOOD2,
    "wrong-magic": log_record(INS(1, 3.0, 4.0), magic=b"OWR1") + GOOD2,
    "flipped-payload-byte": flipped(GOOD1, 20) + GOOD2,
    "torn-mid-payload": GOOD1[:-5],
    "torn-mid-header": GOOD1[:9],
    "length-past-end": GOOD1[:4] + struct.pack("<I", 10**6) + GOOD1[8:],
    **{f"stray-{n}": b"OWR"[:n] for n in (1, 2, 3)},
}


@pytest.mark.parametrize("tail", DAMAGED_TAILS.values(), ids=DAMAGED_TAILS.keys())
def test_replay_stops_at_damage_and_cuts_the_log_back(store_path, tail):
    db = open_with_log(store_path, GOOD0 + tail)
    assert db.slot_stats() == (1, 1)
    assert read(sibling(store_path, "wal")) == GOOD0
    assert parse_manifest(read(sibling(store_path, "commit")))["wal_seq"] == 1
    # The writer continues at the cut: the next record follows the kept one.
    db.insert(7, 8, {})
    assert parse_log(read(sibling(store_path, "wal")))[1].startswith(b'{"seq":1,')


def test_replayed_records_stay_in_the_log_and_are_not_applied_twice(store_path):
    log = GOOD0 + GOOD1 + GOOD2
    db = open_with_log(store_path, log)
    assert db.len() == 3
    assert parse_manifest(read(sibling(store_path, "commit")))["wal_seq"] == 3
    assert read(sibling(store_path, "wal")) == log
    del db
    assert orbisk.PyZurAD(store_path).len() == 3
    assert read(sibling(store_path, "wal")) == log


def test_records_below_the_committed_sequence_are_skipped(store_path):
    db = orbisk.PyZurAD(store_path)
    db.insert_batch([(1, 1, {}), (2, 2, {})])  # checkpointed: manifest wal_seq 2, log empty
    del db
    manifest = read(sibling(store_path, "commit"))
    old = log_record(INS(0, 9.0, 9.0)) + log_record(INS(1, 9.0, 9.0))
    db = open_with_log(store_path, old)
    assert db.len() == 2
    assert read(sibling(store_path, "wal")) == old
    assert read(sibling(store_path, "commit")) == manifest
    del db
    # Records at or above it are applied wherever they stand and in any order; the
    # last applied one sets the next sequence number.
    db = open_with_log(store_path, log_record(INS(9, 3.0, 3.0)) + old + log_record(INS(4, 3.0, 3.0)))
    assert db.len() == 4
    assert parse_manifest(read(sibling(store_path, "commit")))["wal_seq"] == 5


def test_delete_of_dead_or_unknown_slots_replays_without_effect(store_path):
    log = b"".join(
        log_record(p)
        for p in [
            INS(0, 1.0, 1.0),
            INS(1, 2.0, 2.0),
            delete_payload(2, [0]),
            delete_payload(3, [0, 0, 2, 7, 2**64 - 1]),
            INS(4, 3.0, 3.0),
        ]
    )
    db = open_with_log(store_path, log)
    assert db.slot_stats() == (3, 2)
    assert read(sibling(store_path, "coords.mmap"))[64:80] == struct.pack("<QQ", 0x7FF8000000000000, 0x7FF8000000000000)
    assert parse_manifest(read(sibling(store_path, "commit")))["wal_seq"] == 5
    del db
    assert orbisk.PyZurAD(store_path).slot_stats() == (3, 2)


def test_failing_to_apply_a_replayed_insert_refuses_the_open(store_path):
    # Growing the metadata file beyond the file-size limit of the opening process fails the replay.
    meta = '{"k":"%s"}' % ("x" * 100)
    write(sibling(store_path, "wal"), log_record(INS(0, 1.0, 1.0, meta)))
    script = (
        "import resource, signal, orbisk\n"
        "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
        "resource.setrlimit(resource.RLIMIT_FSIZE, (200, 200))\n"
        "try:\n"
        f"    orbisk.PyZurAD({store_path!r}, capacity=0)\n"
        "except OSError as e:\n"
        "    print(e)\n"
    )
    out = subprocess.run(
        [sys.executable, "-c", script],
        capture_output=True,
        text=True,
        check=True,
        env=dict(os.environ, PYTHONPATH=os.path.dirname(orbisk.__file__)),
    )
    assert out.stdout == "Orbisk: WAL replay failed: File too large (os error 27)\n"
    assert read(sibling(store_path, "wal")) == log_record(INS(0, 1.0, 1.0, meta))
    assert not os.path.exists(sibling(store_path, "commit"))
