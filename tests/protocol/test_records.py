"""The command records: frozen dataclasses, their checks, and their wire dictionaries."""
from __future__ import annotations

import dataclasses
import inspect

import pytest

from qybridge4.cli import remote

UID = "12345678-1234-5678-1234-567812345678"
UID2 = "87654321-4321-8765-4321-876543218765"
ClientIdentity = remote.ClientIdentity
CommandRequest = remote.CommandRequest
CommandResponse = remote.CommandResponse


def client(**changes):
    fields = {"client_id": UID2, "client_name": "laptop", "cli_version": "4.0.0"}
    fields.update(changes)
    return ClientIdentity(**fields)


def request(**changes):
    fields = {"request_id": UID, "argv": ("message", "send"), "client": client()}
    fields.update(changes)
    return CommandRequest(**fields)


def response(**changes):
    fields = {"request_id": UID, "exit_code": 0, "result": {"ok": [1, "two"]}, "stderr": "",
              "duration_ms": 12}
    fields.update(changes)
    return CommandResponse(**fields)


def request_wire(**changes):
    body = {"protocol_version": 1, "request_id": UID, "nickname": None, "argv": ["message", "send"],
            "client": {"client_id": UID2, "client_name": "laptop", "cli_version": "4.0.0"}}
    body.update(changes)
    return body


def response_wire(command=None, **changes):
    body = {"protocol_version": 1, "request_id": UID,
            "command": {"exit_code": 0, "result": None, "stderr": ""}, "duration_ms": 5}
    if command is not None:
        body["command"] = command
    body.update(changes)
    return body


def refused(message, build, *args, **kwargs):
    with pytest.raises(ValueError, match="^" + message.replace("[", r"\[").replace("]", r"\]")
                       .replace(".", r"\.") + "$") as info:
        build(*args, **kwargs)
    assert type(info.value) is ValueError
    return info.value


# --- the dataclass machinery ---

@pytest.mark.parametrize("cls, fields", [
    (ClientIdentity, [("client_id", "str", None), ("client_name", "str", None), ("cli_version", "str", None)]),
    (CommandRequest, [("request_id", "str", None), ("argv", "tuple[str, ...]", None),
                      ("client", "ClientIdentity", None), ("nickname", "str | None", (None,)),
                      ("protocol_version", "int", (1,))]),
    (CommandResponse, [("request_id", "str", None), ("exit_code", "int", None), ("result", "Any", None),
                       ("stderr", "str", None), ("duration_ms", "int", None), ("protocol_version", "int", (1,))]),
])
def test_records_are_frozen_dataclasses(cls, fields):
    assert dataclasses.is_dataclass(cls) and cls.__bases__ == (object,)
    assert cls.__dataclass_params__.frozen and cls.__dataclass_params__.eq
    assert not cls.__dataclass_params__.order
    assert cls.__module__ == remote.__name__ and cls.__qualname__ == cls.__name__
    assert cls.__annotations__ == {name: ann for name, ann, _ in fields}
    got = [(f.name, f.type, None if f.default is dataclasses.MISSING else (f.default,), f.kw_only)
           for f in dataclasses.fields(cls)]
    assert got == [(name, ann, default, False) for name, ann, default in fields]
    own = [k for k in vars(cls) if k in ("__post_init__", "to_dict", "from_dict")]
    assert own == ["__post_init__", "to_dict", "from_dict"]
    assert isinstance(vars(cls)["from_dict"], classmethod)
    assert not hasattr(cls, "__slots__")
    params = inspect.signature(cls).parameters
    assert [p.kind for p in params.values()] == [inspect.Parameter.POSITIONAL_OR_KEYWORD] * len(fields)


@pytest.mark.parametrize("cls", [ClientIdentity, CommandRequest, CommandResponse])
@pytest.mark.parametrize("name, params", [("__post_init__", ["self"]), ("to_dict", ["self"]),
                                          ("from_dict", ["cls", "value"])])
