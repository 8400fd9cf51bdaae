"""The gateway runtime's tests: a home directory of their own, real child processes reaped."""
import ctypes
import os
import threading
from pathlib import Path

import psutil
import pytest

import qybridge4.cli.remote as remote

PYTHON_DIR = Path(remote.__file__).resolve().parents[2]
PR_SET_CHILD_SUBREAPER = 36


@pytest.fixture(scope="session", autouse=True)
def subreaper():
    """Orphaned gateway children come back to this process, which reaps them. Linux's prctl;
    Windows keeps no ended process for a parent to reap."""
    if os.name == "nt":
        return
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")


@pytest.fixture
def home(tmp_path, monkeypatch, set_home):
    """The home and PYTHONPATH for this process and the children it starts; the per-user directory."""
    set_home(tmp_path)
    monkeypatch.setenv("PYTHONPATH", str(PYTHON_DIR))
    return tmp_path / ".qybridge"


@pytest.fixture
def reap():
    """Kills and reaps, at the end of the test, the processes whose ids it is given."""
    processes = []
    yield lambda pid: processes.append(psutil.Process(pid))
    for process in processes:
        try:
            process.kill()  # refused for a process id that now names another process
        except psutil.NoSuchProcess:
            pass
        if os.name == "nt":  # nothing to reap there, and os.waitpid would take the id for a handle
            psutil.wait_procs([process], timeout=10)
            continue
        try:
            os.waitpid(process.pid, 0)
        except ChildProcessError:
            pass


@pytest.fixture
def serving():
    """Runs HTTP servers in threads until the end of the test; gives each one's port."""
    servers = []

    def serve(server):
        threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()
        servers.append(server)
        return server.server_address[1]

    yield serve
    for server in servers:
        server.shutdown()
        server.server_close()
