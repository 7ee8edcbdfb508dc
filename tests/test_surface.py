"""What Python callers see: the module's attributes, its documentation and
which argument kinds are converted or refused."""

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
