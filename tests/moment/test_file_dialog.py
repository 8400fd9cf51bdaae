"""WinOpenUI: the wait for the dialog, the file-name text and the Open press."""
import pytest

import win32con
from qybridge4.ui.moment import WinOpenUI


@pytest.fixture
def dialog(scene):
    scene.open_file_dialog()
    return scene


def messages(desk):
    return [e.args for e in desk.log.of("SendMessage")]


def test_an_open_dialog_ends_the_wait_at_the_first_search(desk, dialog, wnd):
    ui = WinOpenUI("r", wnd)
    assert [e.kwargs for e in desk.log.of("FindWindow")][1:] == [{"classname": "#32770", "name": "打开"}]
    assert desk.log.of("Exists")[-1].args == (3,)
    assert (ui.root, ui.hwnd, ui.control.runtimeid) == ("r", dialog.dialog.NativeWindowHandle, dialog.dialog.runtimeid)


def test_zero_wait_makes_no_search(desk, dialog, wnd):
    mark = len(desk.log.of("FindWindow"))
    WinOpenUI(root="r", parent=wnd, wait=0)
    assert len(desk.log.of("FindWindow")) == mark and desk.log.of("Exists")[-1].args == (0,)


def test_a_dialog_that_never_comes_ends_the_wait_quietly(desk, scene, wnd):
    desk.clock.step = 0.5
    desk.clock.reads.clear()
    with pytest.raises(LookupError):  # the handle of a control that matches nothing
        WinOpenUI("r", wnd, 2)
    assert len(desk.log.of("FindWindow")) == 1 + 3 and desk.clock.sleeps == []
    assert desk.clock.reads["monotonic"] == 0  # the wall clock


@pytest.mark.parametrize("files, text", [
    ("C:\\p\\a.jpg", '"C:\\p\\a.jpg"'),
    (["C:\\p\\a b.jpg"], '"C:\\p\\a b.jpg"'),
    ([], '""'),
    (["a.png", "b.png"], '"a.png" "b.png"'),
])
def test_input_files_sets_the_text_and_presses_open_once(desk, dialog, wnd, files, text):
    assert WinOpenUI("r", wnd).input_files(files) is None
    assert messages(desk) == [(dialog.edit.NativeWindowHandle, win32con.WM_SETTEXT, "", text),
                              (dialog.dialog_buttons[0].NativeWindowHandle, win32con.BM_CLICK, 0, 0)]
    assert dialog.opened_files == [text]


@pytest.mark.parametrize("files, error, message", [
    (("a.png",), TypeError, "^files must be str or list$"),
    (["a.png", 5], TypeError, "sequence item 1: expected str instance, int found"),
])
def test_bad_files_send_nothing(desk, dialog, wnd, files, error, message):
    ui = WinOpenUI("r", wnd)
    with pytest.raises(error, match=message):
        ui.input_files(files)
    assert messages(desk) == []


def test_three_buttons_are_a_value_error_with_nothing_sent(desk, scene, wnd):
    scene.open_file_dialog(buttons=3)
    ui = WinOpenUI("r", wnd)
    with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 2\)$"):
        ui.input_files(["a.png"])
    assert messages(desk) == [] and scene.edit.text == ""


def test_searches(desk, dialog, wnd, searches):
    WinOpenUI("r", wnd).input_files("a.png")
    bound = "W.WindowControl(ClassName='#32770', Name='选择文件', searchDepth=3)"
    assert searches == [bound, f"{bound}.EditControl(ClassName='Edit')"]


def test_the_ui_identifiers_are_read_through_the_instance(desk, dialog, wnd, searches):
    class Other(WinOpenUI):
        _ui_cls_name = "Dlg"
    ui = Other.__new__(Other)
    ui._ui_name = "Files"
    with pytest.raises(LookupError):  # nothing of that class and name
        ui.__init__("r", wnd, 0)
    assert searches == ["W.WindowControl(ClassName='Dlg', Name='Files', searchDepth=3)"]
