"""The gateway's HTTP API over real sockets: success answers, refusals and their error bodies."""
import errno
import http.server
import inspect
import json
import socket
import sys
import threading
import time

import pytest

import qybridge4.cli.remote as remote
import qybridge4.cli.worker as worker
from qybridge4.param import VERSION

from _gateway import (BOB_TOKEN, JSON_HEADERS, TOKENS, Gateway, Workers, assert_json_answer, command_body,
                      NamedOS, echo, gateway, raw_post, read_all)

RID = "0f8fad5b-d9cb-469f-a165-70867728950e"


# ---- class and function shapes --------------------------------------------------------

def test_classes_are_http_server_subclasses():
    assert remote.GatewayHTTPServer.__bases__ == (http.server.ThreadingHTTPServer,)
    assert remote.GatewayRequestHandler.__bases__ == (http.server.BaseHTTPRequestHandler,)
    assert remote.GatewayHTTPServer.daemon_threads is True
    assert remote.GatewayHTTPServer.allow_reuse_address is True
    assert remote.GatewayHTTPServer.__doc__ is None and remote.GatewayRequestHandler.__doc__ is None
    own = [name for name in vars(remote.GatewayHTTPServer) if not name.startswith("__")]
    assert own == ["daemon_threads", "allow_reuse_address", "server_bind"]
    handler = remote.GatewayRequestHandler
    assert (handler.server_version, handler.sys_version) == ("qybridge4-remote/1", "")
    assert handler.protocol_version == "HTTP/1.0" and handler.timeout is None
    assert handler.head_timeout == 30
    own = [name for name in vars(handler) if not name.startswith("__")]
    assert own == ["server_version", "sys_version", "head_timeout", "setup", "log_message", "_json",
                   "_error", "_principal", "do_GET", "do_POST"]


def test_signatures():
    sig = inspect.signature
    assert str(sig(remote.GatewayHTTPServer.__init__)) == (
        "(self, address, authorizer: 'TokenAuthorizer', router: 'RemoteRouter', instance_id=None, "
        "uploads=None)")
    assert str(sig(remote.GatewayHTTPServer.server_bind)) == "(self)"
    handler = remote.GatewayRequestHandler
    assert str(sig(handler._json)) == "(self, status: 'int', payload: 'dict')"
    assert str(sig(handler._error)) == "(self, status, code, message, request_id=None, outcome='not_started')"
    assert str(sig(handler._principal)) == "(self) -> 'RemotePrincipal | None'"
    assert str(sig(handler.do_GET)) == str(sig(handler.do_POST)) == str(sig(handler.setup)) == "(self)"
    params = sig(handler.log_message).parameters
    assert [(p.name, p.kind.name) for p in params.values()][1:] == [
        ("format", "POSITIONAL_OR_KEYWORD"), ("args", "VAR_POSITIONAL")]
    expected = "(*, tokens, host='127.0.0.1', port=8765, router=None, instance_id=None)"
    assert str(sig(remote.create_server)) == str(sig(remote.serve)) == expected
    assert remote.create_server.__doc__ == "Create, but do not start, a configured remote Gateway server."
    assert remote.serve.__doc__ is None


def test_log_message_writes_nothing(capfd):
    handler = remote.GatewayRequestHandler.__new__(remote.GatewayRequestHandler)
    assert handler.log_message('"%s" %s %s', "GET / HTTP/1.0", "200", "-") is None
    assert handler.log_message(format="x") is None
    with pytest.raises(TypeError, match=r"log_message\(\) missing 1 required positional argument: 'format'"):
        handler.log_message()
    with pytest.raises(TypeError, match="unexpected keyword argument 'level'"):
        handler.log_message("x", level=1)
    assert capfd.readouterr() == ("", "")


# ---- success answers -------------------------------------------------------------------

@pytest.mark.parametrize("authorization", [None, "Bearer wrong", "Basic abc"])
def test_health_needs_no_token(gateway, authorization):
    gw = gateway()
    head = "GET /v1/health HTTP/1.0\r\n" + (f"Authorization: {authorization}\r\n" if authorization else "")
    assert_json_answer(gw.raw(head.encode() + b"\r\n"), 200,
                       b'{"protocol_version":1,"status":"ok","instance_id":null,'
                       b'"capabilities":["execute","upload"]}')


