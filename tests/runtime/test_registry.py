"""The gateway registry, the process identity and the instance probe."""
import json
import subprocess
import sys
import time
import urllib.error
import urllib.request
from http.server import BaseHTTPRequestHandler, HTTPServer

import psutil
import pytest

import qybridge4.cli.remote as remote
from _runtime import free_port, registry, write_registry

INVALID = "invalid Remote Gateway registry"
WORKERS = "invalid Remote Gateway managed worker list"


def test_no_registry_reads_as_none(home):
    assert remote._read_registry() is None


def test_older_layout_gets_an_empty_worker_list_in_memory_only(home):
    write_registry(home, registry(managed_workers=...))
    before = (home / "runtime" / "remote.json").read_bytes()
    record = remote._read_registry()
    assert list(record) == list(registry()) and record["managed_workers"] == []
    assert remote._public(record)["managed_workers"] == []
    assert (home / "runtime" / "remote.json").read_bytes() == before


@pytest.mark.parametrize("changes", [
    {"schema_version": 1.0}, {"schema_version": True}, {"public_url": ""}, {"public_url": "https://gw.example"},
    {"port": 65535, "pid": 2 ** 40, "started_at": 0}, {"managed_workers": [f"w{i}" for i in range(16)]},
    {"managed_workers": ["张" * 128]},
])
def test_registries_accepted(home, changes):
    write_registry(home, registry(**changes))
    assert remote._read_registry() == registry(**changes)


@pytest.mark.parametrize("value", [
    registry(extra=1), registry(public_url=...), registry(schema_version=2), registry(instance_id=""),
    registry(host=5), registry(package_version=None), registry(pid=True), registry(pid=0), registry(pid=12.0),
    registry(port=0), registry(port=65536), registry(port=8765.0), registry(public_url=5),
    registry(process_create_time=True), registry(started_at="1"),
    json.dumps(registry()).replace("1796905214.07", "1e400"), [], "null",
])
def test_registries_refused(home, value):
    write_registry(home, value)
    with pytest.raises(remote.RemoteRuntimeError, match=f"^{INVALID}$"):
        remote._read_registry()


@pytest.mark.parametrize("workers", [
    [f"w{i}" for i in range(17)], ["a", "b", "a"], [""], ["x" * 129], ["a", 5], [["a"]], "a", None,
])
def test_worker_lists_refused(home, workers):
    write_registry(home, registry(managed_workers=workers))
    with pytest.raises(remote.RemoteRuntimeError, match=f"^{WORKERS}$"):
        remote._read_registry()


def test_unreadable_registry_reports_the_state_file_error(home):
    write_registry(home, '{"pid": 1, "pid": 2}')
    with pytest.raises(remote.RemoteRuntimeError, match="^invalid state file remote.json: duplicate JSON key: pid$"):
        remote._read_registry()


def test_public_record_has_eight_keys_and_shares_the_list():
    record = registry(managed_workers=["bob"])
    public = remote._public(record)
    assert list(public) == ["instance_id", "pid", "host", "port", "public_url", "started_at",
                            "package_version", "managed_workers"]
    assert public["managed_workers"] is record["managed_workers"]


# ---------------------------------------------------------------------------------------
# Process identity

@pytest.mark.parametrize("offset, matches", [(0.0, True), (0.0099, True), (-0.0099, True),
                                             (0.0101, False), (-0.0101, False)])
def test_process_identity_allows_less_than_a_hundredth_of_a_second(offset, matches):
    created = psutil.Process().create_time()
    record = {"pid": psutil.Process().pid, "process_create_time": created + offset}
    assert remote._pid_matches(record) is matches


@pytest.mark.posix("zombie processes")
def test_ended_processes_do_not_match():
    child = subprocess.Popen([sys.executable, "-c", "pass"])
    created = psutil.Process(child.pid).create_time()
    record = {"pid": child.pid, "process_create_time": created}
    # Ended but not reaped: still listed on Linux, with the same creation time.
    while psutil.Process(child.pid).status() != psutil.STATUS_ZOMBIE:
        time.sleep(0.01)
    assert psutil.Process(child.pid).create_time() == created
    assert remote._pid_matches(record) is False
    child.wait()
    assert remote._pid_matches(record) is False
    assert remote._pid_matches({"pid": 2 ** 62, "process_create_time": 0}) is False


