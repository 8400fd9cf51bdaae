"""The gateway client beside the same exchanges written in plain Python.

Run on demand:  QYB_BUILD_DIR=/path/to/build /usr/bin/python3 bench/bench_client.py [--upload-mib 100]

- execute: command round trips per second against a gateway (its own process, an instant
  worker), RemoteClient.execute beside urllib.request + json.loads with the two hooks written in
  Python + CommandResponse.from_dict, alternating call by call; goal >= 0.95x on the median.
- _strict_json on a 1 MiB object-heavy answer beside json.loads with the same hooks written in
  Python, best of alternating runs; goal >= 1.2x.
- upload of a file (100 MiB by default) beside plain Python reading, hashing and posting it with
  urllib.request and the same headers, interleaved; bandwidth goal >= 0.95x on the median. The
  gateway stores uploads in --store-dir (/dev/shm where it exists), so its disk does not drown
  the client's share. A fresh child process measures the client's peak RSS growth and
  tracemalloc peak during one upload; goal: at most 1.1x the file size.
"""
import argparse
import hashlib
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
import urllib.parse
import urllib.request
import uuid
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BUILD = Path(os.environ.get("QYB_BUILD_DIR", ROOT / "build")).resolve()
sys.path.insert(0, str(BUILD / "python"))

from qybridge4.cli import remote  # noqa: E402

sys.path.insert(0, str(ROOT / "tests" / "client"))
from strict_json_reference import reference_strict_json  # noqa: E402

MiB = 1048576
TOKEN = "bench-token"
CLIENT_ID = str(uuid.uuid4())

GATEWAY = r"""
import sys, tempfile
sys.path.insert(0, sys.argv[1])
tempfile.tempdir = sys.argv[2]
from qybridge4.cli import remote
def find(nickname):
    return {"nickname": nickname or "alice", "instance_id": "w"}
def execute(record, argv, timeout):
    return {"instance_id": "w", "nickname": record["nickname"], "exit_code": 0,
            "result": {"argv": argv}, "stderr": ""}
router = remote.RemoteRouter(find=find, execute=execute, list_all=lambda: [])
server = remote.create_server(tokens={"admin": sys.argv[3]}, port=0, router=router)
print(server.server_address[1], flush=True)
server.serve_forever()
"""


def start_gateway(work):
    child = subprocess.Popen([sys.executable, "-c", GATEWAY, str(BUILD / "python"), str(work), TOKEN],
                             stdout=subprocess.PIPE, text=True)
    port = int(child.stdout.readline())
    return child, f"http://127.0.0.1:{port}"


# --- the plain-Python side ---

plain_json = reference_strict_json


def plain_execute(base, argv, request_id):
    body = json.dumps({"protocol_version": 1, "request_id": request_id, "nickname": None, "argv": list(argv),
                       "client": {"client_id": CLIENT_ID, "client_name": "bench", "cli_version": "1"}},
                      ensure_ascii=False, separators=(",", ":")).encode("utf-8")
    request = urllib.request.Request(base + "/v1/commands", data=body, method="POST", headers={
        "Accept": "application/json", "Authorization": "Bearer " + TOKEN,
        "Content-Type": "application/json; charset=utf-8", "Idempotency-Key": request_id})
    with urllib.request.urlopen(request, timeout=60) as response:
        raw = response.read(MiB + 1)
    return remote.CommandResponse.from_dict(plain_json(raw))


def plain_upload(base, path):
    with open(path, "rb") as stream:
        body = stream.read()
    request = urllib.request.Request(base + "/v1/uploads", data=body, method="POST", headers={
        "Accept": "application/json", "Authorization": "Bearer " + TOKEN,
        "Content-Type": "application/octet-stream", "Content-Length": str(len(body)),
        "X-Filename-UTF8": urllib.parse.quote(Path(path).name, safe=""),
        "X-Content-SHA256": hashlib.sha256(body).hexdigest()})
    with urllib.request.urlopen(request, timeout=60) as response:
        return plain_json(response.read(MiB + 1))


# --- the three comparisons ---

def bench_execute(base, calls):
    """Per-call times, the two sides alternating call by call so that load drifts hit both."""
    client = remote.RemoteClient(base, TOKEN)
    argv = ["message", "send", "--to", "bob", "--text", "hello"]
    times = {"client": [], "plain": []}
    for i in range(calls + 50):  # the first 50 pairs warm both sides up and are not counted
        for kind in ("client", "plain") if i % 2 == 0 else ("plain", "client"):
            rid = str(uuid.uuid4())
            start = time.perf_counter()
            if kind == "client":
                client.execute(None, argv, request_id=rid, client_id=CLIENT_ID, client_name="bench",
                               cli_version="1")
            else:
                plain_execute(base, argv, rid)
            if i >= 50:
                times[kind].append(time.perf_counter() - start)
    return times


