// The command router: allow-list, upload references, account checks and the call into a worker.
#include "qyb/python.h"

#include <array>

#include "parts.h"
#include "server/router_internal.h"

namespace remote {

void raise_route_error(const qyb::Call& call, const char* code, py::handle message, int status,
                       const char* outcome, const py::error_already_set* cause) {
    py::object error = qyb::invoke(call.global<"RemoteRouteError">(), py::str(code), message, py::int_(status),
                                   py::str(outcome));
    if (cause == nullptr) {
        qyb::raise_object(error);
    }
    py::handle value = cause->value();
    // error_already_set keeps the traceback apart; the cause shows it only when attached (raw:
    // the traceback slot of the exception object itself).
    PyObject* traceback = PyException_GetTraceback(value.ptr());
    if (traceback != nullptr) {
        Py_DECREF(traceback);
    } else if (cause->trace()) {
        PyException_SetTraceback(value.ptr(), cause->trace().ptr());
    }
    qyb::raise_from(error, value);
}

bool is_route_error(const qyb::Call& call, const py::error_already_set& e) {
    return e.matches(call.global<"RemoteRouteError">());
}

namespace {

using qyb::arg;
using qyb::call_method;
using qyb::contains;
using qyb::get;
using qyb::get_or_none;
using qyb::invoke;
using qyb::item;
using qyb::name;
using qyb::truthy;

py::object new_dict_from(py::handle mapping) { return invoke(reinterpret_cast<PyObject*>(&PyDict_Type), mapping); }

bool is_text(py::handle word, const char* text) {
    return PyUnicode_Check(word.ptr()) && PyUnicode_CompareWithASCIIString(word.ptr(), text) == 0;
}

bool starts_with(py::handle word, py::handle prefix) {
    if (!PyUnicode_Check(word.ptr())) {
        return false;
    }
    return qyb::check(static_cast<int>(PyUnicode_Tailmatch(word.ptr(), prefix.ptr(), 0, PY_SSIZE_T_MAX, -1)));
}

// RemoteRouteError -----------------------------------------------------------------------

py::object route_error_init(const qyb::Call& call) {
    auto [self, code, message, status, outcome] = call.args<5>();
    call_method(call.super(self), name<"__init__">(), message);
    qyb::set(self, name<"code">(), code);
    qyb::set(self, name<"status">(), status);
    qyb::set(self, name<"outcome">(), outcome);
    return py::none();
}

qyb::FunctionDef route_error_init_def() {
    return {.name = "__init__",
            .params = {arg("self"), arg("code", "str"), arg("message", "str"), arg("status", "int"),
                       arg("outcome", "str", py::str("not_started"))},
            .body = route_error_init};
}

py::object validate_remote_command(const qyb::Call& call) {
    auto [argv] = call.args<1>();
    try {
        invoke(call.global<"remote_capability">(), argv);
    } catch (py::error_already_set& e) {
        qyb::Except handling(e);
        if (!e.matches(call.global<"RemoteCommandError">())) {
            handling.reraise();
        }
        raise_route_error(call, "command_not_allowed", py::str(e.value()), 403, "not_started", &e);
    }
    return py::none();
}

qyb::FunctionDef validate_remote_command_def() {
    return {.name = "validate_remote_command",
            .params = {arg("argv", "list[str]")},
            .returns = "None",
            .body = validate_remote_command};
}

// RemoteRouter ---------------------------------------------------------------------------

constexpr std::array<const char*, 6> kPublicWorkerKeys = {
    "nickname", "default", "state", "package_version", "pending_callbacks", "active_callbacks",
};

py::object router_status(const qyb::Call& call) {
    auto [self, allowed] = call.args<2>();
    py::object rows = call_method(self, name<"list_all">());
    py::list workers;
    py::str nickname_key("nickname");
    for (py::handle row : rows) {
        if (!allowed.is_none() && !contains(allowed, get_or_none(row, nickname_key))) {
            continue;
        }
        py::dict published;
        for (const char* key : kPublicWorkerKeys) {
            py::str k(key);
            if (contains(row, k)) {
                qyb::dict_set(published, k, item(row, k));
            }
        }
        qyb::dict_set(published, name<"has_error">(), py::bool_(truthy(get_or_none(row, name<"last_error">()))));
        workers.append(published);
    }
    return qyb::dict_of({{name<"status">(), name<"ok">()},
                         {name<"workers">(), workers},
                         {name<"worker_count">(), py::int_(py::len(workers))}});
}

qyb::FunctionDef router_status_def() {
    return {.name = "status",
            .params = {arg("self"), arg("allowed_accounts", py::none())},
            .returns = "dict",
            .body = router_status};
}

// The worker's error text with the response's "error" appended on a line of its own.
py::object merged_stderr(py::handle response) {
    py::object text = item(response, name<"stderr">());
    py::object error = get_or_none(response, name<"error">());
    if (!truthy(error)) {
        return text;
    }
    bool separate = truthy(text) && !truthy(call_method(text, name<"endswith">(), py::str("\n")));
    py::object merged = text;
    if (separate) {
        merged = merged + py::str("\n");
    }
    return merged + py::str(error) + py::str("\n");
}

py::object router_execute_command(const qyb::Call& call) {
    auto [self, nickname, argv_given, allowed, principal_id] = call.args<5>();
    py::object argv = py::reinterpret_borrow<py::object>(argv_given);

    invoke(call.global<"validate_remote_command">(), argv);

    py::object upload;
    py::object capability = invoke(call.global<"remote_capability">(), argv);
    if (qyb::equals(get(capability, name<"scope">()), "file:send")) {
        py::object uploads = get(self, name<"uploads">());
        if (uploads.is_none() || principal_id.is_none()) {
            raise_route_error(call, "upload_unavailable", py::str("upload service is unavailable"), 503);
        }
        py::object reference = invoke(call.global<"_file_argument">(), argv);
        try {
            upload = call_method(uploads, name<"resolve">(), principal_id, reference);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) {
                throw;
            }
            qyb::Except handling(e);
            raise_route_error(call, "upload_not_found", py::str(e.value()), 404, "not_started", &e);
        }
        argv = invoke(call.global<"_replace_file_argument">(), argv, py::str(get(upload, name<"path">())));
    }

