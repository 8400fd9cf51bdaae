// Checked wrappers over the C API for native bodies: each throws error_already_set on failure,
// so a body reads like the Python it stands for.
#pragma once

#include "qyb/python.h"

#include <utility>

#include <pybind11/pybind11.h>

#include "qyb/errors.h"

namespace qyb {

namespace py = pybind11;

// A new reference from the C API as an owning object; throws when it is null.
inline py::object steal(PyObject* p) {
    if (p == nullptr) {
        throw_error();
    }
    return py::reinterpret_steal<py::object>(p);
}

// A C API status (-1 with an error set, else 0 or 1) as a bool.
inline bool check(int status) {
    if (status < 0) {
        throw_error();
    }
    return status != 0;
}

// Python's numbers, not C's: `PyLong_Check(True)` holds, so these leave bool out.
// An int that is not a bool, and an int or float that is not a bool.
inline bool is_int(py::handle value) { return PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr()); }
inline bool is_real(py::handle value) { return is_int(value) || PyFloat_Check(value.ptr()); }

// `bool(value)`.
inline bool truthy(py::handle value) { return check(PyObject_IsTrue(value.ptr())); }

// `obj.attr` and `obj.attr = value` for an interned name.
inline py::object get(py::handle obj, py::handle attr) { return steal(PyObject_GetAttr(obj.ptr(), attr.ptr())); }
inline void set(py::handle obj, py::handle attr, py::handle value) {
    check(PyObject_SetAttr(obj.ptr(), attr.ptr(), value.ptr()));
}

// `mapping.get(key)`: None for a missing key. A dict is read directly; any other mapping's own
// `get` is called, so a defaultdict gains no key.
py::object get_or_none(py::handle mapping, py::handle key);

// `d[key] = value` for an exact dict.
inline void dict_set(py::handle d, py::handle key, py::handle value) {
    check(PyDict_SetItem(d.ptr(), key.ptr(), value.ptr()));
}

// `item in container`.
inline bool contains(py::handle container, py::handle item) {
    return check(PySequence_Contains(container.ptr(), item.ptr()));
}

// `mapping[key]` and `mapping[key] = value`.
inline py::object item(py::handle mapping, py::handle key) { return steal(PyObject_GetItem(mapping.ptr(), key.ptr())); }
inline void set_item(py::handle mapping, py::handle key, py::handle value) {
    check(PyObject_SetItem(mapping.ptr(), key.ptr(), value.ptr()));
}

// The truth of `a <op> b` (Py_EQ, Py_LT, ...), and `a == b`.
inline bool compare(py::handle a, py::handle b, int op) { return check(PyObject_RichCompareBool(a.ptr(), b.ptr(), op)); }
inline bool equals(py::handle a, py::handle b) { return compare(a, b, Py_EQ); }
// `value == "text"`.
inline bool equals(py::handle value, const char* text) { return equals(value, py::str(text)); }

// `f(args...)` through vectorcall, with no tuple of our own.
template <class... A>
py::object invoke(py::handle f, const A&... args) {
    PyObject* argv[] = {nullptr, py::handle(args).ptr()...};
    return steal(PyObject_Vectorcall(f.ptr(), argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     nullptr));
}

// `f(**kwargs)` for a dict of keyword arguments.
inline py::object invoke_keywords(py::handle f, py::handle kwargs) {
    py::object no_args = steal(PyTuple_New(0));
    return steal(PyObject_Call(f.ptr(), no_args.ptr(), kwargs.ptr()));
}

// `obj.<method>(args...)`, without making a bound method.
template <class... A>
py::object call_method(py::handle obj, py::handle method, const A&... args) {
    PyObject* argv[] = {obj.ptr(), py::handle(args).ptr()...};
    return steal(PyObject_VectorcallMethod(method.ptr(), argv, 1 + sizeof...(A), nullptr));
}

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
            throw_error();
        }
    }
    return value;
}

}  // namespace qyb
