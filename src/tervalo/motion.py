"""Moving pictures: frames played in place at their times (play(), and the
viewer's animations), and a view that a program redraws in place at its own
pace (live()).

    tervalo.play(frames, fps=25)                 # any iterable of what encode takes
    with tervalo.live() as view:
        for step in training:
            view.show(figure)                    # returns at once; the newest is drawn

Both draw through the drawing layer (tervalo.drawing): the terminal is asked
once, every frame is fitted to the size of the first, rows are made once
below the cursor and each frame is drawn over the last, and the cursor is
left on the line below the picture after every frame, so that Ctrl-C at any
moment leaves it there. Text the program prints between two frames stays:
the next frame starts afresh below it. When frames are drawn is decided by
tervalo.timing.
"""

from __future__ import annotations

import atexit
import contextlib
import math
import numbers
import threading
import weakref
from collections import deque
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass
from types import TracebackType
from typing import IO, TYPE_CHECKING, Any, NamedTuple

from tervalo._encode import WHITE, Colour, FrameEncoder, Size, encode_pixels, rgb_pixels
from tervalo.drawing import (
    FORCE_HINT,
    SCREEN,
    Echo,
    Encode,
    Placed,
    Render,
    Say,
    Target,
    fitted,
    prepare,
    renderer,
    say,
)
from tervalo.pool import EncoderPool
from tervalo.timing import Clock, Scheduler, SystemClock

if TYPE_CHECKING:
    from typing_extensions import Self

    from tervalo._encode import RGB, Picture

__all__ = ["Again", "Frame", "LiveView", "Playback", "live", "play", "play_frames"]

DEFAULT_FPS = 10.0


class Frame(NamedTuple):
    """A frame of a moving picture: how to render it, and for how long it stays."""

    render: Render
    seconds: float


class Again:
    """Frames that can be taken again from the start (a file's, a list's),
    for a playback's later passes."""

    def __init__(self, frames: Callable[[], Iterator[Frame]]) -> None:
        self._frames = frames

    def __iter__(self) -> Iterator[Frame]:
        return self._frames()


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

    Frames are taken from `frames` as they are needed and encoded ahead, by
    default in a thread of the playback's own, one at a time on every core
    and in one palette for as long as the scene lasts (still parts of the
    picture then stay still); through `pool` if given, each frame in a
    palette of its own.
    Where encoding cannot keep up, frames are skipped rather than the
    playback slowed: the returned Playback counts them. With `loop` other
    than 1 the streams are kept and later passes drawn from them; frames
    skipped in the first pass are encoded then if `frames` can be iterated
    again (a list), else they stay skipped.

    Into a file that is no terminal, each frame's stream is written once,
    one after another, each followed by a newline, without waiting.

    Raises what show() raises (NoSixelSupport, NoReply, ...; `force` draws
    anyway), ValueError for `fps`, `durations` or `loop` it cannot take,
    TypeError for a `pool` that is none, and what `frames` raises or encode
    raises for a frame it refuses, once the frames before it are drawn (the
    cursor below the picture)."""
    seconds = _durations(fps, durations, frames)
    if isinstance(loop, bool) or not isinstance(loop, numbers.Integral) or loop < 0:
        raise ValueError(f"loop must be a whole number of 0 or more, got {loop!r}")
    _check_pool(pool)
    ready = prepare(file, fit=fit, force=force, background=background, max_size=max_size)
    count = len(frames) if isinstance(frames, Sequence) else None
    return play_frames(ready.target, _picture_frames(frames, seconds, ready.background),
                       count=count, plays=int(loop), box=ready.box, enlarge=False,
                       background=ready.background, say=say, pool=pool)


def _check_pool(pool: object) -> None:
    if pool is not None and not isinstance(pool, EncoderPool):
        raise TypeError(f"pool must be a tervalo.EncoderPool or None, got "
                        f"{type(pool).__name__}")


def _seconds(value: object, name: str) -> float:
    """`value` as seconds (or frames a second): a real number above 0."""
    if isinstance(value, numbers.Real) and not isinstance(value, bool):
        seconds = float(value)
        if 0 < seconds < math.inf:
            return seconds
        raise ValueError(f"{name} must be above 0 and finite, got {value!r}")
    raise ValueError(f"{name} must be a number above 0, got {value!r} "
                     f"({type(value).__name__})")


def _durations(fps: float | None, durations: Sequence[float] | None,
               frames: Iterable[Picture]) -> Sequence[float] | float:
    """Seconds per frame: a sequence, or one figure for all."""
    if fps is not None and durations is not None:
        raise ValueError("give fps or durations, not both")
    if durations is None:
        return 1 / _seconds(DEFAULT_FPS if fps is None else fps, "fps")
    seconds = [_seconds(duration, "each of durations") for duration in durations]
    if isinstance(frames, Sequence) and len(frames) != len(seconds):
        raise ValueError(f"{len(seconds)} durations for {len(frames)} frames")
    return seconds


def _picture_frames(pictures: Iterable[Picture], seconds: Sequence[float] | float,
                    background: RGB) -> Iterable[Frame]:
    """play()'s frames: its pictures with their durations; again from the
    start for a later pass if the pictures can be iterated again."""
    def frames() -> Iterator[Frame]:
        for index, picture in enumerate(pictures):
            if isinstance(seconds, float):
                duration = seconds
            elif index < len(seconds):
                duration = seconds[index]
            else:
                raise ValueError(f"more frames than the {len(seconds)} durations")
            yield Frame(renderer(picture, background), duration)

    return frames() if iter(pictures) is pictures else Again(frames)


# --- playing ----------------------------------------------------------------------------


class _Slot(NamedTuple):
    number: int  # in its pass
    seconds: float
    render: Render | None  # None: drawn from the kept streams (or lost)
    last: bool  # the final frame of the final pass, as far as known ahead


@dataclass
class _Pending:
    index: int
    due: float  # when it goes on screen, from the start of the playback
    until: float  # when its time there ends
    future: Future[bytes]


@dataclass(frozen=True)
class _Area:
    """The one size every frame of a moving picture is drawn at: the first
    one's, as the drawing layer fitted it to the window and to what the
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


