"""Fault injection over the write path, and power cuts after it.

The campaign runs a small workload on the probe module's build of the handle
class, whose file layer can be made to fail any of its
system calls (open, write, fdatasync, fsync, msync, rename, ftruncate,
fallocate, mmap, fcntl). The workload: a new store takes single inserts forced
to disk, a batch that grows both data files, more inserts and a flush; it is
opened again with a 1000 ms sync interval and takes more inserts,
verify_integrity(flush=True) and a last insert. A case hits calls of the
workload, counted in order from 0, in one mode:

    kill       the child is killed (SIGKILL) at that call
    eio        that call fails with EIO, later ones succeed
    enospc     that call fails with ENOSPC
    eio-on     that call and every later one fail with EIO (a disk that stays bad)
    eio-twice  that call and the next fail with EIO: the next is often the one
               that takes a failed write back out of the log
    eintr      that call is interrupted (EINTR), which must change nothing
    eio-pairs  two calls anywhere in the workload fail with EIO

After a case that was not killed, the power is cut in a model of a file
system that keeps a new name, or a rename, only once its directory has been
forced: names created and manifest renames made since the last successful
force of the directory are undone (file contents are kept). Then the store is
opened cleanly with the installed module and checked:

- every acknowledged point is present exactly once, bit for bit, at its id;
- no call returned normally after a failure it was not built to absorb;
- a single insert that raised is absent, unless its error said that it may
  still be stored; a batch that raised left all of its points or none (a
  leading part, if its error said they may still be stored);
- len() of the last handle agrees with the reopened store;
- verify_integrity() of the reopened store is ok.

By default every mode but eio-pairs hits each call in turn, and eio-pairs
tries 200 pairs drawn with a fixed seed: about 20 seconds on two cores. The
longer run, `pytest tests/test_faults.py --fault-campaign=full`, draws 5000
pairs.
"""
import errno
import gc
import json
import os
import random
import shutil
import signal
import struct
import tempfile
import traceback

import pytest

import orbisk
from storefiles import parse_manifest, read, write

MODES = ["kill", "eio", "enospc", "eio-on", "eio-twice", "eintr", "eio-pairs"]
PAIRS = {"sampled": 200, "full": 5000}


def plans(mode, calls, campaign):
    """The hook's plans, (calls to hit, errno, persistent, kill), of one mode."""
    if mode == "eio-pairs":
        pairs = [(i, j) for i in range(calls) for j in range(i + 1, calls)]
        return [([i, j], errno.EIO, False, False)
                for i, j in sorted(random.Random(20260611).sample(pairs, min(len(pairs), PAIRS[campaign])))]
    error = {"enospc": errno.ENOSPC, "eintr": errno.EINTR}.get(mode, errno.EIO)
    return [([at, at + 1] if mode == "eio-twice" else [at], error, mode == "eio-on", mode == "kill")
            for at in range(calls)]

# The workload, one step per public call. Inserts and batches take new points.
WORKLOAD = [
    ("open", dict(capacity=8, wal_sync_interval_ms=0)),
    ("insert", None), ("insert", None), ("insert", None),
    ("batch", 200),
    ("insert", None), ("insert", None),
    ("flush", None),
    ("insert", None),
    ("open", dict(wal_sync_interval_ms=1000)),
    ("insert", None), ("insert", None),
    ("verify", None),
    ("insert", None),
]
MAY_BE_STORED = "may still be stored"


def point(key):
    lat = ((key * 7919) % 17000) / 100.0 - 85 + 1 / 3
    lon = ((key * 104729) % 35000) / 100.0 - 175 - 1 / 7
    return lat, lon, {"k": key, "name": f"p\u00e9-{key}", "v": key / 7, "tags": ["a" * (key % 30), None]}


def workload_steps():
    """(kind, argument, keys of the new points) for each step."""
    steps, key = [], 0
    for kind, arg in WORKLOAD:
        n = 1 if kind == "insert" else arg if kind == "batch" else 0
        steps.append((kind, arg, list(range(key, key + n))))
        key += n
    return steps


