// The runtime's common ground: its failure class, the per-user paths, the management lock and
// the atomic writer and strict reader of its state files.
#include "qyb/python.h"

#include <cmath>

#include "client/settings_internal.h"
#include "runtime/runtime.h"

namespace remote::runtime {

using qyb::arg;
using qyb::name;

// ---------------------------------------------------------------------------------------
// Helpers of runtime.h

void fail(const qyb::Call& call, const char* message) {
    qyb::raise(call.global<"RemoteRuntimeError">().ptr(), message);
}

void fail_from(const qyb::Call& call, py::handle message, py::handle cause) {
    qyb::raise_from(call.global<"RemoteRuntimeError">().ptr(), message, cause);
}

py::object join(py::handle base, const char* part) {
    return qyb::steal(PyNumber_TrueDivide(base.ptr(), py::str(part).ptr()));
}

void remove_file(py::handle path) {
    qyb::call_method(path, name<"unlink">(), qyb::kw<"missing_ok">(py::bool_(true)));
}

void sleep(const qyb::Call& call, double seconds) {
    qyb::call_method(call.global<"time">(), name<"sleep">(), py::float_(seconds));
}

bool is_finite_time(py::handle value) {
    return qyb::is_int(value) || (PyFloat_Check(value.ptr()) && std::isfinite(PyFloat_AS_DOUBLE(value.ptr())));
}

bool is_text_of(py::handle value, Py_ssize_t low, Py_ssize_t high) {
    if (!PyUnicode_Check(value.ptr())) {
        return false;
    }
    Py_ssize_t length = PyUnicode_GET_LENGTH(value.ptr());
    return length >= low && length <= high;
}

double positive_seconds(py::handle value) {
    if (!qyb::is_real(value)) {
        return -1.0;
    }
    double seconds;
    try {
        seconds = qyb::to_double(value);
    } catch (py::error_already_set& e) {
        // An int too large for a float is no usable number of seconds either.
        if (!e.matches(PyExc_OverflowError)) {
            throw;
        }
        return -1.0;
    }
    return std::isfinite(seconds) && seconds > 0 ? seconds : -1.0;
}

bool valid_worker_names(py::handle names) {
    if (!PyList_Check(names.ptr()) || PyList_GET_SIZE(names.ptr()) > kMaxWorkers) {
        return false;
    }
    py::set seen;
    for (py::handle entry : names) {
        if (!is_text_of(entry, 1, kMaxWorkerChars) || qyb::check(PySet_Contains(seen.ptr(), entry.ptr()))) {
            return false;
        }
        seen.add(entry);
    }
    return true;
}

py::object read_record(const qyb::Call& call, py::handle path, const char* invalid_message) {
    py::object value = qyb::invoke(call.global<"_read_json">(), path);
    if (value.is_none()) {
        if (qyb::truthy(qyb::call_method(path, qyb::name<"exists">()))) {
            fail(call, invalid_message);
        }
        return py::object();
    }
    return value;
}

py::object field(py::handle record, const char* key) { return qyb::item(record, py::str(key)); }

namespace {

// ---------------------------------------------------------------------------------------
// Paths: computed from the home directory at every call, creating nothing.

py::object user_dir(const qyb::Call& call) {
    py::object home = qyb::call_method(call.global<"Path">(), name<"home">());
    return join(home, ".qybridge");
}

py::object runtime_dir(const qyb::Call& call) { return join(user_dir(call), "runtime"); }

qyb::FunctionDef runtime_dir_def() { return {.name = "_runtime_dir", .returns = "Path", .body = runtime_dir}; }

py::object registry_path(const qyb::Call& call) {
    return join(qyb::invoke(call.global<"_runtime_dir">()), "remote.json");
}

qyb::FunctionDef registry_path_def() { return {.name = "_registry_path", .returns = "Path", .body = registry_path}; }

py::object token_path(const qyb::Call& call) { return join(user_dir(call), "remote-server.json"); }

qyb::FunctionDef token_path_def() { return {.name = "_token_path", .returns = "Path", .body = token_path}; }

// ---------------------------------------------------------------------------------------
// The management lock
//
// `_guard` is contextlib.contextmanager applied to a native callable. A generator cannot be
// made without Python code, so the callable returns an object that behaves as the generator
// would: the first __next__ takes the lock and yields None; the next one releases it and ends
// with StopIteration; throw() releases it and raises the exception it was given, as a `try:
// yield / finally: release` does; close() and the object's finaliser release a lock still held.

constexpr long kNew = 0;
constexpr long kHeld = 1;
constexpr long kDone = 2;

void file_close(py::handle file) { qyb::call_method(file, name<"close">()); }

void seek_start(py::handle file) { qyb::call_method(file, name<"seek">(), py::int_(0)); }

// msvcrt.locking(file.fileno(), msvcrt.<mode>, 1) at the file's current position.
void lock_byte(const qyb::Call& call, py::handle file, py::handle mode_name) {
    py::object msvcrt = call.global<"msvcrt">();
    py::object mode = qyb::get(msvcrt, mode_name);
    qyb::call_method(msvcrt, name<"locking">(), qyb::call_method(file, name<"fileno">()), mode, py::int_(1));
}

// `path.mkdir(parents=True, exist_ok=True)`.
void make_dirs(py::handle path) {
    qyb::call_method(path, name<"mkdir">(), qyb::kw<"parents">(py::bool_(true)),
                     qyb::kw<"exist_ok">(py::bool_(true)));
}

// Opens the lock file and takes its first byte, waiting up to `timeout` seconds.
py::object acquire(const qyb::Call& call, py::handle timeout) {
    py::object directory = qyb::invoke(call.global<"_runtime_dir">());
    // Looking first spares the failed mkdir and its exception on every entry but the first.
    if (!qyb::truthy(qyb::call_method(directory, name<"is_dir">()))) {
        make_dirs(directory);
    }
    py::object file = qyb::invoke(call.global<"open">(), join(directory, "remote.lock"), py::str("a+b"));
    try {
        py::object end = qyb::call_method(file, name<"seek">(), py::int_(0), py::int_(2));
        if (qyb::equals(end, py::int_(0))) {
            qyb::call_method(file, name<"write">(), py::bytes("0", 1));
            qyb::call_method(file, name<"flush">());
        }
        double wait = qyb::to_double(timeout);
        double deadline = qyb::to_double(call.monotonic()) + wait;
        for (;;) {
            try {
                seek_start(file);
                lock_byte(call, file, name<"LK_NBLCK">());
                return file;
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_OSError)) {
                    throw;
                }
                qyb::Except handling(e);
                if (qyb::to_double(call.monotonic()) >= deadline) {
                    fail_from(call, py::str("timed out waiting for Remote Gateway lock"), e.value());
                }
            }
            sleep(call, 0.05);
        }
    } catch (std::exception&) {
        qyb::Except failure;
        file_close(file);
        failure.reraise();
    }
}

