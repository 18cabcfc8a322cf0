"""Fault injection over the write path, and power cuts after it.

The campaign runs a small workload on the probe module's build of the handle
class, whose file layer can be made to fail any of its
system calls (open, write, fdatasync, fsync, msync, rename, ftruncate,
fallocate, mmap, fcntl, unlink, and the open of a directory to list it). The workload: a new store takes single inserts
forced to disk, a batch that grows both data files, more inserts, a delete, a
compaction into generation 1, an insert and a flush; it is opened again with a
1000 ms sync interval and takes more inserts, a delete,
verify_integrity(flush=True) and a last insert. The probe's build writes the
open cache of stores from 64 slots on, so the opens, flushes and compaction
write it, and the second open maps it: the campaign fails and kills the
cache's calls as well. A case hits calls of the
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
force of the directory are undone (file contents are kept), and an open cache
renamed since keeps its name over zeros. Then the store is opened cleanly
with the probe's build (so through the cache, which it must reject when torn)
and checked:

- every acknowledged point is present exactly once, bit for bit, at its id
  (in insertion order, when a compaction has renumbered it since), unless an
  acknowledged delete removed it; every point is stored in insertion order;
- no call returned normally after a failure it was not built to absorb (a
  delete absorbs the failures of its checkpoint once its record is forced);
- a single insert that raised is absent, unless its error said that it may
  still be stored; a batch that raised left all of its points or none (a
  leading part, if its error said they may still be stored); a delete that
  raised deleted nothing, unless its error said that it may still be stored;
- a delete returned the number of its points that were stored, a compaction
  the number of slots deleted since the last one; the reopened store is at
  the generation of the compactions that took effect;
- len() of the last handle agrees with the reopened store;
- verify_integrity() of the reopened store is ok.

By default every mode but eio-pairs hits each call in turn, and eio-pairs
tries 200 pairs drawn with a fixed seed: about 30 seconds on two cores. The
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

import orbisk
import pytest
from storefiles import committed_slots, parse_manifest, read, write

MODES = ["kill", "eio", "enospc", "eio-on", "eio-twice", "eintr", "eio-pairs"]
PAIRS = {"sampled": 200, "full": 5000}


def plans(mode, calls, campaign):
    """The hook's plans, (calls to hit, errno, persistent, kill), of one mode."""
    if mode == "eio-pairs":
        pairs = [(i, j) for i in range(calls) for j in range(i + 1, calls)]
        return [
            ([i, j], errno.EIO, False, False)
            for i, j in sorted(random.Random(20260611).sample(pairs, min(len(pairs), PAIRS[campaign])))
        ]
    error = {"enospc": errno.ENOSPC, "eintr": errno.EINTR}.get(mode, errno.EIO)
    return [
        ([at, at + 1] if mode == "eio-twice" else [at], error, mode == "eio-on", mode == "kill") for at in range(calls)
    ]


# The workload, one step per public call. Inserts and batches take new points;
# a delete names the keys of earlier points (and one that is never stored).
WORKLOAD = [
    ("open", dict(capacity=8, wal_sync_interval_ms=0)),
    ("insert", None),
    ("insert", None),
    ("insert", None),
    ("batch", 200),
    ("insert", None),
    ("insert", None),
    ("delete", [1, 5, 6, 204, 9999]),
    ("compact", None),
    ("insert", None),
    ("flush", None),
    ("insert", None),
    ("open", dict(wal_sync_interval_ms=1000)),
    ("insert", None),
    ("insert", None),
    ("delete", [0, 7, 206]),
    ("verify", None),
    ("insert", None),
]
MAY_BE_STORED = "may still be stored"
# A compaction whose manifest took the old one's place without being made durable.
MAY_BE_COMPACTED = "compaction could not make its new manifest durable"
TOMBSTONE = struct.pack("<Q", 0x7FF8000000000000) * 2


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
        line = {"kind": kind, "keys": keys, "boundary": len(probe.faults_events()), "handle": handle}
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
            elif kind == "delete":
                result = db.delete_by_metadata({"k": {"$in": arg}})
            elif kind == "compact":
                result = db.compact()
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
    send(
        {
            "len": last_len,
            "handle": handle,
            "events": probe.faults_events(),
            "renamed": [[i, m.hex()] for i, m in probe.faults_renamed().items()],
        }
    )


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


