"""Properties of the codec on generated input: it reads what json reads, refuses only with the
documented errors, and what it writes reads back equal."""
import json

from hypothesis import given, settings, strategies as st

from qybridge4.cli import remote

from json_reference import refuse_constant, unique_object

LIMIT = 4096
SETTINGS = settings(max_examples=300, deadline=None)




def reference(payload):
    """What loads_strict must do, step by step, with json and Python hooks."""
    if isinstance(payload, bytes):
        if len(payload) > LIMIT:
            raise ValueError("JSON payload is too large")
        try:
            text = payload.decode("utf-8")
        except UnicodeDecodeError:
            raise ValueError("JSON payload must be UTF-8") from None
    else:
        text = payload
    if len(text.encode("utf-8")) > LIMIT:
        raise ValueError("JSON payload is too large")
    try:
        return json.loads(text, object_pairs_hook=unique_object, parse_constant=refuse_constant)
    except json.JSONDecodeError as exc:
        raise ValueError(f"invalid JSON: {exc.msg}") from exc


def same_outcome(payload):
    try:
        expected = reference(payload)
    except (ValueError, RecursionError) as exc:
        expected_error = exc
    else:
        expected_error = None
    try:
        result = remote.loads_strict(payload, max_bytes=LIMIT)
    except (ValueError, TypeError, RecursionError) as exc:
        assert expected_error is not None, f"refused {payload!r}: {exc!r}"
        assert type(exc) is type(expected_error)
        assert str(exc) == str(expected_error)
        return
    assert expected_error is None, f"accepted {payload!r}"
    assert repr(result) == repr(expected)
    # What was read can be written and reads back equal (infinities from 1e400 aside).
    try:
        wire = remote.dumps_wire(result)
    except ValueError as exc:
        assert str(exc) in ("non-finite JSON number", "JSON value nesting is too deep")
        return
    assert remote.loads_strict(wire, max_bytes=len(wire)) == result


# Near-JSON text: the punctuation, literals and escapes that the decoder cares about.
near_json = st.text(
    alphabet=st.sampled_from(list('{}[]":,  \t\n-+.0123456789eEtrufalsnNIiy\\u"aé\x01\ud800\ufeff')),
    max_size=60)

scalars = st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False, allow_infinity=False) | st.text(max_size=8)
values = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=4), inner, max_size=4),
    max_leaves=20)


@SETTINGS
@given(st.binary(max_size=80))
def test_arbitrary_bytes(payload):
    same_outcome(payload)


@SETTINGS
@given(near_json)
def test_near_json_text(text):
    same_outcome(text)
    try:
        data = text.encode("utf-8")
    except UnicodeEncodeError:
        return
    same_outcome(data)


@SETTINGS
@given(values, st.data())
def test_documents_with_repeated_keys(value, data):
    text = json.dumps(value, ensure_ascii=data.draw(st.booleans()))
    same_outcome(text)
    # Repeat the first member of an object by splicing it in again after the opening brace.
    at = text.find('{"')
    if at >= 0:
        end = text.find(",", at)
        close = text.find("}", at)
        stops = [x for x in (end, close) if x >= 0]  # '{"' may stand inside a string, as in "{"
        member = text[at + 1:min(stops)] if stops else ""
        if ":" in member:
            same_outcome(text[:at + 1] + member + "," + text[at + 1:])


@SETTINGS
@given(values)
def test_written_values_read_back_equal(value):
    wire = remote.dumps_wire(value)
    assert wire == json.dumps(value, ensure_ascii=False, allow_nan=False,
                              separators=(",", ":")).encode("utf-8")
    assert remote.loads_strict(wire, max_bytes=len(wire)) == value
