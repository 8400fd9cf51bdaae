"""A fresh fake desktop for every test, its clock in place of the module's `time`, and the
Moments window scene."""
import pytest

import qyb_desktop
import qyb_wechat
import qybridge4.ui.moment as moment


@pytest.fixture
def desk(monkeypatch):
    desktop = qyb_desktop.install()
    monkeypatch.setattr(moment, "time", desktop.clock)
    return desktop


@pytest.fixture
def scene(desk):
    return qyb_wechat.MomentsScene(desk)


@pytest.fixture
def wnd(scene):
    return moment.MomentsWnd("root")


@pytest.fixture
def since(desk):
    """since(mark): the events logged after `mark`, a length of the log; `.of(kinds)` filters."""
    return lambda mark: qyb_desktop.Log(desk.log[mark:])
