"""The strict JSON reader loads_strict, the wire writer dumps_wire and their helpers."""
from __future__ import annotations

import inspect
import json
import re
import sys
import threading
from decimal import Decimal
from typing import Any, Mapping

import pytest

from qybridge4.cli import remote

from json_reference import reference_loads, unique_object


# --- the same behaviour written with json and Python hooks, for comparison ---



def decode_reason(text):
    with pytest.raises(json.JSONDecodeError) as info:
        reference_loads(text)
    return info.value.msg


class StrSub(str):
    pass


class IntSub(int):
    pass


class FloatSub(float):
    pass


class DictSub(dict):
    pass


class ListSub(list):
    pass


def nested(levels, inner=None, container=list):
    value = inner
    for _ in range(levels):
        value = [value] if container is list else {"k": value}
    return value


# --- shapes ---

def loads_strict(payload: bytes | str, *, max_bytes: int = 262144) -> Any: ...
def dumps_wire(value: Mapping[str, Any]) -> bytes: ...
def _unique_object(pairs): ...
def _json_value(value, depth=0): ...


@pytest.mark.parametrize("reference", [loads_strict, dumps_wire, _unique_object, _json_value],
                         ids=lambda f: f.__name__)
def test_shape_matches_python_definition(reference):
    native = getattr(remote, reference.__name__)
    assert inspect.signature(native) == inspect.signature(reference)
    assert native.__annotations__ == reference.__annotations__
    assert native.__defaults__ == reference.__defaults__
    assert native.__kwdefaults__ == reference.__kwdefaults__
    assert (native.__name__, native.__qualname__) == (reference.__name__, reference.__name__)
    assert native.__module__ == remote.__name__
    assert native.__doc__ is None


@pytest.mark.parametrize("args, kwargs", [((), {}), ((b"1", 5), {}), ((b"1",), {"limit": 3}),
                                          ((b"1",), {"payload": b"1"})])
def test_argument_errors_are_the_interpreters(args, kwargs):
    with pytest.raises(TypeError) as expected:
        loads_strict(*args, **kwargs)
    with pytest.raises(TypeError, match="^" + re.escape(str(expected.value)) + "$"):
        remote.loads_strict(*args, **kwargs)


def test_default_limit_is_fixed_at_definition(monkeypatch):
    monkeypatch.setattr(remote, "MAX_JSON_BYTES", 4)
    assert remote.loads_strict.__kwdefaults__ == {"max_bytes": 262144}
    assert remote.loads_strict(b"[1, 2, 3]") == [1, 2, 3]


# --- loads_strict: payload and size ---

@pytest.mark.parametrize("payload, limit, outcome", [
    (b'"' + b"a" * 8 + b'"', 10, "ok"),
    (b'"' + b"a" * 9 + b'"', 10, "too large"),
    (b"\xff" * 11, 10, "too large"),            # measured before any decoding
    (b"\xff" * 10, 10, "not utf-8"),
    (b'"\xc3\xa9"', 4, "ok"),
    (b'"\xc3\xa9"', 3, "too large"),
    ('"' + "é" * 4 + '"', 10, "ok"),             # text: the bytes of its UTF-8 form
    ('"' + "é" * 4 + '"', 9, "too large"),
    ('"😀"', 6, "ok"),
    ('"😀"', 5, "too large"),
    ('"世界"', 8, "ok"),
    ('"世界"', 7, "too large"),
    (b"1", 0, "too large"),
    (b"\xed\xa0\x80", 10, "not utf-8"),          # an encoded surrogate is not UTF-8
])
def test_size_limit_and_encoding(payload, limit, outcome):
    if outcome == "ok":
        assert remote.loads_strict(payload, max_bytes=limit) == reference_loads(payload)
    elif outcome == "too large":
        with pytest.raises(ValueError, match="^JSON payload is too large$") as info:
            remote.loads_strict(payload, max_bytes=limit)
        assert info.value.__cause__ is None
    else:
        with pytest.raises(ValueError, match="^JSON payload must be UTF-8$") as info:
            remote.loads_strict(payload, max_bytes=limit)
        assert isinstance(info.value.__cause__, UnicodeDecodeError)


@pytest.mark.parametrize("extra", [0, 1])
@pytest.mark.parametrize("kind", [bytes, str])
def test_default_limit_is_max_json_bytes(kind, extra):
    payload = " " * (262144 - 1 + extra) + "1"
    payload = payload.encode() if kind is bytes else payload
    if extra:
        with pytest.raises(ValueError, match="^JSON payload is too large$"):
            remote.loads_strict(payload)
    else:
        assert remote.loads_strict(payload) == 1


