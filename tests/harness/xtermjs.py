"""xterm.js with its image add-on (Debian's node-xterm) in headless
Chromium, attached to a pseudo-terminal running the program under test, as
VS Code's integrated terminal and web terminals run it.

The bridge is this harness's own: a web server on the loopback that hands
the page xterm.js and, over a websocket, relays what the program writes to
the terminal and what the terminal answers. Chromium is driven through its
DevTools protocol, and the screenshots are the browser's own."""

import base64
import contextlib
import fcntl
import io
import json
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import tempfile
import termios
import threading
import time
import urllib.request
from dataclasses import dataclass
from importlib.util import find_spec
from pathlib import Path

import terminal_session

NODE = Path("/usr/share/nodejs")
# What the page loads, by the path it asks for.
FILES = {
    "/xterm.js": NODE / "xterm" / "lib" / "xterm.js",
    "/xterm.css": NODE / "xterm" / "css" / "xterm.css",
    "/image.js": NODE / "xterm-addon-image" / "lib" / "xterm-addon-image.js",
}
TYPES = {".js": "text/javascript", ".css": "text/css", ".html": "text/html; charset=utf-8"}
# The terminal's background: garish, in none of the tests' pictures, so that
# what is not this was drawn.
BACKGROUND = (0, 255, 255)

# The terminal fills the page's top left corner, the cursor hidden, so that
# only pictures change the screen.
PAGE = """<!doctype html>
<html><head><meta charset="utf-8">
<link rel="stylesheet" href="/xterm.css">
<style>html, body { margin: 0; padding: 0; background: #808080; }</style>
<script src="/xterm.js"></script><script src="/image.js"></script>
</head><body><div id="terminal"></div><script>
const config = JSON.parse(decodeURIComponent(location.hash.slice(1)));
const term = new Terminal(config.terminal);
if (config.addon) term.loadAddon(new ImageAddon.ImageAddon(config.addon));
term.open(document.getElementById("terminal"));
term.write("\\x1b[?25l");
window.term = term;
window.received = 0;
if (config.socket) {
  const socket = new WebSocket(config.socket);
  socket.binaryType = "arraybuffer";
  socket.onmessage = event => {
    window.received += event.data.byteLength;
    term.write(new Uint8Array(event.data));
  };
  const send = data => socket.send(new TextEncoder().encode(data));
  term.onData(send);
  term.onBinary(data => socket.send(Uint8Array.from(data, c => c.charCodeAt(0))));
  socket.onopen = () => { window.ready = true; };
} else {
  window.ready = true;
}
</script></body></html>
"""


def missing():
    """Why xterm.js with its image add-on cannot run here (one line), or None."""
    needs = [] if shutil.which("chromium") else ["chromium"]
    if not FILES["/image.js"].exists():
        try:
            version = json.loads((NODE / "xterm" / "package.json").read_text())["version"]
            needs.append(f"xterm.js's image add-on (node-xterm {version} has none; "
                         "Debian 13's 5.3 has it)")
        except OSError:
            needs.append("node-xterm 5 with its image add-on (Debian 13's: "
                         "apt-get install chromium node-xterm)")
    if find_spec("websockets") is None:
        needs.append("the websockets package")
    return f"needs {', '.join(needs)}" if needs else None


def drawn(screen):
    """(top, left, height, width) of all that is not background, or None."""
    import numpy as np

    rows, cols = np.nonzero(np.any(screen != BACKGROUND, axis=2))
    if not rows.size:
        return None
    top, left = int(rows.min()), int(cols.min())
    return top, left, int(rows.max()) + 1 - top, int(cols.max()) + 1 - left


@dataclass
class Shown:
    """What a program left in xterm.js: the screen once all it wrote is
    drawn, the cell size in pixels (width, height), the cursor's row, and
    the program's exit status, standard error and output."""

    screen: object
    cell: tuple
    row: int
    status: int
    stderr: str
    output: bytes

    @property
    def picture(self):
        return drawn(self.screen)

    @property
    def streams(self):
        """The sixel streams the program wrote."""
        return re.findall(rb"\x1bP[^\x1b]*q.*?\x1b\\", self.output, re.DOTALL)


