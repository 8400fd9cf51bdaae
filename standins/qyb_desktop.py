"""An in-memory desktop behind the package's UI services (``qybridge4.uia``, ``FindWindow``,
``SetClipboardText``, ``Menu``, ``qylog``, ``win32gui.SendMessage``), and a fake clock.

A test installs a fresh desktop, builds a scene of nodes, registers reactions, runs the code
under test and reads the one ordered event log::

    import qyb_desktop
    from qyb_desktop import Node, Rect

    desk = qyb_desktop.install(step=0.5)          # new current desktop; its clock ticks 0.5 s a reading
    wnd = desk.window("朋友圈", "mmui::SNSWindow", [
        Node("ToolBarControl", ClassName="mmui::SNSWindowToolBar", children=[
            Node("ButtonControl", Name="发表"), Node("ButtonControl", Name="刷新")]),
        Node("ButtonControl", Name="关闭", rect=Rect(560, 0, 600, 30)),
    ])
    desk.on("Click", wnd.find(Name="刷新"), lambda event: wnd.add(Node("TextControl", Name="done")))
    monkeypatch.setattr(moment, "time", desk.clock)   # time(), monotonic() and sleep() of the module
    ...
    assert [str(e) for e in desk.log.of("Click")] == ["Click ButtonControl '刷新'"]

Nodes: ``Node(control_type, Name=, ClassName=, rect=, children=)``; ``add``, ``remove`` (the
subtree is gone for good: handles to it raise ``LookupError``), ``find(**criteria)`` for tests,
``text`` (what ``Input``, ``Paste``, ``ShortcutPaste`` and ``WM_SETTEXT`` wrote). Every node has
a stable ``runtimeid`` and a ``NativeWindowHandle``. Top-level windows are children of
``desk.root``; ``FindWindow`` looks only there.

Handles (``uia.Control``) re-resolve on every use: a search (pre-order, descendants only, every
depth when ``searchDepth`` is not given) stands for its criteria, also beneath a handle that
matches nothing yet; ``Exists`` looks once, whatever its seconds, and never raises; any other read
or action on a handle that matches nothing raises ``LookupError``. ``Click`` takes ``x``, ``y``,
``pos="rightbottom"`` and ``move``, ``WheelDown`` its ``wheelTimes`` and ``Paste`` its ``click`` as
keywords only, as the module passes them.

The clock (``desk.clock``) does not move by itself: each reading advances it by ``step`` (0 by
default) and ``sleep`` by its argument, so a polling loop needs a step to time out. Both clocks
share that time line; ``desk.clock.reads`` counts the readings of each ("time", "monotonic"),
which tells a test which clock a wait runs on.

Log: every action, ``FindWindow``, ``GetChildren``, ``Exists``, ``RollIntoView``, ``SendMessage``,
``SetClipboardText``, ``Menu`` construction, clock sleep and ``qylog.debug`` appends an
``Event(kind, target, args, kwargs, result)``; ``desk.log.of(*kinds)`` filters, ``str(event)``
is a short text form.

Reactions: ``desk.on(kind, target, fn)`` calls ``fn(event)`` after each logged event of that
kind on that node (``target=None``: any target); an exception that ``fn`` raises leaves the
service's call, which is how a test makes an action, or even ``Exists``, fail.
``desk.focus_ring(nodes)`` makes "{Tab}" walk the focus. Ready scenes of the WeChat windows,
with their reactions, are in ``qyb_wechat``.

``languages_without_all()`` puts a ``qybridge4.languages`` without ``__all__`` in place.
"""

import collections
import itertools
import math
import operator
import sys
import types

from typing import NamedTuple

_CONTROL_TYPES = frozenset({
    "WindowControl", "ToolBarControl", "ButtonControl", "ListControl", "ListItemControl",
    "GroupControl", "TextControl", "RadioButtonControl", "CheckBoxControl", "EditControl",
    "MenuControl", "MenuItemControl", "PaneControl", "ComboBoxControl", "ImageControl",
})


