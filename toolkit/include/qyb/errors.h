// Raising Python exceptions from C++ bodies, and turning C++ exceptions back into a set error.
#pragma once

#include "qyb/python.h"

#include <pybind11/pybind11.h>

namespace qyb {

namespace py = pybind11;

// Throws error_already_set for the error that is set now (a C API call failed). The error is
// normalised first: error_already_set refuses one whose type changes as it is normalised (the
// allocation of the exception itself failing) and reports a SystemError in place of the
// MemoryError.
[[noreturn]] void throw_error();

// Sets `type(message)` as the current error and throws error_already_set.
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise(PyObject* type, py::handle message);

// As `raise type(message) from cause` and `raise exception from cause` inside the `except` that
// caught `cause`: `cause` is also the __context__, whatever exception the caller is handling.
[[noreturn]] void raise_from(PyObject* type, py::handle message, py::handle cause);
[[noreturn]] void raise_object_from(py::handle exception, py::handle cause);

// Raises an instance already made (`raise exc`).
[[noreturn]] void raise_object(py::handle exception);

// Called from a `catch (std::exception&)` block: sets the Python error that the active C++
// exception stands for. Every boundary between C++ bodies and the interpreter goes through it.
//
// Boundaries catch std::exception, never `...`: everything the bodies throw (pybind11's
// error_already_set and builtin_exception, std::bad_alloc) derives from it, while the unwind
// with which the C runtime ends a thread does not. The interpreter ends its daemon threads that
// way at exit, and catching that unwind aborts the process.
void restore_current_exception() noexcept;

// While alive, the caught exception is the one being handled, as inside its `except` clause:
// errors raised meanwhile get it as their __context__, and sys.exc_info() sees it.
class Handling {
public:
    explicit Handling(const py::error_already_set& e) : previous_(PyErr_GetHandledException()) {
        PyErr_SetHandledException(e.value().ptr());
    }
    ~Handling() {
        PyErr_SetHandledException(previous_);
        Py_XDECREF(previous_);
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyObject* previous_;
};

// True when the error currently held by `e` is an instance of `type`.
inline bool matches(const py::error_already_set& e, PyObject* type) { return e.matches(type); }

}  // namespace qyb
