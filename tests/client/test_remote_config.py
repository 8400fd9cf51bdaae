"""RemoteConfig: managing connections and their tokens, and resolving one for a remote command."""
import collections.abc
import dataclasses
import json
import os

import pytest

from qybridge4.cli import remote

from _home import config, home  # noqa: F401  (fixtures)

ConfigError = remote.ConfigError
INSECURE = "non-loopback remote connections require HTTPS (or explicit allow_insecure)"
URL = "https://gw.example.com"


def files(config):
    """Both files' bytes, None for a missing one."""
    return tuple(p.read_bytes() if p.exists() else None for p in (config.path, config.token_store.path))


def settings(config):
    return json.loads(config.path.read_text(encoding="utf-8"))


def secrets(config):
    return json.loads(config.token_store.path.read_text(encoding="utf-8"))


def test_defaults_of_the_constructor(home, monkeypatch):
    config = remote.RemoteConfig()
    assert config.path == home / ".qybridge" / "config.json"
    assert type(config.token_store) is remote.DPAPITokenStore
    assert config.token_store.path == home / ".qybridge" / "remote-secrets.json"
    assert config.environ is os.environ
    given = remote.RemoteConfig(str(home / "c.json"), "", {})
    assert given.path == home / "c.json" and type(given.token_store) is remote.DPAPITokenStore
    assert given.environ == {}
    assert os.listdir(home) == []


def test_without_a_settings_file_nothing_is_created(config, home):
    assert config.list() == () and config.default() is None
    with pytest.raises(ConfigError, match="^remote connection not found: main$"):
        config.get("main")
    assert os.listdir(home) == []


def test_add_stores_the_connection_and_its_token(config):
    made = config.add("main", URL, token="s3cret", default_nickname="bob", request_timeout=30)
    assert made == config.get("main")
    assert made.token_ref == "dpapi:remote:main" and made.request_timeout == 30
    assert settings(config)["remotes"]["main"] == remote.RemoteConfig._record(made)
    assert '"request_timeout": 30,' in config.path.read_text(encoding="utf-8")
    assert list(secrets(config)) == ["dpapi:remote:main"]
    assert config.token_store.get("dpapi:remote:main") == "s3cret"
    plain = config.add("plain", "http://localhost:8765")
    assert plain.token_ref is None and list(secrets(config)) == ["dpapi:remote:main"]
    assert config.list() == ("main", "plain")
    assert list(settings(config)["remotes"]) == ["main", "plain"]


def test_list_is_in_code_point_order(config):
    for alias in ("b", "B", "1", "a", "A0"):
        config.add(alias, URL)
    assert config.list() == ("1", "A0", "B", "a", "b")


# (arguments of add, exception type, message); every refusal leaves both files as they were.
ADD_REFUSALS = [
    (("main", "ftp://x"), ConfigError, "remote connection already exists: main"),
    (("new", URL, {"token": ""}), ConfigError, "token cannot be empty"),
    (("new", "http://gw.example.com"), ConfigError, INSECURE),
    (("new", "http://gw.example.com", {"token": "t"}), ConfigError, INSECURE),
    (("new", URL, {"token": "t", "allow_insecure": 1}), ConfigError, "allow_insecure must be boolean"),
    (("new", URL, {"token_ref": "dpapi:x"}),
     TypeError, "qybridge4.cli.remote.RemoteConnection() got multiple values for keyword argument 'token_ref'"),
    (("new", URL, {"token": "t", "token_ref": None}),
     TypeError, "qybridge4.cli.remote.RemoteConnection() got multiple values for keyword argument 'token_ref'"),
    (("new", URL, {"token": "t", "colour": "red"}),
     TypeError, "RemoteConnection.__init__() got an unexpected keyword argument 'colour'"),
    (("bad alias", URL, {"token": "t"}), ConfigError, "invalid remote alias"),
    (("new", URL + "/a\tb", {"token": "t"}), ConfigError, "invalid remote base URL: character '\\t' is not allowed"),
]


