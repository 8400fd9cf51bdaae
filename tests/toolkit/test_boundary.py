"""A failed allocation anywhere in a native call ends in an exception or a normal result, never
in an abort, a crash or a hang: one allocation fails per run, each run in its own process."""
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

# Each run is a forked child that an alarm ends if it hangs.
pytestmark = pytest.mark.posix("os.fork and signal.alarm")

SWEEP = Path(__file__).with_name("_nomemory_sweep.py")
# Allocation points swept, [start, stop) per driver process, the drivers side by side: every
# point of the first three calls and of the client's strict reading, the first two hundred of the
# request path, and, of reading a stored connection, the points where the file is read and decoded.
WINDOWS = {
    "function": [(0, 120)],
    "method": [(0, 70)],
    "class": [(0, 80)],
    "request": [(0, 200)],
    "client": [(0, 160)],
    "settings": [(100, 160)],
}


@pytest.fixture(scope="module")
def sweeps():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    started = {(kind, start, stop): subprocess.Popen([sys.executable, str(SWEEP), kind, str(start), str(stop)],
                                                     env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                                     text=True)
               for kind, windows in WINDOWS.items() for start, stop in windows}
    reports = {}
    for key, driver in started.items():
        out, err = driver.communicate(timeout=600)
        assert driver.returncode == 0, err
        reports[key] = json.loads(out)
    return reports


@pytest.mark.parametrize("kind", WINDOWS)
def test_each_failed_allocation_ends_in_an_exception_or_a_result(sweeps, kind):
    reports = [sweeps[(kind, start, stop)] for start, stop in WINDOWS[kind]]
    assert [failure for r in reports for failure in r["failures"]] == []
    assert sum(r["runs"] for r in reports) == sum(stop - start for start, stop in WINDOWS[kind])
    assert sum(r["exceptions"] for r in reports) > 0 and sum(r["normal"] for r in reports) > 0
    for r in reports:
        # The harness itself: a run that fails nothing gives what the plain call gives.
        assert r["control"] == [0, r["expected"]]
        # A MemoryError stays one: the binding layer's own failure reports never reach the caller.
        assert [e for e in r["errors"] if "pybind11" in e.lower() or "Could not allocate" in e] == []
        for result in r["results"]:
            # A normal result is the right one, or for the gateway its answer to an internal failure.
            assert result == r["expected"] or (
                kind == "request" and result.startswith("(b'HTTP/1.0 500 Internal Server Error'")), result
