#!/usr/bin/env python3
"""Draw a picture in a sixel terminal (xterm -ti vt340, mlterm, konsole, foot):
a matplotlib figure, fitted to the window. `python -m tervalo IMAGE` does
the same for image files."""

import matplotlib

matplotlib.use("agg")  # drawn by tervalo, not in a window
import matplotlib.pyplot as plt  # noqa: E402

import tervalo  # noqa: E402

figure, axes = plt.subplots()
axes.plot([0, 1, 2, 3], [1, 4, 2, 3], linewidth=3)
axes.set_title("drawn by tervalo")
tervalo.show(figure)
