"""The client's five operations against the project's gateway, and what they refuse before
sending anything."""
import hashlib
import json
import os
import threading
import uuid

import pytest

import qybridge4.cli.remote as remote
from _endpoints import CLIENT_ID, REQUEST_ID, TOKEN

RemoteClientError = remote.RemoteClientError
LIMIT = 104857600
BAD_SIZE = "file size must be between 1 byte and 100 MiB"
BAD_ARGV = "argv must be a non-empty sequence of strings"


def run(client, argv, nickname=None, request_id=REQUEST_ID, **options):
    return client.execute(nickname, argv, request_id=request_id, client_id=CLIENT_ID, **options)


def test_health_auth_check_and_status(gateway):
    client = gateway().client()
    assert client.health() == {"protocol_version": 1, "status": "ok", "instance_id": "i-1",
                               "capabilities": ["execute", "upload"]}
    assert client.auth_check() == {"protocol_version": 1, "status": "ok", "authenticated": True,
                                   "token_id": "admin"}
    status = client.status()
    assert status["worker_count"] == 1 and status["workers"][0]["nickname"] == "alice"


def test_upload_then_send_the_file(gateway, tmp_path):
    served = gateway()
    client = served.client()
    source = tmp_path / "a report 2024 – Zoë ü.txt"
    source.write_bytes(b"quarterly figures\n" * 100)
    stored = client.upload(str(source))
    digest = hashlib.sha256(source.read_bytes()).hexdigest()
    assert {k: stored[k] for k in ("filename", "size", "sha256")} == {
        "filename": source.name, "size": source.stat().st_size, "sha256": digest}
    assert stored["reference"] == "artifact://" + stored["upload_id"]

    result = run(client, ["message", "send-file", "--to", "bob", "--file", stored["reference"]], "alice",
                 client_name="", cli_version=None)
    local = served.worker.argv[-1][-1]
    assert served.worker.argv[-1][:-1] == ["message", "send-file", "--to", "bob", "--file"]
    assert os.path.basename(local) == source.name
    with open(local, "rb") as stream:
        assert stream.read() == source.read_bytes()
    assert (result.exit_code, result.stderr, result.request_id) == (0, "", REQUEST_ID)
    assert result.result["argv"] == served.worker.argv[-1]
    assert result.result["_remote_transfer"]["filename"] == source.name


def test_upload_request_headers(canned, tmp_path):
    source = tmp_path / "fünf Äpfel/~x y_é%.bin"
    source.parent.mkdir()
    source.write_bytes(bytes(range(256)))
    canned.answer(201, {"upload_id": "u"})
    assert canned.client().upload(source) == {"upload_id": "u"}
    (method, path, headers, body), = canned.requests
    assert (method, path, body) == ("POST", "/v1/uploads", bytes(range(256)))
    sent = [(k.lower(), v) for k, v in headers if k.lower() in (
        "accept", "authorization", "content-type", "content-length", "x-filename-utf8", "x-content-sha256",
        "idempotency-key")]
    assert sent == [("accept", "application/json"), ("authorization", "Bearer " + TOKEN),
                    ("content-type", "application/octet-stream"), ("content-length", "256"),
                    ("x-filename-utf8", "~x%20y_%C3%A9%25.bin"),
                    ("x-content-sha256", hashlib.sha256(bytes(range(256))).hexdigest())]


def test_execute_request_body(canned):
    canned.answer(200, {"protocol_version": 1, "request_id": REQUEST_ID, "duration_ms": 5,
                        "command": {"exit_code": 3, "result": ["ü"], "stderr": "warn"}})
    argv = ("contacts", "details", "--name", "Zoë")
    assert run(canned.client(), argv, "alice", client_name="laptop", cli_version="4.1") == \
        remote.CommandResult(3, ["ü"], "warn", REQUEST_ID)
    assert run(canned.client(), ["status"], client_name="", cli_version=None).as_dict() == {
        "exit_code": 3, "result": ["ü"], "stderr": "warn"}
    (_, path, headers, body), (_, _, _, defaults) = canned.requests
    assert path == "/v1/commands" and dict(headers)["Idempotency-Key"] == REQUEST_ID
    assert body == json.dumps({"protocol_version": 1, "request_id": REQUEST_ID, "nickname": "alice",
                               "argv": list(argv), "client": {"client_id": CLIENT_ID, "client_name": "laptop",
                                                               "cli_version": "4.1"}},
                              ensure_ascii=False, separators=(",", ":")).encode()
    assert json.loads(defaults)["client"] == {"client_id": CLIENT_ID, "client_name": "qybridge4-client",
                                              "cli_version": "unknown"}
    assert json.loads(defaults)["nickname"] is None


@pytest.mark.parametrize("answer, message", [
    ({"protocol_version": 1, "request_id": str(uuid.uuid4()), "duration_ms": 1,
      "command": {"exit_code": 0, "result": None, "stderr": ""}}, "remote request_id does not match"),
    ({"protocol_version": 1, "request_id": REQUEST_ID, "duration_ms": 1,
      "command": {"exit_code": 300, "result": None, "stderr": ""}},
     "invalid remote command response: exit_code must be between 0 and 255"),
    ({"protocol_version": 1, "request_id": REQUEST_ID, "duration_ms": 1,
      "command": {"exit_code": True, "result": None, "stderr": ""}},
     "invalid remote command response: exit_code must be between 0 and 255"),
    ({"protocol_version": 1, "request_id": REQUEST_ID, "command": {}},
     "invalid remote command response: invalid command response fields"),
])
def test_execute_refuses_answers_it_cannot_trust(canned, answer, message):
    canned.answer(200, answer)
    with pytest.raises(RemoteClientError) as info:
        run(canned.client(), ["status"])
    assert info.value.as_dict() == {"code": "invalid_response", "message": message, "outcome": "unknown",
                                    "retryable": False, "http_status": None, "request_id": None}
    if message.startswith("invalid remote command response: "):
        assert type(info.value.__cause__) is ValueError
        assert message.endswith(str(info.value.__cause__))


