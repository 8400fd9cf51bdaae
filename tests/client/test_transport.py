"""RemoteClient's constructor and transport: request shape, bounded strict reading, and every
HTTP or connection failure as a RemoteClientError, over real sockets on 127.0.0.1."""
from __future__ import annotations

import email.message
import inspect
import io
import json
import math
import os
import ssl
import subprocess
import sys
import urllib.error
import urllib.request
from pathlib import Path
from typing import Any, Callable, Mapping, Sequence

import pytest

import qybridge4.cli.remote as remote
from _endpoints import JOIN, REQUEST_ID, TOKEN, free_port, tls_wrap
from strict_json_reference import reference_strict_json

RemoteClientError = remote.RemoteClientError


class Reference:
    def __init__(self, base_url: str, token: str, *, allow_insecure: bool = False, timeout: float = 60.0,
                 ca_bundle: str | None = None, verify_tls: bool = True,
                 urlopen: Callable[..., Any] | None = None, max_response_bytes: int = 1048576) -> None: ...

    def health(self) -> Mapping[str, Any]: ...

    def auth_check(self) -> Mapping[str, Any]: ...

    def status(self) -> Mapping[str, Any]: ...

    def upload(self, path: str | Path) -> Mapping[str, Any]: ...

    def execute(self, nickname: str | None, argv: Sequence[str], *, request_id: str, client_id: str,
                client_name: str | None = None, cli_version: str | None = None) -> CommandResult: ...

    def _request(self, method: str, path: str, payload: Mapping[str, Any] | None = None, *,
                 request_id: str | None = None, idempotency_key: str | None = None) -> Mapping[str, Any]: ...

    def _open_request(self, request, method, request_id=None): ...

    def _raise_http_error(self, exc: urllib.error.HTTPError, request_id: str | None) -> None: ...


def test_class_shape_and_signatures(monkeypatch):
    cls = remote.RemoteClient
    assert cls.__bases__ == (object,) and cls.__doc__ is None
    own = [k for k in vars(cls) if not k.startswith("__") or k == "__init__"]
    assert own == [k for k in vars(Reference) if not k.startswith("__") or k == "__init__"]
    for name in own:
        native, reference = vars(cls)[name], vars(Reference)[name]
        assert inspect.signature(native) == inspect.signature(reference), name
        assert native.__annotations__ == reference.__annotations__, name
        assert native.__qualname__ == "RemoteClient." + name
    assert list(cls.__init__.__kwdefaults__) == ["allow_insecure", "timeout", "ca_bundle", "verify_tls",
                                                 "urlopen", "max_response_bytes"]
    monkeypatch.setattr(remote, "MAX_RESPONSE_BYTES", 5)
    assert remote.RemoteClient("http://localhost", "t").max_response_bytes == 1048576
    with pytest.raises(TypeError):
        remote.RemoteClient("http://localhost", "t", False)


def test_constructor_stores_what_it_was_given():
    opener = lambda request, **options: None  # noqa: E731
    client = remote.RemoteClient(" http://127.0.0.1:9/base/ ", "  ", timeout=3, urlopen=opener,
                                 max_response_bytes="not checked", verify_tls=False, ca_bundle="/missing")
    assert list(vars(client).items()) == [("base_url", "http://127.0.0.1:9/base"), ("token", "  "),
                                          ("timeout", 3), ("max_response_bytes", "not checked"),
                                          ("_urlopen", opener), ("_ssl_context", None)]
    own = remote.RemoteClient("http://localhost", "t", urlopen=0)._urlopen
    assert callable(own) and own is not urllib.request.urlopen  # the client's own (test_opener)
    nan = remote.RemoteClient("http://localhost", "t", timeout=math.nan)
    assert math.isnan(nan.timeout)


@pytest.mark.parametrize("args, options, code, message", [
    (("http://gw.example.org", ""), {}, "insecure_remote_url",
     "non-loopback remote connections require HTTPS (or explicit allow_insecure)"),
    (("", None), {"timeout": 0}, "invalid_base_url", "remote base URL is required"),
    (("http://localhost", ""), {"timeout": 0}, "missing_token", "remote token is required"),
    (("http://localhost", b"token"), {}, "missing_token", "remote token is required"),
    (("http://localhost", "t"), {"timeout": 0}, "invalid_timeout", "remote timeout must be positive"),
    (("http://localhost", "t"), {"timeout": -0.5}, "invalid_timeout", "remote timeout must be positive"),
])
def test_constructor_checks_url_then_token_then_timeout(args, options, code, message):
    with pytest.raises(RemoteClientError) as info:
        remote.RemoteClient(*args, **options)
    assert (info.value.code, info.value.message, info.value.outcome) == (code, message, "not_started")


