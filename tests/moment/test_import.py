"""Importing the moment module: its names in order, evaluated annotations, the classes'
metaclass, PrivacyConfig, import failures, and truncate_string."""
import inspect
import os
import shutil
import subprocess
import sys
import textwrap
import typing
from pathlib import Path

import pytest

import qybridge4.languages
import qybridge4.ui.base as base
import qybridge4.ui.moment as moment
import qybridge4.uia as uia
from qybridge4.param import QyResponse

PYTHON_DIR = Path(moment.__file__).resolve().parents[2]
CLASSES = ["WinOpenUI", "PrivacyConfig", "MomentsWnd", "SessionPickerWindow", "Moments"]


def run_child(code):
    env = dict(os.environ, PYTHONPATH=str(PYTHON_DIR))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=60)


def test_names_in_import_then_definition_order():
    names = [n for n in vars(moment) if not n.startswith("__")]
    assert names == [
        "BaseUISubWnd", "FindWindow", "SetClipboardText", "Menu", "get_monitor_info",
        *qybridge4.languages.__all__,
        "qylog", "QyResponse", "QyParam", "uia", "win32gui", "win32con", "math",
        "Literal", "TypedDict", "List", "time", "os", "truncate_string", *CLASSES,
    ]
    assert moment.__name__ == "qybridge4.ui.moment" and moment.__doc__ is None
    assert not hasattr(moment, "__all__") and "annotations" not in vars(moment)
    assert moment.uia is uia and moment.BaseUISubWnd is base.BaseUISubWnd
    assert moment.time is __import__("time") and moment.List is typing.List


def test_annotations_are_evaluated_objects():
    assert moment.truncate_string.__annotations__ == {"s": str, "n": int, "return": str}
    init = inspect.signature(moment.Moments.__init__)
    assert init.parameters["control"].annotation is uia.Control
    assert init.parameters["parent"].annotation is moment.MomentsWnd
    assert init.return_annotation is None
    assert moment.Moments.Like.__annotations__ == {"return": QyResponse}
    assert moment.SessionPickerWindow.select_tags.__annotations__ == {"tags": list[str]}
    publish = moment.MomentsWnd.Publish
    assert publish.__annotations__ == {"text": str, "media_files": typing.List[str],
                                       "privacy_config": moment.PrivacyConfig, "wait_upload": float}
    assert publish.__defaults__ == (None, None, None, 3)
    assert moment.MomentsWnd.GetMoments.__annotations__ == {}
    assert str(inspect.signature(moment.MomentsWnd.GetMoments)) == (
        "(self, next_page=False, speed1=1, speed2=1, interval=0.3, force_wait=1, timeout=None)")
    assert moment.MomentsWnd.__annotations__ == {"_publish_wait": int}
    assert moment.WinOpenUI.__annotations__ == {"_ui_cls_name": str, "_ui_name": str}
    assert moment.SessionPickerWindow.__annotations__ == {"_ui_cls_name": str, "_ui_name": str}


def test_classes_come_from_the_base_metaclass_with_their_attributes():
    made = [c for c in base.SubWndMeta.created if c.__module__ == moment.__name__]
    assert [c.__name__ for c in made] == ["WinOpenUI", "MomentsWnd", "SessionPickerWindow", "Moments"]
    for cls in made:
        assert type(cls) is base.SubWndMeta and cls.__bases__ == (base.BaseUISubWnd,)
        assert getattr(moment, cls.__name__) is cls
    assert (moment.WinOpenUI._ui_cls_name, moment.WinOpenUI._ui_name) == ("#32770", "选择文件")
    assert (moment.MomentsWnd._ui_cls_name, moment.MomentsWnd._ui_name) == ("mmui::SNSWindow", "朋友圈")
    assert moment.MomentsWnd._publish_wait == 1 and type(moment.MomentsWnd._publish_wait) is int
    assert moment.SessionPickerWindow._ui_cls_name == "mmui::SessionPickerWindow"
    assert moment.SessionPickerWindow._ui_name == "微信谁可以看"
    assert isinstance(moment.MomentsWnd.toolbar_buttons, property)


def test_privacy_config_is_a_typed_dict():
    pc = moment.PrivacyConfig
    assert typing.is_typeddict(pc) and pc.__module__ == moment.__name__ and pc.__qualname__ == "PrivacyConfig"
    assert pc.__required_keys__ == {"privacy", "friends", "tags"} and pc.__optional_keys__ == frozenset()
    assert pc.__annotations__ == {"privacy": typing.Literal["公开", "私密", "白名单", "黑名单"],
                                  "friends": list[str], "tags": list[str]}
    assert pc.privacy == "公开" and pc.friends == [] and pc.tags == [] and pc.friends is not pc.tags
    record = pc(privacy="私密", tags=["家人"])
    assert type(record) is dict and record == {"privacy": "私密", "tags": ["家人"]}
    assert "privacy" not in pc(tags=[])