class Bridge:
    """Serves the page, and when it connects runs `argv` on a pseudo-terminal
    of `rows` x `cols` (no pixel size, as a web terminal's pty has none),
    relaying both ways. `output` keeps all the program wrote; once `done` is
    set, `status` and `stderr` (kept out of the terminal) are its own."""

    def __init__(self, argv=None, rows=24, cols=80, env=None):
        from websockets.sync.server import serve

        self.argv, self.size, self.env = argv, (rows, cols), env or {}
        self.output = bytearray()
        self.done = threading.Event()
        self.status, self.stderr, self.child = None, "", None
        self.server = serve(self._session, "127.0.0.1", 0, process_request=self._files,
                            max_size=None, compression=None)
        self.port = self.server.socket.getsockname()[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def url(self, addon=None, **options):
        """The page's address: xterm.js with `options` (and the bridge's size),
        its image add-on with the options `addon` (None: its defaults; False:
        xterm.js without it)."""
        config = {"terminal": {"rows": self.size[0], "cols": self.size[1], **options},
                  "addon": {} if addon is None else addon}
        if self.argv is not None:
            config["socket"] = f"ws://127.0.0.1:{self.port}/pty"
        return f"http://127.0.0.1:{self.port}/#{json.dumps(config)}"

    def _files(self, connection, request):
        from websockets.datastructures import Headers
        from websockets.http11 import Response

        if request.path == "/pty":
            return None  # the websocket
        path = request.path.split("#")[0]
        body = PAGE.encode() if path == "/" else FILES[path].read_bytes() if path in FILES else None
        if body is None:
            return connection.respond(404, "not here\n")
        kind = TYPES[Path(path).suffix or ".html"]
        return Response(200, "OK", Headers({"Content-Type": kind,
                                            "Content-Length": str(len(body))}), body)

    def _session(self, connection):
        master, slave = os.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("4H", *self.size, 0, 0))
        env = {k: v for k, v in os.environ.items() if k not in ("TMUX", "STY")}
        env.update(TERM="xterm-256color", **self.env)
        errors = tempfile.TemporaryFile()  # noqa: SIM115  (read and closed by _relay)
        self.child = child = subprocess.Popen(
            self.argv, stdin=slave, stdout=slave, stderr=errors, env=env,
            start_new_session=True, preexec_fn=_controlling)
        os.close(slave)
        threading.Thread(target=self._relay, args=(master, child, errors, connection),
                         daemon=True).start()
        try:
            # Until the page goes: what it sends after the program ended
            # waits unread, as a terminal's input would.
            for message in connection:
                os.write(master, message if isinstance(message, bytes) else message.encode())
        finally:
            os.close(master)

    def _relay(self, master, child, errors, connection):
        """The program's output to the page, until it has exited and its
        terminal has nothing more to read."""
        try:
            while True:
                if select.select([master], [], [], 0.05)[0]:
                    try:
                        chunk = os.read(master, 1 << 16)
                    except OSError:  # every end of the terminal closed
                        break
                    self.output += chunk
                    connection.send(chunk)
                elif child.poll() is not None:
                    break
        finally:
            self.status = child.wait()
            errors.seek(0)
            self.stderr = errors.read().decode(errors="replace")
            errors.close()
            self.done.set()

    def close(self):
        if self.child is not None and self.child.poll() is None:
            os.killpg(self.child.pid, signal.SIGKILL)  # a test that failed midway
        self.server.shutdown()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def _controlling():
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    fcntl.ioctl(1, termios.TIOCSCTTY, 0)  # the pty as the controlling terminal