def test_health_reports_instance_id(gateway):
    gw = gateway(instance_id="ab" * 16)
    assert gw.request("GET", "/v1/health", token=None).json == {
        "protocol_version": 1, "status": "ok", "instance_id": "ab" * 16, "capabilities": ["execute", "upload"]}


def test_auth_check(gateway):
    gw = gateway()
    assert_json_answer(gw.raw(b"GET /v1/auth/check HTTP/1.0\r\nAuthorization: Bearer s3cret-admin\r\n\r\n"),
                       200, b'{"protocol_version":1,"status":"ok","authenticated":true,"token_id":"admin"}')
    assert gw.request("GET", "/v1/auth/check", token=BOB_TOKEN).json["token_id"] == "bob-only"


def test_status_lists_the_tokens_workers(gateway):
    gw = gateway()
    answer = gw.request("GET", "/v1/status")
    assert answer.status == 200 and answer.names == JSON_HEADERS
    payload = answer.json
    assert list(payload) == ["protocol_version", "status", "workers", "worker_count"]
    assert payload["worker_count"] == 2
    assert [(w["nickname"], w["has_error"]) for w in payload["workers"]] == [("alice", False), ("bob", True)]
    assert "last_error" not in json.dumps(payload)
    only_bob = gw.request("GET", "/v1/status", token=BOB_TOKEN).json
    assert [w["nickname"] for w in only_bob["workers"]] == ["bob"] and only_bob["worker_count"] == 1


def test_command_answer(gateway):
    gw = gateway()
    body = command_body(["--json", "message", "send", "--to", "bob", "--text", "hi 你好"], "alice", RID)
    raw = gw.raw(raw_post("/v1/commands", [("Content-Length", len(body))], body))
    _, _, payload = raw.partition(b"\r\n\r\n")
    answer = json.loads(payload)
    assert answer["duration_ms"] >= 0 and type(answer["duration_ms"]) is int
    expected = (b'{"protocol_version":1,"request_id":"' + RID.encode() + b'","command":{"exit_code":0,'
                b'"result":{"argv":["--json","message","send","--to","bob","--text","hi \xe4\xbd\xa0\xe5\xa5\xbd"]},'
                b'"stderr":""},"duration_ms":%d}' % answer["duration_ms"])
    assert_json_answer(raw, 200, expected)
    record, argv, timeout = gw.workers.executed[0]
    assert (record["nickname"], type(argv), timeout) == ("alice", list, 60.0)
    assert gw.workers.found == ["alice"]


def test_duration_counts_the_workers_run(gateway):
    def slow(record, argv, timeout):
        time.sleep(0.05)
        return echo(record, argv, timeout)

    assert gateway(Workers(slow)).command(["status"]).json["duration_ms"] >= 50


def test_command_through_the_default_router(tmp_path):
    """create_server without a router runs commands on the package's workers."""
    server = remote.create_server(tokens={"admin": "t0ken"}, port=0, instance_id="i" * 32)
    assert isinstance(server.router, remote.RemoteRouter) and server.router.uploads is server.uploads
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    try:
        gw = Gateway(server, None)
        answer = gw.command(["status"], "bob", RID, token="t0ken")
        assert answer.status == 200
        assert answer.json["command"] == {"exit_code": 0, "stderr": "",
                                          "result": {"nickname": "bob", "state": "running",
                                                     "package_version": VERSION}}
    finally:
        server.shutdown()
        server.server_close()
        thread.join()


# ---- refusals --------------------------------------------------------------------------

def respond_with(value):
    def respond(record, argv, timeout):
        if isinstance(value, BaseException):
            raise value
        return value
    return respond


def nested(levels):
    value = 1
    for _ in range(levels):
        value = [value]
    return value


def ok(**command):
    return {"instance_id": "w", "nickname": "alice", "exit_code": 0, "result": None, "stderr": "", **command}


NOT_STARTED, UNKNOWN, COMPLETED = "not_started", "unknown", "completed"

