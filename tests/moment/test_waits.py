"""The polling waits on the real clock, polling only native services, as on Windows where
FindWindow and UI Automation end in C: a signal is handled during the wait, and other Python
threads run while it lasts."""
import functools
import itertools
import signal
import threading
import time
import types

import pytest

import qybridge4.ui.moment as moment

N = types.SimpleNamespace


class Interrupted(BaseException):
    """What the test's signal handler raises; like KeyboardInterrupt, no `except Exception` takes it."""


class Broken(Exception):
    """What a service raises once the other thread has broken it."""


def broken(*args, **kwargs):
    raise Broken


# Each wait polls native services only, with time-outs of at least 3 s; `enter()` runs it and
# `break_service()` makes its next poll raise Broken.

def window_wait(monkeypatch, wnd):
    monkeypatch.setattr(moment, "FindWindow", "".format)   # never finds the window
    return N(enter=lambda: moment.MomentsWnd("root", timeout=5),
             break_service=lambda: setattr(moment, "FindWindow", broken))


def file_dialog_wait(monkeypatch, wnd):
    monkeypatch.setattr(moment, "FindWindow", "".format)
    # A parent without a control: a wait that ends by its time-out fails right after it.
    return N(enter=lambda: moment.WinOpenUI("root", N(), wait=5),
             break_service=lambda: setattr(moment, "FindWindow", broken))


def pop_up_wait(monkeypatch, wnd):
    cell = N(Name="post", runtimeid=(42,), Click=dict, Exists=bool,
             BoundingRectangle=N(height=functools.partial(int, 40)))
    window = N(root="root", _cmt_ybias=-10, control=N(WindowControl=functools.partial(N, Exists=bool)))
    post = moment.Moments(cell, window)
    post._roll_into_view = tuple
    # The pop-up never opens; the wait gives up after 5 s.
    return N(enter=post.Like, break_service=lambda: setattr(post, "like_panel", N(Exists=broken)))


def menu_wait(monkeypatch, wnd):
    wnd.NavigationBox = N(GetChildren=functools.partial(list, [N(Name="发表", RightClick=tuple)]))
    wnd.control = N()   # no publish panel to find: a wait that runs out fails right after it
    # A menu that never shows: made natively, with the entry chosen once the 3 s have run out.
    menu = type("Menu", (Exception,), {"control": N(Exists=bool), "select": len})
    monkeypatch.setattr(moment, "Menu", menu)
    return N(enter=lambda: wnd.Publish("text"), break_service=lambda: setattr(moment, "Menu", broken))


def feed_wait(monkeypatch, wnd):
    # A list that keeps moving and never brings the anchor's last post to the top; its pauses are
    # time.sleep(0), which does not look at signals.
    a, b, c = N(id="a"), N(id="b"), N(id="c")
    wnd._get_current_moments = functools.partial(next, itertools.cycle([[a, b, c], [b, a, c]]))
    wnd.control = N(WheelDown=dict)
    return N(enter=lambda: wnd.GetMoments(next_page=True, interval=0, force_wait=0, timeout=5),
             break_service=None)


BUSY_WAITS = [window_wait, file_dialog_wait, pop_up_wait, menu_wait]


@pytest.fixture
def real_time(monkeypatch, wnd):
    """The Moments window bound on the fake clock, then the real `time` in place."""
    monkeypatch.setattr(moment, "time", time)
    return wnd


@pytest.fixture
def interrupt():
    """interrupt(after): a real signal `after` seconds from now, whose handler raises Interrupted.
    Returns the times at which it was sent and at which its handler ran."""
    times = N(sent=None, ran=None)

    def handler(signum, frame):
        times.ran = time.monotonic()
        raise Interrupted

    if hasattr(signal, "setitimer"):
        signum = signal.SIGALRM

        def arm(after):
            times.sent = time.monotonic() + after
            signal.setitimer(signal.ITIMER_REAL, after)
            return times

        def disarm():
            signal.setitimer(signal.ITIMER_REAL, 0)
    else:   # Windows: raised from a timer thread
        signum = signal.SIGINT
        timers = []

        def send():
            times.sent = time.monotonic()
            signal.raise_signal(signum)

        def arm(after):
            timers.append(threading.Timer(after, send))
            timers[-1].start()
            return times

        def disarm():
            for timer in timers:
                timer.cancel()
                timer.join()
    previous = signal.signal(signum, handler)
    try:
        yield arm
    finally:
        disarm()
        signal.signal(signum, previous)


@pytest.mark.parametrize("wait", BUSY_WAITS + [feed_wait])
def test_a_signal_is_handled_during_the_wait(monkeypatch, real_time, interrupt, wait):
    entered = wait(monkeypatch, real_time)
    times = interrupt(0.2)
    with pytest.raises(Interrupted):
        entered.enter()
    # Handled within the round, not when the wait has run out (3 s and more).
    assert times.ran - times.sent < 1.5


@pytest.mark.parametrize("wait", BUSY_WAITS)
def test_other_threads_run_during_the_wait(monkeypatch, real_time, wait):
    # The feed's wait is left out: its rounds pause on time.sleep, which lets threads run.
    entered = wait(monkeypatch, real_time)
    rounds = []

    def other():
        while len(rounds) < 20:
            time.sleep(0.005)
            rounds.append(time.monotonic())
        entered.break_service()

    thread = threading.Thread(target=other)
    thread.start()
    try:
        # Only the other thread ends the wait before its time-out.
        with pytest.raises(Broken):
            entered.enter()
    finally:
        thread.join()
    assert len(rounds) == 20