def test_constructor_comparison_failure_is_the_runtimes_own():
    with pytest.raises(TypeError):
        remote.RemoteClient("http://localhost", "t", timeout="10")


def test_tls_context_follows_scheme_and_verification(certificate):
    cert, _ = certificate
    verified = remote.RemoteClient("HTTPS://gw.example.org", "t", ca_bundle=str(cert))._ssl_context
    assert verified.verify_mode == ssl.CERT_REQUIRED and verified.check_hostname
    assert len(verified.get_ca_certs()) == 1
    loose = remote.RemoteClient("https://gw.example.org", "t", verify_tls=False, ca_bundle="/missing")
    assert loose._ssl_context.verify_mode == ssl.CERT_NONE and not loose._ssl_context.check_hostname
    assert remote.RemoteClient("http://localhost", "t", ca_bundle="/missing")._ssl_context is None


@pytest.mark.parametrize("content, error", [(None, FileNotFoundError), (b"not a certificate", ssl.SSLError)])
def test_unreadable_ca_bundle_fails_the_constructor_unconverted(tmp_path, content, error):
    bundle = tmp_path / "ca.pem"
    if content is not None:
        bundle.write_bytes(content)
    with pytest.raises(error):
        remote.RemoteClient("https://127.0.0.1", "t", ca_bundle=str(bundle))


def test_opener_options_follow_the_scheme(canned):
    seen = []

    def opener(request, **options):
        seen.append(options)
        return urllib.request.urlopen(request.full_url.replace("https://gw.example.org", canned.url),
                                      timeout=options["timeout"])

    canned.answer(200, {"ok": True})
    plain = remote.RemoteClient(canned.url, TOKEN, timeout=7, urlopen=opener)
    secure = remote.RemoteClient("https://gw.example.org", TOKEN, timeout=8, urlopen=opener)
    assert plain.health() == {"ok": True} and secure.health() == {"ok": True}
    assert seen[0] == {"timeout": 7}
    assert list(seen[1]) == ["timeout", "context"] and seen[1]["context"] is secure._ssl_context


# --- the request ---

def ours(headers):
    """The headers the client sets itself, in the order sent, names in lower case."""
    names = ("accept", "authorization", "content-type", "idempotency-key")
    return [(k.lower(), v) for k, v in headers if k.lower() in names]


def test_request_body_headers_and_url(canned):
    canned.answer(200, {"done": True})
    client = remote.RemoteClient(canned.url + "/base/", TOKEN, timeout=JOIN)
    payload = {"z": 1, "a": ["é", None, 1.5]}
    assert client._request("POST", "/v1/x?y", payload, request_id="r", idempotency_key="key-1") == {"done": True}
    assert client._request("GET", "/v1/health", idempotency_key="") == {"done": True}
    (method, path, headers, body), (method2, path2, headers2, body2) = canned.requests
    assert (method, path, body) == ("POST", "/base/v1/x?y", '{"z":1,"a":["é",null,1.5]}'.encode())
    assert ours(headers) == [("accept", "application/json"), ("authorization", "Bearer " + TOKEN),
                             ("content-type", "application/json; charset=utf-8"), ("idempotency-key", "key-1")]
    assert dict(headers)["Content-Length"] == str(len(body))
    assert (method2, path2, body2) == ("GET", "/base/v1/health", b"")
    assert ours(headers2) == [("accept", "application/json"), ("authorization", "Bearer " + TOKEN)]


def test_unwritable_payload_fails_before_sending(canned):
    with pytest.raises(TypeError):
        canned.client()._request("POST", "/v1/commands", {"when": object()})
    assert canned.requests == []


# --- answers the gateway never gives ---

BIG = {"error": {"code": "busy", "message": "m" * 80, "request_id": REQUEST_ID, "retryable": True,
                 "outcome": "completed"}}


def error_body(**fields):
    error = {"code": "worker_unreachable", "message": "worker gone", "request_id": REQUEST_ID,
             "retryable": True, "outcome": "unknown"}
    error.update(fields)
    return {"protocol_version": 1, "error": error}


