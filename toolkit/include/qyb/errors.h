// Raising Python exceptions from C++ bodies, and turning C++ exceptions back into a set error.
#pragma once

#include "qyb/python.h"

#include <exception>
#include <type_traits>

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

// `raise type(message) from cause` and `raise exception from cause`, as written inside the
// `except` that caught `cause`: `cause` is also the __context__, whatever the caller is handling.
[[noreturn]] void raise_from(PyObject* type, py::handle message, py::handle cause);
[[noreturn]] void raise_from(py::handle exception, py::handle cause);

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

// The error set now (a C API call failed), normalised, taken out of the indicator as a C++
// exception object; throw_error() throws it.
py::error_already_set take_error();

// `except`: while alive, a caught exception is the one being handled, as inside its `except`
// clause. What is raised meanwhile gets it as its __context__, sys.exc_info() sees it, and
// reraise() is the bare `raise`.
//
//     } catch (py::error_already_set& e) {        // except OSError as e:
//         if (!e.matches(PyExc_OSError)) throw;
//         qyb::Except handling(e);
//         ...                                     //     whatever this raises chains e
//     }
//     } catch (std::exception&) {                 // except BaseException:
//         qyb::Except failure;                    //     a C++ failure (bad_alloc) is made its
//         close(file);                            //     Python error first
//         failure.reraise();                      //     raise
//     }
//
// Made in a catch block, it shares the caught error, never sets it: `throw;` there is as good
// as reraise().
class Except {
public:
    // The exception of the enclosing catch block, whatever C++ exception it is.
    Except();
    explicit Except(const py::error_already_set& caught);
    // An exception object that was not raised here: a failure meanwhile chains it, as when it
    // is thrown into a generator whose clean-up fails.
    explicit Except(py::handle exception);
    ~Except();
    Except(const Except&) = delete;
    Except& operator=(const Except&) = delete;

    const py::object& value() const { return caught_.value(); }
    bool matches(py::handle type) const { return caught_.matches(type); }
    // `raise`: the same exception again, its traceback and context as they are.
    [[noreturn]] void reraise() const { throw caught_; }

private:
    py::error_already_set caught_;
    PyObject* previous_;
};

// `finally`: runs `body`, then `cleanup`, also when `body` fails; the failure is then the
// exception being handled while `cleanup` runs, and raised again after it. A failure of
// `cleanup` itself is raised in its place, with the first as its __context__. Returns what
// `body` returns.
//
//     qyb::finally([&] { serve_forever(server); }, [&] { server_close(server); });
template <class Body, class Cleanup>
auto finally(Body&& body, Cleanup&& cleanup) -> decltype(body());

// True when the error currently held by `e` is an instance of `type`.
inline bool matches(const py::error_already_set& e, PyObject* type) { return e.matches(type); }

template <class Body, class Cleanup>
auto finally(Body&& body, Cleanup&& cleanup) -> decltype(body()) {
    if constexpr (std::is_void_v<decltype(body())>) {
        try {
            body();
        } catch (std::exception&) {
            Except failure;
            cleanup();
            failure.reraise();
        }
        cleanup();
    } else {
        auto result = [&]() -> decltype(body()) {
            try {
                return body();
            } catch (std::exception&) {
                Except failure;
                cleanup();
                failure.reraise();
            }
        }();
        cleanup();
        return result;
    }
}

}  // namespace qyb
