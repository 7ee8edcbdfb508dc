"""A matplotlib backend that draws figures inline in a sixel terminal:

    matplotlib.use("tervalo")            # or MPLBACKEND=tervalo python plot.py

and in IPython 8.24 and later:

    %matplotlib tervalo

matplotlib 3.9 and later find the backend by that name; older ones take
"module://tervalo.matplotlib". plt.show() draws every open figure, fitted to
the window, into the terminal on standard output, then closes them, as
inline backends do; into a pipe or a file the sixel streams are written as
they are. In IPython each figure a cell created or changed is drawn when the
cell ends (in interactive mode, which the backend turns on there), then
closed; plt.show() works as well.

Moving figures: plt.show() plays a figure with a running animation (a
FuncAnimation, or any timer of its canvas) in place, one frame a tick at the
timer's interval, until the animation ends (or Ctrl-C); plt.pause() draws each
figure that changed over its last picture (once that is out, the pause
begins), and keeps it open. Text printed between two pauses stays: the next
picture is drawn below it.

In interactive mode outside IPython (plt.ion() in a script),
fig.canvas.draw() draws the figure in place as plt.pause() does, and
plt.pause() or plt.show() draw what changed; pyplot's own redraws after each
call draw nothing (a terminal has no window to refresh).

Where the terminal reports no sixel support (or cannot be asked), a warning
says so, and plt.show() and the end of a cell close the figures all the
same: a figure that cannot be seen is not kept (one still held in a variable
can be saved with savefig). TERVALO_FORCE=1 in the environment draws anyway.
"""

from __future__ import annotations

import os
import sys
import time
import warnings
from collections.abc import Callable, Iterator, Sequence
from typing import TYPE_CHECKING, Any

import matplotlib
from matplotlib._pylab_helpers import Gcf
from matplotlib.backend_bases import FigureManagerBase, TimerBase
from matplotlib.backends.backend_agg import FigureCanvasAgg

from tervalo.drawing import FORCE, forced, is_terminal, prepare, renderer, say, show_all
from tervalo.motion import Frame, LiveView, live, play_frames
from tervalo.terminal import TerminalError

if TYPE_CHECKING:
    from matplotlib.figure import Figure

__all__ = ["FORCE", "FigureCanvas", "FigureManager", "show"]



def _draw(figures: Sequence[Figure], play: bool = False) -> str | None:
    """Draws `figures`, with `play` playing those that move (on a terminal;
    into a file each is drawn once), or says why the terminal cannot: the
    callers warn instead of raising, as a GUI backend without a display
    would."""
    if not figures:
        return None  # the terminal is not asked for nothing
    try:
        still: list[Figure] = []
        for figure in figures:
            timers = _started(figure) if play and is_terminal(sys.stdout) else []
            if timers:
                show_all(still, force=forced(), hint=None)
                still = []
                _play(figure, timers)
            else:
                still.append(figure)
        show_all(still, force=forced(), hint=None)
    except TerminalError as error:
        return _refused(error)
    return None


def _refused(error: TerminalError) -> str:
    return f"tervalo: {error}; set {FORCE}=1 in the environment to draw anyway"


class _Timer(TimerBase):
    """A timer that nothing runs by itself: plt.show() steps the running
    timers of a figure it plays, as a GUI's event loop would run them."""

    running = False

    def _timer_start(self) -> None:
        self.running = True

    def _timer_stop(self) -> None:
        self.running = False

    def tick(self) -> None:
        self._on_timer()  # type: ignore[attr-defined]  # what backends' timers call


def _started(figure: Figure) -> list[_Timer]:
    """The running timers of `figure`'s canvas, once a first draw has
    started its animations (matplotlib starts them on the draw event)."""
    timers = getattr(figure.canvas, "timers", [])
    if not timers:
        return []
    figure.canvas.draw()
    return [timer for timer in timers if timer.running]