def failure(code, message, outcome="unknown", retryable=False, http_status=None, request_id=None):
    return {"code": code, "message": message, "outcome": outcome, "retryable": retryable,
            "http_status": http_status, "request_id": request_id}


INVALID = "remote returned invalid JSON: "
NOT_OBJECT = failure("invalid_response", "remote response must be a JSON object")
TOO_LARGE = failure("response_too_large", "remote response exceeds size limit")

# (operation, status, body, max_response_bytes, the failure's attributes; a message ending in
# "…" is a prefix)
FAILURES = [
    ("health", 200, b'{"a":"' + b"x" * 55 + b'"}', 62, TOO_LARGE),
    ("health", 200, b"{}", 0, TOO_LARGE),
    ("health", 200, b"", 0, failure("invalid_response", INVALID + "…")),
    ("health", 200, b"", None, failure("invalid_response", INVALID + "…")),
    ("health", 200, b"\xef\xbb\xbf{}", None, failure("invalid_response", INVALID + "…")),
    ("health", 200, b'{"a":"\xff"}', None, failure("invalid_response", INVALID + "…")),
    ("health", 200, b'{"a":{"b":1,"b":2}}', None,
     failure("invalid_response", INVALID + "duplicate JSON field: b")),
    ("health", 200, b'{"a":[NaN]}', None, failure("invalid_response", INVALID + "invalid JSON number: NaN")),
    ("health", 200, b'{"a":-Infinity}', None,
     failure("invalid_response", INVALID + "invalid JSON number: -Infinity")),
    ("health", 200, b"[" * 100000, None, failure("invalid_response", INVALID + "…")),
    ("health", 200, b"[{}]", None, NOT_OBJECT),
    ("health", 200, b"42", None, NOT_OBJECT),
    ("health", 200, b'"text"', None, NOT_OBJECT),
    ("health", 200, b"null", None, NOT_OBJECT),
    ("health", 200, b"{} {}", None, failure("invalid_response", INVALID + "…")),
    ("status", 503, error_body(), None,
     failure("worker_unreachable", "worker gone", "unknown", True, 503, REQUEST_ID)),
    ("status", 502, b"<html><body>Bad gateway</body></html>", None,
     failure("remote_http_error", "remote HTTP error 502", "not_started", True, 502)),
    ("status", 500, b"", None, failure("remote_http_error", "remote HTTP error 500", "not_started", False, 500)),
    ("status", 429, b"[1]", None, failure("remote_http_error", "remote HTTP error 429", "not_started", True, 429)),
    ("status", 504, {"error": "timeout"}, None,
     failure("remote_http_error", "remote HTTP error 504", "not_started", True, 504)),
    ("status", 500, error_body(retryable=1, outcome="done", request_id=None), None,
     failure("worker_unreachable", "worker gone", "not_started", False, 500)),
    ("status", 503, error_body(code=7, message=None, outcome=["unknown"]), None,
     failure("remote_http_error", "remote HTTP error 503", "not_started", True, 503, REQUEST_ID)),
    ("status", 400, error_body(code="", message=""), None, failure("", "", "unknown", True, 400, REQUEST_ID)),
    ("status", 503, BIG, len(json.dumps(BIG)) - 1,
     failure("remote_http_error", "remote HTTP error 503", "not_started", True, 503)),
    ("status", 503, BIG, len(json.dumps(BIG)), failure("busy", "m" * 80, "completed", True, 503, REQUEST_ID)),
    ("status", 500, error_body(outcome="completed", retryable=False), None,
     failure("worker_unreachable", "worker gone", "completed", False, 500, REQUEST_ID)),
    ("status", 401, b'{"error":{"code":"a","code":"b"}}', None,
     failure("remote_http_error", "remote HTTP error 401", "not_started", False, 401)),
    ("auth_check", 200, {"authenticated": 1}, None,
     failure("invalid_response", "remote authentication was not confirmed", "not_started")),
    ("auth_check", 200, {"authenticated": "true"}, None,
     failure("invalid_response", "remote authentication was not confirmed", "not_started")),
    ("auth_check", 200, {"status": "ok"}, None,
     failure("invalid_response", "remote authentication was not confirmed", "not_started")),
]