@pytest.mark.parametrize("args, kind, message", ADD_REFUSALS)
def test_add_refusals_write_nothing(config, args, kind, message):
    config.add("main", URL, token="kept")
    before = files(config)
    *positional, options = args if isinstance(args[-1], dict) else (*args, {})
    with pytest.raises(kind) as caught:
        config.add(*positional, **options)
    assert type(caught.value) is kind and str(caught.value) == message
    assert files(config) == before


def test_add_insecure_url_with_allow_insecure(config):
    made = config.add("lan", "http://192.168.1.5:8765", allow_insecure=True)
    assert made.allow_insecure is True
    assert settings(config)["remotes"]["lan"]["allow_insecure"] is True


def test_token_stays_when_the_settings_cannot_be_saved(home):
    (home / "blocked").write_text("a file where the directory should be")
    config = remote.RemoteConfig(home / "blocked" / "config.json", environ={})
    with pytest.raises(OSError):
        config.add("main", URL, token="orphan")
    assert config.token_store.get("dpapi:remote:main") == "orphan"


def test_set_changes_fields_in_place(config):
    config.add("first", URL, token="t")
    config.add("second", URL)
    changed = config.set("first", default_nickname="alice", verify_tls=False, token_ref=None)
    assert changed == config.get("first")
    assert (changed.alias, changed.default_nickname, changed.verify_tls, changed.token_ref) == \
        ("first", "alice", False, None)
    assert list(settings(config)["remotes"]) == ["first", "second"]
    assert settings(config)["remotes"]["first"]["token_ref"] is None
    assert config.token_store.get("dpapi:remote:first") == "t"  # set never touches the store
    with pytest.raises(TypeError, match=r"^RemoteConfig.set\(\) got multiple values for argument 'alias'$"):
        config.set("second", alias="renamed")  # a connection keeps its alias
    assert config.list() == ("first", "second")


@pytest.mark.parametrize("changes, kind, message", [
    ({"token": "x"}, TypeError, "RemoteConnection.__init__() got an unexpected keyword argument 'token'"),
    ({"base_url": "http://gw.example.com"}, ConfigError, INSECURE),
    ({"token_ref": "vault:x"}, ConfigError, "invalid token_ref"),
    ({"base_url": URL + "/a b"}, ConfigError, "invalid remote base URL: character ' ' is not allowed"),
])
def test_set_refusals_write_nothing(config, changes, kind, message):
    config.add("main", URL, token="t")
    before = files(config)
    with pytest.raises(kind) as caught:
        config.set("main", **changes)
    assert str(caught.value) == message
    assert files(config) == before
    with pytest.raises(ConfigError, match="^remote connection not found: other$"):
        config.set("other", verify_tls=False)


def test_set_token_with_and_without_a_reference(config):
    config.add("with", URL, token="one")
    config.add("without", URL)
    inode = config.path.stat().st_ino
    config.set_token("with", "two")
    assert config.path.stat().st_ino == inode  # the settings file was not rewritten
    assert config.token_store.get("dpapi:remote:with") == "two"
    config.set_token("without", "three")
    assert settings(config)["remotes"]["without"]["token_ref"] == "dpapi:remote:without"
    assert config.token_store.get("dpapi:remote:without") == "three"
    before = files(config)
    with pytest.raises(ConfigError, match="^token cannot be empty$"):
        config.set_token("with", "")
    with pytest.raises(ConfigError, match="^remote connection not found: nope$"):
        config.set_token("nope", "x")
    assert files(config) == before


def test_set_token_keeps_a_custom_reference(config):
    config.add("main", URL)
    config.set("main", token_ref="dpapi:custom")
    config.set_token("main", "x")
    assert list(secrets(config)) == ["dpapi:custom"]


def test_remove_clears_the_default_and_the_secret(config):
    config.add("main", URL, token="t")
    config.add("other", URL, token="u")
    config.use("main")
    config.remove("main")
    assert settings(config)["default_remote"] is None and config.list() == ("other",)
    assert list(secrets(config)) == ["dpapi:remote:other"]
    with pytest.raises(ConfigError, match="^remote connection not found: main$"):
        config.remove("main")
    config.remove("other")
    assert secrets(config) == {}
    assert settings(config)["remotes"] == {}


