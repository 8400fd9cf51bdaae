"""MomentsWnd.GetMoments on a 12-post feed with 4 posts visible: reads, page turns, the end of
the feed, the roll correction and the optional time limit."""
import math

import pytest

import qyb_wechat
from qybridge4.ui.moment import MomentsWnd


def names(posts):
    return [p.content for p in posts]


def test_without_next_page_two_reads_and_no_wheel(desk, scene, wnd, since):
    mark = len(desk.log)
    posts = wnd.GetMoments()
    assert names(posts) == [f"post {n}" for n in range(1, 5)]
    reads = [e for e in since(mark).of("GetChildren") if e.target is scene.list]
    assert len(reads) == 2 and since(mark).of("WheelDown") == [] and desk.clock.sleeps == []
    assert wnd._ids == [scene.feed.cells[n].runtimeid for n in range(4)]


def test_a_page_turn_returns_the_next_page(desk, scene, wnd, since):
    mark = len(desk.log)
    posts = wnd.GetMoments(next_page=True, speed1=1, speed2=2)
    assert names(posts) == [f"post {n}" for n in range(6, 10)]
    # First phase: three notches bring post 4 to the top; second phase: two notches move it off.
    assert [e.kwargs for e in since(mark).of("WheelDown")] == [{"wheelTimes": 1}] * 3 + [{"wheelTimes": 2}]
    assert desk.clock.sleeps == [0.3, 0.3, 1]
    assert wnd._ids == [scene.feed.cells[n].runtimeid for n in range(4)]


def test_the_end_of_the_feed_is_confirmed_after_a_pause(desk, scene, wnd, since):
    scene.feed.scroll_to(800)
    mark = len(desk.log)
    posts = wnd.GetMoments(True, 2, 1, 0.5, 3)
    assert names(posts) == [f"post {n}" for n in range(9, 13)]
    # Two unmoved cycles (the second one counting twice), the confirmation pause, then the return.
    assert [e.kwargs for e in since(mark).of("WheelDown")] == [{"wheelTimes": 2}] * 2
    assert desk.clock.sleeps == [0.5, 3]
    reads = [e for e in since(mark).of("GetChildren") if e.target is scene.list]
    assert len(reads) == 4  # anchor, two scroll cycles, the confirmation


@pytest.mark.parametrize("offset, notch, posts, sleeps, wheels", [
    # The list moves to post 4 at the top during the pause: the first phase ends on its
    # done-test, not at the end of the feed; the second phase and the final read follow.
    (300, 100, range(5, 9), [0.3, 2, 2], 3),
    # The same, but the list no longer moves: the second phase waits for the kept post 4 to
    # leave the top, and finds the end of the feed instead.
    (300, 0, range(4, 8), [0.3, 2, 0.3, 2], 4),
    # It moves by one post only: that read is the new base and the count starts again, so two
    # more still cycles pass before the next confirmation finds the end of the feed.
    (100, 0, range(2, 6), [0.3, 2, 0.3, 0.3, 2], 4),
])
def test_a_list_that_moves_during_the_confirmation_pause(desk, scene, wnd, since, offset, notch, posts, sleeps,
                                                       wheels):
    scene.feed.notch = 0  # the wheel does not move the list

    def move(event):
        if event.args == (2,) and desk.clock.sleeps.count(2) == 1:
            scene.feed.scroll_to(offset)
            scene.feed.notch = notch
    desk.on("sleep", None, move)
    mark = len(desk.log)
    assert names(wnd.GetMoments(next_page=True, force_wait=2)) == [f"post {n}" for n in posts]
    assert desk.clock.sleeps == sleeps and len(since(mark).of("WheelDown")) == wheels


def test_a_read_that_comes_back_empty_is_confirmed_at_once(desk, scene, wnd):
    # The list loses every cell on each scroll: no still cycles are counted before the pause.
    desk.on("WheelDown", None, lambda event: [cell.detach() for cell in list(scene.list.children)])
    assert wnd.GetMoments(next_page=True, force_wait=2) == []
    assert desk.clock.sleeps == [2] and len(desk.log.of("WheelDown")) == 1


def test_next_page_on_an_empty_list_does_not_scroll(desk):
    qyb_wechat.MomentsScene(desk, feed=0)
    wnd = MomentsWnd("root")
    assert wnd.GetMoments(next_page=True) == [] and wnd._ids == []
    assert desk.log.of("WheelDown") == [] and desk.clock.sleeps == []


@pytest.mark.parametrize("record, anchor", [
    ({"A": True, "B": False, "C": False}, ["A", "C"]),
    ({"A": True, "X": False, "C": False}, ["A", "B", "C"]),  # only the first false key counts
    ({"A": True, "B": True}, ["A", "B", "C"]),
    ({}, ["A", "B", "C"]),
])
def test_roll_correction(desk, record, anchor):
    scene = qyb_wechat.MomentsScene(desk, visible=3)
    wnd = MomentsWnd("root")
    ids = dict(zip("ABC", (cell.runtimeid for cell in scene.feed.cells)), X=("not", "shown"))
    wnd._roll_cache_id = {ids[key]: value for key, value in record.items()}
    wnd.GetMoments()
    assert wnd._ids == [ids[key] for key in anchor]
    assert len(wnd._roll_cache_id) == len(record)  # only read


@pytest.mark.parametrize("timeout", [0, -1, math.inf, -math.inf, math.nan, 0.0])
def test_a_bad_time_limit_is_refused_before_any_ui_access(desk, scene, wnd, timeout, since):
    mark = len(desk.log)
    with pytest.raises(ValueError, match="^timeout must be a finite number greater than zero$"):
        wnd.GetMoments(timeout=timeout)
    assert since(mark) == [] and not hasattr(wnd, "_ids")


def test_a_time_limit_that_is_no_number_is_the_interpreter_type_error(desk, scene, wnd):
    with pytest.raises(TypeError, match="must be real number, not str"):
        wnd.GetMoments(timeout="x")


def test_an_integer_time_limit_is_accepted(desk, scene, wnd):
    assert names(wnd.GetMoments(next_page=True, timeout=5)) == [f"post {n}" for n in range(5, 9)]


def test_a_pause_never_sleeps_past_the_deadline(desk, scene, wnd):
    scene.feed.scroll_to(800)
    with pytest.raises(TimeoutError, match="^timed out while reading moments$"):
        wnd.GetMoments(next_page=True, force_wait=1, timeout=0.5)
    # The interval, then only what was left of the deadline instead of force_wait.
    assert desk.clock.sleeps == [0.3, pytest.approx(0.2)]
    assert len(wnd._ids) == 4 and desk.clock.reads["time"] == 0


def test_the_deadline_is_tested_before_the_first_read(desk, scene, wnd, since):
    desk.clock.step = 1
    mark = len(desk.log)
    with pytest.raises(TimeoutError):
        wnd.GetMoments(timeout=1)
    assert since(mark).of("GetChildren") == [] and not hasattr(wnd, "_ids")
