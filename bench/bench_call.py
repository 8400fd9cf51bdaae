"""Call overhead of a native function against the equivalent Python def.

Run after a build:  PYTHONPATH=build/tests /usr/bin/python3 bench/bench_call.py
Prints nanoseconds per call and the ratio python/native (above 1: the native call is faster).
"""
import sys
import timeit
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "build" / "tests"))
import _toolkit_test as native  # noqa: E402


def f_defaults(x, y=1, z=2):
    return (x, y, z)


def f_kwonly(x, *, k, m=3):
    return (x, k, m)


def f_all(a, b=2, *, c, d=4, **rest):
    return (a, b, c, d, rest)


def named(a, b, *, c=None):
    return (c, b, a)


def target(a, x, y):
    return a


def call_keywords(f, a, b, c):
    return f(a, x=b, y=c)


class PyThing:
    def method(self, x, *, flag=False):
        return (self, x, flag)


CASES = [
    ("positional f_defaults(1, 2)", "fn(1, 2)", f_defaults, native.f_defaults),
    ("keyword f_defaults(1, z=3)", "fn(1, z=3)", f_defaults, native.f_defaults),
    ("keyword-only f_kwonly(1, k=2)", "fn(1, k=2)", f_kwonly, native.f_kwonly),
    ("collector f_all(1, c=3, e=5)", "fn(1, c=3, e=5)", f_all, native.f_all),
    ("method obj.method(1, flag=True)", "obj.method(1, flag=True)", PyThing, native.Thing),
    ("by name named(1, 2, c=3)", "fn(1, 2, c=3)", named, native.named),
    ("keyword call f(a, x=b, y=c)", "fn(target, 1, 2, 3)", call_keywords, native.call_keywords),
]


def per_call(stmt, fn, number):
    env = {"fn": fn, "obj": fn() if isinstance(fn, type) else None, "target": target}
    best = min(timeit.repeat(stmt, globals=env, number=number, repeat=7))
    return best / number * 1e9


def main():
    number = 500_000
    print(f"{'call':36} {'python ns':>10} {'native ns':>10} {'ratio':>6}")
    for label, stmt, py_fn, nat_fn in CASES:
        py_ns = per_call(stmt, py_fn, number)
        nat_ns = per_call(stmt, nat_fn, number)
        print(f"{label:36} {py_ns:10.1f} {nat_ns:10.1f} {py_ns / nat_ns:6.2f}")


if __name__ == "__main__":
    main()
