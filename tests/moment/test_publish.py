"""MomentsWnd.Publish: argument checks, the media and text-only paths, the audience, the
clipboard and the publish loop."""
import os
from types import MappingProxyType

import pytest

import qybridge4.ui.moment as moment
from qybridge4.logger import qylog
from qybridge4.param import QyResponse

NOTHING = QyResponse.error("至少指定一个发表内容或图片")
WINDOW_ACTIONS = ("Click", "RightClick", "Menu", "SendMessage", "SetClipboardText", "sleep")


@pytest.fixture
def files(tmp_path):
    """files(*names): existing files of those names, as str paths."""
    def make(*names):
        paths = []
        for name in names:
            path = tmp_path / name
            path.write_bytes(b"\0")
            paths.append(str(path))
        return paths
    return make


@pytest.fixture
def publishing(scene):
    scene.enable_publish()
    return scene


@pytest.mark.parametrize("kwargs, result", [
    ({}, NOTHING),
    ({"text": "", "media_files": []}, NOTHING),
    ({"media_files": ["a.JPG"] * 10}, QyResponse.error("一次最多发表9张图片")),
    ({"media_files": ["v.mp4", "w.MOV"]}, QyResponse.error("只能同时发表一个视频")),
    ({"media_files": ["a.png"] * 10 + ["v.mkv"]}, QyResponse.error("不能同时指定视频和图片")),
    # Every entry dropped (a missing file, a suffix in neither list) and no text.
    ({"media_files": ["missing.mp4", "notes.txt", "clip.mpg"]}, NOTHING),
    ({"media_files": "notes.txt", "text": ""}, NOTHING),
])
def test_argument_errors_come_before_any_window_action(desk, publishing, wnd, files, since, kwargs, result):
    media = kwargs.get("media_files")
    if isinstance(media, list):
        kwargs["media_files"] = [files(n)[0] if n != "missing.mp4" else n for n in media]
    elif isinstance(media, str):
        kwargs["media_files"] = files(media)[0]
    mark = len(desk.log)
    assert wnd.Publish(**kwargs) == result
    assert since(mark).of(*WINDOW_ACTIONS) == [] and publishing.panel is None


def test_argument_errors_need_no_bound_window(files):
    unbound = moment.MomentsWnd.__new__(moment.MomentsWnd)
    assert unbound.Publish(media_files=files(*[f"{n}.png" for n in range(10)])) == QyResponse.error(
        "一次最多发表9张图片")


@pytest.mark.parametrize("video", [".mp4", ".AVI", ".mov", ".MKV", ".mgp", ".mpeg", ".RM", ".rmvb", ".wmv"])
def test_the_suffix_lists(desk, publishing, wnd, files, video):
    pictures = files(*[f"{n}{s}" for n, s in enumerate([".jpg", ".JPEG", ".png", ".GIF", ".bmp"] * 2)])
    assert wnd.Publish(media_files=pictures) == QyResponse.error("一次最多发表9张图片")
    assert wnd.Publish(media_files=files("a.png", "v" + video)) == QyResponse.error("不能同时指定视频和图片")
    assert desk.log.of(*WINDOW_ACTIONS) == []


def test_text_only(desk, publishing, wnd):
    # A draft in the field is replaced: everything in the input box is selected before the paste.
    desk.on("Click", None, lambda event: event.target.ClassName == "mmui::XTextEdit"
            and setattr(publishing.input_box, "text", "草稿"))
    assert wnd.Publish(text="今天\n天气好") == QyResponse.success("发表成功")
    assert [e.target.Name for e in desk.log.of("RightClick")] == ["发表"]
    assert len(desk.log.of("Menu")) == 1 and not publishing.menu.alive  # "发表文字" was chosen
    assert desk.log.of("SendMessage") == [] and len(desk.log.of("FindWindow")) == 1
    assert desk.clipboard == "今天\n天气好" and publishing.input_box.text == "今天\n天气好"
    assert desk.clock.sleeps == [1] and publishing.presses == 1  # one press, one _publish_wait
    assert {e.args for e in desk.log.of("Exists")} == {(0,)}  # the menu and the publish loop look once


