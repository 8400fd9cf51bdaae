"""RemoteClientError, CommandResult and the base-URL policy of the gateway client."""
from __future__ import annotations

import dataclasses
import inspect
from typing import Any

import pytest

from qybridge4.cli import remote

RemoteClientError = remote.RemoteClientError

INSECURE = "non-loopback remote connections require HTTPS (or explicit allow_insecure)"


class ReferenceError_(RuntimeError):
    def __init__(self, code: str, message: str, *, outcome: str = "not_started", retryable: bool = False,
                 http_status: int | None = None, request_id: str | None = None) -> None: ...

    def as_dict(self) -> dict[str, Any]: ...


def test_error_class_and_signature():
    assert RemoteClientError.__bases__ == (RuntimeError,)
    assert RemoteClientError.__doc__ == "A stable, user-presentable remote client failure."
    own = [k for k in vars(RemoteClientError) if k not in ("__module__", "__doc__", "__weakref__", "__dict__")]
    assert own == ["__init__", "as_dict"]
    for name in own:
        native, reference = vars(RemoteClientError)[name], vars(ReferenceError_)[name]
        assert inspect.signature(native) == inspect.signature(reference)
        assert native.__annotations__ == reference.__annotations__
        assert native.__kwdefaults__ == reference.__kwdefaults__
        assert native.__qualname__ == "RemoteClientError." + name


def test_error_keeps_values_unchanged_and_its_message_as_only_argument():
    plain = RemoteClientError("invalid_base_url", "bad")
    assert plain.args == ("bad",) and str(plain) == "bad"
    assert plain.as_dict() == {"code": "invalid_base_url", "message": "bad", "outcome": "not_started",
                               "retryable": False, "http_status": None, "request_id": None}
    assert list(plain.as_dict()) == ["code", "message", "outcome", "retryable", "http_status", "request_id"]
    odd = RemoteClientError(code="Not A Code", message="m", outcome="later", retryable=1, http_status="503",
                            request_id=7)
    assert (odd.code, odd.outcome, odd.retryable, odd.http_status, odd.request_id) == (
        "Not A Code", "later", 1, "503", 7)
    assert odd.as_dict() is not odd.as_dict()
    with pytest.raises(TypeError):
        RemoteClientError("c", "m", "unknown")


def test_command_result_is_a_frozen_record_whose_dict_leaves_out_the_request_id():
    Result = remote.CommandResult
    assert [f.name for f in dataclasses.fields(Result)] == ["exit_code", "result", "stderr", "request_id"]
    assert Result.__annotations__ == {"exit_code": "int", "result": "Any", "stderr": "str",
                                      "request_id": "str | None"}
    result = Result(3, {"a": [1]}, "oops")
    assert result.request_id is None and result == Result(3, {"a": [1]}, "oops", None)
    with pytest.raises(dataclasses.FrozenInstanceError):
        result.exit_code = 0
    for record in (result, Result(0, None, "", request_id="rid")):
        assert list(record.as_dict()) == ["exit_code", "result", "stderr"]
    assert Result(0, None, "", "rid").as_dict() == {"exit_code": 0, "result": None, "stderr": ""}
    with pytest.raises(TypeError):
        Result(0, None)


# The policy table: (base_url, allow_insecure, code or None, message or returned text).
ACCEPTED = [
    ("  https://gw.example.org///  ", False, "https://gw.example.org"),
    ("HTTPS://Gw.Example.ORG/Base/", False, "HTTPS://Gw.Example.ORG/Base"),
    ("http://localhost:8765", False, "http://localhost:8765"),
    ("http://LocalHost../x", False, "http://LocalHost../x"),
    ("http://127.0.0.1", False, "http://127.0.0.1"),
    ("http://127.200.3.4:1", False, "http://127.200.3.4:1"),
    ("http://[::1]:8765/", False, "http://[::1]:8765"),
    ("http://localhost:", False, "http://localhost:"),
    ("http://localhost:0", False, "http://localhost:0"),
    ("https://gw.example.org?", False, "https://gw.example.org?"),
    ("https://gw.example.org#", False, "https://gw.example.org#"),
    ("http://0.0.0.0", True, "http://0.0.0.0"),
    ("http://10.0.0.5:8765", 1, "http://10.0.0.5:8765"),
    ("http://127.1", "yes", "http://127.1"),
    ("\x0b\x1f https://gw.example.org/ \t\r\n", False, "https://gw.example.org"),
]