# (argv, nickname, token, worker response) -> status, code, message, outcome; the request id travels.
COMMAND_REFUSALS = {
    "account": (["status"], "alice", BOB_TOKEN, None, 403, "account_forbidden",
                "token cannot access this account", NOT_STARTED),
    "default worker of another account": (["status"], None, BOB_TOKEN, None, 403, "account_forbidden",
                                          "token cannot access this account", NOT_STARTED),
    "not allowed": (["--json", "shell", "rm"], None, None, None, 403, "command_not_allowed",
                    "command is not available remotely: shell", NOT_STARTED),
    "no worker": (["status"], "carol", None, None, 404, "worker_not_found", "worker not found: carol",
                  NOT_STARTED),
    "timeout": (["status"], None, None, TimeoutError("late"), 504, "worker_timeout",
                "worker execution timed out", UNKNOWN),
    "unreachable": (["status"], None, None, worker.WorkerError("worker is not running: alice"), 503,
                    "worker_unreachable", "worker is not running: alice", UNKNOWN),
    "worker value error": (["status"], None, None, ValueError("bad words"), 400, "invalid_request",
                           "bad words", NOT_STARTED),
    "worker failure": (["status"], None, None, LookupError("boom"), 500, "internal_error",
                       "remote command failed", UNKNOWN),
    "exit code 256": (["status"], None, None, ok(exit_code=256), 500, "invalid_worker_response",
                      "worker returned an invalid command response", COMPLETED),
    # The router itself reads the worker's "stderr".
    "worker response without stderr": (["status"], None, None,
                                       {"instance_id": "w", "nickname": "a", "exit_code": 0, "result": 1},
                                       500, "internal_error", "remote command failed", UNKNOWN),
    "result not plain JSON": (["status"], None, None, ok(result=(1, 2)), 500, "invalid_worker_response",
                              "worker returned an invalid command response", COMPLETED),
    "result too deep for the wire": (["status"], None, None, ok(result=nested(31)), 500,
                                     "invalid_worker_response", "worker returned an invalid command response",
                                     COMPLETED),
    "listen pull without id": (["listen", "pull"], None, None, None, 400, "invalid_request",
                               "listen pull requires a subscription ID or --all", NOT_STARTED),
    "listen arguments": (["listen", "pull", "--bogus"], None, None, None, 400, "invalid_request",
                         "invalid listener arguments", NOT_STARTED),
    "listen callback": (["listen", "start", "bob", "--callback-code", "print(1)"], None, None, None, 403,
                        "callback_not_allowed", "remote callback code must run on the client", NOT_STARTED),
    # The fake worker's record is unknown to the package's worker module.
    "listener failure": (["listen", "list"], None, None, None, 503, "listener_failed",
                         "worker is not running: alice", UNKNOWN),
}

@pytest.mark.parametrize("case", COMMAND_REFUSALS)
def test_command_refusals(gateway, case):
    argv, nickname, token, response, status, code, message, outcome = COMMAND_REFUSALS[case]
    gw = gateway(Workers(respond_with(response)) if response is not None else None)
    answer = gw.command(argv, nickname, RID, token=token or TOKENS["admin"])
    assert answer.status == status and answer.names == JSON_HEADERS
    assert answer.error == {"code": code, "message": message, "request_id": RID,
                            "retryable": status in (429, 503, 504), "outcome": outcome}


@pytest.mark.parametrize("command", [None, [1, 2], "text", {"exit_code": 0, "result": None},
                                     {"exit_code": 256, "result": None, "stderr": ""},
                                     {"exit_code": 0, "result": None, "stderr": 3}])
def test_router_result_without_a_valid_command(gateway, command):
    gw = gateway()
    gw.server.router.execute_command = lambda *args: {"worker": {}, "command": command}
    answer = gw.command(["status"], request_id=RID)
    assert answer.status == 500
    assert answer.error == {"code": "invalid_worker_response",
                            "message": "worker returned an invalid command response", "request_id": RID,
                            "retryable": False, "outcome": "completed"}


def error_body(code, message, request_id=None, retryable=False, outcome="not_started"):
    return json.dumps({"protocol_version": 1, "error": {"code": code, "message": message,
                                                         "request_id": request_id, "retryable": retryable,
                                                         "outcome": outcome}},
                      separators=(",", ":"), ensure_ascii=False).encode()


def long_digits():
    return "9" * 5000


