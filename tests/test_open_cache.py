"""The open cache: a store's derived state (entry ends, live slots, the grid) in a file per
data generation that an open maps instead of rebuilding. It is never the source of truth: a
damaged, cut or foreign cache changes no answer of any open, the check reports it, and a
writer's open puts a good one in its place."""

import os
import random
import struct
import zlib

from orbisk import PyZurAD
from storefiles import read, write

from orbisk_columnar import ColumnarStore

N = 9000  # above the size from which stores get a cache
KINDS = ["cafe", "park", "museum", "station"]


def point(rng, i):
    lat, lon = [(48.85, 2.35), (40.71, -74.0), (-33.87, 151.2)][i % 3]
    return (
        lat + rng.gauss(0, 0.02),
        lon + rng.gauss(0, 0.02),
        {"i": i, "kind": KINDS[i % 4], "v": i / 7, "tag": "x" * (i % 9)},
    )


def answers(handle):
    """Every kind of question, answered by a PyZurAD or a ColumnarStore, as plain data."""
    boxes = [(48.84, 2.34, 48.87, 2.37), (40.0, -75.0, 41.0, -73.0), (-90, -180, 90, 180), (-34, 151.19, -33.8, 151.21)]
    if isinstance(handle, ColumnarStore):
        return (
            [handle.rows(bbox=b) for b in boxes],
            handle.rows(radius=(48.85, 2.35, 1500)),
            handle.rows(polygon=[(2.3, 48.8), (2.4, 48.8), (2.35, 48.9)]),
            handle.rows(filter={"kind": "park", "i": {"$lt": 4000}}),
            handle.slot_stats(),
        )
    return (
        [handle.query_bbox(*b) for b in boxes],
        handle.query_radius(48.85, 2.35, 1500),
        handle.query_polygon([(2.3, 48.8), (2.4, 48.8), (2.35, 48.9)]),
        handle.query({"kind": "park", "i": {"$lt": 4000}}),
        handle.slot_stats(),
    )


def test_damaged_stale_or_foreign_caches_change_no_answer_and_are_reported(tmp_path):
    path = str(tmp_path / "geo.db")
    cache0, cache1 = str(tmp_path / "geo.cache.mmap"), str(tmp_path / "geo.cache.1.mmap")
    rng = random.Random(20261209)
    db = PyZurAD(path)
    db.insert_batch([point(rng, i) for i in range(N)])
    assert os.path.exists(cache0)  # a first batch leaves the cache of its grid
    db.flush()
    # The caches of earlier states: another generation's, one from before more inserts, one
    # from before a delete.
    states = {"generation 0": read(cache0)}
    db.delete_by_metadata({"i": {"$in": list(range(0, N, 97))}})
    db.compact()
    assert not os.path.exists(cache0)  # removed with its generation
    states["before inserts"] = read(cache1)
    db.insert_batch([point(rng, N + i) for i in range(300)])
    db.flush()
    states["before a delete"] = read(cache1)
    db.delete_by_metadata({"kind": "cafe", "i": {"$gt": 8000}})
    db.flush()
    good = read(cache1)
    assert good not in states.values()

    os.remove(cache1)
    with ColumnarStore(path, read_only=True) as reader:
        expected_read_only = answers(reader)
    assert not os.path.exists(cache1)  # a read-only open writes none
    expected = answers(PyZurAD(path))  # from the data files; the open writes the cache again
    assert read(cache1) == good
    with ColumnarStore(path, read_only=True) as reader:
        assert answers(reader) == expected_read_only
    # The good cache is used, not written again, and answers the same.
    inode = os.stat(cache1).st_ino
    assert answers(PyZurAD(path)) == expected and os.stat(cache1).st_ino == inode
    assert db.verify_integrity() == {"ok": True, "errors": []}

    cases = list(states.items())
    for n in range(40):
        data = bytearray(good)
        if n % 4 == 3:
            cut = rng.randrange(len(data))
            data = data[:cut]
            what = f"cut at {cut}"
        else:
            at = [rng.randrange(len(data)) for _ in range(1 + n % 2)]
            for a in at:
                data[a] ^= 1 << rng.randrange(8)
            what = f"bits flipped at {at}"
        cases.append((what, bytes(data)))
    # A cache that is whole but for its header's checksum, and one re-sealed after a change
    # that its sections' checksums then catch.
    sealed = bytearray(good)
    struct.pack_into("<Q", sealed, 16, N)  # another slot count
    struct.pack_into("<I", sealed, 184, zlib.crc32(bytes(sealed[:184])))
    cases.append(("re-sealed with another slot count", bytes(sealed)))
    # Entry ends out of order under checksums that match them: caught by the checks of the
    # structure alone, wherever in the section the pair lies.
    offset, length = struct.unpack_from("<QQ", good, 64)
    for pair in (1, length // 16, length // 8 - 1):
        swapped = bytearray(good)
        a, b = offset + 8 * (pair - 1), offset + 8 * pair
        swapped[a : a + 8], swapped[b : b + 8] = good[b : b + 8], good[a : a + 8]
        struct.pack_into("<I", swapped, 64 + 16, zlib.crc32(bytes(swapped[offset : offset + length])))
        struct.pack_into("<I", swapped, 184, zlib.crc32(bytes(swapped[:184])))
        cases.append((f"entry ends {pair - 1} and {pair} swapped, re-sealed", bytes(swapped)))

    for what, data in cases:
        write(cache1, data)
        report = db.verify_integrity()
        assert not report["ok"] and len(report["errors"]) == 1, what
        assert report["errors"][0].startswith("open cache geo.cache.1.mmap: "), (what, report)
        with ColumnarStore(path, read_only=True) as reader:
            assert answers(reader) == expected_read_only, what
        assert read(cache1) == data, f"{what}: a read-only open wrote the cache"
        reopened = PyZurAD(path)
        assert answers(reopened) == expected, what
        del reopened
        assert read(cache1) == good, f"{what}: the open did not put a good cache in place"
        assert db.verify_integrity() == {"ok": True, "errors": []}, what
