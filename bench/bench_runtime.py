"""Gateway runtime: start_gateway until it returns, and status_gateway with its probe.

Run on demand:  QYB_BUILD_DIR=/path/to/build /usr/bin/python3 bench/bench_runtime.py [--starts 15] [--probes 300]

Everything runs under a temporary HOME, on a free port.

- Start: start_gateway (with a given token, so two state files are synced) until it returns, then
  stop_gateway, untimed. Its floor is what no start can avoid: the interpreter run with -c,
  importing qybridge4.cli.remote and binding the socket, timed from before the process is created
  to the bind (the child reports the monotonic clock, which the whole machine shares). Printed:
  both medians and the median excess of the start over the floor.
- Status: status_gateway of a running gateway (lock, registry, process lookup, probe) beside one
  plain urllib GET of /v1/health on the same gateway. Printed: both medians and their ratio.
"""
import argparse
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request
import warnings
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BUILD = Path(os.environ.get("QYB_BUILD_DIR", ROOT / "build")).resolve()
PYTHON_DIR = BUILD / "python"
sys.path.insert(0, str(PYTHON_DIR))

FLOOR = """
import socket, sys, time
import qybridge4.cli.remote
sock = socket.socket()
sock.bind(("127.0.0.1", int(sys.argv[1])))
sock.listen()
print(time.monotonic(), flush=True)
"""


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def floor_once():
    began = time.monotonic()
    child = subprocess.Popen([sys.executable, "-c", FLOOR, str(free_port())], stdout=subprocess.PIPE, text=True)
    bound = float(child.stdout.readline())
    child.communicate()
    return bound - began


def start_once(remote):
    began = time.monotonic()
    remote.start_gateway(port=free_port(), token="bench-token")
    took = time.monotonic() - began
    remote.stop_gateway()
    return took


def ms(seconds):
    return f"{seconds * 1000:8.2f} ms"


def bench_start(remote, runs):
    floors, starts = [], []
    for _ in range(runs):
        floors.append(floor_once())
        starts.append(start_once(remote))
    floor, start = statistics.median(floors), statistics.median(starts)
    excess = statistics.median(s - f for s, f in zip(starts, floors))
    print(f"start_gateway     median {ms(start)}   (min {ms(min(starts))})")
    print(f"floor (-c, bind)  median {ms(floor)}   (min {ms(min(floors))})")
    print(f"excess over floor median {ms(excess)}   goal <= 60 ms")


def timed_pairs(first, second, runs):
    """Medians of both, timed in turn so that a busy machine slows both alike."""
    a, b = [], []
    for _ in range(runs):
        for function, samples in ((first, a), (second, b)):
            began = time.perf_counter()
            function()
            samples.append(time.perf_counter() - began)
    return statistics.median(a), statistics.median(b)


def bench_status(remote, runs):
    record, _ = remote.start_gateway(port=free_port(), token="bench-token")
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    url = f"http://127.0.0.1:{record['port']}/v1/health"

    def plain_get():
        with opener.open(url, timeout=1.0) as response:
            response.read()

    try:
        for _ in range(20):  # warm both paths
            remote.status_gateway()
            plain_get()
        status, plain = timed_pairs(remote.status_gateway, plain_get, runs)
    finally:
        remote.stop_gateway()
    print(f"status_gateway    median {ms(status)}")
    print(f"urllib GET health median {ms(plain)}")
    print(f"ratio             {status / plain:8.2f} x      goal <= 1.5 x")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--starts", type=int, default=15)
    parser.add_argument("--probes", type=int, default=300)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as home:
        os.environ["HOME"] = os.environ["USERPROFILE"] = home  # USERPROFILE: Windows' home
        os.environ["PYTHONPATH"] = str(PYTHON_DIR)
        import qybridge4.cli.remote as remote

        # Each started gateway outlives the Popen object that made it, by design.
        warnings.filterwarnings("ignore", "subprocess .* is still running", ResourceWarning)
        bench_start(remote, args.starts)
        bench_status(remote, args.probes)


if __name__ == "__main__":
    main()