class Rect:
    """Screen pixels, as the UI wrapper's ``BoundingRectangle`` gives them."""

    __slots__ = ("left", "top", "right", "bottom")

    def __init__(self, left=0, top=0, right=0, bottom=0):
        self.left, self.top, self.right, self.bottom = left, top, right, bottom

    def width(self):
        return self.right - self.left

    def height(self):
        return self.bottom - self.top

    def __eq__(self, other):
        if not isinstance(other, Rect):
            return NotImplemented
        return (self.left, self.top, self.right, self.bottom) == (
            other.left, other.top, other.right, other.bottom)

    def __repr__(self):
        return f"Rect({self.left}, {self.top}, {self.right}, {self.bottom})"

    def __str__(self):
        return f"({self.left},{self.top},{self.right},{self.bottom})[{self.width()}x{self.height()}]"


_ids = itertools.count(1)


class Node:
    """One element of the scene."""

    def __init__(self, control_type, *, Name="", ClassName="", rect=None, children=()):
        if control_type not in _CONTROL_TYPES:
            raise ValueError(f"unknown control type {control_type!r}")
        serial = next(_ids)
        self.ControlTypeName = control_type
        self.Name = Name
        self.ClassName = ClassName
        self.rect = rect if rect is not None else Rect(0, 0, 100, 30)
        self.runtimeid = (42, serial)
        self.NativeWindowHandle = 0x10000 + serial
        self.text = ""
        self.selected = False  # text selected by ShortcutSelectAll, replaced by the next input
        self.parent = None
        self.alive = True
        self.children = []
        for child in children:
            self.add(child)

    def add(self, child, index=None):
        if child.parent is not None:
            child.parent.children.remove(child)
        child.parent = self
        self.children.insert(len(self.children) if index is None else index, child)
        return child

    def detach(self):
        """Leaves the tree but stays alive (a cell scrolled out of a virtual list)."""
        if self.parent is not None:
            self.parent.children.remove(self)
            self.parent = None

    def remove(self):
        """Leaves the tree for good: every handle to the subtree stops matching."""
        self.detach()
        for node in self.walk():
            node.alive = False

    def walk(self, depth=None):
        """The node and its descendants down to ``depth`` levels, in pre-order."""
        yield self
        if depth is None or depth > 0:
            for child in list(self.children):
                yield from child.walk(None if depth is None else depth - 1)

    def attached(self):
        node = self
        while node.parent is not None:
            node = node.parent
        return isinstance(node, _Root)

    def matches(self, control_type=None, ClassName=None, Name=None):
        return ((control_type is None or self.ControlTypeName == control_type)
                and (ClassName is None or self.ClassName == ClassName)
                and (Name is None or self.Name == Name))

    def search(self, control_type=None, *, ClassName=None, Name=None, depth=None):
        """The first descendant (not the node itself) that matches, or None."""
        for node in itertools.islice(self.walk(depth), 1, None):
            if node.matches(control_type, ClassName, Name):
                return node
        return None

    def find(self, control_type=None, **criteria):
        """``search`` for tests: a missing node is a test error."""
        node = self.search(control_type, **criteria)
        if node is None:
            raise LookupError(f"no {control_type or 'node'} {criteria} under {self!r}")
        return node

    def __repr__(self):
        label = f"{self.ControlTypeName} {self.Name!r}"
        return f"<{label} {self.ClassName}>" if self.ClassName else f"<{label}>"


class _Root(Node):
    def __init__(self):
        super().__init__("PaneControl", Name="Desktop", ClassName="#32769", rect=Rect(0, 0, 1920, 1080))


class Event(NamedTuple):
    kind: str
    target: object = None
    args: tuple = ()
    kwargs: dict = {}
    result: object = None

    def __str__(self):
        parts = [self.kind]
        if isinstance(self.target, Node):
            parts.append(_label(self.target))
        parts += [_label(a) if isinstance(a, Node) else repr(a) for a in self.args]
        parts += [f"{k}={v!r}" for k, v in self.kwargs.items()]
        return " ".join(parts)


def _label(node):
    """"ButtonControl '发表'", or by class name when the node has no name."""
    return f"{node.ControlTypeName} {node.Name!r}" if node.Name else f"{node.ControlTypeName} {node.ClassName}"


class Log(list):
    """The events in the order they happened."""

    def of(self, *kinds):
        return [event for event in self if event.kind in kinds]

    def kinds(self):
        return [event.kind for event in self]


