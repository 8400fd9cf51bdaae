import math

import pytest

import qyb_desktop
import win32con
import win32gui

from qyb_desktop import Node, Rect
from qybridge4 import uia
from qybridge4.logger import qylog
from qybridge4.ui.component import Menu
from qybridge4.utils import FindWindow, SetClipboardText


@pytest.fixture
def desk():
    return qyb_desktop.install()


def tree(desk):
    """window > [group A > [button x, group B > [button y]], button z]"""
    return desk.window("Main", "AppWnd", [
        Node("GroupControl", Name="A", ClassName="G", children=[
            Node("ButtonControl", Name="x", ClassName="Btn"),
            Node("GroupControl", Name="B", ClassName="G", children=[
                Node("ButtonControl", Name="y", ClassName="Btn")])]),
        Node("ButtonControl", Name="z", ClassName="Other"),
    ])


@pytest.mark.parametrize("criteria, expected", [
    ({}, "x"),
    ({"ClassName": "Other"}, "z"),
    ({"Name": "y"}, "y"),
    ({"Name": "y", "searchDepth": 2}, None),
    ({"Name": "y", "searchDepth": 3}, "y"),
    ({"Name": "z", "searchDepth": 1}, "z"),
    ({"Name": "y", "ClassName": "Other"}, None),
])
def test_search_filters_by_type_criteria_and_depth(desk, criteria, expected):
    wnd = uia.ControlFromHandle(tree(desk).NativeWindowHandle)
    found = wnd.ButtonControl(**criteria)
    assert found.Exists(0) is (expected is not None)
    if expected is not None:
        assert (found.Name, found.ControlTypeName) == (expected, "ButtonControl")


def test_search_takes_the_first_in_pre_order(desk):
    wnd = uia.ControlFromHandle(tree(desk).NativeWindowHandle)
    assert wnd.GroupControl(ClassName="G").Name == "A"
    assert wnd.GroupControl(Name="A").GroupControl().ButtonControl().Name == "y"
    assert wnd.CheckBoxControl().Exists(0) is False


def test_handles_follow_the_scene(desk):
    main = tree(desk)
    wnd = uia.ControlFromHandle(main.NativeWindowHandle)
    late = wnd.WindowControl(Name="popup").ButtonControl(Name="ok")  # nothing matches yet
    assert not late.Exists(0)
    with pytest.raises(LookupError):
        late.Click()
    popup = main.add(Node("WindowControl", Name="popup", children=[Node("ButtonControl", Name="ok")]))
    assert late.Exists(0) and late.runtimeid == popup.children[0].runtimeid
    late.Click()
    popup.remove()
    assert not late.Exists(0)
    assert [str(e) for e in desk.log.of("Click")] == ["Click ButtonControl 'ok'"]


def test_dead_handle_raises_on_every_use_but_exists(desk):
    main = tree(desk)
    button = uia.ControlFromHandle(main.NativeWindowHandle).GetChildren()[1]
    assert button.Name == "z" and button.GetParentControl().Name == "Main"
    main.remove()
    assert button.Exists(0) is False and button.Exists(3) is False
    for use in (lambda: button.Name, lambda: button.BoundingRectangle, lambda: button.runtimeid,
                button.Click, button.RightClick, button.GetChildren, lambda: button.SendKeys("{ESC}")):
        with pytest.raises(LookupError):
            use()


def test_identity_and_geometry(desk):
    main = desk.window("Main", "AppWnd", [Node("ButtonControl", Name="close", rect=Rect(10, 20, 50, 50))])
    wnd = uia.ControlFromHandle(main.NativeWindowHandle)
    first, again = wnd.ButtonControl(Name="close"), wnd.GetChildren()[0]
    assert first.runtimeid == again.runtimeid and {first.runtimeid: 1}[again.runtimeid] == 1
    assert first.runtimeid != wnd.runtimeid
    rect = first.BoundingRectangle
    assert (rect.left, rect.top, rect.right, rect.bottom, rect.width(), rect.height()) == (10, 20, 50, 50, 40, 30)
    assert str(rect) == "(10,20,50,50)[40x30]"


