"""Threads and descriptors of a gateway while clients hold request heads open, and after.

Run on demand:  QYB_BUILD_DIR=/path/to/build /usr/bin/python3 bench/bench_held_heads.py [--clients 200] [--limit 2]

The gateway runs in a child process with its head time-out shortened to --limit seconds. This
process opens --clients connections, each sending a request line and one header but never the
blank line, then checks that a valid request is still answered. It prints the child's threads and
open descriptors (psutil) at the start, while the heads are held, and once the gateway has closed
them all, with the time from the first connect to the last close.
"""
import argparse
import http.client
import os
import socket
import subprocess
import sys
import time
from pathlib import Path

import psutil

ROOT = Path(__file__).resolve().parents[1]
BUILD = Path(os.environ.get("QYB_BUILD_DIR", ROOT / "build")).resolve()

CHILD = """
import sys
import qybridge4.cli.remote as remote
remote.GatewayRequestHandler.head_timeout = float(sys.argv[1])
server = remote.create_server(tokens={"t": "secret"}, port=0)
print(server.server_address[1], flush=True)
server.serve_forever(poll_interval=0.05)
"""

HEAD = b"GET /v1/health HTTP/1.1\r\nHost: x\r\n"


def figures(process):
    return process.num_threads(), process.num_fds()


def settle(process, want_threads, seconds=30.0):
    """Waits until the child has `want_threads` threads (or the time is up); its figures then."""
    end = time.monotonic() + seconds
    while process.num_threads() != want_threads and time.monotonic() < end:
        time.sleep(0.01)
    return figures(process)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--clients", type=int, default=200)
    parser.add_argument("--limit", type=float, default=2.0)
    args = parser.parse_args()

    env = dict(os.environ, PYTHONPATH=str(BUILD / "python"))
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(args.limit)], env=env, stdout=subprocess.PIPE)
    try:
        port = int(child.stdout.readline())
        process = psutil.Process(child.pid)
        start = figures(process)

        began = time.monotonic()
        held = []
        for _ in range(args.clients):
            sock = socket.create_connection(("127.0.0.1", port), timeout=60)
            sock.sendall(HEAD)
            held.append(sock)
            time.sleep(0.002)  # lets the accept loop keep the listen backlog of 5 from filling
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
        conn.request("GET", "/v1/health")
        served = conn.getresponse().status
        conn.close()
        during = figures(process)

        answered = 0
        for sock in held:
            try:
                answered += bool(sock.recv(1))
            except ConnectionResetError:
                pass
        closed_after = time.monotonic() - began
        for sock in held:
            sock.close()
        after = settle(process, start[0])
    finally:
        child.kill()
        child.wait()

    print(f"{args.clients} held heads, head time-out {args.limit:g} s")
    print(f"  valid request while held: HTTP {served}")
    print(f"  threads      start {start[0]:5d}   during {during[0]:5d}   after {after[0]:5d}")
    print(f"  descriptors  start {start[1]:5d}   during {during[1]:5d}   after {after[1]:5d}")
    print(f"  all closed by the gateway {closed_after:.2f} s after the first connect; "
          f"{answered} got bytes before the close")


if __name__ == "__main__":
    main()
