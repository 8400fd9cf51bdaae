"""DPAPITokenStore over the real data-protection stand-in, with its secrets file in a temporary home."""
import base64
import json
import os
import sys
import types

import pytest

from qybridge4.cli import remote

from _home import home  # noqa: F401  (fixture)

ConfigError = remote.ConfigError
REF = "dpapi:remote:main"


@pytest.fixture
def store(home):
    return remote.DPAPITokenStore()


def stored(store):
    return json.loads(store.path.read_text(encoding="utf-8"))


def write_secrets(store, text):
    store.path.parent.mkdir(exist_ok=True)
    store.path.write_text(text, encoding="utf-8")


def test_paths(home, tmp_path):
    assert remote.DPAPITokenStore().path == home / ".qybridge" / "remote-secrets.json"
    assert remote.DPAPITokenStore("").path == home / ".qybridge" / "remote-secrets.json"
    assert remote.DPAPITokenStore(tmp_path / "s.json").path == tmp_path / "s.json"
    assert remote.DPAPITokenStore(str(tmp_path / "s.json")).path == tmp_path / "s.json"
    assert os.listdir(home) == []


@pytest.mark.parametrize("token", ["", None])
def test_empty_token_is_refused_before_anything_is_read(store, home, token):
    with pytest.raises(ConfigError, match="^token cannot be empty$"):
        store.set(REF, token)
    assert os.listdir(home) == []
    write_secrets(store, "not json")
    with pytest.raises(ConfigError, match="^token cannot be empty$"):
        store.set(REF, token)
    assert store.path.read_text() == "not json"


def test_set_get_and_delete_keep_the_members_in_place(store, home):
    store.set(REF, "first")
    assert list(stored(store)) == [REF]
    store.set("other", "second")
    store.set(REF, "replaced")
    assert list(stored(store)) == [REF, "other"]
    assert store.get(REF) == "replaced" and store.get("other") == "second"
    text = store.path.read_text(encoding="utf-8")
    assert text == json.dumps(stored(store), indent=2) and not text.endswith("\n")
    store.delete(REF)
    assert list(stored(store)) == ["other"]
    before = store.path.read_bytes()
    store.delete("never stored")
    assert store.path.read_bytes() == before
    assert os.listdir(store.path.parent) == ["remote-secrets.json"]


@pytest.mark.posix("file modes")
def test_the_secrets_file_is_private_to_its_owner(store):
    store.set(REF, "first")
    assert oct(store.path.stat().st_mode & 0o777) == "0o600"


def test_tokens_round_trip_and_never_appear_in_the_file(store):
    token = "tök€n-中文-" + "x" * 50
    store.set(REF, token)
    store.set("again", token)
    assert store.get(REF) == token
    raw = store.path.read_bytes()
    for form in (token.encode("utf-8"), token.encode("utf-16-le"), base64.b64encode(token.encode()),
                 b"x" * 20):
        assert form not in raw
    values = stored(store)
    assert values[REF] != values["again"]  # a fresh nonce each time
    for value in values.values():
        assert base64.b64encode(base64.b64decode(value)).decode() == value


def test_missing_reference_is_token_not_found(store):
    with pytest.raises(ConfigError, match=f"^token not found: {REF}$") as caught:
        store.get(REF)
    assert type(caught.value.__cause__) is KeyError
    store.set("other", "t")
    with pytest.raises(ConfigError, match=f"^token not found: {REF}$") as caught:
        store.get(REF)
    assert type(caught.value.__cause__) is KeyError


def test_delete_without_a_file_writes_an_empty_object(store):
    store.delete(REF)
    assert store.path.read_bytes() == b"{}"


def variants_of(value):
    """Spellings of a valid value (with "=" padding) that strict Base64 refuses."""
    body = value.rstrip("=")
    alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
    # The last digit before a pad carries unused low bits, zero in the canonical form.
    non_canonical = body[:-1] + alphabet[alphabet.index(body[-1]) | 1] + value[len(body):]
    return {
        "no pad": body,
        "extra pad": value + "====",
        "line break": value[:8] + "\n" + value[8:],
        "blank": value + " ",
        "url-safe": value.replace("+", "-").replace("/", "_") if ("+" in value or "/" in value) else "-" + value[1:],
        "pad inside": value[:4] + "=" + value[5:],
        "trailing bits": non_canonical,
    }


@pytest.mark.parametrize("token", ["abcd", "abcde"])  # blobs that need two pads and one pad
def test_values_that_are_not_strict_base64(store, token):
    store.set(REF, token)
    value = stored(store)[REF]
    assert value.endswith("=")
    for label, bad in variants_of(value).items():
        write_secrets(store, json.dumps({REF: bad}))
        with pytest.raises(ConfigError, match=f"^cannot decrypt token: {REF}$") as caught:
            store.get(REF)
        assert type(caught.value.__cause__) is ValueError, label


def test_damaged_or_foreign_blobs_are_refused(store, home, tmp_path_factory, set_home):
    import win32crypt

    store.set(REF, "secret")
    blob = bytearray(base64.b64decode(stored(store)[REF]))
    blob[20] ^= 0x01
    cases = {"flipped": bytes(blob), "cut": bytes(blob[:-1]), "extended": bytes(blob) + b"\0"}
    set_home(tmp_path_factory.mktemp("elsewhere"))
    cases["other home"] = base64.b64decode(remote.DPAPITokenStore._protect(b"secret"))
    set_home(home)
    for label, damaged in cases.items():
        write_secrets(store, json.dumps({REF: base64.b64encode(damaged).decode()}))
        with pytest.raises(ConfigError, match=f"^cannot decrypt token: {REF}$") as caught:
            store.get(REF)
        assert type(caught.value.__cause__) is win32crypt.error, label


