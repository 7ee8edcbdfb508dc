"""Moving pictures: frames played in place at their times (play(), and the
viewer's animations), and a view that a program redraws in place at its own
pace (live()).

    tervalo.play(frames, fps=25)                 # any iterable of what encode takes
    with tervalo.live() as view:
        for step in training:
            view.show(figure)                    # returns at once; the newest is drawn

Both draw through the viewer's one drawing path: the terminal is asked once,
every frame is fitted to the size of the first, rows are made once below the
cursor and each frame is drawn over the last, and the cursor is left on the
line below the picture after every frame, so that Ctrl-C at any moment leaves
it there. While they draw, the terminal does not echo keys: an echoed key
would move the cursor, and every frame after it.
"""

from __future__ import annotations

import atexit
import contextlib
import math
import os
import sys
import termios
import threading
import time
import weakref
from collections import deque
from collections.abc import Iterable, Iterator, Sequence
from concurrent.futures import Future
from dataclasses import dataclass
from types import TracebackType
from typing import IO, TYPE_CHECKING, Any, NamedTuple

from tervalo._encode import (
    WHITE,
    Colour,
    Size,
    _is_figure,
    _is_numpy,
    _is_pillow,
    encode_pixels,
    parse_background,
    rgb_pixels,
)
from tervalo.pool import EncoderPool, WorkerStartError
from tervalo.terminal import TerminalError
from tervalo.viewer import (
    _SCREEN,
    Encode,
    Render,
    Say,
    _Again,
    _box,
    _checked_size,
    _fitted,
    _Frame,
    _hinted,
    _open_target,
    _Placed,
    _say,
    _Target,
)

if TYPE_CHECKING:
    from matplotlib.figure import Figure
    from typing_extensions import Self

    from tervalo._encode import RGB, Picture

__all__ = ["LiveView", "Playback", "live", "play"]

DEFAULT_FPS = 10.0
# Workers of the pool a moving picture makes for itself, at most one per core:
# play() keeps twice as many frames in flight; a live view draws the newest
# picture, so a second worker only starts the next while one is encoded.
PLAY_WORKERS = 4
LIVE_WORKERS = 2


@dataclass(frozen=True)
class Playback:
    """What play() did: `drawn` frames drawn, `skipped` frames not drawn,
    either not encoded because they could not have been ready before their
    time on screen ended, or late when a later frame was ready."""

    drawn: int
    skipped: int


def play(frames: Iterable[Picture], *, fps: float | None = None,
         durations: Sequence[float] | None = None, loop: int = 1,
         file: IO[Any] | None = None, fit: bool = True, force: bool = False,
         background: Colour = WHITE, max_size: Size | None = None,
         pool: EncoderPool | None = None) -> Playback:
    """Plays `frames` (anything tervalo.encode takes: a generator of NumPy
    frames, a list of figures, ...) in place in the terminal that `file`
    (default: standard output) is on: each frame drawn over the last at the
    same rows, below the cursor, for `durations[k]` seconds (or 1 / `fps`;
    neither: 1 / DEFAULT_FPS), `loop` times (0: until Ctrl-C). Every frame
    is fitted as show() fits the first (the terminal is asked once); a frame
    of another size is fitted into the first one's and padded with
    `background`. Returns when the last frame's time is up, with the cursor
    on the line below the picture, Ctrl-C included.

    Frames are taken from `frames` as they are needed and encoded ahead
    through `pool` (default: one of its own, of up to PLAY_WORKERS processes,
    for anything longer than one frame; the first frame is encoded here).
    Where encoding cannot keep up, frames are skipped rather than the
    playback slowed: the returned Playback counts them. With `loop` other
    than 1 the streams are kept and later passes drawn from them; frames
    skipped in the first pass are encoded then if `frames` can be iterated
    again (a list), else they stay skipped.

    Into a file that is no terminal, each frame's stream is written once,
    one after another, each followed by a newline, without waiting.

    Raises what show() raises (NoSixelSupport, NoReply, ...; `force` draws
    anyway), ValueError for `fps`, `durations` or `loop` it cannot take, and
    what encode raises for a frame it refuses, when that frame is taken
    (the playback stops there, the cursor below the picture)."""
    seconds = _durations(fps, durations, frames)
    if isinstance(loop, bool) or not isinstance(loop, int) or loop < 0:
        raise ValueError(f"loop must be an int of 0 or more, got {loop!r}")
    target, back, limits = _prepared(file, force, background, max_size)
    count = len(frames) if isinstance(frames, Sequence) else None
    return _play_frames(target, _picture_frames(frames, seconds, back), count=count,
                        plays=loop, box=_box(target.info, fit, limits), enlarge=False,
                        background=back, say=_say, pool=pool)


