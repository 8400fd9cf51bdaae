"""Display geometry."""


def get_monitor_info():
    """One monitor of 1920x1080 with its work area above a 40-pixel task bar."""
    return [{"Monitor": (0, 0, 1920, 1080), "Work": (0, 0, 1920, 1040), "Flags": 1}]