def cut_power(path, events, renamed, manifest=None):
    """Undoes what a power cut takes away: new names and manifest renames that no directory force
    made durable. `renamed` maps each rename among `events` to the manifest it put in place;
    `manifest` is the one in place before the events."""
    directory = os.path.dirname(path)
    forced = [i for i, (call, p, err, _) in enumerate(events) if call == "fsync" and p == directory and err == 0]
    last_force = forced[-1] if forced else -1
    for call, p, err, created in events[last_force + 1 :]:
        if created and os.path.exists(p):
            os.remove(p)
    # A cache renamed into place since then may keep its name over bytes that never reached
    # the disk: everything after its header reads as zeros.
    torn = []
    for call, p, err, _ in events[last_force + 1 :]:
        if call == "rename" and err == 0 and os.path.basename(p).startswith("geo.cache.") and os.path.exists(p):
            with open(p, "r+b") as f:
                size = f.seek(0, 2)
                f.seek(192)
                f.write(bytes(max(size - 192, 0)))
            torn.append(os.path.basename(p))
    if any(i > last_force for i in renamed):
        durable = [i for i in renamed if i < last_force]
        before = renamed[max(durable)] if durable else manifest
        target = path[:-3] + ".commit"
        if before is None:
            os.remove(target)
        else:
            write(target, before)
    return torn


def absorbed(event):
    """Failures a call may get past and still succeed: retried interruptions, allocation
    ahead of need (retried for what is needed), unlocking, looking for and removing stale
    files, a store without a manifest yet, and anything on the open cache, which only saves
    the next open time."""
    call, path, err, _ = event
    return (
        err in (0, errno.EINTR)
        or call in ("fallocate", "fcntl", "unlink", "opendir")
        or (call == "open" and err == errno.ENOENT and path.endswith(".commit"))
        or os.path.basename(path).startswith("geo.cache.")
    )


def before_commit(kind, events):
    """The events of a step before its commit point: a delete is durable once its record is forced,
    and the failures of the checkpoint after it are not reported."""
    if kind == "delete":
        forced = [i for i, (call, p, err, _) in enumerate(events) if call == "fdatasync" and p.endswith(".wal")]
        if forced and events[forced[0]][2] == 0:
            return events[: forced[0] + 1]
    return events


def outcome(line):
    """'ok', 'none' (the step changed nothing) or 'maybe' (it may have taken effect)."""
    if "ok" in line:
        return "ok"
    if line.get("skipped"):
        return "none"
    return "maybe" if MAY_BE_STORED in line["error"][1] or MAY_BE_COMPACTED in line["error"][1] else "none"