// Unlocks the first byte and closes the file; the file is closed also when the unlock fails.
void release(const qyb::Call& call, py::handle file) {
    qyb::finally(
        [&] {
            seek_start(file);
            lock_byte(call, file, name<"LK_UNLCK">());
        },
        [&] { file_close(file); });
}

long state_of(py::handle self) {
    long state = PyLong_AsLong(qyb::get(self, name<"_state">()).ptr());
    if (state == -1 && PyErr_Occurred()) {
        qyb::throw_error();
    }
    return state;
}

void set_state(py::handle self, long state) { qyb::set(self, name<"_state">(), py::int_(state)); }

// Marks the generator running for the length of `step`, as the interpreter does, so that a
// second thread cannot resume it meanwhile.
template <class F>
void running(py::handle self, F&& step) {
    if (qyb::truthy(qyb::get(self, name<"_running">()))) {
        qyb::raise(PyExc_ValueError, "generator already executing");
    }
    qyb::set(self, name<"_running">(), Py_True);
    qyb::finally(step, [&] { qyb::set(self, name<"_running">(), Py_False); });
}

// Ends a hold: the lock is released once, whatever the release raises.
void finish(const qyb::Call& call, py::handle self) {
    py::object file = qyb::get(self, name<"_file">());
    set_state(self, kDone);
    qyb::set(self, name<"_file">(), Py_None);
    release(call, file);
}

// The generator's next step: it yields None once, then ends with StopIteration, which is set
// and returned as a null result rather than thrown, since every `with` block ends that way.
py::object resume(const qyb::Call& call, py::handle self, py::handle value) {
    bool ended = true;
    running(self, [&] {
        switch (state_of(self)) {
        case kNew:
            if (!value.is_none()) {
                qyb::raise(PyExc_TypeError, "can't send non-None value to a just-started generator");
            }
            set_state(self, kDone);
            qyb::set(self, name<"_file">(), acquire(call, qyb::get(self, name<"_timeout">())));
            set_state(self, kHeld);
            ended = false;
            break;
        case kHeld:
            finish(call, self);
            break;
        default:
            break;
        }
    });
    if (ended) {
        PyErr_SetNone(PyExc_StopIteration);
        return py::object();
    }
    return py::none();
}

