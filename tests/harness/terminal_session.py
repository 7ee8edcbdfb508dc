"""Draw sixel streams and run the viewer in real terminals (xterm, mlterm,
konsole) on a virtual X screen, and take screenshots of what they drew.

Used by tests/test_real_terminals.py; run as a script it redraws the
README's screenshot:

    .venv/bin/python tests/harness/terminal_session.py docs/xterm.png
"""

import fcntl
import json
import os
import platform
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
import tty
from pathlib import Path

from imagemagick import imagemagick, magick

ROOT = Path(__file__).resolve().parents[2]
TOOLS = ("Xvfb", "xterm", "xwd")


def missing_tools():
    """Names of the programs this needs that are not installed."""
    missing = [tool for tool in TOOLS if shutil.which(tool) is None]
    # ImageMagick converts the screenshots.
    return missing + ([] if imagemagick() else ["convert"])


class Display:
    """A private Xvfb screen on a free display number, stopped on exit."""

    # Room for xterm at 210 x 76 cells of 6 x 13 pixels.
    def __init__(self, size="1600x1200", timeout=15):
        # A file, not a pipe, for its chatter: nobody reads it while it runs.
        self.log = tempfile.TemporaryFile()  # noqa: SIM115  (closed by close())
        read_end, write_end = os.pipe()
        # -displayfd: Xvfb picks a free display itself and writes its number
        # once it accepts clients. Built-in fonts only, so text looks the
        # same whatever font packages the machine has. -noreset: by default
        # the server resets whenever its last client leaves, and a terminal
        # connecting just then (the test's screenshot tool had just left)
        # is refused with "Can't open display".
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", f"{size}x24",
             "-nolisten", "tcp", "-fp", "built-ins", "-br", "-noreset"],
            pass_fds=(write_end,), stdout=self.log, stderr=self.log)
        os.close(write_end)
        try:
            number = _read_line(read_end, timeout)
        except TimeoutError:
            number = None
        finally:
            os.close(read_end)
        if not number:
            message = f"Xvfb did not start within {timeout} s: {_tail(self.log)}"
            self.close()
            raise RuntimeError(message)
        self.name = f":{number}"

    def close(self):
        stop(self.process)
        self.log.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Terminal:
    """One terminal window (`program`: xterm, mlterm or konsole) that shows
    `caption` (a line of text, may be empty), draws `stream`, then runs
    `command` (a list, may be None) on its terminal. xterm is a VT340 with
    sixel graphics on (256 colour registers), or with vt340 False xterm as it
    starts by default, without them.

    With `before` true the session waits, cursor hidden, until the test has
    taken `self.before` (a screenshot of the window as it was), so that
    changed() finds what was drawn whatever the terminal's colours and
    decorations. With `until` (a path) the session waits for that file
    instead of the command's end, and has no report. The window stays open
    until close(). `report` holds what
    the session saw inside: the command's exit status and standard error (a
    file, not the terminal), the terminal's size (TIOCGWINSZ: rows, columns,
    width and height in pixels) and where the cursor ended up ("answer")."""

    def __init__(self, display, stream=b"", caption="", background="white",
                 geometry="80x24", command=None, vt340=True, timeout=20, program="xterm",
                 before=False, env=None, until=None):
        self.display = display
        self.workdir = Path(tempfile.mkdtemp(prefix="terminal-session-"))
        (self.workdir / "stream").write_bytes(stream)
        (self.workdir / "command.json").write_text(json.dumps(command))
        if before:
            (self.workdir / "wait").touch()
        env = dict(os.environ, DISPLAY=display.name, **(env or {}))
        inside = [sys.executable, __file__, "--inside", str(self.workdir), caption]
        self.log = tempfile.TemporaryFile()  # noqa: SIM115  (closed by close())
        # A process group of its own, stopped whole: konsole's D-Bus daemon too.
        self.process = subprocess.Popen(_command(program, inside, geometry, background, vt340),
                                        env=env, stdout=self.log, stderr=self.log,
                                        start_new_session=True)
        try:
            if before:
                self._await("ready.json", timeout)
                self.window = json.loads((self.workdir / "ready.json").read_text())["window"]
                self.before = self.screenshot(blank_ok=True)
                (self.workdir / "wait").unlink()
            if until is not None:  # a command that does not end by itself
                self._await(until, timeout)
                return
            self._await("done.json", timeout)
            self.report = json.loads((self.workdir / "done.json").read_text())
            if "error" in self.report:
                raise RuntimeError(f"inside {program}: {self.report['error']}")
            self.window = self.report["window"]
        except BaseException:
            self.close()
            raise

    def _await(self, name, timeout):
        deadline = time.monotonic() + timeout
        while not (self.workdir / name).exists():
            if self.process.poll() is not None:
                raise RuntimeError(f"the terminal exited: {_tail(self.log)}")
            if time.monotonic() > deadline:
                raise RuntimeError(f"the terminal did not get to {name} within {timeout} s: "
                                   f"{_tail(self.log)}")
            time.sleep(0.05)

    def capture(self):
        """The window's pixels now, as (width, height, packed RGB bytes)."""
        env = dict(os.environ, DISPLAY=self.display.name)
        where = ["-id", self.window] if self.window else ["-root"]
        xwd = subprocess.run(["xwd", *where, "-silent"], env=env,
                             capture_output=True, check=True, timeout=10).stdout
        return _parse_ppm(magick("xwd:-", "-depth", "8", "ppm:-", data=xwd, timeout=10))

    def screenshot(self, timeout=10, blank_ok=False):
        """The window once something is drawn and two captures in a row
        agree: a terminal paints some time after it has read the stream."""
        deadline = time.monotonic() + timeout
        previous = self.capture()
        while True:
            time.sleep(0.1)
            current = self.capture()
            pixels = current[2]
            blank = pixels == pixels[:3] * (len(pixels) // 3)
            settled = current == previous and (blank_ok or not blank)
            if settled and (blank_ok or getattr(self, "before", None) != current):
                return current
            if time.monotonic() > deadline:
                if current == getattr(self, "before", None):
                    raise RuntimeError(f"nothing was drawn in {timeout} s")
                raise RuntimeError(f"the window was blank or kept changing for {timeout} s")
            previous = current

    def changed(self, screen):
        """(top, left, height, width) of what differs between `self.before`
        and `screen`, or None."""
        import numpy as np

        width, height, _ = screen
        before, after = (np.frombuffer(s[2], np.uint8).reshape(height, width, 3)
                         for s in (self.before, screen))
        rows, cols = np.nonzero(np.any(before != after, axis=2))
        if not rows.size:
            return None
        top, left = int(rows.min()), int(cols.min())
        return top, left, int(rows.max()) + 1 - top, int(cols.max()) + 1 - left

    def close(self):
        stop(self.process)
        self.log.close()
        shutil.rmtree(self.workdir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def _command(program, inside, geometry, background, vt340):
    if program == "xterm":
        return ["xterm", *(["-ti", "vt340"] if vt340 else []),
                "-xrm", "XTerm*numColorRegisters: 256",
                "-xrm", "XTerm*sixelScrolling: true", "-geometry", f"{geometry}+0+0",
                "-bg", background, "-fg", "black", "-bw", "0", "-hold", "-e", *inside]
    if program == "mlterm":
        return ["mlterm", "-g", f"{geometry}+0+0", "-b", background, "-f", "black",
                "--sbmod=none", "-e", *inside]
    if program == "konsole":
        # Its own D-Bus session: konsole registers there and will not start
        # without one. Menus and tabs off, so the window is mostly terminal;
        # no size hint, which konsole 25 lays over the middle of the window
        # as it first sizes it.
        return ["dbus-run-session", "konsole", "--nofork", "--hide-menubar",
                "--hide-tabbar", "-p", "ShowTerminalSizeHint=false", "-e", *inside]
    raise ValueError(f"unknown terminal {program!r}")


def installed(program):
    """Whether the terminal `program` (and what it needs to start) is there."""
    needs = {"konsole": ["konsole", "dbus-run-session"]}.get(program, [program])
    return all(shutil.which(tool) for tool in needs)


def not_installed(program):
    """Why `program` is missing, for a skip: to install, or not in this release."""
    policy = subprocess.run(["apt-cache", "policy", program], capture_output=True, text=True,
                            check=False).stdout if shutil.which("apt-cache") else ""
    if re.search(r"Candidate: [^(\s]", policy) or not shutil.which("apt-cache"):
        return f"{program} is not installed (apt-get install {program})"
    release = platform.freedesktop_os_release().get("PRETTY_NAME", "this release")
    return f"{program} is not packaged for {release}"


def _read_line(fd, timeout):
    data = b""
    deadline = time.monotonic() + timeout
    while not data.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            raise TimeoutError
        chunk = os.read(fd, 64)
        if not chunk:
            break
        data += chunk
    return data.decode().strip()


def _tail(log, size=800):
    log.seek(0)
    return log.read().decode(errors="replace").strip()[-size:]


def stop(process, grace=5):
    """Stops `process` and, when it leads a process group, all of that group."""
    group = os.getpgid(process.pid) if process.poll() is None else None

    def signal_all(sig):
        try:
            if group == process.pid:
                os.killpg(group, sig)
            elif process.poll() is None:
                process.send_signal(sig)
        except ProcessLookupError:
            pass

    signal_all(signal.SIGTERM)
    try:
        process.wait(grace)
    except subprocess.TimeoutExpired:
        signal_all(signal.SIGKILL)
        process.wait()
    signal_all(signal.SIGKILL)  # what is left of the group


def _parse_ppm(ppm):
    # Binary PPM: "P6", width, height, maxval, separated by whitespace or
    # "#" comments (ImageMagick puts the window name there), then one byte.
    fields, pos = [], 0
    while len(fields) < 4:
        while ppm[pos:pos + 1].isspace() or ppm[pos:pos + 1] == b"#":
            pos = ppm.index(b"\n", pos) + 1 if ppm[pos:pos + 1] == b"#" else pos + 1
        end = pos
        while end < len(ppm) and not ppm[end:end + 1].isspace():
            end += 1
        fields.append(ppm[pos:end])
        pos = end
    magic, width, height, maxval = fields[0], int(fields[1]), int(fields[2]), int(fields[3])
    if magic != b"P6" or maxval != 255:
        raise ValueError(f"unexpected screenshot format {magic!r}, maxval {maxval}")
    pixels = ppm[pos + 1:pos + 1 + width * height * 3]
    return width, height, pixels


def _inside(workdir, caption):
    """Runs in the terminal: hide the cursor, print the caption, wait for the
    test's first screenshot if asked to, draw the stream, run the command,
    then ask for the cursor position. A terminal handles its input in order,
    so its answer means it has read everything written before."""
    workdir = Path(workdir)
    report = {"window": os.environ.get("WINDOWID", "")}
    fd = saved = None
    try:
        fd = os.open("/dev/tty", os.O_RDWR)
        saved = termios.tcgetattr(fd)
        rows, cols, xpixel, ypixel = struct.unpack(
            "4H", fcntl.ioctl(fd, termios.TIOCGWINSZ, bytes(8)))
        report["winsize"] = {"rows": rows, "cols": cols, "xpixel": xpixel, "ypixel": ypixel}
        _write(fd, b"\x1b[?25l" + (caption.encode() + b"\r\n" if caption else b""))
        if (workdir / "wait").exists():
            _settle(fd)
            (workdir / "ready.json").write_text(json.dumps(report))
            while (workdir / "wait").exists():
                time.sleep(0.02)
        _write(fd, (workdir / "stream").read_bytes())
        command = json.loads((workdir / "command.json").read_text())
        if command:
            # On the terminal in the mode a shell would start it in; its
            # errors go to a file, so that the test reads them exactly.
            with open(workdir / "stderr", "wb") as errors:
                report["status"] = subprocess.run(command, stderr=errors, check=False,
                                                  timeout=30).returncode
            report["stderr"] = (workdir / "stderr").read_text(errors="replace")
        report["answer"] = _settle(fd)
    except Exception as error:  # noqa: BLE001  (reported to the test instead)
        report["error"] = f"{type(error).__name__}: {error}"
    finally:
        if fd is not None:
            termios.tcdrain(fd)
            if saved is not None:
                termios.tcsetattr(fd, termios.TCSAFLUSH, saved)
    partial = workdir / "done.part"
    partial.write_text(json.dumps(report))
    partial.rename(workdir / "done.json")
    # Keep the window open for the screenshots: terminals without -hold
    # close when this exits. close() stops the terminal, or removes workdir.
    deadline = time.monotonic() + 120
    while workdir.exists() and time.monotonic() < deadline:
        time.sleep(0.1)


def _write(fd, data):
    while data:
        data = data[os.write(fd, data):]


def _settle(fd):
    """The cursor position report, once the terminal has read all before it."""
    saved = termios.tcgetattr(fd)
    tty.setraw(fd)  # no echo: the answer must not be drawn
    try:
        os.write(fd, b"\x1b[6n")
        answer = b""
        while not answer.endswith(b"R"):
            if not select.select([fd], [], [], 15)[0]:
                raise TimeoutError(f"no cursor position report, got {answer!r}")
            answer += os.read(fd, 32)
    finally:
        termios.tcsetattr(fd, termios.TCSAFLUSH, saved)
    return answer.decode(errors="replace")


def save_readme_screenshot(path):
    """The viewer's default picture as `python -m tervalo` draws it: run in
    the terminal, so it asks and fits as it does for a user."""
    viewer = [sys.executable, "-m", "tervalo"]
    with Display() as display, Terminal(display, caption="$ python -m tervalo",
                                        geometry="64x23", command=viewer) as term:
        width, height, pixels = term.screenshot()
    magick("-size", f"{width}x{height}", "-depth", "8", "rgb:-", "-strip", f"png:{path}",
           data=pixels)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--inside"]:
        _inside(*sys.argv[2:4])
    elif len(sys.argv) == 2:
        if missing_tools():
            sys.exit("not installed: " + ", ".join(missing_tools()))
        save_readme_screenshot(sys.argv[1])
    else:
        sys.exit(__doc__)