def _prepared(file: IO[Any] | None, force: bool, background: Colour,
              max_size: Size | None) -> tuple[_Target, RGB, Size | None]:
    """The target (the terminal asked, its refusal naming force=True), the
    background and max_size, each checked before anything is drawn."""
    back = parse_background(background)
    limits = _checked_size(max_size)
    try:
        target = _open_target(sys.stdout if file is None else file, force=force)
    except TerminalError as error:
        raise _hinted(error, "force=True draws anyway") from None
    return target, back, limits


def _durations(fps: float | None, durations: Sequence[float] | None,
               frames: Iterable[Picture]) -> Sequence[float] | float:
    """Seconds per frame: a sequence, or one figure for all."""
    if fps is not None and durations is not None:
        raise ValueError("give fps or durations, not both")
    if durations is None:
        rate = DEFAULT_FPS if fps is None else fps
        if isinstance(rate, bool) or not isinstance(rate, (int, float)) or not (
                0 < rate < math.inf):
            raise ValueError(f"fps must be a number above 0, got {fps!r}")
        return 1 / rate
    durations = list(durations)
    if not all(isinstance(d, (int, float)) and not isinstance(d, bool) and 0 < d < math.inf
               for d in durations):
        raise ValueError(f"durations must be seconds above 0, got {durations!r}")
    if isinstance(frames, Sequence) and len(frames) != len(durations):
        raise ValueError(f"{len(durations)} durations for {len(frames)} frames")
    return durations


def _picture_frames(pictures: Iterable[Picture], seconds: Sequence[float] | float,
                    background: RGB) -> Iterable[_Frame]:
    """play()'s frames: its pictures with their durations; again from the
    start for a later pass if the pictures can be iterated again."""
    def frames() -> Iterator[_Frame]:
        for index, picture in enumerate(pictures):
            if isinstance(seconds, float):
                duration = seconds
            elif index < len(seconds):
                duration = float(seconds[index])
            else:
                raise ValueError(f"more frames than the {len(seconds)} durations")
            yield _Frame(_renderer(picture, background), duration)

    return frames() if iter(pictures) is pictures else _Again(frames)


def _renderer(picture: Picture, background: RGB) -> Render:
    """How a picture is rendered into a box (read when it is rendered)."""
    if not (_is_pillow(picture) or _is_numpy(picture) or _is_figure(picture)):
        rgb_pixels(picture)  # raises the TypeError that says what is taken

    def render(box: Size | None, enlarge: bool) -> tuple[bytes, int, int]:
        return rgb_pixels(picture, background=background, max_size=box, enlarge=enlarge)

    return render


# --- playing ----------------------------------------------------------------------------


class _Slot(NamedTuple):
    number: int  # in its pass
    seconds: float
    render: Render | None  # None: drawn from the kept streams (or lost)
    last: bool  # the final frame of the final pass, as far as known ahead


@dataclass
class _Pending:
    index: int
    due: float  # when it goes on screen, from the start of the clock
    until: float  # when its time there ends
    future: Future[bytes]


@dataclass(frozen=True)
class _Area:
    """The one size every frame of a moving picture is drawn at: the first
    one's, as the drawing path fitted it to the window and to what the
    terminal takes."""

    width: int
    height: int
    box: Size | None  # what the first frame was last rendered into
    enlarge: bool
    rendered: tuple[int, int]  # its size then, before any rows of padding (tmux)

    def pixels(self, render: Render, background: RGB) -> bytes:
        pixels, width, height = render(self.box, self.enlarge)
        if (width, height) != self.rendered:  # a picture of another size: into the same area
            pixels, width, height = render(self.rendered, self.enlarge)
        return _padded(pixels, width, height, self.width, self.height, background)


