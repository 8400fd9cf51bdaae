import pytest

import qyb_desktop
import win32con
import win32gui

from qyb_wechat import MomentsScene
from qybridge4 import uia
from qybridge4.ui.component import Menu
from qybridge4.utils import FindWindow


@pytest.fixture
def desk():
    return qyb_desktop.install()


def bind(scene):
    return uia.ControlFromHandle(FindWindow(name="朋友圈"))


def names(window):
    return [cell.Name for cell in window.ListControl().GetChildren()]


def test_window_toolbar_and_close_button(desk):
    scene = MomentsScene(desk, toolbar=("发表", "刷新", "刷新"), close_size=(40, 32))
    window = bind(scene)
    bar = window.ToolBarControl(ClassName="mmui::SNSWindowToolBar", searchDepth=5)
    assert [b.Name for b in bar.GetChildren()] == ["发表", "刷新", "刷新"]
    rect = window.ButtonControl(Name="关闭").BoundingRectangle
    assert (rect.width(), rect.height()) == (40, 32)
    assert scene.button("刷新") is scene.buttons[2]


def test_window_shown_after_searches(desk):
    MomentsScene(desk, shown_after=3)
    assert [FindWindow(name="朋友圈") != 0 for _ in range(4)] == [False, False, False, True]
    MomentsScene(qyb_desktop.install(), shown_after=None, feed=0)
    assert FindWindow(name="朋友圈") == 0


def test_wheel_pages_the_feed_until_its_end(desk):
    scene = MomentsScene(desk, feed=12, visible=4)
    window = bind(scene)
    first = window.ListControl().GetChildren()
    assert names(window) == ["post 1", "post 2", "post 3", "post 4"]
    window.WheelDown(wheelTimes=3)
    assert names(window) == ["post 4", "post 5", "post 6", "post 7"]
    # the handles of the first read stay readable, out of view and collapsed
    assert first[0].Name == "post 1" and first[0].BoundingRectangle.height() == 0
    assert not first[0].Exists(0) and first[3].Exists(0)
    window.WheelDown(wheelTimes=10)
    assert names(window) == ["post 9", "post 10", "post 11", "post 12"]
    top = window.ListControl().GetChildren()[0].BoundingRectangle.top
    assert top == scene.list.rect.top


def test_roll_into_view_scrolls_the_least_that_shows_the_post(desk):
    scene = MomentsScene(desk, feed=12, visible=4, notch=50)
    window = bind(scene)
    window.WheelDown(wheelTimes=3)  # post 2 is cut at the top
    assert names(window) == ["post 2", "post 3", "post 4", "post 5", "post 6"]
    cells = window.ListControl().GetChildren()
    uia.RollIntoView(window, cells[0])
    assert names(window) == ["post 2", "post 3", "post 4", "post 5"]
    uia.RollIntoView(window, cells[-1])  # now out of view, below
    assert names(window) == ["post 3", "post 4", "post 5", "post 6"]
    assert str(desk.log.of("RollIntoView")[0]) == "RollIntoView ListItemControl 'post 2' WindowControl '朋友圈'"


def test_popup_opens_at_the_offset_and_closes_on_its_buttons(desk):
    scene = MomentsScene(desk)
    scene.popup(opens_at=-30)
    window = bind(scene)
    cell = window.ListControl().GetChildren()[1]
    panel = window.WindowControl(ClassName="mmui::TimelineFloatMenu", Name="Weixin")
    opened = []
    for x in (-10, -20, -30):
        cell.Click(x=x, y=-10, pos="rightbottom")
        opened.append(panel.Exists(0))
    assert opened == [False, False, True]
    panel.ButtonControl(Name="赞").Click()
    assert not panel.Exists(0) and scene.liked == {scene.feed.cells[1]}
    cell.Click(x=-40, y=-10, pos="rightbottom")
    assert panel.ButtonControl(Name="取消").Exists(0) and not panel.ButtonControl(Name="赞").Exists(0)
    panel.SendKeys("{ESC}")
    assert not panel.Exists(0)


def test_comment_cell_under_the_post_and_focus_ring(desk):
    scene = MomentsScene(desk)
    scene.popup(comment_ring=("表情", "发送", "取消"))
    window = bind(scene)
    cell = window.ListControl().GetChildren()[3]  # the last visible post
    scene.open_popup(scene.feed.cells[3])
    window.WindowControl(ClassName="mmui::TimelineFloatMenu").ButtonControl(Name="评论").Click()
    bottom = cell.BoundingRectangle.bottom
    fields = [c for c in window.ListControl().GetChildren() if c.BoundingRectangle.top == bottom]
    assert [f.ClassName for f in fields] == ["mmui::TimelineCommentCell"]
    fields[0].Paste("nice", click=False)
    focused = []
    for _ in range(4):
        cell.SendKeys("{Tab}")
        focused.append(uia.GetFocusedControl().Name)
        uia.GetFocusedControl().SendKeys("{Enter}")
    assert focused == ["表情", "发送", "取消", "表情"]
    assert scene.comments == [(scene.feed.cells[3], "nice")]


