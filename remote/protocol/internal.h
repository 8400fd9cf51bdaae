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
inline py::object call_with_keywords(PyObject* cls, PyObject* mapping) {
    py::object kwargs = py::reinterpret_borrow<py::object>(mapping);
    if (!PyDict_CheckExact(mapping)) {
        kwargs = steal(PyDict_New());
        if (PyDict_Merge(kwargs.ptr(), mapping, 1) < 0) {
            qyb::throw_error();
        }
    }
    return qyb::invoke_keywords(cls, kwargs);
}

// A dict of a JSON object's (key, value) pairs, in order; a repeated key raises ValueError with
// `duplicate` (a PyUnicode_FromFormat text with one %U) formatted with the key.
py::object unique_object(PyObject* pairs, const char* duplicate);

// `n > limit` for a length and any limit object, as the interpreter compares them.
bool length_above(Py_ssize_t n, PyObject* limit);

// ValueError "invalid " + format(label, "") + suffix.
[[noreturn]] void refuse_field(PyObject* label, const char* suffix = "");

// `_string`'s body, and its core for a caller that builds the label only for a refusal.
py::object string_body(const qyb::Call& call);
bool string_passes(PyObject* value, PyObject* limit, PyObject* allow_empty);

// Calls of the module functions, as a Python body naming them would make them: each runs the
// function's C++ core while the module's name still refers to the original (Call::shortcut).
py::object call_object(const qyb::Call& call, PyObject* value, PyObject* keys, PyObject* label);
void call_string(const qyb::Call& call, PyObject* value, PyObject* label, PyObject* limit,
                 bool allow_empty);
// Label null: the function's own default ("request_id").
void call_request_id(const qyb::Call& call, PyObject* value, PyObject* label = nullptr);
bool call_identifier(const qyb::Call& call, PyObject* value);
void call_json_value(const qyb::Call& call, PyObject* value);

// A frozenset of the given names, made once by the caller and kept for the process.
PyObject* frozen_set_of(std::initializer_list<py::handle> items);

}  // namespace remote::protocol
