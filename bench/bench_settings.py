"""Speed of connection resolution and of a settings save against the same steps written in Python.

Run on demand: QYB_BUILD_DIR=/tmp/build-x /usr/bin/python3 bench/bench_settings.py
Both sides read and write files of 128 connections in one temporary directory (one file system).
Prints the time per call of each side and the speed ratio (baseline / native).
"""
import base64
import ipaddress
import json
import os
import re
import sys
import tempfile
import timeit
import urllib.parse
import uuid
from dataclasses import asdict, dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BUILD = Path(os.environ.get("QYB_BUILD_DIR", ROOT / "build")).resolve()
sys.path.insert(0, str(BUILD / "python"))

from qybridge4.cli import remote  # noqa: E402

sys.path.insert(0, str(ROOT / "tests" / "protocol"))
from json_reference import reference_loads  # noqa: E402

MAX_CONFIG_BYTES = 65536
_ALIAS = re.compile(r"^[A-Za-z0-9][A-Za-z0-9._-]{0,63}$")


# --- the baseline: the same steps in Python over the same standard library calls ---

class ConfigError(RuntimeError):
    pass


class ClientError(RuntimeError):
    pass


def loads_strict(payload, *, max_bytes):
    if len(payload) > max_bytes:
        raise ValueError("JSON payload is too large")
    try:
        text = payload.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise ValueError("JSON payload must be UTF-8") from exc
    try:
        return reference_loads(text)
    except json.JSONDecodeError as exc:
        raise ValueError(f"invalid JSON: {exc.msg}") from exc


def is_loopback(hostname):
    if not hostname:
        return False
    if hostname.rstrip(".").lower() == "localhost":
        return True
    try:
        return ipaddress.ip_address(hostname).is_loopback
    except ValueError:
        return False


def validate_base_url(base_url, *, allow_insecure=False):
    if not isinstance(base_url, str) or not base_url.strip():
        raise ClientError("remote base URL is required")
    value = base_url.strip().rstrip("/")
    try:
        parts = urllib.parse.urlsplit(value)
        parts.port
    except ValueError as exc:
        raise ClientError(f"invalid remote base URL: {exc}") from exc
    scheme = parts.scheme.lower()
    if scheme not in ("http", "https") or not parts.hostname:
        raise ClientError("remote base URL must be an HTTP(S) URL")
    if "@" in parts.netloc:
        raise ClientError("credentials are not allowed in remote base URL")
    if parts.query or parts.fragment:
        raise ClientError("remote base URL cannot contain a query or fragment")
    if scheme == "http" and not is_loopback(parts.hostname) and not allow_insecure:
        raise ClientError("non-loopback remote connections require HTTPS (or explicit allow_insecure)")
    return value


def _timeout(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool) and 0 < value <= 3600


@dataclass(frozen=True)
class RemoteConnection:
    alias: str
    base_url: str
    token_ref: str | None = None
    default_nickname: str | None = None
    verify_tls: bool = True
    ca_bundle: str | None = None
    connect_timeout: float = 5.0
    request_timeout: float = 60.0
    allow_insecure: bool = False

    def __post_init__(self):
        if not _ALIAS.fullmatch(self.alias):
            raise ConfigError("invalid remote alias")
        if not isinstance(self.base_url, str) or not self.base_url.startswith(("https://", "http://")):
            raise ConfigError("base_url must be HTTP(S)")
        if len(self.base_url) > 2048 or "\0" in self.base_url:
            raise ConfigError("invalid base_url")
        if self.token_ref is not None and not (isinstance(self.token_ref, str) and self.token_ref.startswith("dpapi:")):
            raise ConfigError("invalid token_ref")
        if self.default_nickname is not None and not (
                isinstance(self.default_nickname, str) and 1 <= len(self.default_nickname) <= 128):
            raise ConfigError("invalid default_nickname")
        if not isinstance(self.verify_tls, bool):
            raise ConfigError("verify_tls must be boolean")
        if not isinstance(self.allow_insecure, bool):
            raise ConfigError("allow_insecure must be boolean")
        try:
            validate_base_url(self.base_url, allow_insecure=self.allow_insecure)
        except ClientError as exc:
            raise ConfigError(str(exc)) from exc
        if self.ca_bundle is not None and not isinstance(self.ca_bundle, str):
            raise ConfigError("invalid ca_bundle")
        if not _timeout(self.connect_timeout):
            raise ConfigError("invalid connect_timeout")
        if not _timeout(self.request_timeout):
            raise ConfigError("invalid request_timeout")


@dataclass(frozen=True)
class ResolvedRemote:
    connection: RemoteConnection
    token: str | None
    client_id: str
    client_name: str


def atomic_json(path, value):
    path.parent.mkdir(parents=True, exist_ok=True)
    data = json.dumps(value, ensure_ascii=False, indent=2, allow_nan=False).encode("utf-8")
    if len(data) > MAX_CONFIG_BYTES:
        raise ConfigError("configuration is too large")
    fd, temporary = tempfile.mkstemp(prefix=path.name + ".", dir=path.parent)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, path)
    finally:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass


