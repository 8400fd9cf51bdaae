// Helpers shared by the protocol files: the C++ cores of the validators and of the plain-JSON
// check, and the calls through which a body reaches them.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <tuple>

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
            throw py::error_already_set();
        }
    }
    py::object args = steal(PyTuple_New(0));
    return steal(PyObject_Call(cls, args.ptr(), kwargs.ptr()));
}

// The module's functions as their definitions made them. A body looks the name up in the
// module each time; while it still finds this object it runs the C++ core directly, otherwise
// it calls whatever is bound there. The references are strong and never dropped, so a freed
// address can never be mistaken for one of ours.
struct Natives {
    PyObject* object = nullptr;         // _object
    PyObject* string = nullptr;         // _string
    PyObject* request_id = nullptr;     // _request_id
    PyObject* identifier = nullptr;     // _identifier
    PyObject* json_value = nullptr;     // _json_value
    PyObject* unique_object = nullptr;  // _unique_object
    PyObject* uuid_class = nullptr;     // uuid.UUID, whose answer for canonical text is known
};
inline Natives natives;

inline void remember(PyObject*& slot, py::handle function) {
    Py_XSETREF(slot, Py_NewRef(function.ptr()));
}

// `n > limit` for a length and any limit object, as the interpreter compares them.
bool length_above(Py_ssize_t n, PyObject* limit);

// ValueError "invalid " + format(label, "") + suffix.
[[noreturn]] void refuse_field(PyObject* label, const char* suffix = "");

// Cores, with the semantics of the functions of the same name.
py::object object_core(PyObject* value, PyObject* keys, PyObject* label);
bool string_passes(PyObject* value, PyObject* limit, PyObject* allow_empty);
void request_id_core(const qyb::Call& call, PyObject* value, PyObject* label);
py::object identifier_core(PyObject* value);
void json_value_core(const qyb::Call& call, PyObject* value);

// Calls of the module functions, as a Python body naming them would make them.
py::object call_object(const qyb::Call& call, PyObject* value, PyObject* keys, PyObject* label);
void call_string(const qyb::Call& call, PyObject* value, PyObject* label, PyObject* limit,
                 bool allow_empty);
// Label null: the function's own default ("request_id").
void call_request_id(const qyb::Call& call, PyObject* value, PyObject* label = nullptr);
bool call_identifier(const qyb::Call& call, PyObject* value);
void call_json_value(const qyb::Call& call, PyObject* value);

// `bool(value)`.
inline bool truth(PyObject* value) { return qyb::truthy(value); }

// A frozenset of the given names, made once by the caller and kept for the process.
PyObject* frozen_set_of(std::initializer_list<py::handle> items);

// `a, b = item`, with the interpreter's messages for a wrong shape.
inline void unpack_pair(PyObject* item, py::object& first, py::object& second) {
    std::tie(first, second) = qyb::unpack_pair(item);
}

}  // namespace remote::protocol
