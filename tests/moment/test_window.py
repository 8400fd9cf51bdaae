"""MomentsWnd: binding the window, the close-button offsets, the toolbar and the post list."""
import pytest

import qyb_wechat
from qyb_desktop import Node
from qybridge4.ui.moment import Moments, MomentsWnd


def test_an_open_window_is_bound_after_one_search(desk, scene):
    wnd = MomentsWnd(root := object())
    assert [(e.kwargs, e.result) for e in desk.log.of("FindWindow")] == [
        ({"name": "朋友圈"}, scene.window.NativeWindowHandle)]
    assert wnd.root is root and wnd._roll_cache_id == {}
    assert wnd.HWND == scene.window.NativeWindowHandle and wnd.control.runtimeid == scene.window.runtimeid
    assert wnd.NavigationBox.runtimeid == scene.toolbar.runtimeid
    assert list(wnd.toolbar_buttons) == ["发表", "刷新", "关闭"]


def test_the_wait_polls_without_pausing_until_the_window_shows(desk):
    qyb_wechat.MomentsScene(desk, shown_after=3)
    MomentsWnd("root")
    # The scene shows the window after the third search has looked: the fourth finds it.
    assert len(desk.log.of("FindWindow")) == 4 and desk.clock.sleeps == []


@pytest.mark.parametrize("step, timeout, searches", [
    (0.0, -1, 0),    # negative: the time check fails before any search
    (0.1, 0, 0),     # the clock moved between the start and the first check
    (0.25, 1, 4),
])
def test_time_out(desk, step, timeout, searches):
    qyb_wechat.MomentsScene(desk, shown_after=None)
    desk.clock.step = step
    with pytest.raises(Exception) as info:
        MomentsWnd("root", timeout)
    assert type(info.value) is Exception and str(info.value) == "朋友圈窗口打开超时"
    assert len(desk.log.of("FindWindow")) == searches and desk.clock.sleeps == []
    assert desk.clock.reads["time"] == 0  # the wait runs on the monotonic clock


def test_zero_time_out_searches_while_the_clock_stands(desk, scene):
    MomentsWnd("root", 0)
    assert len(desk.log.of("FindWindow")) == 1


def test_a_time_out_that_is_no_number_is_the_interpreter_type_error(desk, scene):
    with pytest.raises(TypeError, match="'>' not supported between instances of 'float' and 'str'"):
        MomentsWnd("root", "x")
    assert desk.log.of("FindWindow") == []


@pytest.mark.parametrize("size, ybias", [((40, 30), -10), ((40, 32), -10), ((40, 2), 0)])
def test_offsets_from_the_close_button(desk, size, ybias):
    qyb_wechat.MomentsScene(desk, close_size=size)
    wnd = MomentsWnd("root")
    assert wnd._close_size == size and wnd._cmt_xbias == -40 and wnd._cmt_ybias == ybias
    assert type(wnd._cmt_ybias) is int


def test_refresh_and_close_click_the_last_button_of_their_name(desk):
    scene = qyb_wechat.MomentsScene(desk, toolbar=("发表", "刷新", "关闭", "刷新", "关闭"))
    wnd = MomentsWnd("root")
    assert wnd.Refresh() is None and wnd.Close() is None
    clicked = [e.target for e in desk.log.of("Click")]
    assert clicked == [scene.buttons[3], scene.buttons[4]]


def test_refresh_without_its_button_is_a_key_error_and_clicks_nothing(desk):
    qyb_wechat.MomentsScene(desk, toolbar=("发表",))
    wnd = MomentsWnd("root")
    with pytest.raises(KeyError) as info:
        wnd.Refresh()
    assert info.value.args == ("刷新",) and desk.log.of("Click") == []


@pytest.mark.parametrize("classes, posts", [
    (["mmui::TimelineCommentCell", "", "mmui::TimelineCell", "mmui::TimelineContentCell"], [1, 3]),
    (["mmui::TimelineCommentCell", "mmui::TimelineCell"], []),
])
def test_the_post_list_leaves_out_the_two_timeline_cell_classes(desk, classes, posts):
    cells = [Node("ListItemControl", Name=f"cell {i}", ClassName=c) for i, c in enumerate(classes)]
    qyb_wechat.MomentsScene(desk, feed=cells)
    wnd = MomentsWnd("root")
    found = wnd._get_current_moments()
    assert type(found) is list and all(type(p) is Moments and p.parent is wnd for p in found)
    assert [p.content for p in found] == [f"cell {i}" for i in posts]
    assert [p.id for p in found] == [cells[i].runtimeid for i in posts]


def test_searches(desk, scene, searches):
    MomentsWnd("root")._get_current_moments()
    assert searches == ["W.ToolBarControl(ClassName='mmui::SNSWindowToolBar', searchDepth=5)",
                        "W.ButtonControl(Name='关闭')",
                        "W.ListControl()"]


def test_the_close_button_is_measured_in_the_order_python_reads_it(desk, scene, monkeypatch):
    import qyb_desktop
    reads = []

    class Recording(qyb_desktop.Rect):
        __slots__ = ()

        def __getattribute__(self, name):
            reads.append(name)
            return object.__getattribute__(self, name)

        def width(self):
            return object.__getattribute__(self, "right") - object.__getattribute__(self, "left")

        def height(self):
            return object.__getattribute__(self, "bottom") - object.__getattribute__(self, "top")

    monkeypatch.setattr(qyb_desktop, "Rect", Recording)
    MomentsWnd("root")
    assert reads == ["width", "height", "left", "right", "top", "bottom"]