def check_case(path, mode, lines, final, expected, opener=orbisk.PyZurAD):
    """The problems found with one case (an empty list when it passed); the store is opened
    again with `opener`."""
    problems, torn = [], []
    if final is not None:
        ends = [line["boundary"] for line in lines[1:]] + [len(final["events"])]
        for line, end in zip(lines, ends):
            # A check that found the manifest unreadable said so in its result.
            if "ok" in line and (line["kind"] != "verify" or line["ok"]["ok"]):
                events = before_commit(line["kind"], final["events"][line["boundary"] : end])
                hidden = [e for e in events if not absorbed(e)]
                if hidden:
                    problems.append(f"{line['kind']} returned normally after {hidden[0]}")
        torn = cut_power(path, final["events"], {i: bytes.fromhex(m) for i, m in final["renamed"]})
    if mode == "eintr":
        problems += [f"{line['kind']} failed: {line.get('error')}" for line in lines if "ok" not in line]

    try:
        db = opener(path)
    except OSError as e:
        return problems + [f"reopen refused: {e}"]
    integrity = db.verify_integrity()
    # A torn cache is rejected by the open, which writes a good one in its place; the check
    # may still name one that a smaller store than the cache's threshold left alone.
    integrity["errors"] = [e for e in integrity["errors"] if not any(e.startswith(f"open cache {t}: ") for t in torn)]
    integrity["ok"] = not integrity["errors"]
    count = db.len()
    if count and not os.path.exists(path[:-3] + ".commit"):
        db.flush()  # the points are read from the committed region
    del db
    if not integrity["ok"]:
        problems.append(f"verify_integrity: {integrity['errors']}")
    committed = os.path.exists(path[:-3] + ".commit")
    generation = parse_manifest(read(path[:-3] + ".commit"))["generation"] if committed else 0
    order, stored = [], {}  # keys of every slot; live keys -> slot
    for slot, (coords, text) in enumerate(committed_slots(path) if committed else []):
        key = json.loads(text)["k"]
        order.append(key)
        if coords != TOMBSTONE:
            stored[key] = slot
        if (coords if coords != TOMBSTONE else expected[key][0], text.encode()) != expected[key]:
            problems.append(f"point {key} stored as {coords.hex()} {text!r}")
    if len(set(order)) != len(order) or order != sorted(order):
        problems.append(f"points stored twice or out of insertion order: {order}")
    if count != len(stored):
        problems.append(f"reopened len() {count} but {len(stored)} points in the files")

    # What each step did: a killed case adds the step it was killed in as one that may have taken effect.
    steps = workload_steps()
    outcomes = [outcome(line) for line in lines]
    if final is None and len(lines) < len(steps):
        outcomes.append("maybe")
    steps = steps[: len(outcomes)]
    compactions = [i for i, step in enumerate(steps) if step[0] == "compact"]
    certain = [i for i in compactions if outcomes[i] == "ok" and lines[i]["ok"] > 0]
    uncertain = [i for i in compactions if outcomes[i] == "maybe"]
    if not len(certain) <= generation <= len(certain) + len(uncertain):
        problems.append(f"generation {generation} after compactions {[outcomes[i] for i in compactions]}")
    effective = certain + (uncertain if generation > len(certain) else [])

    def deleted(key, after, before):
        """'ok' and 'maybe' for the deletes between two steps that name `key` and did or may have deleted."""
        return {
            outcomes[j]
            for j in range(after + 1, before)
            if steps[j][0] == "delete" and key in steps[j][1] and outcomes[j] != "none"
        }

    def live_before(key, at):
        """1 or 0 when `key` was surely stored or surely not stored just before step `at`; None when unknown."""
        made = [i for i in range(at) if key in steps[i][2]]
        if not made or outcomes[made[0]] == "none" and steps[made[0]][0] == "insert":
            return 0
        ends = deleted(key, made[0], at)
        return None if outcomes[made[0]] != "ok" or "maybe" in ends else 0 if "ok" in ends else 1

    tombstones = [0, 0]  # deleted slots since the last compaction: at least, at most
    for i, ((kind, arg, keys), result) in enumerate(zip(steps, outcomes)):
        line = lines[i] if i < len(lines) else {"kind": kind, "error": ["killed", ""], "handle": None}
        if kind == "delete":
            known = [live_before(k, i) for k in arg]
            low, high = sum(k or 0 for k in known), sum(1 if k is None else k for k in known)
            if result == "ok" and not low <= line["ok"] <= high:
                problems.append(f"delete returned {line['ok']}, not {low} to {high}")
            n = line["ok"] if result == "ok" else 0
            tombstones = [tombstones[0] + n, tombstones[1] + (n if result != "maybe" else high)]
        if kind == "compact":
            if result == "ok" and not tombstones[0] <= line["ok"] <= tombstones[1]:
                problems.append(f"compact returned {line['ok']}, not {tombstones[0]} to {tombstones[1]}")
            if result != "none":
                tombstones = [0, 0 if result == "ok" else tombstones[1]]
        if not keys:
            continue
        # Points that a later delete may have removed say nothing about this step.
        ends = {k: deleted(k, i, len(steps)) for k in keys}
        settled = [k for k in keys if not ends[k]]
        if result == "ok":
            renumbered = any(j > i for j in effective)
            for key, slot in zip(keys, line["ok"]):
                if "ok" in ends[key] and key in stored:
                    problems.append(f"point {key} (id {slot}) survived an acknowledged delete")
                elif not ends[key] and (stored.get(key) is None or not renumbered and stored[key] != slot):
                    problems.append(f"acknowledged point {key} (id {slot}) found at {stored.get(key)}")
            continue
        present = [k for k in settled if k in stored]
        if result == "maybe":
            allowed = present == settled[: len(present)]
        else:
            allowed = not present or kind == "batch" and present == settled
        if not allowed:
            problems.append(f"{kind} that raised {line.get('error')} left {len(present)} of its points")
        slots = [order.index(k) for k in keys if k in order]
        if slots != list(range(slots[0], slots[0] + len(slots)) if slots else []):
            problems.append(f"{kind} that raised left its points at scattered slots")

    if final is not None:
        low = high = final["len"]
        for i, ((kind, arg, keys), result) in enumerate(zip(steps, outcomes)):
            if result == "maybe" and lines[i]["handle"] == final["handle"]:
                low -= len(arg) if kind == "delete" else 0
                high += len(keys)
        if not low <= count <= high:
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
    assert check_case(path, "eintr", baseline, final, expected, probe.PyZurAD) == []
    calls = len(final["events"])
    # The workload writes the open cache (by its flushes and its compaction) and maps it (by
    # its second open), so the cases fail and kill those calls too.
    cache_calls = [call for call, p, _, _ in final["events"] if os.path.basename(p).startswith("geo.cache.")]
    assert "rename" in cache_calls and "mmap" in cache_calls, cache_calls

    failures = []
    cases = plans(mode, calls, request.config.getoption("--fault-campaign"))
    for n, plan in enumerate(cases):
        path = os.path.join(scratch, str(n), "geo.db")
        os.mkdir(os.path.dirname(path))
        lines, final, killed = run_case(probe, path, plan)
        if mode == "kill" and not killed:
            failures.append(f"calls {plan[0]}: the child was not killed")
        for problem in check_case(path, mode, lines, final, expected, probe.PyZurAD):
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
        "geo.coords.mmap",
        "geo.lock",
        "geo.metadata.mmap",
        "geo.wal",
    ]
    assert forced and created[-1] < forced[-1] < opened
    cut_power(path, events, {})
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
    refusal = (
        f"the store must be opened again: a write failed ({enospc}) "
        f"and could not be taken back out of the log ({enospc})"
    )
    attempts = (
        lambda: db.insert(*point(3)),  # noqa: F821 (ruff reads the later `del db` as before this)
        lambda: db.insert_batch([point(3)]),  # noqa: F821
        db.flush,
        lambda: db.verify_integrity(flush=True),  # noqa: F821
        # Whether or not the filter matches anything.
        lambda: db.delete_by_metadata({"k": -1}),  # noqa: F821
        lambda: db.delete_by_metadata({"k": 0}),  # noqa: F821
        db.compact,
    )
    for attempt in attempts:
        with pytest.raises(OSError) as e:
            attempt()
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
    texts = [json.loads(text)["k"] for _, text in committed_slots(store_path)]
    assert texts == [0, 1, 2]