py::object generator_iter(const qyb::Call& call) {
    auto [self] = call.args<1>();
    return py::reinterpret_borrow<py::object>(self);
}

qyb::FunctionDef generator_iter_def() { return {.name = "__iter__", .params = {arg("self")}, .body = generator_iter}; }

py::object generator_next(const qyb::Call& call) {
    auto [self] = call.args<1>();
    return resume(call, self, py::none());
}

qyb::FunctionDef generator_next_def() { return {.name = "__next__", .params = {arg("self")}, .body = generator_next}; }

py::object generator_send(const qyb::Call& call) {
    auto [self, value] = call.args<2>();
    return resume(call, self, value);
}

qyb::FunctionDef generator_send_def() {
    return {.name = "send", .params = {arg("self"), arg("value")}, .body = generator_send};
}

// The exception that throw(typ, val, tb) raises, made as the interpreter makes it.
py::object exception_to_throw(py::handle type, py::handle value, py::handle traceback) {
    py::object exc;
    if (PyExceptionInstance_Check(type.ptr())) {
        if (!value.is_none()) {
            qyb::raise(PyExc_TypeError, "instance exception may not have a separate value");
        }
        exc = py::reinterpret_borrow<py::object>(type);
    } else if (PyExceptionClass_Check(type.ptr())) {
        bool instance = !value.is_none() && qyb::check(PyObject_IsInstance(value.ptr(), type.ptr()));
        if (instance) {
            exc = py::reinterpret_borrow<py::object>(value);
        } else if (value.is_none()) {
            exc = qyb::invoke(type);
        } else if (PyTuple_Check(value.ptr())) {
            exc = qyb::steal(PyObject_Call(type.ptr(), value.ptr(), nullptr));
        } else {
            exc = qyb::invoke(type, value);
        }
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type.ptr())->tp_name);
        qyb::throw_error();
    }
    if (!traceback.is_none()) {
        if (!PyTraceBack_Check(traceback.ptr())) {
            qyb::raise(PyExc_TypeError, "throw() third argument must be a traceback object");
        }
        qyb::check(PyException_SetTraceback(exc.ptr(), traceback.ptr()));
    }
    return exc;
}

py::object generator_throw(const qyb::Call& call) {
    auto [self, typ, val, tb] = call.args<4>();
    py::object exc = exception_to_throw(typ, val, tb);
    running(self, [&] {
        if (state_of(self) == kHeld) {
            qyb::Except handling(exc);
            finish(call, self);
        }
        set_state(self, kDone);
    });
    qyb::raise_object(exc);
}

qyb::FunctionDef generator_throw_def() {
    return {.name = "throw",
            .params = {arg("self"), arg("typ"), arg("val", py::none()), arg("tb", py::none())},
            .body = generator_throw};
}

py::object generator_close(const qyb::Call& call) {
    auto [self] = call.args<1>();
    running(self, [&] {
        if (state_of(self) == kHeld) {
            finish(call, self);
        }
        set_state(self, kDone);
    });
    return py::none();
}

qyb::FunctionDef generator_close_def() { return {.name = "close", .params = {arg("self")}, .body = generator_close}; }

// A hold that is dropped while it has the lock gives it back, as a generator's finaliser
// closes it.
py::object generator_del(const qyb::Call& call) {
    auto [self] = call.args<1>();
    if (qyb::has(self, name<"_state">()) && state_of(self) == kHeld) {
        finish(call, self);
    }
    return py::none();
}

qyb::FunctionDef generator_del_def() { return {.name = "__del__", .params = {arg("self")}, .body = generator_del}; }

// The generator-like class is held by the function itself, so that `_guard.__dict__` keeps only
// what contextmanager and functools.wraps put there.
py::object guard(const qyb::Call& call) {
    auto [timeout] = call.args<1>();
    py::object hold = qyb::invoke(call.held(0));
    qyb::set(hold, name<"_timeout">(), timeout);
    qyb::set(hold, name<"_file">(), Py_None);
    qyb::set(hold, name<"_running">(), Py_False);
    set_state(hold, kNew);
    return hold;
}

qyb::FunctionDef guard_def(py::object hold_class) {
    return {.name = "_guard", .params = {arg("timeout", py::float_(10.0))}, .body = guard, .held = {hold_class}};
}