class Chromium:
    """Headless Chromium with one page, driven through its DevTools protocol."""

    def __init__(self, width=1280, height=800, timeout=30):
        from websockets.sync.client import connect

        self.profile = tempfile.mkdtemp(prefix="chromium-")
        self.log = tempfile.TemporaryFile()  # noqa: SIM115  (closed by close())
        # As root (CI, the chroots) Chromium starts only without its sandbox.
        sandbox = ["--no-sandbox"] if os.geteuid() == 0 else []
        self.process = subprocess.Popen(
            ["chromium", "--headless", *sandbox, "--remote-debugging-port=0",
             f"--user-data-dir={self.profile}", f"--window-size={width},{height}",
             "--force-device-scale-factor=1", "--hide-scrollbars", "--no-first-run",
             "--disable-extensions", "--disable-background-networking", "about:blank"],
            stdout=self.log, stderr=self.log, start_new_session=True)
        self.next_id = 0
        self.closing = contextlib.ExitStack()
        try:
            port = self._port(timeout)
            with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=10) as reply:
                page = next(t for t in json.load(reply) if t["type"] == "page")
            self.socket = self.closing.enter_context(connect(
                page["webSocketDebuggerUrl"], max_size=None, compression=None,
                open_timeout=timeout))
            self.call("Emulation.setDeviceMetricsOverride", width=width, height=height,
                      deviceScaleFactor=1, mobile=False)
        except BaseException:
            self.close()
            raise

    def _port(self, timeout):
        active = Path(self.profile) / "DevToolsActivePort"
        deadline = time.monotonic() + timeout
        while not (active.exists() and active.read_text().strip()):
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"Chromium did not start: {self._tail()}")
            time.sleep(0.05)
        return int(active.read_text().split()[0])

    def _tail(self):
        self.log.seek(0)
        return self.log.read().decode(errors="replace").strip()[-800:]

    def call(self, method, **params):
        """The result of one DevTools command; events on the way are dropped."""
        self.next_id += 1
        self.socket.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            message = json.loads(self.socket.recv(timeout=60))
            if message.get("id") == self.next_id:
                if "error" in message:
                    raise RuntimeError(f"{method}: {message['error']}")
                return message["result"]

    def evaluate(self, expression):
        """The value of a JavaScript expression in the page (a promise's, awaited)."""
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True,
                           awaitPromise=True)
        if "exceptionDetails" in result:
            raise RuntimeError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def open(self, url, timeout=20):
        self.call("Page.navigate", url=url)
        deadline = time.monotonic() + timeout
        while not self.evaluate("window.ready === true"):
            if time.monotonic() > deadline:
                raise RuntimeError(f"the page did not get ready in {timeout} s: {self._tail()}")
            time.sleep(0.05)

    def screen(self):
        """The terminal's screen as the browser draws it: a height x width x 3
        uint8 array, and its cell size in pixels (width, height)."""
        import numpy as np
        from PIL import Image

        box = self.evaluate("""(() => {
            const r = document.querySelector(".xterm-screen").getBoundingClientRect();
            return [r.x, r.y, r.width, r.height, term.cols, term.rows]; })()""")
        x, y, width, height, cols, rows = box
        png = self.call("Page.captureScreenshot", format="png", clip={
            "x": x, "y": y, "width": width, "height": height, "scale": 1})["data"]
        image = Image.open(io.BytesIO(base64.b64decode(png))).convert("RGB")
        return np.asarray(image), (width / cols, height / rows)

    def run(self, argv, addon=None, env=None, watch=None, timeout=30, **options):
        """`argv` run in xterm.js (`addon`, `options`: as Bridge.url takes
        them) until it ends; `watch`, if given, is called with the bridge
        once the page is open."""
        with Bridge(argv, env=env) as bridge:
            self.open(bridge.url(addon, theme={"background": "#" + bytes(BACKGROUND).hex()},
                                 **options))
            if watch is not None:
                watch(bridge)
            screen, cell = self.settled(bridge, timeout)
            row = self.evaluate("term.buffer.active.cursorY")
        return Shown(screen, cell, row, bridge.status, bridge.stderr, bytes(bridge.output))

    def answers(self, queries, addon=None):
        """What xterm.js answers to each of `queries`, and its screen."""
        with Bridge() as bridge:
            self.open(bridge.url(addon))
            answers = [self.evaluate(
                "new Promise(done => { let got = ''; const d = term.onData(s => got += s); "
                f"term.write({json.dumps(query)}, () => {{ d.dispose(); done(got); }}); }})")
                for query in queries]
            return answers, self.screen()

    def settled(self, bridge, timeout=20):
        """The screen once the program has exited, the page has drawn all it
        wrote, and two screenshots in a row agree."""
        if not bridge.done.wait(timeout):
            raise RuntimeError(f"the program did not end in {timeout} s")
        deadline = time.monotonic() + timeout
        while self.evaluate("window.received") < len(bridge.output):
            if time.monotonic() > deadline:
                raise RuntimeError("the page did not receive all the program wrote")
            time.sleep(0.05)
        self.evaluate("new Promise(done => term.write('', done))")
        previous = None
        while True:
            time.sleep(0.1)
            current = self.screen()
            if previous is not None and (current[0] == previous[0]).all():
                return current
            if time.monotonic() > deadline:
                raise RuntimeError("the screen kept changing")
            previous = current

    def close(self):
        self.closing.close()
        terminal_session.stop(self.process)
        self.log.close()
        shutil.rmtree(self.profile, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
