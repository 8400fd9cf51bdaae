// The command router: allow-list, upload references, account checks and the call into a worker.
#include "qyb/python.h"

#include <array>

#include "parts.h"
#include "server/router_internal.h"

namespace remote {

namespace {

using qyb::arg;

using qyb::truthy;

using qyb::contains;
using qyb::get_or_none;

// `mapping[key]`, letting the key error pass.
using qyb::item;

py::object new_dict_from(py::handle mapping) {
    return py::handle(reinterpret_cast<PyObject*>(&PyDict_Type))(mapping);
}

bool is_text(py::handle word, const char* text) {
    return PyUnicode_Check(word.ptr()) && PyUnicode_CompareWithASCIIString(word.ptr(), text) == 0;
}

bool starts_with(py::handle word, py::handle prefix) {
    if (!PyUnicode_Check(word.ptr())) {
        return false;
    }
    Py_ssize_t found = PyUnicode_Tailmatch(word.ptr(), prefix.ptr(), 0, PY_SSIZE_T_MAX, -1);
    if (found < 0) {
        qyb::throw_error();
    }
    return found == 1;
}

// RemoteRouteError -----------------------------------------------------------------------

py::object route_error_init(const qyb::Call& call) {
    py::handle self = call[0];
    call.super(self).attr(qyb::name<"__init__">())(call[2]);
    py::setattr(self, "code", call[1]);
    py::setattr(self, "status", call[3]);
    py::setattr(self, "outcome", call[4]);
    return py::none();
}

py::object validate_remote_command(const qyb::Call& call) {
    try {
        call.global<"remote_capability">()(call[0]);
    } catch (py::error_already_set& e) {
        if (!e.matches(call.global<"RemoteCommandError">())) {
            throw;
        }
        raise_route_error(call, "command_not_allowed", py::str(e.value()), 403, "not_started", &e);
    }
    return py::none();
}

// RemoteRouter ---------------------------------------------------------------------------

constexpr std::array<const char*, 6> kPublicWorkerKeys = {
    "nickname", "default", "state", "package_version", "pending_callbacks", "active_callbacks",
};

py::object router_status(const qyb::Call& call) {
    py::handle self = call[0];
    py::handle allowed = call[1];
    py::object rows = self.attr(qyb::name<"list_all">())();
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
                published[k] = item(row, k);
            }
        }
        published["has_error"] = py::bool_(truthy(get_or_none(row, qyb::name<"last_error">())));
        workers.append(published);
    }
    py::dict result;
    result["status"] = py::str("ok");
    result["workers"] = workers;
    result["worker_count"] = py::int_(py::len(workers));
    return result;
}

// The worker's error text with the response's "error" appended on a line of its own.
py::object merged_stderr(py::handle response) {
    py::object text = item(response, qyb::name<"stderr">());
    py::object error = get_or_none(response, qyb::name<"error">());
    if (!truthy(error)) {
        return text;
    }
    bool separate = truthy(text) && !truthy(text.attr(qyb::name<"endswith">())("\n"));
    py::object merged = text;
    if (separate) {
        merged = merged + py::str("\n");
    }
    return merged + py::str(error) + py::str("\n");
}

py::object router_execute_command(const qyb::Call& call) {
    py::handle self = call[0];
    py::handle nickname = call[1];
    py::object argv = py::reinterpret_borrow<py::object>(call[2]);
    py::handle allowed = call[3];
    py::handle principal_id = call[4];

    call.global<"validate_remote_command">()(argv);

    py::object upload;
    py::object capability = call.global<"remote_capability">()(argv);
    if (py::object(capability.attr(qyb::name<"scope">())).equal(py::str("file:send"))) {
        py::object uploads = self.attr(qyb::name<"uploads">());
        if (uploads.is_none() || principal_id.is_none()) {
            raise_route_error(call, "upload_unavailable", py::str("upload service is unavailable"), 503);
        }
        py::object reference = call.global<"_file_argument">()(argv);
        try {
            upload = uploads.attr(qyb::name<"resolve">())(principal_id, reference);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) {
                throw;
            }
            raise_route_error(call, "upload_not_found", py::str(e.value()), 404, "not_started", &e);
        }
        argv = call.global<"_replace_file_argument">()(argv, py::str(upload.attr(qyb::name<"path">())));
    }

    py::object record = self.attr(qyb::name<"find">())(nickname);
    if (record.is_none()) {
        py::object shown = truthy(nickname) ? py::str(nickname) : py::str("default");
        raise_route_error(call, "worker_not_found", py::str("worker not found: ") + shown, 404);
    }
    if (!allowed.is_none() && !contains(allowed, get_or_none(record, qyb::name<"nickname">()))) {
        raise_route_error(call, "account_forbidden", py::str("token cannot access this account"), 403);
    }

    capability = call.global<"remote_capability">()(argv);
    if (starts_with(capability.attr(qyb::name<"scope">()), py::str("listen:"))) {
        return self.attr(qyb::name<"_listener_command">())(record, argv);
    }

    py::object response;
    try {
        response = self.attr(qyb::name<"execute">())(record, argv, self.attr(qyb::name<"timeout">()));
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_TimeoutError)) {
            raise_route_error(call, "worker_timeout", py::str("worker execution timed out"), 504, "unknown", &e);
        }
        if (e.matches(call.global<"worker">().attr(qyb::name<"WorkerError">()))) {
            raise_route_error(call, "worker_unreachable", py::str(e.value()), 503, "unknown", &e);
        }
        throw;
    }

    py::object stderr_text = merged_stderr(response);
    py::dict worker_part;
    worker_part["instance_id"] = item(response, qyb::name<"instance_id">());
    worker_part["nickname"] = item(response, qyb::name<"nickname">());
    py::dict command;
    command["exit_code"] = item(response, qyb::name<"exit_code">());
    py::object result = item(response, qyb::name<"result">());
    command["result"] = result;
    command["stderr"] = stderr_text;

    if (upload && PyDict_Check(result.ptr())) {
        py::dict transfer;
        transfer["state"] = py::str("initiated");
        transfer["delivery_confirmed"] = py::bool_(false);
        transfer["filename"] = upload.attr(qyb::name<"filename">());
        transfer["retained_until"] = upload.attr(qyb::name<"expires_at">());
        py::object with_transfer = new_dict_from(result);
        with_transfer["_remote_transfer"] = transfer;
        command["result"] = with_transfer;
    }

    py::dict answer;
    answer["worker"] = worker_part;
    answer["command"] = command;
    return answer;
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

