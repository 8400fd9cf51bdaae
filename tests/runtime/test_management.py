"""Status, the registry as it stands, managed workers and stop."""
import collections
import json
import signal
import subprocess
import sys
import time

import psutil
import pytest

import qybridge4.cli.remote as remote
from _runtime import STILL_RUNNING, ended_process, free_port, own_process, python, registry, write_registry

NOT_RUNNING = "^Remote Gateway is not running$"
IGNORES_SIGTERM = """
import signal, sys
signal.signal(signal.SIGTERM, signal.SIG_IGN)
from qybridge4.cli.remote import _remote_gateway_child_main
_remote_gateway_child_main(sys.argv[1:])
"""


def registry_file(home):
    return home / "runtime" / "remote.json"


def write_alive(home, **changes):
    """A registry naming this process, which is alive; nothing answers on its port by default."""
    pid, created = own_process()
    changes.setdefault("port", free_port())
    write_registry(home, registry(pid=pid, process_create_time=created, **changes))
    return registry_file(home).read_bytes()


def write_stale(home, **changes):
    pid, created = ended_process()
    write_registry(home, registry(pid=pid, process_create_time=created, **changes))
    return registry_file(home).read_bytes()


def test_without_a_registry_nothing_runs_and_only_the_lock_file_is_made(home):
    with pytest.raises(remote.RemoteRuntimeError, match=NOT_RUNNING):
        remote.status_gateway()
    assert remote.registered_gateway() is None
    with pytest.raises(remote.RemoteRuntimeError, match=NOT_RUNNING):
        remote.add_managed_worker("alice")
    assert remote.stop_gateway() == {"stopped": False}
    assert sorted(p.name for p in home.rglob("*")) == ["remote.lock", "runtime"]


def test_a_stale_registry_is_deleted_except_where_it_is_asked_for_or_left(home):
    before = write_stale(home)
    assert remote.registered_gateway(include_stale=True) == remote._public(registry(**json.loads(before)))
    with pytest.raises(remote.RemoteRuntimeError, match=NOT_RUNNING):
        remote.add_managed_worker("alice")
    assert registry_file(home).read_bytes() == before
    assert remote.registered_gateway(include_stale=0) is None
    assert not registry_file(home).exists()

    write_stale(home)
    with pytest.raises(remote.RemoteRuntimeError, match=NOT_RUNNING):
        remote.status_gateway()
    assert not registry_file(home).exists()
    write_stale(home)
    assert remote.stop_gateway() == {"stopped": False}
    assert not registry_file(home).exists()


def test_a_registered_process_that_does_not_answer_keeps_its_registry(home):
    before = write_alive(home)
    with pytest.raises(remote.RemoteRuntimeError, match="^Remote Gateway is unreachable: "):
        remote.status_gateway()
    assert remote.registered_gateway() == remote._public(json.loads(before))
    assert registry_file(home).read_bytes() == before


def test_status_of_a_port_answered_by_another_instance(home, serving):
    port = serving(remote.create_server(tokens={"admin": "x"}, host="127.0.0.1", port=0, instance_id="cd" * 16))
    before = write_alive(home, port=port)
    with pytest.raises(remote.RemoteRuntimeError, match="^Remote Gateway identity mismatch$"):
        remote.status_gateway()
    assert registry_file(home).read_bytes() == before


def test_invalid_registries_are_left_and_reported_by_every_function(home):
    write_registry(home, registry(port=0))
    for call in (remote.status_gateway, remote.registered_gateway, lambda: remote.add_managed_worker("a"),
                 remote.stop_gateway, remote.start_gateway):
        with pytest.raises(remote.RemoteRuntimeError, match="^invalid Remote Gateway registry$"):
            call()
    assert json.loads(registry_file(home).read_text()) == registry(port=0)


def test_managed_workers_are_appended_once_up_to_sixteen(home):
    write_alive(home, managed_workers=[f"w{i}" for i in range(15)])
    record = remote.add_managed_worker("最后")
    assert record["managed_workers"][-1] == "最后" and len(record["managed_workers"]) == 16
    full = registry_file(home).read_bytes()
    assert json.loads(full)["managed_workers"] == record["managed_workers"]
    assert remote.add_managed_worker("w3") == record
    assert registry_file(home).read_bytes() == full
    with pytest.raises(remote.RemoteRuntimeError, match="^Remote Gateway managed worker list is full$"):
        remote.add_managed_worker("w16")
    assert registry_file(home).read_bytes() == full


