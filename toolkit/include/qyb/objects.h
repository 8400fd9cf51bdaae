// Checked wrappers over the C API for native bodies: each throws error_already_set on failure,
// so a body reads like the Python it stands for.
#pragma once

#include <Python.h>

#include <utility>

#include <pybind11/pybind11.h>

namespace qyb {

namespace py = pybind11;

// A new reference from the C API as an owning object; throws when it is null.
inline py::object steal(PyObject* p) {
    if (p == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(p);
}

// A C API status (-1 with an error set, else 0 or 1) as a bool.
inline bool check(int status) {
    if (status < 0) {
        throw py::error_already_set();
    }
    return status != 0;
}

// `bool(value)`.
inline bool truthy(py::handle value) { return check(PyObject_IsTrue(value.ptr())); }

// The error being raised, normalised, with its traceback attached; the indicator is cleared.
py::object fetch_exception();

// `a, b = value`, with the interpreter's messages for a wrong shape.
std::pair<py::object, py::object> unpack_pair(py::handle value);

// An int made once and kept for the process, for fixed limits.
template <long N>
PyObject* int_constant() {
    static PyObject* value = nullptr;
    if (value == nullptr) {
        value = PyLong_FromLong(N);
        if (value == nullptr) {
            throw py::error_already_set();
        }
    }
    return value;
}

}  // namespace qyb
