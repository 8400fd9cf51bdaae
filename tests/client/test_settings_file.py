"""The settings file: loading with validation, the default settings and the atomic writer."""
import errno
import json
import os
import random
import signal
import time
import types
import pytest

from qybridge4.cli import remote

from _home import config, home  # noqa: F401  (fixtures)

ConfigError = remote.ConfigError
CID = "0b7d2a56-9a41-4a8e-9c0d-6f1f0c1e2d3a"


def settings(**changes):
    data = {"schema_version": 1, "default_remote": None, "client_id": CID, "client_name": "pc",
            "remotes": {}}
    data.update(changes)
    return data


def record(**members):
    return {"base_url": "https://gw.example.com", **members}


def text(value):
    return json.dumps(value, ensure_ascii=False, indent=2)


# (file content, message); None: the load returns the decoded mapping.
LOADS = [
    (text(settings()), None),
    ('{"a": 1, "a": 2}', "invalid remote config: duplicate JSON key: a"),
    (text(settings()).replace('"pc"', '"pc", "remotes": {}', 1), "invalid remote config: duplicate JSON key: remotes"),
    ('{"x": NaN}', "invalid remote config: invalid number: NaN"),
    ('[Infinity]', "invalid remote config: invalid number: Infinity"),
    ("\ufeff" + text(settings()), "invalid remote config: invalid JSON: Unexpected UTF-8 BOM (decode using utf-8-sig)"),
    (b"\xff{}", "invalid remote config: JSON payload must be UTF-8"),
    ("[]", "invalid remote config schema"),
    (text({k: v for k, v in settings().items() if k != "remotes"}), "invalid remote config schema"),
    (text(settings(extra=1)), "invalid remote config schema"),
    (text(settings(schema_version=True)), "unsupported remote config schema"),
    (text(settings(schema_version=1.0)), "unsupported remote config schema"),
    (text(settings(schema_version=2, client_id="x")), "unsupported remote config schema"),
    (text(settings(client_id=CID.upper())), None),
    (text(settings(client_id="{" + CID + "}")), None),
    (text(settings(client_id="urn:uuid:" + CID.replace("-", ""))), None),
    (text(settings(client_id=CID[:-1])), "invalid client_id"),
    (text(settings(client_id="+" + CID.replace("-", "")[1:])), "invalid client_id"),
    (text(settings(client_id=CID.replace("-", "")[:16] + "_" + CID.replace("-", "")[17:])), "invalid client_id"),
    (text(settings(client_id=" " + CID.replace("-", "")[1:])), "invalid client_id"),
    (text(settings(client_id=CID + "\n")), "invalid client_id"),
    (text(settings(client_id="0x" + CID.replace("-", "")[2:])), "invalid client_id"),
    (text(settings(client_id=CID[:-1] + "\u0663")), "invalid client_id"),
    (text(settings(client_id=7, client_name="")), "invalid client_id"),
    (text(settings(client_name="名" * 128)), None),
    (text(settings(client_name="n" * 129)), "invalid client_name"),
    (text(settings(client_name="")), "invalid client_name"),
    (text(settings(client_name=5, remotes=[])), "invalid client_name"),
    (text(settings(remotes={f"r{i}": record() for i in range(128)})), None),
    (text(settings(remotes={f"r{i}": record() for i in range(129)})), "invalid remotes"),
    (text(settings(remotes=[])), "invalid remotes"),
    (text(settings(remotes={"a": {"base_url": "http://localhost:1", "connect_timeout": 2}})), None),
    (text(settings(remotes={"a": {}})), "invalid remote record: a"),
    (text(settings(remotes={"a": record(extra=1)})), "invalid remote record: a"),
    (text(settings(remotes={"a": record(alias="a")})), "invalid remote record: a"),
    (text(settings(remotes={"a": record(verify_tls=1)})), "invalid remote record: a"),
    (text(settings(remotes={"bad alias": record()})), "invalid remote record: bad alias"),
    (text(settings(remotes={"a": "https://gw.example.com"})), "invalid remote record"),
    (text(settings(remotes={"ok": record(), "b": record(token_ref="x"), "c": {}})), "invalid remote record: b"),
    (text(settings(remotes={"a": record()}, default_remote="a")), None),
    (text(settings(remotes={"a": record()}, default_remote="b")), "invalid default_remote"),
    (text(settings(default_remote=1)), "invalid default_remote"),
    (text(settings(default_remote=["a"])), "invalid default_remote"),
    (text(settings(default_remote={})), "invalid default_remote"),
]


