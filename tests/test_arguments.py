"""What Python callers see: the module's attributes, its documentation, which
argument kinds are converted or refused, and the values refused with
ValueError before anything is allocated."""

import json
import re
import subprocess
import sys

import numpy as np
import pytest
from arguments import RED_2X2, REFUSED_TYPES, REFUSED_VALUES, OnlyInt
from conftest import CHILDREN
from images import few_colour

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


SMALL = few_colour(9, 7)
SMALL_STREAM = sixel_encode_bytes(SMALL, 9, 7)


@pytest.mark.parametrize("args, message", REFUSED_VALUES)
def test_refused_with_value_error(args, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        sixel_encode_bytes(*args)
    assert sixel_encode_bytes(SMALL, 9, 7) == SMALL_STREAM


def test_longer_buffer_uses_its_prefix():
    assert sixel_encode_bytes(SMALL + b"\x01" * 100, 9, 7) == SMALL_STREAM


def test_bool_and_string_dimensions():
    one_pixel = b"\x00\x00\xff"
    assert sixel_encode_bytes(one_pixel, True, True) == sixel_encode_bytes(one_pixel, 1, 1)
    assert b'"1;1;640;1' in sixel_encode_bytes(bytes(640 * 3), "640", 1)


def test_converted_dimensions_are_read_before_release(harness_env):
    """Dimensions that convert (through __int__, __index__, a string, an int
    subclass, or beyond any integer type) give the plain call's result or
    its error, in a child whose freed memory the debug allocator overwrites:
    there, reading the converted int after releasing it shows."""
    run = subprocess.run([sys.executable, "-X", "faulthandler", str(CHILDREN / "conversions.py")],
                         check=False, capture_output=True, text=True,
                         env=dict(harness_env, PYTHONMALLOC="debug"), timeout=120)
    assert run.returncode == 0, run.stderr
    # "WxH": the stream of a plain call with those ints.
    assert json.loads(run.stdout) == {
        "__int__": "300x1", "__index__": "300x1", "str": "300x1", "padded str": "300x1",
        "bytes": "300x1", "int subclass": "300x1", "height __int__": "1x300",
        "height str": "1x300",
        "negative __int__": "ValueError", "2**31 __int__": "TypeError",
        "2**64 __int__": "TypeError", "-2**70 __index__": "TypeError", "2**64 str": "TypeError"}
