"""Reusable pieces of the client's windows: the context menu."""

import qyb_desktop

from qybridge4 import uia

MENU_CLASS = "mmui::XMenu"


class Menu:
    """The context menu that is open now, looked up when built; ``control`` follows the screen."""

    def __init__(self, wnd):
        desk = qyb_desktop.current()
        self.wnd = wnd
        self.control = uia.Control(desk.root).WindowControl(ClassName=MENU_CLASS, searchDepth=1)
        desk.record("Menu", None, (wnd,))

    def select(self, text):
        """Clicks the entry shown with ``text``; LookupError when the menu or the entry is missing."""
        self.control._find("MenuItemControl", Name=text).Click()
