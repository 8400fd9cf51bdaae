"""Window lookup and the clipboard, on the fake desktop."""

import qyb_desktop


def FindWindow(*, classname=None, name=None):
    """The handle of a top-level window with that class and title, or 0."""
    desk = qyb_desktop.current()
    kwargs = {key: value for key, value in (("classname", classname), ("name", name)) if value is not None}
    handle = desk.find_window(classname, name)
    desk.record("FindWindow", None, (), kwargs, handle)
    return handle


def SetClipboardText(text):
    if not isinstance(text, str):
        raise TypeError(f"clipboard text must be str, not {type(text).__name__}")
    desk = qyb_desktop.current()
    desk.clipboard = text
    desk.record("SetClipboardText", None, (text,))