BAD_REQUESTS = {
    "no token": (b"GET /v1/auth/check HTTP/1.0\r\n\r\n", 401, "unauthorized", "valid bearer token required"),
    "wrong token": (b"GET /v1/status HTTP/1.0\r\nAuthorization: Bearer nope\r\n\r\n", 401, "unauthorized",
                    "valid bearer token required"),
    "scheme case": (b"GET /v1/status HTTP/1.0\r\nAuthorization: bearer s3cret-admin\r\n\r\n", 401,
                    "unauthorized", "valid bearer token required"),
    "trailing blank in token": (b"GET /v1/status HTTP/1.0\r\nAuthorization: Bearer s3cret-admin \r\n\r\n",
                                401, "unauthorized", "valid bearer token required"),
    "post without token": (raw_post("/v1/commands", [("Content-Length", 2)], b"{}", token=None), 401,
                           "unauthorized", "valid bearer token required"),
    "unknown path before auth": (b"GET /v1/secret HTTP/1.0\r\nAuthorization: Bearer nope\r\n\r\n", 404,
                                 "not_found", "endpoint not found"),
    "query string": (b"GET /v1/health?probe=1 HTTP/1.0\r\n\r\n", 404, "not_found", "endpoint not found"),
    "trailing slash": (b"GET /v1/status/ HTTP/1.0\r\n\r\n", 404, "not_found", "endpoint not found"),
    "get of a post path": (b"GET /v1/commands HTTP/1.0\r\n\r\n", 404, "not_found", "endpoint not found"),
    "post of a get path": (raw_post("/v1/status", [("Content-Length", 2)], b"{}", token="nope"), 404,
                           "not_found", "endpoint not found"),
    "no content length": (raw_post("/v1/commands", []), 400, "invalid_request",
                          "valid Content-Length required"),
    "empty content length": (raw_post("/v1/commands", [("Content-Length", "")]), 400, "invalid_request",
                             "valid Content-Length required"),
    **{f"content length {v!r}": (raw_post("/v1/commands", [("Content-Length", v)], b"{}"), 400,
                                 "invalid_request", "valid Content-Length required")
       for v in ["+2", "-2", "2 ", "0x2", "2.0", "1e1", "\u00b2", "2,2"]},
    "content length 0": (raw_post("/v1/commands", [("Content-Length", 0)]), 400, "invalid_request",
                         "invalid JSON: Expecting value"),
    "too large": (raw_post("/v1/commands", [("Content-Length", 262145)]), 413, "request_too_large",
                  "request body is too large"),
    "beyond the integer conversion limit": (raw_post("/v1/commands", [("Content-Length", long_digits())]),
                                            413, "request_too_large", "request body is too large"),
    "bad json": (raw_post("/v1/commands", [("Content-Length", 5)], b"{oops"), 400, "invalid_request",
                 "invalid JSON: Expecting property name enclosed in double quotes"),
    "duplicate key": (raw_post("/v1/commands", [("Content-Length", 16)], b'{"a": 1, "a": 2}'), 400,
                      "invalid_request", "duplicate JSON key: a"),
    "not utf-8": (raw_post("/v1/commands", [("Content-Length", 4)], b'"\xff"x'[:4]), 400, "invalid_request",
                  "JSON payload must be UTF-8"),
    "request fields": (raw_post("/v1/commands", [("Content-Length", 2)], b"{}"), 400, "invalid_request",
                       "invalid command request fields"),
}


@pytest.mark.parametrize("case", BAD_REQUESTS)
def test_refusals_before_a_request_id(gateway, case):
    data, status, code, message = BAD_REQUESTS[case]
    raw = gateway().raw(data)
    assert_json_answer(raw, status, error_body(code, message))
    assert b"WWW-Authenticate" not in raw


def test_body_at_the_limit_is_read(gateway):
    body = command_body(["status"], request_id=RID)
    body += b" " * (262144 - len(body))
    answer = gateway().request("POST", "/v1/commands", body)
    assert answer.status == 200 and answer.json["request_id"] == RID


def test_request_field_message_is_passed_through(gateway):
    body = json.loads(command_body(["status"]))
    body["client"]["client_name"] = "x" * 129
    answer = gateway().request("POST", "/v1/commands", json.dumps(body).encode())
    assert (answer.status, answer.error["message"]) == (400, "invalid client.client_name")
    assert answer.error["request_id"] is None


def test_nesting_beyond_the_recursion_limit_is_internal(gateway):
    depth = sys.getrecursionlimit() + 100
    body = b"[" * depth + b"]" * depth
    answer = gateway().request("POST", "/v1/commands", body)
    assert answer.status == 500
    assert answer.error == {"code": "internal_error", "message": "remote command failed", "request_id": None,
                            "retryable": False, "outcome": "unknown"}


