"""Puts the built package tree and the toolkit's test module on the path; skips on Windows what
needs POSIX; points the user's home at a test's own directory.

QYB_BUILD_DIR selects the build directory (default: build/ in the checkout).
"""
import os
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
BUILD = Path(os.environ.get("QYB_BUILD_DIR", ROOT / "build")).resolve()
PYTHON_DIR = BUILD / "python"

for entry in (BUILD / "tests", PYTHON_DIR):
    if str(entry) not in sys.path:
        sys.path.insert(0, str(entry))


def pytest_collection_modifyitems(config, items):
    """A test marked `posix("what")` (itself, its class or its module) is skipped on Windows,
    the reason naming what it needs. A mark without that word is refused everywhere."""
    for item in items:
        needs = []
        for mark in item.iter_markers("posix"):
            if len(mark.args) != 1 or not isinstance(mark.args[0], str) or mark.kwargs:
                raise pytest.UsageError(f'{item.nodeid}: mark it posix("what it needs")')
            if mark.args[0] not in needs:
                needs.append(mark.args[0])
        if needs and os.name == "nt":
            item.add_marker(pytest.mark.skip(reason="needs POSIX: " + "; ".join(needs)))


@pytest.fixture
def set_home(monkeypatch):
    """set_home(path): the user's home is `path` for this process and the children it starts.
    Windows' Path.home() reads USERPROFILE, not HOME: without it a test there would work in the
    real profile's .qybridge."""
    def point(path):
        monkeypatch.setenv("HOME", str(path))
        monkeypatch.setenv("USERPROFILE", str(path))
        return path
    return point
