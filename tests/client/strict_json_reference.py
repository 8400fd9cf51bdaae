"""The client's strict reading of gateway answers written in Python over the json module: the
reference that the client tests and the client benchmark hold _strict_json against."""
import json


def pairs(values):
    result = {}
    for key, value in values:
        if key in result:
            raise ValueError(f"duplicate JSON field: {key}")
        result[key] = value
    return result


def reject_constant(value):
    raise ValueError(f"invalid JSON number: {value}")


def reference_strict_json(data):
    return json.loads(data.decode("utf-8"), object_pairs_hook=pairs, parse_constant=reject_constant)