class BaselineConfig:
    def __init__(self, path, environ):
        self.path = Path(path)
        self.environ = environ

    def _load(self):
        if not self.path.exists():
            return {"schema_version": 1, "default_remote": None, "client_id": str(uuid.uuid4()),
                    "client_name": os.environ.get("COMPUTERNAME") or "qybridge4-client", "remotes": {}}
        if self.path.stat().st_size > MAX_CONFIG_BYTES:
            raise ConfigError("remote config is too large")
        try:
            data = loads_strict(self.path.read_bytes(), max_bytes=MAX_CONFIG_BYTES)
        except (OSError, ValueError) as exc:
            raise ConfigError(f"invalid remote config: {exc}") from exc
        if not isinstance(data, dict) or set(data) != {"schema_version", "default_remote", "client_id",
                                                       "client_name", "remotes"}:
            raise ConfigError("invalid remote config schema")
        version = data["schema_version"]
        if not isinstance(version, int) or isinstance(version, bool) or version != 1:
            raise ConfigError("unsupported remote config schema")
        client_id = data["client_id"]
        try:
            hex_digits = client_id.replace("urn:", "").replace("uuid:", "").strip("{}").replace("-", "")
            if len(hex_digits) != 32 or not all(c in "0123456789abcdefABCDEF" for c in hex_digits):
                raise ValueError("badly formed hexadecimal UUID string")
        except (AttributeError, ValueError) as exc:
            raise ConfigError("invalid client_id") from exc
        name = data["client_name"]
        if not isinstance(name, str) or not 1 <= len(name) <= 128:
            raise ConfigError("invalid client_name")
        remotes = data["remotes"]
        if not isinstance(remotes, dict) or len(remotes) > 128:
            raise ConfigError("invalid remotes")
        for alias, record in remotes.items():
            if not isinstance(record, dict):
                raise ConfigError("invalid remote record")
            try:
                RemoteConnection(alias=alias, **record)
            except (TypeError, ValueError, ConfigError) as exc:
                raise ConfigError(f"invalid remote record: {alias}") from exc
        default = data["default_remote"]
        if default is not None and (not isinstance(default, str) or default not in remotes):
            raise ConfigError("invalid default_remote")
        return data

    def _save(self, data):
        atomic_json(self.path, data)

    def get(self, alias):
        remotes = self._load()["remotes"]
        if alias not in remotes:
            raise ConfigError(f"remote connection not found: {alias}")
        return RemoteConnection(alias=alias, **remotes[alias])

    def set_client(self, *, client_name=None):
        data = self._load()
        if client_name is not None:
            if not isinstance(client_name, str) or not 1 <= len(client_name) <= 128:
                raise ConfigError("invalid client_name")
            data["client_name"] = client_name
        self._save(data)

    def resolve(self, alias=None):
        data = self._load()
        selected = alias or self.environ.get("QYBRIDGE4_REMOTE") or data["default_remote"]
        if not selected:
            raise ConfigError("no remote connection selected")
        stored = self.get(selected)
        fields = asdict(stored)
        if "QYBRIDGE4_BASE_URL" in self.environ:
            fields["base_url"] = self.environ["QYBRIDGE4_BASE_URL"]
        connection = RemoteConnection(**fields)
        if "QYBRIDGE4_TOKEN" in self.environ:
            token = self.environ["QYBRIDGE4_TOKEN"]
        else:
            token = None  # the connections here hold no token reference
        name = self.environ.get("QYBRIDGE4_CLIENT_NAME", data["client_name"])
        return ResolvedRemote(connection, token, data["client_id"], name)


# --- the file ---

def settings_of(count):
    remotes = {}
    for i in range(count):
        remotes[f"gw-{i:03d}"] = {
            "base_url": f"https://gateway-{i}.example.com:8443/base" if i % 3 else f"http://127.0.0.1:{8000 + i}",
            "token_ref": None, "default_nickname": f"account{i}", "verify_tls": True, "ca_bundle": None,
            "connect_timeout": 5.0, "request_timeout": 60.0, "allow_insecure": False}
    return {"schema_version": 1, "default_remote": "gw-064", "client_id": str(uuid.uuid4()),
            "client_name": "bench-desk", "remotes": remotes}


def compare(label, native, baseline, rounds=9):
    """Best time per call of each side, the rounds interleaved so drift hits both alike."""
    number, _ = timeit.Timer(baseline).autorange()
    t_native = t_base = float("inf")
    for _ in range(rounds):
        t_native = min(t_native, timeit.timeit(native, number=number) / number)
        t_base = min(t_base, timeit.timeit(baseline, number=number) / number)
    print(f"{label:<42} native {t_native * 1e6:9.1f} us   baseline {t_base * 1e6:9.1f} us   "
          f"ratio {t_base / t_native:5.2f}x")


def main():
    environ = {"QYBRIDGE4_TOKEN": "bench-token"}
    with tempfile.TemporaryDirectory() as directory:
        native_path = Path(directory) / "native" / "config.json"
        baseline_path = Path(directory) / "baseline" / "config.json"
        text = json.dumps(settings_of(128), ensure_ascii=False, indent=2)
        for path in (native_path, baseline_path):
            path.parent.mkdir()
            path.write_text(text, encoding="utf-8")
        print(f"settings file: 128 connections, {native_path.stat().st_size} bytes")
        native = remote.RemoteConfig(native_path, environ=environ)
        baseline = BaselineConfig(baseline_path, environ)

        mine, theirs = native.resolve(), baseline.resolve()
        assert asdict(mine.connection) == asdict(theirs.connection)
        assert (mine.token, mine.client_id, mine.client_name) == (theirs.token, theirs.client_id, theirs.client_name)
        compare("resolve (default connection)", native.resolve, baseline.resolve)
        compare("resolve('gw-127')", lambda: native.resolve("gw-127"), lambda: baseline.resolve("gw-127"))
        compare("set_client(client_name=...)", lambda: native.set_client(client_name="renamed"),
                lambda: baseline.set_client(client_name="renamed"))
        assert native_path.read_bytes() == baseline_path.read_bytes()
        compare("_load", native._load, baseline._load)


if __name__ == "__main__":
    main()
