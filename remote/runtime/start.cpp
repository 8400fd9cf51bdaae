// Starting the gateway as a background process: reuse of a live registered gateway, the
// administrator token, the child process, its readiness and its registration.
#include "qyb/python.h"

#include <algorithm>

#include "runtime/runtime.h"

namespace remote::runtime {
namespace {

using qyb::kwonly;
using qyb::name;

constexpr double kPollPause = 0.05;

// `from ..param import VERSION`, run at every call against the module's own package.
py::object import_version(const qyb::Call& call) {
    py::object fromlist = py::make_tuple("VERSION");
    py::object param = qyb::steal(PyImport_ImportModuleLevelObject(py::str("param").ptr(), call.globals().ptr(),
                                                                   nullptr, fromlist.ptr(), 2));
    return qyb::import_name(param, "VERSION");
}

// The managed worker names as a new list; none, or anything empty, is no names.
py::list worker_list(const qyb::Call& call, py::handle value) {
    py::list names;
    if (qyb::truthy(value)) {
        names = py::reinterpret_borrow<py::list>(qyb::steal(PySequence_List(value.ptr())));
    }
    if (!valid_worker_names(names)) {
        fail(call, "invalid managed worker list");
    }
    return names;
}

// Outside Windows the creation flags do not exist and a non-zero `creationflags` is refused;
// a session of its own gives the child the same detachment there.
py::object creation_options(py::handle subprocess) {
    py::object devnull = qyb::get(subprocess, name<"DEVNULL">());
    py::object options = qyb::dict_of({{name<"stdin">(), devnull},
                                       {name<"stdout">(), devnull},
                                       {name<"stderr">(), devnull},
                                       {name<"shell">(), Py_False}});
    if (qyb::has(subprocess, name<"CREATE_NO_WINDOW">()) && qyb::has(subprocess, name<"CREATE_NEW_PROCESS_GROUP">())) {
        py::object flags = qyb::steal(PyNumber_Or(qyb::get(subprocess, name<"CREATE_NO_WINDOW">()).ptr(),
                                                  qyb::get(subprocess, name<"CREATE_NEW_PROCESS_GROUP">()).ptr()));
        qyb::dict_set(options, name<"creationflags">(), flags);
    } else {
        qyb::dict_set(options, name<"start_new_session">(), Py_True);
    }
    return options;
}

// Terminates the child without waiting for it; a process that is gone or out of reach is left.
void terminate(const qyb::Call& call, py::handle pid) {
    py::object psutil = call.global<"psutil">();
    try {
        qyb::call_method(qyb::call_method(psutil, name<"Process">(), pid), name<"terminate">());
    } catch (py::error_already_set& e) {
        if (!e.matches(qyb::get(psutil, name<"Error">()).ptr())) {
            throw;
        }
    }
}

// Waits until the child answers as the new instance, ends, or the deadline passes.
void wait_until_ready(const qyb::Call& call, py::handle child, py::handle record, double timeout) {
    double deadline = qyb::to_double(call.monotonic()) + timeout;
    py::object health = call.global<"_health">();
    py::object failure_class = call.global<"RemoteRuntimeError">();
    for (;;) {
        if (!qyb::call_method(child, name<"poll">()).is_none()) {
            fail(call, "Remote Gateway exited before becoming ready");
        }
        double probe = std::min(1.0, std::max(0.1, deadline - qyb::to_double(call.monotonic())));
        try {
            qyb::invoke(health, record, qyb::kw<"timeout">(py::float_(probe)));
            return;
        } catch (py::error_already_set& e) {
            if (!e.matches(failure_class.ptr())) {
                throw;
            }
            if (qyb::to_double(call.monotonic()) >= deadline) {
                qyb::Except handling(e);
                fail(call, "Remote Gateway start timed out");
            }
        }
        sleep(call, kPollPause);
    }
}

// What start_gateway was given, checked.
struct Start {
    py::handle host;
    py::handle port;
    py::handle public_url;
    py::handle token;
    py::handle popen;
    py::object version;
    py::list workers;
    double timeout;
};

py::object start_locked(const qyb::Call& call, const Start& start) {
    py::object registry = qyb::invoke(call.global<"_read_registry">());
    if (!registry.is_none()) {
        if (qyb::truthy(qyb::invoke(call.global<"_pid_matches">(), registry))) {
            qyb::invoke(call.global<"_health">(), registry, qyb::kw<"timeout">(py::float_(1.0)));
            return py::make_tuple(qyb::invoke(call.global<"_public">(), registry), py::none());
        }
        remove_file(qyb::invoke(call.global<"_registry_path">()));
    }

    py::object generated = py::none();
    bool store_generated = false;
    if (!start.token.is_none()) {
        qyb::invoke(call.global<"set_server_token">(), start.token);
    } else if (!qyb::truthy(qyb::invoke(call.global<"has_server_token">()))) {
        generated = qyb::invoke(call.global<"generate_token">());
        store_generated = true;
    }
    auto revoke_generated = [&] {
        if (!generated.is_none()) {
            qyb::invoke(call.global<"revoke_server_token">());
        }
    };

    // A token this call generated is known to nobody else: whatever fails (an interrupt
    // included) from its storing until the child exists takes it back.
    py::object instance_id;
    py::object child;
    try {
        if (store_generated) {
            qyb::invoke(call.global<"set_server_token">(), generated);
        }
        instance_id = qyb::get(qyb::call_method(call.global<"uuid">(), name<"uuid4">()), name<"hex">());
        py::list argv;
        argv.append(qyb::get(call.global<"sys">(), name<"executable">()));
        for (const char* word : {"-m", "qybridge4", "__remote_gateway__", "--host"}) {
            argv.append(py::str(word));
        }
        argv.append(start.host);
        argv.append(py::str("--port"));
        argv.append(qyb::steal(PyNumber_ToBase(start.port.ptr(), 10)));
        argv.append(py::str("--instance"));
        argv.append(instance_id);
        child = qyb::invoke(start.popen, argv, qyb::keywords(creation_options(call.global<"subprocess">())));
    } catch (std::exception&) {
        qyb::Except failure;
        revoke_generated();
        failure.reraise();
    }

    try {
        py::object pid = qyb::get(child, name<"pid">());
        py::object process = qyb::call_method(call.global<"psutil">(), name<"Process">(), pid);
        py::object record = qyb::dict_of({
            {name<"schema_version">(), call.global<"_remote_runtime__SCHEMA_VERSION">()},
            {name<"instance_id">(), instance_id},
            {name<"pid">(), pid},
            {name<"process_create_time">(), qyb::call_method(process, name<"create_time">())},
            {name<"host">(), start.host},
            {name<"port">(), start.port},
            {name<"public_url">(), start.public_url},
            {name<"started_at">(), qyb::call_method(call.global<"time">(), name<"time">())},
            {name<"package_version">(), start.version},
            {name<"managed_workers">(), start.workers},
        });
        wait_until_ready(call, child, record, start.timeout);
        qyb::invoke(call.global<"_remote_runtime___atomic_json">(), qyb::invoke(call.global<"_registry_path">()),
                    record);
        return py::make_tuple(qyb::invoke(call.global<"_public">(), record), generated);
    } catch (std::exception&) {
        qyb::Except failure;
        terminate(call, qyb::get(child, name<"pid">()));
        revoke_generated();
        failure.reraise();
    }
}

py::object start_gateway(const qyb::Call& call) {
    auto [host, port, public_url, token, managed_workers, timeout_value, popen] = call.args<7>();
    py::object version = import_version(call);
    if (!is_text_of(host, 1, PY_SSIZE_T_MAX) || !qyb::is_int(port) ||
        !qyb::compare(port, py::int_(1), Py_GE) || !qyb::compare(port, py::int_(65535), Py_LE)) {
        fail(call, "invalid Remote Gateway address");
    }
    double timeout = positive_seconds(timeout_value);
    if (timeout <= 0) {
        fail(call, "Remote Gateway start timeout must be positive");
    }
    py::list workers = worker_list(call, managed_workers);
    // The registry reader takes only none or text here: anything else would lock every later
    // management call out.
    if (!public_url.is_none() && !PyUnicode_Check(public_url.ptr())) {
        fail(call, "invalid Remote Gateway public URL");
    }
    Start start{host, port, public_url, token, popen, version, workers, timeout};
    return with_guard(call, [&]() -> py::object { return start_locked(call, start); });
}

qyb::FunctionDef start_gateway_def(qyb::Part& p) {
    return {.name = "start_gateway",
            .params = {kwonly("host", py::str("127.0.0.1")), kwonly("port", py::int_(8765)),
                       kwonly("public_url", py::none()), kwonly("token", py::none()),
                       kwonly("managed_workers", py::none()), kwonly("timeout", py::float_(15.0)),
                       kwonly("popen", qyb::get(p.get("subprocess"), name<"Popen">()))},
            .body = start_gateway};
}

}  // namespace

void define_start(qyb::Part& p) { p.def(start_gateway_def(p)); }

}  // namespace remote::runtime
