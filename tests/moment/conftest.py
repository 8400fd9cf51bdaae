"""A fresh fake desktop for every test, its clock in place of the module's `time`, and the
Moments window scene."""
import pytest

import qyb_desktop
import qyb_wechat
import qybridge4.ui.moment as moment
import qybridge4.uia as uia


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


@pytest.fixture
def searches(monkeypatch):
    """The searches made from now on, each as its handle's text: the control it searches
    under (the Moments window's control written "W"), its control type and exactly the
    criteria given."""
    made = []
    find = uia.Control._find

    def spy(self, control_type, **criteria):
        handle = find(self, control_type, **criteria)
        made.append(repr(handle)[len("<uia.Control "):-1].replace("<WindowControl '朋友圈' mmui::SNSWindow>", "W"))
        return handle
    monkeypatch.setattr(uia.Control, "_find", spy)
    return made