def _ticks(figure: Figure, timers: list[_Timer], background: tuple[int, int, int],
           ) -> Iterator[Frame]:
    """The figure as each tick of its running timers leaves it, for as long
    as one runs: each frame stays for the shortest interval among them
    (read after the tick that made it, as an animation sets its repeat
    delay there)."""
    render = renderer(figure, background)
    running = [timer for timer in timers if timer.running]
    while running:
        yield Frame(render, min(timer.interval for timer in running) / 1000)
        for timer in running:
            timer.tick()
        running = [timer for timer in timers if timer.running]


def _play(figure: Figure, timers: list[_Timer]) -> None:
    ready = prepare(None, fit=True, force=forced(), background="white", max_size=None,
                    hint=None)
    play_frames(ready.target, _ticks(figure, timers, ready.background), count=None, plays=1,
                box=ready.box, enlarge=False, background=ready.background, say=say)


def _close(managers: Sequence[FigureManagerBase]) -> None:
    for manager in managers:
        Gcf.destroy(manager)


class FigureManager(FigureManagerBase):
    # Set once Figure.show() has drawn the figure, so that the end of an
    # IPython cell does not draw it a second time.
    shown = False
    # Where plt.pause() redraws the figure in place, once it has.
    view: LiveView | None = None
    refused = False

    def show(self) -> None:
        """Draws the figure, fitted to the window (rendered at the dpi that
        fits, not resampled); it stays open (in IPython, until the cell
        ends). One that plt.pause() drew is drawn over that picture."""
        if self.view is not None:
            self.redraw()
        elif why := _draw([self.canvas.figure]):
            _warn_user(why)
        self.shown = True

    def redraw(self, warn: Callable[[str], None] | None = None) -> None:
        """Draws the figure over its last picture if it changed since (the
        first time below the cursor). Rendered here, before the program
        changes it again; encoded and drawn by the figure's live view."""
        figure = self.canvas.figure
        if self.refused or (self.view is not None and not figure.stale):
            return
        if self.view is None:
            try:
                self.view = live(force=forced(), hint=None)
            except TerminalError as error:
                self.refused = True
                (warn or _warn_user)(_refused(error))
                return
        self.view.show_rendered(figure)
        figure.stale = False  # drawn as it is (rendering at another dpi marks it stale)
        self.shown = True

    def destroy(self) -> None:
        """Closing the figure ends its view, the cursor below the picture."""
        if self.view is not None:
            view, self.view = self.view, None
            view.close()

    @classmethod
    def pyplot_show(cls, *, block: bool | None = None) -> None:
        """plt.show(): each open figure drawn (one plt.pause() drew, over
        that picture; one that moves, played), then closed. plt.pause() and
        show(block=False) draw in place and keep the figures open."""
        managers = Gcf.get_all_fig_managers()
        if block is False:
            for manager in managers:
                if isinstance(manager, FigureManager):
                    manager.redraw()
            return
        if managers:
            try:
                _finish(managers, warn=_warn_user)
            finally:
                _close(managers)


# Where a warning points: the first line outside matplotlib and this package.
_INSIDE = tuple(os.path.dirname(module.__file__ or "") + os.sep
                for module in (matplotlib, sys.modules[__package__ or "tervalo"]))


def _warn_user(why: str) -> None:
    """Warns at the program's line that called into matplotlib."""
    level, frame = 1, sys._getframe(0)
    while frame is not None and frame.f_code.co_filename.startswith(_INSIDE):
        frame, level = frame.f_back, level + 1  # type: ignore[assignment]
    warnings.warn(why, stacklevel=level)


def _finish(managers: Sequence[FigureManagerBase], warn: Callable[[str], None],
            unshown: bool = False) -> None:
    """The last picture of each figure (with `unshown`, of each that
    Figure.show() did not draw): over the one plt.pause() drew, or drawn,
    and played if it moves."""
    moved = [manager for manager in managers
             if isinstance(manager, FigureManager) and manager.view is not None]
    for manager in moved:
        manager.redraw(warn)
    if why := _draw([manager.canvas.figure for manager in managers if manager not in moved
                     and not (unshown and getattr(manager, "shown", False))], play=True):
        warn(why)


