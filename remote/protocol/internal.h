// Helpers shared by the protocol files: the calls through which a body reaches the validators
// and the plain-JSON check.
#pragma once

#include "qyb/python.h"

#include <initializer_list>

#include "qyb/toolkit.h"

namespace remote::protocol {

namespace py = pybind11;

using qyb::fetch_exception;
using qyb::int_constant;
using qyb::steal;

// `cls(**mapping)`.
inline py::object call_with_keywords(PyObject* cls, PyObject* mapping) { return qyb::invoke_keywords(cls, mapping); }

// A dict of a JSON object's (key, value) pairs, in order; a repeated key raises ValueError with
// `duplicate` (a PyUnicode_FromFormat text with one %U) formatted with the key.
py::object unique_object(PyObject* pairs, const char* duplicate);

// `n > limit` for a length and any limit object, as the interpreter compares them.
bool length_above(Py_ssize_t n, PyObject* limit);

// ValueError "invalid " + format(label, "") + suffix.
[[noreturn]] void refuse_field(PyObject* label, const char* suffix = "");

// The bodies of the module functions that other bodies call. A body names one as a Python body
// would, `call.shortcut<"_string">(string_body)(value, label, limit)`: the original's body runs
// in place, with the original's current defaults, while the module's name still refers to it.
py::object object_body(const qyb::Call& call);
py::object string_body(const qyb::Call& call);
py::object request_id_body(const qyb::Call& call);
py::object identifier_body(const qyb::Call& call);
py::object json_value_body(const qyb::Call& call);

// `_string`'s core, for a caller that builds the label only for a refusal; and the keyword of
// `_string(..., allow_empty=True)`, for Shortcut::keywords.
bool string_passes(PyObject* value, PyObject* limit, PyObject* allow_empty);
PyObject* allow_empty_keyword();

// A frozenset of the given names, made once by the caller and kept for the process.
PyObject* frozen_set_of(std::initializer_list<py::handle> items);

}  // namespace remote::protocol
