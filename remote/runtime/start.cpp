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
py::dict creation_options(py::handle subprocess) {
    py::object devnull = qyb::get(subprocess, name<"DEVNULL">());
    py::dict options;
    options["stdin"] = devnull;
    options["stdout"] = devnull;
    options["stderr"] = devnull;
    options["shell"] = py::bool_(false);
    if (py::hasattr(subprocess, "CREATE_NO_WINDOW") && py::hasattr(subprocess, "CREATE_NEW_PROCESS_GROUP")) {
        options["creationflags"] = qyb::steal(PyNumber_Or(subprocess.attr("CREATE_NO_WINDOW").ptr(),
                                                         subprocess.attr("CREATE_NEW_PROCESS_GROUP").ptr()));
    } else {
        options["start_new_session"] = py::bool_(true);
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
    double deadline = monotonic(call) + timeout;
    py::object health = call.global<"_health">();
    py::object failure_class = call.global<"RemoteRuntimeError">();
    for (;;) {
        if (!qyb::call_method(child, name<"poll">()).is_none()) {
            fail(call, "Remote Gateway exited before becoming ready");
        }
        double probe = std::min(1.0, std::max(0.1, deadline - monotonic(call)));
        try {
            health(record, py::arg("timeout") = py::float_(probe));
            return;
        } catch (py::error_already_set& e) {
            if (!e.matches(failure_class.ptr())) {
                throw;
            }
            if (monotonic(call) >= deadline) {
                try {
                    fail(call, "Remote Gateway start timed out");
                } catch (std::exception&) {
                    rethrow_with_context(e.value());
                }
            }
        }
        sleep(call, kPollPause);
    }
}

py::object start_locked(const qyb::Call& call, py::handle version, py::handle workers, double timeout) {
    py::handle host = call[0];
    py::handle port = call[1];
    py::handle token = call[3];
    py::object registry = qyb::invoke(call.global<"_read_registry">());
    if (!registry.is_none()) {
        if (qyb::truthy(qyb::invoke(call.global<"_pid_matches">(), registry))) {
            call.global<"_health">()(registry, py::arg("timeout") = py::float_(1.0));
            return py::make_tuple(qyb::invoke(call.global<"_public">(), registry), py::none());
        }
        remove_file(qyb::invoke(call.global<"_registry_path">()));
    }

    py::object generated = py::none();
    bool store_generated = false;
    if (!token.is_none()) {
        qyb::invoke(call.global<"set_server_token">(), token);
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
        argv.append(host);
        argv.append(py::str("--port"));
        argv.append(qyb::steal(PyNumber_ToBase(port.ptr(), 10)));
        argv.append(py::str("--instance"));
        argv.append(instance_id);
        child = qyb::steal(PyObject_Call(call[6].ptr(), py::make_tuple(argv).ptr(),
                                         creation_options(call.global<"subprocess">()).ptr()));
    } catch (std::exception&) {
        clean_up_and_rethrow(revoke_generated);
    }

    try {
        py::object pid = qyb::get(child, name<"pid">());
        py::object process = qyb::call_method(call.global<"psutil">(), name<"Process">(), pid);
        py::dict record;
        record["schema_version"] = call.global<"_remote_runtime__SCHEMA_VERSION">();
        record["instance_id"] = instance_id;
        record["pid"] = pid;
        record["process_create_time"] = qyb::call_method(process, name<"create_time">());
        record["host"] = host;
        record["port"] = port;
        record["public_url"] = call[2];
        record["started_at"] = qyb::call_method(call.global<"time">(), name<"time">());
        record["package_version"] = version;
        record["managed_workers"] = workers;
        wait_until_ready(call, child, record, timeout);
        qyb::invoke(call.global<"_remote_runtime___atomic_json">(), qyb::invoke(call.global<"_registry_path">()),
                    record);
        return py::make_tuple(qyb::invoke(call.global<"_public">(), record), generated);
    } catch (std::exception&) {
        clean_up_and_rethrow([&] {
            terminate(call, qyb::get(child, name<"pid">()));
            revoke_generated();
        });
    }
}

py::object start_gateway(const qyb::Call& call) {
    py::object version = import_version(call);
    py::handle host = call[0];
    py::handle port = call[1];
    if (!is_text_of(host, 1, PY_SSIZE_T_MAX) || !qyb::is_int(port) ||
        !qyb::compare(port, py::int_(1), Py_GE) || !qyb::compare(port, py::int_(65535), Py_LE)) {
        fail(call, "invalid Remote Gateway address");
    }
    double timeout = positive_seconds(call[5]);
    if (timeout <= 0) {
        fail(call, "Remote Gateway start timeout must be positive");
    }
    py::list workers = worker_list(call, call[4]);
    // The registry reader takes only none or text here: anything else would lock every later
    // management call out.
    if (!call[2].is_none() && !PyUnicode_Check(call[2].ptr())) {
        fail(call, "invalid Remote Gateway public URL");
    }
    return with_guard(call, [&]() -> py::object { return start_locked(call, version, workers, timeout); });
}

}  // namespace

void define_start(qyb::Part& p) {
    p.def({.name = "start_gateway",
           .params = {kwonly("host", py::str("127.0.0.1")), kwonly("port", py::int_(8765)),
                      kwonly("public_url", py::none()), kwonly("token", py::none()),
                      kwonly("managed_workers", py::none()), kwonly("timeout", py::float_(15.0)),
                      kwonly("popen", p.get("subprocess").attr("Popen"))},
           .body = start_gateway});
}

}  // namespace remote::runtime