@pytest.mark.parametrize("names, kind, wait", [
    (["a.JPG", "b.png", "a.JPG"], "图片", 3),
    (["clip.mp4", "notes.txt"], "视频", 0),
    (["x.GIF"], "图片", 1.5),
])
def test_media(desk, publishing, wnd, files, names, kind, wait, tmp_path, monkeypatch):
    kept = [os.path.realpath(p) for p in files(*names) if not p.endswith(".txt")]
    monkeypatch.chdir(tmp_path)
    paths = [os.path.join(".", n) for n in names]  # relative: the dialog gets real paths
    result = wnd.Publish(media_files=paths if len(paths) > 1 else paths[0], wait_upload=wait)
    assert result == QyResponse.success("发表成功")
    assert [e.target.Name for e in desk.log.of("Click")][0] == "发表" and desk.log.of("RightClick") == []
    assert publishing.opened_files == [" ".join(f'"{p}"' for p in kept)]
    assert qylog.records == [f"强制等待{kind}上传时间：{wait}秒"]
    assert desk.clock.sleeps == [wait, 1] and desk.log.of("SetClipboardText") == []
    # The files are handed over, then the wait is logged and slept, then the publish loop.
    assert [e.kind for e in desk.log.of("SendMessage", "debug", "sleep")] == [
        "SendMessage", "SendMessage", "debug", "sleep", "sleep"]


def test_dropped_media_with_a_text_post_the_text_without_a_dialog(desk, publishing, wnd, files):
    publishing.open_publish_panel()  # the dialog does not come; the panel is there
    assert wnd.Publish(text="hi", media_files=["missing.png"] + files("a.txt")) == QyResponse.success("发表成功")
    assert [e.target.Name for e in desk.log.of("Click")][0] == "发表"
    assert desk.log.of("SendMessage") == [] and qylog.records == [] and publishing.input_box.text == "hi"


@pytest.mark.parametrize("config, radio, ticked", [
    ({"privacy": "公开", "tags": []}, "公开", []),
    ({"privacy": "私密", "tags": ["家人"]}, "私密", ["家人"]),
    ({"privacy": "白名单", "tags": ["同学", "同事"], "friends": ["x"]}, "谁可以看", ["同学", "同事"]),
    ({"privacy": "黑名单", "tags": []}, "不给谁看", []),
])
def test_audience(desk, publishing, wnd, config, radio, ticked):
    assert wnd.Publish(text="t", privacy_config=config) == QyResponse.success("发表成功")
    assert publishing.privacy == radio and publishing.ticked == ticked
    assert not publishing.privacy_panel.alive  # "确定"
    # The entry is scrolled into view, 0.3 s pass, then it is clicked; the publish loop's wait.
    entry = [str(e) for e in desk.log.of("RollIntoView", "sleep", "Click")
             if e.kind == "sleep" or e.target is publishing.privacy_entry]
    assert entry == ["RollIntoView TextControl '谁可以看' GroupControl QFScrollArea", "sleep 0.3",
                     "Click TextControl '谁可以看'", "sleep 1"]


AUDIENCE = QyResponse.error("可见范围只能是公开、私密、白名单或黑名单")


@pytest.mark.parametrize("kwargs, result", [
    ({"text": "t", "privacy_config": {"privacy": "私蜜", "tags": []}}, AUDIENCE),  # a slip for 私密
    ({"text": "t", "privacy_config": {"privacy": "所有人", "tags": ["家人"]}}, AUDIENCE),
    ({"text": "t", "privacy_config": {"privacy": None}}, AUDIENCE),  # before the missing tags
    ({"media_files": "a.png", "privacy_config": MappingProxyType({"privacy": "公开 ", "tags": []})}, AUDIENCE),
    ({"privacy_config": {"privacy": "私蜜", "tags": []}}, NOTHING),  # no content is told first
])
def test_an_audience_that_matches_no_button_is_refused_before_any_window_action(
        desk, publishing, wnd, files, since, searches, kwargs, result):
    if "media_files" in kwargs:
        kwargs["media_files"] = files(kwargs["media_files"])[0]
    mark = len(desk.log)
    assert wnd.Publish(**kwargs) == result
    assert since(mark) == [] and searches == []
    assert publishing.panel is None and publishing.privacy_panel is None


