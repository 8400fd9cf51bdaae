"""Shared by the runtime tests: free ports, child interpreters, registry records."""
import json
import os
import signal
import socket
import subprocess
import sys
import textwrap

# A gateway child outlives the Popen object that started it, by design.
STILL_RUNNING = "ignore:subprocess \\d+ is still running:ResourceWarning"

# The return code of a child that psutil's terminate ended: killed by SIGTERM, or on Windows,
# where psutil calls TerminateProcess, exited with SIGTERM's number.
TERMINATED = signal.SIGTERM if os.name == "nt" else -signal.SIGTERM


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def python(code, *args, **kwargs):
    """Starts an interpreter on `code` with the test's environment."""
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, **kwargs)


def registry(**changes):
    """A registry record as the start writes it, with `changes` (a value of ... drops the key)."""
    record = {"schema_version": 1, "instance_id": "ab" * 16, "pid": 4312, "process_create_time": 1796905213.87,
              "host": "127.0.0.1", "port": 8765, "public_url": None, "started_at": 1796905214.07,
              "package_version": "4.0.0", "managed_workers": []}
    record.update(changes)
    return {k: v for k, v in record.items() if v is not ...}


def ended_process():
    """The id and creation time of a process that has ended and been reaped."""
    import psutil

    child = subprocess.Popen([sys.executable, "-c", "pass"])
    created = psutil.Process(child.pid).create_time()
    child.wait()
    return child.pid, created


def own_process():
    """The id and creation time of this process: a registered process that is alive."""
    import psutil

    me = psutil.Process()
    return me.pid, me.create_time()


def write_registry(home, value):
    (home / "runtime").mkdir(parents=True, exist_ok=True)
    text = value if isinstance(value, str) else json.dumps(value)
    (home / "runtime" / "remote.json").write_text(text)
