"""The Win32 message numbers the package sends."""

WM_SETTEXT = 0x000C
BM_CLICK = 0x00F5