@pytest.mark.parametrize("payload", [bytearray(b"1"), memoryview(b"1"), None, 1, ["1"]])
def test_payload_of_other_types_is_a_type_error(payload):
    with pytest.raises(TypeError, match="^payload must be bytes or str$"):
        remote.loads_strict(payload)


@pytest.mark.parametrize("payload", [type("B", (bytes,), {})(b'{"a": [1]}'), StrSub('{"a": [1]}')])
def test_subclasses_of_bytes_and_str_are_read(payload):
    assert remote.loads_strict(payload) == {"a": [1]}


# --- loads_strict: what json refuses ---

@pytest.mark.parametrize("text", [
    "\ufeff{}", "", "   ", "nan", "infinity", "-nan", "[1,]", '{"a" 1}', '{"a":1,}', "'a'",
    '"a\x01"', '"\\x"', "1 2", "[1] x", "[", '{"a":1', "[1e]", "01", "tru", "{1:2}",
])
@pytest.mark.parametrize("kind", [bytes, str])
def test_decoder_refusals_carry_its_reason(text, kind):
    reason = decode_reason(text)
    payload = text.encode() if kind is bytes else text
    with pytest.raises(ValueError, match="^" + re.escape("invalid JSON: " + reason) + "$") as info:
        remote.loads_strict(payload)
    assert type(info.value) is ValueError
    assert isinstance(info.value.__cause__, json.JSONDecodeError)
    assert info.value.__cause__.msg == reason


def test_bom_and_empty_payload_reasons():
    with pytest.raises(ValueError, match=r"^invalid JSON: Unexpected UTF-8 BOM \(decode using utf-8-sig\)$"):
        remote.loads_strict(b"\xef\xbb\xbf{}")
    with pytest.raises(ValueError, match="^invalid JSON: Expecting value$"):
        remote.loads_strict(b"")


@pytest.mark.parametrize("text, message", [
    ('{"a":1,"a":2}', "duplicate JSON key: a"),
    ('{"a":1,"\\u0061":2}', "duplicate JSON key: a"),          # one key, two spellings
    ('{"\\n":1,"\\u000a":2}', "duplicate JSON key: \n"),       # the decoded text, unquoted
    ('{"é":1,"\\u00e9":2}', "duplicate JSON key: é"),
    ('{"x":{"b":1,"b":2}}', "duplicate JSON key: b"),
    ('[{"k":[{"z":1,"z":1}]}]', "duplicate JSON key: z"),
    ('{"a":{"b":1,"b":2},"a":3}', "duplicate JSON key: b"),    # the inner object closes first
    ('{"a":1,"a":2,"b":NaN}', "invalid number: NaN"),          # the literal comes before the close
    ('[Infinity]', "invalid number: Infinity"),
    ('{"a":-Infinity}', "invalid number: -Infinity"),
])
def test_hooks_report_the_first_problem(text, message):
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$") as info:
        remote.loads_strict(text)
    assert type(info.value) is ValueError
    assert info.value.__cause__ is None


def test_syntax_error_before_the_close_wins_over_a_repeated_key():
    with pytest.raises(ValueError, match="^invalid JSON: ") as info:
        remote.loads_strict('{"a":1,"a":2')
    assert isinstance(info.value.__cause__, json.JSONDecodeError)


@pytest.mark.parametrize("text", [
    '[{"a":1},{"a":2}]', '{"a":{"a":{"a":1}}}', '{"b":1,"a":2,"c":[true,false,null]}',
    '12345678901234567890123456789', "-0.0", "1.5e-300", ' \t\n\r"x" \n', '"\\ud800"',
    '{"":0}', '["\\u0000"]',
])
def test_accepted_documents_decode_as_json_does(text):
    result = remote.loads_strict(text)
    assert result == reference_loads(text)
    assert repr(result) == repr(reference_loads(text))      # key order, int vs float


def test_out_of_range_number_reads_as_infinity_that_the_writer_refuses():
    value = remote.loads_strict(b"[1e400, -1e400]")
    assert value == [float("inf"), float("-inf")]
    with pytest.raises(ValueError, match="^non-finite JSON number$"):
        remote.dumps_wire(value)


def test_interpreter_errors_pass_unchanged():
    with pytest.raises(ValueError, match="^Exceeds the limit") as info:
        remote.loads_strict("1" * 5000)
    assert type(info.value) is ValueError and info.value.__cause__ is None
    with pytest.raises(RecursionError):
        remote.loads_strict("[" * 100_000)
    with pytest.raises(UnicodeEncodeError):
        remote.loads_strict('"\ud800"')                  # text holding a lone surrogate


