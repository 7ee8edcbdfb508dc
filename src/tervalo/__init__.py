"""Sixel pictures from Pillow images, NumPy arrays and matplotlib figures,
drawn in the terminal, encoded by tervalo_ext (libsixel); moving pictures
played or redrawn in place."""

from tervalo._encode import encode
from tervalo.motion import live, play
from tervalo.pool import EncoderPool
from tervalo.viewer import show

__version__ = "0.1.0"
__all__ = ["EncoderPool", "__version__", "encode", "live", "play", "show"]
