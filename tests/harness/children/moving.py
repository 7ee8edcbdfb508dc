"""Moving pictures on the terminal this runs on; argv[1] says which, and what
came back is printed on standard error:

    slow-viewer FILE   the viewer on FILE, every encode 0.3 s late
    slow-play          tervalo.play of 12 flat frames at 50 fps, encodes as late
    play-twice         tervalo.play of a generator of 4 frames, loop=2
    live               a live view shown 5 pictures while its first encode is held
    animation          a FuncAnimation of 5 frames, then plt.show()
    failing-animation  a FuncAnimation whose 4th frame raises, then plt.show()
    pause              plt.pause() after each of 3 changes, then plt.show()
    pause-print        the same, with a line printed after each pause
    pause-echo         whether the terminal echoes once plt.pause() returned
    ion-draw           plt.ion(), then fig.canvas.draw() twice, with a change between
"""

import sys
import termios
import threading
import time
from concurrent.futures import Future

import numpy as np

import tervalo
from tervalo import motion, viewer


def flat(k, size=(30, 40)):
    """Frame k (up to 12) of one colour, its own."""
    return np.full((*size, 3), (20 * k, 250 - 20 * k, 120), np.uint8)


class HeldPool(tervalo.EncoderPool):
    """Each stream comes once `gate` is set, and `delay` seconds after it was asked for."""

    delay = 0.0
    gate = threading.Event()

    def submit_pixels(self, pixels, width, height):
        inner, outer = super().submit_pixels(pixels, width, height), Future()

        def later():
            self.gate.wait()
            try:
                stream = inner.result()
            except Exception as error:  # the pool stopped, say
                stream = error
            if outer.set_running_or_notify_cancel():
                if isinstance(stream, Exception):
                    outer.set_exception(stream)
                else:
                    outer.set_result(stream)

        threading.Timer(self.delay, later).start()
        return outer


def main(what, *args):
    if what.startswith("slow"):
        encode = motion.FrameEncoder.encode

        def slow(self, pixels, width, height):
            time.sleep(0.3)
            return encode(self, pixels, width, height)

        motion.FrameEncoder.encode = slow
        if what == "slow-viewer":
            return viewer.main(list(args))
        print(tervalo.play([flat(k) for k in range(12)], fps=50), file=sys.stderr)
    elif what == "play-twice":
        print(tervalo.play((flat(k) for k in range(4)), fps=5, loop=2), file=sys.stderr)
    elif what == "live":
        with tervalo.live(pool=HeldPool(1)) as view:
            for k in range(5):
                view.show(flat(k))  # would never return if it waited for an encode
            HeldPool.gate.set()
        print(view.drawn, view.dropped, file=sys.stderr)
    else:
        figures(what)
    return 0


def figures(what):
    import matplotlib.pyplot as plt
    from matplotlib.animation import FuncAnimation

    figure, axes = plt.subplots(figsize=(4, 3), dpi=100)
    line, = axes.plot([0, 1], [0, 0])
    axes.set_ylim(0, 5)
    if what.endswith("animation"):
        def step(k):
            if k == 3 and what.startswith("failing"):
                raise RuntimeError("no data for frame 3")
            line.set_ydata([k, k])
            return line,

        kept = FuncAnimation(figure, step, frames=5, interval=200, repeat=False, blit=True)
        try:
            plt.show()
        except RuntimeError as error:
            print("raised:", error, file=sys.stderr)
        assert kept is not None
    elif what == "pause-echo":
        plt.pause(0.05)
        print("echo:", bool(termios.tcgetattr(0)[3] & termios.ECHO), file=sys.stderr)
        plt.close("all")
    elif what == "ion-draw":
        plt.ion()
        for k in range(2):
            line.set_ydata([k, k])
            figure.canvas.draw()
            figure.canvas.flush_events()
        plt.close("all")
    else:
        for k in range(3):
            line.set_ydata([k, k])
            plt.pause(0.05)
            if what == "pause-print":
                print(f"epoch {k}")
        plt.show()
    print("open:", plt.get_fignums(), file=sys.stderr)


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