@pytest.mark.parametrize("content, message", LOADS)
def test_load(config, content, message):
    raw = content if isinstance(content, bytes) else content.encode("utf-8")
    config.path.parent.mkdir()
    config.path.write_bytes(raw)
    if message is None:
        assert config._load() == json.loads(raw)
        assert list(config._load()) == list(json.loads(raw))
    else:
        with pytest.raises(ConfigError) as caught:
            config._load()
        assert str(caught.value) == message
        if message.startswith(("invalid remote config: ", "invalid client_id", "invalid remote record: ")):
            assert isinstance(caught.value.__cause__, Exception)
    assert config.path.read_bytes() == raw
    assert os.listdir(config.path.parent) == ["config.json"]


def test_record_refusal_carries_the_records_failure(config):
    config.path.parent.mkdir()
    config.path.write_text(text(settings(remotes={"a": record(alias="a"), "b": record(verify_tls=0)})))
    with pytest.raises(ConfigError, match="^invalid remote record: a$") as caught:
        config._load()
    assert type(caught.value.__cause__) is TypeError
    assert "multiple values for keyword argument 'alias'" in str(caught.value.__cause__)
    config.path.write_text(text(settings(remotes={"b": record(verify_tls=0)})))
    with pytest.raises(ConfigError) as caught:
        config._load()
    assert type(caught.value.__cause__) is ConfigError
    assert str(caught.value.__cause__) == "verify_tls must be boolean"


def test_client_id_refusal_has_a_value_error_cause(config):
    config.path.parent.mkdir()
    config.path.write_text(text(settings(client_id="0x" + "a" * 30)))
    with pytest.raises(ConfigError) as caught:
        config._load()
    assert type(caught.value.__cause__) is ValueError


def test_size_limit_is_tested_before_reading(config):
    config.path.parent.mkdir()
    body = text(settings())
    config.path.write_text(body + " " * (65536 - len(body)))
    assert config._load()["client_id"] == CID
    config.path.write_text(body + " " * (65537 - len(body)))
    with pytest.raises(ConfigError, match="^remote config is too large$") as caught:
        config._load()
    assert caught.value.__cause__ is None


def test_unreadable_file_is_an_invalid_config(config):
    config.path.mkdir(parents=True)
    with pytest.raises(ConfigError, match="^invalid remote config: ") as caught:
        config._load()
    assert isinstance(caught.value.__cause__, OSError)


def test_no_file_gives_a_fresh_default_and_creates_nothing(home, config, monkeypatch):
    first, second = config._load(), config._load()
    assert list(first) == ["schema_version", "default_remote", "client_id", "client_name", "remotes"]
    assert first["client_id"] != second["client_id"]
    assert first["schema_version"] == 1 and first["default_remote"] is None and first["remotes"] == {}
    assert first["client_name"] == "qybridge4-client"
    assert len(first["client_id"]) == 36 and first["client_id"] == first["client_id"].lower()
    assert os.listdir(home) == []
    monkeypatch.setenv("COMPUTERNAME", "DESK-7")
    assert config._load()["client_name"] == "DESK-7"


@pytest.mark.parametrize("name", ["", "n" * 129, "desk-\udcff"])
def test_unusable_computer_name_is_not_stored(config, monkeypatch, name):
    # Stored, it would make every later load refuse the file; one that UTF-8 cannot carry (the
    # environment's undecodable bytes) would make every save fail.
    monkeypatch.setenv("COMPUTERNAME", name)
    config.set_client()
    assert config._load()["client_name"] == "qybridge4-client"
    monkeypatch.setenv("COMPUTERNAME", "n" * 128)
    config.path.unlink()
    config.set_client()
    assert config._load()["client_name"] == "n" * 128


def test_computer_name_comes_from_the_process_environment(home, monkeypatch):
    monkeypatch.setenv("COMPUTERNAME", "FROM-PROCESS")
    held = remote.RemoteConfig(environ={"COMPUTERNAME": "FROM-MAPPING"})
    assert held._load()["client_name"] == "FROM-PROCESS"


# ---------------------------------------------------------------------------------------------
# Writing