def run_workload(probe, path, send):
    """Runs the workload, reporting each step with `send` as it ends."""
    db, handle, last_len = None, -1, 0
    for kind, arg, keys in workload_steps():
        line = {"kind": kind, "keys": keys, "boundary": len(probe.faults_events()), "handle": handle,
                "manifest": read(path[:-3] + ".commit").hex() if os.path.exists(path[:-3] + ".commit") else None}
        try:
            if kind == "open":
                if db is not None:
                    last_len = db.len()
                db = None
                db = probe.PyZurAD(path, **arg)
                handle += 1
                line["handle"] = handle
                result = None
            elif db is None:
                line["skipped"] = True
                send(line)
                continue
            elif kind == "insert":
                result = [db.insert(*point(keys[0]))]
            elif kind == "batch":
                result = db.insert_batch([point(k) for k in keys])
            elif kind == "flush":
                result = db.flush()
            else:
                result = db.verify_integrity(flush=True)
            line["ok"] = result
        except Exception as e:
            line["error"] = [type(e).__name__, str(e)]
        send(line)
    if db is not None:
        last_len = db.len()
    send({"len": last_len, "handle": handle, "events": probe.faults_events()})


def run_case(probe, path, plan):
    """Runs the workload with the hook armed; returns (step lines, final line, killed).

    Only a case that kills runs in a child of its own."""
    if not plan or not plan[3]:
        lines = []
        probe.faults_arm(*plan)
        try:
            run_workload(probe, path, lambda obj: lines.append(json.loads(json.dumps(obj))))
        finally:
            probe.faults_disarm()
        return lines[:-1], lines[-1], False
    r, w = os.pipe()
    gc.freeze()  # the child's collections then leave the parent's pages unshared
    pid = os.fork()
    gc.unfreeze()
    if pid == 0:
        code = 0
        try:
            os.close(r)
            probe.faults_arm(*plan)
            run_workload(probe, path, lambda obj: os.write(w, (json.dumps(obj) + "\n").encode()))
        except BaseException:
            os.write(2, traceback.format_exc().encode())
            code = 1
        finally:
            os._exit(code)
    os.close(w)
    chunks = []
    while chunk := os.read(r, 1 << 16):
        chunks.append(chunk)
    os.close(r)
    _, status = os.waitpid(pid, 0)
    killed = os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL
    assert killed or os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, f"child failed with status {status}"
    lines = []
    for text in b"".join(chunks).decode().splitlines():
        try:
            lines.append(json.loads(text))
        except json.JSONDecodeError:  # cut short by the kill
            pass
    final = lines.pop() if lines and "len" in lines[-1] else None
    return lines, final, killed


def cut_power(path, lines, events):
    """Undoes what a power cut takes away: new names and manifest renames that no directory force made durable."""
    directory = os.path.dirname(path)
    forced = [i for i, (call, p, err, _) in enumerate(events) if call == "fsync" and p == directory and err == 0]
    last_force = forced[-1] if forced else -1
    for call, p, err, created in events[last_force + 1:]:
        if created and os.path.exists(p):
            os.remove(p)
    renames = [i for i, (call, _, err, _) in enumerate(events) if call == "rename" and err == 0 and i > last_force]
    if renames:
        before = [line for line in lines if line["boundary"] <= renames[0]][-1]["manifest"]
        manifest = path[:-3] + ".commit"
        if before is None:
            os.remove(manifest)
        else:
            write(manifest, bytes.fromhex(before))


def absorbed(event):
    """Failures a call may get past and still succeed: retried interruptions, allocation
    ahead of need (retried for what is needed), unlocking, and a store without a manifest yet."""
    call, path, err, _ = event
    return (err in (0, errno.EINTR) or call in ("fallocate", "fcntl")
            or (call == "open" and err == errno.ENOENT and path.endswith(".commit")))


