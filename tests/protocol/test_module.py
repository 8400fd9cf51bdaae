"""Importing the remote module: its name, attributes, part order and import failures."""
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import qybridge4.cli.remote as remote
import qybridge4.cli.worker as worker

PYTHON_DIR = Path(remote.__file__).resolve().parents[2]

LOCKING_MODULE = "msvcrt" if sys.platform == "win32" else "qyb_msvcrt"


def run_child(code, *, pythonpath=PYTHON_DIR, cwd=None):
    env = dict(os.environ, PYTHONPATH=str(pythonpath))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, cwd=cwd,
                          capture_output=True, text=True, timeout=60)


def test_imported_inside_its_package():
    assert remote.__name__ == "qybridge4.cli.remote"
    assert remote.__package__ == "qybridge4.cli"
    assert remote.worker is worker
    assert remote.__doc__ and "\n" not in remote.__doc__
    assert remote.annotations.compiler_flag == __import__("__future__").annotations.compiler_flag
    assert remote.urllib.parse and remote.urllib.request and remote.urllib.error
    assert remote.msvcrt.__name__ == LOCKING_MODULE
    assert remote.MAX_JSON_BYTES == 262144 and type(remote.MAX_JSON_BYTES) is int


def test_constants_are_bound_in_part_order():
    constants = [n for n, v in vars(remote).items()
                 if not n.startswith("__") and type(v) in (int, str)]
    assert constants == [
        "_remote_protocol__PROTOCOL_VERSION", "MAX_JSON_BYTES", "MAX_ARGV", "MAX_ARGUMENT_CHARS",
        "MAX_STDERR_CHARS", "_READ", "_MUTATION", "_remote_config__SCHEMA_VERSION",
        "MAX_CONFIG_BYTES", "_remote_client__PROTOCOL_VERSION", "MAX_RESPONSE_BYTES",
        "MAX_UPLOAD_BYTES", "UPLOAD_TTL_SECONDS", "MAX_UPLOADS", "_remote_runtime__SCHEMA_VERSION",
        "MAX_RUNTIME_BYTES",
    ]
    assert remote._ALIAS.pattern == "^[A-Za-z0-9][A-Za-z0-9._-]{0,63}$" and remote._ALIAS.flags == 32


ALL = [
    "ClientIdentity", "CommandRequest", "CommandResponse", "CommandResult", "ConfigError",
    "DPAPITokenStore", "GatewayHTTPServer", "GatewayRequestHandler", "MAX_ARGUMENT_CHARS",
    "MAX_ARGV", "MAX_CONFIG_BYTES", "MAX_JSON_BYTES", "MAX_RESPONSE_BYTES", "MAX_RUNTIME_BYTES",
    "MAX_STDERR_CHARS", "MAX_UPLOADS", "MAX_UPLOAD_BYTES", "REMOTE_COMMANDS", "RemoteCapability",
    "RemoteClient", "RemoteClientError", "RemoteCommandError", "RemoteConfig", "RemoteConnection",
    "RemoteError", "RemotePrincipal", "RemoteResourceError", "RemoteRouteError", "RemoteRouter",
    "RemoteRuntimeError", "ResolvedRemote", "TokenAuthorizer", "TokenStore", "UPLOAD_TTL_SECONDS",
    "UploadStore", "UploadedFile", "add_managed_worker", "command_path", "create_server",
    "dumps_wire", "generate_token", "has_server_token", "load_authorizer", "loads_strict",
    "registered_gateway", "remote_capability", "revoke_server_token", "serve", "set_server_token",
    "start_gateway", "status_gateway", "stop_gateway", "validate_base_url",
    "validate_remote_command",
]


def test_all_lists_the_public_names_in_code_point_order():
    assert remote.__all__ == ALL and type(remote.__all__) is list
    assert remote.__all__ == sorted(remote.__all__)
    assert all(hasattr(remote, n) and not n.startswith("_") for n in remote.__all__)
    star = {}
    exec("from qybridge4.cli.remote import *", star)  # the star import itself is under test
    star.pop("__builtins__")
    assert sorted(star) == remote.__all__


def test_import_has_no_side_effects_beyond_imports():
    result = run_child("""
        import threading, os
        before = dict(os.environ)
        import qybridge4.cli.remote
        assert threading.active_count() == 1, threading.enumerate()
        assert dict(os.environ) == before
        print("ok")
    """)
    assert result.stdout.strip() == "ok", result.stderr


def test_top_level_import_fails_at_relative_worker_import(tmp_path):
    built = Path(remote.__file__)
    shutil.copy(built, tmp_path / built.name)
    result = run_child(f"""
        import sys
        sys.path.insert(0, {str(tmp_path)!r})
        try:
            import remote
        except ImportError as e:
            assert "relative import" in str(e), e
            assert "remote" not in sys.modules
            # the six parts before the router ran their imports; the HTTP server part did not
            assert "threading" in sys.modules and "ipaddress" in sys.modules
            assert "http.server" not in sys.modules
            import traceback
            print("".join(traceback.format_exception(e)))
        else:
            raise SystemExit("imported")
    """, pythonpath=PYTHON_DIR)
    assert result.returncode == 0, result.stderr
    assert "router part: from . import worker" in result.stdout


def test_import_fails_without_locking_module_after_eight_parts():
    result = run_child(f"""
        import sys, traceback
        sys.modules[{LOCKING_MODULE!r}] = None
        try:
            import qybridge4.cli.remote
        except ImportError as e:
            assert "qybridge4.cli.remote" not in sys.modules
            assert "http.server" in sys.modules and "psutil" not in sys.modules
            print("".join(traceback.format_exception(e)))
        else:
            raise SystemExit("imported")
    """)
    assert result.returncode == 0, result.stderr
    assert "runtime part: import" in result.stdout


@pytest.mark.posix("an ELF shared object (nm -D)")
def test_only_the_entry_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    built = Path(remote.__file__)
    out = subprocess.run([nm, "-D", "--defined-only", str(built)], capture_output=True, text=True, check=True)
    symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_remote"]


@pytest.mark.parametrize("refusal", ["codec", "token store", "runtime state file"])
def test_a_refusal_raised_from_its_fault_chains_that_fault_inside_a_callers_except(refusal, tmp_path):
    calls = {
        "codec": (lambda: remote.loads_strict(b"\xff"), ValueError),
        "token store": (lambda: remote.DPAPITokenStore(tmp_path / "secrets.json").get("dpapi:remote:a"),
                        remote.ConfigError),
        "runtime state file": (lambda: remote._read_json(tmp_path / "state.json"), remote.RemoteRuntimeError),
    }
    (tmp_path / "state.json").write_bytes(b"{")
    call, kind = calls[refusal]
    try:
        raise KeyError("the caller's own")
    except KeyError:
        with pytest.raises(kind) as caught:
            call()
    assert caught.value.__cause__ is not None
    assert caught.value.__context__ is caught.value.__cause__
