"""Win32 window messages, delivered to the fake desktop."""

import qyb_desktop
import win32con


def SendMessage(hwnd, msg, wparam, lparam, /):
    desk = qyb_desktop.current()
    node = desk.by_handle(hwnd)
    if node is not None and msg == win32con.WM_SETTEXT:
        if not isinstance(lparam, str):
            raise TypeError(f"WM_SETTEXT text must be str, not {type(lparam).__name__}")
        node.text = lparam
    result = 1 if node is not None and msg == win32con.WM_SETTEXT else 0
    desk.record("SendMessage", node, (hwnd, msg, wparam, lparam), result=result)
    return result