def test_an_empty_privacy_mapping_skips_the_audience(desk, publishing, wnd):
    wnd.Publish(text="t", privacy_config={})
    assert publishing.privacy_panel is None and desk.log.of("RollIntoView") == []


@pytest.mark.parametrize("config, missing, radio", [
    ({"privacy": "私密"}, "tags", "私密"),
    ({"tags": ["家人"]}, "privacy", None),
])
def test_a_privacy_mapping_without_its_keys_raises_the_key_error(desk, publishing, wnd, config, missing, radio):
    with pytest.raises(KeyError) as info:
        wnd.Publish(text="t", privacy_config=config)
    assert info.value.args == (missing,)
    assert publishing.privacy == radio and publishing.privacy_panel.alive and publishing.ticked == []


def test_a_panel_gone_at_the_first_test_is_success_without_a_press(desk, publishing, wnd):
    desk.on("ShortcutPaste", None, lambda event: publishing.close_publish_panel())
    assert wnd.Publish(text="t") == QyResponse.success("发表成功")
    assert publishing.presses == 0 and desk.clock.sleeps == []


def test_a_panel_that_stays_gives_none_after_thirty_attempts(desk, scene, wnd):
    scene.enable_publish(closes_after=None)
    wnd._publish_wait = 2
    desk.on("Click", None, lambda event: len(desk.clock.sleeps) == 2 and setattr(wnd, "_publish_wait", 5))
    assert wnd.Publish(text="t") is None
    assert scene.presses == 30 and desk.clock.sleeps == [2, 2] + [5] * 28


def test_the_menu_is_polled_without_pauses_and_chosen_after_three_seconds(desk, scene, wnd):
    scene.enable_publish(menu_delay=None)
    desk.clock.step = 0.5
    desk.clock.reads.clear()
    with pytest.raises(LookupError):  # "发表文字" on a menu that never came
        wnd.Publish(text="t")
    assert len(desk.log.of("Menu")) == 6 and desk.clock.sleeps == []
    assert desk.clock.reads["monotonic"] == 0  # the wall clock


def test_a_menu_is_built_when_the_time_ran_out_before_the_first_look(desk, publishing, wnd):
    desk.clock.step = 4
    assert wnd.Publish(text="t") == QyResponse.success("发表成功")
    menus = desk.log.of("Menu")
    assert len(menus) == 1 and publishing.input_box.text == "t"
    # The menu built after the wait is not tested: only the publish loop looks for anything.
    assert [e.target for e in desk.log.of("Exists")] == [publishing.panel, publishing.publish_button, None]


def test_the_privacy_entry_is_read_anew_for_each_comparison(desk, publishing, wnd):
    reads = []

    class Config(dict):
        def __getitem__(self, key):
            reads.append(key)
            return super().__getitem__(key)
    wnd.Publish(text="t", privacy_config=Config(privacy="私密", tags=["家人"]))
    # Once by the argument check, then once for each comparison.
    assert reads == ["privacy"] * 5 + ["tags"] * 2 and publishing.privacy == "私密"


def test_searches(desk, publishing, wnd, searches):
    wnd.Publish(text="t", privacy_config={"privacy": "私密", "tags": []})
    panel = "W.GroupControl(ClassName='mmui::SnsPublishPanel', searchDepth=8)"
    box = f"{panel}.GroupControl(ClassName='mmui::PublishInputView', searchDepth=6)"
    privacy = "<GroupControl '' mmui::PublishPrivacyView>"  # the radio buttons' parent
    assert [s for s in searches if not s.startswith("<PaneControl 'Desktop'")] == [  # but the Menu's own
        panel, f"{panel}.TextControl(Name='谁可以看')", f"{panel}.GroupControl(ClassName='QFScrollArea')",
        "W.RadioButtonControl(ClassName='mmui::PublishPrivacySelection', searchDepth=5)",
        f"{privacy}.RadioButtonControl(Name='私密')", f"{privacy}.ButtonControl(Name='确定')",
        box, f"{box}.EditControl(searchDepth=6)", f"{panel}.ButtonControl(Name='发表', searchDepth=4)"]