def _padded(pixels: bytes, width: int, height: int, to_width: int, to_height: int,
            background: RGB) -> bytes:
    """`pixels` with `background` to their right and below, to_width x to_height."""
    if (width, height) == (to_width, to_height):
        return pixels
    fill, row = bytes(background), width * 3
    right = fill * (to_width - width)
    rows = b"".join(pixels[y * row:(y + 1) * row] + right for y in range(height))
    return rows + fill * (to_width * (to_height - height))


def _first(target: _Target, render: Render, box: Size | None, enlarge: bool,
           background: RGB, say: Say, encode: Encode = encode_pixels) -> tuple[_Area, bytes]:
    """The area of a moving picture, from its first frame, and that frame's stream."""
    renders: list[tuple[Size | None, bool, tuple[int, int]]] = []

    def recorded(size: Size | None, grow: bool) -> tuple[bytes, int, int]:
        pixels, width, height = render(size, grow)
        renders.append((size, grow, (width, height)))
        return pixels, width, height

    width, height, stream = _fitted(target, recorded, box, enlarge, background, say, encode)
    size, grow, rendered = renders[-1]
    return _Area(width, height, size, grow, rendered), stream


class _Encoder:
    """Frames' pixels into streams: through a pool, or here (pool None)."""

    def __init__(self, pool: EncoderPool | None) -> None:
        self.pool = pool
        self.workers = pool.processes if pool is not None else 0

    def submit(self, pixels: bytes, width: int, height: int) -> Future[bytes]:
        if self.pool is not None:
            return self.pool._submit_pixels(pixels, width, height)
        future: Future[bytes] = Future()
        future.set_result(encode_pixels(pixels, width, height))
        return future


@contextlib.contextmanager
def _encoder(pool: EncoderPool | None, workers: int, wanted: bool) -> Iterator[_Encoder]:
    """The caller's pool; else, when `wanted`, one of `workers` processes (at
    most one per core), stopped at once on an exception; else, or where no
    worker can start (an embedded interpreter), encoding here."""
    if pool is None and wanted and workers:
        pool = _started_pool(workers)
        if pool is not None:
            with pool:
                yield _Encoder(pool)
            return
    yield _Encoder(pool)


def _started_pool(workers: int) -> EncoderPool | None:
    """A pool of `workers` processes (at most one per core), each given a
    tiny picture at once: a worker's first encode also imports what it
    needs (NumPy), better done while the first frame is encoded here. None
    where no worker can start (an embedded interpreter)."""
    try:
        pool = EncoderPool(min(workers, os.cpu_count() or 1))
    except WorkerStartError:
        return None
    for _ in range(pool.processes):
        pool._submit_pixels(bytes(3 * 36), 6, 6)
    return pool


@contextlib.contextmanager
def _quiet(target: _Target) -> Iterator[None]:
    """No echo on the terminal meanwhile: a key echoed below the picture
    would move the cursor, and every frame after it. Ctrl-C still
    interrupts, and what was typed reaches the shell afterwards."""
    try:
        fd = target.out.fileno() if target.info is not None else -1
        saved = termios.tcgetattr(fd)
    except (AttributeError, OSError, ValueError, termios.error):
        yield
        return
    quiet = termios.tcgetattr(fd)
    quiet[3] &= ~termios.ECHO
    termios.tcsetattr(fd, termios.TCSANOW, quiet)
    try:
        yield
    finally:
        termios.tcsetattr(fd, termios.TCSANOW, saved)


@dataclass
class _Handed:
    """A frame handed to the encoder: when, and when its stream is (or, by
    the encode time seen so far, will be) ready."""

    at: float
    ready: float
    behind: _Handed | None  # the frame whose worker it waits for


