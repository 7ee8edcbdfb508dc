"""A magenta figure with a green square in the middle, shown by plt.show()."""

import matplotlib.pyplot as plt

figure = plt.figure(figsize=(8, 6), dpi=100, facecolor="#ff00ff")
figure.add_artist(plt.Rectangle((0.25, 0.25), 0.5, 0.5, color="#00ff00",
                                transform=figure.transFigure))
plt.show()