    py::object record = call_method(self, name<"find">(), nickname);
    if (record.is_none()) {
        py::object shown = truthy(nickname) ? py::str(nickname) : py::str("default");
        raise_route_error(call, "worker_not_found", py::str("worker not found: ") + shown, 404);
    }
    if (!allowed.is_none() && !contains(allowed, get_or_none(record, name<"nickname">()))) {
        raise_route_error(call, "account_forbidden", py::str("token cannot access this account"), 403);
    }

    capability = invoke(call.global<"remote_capability">(), argv);
    if (starts_with(get(capability, name<"scope">()), py::str("listen:"))) {
        return call_method(self, name<"_listener_command">(), record, argv);
    }

    py::object response;
    try {
        response = call_method(self, name<"execute">(), record, argv, get(self, name<"timeout">()));
    } catch (py::error_already_set& e) {
        qyb::Except handling(e);
        if (e.matches(PyExc_TimeoutError)) {
            raise_route_error(call, "worker_timeout", py::str("worker execution timed out"), 504, "unknown", &e);
        }
        if (e.matches(get(call.global<"worker">(), name<"WorkerError">()))) {
            raise_route_error(call, "worker_unreachable", py::str(e.value()), 503, "unknown", &e);
        }
        handling.reraise();
    }

    py::object stderr_text = merged_stderr(response);
    py::object worker_part = qyb::dict_of({{name<"instance_id">(), item(response, name<"instance_id">())},
                                           {name<"nickname">(), item(response, name<"nickname">())}});
    py::object exit_code = item(response, name<"exit_code">());
    py::object result = item(response, name<"result">());
    py::object command = qyb::dict_of(
        {{name<"exit_code">(), exit_code}, {name<"result">(), result}, {name<"stderr">(), stderr_text}});

    if (upload && PyDict_Check(result.ptr())) {
        py::object transfer = qyb::dict_of({{name<"state">(), name<"initiated">()},
                                            {name<"delivery_confirmed">(), Py_False},
                                            {name<"filename">(), get(upload, name<"filename">())},
                                            {name<"retained_until">(), get(upload, name<"expires_at">())}});
        py::object with_transfer = new_dict_from(result);
        qyb::set_item(with_transfer, name<"_remote_transfer">(), transfer);
        qyb::dict_set(command, name<"result">(), with_transfer);
    }

