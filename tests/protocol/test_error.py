"""RemoteError: construction, its dictionary form and the strict reader of that form."""
from __future__ import annotations

import inspect
from typing import Any

import pytest

from qybridge4.cli import remote

UID = "12345678-1234-5678-1234-567812345678"
RemoteError = remote.RemoteError


def wire(**changes):
    item = {"code": "worker_timeout", "message": "worker execution timed out", "request_id": UID,
            "retryable": True, "outcome": "unknown"}
    item.update(changes)
    return {"error": item}


# --- the class and its methods ---

class Reference(RuntimeError):
    def __init__(self, code: str, message: str, *, request_id: str | None = None,
                 retryable: bool = False, outcome: str = "not_started"): ...

    def to_dict(self) -> dict[str, Any]: ...

    @classmethod
    def from_dict(cls, value: Any) -> 'RemoteError': ...


def test_class_shape():
    assert RemoteError.__bases__ == (RuntimeError,)
    assert RemoteError.__module__ == remote.__name__
    assert RemoteError.__qualname__ == "RemoteError"
    assert RemoteError.__doc__ == "Stable error transported between the gateway and remote CLI."
    own = [k for k in vars(RemoteError) if k not in ("__module__", "__doc__", "__weakref__", "__dict__")]
    assert own == ["__init__", "to_dict", "from_dict"]
    assert isinstance(vars(RemoteError)["from_dict"], classmethod)


@pytest.mark.parametrize("name", ["__init__", "to_dict", "from_dict"])
def test_method_shapes(name):
    native = getattr(vars(RemoteError)[name], "__func__", vars(RemoteError)[name])
    reference = getattr(vars(Reference)[name], "__func__", vars(Reference)[name])
    assert inspect.signature(native) == inspect.signature(reference)
    assert native.__annotations__ == reference.__annotations__
    assert native.__defaults__ == reference.__defaults__
    assert native.__kwdefaults__ == reference.__kwdefaults__
    assert native.__qualname__ == "RemoteError." + name
    assert native.__module__ == remote.__name__
    assert native.__doc__ is None


# --- construction ---

def test_an_error_is_an_exception_with_its_message_as_text():
    error = RemoteError("worker_timeout", "worker execution timed out", outcome="unknown")
    assert (error.code, error.message, error.request_id, error.retryable, error.outcome) == (
        "worker_timeout", "worker execution timed out", None, False, "unknown")
    assert str(error) == "worker execution timed out"
    assert error.args == ("worker execution timed out",)
    assert error.to_dict() == {"error": {"code": "worker_timeout", "message": "worker execution timed out",
                                         "request_id": None, "retryable": False, "outcome": "unknown"}}
    assert list(error.to_dict()["error"]) == ["code", "message", "request_id", "retryable", "outcome"]
    with pytest.raises(RuntimeError) as info:
        raise error
    assert info.value is error and info.value.__traceback__ is not None