def test_an_older_registry_gets_the_worker_list_as_its_last_key(home):
    write_alive(home, managed_workers=...)
    assert remote.add_managed_worker("alice")["managed_workers"] == ["alice"]
    stored = json.loads(registry_file(home).read_text())
    assert list(stored)[-1] == "managed_workers" and stored["managed_workers"] == ["alice"]


@pytest.mark.parametrize("nickname", ["", "x" * 129, None, 5, ["alice"]])
def test_worker_names_the_registry_would_refuse_are_refused_first(home, nickname):
    with pytest.raises(remote.RemoteRuntimeError, match="^invalid managed worker list$"):
        remote.add_managed_worker(nickname)
    assert not home.exists()


@pytest.mark.parametrize("timeout", [0, -1, True, float("inf"), float("nan"), "1"])
def test_stop_timeouts_are_checked_before_any_file(home, timeout):
    with pytest.raises(remote.RemoteRuntimeError, match="^Remote Gateway stop timeout must be positive$"):
        remote.stop_gateway(timeout=timeout)
    assert not home.exists()


@pytest.mark.filterwarnings(STILL_RUNNING)
def test_status_workers_and_stop_of_a_real_gateway(home, reap):
    record, token = remote.start_gateway(port=free_port())
    reap(record["pid"])
    assert remote.status_gateway() == record
    assert remote.registered_gateway() == record
    assert remote.add_managed_worker("alice")["managed_workers"] == ["alice"]
    assert remote.stop_gateway() == {"stopped": True, "pid": record["pid"]}
    assert not psutil.pid_exists(record["pid"])
    assert not registry_file(home).exists()
    assert remote.stop_gateway() == {"stopped": False}
    assert remote.has_server_token()


@pytest.mark.posix("a SIGTERM that the process ignores, signal.SIGKILL and zombie processes")
def test_a_gateway_that_ignores_the_stop_keeps_its_registry(home, reap):
    children = []

    def popen(argv, **options):
        children.append(subprocess.Popen([sys.executable, "-c", IGNORES_SIGTERM, *argv[4:]], **options))
        return children[-1]

    record, _ = remote.start_gateway(port=free_port(), popen=popen)
    reap(record["pid"])
    before = registry_file(home).read_bytes()
    with pytest.raises(remote.RemoteRuntimeError, match="^Remote Gateway did not stop within the timeout$") as info:
        remote.stop_gateway(timeout=0.3)
    assert isinstance(info.value.__cause__, psutil.TimeoutExpired)
    assert (info.value.__cause__.seconds, info.value.__cause__.pid) == (0.3, record["pid"])
    assert registry_file(home).read_bytes() == before
    assert remote.status_gateway() == record

    # Once it has ended, unreaped, a later stop finds it gone and does not wait for it.
    children[0].send_signal(signal.SIGKILL)
    while psutil.Process(record["pid"]).status() != psutil.STATUS_ZOMBIE:
        time.sleep(0.01)
    assert remote.stop_gateway(timeout=60) == {"stopped": False}
    assert not registry_file(home).exists()
    children[0].wait()


STARTER = """
import json, sys, qybridge4.cli.remote as remote
print(json.dumps(remote.start_gateway(port=int(sys.argv[1]))[0]), flush=True)
sys.stdin.readline()
"""


@pytest.mark.filterwarnings(STILL_RUNNING)
@pytest.mark.posix("zombie processes")
def test_stop_does_not_wait_for_a_gateway_another_process_has_not_reaped(home, reap):
    # The starter stays alive and never reaps its child: the stopped gateway stays a zombie.
    starter = python(STARTER, free_port())
    try:
        record = json.loads(starter.stdout.readline())
        reap(record["pid"])
        assert remote.stop_gateway() == {"stopped": True, "pid": record["pid"]}
        assert psutil.Process(record["pid"]).status() == psutil.STATUS_ZOMBIE
    finally:
        starter.communicate("\n")


def test_a_worker_list_that_is_not_a_list_is_used_by_its_own_length_and_append(home, monkeypatch):
    write_alive(home, managed_workers=["w0"])
    read = remote._read_registry
    written = []

    def as_user_list():
        record = read()
        record["managed_workers"] = collections.UserList(record["managed_workers"])
        return record

    monkeypatch.setattr(remote, "_read_registry", as_user_list)
    monkeypatch.setattr(remote, "_remote_runtime___atomic_json",
                        lambda path, record: written.append(list(record["managed_workers"])))
    assert list(remote.add_managed_worker("w1")["managed_workers"]) == ["w0", "w1"]
    assert written == [["w0", "w1"]]