@pytest.mark.parametrize("token, call, status, code, outcome", [
    ("wrong", lambda c: c.auth_check(), 401, "unauthorized", "not_started"),
    (TOKEN, lambda c: run(c, ["system", "shutdown"]), 403, "command_not_allowed", "not_started"),
    (TOKEN, lambda c: run(c, ["status"], request_id="not-a-uuid"), 400, "invalid_request", "not_started"),
    (TOKEN, lambda c: run(c, ["status"] * 257), 400, "invalid_request", "not_started"),
])
def test_gateway_refusals_come_back_as_its_error_body(gateway, token, call, status, code, outcome):
    served = gateway()
    with pytest.raises(RemoteClientError) as info:
        call(served.client(token=token))
    error = info.value
    assert (error.code, error.http_status, error.outcome, error.retryable) == (code, status, outcome, False)
    assert error.__cause__.code == status
    assert served.worker.argv == []


# --- refused before any request ---

@pytest.fixture
def home(tmp_path, set_home):
    return set_home(tmp_path)


def sparse(path, size):
    with open(path, "wb") as stream:
        stream.truncate(size)
    return path


@pytest.mark.parametrize("make, message", [
    (lambda home: home, "file not found: {home}"),
    (lambda home: home / "missing.txt", "file not found: {home}{sep}missing.txt"),
    (lambda home: "~/missing.txt", "file not found: {home}{sep}missing.txt"),
    (lambda home: sparse(home / "empty", 0), BAD_SIZE),
    (lambda home: sparse(home / "huge", LIMIT + 1), BAD_SIZE),
])
def test_upload_refusals_touch_no_network(canned, home, make, message):
    with pytest.raises(RemoteClientError) as info:
        canned.client().upload(make(home))
    assert info.value.as_dict() == {"code": "invalid_upload", "message": message.format(home=home, sep=os.sep),
                                    "outcome": "not_started", "retryable": False, "http_status": None,
                                    "request_id": None}
    assert canned.requests == []


@pytest.mark.posix("os.geteuid and chmod(0)")
def test_upload_file_system_errors_pass_unchanged(canned, tmp_path):
    locked = tmp_path / "locked"
    locked.mkdir()
    (locked / "file").write_bytes(b"x")
    with pytest.raises(TypeError):
        canned.client().upload(b"/bytes/path")
    if os.geteuid() != 0:
        locked.chmod(0)
        try:
            with pytest.raises(PermissionError):
                canned.client().upload(locked / "file")
        finally:
            locked.chmod(0o700)
    assert canned.requests == []


def test_upload_of_exactly_the_limit_is_stored(gateway, tmp_path):
    served = gateway()
    source = sparse(tmp_path / "limit.bin", LIMIT)
    stored = served.client().upload(source)
    assert (stored["size"], stored["sha256"]) == (LIMIT, hashlib.sha256(bytes(LIMIT)).hexdigest())


@pytest.mark.parametrize("argv, ids", [
    ("status", {}), (b"status", {}), ([], {}), ([1], {}), (["status", None], {}), ((), {}),
    (["status"], {"request_id": ""}), (["status"], {"client_id": None}), ("", {"request_id": ""}),
])
def test_execute_refusals_touch_no_network(canned, argv, ids):
    options = {"request_id": REQUEST_ID, "client_id": CLIENT_ID, **ids}
    with pytest.raises(RemoteClientError) as info:
        canned.client().execute(None, argv, **options)
    expected = "request_id and client_id are required" if ids else BAD_ARGV
    assert (info.value.code, info.value.message, info.value.outcome) == ("invalid_request", expected, "not_started")
    assert canned.requests == []


def test_execute_argv_that_cannot_be_iterated_is_the_runtimes_error(canned):
    with pytest.raises(TypeError):
        canned.client().execute(None, 5, request_id=REQUEST_ID, client_id=CLIENT_ID)
    with pytest.raises(TypeError):
        canned.client().execute(None, ["status"], request_id=REQUEST_ID)
    assert canned.requests == []


# --- the file is read once ---

def test_a_growing_file_is_sent_with_the_digest_of_the_bytes_sent(gateway, tmp_path):
    served = gateway()
    source = tmp_path / "growing.log"
    source.write_bytes(os.urandom(4 << 20))
    stop, started = threading.Event(), threading.Event()
    block = os.urandom(1 << 16)

    def append():
        # Keeps growing the file while the upload runs, up to 64 MiB more.
        with open(source, "ab") as stream:
            for _ in range(1024):
                stream.write(block)
                stream.flush()
                started.set()
                if stop.wait(0.001):
                    break

    writer = threading.Thread(target=append)
    writer.start()
    started.wait()
    try:
        stored = served.client().upload(source)
    finally:
        stop.set()
        writer.join()
    kept = served.uploads.resolve("admin", stored["reference"])
    sent = kept.path.read_bytes()
    assert hashlib.sha256(sent).hexdigest() == stored["sha256"] and len(sent) == stored["size"]
    assert source.read_bytes()[:len(sent)] == sent and len(sent) >= 4 << 20