class _Player:
    """Draws frames on a target at their times, which are kept whatever
    encoding does. Frames are taken, rendered and handed to the encoder a
    few ahead (twice the workers; one at a time here). One that cannot be
    ready before its time on screen ends, by when a worker is free for it
    and the encode time seen so far, is skipped without being encoded (the
    final frame excepted), and so is a late frame once a later one is ready;
    a late frame with nothing newer ready is drawn late. Into a file (not
    `timed`) every frame is written, as soon as it is ready."""

    def __init__(self, target: _Target, area: _Area, encoder: _Encoder, background: RGB,
                 encode_time: float, timed: bool, kept: dict[int, bytes] | None) -> None:
        self.target, self.area, self.encoder = target, area, encoder
        self.background, self.timed, self.kept = background, timed, kept
        self.encode_time = encode_time  # a worker's seconds for a frame, as seen
        # The last frames handed over, one a worker: the next waits for the oldest.
        self._handed: deque[_Handed] = deque(maxlen=max(1, encoder.workers))
        self.drawn = self.skipped = 0
        self.place: _Placed | None = None
        self.next_due = 0.0  # from the start of the clock
        # Started once the first frame after the first is ready: the pool's
        # start-up holds the first frame a little longer rather than skipping
        # the next ones.
        self.start: float | None = None
        self._pending: deque[_Pending] = deque()

    def draw(self, stream: bytes) -> None:
        self.place = self.target.frame(stream, self.area.height, self.place)
        self.drawn += 1

    def run(self, slots: Iterator[_Slot]) -> None:
        ahead = max(1, 2 * self.encoder.workers)
        taken_all = False
        try:
            while True:
                while not taken_all and len(self._pending) < ahead:
                    slot = next(slots, None)
                    if slot is None:
                        taken_all = True
                    else:
                        self._take(slot)
                if not self._pending:
                    return
                self._show(self._pending.popleft(), final=taken_all and not self._pending)
        finally:
            for pending in self._pending:
                pending.future.cancel()
            _SCREEN.stop(self.place)

    def _take(self, slot: _Slot) -> None:
        due, self.next_due = self.next_due, self.next_due + slot.seconds
        kept = self.kept.get(slot.number) if self.kept is not None else None
        if kept is not None:
            future: Future[bytes] = Future()
            future.set_result(kept)
        elif slot.render is None or (self.timed and not slot.last and self.start is not None
                                     and self._ready_at() > self.start + self.next_due):
            self.skipped += 1
            return
        else:
            future = self._encoded(self.area.pixels(slot.render, self.background))
        self._pending.append(_Pending(slot.number, due, self.next_due, future))

    def _ready_at(self) -> float:
        """When a frame handed over now would be ready: once a worker is
        free for it (the frames handed before it take theirs in turn), the
        encode time later."""
        now, full = time.monotonic(), len(self._handed) == self._handed.maxlen
        return max(now, self._handed[0].ready if full else now) + self.encode_time

    def _encoded(self, pixels: bytes) -> Future[bytes]:
        behind = self._handed[0] if len(self._handed) == self._handed.maxlen else None
        handed = _Handed(time.monotonic(), self._ready_at(), behind)
        self._handed.append(handed)
        future = self.encoder.submit(pixels, self.area.width, self.area.height)

        def seen(_: Future[bytes]) -> None:
            # Its worker took it once the frame it waited for was done.
            done = time.monotonic()
            began = max(handed.at, handed.behind.ready if handed.behind else handed.at)
            handed.ready, handed.behind = done, None
            self.encode_time = 0.7 * self.encode_time + 0.3 * (done - began)

        future.add_done_callback(seen)
        return future

    def _show(self, pending: _Pending, final: bool) -> None:
        stream = pending.future.result()
        if self.kept is not None:
            self.kept[pending.index] = stream
        if self.timed:
            now = time.monotonic()
            if self.start is None:
                self.start = now - pending.due
            if (now > self.start + pending.until and not final and self._pending
                    and self._pending[0].future.done()):
                self.skipped += 1  # late, and a later frame is ready
                return
            if self.start + pending.due > now:
                time.sleep(self.start + pending.due - now)
        self.draw(stream)


