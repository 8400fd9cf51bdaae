"""Shared by the runtime tests: free ports and child interpreters."""
import socket
import subprocess
import sys
import textwrap

# A gateway child outlives the Popen object that started it, by design.
STILL_RUNNING = "ignore:subprocess \\d+ is still running:ResourceWarning"

def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def python(code, *args, **kwargs):
    """Starts an interpreter on `code` with the test's environment."""
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, **kwargs)
