// Checked wrappers over the C API that are too long to inline.
#include "qyb/python.h"

#include "qyb/objects.h"

#include "qyb/errors.h"
#include "qyb/names.h"

namespace qyb {

py::object fetch_exception() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr) {
        PyException_SetTraceback(value, tb);
    }
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return steal(value);
}

py::object get_or_none(py::handle mapping, py::handle key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* value = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (value == nullptr && PyErr_Occurred()) {
            throw_error();
        }
        return value == nullptr ? py::none() : py::reinterpret_borrow<py::object>(value);
    }
    return call_method(mapping, name<"get">(), key);
}

std::pair<py::object, py::object> unpack_pair(py::handle value) {
    PyObject* item = value.ptr();
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
        return {py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(item, 0)),
                py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(item, 1))};
    }
    PyObject* it = PyObject_GetIter(item);
    if (it == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(item)->tp_iter == nullptr &&
            !PySequence_Check(item)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(item)->tp_name);
        }
        throw_error();
    }
    py::object iterator = steal(it);
    py::object items[2];
    for (int i = 0; i < 2; ++i) {
        PyObject* v = PyIter_Next(it);
        if (v == nullptr) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            }
            throw_error();
        }
        items[i] = steal(v);
    }
    PyObject* extra = PyIter_Next(it);
    if (extra != nullptr) {
        Py_DECREF(extra);
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) {
        throw_error();
    }
    return {std::move(items[0]), std::move(items[1])};
}

}  // namespace qyb
