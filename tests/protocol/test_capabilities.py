"""Command capabilities: the allow-list table, the command-path scanner and its refusals."""
import dataclasses
import inspect

import pytest

import qybridge4.cli.remote as remote

RemoteCapability = remote.RemoteCapability

TABLE = [
    (("status",), "status:read", "read"),
    (("sessions", "list"), "session:read", "read"),
    (("chat", "open"), "session:read", "read"),
    (("chat", "info"), "session:read", "read"),
    (("chat", "load-more"), "message:read", "read"),
    (("message", "list"), "message:read", "read"),
    (("message", "next"), "message:read", "read"),
    (("message", "history"), "message:read", "read"),
    (("message", "send"), "message:send", "mutation"),
    (("message", "send-file"), "file:send", "mutation"),
    (("message", "at-all"), "message:send", "mutation"),
    (("contact", "requests", "list"), "contact:read", "read"),
    (("contacts", "details"), "contact:read", "read"),
    (("contacts", "by-tag"), "contact:read", "read"),
    (("group", "recent"), "group:read", "read"),
    (("moments", "list"), "moments:read", "read"),
    (("listen", "start"), "listen:manage", "mutation"),
    (("listen", "list"), "listen:read", "read"),
    (("listen", "status"), "listen:read", "read"),
    (("listen", "pull"), "listen:read", "read"),
    (("listen", "ack"), "listen:manage", "mutation"),
    (("listen", "stop"), "listen:manage", "mutation"),
]


def test_table_holds_the_22_commands_in_order():
    assert type(remote.REMOTE_COMMANDS) is dict
    assert [(k, v.scope, v.kind) for k, v in remote.REMOTE_COMMANDS.items()] == TABLE
    assert all(type(v) is RemoteCapability for v in remote.REMOTE_COMMANDS.values())
    assert remote._READ == "read" and remote._MUTATION == "mutation"
    assert remote.__annotations__ == {"REMOTE_COMMANDS": "dict[tuple[str, ...], RemoteCapability]"}


def test_capability_is_a_frozen_dataclass():
    assert RemoteCapability.__dataclass_params__.frozen
    assert RemoteCapability.__bases__ == (object,)
    assert [(f.name, f.type) for f in dataclasses.fields(RemoteCapability)] == [("scope", "str"), ("kind", "str")]
    assert str(inspect.signature(RemoteCapability)) == "(scope: 'str', kind: 'str') -> None"
    cap = RemoteCapability("file:send", "mutation")
    assert cap == remote.REMOTE_COMMANDS[("message", "send-file")]
    assert hash(cap) == hash(remote.REMOTE_COMMANDS[("message", "send-file")])
    assert repr(cap) == "RemoteCapability(scope='file:send', kind='mutation')"
    with pytest.raises(dataclasses.FrozenInstanceError):
        cap.scope = "x"


def test_surface():
    assert remote.RemoteCommandError.__bases__ == (ValueError,)
    assert remote.RemoteCommandError.__doc__ is None
    assert str(inspect.signature(remote.command_path)) == "(argv: 'Sequence[str]') -> 'tuple[str, ...]'"
    assert str(inspect.signature(remote.remote_capability)) == "(argv: 'Sequence[str]') -> 'RemoteCapability'"
    assert remote.remote_capability.__doc__ is None
    assert remote.command_path.__doc__ == (
        "Return the public command path while ignoring root CLI options.\n\n"
        "    Parsing the full argparse tree remains the CLI's responsibility.  This\n"
        "    scanner only identifies the already-validated command for policy checks.\n    ")


@pytest.mark.parametrize("argv, path", [
    (["--json", "--nickname", "alice", "message", "send", "--to", "bob"], ("message", "send")),
    (["--remote=office", "status", "extra", "words"], ("status",)),
    (["--local", "--base-url", "http://x", "--remote", "r", "status"], ("status",)),
    (["--nickname=", "--base-url=", "sessions", "list"], ("sessions", "list")),
    (["message"], ("message",)),
    ([], ()),
    (["--json", "--local"], ()),
    (["--json", "--nickname"], ()),
    (["--verbose", "status"], ("--verbose",)),
    (["--json=1", "status"], ("--json=1",)),
    (["message", "--nickname", "alice", "send"], ("message", "--nickname")),
    (["contact", "requests", "list", "--limit", "3"], ("contact", "requests", "list")),
    (["contact", "requests"], ("contact", "requests")),
    (["contacts", "requests", "list"], ("contacts", "requests")),
    (["--nickname", "--json", "status"], ("status",)),
    (["--nickname", "--json", "--json", "status"], ("status",)),
    (["STATUS"], ("STATUS",)),
    (["Message", "send"], ("Message",)),
    (["status", "list"], ("status",)),
    (["--JSON", "status"], ("--JSON",)),
])
def test_command_path(argv, path):
    assert remote.command_path(argv) == path
    assert type(remote.command_path(argv)) is tuple


def test_command_path_takes_any_iterable():
    assert remote.command_path(w for w in ["--json", "listen", "pull"]) == ("listen", "pull")
    assert remote.command_path(("chat", "open")) == ("chat", "open")


@pytest.mark.parametrize("argv, scope", [
    (["--json", "--nickname", "alice", "message", "send", "--to", "bob", "--text", "hi"], "message:send"),
    (["--remote=office", "status", "anything", "--at-all"], "status:read"),
    (["contact", "requests", "list", "--json"], "contact:read"),
    (["listen", "start", "bob"], "listen:manage"),
])
def test_allowed_commands_return_the_table_object(argv, scope):
    cap = remote.remote_capability(argv)
    assert cap.scope == scope
    assert cap is remote.REMOTE_COMMANDS[remote.command_path(argv)]
    assert remote.remote_capability(argv) is cap


@pytest.mark.parametrize("argv, label", [
    (["message"], "message"),
    ([], "<missing>"),
    (["--json", "--remote", "r"], "<missing>"),
    (["--json", "--nickname"], "<missing>"),
    (["--verbose", "status"], "--verbose"),
    (["message", "--nickname", "alice", "send"], "message --nickname"),
    (["contact", "requests"], "contact requests"),
    (["contacts", "requests", "list"], "contacts requests"),
    (["STATUS"], "STATUS"),
    (["message", "delete"], "message delete"),
])
def test_refused_commands(argv, label):
    with pytest.raises(remote.RemoteCommandError) as info:
        remote.remote_capability(argv)
    assert info.value.args == ("command is not available remotely: " + label,)
    assert isinstance(info.value, ValueError)


def test_the_table_is_looked_up_each_time(monkeypatch):
    monkeypatch.setitem(remote.REMOTE_COMMANDS, ("message", "delete"), RemoteCapability("message:send", "mutation"))
    assert remote.remote_capability(["message", "delete"]).scope == "message:send"
    monkeypatch.setattr(remote, "REMOTE_COMMANDS", {})
    with pytest.raises(remote.RemoteCommandError, match="status$"):
        remote.remote_capability(["status"])
