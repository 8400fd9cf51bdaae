"""Listener actions: listen commands as structured requests to the worker module."""
import types
import uuid

import pytest

import qybridge4.cli.main as cli_main
import qybridge4.cli.remote as remote

RECORD = {"nickname": "bob", "instance_id": "w-bob"}


class FakeWorker:
    """Stands in for the worker module: records every listener request, answers from `replies`."""

    def __init__(self, **replies):
        self.replies = replies
        self.calls = []

    def remote_listener_request(self, record, action, **kwargs):
        self.calls.append((record, action, list(kwargs.items())))
        reply = self.replies.get(action, {"done": action})
        if isinstance(reply, BaseException):
            raise reply
        return reply(**kwargs) if callable(reply) else reply


@pytest.fixture
def fake(monkeypatch):
    w = FakeWorker()
    monkeypatch.setattr(remote, "worker", w)
    return w


def never(*args, **kwargs):
    raise AssertionError("the listener actions use no router field")


def listen(argv, record=RECORD):
    router = remote.RemoteRouter(find=never, execute=never, list_all=never, timeout=0.0)
    return router._listener_command(record, argv)


def refusal_of(call):
    with pytest.raises(remote.RemoteRouteError) as info:
        call()
    return info.value


def refusal(argv):
    return refusal_of(lambda: listen(argv))


@pytest.mark.parametrize("argv, action, kwargs", [
    (["listen", "start", "alice", "carol"], "start", [("chats", ["alice", "carol"]), ("callback", None)]),
    (["--json", "--nickname", "bob", "listen", "start", "--callback-file=", "alice"], "start",
     [("chats", ["alice"]), ("callback", None)]),
    (["listen", "list"], "list", []),
    (["listen", "status", "s1"], "status", [("subscription_id", "s1")]),
    (["listen", "pull", "s1", "--limit", "5", "--lease-seconds", "2.5"], "pull",
     [("subscription_id", "s1"), ("limit", 5), ("lease_seconds", 2.5)]),
    (["listen", "pull", "s1"], "pull", [("subscription_id", "s1"), ("limit", 50), ("lease_seconds", 60.0)]),
    (["listen", "ack", "s1", "e1", "e2"], "ack", [("subscription_id", "s1"), ("event_ids", ["e1", "e2"])]),
    (["listen", "stop", "s1"], "stop", [("subscription_id", "s1"), ("all", False)]),
    (["listen", "stop", "--all"], "stop", [("subscription_id", None), ("all", True)]),
])
def test_each_action_makes_one_request(fake, argv, action, kwargs):
    reply = {"from": "worker", "action": action}
    fake.replies[action] = reply
    answer = listen(argv)
    assert fake.calls == [(RECORD, action, kwargs)]
    assert fake.calls[0][0] is RECORD
    assert answer == {"worker": {"instance_id": "w-bob", "nickname": "bob"},
                      "command": {"exit_code": 0, "result": reply, "stderr": ""}}
    assert answer["command"]["result"] is reply
    assert list(answer) == ["worker", "command"] and list(answer["command"]) == ["exit_code", "result", "stderr"]


def test_execute_command_hands_listen_commands_to_the_listener_actions(fake):
    router = remote.RemoteRouter(find=lambda nickname: RECORD, execute=never)
    answer = router.execute_command("bob", ["listen", "status", "s9"], frozenset({"bob"}), "t")
    assert fake.calls == [(RECORD, "status", [("subscription_id", "s9")])]
    assert answer["command"] == {"exit_code": 0, "result": {"done": "status"}, "stderr": ""}


# ---- pull of all subscriptions -----------------------------------------------------------------

def subscriptions(*ids):
    return [{"subscription_id": s, "chats": []} for s in ids]


def batches(sizes):
    def pull(subscription_id, limit, lease_seconds):
        return {"events": [{"event_id": f"{subscription_id}:{i}"} for i in range(sizes[subscription_id])]}
    return pull


def pulls(fake):
    return [kw for _, action, kw in fake.calls if action == "pull"]