@pytest.mark.parametrize("code, outcome, message", [
    ("Bad", "unknown", "invalid remote error code"),
    ("a-b", "unknown", "invalid remote error code"),
    ("a" * 65, "unknown", "invalid remote error code"),
    ("", "unknown", "invalid remote error code"),
    (None, "unknown", "invalid remote error code"),
    ("Bad", "later", "invalid remote error code"),        # the code is tested first
    ("ok", "later", "invalid remote error outcome"),
    ("ok", "Unknown", "invalid remote error outcome"),
    ("ok", None, "invalid remote error outcome"),
    ("ok", ["unknown"], "invalid remote error outcome"),
])
def test_construction_refusals(code, outcome, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        RemoteError(code, "m", outcome=outcome)


@pytest.mark.parametrize("outcome", ["not_started", "completed", "unknown"])
def test_every_outcome_and_unicode_code_are_accepted(outcome):
    assert RemoteError("décodé_2", "m", outcome=outcome).outcome == outcome


def test_other_fields_are_taken_untested_and_written_unchanged():
    message, request_id, retryable = object(), "not a uuid", "yes"
    error = RemoteError("x", message, request_id=request_id, retryable=retryable)
    assert error.to_dict()["error"] == {"code": "x", "message": message, "request_id": request_id,
                                        "retryable": retryable, "outcome": "not_started"}
    assert RemoteError("x", "").message == ""


def test_argument_errors_come_before_any_check():
    with pytest.raises(TypeError, match="positional"):
        RemoteError("Bad", "m", None)
    with pytest.raises(TypeError, match="unexpected keyword argument 'status'"):
        RemoteError("Bad", "m", status=1)


def test_attributes_stay_writable_and_to_dict_reads_them_now():
    error = RemoteError("x", "m")
    error.retryable = True
    error.code = "Changed"
    assert error.to_dict()["error"]["retryable"] is True
    assert error.to_dict()["error"]["code"] == "Changed"


def test_subclass_initialises_through_the_mro():
    class Base(RuntimeError):
        def __init__(self, *args):
            self.seen = args
            super().__init__(*args)

    class Mixed(RemoteError, Base):
        pass

    error = Mixed("x", "text")
    assert error.seen == ("text",) and str(error) == "text"


def test_identifier_is_looked_up_at_call_time(monkeypatch):
    monkeypatch.setattr(remote, "_identifier", lambda value: value == "Bad")
    assert RemoteError("Bad", "m").code == "Bad"
    with pytest.raises(ValueError, match="^invalid remote error code$"):
        RemoteError("good", "m")


# --- from_dict ---

@pytest.mark.parametrize("request_id, retryable, message", [
    (None, False, "m"), (UID, True, "x" * 4096), (UID.upper(), False, "é"),
])
def test_round_trip(request_id, retryable, message):
    error = RemoteError("worker_timeout", message, request_id=request_id, retryable=retryable,
                        outcome="completed")
    copy = RemoteError.from_dict(error.to_dict())
    assert type(copy) is RemoteError
    assert copy.to_dict() == error.to_dict()
    assert str(copy) == message


@pytest.mark.parametrize("value, message", [
    ({**wire(), "protocol_version": 1}, "invalid error response fields"),   # the gateway's body
    ([], "invalid error response fields"),
    (None, "invalid error response fields"),
    ({"error": None}, "invalid error fields"),
    ({"error": {**wire()["error"], "extra": 1}}, "invalid error fields"),
    ({"error": {k: v for k, v in wire()["error"].items() if k != "outcome"}}, "invalid error fields"),
    (wire(code=""), "invalid error.code"),
    (wire(code="a" * 65), "invalid error.code"),
    (wire(code=5), "invalid error.code"),
    (wire(code="a\0"), "invalid error.code"),
    (wire(message=""), "invalid error.message"),
    (wire(message="x" * 4097), "invalid error.message"),
    (wire(message=None), "invalid error.message"),
    (wire(request_id="nope"), "invalid request_id"),
    (wire(request_id=""), "invalid request_id"),
    (wire(request_id=5), "invalid request_id"),
    (wire(retryable=0), "error.retryable must be boolean"),
    (wire(retryable=1), "error.retryable must be boolean"),
    (wire(retryable=None), "error.retryable must be boolean"),
    (wire(outcome="done"), "invalid error.outcome"),
    (wire(outcome=["unknown"]), "invalid error.outcome"),
    (wire(outcome={}), "invalid error.outcome"),
    (wire(code="Bad"), "invalid remote error code"),         # passes the text test, fails the constructor
    (wire(code="Bad", outcome="done"), "invalid error.outcome"),
    (wire(message="", retryable=0), "invalid error.message"),
])
def test_from_dict_refusals(value, message):
    with pytest.raises(ValueError, match="^" + message.replace(".", r"\.") + "$"):
        RemoteError.from_dict(value)


def test_from_dict_parse_error_is_the_cause():
    with pytest.raises(ValueError) as info:
        RemoteError.from_dict(wire(request_id="nope"))
    assert type(info.value.__cause__) is ValueError


def test_from_dict_leaves_its_argument_unchanged_and_builds_the_subclass():
    class Sub(RemoteError):
        pass

    value = wire()
    before = repr(value)
    error = Sub.from_dict(value)
    assert type(error) is Sub and repr(value) == before
    assert error.to_dict() == value
