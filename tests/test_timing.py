"""When the frames of a moving picture go on screen, played on a virtual
clock (seconds of playback in milliseconds of test) through an encoder
whose frame times are chosen: durations, the first frame's time, the end
of play, skips, loops, and frames that fail."""

import pytest
from PIL import Image
from virtual_clock import Recorder, VirtualClock, VirtualPool

from tervalo import viewer
from tervalo.motion import Again, Frame, play_frames

pytestmark = pytest.mark.tervalo


def frame(k, seconds):
    def render(box, enlarge):
        return bytes([k]) * 6, 2, 1

    return Frame(render, seconds)


def which(stream):
    return 0 if stream.startswith(b"\x1bP") else stream[0]


def played(frames, *, cost=0.01, workers=2, plays=1, count=None, target=None):
    """[(time drawn, frame)], the time play returned and what it returned."""
    clock = target.clock if target is not None else VirtualClock()
    target = target or Recorder(clock)
    playback = play_frames(target, frames, count=count, plays=plays, box=None, enlarge=False,
                           background=(255, 255, 255), say=print, timed=True, clock=clock,
                           pool=VirtualPool(clock, workers, cost if callable(cost)
                                            else lambda k: cost))
    return [(t, which(s)) for t, s in target.shown], round(clock.now(), 6), playback


def test_every_frame_is_up_for_its_own_duration_and_play_returns_when_the_last_is_done():
    shown, end, playback = played([frame(k, d) for k, d in enumerate([2, .5, .5, .5])])
    assert shown == [(0, 0), (2, 1), (2.5, 2), (3, 3)] and end == 3.5
    assert (playback.drawn, playback.skipped) == (4, 0)


def test_each_pass_keeps_the_times_and_the_first_frame_waits_for_the_encoder_to_start():
    # The pool's first frame takes a second (its workers start): the first
    # frame stays up meanwhile, and the times of the rest count from there.
    shown, end, _ = played(Again(lambda: iter([frame(1, .2), frame(2, .3)])), plays=2,
                           cost=lambda k: 1.0 if k == 0 else 0.01)
    assert shown == [(0, 0), (1, 2), (1.3, 0), (1.5, 2)] and end == 1.8


def test_frames_that_cannot_keep_up_are_skipped_in_order_never_early():
    durations = [0.05] * 20
    shown, end, playback = played([frame(k, d) for k, d in enumerate(durations)],
                                  cost=0.3, count=20)
    order = [k for _, k in shown]
    assert order == sorted(set(order)) and order[0] == 0 and order[-1] == 19
    assert playback.skipped == 20 - len(order) > 0
    start = shown[1][0] - 0.05 * order[1]  # the clock's start, once the second was drawn
    assert all(t >= start + 0.05 * k - 1e-9 for t, k in shown[1:])
    assert end >= start + sum(durations)


def test_frames_before_a_failing_one_are_all_drawn_then_its_error_raised():
    def frames():
        yield frame(0, .1)
        yield frame(1, .1)
        yield frame(2, .1)
        raise OSError("image file is truncated")

    target = Recorder(VirtualClock())
    with pytest.raises(OSError, match="truncated"):
        played(frames(), target=target)
    assert [which(stream) for _, stream in target.shown] == [0, 1, 2]


def test_a_files_durations_and_its_apng_default_image(tmp_path):
    # The default image (first) is no frame of the animation.
    pictures = [Image.new("RGB", (4, 4), (k, k, k)) for k in (9, 1, 2, 3)]
    path = tmp_path / "a.png"
    pictures[0].save(path, save_all=True, append_images=pictures[1:], default_image=True,
                     duration=[2000, 500, 500])
    with viewer.opened_source(str(path), (255, 255, 255), print) as animation:
        assert animation.length == 3
        shown, end, _ = played(Again(animation.frames))
    assert [t for t, _ in shown] == [0, 2, 2.5] and end == 3.0
