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

py::object not_stopped() { return qyb::dict_of({{name<"stopped">(), Py_False}}); }

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
        qyb::invoke(call.global<"_health">(), registry, qyb::kw<"timeout">(py::float_(1.0)));
        return public_record(call, registry);
    });
}

qyb::FunctionDef status_gateway_def() { return {.name = "status_gateway", .body = status_gateway}; }

py::object registered_gateway(const qyb::Call& call) {
    auto [include_stale] = call.args<1>();
    return with_guard(call, [&]() -> py::object {
        py::object registry = read_registry(call);
        if (registry.is_none()) {
            return registry;
        }
        if (!pid_matches(call, registry) && !qyb::truthy(include_stale)) {
            delete_registry(call);
            return py::none();
        }
        return public_record(call, registry);
    });
}

qyb::FunctionDef registered_gateway_def() {
    return {.name = "registered_gateway",
            .params = {kwonly("include_stale", py::bool_(false))},
            .doc = "Return registered settings without requiring the HTTP endpoint to answer.",
            .body = registered_gateway};
}

py::object add_managed_worker(const qyb::Call& call) {
    auto [nickname] = call.args<1>();
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

qyb::FunctionDef add_managed_worker_def() {
    return {.name = "add_managed_worker", .params = {arg("nickname", "str")}, .body = add_managed_worker};
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
// looks at the process between them. The time-out it reports is the whole wait's, not a step's:
// `timeout_value` as given, `timeout` as seconds.
void wait_for_end(const qyb::Call& call, py::handle process, py::handle pid, py::handle timeout_value,
                  double timeout) {
    py::object psutil = call.global<"psutil">();
    double deadline = qyb::to_double(call.monotonic()) + timeout;
    for (;;) {
        double step = std::max(0.0, std::min(kWaitStep, deadline - qyb::to_double(call.monotonic())));
        try {
            qyb::call_method(process, name<"wait">(), qyb::kw<"timeout">(py::float_(step)));
            return;
        } catch (py::error_already_set& e) {
            if (!e.matches(qyb::get(psutil, name<"TimeoutExpired">()).ptr())) {
                throw;
            }
            if (ended(call, process)) {
                return;
            }
            if (qyb::to_double(call.monotonic()) >= deadline) {
                py::object expired = qyb::invoke(qyb::get(psutil, name<"TimeoutExpired">()), timeout_value,
                                                 qyb::kw<"pid">(pid));
                fail_from(call, py::str("Remote Gateway did not stop within the timeout"), expired);
            }
        }
    }
}

py::object stop_gateway(const qyb::Call& call) {
    auto [timeout_value] = call.args<1>();
    double timeout = positive_seconds(timeout_value);
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
        wait_for_end(call, process, pid, timeout_value, timeout);
        delete_registry(call);
        return qyb::dict_of({{name<"stopped">(), Py_True}, {name<"pid">(), pid}});
    });
}

qyb::FunctionDef stop_gateway_def() {
    return {.name = "stop_gateway", .params = {kwonly("timeout", py::float_(10.0))}, .body = stop_gateway};
}

}  // namespace

void define_management(qyb::Part& p) {
    p.def(status_gateway_def());
    p.def(registered_gateway_def());
    p.def(add_managed_worker_def());
    p.def(stop_gateway_def());
}

}  // namespace remote::runtime