def stored_points(path):
    """[(slot, coordinate bytes, metadata text bytes)] as the files of a closed store hold them."""
    m = parse_manifest(read(path[:-3] + ".commit"))
    coords = read(path[:-3] + ".coords.mmap")
    text = read(path[:-3] + ".metadata.mmap")[64:64 + m["metadata_bytes"]].decode()
    decoder, pos, out = json.JSONDecoder(), 0, []
    for slot in range(m["next_slot"]):
        _, end = decoder.raw_decode(text, pos)
        out.append((slot, coords[64 + 16 * slot:80 + 16 * slot], text[pos:end].encode()))
        pos = end
    assert pos == len(text)
    return out


def check_case(path, mode, lines, final, expected):
    """The problems found with one case (an empty list when it passed)."""
    problems = []
    if final is not None:
        ends = [line["boundary"] for line in lines[1:]] + [len(final["events"])]
        for line, end in zip(lines, ends):
            # A check that found the manifest unreadable said so in its result.
            if "ok" in line and (line["kind"] != "verify" or line["ok"]["ok"]):
                hidden = [e for e in final["events"][line["boundary"]:end] if not absorbed(e)]
                if hidden:
                    problems.append(f"{line['kind']} returned normally after {hidden[0]}")
        cut_power(path, lines, final["events"])
    if mode == "eintr":
        problems += [f"{line['kind']} failed: {line.get('error')}" for line in lines if "ok" not in line]

    try:
        db = orbisk.PyZurAD(path)
    except OSError as e:
        return problems + [f"reopen refused: {e}"]
    integrity = db.verify_integrity()
    count = db.len()
    if count and not os.path.exists(path[:-3] + ".commit"):
        db.flush()  # the points are read from the committed region
    del db
    if not integrity["ok"]:
        problems.append(f"verify_integrity: {integrity['errors']}")
    stored = {}
    for slot, coords, text in stored_points(path) if os.path.exists(path[:-3] + ".commit") else []:
        key = json.loads(text)["k"]
        if key in stored:
            problems.append(f"point {key} stored twice")
        stored[key] = slot
        if (coords, text) != expected[key]:
            problems.append(f"point {key} stored as {coords.hex()} {text!r}")
    if count != len(stored):
        problems.append(f"reopened len() {count} but {len(stored)} points in the files")

    extra = 0
    for line in lines:
        keys = line["keys"]
        if not keys or line.get("skipped"):
            continue
        if "ok" in line:
            for key, slot in zip(keys, line["ok"]):
                if stored.get(key) != slot:
                    problems.append(f"acknowledged point {key} (id {slot}) found at {stored.get(key)}")
            continue
        present = [k for k in keys if k in stored]
        may = MAY_BE_STORED in line["error"][1]
        if may:
            allowed = present == keys[:len(present)]
        else:
            allowed = not present or line["kind"] == "batch" and present == keys
        if not allowed:
            problems.append(f"{line['kind']} that raised {line['error']} left {len(present)} of its points")
        slots = [stored[k] for k in present]
        if slots != list(range(slots[0], slots[0] + len(slots)) if slots else []):
            problems.append(f"{line['kind']} that raised left its points at scattered slots")
        if may and final is not None and line["handle"] == final["handle"]:
            extra += len(present)
    if final is not None and count != final["len"] + extra:
        problems.append(f"the handle counted {final['len']} points, the reopened store {count}")
    return problems


@pytest.fixture
def scratch(tmp_path):
    """A directory for the cases, on a memory file system when there is one: forcing costs nothing there."""
    base = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else str(tmp_path)
    directory = tempfile.mkdtemp(prefix="orbisk-faults-", dir=base)
    yield directory
    shutil.rmtree(directory, ignore_errors=True)


