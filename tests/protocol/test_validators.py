"""The field validators: exact key sets, bounded texts, UUID texts and identifiers."""
from __future__ import annotations

import inspect
import re
import uuid

import pytest

from qybridge4.cli import remote

UID = "12345678-1234-5678-1234-567812345678"


class StrSub(str):
    pass


class DictSub(dict):
    pass


# --- shapes, against the equivalent Python definitions ---

def _object(value, keys, label): ...
def _string(value, label, limit, *, allow_empty=False): ...
def _request_id(value, label="request_id"): ...
def _identifier(value): ...


@pytest.mark.parametrize("reference", [_object, _string, _request_id, _identifier],
                         ids=lambda f: f.__name__)
def test_shape_matches_python_definition(reference):
    native = getattr(remote, reference.__name__)
    assert inspect.signature(native) == inspect.signature(reference)
    assert native.__annotations__ == {}
    assert native.__defaults__ == reference.__defaults__
    assert native.__kwdefaults__ == reference.__kwdefaults__
    assert native.__qualname__ == reference.__name__
    assert native.__module__ == remote.__name__
    assert native.__doc__ is None


@pytest.mark.parametrize("args, kwargs", [
    ((), {}),
    ((1, 2, 3, 4), {}),
    ((1,), {"label": 2, "limit": 3, "allow_empty": True, "extra": 1}),
    ((1, 2), {"label": 3}),
])
def test_argument_errors_are_the_interpreters(args, kwargs):
    with pytest.raises(TypeError) as expected:
        _string(*args, **kwargs)
    with pytest.raises(TypeError, match="^" + re.escape(str(expected.value)) + "$"):
        remote._string(*args, **kwargs)


# --- _object ---

KEYS = {"a", "b"}


@pytest.mark.parametrize("value", [
    ["a", "b"], "ab", None, 1, {"a": 1}, {"a": 1, "b": 2, "c": 3}, {"a": 1, "c": 2},
    {("a",): 1, "b": 2},
])
def test_object_refuses_wrong_shapes(value):
    with pytest.raises(ValueError, match=r"^invalid client fields$"):
        remote._object(value, KEYS, "client")


@pytest.mark.parametrize("keys", [{"a", "b"}, frozenset({"a", "b"})])
def test_object_returns_a_plain_shallow_copy(keys):
    inner = [1]
    value = DictSub(b=inner, a=2)
    copy = remote._object(value, keys, "x")
    assert type(copy) is dict
    assert list(copy.items()) == [("b", inner), ("a", 2)]
    assert copy["b"] is inner
    copy["a"] = 3
    assert value["a"] == 2


def test_object_compares_against_any_set_like_keys():
    class Keys(set):
        pass
    assert remote._object({"a": 1, "b": 2}, Keys(KEYS), "x") == {"a": 1, "b": 2}
    with pytest.raises(ValueError, match="^invalid x fields$"):
        remote._object({"a": 1, "b": 2}, ["a", "b"], "x")  # a list never equals a set


class Meddler:
    """A key equal to its text whose comparison changes the dict that holds it."""

    def __init__(self, text, change):
        self.text, self.change, self.target = text, change, None

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        if self.target is not None:
            self.change(self.target)
        return self.text == other


def _swap(d):
    d.pop("b", None)
    d["c"] = 3


@pytest.mark.parametrize("change, error, message", [
    (dict.clear, RuntimeError, "dictionary changed size during iteration"),
    (_swap, ValueError, "invalid x fields"),   # the walk goes on and meets "c"
    (lambda d: None, None, None),
], ids=["clear", "swap", "none"])
@pytest.mark.parametrize("container", [dict, DictSub])
@pytest.mark.parametrize("keys", [{"a", "b"}, frozenset({"a", "b"})], ids=["set", "frozenset"])
def test_object_checks_the_dict_as_the_keys_view_walks_it(change, error, message, container, keys):
    # Python's own `value.keys() != keys` on the same dict gives these answers.
    key = Meddler("a", change)
    value = container({key: 1, "b": 2})
    key.target = value
    if error is None:
        assert list(remote._object(value, keys, "x").items()) == [(key, 1), ("b", 2)]
    else:
        with pytest.raises(error, match=f"^{message}$"):
            remote._object(value, keys, "x")