def test_method_shapes(cls, name, params):
    method = getattr(vars(cls)[name], "__func__", vars(cls)[name])
    assert list(inspect.signature(method).parameters) == params
    assert method.__annotations__ == {}
    assert method.__defaults__ is None and method.__kwdefaults__ is None
    assert method.__doc__ is None
    assert method.__qualname__ == f"{cls.__name__}.{name}"
    assert method.__module__ == remote.__name__


@pytest.mark.parametrize("make", [client, request, response])
def test_records_are_immutable_and_compare_by_fields(make):
    record = make()
    first = dataclasses.fields(record)[0].name
    with pytest.raises(dataclasses.FrozenInstanceError):
        setattr(record, first, UID2)
    with pytest.raises(dataclasses.FrozenInstanceError):
        delattr(record, first)
    with pytest.raises(dataclasses.FrozenInstanceError):
        record.other = 1
    assert getattr(record, first) == (UID2 if first == "client_id" else UID)
    assert record == make() and record is not make()
    assert repr(record).startswith(type(record).__name__ + "(")


def test_hashing_follows_the_field_values():
    assert hash(client()) == hash(client())
    assert hash(request()) == hash(request())
    assert hash(response(result="text")) == hash(response(result="text"))
    for result in ([1], {"a": 1}):
        with pytest.raises(TypeError, match="unhashable"):
            hash(response(result=result))


def test_equality_needs_the_same_class():
    class Sub(ClientIdentity):
        pass
    assert Sub(UID2, "laptop", "4.0.0") != client()


def test_missing_argument_is_the_initialisers_type_error():
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'cli_version'"):
        ClientIdentity(UID, "laptop")
    with pytest.raises(TypeError, match="unexpected keyword argument 'extra'"):
        CommandRequest(UID, ("a",), client(), extra=1)


# --- ClientIdentity ---

@pytest.mark.parametrize("changes, message", [
    ({"client_id": "nope"}, "invalid client.client_id"),
    ({"client_id": None}, "invalid client.client_id"),
    ({"client_id": UID + "a" * 29}, "invalid client.client_id"),
    ({"client_name": ""}, "invalid client.client_name"),
    ({"client_name": "n" * 129}, "invalid client.client_name"),
    ({"client_name": "a\0"}, "invalid client.client_name"),
    ({"cli_version": ""}, "invalid client.cli_version"),
    ({"cli_version": 4}, "invalid client.cli_version"),
    ({"client_id": "nope", "cli_version": ""}, "invalid client.client_id"),   # field order
])
def test_client_refusals(changes, message):
    refused(message, client, **changes)


@pytest.mark.parametrize("changes", [
    {"client_name": "名" * 128},          # characters, not bytes
    {"cli_version": "v" * 128},
    {"client_id": UID.upper().replace("-", "")},
    {"client_id": "{" + UID + "}"},
])
def test_client_accepts(changes):
    record = client(**changes)
    for key, value in changes.items():
        assert getattr(record, key) is value


# --- CommandRequest ---

@pytest.mark.parametrize("changes, message", [
    ({"protocol_version": True}, "unsupported protocol_version"),
    ({"protocol_version": 1.0}, "unsupported protocol_version"),
    ({"protocol_version": 2}, "unsupported protocol_version"),
    ({"protocol_version": 2, "request_id": "x"}, "unsupported protocol_version"),
    ({"request_id": "x"}, "invalid request_id"),
    ({"request_id": None}, "invalid request_id"),
    ({"argv": ["message"]}, "argv must be a non-empty array with at most 256 items"),
    ({"argv": ()}, "argv must be a non-empty array with at most 256 items"),
    ({"argv": ("w",) * 257}, "argv must be a non-empty array with at most 256 items"),
    ({"argv": "ab"}, "argv must be a non-empty array with at most 256 items"),
    ({"argv": ("ok", "fine", "x" * 16385)}, "invalid argv[2]"),
    ({"argv": ("ok", "a\0", 5)}, "invalid argv[1]"),           # the lowest index is reported
    ({"argv": ("ok", None)}, "invalid argv[1]"),
    ({"argv": ("x",), "nickname": ""}, "invalid nickname"),
    ({"nickname": "n" * 129}, "invalid nickname"),
    ({"nickname": "a\0b"}, "invalid nickname"),
    ({"client": {"client_id": UID2, "client_name": "n", "cli_version": "1"}}, "client must be ClientIdentity"),
    ({"client": None, "nickname": ""}, "invalid nickname"),
])
def test_request_refusals(changes, message):
    refused(message, request, **changes)


