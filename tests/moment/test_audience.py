"""SessionPickerWindow: typing each tag, ticking its first result, logging the missing ones."""
import pytest

from qybridge4.logger import qylog
from qybridge4.ui.moment import SessionPickerWindow


@pytest.mark.parametrize("tags, typed, ticked, logged", [
    ([], [], [], []),
    (["朋友"], ["朋友"], [], ["标签 `朋友` 不存在，忽略"]),
    (["同事", "家人"], ["同事", "家人"], ["同事", "家人"], []),  # "同事" also matches "同事A"
    (["家人", "家人"], ["家人", "家人"], ["家人", "家人"], []),
    ("家人", ["家", "人"], ["家人", "家人"], []),
    ((t for t in ["同学", 7]), ["同学", 7], ["同学"], ["标签 `7` 不存在，忽略"]),
])
def test_select_tags(desk, scene, wnd, tags, typed, ticked, logged):
    scene.open_tag_picker()
    picker = SessionPickerWindow(wnd)
    assert (picker.root, picker.parent, picker.control.runtimeid) == ("root", wnd, scene.picker.runtimeid)
    assert picker.select_tags(tags) is None
    assert [e.args[0] for e in desk.log.of("Input")] == typed
    assert scene.ticked == ticked and qylog.records == logged
    assert not scene.picker.alive  # "完成" was clicked
    assert len(desk.log.of("ShortcutSelectAll")) == len(typed)
    assert [e.args for e in desk.log.of("Exists")] == [(0,)] * len(typed)  # one look, no wait


def test_searches(desk, scene, wnd, searches):
    scene.open_tag_picker()
    SessionPickerWindow(wnd).select_tags(["家人", "朋友"])
    picker = "W.WindowControl(ClassName='mmui::SessionPickerWindow', searchDepth=5)"
    results = f"{picker}.GroupControl(ClassName='mmui::SPMasterView', searchDepth=5)"
    assert searches == [picker, f"{picker}.GroupControl(ClassName='mmui::XSearchField', searchDepth=5)",
                        *[results, f"{results}.CheckBoxControl()"] * 2,
                        f"{picker}.ButtonControl(ClassName='mmui::XOutlineButton', Name='完成', searchDepth=5)"]
    searches.clear()
    picker = SessionPickerWindow.__new__(SessionPickerWindow)
    picker._ui_cls_name = "Picker"
    picker.__init__(wnd)
    assert searches == ["W.WindowControl(ClassName='Picker', searchDepth=5)"]
