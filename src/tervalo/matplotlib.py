"""A matplotlib backend that draws figures inline in a sixel terminal:

    matplotlib.use("tervalo")            # or MPLBACKEND=tervalo python plot.py
    %matplotlib tervalo                  # in IPython 8.24 and later

matplotlib 3.9 and later find the backend by that name; older ones take
"module://tervalo.matplotlib". plt.show() draws every open figure, fitted to
the window, into the terminal on standard output, then closes them, as
inline backends do; into a pipe or a file the sixel streams are written as
they are. In IPython each figure a cell created or changed is drawn when the
cell ends (in interactive mode, which the backend turns on there), then
closed; plt.show() works as well.

Where the terminal reports no sixel support (or cannot be asked), a warning
says so, and plt.show() and the end of a cell close the figures all the
same: a figure that cannot be seen is not kept (one still held in a variable
can be saved with savefig). TERVALO_FORCE=1 in the environment draws anyway.
"""

from __future__ import annotations

import os
import sys
import warnings
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import matplotlib
from matplotlib._pylab_helpers import Gcf
from matplotlib.backend_bases import FigureManagerBase
from matplotlib.backends.backend_agg import FigureCanvasAgg

from tervalo.terminal import TerminalError

if TYPE_CHECKING:
    from matplotlib.figure import Figure

__all__ = ["FORCE", "FigureCanvas", "FigureManager", "show"]

FORCE = "TERVALO_FORCE"


def forced() -> bool:
    """Whether TERVALO_FORCE asks to draw where the terminal reports no sixels."""
    return os.environ.get(FORCE, "") not in ("", "0")


def _draw(figures: Sequence[Figure]) -> str | None:
    """Draws `figures`, or says why the terminal cannot: the callers warn
    instead of raising, as a GUI backend without a display would."""
    from tervalo.viewer import show_all

    if not figures:
        return None  # the terminal is not asked for nothing
    try:
        show_all(figures, force=forced())
    except TerminalError as error:
        return f"tervalo: {error}; set {FORCE}=1 in the environment to draw anyway"
    return None


def _close(managers: Sequence[FigureManagerBase]) -> None:
    for manager in managers:
        Gcf.destroy(manager)


class FigureManager(FigureManagerBase):
    # Set once Figure.show() has drawn the figure, so that the end of an
    # IPython cell does not draw it a second time.
    shown = False

    def show(self) -> None:
        """Draws the figure, fitted to the window (rendered at the dpi that
        fits, not resampled); it stays open (in IPython, until the cell
        ends)."""
        if why := _draw([self.canvas.figure]):
            warnings.warn(why, stacklevel=3)  # at the caller of Figure.show()
        self.shown = True

    @classmethod
    def pyplot_show(cls, *, block: bool | None = None) -> None:
        # `block` has no meaning here: the pictures stay in the terminal
        # without an event loop.
        managers = Gcf.get_all_fig_managers()
        if managers:
            if why := _draw([manager.canvas.figure for manager in managers]):
                warnings.warn(why, stacklevel=3)  # at the caller of plt.show()
            _close(managers)


class FigureCanvas(FigureCanvasAgg):
    manager_class = FigureManager

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
        if why := _draw([manager.canvas.figure for manager in managers if not manager.shown]):
            # No line of the user's to point at, and shown at every cell
            # that could not draw, not only the first (no registry).
            warnings.warn_explicit(why, UserWarning, "<end of cell>", 0,
                                   module="tervalo.matplotlib")
        _close(managers)


def _hook_into_ipython() -> None:
    # Only an IPython already running: never imported for a plain script.
    ipython = sys.modules.get("IPython")
    shell = ipython.get_ipython() if ipython is not None else None
    if shell is None or cell_ended in shell.events.callbacks["post_execute"]:
        return
    matplotlib.interactive(True)
    shell.events.register("post_execute", cell_ended)


_hook_into_ipython()