class FakeClock:
    """Stands in for the ``time`` module: ``time``, ``monotonic`` and ``sleep``.

    Each reading returns the current value and then advances the clock by ``step`` seconds, so
    a loop that polls the clock without sleeping ends; ``sleep`` advances by its argument and
    records it in ``sleeps`` (and in the desktop's log), refusing what ``time.sleep`` refuses.
    ``reads`` counts the readings of each clock by its function's name.
    A loop that waits for a clock that does not move (step 0) is stopped after ``limit``
    readings with a RuntimeError, so a test fails instead of hanging.
    """

    EPOCH = 1_700_000_000.0
    limit = 100_000

    def __init__(self, step=0.0, record=None):
        self.step = step
        self.elapsed = 0.0
        self.readings = 0
        self.reads = collections.Counter()
        self.sleeps = []
        self._record = record  # the desktop's: logs the sleep and runs its reactions

    def _read(self):
        value = self.elapsed
        self.readings += 1
        if self.readings > self.limit:
            raise RuntimeError(f"the fake clock was read {self.limit} times: a loop waits for time that never passes")
        self.elapsed += self.step
        return value

    def time(self):
        self.reads["time"] += 1
        return self.EPOCH + self._read()

    def monotonic(self):
        self.reads["monotonic"] += 1
        return 1000.0 + self._read()

    def sleep(self, seconds):
        self.elapsed += _sleep_length(seconds)
        self.sleeps.append(seconds)
        if self._record is not None:
            self._record("sleep", None, (seconds,))


def _sleep_length(seconds):
    # The checks and texts of time.sleep.
    if isinstance(seconds, float):
        if math.isnan(seconds):
            raise ValueError("Invalid value NaN (not a number)")
        value = seconds
    else:
        value = operator.index(seconds)
    if value < 0:
        raise ValueError("sleep length must be non-negative")
    if value > 9.2e18 / 1e9:
        raise OverflowError("timestamp out of range for platform time_t")
    return float(value)


class Desktop:
    """The scene, the event log, the reactions, the focus, the clipboard and the clock."""

    def __init__(self, step=0.0):
        self.root = _Root()
        self.log = Log()
        self.clock = FakeClock(step, self.record)
        self.clipboard = None
        self.focus = None
        self._ring = []
        self._reactions = []

    # --- building the scene ---

    def window(self, Name, ClassName, children=(), rect=None):
        """A new top-level window."""
        return self.root.add(Node("WindowControl", Name=Name, ClassName=ClassName,
                                  rect=rect or Rect(100, 100, 700, 900), children=children))

    def by_handle(self, handle):
        for node in self.root.walk():
            if node.NativeWindowHandle == handle:
                return node
        return None

    def on(self, kind, target, fn):
        """Calls ``fn(event)`` after every ``kind`` event on ``target`` (None: any target)."""
        self._reactions.append((kind, target, fn))
        return fn

    def focus_ring(self, nodes, start=None):
        """"{Tab}" moves the focus to the next of ``nodes``, round; the focus starts at ``start``."""
        self._ring = list(nodes)
        self.focus = start

    # --- what the services call ---

    def record(self, kind, target=None, args=(), kwargs=None, result=None):
        event = Event(kind, target, tuple(args), dict(kwargs or {}), result)
        self.log.append(event)
        for react_kind, react_target, fn in list(self._reactions):
            if react_kind == kind and (react_target is None or react_target is target):
                fn(event)
        return event

    def find_window(self, classname, name):
        for node in self.root.children:
            if node.matches(None, classname, name):
                return node.NativeWindowHandle
        return 0

    def press_tab(self):
        if self._ring:
            at = self._ring.index(self.focus) + 1 if self.focus in self._ring else 0
            self.focus = self._ring[at % len(self._ring)]


_current = Desktop()


def current():
    return _current


def install(step=0.0):
    """A fresh desktop becomes the one behind every service; the logger's records are cleared."""
    global _current
    _current = Desktop(step)
    from qybridge4.logger import qylog
    qylog.records.clear()
    return _current


def languages_without_all():
    """Puts in place a ``qybridge4.languages`` with the same names but no ``__all__``, so a star
    import takes every name without a leading underscore; returns the module it replaced."""
    import qybridge4
    import qybridge4.languages as original
    variant = types.ModuleType("qybridge4.languages")
    for name, value in vars(original).items():
        if name not in ("__all__", "__name__", "__spec__", "__loader__"):
            setattr(variant, name, value)
    sys.modules["qybridge4.languages"] = variant
    qybridge4.languages = variant
    return original


def restore_languages(original):
    import qybridge4
    sys.modules["qybridge4.languages"] = original
    qybridge4.languages = original