def _first(target: Target, render: Render, box: Size | None, enlarge: bool,
           background: RGB, say: Say, encode: Encode = encode_pixels) -> tuple[_Area, bytes]:
    """The area of a moving picture, from its first frame, and that frame's stream."""
    renders: list[tuple[Size | None, bool, tuple[int, int]]] = []

    def recorded(size: Size | None, grow: bool) -> tuple[bytes, int, int]:
        pixels, width, height = render(size, grow)
        renders.append((size, grow, (width, height)))
        return pixels, width, height

    width, height, stream = fitted(target, recorded, box, enlarge, background, say, encode)
    size, grow, rendered = renders[-1]
    return _Area(width, height, size, grow, rendered), stream


class _Encoder:
    """Frames' pixels into streams: through `pool`, else in a thread of its
    own, one frame at a time (the encoder lets go of the interpreter lock
    and takes every core), in one palette while the scene lasts."""

    def __init__(self, pool: EncoderPool | None) -> None:
        self.pool = pool
        self.workers = pool.processes if pool is not None else 1
        self._frames = FrameEncoder()
        self._thread = ThreadPoolExecutor(1, thread_name_prefix="tervalo-frames")

    def submit(self, pixels: bytes, width: int, height: int) -> Future[bytes]:
        if self.pool is not None:
            return self.pool.submit_pixels(pixels, width, height)
        return self._thread.submit(self._frames.encode, pixels, width, height)

    def encode_now(self, pixels: bytes, width: int, height: int) -> bytes:
        """A stream made in the caller's thread (a pool's frame too)."""
        if self.pool is not None:
            return encode_pixels(pixels, width, height)
        return self._frames.encode(pixels, width, height)

    def close(self, drop: bool = False) -> None:
        """Once the frame being encoded is done (and, unless `drop`, those
        handed over)."""
        self._thread.shutdown(cancel_futures=drop)


@contextlib.contextmanager
def _encoder(pool: EncoderPool | None) -> Iterator[_Encoder]:
    encoder = _Encoder(pool)
    try:
        yield encoder
    except BaseException:
        encoder.close(drop=True)
        raise
    encoder.close()