@pytest.mark.parametrize("operation, status, body, limit, expected", FAILURES)
def test_answers_become_client_errors(canned, operation, status, body, limit, expected):
    canned.answer(status, body)
    client = canned.client() if limit is None else canned.client(max_response_bytes=limit)
    with pytest.raises(RemoteClientError) as info:
        getattr(client, operation)()
    got = info.value.as_dict()
    if expected["message"].endswith("…"):
        assert got["message"].startswith(expected["message"][:-1]) and len(got["message"]) > len(INVALID)
        got["message"] = expected["message"]
    assert got == expected
    assert len(canned.requests) == 1
    if status >= 400:
        assert isinstance(info.value.__cause__, urllib.error.HTTPError) and info.value.__cause__.code == status
    elif expected["message"].startswith(INVALID):
        assert isinstance(info.value.__cause__, ValueError)


# A POST whose answer came from a reverse proxy that gave up on the gateway may have started its
# command: (status, body, code, message, outcome, retryable).
GATEWAY_LOST = "remote HTTP error %d"
POST_FAILURES = [
    (502, b"<html><body>Bad gateway</body></html>", "remote_http_error", GATEWAY_LOST % 502, "unknown", False),
    (504, b"", "remote_http_error", GATEWAY_LOST % 504, "unknown", False),
    (504, {"error": "timeout"}, "remote_http_error", GATEWAY_LOST % 504, "unknown", False),
    (504, error_body(outcome="done", retryable=1), "worker_unreachable", "worker gone", "unknown", False),
    (502, error_body(outcome="not_started", retryable=True), "worker_unreachable", "worker gone",
     "not_started", True),
    (504, error_body(outcome="completed"), "worker_unreachable", "worker gone", "completed", True),
    (503, b"", "remote_http_error", GATEWAY_LOST % 503, "not_started", True),
    (429, b"", "remote_http_error", GATEWAY_LOST % 429, "not_started", True),
    (500, b"", "remote_http_error", GATEWAY_LOST % 500, "not_started", False),
]


@pytest.mark.parametrize("status, body, code, message, outcome, retryable", POST_FAILURES)
@pytest.mark.parametrize("operation", ["execute", "upload"])
def test_a_post_that_a_proxy_gave_up_on_may_have_run(canned, tmp_path, operation, status, body, code, message,
                                                     outcome, retryable):
    canned.answer(status, body)
    client = canned.client()
    if operation == "upload":
        source = tmp_path / "report.txt"
        source.write_bytes(b"figures")
        call, fallback_id = lambda: client.upload(source), None
    else:
        call, fallback_id = lambda: client.execute(None, ["status"], request_id=REQUEST_ID, client_id="c"), REQUEST_ID
    with pytest.raises(RemoteClientError) as info:
        call()
    request_id = REQUEST_ID if code == "worker_unreachable" else fallback_id
    assert info.value.as_dict() == failure(code, message, outcome, retryable, status, request_id)
    assert canned.requests[0][0] == "POST"


class Logged(remote.RemoteClient):
    """A subclass that logs each HTTP error answer through the listed signature."""

    def _raise_http_error(self, exc, request_id):
        self.seen.append((exc.code, request_id))
        super()._raise_http_error(exc, request_id)


@pytest.mark.parametrize("operation, outcome, retryable, request_id", [
    ("status", "not_started", True, None),
    ("execute", "unknown", False, REQUEST_ID),   # a POST behind a proxy that gave up
])
def test_an_override_of_the_listed_signature_maps_every_error_answer(canned, operation, outcome, retryable,
                                                                     request_id):
    canned.answer(502, b"")
    client = Logged(canned.url, TOKEN, timeout=JOIN)
    client.seen = []
    call = getattr(client, operation)
    with pytest.raises(RemoteClientError) as info:
        call() if operation == "status" else call(None, ["status"], request_id=REQUEST_ID, client_id="c")
    assert client.seen == [(502, request_id)]
    assert info.value.as_dict() == failure("remote_http_error", GATEWAY_LOST % 502, outcome, retryable, 502,
                                           request_id)


