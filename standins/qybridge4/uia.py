"""The package's UI Automation wrapper, over the fake desktop of ``qyb_desktop``.

A ``Control`` is a live handle: it re-resolves its element on every use, so a search made before
its element appears follows the scene.
"""

import qyb_desktop

_POSITIONS = (None, "rightbottom")


def _search_method(control_type):
    def search(self, **criteria):
        """The first descendant of this type that matches every criterion given."""
        return self._find(control_type, **criteria)
    search.__name__ = control_type
    return search


def _element_property(name):
    return property(lambda self: getattr(self._element(), name), doc=f"The element's {name}.")


class Control:
    """A handle to one element: either a fixed node or the first match of a search."""

    def __init__(self, node=None, *, _search=None):
        self._node = node
        self._search = _search  # (base Control, control type, ClassName, Name, searchDepth)

    # --- resolution ---

    def _resolve(self):
        if self._search is None:
            return self._node if self._node is not None and self._node.alive else None
        base, control_type, class_name, name, depth = self._search
        start = base._resolve()
        if start is None:
            return None
        return start.search(control_type, ClassName=class_name, Name=name, depth=depth)

    def _element(self):
        node = self._resolve()
        if node is None:
            raise LookupError(f"Find Control Timeout: {self._describe()}")
        return node

    def _describe(self):
        if self._search is None:
            return repr(self._node)
        base, control_type, class_name, name, depth = self._search
        criteria = {"ClassName": class_name, "Name": name, "searchDepth": depth}
        shown = ", ".join(f"{k}={v!r}" for k, v in criteria.items() if v is not None)
        return f"{base._describe()}.{control_type}({shown})"

    def __repr__(self):
        return f"<uia.Control {self._describe()}>"

    # --- searches ---

    def _find(self, control_type, ClassName=None, Name=None, searchDepth=None):
        if searchDepth is not None and (type(searchDepth) is not int or searchDepth < 1):
            raise ValueError(f"searchDepth must be a positive int, not {searchDepth!r}")
        return Control(_search=(self, control_type, ClassName, Name, searchDepth))

    WindowControl = _search_method("WindowControl")
    ToolBarControl = _search_method("ToolBarControl")
    ButtonControl = _search_method("ButtonControl")
    ListControl = _search_method("ListControl")
    GroupControl = _search_method("GroupControl")
    TextControl = _search_method("TextControl")
    RadioButtonControl = _search_method("RadioButtonControl")
    CheckBoxControl = _search_method("CheckBoxControl")
    EditControl = _search_method("EditControl")

    # --- properties ---

    Name = _element_property("Name")
    ClassName = _element_property("ClassName")
    ControlTypeName = _element_property("ControlTypeName")
    NativeWindowHandle = _element_property("NativeWindowHandle")
    runtimeid = _element_property("runtimeid")

    @property
    def BoundingRectangle(self):
        rect = self._element().rect
        return qyb_desktop.Rect(rect.left, rect.top, rect.right, rect.bottom)

    # --- tree ---

    def GetChildren(self):
        node = self._element()
        children = [Control(child) for child in node.children]
        qyb_desktop.current().record("GetChildren", node, result=len(children))
        return children

    def GetParentControl(self):
        parent = self._element().parent
        return None if parent is None else Control(parent)

    def Exists(self, maxSearchSeconds=5):
        """Whether the element is present; looks once, whatever the seconds, and never raises."""
        try:
            node = self._resolve()
            found = node is not None and node.attached()
        except Exception:
            node, found = None, False
        qyb_desktop.current().record("Exists", node, (maxSearchSeconds,), result=found)
        return found

    # --- actions ---

    def _act(self, kind, args=(), kwargs=None):
        node = self._element()
        qyb_desktop.current().record(kind, node, args, kwargs)

    def Click(self, *, x=None, y=None, pos=None, move=False):
        if pos not in _POSITIONS:
            raise ValueError(f"unknown click position {pos!r}")
        given = {"x": x, "y": y, "pos": pos, "move": move or None}
        self._act("Click", (), {k: v for k, v in given.items() if v is not None})

    def RightClick(self):
        self._act("RightClick")

    def SendKeys(self, text):
        node = self._element()
        desk = qyb_desktop.current()
        if text == "{Tab}":
            desk.press_tab()
        desk.record("SendKeys", node, (text,))

    def WheelDown(self, *, wheelTimes=1):
        self._act("WheelDown", (), {"wheelTimes": wheelTimes})

    def ShortcutSelectAll(self):
        self._element().selected = True
        self._act("ShortcutSelectAll")

    def ShortcutPaste(self):
        node = self._element()
        clip = qyb_desktop.current().clipboard
        _insert(node, "" if clip is None else clip)
        qyb_desktop.current().record("ShortcutPaste", node)

    def Input(self, text):
        node = self._element()
        _insert(node, str(text))
        qyb_desktop.current().record("Input", node, (text,))

    def Paste(self, text, *, click=True):
        node = self._element()
        _insert(node, text)
        qyb_desktop.current().record("Paste", node, (text,), {"click": click})


def _insert(node, text):
    node.text = text if node.selected else node.text + text
    node.selected = False


def ControlFromHandle(handle):
    node = qyb_desktop.current().by_handle(handle)
    if node is None:
        raise LookupError(f"no window with handle {handle!r}")
    return Control(node)


def GetFocusedControl():
    desk = qyb_desktop.current()
    return Control(desk.focus if desk.focus is not None else desk.root)


def RollIntoView(container, item):
    """Scrolls ``item`` into view within ``container``; the scrolling itself is a reaction."""
    desk = qyb_desktop.current()
    node = item._element()
    desk.record("RollIntoView", node, (container._element(),))