def test_an_interrupted_directory_listing_is_retried(probe, tmp_path):
    """The removal of the old generation after a compaction lists the directory; an
    interrupted open of the directory is tried again, and the old files still go."""

    def compacted_store(name, plan=None):
        (tmp_path / name).mkdir()
        db = probe.PyZurAD(str(tmp_path / name / "geo.db"), capacity=4)
        db.insert_batch([point(k) for k in range(4)])
        db.delete_by_metadata({"k": 0})
        probe.faults_arm(*(plan or ()))
        assert db.compact() == 1
        events = probe.faults_events()
        probe.faults_disarm()
        return events, sorted(f for f in os.listdir(tmp_path / name) if f.endswith(".mmap"))

    events, _ = compacted_store("a")
    listings = [i for i, e in enumerate(events) if e[0] == "opendir"]
    assert listings
    events, files = compacted_store("b", ([listings[0]], errno.EINTR))
    assert [e[2] for e in events if e[0] == "opendir"][:2] == [errno.EINTR, 0]
    assert files == ["geo.coords.1.mmap", "geo.metadata.1.mmap"]


def _insert_failing(probe, db, points, plan):
    """insert_batch with the calls of `plan` failing; whether it raised."""
    probe.faults_arm(plan)
    try:
        db.insert_batch(points)
        return False
    except RuntimeError:
        return True
    finally:
        probe.faults_disarm()


