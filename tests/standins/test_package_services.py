import importlib
import sys

import pytest

import qyb_desktop
import qybridge4.languages

from qybridge4.param import QyResponse
from qybridge4.ui.base import BaseUISubWnd, SubWndMeta


@pytest.fixture
def star_import(tmp_path, monkeypatch):
    """The names that a module-level star import of the languages module binds."""
    monkeypatch.syspath_prepend(str(tmp_path))
    serial = iter(range(100))

    def names():
        module = f"star_{next(serial)}"
        (tmp_path / f"{module}.py").write_text("from qybridge4.languages import *\n")
        importlib.invalidate_caches()
        return {name for name in vars(importlib.import_module(module)) if not name.startswith("__")}
    yield names
    for module in [m for m in sys.modules if m.startswith("star_")]:
        del sys.modules[module]


def test_languages_with_and_without_all(star_import):
    exported = star_import()
    assert exported == set(qybridge4.languages.__all__) and "text_of" not in exported
    original = qyb_desktop.languages_without_all()
    try:
        assert not hasattr(qybridge4.languages, "__all__")
        assert star_import() == exported | {"text_of"}
    finally:
        qyb_desktop.restore_languages(original)
    assert star_import() == exported


def test_sub_window_classes_are_recorded_and_never_initialised_by_the_base():
    class Probe(BaseUISubWnd):
        _ui_name = "probe"

        def __init__(self, value):
            self.value = value

    assert type(Probe) is SubWndMeta and SubWndMeta.created[-1] is Probe
    assert Probe(3).value == 3
    with pytest.raises(RuntimeError):
        super(Probe, Probe(3)).__init__()


@pytest.mark.parametrize("made, kind, message", [
    (QyResponse.success(), "success", None),
    (QyResponse.success("发表成功"), "success", "发表成功"),
    (QyResponse.error("至少指定一个发表内容或图片"), "error", "至少指定一个发表内容或图片"),
    (QyResponse.failure("打开互动面板操作超时"), "failure", "打开互动面板操作超时"),
])
def test_results(made, kind, message):
    assert (made.kind, made.message, bool(made)) == (kind, message, True)
    assert made == QyResponse(kind, message) and made != QyResponse("other", message)
