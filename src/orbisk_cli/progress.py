"""Progress on a terminal: a bar with the share done, points per second and
time left, or, for one long call whose progress cannot be known, the time
it has taken so far.

Both redraw one line in place at most four times a second, and draw nothing
when their stream is not a terminal.
"""

from __future__ import annotations

import shutil
import threading
import time
from types import TracebackType
from typing import IO

INTERVAL = 0.25


def _clock(seconds: float) -> str:
    seconds = int(seconds + 0.5)
    hours, rest = divmod(seconds, 3600)
    return f"{hours}:{rest // 60:02d}:{rest % 60:02d}" if hours else f"{rest // 60}:{rest % 60:02d}"


def _rate(per_second: float) -> str:
    for limit, suffix in ((1e6, "M"), (1e3, "k")):
        if per_second >= limit:
            return f"{per_second / limit:.1f}{suffix}"
    return f"{per_second:.0f}"


def _is_terminal(stream: IO[str]) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


class Progress:
    INTERVAL = INTERVAL

    def __init__(self, stream: IO[str], total: int | None, label: str) -> None:
        self.stream = stream
        self.on = _is_terminal(stream)
        self.total = total
        self.label = label
        self.start = time.monotonic()
        self.next_draw = 0.0
        self.drawn = False

    def update(self, done: int, points: int | None = None, final: bool = False, force: bool = False) -> None:
        """`done` of `total` (in the caller's unit), and the points so far, if
        the step counts points; `force`: drawn even within INTERVAL of the last."""
        if not self.on:
            return
        now = time.monotonic()
        if now < self.next_draw and not (final or force):
            return
        self.next_draw = now + self.INTERVAL
        elapsed = max(now - self.start, 1e-9)
        counted = "" if points is None else f"  {points:,} points  {_rate(points / elapsed)} pts/s"
        width = shutil.get_terminal_size((80, 24)).columns
        if self.total:
            share = 1.0 if final else min(done / self.total, 1.0)
            eta = "" if final or share <= 0 else f"  ETA {_clock(elapsed * (1 - share) / share)}"
            tail = f" {share * 100:5.1f}%{counted}{eta}"
            head = f"{self.label} "
            bar_width = max(10, width - len(head) - len(tail) - 3)
            filled = int(bar_width * share)
            line = f"{head}[{'#' * filled}{'-' * (bar_width - filled)}]{tail}"
        else:
            line = f"{self.label}{counted}  {_clock(elapsed)}"
        self.stream.write("\r" + line[: width - 1].ljust(width - 1))
        self.stream.flush()
        self.drawn = True

    def finish(self, done: int, points: int | None = None) -> None:
        """Draws the final state and leaves it on the screen."""
        if self.on:
            self.update(done, points, final=True)
            self.stream.write("\n")
            self.stream.flush()

    def clear(self) -> None:
        """Removes the line, if one was drawn."""
        if self.drawn:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
            self.drawn = False


class Ticker:
    """The time one long call has taken so far, redrawn by a thread of its
    own while the call runs (a call that releases the interpreter lock), and
    removed when it returns."""

    def __init__(self, stream: IO[str], label: str) -> None:
        self.stream = stream
        self.label = label
        self.on = _is_terminal(stream)
        self.done = threading.Event()
        self.thread: threading.Thread | None = None

    def _draw(self, start: float) -> None:
        width = shutil.get_terminal_size((80, 24)).columns
        line = f"{self.label}  {_clock(time.monotonic() - start)}"
        self.stream.write("\r" + line[: width - 1].ljust(width - 1))
        self.stream.flush()

    def _run(self, start: float) -> None:
        while not self.done.wait(INTERVAL):
            self._draw(start)

    def __enter__(self) -> Ticker:
        if self.on:
            start = time.monotonic()
            self._draw(start)
            self.thread = threading.Thread(target=self._run, args=(start,), name="orbisk-ticker", daemon=True)
            self.thread.start()
        return self

    def __exit__(
        self, kind: type[BaseException] | None, value: BaseException | None, trace: TracebackType | None
    ) -> None:
        if self.thread is not None:
            self.done.set()
            self.thread.join()
            self.stream.write("\r\x1b[K")
            self.stream.flush()