def test_object_label_is_formatted():
    with pytest.raises(ValueError, match="^invalid 7 fields$"):
        remote._object(None, KEYS, 7)


# --- _string ---

@pytest.mark.parametrize("value, limit, allow_empty, ok", [
    ("a" * 64, 64, False, True),
    ("a" * 65, 64, False, False),
    ("é" * 64, 64, False, True),      # characters, not UTF-8 bytes
    ("😀" * 64, 64, False, True),
    ("", 64, False, False),
    ("", 64, True, True),
    ("   ", 64, False, True),
    ("a\0b", 64, False, False),
    ("\0", 64, True, False),
    ("a" * 10, 10, 1, True),
    ("", 10, "", False),              # allow_empty is taken for its truth
    (b"abc", 64, False, False),
    (5, 64, False, False),
    (None, 64, True, False),
    (StrSub("sub"), 64, False, True),
    ("abc", 2.5, False, False),
    ("ab", 2.5, False, True),
])
def test_string(value, limit, allow_empty, ok):
    if ok:
        assert remote._string(value, "nickname", limit, allow_empty=allow_empty) is value
    else:
        with pytest.raises(ValueError, match=r"^invalid nickname$") as info:
            remote._string(value, "nickname", limit, allow_empty=allow_empty)
        assert info.value.__cause__ is None


def test_string_subclass_overrides_are_honoured():
    class Long(str):
        def __len__(self):
            return 1000
    with pytest.raises(ValueError, match="^invalid x$"):
        remote._string(Long("a"), "x", 10)


# --- _request_id ---

FORMS = [UID, UID.upper(), UID.replace("-", ""), "{" + UID + "}", "urn:uuid:" + UID,
         StrSub(UID)]


@pytest.mark.parametrize("value", FORMS)
def test_request_id_accepts_every_parse_form(value):
    assert remote._request_id(value) is None


@pytest.mark.parametrize("value, label, caused", [
    (None, "request_id", False),
    ("", "request_id", False),
    (UID + "a" * 29, "request_id", False),       # 65 characters: refused before the parse
    ("not-a-uuid", "request_id", True),
    (UID[:-1] + "g", "client.client_id", True),
    ("a\0" + UID, "client.client_id", False),
])
def test_request_id_refusals(value, label, caused):
    args = (value,) if label == "request_id" else (value, label)
    with pytest.raises(ValueError, match=f"^invalid {label}$") as info:
        remote._request_id(*args)
    if caused:
        assert type(info.value.__cause__) is ValueError
    else:
        assert info.value.__cause__ is None


def test_request_id_parses_with_the_module_uuid(monkeypatch):
    seen = []

    class Parser:
        @staticmethod
        def UUID(value):
            seen.append(value)
            raise AttributeError("no")

    monkeypatch.setattr(remote, "uuid", Parser)
    with pytest.raises(ValueError, match="^invalid request_id$") as info:
        remote._request_id(UID)
    assert seen == [UID]
    assert type(info.value.__cause__) is AttributeError
    monkeypatch.setattr(remote, "uuid", uuid)
    assert remote._request_id(UID) is None


class Unformattable:
    def __format__(self, spec):
        raise LookupError("no text")


@pytest.mark.parametrize("value, context", [("nope", ValueError), (None, None)])
def test_a_label_that_cannot_be_made_text_is_raised_where_python_raises_it(value, context):
    # Inside the parse error's handler for a text that is no UUID; before any parse for None.
    with pytest.raises(LookupError, match="^no text$") as info:
        remote._request_id(value, Unformattable())
    assert info.value.__cause__ is None
    assert type(info.value.__context__) is context if context else info.value.__context__ is None


# --- _identifier ---

@pytest.mark.parametrize("value, expected", [
    ("invalid_request", True),
    ("worker_timeout", True),
    ("a" * 64, True),
    ("a" * 65, False),
    ("Bad", False),
    ("a-b", False),
    ("a.b", False),
    ("a b", False),
    ("a\0", False),
    ("ß_é", True),            # lower-case in the Unicode sense
    ("x²", True),             # a digit in the Unicode sense
    ("٣", True),
    ("ǅ", False),             # title case is not lower case
    (5, False),
    (None, False),
    (StrSub("ok"), True),
])
def test_identifier(value, expected):
    assert remote._identifier(value) is expected


