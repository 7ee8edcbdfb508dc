"""Two flat figures, then plt.show(): with the tervalo backend each is drawn
and closed; prints how many stayed open."""

import sys

import matplotlib.pyplot as plt

for colour in ("#ff00ff", "#00ff00"):
    figure = plt.figure(figsize=(8, 6), dpi=100, facecolor=colour)
plt.show()
print("open after show:", len(plt.get_fignums()), file=sys.stderr)
