"""A progress bar on a terminal: share done, points per second and time left.

It redraws one line in place at most four times a second, and draws nothing
when its stream is not a terminal.
"""

from __future__ import annotations

import shutil
import time
from typing import IO


def _clock(seconds: float) -> str:
    seconds = int(seconds + 0.5)
    hours, rest = divmod(seconds, 3600)
    return f"{hours}:{rest // 60:02d}:{rest % 60:02d}" if hours else f"{rest // 60}:{rest % 60:02d}"


def _rate(per_second: float) -> str:
    for limit, suffix in ((1e6, "M"), (1e3, "k")):
        if per_second >= limit:
            return f"{per_second / limit:.1f}{suffix}"
    return f"{per_second:.0f}"


class Progress:
    INTERVAL = 0.25

    def __init__(self, stream: IO[str], total: int | None, label: str) -> None:
        self.stream = stream
        self.on = stream.isatty()
        self.total = total
        self.label = label
        self.start = time.monotonic()
        self.next_draw = 0.0
        self.drawn = False

    def update(self, done: int, points: int, final: bool = False) -> None:
        if not self.on:
            return
        now = time.monotonic()
        if now < self.next_draw and not final:
            return
        self.next_draw = now + self.INTERVAL
        elapsed = max(now - self.start, 1e-9)
        rate = f"{_rate(points / elapsed)} pts/s"
        width = shutil.get_terminal_size((80, 24)).columns
        if self.total:
            share = 1.0 if final else min(done / self.total, 1.0)
            eta = "" if final or share <= 0 else f"  ETA {_clock(elapsed * (1 - share) / share)}"
            tail = f" {share * 100:5.1f}%  {points:,} points  {rate}{eta}"
            head = f"{self.label} "
            bar_width = max(10, width - len(head) - len(tail) - 3)
            filled = int(bar_width * share)
            line = f"{head}[{'#' * filled}{'-' * (bar_width - filled)}]{tail}"
        else:
            line = f"{self.label}  {points:,} points  {rate}"
        self.stream.write("\r" + line[: width - 1].ljust(width - 1))
        self.stream.flush()
        self.drawn = True

    def finish(self, done: int, points: int) -> None:
        if self.on:
            self.update(done, points, final=True)
            self.stream.write("\n")
            self.stream.flush()