def _slots(frames: Iterable[_Frame], count: int | None, plays: int,
           kept: dict[int, bytes] | None) -> Iterator[_Slot]:
    """The frames of each pass, `plays` of them (0: without end). A later
    pass takes `frames` again only if some frame has no stream kept and
    `frames` can be iterated again; otherwise it goes by the kept streams,
    and frames without one are lost."""
    again = iter(frames) is not frames
    seconds: list[float] = []
    number = 0
    while plays == 0 or number < plays:
        final = number == plays - 1
        if number == 0 or (again and kept is not None and len(kept) < len(seconds)):
            for index, frame in enumerate(frames):
                if number == 0:
                    seconds.append(frame.seconds)
                length = count if number == 0 else len(seconds)
                yield _Slot(index, frame.seconds, frame.render,
                            final and length is not None and index == length - 1)
        else:
            for index, duration in enumerate(seconds):
                yield _Slot(index, duration, None, final and index == len(seconds) - 1)
        if not seconds:
            return
        number += 1


def _play_frames(target: _Target, frames: Iterable[_Frame], *, count: int | None, plays: int,
                 box: Size | None, enlarge: bool, background: RGB, say: Say,
                 pool: EncoderPool | None = None, workers: int = PLAY_WORKERS,
                 report: bool = False, timed: bool | None = None) -> Playback:
    """Plays `frames` on `target` (the viewer, play(), the matplotlib
    backend, the benchmark): through `pool`, else one of `workers` (0: here);
    at their times on a terminal (or as `timed` says). With `report`, says
    at the end (Ctrl-C included) how many frames were skipped."""
    timed = target.info is not None if timed is None else timed
    plays = plays if timed else 1
    kept: dict[int, bytes] | None = {} if plays != 1 else None
    slots = _slots(frames, count, plays, kept)
    first = next(slots, None)
    if first is None:
        return Playback(0, 0)
    wanted = count is None or count > 1 or plays != 1
    player: _Player | None = None
    try:
        with _encoder(pool, workers, wanted) as encoder, _quiet(target):
            assert first.render is not None
            start = time.monotonic()
            area, stream = _first(target, first.render, box, enlarge, background, say)
            player = _Player(target, area, encoder, background, time.monotonic() - start,
                             timed, kept)
            if kept is not None:
                kept[0] = stream
            player.draw(stream)
            player.next_due = first.seconds
            player.run(slots)
    finally:
        if report and player is not None and player.skipped:
            say(f"{player.skipped} of {player.drawn + player.skipped} frames skipped: "
                "encoding did not keep up with their durations")
    assert player is not None
    return Playback(player.drawn, player.skipped)


# --- the live view ----------------------------------------------------------------------


def live(file: IO[Any] | None = None, *, fit: bool = True, force: bool = False,
         background: Colour = WHITE, max_size: Size | None = None,
         pool: EncoderPool | None = None) -> LiveView:
    """A view that draws pictures in place in the terminal that `file`
    (default: standard output) is on, at the program's own pace:

        with tervalo.live() as view:
            for step in training:
                view.show(figure)        # returns at once

    The terminal is asked here (raising what show() raises, unless
    `force`); the first picture shown takes rows below the cursor, fitted
    as show() fits it (`fit`, `max_size`, the terminal's limit), and every
    later one is drawn over it at that size. Pictures are encoded through
    `pool` (default: one of its own, of up to LIVE_WORKERS processes), so
    that show() never waits for an encode. Into a file that is no terminal,
    each picture drawn is written as a stream and a newline."""
    target, back, limits = _prepared(file, force, background, max_size)
    own = pool is None
    if own:  # None still in an embedded interpreter: encoded in the view's thread
        pool = _started_pool(LIVE_WORKERS)
    return LiveView(target, _box(target.info, fit, limits), back, pool, own)


