"""Widths and heights that convert through __int__, __index__, strings, int
subclasses or beyond any integer type; prints which plain call each one
matched, or the error. Run under PYTHONMALLOC=debug."""

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