py::list copy_words(py::handle argv) {
    PyObject* words = PySequence_List(argv.ptr());
    if (words == nullptr) {
        qyb::throw_error();
    }
    return py::reinterpret_steal<py::list>(words);
}

py::object file_argument(const qyb::Call& call) {
    py::list words = copy_words(call[0]);
    FileArgument at = find_file_argument(words);
    if (at.index < 0) {
        raise_route_error(call, "invalid_upload", py::str("file is required"), 400);
    }
    py::object word = words[static_cast<std::size_t>(at.index)];
    if (at.joined) {
        // Everything after the "=" of "--file=".
        PyObject* reference = PySequence_GetSlice(word.ptr(), 7, PY_SSIZE_T_MAX);
        if (reference == nullptr) {
            qyb::throw_error();
        }
        return py::reinterpret_steal<py::object>(reference);
    }
    return word;
}

py::object replace_file_argument(const qyb::Call& call) {
    py::list words = copy_words(call[0]);
    FileArgument at = find_file_argument(words);
    if (at.index < 0) {
        raise_route_error(call, "invalid_upload", py::str("file is required"), 400);
    }
    py::handle path = call[1];
    words[static_cast<std::size_t>(at.index)] =
        at.joined ? py::object(py::str("--file=") + path) : py::reinterpret_borrow<py::object>(path);
    return words;
}

}  // namespace

void raise_route_error(const qyb::Call& call, const char* code, py::handle message, int status,
                       const char* outcome, const py::error_already_set* cause) {
    py::object error = call.global<"RemoteRouteError">()(py::str(code), message, py::int_(status),
                                                          py::str(outcome));
    if (cause != nullptr) {
        py::handle value = cause->value();
        // error_already_set keeps the traceback apart; the cause shows it only when attached.
        PyObject* traceback = PyException_GetTraceback(value.ptr());
        if (traceback != nullptr) {
            Py_DECREF(traceback);
        } else if (cause->trace()) {
            PyException_SetTraceback(value.ptr(), cause->trace().ptr());
        }
        // Both links, as `raise ... from cause` inside `except`; the setters steal a reference.
        PyException_SetContext(error.ptr(), py::reinterpret_borrow<py::object>(value).release().ptr());
        PyException_SetCause(error.ptr(), py::reinterpret_borrow<py::object>(value).release().ptr());
    }
    qyb::raise_object(error);
}

bool is_route_error(const qyb::Call& call, const py::error_already_set& e) {
    return e.matches(call.global<"RemoteRouteError">());
}

void define_router(qyb::Part& p) {
    qyb::ClassBuilder error(p.module(), "RemoteRouteError", {PyExc_RuntimeError});
    error.method({.name = "__init__",
                  .params = {arg("self"), arg("code", "str"), arg("message", "str"), arg("status", "int"),
                             arg("outcome", "str", py::str("not_started"))},
                  .body = route_error_init});
    p.bind_class(error);

    p.def({.name = "validate_remote_command",
           .params = {arg("argv", "list[str]")},
           .returns = "None",
           .body = validate_remote_command});

    // The worker functions are read now, in this order, and stay the defaults of every router.
    py::object worker = p.get("worker");
    auto read = [&](const char* what, const char* name) {
        return p.step(what, std::source_location::current(), [&] { return py::object(worker.attr(name)); });
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
        .method({.name = "status",
                 .params = {arg("self"), arg("allowed_accounts", py::none())},
                 .returns = "dict",
                 .body = router_status})
        .method({.name = "execute_command",
                 .params = {arg("self"), arg("nickname", "str | None"), arg("argv", "list[str]"),
                            arg("allowed_accounts", py::none()), arg("principal_id", "str | None", py::none())},
                 .returns = "dict",
                 .body = router_execute_command})
        .method({.name = "_listener_command",
                 .params = {arg("self"), arg("record"), arg("argv")},
                 .body = listener_command});
    p.step("class RemoteRouter", std::source_location::current(), [&] {
        p.bind("RemoteRouter", p.get("dataclass")(router.build()));
    });

    p.def({.name = "_file_argument", .params = {arg("argv")}, .body = file_argument});
    p.def({.name = "_replace_file_argument", .params = {arg("argv"), arg("path")}, .body = replace_file_argument});
}

}  // namespace remote