@pytest.mark.parametrize("raw, exact", [
    (b'{"status":"ok","future":{"nested":[1,2]},"instance_id":null}', False),
    (b'{"a":"' + b"x" * 57 + b'"}', True),
    ('{"big":1e400,"n":1000000000000000000000000000000,"s":"\u2028\u00e9"}'.encode(), False),
])
def test_success_answers_are_returned_whole(canned, raw, exact):
    canned.answer(200, raw)
    opened = []

    def opener(request, **options):
        opened.append(urllib.request.urlopen(request, **options))
        return opened[-1]

    client = canned.client(urlopen=opener, max_response_bytes=len(raw) if exact else 1048576)
    assert client.health() == json.loads(raw)
    assert opened[0].closed


def test_response_too_large_still_closes_the_answer(canned):
    canned.answer(200, {"a": "x" * 100})
    opened = []

    def opener(request, **options):
        opened.append(urllib.request.urlopen(request, **options))
        return opened[-1]

    with pytest.raises(RemoteClientError, match="exceeds size limit"):
        canned.client(urlopen=opener, max_response_bytes=10).health()
    assert opened[0].closed


class Answer:
    """A response as an injected opener may give it: `read` fails or answers, `close` is optional."""

    def __init__(self, data=None, close=True):
        self.data, self.read_sizes, self.closed = data, [], False
        if not close:
            self.close = None

    def read(self, size):
        self.read_sizes.append(size)
        if self.data is None:
            raise ConnectionResetError("reset by peer")
        return self.data

    def close(self):
        self.closed = True


def test_injected_opener_answer_is_read_once_and_closed_also_on_failure():
    failing, closeless = Answer(), Answer(b'{"ok":true}', close=False)
    client = remote.RemoteClient("http://localhost", TOKEN, urlopen=lambda r, **o: failing, max_response_bytes=9)
    with pytest.raises(RemoteClientError) as info:
        client.status()
    assert (info.value.message, failing.read_sizes, failing.closed) == (
        "cannot reach remote gateway: reset by peer", [10], True)
    assert type(info.value.__cause__) is ConnectionResetError
    client = remote.RemoteClient("http://localhost", TOKEN, urlopen=lambda r, **o: closeless)
    assert client.health() == {"ok": True} and closeless.read_sizes == [1048577]


@pytest.mark.parametrize("data", [
    b' [1, {"a": {"b": null}}, "\\u00e9", 1e400, -0.0, 12345678901234567890] ',
    b'{"z":1,"a":2,"m":{}}',
    b'{"k:\\"{[":"v:}]\\\\","x":{"y":"\\\\","z":[{"p":1},{"p":2,"q":":"}]}}',
    b'{"a":1,"\\u0061":2}',
    b'{"a":{"x":1},"a":2}',
    b'[{"a":1},{"b":1,"c":{"d":1,"d":2}}]',
    b'{"a":{"b":1,"b":2},"c":NaN}',
    b'{"c":NaN,"a":{"b":1,"b":2}}',
    b'{"a":{"b":1,"b":2},"c":}',
    b'{"a":[1,2}',
    b'{"a":1} x',
    b'"\\ud800"',
    b"\xef\xbb\xbf1",
    b"\xc3",
    b"Infinity",
    b"[" * 512 + b"]" * 512,
    b'{"a":' * 300 + b"1" + b"}" * 300,
])
def test_strict_json_beside_the_reference(data):
    try:
        got = remote._strict_json(data)
    except RemoteClientError as error:
        assert (error.code, error.outcome, error.retryable) == ("invalid_response", "unknown", False)
        assert isinstance(error.__cause__, ValueError) and error.message == INVALID + str(error.__cause__)
        got = error.message
    try:
        expected = reference_strict_json(data)
    except ValueError as exc:
        expected = INVALID + str(exc)
    assert got == expected
    if isinstance(got, dict):
        assert list(got) == list(expected)


def test_strict_json_refuses_deep_nesting_without_recursing():
    for data in (b"[" * 513 + b"]" * 513, b"[" * 100000, b'{"a":' * 100000):
        with pytest.raises(RemoteClientError) as info:
            remote._strict_json(data)
        assert info.value.message.startswith(INVALID) and info.value.outcome == "unknown"


DEEP_BUFFERS = """
import sys
import qybridge4.cli.remote as remote
sys.setrecursionlimit(10 ** 7)
class Body(bytes):
    pass
for data in (bytearray(b"[" * 300000), Body(b'{"a":' * 300000)):
    try:
        remote._strict_json(data)
    except remote.RemoteClientError as error:
        print(error.message)
"""