def test_text_post_through_the_menu(desk):
    scene = MomentsScene(desk)
    scene.enable_publish(closes_after=2)
    window = bind(scene)
    menu = Menu(object())
    assert not menu.control.Exists(0)
    window.ToolBarControl(ClassName="mmui::SNSWindowToolBar").ButtonControl(Name="发表").RightClick()
    assert menu.control.Exists(0)  # built before the menu opened, it follows the screen
    panel = window.GroupControl(ClassName="mmui::SnsPublishPanel", searchDepth=8)
    assert not panel.Exists(0)
    Menu(object()).select("发表文字")
    assert panel.Exists(0) and not menu.control.Exists(0)
    button = panel.ButtonControl(Name="发表", searchDepth=4)
    button.Click()
    assert panel.Exists(0) and scene.presses == 1
    button.Click()
    assert not panel.Exists(0) and not button.Exists(0)


def test_menu_looks_before_it_shows(desk):
    scene = MomentsScene(desk)
    scene.enable_publish(menu_delay=2)
    bind(scene).GetChildren()[0].GetChildren()[0].GetChildren()[0].RightClick()
    seen = []
    for _ in range(3):
        seen.append(Menu(None).control.Exists(0))
    assert seen == [False, False, True]
    never = MomentsScene(qyb_desktop.install())
    never.enable_publish(menu_delay=None)
    assert not Menu(None).control.Exists(0)
    with pytest.raises(LookupError):
        Menu(None).select("发表文字")


@pytest.mark.parametrize("buttons", [2, 3])
def test_file_dialog_open_press_opens_the_panel(desk, buttons):
    scene = MomentsScene(desk)
    scene.enable_publish(dialog_buttons=buttons)
    window = bind(scene)
    assert FindWindow(classname="#32770", name="打开") == 0
    window.ToolBarControl().ButtonControl(Name="发表").Click()
    assert FindWindow(classname="#32770", name="打开")
    dialog = window.WindowControl(ClassName="#32770", Name="选择文件", searchDepth=3)
    kids = [c for c in dialog.GetChildren() if c.ControlTypeName == "ButtonControl"]
    assert len(kids) == buttons and len(dialog.GetChildren()) == buttons + 1
    edit = dialog.EditControl(ClassName="Edit")
    win32gui.SendMessage(edit.NativeWindowHandle, win32con.WM_SETTEXT, "", '"/a.png" "/b.png"')
    win32gui.SendMessage(kids[0].NativeWindowHandle, win32con.BM_CLICK, 0, 0)
    assert scene.opened_files == ['"/a.png" "/b.png"']
    assert not dialog.Exists(0) and FindWindow(classname="#32770", name="打开") == 0
    assert window.GroupControl(ClassName="mmui::SnsPublishPanel", searchDepth=8).Exists(0)


def test_privacy_panel_and_tag_picker(desk):
    scene = MomentsScene(desk)
    scene.enable_publish(tags=("家人", "同事", "同事A"))
    scene.open_publish_panel()
    window = bind(scene)
    panel = window.GroupControl(ClassName="mmui::SnsPublishPanel", searchDepth=8)
    panel.TextControl(Name="谁可以看").Click()
    radio = window.RadioButtonControl(ClassName="mmui::PublishPrivacySelection", searchDepth=5)
    privacy = radio.GetParentControl()
    assert privacy.ButtonControl(Name="确定").Exists(0)
    picker = window.WindowControl(ClassName="mmui::SessionPickerWindow", searchDepth=5)
    privacy.RadioButtonControl(Name="不给谁看").Click()
    assert scene.privacy == "不给谁看" and picker.Name == "微信谁可以看"
    field = picker.GroupControl(ClassName="mmui::XSearchField", searchDepth=5)
    view = picker.GroupControl(ClassName="mmui::SPMasterView", searchDepth=5)
    found = []
    for tag in ("同事", "家", "朋友"):
        field.Click()
        field.ShortcutSelectAll()
        field.Input(tag)
        found.append([box.Name for box in view.GetChildren()])
        if view.CheckBoxControl().Exists(0):
            view.CheckBoxControl().Click()
    assert found == [["同事", "同事A"], ["家人"], []] and scene.ticked == ["同事", "家人"]
    picker.ButtonControl(ClassName="mmui::XOutlineButton", Name="完成", searchDepth=5).Click()
    assert not picker.Exists(0) and privacy.Exists(0)
    privacy.ButtonControl(Name="确定").Click()
    assert not radio.Exists(0)
    panel.TextControl(Name="谁可以看").Click()  # the picker comes with the panel, before any choice
    assert picker.Exists(0) and scene.privacy == "不给谁看"
    assert not privacy.Exists(0)  # a handle to the closed panel, not a search
    radio.GetParentControl().ButtonControl(Name="确定").Click()
    assert not picker.Exists(0)