@pytest.mark.parametrize("changes", [
    {"argv": ("w",) * 256},
    {"argv": ("x" * 16384, "", "   ")},
    {"argv": ("测" * 16384,)},
    {"nickname": "alice"},
    {"nickname": "名" * 128},
    {"request_id": UID.upper()},
    {"argv": type("Words", (tuple,), {})(("a", "b"))},
])
def test_request_accepts(changes):
    record = request(**changes)
    for key, value in changes.items():
        assert getattr(record, key) is value


def test_request_client_may_be_a_subclass():
    class Sub(ClientIdentity):
        pass
    assert request(client=Sub(UID2, "n", "1")).client.client_name == "n"


def test_request_wire_form():
    record = request(nickname="alice")
    body = record.to_dict()
    assert list(body) == ["protocol_version", "request_id", "nickname", "argv", "client"]
    assert list(body["client"]) == ["client_id", "client_name", "cli_version"]
    assert body == request_wire(nickname="alice")
    assert type(body["argv"]) is list and body is not record.to_dict()
    assert remote.dumps_wire(body) == (
        b'{"protocol_version":1,"request_id":"' + UID.encode() + b'","nickname":"alice",'
        b'"argv":["message","send"],"client":{"client_id":"' + UID2.encode() +
        b'","client_name":"laptop","cli_version":"4.0.0"}}')
    assert request().to_dict()["nickname"] is None


@pytest.mark.parametrize("record", [request(), request(nickname="bob", argv=("a",) * 256),
                                    request(request_id=UID.replace("-", "").upper())])
def test_request_round_trip(record):
    again = CommandRequest.from_dict(remote.loads_strict(remote.dumps_wire(record.to_dict())))
    assert again == record
    assert type(again.argv) is tuple and type(again.client) is ClientIdentity


@pytest.mark.parametrize("body, message", [
    ({k: v for k, v in request_wire().items() if k != "nickname"}, "invalid command request fields"),
    ({**request_wire(), "extra": 1}, "invalid command request fields"),
    ([], "invalid command request fields"),
    (request_wire(argv="message"), "argv must be an array"),
    (request_wire(argv=("message",)), "argv must be an array"),
    (request_wire(argv=[]), "argv must be a non-empty array with at most 256 items"),
    (request_wire(argv=["w"] * 257), "argv must be a non-empty array with at most 256 items"),
    (request_wire(protocol_version=2, client={**request_wire()["client"], "x": 1}), "invalid client fields"),
    (request_wire(client=None), "invalid client fields"),
    (request_wire(client={**request_wire()["client"], "client_name": "n" * 129}), "invalid client.client_name"),
    (request_wire(protocol_version=1.0), "unsupported protocol_version"),
    (request_wire(protocol_version=True), "unsupported protocol_version"),
    (request_wire(protocol_version=2, request_id="x"), "unsupported protocol_version"),
    (request_wire(request_id="x", argv=[]), "invalid request_id"),
    (request_wire(argv=["a", 1], nickname=""), "invalid argv[1]"),
    (request_wire(nickname=""), "invalid nickname"),
])
def test_request_reader_refusals(body, message):
    before = repr(body)
    refused(message, CommandRequest.from_dict, body)
    assert repr(body) == before


def test_request_reader_leaves_its_argument_alone():
    body = request_wire()
    argv, nested = body["argv"], body["client"]
    record = CommandRequest.from_dict(body)
    assert body["argv"] is argv and body["client"] is nested and type(body["argv"]) is list
    assert record.argv == tuple(argv)


def test_request_reader_uses_client_identity_for_the_client():
    class Sub(CommandRequest):
        pass
    record = Sub.from_dict(request_wire())
    assert type(record) is Sub and type(record.client) is ClientIdentity


