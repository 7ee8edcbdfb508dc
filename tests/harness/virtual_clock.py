"""A clock whose time passes only when it is slept on or waited on, and an
encoder pool on it whose workers take a chosen time per frame: playbacks of
many seconds are checked in milliseconds, to the millisecond."""

import heapq
import io
import itertools
from concurrent.futures import Future

from tervalo.drawing import Target


class VirtualClock:
    def __init__(self):
        self.time = 0.0
        self._events = []  # (when, order, action)
        self._order = itertools.count()

    def now(self):
        return self.time

    def at(self, when, action):
        heapq.heappush(self._events, (when, next(self._order), action))

    def sleep(self, seconds):
        until = self.time + max(0.0, seconds)
        while self._events and self._events[0][0] <= until:
            self._next()
        self.time = until

    def result(self, future):
        while not future.done():
            if not self._events:
                raise AssertionError("waiting on a future that nothing will complete")
            self._next()
        return future.result()

    def _next(self):
        when, _, action = heapq.heappop(self._events)
        self.time = max(self.time, when)
        action()


class VirtualPool:
    """`processes` workers, each taking `cost(k)` seconds for the k-th frame
    handed to the pool (counted from 0), one frame at a time; a frame's
    stream is its pixels, so that it says which frame it was."""

    def __init__(self, clock, processes, cost):
        self.clock, self.processes, self.cost = clock, processes, cost
        self._free = [0.0] * processes
        self._handed = 0

    def submit_pixels(self, pixels, width, height):
        future = Future()
        worker = min(range(self.processes), key=self._free.__getitem__)
        done = max(self.clock.now(), self._free[worker]) + self.cost(self._handed)
        self._free[worker], self._handed = done, self._handed + 1
        self.clock.at(done, lambda: future.cancelled() or future.set_result(pixels))
        return future


class Recorder(Target):
    """A target into nothing that notes when each frame went out, and which."""

    def __init__(self, clock):
        super().__init__(io.BytesIO(), None)
        self.clock, self.shown = clock, []

    def frame(self, stream, height, place):
        self.shown.append((round(self.clock.now(), 6), stream))
        return super().frame(stream, height, place)
