"""Moving pictures on a pseudo-terminal that plays the terminal: the viewer's
animations, tervalo.play and tervalo.live, matplotlib's animations and
plt.pause(). Which frame each picture is comes from its stream (the frames
are flat colours); that it is drawn in place, from the cursor moves around
it. Nothing here depends on timing but the slow encoder's skips."""

import io
import re
import signal
import sys
import time
import uuid
from pathlib import Path

import numpy as np
import pytest
from conftest import CHILDREN
from fake_terminal import DA1, SYNCHRONIZED, VT340, XTSMGRAPHICS, on_pty
from PIL import Image

import tervalo

pytestmark = pytest.mark.tervalo

sys.path.insert(0, str(CHILDREN))
from moving import flat  # noqa: E402

MOVING = [sys.executable, str(CHILDREN / "moving.py")]
VIEWER = [sys.executable, "-m", "tervalo"]
PLACED = re.compile(rb"((?:\r\n)*)\x1b\[(\d+)A\x1b7(\x1bP.*?\x1b\\)\x1b8\x1b\[(\d+)B\r", re.S)
FRAMES = {tervalo.encode(flat(k)): k for k in range(12)}


def drawn(run, rows=3):
    """The pictures drawn, in order, after checking that the first made its
    rows below the cursor, every later one went over it, the cursor was put
    below it each time, and nothing else was written."""
    assert run.mode_kept and run.leftover == b""
    found = PLACED.findall(run.out)
    assert [(len(made) // 2, int(up), int(down)) for made, up, _, down in found] == [
        (rows, rows, rows)] + [(0, rows, rows)] * (len(found) - 1)
    rest = PLACED.sub(b"", run.out)
    assert rest in (XTSMGRAPHICS + SYNCHRONIZED + DA1, b""), rest
    return [stream for *_, stream, _ in found]


def animation(path, loop=None, duration=250, count=4):
    frames = [Image.fromarray(flat(k)) for k in range(count)]
    options = {"lossless": True} if path.suffix == ".webp" else {}
    frames[0].save(path, save_all=True, append_images=frames[1:], duration=duration,
                   **options, **({} if loop is None else {"loop": loop}))
    return path


@pytest.mark.parametrize("name, loop, args, frames", [
    ("a.gif", None, [], [0, 1, 2, 3]),
    ("a.gif", 1, [], [0, 1, 2, 3] * 2),          # a GIF's loop count: repeats after the first
    ("a.png", 2, [], [0, 1, 2, 3] * 2),          # APNG's and WebP's: plays
    ("a.webp", 2, [], [0, 1, 2, 3] * 2),
    ("a.gif", 0, ["--loop", "2"], [0, 1, 2, 3] * 2),
    ("a.gif", 0, ["--frame", "2"], [2]),
])
def test_the_viewer_plays_animations_in_place(tmp_path, name, loop, args, frames):
    path = animation(tmp_path / name, loop)
    run = on_pty([*VIEWER, str(path), *args], answers={DA1: VT340})
    assert run.status == 0 and run.errors == []
    assert [FRAMES[stream] for stream in drawn(run)] == frames


def test_ctrl_c_stops_with_the_last_frame_whole_and_the_cursor_below(tmp_path):
    path = animation(tmp_path / "forever.gif", loop=0, duration=100)
    # Sent as the second frame starts to go out.
    run = on_pty([*VIEWER, str(path)], answers={DA1: VT340},
                 interrupt_on=b"\x1b8\x1b[3B\r\x1b[3A\x1b7")
    assert run.status == 130 and run.errors == ["tervalo: interrupted"]
    assert len(drawn(run)) >= 2 and run.out.endswith(b"\x1b\\\x1b8\x1b[3B\r")


def test_sigterm_ends_the_viewer_cleanly_and_its_workers_with_it(tmp_path):
    mark = f"tervalo-test-{uuid.uuid4().hex}"
    path = animation(tmp_path / "forever.gif", loop=0, duration=100)
    run = on_pty([*VIEWER, str(path)], answers={DA1: VT340}, env={"TERVALO_TEST_MARK": mark},
                 interrupt_on=b"\x1b8\x1b[3B\r\x1b[3A\x1b7", interrupt_with=signal.SIGTERM)
    assert run.status == 143 and run.errors == [] and run.mode_kept
    assert run.out.endswith(b"\x1b\\\x1b8\x1b[3B\r")  # the last frame whole, the cursor below
    deadline = time.monotonic() + 1
    while (left := marked(mark)) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert left == []


def marked(mark):
    """The processes alive with `mark` in their environment."""
    found = []
    for proc in Path("/proc").glob("[0-9]*"):
        try:
            alive = (proc / "stat").read_text().rsplit(")", 1)[1].split()[0] != "Z"
            if alive and mark.encode() in (proc / "environ").read_bytes():
                found.append(proc.name)
        except OSError:
            pass
    return found


@pytest.mark.parametrize("what, args, total", [
    ("slow-viewer", ["{tmp}/fast.gif"], 12),
    ("slow-play", [], 12),
])
def test_frames_are_skipped_when_the_encoder_is_slow(tmp_path, what, args, total):
    path = animation(tmp_path / "fast.gif", duration=20, count=12)
    run = on_pty([*MOVING, what, *(a.format(tmp=tmp_path) for a in args)],
                 answers={DA1: VT340})
    order = [FRAMES[stream] for stream in drawn(run)]
    # Frames keep their order and their times: the first and last drawn, some
    # of those between not (not even encoded, if they could not be in time).
    assert order == sorted(set(order)) and order[0] == 0 and order[-1] == total - 1
    assert run.status == 0 and len(order) < total
    skipped = total - len(order)
    if what == "slow-viewer":
        assert run.errors == [f"tervalo: {path}: {skipped} of {total} frames skipped: encoding "
                              "did not keep up with their durations"]
    else:
        assert run.errors == [f"Playback(drawn={len(order)}, skipped={skipped})"]


def test_play_a_generator_twice_from_the_streams_kept():
    run = on_pty([*MOVING, "play-twice"], answers={DA1: VT340})
    assert run.status == 0 and run.errors == ["Playback(drawn=8, skipped=0)"]
    assert [FRAMES[stream] for stream in drawn(run)] == [0, 1, 2, 3] * 2


def test_live_view_returns_at_once_and_draws_the_newest():
    # Every encode is held until all five were shown: show() never waited,
    # and those shown meanwhile gave way to the newest (all but the one the
    # view's thread had taken by then, if any).
    run = on_pty([*MOVING, "live"], answers={DA1: VT340})
    order = [FRAMES[stream] for stream in drawn(run)]
    assert run.status == 0 and run.errors == [f"{len(order)} {5 - len(order)}"]
    assert order[-1] == 4 and len(order) <= 2


@pytest.mark.parametrize("what, pictures, errors", [
    # As the first draw left it, then a tick for each frame.
    ("animation", 6, []),
    # The frames before the failing one, then its error.
    ("failing-animation", 4, ["raised: no data for frame 3"]),
    ("pause", None, []),    # the newest of each pause's figure
])
def test_matplotlib_moves_in_place(what, pictures, errors):
    run = on_pty([*MOVING, what], answers={DA1: VT340},
                 env={"MPLBACKEND": "module://tervalo.matplotlib"})
    assert run.status == 0 and run.errors == [*errors, "open: []"]
    streams = drawn(run, rows=23)  # 400 x 300 fitted to 80 x 24 cells of 6 x 13
    if pictures:
        # The first tick draws the first frame again, as a window's would.
        assert len(streams) == pictures and len(set(streams)) == pictures - 1
    else:
        assert 2 <= len(streams) <= 3 and len(set(streams)) == len(streams)


def test_text_printed_between_pauses_stays_and_the_next_picture_starts_below_it():
    run = on_pty([*MOVING, "pause-print"], answers={DA1: VT340},
                 env={"MPLBACKEND": "module://tervalo.matplotlib"})
    assert run.status == 0 and run.errors == ["open: []"]
    # Each picture in rows of its own below the line printed before it:
    # never over the text, nor over rows the text moved.
    # (The rows a picture makes take the line end printed before them.)
    shown = PLACED.findall(run.out)
    assert [(len(made) // 2, int(up)) for made, up, _, _ in shown] == [(23, 23)] + [(24, 23)] * 2
    text = PLACED.sub(b"<picture>", run.out).split(b"\x1b[c", 1)[1]
    assert text == b"<picture>epoch 0<picture>epoch 1<picture>epoch 2\r\n"


@pytest.mark.parametrize("what, pictures, errors", [
    ("pause-echo", 1, ["echo: True"]),    # keys typed between pauses are echoed
    ("ion-draw", 2, []),                  # drawn in place, as a window would show it
])
def test_the_terminal_between_pictures(what, pictures, errors):
    run = on_pty([*MOVING, what], answers={DA1: VT340},
                 env={"MPLBACKEND": "module://tervalo.matplotlib"})
    assert run.status == 0 and run.errors == [*errors, "open: []"]
    assert len(drawn(run, rows=23)) == pictures


def test_play_arguments_it_cannot_take():
    frame = np.zeros((2, 2, 3), np.uint8)
    for kwargs, error, message in [
            ({"fps": 0}, ValueError, "fps must be above 0"),
            ({"fps": "10"}, ValueError, "fps must be a number above 0, got '10' (str)"),
            ({"loop": -1}, ValueError, "loop must be"),
            ({"fps": 5, "durations": [1]}, ValueError, "not both"),
            ({"durations": [1, 2]}, ValueError, "2 durations for 1 frames"),
            ({"pool": "x"}, TypeError, "pool must be a tervalo.EncoderPool or None, got str")]:
        with pytest.raises(error, match=re.escape(message)):
            tervalo.play([frame], **kwargs)


def test_play_takes_numpy_numbers_and_text_files():
    out = io.StringIO()
    playback = tervalo.play([flat(1), flat(2)], fps=np.float32(50), loop=np.int64(1), file=out)
    assert playback == tervalo.Playback(2, 0)
    assert out.getvalue().encode("latin-1") == b"".join(
        tervalo.encode(flat(k)) + b"\n" for k in (1, 2))
