"""The command router: refusals, account checks, worker calls and upload references."""
import dataclasses
import inspect
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import qybridge4.cli.remote as remote
import qybridge4.cli.worker as worker

RemoteRouteError = remote.RemoteRouteError

ALICE = {"nickname": "alice", "instance_id": "w-alice"}
REF = "artifact://" + "ab" * 16


class Upload:
    def __init__(self, path, filename="report.pdf", expires_at=1234.5):
        self.path, self.filename, self.expires_at = path, filename, expires_at


class FakeStore:
    """The router's view of an upload store: resolve(owner, reference)."""

    def __init__(self, uploads=None, error=None):
        self.uploads = uploads or {}
        self.error = error
        self.calls = []

    def resolve(self, owner, reference):
        self.calls.append((owner, reference))
        if self.error is not None:
            raise self.error
        try:
            return self.uploads[(owner, reference)]
        except KeyError:
            raise LookupError("upload not found") from None


class Fake:
    """find/execute/list_all fields that record what the router hands them."""

    def __init__(self, record=ALICE, response=None, error=None, rows=()):
        self.record, self.error, self.rows = record, error, rows
        self.response = response if response is not None else {
            "instance_id": "w-alice", "nickname": "alice", "exit_code": 0, "result": {"ok": 1}, "stderr": ""}
        self.found, self.executed = [], []

    def find(self, nickname):
        self.found.append(nickname)
        return self.record

    def execute(self, record, argv, timeout):
        self.executed.append((record, argv, timeout))
        if self.error is not None:
            raise self.error
        return self.response

    def list_all(self):
        return list(self.rows)

    def router(self, **kw):
        return remote.RemoteRouter(find=self.find, execute=self.execute, list_all=self.list_all, **kw)


def refusal(call):
    with pytest.raises(RemoteRouteError) as info:
        call()
    e = info.value
    return e.code, e.status, e.outcome, str(e)


# ---- RemoteRouteError and the router class ---------------------------------------------------

def test_route_error():
    assert RemoteRouteError.__bases__ == (RuntimeError,)
    assert RemoteRouteError.__doc__ is None
    assert str(inspect.signature(RemoteRouteError)) == \
        "(code: 'str', message: 'str', status: 'int', outcome: 'str' = 'not_started')"
    e = RemoteRouteError("worker_timeout", "too slow", 504, outcome="unknown")
    assert e.args == ("too slow",) and str(e) == "too slow"
    assert (e.code, e.status, e.outcome) == ("worker_timeout", 504, "unknown")
    assert RemoteRouteError("c", "m", 400).outcome == "not_started"
    assert not hasattr(e, "message")


def test_route_error_hands_the_message_to_the_next_class_of_the_mro():
    seen = []

    class Base(RuntimeError):
        def __init__(self, *args):
            seen.append(args)
            super().__init__(*args)

    class Sub(RemoteRouteError, Base):  # MRO: Sub, RemoteRouteError, Base, RuntimeError
        pass

    e = Sub("c", "m", 400)
    assert seen == [("m",)] and e.args == ("m",) and e.code == "c"


def test_router_is_a_mutable_dataclass_with_the_worker_defaults():
    assert dataclasses.is_dataclass(remote.RemoteRouter)
    assert not remote.RemoteRouter.__dataclass_params__.frozen
    assert [(f.name, f.type) for f in dataclasses.fields(remote.RemoteRouter)] == [
        ("find", "Callable"), ("execute", "Callable"), ("list_all", "Callable"),
        ("timeout", "float"), ("uploads", "object | None")]
    router = remote.RemoteRouter()
    assert router.find is worker.find_worker
    assert router.execute is worker.execute_worker
    assert router.list_all is worker.list_workers
    assert router.timeout == 60.0 and type(router.timeout) is float and router.uploads is None
    router.uploads = store = FakeStore()
    assert router.uploads is store
    assert router == remote.RemoteRouter(uploads=store) and router != remote.RemoteRouter()
    with pytest.raises(TypeError):
        hash(router)
    assert "RemoteRouter(find=" in repr(router)
    assert str(inspect.signature(remote.RemoteRouter.execute_command)) == \
        "(self, nickname: 'str | None', argv: 'list[str]', allowed_accounts=None, principal_id: 'str | None' = None) -> 'dict'"
    assert str(inspect.signature(remote.RemoteRouter.status)) == "(self, allowed_accounts=None) -> 'dict'"
    assert str(inspect.signature(remote.RemoteRouter._listener_command)) == "(self, record, argv)"
    assert str(inspect.signature(remote.validate_remote_command)) == "(argv: 'list[str]') -> 'None'"
    assert str(inspect.signature(remote._replace_file_argument)) == "(argv, path)"