@pytest.mark.parametrize("prelude, error", [
    ("import qybridge4.uia as u; del u.Control", "AttributeError: module 'qybridge4.uia' has no attribute 'Control'"),
    ("import sys; sys.modules['win32con'] = None", "ModuleNotFoundError: import of win32con halted; None in sys.modules"),
])
def test_a_missing_service_fails_the_import(prelude, error):
    result = run_child(f"""
        {prelude}
        import sys
        try:
            import qybridge4.ui.moment
        except BaseException as e:
            print(type(e).__name__ + ": " + str(e))
            print("qybridge4.ui.moment" in sys.modules)
    """)
    assert result.stdout.splitlines() == [error, "False"], result.stderr


def test_only_the_entry_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", moment.__file__], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in out.stdout.splitlines() if line.strip()] == ["PyInit_moment"]


def test_star_import_without_all_takes_public_names():
    result = run_child("""
        import qyb_desktop
        qyb_desktop.languages_without_all()
        import qybridge4.ui.moment as m
        names = list(vars(m))
        print(*names[names.index("get_monitor_info") + 1:names.index("qylog")])
    """)
    public = [n for n in vars(qybridge4.languages) if not n.startswith("_")]
    assert "text_of" in public and "_TEXTS" in vars(qybridge4.languages)
    assert result.stdout.split() == public, result.stderr


@pytest.mark.parametrize("s, n, expected", [
    ("abcdefghi", 8, "abcdefgh..."),
    ("abcdefgh", 8, "abcdefgh"),
    ("朋友圈朋友圈朋友", 8, "朋友圈朋友圈朋友"),
    ("ab\ncd", 8, "abcd"),
    ("\r\n a\rb \u3000\x0b\n", 8, "a\rb"),
    (" \n\t\n ", 8, ""),
    ("abc", 0, "..."),
    ("", 0, ""),
    ("abcdef", -2, "abcd..."),
    ("abc", 3.5, "abc"),
])
def test_truncate_string(s, n, expected):
    assert moment.truncate_string(s, n) == expected


def test_truncate_string_lets_the_language_errors_through():
    assert moment.truncate_string(s="abcdefghij") == "abcdefgh..."
    with pytest.raises(TypeError, match="slice indices must be integers"):
        moment.truncate_string("abcdef", 2.5)
    with pytest.raises(AttributeError, match="'int' object has no attribute 'replace'"):
        moment.truncate_string(5)


def test_every_call_looks_up_the_module_names_afresh(desk, scene, wnd, monkeypatch):
    class Post(moment.Moments):
        pass
    monkeypatch.setattr(moment, "Moments", Post)
    monkeypatch.setattr(moment, "truncate_string", lambda s: "short")
    post = wnd._get_current_moments()[0]
    assert type(post) is Post and repr(post).startswith("<WeChat Moments TimelineContentCell (short) at 0x")


class Spy:
    """Stands for a module name's object and records each use of it: an attribute by its name,
    a call by the number of its positional arguments and the names of its keywords."""

    def __init__(self, target, used):
        self._target, self._used = target, used

    def __getattr__(self, name):
        self._used.append(name)
        return getattr(self._target, name)

    def __call__(self, *args, **kwargs):
        self._used.append(f"({len(args)}{''.join(f', {k}=' for k in kwargs)})")
        return self._target(*args, **kwargs)


def _publish(media=False, **kwargs):
    def run(scene, wnd, tmp_path):
        scene.enable_publish()
        if media:
            (tmp_path / "a.png").write_bytes(b"\0")
            kwargs["media_files"] = str(tmp_path / "a.png")
        wnd.Publish(**kwargs)
    return run


@pytest.mark.parametrize("name, used, action", [
    ("FindWindow", ["(0, name=)"], lambda scene, wnd, tmp_path: moment.MomentsWnd("root")),
    ("uia", ["ControlFromHandle"], lambda scene, wnd, tmp_path: moment.MomentsWnd("root")),
    ("qylog", ["debug"], lambda scene, wnd, tmp_path: wnd._get_current_moments()[0]._roll_into_view()),
    ("math", ["isfinite"], lambda scene, wnd, tmp_path: wnd.GetMoments(timeout=5)),
    ("QyResponse", ["error"], _publish()),
    ("Menu", ["(1)"], _publish(text="t")),
    ("SetClipboardText", ["(1)"], _publish(text="t")),
    ("SessionPickerWindow", ["(1)"], _publish(text="t", privacy_config={"privacy": "公开", "tags": ["家人"]})),
    ("os", ["path"], _publish(media=True)),
    ("WinOpenUI", ["(0, root=, parent=)"], _publish(media=True)),
    ("win32gui", ["SendMessage", "SendMessage"], _publish(media=True)),
    ("win32con", ["WM_SETTEXT", "BM_CLICK"], _publish(media=True)),
])
def test_module_names_rebound_after_import_are_obeyed(desk, scene, wnd, tmp_path, monkeypatch, name, used, action):
    seen = []
    monkeypatch.setattr(moment, name, Spy(getattr(moment, name), seen))
    action(scene, wnd, tmp_path)
    assert seen[:len(used)] == used
