"""Bearer-token authentication: principals, the digest table and every header form."""
import dataclasses
import hashlib
import inspect
import types

import pytest

import qybridge4.cli.remote as remote

RemotePrincipal = remote.RemotePrincipal
TokenAuthorizer = remote.TokenAuthorizer


def digest(secret):
    return hashlib.sha256(secret.encode("utf-8")).digest()


@pytest.fixture
def authorizer():
    return TokenAuthorizer.from_tokens({"admin": "s3cret-token", "ops": ("ops-token", ["alice"])})


# ---- RemotePrincipal ----------------------------------------------------------------------

def test_principal_is_a_frozen_dataclass():
    params = RemotePrincipal.__dataclass_params__
    assert params.frozen and params.eq
    assert [(f.name, f.type, f.default) for f in dataclasses.fields(RemotePrincipal)] == [
        ("token_id", "str", dataclasses.MISSING), ("accounts", "frozenset[str] | None", None)]
    assert RemotePrincipal.__bases__ == (object,)
    p = RemotePrincipal("t", frozenset({"a"}))
    assert p == RemotePrincipal(token_id="t", accounts=frozenset({"a"})) and hash(p) == hash(RemotePrincipal("t", frozenset({"a"})))
    assert RemotePrincipal("t").accounts is None
    assert repr(p) == "RemotePrincipal(token_id='t', accounts=frozenset({'a'}))"
    with pytest.raises(dataclasses.FrozenInstanceError):
        p.token_id = "u"
    with pytest.raises(dataclasses.FrozenInstanceError):
        del p.accounts


@pytest.mark.parametrize("accounts, nickname, expected", [
    (None, None, True),
    (None, "anyone", True),
    (frozenset(), None, True),
    (frozenset(), "alice", False),
    (frozenset({"alice"}), "alice", True),
    (frozenset({"alice"}), "bob", False),
    (frozenset({"alice"}), "Alice", False),
])
def test_permits(accounts, nickname, expected):
    assert RemotePrincipal("t", accounts).permits(nickname) is expected


def test_permits_signature():
    assert str(inspect.signature(RemotePrincipal.permits)) == "(self, nickname: 'str | None') -> 'bool'"
    assert RemotePrincipal.permits.__qualname__ == "RemotePrincipal.permits"


# ---- TokenAuthorizer ----------------------------------------------------------------------

def test_authorizer_surface():
    assert TokenAuthorizer.__doc__ == "Authenticate opaque bearer tokens without retaining their plaintext."
    assert TokenAuthorizer.__bases__ == (object,)
    assert str(inspect.signature(TokenAuthorizer)) == \
        "(token_hashes: 'Mapping[str, tuple[bytes, frozenset[str] | None]]')"
    assert str(inspect.signature(TokenAuthorizer.from_tokens)) == \
        "(tokens: 'Mapping[str, str | tuple[str, frozenset[str] | None]]')"
    assert isinstance(inspect.getattr_static(TokenAuthorizer, "from_tokens"), classmethod)
    assert str(inspect.signature(TokenAuthorizer.authenticate)) == \
        "(self, authorization: 'str | None') -> 'RemotePrincipal | None'"


def test_constructor_copies_the_table():
    table = {"admin": (digest("x"), None)}
    a = TokenAuthorizer(table)
    table["other"] = (digest("y"), None)
    assert type(a._tokens) is dict and list(a._tokens) == ["admin"]
    assert a.authenticate("Bearer x") == RemotePrincipal("admin", None)
    assert a.authenticate("Bearer y") is None


def test_from_tokens_keeps_only_digests(authorizer):
    assert authorizer._tokens == {
        "admin": (digest("s3cret-token"), None),
        "ops": (digest("ops-token"), frozenset({"alice"})),
    }
    assert list(authorizer._tokens) == ["admin", "ops"]
    held = repr(vars(authorizer))
    assert "s3cret-token" not in held and "ops-token" not in held


def test_from_tokens_builds_the_class_it_is_called_on():
    class Sub(TokenAuthorizer):
        pass

    a = Sub.from_tokens({"t": "secret"})
    assert type(a) is Sub and a.authenticate("Bearer secret") == RemotePrincipal("t", None)


@pytest.mark.parametrize("accounts, expected", [
    (None, None), ([], frozenset()), (("a", "b", "a"), frozenset({"a", "b"})), (iter(["x"]), frozenset({"x"})),
])
def test_from_tokens_accounts(accounts, expected):
    a = TokenAuthorizer.from_tokens({"t": ("secret", accounts)})
    stored = a._tokens["t"][1]
    assert stored == expected and (stored is None or type(stored) is frozenset)