def test_reader_is_shared_safely_between_threads():
    docs = [json.dumps({"t": t, "items": [{"i": i, "s": str(i) * t} for i in range(50)]})
            for t in range(8)]
    expected = [json.loads(d) for d in docs]
    failures = []

    def work(t):
        for _ in range(200):
            if remote.loads_strict(docs[t]) != expected[t]:
                failures.append(t)
            with pytest.raises(ValueError):
                remote.loads_strict('{"k":1,"k":2}')

    threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert failures == []


def test_module_names_are_looked_up_at_call_time(monkeypatch):
    monkeypatch.setattr(remote, "_unique_object", dict)
    assert remote.loads_strict('{"a":1,"a":2}') == {"a": 2}
    with pytest.raises(ValueError, match="^invalid number: NaN$"):
        remote.loads_strict("NaN")

    calls = []

    class Json:
        JSONDecodeError = json.JSONDecodeError

        @staticmethod
        def loads(text, **hooks):
            calls.append(sorted(hooks))
            return json.loads(text, **hooks)

    monkeypatch.setattr(remote, "json", Json)
    assert remote.loads_strict(b"[1]") == [1]
    assert calls == [["object_pairs_hook", "parse_constant"]]
    with pytest.raises(ValueError, match="^invalid JSON: Expecting value$"):
        remote.loads_strict(b"")


# --- _unique_object ---

@pytest.mark.parametrize("pairs, expected", [
    ([("a", 1), ("b", 2)], {"a": 1, "b": 2}),
    (iter([("a", 1), ["b", 2]]), {"a": 1, "b": 2}),
    ((("a", 1),), {"a": 1}),
    ([], {}),
    ({"ab": 0, "cd": 1}, {"a": "b", "c": "d"}),      # any iterable of two-item sequences
    ([(1, "x"), ((2, 3), "y")], {1: "x", (2, 3): "y"}),
])
def test_unique_object_builds_a_new_dict(pairs, expected):
    result = remote._unique_object(pairs)
    assert type(result) is dict and result is not pairs
    assert list(result.items()) == list(expected.items())


@pytest.mark.parametrize("pairs", [
    [("a", 1), ("a", 2)], [(1, 1), (True, 2)], [(None, 0), (None, 1)], [1], [("a",)],
    [("a", 1, 2)], ["abc"], [None], 5, [([], 1)], [("k", 1), "xy", ("k", 2)],
])
def test_unique_object_fails_as_the_python_loop_does(pairs):
    with pytest.raises(Exception) as expected:
        unique_object(pairs)
    with pytest.raises(type(expected.value), match="^" + re.escape(str(expected.value)) + "$"):
        remote._unique_object(pairs)


def test_unique_object_keeps_the_values_themselves():
    marker = object()
    assert remote._unique_object([("b", marker)])["b"] is marker


# --- _json_value and dumps_wire ---

@pytest.mark.parametrize("value, message", [
    ((1, 2), "value is not JSON serializable: tuple"),
    ({1}, "value is not JSON serializable: set"),
    (b"x", "value is not JSON serializable: bytes"),
    (Decimal("1"), "value is not JSON serializable: Decimal"),
    (IntSub(1), "value is not JSON serializable: IntSub"),
    (FloatSub(1.0), "value is not JSON serializable: FloatSub"),
    (StrSub("s"), "value is not JSON serializable: StrSub"),
    ([1, {"a": [object()]}], "value is not JSON serializable: object"),
    (float("nan"), "non-finite JSON number"),
    ({"a": [float("-inf")]}, "non-finite JSON number"),
    ({1: 2}, "JSON object keys must be strings"),
    ({"a": 1, None: 2}, "JSON object keys must be strings"),
    ({"a": (), 1: 2}, "value is not JSON serializable: tuple"),   # first entry's value first
    ({1: (), "a": 2}, "JSON object keys must be strings"),
    (nested(33), "JSON value nesting is too deep"),
    (nested(33, []), "JSON value nesting is too deep"),   # 34 lists
    (nested(33, container=dict), "JSON value nesting is too deep"),
    (nested(32, [1]), "JSON value nesting is too deep"),
])
def test_refusals(value, message):
    for check in (remote._json_value, remote.dumps_wire):
        with pytest.raises(ValueError, match="^" + re.escape(message) + "$") as info:
            check(value)
        assert type(info.value) is ValueError


@pytest.mark.parametrize("value", [
    None, True, 0, -(10 ** 30), "s", 1.5, [], {}, nested(32), nested(32, []), nested(32, container=dict),
    nested(16, {"k": nested(15, [])}), {StrSub("k"): 1}, DictSub(a=ListSub([1, DictSub()])),
])
def test_accepted_values(value):
    assert remote._json_value(value) is None
    assert json.loads(remote.dumps_wire(value)) == value