def object_heavy_answer(size=MiB):
    rows, total = [], 2
    while total < size:
        row = {"message_id": len(rows), "chat": f"chat-{len(rows) % 37}", "sender": "bob", "type": "text",
               "text": "see you at the lake at seven", "time": 1765400000.25 + len(rows),
               "read": len(rows) % 2 == 0, "tags": ["friends", "weekend"], "reply_to": None}
        rows.append(row)
        total += len(json.dumps(row, separators=(",", ":"))) + 1
    return json.dumps({"protocol_version": 1, "rows": rows}, separators=(",", ":")).encode()


def bench_strict_json(rounds, number):
    """Best time per call of each side over `rounds` alternating runs of `number` calls."""
    data = object_heavy_answer()
    assert remote._strict_json(data) == plain_json(data)
    best = {"native": float("inf"), "plain": float("inf")}
    for _ in range(rounds):
        best["native"] = min(best["native"], timeit.timeit(lambda: remote._strict_json(data), number=number))
        best["plain"] = min(best["plain"], timeit.timeit(lambda: plain_json(data), number=number))
    return len(data), best["native"] / number, best["plain"] / number


def bench_upload(base, source, rounds):
    client = remote.RemoteClient(base, TOKEN, timeout=120)
    times = {"client": [], "plain": []}
    for i in range(rounds):
        for kind in ("client", "plain") if i % 2 == 0 else ("plain", "client"):
            start = time.perf_counter()
            stored = client.upload(source) if kind == "client" else plain_upload(base, source)
            times[kind].append(time.perf_counter() - start)
            assert stored["size"] == source.stat().st_size
    return times


MEMORY = r"""
import os, resource, sys, tracemalloc
sys.path.insert(0, sys.argv[1])
from qybridge4.cli import remote
client = remote.RemoteClient(sys.argv[2], sys.argv[3], timeout=120)
client.health()
def current_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024
before = current_kib()
tracemalloc.start()
client.upload(sys.argv[4])
_, traced = tracemalloc.get_traced_memory()
tracemalloc.stop()
print(before, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, traced)
"""


def upload_memory(base, source):
    out = subprocess.run([sys.executable, "-c", MEMORY, str(BUILD / "python"), base, TOKEN, str(source)],
                         check=True, capture_output=True, text=True).stdout.split()
    before, after, traced = (int(v) for v in out)
    return (after - before) * 1024, traced


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=3000, help="round trips of each side")
    parser.add_argument("--upload-mib", type=int, default=100)
    parser.add_argument("--rounds", type=int, default=10)
    parser.add_argument("--store-dir", default="/dev/shm" if os.path.isdir("/dev/shm") else None)
    args = parser.parse_args()
    os.environ.pop("http_proxy", None)
    os.environ.pop("HTTP_PROXY", None)

    with tempfile.TemporaryDirectory() as tmp, tempfile.TemporaryDirectory(dir=args.store_dir) as store:
        work = Path(tmp)
        gateway, base = start_gateway(Path(store))
        try:
            calls = bench_execute(base, args.calls)
            size, native, plain = bench_strict_json(rounds=30, number=3)
            source = work / "upload source.bin"
            with open(source, "wb") as stream:
                block = os.urandom(MiB)
                for _ in range(args.upload_mib):
                    stream.write(block)
            times = bench_upload(base, source, args.rounds)
            growth, traced = upload_memory(base, source)
        finally:
            gateway.terminate()
            gateway.wait()

    print(f"execute, {args.calls} round trips of each side, alternating")
    for kind, label in (("client", "RemoteClient.execute"), ("plain", "plain Python")):
        print(f"  {label:<20} median {1 / statistics.median(calls[kind]):8.1f}/s   "
              f"best {1 / min(calls[kind]):8.1f}/s")
    ratio = statistics.median(calls["plain"]) / statistics.median(calls["client"])
    print(f"  client / plain       median {ratio:.3f}x   (goal >= 0.95x)")
    print(f"_strict_json on a {size / MiB:.2f} MiB object-heavy answer")
    print(f"  native {native * 1e3:8.2f} ms   json + Python hooks {plain * 1e3:8.2f} ms   "
          f"speed {plain / native:.2f}x   (goal >= 1.2x)")
    mb = args.upload_mib * MiB / 1e6
    print(f"upload of {args.upload_mib} MiB, {args.rounds} interleaved rounds")
    for kind, label in (("client", "RemoteClient.upload"), ("plain", "plain Python")):
        print(f"  {label:<20} median {mb / statistics.median(times[kind]):8.1f} MB/s   "
              f"best {mb / min(times[kind]):8.1f} MB/s")
    ratio = statistics.median(times["plain"]) / statistics.median(times["client"])
    print(f"  client / plain       median {ratio:.3f}x   (goal >= 0.95x)")
    file_size = args.upload_mib * MiB
    print(f"  client peak RSS growth {growth / MiB:.1f} MiB = {growth / file_size:.3f}x the file; "
          f"tracemalloc peak {traced / MiB:.1f} MiB = {traced / file_size:.3f}x   (goal <= 1.1x)")


if __name__ == "__main__":
    main()