def test_empty_accounts_refuse_every_nickname():
    principal = TokenAuthorizer.from_tokens({"t": ("secret", [])}).authenticate("Bearer secret")
    assert principal.accounts == frozenset()
    assert principal.permits(None) and not principal.permits("alice")


@pytest.mark.parametrize("tokens", [
    {"": "secret"}, {None: "secret"}, {"t": ""}, {"t": ("", None)}, {"ok": "fine", "t": ("", ["a"])},
])
def test_from_tokens_refuses_empty_id_or_secret(tokens):
    with pytest.raises(ValueError, match="^token id and secret must not be empty$"):
        TokenAuthorizer.from_tokens(tokens)


@pytest.mark.parametrize("value, error, text", [
    (("secret",), ValueError, "not enough values to unpack (expected 2, got 1)"),
    (("secret", None, "x"), ValueError, "too many values to unpack (expected 2)"),
    (42, TypeError, "cannot unpack non-iterable int object"),
    ((b"secret", None), AttributeError, "encode"),
])
def test_from_tokens_malformed_values(value, error, text):
    with pytest.raises(error) as info:
        TokenAuthorizer.from_tokens({"t": value})
    assert text in str(info.value)


VALID = "s3cret-token"


@pytest.mark.parametrize("header", [
    None, "",
    "Bearer", "Bearer ", "bearer " + VALID, "BEARER " + VALID, "Basic " + VALID, " Bearer " + VALID,
    "Bearer\t" + VALID, "Bearer  " + VALID, "Bearer " + VALID + " ", "Bearer " + VALID + "\t",
    "Bearer " + VALID + "\n", "Bearer " + VALID + "\r\n",
    "Bearer s3cret token", "Bearer s3cret\ttoken", "Bearer s3cret\u00a0token",
    "Bearer s3cret\u2028token", "Bearer s3cret\u3000token", "Bearer s3cret\x1ctoken", "Bearer s3cret\x85token",
    "Bearer " + VALID + "x", "Bearer " + VALID[:-1], "Bearer " + VALID.upper(),
])
def test_refused_headers(authorizer, header):
    assert authorizer.authenticate(header) is None


@pytest.mark.parametrize("header, expected", [
    ("Bearer " + VALID, RemotePrincipal("admin", None)),
    ("Bearer ops-token", RemotePrincipal("ops", frozenset({"alice"}))),
])
def test_accepted_headers(authorizer, header, expected):
    principal = authorizer.authenticate(header)
    assert type(principal) is RemotePrincipal and principal == expected


def test_secret_with_whitespace_is_stored_but_never_authenticates():
    a = TokenAuthorizer.from_tokens({"t": "two words"})
    assert a._tokens["t"][0] == digest("two words")
    assert a.authenticate("Bearer two words") is None


def test_same_secret_the_last_entry_wins():
    a = TokenAuthorizer.from_tokens({"first": ("same", ["a"]), "second": ("same", ["b"])})
    assert a.authenticate("Bearer same") == RemotePrincipal("second", frozenset({"b"}))


def test_empty_table_refuses_everything():
    a = TokenAuthorizer({})
    assert a.authenticate("Bearer anything") is None


def test_a_stored_digest_of_another_length_does_not_match():
    a = TokenAuthorizer({"short": (digest("x")[:16], None), "ok": (digest("x"), None)})
    assert a.authenticate("Bearer x") == RemotePrincipal("ok", None)


def test_every_entry_is_compared_with_compare_digest(monkeypatch):
    import hmac

    calls = []

    def compare_digest(a, b):
        calls.append(b)
        return hmac.compare_digest(a, b)

    monkeypatch.setattr(remote, "hmac", types.SimpleNamespace(compare_digest=compare_digest))
    a = TokenAuthorizer.from_tokens({"one": "alpha", "two": "beta", "three": "gamma"})
    assert a.authenticate("Bearer alpha") == RemotePrincipal("one", None)
    # no early exit: the entries after the match are compared as well, in table order
    assert calls == [digest("alpha"), digest("beta"), digest("gamma")]


@pytest.mark.parametrize("header, error", [
    (b"Bearer x", TypeError),
    ("Bearer \ud800", UnicodeEncodeError),
])
def test_input_the_gateway_never_passes_raises(authorizer, header, error):
    with pytest.raises(error):
        authorizer.authenticate(header)


def test_malformed_table_raises():
    with pytest.raises(TypeError):
        TokenAuthorizer({"t": ("not bytes", None)}).authenticate("Bearer x")