def test_written_text_form(config):
    config.set_client(client_name="中文电脑")
    client_id = config._load()["client_id"]
    assert config.path.read_bytes() == (
        '{\n  "schema_version": 1,\n  "default_remote": null,\n  "client_id": "' + client_id + '",\n'
        '  "client_name": "中文电脑",\n  "remotes": {}\n}').encode("utf-8")
    assert sorted(os.listdir(config.path.parent)) == ["config.json"]


@pytest.mark.posix("file modes")
def test_written_file_is_private_to_its_owner(config):
    config.set_client(client_name="pc")
    assert oct(config.path.stat().st_mode & 0o777) == "0o600"


def test_order_is_kept_through_a_read_and_a_write(config):
    original = {"remotes": {"zed": {"allow_insecure": False, "base_url": "https://z.example.com",
                                    "request_timeout": 30},
                            "alpha": {"base_url": "http://127.0.0.1:1", "ca_bundle": "ca\u0001.pem"}},
                "client_name": "pc", "default_remote": "zed", "client_id": CID, "schema_version": 1}
    config.path.parent.mkdir()
    config.path.write_text(text(original), encoding="utf-8")
    config.use("zed")
    assert config.path.read_text(encoding="utf-8") == text(original)
    assert '"ca\\u0001.pem"' in config.path.read_text(encoding="utf-8")
    assert list(config._load()) == list(original)


def test_writer_refusals_leave_the_old_file_and_no_temporary(config):
    writer = remote._remote_config___atomic_json
    config.path.parent.mkdir()
    config.path.write_bytes(b"old")
    # '{\n  "k": "' + value + '"\n}' is 13 bytes around the value.
    with pytest.raises(ConfigError, match="^configuration is too large$"):
        writer(config.path, {"k": "x" * 65524})
    with pytest.raises(TypeError):
        writer(config.path, {"k": {1, 2}})
    with pytest.raises(ValueError):
        writer(config.path, {"k": float("nan")})
    assert config.path.read_bytes() == b"old"
    assert os.listdir(config.path.parent) == ["config.json"]
    writer(config.path, {"k": "x" * 65523})
    assert len(config.path.read_bytes()) == 65536


def test_failed_move_removes_the_temporary_file(home):
    target = home / "deep" / "config.json"
    target.mkdir(parents=True)
    (target / "inside").write_text("kept")
    with pytest.raises(OSError):
        remote._remote_config___atomic_json(target, {"a": 1})
    assert os.listdir(target.parent) == ["config.json"]
    assert (target / "inside").read_text() == "kept"


def test_failed_removal_is_raised_with_the_failure_it_replaces(home, monkeypatch):
    def refuse_move(source, target):
        raise OSError("move refused")

    def refuse_removal(path):
        raise PermissionError("removal refused")

    fake_os = types.SimpleNamespace(**{k: getattr(os, k) for k in dir(os) if not k.startswith("__")})
    fake_os.replace, fake_os.unlink = refuse_move, refuse_removal
    monkeypatch.setattr(remote, "os", fake_os)
    with pytest.raises(PermissionError, match="removal refused") as caught:
        remote._remote_config___atomic_json(home / "config.json", {})
    assert str(caught.value.__context__) == "move refused"
    assert [p.name.startswith("config.json.") for p in home.iterdir()] == [True]


def test_writer_creates_missing_directories(home):
    target = home / "a" / "b" / "settings.json"
    remote._remote_config___atomic_json(str(target), [])
    assert target.read_bytes() == b"[]"


@pytest.fixture
def sleeps(monkeypatch):
    """The pauses that a writer makes: the module's monotonic clock moves by them, nothing waits."""
    made = []
    monkeypatch.setattr(remote, "time", types.SimpleNamespace(
        monotonic=lambda: 1000.0 + sum(made), sleep=made.append, time=time.time))
    return made


class BusyTarget:
    """The real os under the name `os_name`, whose replace fails the first `refusals` times, each
    time with a new OSError of `code`: EACCES makes the PermissionError that Windows gives while
    another process holds the target open."""

    def __init__(self, os_name, refusals, code=errno.EACCES):
        self.name, self.refusals, self.code = os_name, refusals, code
        self.raised = []

    def replace(self, source, target):
        if len(self.raised) < self.refusals:
            self.raised.append(OSError(self.code, os.strerror(self.code), str(target)))
            raise self.raised[-1]
        return os.replace(source, target)

    def __getattr__(self, attr):
        return getattr(os, attr)


# Both atomic writers: the settings and secrets files', and the runtime state files'.
WRITERS = {"settings": (remote._remote_config___atomic_json, b'{\n  "n": 2\n}'),
           "runtime": (remote._remote_runtime___atomic_json, b'{"n":2}')}