def test_request_reads_the_limits_of_the_module_at_call_time(monkeypatch):
    monkeypatch.setattr(remote, "MAX_ARGV", 2)
    refused("argv must be a non-empty array with at most 256 items", request, argv=("a", "b", "c"))
    monkeypatch.setattr(remote, "MAX_ARGV", 300)
    assert len(request(argv=("a",) * 300).argv) == 300
    monkeypatch.setattr(remote, "MAX_ARGUMENT_CHARS", 3)
    refused("invalid argv[0]", request, argv=("abcd",))
    monkeypatch.setattr(remote, "MAX_ARGUMENT_CHARS", 16384)
    monkeypatch.setattr(remote, "_remote_protocol__PROTOCOL_VERSION", 2)
    refused("unsupported protocol_version", request)        # the default stays 1
    assert request(protocol_version=2).protocol_version == 2


def test_request_checks_through_the_module_validators(monkeypatch):
    labels = []

    def spy(value, label, limit, *, allow_empty=False):
        labels.append((label, limit, allow_empty))
        return value

    identity = client()
    monkeypatch.setattr(remote, "_string", spy)
    CommandRequest(UID, ("a", "b"), identity, "n")
    assert labels == [("request_id", 64, False), ("argv[0]", 16384, True), ("argv[1]", 16384, True),
                      ("nickname", 128, False)]


# --- CommandResponse ---

