"""Sixel pictures from Pillow images, NumPy arrays and matplotlib figures,
drawn in the terminal, encoded through libsixel by the package's own module
(tervalo._sixel); moving pictures
played or redrawn in place.

Each name is imported on first use, so that `import tervalo` costs nothing
the program does not call: a still picture never imports the pool or the
moving pictures, and a pool's worker only what encoding needs."""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from tervalo._encode import encode
    from tervalo.drawing import show
    from tervalo.motion import LiveView, Playback, live, play
    from tervalo.pool import EncoderPool

__version__ = "0.1.0"
__all__ = ["EncoderPool", "LiveView", "Playback", "__version__", "encode", "live", "play",
           "show"]

# Where each public name lives.
_HOMES = {"encode": "tervalo._encode", "show": "tervalo.drawing", "live": "tervalo.motion",
          "play": "tervalo.motion", "LiveView": "tervalo.motion", "Playback": "tervalo.motion",
          "EncoderPool": "tervalo.pool",
          # %load_ext tervalo in IPython
          "load_ipython_extension": "tervalo.ipython",
          "unload_ipython_extension": "tervalo.ipython"}


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module 'tervalo' has no attribute {name!r}")
    value = getattr(importlib.import_module(home), name)
    globals()[name] = value  # found directly from now on
    return value


def __dir__() -> list[str]:
    return sorted([*globals(), *_HOMES])
