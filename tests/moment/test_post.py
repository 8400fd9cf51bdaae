"""Moments: the text form, the roll into view, the interaction pop-up, Like and Comment."""
import pytest

import qyb_wechat
from qyb_desktop import Node
from qybridge4.logger import qylog
from qybridge4.param import QyResponse
from qybridge4.ui.moment import Moments, MomentsWnd


@pytest.fixture
def post(wnd):
    return wnd._get_current_moments()[1]


def clicks(desk):
    return [e.kwargs for e in desk.log.of("Click")]


def test_text_form(desk):
    qyb_wechat.MomentsScene(desk, feed=[Node("ListItemControl", Name=" a\nb \u3000", ClassName="mmui::SnsCell")])
    post = MomentsWnd("root")._get_current_moments()[0]
    assert repr(post) == f"<WeChat Moments SnsCell (ab) at {hex(id(post))}>"
    assert post.root == "root" and post.content == " a\nb \u3000"


def test_roll_into_view_records_which_posts_were_visible_before(desk, scene, wnd):
    posts = wnd._get_current_moments()
    scene.feed.scroll_to(500)  # posts 6 to 9 in view; post 2 out of it
    desk.clock.step = 0.25
    assert posts[1]._roll_into_view() is None
    cells = scene.feed.cells
    assert wnd._roll_cache_id == {cells[n].runtimeid: False for n in range(1, 5)}
    assert desk.log.of("RollIntoView")[0].target is cells[1]
    assert qylog.records == [0.25] and type(qylog.records[0]) is float
    posts[2]._roll_into_view()
    assert list(wnd._roll_cache_id.values()) == [True] * 4


def test_a_pop_up_already_open_is_not_clicked(desk, scene, post):
    scene.open_popup(scene.feed.cells[1])
    assert post._open_like_panel() is None
    assert clicks(desk) == [] and post.like_panel.Exists(0)


def test_the_pop_up_opens_after_clicks_further_left(desk, scene, wnd, post):
    scene.popup(opens_at=-30)
    assert post._open_like_panel() is None
    assert clicks(desk) == [{"x": x, "y": wnd._cmt_ybias, "pos": "rightbottom"} for x in (-10, -20, -30)]


def test_a_pop_up_that_never_opens_fails_after_five_seconds(desk, scene, wnd, post):
    scene.popup(opens_at=None)
    desk.clock.step = 0.5
    desk.clock.reads.clear()
    result = post._open_like_panel()
    assert result == QyResponse.failure("打开互动面板操作超时") and result
    # Checks at 0.5, 1.0, ... 5.0 s click; the check at 5.5 s gives up. No pauses.
    assert [c["x"] for c in clicks(desk)] == list(range(-10, -110, -10))
    rect = scene.feed.cells[1].rect
    assert qylog.records == [0.5, f"打开互动面板操作超时：True ({rect.left},{rect.top},{rect.right},{rect.bottom})"
                                   f"[{rect.width()}x{rect.height()}]"]
    assert desk.clock.sleeps == [] and desk.clock.reads["monotonic"] == 0  # the wall clock


def test_a_collapsed_cell_fails_without_clicking(desk, scene, post):
    scene.popup()
    scene.feed.set_height(scene.feed.cells[1], 0)
    assert post.Like() == QyResponse.failure("当前朋友圈对象已失效")
    assert clicks(desk) == [] and len(qylog.records) == 1  # the roll's elapsed seconds only
    desk.clock.step = 6  # the time limit is tested first
    assert post.Like() == QyResponse.failure("打开互动面板操作超时") and clicks(desk) == []


@pytest.mark.parametrize("buttons, like, action", [
    (("赞", "评论"), True, "Click 赞"),
    (("取消", "评论"), True, "SendKeys {ESC}"),
    (("赞", "评论"), False, "SendKeys {ESC}"),
    (("取消", "评论"), False, "Click 取消"),
])
def test_like(desk, scene, post, buttons, like, action):
    scene.popup(buttons=buttons)
    assert post.Like(like=like) == QyResponse.success()
    last = desk.log.of("Click", "SendKeys")[-1]
    target = last.target.Name if last.kind == "Click" else last.args[0]
    assert f"{last.kind} {target}" == action
    assert not scene.popup_node.alive  # a click or the Escape closed it


def test_like_drops_a_failure_of_the_dismissal_but_not_an_interrupt(desk, scene, post):
    scene.popup(buttons=("评论",))
    raised = []

    def fail(event):
        raised.append(raised and KeyboardInterrupt() or RuntimeError("gone"))
        raise raised[-1]
    desk.on("SendKeys", None, fail)
    assert post.Like() == QyResponse.success()
    with pytest.raises(KeyboardInterrupt):
        post.Like()
    assert [type(e) for e in raised] == [RuntimeError, KeyboardInterrupt]


def test_comment_presses_send_wherever_the_focus_meets_it(desk, scene, post):
    scene.popup(comment_ring=("表情", "图片", "@", "#", "发送"))
    assert post.Comment("很好看") == QyResponse.success()
    field = desk.log.of("Paste")[0]
    assert field.target.ClassName == "mmui::TimelineCommentCell"
    assert field.args == ("很好看",) and field.kwargs == {"click": False}
    assert {"move": True} in clicks(desk)
    assert len(desk.log.of("SendKeys")) == 10 + 2  # ten Tabs, Enter on the fifth and the tenth
    assert scene.comments == [(scene.feed.cells[1], "很好看")] * 2


def test_comment_without_a_field_is_an_index_error(desk, scene, wnd):
    last = wnd._get_current_moments()[-1]  # no cell starts where it ends
    scene.popup(comment_field=False)
    with pytest.raises(IndexError, match="^list index out of range$"):
        last.Comment("x")
    assert desk.log.of("Paste") == []


def test_a_post_is_built_from_its_cell(desk, scene, wnd):
    cell = scene.feed.cells[0]
    post = Moments(wnd.control.ListControl().GetChildren()[0], wnd)
    assert (post.content, post.id, post.parent, post.root) == (cell.Name, cell.runtimeid, wnd, "root")
    assert not hasattr(post, "like_panel")


def test_searches(desk, scene, post, searches):
    scene.popup()
    post.Like()
    panel = "W.WindowControl(ClassName='mmui::TimelineFloatMenu', Name='Weixin')"
    assert searches == ["W.ListControl()"] * 2 + [panel, f"{panel}.ButtonControl(Name='赞')",
                                                   f"{panel}.ButtonControl(Name='取消')"]
    searches.clear()
    post.Comment("x")
    assert searches[2:] == [panel, f"{panel}.ButtonControl(Name='评论')", "W.ListControl()"]
