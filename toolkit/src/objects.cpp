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

py::object get(py::handle obj, py::handle attr, py::handle fallback) {
    // As builtins.getattr: a missing attribute of an ordinary class raises no AttributeError
    // to be cleared again.
    PyObject* value = nullptr;
    check(_PyObject_LookupAttr(obj.ptr(), attr.ptr(), &value));
    return value != nullptr ? py::reinterpret_steal<py::object>(value) : py::reinterpret_borrow<py::object>(fallback);
}

bool has(py::handle obj, py::handle attr) {
    PyObject* value = nullptr;
    const bool found = check(_PyObject_LookupAttr(obj.ptr(), attr.ptr(), &value));
    Py_XDECREF(value);
    return found;
}

py::object dict_of(std::initializer_list<std::pair<py::handle, py::handle>> pairs) {
    py::object d = steal(PyDict_New());
    for (const auto& [key, value] : pairs) {
        check(PyDict_SetItem(d.ptr(), key.ptr(), value.ptr()));
    }
    return d;
}

double to_double(py::handle value) {
    const double v = PyFloat_AsDouble(value.ptr());
    if (v == -1.0 && PyErr_Occurred()) {
        throw_error();
    }
    return v;
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

namespace {

// Takes the pending error out and hands its value to `reword`, which sets the error to raise in
// its place and returns true, or returns false to put the pending error back unchanged.
template <class Reword>
void reword_error(Reword reword) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (!reword(value)) {
        PyErr_Restore(type, value, tb);
        return;
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
}

}  // namespace

void merge_keywords(py::handle f, py::handle kwargs, py::handle mapping) {
    if (_PyDict_MergeEx(kwargs.ptr(), mapping.ptr(), 2) == 0) {
        return;
    }
    // The call's own rewording of the merge's failure: an AttributeError (no keys(), or one met
    // while reading) says the object is no mapping; the KeyError that the merge itself sets for a
    // repeated key is a keyword given twice. Anything else is the mapping's own error.
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        reword_error([&](PyObject* value) {
            if (value == nullptr || !PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(PyExc_AttributeError))) {
                return false;
            }
            if (PyObject* callee = _PyObject_FunctionStr(f.ptr())) {
                PyErr_Format(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s", callee,
                             Py_TYPE(mapping.ptr())->tp_name);
                Py_DECREF(callee);
            }
            return true;
        });
    } else if (PyErr_ExceptionMatches(PyExc_KeyError)) {
        reword_error([&](PyObject* value) {
            if (value == nullptr || !PyTuple_Check(value) || PyTuple_GET_SIZE(value) != 1) {
                return false;
            }
            if (PyObject* callee = _PyObject_FunctionStr(f.ptr())) {
                PyErr_Format(PyExc_TypeError, "%U got multiple values for keyword argument '%S'", callee,
                             PyTuple_GET_ITEM(value, 0));
                Py_DECREF(callee);
            }
            return true;
        });
    }
    throw_error();
}

void dict_update(py::handle d, py::handle mapping) {
    if (PyDict_Update(d.ptr(), mapping.ptr()) < 0) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Format(PyExc_TypeError, "'%.200s' object is not a mapping", Py_TYPE(mapping.ptr())->tp_name);
        }
        throw_error();
    }
}

namespace detail {

py::object keyword_dict(py::handle f, py::handle mapping) {
    if (PyDict_CheckExact(mapping.ptr())) {
        return py::reinterpret_borrow<py::object>(mapping);
    }
    py::object merged = steal(PyDict_New());
    merge_keywords(f, merged, mapping);
    return merged;
}

}  // namespace detail

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
