// Exception raising and translation at the boundary between C++ bodies and the interpreter.
#include "qyb/python.h"

#include "qyb/errors.h"

#include <exception>
#include <new>

namespace qyb {

py::error_already_set take_error() {
    // error_already_set refuses an error whose type changes as it is normalised (the allocation
    // of the exception itself failing) and reports a SystemError in place of the MemoryError.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyErr_Restore(type, value, tb);
    return py::error_already_set();
}

void throw_error() { throw take_error(); }

void raise(PyObject* type, const char* message) {
    // Not PyErr_SetString: when the text cannot be made, it raises `type` with no argument in
    // place of the MemoryError, and a caller that handles `type` takes that for the refusal.
    PyObject* text = PyUnicode_FromString(message);
    if (text != nullptr) {
        PyErr_SetObject(type, text);
        Py_DECREF(text);
    }
    throw_error();
}

void raise(PyObject* type, py::handle message) {
    PyErr_SetObject(type, message.ptr());
    throw_error();
}

void raise_from(PyObject* type, py::handle message, py::handle cause) {
    py::object exc = py::reinterpret_steal<py::object>(PyObject_CallOneArg(type, message.ptr()));
    if (!exc) {
        throw_error();
    }
    raise_from(exc, cause);
}

void raise_from(py::handle exception, py::handle cause) {
    // SetCause steals its argument and also sets __suppress_context__.
    PyException_SetCause(exception.ptr(), Py_NewRef(cause.ptr()));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
    // PyErr_SetObject chains the exception the interpreter is handling, which is the caller's, if
    // any; inside the `except` that caught `cause`, Python chains `cause` itself.
    PyException_SetContext(exception.ptr(), Py_NewRef(cause.ptr()));
    throw_error();
}

void raise_object(py::handle exception) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
    throw_error();
}

void restore_current_exception() noexcept {
    try {
        throw;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        // A value pybind11 could not convert (make_tuple's cast_error) leaves the failure of that
        // conversion set, a MemoryError: it is the one to raise, not the RuntimeError that
        // set_error would put in its place.
        if (!PyErr_Occurred()) {
            e.set_error();
        }
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        // pybind11 reports a failed C API call (an allocation of its own objects) this way and
        // leaves that call's error set: it is the one to raise.
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, e.what());
        }
    }
}

namespace {

// The exception of the enclosing catch block as a Python error.
py::error_already_set caught_error() {
    try {
        throw;
    } catch (py::error_already_set& e) {
        return e;
    } catch (std::exception&) {
        restore_current_exception();
        return take_error();
    }
}

py::error_already_set raised(py::handle exception) {
    PyObject* tb = PyException_GetTraceback(exception.ptr());
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr()))), Py_NewRef(exception.ptr()), tb);
    return py::error_already_set();
}

}  // namespace

Except::Except() : caught_(caught_error()), previous_(PyErr_GetHandledException()) {
    PyErr_SetHandledException(caught_.value().ptr());
}

Except::Except(const py::error_already_set& caught) : caught_(caught), previous_(PyErr_GetHandledException()) {
    PyErr_SetHandledException(caught_.value().ptr());
}

Except::Except(py::handle exception) : caught_(raised(exception)), previous_(PyErr_GetHandledException()) {
    PyErr_SetHandledException(caught_.value().ptr());
}

Except::~Except() {
    PyErr_SetHandledException(previous_);
    Py_XDECREF(previous_);
}

}  // namespace qyb