class _Player:
    """Draws frames on a target at the times `scheduler` decides. Frames are
    taken, rendered and handed to the encoder a few ahead (twice what it
    encodes at once). Into a file (not `timed`) every frame is
    written, as soon as it is ready. A frame that cannot be taken (the
    frames raise, or it cannot be rendered) ends the playback once the
    frames taken before it are drawn; `error` holds it."""

    def __init__(self, target: Target, area: _Area, encoder: _Encoder, background: RGB,
                 scheduler: Scheduler, timed: bool, kept: dict[int, bytes] | None) -> None:
        self.target, self.area, self.encoder = target, area, encoder
        self.background, self.scheduler, self.timed, self.kept = (
            background, scheduler, timed, kept)
        self.drawn = self.skipped = 0
        self.place: Placed | None = None
        self.next_due = 0.0  # from the start of the playback
        self.error: Exception | None = None
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
                    try:
                        slot = next(slots, None)
                        if slot is not None:
                            self._take(slot)
                    except Exception as error:  # noqa: BLE001  (raised once the rest is drawn)
                        self.error, slot = error, None
                    taken_all = slot is None
                if not self._pending:
                    break
                self._show(self._pending.popleft(), final=taken_all and not self._pending)
            if self.timed:
                self.scheduler.finish(self.next_due)
        finally:
            for pending in self._pending:
                pending.future.cancel()

    def _take(self, slot: _Slot) -> None:
        due, until = self.next_due, self.next_due + slot.seconds
        kept = self.kept.get(slot.number) if self.kept is not None else None
        if kept is not None:
            future: Future[bytes] = Future()
            future.set_result(kept)
        elif slot.render is None or (self.timed and not slot.last
                                     and self.scheduler.hopeless(until)):
            self.next_due = until
            self.skipped += 1
            return
        else:
            pixels = self.area.pixels(slot.render, self.background)
            future = self.encoder.submit(pixels, self.area.width, self.area.height)
            self.scheduler.handed(future)
        self.next_due = until
        self._pending.append(_Pending(slot.number, due, until, future))

    def _show(self, pending: _Pending, final: bool) -> None:
        stream = self.scheduler.clock.result(pending.future)
        if self.kept is not None:
            self.kept[pending.index] = stream
        later_ready = bool(self._pending) and self._pending[0].future.done()
        if self.timed and not self.scheduler.wait_for(pending.due, pending.until,
                                                      later_ready=later_ready, final=final):
            self.skipped += 1  # late, and a later frame is ready
            return
        self.draw(stream)