def test_the_data_protection_calls_have_pywin32s_shape(store, monkeypatch):
    # pywin32's CryptProtectData(DataIn, DataDescr, OptionalEntropy, Reserved, PromptStruct, Flags)
    # and CryptUnprotectData(DataIn, OptionalEntropy, Reserved, PromptStruct, Flags), the latter
    # answering (description, data).
    import win32crypt as real
    calls = []

    def protect(*args, **kwargs):
        calls.append(("protect", args, kwargs))
        return real.CryptProtectData(*args, **kwargs)

    def unprotect(*args, **kwargs):
        calls.append(("unprotect", args, kwargs))
        return "a description", real.CryptUnprotectData(*args, **kwargs)[1]

    monkeypatch.setitem(sys.modules, "win32crypt", types.SimpleNamespace(
        CryptProtectData=protect, CryptUnprotectData=unprotect, error=real.error))
    store.set(REF, "sécret")
    blob = base64.b64decode(stored(store)[REF])
    assert store.get(REF) == "sécret"
    assert calls == [("protect", ("sécret".encode(), None, None, None, None, 0), {}),
                     ("unprotect", (blob, None, None, None, 0), {})]
    assert [type(args[0]) for _, args, _ in calls] == [bytes, bytes]


def test_the_secrets_file_is_read_in_binary_mode_where_os_has_it(store, monkeypatch):
    store.set(REF, "secret")
    opened = []

    class WindowsOS:
        """The real os with Windows' O_BINARY, which the real open is not given."""
        O_BINARY = 0x8000

        def __getattr__(self, attr):
            return getattr(os, attr)

        def open(self, path, flags, *args):
            opened.append(flags)
            return os.open(path, flags & ~self.O_BINARY, *args)

    monkeypatch.setattr(remote, "os", WindowsOS())
    assert store.get(REF) == "secret"
    assert opened == [os.O_RDONLY | WindowsOS.O_BINARY]


def test_plaintext_that_is_not_utf8(store):
    write_secrets(store, json.dumps({REF: remote.DPAPITokenStore._protect(b"\xff\xfe")}))
    with pytest.raises(ConfigError, match=f"^cannot decrypt token: {REF}$") as caught:
        store.get(REF)
    assert type(caught.value.__cause__) is UnicodeDecodeError


# (secrets file, failure of set and delete as (type, message)); get always cannot decrypt.
BROKEN_FILES = [
    ('{"a": 1}', (ConfigError, "invalid remote secrets file")),
    ('["x"]', (ConfigError, "invalid remote secrets file")),
    ('{"a": "x", "a": "y"}', (ValueError, "duplicate JSON key: a")),
    ("{", (ValueError, "invalid JSON: Expecting property name enclosed in double quotes")),
    ('{"a": "' + "x" * 65530 + '"}', (ConfigError, "remote secrets file is too large")),
]


@pytest.mark.parametrize("content, failure", BROKEN_FILES)
def test_broken_secrets_file(store, content, failure):
    write_secrets(store, content)
    kind, message = failure
    for operation in (lambda: store.set(REF, "t"), lambda: store.delete(REF)):
        with pytest.raises(kind) as caught:
            operation()
        assert type(caught.value) is kind and str(caught.value) == message
    with pytest.raises(ConfigError, match=f"^cannot decrypt token: {REF}$") as caught:
        store.get(REF)
    assert type(caught.value.__cause__) is kind
    assert store.path.read_text(encoding="utf-8") == content


def test_without_dpapi_support(store, monkeypatch):
    store.set(REF, "kept")
    before = store.path.read_bytes()
    monkeypatch.setitem(sys.modules, "win32crypt", None)
    with pytest.raises(ConfigError, match="^Windows DPAPI support is unavailable$") as caught:
        store.set(REF, "new")
    assert isinstance(caught.value.__cause__, ImportError)
    assert store.path.read_bytes() == before
    with pytest.raises(ConfigError, match=f"^cannot decrypt token: {REF}$") as caught:
        store.get(REF)
    assert str(caught.value.__cause__) == "Windows DPAPI support is unavailable"
    assert isinstance(caught.value.__cause__.__cause__, ImportError)
    store.delete(REF)
    assert store.path.read_bytes() == b"{}"
    monkeypatch.delitem(sys.modules, "win32crypt")  # imported again on the next call
    store.set(REF, "back")
    assert store.get(REF) == "back"


def test_file_read_before_dpapi_is_needed(store, monkeypatch):
    write_secrets(store, '{"a": 1}')
    monkeypatch.setitem(sys.modules, "win32crypt", None)
    with pytest.raises(ConfigError, match="^invalid remote secrets file$"):
        store.set(REF, "t")


def test_hooks_are_called_through_the_instance(home):
    calls = []

    class Plain(remote.DPAPITokenStore):
        @staticmethod
        def _protect(value):
            calls.append(value)
            return value.decode()[::-1]

        @staticmethod
        def _unprotect(value):
            return value[::-1].encode()

    store = Plain()
    store.set(REF, "abc")
    assert calls == [b"abc"] and stored(store) == {REF: "cba"} and store.get(REF) == "abc"
