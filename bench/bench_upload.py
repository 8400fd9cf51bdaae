"""Upload store throughput and memory: a large upload through UploadStore.put beside a plain loop.

Run on demand:  QYB_BUILD_DIR=/path/to/build python3 bench/bench_upload.py [--size-mib 100]

Bandwidth: each round streams the same source file once through UploadStore.put and once
through a plain Python loop that reads, writes, hashes and fsyncs the same bytes in 1 MiB
chunks; the best and median of each are printed with their ratio.
Memory: a fresh child process measures its peak RSS (getrusage, against its current RSS just
before) and the tracemalloc peak around one upload of the same size.
"""
import argparse
import hashlib
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BUILD = Path(os.environ.get("QYB_BUILD_DIR", ROOT / "build")).resolve()
sys.path.insert(0, str(BUILD / "python"))

MiB = 1048576


def make_source(path: Path, size: int) -> str:
    digest = hashlib.sha256()
    block = os.urandom(MiB)
    with open(path, "wb") as f:
        for _ in range(size // MiB):
            f.write(block)
            digest.update(block)
        tail = block[: size % MiB]
        f.write(tail)
        digest.update(tail)
    return digest.hexdigest()


def plain_loop(source: Path, target: Path, size: int) -> str:
    digest = hashlib.sha256()
    with open(source, "rb") as src, open(target, "xb") as out:
        remaining = size
        while remaining:
            chunk = src.read(min(remaining, MiB))
            out.write(chunk)
            digest.update(chunk)
            remaining -= len(chunk)
        out.flush()
        os.fsync(out.fileno())
    return digest.hexdigest()


def through_store(store, source: Path, size: int, expected: str):
    with open(source, "rb") as src:
        return store.put("bench", "payload.bin", src, size, expected)


def bandwidth(work: Path, source: Path, size: int, expected: str, rounds: int):
    from qybridge4.cli import remote

    store = remote.UploadStore(work / "store", ttl=3600, max_bytes=size, max_uploads=rounds + 1)
    times = {"store": [], "loop": []}
    for i in range(rounds):
        for kind in ("store", "loop") if i % 2 == 0 else ("loop", "store"):
            start = time.perf_counter()
            if kind == "store":
                record = through_store(store, source, size, expected)
            else:
                target = work / f"loop-{i}.bin"
                assert plain_loop(source, target, size) == expected
            times[kind].append(time.perf_counter() - start)
            if kind == "store":
                store.consume("bench", "artifact://" + record.upload_id)
            else:
                target.unlink()
    return times


CHILD = r"""
import os, resource, sys, tracemalloc
sys.path.insert(0, sys.argv[1])
from pathlib import Path
from qybridge4.cli import remote
source, work, size, expected = Path(sys.argv[2]), Path(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
store = remote.UploadStore(work / "child", max_bytes=size)
# Warm up imports and the allocator with a small upload first.
with open(source, "rb") as src:
    store.put("bench", "warm.bin", src, 4096)
def current_kib():
    # The high-water mark may lie above the current size (imports); start from the current one.
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024
    except OSError:
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
before = current_kib()
tracemalloc.start()
with open(source, "rb") as src:
    record = store.put("bench", "payload.bin", src, size, expected)
_, traced_peak = tracemalloc.get_traced_memory()
tracemalloc.stop()
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(before, after, traced_peak)
"""


def memory(work: Path, source: Path, size: int, expected: str):
    out = subprocess.run(
        [sys.executable, "-c", CHILD, str(BUILD / "python"), str(source), str(work), str(size), expected],
        check=True, capture_output=True, text=True).stdout.split()
    before_kib, after_kib, traced = int(out[0]), int(out[1]), int(out[2])
    return (after_kib - before_kib) * 1024, traced, before_kib * 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mib", type=int, default=100)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--dir", default=None, help="where files are written (default: a new temp dir)")
    args = parser.parse_args()
    size = args.size_mib * MiB

    with tempfile.TemporaryDirectory(dir=args.dir) as tmp:
        work = Path(tmp)
        source = work / "source.bin"
        expected = make_source(source, size)
        times = bandwidth(work, source, size, expected, args.rounds)
        growth, traced, base = memory(work, source, size, expected)

    mb = size / 1e6
    print(f"upload of {args.size_mib} MiB, {args.rounds} rounds, files in {args.dir or tempfile.gettempdir()}")
    for kind, label in (("store", "UploadStore.put"), ("loop", "plain Python loop")):
        best, median = min(times[kind]), statistics.median(times[kind])
        print(f"  {label:<18} best {mb / best:8.1f} MB/s   median {mb / median:8.1f} MB/s")
    ratio_best = min(times["loop"]) / min(times["store"])
    ratio_median = statistics.median(times["loop"]) / statistics.median(times["store"])
    print(f"  store / loop       best {ratio_best:.3f}x   median {ratio_median:.3f}x   (goal >= 0.95x)")
    print(f"  peak RSS growth during the upload: {growth / MiB:.2f} MiB (baseline RSS {base / MiB:.1f} MiB; goal < 4 MiB)")
    print(f"  tracemalloc peak during the upload: {traced / MiB:.2f} MiB")


if __name__ == "__main__":
    main()
