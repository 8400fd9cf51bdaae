"""The runtime part's names: order, signatures, declared types and the context manager _guard."""
import inspect
import subprocess

import pytest

import qybridge4.cli.remote as remote

RUNTIME_NAMES = [
    "_remote_runtime__SCHEMA_VERSION", "MAX_RUNTIME_BYTES", "RemoteRuntimeError", "_runtime_dir",
    "_registry_path", "_token_path", "_guard", "_remote_runtime___atomic_json", "_read_json",
    "has_server_token", "generate_token", "set_server_token", "revoke_server_token",
    "_read_token_record", "load_authorizer", "_read_registry", "_pid_matches", "_url", "_health",
    "_public", "start_gateway", "status_gateway", "registered_gateway", "add_managed_worker",
    "stop_gateway", "_remote_gateway_child_main",
]

SIGNATURES = {
    "_runtime_dir": ("() -> 'Path'", {"return": "Path"}),
    "_remote_runtime___atomic_json": ("(path: 'Path', value) -> 'None'", {"path": "Path", "return": "None"}),
    "_read_json": ("(path: 'Path')", {"path": "Path"}),
    "set_server_token": ("(token: 'str') -> 'None'", {"token": "str", "return": "None"}),
    "load_authorizer": ("() -> 'TokenAuthorizer'", {"return": "TokenAuthorizer"}),
    "_pid_matches": ("(record) -> 'bool'", {"return": "bool"}),
    "_url": ("(host: 'str', port: 'int') -> 'str'", {"host": "str", "port": "int", "return": "str"}),
    "_health": ("(record, timeout=1.0)", {}),
    "status_gateway": ("()", {}),
    "registered_gateway": ("(*, include_stale=False)", {}),
    "add_managed_worker": ("(nickname: 'str')", {"nickname": "str"}),
    "stop_gateway": ("(*, timeout=10.0)", {}),
    "_remote_gateway_child_main": ("(argv=None)", {}),
}


def test_runtime_part_binds_its_names_last_and_in_order():
    names = list(vars(remote))
    tail = names[names.index("_remote_runtime__SCHEMA_VERSION"):]
    assert tail == RUNTIME_NAMES + ["__all__"]
    assert remote.MAX_RUNTIME_BYTES == 65536 and remote._remote_runtime__SCHEMA_VERSION == 1
    assert remote.RemoteRuntimeError.__mro__[1] is RuntimeError
    assert remote.RemoteRuntimeError.__doc__ is None
    assert remote.RemoteRuntimeError.__module__ == remote.__name__


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_signatures_and_declared_types(name):
    function = getattr(remote, name)
    text, annotations = SIGNATURES[name]
    assert str(inspect.signature(function)) == text
    assert function.__annotations__ == annotations
    assert function.__qualname__ == name and function.__module__ == remote.__name__


def test_start_gateway_keywords_and_popen_default_fixed_at_import():
    start = remote.start_gateway
    assert start.__defaults__ is None
    assert list(start.__kwdefaults__.items()) == [
        ("host", "127.0.0.1"), ("port", 8765), ("public_url", None), ("token", None),
        ("managed_workers", None), ("timeout", 15.0), ("popen", subprocess.Popen)]
    for function in (start, remote.registered_gateway, remote.stop_gateway):
        with pytest.raises(TypeError, match="positional"):
            function(1)
    assert remote.registered_gateway.__doc__ == \
        "Return registered settings without requiring the HTTP endpoint to answer."


def test_guard_is_a_context_manager_of_a_generator_like_callable(home):
    wrapped = remote._guard.__wrapped__
    assert not inspect.isgeneratorfunction(wrapped)
    # Only what contextmanager and functools.wraps put there.
    assert vars(remote._guard) == {"__wrapped__": wrapped} and vars(wrapped) == {}
    assert str(inspect.signature(remote._guard)) == "(timeout=10.0)"
    # Making the context manager does nothing: no directory, no lock file.
    remote._guard()
    remote._guard(5)
    assert not home.exists()
    generator = wrapped(0.5)
    assert iter(generator) is generator
    assert next(generator) is None
    assert (home / "runtime" / "remote.lock").read_bytes() == b"0"
    with pytest.raises(StopIteration):
        next(generator)
    with pytest.raises(StopIteration):
        generator.send(None)
    generator.close()

    # Not started: a value cannot be sent, and throw() ends it without touching the lock.
    fresh = wrapped(0.5)
    with pytest.raises(TypeError, match="just-started"):
        fresh.send(1)
    error = OSError("thrown")
    with pytest.raises(OSError) as info:
        fresh.throw(error)
    assert info.value is error
    with pytest.raises(StopIteration):
        next(fresh)