class FigureCanvas(FigureCanvasAgg):
    manager_class = FigureManager
    # matplotlib's animations then draw whole frames, which is what is
    # rendered and encoded, rather than blit parts onto the last.
    supports_blit = False

    def __init__(self, figure: Figure | None = None) -> None:
        super().__init__(figure)
        self.timers: list[_Timer] = []

    def draw(self, *args: Any, **kwargs: Any) -> None:
        """Renders the figure; in interactive mode outside IPython, draws it
        in place too, as a window would show it (the plt.ion() idiom
        fig.canvas.draw(); fig.canvas.flush_events())."""
        super().draw(*args, **kwargs)  # type: ignore[no-untyped-call]
        manager = self.manager
        # The program's own call, not matplotlib's nor a picture's render.
        asked = not sys._getframe(1).f_code.co_filename.startswith(_INSIDE)
        if (asked and matplotlib.is_interactive() and _ipython() is None
                and isinstance(manager, FigureManager)):
            self.figure.stale = True  # drawn as it is now, even if rendered before
            manager.redraw()

    def new_timer(self, interval: int | None = None,
                  callbacks: list[tuple[Callable[..., Any], tuple[Any, ...], dict[str, Any]]]
                  | None = None) -> TimerBase:
        """A timer that plt.show() runs (an animation's)."""
        timer = _Timer(interval=interval, callbacks=callbacks)
        self.timers.append(timer)
        return timer

    def start_event_loop(self, timeout: float = 0) -> None:
        """plt.pause()'s wait, once the figure's picture is out (the
        figure is "updated and displayed before the pause")."""
        manager = self.manager
        if isinstance(manager, FigureManager) and manager.view is not None:
            manager.view.wait()
        # No events to wait for in a terminal (nor an endless wait for 0).
        time.sleep(max(0.0, timeout))

    def draw_idle(self, *args: Any, **kwargs: Any) -> None:
        """Nothing to refresh: no window shows the figure, which is rendered
        when it is shown. (Interactive mode would render it after every
        pyplot call.)"""


def show(*, block: bool | None = None) -> None:
    """What plt.show() runs: draws each open figure, then closes it."""
    FigureManager.pyplot_show(block=block)


def cell_ended(*_: object) -> None:
    """IPython's post_execute hook: draws the figures of this backend that
    the cell left open (made or changed in it: earlier ones were closed) and
    not drawn yet by Figure.show(), then closes them. Outside interactive
    mode (plt.ioff()) they wait for plt.show(), as everywhere else."""
    if not matplotlib.is_interactive():
        return
    managers = [manager for manager in Gcf.get_all_fig_managers()
                if isinstance(manager, FigureManager)]
    if managers:
        try:
            _finish(managers, _warn_cell, unshown=True)
        finally:
            _close(managers)


def _warn_cell(why: str) -> None:
    # No line of the user's to point at, and shown at every cell that could
    # not draw, not only the first (no registry).
    warnings.warn_explicit(why, UserWarning, "<end of cell>", 0, module="tervalo.matplotlib")


def _ipython() -> Any:
    """The IPython shell running this program, if one is (never imported
    for a plain script)."""
    ipython = sys.modules.get("IPython")
    return ipython.get_ipython() if ipython is not None else None


def _hook_into_ipython() -> None:
    shell = _ipython()
    if shell is None or cell_ended in shell.events.callbacks["post_execute"]:
        return
    matplotlib.interactive(True)
    shell.events.register("post_execute", cell_ended)
    # A figure, an image or a PNG a cell shows is drawn too.
    from tervalo import ipython

    ipython.enable(shell)


_hook_into_ipython()