class LiveView:
    """A picture redrawn in place, made by live(). show() hands a picture
    over and returns; a thread of the view reads it (renders a figure,
    converts an array), has it encoded and draws it over the last one. A
    picture still waiting when a newer one comes is dropped: the newest
    wins. `drawn` and `dropped` count them.

    Leaving a `with` block (or close()) draws the picture still waiting,
    then returns with the cursor on the line below the picture; leaving it
    on an exception (Ctrl-C included) drops what is waiting and returns at
    once. Print nothing to the terminal while the view is open: the picture
    is placed relative to the cursor. Pictures are read in the view's thread
    while the program goes on: a figure or array changed meanwhile is drawn
    as it is then."""

    def __init__(self, target: _Target, box: Size | None, background: RGB,
                 pool: EncoderPool | None, own_pool: bool) -> None:
        self.drawn = self.dropped = 0
        self._target, self._box, self._background = target, box, background
        self._encoder = _Encoder(pool)
        self._own_pool = pool if own_pool else None
        self._changed = threading.Condition()
        self._newest: Render | None = None
        self._closing = self._aborted = False
        self._errors: list[Exception] = []
        self._area: _Area | None = None
        self._place: _Placed | None = None
        self._quiet = contextlib.ExitStack()
        self._quiet.enter_context(_quiet(target))
        self._thread = threading.Thread(target=self._run, daemon=True, name="tervalo-live")
        self._thread.start()
        _OPEN.add(self)

    def show(self, picture: Picture) -> None:
        """Draws `picture` (anything tervalo.encode takes) over the last one
        as soon as it can, and returns at once. An error from reading or
        encoding an earlier picture is raised here; a TypeError for what
        is no picture at all, at once."""
        render = _renderer(picture, self._background)
        self._raise_error()
        with self._changed:
            if self._closing:
                raise RuntimeError("show() on a live view that was closed")
            self.dropped += self._newest is not None
            self._newest = render
            self._changed.notify()

    def _show_rendered(self, figure: Figure) -> None:
        """show() of a figure rendered here, to the view's size, rather than
        in the view's thread: for plt.pause(), after which the program
        changes the figure at once."""
        import numpy as np

        box = self._area.rendered if self._area is not None else self._box
        pixels, width, height = rgb_pixels(figure, background=self._background, max_size=box)
        self.show(np.frombuffer(pixels, np.uint8).reshape(height, width, 3))

    def close(self) -> None:
        """Draws the picture still waiting, then ends the view, the cursor on
        the line below the picture; raises an error not raised yet."""
        with self._changed:
            self._closing = True
            self._changed.notify()
        self._thread.join()
        self._end()
        self._raise_error()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        if kind is None:
            self.close()
            return
        with _SCREEN.lock:  # once a frame being written is out
            self._aborted = True
        with self._changed:
            self._closing, self._newest = True, None
            self._changed.notify()
        if self._own_pool is not None:
            self._own_pool.stop()  # what is encoded fails, and the thread ends
            self._thread.join()
        self._end()

    def _end(self) -> None:
        if self._own_pool is not None:
            self._own_pool.shutdown()
        _SCREEN.stop(self._place)
        self._quiet.close()
        _OPEN.discard(self)

    def _raise_error(self) -> None:
        with self._changed:
            errors, self._errors = self._errors, []
        if errors:
            raise errors[0]

    def _run(self) -> None:
        flight: deque[Future[bytes]] = deque()
        room = max(1, self._encoder.workers)
        while True:
            render = self._next(wait=not flight) if len(flight) < room else None
            if render is None and not flight:
                return
            try:
                if render is not None:
                    flight.append(self._encoded(render))
                else:
                    self._draw(flight.popleft().result())
            except Exception as error:  # noqa: BLE001  (raised by the program's next show())
                with self._changed:
                    if not self._aborted:
                        self._errors.append(error)

    def _next(self, wait: bool) -> Render | None:
        with self._changed:
            while wait and self._newest is None and not self._closing:
                self._changed.wait()
            render, self._newest = self._newest, None
            return render

    def _encoded(self, render: Render) -> Future[bytes]:
        if self._area is None:
            def encode(pixels: bytes, width: int, height: int) -> bytes:
                return self._encoder.submit(pixels, width, height).result()

            self._area, stream = _first(self._target, render, self._box, False,
                                        self._background, _say, encode)
            future: Future[bytes] = Future()
            future.set_result(stream)
            return future
        pixels = self._area.pixels(render, self._background)
        return self._encoder.submit(pixels, self._area.width, self._area.height)

    def _draw(self, stream: bytes) -> None:
        assert self._area is not None
        with _SCREEN.lock:
            if not self._aborted:
                self._place = self._target.frame(stream, self._area.height, self._place)
                self.drawn += 1


# Views still open when the program ends are closed then: the picture waiting
# is drawn and the terminal echoes again.
_OPEN: weakref.WeakSet[LiveView] = weakref.WeakSet()


@atexit.register
def _close_open_views() -> None:
    for view in list(_OPEN):
        with contextlib.suppress(Exception):
            view.close()
