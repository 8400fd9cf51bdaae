"""RemoteConnection's self-validation: every rule, its message and the order of the rules."""
import math

import pytest

from qybridge4.cli import remote

ConfigError = remote.ConfigError
INSECURE = "non-loopback remote connections require HTTPS (or explicit allow_insecure)"
URL = "https://gw.example.com"


def build(alias="main", base_url=URL, **fields):
    return remote.RemoteConnection(alias, base_url, **fields)


# (fields, message); None: the record is built.
RULES = [
    # alias: a full match of the pattern
    ({"alias": "a"}, None),
    ({"alias": "A" + "z._-9" * 12 + "abc"}, None),  # 64 characters
    ({"alias": "a" * 65}, "invalid remote alias"),
    ({"alias": ""}, "invalid remote alias"),
    ({"alias": ".a"}, "invalid remote alias"),
    ({"alias": "_a"}, "invalid remote alias"),
    ({"alias": "-a"}, "invalid remote alias"),
    ({"alias": "a b"}, "invalid remote alias"),
    ({"alias": "a/b"}, "invalid remote alias"),
    ({"alias": "é"}, "invalid remote alias"),
    ({"alias": "abc\n"}, "invalid remote alias"),
    ({"alias": "a b", "base_url": "ftp://x"}, "invalid remote alias"),
    # base_url: scheme prefix, length, U+0000
    ({"base_url": "HTTPS://gw.example.com"}, "base_url must be HTTP(S)"),
    ({"base_url": " https://gw.example.com"}, "base_url must be HTTP(S)"),
    ({"base_url": ""}, "base_url must be HTTP(S)"),
    ({"base_url": b"https://gw.example.com"}, "base_url must be HTTP(S)"),
    ({"base_url": URL + "/" + "p" * (2048 - len(URL) - 1)}, None),
    ({"base_url": URL + "/" + "p" * (2049 - len(URL) - 1)}, "invalid base_url"),
    ({"base_url": URL + "/\0"}, "invalid base_url"),
    ({"base_url": "https://\0", "token_ref": "x"}, "invalid base_url"),
    # token_ref and default_nickname
    ({"token_ref": "dpapi:"}, None),
    ({"token_ref": "DPAPI:remote:main"}, "invalid token_ref"),
    ({"token_ref": 5, "default_nickname": ""}, "invalid token_ref"),
    ({"default_nickname": "n" * 128}, None),
    ({"default_nickname": ""}, "invalid default_nickname"),
    ({"default_nickname": "n" * 129}, "invalid default_nickname"),
    # exact booleans, before the base-URL policy
    ({"verify_tls": 1}, "verify_tls must be boolean"),
    ({"verify_tls": "true"}, "verify_tls must be boolean"),
    ({"allow_insecure": 1}, "allow_insecure must be boolean"),
    ({"allow_insecure": "true", "base_url": "http://gw.example.com"}, "allow_insecure must be boolean"),
    # the base-URL policy, before ca_bundle and the time-outs
    ({"base_url": "http://gw.example.com"}, INSECURE),
    ({"base_url": "http://gw.example.com", "allow_insecure": True}, None),
    ({"base_url": "http://localhost:8765", "ca_bundle": 3}, "invalid ca_bundle"),
    ({"base_url": "https://user@gw.example.com"}, "credentials are not allowed in remote base URL"),
    ({"base_url": URL + "/?q=1", "connect_timeout": 0}, "remote base URL cannot contain a query or fragment"),
    ({"base_url": URL + "/a\tb", "connect_timeout": 0}, "invalid remote base URL: character '\\t' is not allowed"),
    # ca_bundle and the time-outs, connect_timeout first
    ({"ca_bundle": ""}, None),
    ({"ca_bundle": b"ca.pem"}, "invalid ca_bundle"),
    ({"connect_timeout": 3600, "request_timeout": 0.001}, None),
    ({"connect_timeout": 0}, "invalid connect_timeout"),
    ({"connect_timeout": -1}, "invalid connect_timeout"),
    ({"connect_timeout": 3600.5}, "invalid connect_timeout"),
    ({"connect_timeout": True}, "invalid connect_timeout"),
    ({"connect_timeout": "5"}, "invalid connect_timeout"),
    ({"connect_timeout": math.nan}, "invalid connect_timeout"),
    ({"connect_timeout": math.inf}, "invalid connect_timeout"),
    ({"request_timeout": False}, "invalid request_timeout"),
    ({"request_timeout": math.nan}, "invalid request_timeout"),
    ({"connect_timeout": None, "request_timeout": None}, "invalid connect_timeout"),
]


@pytest.mark.parametrize("fields, message", RULES)
def test_rules(fields, message):
    if message is None:
        record = build(**fields)
        for key, value in fields.items():
            assert getattr(record, key) == value
        return
    with pytest.raises(ConfigError) as caught:
        build(**fields)
    assert str(caught.value) == message and type(caught.value) is ConfigError


def test_policy_failure_is_the_cause_and_its_code_stays_behind():
    with pytest.raises(ConfigError) as caught:
        build(base_url="http://10.0.0.1:8765")
    cause = caught.value.__cause__
    assert type(cause) is remote.RemoteClientError and cause.code == "insecure_remote_url"
    assert str(caught.value) == str(cause) == INSECURE
    assert not hasattr(caught.value, "code")


def test_base_url_is_stored_verbatim_and_time_outs_keep_their_kind():
    record = build(base_url="https://gw.example.com/base/// ", connect_timeout=30, request_timeout=7.5)
    assert record.base_url == "https://gw.example.com/base/// "
    assert type(record.connect_timeout) is int and record.connect_timeout == 30
    assert type(record.request_timeout) is float


@pytest.mark.parametrize("alias", [5, b"main", None])
def test_alias_that_is_not_text_is_a_type_error(alias):
    with pytest.raises(TypeError):
        build(alias=alias)


def test_refusal_before_validation_is_the_initialisers_own():
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'base_url'"):
        remote.RemoteConnection("main")
    with pytest.raises(TypeError, match="unexpected keyword argument 'token'"):
        remote.RemoteConnection("main", URL, token="x")
