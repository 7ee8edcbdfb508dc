"""tervalo with Pillow made unimportable: NumPy arrays encode, and scaling
or a colour name say what is missing."""

import sys

sys.modules["PIL"] = None  # import PIL now fails, as if it were not installed
import tervalo  # noqa: E402  (after the hiding above)

assert not {"PIL", "numpy", "matplotlib"} & {m for m in sys.modules if sys.modules[m]}, \
    sorted(m for m in ("PIL", "numpy", "matplotlib") if sys.modules.get(m))
import numpy as np  # noqa: E402

print(tervalo.encode(np.zeros((2, 2, 3), np.uint8)) == tervalo.encode(np.zeros((2, 2), bool)))
for call in (lambda: tervalo.encode(np.zeros((4, 4), np.uint8), max_size=(2, 2)),
             lambda: tervalo.encode(np.zeros((4, 4), np.uint8), background="red")):
    try:
        call()
    except (ImportError, ValueError) as error:
        print(type(error).__name__, error)