def test_identifier_of_empty_text_is_that_text():
    empty = StrSub("")
    assert remote._identifier("") == ""
    assert remote._identifier(empty) is empty


def uuid_accepts(value):
    try:
        uuid.UUID(value)
    except ValueError:
        return False
    return True


@pytest.mark.parametrize("value", [
    UID, UID.upper(), UID.replace("-", ""), UID[:8] + UID[9:] + "-",   # hyphen moved to the end
    UID.replace("-", "", 1) + "0", "-" * 4 + UID.replace("-", ""), UID[:-1] + "G",
    "\u0660" * 32, "\uff10" * 32,                                         # non-ASCII digits int() reads
    UID.replace("-", "_"), " " + UID.replace("-", "")[1:] + " ",
])
def test_request_id_agrees_with_the_standard_parse(value):
    if uuid_accepts(value):
        assert remote._request_id(value) is None
    else:
        with pytest.raises(ValueError, match="^invalid request_id$"):
            remote._request_id(value)


# --- defaults, as the functions that call the validators see them ---

def _rebind(name, attribute, value):
    return lambda monkeypatch: monkeypatch.setattr(getattr(remote, name), attribute, value)


def _client(**changes):
    return remote.ClientIdentity(**{"client_id": UID, "client_name": "x", "cli_version": "1", **changes})


def _request(**changes):
    return remote.CommandRequest(**{"request_id": UID, "argv": ("a",), "client": _client(), **changes})


def _response(**changes):
    return remote.CommandResponse(**{"request_id": UID, "exit_code": 0, "result": None, "stderr": "",
                                     "duration_ms": 1, **changes})


def _error_wire(**changes):
    return {"error": {"code": "x", "message": "m", "request_id": None, "retryable": False,
                      "outcome": "unknown", **changes}}


DEEP = [[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]   # 40 levels


# Each change of a validator's defaults, then what each caller of it gives: the message of the
# ValueError it raises, or None when it passes. A caller that omits the argument gets the
# current default, as a def calling the validator would; one that passes it is unaffected.
@pytest.mark.parametrize("change, outcomes", [
    (_rebind("_request_id", "__defaults__", ("RID-LABEL",)), [
        (lambda: remote._request_id("bad"), "invalid RID-LABEL"),
        (lambda: _request(request_id="bad"), "invalid RID-LABEL"),
        (lambda: _response(request_id="bad"), "invalid RID-LABEL"),
        (lambda: remote.RemoteError.from_dict(_error_wire(request_id="bad")), "invalid RID-LABEL"),
        (lambda: _client(client_id="bad"), "invalid client.client_id"),
    ]),
    (_rebind("_string", "__kwdefaults__", {"allow_empty": True}), [
        (lambda: remote._string("", "x", 5), None),
        (lambda: _request(nickname=""), None),
        (lambda: _client(client_name=""), None),
        (lambda: remote.RemoteError.from_dict(_error_wire(message="")), None),
        (lambda: _request(argv=("a", "\0")), "invalid argv[1]"),
    ]),
    (lambda monkeypatch: monkeypatch.setitem(remote._string.__kwdefaults__, "allow_empty", True), [
        (lambda: _request(nickname=""), None),
        (lambda: _client(cli_version=""), None),
    ]),
    (_rebind("_json_value", "__defaults__", (10 ** 6,)), [
        (lambda: remote._json_value(1), "JSON value nesting is too deep"),
        (lambda: remote.dumps_wire({"a": 1}), "JSON value nesting is too deep"),
        (lambda: _response(result=None), "JSON value nesting is too deep"),
        (lambda: remote._json_value(1, 0), None),
    ]),
    (_rebind("_json_value", "__defaults__", (-10,)), [
        (lambda: remote._json_value(DEEP), None),
        (lambda: remote.dumps_wire(DEEP), None),
        (lambda: _response(result=DEEP), None),
        (lambda: remote.dumps_wire([[[DEEP]]]), "JSON value nesting is too deep"),
    ]),
], ids=["request_id label", "string allow_empty", "string allow_empty in place", "json_value depth",
        "json_value negative depth"])
def test_callers_obey_the_validators_current_defaults(monkeypatch, change, outcomes):
    change(monkeypatch)
    for build, message in outcomes:
        if message is None:
            build()
        else:
            with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
                build()
