"""State files and the management lock, with real files and holders in other processes."""
import gc
import json
import os
import re
import threading
import time
import types

import pytest

import qybridge4.cli.remote as remote
from _runtime import python

HOLDER = """
import sys, qybridge4.cli.remote as remote
with remote._guard(5):
    print("held", flush=True)
    sys.stdin.readline()
print("released", flush=True)
"""


@pytest.fixture
def holder(home):
    """Another process that holds the lock until it is told to release it."""
    children = []

    def start():
        child = python(HOLDER)
        children.append(child)
        assert child.stdout.readline() == "held\n"
        return child

    yield start
    for child in children:
        child.kill()
        child.communicate()


class Clock:
    """A stand-in for the module's `time`: sleeping moves the monotonic clock, nothing waits."""

    def __init__(self):
        self.sleeps = []

    def monotonic(self):
        return 1000.0 + sum(self.sleeps)

    def sleep(self, seconds):
        self.sleeps.append(seconds)

    def time(self):
        return time.time()


def lock_path(home):
    return home / "runtime" / "remote.lock"


def test_first_entry_makes_the_lock_file_and_later_entries_keep_its_content(home):
    with remote._guard():
        assert lock_path(home).read_bytes() == b"0"
    lock_path(home).write_bytes(b"held by someone\n")
    with remote._guard():
        pass
    assert lock_path(home).read_bytes() == b"held by someone\n"


def test_the_lock_is_the_first_byte_through_the_c_runtime_call(home, monkeypatch):
    # msvcrt.locking(fd, mode, nbytes, /) locks from the file's current position: every holder
    # must lock the same byte, whatever the file holds and wherever opening it left it.
    real = remote.msvcrt
    calls = []

    def locking(fd, mode, nbytes, /):
        calls.append((type(fd), os.path.samestat(os.fstat(fd), os.stat(lock_path(home))),
                      os.lseek(fd, 0, os.SEEK_CUR), mode, nbytes))
        return real.locking(fd, mode, nbytes)

    monkeypatch.setattr(remote, "msvcrt", types.SimpleNamespace(
        locking=locking, LK_NBLCK=real.LK_NBLCK, LK_UNLCK=real.LK_UNLCK))
    with remote._guard():   # makes the file
        pass
    lock_path(home).write_bytes(b"held by someone\n")
    with remote._guard():
        pass
    assert calls == [(int, True, 0, real.LK_NBLCK, 1), (int, True, 0, real.LK_UNLCK, 1)] * 2


def test_a_holder_in_another_process_excludes_until_it_releases(holder):
    child = holder()
    with pytest.raises(remote.RemoteRuntimeError, match="^timed out waiting for Remote Gateway lock$") as info:
        with remote._guard(0.2):
            pytest.fail("entered a held lock")
    assert isinstance(info.value.__cause__, OSError)

    # The waiter is waiting when the holder lets go, and gets the lock.
    threading.Timer(0.2, lambda: (child.stdin.write("\n"), child.stdin.flush())).start()
    with remote._guard(10):
        assert child.stdout.readline() == "released\n"


def test_a_killed_holder_leaves_no_lock(holder):
    child = holder()
    child.kill()
    child.wait()
    with remote._guard(0):
        pass


def test_guards_exclude_each_other_within_one_process(home):
    with remote._guard():
        with pytest.raises(remote.RemoteRuntimeError, match="timed out waiting"):
            with remote._guard(0.1):
                pass
    with remote._guard(0):
        pass