def test_one_log_in_call_order(desk):
    main = tree(desk)
    wnd = uia.ControlFromHandle(FindWindow(name="Main"))
    assert FindWindow(classname="AppWnd", name="nope") == 0
    x = wnd.ButtonControl(Name="x")
    x.Click(x=-10, y=-3, pos="rightbottom")
    x.Click(move=True)
    x.RightClick()
    wnd.WheelDown(wheelTimes=2)
    SetClipboardText("hello")
    x.ShortcutSelectAll()
    x.ShortcutPaste()
    x.Paste(" world", click=False)
    win32gui.SendMessage(main.NativeWindowHandle, win32con.BM_CLICK, 0, 0)
    qylog.debug("note")
    Menu("wnd")
    desk.clock.sleep(0.5)
    assert [str(e) for e in desk.log] == [
        "FindWindow name='Main'",
        "FindWindow classname='AppWnd' name='nope'",
        "Click ButtonControl 'x' x=-10 y=-3 pos='rightbottom'",
        "Click ButtonControl 'x' move=True",
        "RightClick ButtonControl 'x'",
        "WheelDown WindowControl 'Main' wheelTimes=2",
        "SetClipboardText 'hello'",
        "ShortcutSelectAll ButtonControl 'x'",
        "ShortcutPaste ButtonControl 'x'",
        "Paste ButtonControl 'x' ' world' click=False",
        f"SendMessage WindowControl 'Main' {main.NativeWindowHandle} {win32con.BM_CLICK} 0 0",
        "debug 'note'",
        "Menu 'wnd'",
        "sleep 0.5",
    ]
    assert [e.result for e in desk.log.of("FindWindow")] == [main.NativeWindowHandle, 0]
    assert main.find(Name="x").text == "hello world" and qylog.records == ["note"]


def test_reactions_and_focus_ring(desk):
    main = tree(desk)
    wnd = uia.ControlFromHandle(main.NativeWindowHandle)
    y = main.find(Name="y")
    desk.on("Click", y, lambda event: main.add(Node("TextControl", Name="shown")))
    wnd.ButtonControl(Name="x").Click()
    assert not wnd.TextControl(Name="shown").Exists(0)
    wnd.ButtonControl(Name="y").Click()
    assert wnd.TextControl(Name="shown").Exists(0)
    ring = [main.find(Name=n) for n in ("x", "y", "z")]
    desk.focus_ring(ring)
    names = []
    for _ in range(4):
        wnd.SendKeys("{Tab}")
        names.append(uia.GetFocusedControl().Name)
    assert names == ["x", "y", "z", "x"]

    def fail(event):
        raise KeyboardInterrupt
    desk.on("Exists", y, fail)
    desk.on("SendKeys", None, fail)
    assert wnd.ButtonControl(Name="x").Exists(0)
    for call in (wnd.ButtonControl(Name="y").Exists, lambda: wnd.SendKeys("{ESC}")):
        with pytest.raises(KeyboardInterrupt):
            call()


def test_set_text_and_input(desk):
    main = desk.window("打开", "#32770", [Node("EditControl", ClassName="Edit")])
    edit = uia.ControlFromHandle(main.NativeWindowHandle).EditControl(ClassName="Edit")
    win32gui.SendMessage(edit.NativeWindowHandle, win32con.WM_SETTEXT, "", '"a" "b"')
    assert main.children[0].text == '"a" "b"'
    edit.ShortcutSelectAll()
    edit.Input("tag")
    edit.Input(1)
    assert main.children[0].text == "tag1"


def test_clock_ticks_on_each_reading_and_advances_on_sleep():
    desk = qyb_desktop.install(step=0.5)
    clock = desk.clock
    desk.on("sleep", None, lambda event: clock.monotonic())  # a reaction to the sleep reads the clock
    assert clock.monotonic() == 1000.0 and clock.monotonic() == 1000.5
    assert clock.time() == clock.EPOCH + 1.0
    clock.sleep(2)
    clock.step = 0
    assert clock.monotonic() == clock.monotonic() == 1004.0
    assert clock.sleeps == [2] and clock.readings == 6
    assert clock.reads == {"monotonic": 5, "time": 1}
    clock.limit = 8
    with pytest.raises(RuntimeError, match="never passes"):
        while clock.monotonic() - 1004.0 <= 1:
            pass


@pytest.mark.parametrize("seconds, error, text", [
    (-1, ValueError, "sleep length must be non-negative"),
    (-0.5, ValueError, "sleep length must be non-negative"),
    (math.nan, ValueError, "Invalid value NaN (not a number)"),
    ("x", TypeError, "'str' object cannot be interpreted as an integer"),
    (math.inf, OverflowError, "timestamp out of range for platform time_t"),
])
def test_clock_refuses_what_time_sleep_refuses(seconds, error, text):
    desk = qyb_desktop.install()
    with pytest.raises(error) as caught:
        desk.clock.sleep(seconds)
    assert str(caught.value) == text
    assert desk.clock.elapsed == 0 and desk.clock.sleeps == [] and desk.log == []
