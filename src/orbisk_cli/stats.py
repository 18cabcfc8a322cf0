"""`orbisk stats`: what a store holds, read in one pass over its points."""

from __future__ import annotations

import os
from collections.abc import Iterable
from typing import IO, Any

from orbisk_cli.progress import Progress
from orbisk_cli.store import Store, store_files
from orbisk_cli.values import encode

DISTINCT_LIMIT = 100_000
_KIND_NAMES = {bool: "bool", int: "int", float: "float", str: "str", list: "list", dict: "object", type(None): "null"}


class KeyStats:
    __slots__ = ("points", "kinds", "values", "overflow")

    def __init__(self) -> None:
        self.points = 0
        self.kinds: dict[str, int] = {}
        self.values: set[Any] = set()
        self.overflow = False

    def add(self, value: Any) -> None:
        self.points += 1
        kind = _KIND_NAMES[type(value)]
        self.kinds[kind] = self.kinds.get(kind, 0) + 1
        if not self.overflow:
            # bool and int share hashes with equal numbers: keep the kind with the value
            self.values.add((kind, encode(value) if kind in ("list", "object") else value))
            if len(self.values) > DISTINCT_LIMIT:
                self.overflow = True
                self.values.clear()

    @property
    def distinct(self) -> str:
        return f">{DISTINCT_LIMIT:,}" if self.overflow else f"{len(self.values):,}"


def _size(n: int) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if n < 1024 or unit == "GiB":
            return f"{n:,} {unit}" if unit == "B" else f"{n:,.1f} {unit}"
        n /= 1024  # type: ignore[assignment]
    return str(n)


def summarize(
    db: Store,
    path: str,
    chunks: Iterable[list[dict[str, Any]]],
    top: int,
    out: IO[str],
    progress: Progress | None = None,
) -> None:
    next_slot, live = db.slot_stats()
    seen = 0
    keys: dict[str, KeyStats] = {}
    lat_lo = lon_lo = float("inf")
    lat_hi = lon_hi = float("-inf")
    for rows in chunks:
        if rows:
            lats = [r["latitude"] for r in rows]
            lons = [r["longitude"] for r in rows]
            lat_lo, lat_hi = min(lat_lo, min(lats)), max(lat_hi, max(lats))
            lon_lo, lon_hi = min(lon_lo, min(lons)), max(lon_hi, max(lons))
        for row in rows:
            for key, value in row["metadata"].items():
                stats = keys.get(key)
                if stats is None:
                    stats = keys[key] = KeyStats()
                stats.add(value)
        seen += len(rows)
        if progress is not None:
            progress.update(seen, seen)
    if progress is not None:
        # The last state is drawn whatever the bar's pace, then the line goes.
        progress.update(seen, seen, final=True)
        progress.clear()
    lines = [
        ("store", path),
        ("points", f"{live:,}"),
        ("slots", f"{next_slot:,} ({next_slot - live:,} tombstones)"),
    ]
    files = store_files(path)
    total = 0
    for i, name in enumerate(files):
        size = os.path.getsize(name)
        total += size
        lines.append(("files" if i == 0 else "", f"{os.path.basename(name):<32} {_size(size):>12}"))
    lines.append(("", f"{'total':<32} {_size(total):>12}"))
    if lat_lo <= lat_hi:
        lines.append(("bounding box", f"latitude {lat_lo!r} to {lat_hi!r}, longitude {lon_lo!r} to {lon_hi!r}"))
    else:
        lines.append(("bounding box", "none (no points)"))
    for label, text in lines:
        out.write(f"{label:<13} {text}\n")
    ranked = sorted(keys.items(), key=lambda kv: (-kv[1].points, kv[0]))[:top]
    out.write(
        f"metadata keys {len(keys):,}" + (f" (the {len(ranked)} most used)" if len(keys) > len(ranked) else "") + "\n"
    )
    if ranked:
        width = max(len("key"), *(len(k) for k, _ in ranked))
        out.write(f"  {'key':<{width}}  {'points':>12}  {'distinct':>12}  kinds\n")
        for key, stats in ranked:
            kinds = ", ".join(
                f"{k} {n:,}" if len(stats.kinds) > 1 else k
                for k, n in sorted(stats.kinds.items(), key=lambda kn: -kn[1])
            )
            out.write(f"  {key:<{width}}  {stats.points:>12,}  {stats.distinct:>12}  {kinds}\n")