def test_timeout_zero_makes_one_attempt_without_a_pause(home, monkeypatch):
    clock = Clock()
    attempts = []
    real = remote.msvcrt

    def locking(fd, mode, nbytes):
        attempts.append(mode)
        return real.locking(fd, mode, nbytes)

    with remote._guard():
        monkeypatch.setattr(remote, "time", clock)
        monkeypatch.setattr(remote, "msvcrt", types.SimpleNamespace(
            locking=locking, LK_NBLCK=real.LK_NBLCK, LK_UNLCK=real.LK_UNLCK))
        for timeout in (0, -1):
            with pytest.raises(remote.RemoteRuntimeError, match="timed out waiting"):
                with remote._guard(timeout):
                    pass
        assert attempts == [real.LK_NBLCK, real.LK_NBLCK] and clock.sleeps == []
        attempts.clear()
        with pytest.raises(remote.RemoteRuntimeError, match="timed out waiting"):
            with remote._guard(1.0):
                pass
        # Every 0.05 s until the deadline, then one last attempt at it.
        assert len(attempts) == 21 and set(clock.sleeps) == {0.05}


def test_public_calls_wait_ten_seconds_for_the_lock(home, monkeypatch):
    clock = Clock()
    with remote._guard():
        monkeypatch.setattr(remote, "time", clock)
        with pytest.raises(remote.RemoteRuntimeError, match="^timed out waiting for Remote Gateway lock$"):
            remote.status_gateway()
    assert clock.sleeps == [0.05] * 200


def test_an_exception_releases_the_lock_and_passes_unchanged(home):
    error = KeyError("inside")
    with pytest.raises(KeyError) as info:
        with remote._guard():
            raise error
    assert info.value is error
    with remote._guard(0):
        pass
    # The generator-like object re-raises the very object that throw() is given.
    generator = remote._guard.__wrapped__(1.0)
    next(generator)
    with pytest.raises(ValueError) as thrown:
        generator.throw(ValueError, error)
    assert thrown.value.args == (error,)
    with remote._guard(0):
        pass


def test_a_guard_dropped_while_entered_releases_the_lock(home):
    manager = remote._guard()
    manager.__enter__()
    del manager
    gc.collect()
    with remote._guard(0):
        pass


# ---------------------------------------------------------------------------------------
# Writing

def test_written_text_is_compact_utf8_in_mapping_order(tmp_path):
    target = tmp_path / "deep" / "state.json"
    value = {"z": "中文 \n\t\x01\"\\", "a": [1, 2.5, True, None, -0.0], "t": 1796905214.0705695, "e": {}}
    remote._remote_runtime___atomic_json(target, value)
    assert target.read_bytes() == (
        '{"z":"中文 \\n\\t\\u0001\\"\\\\","a":[1,2.5,true,null,-0.0],"t":1796905214.0705695,"e":{}}'
    ).encode()
    assert os.listdir(target.parent) == ["state.json"]


def test_size_limit_is_checked_before_anything_is_made(tmp_path):
    target = tmp_path / "state.json"
    remote._remote_runtime___atomic_json(target, "x" * 65534)
    assert target.stat().st_size == 65536
    with pytest.raises(remote.RemoteRuntimeError, match="^Remote Gateway state is too large$"):
        remote._remote_runtime___atomic_json(target, "x" * 65535)
    assert target.stat().st_size == 65536
    missing = tmp_path / "new" / "state.json"
    with pytest.raises(remote.RemoteRuntimeError, match="too large"):
        remote._remote_runtime___atomic_json(missing, "中" * 21845)  # 65535 bytes and two quotes
    assert not missing.parent.exists()


@pytest.mark.parametrize("value, error", [
    ({"n": float("nan")}, ValueError), ({"s": {1}}, TypeError), ("\ud800", UnicodeEncodeError)])
def test_unwritable_values_create_nothing(tmp_path, value, error):
    target = tmp_path / "new" / "state.json"
    with pytest.raises(error):
        remote._remote_runtime___atomic_json(target, value)
    assert not target.parent.exists()


def test_temporary_file_is_named_after_target_and_removed_when_the_move_fails(tmp_path, monkeypatch):
    moves = []

    def replace(source, destination):
        moves.append((source, destination))
        return os.replace(source, destination)

    monkeypatch.setattr(remote, "os", types.SimpleNamespace(
        getpid=os.getpid, fsync=os.fsync, replace=replace))
    target = tmp_path / "remote.json"
    target.mkdir()  # a directory cannot be replaced by a file
    with pytest.raises(OSError):
        remote._remote_runtime___atomic_json(target, {"a": 1})
    (source, destination), = moves
    assert source.parent == tmp_path and destination == target
    assert re.fullmatch(r"\.remote\.json\.%d\.[0-9a-f]{32}\.tmp" % os.getpid(), source.name)
    assert os.listdir(tmp_path) == ["remote.json"] and os.listdir(target) == []