def _slots(frames: Iterable[Frame], count: int | None, plays: int,
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


def play_frames(target: Target, frames: Iterable[Frame], *, count: int | None, plays: int,
                box: Size | None, enlarge: bool, background: RGB, say: Say,
                pool: EncoderPool | None = None,
                report: bool = False, timed: bool | None = None,
                clock: Clock | None = None) -> Playback:
    """Plays `frames` on `target` (the viewer, play(), the matplotlib
    backend, the benchmark): through `pool`, else in a thread of its own;
    at their times on a terminal (or as `timed` says), on `clock`. With
    `report`, says at the end (Ctrl-C and errors included) how many frames
    were skipped. What the frames raise is raised once those before it are
    drawn."""
    clock = SystemClock() if clock is None else clock
    timed = target.info is not None if timed is None else timed
    plays = plays if timed else 1
    kept: dict[int, bytes] | None = {} if plays != 1 else None
    slots = _slots(frames, count, plays, kept)
    first = next(slots, None)
    if first is None:
        return Playback(0, 0)
    player: _Player | None = None
    place: Placed | None = None
    echo = Echo(target)
    try:
        with echo.quiet(), _encoder(pool) as encoder:
            assert first.render is not None
            start = clock.now()
            # Here, at once: it fixes the size of every frame (and the palette).
            area, stream = _first(target, first.render, box, enlarge, background, say,
                                  encoder.encode_now)
            spent = clock.now() - start
            if kept is not None:
                kept[0] = stream
            place = target.frame(stream, area.height, None)
            scheduler = Scheduler(clock, encoder.workers, spent)
            scheduler.started(clock.now())
            player = _Player(target, area, encoder, background, scheduler, timed, kept)
            player.place, player.drawn, player.next_due = place, 1, first.seconds
            player.run(slots)
    finally:
        SCREEN.stop(player.place if player is not None else place)
        if report and player is not None and player.skipped:
            say(f"{player.skipped} of {player.drawn + player.skipped} frames skipped: "
                "encoding did not keep up with their durations")
    if player.error is not None:
        raise player.error
    return Playback(player.drawn, player.skipped)


# --- the live view ----------------------------------------------------------------------


def live(file: IO[Any] | None = None, *, fit: bool = True, force: bool = False,
         background: Colour = WHITE, max_size: Size | None = None,
         pool: EncoderPool | None = None, hint: str | None = FORCE_HINT,
         ) -> LiveView:
    """A view that draws pictures in place in the terminal that `file`
    (default: standard output) is on, at the program's own pace:

        with tervalo.live() as view:
            for step in training:
                view.show(figure)        # returns at once

    The terminal is asked here (raising what show() raises, unless
    `force`; its message names `hint`, the way to draw anyway); the first
    picture shown takes rows below the cursor, fitted as show() fits it
    (`fit`, `max_size`, the terminal's limit), and every later one is drawn
    over it at that size. Pictures are encoded in a thread of the view's
    own (or through `pool`), so that show() never waits for an encode. Into
    a file that is no terminal, each picture drawn is written as a stream
    and a newline."""
    _check_pool(pool)
    ready = prepare(file, fit=fit, force=force, background=background, max_size=max_size,
                    hint=hint)
    return LiveView(ready.target, ready.box, ready.background, pool)


class LiveView:
    """A picture redrawn in place, made by live(). show() hands a picture
    over and returns; a thread of the view reads it (renders a figure,
    converts an array), has it encoded and draws it over the last one. A
    picture still waiting when a newer one comes is dropped: the newest
    wins. `drawn` and `dropped` count them.

    Leaving a `with` block (or close()) draws the picture still waiting,
    then returns with the cursor on the line below the picture; leaving it
    on an exception (Ctrl-C included) drops what is waiting and returns at
    once. Text printed (through sys.stdout or sys.stderr) between two
    pictures stays: the next picture starts afresh below it. The terminal
    echoes no keys while a picture is on its way, and does between them.
    Pictures are read in the view's thread while the program goes on: a
    figure or array changed meanwhile is drawn as it is then (show_rendered
    reads it at once)."""

    def __init__(self, target: Target, box: Size | None, background: RGB,
                 pool: EncoderPool | None) -> None:
        self.drawn = self.dropped = 0
        self._target, self._box, self._background = target, box, background
        self._encoder = _Encoder(pool)
        self._changed = threading.Condition()
        self._newest: Render | None = None
        self._closing = self._aborted = False
        self._idle = True  # every picture handed over drawn (or dropped)
        self._errors: list[Exception] = []
        self._area: _Area | None = None
        self._place: Placed | None = None
        self._echo = Echo(target)
        self._thread = threading.Thread(target=self._run, daemon=True, name="tervalo-live")
        self._thread.start()
        _OPEN.add(self)

    def show(self, picture: Picture) -> None:
        """Draws `picture` (anything tervalo.encode takes) over the last one
        as soon as it can, and returns at once. An error from reading or
        encoding an earlier picture is raised here; a TypeError for what
        is no picture at all, at once."""
        self._hand(renderer(picture, self._background))

    def show_rendered(self, picture: Picture) -> None:
        """show() of a picture read here, at the view's size, rather than in
        the view's thread: for a figure the program changes right after
        (plt.pause())."""
        box = self._area.rendered if self._area is not None else self._box
        pixels, width, height = rgb_pixels(picture, background=self._background, max_size=box)

        def render(_: Size | None, __: bool) -> tuple[bytes, int, int]:
            return pixels, width, height

        self._hand(render)

    def _hand(self, render: Render) -> None:
        self._raise_error()
        with self._changed:
            if self._closing:
                raise RuntimeError("show() on a live view that was closed")
            self.dropped += self._newest is not None
            self._newest, self._idle = render, False
            self._echo.off()
            self._changed.notify_all()

    def wait(self, timeout: float | None = None) -> bool:
        """Returns once every picture handed over is drawn (or dropped for a
        newer one), or after `timeout` seconds; True if it was."""
        with self._changed:
            return self._changed.wait_for(lambda: self._idle, timeout)

    def close(self) -> None:
        """Draws the picture still waiting, then ends the view, the cursor on
        the line below the picture; raises an error not raised yet."""
        with self._changed:
            self._closing = True
            self._changed.notify_all()
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
        with SCREEN.lock:  # once a frame being written is out
            self._aborted = True
        with self._changed:
            self._closing, self._newest = True, None
            self._changed.notify_all()
        self._encoder.close(drop=True)
        self._thread.join()
        self._end()

    def _end(self) -> None:
        self._encoder.close()
        SCREEN.stop(self._place)
        self._echo.on()
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
            if wait and self._newest is None:
                self._echo.on()  # nothing on its way: keys typed now are echoed
                self._idle = True
                self._changed.notify_all()
            while wait and self._newest is None and not self._closing:
                self._changed.wait()
            render, self._newest = self._newest, None
            return render

    def _encoded(self, render: Render) -> Future[bytes]:
        if self._area is None:
            def encode(pixels: bytes, width: int, height: int) -> bytes:
                return self._encoder.submit(pixels, width, height).result()

            self._area, stream = _first(self._target, render, self._box, False,
                                        self._background, say, encode)
            future: Future[bytes] = Future()
            future.set_result(stream)
            return future
        pixels = self._area.pixels(render, self._background)
        return self._encoder.submit(pixels, self._area.width, self._area.height)

    def _draw(self, stream: bytes) -> None:
        assert self._area is not None
        with SCREEN.lock:
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