def test_defaults_are_fixed_at_import(monkeypatch):
    monkeypatch.setattr(worker, "find_worker", lambda nickname: None)
    assert remote.RemoteRouter().find is not worker.find_worker


def test_worker_functions_are_read_in_order_and_a_missing_one_fails_the_import():
    code = textwrap.dedent("""
        import sys, types
        import qybridge4.cli as cli
        reads = []

        class Worker(types.ModuleType):
            def __getattribute__(self, name):
                if not name.startswith("__"):
                    reads.append(name)
                return super().__getattribute__(name)

        w = Worker("qybridge4.cli.worker")
        w.find_worker = w.execute_worker = print
        sys.modules[w.__name__] = cli.worker = w
        try:
            import qybridge4.cli.remote
        except AttributeError as e:
            print(e.name, str(e), reads, "qybridge4.cli.remote" in sys.modules, sep="|")
    """)
    python_dir = Path(remote.__file__).resolve().parents[2]
    out = subprocess.run([sys.executable, "-c", code], env=dict(os.environ, PYTHONPATH=str(python_dir)),
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    name, text, reads, still_there = out.stdout.strip().split("|")
    assert name == "list_workers" and "list_workers" in text
    assert reads == str(["find_worker", "execute_worker", "list_workers"]) and still_there == "False"


def test_default_router_runs_the_stand_in_worker():
    answer = remote.RemoteRouter().execute_command(None, ["--json", "status"])
    assert answer["worker"] == {"instance_id": "worker-alice-1", "nickname": "alice"}
    assert answer["command"]["exit_code"] == 0 and answer["command"]["result"]["nickname"] == "alice"


# ---- refusals --------------------------------------------------------------------------------

def test_validate_remote_command():
    assert remote.validate_remote_command(["status"]) is None
    with pytest.raises(RemoteRouteError) as info:
        remote.validate_remote_command(["--json", "message", "delete"])
    e = info.value
    assert (e.code, e.status, e.outcome) == ("command_not_allowed", 403, "not_started")
    assert str(e) == "command is not available remotely: message delete"
    assert type(e.__cause__) is remote.RemoteCommandError and e.__context__ is e.__cause__


def test_disallowed_command_consults_nothing():
    fake = Fake(record=None)
    store = FakeStore()
    router = fake.router(uploads=store)
    assert refusal(lambda: router.execute_command("alice", ["message", "delete"], None, "t")) == (
        "command_not_allowed", 403, "not_started", "command is not available remotely: message delete")
    assert fake.found == [] and store.calls == [] and fake.executed == []


@pytest.mark.parametrize("nickname, shown", [("zed", "zed"), (None, "default"), ("", "default")])
def test_worker_not_found(nickname, shown):
    fake = Fake(record=None)
    assert refusal(lambda: fake.router().execute_command(nickname, ["status"])) == (
        "worker_not_found", 404, "not_started", "worker not found: " + shown)
    assert fake.found == [nickname]


@pytest.mark.parametrize("record, allowed, permitted", [
    (ALICE, None, True),
    (ALICE, frozenset({"alice"}), True),
    (ALICE, frozenset({"bob"}), False),
    (ALICE, frozenset(), False),
    ({"instance_id": "w"}, frozenset({"alice"}), False),
    ({"instance_id": "w"}, None, True),
])
def test_account_permission(record, allowed, permitted):
    fake = Fake(record=record)
    call = lambda: fake.router().execute_command(None, ["status"], allowed, "t")  # noqa: E731
    if permitted:
        assert call()["command"]["exit_code"] == 0
    else:
        assert refusal(call) == ("account_forbidden", 403, "not_started", "token cannot access this account")
        assert fake.executed == []


def test_worker_timeout():
    fake = Fake(error=TimeoutError("slow"))
    with pytest.raises(RemoteRouteError) as info:
        fake.router(timeout=2.5).execute_command("alice", ["status"])
    e = info.value
    assert (e.code, e.status, e.outcome, str(e)) == ("worker_timeout", 504, "unknown", "worker execution timed out")
    assert e.__cause__ is fake.error
    assert fake.executed == [(ALICE, ["status"], 2.5)]


def test_timeout_wins_over_worker_error():
    class Both(TimeoutError, worker.WorkerError):
        pass

    fake = Fake(error=Both("x"))
    assert refusal(lambda: fake.router().execute_command("alice", ["status"]))[0] == "worker_timeout"


def test_worker_unreachable():
    fake = Fake(error=worker.WorkerError("worker is not running: alice"))
    with pytest.raises(RemoteRouteError) as info:
        fake.router().execute_command("alice", ["status"])
    e = info.value
    assert (e.code, e.status, e.outcome, str(e)) == (
        "worker_unreachable", 503, "unknown", "worker is not running: alice")
    assert e.__cause__ is fake.error


def test_worker_error_class_is_looked_up_on_the_worker_module_each_time(monkeypatch):
    class Other(Exception):
        pass

    monkeypatch.setattr(remote, "worker", type("W", (), {"WorkerError": Other}))
    fake = Fake(error=Other("gone"))
    assert refusal(lambda: fake.router().execute_command("alice", ["status"]))[:3] == (
        "worker_unreachable", 503, "unknown")
    fake.error = worker.WorkerError("not this one now")
    with pytest.raises(worker.WorkerError):
        fake.router().execute_command("alice", ["status"])


@pytest.mark.parametrize("error", [ValueError("bad words"), KeyError("x"), RuntimeError("boom")])
def test_other_worker_exceptions_pass_unchanged(error):
    fake = Fake(error=error)
    with pytest.raises(type(error)) as info:
        fake.router().execute_command("alice", ["status"])
    assert info.value is error


def test_missing_response_key_passes():
    fake = Fake(response={"instance_id": "w", "nickname": "alice", "exit_code": 0, "stderr": ""})
    with pytest.raises(KeyError, match="result"):
        fake.router().execute_command("alice", ["status"])


# ---- results ---------------------------------------------------------------------------------

@pytest.mark.parametrize("stderr, error, merged", [
    ("", "X", "X\n"),
    ("S", "X", "S\nX\n"),
    ("S\n", "X", "S\nX\n"),
    ("S", 42, "S\n42\n"),
    ("S", "", "S"),
    ("S", None, "S"),
    ("", None, ""),
    ("S", ..., "S"),
])
def test_error_text_merge(stderr, error, merged):
    response = {"instance_id": "w-alice", "nickname": "alice", "exit_code": 1, "result": None, "stderr": stderr}
    if error is not ...:
        response["error"] = error
    answer = Fake(response=response).router().execute_command("alice", ["status"])
    assert answer == {"worker": {"instance_id": "w-alice", "nickname": "alice"},
                      "command": {"exit_code": 1, "result": None, "stderr": merged}}
    assert list(answer) == ["worker", "command"] and list(answer["command"]) == ["exit_code", "result", "stderr"]


def test_listen_commands_never_reach_execute(monkeypatch):
    calls = []
    monkeypatch.setattr(remote.RemoteRouter, "_listener_command",
                        lambda self, record, argv: calls.append((record, argv)) or {"listener": True})
    fake = Fake(error=AssertionError("execute must not run"))
    assert fake.router().execute_command("alice", ["listen", "list"], frozenset({"alice"})) == {"listener": True}
    assert calls == [(ALICE, ["listen", "list"])] and fake.executed == []


# ---- file arguments and uploads --------------------------------------------------------------

@pytest.mark.parametrize("argv, index, replaced", [
    (["message", "send-file", "--to", "bob", "--file", REF], 5, None),
    (["message", "send-file", "--file=" + REF], 2, "--file=/p"),
    (["message", "send-file", REF], 2, None),
    (["message", "send-file", "--file"], 2, None),
    (["message", "send-file", "first", "--file=second"], 3, "--file=/p"),
    (["--file", "one", "message", "send-file", "--file", "two"], 1, None),
    (["message", "send-file", "--file="], 2, "--file=/p"),
])
def test_file_argument_and_its_replacement(argv, index, replaced):
    original = list(argv)
    word = argv[index]
    expected = word[len("--file="):] if word.startswith("--file=") else word
    assert remote._file_argument(argv) == expected
    out = remote._replace_file_argument(argv, "/p")
    assert argv == original and out is not argv
    assert out == argv[:index] + [replaced or "/p"] + argv[index + 1:]


@pytest.mark.parametrize("argv", [["message", "send-file"], ["message", "--to", "bob", "send-file"], ["status"]])
def test_missing_file_argument(argv):
    for call in (lambda: remote._file_argument(argv), lambda: remote._replace_file_argument(argv, "/p")):
        assert refusal(call) == ("invalid_upload", 400, "not_started", "file is required")


@pytest.mark.parametrize("uploads, principal", [(None, "t"), (FakeStore(), None), (None, None)])
def test_upload_unavailable(uploads, principal):
    fake = Fake()
    router = fake.router(uploads=uploads)
    # the file argument is not looked at: these words have none
    assert refusal(lambda: router.execute_command("alice", ["message", "send-file"], None, principal)) == (
        "upload_unavailable", 503, "not_started", "upload service is unavailable")
    assert fake.found == []


def test_send_file_without_file_argument():
    store = FakeStore()
    assert refusal(lambda: Fake().router(uploads=store).execute_command("alice", ["message", "send-file"], None, "t")) == (
        "invalid_upload", 400, "not_started", "file is required")
    assert store.calls == []


def test_upload_not_found_is_chained():
    store = FakeStore()
    fake = Fake()
    with pytest.raises(RemoteRouteError) as info:
        fake.router(uploads=store).execute_command("alice", ["message", "send-file", "--file", REF], None, "t")
    e = info.value
    assert (e.code, e.status, e.outcome, str(e)) == ("upload_not_found", 404, "not_started", "upload not found")
    assert type(e.__cause__) is LookupError
    assert store.calls == [("t", REF)] and fake.found == []


def test_only_the_exception_family_becomes_upload_not_found():
    store = FakeStore(error=KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        Fake().router(uploads=store).execute_command("alice", ["message", "send-file", REF], None, "t")


def test_send_file_replaces_the_reference_and_adds_the_transfer_record(tmp_path):
    path = tmp_path / "abc" / "report.pdf"
    store = FakeStore({("t", REF): Upload(path, "report.pdf", 99.5)})
    result = {"message_id": 7, "_remote_transfer": "old", "to": "bob"}
    fake = Fake(response={"instance_id": "w-alice", "nickname": "alice", "exit_code": 0, "result": result,
                          "stderr": ""})
    argv = ["--json", "message", "send-file", "--to", "bob", "--file", REF]
    answer = fake.router(uploads=store).execute_command("alice", argv, frozenset({"alice"}), "t")
    assert argv[-1] == REF
    assert fake.executed == [(ALICE, ["--json", "message", "send-file", "--to", "bob", "--file", str(path)], 60.0)]
    got = answer["command"]["result"]
    transfer = {"state": "initiated", "delivery_confirmed": False, "filename": "report.pdf", "retained_until": 99.5}
    assert got == {"message_id": 7, "_remote_transfer": transfer, "to": "bob"}
    assert list(got) == ["message_id", "_remote_transfer", "to"] and list(got["_remote_transfer"]) == list(transfer)
    assert result == {"message_id": 7, "_remote_transfer": "old", "to": "bob"}
    plain = {"message_id": 8}
    fake.response["result"] = plain
    got = fake.router(uploads=store).execute_command("alice", argv, None, "t")["command"]["result"]
    assert list(got) == ["message_id", "_remote_transfer"] and plain == {"message_id": 8}


@pytest.mark.parametrize("result", [[1, 2], "sent", None])
def test_transfer_record_only_for_dict_results(tmp_path, result):
    store = FakeStore({("t", REF): Upload(tmp_path / "f")})
    fake = Fake(response={"instance_id": "w", "nickname": "alice", "exit_code": 0, "result": result, "stderr": ""})
    answer = fake.router(uploads=store).execute_command("alice", ["message", "send-file", REF], None, "t")
    assert answer["command"]["result"] == result


def test_forbidden_account_after_the_upload_was_resolved(tmp_path):
    store = FakeStore({("t", REF): Upload(tmp_path / "f")})
    fake = Fake()
    assert refusal(lambda: fake.router(uploads=store).execute_command(
        None, ["message", "send-file", REF], frozenset({"bob"}), "t"))[0] == "account_forbidden"
    assert store.calls == [("t", REF)] and fake.found == [None]


@pytest.mark.skipif(not hasattr(remote, "UploadStore"), reason="the upload store is not built yet")
def test_with_the_real_upload_store(tmp_path):
    import io

    data = b"quarterly numbers\n"
    store = remote.UploadStore(tmp_path)
    stored = store.put("t", "report.txt", io.BytesIO(data), len(data))
    reference = "artifact://" + stored.upload_id
    fake = Fake()
    router = fake.router(uploads=store)
    answer = router.execute_command("alice", ["message", "send-file", "--to", "bob", "--file=" + reference], None, "t")
    sent = fake.executed[0][1]
    assert sent[-1] == "--file=" + str(stored.path)
    assert Path(sent[-1][len("--file="):]).read_bytes() == data
    assert answer["command"]["result"]["_remote_transfer"]["retained_until"] == stored.expires_at
    assert store.resolve("t", reference) is stored
    code, status, _, message = refusal(lambda: router.execute_command(
        "alice", ["message", "send-file", reference], None, "other-token"))
    assert (code, status, message) == ("upload_not_found", 404, "upload not found")


# ---- status ----------------------------------------------------------------------------------

ROWS = [
    {"nickname": "alice", "default": True, "state": "running", "package_version": "4", "pending_callbacks": 1,
     "active_callbacks": 2, "last_error": "disk full", "secret": "x"},
    {"nickname": "bob", "default": False},
    {"state": "starting", "last_error": None},
]


@pytest.mark.parametrize("allowed, nicknames", [
    (None, ["alice", "bob", None]), (frozenset(), []), (frozenset({"bob"}), ["bob"]),
    (frozenset({"alice", "bob", "carol"}), ["alice", "bob"]),
])
def test_status(allowed, nicknames):
    out = Fake(rows=ROWS).router().status(allowed)
    assert list(out) == ["status", "workers", "worker_count"] and out["status"] == "ok"
    assert [w.get("nickname") for w in out["workers"]] == nicknames
    assert out["worker_count"] == len(nicknames)
    for w in out["workers"]:
        assert list(w)[-1] == "has_error"
    by_name = {w.get("nickname"): w for w in out["workers"]}
    if "alice" in by_name:
        assert by_name["alice"] == {"nickname": "alice", "default": True, "state": "running", "package_version": "4",
                                    "pending_callbacks": 1, "active_callbacks": 2, "has_error": True}
    if "bob" in by_name:
        assert by_name["bob"] == {"nickname": "bob", "default": False, "has_error": False}
    if None in by_name:
        assert by_name[None] == {"state": "starting", "has_error": False}


def test_status_errors_pass():
    def broken():
        raise OSError("registry unreadable")

    with pytest.raises(OSError, match="registry unreadable"):
        remote.RemoteRouter(list_all=broken).status()
