import hashlib
import threading
import uuid

import pytest

from qybridge4.cli import worker
from qybridge4.cli.main import _build_parser


def chat():
    return f"chat-{uuid.uuid4().hex[:8]}"


def run(argv, nickname=None, **kw):
    return worker.execute_worker(worker.find_worker(nickname), argv, **kw)


@pytest.mark.parametrize("nickname, expected", [(None, "alice"), ("bob", "bob"), ("nobody", None)])
def test_find_worker(nickname, expected):
    record = worker.find_worker(nickname)
    assert (record and record["nickname"]) == expected
    if record:
        assert record["instance_id"]


def test_send_file_reads_the_local_file(tmp_path):
    data = bytes(range(256)) * 300
    path = tmp_path / "report.bin"
    path.write_bytes(data)
    to = chat()
    response = run(["--json", "message", "send-file", "--to", to, "--file", str(path)], "bob")
    assert (response["nickname"], response["exit_code"], response["stderr"]) == ("bob", 0, "")
    assert response["instance_id"] == worker.find_worker("bob")["instance_id"]
    result = response["result"]
    assert (result["to"], result["filename"], result["size"]) == (to, "report.bin", len(data))
    assert result["sha256"] == hashlib.sha256(data).hexdigest()
    listed = run(["message", "list", "--chat", to], "bob")["result"]
    assert [m["sha256"] for m in listed] == [result["sha256"]]


def test_missing_file_is_a_command_failure(tmp_path):
    missing = str(tmp_path / "gone.txt")
    response = run(["message", "send-file", "--to", chat(), "--file", missing])
    assert response["exit_code"] == 1 and missing in response["error"]
    alice = [row for row in worker.list_workers() if row["nickname"] == "alice"]
    assert missing in alice[0]["last_error"]


@pytest.mark.parametrize("argv, fragment", [
    (["chat", "open", "--chat", "x"], "unsupported command: chat open"),
    (["message", "send", "--to", "x"], "--text"),
    (["nonsense"], "invalid choice"),
    (["--nickname"], "expected one argument"),
])
def test_bad_or_unsupported_words_exit_2(argv, fragment):
    response = run(argv)
    assert response["exit_code"] == 2 and fragment in response["stderr"]


def test_read_commands_return_lists():
    assert [c["name"] for c in run(["contacts", "by-tag", "--tag", "work"])["result"]] == ["carol"]
    assert len(run(["moments", "list", "--limit", "1"])["result"]) == 1
    assert all("chat" in row for row in run(["sessions", "list"], "bob")["result"])


def test_failures_raise_worker_errors():
    with pytest.raises(TimeoutError):
        run(["status"], timeout=0)
    with pytest.raises(worker.WorkerError):
        worker.execute_worker({"nickname": "mallory", "instance_id": "x"}, ["status"])


def test_concurrent_sends_are_all_recorded():
    to = chat()

    def send(n):
        for k in range(10):
            assert run(["message", "send", "--to", to, "--text", f"{n}-{k}"])["exit_code"] == 0

    threads = [threading.Thread(target=send, args=(n,)) for n in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    listed = run(["message", "list", "--chat", to, "--limit", "1000"])["result"]
    assert sorted(m["text"] for m in listed) == sorted(f"{n}-{k}" for n in range(6) for k in range(10))
    assert len({m["message_id"] for m in listed}) == 60


def test_list_workers_rows():
    rows = list(worker.list_workers())
    assert {r["nickname"] for r in rows} == {"alice", "bob"}
    assert [r["nickname"] for r in rows if r["default"]] == ["alice"]
    for row in rows:
        assert set(row) == {"nickname", "default", "state", "package_version",
                            "pending_callbacks", "active_callbacks", "last_error"}


def test_listener_cycle():
    record, first, second = worker.find_worker("bob"), chat(), chat()
    request = worker.remote_listener_request
    sid = request(record, "start", chats=[first, second], callback=None)["subscription_id"]
    assert sid in [s["subscription_id"] for s in request(record, "list")]
    run(["message", "send", "--to", first, "--text", "ping"], "bob")
    got = request(record, "pull", subscription_id=sid, limit=2, lease_seconds=300.0)["events"]
    assert [e["chat"] for e in got] == [first, second]
    rest = request(record, "pull", subscription_id=sid, limit=10, lease_seconds=300.0)["events"]
    assert [(e["chat"], e["text"]) for e in rest] == [(first, "ping")]  # leased ones are held back
    ids = [e["event_id"] for e in got + rest]
    assert request(record, "ack", subscription_id=sid, event_ids=ids + ["bogus"]) == {
        "subscription_id": sid, "acked": ids, "unknown": ["bogus"]}
    assert request(record, "status", subscription_id=sid)["pending_events"] == 0
    assert request(record, "stop", subscription_id=sid, all=False) == {"stopped": [sid]}
    assert sid not in [s["subscription_id"] for s in request(record, "list")]


@pytest.mark.parametrize("action, kw", [
    ("status", {}), ("pull", {"limit": 1, "lease_seconds": 1.0}),
    ("ack", {"event_ids": ["e"]}), ("stop", {"all": False}),
])
def test_unknown_subscription_raises(action, kw):
    with pytest.raises(LookupError, match="subscription not found"):
        worker.remote_listener_request(worker.find_worker(None), action, subscription_id="nope", **kw)


@pytest.mark.parametrize("argv, expected", [
    (["--json", "listen", "start", "a", "b"],
     {"listen_command": "start", "chats": ["a", "b"], "callback_file": None, "callback_code": None}),
    (["listen", "start", "a", "--callback-code", ""], {"callback_code": ""}),
    (["--nickname", "bob", "listen", "pull", "--all", "--limit", "7"],
     {"listen_command": "pull", "subscription_id": None, "all": True, "limit": 7, "nickname": "bob"}),
    (["listen", "pull", "s1", "--lease-seconds", "5"],
     {"subscription_id": "s1", "all": False, "lease_seconds": 5.0}),
    (["listen", "ack", "s1", "e1", "e2"], {"subscription_id": "s1", "event_ids": ["e1", "e2"]}),
    (["listen", "stop", "--all"], {"listen_command": "stop", "subscription_id": None, "all": True}),
    (["listen", "status", "s1"], {"listen_command": "status", "subscription_id": "s1"}),
    (["listen", "list"], {"listen_command": "list"}),
])
def test_parser_listen_attributes(argv, expected):
    args = vars(_build_parser().parse_args(argv))
    assert {key: args[key] for key in expected} == expected


@pytest.mark.parametrize("argv", [["listen", "ack", "s1"], ["listen", "bogus"],
                                  ["listen", "pull", "--limit", "x"], ["listen"]])
def test_parser_usage_error_exits(argv):
    with pytest.raises(SystemExit):
        _build_parser().parse_args(argv)
