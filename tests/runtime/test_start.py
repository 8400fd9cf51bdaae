"""Starting the gateway: real child processes on free ports, and injected process factories."""
import hashlib
import json
import os
import re
import signal
import subprocess
import sys
import types
from http.server import BaseHTTPRequestHandler, HTTPServer

import psutil
import pytest

import qybridge4.cli.remote as remote
from _runtime import STILL_RUNNING, TERMINATED, ended_process, free_port, python, registry, write_registry

pytestmark = pytest.mark.filterwarnings(STILL_RUNNING)

INSTANCE = re.compile(r"[0-9a-f]{32}")
SLEEPER = "import time; time.sleep(60)"


@pytest.fixture
def start(home, reap):
    """start_gateway, with every gateway it returns killed and reaped at the end of the test."""
    def run(**kwargs):
        record, token = remote.start_gateway(**kwargs)
        reap(record["pid"])
        return record, token
    return run


@pytest.fixture
def factory():
    """Process factories that start stand-in children with the creation options they are given."""
    children = []

    def make(code=SLEEPER, words=lambda argv: []):
        def popen(argv, **options):
            popen.argv, popen.options = argv, options
            child = subprocess.Popen([sys.executable, "-c", code, *words(argv)], **options)
            children.append(child)
            return child
        return popen

    make.children = children
    yield make
    for child in children:
        child.kill()
        child.wait()


def token_record(home):
    return json.loads((home / "remote-server.json").read_text())


def registry_file(home):
    return home / "runtime" / "remote.json"


def test_start_generates_a_token_serves_with_it_and_is_reused(start, home):
    port = free_port()
    record, token = start(port=port, managed_workers=("alice", "张三"), public_url="https://gw.example")
    assert re.fullmatch(r"qyb_admin_[A-Za-z0-9_-]{43}", token)
    assert token_record(home)["token_hash"] == hashlib.sha256(token.encode()).hexdigest()
    assert list(record) == ["instance_id", "pid", "host", "port", "public_url", "started_at",
                            "package_version", "managed_workers"]
    assert INSTANCE.fullmatch(record["instance_id"])
    assert (record["host"], record["port"], record["public_url"], record["package_version"],
            record["managed_workers"]) == ("127.0.0.1", port, "https://gw.example", "4.0.0", ["alice", "张三"])
    stored = json.loads(registry_file(home).read_bytes())
    assert list(stored) == list(registry())
    assert stored["process_create_time"] == psutil.Process(record["pid"]).create_time()
    client = remote.RemoteClient(f"http://127.0.0.1:{port}", token, timeout=10)
    assert client.health()["instance_id"] == record["instance_id"]
    assert client.auth_check()["token_id"] == "admin"
    with remote._guard(0):  # the child does not hold the lock
        pass

    before = (home / "remote-server.json").read_bytes()
    assert remote.start_gateway(port=free_port(), token="other") == (record, None)
    assert (home / "remote-server.json").read_bytes() == before


@pytest.mark.posix("os.getsid and /proc")
def test_the_child_has_its_own_session_and_null_streams_and_not_the_lock(start):
    record, _ = start(port=free_port())
    assert os.getsid(record["pid"]) == record["pid"]
    for fd in "012":
        assert os.readlink(f"/proc/{record['pid']}/fd/{fd}") == os.devnull
    assert not any(os.readlink(f"/proc/{record['pid']}/fd/{fd}").endswith("remote.lock")
                   for fd in os.listdir(f"/proc/{record['pid']}/fd"))


def test_a_start_with_a_token_stores_it_and_returns_none(start, home):
    remote.set_server_token("old")
    record, token = start(port=free_port(), token="given-token")
    assert token is None
    assert token_record(home)["token_hash"] == hashlib.sha256(b"given-token").hexdigest()
    assert remote.RemoteClient(f"http://127.0.0.1:{record['port']}", "given-token").auth_check()["token_id"] == "admin"
    with pytest.raises(remote.RemoteClientError) as info:
        remote.RemoteClient(f"http://127.0.0.1:{record['port']}", "old").auth_check()
    assert info.value.http_status == 401


def test_a_stale_registry_is_replaced_and_a_stored_token_kept(start, home):
    pid, created = ended_process()
    write_registry(home, registry(pid=pid, process_create_time=created))
    remote.set_server_token("stored")
    before = (home / "remote-server.json").read_bytes()
    record, token = start(port=free_port())
    assert token is None and record["pid"] != pid
    assert json.loads(registry_file(home).read_text())["pid"] == record["pid"]
    assert (home / "remote-server.json").read_bytes() == before


def test_a_child_that_cannot_bind_ends_the_start(home, reap):
    # An IPv6 literal passes the address check; the IPv4 gateway cannot bind it.
    with pytest.raises(remote.RemoteRuntimeError, match="^Remote Gateway exited before becoming ready$"):
        remote.start_gateway(host="::1", port=free_port())
    assert not registry_file(home).exists() and not remote.has_server_token()

    remote.set_server_token("given")
    with pytest.raises(remote.RemoteRuntimeError, match="exited before becoming ready"):
        remote.start_gateway(host="::1", port=free_port(), token="kept")
    assert token_record(home)["token_hash"] == hashlib.sha256(b"kept").hexdigest()