// ---------------------------------------------------------------------------------------
// State files

py::object atomic_json(const qyb::Call& call) {
    auto [path_arg, value] = call.args<2>();
    py::object path = qyb::invoke(call.global<"Path">(), path_arg);
    py::object text = qyb::call_method(call.global<"json">(), name<"dumps">(), value,
                                       qyb::kw<"ensure_ascii">(py::bool_(false)),
                                       qyb::kw<"separators">(py::make_tuple(",", ":")),
                                       qyb::kw<"allow_nan">(py::bool_(false)));
    py::object data = qyb::call_method(text, name<"encode">(), py::str("utf-8"));
    if (qyb::compare(py::int_(py::len(data)), call.global<"MAX_RUNTIME_BYTES">(), Py_GT)) {
        fail(call, "Remote Gateway state is too large");
    }
    py::object directory = qyb::get(path, name<"parent">());
    make_dirs(directory);

    py::object os = call.global<"os">();
    py::object pid = qyb::call_method(os, name<"getpid">());
    py::object suffix = qyb::get(qyb::call_method(call.global<"uuid">(), name<"uuid4">()), name<"hex">());
    py::object temp_name = py::str(".{}.{}.{}.tmp").format(qyb::get(path, name<"name">()), pid, suffix);
    py::object temp = qyb::steal(PyNumber_TrueDivide(directory.ptr(), temp_name.ptr()));
    qyb::finally(
        [&] {
            py::object file = qyb::invoke(call.global<"open">(), temp, py::str("xb"));
            qyb::finally(
                [&] {
                    qyb::call_method(file, name<"write">(), data);
                    qyb::call_method(file, name<"flush">());
                    qyb::call_method(os, name<"fsync">(), qyb::call_method(file, name<"fileno">()));
                },
                [&] { file_close(file); });
            settings::replace_file(call, temp, path);
        },
        [&] { remove_file(temp); });
    return py::none();
}

qyb::FunctionDef atomic_json_def() {
    return {.name = "_remote_runtime___atomic_json",
            .params = {arg("path", "Path"), arg("value")},
            .returns = "None",
            .body = atomic_json};
}

py::object read_json(const qyb::Call& call) {
    auto [path_arg] = call.args<1>();
    py::object path = qyb::invoke(call.global<"Path">(), path_arg);
    if (!qyb::truthy(qyb::call_method(path, name<"exists">()))) {
        return py::none();
    }
    py::object file_name = qyb::get(path, name<"name">());
    py::object limit = call.global<"MAX_RUNTIME_BYTES">();
    py::object size = qyb::get(qyb::call_method(path, name<"stat">()), name<"st_size">());
    if (qyb::compare(size, limit, Py_GT)) {
        qyb::raise(call.global<"RemoteRuntimeError">().ptr(), py::str("state file is too large: {}").format(file_name));
    }
    try {
        py::object data = qyb::call_method(path, name<"read_bytes">());
        return qyb::invoke(call.global<"loads_strict">(), data, qyb::kw<"max_bytes">(limit));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) {
            throw;
        }
        qyb::Except handling(e);
        fail_from(call, py::str("invalid state file {}: {}").format(file_name, e.value()), e.value());
    }
}

qyb::FunctionDef read_json_def() { return {.name = "_read_json", .params = {arg("path", "Path")}, .body = read_json}; }

}  // namespace

void define_state(qyb::Part& p) {
    p.bind("RemoteRuntimeError", qyb::make_exception(p.module(), "RemoteRuntimeError", PyExc_RuntimeError));
    p.def(runtime_dir_def());
    p.def(registry_path_def());
    p.def(token_path_def());

    qyb::ClassBuilder hold(p.module(), "_guard_generator");
    hold.method(generator_iter_def())
        .method(generator_next_def())
        .method(generator_send_def())
        .method(generator_throw_def())
        .method(generator_close_def())
        .method(generator_del_def());
    py::object hold_class = p.step("class _guard_generator", std::source_location::current(),
                                   [&] { return hold.build(); });
    py::object generator = qyb::make_function(guard_def(hold_class), p.module());
    p.bind("_guard", p.step("_guard = contextmanager(_guard)", std::source_location::current(),
                            [&] { return qyb::invoke(p.get("contextmanager"), generator); }));

    p.def(atomic_json_def());
    p.def(read_json_def());
}

}  // namespace remote::runtime
