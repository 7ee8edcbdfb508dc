"""Pictures in IPython's terminal shell:

    %load_ext tervalo

(or %matplotlib tervalo, which loads it too). A Pillow image, a matplotlib
figure, or any object with a PNG representation (`_repr_png_`), when it is a
cell's result or passed to display(), is drawn in the terminal below the
cell, fitted as tervalo.show fits it, instead of its text. Where the
terminal does not draw sixels, the text stays: one line says why, once per
session, and pictures are text from then on. TERVALO_FORCE=1 in the
environment draws anyway.
"""

from __future__ import annotations

import base64
import io
import sys
from typing import Any

from IPython.core.formatters import BaseFormatter
from traitlets import Unicode

from tervalo._encode import is_figure, is_pillow
from tervalo.drawing import forced, say, show_all
from tervalo.terminal import TerminalError

__all__ = ["MIME", "disable", "enable", "load_ipython_extension", "unload_ipython_extension"]

# The format under which the display machinery hands tervalo the picture
# itself (never sent anywhere: the terminal shell draws it at once).
MIME = "application/vnd.tervalo.picture"


def load_ipython_extension(shell: Any) -> None:
    enable(shell)


def unload_ipython_extension(shell: Any) -> None:
    disable(shell)


class _Pictures(BaseFormatter):
    """Finds the objects that are pictures, and hands on the object."""

    format_type = Unicode(MIME)
    _return_type = object

    def __call__(self, obj: object) -> object:
        if self.enabled and not isinstance(obj, type) and (
                is_pillow(obj) or is_figure(obj) or callable(getattr(obj, "_repr_png_", None))):
            return obj
        return None


def enable(shell: Any) -> None:
    """Draws the pictures that `shell` displays (once; again after disable)."""
    formatters = shell.display_formatter.formatters
    if MIME in formatters:
        return
    formatters[MIME] = _Pictures(parent=shell.display_formatter)
    shell.display_formatter.active_types = [*shell.display_formatter.active_types, MIME]
    # Before any other renderer of the shell's, which could take the picture's PNG.
    shell.mime_renderers = {MIME: _Renderer(shell), **shell.mime_renderers}


def disable(shell: Any) -> None:
    """Pictures as text again."""
    shell.display_formatter.formatters.pop(MIME, None)
    shell.display_formatter.active_types = [
        kind for kind in shell.display_formatter.active_types if kind != MIME]
    shell.mime_renderers = {k: v for k, v in shell.mime_renderers.items() if k != MIME}


class _Renderer:
    def __init__(self, shell: Any) -> None:
        self._shell = shell

    def __call__(self, picture: object, metadata: object) -> None:
        hook = self._shell.displayhook
        if hook.is_active and not getattr(hook, "prompt_end_newline", True):
            sys.stdout.write("\n")  # a result: below its Out[n] prompt, not beside it
        readable = _readable(picture)
        if readable is None:  # it has no PNG after all
            print(self._text(picture))
            return
        try:
            show_all([readable], force=forced(), hint=None)
        except TerminalError as error:
            say(f"{error}; pictures stay text in this IPython session (TERVALO_FORCE=1 in the "
                "environment draws them anyway)")
            disable(self._shell)
            print(self._text(picture))
            return
        except Exception as error:  # noqa: BLE001  (its text instead, as IPython would show)
            say(f"cannot draw {type(picture).__name__}: {error}")
            print(self._text(picture))
            return
        if is_figure(picture):
            # Drawn: the backend's end of the cell need not draw it again.
            manager = getattr(picture.canvas, "manager", None)
            if manager is not None and hasattr(manager, "shown"):
                manager.shown = True

    def _text(self, picture: object) -> str:
        return str(self._shell.display_formatter.formatters["text/plain"](picture))


def _readable(picture: object) -> Any:
    """What tervalo.show takes: the picture, or the image its PNG holds
    (None if it gives none)."""
    if is_pillow(picture) or is_figure(picture):
        return picture
    png = picture._repr_png_()  # type: ignore[attr-defined]
    if isinstance(png, tuple):  # (data, metadata)
        png = png[0]
    if isinstance(png, str):
        png = base64.b64decode(png)
    if not isinstance(png, bytes):
        return None
    from PIL import Image

    return Image.open(io.BytesIO(png))