@pytest.fixture(params=list(WRITERS))
def writer(request, tmp_path):
    """(write, target, the bytes it writes for {"n": 2}); the target holds b"old"."""
    write, new = WRITERS[request.param]
    target = tmp_path / "state.json"
    target.write_bytes(b"old")
    return write, target, new


def test_windows_retries_a_refused_replace_until_it_passes(writer, sleeps, monkeypatch):
    write, target, new = writer
    busy = BusyTarget("nt", refusals=3)
    monkeypatch.setattr(remote, "os", busy)
    write(target, {"n": 2})
    assert target.read_bytes() == new
    assert len(busy.raised) == 3 and sleeps == [0.05] * 3
    assert os.listdir(target.parent) == ["state.json"]


def test_windows_gives_up_a_second_after_the_first_refusal(writer, sleeps, monkeypatch):
    write, target, new = writer
    busy = BusyTarget("nt", refusals=10 ** 6)
    monkeypatch.setattr(remote, "os", busy)
    with pytest.raises(PermissionError) as caught:
        write(target, {"n": 2})
    # Every 0.05 s until the deadline, then one last try at it; the last refusal is raised as it
    # came, without the earlier ones as its context.
    assert sleeps == [0.05] * 20 and len(busy.raised) == 21
    assert caught.value is busy.raised[-1] and caught.value.__context__ is None
    assert target.read_bytes() == b"old"
    assert os.listdir(target.parent) == ["state.json"]


@pytest.mark.parametrize("os_name, code, error", [("posix", errno.EACCES, PermissionError),
                                                  ("nt", errno.EIO, OSError),
                                                  ("nt", errno.EISDIR, IsADirectoryError)])
def test_other_refusals_fail_at_once(writer, sleeps, monkeypatch, os_name, code, error):
    write, target, new = writer
    busy = BusyTarget(os_name, refusals=1, code=code)
    monkeypatch.setattr(remote, "os", busy)
    with pytest.raises(OSError) as caught:
        write(target, {"n": 2})
    assert type(caught.value) is error and caught.value is busy.raised[0] and sleeps == []
    assert target.read_bytes() == b"old"
    assert os.listdir(target.parent) == ["state.json"]


# The public saves that reach each writer, and the file each one writes under ~/.qybridge.
PUBLIC_SAVES = {
    "settings": (lambda: remote.RemoteConfig(environ={}).set_client(client_name="pc"), "config.json"),
    "secrets": (lambda: remote.DPAPITokenStore().set("dpapi:remote:main", "s3cret"), "remote-secrets.json"),
    "server token": (lambda: remote.set_server_token("s3cret"), "remote-server.json"),
}


@pytest.mark.parametrize("save", list(PUBLIC_SAVES))
def test_public_saves_ride_out_a_brief_refusal_on_windows(home, sleeps, monkeypatch, save):
    call, file_name = PUBLIC_SAVES[save]
    monkeypatch.setattr(remote, "os", BusyTarget("nt", refusals=2))
    call()
    assert sleeps == [0.05, 0.05]
    assert os.listdir(home / ".qybridge") == [file_name]
    assert isinstance(json.loads((home / ".qybridge" / file_name).read_bytes()), dict)


def rewrite_forever(config, ready):
    """In a forked child: rewrite the settings file until killed."""
    try:
        names = ["a" * 128, "b"]
        config.set_client(client_name=names[0])
        os.write(ready, b"r")
        i = 0
        while True:
            i += 1
            config.set_client(client_name=names[i % 2])
    finally:
        os._exit(1)


@pytest.mark.posix("os.fork and signal.SIGKILL")
def test_killed_writer_never_leaves_a_broken_file(home):
    config = remote.RemoteConfig(home / "config.json", environ={})
    config.add("main", "https://gw.example.com/" + "p" * 1000)
    rng = random.Random(7)
    for _ in range(20):
        ready, signal_end = os.pipe()
        pid = os.fork()
        if pid == 0:
            rewrite_forever(config, signal_end)
        os.close(signal_end)
        try:
            assert os.read(ready, 1) == b"r"
            time.sleep(rng.uniform(0, 0.02))  # lands somewhere inside a rewrite
        finally:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            os.close(ready)
        assert config._load()["client_name"] in ("a" * 128, "b")
        assert config.list() == ("main",)