@pytest.mark.parametrize("changes, message", [
    ({"protocol_version": True}, "unsupported protocol_version"),
    ({"protocol_version": 1.0}, "unsupported protocol_version"),
    ({"protocol_version": 2}, "unsupported protocol_version"),
    ({"request_id": "x"}, "invalid request_id"),
    ({"exit_code": -1}, "exit_code must be between 0 and 255"),
    ({"exit_code": 256}, "exit_code must be between 0 and 255"),
    ({"exit_code": True}, "exit_code must be between 0 and 255"),
    ({"exit_code": 3.0}, "exit_code must be between 0 and 255"),
    ({"exit_code": None}, "exit_code must be between 0 and 255"),
    ({"result": (1,)}, "value is not JSON serializable: tuple"),
    ({"result": float("nan")}, "non-finite JSON number"),
    ({"result": {"a": float("inf")}}, "non-finite JSON number"),
    ({"result": {1: 2}}, "JSON object keys must be strings"),
    ({"result": [[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]}, "JSON value nesting is too deep"),
    ({"stderr": "e" * 65537}, "invalid stderr"),
    ({"stderr": "a\0"}, "invalid stderr"),
    ({"stderr": None}, "invalid stderr"),
    ({"duration_ms": -1}, "duration_ms must be a non-negative integer"),
    ({"duration_ms": 0.5}, "duration_ms must be a non-negative integer"),
    ({"duration_ms": False}, "duration_ms must be a non-negative integer"),
    ({"exit_code": 256, "request_id": "x"}, "invalid request_id"),
    ({"stderr": None, "result": ()}, "value is not JSON serializable: tuple"),
])
def test_response_refusals(changes, message):
    refused(message, response, **changes)


@pytest.mark.parametrize("changes", [
    {"exit_code": 0}, {"exit_code": 255}, {"duration_ms": 0}, {"duration_ms": 10 ** 20},
    {"stderr": ""}, {"stderr": "é" * 65536}, {"result": None}, {"result": True}, {"result": 0},
    {"result": "s"}, {"result": 1.5}, {"result": []}, {"result": {}},
    {"result": [[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]},
])
def test_response_accepts(changes):
    record = response(**changes)
    for key, value in changes.items():
        assert getattr(record, key) is value


def test_response_holds_its_result_by_reference():
    result = {"items": [1]}
    record = response(result=result)
    assert record.result is result and record.to_dict()["command"]["result"] is result
    result["items"].append(2)
    assert record.to_dict()["command"]["result"] == {"items": [1, 2]}


def test_response_wire_form():
    body = response(result=["é"], stderr="warn\n", duration_ms=7).to_dict()
    assert list(body) == ["protocol_version", "request_id", "command", "duration_ms"]
    assert list(body["command"]) == ["exit_code", "result", "stderr"]
    assert remote.dumps_wire(body) == (b'{"protocol_version":1,"request_id":"' + UID.encode() +
                                       b'","command":{"exit_code":0,"result":["\xc3\xa9"],'
                                       b'"stderr":"warn\\n"},"duration_ms":7}')


@pytest.mark.parametrize("levels, writable", [(30, True), (31, False), (32, False)])
def test_response_result_depth_against_the_writer(levels, writable):
    result = 1
    for _ in range(levels):
        result = [result]
    body = response(result=result).to_dict()
    if writable:
        assert remote.loads_strict(remote.dumps_wire(body)) == body
    else:
        refused("JSON value nesting is too deep", remote.dumps_wire, body)


@pytest.mark.parametrize("record", [response(), response(exit_code=255, result=[1.5, None, {"k": "v"}],
                                                         stderr="e" * 100, duration_ms=0),
                                    response(request_id="{" + UID.upper() + "}")])
def test_response_round_trip(record):
    assert CommandResponse.from_dict(remote.loads_strict(remote.dumps_wire(record.to_dict()))) == record


@pytest.mark.parametrize("body, message", [
    ({**response_wire(), "extra": 1}, "invalid command response fields"),
    ({k: v for k, v in response_wire().items() if k != "duration_ms"}, "invalid command response fields"),
    ("body", "invalid command response fields"),
    (response_wire(command=[]), "invalid command fields"),
    ({**response_wire(), "command": None}, "invalid command fields"),
    (response_wire(command={"exit_code": 0, "result": None}), "invalid command fields"),
    (response_wire(command={"exit_code": 0, "result": None, "stderr": "", "x": 1}), "invalid command fields"),
    (response_wire(command={"exit_code": 0, "result": None}, protocol_version=2), "invalid command fields"),
    (response_wire(protocol_version=1.0), "unsupported protocol_version"),
    (response_wire(command={"exit_code": 256, "result": (), "stderr": None}, request_id="x"), "invalid request_id"),
    (response_wire(command={"exit_code": 1.0, "result": None, "stderr": ""}), "exit_code must be between 0 and 255"),
    (response_wire(command={"exit_code": 0, "result": (), "stderr": None}), "value is not JSON serializable: tuple"),
    (response_wire(command={"exit_code": 0, "result": None, "stderr": None}, duration_ms=-1), "invalid stderr"),
    (response_wire(duration_ms=1.5), "duration_ms must be a non-negative integer"),
])
def test_response_reader_refusals(body, message):
    before = repr(body)
    refused(message, CommandResponse.from_dict, body)
    assert repr(body) == before


def test_response_reader_keeps_the_command_key_of_its_argument():
    body = response_wire()
    record = CommandResponse.from_dict(body)
    assert "command" in body and record.exit_code == 0 and record.duration_ms == 5


def test_response_reads_the_module_names_at_call_time(monkeypatch):
    monkeypatch.setattr(remote, "MAX_STDERR_CHARS", 2)
    refused("invalid stderr", response, stderr="abc")
    monkeypatch.setattr(remote, "_json_value", lambda value: None)
    assert response(result=(1,)).result == (1,)


def test_client_reader_builds_from_a_rebound_object_check_as_a_keyword_call(monkeypatch):
    monkeypatch.setattr(remote, "_object", lambda value, keys, label: [1])
    with pytest.raises(TypeError, match="ClientIdentity\\(\\) argument after \\*\\* must be a mapping, not list$"):
        ClientIdentity.from_dict({})


def test_response_reader_refuses_a_field_given_by_both_objects(monkeypatch):
    monkeypatch.setattr(remote, "_object", lambda value, keys, label: dict(value))
    with pytest.raises(TypeError, match="CommandResponse\\(\\) got multiple values for keyword argument 'exit_code'$"):
        CommandResponse.from_dict(response_wire(exit_code=3))