@pytest.mark.parametrize("mode", MODES)
def test_fault_campaign(probe, scratch, request, mode):
    expected = {}
    for _, _, keys in workload_steps():
        for key in keys:
            lat, lon, meta = point(key)
            expected[key] = (struct.pack("<dd", lat, lon), probe.to_json_text(meta).encode())
    path = os.path.join(scratch, "base", "geo.db")
    os.mkdir(os.path.dirname(path))
    baseline, final, _ = run_case(probe, path, ())
    assert all("ok" in line for line in baseline), baseline
    assert check_case(path, "eintr", baseline, final, expected) == []
    calls = len(final["events"])

    failures = []
    cases = plans(mode, calls, request.config.getoption("--fault-campaign"))
    for n, plan in enumerate(cases):
        path = os.path.join(scratch, str(n), "geo.db")
        os.mkdir(os.path.dirname(path))
        lines, final, killed = run_case(probe, path, plan)
        if mode == "kill" and not killed:
            failures.append(f"calls {plan[0]}: the child was not killed")
        for problem in check_case(path, mode, lines, final, expected):
            hit = [final["events"][at][:2] for at in plan[0] if at < len(final["events"])] if final else "killed"
            failures.append(f"calls {plan[0]} {hit}: {problem}")
        shutil.rmtree(os.path.dirname(path))
    assert not failures, f"{len(failures)} problems in {len(cases)} cases:\n" + "\n".join(failures[:20])


def test_power_cut_before_the_first_checkpoint_keeps_every_acknowledged_insert(probe, tmp_path):
    path = str(tmp_path / "geo.db")
    probe.faults_arm()
    db = probe.PyZurAD(path, wal_sync_interval_ms=0)
    opened = len(probe.faults_events())
    ids = [db.insert(*point(k)) for k in range(3)]
    events = probe.faults_events()
    probe.faults_disarm()
    del db
    created = [i for i, e in enumerate(events) if e[3]]
    forced = [i for i, e in enumerate(events) if e[:3] == ("fsync", str(tmp_path), 0)]
    # The lock file, the data files and the log are new; the directory is forced after them, within the open.
    assert sorted(os.path.basename(events[i][1]) for i in created) == [
        "geo.coords.mmap", "geo.lock", "geo.metadata.mmap", "geo.wal"]
    assert forced and created[-1] < forced[-1] < opened
    cut_power(path, [{"boundary": 0, "manifest": None}], events)
    assert orbisk.PyZurAD(path).len() == 3 and ids == [0, 1, 2]


def test_a_write_that_cannot_be_taken_back_leaves_the_handle_refusing_writes(probe, store_path):
    db = probe.PyZurAD(store_path, wal_sync_interval_ms=0)
    assert db.insert(*point(0)) == 0
    probe.faults_arm()
    db.insert(*point(1))
    force = next(i for i, e in enumerate(probe.faults_events()) if e[0] == "fdatasync")
    # The next insert's log force fails, and so does cutting its record back out of the log.
    probe.faults_arm([force, force + 1], errno.ENOSPC)
    with pytest.raises(RuntimeError) as e:
        db.insert(*point(2))
    probe.faults_disarm()
    enospc = "No space left on device (os error 28)"
    assert str(e.value) == f"{enospc}; the log could not be cut back ({enospc}), so the point may still be stored"
    refusal = (f"the store must be opened again: a write failed ({enospc}) "
               f"and could not be taken back out of the log ({enospc})")
    for write in (lambda: db.insert(*point(3)), lambda: db.insert_batch([point(3)]), db.flush,
                  lambda: db.verify_integrity(flush=True)):
        with pytest.raises(OSError) as e:
            write()
        assert str(e.value) == refusal
    # Reads go on, and show what the callers were told.
    assert db.len() == 2 and db.slot_stats() == (2, 2) and db.verify_integrity()["ok"]
    assert db.insert_batch([]) == []
    del db
    # The record left in the log comes back at the id the handle never handed out again.
    db = orbisk.PyZurAD(store_path)
    assert db.slot_stats() == (3, 3)
    db.flush()
    del db
    texts = [json.loads(text)["k"] for _, _, text in stored_points(store_path)]
    assert texts == [0, 1, 2]
