"""examples/encode_many.py run as a user runs it: each frame's stream in a
file of its own, under the frame's name."""

import importlib
import subprocess
import sys
from pathlib import Path

import pytest
from PIL import Image, ImageSequence

import tervalo

pytestmark = [pytest.mark.tooling, pytest.mark.tervalo]

MANY = Path(__file__).resolve().parents[1] / "examples" / "encode_many.py"


def run_many(*args):
    return subprocess.run([sys.executable, str(MANY), *map(str, args)], capture_output=True,
                          timeout=120, check=False)


@pytest.mark.parametrize("source", ["wheel", "gif", "folder"])
def test_encode_many_writes_each_frame_its_own_stream(tmp_path, source):
    if source == "wheel":  # the default: generated frames, as arrays
        sys.path.insert(0, str(MANY.parent))
        try:
            frames = importlib.import_module("encode_many").wheel_frames()
        finally:
            sys.path.remove(str(MANY.parent))
        expected = {name: tervalo.encode(frame) for name, frame in frames}
        args = []
    else:  # not square, so swapped sides would show
        images = [Image.new("RGB", (24, 12), colour) for colour in
                  [(255, 0, 0), (0, 160, 0), (20, 40, 240), (250, 250, 250), (0, 0, 0)]]
        for k, image in enumerate(images):
            image.paste((255, 255, 0), (k * 4, 0, k * 4 + 4, 12))
        if source == "gif":
            images[0].save(tmp_path / "anim.gif", save_all=True, append_images=images[1:])
            with Image.open(tmp_path / "anim.gif") as gif:
                rgb = [frame.convert("RGB") for frame in ImageSequence.Iterator(gif)]
            names = [f"anim-{k:04d}" for k in range(len(rgb))]
            args = [tmp_path / "anim.gif"]
        else:  # name order, not the order of writing; a text file passed over
            folder = tmp_path / "pictures"
            folder.mkdir()
            names = [f"{chr(ord('e') - k)}.png" for k in range(len(images))]
            for name, image in zip(names, images):
                image.save(folder / name)
            (folder / "notes.txt").write_text("not an image\n")
            rgb, args = images, [folder]
        # encode() of the frames' pixels: the example adds nothing.
        expected = {name: tervalo.encode(image) for name, image in zip(names, rgb)}
    run = run_many(*args, "--processes", 3, "--out-dir", tmp_path / "out")
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith(f"{len(expected)} frames, ".encode())
    written = {path.name.removesuffix(".six"): path.read_bytes()
               for path in (tmp_path / "out").iterdir()}
    assert written == expected


@pytest.mark.parametrize("args, message", [
    (["{tmp}"], "no images in it"),
    (["{tmp}/missing.gif"], "No such file or directory"),
])
def test_encode_many_failures_give_one_line(tmp_path, args, message):
    run = run_many(*(a.format(tmp=tmp_path) for a in args))
    assert run.returncode == 1 and run.stdout == b""
    [line] = run.stderr.decode().splitlines()
    assert line.startswith("encode_many.py: ") and message in line