    return qyb::dict_of({{name<"worker">(), worker_part}, {name<"command">(), command}});
}

qyb::FunctionDef router_execute_command_def() {
    return {.name = "execute_command",
            .params = {arg("self"), arg("nickname", "str | None"), arg("argv", "list[str]"),
                       arg("allowed_accounts", py::none()), arg("principal_id", "str | None", py::none())},
            .returns = "dict",
            .body = router_execute_command};
}

// File argument of a send-file command -----------------------------------------------------

// Where the file argument stands: the index of the word that holds it, and whether that word
// is a "--file=<reference>" word; index -1 when there is none.
struct FileArgument {
    Py_ssize_t index = -1;
    bool joined = false;
};

FileArgument find_file_argument(py::handle words) {
    Py_ssize_t size = PyList_GET_SIZE(words.ptr());
    py::str joined_prefix("--file=");
    for (Py_ssize_t i = 0; i < size; ++i) {
        py::handle word = PyList_GET_ITEM(words.ptr(), i);
        if (is_text(word, "--file") && i + 1 < size) {
            return {i + 1, false};
        }
        if (starts_with(word, joined_prefix)) {
            return {i, true};
        }
    }
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (is_text(PyList_GET_ITEM(words.ptr(), i), "send-file")) {
            return i + 1 < size ? FileArgument{i + 1, false} : FileArgument{};
        }
    }
    // No "send-file" at all: as for one without a word after it, there is no file.
    return {};
}

py::list copy_words(py::handle argv) { return qyb::steal(PySequence_List(argv.ptr())); }

py::object file_argument(const qyb::Call& call) {
    auto [argv] = call.args<1>();
    py::list words = copy_words(argv);
    FileArgument at = find_file_argument(words);
    if (at.index < 0) {
        raise_route_error(call, "invalid_upload", py::str("file is required"), 400);
    }
    py::object word = words[static_cast<std::size_t>(at.index)];
    if (at.joined) {
        // Everything after the "=" of "--file=".
        return qyb::steal(PySequence_GetSlice(word.ptr(), 7, PY_SSIZE_T_MAX));
    }
    return word;
}

qyb::FunctionDef file_argument_def() { return {.name = "_file_argument", .params = {arg("argv")}, .body = file_argument}; }

py::object replace_file_argument(const qyb::Call& call) {
    auto [argv, path] = call.args<2>();
    py::list words = copy_words(argv);
    FileArgument at = find_file_argument(words);
    if (at.index < 0) {
        raise_route_error(call, "invalid_upload", py::str("file is required"), 400);
    }
    words[static_cast<std::size_t>(at.index)] =
        at.joined ? py::object(py::str("--file=") + path) : py::reinterpret_borrow<py::object>(path);
    return words;
}

qyb::FunctionDef replace_file_argument_def() {
    return {.name = "_replace_file_argument", .params = {arg("argv"), arg("path")}, .body = replace_file_argument};
}

}  // namespace

void define_router(qyb::Part& p) {
    qyb::ClassBuilder error(p.module(), "RemoteRouteError", {PyExc_RuntimeError});
    error.method(route_error_init_def());
    p.bind_class(error);

    p.def(validate_remote_command_def());

    // The worker functions are read now, in this order, and stay the defaults of every router.
    py::object worker = p.get("worker");
    auto read = [&](const char* what, const char* attribute) {
        return p.step(what, std::source_location::current(), [&] { return qyb::get(worker, py::str(attribute)); });
    };
    py::object find = read("read worker.find_worker", "find_worker");
    py::object execute = read("read worker.execute_worker", "execute_worker");
    py::object list_all = read("read worker.list_workers", "list_workers");

    qyb::ClassBuilder router(p.module(), "RemoteRouter");
    router.field("find", "Callable", find)
        .field("execute", "Callable", execute)
        .field("list_all", "Callable", list_all)
        .field("timeout", "float", py::float_(60.0))
        .field("uploads", "object | None", py::none())
        .method(router_status_def())
        .method(router_execute_command_def())
        .method(listener_command_def());
    p.step("class RemoteRouter", std::source_location::current(), [&] {
        p.bind("RemoteRouter", qyb::invoke(p.get("dataclass"), router.build()));
    });

    p.def(file_argument_def());
    p.def(replace_file_argument_def());
}

}  // namespace remote
