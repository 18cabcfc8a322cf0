"""Uses every method of the extension as a typed program would; the type checkers must accept it."""

from __future__ import annotations

from pathlib import Path
from typing import TYPE_CHECKING, Any

from orbisk import PyZurAD

if TYPE_CHECKING:
    from orbisk import _Integrity, _Row


class Degrees:
    def __float__(self) -> float:
        return 12.5


def names(rows: list[_Row]) -> list[str]:
    return [str(row["metadata"].get("name")) for row in rows]


def main(path: str) -> None:
    db = PyZurAD(path, capacity=100, wal_sync_interval_ms=None)
    temporary = PyZurAD()
    PyZurAD(Path(path).with_name("other.db"))
    first: int = db.insert(48.8566, 2.3522, {"name": "Paris", "tags": ["capital"]}, skip_index=["name"])
    typed_points: list[tuple[float, float, dict[str, Any]]] = [(51.5, -0.12, {"name": "London"})]
    ids: list[int] = db.insert_batch(typed_points)
    ids += db.insert_batch([(1, 2, {}, "ignored")])
    ids += db.insert_batch([(Degrees(), 3, {"n": 1})])
    temporary.insert(0, 0, {})
    near: list[_Row] = db.query_radius(48.85, 2.35, 5000.0, filter={"name": "Paris"})
    boxed = db.query_bbox(-10, 170, 10, -170)
    ring = [(0.0, 0.0), (10.0, 0.0), (10.0, 10.0)]
    inside = db.query_polygon(ring, {"name": {"$in": ["Paris", "London"]}})
    some = db.query({"tags": ["capital"]}, limit=10)
    every = db.query({}, None)
    latitude: float = every[0]["latitude"] if every else 0.0
    print(first, ids, names(near), len(boxed), len(inside), len(some), latitude)
    found: bool = db.exists({"$or": [{"name": "Paris"}, {"n": {"$gte": 1}}]})
    gone: int = db.delete_by_metadata({"name": "London"})
    live: int = db.len() + db.count()
    next_slot, live_count = db.slot_stats()
    db.flush()
    report: _Integrity = db.verify_integrity(flush=True)
    if not report["ok"]:
        print("\n".join(report["errors"]))
    reclaimed: int = db.compact()
    print(found, gone, live, next_slot - live_count, reclaimed)
