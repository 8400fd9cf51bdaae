"""What the settings part binds: its classes, their kinds and signatures, and the protocol stubs."""
from __future__ import annotations

import dataclasses
import inspect
from pathlib import Path
from typing import Mapping, Protocol

import pytest

from qybridge4.cli import remote


class ReferenceStore(Protocol):
    def set(self, reference: str, token: str) -> None: ...
    def get(self, reference: str) -> str: ...
    def delete(self, reference: str) -> None: ...


class ReferenceDPAPI:
    def __init__(self, path: Path | None = None): ...
    def set(self, reference, token): ...
    def get(self, reference): ...
    def delete(self, reference): ...
    def _read(self): ...
    def _write(self, values): ...
    @staticmethod
    def _protect(value): ...
    @staticmethod
    def _unprotect(value): ...


class ReferenceConfig:
    def __init__(self, path: Path | None = None, token_store: TokenStore | None = None,
                 environ: Mapping[str, str] | None = None): ...
    def list(self): ...
    def default(self): ...
    def get(self, alias): ...
    def add(self, alias, base_url, *, token=None, **options): ...
    def set(self, alias, **changes): ...
    def set_token(self, alias, token): ...
    def remove(self, alias): ...
    def use(self, alias=None): ...
    def set_client(self, *, client_name=None): ...
    def resolve(self, alias=None): ...
    @staticmethod
    def _record(connection): ...
    def _load(self): ...
    def _save(self, data): ...


def _atomic_json(path: Path, value): ...


@pytest.mark.parametrize("native, reference", [
    (remote.TokenStore, ReferenceStore),
    (remote.DPAPITokenStore, ReferenceDPAPI),
    (remote.RemoteConfig, ReferenceConfig),
])
def test_class_members_match_their_signatures(native, reference):
    # The methods written in the reference's body, not those its metaclass adds.
    names = [k for k, v in vars(reference).items() if (inspect.isfunction(v) or isinstance(v, staticmethod))
             and getattr(reference, k).__qualname__.startswith(reference.__name__ + ".")]
    for name in names:
        assert isinstance(vars(native)[name], staticmethod) == isinstance(vars(reference)[name], staticmethod)
        ours, theirs = getattr(native, name), getattr(reference, name)
        assert inspect.signature(ours) == inspect.signature(theirs), name
        assert ours.__annotations__ == theirs.__annotations__, name
        assert ours.__qualname__ == f"{native.__name__}.{name}"
        assert ours.__module__ == remote.__name__


def test_own_members_in_definition_order():
    own = [k for k, v in vars(remote.DPAPITokenStore).items() if not k.startswith("__") or k == "__init__"]
    assert own == ["__init__", "set", "get", "delete", "_read", "_write", "_protect", "_unprotect"]
    own = [k for k in vars(remote.RemoteConfig) if not k.startswith("__") or k == "__init__"]
    assert own == ["__init__", "list", "default", "get", "add", "set", "set_token", "remove", "use",
                   "set_client", "resolve", "_record", "_load", "_save"]
    assert remote.DPAPITokenStore.__doc__ == "Stores only DPAPI ciphertext in a separate secrets file."
    assert remote.RemoteConfig.__doc__ is None and remote.RemoteConfig.__bases__ == (object,)
    assert remote.DPAPITokenStore.__bases__ == (object,)


def test_atomic_writer_and_error_class():
    ours = remote._remote_config___atomic_json
    assert inspect.signature(ours) == inspect.signature(_atomic_json)
    assert ours.__annotations__ == {"path": "Path"} and ours.__qualname__ == "_remote_config___atomic_json"
    assert remote.ConfigError.__bases__ == (RuntimeError,) and remote.ConfigError.__doc__ is None
    assert "ConfigError" in remote.__all__ and "_ALIAS" not in remote.__all__


def test_token_store_is_a_protocol_with_stubs():
    store = remote.TokenStore
    assert type(store) is type(Protocol) and store._is_protocol and Protocol in store.__bases__
    with pytest.raises(TypeError, match="Protocols cannot be instantiated"):
        store()
    with pytest.raises(TypeError):
        isinstance(object(), store)

    class Derived(store):
        pass

    thing = Derived()
    assert thing.set("r", "t") is None and thing.get("r") is None and thing.delete("r") is None
    assert store.get(object(), 5) is None
    assert not issubclass(remote.DPAPITokenStore, Derived)


def test_records_are_frozen_dataclasses_with_their_fields():
    connection = remote.RemoteConnection("main", "https://gw.example.com")
    assert [(f.name, f.type, f.default) for f in dataclasses.fields(connection)] == [
        ("alias", "str", dataclasses.MISSING), ("base_url", "str", dataclasses.MISSING),
        ("token_ref", "str | None", None), ("default_nickname", "str | None", None),
        ("verify_tls", "bool", True), ("ca_bundle", "str | None", None),
        ("connect_timeout", "float", 5.0), ("request_timeout", "float", 60.0),
        ("allow_insecure", "bool", False)]
    with pytest.raises(dataclasses.FrozenInstanceError):
        connection.alias = "other"
    twin = remote.RemoteConnection("main", "https://gw.example.com")
    assert twin == connection and hash(twin) == hash(connection)
    assert list(vars(remote.RemoteConnection)["__annotations__"]) == [
        f.name for f in dataclasses.fields(connection)]

    resolved = remote.ResolvedRemote
    assert [(f.name, f.type) for f in dataclasses.fields(resolved)] == [
        ("connection", "RemoteConnection"), ("token", "str | None"), ("client_id", "str"),
        ("client_name", "str")]
    assert all(f.default is dataclasses.MISSING for f in dataclasses.fields(resolved))
    with pytest.raises(TypeError):
        resolved(connection, None, "id")
    made = resolved(connection, None, "id", "name")
    with pytest.raises(dataclasses.FrozenInstanceError):
        made.token = "x"
    assert resolved.__dataclass_params__.frozen and "__post_init__" not in vars(resolved)


def test_static_methods_work_on_the_class():
    connection = remote.RemoteConnection("main", "https://gw.example.com")
    assert remote.RemoteConfig._record(connection) == {
        "base_url": "https://gw.example.com", "token_ref": None, "default_nickname": None,
        "verify_tls": True, "ca_bundle": None, "connect_timeout": 5.0, "request_timeout": 60.0,
        "allow_insecure": False}
    with pytest.raises(TypeError):
        remote.RemoteConfig().set_client("name")
