"""Sixel encoding in worker processes, so that a program's own threads (an
event loop, a GUI, a heartbeat) keep running while frames are encoded: one
call of the extension holds the interpreter lock for its whole encode."""

from __future__ import annotations

import multiprocessing
import os
from collections import deque
from collections.abc import Iterable, Iterator
from concurrent.futures import Future, ProcessPoolExecutor
from types import TracebackType
from typing import TYPE_CHECKING

from tervalo._encode import WHITE, Colour, Size, rgb_pixels
from tervalo._stream import corrected
from tervalo_ext import sixel_encode_bytes

if TYPE_CHECKING:
    from typing_extensions import Self

    from tervalo._encode import Picture

# "forkserver": workers are forked from a small server process started for
# the purpose, which has no threads of its own. Plain fork would copy the
# caller mid-flight: a lock held by another of its threads (logging, an
# event loop, a GUI toolkit) stays locked forever in the child. spawn is as
# safe but starts every worker as a fresh interpreter; the fork server is
# started once per program, and later pools fork from it (measured on a
# 2-core machine, first results from a 2-process pool: first pool ~0.3 s
# either way, later pools ~0.1 s against ~0.25 s with spawn). Both import the
# main module again in the workers: scripts need the usual
# `if __name__ == "__main__":` guard.
START_METHOD = "forkserver" if "forkserver" in multiprocessing.get_all_start_methods() \
    else "spawn"


def _encode_rgb(pixels: bytes, width: int, height: int) -> bytes:
    """The worker's whole job. A function of this module, so a worker finds
    it by name; the extension's own function cannot be pickled."""
    return corrected(sixel_encode_bytes(pixels, width, height), pixels, width, height)


class EncoderPool:
    """A pool of processes that encode pictures into sixel streams.

    Images are converted to packed RGB in the calling process (cheap next to
    the encode), so whatever encode() takes is accepted, nothing of the
    caller's needs to be picklable, and a bad image is refused at submit()."""

    def __init__(self, processes: int | None = None) -> None:
        if processes is not None and (isinstance(processes, bool) or not isinstance(processes, int)
                                      or processes < 1):
            raise ValueError(f"processes must be an int of at least 1 or None, got {processes!r}")
        self.processes = processes or os.cpu_count() or 1
        self._executor = ProcessPoolExecutor(
            max_workers=self.processes, mp_context=multiprocessing.get_context(START_METHOD))

    def submit(self, image: Picture, *, background: Colour = WHITE,
               max_size: Size | None = None) -> Future[bytes]:
        """A future of encode(image, ...)'s stream. TypeError and ValueError
        for an image encode() refuses are raised here, at once; what the
        encode itself raises (MemoryError) comes through the future."""
        pixels, width, height = rgb_pixels(image, background=background, max_size=max_size)
        return self._executor.submit(_encode_rgb, pixels, width, height)

    def map(self, images: Iterable[Picture], *, background: Colour = WHITE,
            max_size: Size | None = None) -> Iterator[bytes]:
        """The streams of `images`, in their order. Images are taken from the
        iterable as workers free up, a few per process ahead, so a long
        generator of frames is not all held in memory at once; the
        iteration starts with the first next(). An image encode() refuses
        raises in its place, after the streams of the images before it."""
        ahead = 2 * self.processes
        pending: deque[Future[bytes]] = deque()
        try:
            for image in images:
                try:
                    future = self.submit(image, background=background, max_size=max_size)
                except (TypeError, ValueError):
                    while pending:
                        yield pending.popleft().result()
                    raise
                pending.append(future)
                if len(pending) >= ahead:
                    yield pending.popleft().result()
            while pending:
                yield pending.popleft().result()
        finally:
            # A caller that stops early: what was queued behind is not wanted.
            for future in pending:
                future.cancel()

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        """Stop the workers once submitted work is done (or cancelled)."""
        self._executor.shutdown(wait=wait, cancel_futures=cancel_futures)

    def close(self) -> None:
        self.shutdown()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.shutdown()

    def __repr__(self) -> str:
        return f"EncoderPool(processes={self.processes})"
