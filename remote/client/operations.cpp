// RemoteClient and its five operations: health, auth_check, status, upload and execute.
#include "qyb/python.h"

#include <algorithm>

#include "client_internal.h"
#include "parts.h"

namespace remote {
namespace {

namespace py = pybind11;
using qyb::arg;
using qyb::kwonly;
using qyb::name;
using client::refuse;

// The gateway's own limit on one upload (MAX_UPLOAD_BYTES of the upload store).
constexpr Py_ssize_t kMaxUploadBytes = 104857600;

py::object get_request(py::handle self, py::handle path) {
    return qyb::call_method(self, name<"_request">(), name<"GET">(), path);
}

py::object health(const qyb::Call& call) {
    auto [self] = call.args<1>();
    return get_request(self, name<"/v1/health">());
}

qyb::FunctionDef health_def() {
    return {.name = "health", .params = {arg("self")}, .returns = "Mapping[str, Any]", .body = health};
}

py::object auth_check(const qyb::Call& call) {
    auto [self] = call.args<1>();
    py::object answer = get_request(self, name<"/v1/auth/check">());
    // Only the JSON literal true confirms; 1 or "true" do not.
    if (!PyDict_Check(answer.ptr()) || client::dict_value(answer, name<"authenticated">()).ptr() != Py_True) {
        refuse(call, "invalid_response", "remote authentication was not confirmed");
    }
    return answer;
}

qyb::FunctionDef auth_check_def() {
    return {.name = "auth_check", .params = {arg("self")}, .returns = "Mapping[str, Any]", .body = auth_check};
}

py::object status(const qyb::Call& call) {
    auto [self] = call.args<1>();
    return get_request(self, name<"/v1/status">());
}

qyb::FunctionDef status_def() {
    return {.name = "status", .params = {arg("self")}, .returns = "Mapping[str, Any]", .body = status};
}

// ---------------------------------------------------------------------------------------
// upload

// Reads the open file to its end, or until one byte past the upload limit, in as few reads as
// the file system allows; `expected` (the size it reported) sizes the buffer. The reads let
// other threads run.
py::object read_upload(py::handle file, Py_ssize_t expected) {
    constexpr Py_ssize_t bound = kMaxUploadBytes + 1;
    Py_ssize_t capacity = std::min(expected, kMaxUploadBytes) + 1;
    py::object body = qyb::steal(PyBytes_FromStringAndSize(nullptr, capacity));
    Py_ssize_t total = 0;
    py::object readinto = qyb::get(file, name<"readinto">());
    // Raw below: _PyBytes_Resize moves the object through a pointer it may replace.
    for (;;) {
        if (total == capacity) {
            if (capacity == bound) {
                break;
            }
            capacity = std::min(capacity * 2, bound);
            PyObject* grown = body.release().ptr();
            qyb::check(_PyBytes_Resize(&grown, capacity));
            body = qyb::steal(grown);
        }
        // The bytes object is ours alone until it is returned, so it may still be filled.
        py::object view = qyb::steal(PyMemoryView_FromMemory(PyBytes_AS_STRING(body.ptr()) + total,
                                                             capacity - total, PyBUF_WRITE));
        py::object count = qyb::invoke(readinto, view);
        qyb::call_method(view, name<"release">());
        const Py_ssize_t n = PyLong_AsSsize_t(count.ptr());
        if (n == -1 && PyErr_Occurred()) {
            qyb::throw_error();
        }
        if (n == 0) {
            break;
        }
        total += n;
    }
    PyObject* exact = body.release().ptr();
    qyb::check(_PyBytes_Resize(&exact, total));
    return qyb::steal(exact);
}

// The file is read once: its length and digest are those of the very bytes sent.
py::object upload(const qyb::Call& call) {
    auto [self, path] = call.args<2>();
    py::object source = qyb::call_method(qyb::invoke(call.global<"Path">(), path), name<"expanduser">());
    if (!qyb::truthy(qyb::call_method(source, name<"is_file">()))) {
        py::object text = qyb::steal(PyObject_Format(source.ptr(), nullptr));
        py::object message = qyb::steal(PyUnicode_Concat(name<"file not found: ">().ptr(), text.ptr()));
        qyb::raise_object(client::client_error(call, "invalid_upload", message));
    }
    py::object size = qyb::get(qyb::call_method(source, name<"stat">()), name<"st_size">());
    const char* bad_size = "file size must be between 1 byte and 100 MiB";
    if (qyb::compare(size, qyb::int_constant<1>(), Py_LT) ||
        qyb::compare(size, qyb::int_constant<kMaxUploadBytes>(), Py_GT)) {
        refuse(call, "invalid_upload", bad_size);
    }

    py::object file =
        qyb::call_method(source, name<"open">(), name<"rb">(), qyb::kw<"buffering">(qyb::int_constant<0>()));
    py::object body = qyb::finally([&] { return read_upload(file, PyLong_AsSsize_t(size.ptr())); },
                                   [&] { qyb::call_method(file, name<"close">()); });
    const Py_ssize_t length = PyBytes_GET_SIZE(body.ptr());
    if (length < 1 || length > kMaxUploadBytes) {
        refuse(call, "invalid_upload", bad_size);
    }

    py::object hash = qyb::call_method(call.global<"hashlib">(), name<"sha256">(), body);
    py::object digest = qyb::call_method(hash, name<"hexdigest">());
    py::object urllib = call.global<"urllib">();
    py::object filename = qyb::call_method(qyb::get(urllib, name<"parse">()), name<"quote">(),
                                           qyb::get(source, name<"name">()), qyb::kw<"safe">(name<"">()));
    py::object headers = client::base_headers(self);
    qyb::dict_set(headers, name<"Content-Type">(), name<"application/octet-stream">());
    qyb::dict_set(headers, name<"Content-Length">(), qyb::steal(PyUnicode_FromFormat("%zd", length)));
    qyb::dict_set(headers, name<"X-Filename-UTF8">(), filename);
    qyb::dict_set(headers, name<"X-Content-SHA256">(), digest);
    py::object url = qyb::steal(PyNumber_Add(qyb::get(self, name<"base_url">()).ptr(), name<"/v1/uploads">().ptr()));
    py::object make_request = qyb::get(qyb::get(urllib, name<"request">()), name<"Request">());
    py::object request = qyb::invoke(make_request, url, qyb::kw<"data">(body), qyb::kw<"headers">(headers),
                                     qyb::kw<"method">(name<"POST">()));
    return qyb::call_method(self, name<"_open_request">(), request, name<"POST">());
}

qyb::FunctionDef upload_def() {
    return {.name = "upload", .params = {arg("self"), arg("path", "str | Path")}, .returns = "Mapping[str, Any]",
            .body = upload};
}

// ---------------------------------------------------------------------------------------
// execute

//   refused before sending                          code             outcome
//   request_id or client_id empty or none           invalid_request  not_started
//   argv text, bytes, empty, or a non-text item     invalid_request  not_started
//   answer refused by CommandResponse.from_dict     invalid_response unknown
//   answer for another request id                   invalid_response unknown
py::object execute(const qyb::Call& call) {
    auto [self, nickname, argv, request_id, client_id, client_name, cli_version] = call.args<7>();
    if (!qyb::truthy(request_id) || !qyb::truthy(client_id)) {
        refuse(call, "invalid_request", "request_id and client_id are required");
    }
    const char* bad_argv = "argv must be a non-empty sequence of strings";
    if (PyUnicode_Check(argv.ptr()) || PyBytes_Check(argv.ptr()) || !qyb::truthy(argv)) {
        refuse(call, "invalid_request", bad_argv);
    }
    for (py::handle item : py::reinterpret_borrow<py::iterable>(argv)) {
        if (!PyUnicode_Check(item.ptr())) {
            refuse(call, "invalid_request", bad_argv);
        }
    }

    py::object client = qyb::dict_of({
        {name<"client_id">(), client_id},
        {name<"client_name">(), qyb::truthy(client_name) ? client_name : name<"qybridge4-client">()},
        {name<"cli_version">(), qyb::truthy(cli_version) ? cli_version : name<"unknown">()},
    });
    py::object body = qyb::dict_of({
        {name<"protocol_version">(), call.global<"_remote_client__PROTOCOL_VERSION">()},
        {name<"request_id">(), request_id},
        {name<"nickname">(), nickname},
        {name<"argv">(), qyb::steal(PySequence_List(argv.ptr()))},
        {name<"client">(), client},
    });

    py::object response =
        qyb::call_method(self, name<"_request">(), name<"POST">(), name<"/v1/commands">(), body,
                         qyb::kw<"request_id">(request_id), qyb::kw<"idempotency_key">(request_id));
    py::object parsed;
    try {
        parsed = qyb::call_method(call.global<"CommandResponse">(), name<"from_dict">(), response);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) {
            throw;
        }
        qyb::Except handling(e);
        py::object reason = qyb::steal(PyObject_Str(e.value().ptr()));
        py::object message = qyb::steal(
            PyUnicode_Concat(name<"invalid remote command response: ">().ptr(), reason.ptr()));
        qyb::raise_from(client::client_error(call, "invalid_response", message, qyb::kw<"outcome">(name<"unknown">())),
                        e.value());
    }
    py::object answered = qyb::get(parsed, name<"request_id">());
    if (qyb::compare(answered, request_id, Py_NE)) {
        refuse(call, "invalid_response", "remote request_id does not match", qyb::kw<"outcome">(name<"unknown">()));
    }
    return qyb::invoke(call.global<"CommandResult">(), qyb::get(parsed, name<"exit_code">()),
                       qyb::get(parsed, name<"result">()), qyb::get(parsed, name<"stderr">()), answered);
}

qyb::FunctionDef execute_def() {
    return {.name = "execute",
            .params = {arg("self"), arg("nickname", "str | None"), arg("argv", "Sequence[str]"),
                       kwonly("request_id", "str"), kwonly("client_id", "str"),
                       kwonly("client_name", "str | None", py::none()),
                       kwonly("cli_version", "str | None", py::none())},
            .returns = "CommandResult",
            .body = execute};
}

}  // namespace

void define_remote_client(qyb::Part& p) {
    qyb::ClassBuilder c(p.module(), "RemoteClient");
    c.method(client::client_init_def(p))
        .method(health_def())
        .method(auth_check_def())
        .method(status_def())
        .method(upload_def())
        .method(execute_def())
        .method(client::client_request_def())
        .method(client::client_open_request_def())
        .method(client::client_raise_http_error_def());
    p.bind_class(c);
}

}  // namespace remote