def test_pull_all_shares_one_event_budget(fake):
    fake.replies.update(list=subscriptions("s1", "s2", "s3"), pull=batches({"s1": 4, "s2": 4, "s3": 2}))
    result = listen(["listen", "pull", "--all", "--limit", "10", "--lease-seconds", "30"])["command"]["result"]
    assert [c[1] for c in fake.calls] == ["list", "pull", "pull", "pull"]
    assert fake.calls[0] == (RECORD, "list", [])
    assert pulls(fake) == [[("subscription_id", s), ("limit", n), ("lease_seconds", 30.0)]
                           for s, n in [("s1", 10), ("s2", 6), ("s3", 2)]]
    assert list(result) == ["events", "subscriptions_total", "subscriptions_pulled"]
    assert len(result["events"]) == 10
    assert result["events"][4] == {"event_id": "s2:0", "subscription_id": "s2"}
    assert [e["subscription_id"] for e in result["events"]] == ["s1"] * 4 + ["s2"] * 4 + ["s3"] * 2
    assert (result["subscriptions_total"], result["subscriptions_pulled"]) == (3, 3)


@pytest.mark.parametrize("limit, sizes, pulled_ids, events", [
    ("3", {"s1": 3, "s2": 1, "s3": 1}, ["s1"], 3),       # the first batch uses the whole budget
    ("3", {"s1": 5, "s2": 1, "s3": 1}, ["s1"], 5),       # an overrun is kept, and ends the loop
    ("0", {"s1": 1, "s2": 1, "s3": 1}, [], 0),
    ("-2", {"s1": 1, "s2": 1, "s3": 1}, [], 0),
    ("9", {"s1": 0, "s2": 2, "s3": 0}, ["s1", "s2", "s3"], 2),
])
def test_pull_all_budget(fake, limit, sizes, pulled_ids, events):
    fake.replies.update(list=subscriptions("s1", "s2", "s3"), pull=batches(sizes))
    result = listen(["listen", "pull", "--all", f"--limit={limit}"])["command"]["result"]
    assert [dict(kw)["subscription_id"] for kw in pulls(fake)] == pulled_ids
    assert len(result["events"]) == events
    assert (result["subscriptions_total"], result["subscriptions_pulled"]) == (3, len(pulled_ids))


def test_pull_all_without_subscriptions(fake):
    fake.replies["list"] = []
    assert listen(["listen", "pull", "--all"])["command"]["result"] == {
        "events": [], "subscriptions_total": 0, "subscriptions_pulled": 0}
    assert [c[1] for c in fake.calls] == ["list"]


def test_pull_all_copies_events_and_replaces_their_subscription_id_in_place(fake):
    event = {"subscription_id": "stale", "event_id": "e1", "text": "hi"}
    fake.replies.update(list=subscriptions("s1"), pull={"events": (event,)})
    marked = listen(["listen", "pull", "--all"])["command"]["result"]["events"]
    assert marked == [{"subscription_id": "s1", "event_id": "e1", "text": "hi"}]
    assert list(marked[0]) == ["subscription_id", "event_id", "text"]
    assert event["subscription_id"] == "stale" and marked[0] is not event


def test_single_pull_result_is_unchanged(fake):
    reply = {"events": [{"event_id": "e1"}]}
    fake.replies["pull"] = reply
    result = listen(["listen", "pull", "s1"])["command"]["result"]
    assert result is reply and result == {"events": [{"event_id": "e1"}]}


# ---- refusals and failures ------------------------------------------------------------------

@pytest.mark.parametrize("argv, code, status, message", [
    (["listen", "start", "--callback-file", "hook.py", "alice"], "callback_not_allowed", 403,
     "remote callback code must run on the client"),
    (["listen", "start", "--callback-code", "", "alice"], "callback_not_allowed", 403,
     "remote callback code must run on the client"),
    (["listen", "start", "--callback-code", "print(1)", "alice"], "callback_not_allowed", 403,
     "remote callback code must run on the client"),
    (["listen", "pull", "s1", "--all"], "invalid_request", 400, "listen pull requires a subscription ID or --all"),
    (["listen", "pull"], "invalid_request", 400, "listen pull requires a subscription ID or --all"),
    (["listen", "status"], "invalid_request", 400, "invalid listener arguments"),
    (["listen", "start", "--help"], "invalid_request", 400, "invalid listener arguments"),
    (["listen", "pull", "--limit", "many", "--all"], "invalid_request", 400, "invalid listener arguments"),
])
def test_refused_before_any_worker_request(fake, argv, code, status, message):
    e = refusal(argv)
    assert (e.code, e.status, e.outcome, str(e)) == (code, status, "not_started", message)
    assert fake.calls == []


def test_parser_exit_is_chained_whatever_its_code(fake):
    e = refusal(["listen", "start", "--help"])
    assert type(e.__cause__) is SystemExit and e.__cause__.code == 0