def test_remove_keeps_a_secret_another_connection_still_uses(config):
    config.add("main", URL, token="shared")
    config.add("twin", URL)
    config.set("twin", token_ref="dpapi:remote:main")
    config.remove("main")
    assert config.resolve("twin").token == "shared"
    config.remove("twin")
    assert secrets(config) == {}


def test_use_and_default(config, home):
    config.use(None)
    assert settings(config)["default_remote"] is None and settings(config)["remotes"] == {}
    with pytest.raises(ConfigError, match="^remote connection not found: main$"):
        config.use("main")
    config.add("main", URL)
    config.use("main")
    assert config.default() == "main"
    config.use()
    assert config.default() is None


def test_set_client(config, home):
    for bad in ("", "n" * 129, 5):
        with pytest.raises(ConfigError, match="^invalid client_name$"):
            config.set_client(client_name=bad)
    assert os.listdir(home) == []
    config.set_client()
    fixed = settings(config)["client_id"]
    config.set_client(client_name="名" * 128)
    assert settings(config)["client_name"] == "名" * 128 and settings(config)["client_id"] == fixed


def test_two_configs_see_each_others_saves(home):
    first, second = remote.RemoteConfig(environ={}), remote.RemoteConfig(environ={})
    first.add("main", URL, token="t")
    assert second.list() == ("main",)
    second.use("main")
    assert first.resolve().token == "t"
    assert first.resolve().client_id == second.resolve().client_id


@pytest.fixture
def resolving(config):
    config.add("main", URL + "/base/", token="stored")
    config.add("local", "http://127.0.0.1:8765")
    config.add("lan", "http://10.0.0.7:8765", allow_insecure=True)
    config.use("main")
    config.set_client(client_name="desk")
    return config


# (environ, alias argument, (alias, base_url, token, client_name) or the ConfigError message)
RESOLUTIONS = [
    ({}, None, ("main", URL + "/base/", "stored", "desk")),
    ({}, "local", ("local", "http://127.0.0.1:8765", None, "desk")),
    ({"QYBRIDGE4_REMOTE": "local"}, None, ("local", "http://127.0.0.1:8765", None, "desk")),
    ({"QYBRIDGE4_REMOTE": "local"}, "lan", ("lan", "http://10.0.0.7:8765", None, "desk")),
    ({"QYBRIDGE4_REMOTE": ""}, "", ("main", URL + "/base/", "stored", "desk")),
    ({"QYBRIDGE4_REMOTE": "nope"}, None, "remote connection not found: nope"),
    ({"QYBRIDGE4_BASE_URL": "https://other.example.com"}, None, ("main", "https://other.example.com", "stored", "desk")),
    ({"QYBRIDGE4_BASE_URL": ""}, None, "base_url must be HTTP(S)"),
    ({"QYBRIDGE4_BASE_URL": "http://10.1.1.1"}, None, INSECURE),
    ({"QYBRIDGE4_BASE_URL": "http://10.1.1.1"}, "lan", ("lan", "http://10.1.1.1", None, "desk")),
    ({"QYBRIDGE4_TOKEN": ""}, None, ("main", URL + "/base/", "", "desk")),
    ({"QYBRIDGE4_TOKEN": "env"}, "local", ("local", "http://127.0.0.1:8765", "env", "desk")),
    ({"QYBRIDGE4_CLIENT_NAME": ""}, None, ("main", URL + "/base/", "stored", "")),
    ({"QYBRIDGE4_CLIENT_NAME": "x" * 300}, "local", ("local", "http://127.0.0.1:8765", None, "x" * 300)),
]