def test_a_failed_first_batch_leaves_the_grid_as_the_store(probe, tmp_path):
    """The first batch into an empty store has its grid built on another thread while the
    points are written and committed. Each call of the write fails in turn: the batch stays
    whole or not at all, the handle's grid serves exactly what stayed, a reopened store holds
    the same, and the batch written again is served whole."""
    points = [point(k) for k in range(2500)]
    world = (-90, -180, 90, 180)

    def served(db):
        return sorted(r["id"] for r in db.query_bbox(*world))

    (tmp_path / "count").mkdir()
    db = probe.PyZurAD(str(tmp_path / "count" / "geo.db"))
    probe.faults_arm()
    db.insert_batch(points)
    calls = len(probe.faults_events())
    probe.faults_disarm()
    assert served(db) == list(range(2500))
    for at in range(calls):
        (tmp_path / str(at)).mkdir()
        path = str(tmp_path / str(at) / "geo.db")
        db = probe.PyZurAD(path)
        raised = _insert_failing(probe, db, points, at)
        kept = db.len()
        assert kept in ((0, 2500) if raised else (2500,)) and served(db) == list(range(kept)), at
        if kept == 0:
            assert db.insert_batch(points) == list(range(2500))
            assert served(db) == list(range(2500)), at
        del db  # (a failed unlock leaves the lock with the handle)
        assert orbisk.PyZurAD(path).len() == 2500, at


@pytest.mark.parametrize("mode", ["eio", "kill"])
def test_a_batch_written_on_two_threads_is_stored_whole_or_not_at_all(probe, tmp_path, mode):
    """A batch of more than a megabyte has its two data files written on two threads, and the
    disk asked to take the texts while they are written. Each call of the write fails in turn
    (or the process is killed there): the batch raises and leaves nothing, or is stored whole;
    the reopened store holds exactly that, bit for bit, and checks clean."""
    n = 3000
    points = [(lat, lon, {**meta, "note": f"{k:05d}" * 80}) for k, (lat, lon, meta) in enumerate(map(point, range(n)))]
    expected = {i: (lat, lon, meta) for i, (lat, lon, meta) in enumerate(points)}

    def stored(db):
        return {r["id"]: (r["latitude"], r["longitude"], r["metadata"]) for r in db.query({})}

    (tmp_path / "count").mkdir()
    path = str(tmp_path / "count" / "geo.db")
    db = probe.PyZurAD(path)
    probe.faults_arm()
    db.insert_batch(points)
    events = probe.faults_events()
    probe.faults_disarm()
    del db
    # The points went to the files by writes, the texts in several pieces.
    writes = [e[1] for e in events if e[0] == "write" and e[2] == 0]
    assert sum(p.endswith(".metadata.mmap") for p in writes) >= 4
    assert any(p.endswith(".coords.mmap") for p in writes)
    # The calls of the write and its commit; the open cache written after them has tests of its own.
    calls = next(i for i, e in enumerate(events) if ".cache." in e[1])
    for at in range(calls):
        (tmp_path / str(at)).mkdir()
        path = str(tmp_path / str(at) / "geo.db")
        if mode == "kill":
            db = None
            pid = os.fork()
            if pid == 0:
                try:
                    child = probe.PyZurAD(path)
                    probe.faults_arm([at], errno.EIO, False, True)
                    child.insert_batch(points)
                finally:
                    os._exit(0)
            _, status = os.waitpid(pid, 0)
            assert os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL, (at, status)
        else:
            db = probe.PyZurAD(path)
            raised = _insert_failing(probe, db, points, [at])
            assert db.len() in ((0, n) if raised else (n,)), at
            assert stored(db) == (expected if db.len() else {}), at
            del db
        reopened = orbisk.PyZurAD(path)
        assert stored(reopened) in (expected, {}), at
        assert reopened.verify_integrity()["ok"], at
