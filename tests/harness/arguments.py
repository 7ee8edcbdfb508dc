"""Arguments the module must refuse, and what it says for each."""

INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1
LIMIT = INT32_MAX  # most bytes of pixel data one call takes
RED_2X2 = b"\xff\x00\x00" * 4


class OnlyInt:
    """Converts through __int__ alone."""

    def __init__(self, value=2):
        self.value = value

    def __int__(self):
        return self.value


class IntRaises:
    def __int__(self):
        raise RuntimeError("no int here")


class FloatSub(float):
    pass


# Arguments that must not convert: TypeError, "incompatible function arguments".
REFUSED_TYPES = [
    ((bytearray(RED_2X2), 2, 2), {}),
    ((memoryview(RED_2X2), 2, 2), {}),
    (("abc", 1, 1), {}),
    ((None, 2, 2), {}),
    ((RED_2X2, 1.5, 2), {}),
    ((RED_2X2, 2.0, 2), {}),
    ((RED_2X2, FloatSub(2), 2), {}),
    ((RED_2X2, 2, None), {}),
    ((RED_2X2, "2.5", 2), {}),
    ((RED_2X2, 2**31, 2), {}),
    ((RED_2X2, 2, INT32_MIN - 1), {}),
    ((RED_2X2, str(2**31), 2), {}),
    # Beyond 64 bits: read without its overflow flag, such an int is -1.
    ((RED_2X2, 2**64, 2), {}),
    ((RED_2X2, 2, 2**64), {}),
    ((RED_2X2, -(2**70), 2), {}),
    ((RED_2X2, 2, -(2**70)), {}),
    ((RED_2X2, 2, str(2**64)), {}),
    ((RED_2X2, IntRaises(), 2), {}),
    ((RED_2X2, 2), {}),
    ((RED_2X2, 2, 2), {"depth": 3}),
]

# Arguments that convert but describe no image the module encodes:
# ValueError with this text.
REFUSED_VALUES = [
    ((RED_2X2, 0, 2), "width and height must be positive, got width=0, height=2"),
    ((RED_2X2, 2, 0), "got width=2, height=0"),
    ((RED_2X2, -3, -5), "got width=-3, height=-5"),
    ((RED_2X2, INT32_MIN, INT32_MAX), "got width=-2147483648, height=2147483647"),
    ((b"", 715827883, 1), f"= 2147483649 bytes exceeds the limit of {LIMIT} bytes"),
    ((b"", LIMIT, LIMIT), f"= 13835058042397261827 bytes exceeds the limit of {LIMIT} bytes"),
    # Exactly at the limit the size passes and the buffer length decides.
    ((b"", 715827882, 1), "pixel_data holds 0 bytes, but width * height * 3 = 2147483646"),
    ((RED_2X2[:-1], 2, 2), "pixel_data holds 11 bytes, but width * height * 3 = 12 bytes"),
    ((RED_2X2, 3, 2), "pixel_data holds 12 bytes, but width * height * 3 = 18 bytes"),
]
