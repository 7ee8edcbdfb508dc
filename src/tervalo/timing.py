"""When the frames of a moving picture go on screen, decided on a clock that
is passed in (the system's monotonic clock, or a test's virtual one).

Frame k is due when the durations of the frames before it have passed since
the first frame went on screen, and stays until frame k + 1 is due: every
frame, the first included, is up for its own duration, on every pass, and
the playback ends when the last frame's time is up. The one exception is at
the start: the first frame stays up until the second is ready, however long
that takes (the encoder's start-up), and the times of the rest count from
there. Where encoding cannot keep up, frames are skipped rather than the
playback slowed: one that cannot be ready before its time ends is skipped
unencoded, and a late one is dropped when a later frame is ready.
"""

from __future__ import annotations

import time
from collections import deque
from collections.abc import Callable
from concurrent.futures import Future
from dataclasses import dataclass
from typing import Protocol, TypeVar

__all__ = ["Clock", "Scheduler", "SystemClock"]

T = TypeVar("T")


class Clock(Protocol):
    def now(self) -> float:
        """Seconds from any fixed point."""

    def sleep(self, seconds: float) -> None:
        """Returns `seconds` later (at once for 0 or less)."""

    def result(self, future: Future[T]) -> T:
        """The future's result, once it has one."""


class SystemClock:
    """The monotonic clock, and real waiting."""

    def now(self) -> float:
        return time.monotonic()

    def sleep(self, seconds: float) -> None:
        if seconds > 0:
            time.sleep(seconds)

    def result(self, future: Future[T]) -> T:
        return future.result()


@dataclass
class _Handed:
    """A frame handed to the encoder: when, and when its stream is (or, by
    the encode time seen so far, will be) ready."""

    at: float
    ready: float
    behind: _Handed | None  # the frame whose worker it waits for


class Scheduler:
    """The times of one playback on `clock`, for an encoder of `workers`
    (0: encoding in the caller) whose encode of one frame took
    `encode_time` seconds so far. Times are in seconds from the start of
    the playback: `due` when a frame goes on screen, `until` when its time
    there ends."""

    def __init__(self, clock: Clock, workers: int, encode_time: float) -> None:
        self.clock = clock
        self.encode_time = encode_time
        self._origin = 0.0  # the clock's reading at the playback's start
        self._second = True  # the next frame drawn is the second
        # The last frames handed over, one a worker: the next waits for the oldest.
        self._handed: deque[_Handed] = deque(maxlen=max(1, workers))

    def started(self, at: float) -> None:
        """The first frame went on screen `at` (a reading of the clock)."""
        self._origin = at

    def hopeless(self, until: float) -> bool:
        """Whether a frame whose time ends at `until`, handed to the encoder
        now, could not be ready before then (never while the first frame
        waits for the second)."""
        return not self._second and self._ready_at() > self._origin + until

    def handed(self, future: Future[bytes]) -> None:
        """A frame was handed to the encoder: its encode time, once seen,
        corrects the estimate."""
        full = len(self._handed) == self._handed.maxlen
        handed = _Handed(self.clock.now(), self._ready_at(), self._handed[0] if full else None)
        self._handed.append(handed)
        future.add_done_callback(self._seen(handed))

    def _seen(self, handed: _Handed) -> Callable[[Future[bytes]], None]:
        def seen(_: Future[bytes]) -> None:
            # Its worker took it once the frame it waited for was done.
            done = self.clock.now()
            began = max(handed.at, handed.behind.ready if handed.behind else handed.at)
            handed.ready, handed.behind = done, None
            self.encode_time = 0.7 * self.encode_time + 0.3 * (done - began)
        return seen

    def _ready_at(self) -> float:
        """When a frame handed over now would be ready: once a worker is
        free for it (the frames handed before it take theirs in turn), the
        encode time later."""
        now, full = self.clock.now(), len(self._handed) == self._handed.maxlen
        return max(now, self._handed[0].ready if full else now) + self.encode_time

    def wait_for(self, due: float, until: float, *, later_ready: bool, final: bool) -> bool:
        """Waits until a frame whose stream is ready is due; False, at once,
        if it is to be dropped instead: late, and a later frame is ready too
        (the final frame is never dropped)."""
        now = self.clock.now()
        if self._second:
            # The first frame stayed up while this one was not ready.
            self._second = False
            self._origin = max(self._origin, now - due)
        elif now > self._origin + until and later_ready and not final:
            return False
        self.clock.sleep(self._origin + due - now)
        return True

    def finish(self, end: float) -> None:
        """Returns when the last frame's time, which ends at `end`, is up."""
        self.clock.sleep(self._origin + end - self.clock.now())