REFUSED = [
    (None, False, "invalid_base_url", "remote base URL is required"),
    (b"https://x", False, "invalid_base_url", "remote base URL is required"),
    ("", False, "invalid_base_url", "remote base URL is required"),
    (" \t\u3000 ", False, "invalid_base_url", "remote base URL is required"),
    ("ftp://files.example.org", False, "invalid_base_url", "remote base URL must be an HTTP(S) URL"),
    ("gw.example.org:8765", False, "invalid_base_url", "remote base URL must be an HTTP(S) URL"),
    ("https:///path", False, "invalid_base_url", "remote base URL must be an HTTP(S) URL"),
    ("https://", False, "invalid_base_url", "remote base URL must be an HTTP(S) URL"),
    ("https://user@gw.example.org", False, "invalid_base_url", "credentials are not allowed in remote base URL"),
    ("https://:pw@gw.example.org", False, "invalid_base_url", "credentials are not allowed in remote base URL"),
    ("https://@gw.example.org", False, "invalid_base_url", "credentials are not allowed in remote base URL"),
    ("https://gw.example.org?x=1", False, "invalid_base_url", "remote base URL cannot contain a query or fragment"),
    ("https://gw.example.org/#top", False, "invalid_base_url", "remote base URL cannot contain a query or fragment"),
    ("http://0.0.0.0:8765", False, "insecure_remote_url", INSECURE),
    ("http://192.168.1.10", False, "insecure_remote_url", INSECURE),
    ("http://127.1", False, "insecure_remote_url", INSECURE),
    ("http://a.localhost", False, "insecure_remote_url", INSECURE),
    ("http://gw.example.org", 0, "insecure_remote_url", INSECURE),
    ("http://[::2]", False, "insecure_remote_url", INSECURE),
]

# The splitter's own faults: the message is a prefix, the splitter's ValueError the cause.
UNREADABLE = ["https://gw.example.org:70000", "https://gw.example.org:http", "http://[::1", "http://::1]/"]


@pytest.mark.parametrize("base_url, allow_insecure, expected", ACCEPTED)
def test_accepted_base_urls(base_url, allow_insecure, expected):
    assert remote.validate_base_url(base_url, allow_insecure=allow_insecure) == expected


@pytest.mark.parametrize("base_url, allow_insecure, code, message", REFUSED)
def test_refused_base_urls(base_url, allow_insecure, code, message):
    with pytest.raises(RemoteClientError) as info:
        remote.validate_base_url(base_url, allow_insecure=allow_insecure)
    assert info.value.as_dict() == {"code": code, "message": message, "outcome": "not_started",
                                    "retryable": False, "http_status": None, "request_id": None}
    assert info.value.__cause__ is None


@pytest.mark.parametrize("base_url", UNREADABLE)
def test_unreadable_base_urls_chain_the_splitter_fault(base_url):
    with pytest.raises(RemoteClientError) as info:
        remote.validate_base_url(base_url, allow_insecure=True)
    cause = info.value.__cause__
    assert type(cause) is ValueError
    assert info.value.code == "invalid_base_url"
    assert info.value.message == "invalid remote base URL: " + str(cause)


# A blank or control character left inside once the surrounding white space is gone: (URL, the
# first such character).
CONTROL = [
    ("https://gw.example.org/a\tb", "\t"),
    ("https://gw.exam\nple.org", "\n"),
    ("http://localhost\r:8765", "\r"),
    ("https://gw.example.org/a b", " "),
    ("https://gw.example.org/x\x7f", "\x7f"),
    ("https://gw.example.org/\x01", "\x01"),
    ("https://gw\x00.example.org", "\x00"),
    ("https://gw.example.org/x\x1f/", "\x1f"),
    (" https://gw.example.org:84\x0b43 ", "\x0b"),
]


@pytest.mark.parametrize("base_url, character", CONTROL)
@pytest.mark.parametrize("allow_insecure", [False, True])
def test_blanks_and_control_characters_inside_are_refused(base_url, character, allow_insecure):
    with pytest.raises(RemoteClientError) as info:
        remote.validate_base_url(base_url, allow_insecure=allow_insecure)
    assert info.value.as_dict() == {
        "code": "invalid_base_url", "message": "invalid remote base URL: character %r is not allowed" % character,
        "outcome": "not_started", "retryable": False, "http_status": None, "request_id": None}
    with pytest.raises(RemoteClientError) as info:
        remote.RemoteClient(base_url, "t", allow_insecure=allow_insecure)
    assert info.value.code == "invalid_base_url"


@pytest.mark.parametrize("hostname, expected", [
    (None, False), ("", False), ("localhost", True), ("LOCALHOST...", True), ("a.localhost", False),
    ("127.0.0.1", True), ("127.255.0.9", True), ("127.1", False), ("0127.0.0.1", False),
    ("::1", True), ("0:0:0:0:0:0:0:1", True), ("::2", False), ("10.0.0.1", False), ("localhost.example", False),
])
def test_is_loopback_reads_the_host_as_received(hostname, expected):
    assert remote._is_loopback(hostname) is expected


def test_policy_functions_are_the_module_names_at_call_time(monkeypatch):
    monkeypatch.setattr(remote, "_is_loopback", lambda host: host == "gw.lan")
    assert remote.validate_base_url("http://gw.lan") == "http://gw.lan"
    with pytest.raises(RemoteClientError, match="require HTTPS"):
        remote.validate_base_url("http://localhost")
