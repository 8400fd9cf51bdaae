// What the gateway runtime's files share: its failure, paths, its clock's sleep, checks of Python
// values, its record files and the management lock as a `with` block.
#pragma once

#include "qyb/python.h"

#include "parts.h"

namespace remote::runtime {

namespace py = pybind11;

// The registry's managed worker list: at most this many distinct names of 1 to 128 code points.
constexpr Py_ssize_t kMaxWorkers = 16;
constexpr Py_ssize_t kMaxWorkerChars = 128;

// `raise RemoteRuntimeError(message)`, and the same `from cause`.
[[noreturn]] void fail(const qyb::Call& call, const char* message);
[[noreturn]] void fail_from(const qyb::Call& call, py::handle message, py::handle cause);

// `base / part` on a path object.
py::object join(py::handle base, const char* part);

// `path.unlink(missing_ok=True)`.
void remove_file(py::handle path);

// `time.sleep(seconds)` through the module's `time`, as bound now.
void sleep(const qyb::Call& call, double seconds);

// A stored time: an int, or a finite float; never a bool.
bool is_finite_time(py::handle value);
// A str of `low` to `high` code points.
bool is_text_of(py::handle value, Py_ssize_t low, Py_ssize_t high);
// A list of at most kMaxWorkers distinct names, each a str of 1 to kMaxWorkerChars code points.
bool valid_worker_names(py::handle names);
// A positive, finite number of seconds (bool refused), or a negative value when it is not one.
double positive_seconds(py::handle value);

// `with _guard(): return body()`, through the module's `_guard` as bound now.
template <class F>
py::object with_guard(const qyb::Call& call, F&& body);

// `_read_json(path)` for a record file: null when no file exists. A file that holds JSON null
// reads as Python None, which is not a record either.
py::object read_record(const qyb::Call& call, py::handle path, const char* invalid_message);

// The registry record's `key`.
py::object field(py::handle record, const char* key);

// ---------------------------------------------------------------------------------------

template <class F>
py::object with_guard(const qyb::Call& call, F&& body) {
    py::object manager = qyb::invoke(call.global<"_guard">());
    py::handle type = reinterpret_cast<PyObject*>(Py_TYPE(manager.ptr()));
    py::object exit = qyb::get(type, qyb::name<"__exit__">());
    qyb::invoke(qyb::get(type, qyb::name<"__enter__">()), manager);
    py::object result;
    try {
        result = body();
    } catch (std::exception&) {
        qyb::Except failure;
        py::handle exc = failure.value();
        py::object traceback = py::reinterpret_steal<py::object>(PyException_GetTraceback(exc.ptr()));
        if (!traceback) {
            traceback = py::none();
        }
        py::handle exc_type = reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr()));
        if (qyb::truthy(qyb::invoke(exit, manager, exc_type, exc, traceback))) {
            return py::none();
        }
        failure.reraise();
    }
    qyb::invoke(exit, manager, py::none(), py::none(), py::none());
    return result;
}

}  // namespace remote::runtime