def test_system_exit_from_the_worker_is_invalid_arguments(fake):
    fake.replies["list"] = SystemExit(3)
    e = refusal(["listen", "list"])
    assert (e.code, e.status, str(e)) == ("invalid_request", 400, "invalid listener arguments")


@pytest.mark.parametrize("error", [LookupError("subscription not found: s1"), ValueError("bad"), OSError(5, "io")])
def test_worker_exceptions_are_listener_failures(fake, error):
    fake.replies["status"] = error
    e = refusal(["listen", "status", "s1"])
    assert (e.code, e.status, e.outcome, str(e)) == ("listener_failed", 503, "unknown", str(error))
    assert e.__cause__ is error


def test_failure_in_the_middle_of_a_pull_of_all(fake):
    def pull(subscription_id, limit, lease_seconds):
        if subscription_id == "s2":
            raise RuntimeError("worker went away")
        return {"events": [{"event_id": "e"}]}

    fake.replies.update(list=subscriptions("s1", "s2", "s3"), pull=pull)
    e = refusal(["listen", "pull", "--all"])
    assert (e.code, e.outcome, str(e)) == ("listener_failed", "unknown", "worker went away")
    assert len(pulls(fake)) == 2



@pytest.mark.parametrize("event", [[["event_id", "e"]], ["xy"], "ab", None])
def test_pull_of_all_refuses_an_event_that_is_not_a_mapping(fake, event):
    fake.replies.update(list=subscriptions("s1"), pull={"events": [event]})
    e = refusal(["listen", "pull", "--all"])
    assert (e.code, e.status, e.outcome) == ("listener_failed", 503, "unknown")

def test_route_error_of_the_worker_passes_unchanged(fake):
    mine = remote.RemoteRouteError("rate_limited", "slow down", 429)
    fake.replies["list"] = mine
    assert refusal(["listen", "list"]) is mine


def test_parser_is_imported_each_time(fake, monkeypatch):
    monkeypatch.setattr(cli_main, "_build_parser",
                        lambda: types.SimpleNamespace(parse_args=lambda argv: types.SimpleNamespace(listen_command=None)))
    e = refusal(["listen", "list"])
    assert (e.code, e.status, str(e)) == ("command_not_allowed", 403, "listener command is not available remotely")
    assert fake.calls == []


def test_failures_outside_the_guarded_section_pass_unwrapped(fake, monkeypatch):
    with pytest.raises(KeyError, match="instance_id"):
        listen(["listen", "list"], record={"nickname": "bob"})
    assert len(fake.calls) == 1
    monkeypatch.delattr(cli_main, "_build_parser")
    with pytest.raises(ImportError, match="cannot import name '_build_parser'"):
        listen(["listen", "list"])


def test_listeners_of_the_stand_in_worker():
    router = remote.RemoteRouter()
    chat = f"chat-{uuid.uuid4().hex[:8]}"
    router.execute_command("bob", ["listen", "stop", "--all"])
    started = router.execute_command("bob", ["--json", "listen", "start", chat], frozenset({"bob"}), "t")
    sid = started["command"]["result"]["subscription_id"]
    pulled = router.execute_command("bob", ["listen", "pull", "--all", "--limit", "10"])["command"]["result"]
    mine = [e for e in pulled["events"] if e["subscription_id"] == sid]
    assert [e["type"] for e in mine] == ["subscribed"]
    acked = router.execute_command("bob", ["listen", "ack", sid, mine[0]["event_id"]])["command"]["result"]
    assert acked["acked"] == [mine[0]["event_id"]]
    stopped = router.execute_command("bob", ["listen", "stop", sid])
    assert stopped["command"]["result"] == {"stopped": [sid]}
    e = refusal_of(lambda: router.execute_command("bob", ["listen", "status", sid]))
    assert (e.code, e.status, str(e)) == ("listener_failed", 503, f"subscription not found: {sid}")


@pytest.mark.parametrize("event", [[["event_id", "e"]], "ab", None, 5])
def test_an_event_that_is_not_a_mapping_is_reported_as_its_copy_fails(fake, event):
    with pytest.raises(TypeError) as copy:
        {**event}
    fake.replies.update(list=subscriptions("s1"), pull={"events": [event]})
    e = refusal(["listen", "pull", "--all"])
    assert str(e) == str(copy.value) and type(e.__cause__) is TypeError