def test_strict_json_measures_any_buffer_under_a_high_recursion_limit():
    # With the limit raised, only the reader's own bound keeps json off the end of the C stack.
    env = dict(os.environ, PYTHONPATH=str(Path(remote.__file__).resolve().parents[2]))
    done = subprocess.run([sys.executable, "-c", DEEP_BUFFERS], env=env, capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [INVALID + "JSON nesting is too deep"] * 2


def test_each_fault_is_chained_as_inside_the_except_that_caught_it(canned):
    canned.answer(200, {"protocol_version": 1, "request_id": REQUEST_ID, "duration_ms": 1,
                        "command": {"exit_code": 300, "result": None, "stderr": ""}})
    faults = [lambda: remote._strict_json(b"{"), lambda: remote.validate_base_url("http://[::1"),
              lambda: canned.client().execute(None, ["status"], request_id=REQUEST_ID, client_id="c")]
    for fault in faults:
        try:
            raise KeyError("handled by the caller")
        except KeyError:
            with pytest.raises(RemoteClientError) as info:
                fault()
        assert isinstance(info.value.__cause__, ValueError)
        assert info.value.__context__ is info.value.__cause__
    # Mapped outside any except, an HTTP error is the cause alone.
    answer = urllib.error.HTTPError(canned.url, 500, "Internal", email.message.Message(), io.BytesIO(b""))
    with pytest.raises(RemoteClientError) as info:
        canned.client()._raise_http_error(answer, None)
    assert info.value.__cause__ is answer and info.value.__context__ is None


# --- connection-level failures ---

@pytest.mark.parametrize("operation, outcome, retryable, request_id", [
    ("status", "not_started", True, None),
    ("execute", "unknown", False, REQUEST_ID),
])
def test_refused_connection(operation, outcome, retryable, request_id):
    client = remote.RemoteClient("http://127.0.0.1:%d" % free_port(), TOKEN, timeout=JOIN)
    call = getattr(client, operation)
    with pytest.raises(RemoteClientError) as info:
        call() if operation == "status" else call(None, ["status"], request_id=REQUEST_ID, client_id="c")
    error = info.value
    assert error.as_dict() == failure("transport_error", error.message, outcome, retryable, None, request_id)
    assert isinstance(error.__cause__, urllib.error.URLError)
    assert error.message == "cannot reach remote gateway: " + str(error.__cause__.reason)
    assert isinstance(error.__cause__.reason, ConnectionRefusedError)


def test_silent_server_times_out(silent):
    with pytest.raises(RemoteClientError) as info:
        remote.RemoteClient(silent, TOKEN, timeout=0.2).status()
    assert info.value.as_dict() == failure("transport_error", "cannot reach remote gateway: timed out",
                                           "not_started", True)
    assert isinstance(info.value.__cause__, TimeoutError)


def test_a_failure_while_reading_an_error_body_passes_unconverted(canned):
    # The status line and headers arrive, the announced body never does.
    canned.answer(503, b"", headers=[("Content-Length", "100")], stall=True)
    with pytest.raises(TimeoutError) as info:
        canned.client(timeout=0.2).status()
    assert not isinstance(info.value, RemoteClientError)
    assert isinstance(info.value.__context__, urllib.error.HTTPError)
    info.value.__context__.close()  # the client leaves the error answer to its holder


def test_a_failure_outside_the_os_passes_unconverted(canned):
    with pytest.raises(ValueError, match="header"):
        remote.RemoteClient(canned.url, "bad\ntoken").health()
    assert canned.requests == []


# --- TLS for real ---

def test_tls_gateway(gateway, certificate):
    served = gateway(wrap=tls_wrap(certificate))
    url = served.url.replace("http://", "https://")
    trusted = remote.RemoteClient(url, TOKEN, ca_bundle=str(certificate[0]), timeout=JOIN)
    assert trusted.auth_check()["token_id"] == "admin"
    assert remote.RemoteClient(url, TOKEN, verify_tls=False, timeout=JOIN).health()["instance_id"] == "i-1"
    with pytest.raises(RemoteClientError) as info:
        remote.RemoteClient(url, TOKEN, timeout=JOIN).status()
    assert (info.value.code, info.value.outcome, info.value.retryable) == ("transport_error", "not_started", True)
    assert isinstance(info.value.__cause__.reason, ssl.SSLCertVerificationError)
