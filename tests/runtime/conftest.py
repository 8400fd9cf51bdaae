"""The gateway runtime's tests: a home directory of their own, real child processes reaped."""
import ctypes
import os
import signal
import socket
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import qybridge4.cli.remote as remote

PYTHON_DIR = Path(remote.__file__).resolve().parents[2]
PR_SET_CHILD_SUBREAPER = 36
# A gateway child outlives the Popen object that started it, by design.
STILL_RUNNING = "ignore:subprocess \\d+ is still running:ResourceWarning"


@pytest.fixture(scope="session", autouse=True)
def subreaper():
    """Orphaned gateway children come back to this process, which reaps them."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")


@pytest.fixture
def home(tmp_path, monkeypatch):
    """HOME and PYTHONPATH for this process and the children it starts; the per-user directory."""
    monkeypatch.setenv("HOME", str(tmp_path))
    monkeypatch.setenv("PYTHONPATH", str(PYTHON_DIR))
    return tmp_path / ".qybridge"


@pytest.fixture
def reap():
    """Kills and reaps, at the end of the test, the processes whose ids it is given."""
    pids = []
    yield pids.append
    for pid in pids:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        try:
            os.waitpid(pid, 0)
        except ChildProcessError:
            pass


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def python(code, *args, **kwargs):
    """Starts an interpreter on `code` with the test's environment."""
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, **kwargs)