class NotFound(BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_error(404)

    def log_message(self, *args):
        pass


def test_a_port_in_use_by_another_server_makes_the_child_end(home, serving):
    port = serving(HTTPServer(("127.0.0.1", 0), NotFound))
    with pytest.raises(remote.RemoteRuntimeError, match="^Remote Gateway exited before becoming ready$"):
        remote.start_gateway(port=port)
    assert not registry_file(home).exists() and not remote.has_server_token()


def test_a_child_that_never_answers_times_out_and_is_terminated(home, factory):
    popen = factory()
    with pytest.raises(remote.RemoteRuntimeError, match="^Remote Gateway start timed out$") as info:
        remote.start_gateway(port=free_port(), timeout=0.3, popen=popen)
    assert isinstance(info.value.__context__, remote.RemoteRuntimeError)
    assert factory.children[0].wait(10) == TERMINATED
    assert not registry_file(home).exists() and not remote.has_server_token()


def test_an_answer_of_another_instance_is_no_readiness(home, factory, serving):
    other = remote.create_server(tokens={"admin": "x"}, host="127.0.0.1", port=0, instance_id="cd" * 16)
    port = serving(other)
    with pytest.raises(remote.RemoteRuntimeError, match="^Remote Gateway start timed out$"):
        remote.start_gateway(port=port, timeout=0.3, popen=factory())
    assert factory.children[0].wait(10) == TERMINATED
    assert not registry_file(home).exists()


@pytest.mark.posix("start_new_session")
def test_the_child_command_line_and_creation_options(home, factory, monkeypatch):
    popen = factory()
    probes = []

    def health(record, timeout):
        probes.append((dict(record), timeout))
        return {}

    monkeypatch.setattr(remote, "_health", health)
    record, token = remote.start_gateway(host="0.0.0.0", port=8123, timeout=0.3, popen=popen)
    assert popen.argv[:9] == [sys.executable, "-m", "qybridge4", "__remote_gateway__", "--host", "0.0.0.0",
                              "--port", "8123", "--instance"]
    assert len(popen.argv) == 10 and popen.argv[9] == record["instance_id"]
    assert popen.options == {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL,
                             "stderr": subprocess.DEVNULL, "shell": False, "start_new_session": True}
    assert list(popen.options) == ["stdin", "stdout", "stderr", "shell", "start_new_session"]
    (probed, timeout), = probes
    assert probed["host"] == "0.0.0.0" and 0.1 <= timeout <= 0.3
    assert json.loads(registry_file(home).read_text())["host"] == "0.0.0.0"
    assert token is not None


def test_windows_creation_flags_where_subprocess_has_them(home, monkeypatch):
    calls = []

    def popen(argv, **options):
        calls.append(options)
        raise OSError("recorded")

    monkeypatch.setattr(remote, "subprocess", types.SimpleNamespace(
        DEVNULL=-3, CREATE_NO_WINDOW=0x08000000, CREATE_NEW_PROCESS_GROUP=0x200))
    with pytest.raises(OSError, match="recorded"):
        remote.start_gateway(port=free_port(), popen=popen)
    assert calls == [{"stdin": -3, "stdout": -3, "stderr": -3, "shell": False, "creationflags": 0x08000200}]


class InterruptedSys:
    """A `sys` whose interpreter path is asked for as the user interrupts."""

    @property
    def executable(self):
        raise KeyboardInterrupt


@pytest.mark.parametrize("sys_module, error", [
    (types.SimpleNamespace(executable="/nonexistent/python3"), FileNotFoundError),
    (types.SimpleNamespace(), AttributeError),
    (InterruptedSys(), KeyboardInterrupt),
])
def test_a_child_that_cannot_be_created_revokes_a_generated_token_only(home, monkeypatch, sys_module, error):
    monkeypatch.setattr(remote, "sys", sys_module)
    with pytest.raises(error):
        remote.start_gateway(port=free_port())
    assert not remote.has_server_token() and not registry_file(home).exists()
    with pytest.raises(error):
        remote.start_gateway(port=free_port(), token="given")
    assert token_record(home)["token_hash"] == hashlib.sha256(b"given").hexdigest()
    with remote._guard(0):
        pass


@pytest.mark.parametrize("failure", [KeyboardInterrupt(), ValueError("probe broke")])
def test_any_failure_after_the_child_exists_cleans_up(home, factory, monkeypatch, failure):
    def health(record, timeout):
        raise failure

    monkeypatch.setattr(remote, "_health", health)
    with pytest.raises(type(failure)) as info:
        remote.start_gateway(port=free_port(), popen=factory())
    assert info.value is failure
    assert factory.children[0].wait(10) == TERMINATED
    assert not remote.has_server_token() and not registry_file(home).exists()


def test_a_registry_that_cannot_be_written_fails_the_start(home, factory, monkeypatch):
    monkeypatch.setattr(remote, "_health", lambda record, timeout: {})
    with pytest.raises(UnicodeEncodeError):
        remote.start_gateway(port=free_port(), public_url="\ud800", popen=factory())
    assert factory.children[0].wait(10) == TERMINATED
    assert not remote.has_server_token() and not registry_file(home).exists()


def test_a_registered_gateway_that_does_not_answer_fails_the_start(home):
    pid, created = os.getpid(), psutil.Process().create_time()
    write_registry(home, registry(pid=pid, process_create_time=created, port=free_port()))
    before = registry_file(home).read_bytes()
    with pytest.raises(remote.RemoteRuntimeError, match="^Remote Gateway is unreachable: "):
        remote.start_gateway(port=free_port())
    assert registry_file(home).read_bytes() == before and not remote.has_server_token()


BAD_ARGUMENTS = [
    ({"port": True}, "invalid Remote Gateway address"), ({"port": 0}, "invalid Remote Gateway address"),
    ({"port": 65536}, "invalid Remote Gateway address"), ({"port": "8765"}, "invalid Remote Gateway address"),
    ({"host": ""}, "invalid Remote Gateway address"), ({"host": 127}, "invalid Remote Gateway address"),
    ({"timeout": 0}, "Remote Gateway start timeout must be positive"),
    ({"timeout": -1}, "Remote Gateway start timeout must be positive"),
    ({"timeout": True}, "Remote Gateway start timeout must be positive"),
    ({"timeout": float("inf")}, "Remote Gateway start timeout must be positive"),
    ({"timeout": float("nan")}, "Remote Gateway start timeout must be positive"),
    ({"timeout": 10 ** 400}, "Remote Gateway start timeout must be positive"),
    ({"managed_workers": [f"w{i}" for i in range(17)]}, "invalid managed worker list"),
    ({"managed_workers": ["a", "a"]}, "invalid managed worker list"),
    ({"managed_workers": [""]}, "invalid managed worker list"),
    ({"managed_workers": ["x" * 129]}, "invalid managed worker list"),
    ({"managed_workers": [["a"]]}, "invalid managed worker list"),
    ({"managed_workers": ["a", "a"], "public_url": 5}, "invalid managed worker list"),
    ({"public_url": 5}, "invalid Remote Gateway public URL"),
    ({"public_url": b"https://gw"}, "invalid Remote Gateway public URL"),
    ({"port": 0, "timeout": 0}, "invalid Remote Gateway address"),
]


@pytest.mark.parametrize("kwargs, message", BAD_ARGUMENTS)
def test_argument_refusals_touch_no_file(home, kwargs, message):
    with pytest.raises(remote.RemoteRuntimeError, match=f"^{message}$"):
        remote.start_gateway(**kwargs)
    assert not home.exists()


def test_the_package_version_is_imported_first_at_every_call(home, monkeypatch):
    monkeypatch.setitem(sys.modules, "qybridge4.param", types.ModuleType("qybridge4.param"))
    with pytest.raises(ImportError, match="cannot import name 'VERSION'"):
        remote.start_gateway(port=0)
    assert not home.exists()


def test_sixteen_workers_are_kept_in_order(home, factory, monkeypatch):
    monkeypatch.setattr(remote, "_health", lambda record, timeout: {})
    names = [f"工人{i}" for i in range(16, 0, -1)]
    record, _ = remote.start_gateway(port=free_port(), managed_workers=iter(names), popen=factory())
    assert record["managed_workers"] == names
    assert remote._read_registry()["managed_workers"] == names


PARALLEL = """
import json, sys, qybridge4.cli.remote as remote
print(json.dumps(remote.start_gateway(port=int(sys.argv[1]))), flush=True)
"""


def test_two_parallel_starts_make_one_gateway(home, reap):
    port = free_port()
    starters = [python(PARALLEL, port) for _ in range(2)]
    results = [json.loads(starter.communicate(timeout=60)[0]) for starter in starters]
    for record, _ in results:
        reap(record["pid"])
    assert results[0][0] == results[1][0]
    assert sorted(token is None for _, token in results) == [False, True]
    assert remote.stop_gateway() == {"stopped": True, "pid": results[0][0]["pid"]}


INTERRUPTED = """
import json, subprocess, sys, qybridge4.cli.remote as remote
children = []

def popen(argv, **options):
    children.append(subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"], **options))
    print("created", flush=True)
    return children[-1]

try:
    remote.start_gateway(port=int(sys.argv[1]), timeout=60, popen=popen)
except KeyboardInterrupt:
    print(json.dumps([children[0].wait(10), remote.has_server_token(), remote._registry_path().exists()]))
    with remote._guard(0):
        print("lock free", flush=True)
"""


@pytest.mark.posix("signal.SIGINT sent to a child")
def test_an_interrupt_during_the_readiness_wait_cleans_up(home):
    starter = python(INTERRUPTED, free_port())
    assert starter.stdout.readline() == "created\n"
    starter.send_signal(signal.SIGINT)
    out, _ = starter.communicate(timeout=60)
    assert out.splitlines() == [json.dumps([-signal.SIGTERM, False, False]), "lock free"]