@pytest.mark.parametrize("environ, alias, expected", RESOLUTIONS)
def test_resolve(resolving, environ, alias, expected):
    config = remote.RemoteConfig(environ=environ)
    before = files(config)
    if isinstance(expected, str):
        with pytest.raises(ConfigError) as caught:
            config.resolve(alias)
        assert str(caught.value) == expected
    else:
        resolved = config.resolve(alias)
        connection = resolved.connection
        assert (connection.alias, connection.base_url, resolved.token, resolved.client_name) == expected
        assert resolved.client_id == settings(config)["client_id"]
        stored = config.get(connection.alias)
        assert connection == remote.RemoteConnection(**{**vars(stored), "base_url": expected[1]})
    assert files(config) == before


def test_resolve_without_a_selection(config):
    config.add("main", URL)
    for alias in (None, ""):
        with pytest.raises(ConfigError, match="^no remote connection selected$"):
            remote.RemoteConfig(environ={"QYBRIDGE4_REMOTE": ""}).resolve(alias)


def test_token_from_the_environment_skips_the_store(resolving):
    resolving.token_store.path.write_text("broken")
    assert remote.RemoteConfig(environ={"QYBRIDGE4_TOKEN": ""}).resolve().token == ""
    with pytest.raises(ConfigError, match="^cannot decrypt token: dpapi:remote:main$"):
        resolving.resolve()
    resolving.token_store.path.unlink()
    with pytest.raises(ConfigError, match="^token not found: dpapi:remote:main$"):
        resolving.resolve()


def test_process_environment_is_the_default_and_an_empty_mapping_switches_it_off(resolving, monkeypatch):
    for name, value in [("QYBRIDGE4_REMOTE", "local"), ("QYBRIDGE4_BASE_URL", "http://localhost:1"),
                        ("QYBRIDGE4_TOKEN", "env"), ("QYBRIDGE4_CLIENT_NAME", "proc")]:
        monkeypatch.setenv(name, value)
    resolved = remote.RemoteConfig().resolve()
    assert (resolved.connection.alias, resolved.connection.base_url, resolved.token, resolved.client_name) == \
        ("local", "http://localhost:1", "env", "proc")
    resolved = resolving.resolve()
    assert (resolved.connection.alias, resolved.connection.base_url, resolved.token, resolved.client_name) == \
        ("main", URL + "/base/", "stored", "desk")


# --- records that a _load of a subclass gives as mappings other than a plain dict ---

class Members:
    """A mapping by keys() and subscription only; its items() is no list of pairs."""

    def __init__(self, data, keys=None):
        self.data, self.names = data, keys

    def keys(self):
        return list(self.data) if self.names is None else self.names

    def __getitem__(self, key):
        return self.data[key]

    def items(self):
        return [1, 2]


class OwnIteration(dict):
    """A dict that keeps dict's iteration: ** reads its storage and ignores these methods."""

    def keys(self):
        return ["nothing"]

    def __getitem__(self, key):
        raise AssertionError("not read by subscription")

    def items(self):
        return [1, 2]


class Reiterated(dict):
    """A dict that iterates on its own: ** asks its keys() and subscribes for each value."""

    def __iter__(self):
        return iter(["base_url"])

    def keys(self):
        return ["base_url"]

    def __getitem__(self, key):
        return "https://x"


class Frozen(collections.abc.Mapping):
    def __init__(self, data):
        self.data = data

    def __getitem__(self, key):
        return self.data[key]

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)


class KeysFail(Members):
    def keys(self):
        raise ValueError("keys unavailable")


class KeysMissing(Members):
    def keys(self):
        raise AttributeError("keys")


class ValueMissing(Members):
    def __getitem__(self, key):
        raise KeyError(key)


