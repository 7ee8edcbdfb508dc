"""What Python callers see: the module's attributes, its documentation and
which argument kinds are converted or refused."""

import json
import subprocess
import sys

import numpy as np
import pytest
from support import RED_2X2, REFUSED_TYPES, OnlyInt

import tervalo_ext
from tervalo_ext import sixel_encode_bytes

SIGNATURE = "sixel_encode_bytes(pixel_data: bytes, width: int, height: int) -> bytes"


class MyBytes(bytes):
    pass


def test_module_surface():
    assert [n for n in dir(tervalo_ext) if not n.startswith("_")] == ["sixel_encode_bytes"]
    assert sixel_encode_bytes.__doc__ == (
        SIGNATURE + "\n\nEncode 'pixel_data' RGB data (3 bytes per pixel) into sixels format.")


def test_type_error_text():
    with pytest.raises(TypeError) as info:
        sixel_encode_bytes(bytearray(RED_2X2), 2, 2)
    assert str(info.value) == (
        "sixel_encode_bytes(): incompatible function arguments. The following argument "
        "types are supported:\n    1. " + SIGNATURE + "\n\nInvoked with types: bytearray, int, int")


@pytest.mark.parametrize("args, kwargs", REFUSED_TYPES + [((RED_2X2, np.float64(2), 2), {})])
def test_refused_arguments(args, kwargs):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        sixel_encode_bytes(*args, **kwargs)


@pytest.mark.parametrize("call", [
    lambda: sixel_encode_bytes(MyBytes(RED_2X2), 2, 2),
    lambda: sixel_encode_bytes(RED_2X2, "2", 2),
    lambda: sixel_encode_bytes(RED_2X2 + RED_2X2[:6], " 2 ", True + True),
    lambda: sixel_encode_bytes(RED_2X2, OnlyInt(), np.int32(2)),
    lambda: sixel_encode_bytes(height=2, pixel_data=RED_2X2, width=2),
])
def test_accepted_arguments_match_plain_call(call):
    assert call() == sixel_encode_bytes(RED_2X2, 2, 2)


def test_bool_and_string_dimensions():
    one_pixel = b"\x00\x00\xff"
    assert sixel_encode_bytes(one_pixel, True, True) == sixel_encode_bytes(one_pixel, 1, 1)
    assert b'"1;1;640;1' in sixel_encode_bytes(bytes(640 * 3), "640", 1)


CONVERSIONS = r"""
import json
from tervalo_ext import sixel_encode_bytes as encode


class Made:
    # Hands back an int made at call time (never a cached small int), so
    # that the converted object is referenced by the conversion alone.
    def __init__(self, text):
        self.text = text


class ViaInt(Made):
    def __int__(self):
        return int(self.text)


class ViaIndex(Made):
    def __index__(self):
        return int(self.text)


class MyInt(int):
    pass


pixels = bytes(range(256)) * 4
plain = {(300, 1): encode(pixels, 300, 1), (1, 300): encode(pixels, 1, 300)}
cases = {
    "__int__": (ViaInt("300"), 1), "__index__": (ViaIndex("300"), 1), "str": ("300", 1),
    "padded str": (" 300 ", 1), "bytes": (b"300", 1), "int subclass": (MyInt(300), 1),
    "height __int__": (1, ViaInt("300")), "height str": (1, "300"),
    "negative __int__": (ViaInt("-300"), 1), "2**31 __int__": (ViaInt(str(2**31)), 1),
    "2**64 __int__": (ViaInt(str(2**64)), 1), "-2**70 __index__": (1, ViaIndex(str(-2**70))),
    "2**64 str": (str(2**64), 1)}
report = {}
for name, (width, height) in cases.items():
    try:
        stream = encode(pixels, width, height)
        report[name] = next((f"{w}x{h}" for (w, h), s in plain.items() if s == stream),
                            "another stream")
    except (TypeError, ValueError) as error:
        report[name] = type(error).__name__
print(json.dumps(report))
"""


def test_converted_dimensions_are_read_before_release(harness_env):
    """Dimensions that convert (through __int__, __index__, a string, an int
    subclass, or beyond any integer type) give the plain call's result or
    its error, in a child whose freed memory the debug allocator overwrites:
    there, reading the converted int after releasing it shows."""
    run = subprocess.run([sys.executable, "-X", "faulthandler", "-c", CONVERSIONS], check=False,
                         capture_output=True, text=True,
                         env=dict(harness_env, PYTHONMALLOC="debug"), timeout=120)
    assert run.returncode == 0, run.stderr
    # "WxH": the stream of a plain call with those ints.
    assert json.loads(run.stdout) == {
        "__int__": "300x1", "__index__": "300x1", "str": "300x1", "padded str": "300x1",
        "bytes": "300x1", "int subclass": "300x1", "height __int__": "1x300",
        "height str": "1x300",
        "negative __int__": "ValueError", "2**31 __int__": "TypeError",
        "2**64 __int__": "TypeError", "-2**70 __index__": "TypeError", "2**64 str": "TypeError"}
