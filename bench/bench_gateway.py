"""Gateway command throughput: POST /v1/commands with an instant worker beside a bare server.

Run on demand:  QYB_BUILD_DIR=/path/to/build /usr/bin/python3 bench/bench_gateway.py [--seconds 3]

Each server runs in a child process of its own: the gateway (create_server with a router whose
worker answers at once) and a bare ThreadingHTTPServer whose handler reads the body and answers a
fixed JSON body. The load comes from other processes, raw-socket clients that each send one
request per connection, as the gateway's clients do, at 1, 8 and 32 concurrent clients. For each
it prints requests per second, p50/p99 latency and the server's CPU time per request (psutil on
the server process), then the gateway's figures as ratios of the bare server's.

With 8 or more clients the listen backlog of 5 (the base server's) overflows, and the kernel
resends the refused connects after 1 s, for both servers alike; so besides the raw figures it
prints the rate of the requests that did not stall (latency below 0.9 s), and how many stalled
or were reset.
"""
import argparse
import http.server
import json
import multiprocessing
import os
import socket
import statistics
import subprocess
import sys
import threading
import time
import uuid
from pathlib import Path

import psutil

ROOT = Path(__file__).resolve().parents[1]
BUILD = Path(os.environ.get("QYB_BUILD_DIR", ROOT / "build")).resolve()
sys.path.insert(0, str(BUILD / "python"))

TOKEN = "bench-token"
STALL = 0.9
ANSWER = json.dumps({"protocol_version": 1, "request_id": str(uuid.uuid4()),
                     "command": {"exit_code": 0, "result": {"ok": True}, "stderr": ""},
                     "duration_ms": 0}, separators=(",", ":")).encode()


# ---- servers (child processes) ------------------------------------------------------------

class BareHandler(http.server.BaseHTTPRequestHandler):
    def log_message(self, format, *args):
        pass

    def do_POST(self):
        self.rfile.read(int(self.headers["Content-Length"]))
        self.send_response(200)
        self.send_header("Content-Type", "application/json; charset=utf-8")
        self.send_header("Content-Length", str(len(ANSWER)))
        self.end_headers()
        self.wfile.write(ANSWER)


class BareServer(http.server.ThreadingHTTPServer):
    daemon_threads = True


def gateway_server():
    import qybridge4.cli.remote as remote

    record = {"nickname": "alice", "instance_id": "w-alice"}
    response = {"instance_id": "w-alice", "nickname": "alice", "exit_code": 0, "result": {"ok": True},
                "stderr": ""}
    router = remote.RemoteRouter(find=lambda nickname: record, execute=lambda r, argv, timeout: response,
                                 list_all=lambda: [])
    return remote.create_server(tokens={"bench": TOKEN}, port=0, router=router)


def serve(kind):
    server = gateway_server() if kind == "gateway" else BareServer(("127.0.0.1", 0), BareHandler)
    print(server.server_address[1], flush=True)
    server.serve_forever()


# ---- load (other processes) ---------------------------------------------------------------

def request_bytes():
    body = json.dumps({"protocol_version": 1, "request_id": str(uuid.uuid4()), "nickname": "alice",
                       "argv": ["--json", "message", "send", "--to", "bob", "--text", "hello"],
                       "client": {"client_id": str(uuid.uuid4()), "client_name": "bench",
                                  "cli_version": "4.0.0"}}).encode()
    head = (f"POST /v1/commands HTTP/1.0\r\nHost: 127.0.0.1\r\nAuthorization: Bearer {TOKEN}\r\n"
            f"Content-Type: application/json\r\nContent-Length: {len(body)}\r\n\r\n")
    return head.encode() + body


def client_loop(port, data, deadline, latencies, errors):
    while (start := time.perf_counter()) < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port)) as sock:
                sock.sendall(data)
                chunks = []
                while chunk := sock.recv(65536):
                    chunks.append(chunk)
            answer = b"".join(chunks)
            if not answer.startswith(b"HTTP/1.0 200 "):
                raise RuntimeError(answer[:80])
            latencies.append(time.perf_counter() - start)
        except OSError:
            errors.append(1)


def load_process(port, threads, seconds, start_at, out):
    data = request_bytes()
    latencies, errors = [], []
    time.sleep(max(0.0, start_at - time.time()))
    deadline = time.perf_counter() + seconds
    workers = [threading.Thread(target=client_loop, args=(port, data, deadline, latencies, errors))
               for _ in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    out.put((latencies, len(errors)))


def run_load(port, clients, seconds):
    processes = min(clients, 8)
    split = [clients // processes + (i < clients % processes) for i in range(processes)]
    out = multiprocessing.Queue()
    start_at = time.time() + 0.3
    procs = [multiprocessing.Process(target=load_process, args=(port, n, seconds, start_at, out)) for n in split]
    for p in procs:
        p.start()
    results = [out.get() for _ in procs]
    for p in procs:
        p.join()
    latencies = sorted(x for lat, _ in results for x in lat)
    return latencies, sum(e for _, e in results)


def measure(kind, clients, seconds):
    child = subprocess.Popen([sys.executable, __file__, "--serve", kind], stdout=subprocess.PIPE, text=True)
    try:
        port = int(child.stdout.readline())
        server = psutil.Process(child.pid)
        run_load(port, clients, 0.5)  # warm-up
        before = server.cpu_times()
        latencies, errors = run_load(port, clients, seconds)
        after = server.cpu_times()
    finally:
        child.terminate()
        child.wait()
    cpu = (after.user - before.user) + (after.system - before.system)
    fast = [x for x in latencies if x < STALL]
    return {
        "rate": len(latencies) / seconds,
        "p50": statistics.median(latencies) * 1e3,
        "p99": latencies[int(len(latencies) * 0.99) - 1] * 1e3,
        "cpu_us": cpu / len(latencies) * 1e6,
        "fast_rate": len(fast) / seconds,
        "stalled": len(latencies) - len(fast),
        "errors": errors,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--clients", default="1,8,32")
    parser.add_argument("--serve", choices=["gateway", "bare"], help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        serve(args.serve)
        return
    print(f"{'clients':>7} {'server':>8} {'req/s':>8} {'p50 ms':>7} {'p99 ms':>8} {'cpu us/req':>10} "
          f"{'<0.9s req/s':>11} {'stalled':>7} {'reset':>5}")
    for clients in map(int, args.clients.split(",")):
        figures = {}
        for kind in ("bare", "gateway"):
            f = figures[kind] = measure(kind, clients, args.seconds)
            print(f"{clients:>7} {kind:>8} {f['rate']:>8.0f} {f['p50']:>7.2f} {f['p99']:>8.1f} "
                  f"{f['cpu_us']:>10.0f} {f['fast_rate']:>11.0f} {f['stalled']:>7} {f['errors']:>5}")
        g, b = figures["gateway"], figures["bare"]
        print(f"{clients:>7} {'ratio':>8} {g['rate'] / b['rate']:>8.2f} {'':>7} {'':>8} "
              f"{g['cpu_us'] / b['cpu_us']:>10.2f} {g['fast_rate'] / b['fast_rate']:>11.2f}")


if __name__ == "__main__":
    main()
