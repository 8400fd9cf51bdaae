"""The strict reader's hooks written in Python over the json module: the reference that the
tests and the codec benchmark hold loads_strict against."""
import json


def unique_object(pairs):
    result = {}
    for key, value in pairs:
        if key in result:
            raise ValueError(f"duplicate JSON key: {key}")
        result[key] = value
    return result


def refuse_constant(literal):
    raise ValueError(f"invalid number: {literal}")


def reference_loads(text):
    return json.loads(text, object_pairs_hook=unique_object, parse_constant=refuse_constant)