KILLER = """
import json, os, random, signal, sys, time, qybridge4.cli.remote as remote
from pathlib import Path
target = Path(sys.argv[1])
for _ in range(8):
    ready = os.pipe()
    pid = os.fork()
    if pid == 0:
        for n in range(10**9):
            remote._remote_runtime___atomic_json(target, {"n": n, "pad": "中" * (n % 5000)})
            if n == 0:
                os.write(ready[1], b"!")
    os.read(ready[0], 1)
    time.sleep(random.uniform(0, 0.02))
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    print(json.dumps(remote._read_json(target)), flush=True)
"""


@pytest.mark.posix("os.fork and signal.SIGKILL")
def test_a_writer_killed_at_any_moment_leaves_a_readable_file(tmp_path, home):
    target = tmp_path / "remote.json"
    killer = python(KILLER, target)
    out, _ = killer.communicate(timeout=60)
    assert killer.returncode == 0
    values = [json.loads(line) for line in out.splitlines()]
    assert len(values) == 8
    for value in values:
        assert set(value) == {"n", "pad"} and value["pad"] == "中" * (value["n"] % 5000)
    assert len({value["n"] for value in values}) > 1


# ---------------------------------------------------------------------------------------
# Reading

def test_reading_a_missing_file_gives_none_and_a_large_one_fails_before_reading(tmp_path):
    target = tmp_path / "remote.json"
    assert remote._read_json(target) is None
    target.write_bytes(b"[" + b" " * 65534 + b"]")
    assert remote._read_json(target) == []
    target.write_bytes(b"[" + b" " * 65535 + b"]")
    with pytest.raises(remote.RemoteRuntimeError, match="^state file is too large: remote.json$") as info:
        remote._read_json(target)
    assert info.value.__cause__ is None


@pytest.mark.parametrize("content, message", [
    (b"", "invalid JSON: Expecting value"),
    (b'{"a":1,"a":2}', "duplicate JSON key: a"),
    (b'{"a":NaN}', "invalid number: NaN"),
    (b'"\xff"', "JSON payload must be UTF-8"),
])
def test_reading_text_the_strict_reader_refuses(tmp_path, content, message):
    target = tmp_path / "remote-server.json"
    target.write_bytes(content)
    with pytest.raises(remote.RemoteRuntimeError) as info:
        remote._read_json(target)
    assert str(info.value) == "invalid state file remote-server.json: " + message
    assert isinstance(info.value.__cause__, ValueError) and str(info.value.__cause__) == message


def test_reading_returns_any_json_value(tmp_path):
    target = tmp_path / "remote.json"
    target.write_text(json.dumps([1, {"b": None}]))
    assert remote._read_json(target) == [1, {"b": None}]


def test_a_failed_unlock_closes_the_file_and_replaces_the_outcome(home, monkeypatch):
    real = remote.msvcrt

    def locking(fd, mode, nbytes):
        if mode == real.LK_UNLCK:
            raise OSError("unlock refused")
        return real.locking(fd, mode, nbytes)

    monkeypatch.setattr(remote, "msvcrt", types.SimpleNamespace(
        locking=locking, LK_NBLCK=real.LK_NBLCK, LK_UNLCK=real.LK_UNLCK))
    with pytest.raises(OSError, match="unlock refused"):
        with remote._guard():
            pass
    error = KeyError("inside")
    with pytest.raises(OSError, match="unlock refused") as info:
        with remote._guard(0):
            raise error
    assert info.value.__context__ is error
    monkeypatch.setattr(remote, "msvcrt", real)
    # Closing the file dropped the lock both times.
    with remote._guard(0):
        pass
