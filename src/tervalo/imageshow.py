"""Pillow's Image.show() drawn in the terminal:

    import tervalo.imageshow
    tervalo.imageshow.register()         # once; then image.show() draws inline

The viewer is put before Pillow's others. Where standard output is no
terminal that draws sixels, it declines, and Pillow tries its other viewers
as before. Importing tervalo changes nothing of Pillow's: only register()
does.
"""

from __future__ import annotations

import sys
from typing import Any

from PIL import Image, ImageShow

from tervalo.drawing import forced, is_terminal, show_all
from tervalo.terminal import TerminalError

__all__ = ["SixelViewer", "register"]


class SixelViewer(ImageShow.Viewer):
    """Draws the image in the terminal on standard output, fitted to its
    window; declines (0) where that terminal does not draw sixels."""

    def show(self, image: Image.Image, **options: Any) -> int:
        if not is_terminal(sys.stdout):
            return 0
        try:
            show_all([image], force=forced(), hint=None)
        except TerminalError:
            return 0
        return 1


def register() -> None:
    """Image.show() draws in the terminal from now on, where it can. A
    second call changes nothing."""
    if not any(isinstance(viewer, SixelViewer) for viewer in ImageShow._viewers):
        ImageShow.register(SixelViewer(), order=-1)
