"""The opener of a client given none: where the bearer token may go. A redirect is an HTTP error
whose Location is never visited; a loopback gateway is reached past any proxy; other hosts keep
the proxies of the environment. Real sockets on 127.0.0.1; the stand-in proxy records what it is
asked and refuses it."""
import gc
import warnings

import pytest

import qybridge4.cli.remote as remote
from _endpoints import CLIENT_ID, JOIN, REQUEST_ID, TOKEN, tls_wrap

RemoteClientError = remote.RemoteClientError
ARGV = ["message", "send", "--to", "bob", "--text", "hi"]
# What a host that answers anything would give: a finished command for the caller's request id.
FINISHED = {"protocol_version": 1, "request_id": REQUEST_ID, "duration_ms": 1,
            "command": {"exit_code": 0, "result": None, "stderr": ""}}


def run(client, operation):
    if operation == "execute":
        return client.execute(None, ARGV, request_id=REQUEST_ID, client_id=CLIENT_ID)
    return getattr(client, operation)()


def http_error(status, request_id=None):
    return {"code": "remote_http_error", "message": "remote HTTP error %d" % status, "outcome": "not_started",
            "retryable": False, "http_status": status, "request_id": request_id}


@pytest.mark.parametrize("status", [301, 302, 303, 307, 308])
@pytest.mark.parametrize("operation, path, request_id", [
    ("health", "/v1/health", None),
    ("execute", "/v1/commands", REQUEST_ID),
])
@pytest.mark.parametrize("urlopen", [None, 0])
def test_a_redirect_is_an_http_error_and_its_location_is_never_visited(canned, elsewhere, status, operation,
                                                                        path, request_id, urlopen):
    elsewhere.answer(200, FINISHED)
    canned.answer(status, b"<html>moved</html>",
                  headers=[("Location", elsewhere.url + path), ("Content-Type", "text/html")])
    with pytest.raises(RemoteClientError) as info:
        run(canned.client(urlopen=urlopen), operation)
    assert info.value.as_dict() == http_error(status, request_id)
    assert [request[:2] for request in canned.requests] == [("POST" if request_id else "GET", path)]
    assert elsewhere.requests == []


@pytest.mark.parametrize("variable", ["http_proxy", "HTTP_PROXY"])
@pytest.mark.parametrize("host", ["127.0.0.1", "localhost"])
def test_a_loopback_gateway_is_reached_past_the_proxy(gateway, elsewhere, monkeypatch, variable, host):
    elsewhere.answer(403, b"")
    monkeypatch.setenv(variable, elsewhere.url)
    served = gateway()
    client = remote.RemoteClient(served.url.replace("127.0.0.1", host), TOKEN, timeout=JOIN)
    assert client.auth_check()["token_id"] == "admin"
    assert run(client, "execute").request_id == REQUEST_ID
    assert served.worker.argv == [ARGV]
    assert elsewhere.requests == []


def test_a_loopback_tls_gateway_is_reached_past_the_proxy(gateway, elsewhere, certificate, monkeypatch):
    elsewhere.answer(403, b"")
    for variable in ("http_proxy", "https_proxy"):
        monkeypatch.setenv(variable, elsewhere.url)
    url = gateway(wrap=tls_wrap(certificate)).url.replace("http://", "https://")
    client = remote.RemoteClient(url, TOKEN, ca_bundle=str(certificate[0]), timeout=JOIN)
    assert client.auth_check()["token_id"] == "admin"
    assert elsewhere.requests == []


def test_another_host_over_https_is_tunnelled_through_the_proxy(elsewhere, monkeypatch):
    # The proxy refuses the tunnel; what matters is what it was asked.
    elsewhere.answer(403, b"")
    for variable in ("http_proxy", "HTTPS_PROXY"):
        monkeypatch.setenv(variable, elsewhere.url)
    client = remote.RemoteClient("https://gateway.invalid:8443", TOKEN, timeout=JOIN)
    with pytest.raises(RemoteClientError) as info:
        run(client, "execute")
    assert (info.value.code, info.value.outcome, info.value.request_id) == ("transport_error", "unknown",
                                                                             REQUEST_ID)
    assert [request[:2] for request in elsewhere.requests] == [("CONNECT", "gateway.invalid:8443")]
    assert "authorization" not in {name.lower() for name, _ in elsewhere.requests[0][2]}
    del info
    with warnings.catch_warnings():
        # http.client leaves the socket of a refused tunnel to the collector.
        warnings.simplefilter("ignore", ResourceWarning)
        gc.collect()


def test_another_host_over_plain_http_keeps_the_proxy(elsewhere, monkeypatch):
    elsewhere.answer(403, b"")
    monkeypatch.setenv("http_proxy", elsewhere.url)
    client = remote.RemoteClient("http://gateway.invalid", TOKEN, allow_insecure=True, timeout=JOIN)
    with pytest.raises(RemoteClientError) as info:
        client.health()
    assert info.value.as_dict() == http_error(403)
    assert [request[:2] for request in elsewhere.requests] == [("GET", "http://gateway.invalid/v1/health")]