def test_other_lookup_errors_pass():
    with pytest.raises(KeyError):
        remote._pid_matches({"pid": 1})


# ---------------------------------------------------------------------------------------
# Base URL and instance probe

@pytest.mark.parametrize("host, port, expected", [
    ("0.0.0.0", 8765, "http://127.0.0.1:8765"), ("::", 1, "http://127.0.0.1:1"),
    ("::1", 8765, "http://[::1]:8765"), ("[::1]", 8765, "http://[::1]:8765"),
    ("::0", 80, "http://[::0]:80"), ("localhost", 65535, "http://localhost:65535"),
    ("gw.example", 443, "http://gw.example:443"),
])
def test_url(host, port, expected):
    assert remote._url(host, port) == expected


def gateway(instance_id):
    return remote.create_server(tokens={"admin": "s3cret"}, host="127.0.0.1", port=0, instance_id=instance_id)


def test_probe_answers_for_the_registered_instance_only(serving, monkeypatch):
    port = serving(gateway("ab" * 16))
    # A proxy in the environment is not used for the gateway's own address.
    monkeypatch.setenv("http_proxy", f"http://127.0.0.1:{free_port()}")
    answer = remote._health(registry(port=port))
    assert answer == {"protocol_version": 1, "status": "ok", "instance_id": "ab" * 16,
                      "capabilities": ["execute", "upload"]}
    assert remote._health(registry(port=port, host="0.0.0.0"), 0.5) == answer
    with pytest.raises(remote.RemoteRuntimeError, match="^Remote Gateway identity mismatch$"):
        remote._health(registry(port=port, instance_id="cd" * 16))


def test_probe_uses_the_handler_classes_urllib_gives_now(serving, monkeypatch):
    port = serving(gateway("ab" * 16))
    opened = []

    class Recording(urllib.request.HTTPHandler):
        def http_open(self, request):
            opened.append(request.full_url)
            return super().http_open(request)

    remote._health(registry(port=port))
    monkeypatch.setattr(urllib.request, "HTTPHandler", Recording)
    remote._health(registry(port=port))
    assert opened == [f"http://127.0.0.1:{port}/v1/health"]


def test_probe_of_a_gateway_without_instance_id_is_a_mismatch(serving):
    port = serving(gateway(None))
    with pytest.raises(remote.RemoteRuntimeError, match="^Remote Gateway identity mismatch$"):
        remote._health(registry(port=port))


def test_probe_with_nothing_listening_is_unreachable():
    with pytest.raises(remote.RemoteRuntimeError, match="^Remote Gateway is unreachable: ") as info:
        remote._health(registry(port=free_port()))
    assert isinstance(info.value.__cause__, urllib.error.URLError)


class Answers(BaseHTTPRequestHandler):
    """Answers /v1/health with the status and body named by the server's `answer`."""

    def do_GET(self):
        status, body = self.server.answer
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


@pytest.mark.parametrize("status, body, message", [
    (404, b'{"error": {}}', "^Remote Gateway is unreachable: HTTP Error 404"),
    (302, b"", "^Remote Gateway is unreachable: HTTP Error 302"),
    (200, b"not json", "^Remote Gateway is unreachable: invalid JSON"),
    (200, b'{"instance_id": "%s", "a": 1, "a": 2}' % (b"ab" * 16), "unreachable: duplicate JSON key: a$"),
    (200, b"[" + b" " * 65536 + b"]", "^Remote Gateway is unreachable: invalid JSON"),
    (200, b'["abababababababababababababababab"]', "^Remote Gateway identity mismatch$"),
])
def test_probe_of_other_answers(serving, status, body, message):
    server = HTTPServer(("127.0.0.1", 0), Answers)
    server.answer = status, body
    port = serving(server)
    with pytest.raises(remote.RemoteRuntimeError, match=message):
        remote._health(registry(port=port))
