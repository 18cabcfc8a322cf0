"""Crafting and parsing the on-disk files of a store (manifest, log, data headers)."""

import json
import os
import struct
import zlib

MANIFEST_V3 = struct.Struct("<8sQQQQIQI")  # without the trailing self-CRC
MANIFEST_V2 = struct.Struct("<8sQQQIQI")
FIELDS = ("next_slot", "wal_seq", "generation", "coords_bytes", "coords_crc", "metadata_bytes", "metadata_crc")


def sibling(store_path, name):
    """Path of the store file `geo.{name}` next to the base path `.../geo.db`."""
    return os.path.join(os.path.dirname(store_path), "geo." + name)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def manifest_bytes(
    next_slot=0, wal_seq=0, generation=0, coords_bytes=0, coords_crc=0, metadata_bytes=0, metadata_crc=0, version=3
):
    if version == 3:
        body = MANIFEST_V3.pack(
            b"GEOCMT03", next_slot, wal_seq, generation, coords_bytes, coords_crc, metadata_bytes, metadata_crc
        )
    else:
        body = MANIFEST_V2.pack(b"GEOCMT02", next_slot, wal_seq, coords_bytes, coords_crc, metadata_bytes, metadata_crc)
    return body + struct.pack("<I", zlib.crc32(body))


def parse_manifest(data):
    assert len(data) == 60 and data[:8] == b"GEOCMT03"
    assert struct.unpack_from("<I", data, 56)[0] == zlib.crc32(data[:56])
    return dict(zip(FIELDS, MANIFEST_V3.unpack_from(data)[1:]))


def log_record(payload, crc=None, magic=b"OWR2"):
    if isinstance(payload, str):
        payload = payload.encode()
    return magic + struct.pack("<II", len(payload), zlib.crc32(payload) if crc is None else crc) + payload


def insert_payload(seq, lat, lon, meta="{}"):
    return '{"seq":%d,"op":{"Insert":{"lat":%r,"lon":%r,"meta_json":%s}}}' % (seq, lat, lon, json.dumps(meta))


def delete_payload(seq, ids, prev=None):
    """A Delete record; `prev`, when given, holds the 16-byte coordinate record of each id before the delete."""
    extra = "" if prev is None else ',"prev_coords":[%s]' % ",".join('"%s"' % p.hex() for p in prev)
    return '{"seq":%d,"op":{"Delete":{"ids":[%s]%s}}}' % (seq, ",".join(map(str, ids)), extra)


def parse_log(data):
    """The payloads of a log that must consist of whole, intact records only."""
    out, p = [], 0
    while p < len(data):
        assert data[p : p + 4] == b"OWR2"
        n, crc = struct.unpack_from("<II", data, p + 4)
        payload = data[p + 12 : p + 12 + n]
        assert len(payload) == n and zlib.crc32(payload) == crc
        out.append(payload)
        p += 12 + n
    return out


def data_files(store_path):
    """(coordinates path, metadata path) of the generation the manifest names (generation 0 without one)."""
    commit = sibling(store_path, "commit")
    g = parse_manifest(read(commit))["generation"] if os.path.exists(commit) else 0
    middle = f".{g}" if g else ""
    return sibling(store_path, f"coords{middle}.mmap"), sibling(store_path, f"metadata{middle}.mmap")


def committed_slots(store_path):
    """[(coordinate record bytes, metadata text)] of every committed slot, tombstoned ones included."""
    m = parse_manifest(read(sibling(store_path, "commit")))
    coords_path, meta_path = data_files(store_path)
    coords = read(coords_path)
    text = read(meta_path)[64 : 64 + m["metadata_bytes"]].decode()
    decoder, pos, out = json.JSONDecoder(), 0, []
    for slot in range(m["next_slot"]):
        _, end = decoder.raw_decode(text, pos)
        out.append((coords[64 + 16 * slot : 80 + 16 * slot], text[pos:end]))
        pos = end
    assert pos == len(text)
    return out


def header_count(path):
    return struct.unpack_from("<Q", read(path), 8)[0]


def data_file(count, area=b"", length=None):
    """A data file: header with record `count`, then `area`, zero-padded to `length`."""
    data = b"ZURAD004" + struct.pack("<Q", count) + bytes(48) + area
    return data + bytes(max(0, (length or 0) - len(data)))
