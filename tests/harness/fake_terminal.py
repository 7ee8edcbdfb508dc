"""A program run on a pseudo-terminal whose other end plays the terminal:
it answers the queries it is sent, late if asked to, and keeps all the
program wrote. After the program exits, what the shell would read next from
the terminal is collected too."""

import contextlib
import fcntl
import os
import select
import signal
import struct
import subprocess
import termios
import time
from dataclasses import dataclass

# Replies of real terminals to Primary Device Attributes (ESC [ c).
VT340 = b"\x1b[?63;1;2;4;6;9;15;16;22;28c"          # xterm -ti vt340
XTERM = b"\x1b[?64;1;2;6;9;15;16;17;18;21;22;28c"   # xterm as it starts by default
MLTERM = b"\x1b[?63;1;2;3;4;6;7;15;18;22;29c"       # mlterm 3.9
KONSOLE = b"\x1b[?62;1;4c"                          # konsole 22.12
FOOT = b"\x1b[?62;4;22c"
VTE = b"\x1b[?65;1;9c"                              # GNOME Terminal
XTERMJS = b"\x1b[?62;4;9;22c"                       # xterm.js 5.3 with its image add-on
TMUX = b"\x1b[?1;2c"                                # tmux 3.3a and screen 4.9 alike
DA1 = b"\x1b[c"
XTSMGRAPHICS = b"\x1b[?2;1;0S"
SYNCHRONIZED = b"\x1b[?2026$p"  # DECRQM: does it know mode 2026
WINDOW = b"\x1b[14t"
# xterm's 80 x 24 cells of 6 x 13 pixels with a 2-pixel border.
XTERM_WINDOW = (24, 80, 484, 316)


@dataclass
class Run:
    status: int
    out: bytes            # all the program wrote on the terminal
    errors: list[str]     # its standard error, by line
    leftover: bytes       # what the shell would read from the terminal next
    mode_kept: bool       # the terminal's mode after it is the mode before


def on_pty(argv, answers=None, window=XTERM_WINDOW, delay=0.0, env=None, detached=False,
           interrupt_on=None, timeout=60, typed=None, typed_after=0.0,
           interrupt_with=signal.SIGINT):
    """Runs argv with stdin and stdout on a pty of `window` (rows, cols,
    xpixel, ypixel). answers maps a query to the reply sent `delay` seconds
    after it arrives, each time it does. The program runs in a session of its
    own with the pty as its controlling terminal; detached: with stdin
    /dev/null and no controlling terminal. interrupt_on: `interrupt_with`
    (SIGINT) is sent once the program wrote these bytes. env: variables added to this process's
    environment, less those telling of a tmux or screen the tests run in.
    typed: keys typed half a second after a reply was sent (if there are
    answers), and at least `typed_after` seconds after the program first
    wrote (its queries), however long it took to start."""
    answers = dict(answers or {})
    env = {**{k: v for k, v in os.environ.items() if k not in ("TMUX", "STY")}, **(env or {})}
    master, slave = os.openpty()
    try:
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("4H", *window))
        before = termios.tcgetattr(slave)
        # Ctrl-C back to its default: a background job inherits it ignored,
        # and Python then never raises KeyboardInterrupt.
        child = subprocess.Popen(
            argv, stdin=subprocess.DEVNULL if detached else slave, stdout=slave,
            stderr=subprocess.PIPE, env=env, start_new_session=True,
            preexec_fn=lambda: _started(detached))
        out, pending, asked = b"", [], dict.fromkeys(answers, 0)
        deadline = time.monotonic() + timeout
        replied = start = time.monotonic()
        first_written = None
        while time.monotonic() < deadline:
            now = time.monotonic()
            for due, reply in [p for p in pending if p[0] <= now]:
                os.write(master, reply)
                pending.remove((due, reply))
                replied = now
            if (typed is not None and not pending and (replied > start or not answers)
                    and first_written is not None
                    and now > max(replied + 0.5, first_written + typed_after)):
                os.write(master, typed)
                typed = None
            if select.select([master], [], [], 0.02)[0]:
                out += os.read(master, 1 << 16)
                first_written = first_written or time.monotonic()
                for query, reply in answers.items():
                    for _ in range(out.count(query) - asked[query]):
                        pending.append((time.monotonic() + delay, reply))
                    asked[query] = out.count(query)
                if interrupt_on is not None and interrupt_on in out:
                    child.send_signal(interrupt_with)
                    interrupt_on = None
            elif child.poll() is not None and not pending:
                break
        child.kill()
        status = child.wait()
        while select.select([master], [], [], 0)[0]:
            out += os.read(master, 1 << 16)
        mode_kept = termios.tcgetattr(slave) == before
        return Run(status, out, child.stderr.read().decode().splitlines(),
                   _pending_input(slave), mode_kept)
    finally:
        os.close(master)
        os.close(slave)


def _started(detached):
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    if not detached:  # the pty as the controlling terminal, as a shell gives it
        fcntl.ioctl(1, termios.TIOCSCTTY, 0)


def _pending_input(fd):
    # Replies carry no newline: read them as a non-canonical reader would.
    mode = termios.tcgetattr(fd)
    mode[3] &= ~termios.ICANON
    mode[6][termios.VMIN], mode[6][termios.VTIME] = 0, 0
    termios.tcsetattr(fd, termios.TCSANOW, mode)
    data = b""
    while select.select([fd], [], [], 0.05)[0]:
        chunk = os.read(fd, 1024)
        if not chunk:
            break
        data += chunk
    return data


@contextlib.contextmanager
def pixel_cells():
    """(stdin, stderr) for a peer program: a pseudo-terminal of 1 x 1-pixel
    cells, so that a program fitting the terminal draws at a picture's own
    pixel size. Closed on leaving."""
    master, slave = os.openpty()
    try:
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 4000, 4000, 4000, 4000))
        yield slave, slave
    finally:
        os.close(master)
        os.close(slave)