def test_status_query_failure(gateway):
    answer = gateway(Workers(rows=OSError("registry down"))).request("GET", "/v1/status")
    assert answer.status == 503
    assert answer.error == {"code": "service_unavailable", "message": "worker registry is unavailable",
                            "request_id": None, "retryable": True, "outcome": "not_started"}


@pytest.mark.parametrize("method", ["HEAD", "PUT", "DELETE", "OPTIONS"])
def test_other_methods_get_the_base_class_page(gateway, method):
    gw = gateway()
    raw = gw.raw(f"{method} /v1/health HTTP/1.0\r\n\r\n".encode())
    line, headers, body = raw.partition(b"\r\n")[0], raw.split(b"\r\n\r\n")[0], raw.split(b"\r\n\r\n", 1)[1]
    assert line == b"HTTP/1.0 501 Unsupported method ('%s')" % method.encode()
    assert b"Content-Type: text/html;charset=utf-8" in headers
    assert (body == b"") if method == "HEAD" else body.startswith(b"<!DOCTYPE HTML>")
    assert gw.workers.found == []


@pytest.mark.parametrize("request_bytes, start", [
    # Refused before the version is known: the base class writes its page alone.
    (b"GET /v1/health HTTP/2.0\r\n\r\n", b"<!DOCTYPE HTML>"),
    (b"GET /v1/health HTTP/1.0\r\nX-Long: " + b"a" * 70000 + b"\r\n\r\n",
     b"HTTP/1.0 431 Line too long\r\n"),
])
def test_malformed_requests_get_the_base_class_page(gateway, request_bytes, start):
    gw = gateway()
    raw = gw.raw(request_bytes)
    assert raw.startswith(start) and b"application/json" not in raw and b"<title>Error response</title>" in raw
    assert gw.workers.found == []


def test_a_second_request_on_the_connection_is_not_read(gateway):
    gw = gateway()
    request = b"GET /v1/health HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n\r\n"
    raw = gw.raw(request * 2, shut=False)
    assert raw.count(b"HTTP/1.0 200 OK") == 1
    assert raw.endswith(b'"capabilities":["execute","upload"]}')


def test_simple_request_gets_the_body_alone(gateway):
    # An HTTP/0.9 request line: the base class writes neither status line nor headers.
    assert gateway().raw(b"GET /v1/health\r\n\r\n") == (
        b'{"protocol_version":1,"status":"ok","instance_id":null,"capabilities":["execute","upload"]}')


def test_no_request_log(gateway, capfd):
    gw = gateway()
    gw.request("GET", "/v1/health")
    gw.command(["status"])
    gw.raw(b"PUT / HTTP/1.0\r\n\r\n")
    assert capfd.readouterr().err == ""


# ---- create_server and serve -----------------------------------------------------------

def test_create_server_builds_the_authorizer(gateway):
    authorizer = remote.TokenAuthorizer.from_tokens({"admin": "x"})
    router = remote.RemoteRouter()
    server = remote.create_server(tokens=authorizer, port=0, router=router, instance_id="abc")
    try:
        assert server.authorizer is authorizer and server.router is router and server.instance_id == "abc"
        assert isinstance(server.uploads, remote.UploadStore) and router.uploads is server.uploads
        assert server.server_address[0] == "127.0.0.1" and server.RequestHandlerClass is remote.GatewayRequestHandler
    finally:
        server.server_close()
    server = remote.create_server(tokens={"admin": "x", "bob": ("y", ["bob"])}, port=0)
    try:
        assert isinstance(server.authorizer, remote.TokenAuthorizer)
        assert server.authorizer.authenticate("Bearer y") == remote.RemotePrincipal("bob", frozenset({"bob"}))
        assert server.instance_id is None
    finally:
        server.server_close()
    with pytest.raises(ValueError, match="token id and secret must not be empty"):
        remote.create_server(tokens={"admin": ""}, port=0)


def test_server_keeps_a_given_store_and_hands_it_to_the_router(tmp_path):
    store = remote.UploadStore(tmp_path)
    router = remote.RemoteRouter()
    server = remote.GatewayHTTPServer(("127.0.0.1", 0), remote.TokenAuthorizer({}), router, uploads=store)
    try:
        assert server.uploads is store and router.uploads is store
    finally:
        server.server_close()