MAPPED_RECORDS = [
    Members({"base_url": "https://x"}),
    OwnIteration(base_url="https://x"),
    Reiterated(base_url="https://stored"),
    Frozen({"base_url": "https://x", "request_timeout": 30}),
]
NOT_MAPPED = "RemoteConnection\\(\\) argument after \\*\\* must be a mapping, not "
REFUSED_RECORDS = [
    (Members({"base_url": "https://x", 1: "one"}), TypeError, "^keywords must be strings$"),
    (Frozen({"base_url": "https://x", b"ca_bundle": None}), TypeError, "^keywords must be strings$"),
    (KeysFail({}), ValueError, "^keys unavailable$"),
    (KeysMissing({}), TypeError, NOT_MAPPED + "KeysMissing$"),
    ([1, 2], TypeError, NOT_MAPPED + "list$"),
    (Members({"base_url": "https://x"}, keys=["base_url", "base_url"]), TypeError,
     "RemoteConnection\\(\\) got multiple values for keyword argument 'base_url'$"),
    (Members({"base_url": "https://x"}, keys=5), TypeError, "keys\\(\\) returned a non-iterable"),
    (ValueMissing({"base_url": "https://x"}), KeyError, "base_url"),
    (Frozen({"base_url": "https://x", "alias": "other"}), TypeError, "got multiple values for argument 'alias'$"),
]


@pytest.fixture
def mapped(home):
    """A RemoteConfig whose _load gives the record of `mapped.record` for the alias "main"."""

    class Mapped(remote.RemoteConfig):
        record = None

        def _load(self):
            return {"schema_version": 1, "default_remote": "main", "client_id": CID,
                    "client_name": "desk", "remotes": {"main": self.record}}

    return Mapped(environ={})


CID = "0f8fad5b-d9cb-469f-a165-70867728950e"


@pytest.mark.parametrize("record", MAPPED_RECORDS, ids=lambda r: type(r).__name__)
def test_a_record_mapping_gives_its_members_as_keyword_arguments(mapped, record):
    mapped.record = record
    expected = remote.RemoteConnection("main", **record)
    assert expected.base_url == "https://x"
    assert mapped.get("main") == expected
    assert mapped.resolve().connection == expected
    changed = mapped.set("main", default_nickname="bob")
    assert changed == dataclasses.replace(expected, default_nickname="bob")
    assert settings(mapped)["remotes"]["main"] == remote.RemoteConfig._record(changed)
    mapped.set_token("main", "s3cret")
    assert settings(mapped)["remotes"]["main"]["token_ref"] == "dpapi:remote:main"
    assert mapped.token_store.get("dpapi:remote:main") == "s3cret"


@pytest.mark.parametrize("record, kind, message", REFUSED_RECORDS, ids=lambda c: getattr(c, "__name__", None))
@pytest.mark.parametrize("operation", [
    lambda c: c.get("main"),
    lambda c: c.set("main", default_nickname="bob"),
    lambda c: c.set_token("main", "s3cret"),
    lambda c: c.resolve(),
], ids=["get", "set", "set_token", "resolve"])
def test_a_record_that_fails_as_keyword_arguments_raises_what_the_call_raises(mapped, record, kind, message,
                                                                              operation):
    with pytest.raises(kind) as interpreter:
        remote.RemoteConnection("main", **record)
    mapped.record = record
    with pytest.raises(kind, match=message) as caught:
        operation(mapped)
    assert str(caught.value) == str(interpreter.value)
    assert files(mapped) == (None, None)


class Plainly(remote.RemoteConfig):
    """Saves any mapping by its items, so fields held in a non-dict mapping can be written."""

    def _save(self, data):
        super()._save(json.loads(json.dumps(data, default=dict)))


def test_fields_from_a_rebound_asdict_are_used_as_a_mapping(home, monkeypatch):
    config = Plainly(environ={})
    config.add("main", URL)
    monkeypatch.setattr(remote, "asdict", lambda c: collections.UserDict(dataclasses.asdict(c)))
    record = remote.RemoteConfig._record(remote.RemoteConnection("x", URL))
    assert type(record) is collections.UserDict and "alias" not in record and record["base_url"] == URL
    changed = config.set("main", default_nickname="bob")
    assert changed == remote.RemoteConnection("main", URL, default_nickname="bob")
    assert settings(config)["remotes"]["main"]["default_nickname"] == "bob"
    assert config.resolve("main").connection == changed
