// Status, the registry as it stands, managed workers and stop of the registered gateway.
#include "qyb/python.h"

#include <algorithm>

#include "runtime/runtime.h"

namespace remote::runtime {
namespace {

using qyb::arg;
using qyb::kwonly;
using qyb::name;

constexpr double kWaitStep = 0.05;

py::object read_registry(const qyb::Call& call) { return qyb::invoke(call.global<"_read_registry">()); }

bool pid_matches(const qyb::Call& call, py::handle registry) {
    return qyb::truthy(qyb::invoke(call.global<"_pid_matches">(), registry));
}

void delete_registry(const qyb::Call& call) { remove_file(qyb::invoke(call.global<"_registry_path">())); }

py::object public_record(const qyb::Call& call, py::handle registry) {
    return qyb::invoke(call.global<"_public">(), registry);
}

py::object not_stopped() {
    py::dict result;
    result["stopped"] = py::bool_(false);
    return result;
}

py::object status_gateway(const qyb::Call& call) {
    return with_guard(call, [&]() -> py::object {
        py::object registry = read_registry(call);
        if (registry.is_none()) {
            fail(call, "Remote Gateway is not running");
        }
        if (!pid_matches(call, registry)) {
            delete_registry(call);
            fail(call, "Remote Gateway is not running");
        }
        call.global<"_health">()(registry, py::arg("timeout") = py::float_(1.0));
        return public_record(call, registry);
    });
}

py::object registered_gateway(const qyb::Call& call) {
    return with_guard(call, [&]() -> py::object {
        py::object registry = read_registry(call);
        if (registry.is_none()) {
            return registry;
        }
        if (!pid_matches(call, registry) && !qyb::truthy(call[0])) {
            delete_registry(call);
            return py::none();
        }
        return public_record(call, registry);
    });
}

py::object add_managed_worker(const qyb::Call& call) {
    py::handle nickname = call[0];
    // The registry reader refuses any other name: written, it would lock every later call out.
    if (!is_text_of(nickname, 1, kMaxWorkerChars)) {
        fail(call, "invalid managed worker list");
    }
    return with_guard(call, [&]() -> py::object {
        py::object registry = read_registry(call);
        if (registry.is_none() || !pid_matches(call, registry)) {
            fail(call, "Remote Gateway is not running");
        }
        py::object workers = field(registry, "managed_workers");
        if (!qyb::contains(workers, nickname)) {
            // The list is whatever _read_registry gave: its own length and append.
            Py_ssize_t count = PyObject_Size(workers.ptr());
            if (count < 0) {
                qyb::throw_error();
            }
            if (count >= kMaxWorkers) {
                fail(call, "Remote Gateway managed worker list is full");
            }
            if (PyList_CheckExact(workers.ptr())) {
                qyb::check(PyList_Append(workers.ptr(), nickname.ptr()));
            } else {
                qyb::call_method(workers, name<"append">(), nickname);
            }
            qyb::invoke(call.global<"_remote_runtime___atomic_json">(), qyb::invoke(call.global<"_registry_path">()),
                        registry);
        }
        return public_record(call, registry);
    });
}

// Whether the process has ended: gone from the table, or a zombie that only waits to be reaped.
bool ended(const qyb::Call& call, py::handle process) {
    py::object psutil = call.global<"psutil">();
    try {
        return qyb::equals(qyb::call_method(process, name<"status">()), qyb::get(psutil, name<"STATUS_ZOMBIE">()));
    } catch (py::error_already_set& e) {
        if (e.matches(qyb::get(psutil, name<"NoSuchProcess">()).ptr())) {
            return true;
        }
        throw;
    }
}

// Waits up to `timeout` seconds for the process to end. psutil's own wait reaps a child of this
// process but takes a zombie of another for a live process, so it waits in short steps and
// looks at the process between them. The time-out it reports is the whole wait's, not a step's.
void wait_for_end(const qyb::Call& call, py::handle process, py::handle pid, double timeout) {
    py::object psutil = call.global<"psutil">();
    double deadline = monotonic(call) + timeout;
    for (;;) {
        double step = std::max(0.0, std::min(kWaitStep, deadline - monotonic(call)));
        try {
            qyb::get(process, name<"wait">())(py::arg("timeout") = py::float_(step));
            return;
        } catch (py::error_already_set& e) {
            if (!e.matches(qyb::get(psutil, name<"TimeoutExpired">()).ptr())) {
                throw;
            }
            if (ended(call, process)) {
                return;
            }
            if (monotonic(call) >= deadline) {
                py::object expired = qyb::get(psutil, name<"TimeoutExpired">())(call[0], py::arg("pid") = pid);
                fail_from(call, py::str("Remote Gateway did not stop within the timeout"), expired);
            }
        }
    }
}

py::object stop_gateway(const qyb::Call& call) {
    double timeout = positive_seconds(call[0]);
    if (timeout <= 0) {
        fail(call, "Remote Gateway stop timeout must be positive");
    }
    return with_guard(call, [&]() -> py::object {
        py::object registry = read_registry(call);
        if (registry.is_none()) {
            return not_stopped();
        }
        if (!pid_matches(call, registry)) {
            delete_registry(call);
            return not_stopped();
        }
        py::object psutil = call.global<"psutil">();
        py::object pid = field(registry, "pid");
        py::object process;
        try {
            process = qyb::call_method(psutil, name<"Process">(), pid);
            qyb::call_method(process, name<"terminate">());
        } catch (py::error_already_set& e) {
            if (!e.matches(qyb::get(psutil, name<"NoSuchProcess">()).ptr())) {
                throw;
            }
            delete_registry(call);
            return not_stopped();
        }
        wait_for_end(call, process, pid, timeout);
        delete_registry(call);
        py::dict result;
        result["stopped"] = py::bool_(true);
        result["pid"] = pid;
        return result;
    });
}

}  // namespace

void define_management(qyb::Part& p) {
    p.def({.name = "status_gateway", .body = status_gateway});
    p.def({.name = "registered_gateway",
           .params = {kwonly("include_stale", py::bool_(false))},
           .doc = "Return registered settings without requiring the HTTP endpoint to answer.",
           .body = registered_gateway});
    p.def({.name = "add_managed_worker", .params = {arg("nickname", "str")}, .body = add_managed_worker});
    p.def({.name = "stop_gateway", .params = {kwonly("timeout", py::float_(10.0))}, .body = stop_gateway});
}

}  // namespace remote::runtime