@pytest.mark.parametrize("value, depth, ok", [
    (1, 32, True), ([], 32, True), ({}, 32, True), ([1], 32, False), (None, 33, False),
    ([1], 30.5, True), ([1], 31.5, False), ([], 32.5, False), ([[[]]], -2, True), ([1], True, True),
])
def test_explicit_depth(value, depth, ok):
    if ok:
        assert remote._json_value(value, depth) is None
    else:
        with pytest.raises(ValueError, match="^JSON value nesting is too deep$"):
            remote._json_value(value, depth=depth)


def test_self_containing_values_are_too_deep():
    items = []
    items.append(items)
    mapping = {}
    mapping["self"] = mapping
    for value in (items, mapping):
        with pytest.raises(ValueError, match="^JSON value nesting is too deep$"):
            remote.dumps_wire(value)


def test_unbounded_depth_meets_the_recursion_limit():
    items = []
    items.append(items)
    with pytest.raises(RecursionError):
        remote._json_value(items, -(10 ** 9))


def test_dict_subclass_is_walked_through_its_items():
    class Hiding(dict):
        def items(self):
            return [("k", object())]
    with pytest.raises(ValueError, match="^value is not JSON serializable: object$"):
        remote._json_value(Hiding(k=1))


@pytest.mark.parametrize("value, wire", [
    ({"b": 1, "a": "é\n"}, b'{"b":1,"a":"\xc3\xa9\\n"}'),
    (True, b"true"),
    (False, b"false"),
    (None, b"null"),
    ("x", b'"x"'),
    (0.1, b"0.1"),
    (1e22, b"1e+22"),
    (-0.0, b"-0.0"),
    (10 ** 20, b"100000000000000000000"),
    ([1, [2, {}], "q\"\\\t\x01"], b'[1,[2,{}],"q\\"\\\\\\t\\u0001"]'),
    ({"\u2028": "😀"}, '{"\u2028":"😀"}'.encode()),
    (DictSub(z=ListSub([None])), b'{"z":[null]}'),
])
def test_dumps_wire_exact_bytes(value, wire):
    assert remote.dumps_wire(value) == wire
    assert wire == json.dumps(value, ensure_ascii=False, allow_nan=False,
                              separators=(",", ":")).encode("utf-8")


@pytest.mark.parametrize("value", ["\udc00", {"\ud800": 1}, ["ok", "\udfff"]])
def test_dumps_wire_lets_unpaired_surrogates_fail_in_the_encoding(value):
    remote._json_value(value)
    with pytest.raises(UnicodeEncodeError):
        remote.dumps_wire(value)


def test_dumps_wire_looks_up_its_check_and_json(monkeypatch):
    seen = []
    monkeypatch.setattr(remote, "_json_value", lambda value: seen.append(value))
    assert remote.dumps_wire((1, 2)) == b"[1,2]"        # the rebound check lets a tuple through
    assert seen == [(1, 2)]

    class Json:
        @staticmethod
        def dumps(value, **options):
            return repr(sorted(options.items()))

    monkeypatch.setattr(remote, "json", Json)
    assert remote.dumps_wire({}) == b"[('allow_nan', False), ('ensure_ascii', False), ('separators', (',', ':'))]"


def test_codec_calls_what_the_modules_bind_now(monkeypatch):
    import math
    import types

    original = remote._json_value
    depths = []

    def traced(value, depth=0):
        depths.append(depth)
        return original(value, depth)

    monkeypatch.setattr(remote, "_json_value", traced)
    assert remote.dumps_wire([[1], {"a": [2]}]) == b'[[1],{"a":[2]}]'
    assert depths == [0, 1, 2, 1, 2, 3]
    monkeypatch.setattr(remote, "_json_value", original)

    monkeypatch.setattr(remote, "math", types.SimpleNamespace(isfinite=lambda x: x < 1))
    assert remote.dumps_wire(0.5) == b"0.5"
    with pytest.raises(ValueError, match="^non-finite JSON number$"):
        remote.dumps_wire([1.5])
    monkeypatch.setattr(remote, "math", math)

    loads, dumps = [], []
    monkeypatch.setattr(json, "loads", lambda *a, **k: loads.append(k) or json.JSONDecoder(**k).decode(*a))
    real_dumps = json.dumps
    monkeypatch.setattr(json, "dumps", lambda *a, **k: dumps.append(k) or real_dumps(*a, **k))
    assert remote.loads_strict('{"a": [1]}') == {"a": [1]}
    assert remote.dumps_wire({"a": "é"}) == '{"a":"é"}'.encode()
    assert [sorted(k) for k in loads] == [["object_pairs_hook", "parse_constant"]]
    assert dumps == [{"ensure_ascii": False, "allow_nan": False, "separators": (",", ":")}]