def test_bind_failure_raises_after_the_router_got_its_store():
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        router = remote.RemoteRouter()
        with pytest.raises(OSError):
            remote.GatewayHTTPServer(taken.getsockname(), remote.TokenAuthorizer({}), router)
        assert isinstance(router.uploads, remote.UploadStore)
        with pytest.raises(OverflowError):
            remote.create_server(tokens={}, port=70000)


@pytest.mark.parametrize("os_name, reuse", [("nt", False), ("posix", True)])
def test_address_reuse_is_left_off_on_windows(monkeypatch, os_name, reuse):
    # Windows' SO_REUSEADDR would let this socket join a port that another one listens on.
    monkeypatch.setattr(remote, "os", NamedOS(os_name))
    server = remote.create_server(tokens={}, port=0)
    try:
        assert bool(server.socket.getsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR)) is reuse
        assert server.allow_reuse_address is reuse and remote.GatewayHTTPServer.allow_reuse_address is True
        # The bind went through HTTPServer's own, which names the bound port.
        assert server.server_port == server.socket.getsockname()[1] == server.server_address[1] != 0
    finally:
        server.server_close()


# Named posix, the server sets SO_REUSEADDR, with which Windows lets it bind a port in use.
@pytest.mark.parametrize("os_name", ["nt", pytest.param("posix", marks=pytest.mark.posix("SO_REUSEADDR's rules"))])
def test_a_port_in_use_fails_with_the_systems_error(monkeypatch, os_name):
    monkeypatch.setattr(remote, "os", NamedOS(os_name))
    for reuse in (0, 1):
        with socket.socket() as taken:
            taken.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, reuse)
            taken.bind(("127.0.0.1", 0))
            taken.listen()
            with pytest.raises(OSError) as caught:
                remote.create_server(tokens={}, port=taken.getsockname()[1])
            assert caught.value.errno == errno.EADDRINUSE


def test_a_start_right_after_a_stop_takes_the_port_again_on_posix(monkeypatch):
    # The server closes each connection first, so its side of one waits in TIME_WAIT on the port.
    monkeypatch.setattr(remote, "os", NamedOS("posix"))
    server = remote.create_server(tokens={}, port=0)
    port = server.server_address[1]
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=30) as sock:
            sock.sendall(b"GET /v1/health HTTP/1.0\r\n\r\n")
            answer = read_all(sock)
    finally:
        server.shutdown()
        server.server_close()
        thread.join(30)
    assert answer.startswith(b"HTTP/1.0 200 ")
    again = remote.create_server(tokens={}, port=port)
    again.server_close()


def loop_ended():
    raise RuntimeError("loop ended")


@pytest.mark.parametrize("loop", [lambda: None, loop_ended])
def test_serve_closes_the_socket(monkeypatch, loop):
    made = []
    real = remote.create_server

    def create_server(**kwargs):
        server = real(**kwargs)
        server.serve_forever = loop
        made.append((kwargs, server))
        return server

    monkeypatch.setattr(remote, "create_server", create_server)
    if loop is loop_ended:
        with pytest.raises(RuntimeError, match="loop ended"):
            remote.serve(tokens={"a": "b"}, port=0, instance_id="i")
    else:
        assert remote.serve(tokens={"a": "b"}, port=0, instance_id="i") is None
    (kwargs, server), = made
    assert kwargs == {"tokens": {"a": "b"}, "host": "127.0.0.1", "port": 0, "router": None, "instance_id": "i"}
    assert server.socket.fileno() == -1


def test_serve_answers_requests(monkeypatch):
    servers = []
    real = remote.create_server
    monkeypatch.setattr(remote, "create_server", lambda **kwargs: servers.append(real(**kwargs)) or servers[-1])
    thread = threading.Thread(target=remote.serve, kwargs={"tokens": {"a": "b"}, "port": 0}, daemon=True)
    thread.start()
    while not servers:
        assert thread.is_alive(), "serve ended before it made a server"
        thread.join(0.01)
    server = servers[0]
    try:
        assert Gateway(server, None).request("GET", "/v1/auth/check", token="b").json["token_id"] == "a"
    finally:
        server.shutdown()
        thread.join()
    assert server.socket.fileno() == -1
