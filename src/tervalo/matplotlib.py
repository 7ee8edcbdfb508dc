"""A matplotlib backend that draws figures inline in a sixel terminal:

    MPLBACKEND=module://tervalo.matplotlib python plot.py

or matplotlib.use("module://tervalo.matplotlib"). plt.show() draws every open
figure, fitted to the window, into the terminal on standard output, then
closes them, as inline backends do. Into a pipe or a file the sixel streams
are written as they are. Where the terminal reports no sixel support a
warning says so and the figures stay open (savefig still works).
"""

from __future__ import annotations

import warnings

from matplotlib._pylab_helpers import Gcf
from matplotlib.backend_bases import FigureManagerBase
from matplotlib.backends.backend_agg import FigureCanvasAgg

from tervalo.terminal import TerminalError

__all__ = ["FigureCanvas", "FigureManager", "show"]


class FigureManager(FigureManagerBase):
    def show(self) -> None:
        """Draws the figure, fitted to the window (rendered at the dpi that
        fits, not resampled)."""
        from tervalo.viewer import show

        show(self.canvas.figure)

    @classmethod
    def pyplot_show(cls, *, block: bool | None = None) -> None:
        # `block` has no meaning here: the pictures stay in the terminal
        # without an event loop.
        from tervalo.viewer import show_all

        managers = Gcf.get_all_fig_managers()
        if not managers:
            return
        try:
            show_all(manager.canvas.figure for manager in managers)
        except TerminalError as error:
            warnings.warn(f"tervalo: {error}", stacklevel=3)
            return
        for manager in managers:
            Gcf.destroy(manager)


class FigureCanvas(FigureCanvasAgg):
    manager_class = FigureManager


def show(*, block: bool | None = None) -> None:
    """What plt.show() runs: draws each open figure, then closes it."""
    FigureManager.pyplot_show(block=block)
