"""tervalo with NumPy and matplotlib made unimportable: Pillow images of
several modes still encode; prints each stream's raster attributes, then
the whole stream of the flat picture named in the argument."""

import sys

sys.modules["numpy"] = sys.modules["matplotlib"] = None
from PIL import Image  # noqa: E402

import tervalo  # noqa: E402  (after the hiding above)

for mode, colour in [("RGBA", (255, 0, 0, 0)), ("F", 0.5), ("I", 40000), ("P", 3)]:
    stream = tervalo.encode(Image.new(mode, (30, 20), colour), background="red", max_size=(15, 15))
    print(mode, stream.partition(b"#")[0].decode())

print(tervalo.encode(eval(sys.argv[1])).hex())  # the picture, as the test builds it
