"""Speed of the strict JSON codec against the same behaviour built from json and Python hooks.

Run on demand: QYB_BUILD_DIR=/tmp/build-x /usr/bin/python3 bench/bench_codec.py
Prints, per document, the time per call of each side and the speed ratio (baseline / native).
"""
import json
import math
import os
import sys
import timeit
import uuid
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BUILD = Path(os.environ.get("QYB_BUILD_DIR", ROOT / "build")).resolve()
sys.path.insert(0, str(BUILD / "python"))

from qybridge4.cli import remote  # noqa: E402

sys.path.insert(0, str(ROOT / "tests" / "protocol"))
from json_reference import reference_loads  # noqa: E402


# --- the baseline: json with the two hooks and the plain-JSON check written in Python ---

baseline_loads = reference_loads


def json_value(value, depth=0):
    if depth > 32:
        raise ValueError("JSON value nesting is too deep")
    if value is None or type(value) in (bool, int, str):
        return
    if type(value) is float:
        if not math.isfinite(value):
            raise ValueError("non-finite JSON number")
        return
    if isinstance(value, list):
        for item in value:
            json_value(item, depth + 1)
        return
    if isinstance(value, dict):
        for key, item in value.items():
            if not isinstance(key, str):
                raise ValueError("JSON object keys must be strings")
            json_value(item, depth + 1)
        return
    raise ValueError(f"value is not JSON serializable: {type(value).__name__}")


def baseline_dumps(value):
    json_value(value)
    return json.dumps(value, ensure_ascii=False, allow_nan=False, separators=(",", ":")).encode("utf-8")


# --- documents ---

def object_heavy(target=200 * 1024):
    """A worker result of thousands of small records, as a message list reads."""
    records = []
    size = 0
    i = 0
    while size < target:
        record = {"id": i, "sender": f"user{i % 37}", "type": 1, "self": i % 3 == 0,
                  "content": "晚上一起吃饭吗" if i % 5 == 0 else "see you at eight",
                  "time": 1714564800 + i, "ext": {"at": [], "quote": None}}
        records.append(record)
        size += len(json.dumps(record, ensure_ascii=False, separators=(",", ":")).encode()) + 1
        i += 1
    return {"messages": records}


def tiny_objects(target=200 * 1024):
    """Thousands of two-key objects: the reader's per-object cost at its plainest."""
    objects = []
    size = 0
    while size < target:
        item = {"id": len(objects), "ref": {"k": None}}
        objects.append(item)
        size += len(json.dumps(item, separators=(",", ":"))) + 1
    return objects


def command_request(target=1024):
    words = ["message", "send", "--to", "文件传输助手", "--text"]
    body = {
        "protocol_version": 1,
        "request_id": str(uuid.uuid4()),
        "nickname": "alice",
        "argv": words + ["x" * 10],
        "client": {"client_id": str(uuid.uuid4()), "client_name": "laptop", "cli_version": "4.0.0"},
    }
    pad = target - len(json.dumps(body, ensure_ascii=False, separators=(",", ":")).encode())
    body["argv"][-1] = "x" * (10 + max(pad, 0))
    return body


def per_call(fn, arg, budget=1.0):
    number, _ = timeit.Timer(lambda: fn(arg)).autorange()
    rounds = max(3, int(budget / (timeit.timeit(lambda: fn(arg), number=number) / number) / number))
    best = min(timeit.repeat(lambda: fn(arg), number=number, repeat=min(rounds, 7)))
    return best / number


def compare(label, native, baseline, arg):
    assert native(arg) == baseline(arg)
    t_native = per_call(native, arg)
    t_base = per_call(baseline, arg)
    print(f"{label:<34} native {t_native * 1e6:10.1f} us   baseline {t_base * 1e6:10.1f} us   "
          f"ratio {t_base / t_native:5.2f}x")


def main():
    docs = {"object-heavy": object_heavy(), "tiny objects": tiny_objects(),
            "command request": command_request()}
    for name, value in docs.items():
        payload = json.dumps(value, ensure_ascii=False, separators=(",", ":")).encode("utf-8")
        print(f"{name}: {len(payload)} bytes")
        compare(f"  loads_strict ({name})", remote.loads_strict, baseline_loads, payload)
        compare(f"  dumps_wire ({name})", remote.dumps_wire, baseline_dumps, value)


if __name__ == "__main__":
    main()
