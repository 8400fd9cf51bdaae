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

py::object get_request(const qyb::Call& call, py::handle path) {
    return qyb::get(call[0], name<"_request">())(name<"GET">(), path);
}

py::object health(const qyb::Call& call) { return get_request(call, name<"/v1/health">()); }

py::object status(const qyb::Call& call) { return get_request(call, name<"/v1/status">()); }

py::object auth_check(const qyb::Call& call) {
    py::object answer = get_request(call, name<"/v1/auth/check">());
    // Only the JSON literal true confirms; 1 or "true" do not.
    PyObject* authenticated = PyDict_Check(answer.ptr())
                                  ? PyDict_GetItemWithError(answer.ptr(), name<"authenticated">().ptr())
                                  : nullptr;
    if (authenticated == nullptr && PyErr_Occurred()) {
        qyb::throw_error();
    }
    if (authenticated != Py_True) {
        refuse(call, "invalid_response", "remote authentication was not confirmed");
    }
    return answer;
}

// ---------------------------------------------------------------------------------------
// upload

// Reads the open file to its end, or until one byte past the upload limit, in as few reads as
// the file system allows; `expected` (the size it reported) sizes the buffer. The reads let
// other threads run.
py::object read_upload(py::handle file, Py_ssize_t expected) {
    constexpr Py_ssize_t bound = kMaxUploadBytes + 1;
    Py_ssize_t capacity = std::min(expected, kMaxUploadBytes) + 1;
    PyObject* buffer = PyBytes_FromStringAndSize(nullptr, capacity);
    if (buffer == nullptr) {
        qyb::throw_error();
    }
    py::object body = qyb::steal(buffer);
    Py_ssize_t total = 0;
    py::object readinto = file.attr(name<"readinto">());
    for (;;) {
        if (total == capacity) {
            if (capacity == bound) {
                break;
            }
            capacity = std::min(capacity * 2, bound);
            PyObject* grown = body.release().ptr();
            if (_PyBytes_Resize(&grown, capacity) < 0) {
                qyb::throw_error();
            }
            body = qyb::steal(grown);
        }
        // The bytes object is ours alone until it is returned, so it may still be filled.
        py::object view = qyb::steal(PyMemoryView_FromMemory(PyBytes_AS_STRING(body.ptr()) + total,
                                                             capacity - total, PyBUF_WRITE));
        py::object count = readinto(view);
        view.attr(name<"release">())();
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
    if (_PyBytes_Resize(&exact, total) < 0) {
        qyb::throw_error();
    }
    return qyb::steal(exact);
}

// The file is read once: its length and digest are those of the very bytes sent.
py::object upload(const qyb::Call& call) {
    py::handle self = call[0];
    py::object source = call.global<"Path">()(call[1]).attr(name<"expanduser">())();
    if (!qyb::truthy(source.attr(name<"is_file">())())) {
        py::object text = qyb::steal(PyObject_Format(source.ptr(), nullptr));
        py::object message = qyb::steal(PyUnicode_Concat(name<"file not found: ">().ptr(), text.ptr()));
        qyb::raise_object(client::client_error(call, "invalid_upload", message));
    }
    py::object size = source.attr(name<"stat">())().attr(name<"st_size">());
    const char* bad_size = "file size must be between 1 byte and 100 MiB";
    if (qyb::compare(size, qyb::int_constant<1>(), Py_LT) ||
        qyb::compare(size, qyb::int_constant<kMaxUploadBytes>(), Py_GT)) {
        refuse(call, "invalid_upload", bad_size);
    }

    py::object file = source.attr(name<"open">())(name<"rb">(), py::arg("buffering") = 0);
    py::object body;
    try {
        body = read_upload(file, PyLong_AsSsize_t(size.ptr()));
    } catch (py::error_already_set& e) {
        qyb::Handling handling(e);
        file.attr(name<"close">())();
        throw;
    }
    file.attr(name<"close">())();
    const Py_ssize_t length = PyBytes_GET_SIZE(body.ptr());
    if (length < 1 || length > kMaxUploadBytes) {
        refuse(call, "invalid_upload", bad_size);
    }

    py::object digest = call.global<"hashlib">().attr(name<"sha256">())(body).attr(name<"hexdigest">())();
    py::object urllib = call.global<"urllib">();
    py::object filename = urllib.attr(name<"parse">()).attr(name<"quote">())(
        source.attr(name<"name">()), py::arg("safe") = name<"">());
    py::dict headers = client::base_headers(self);
    headers[name<"Content-Type">()] = name<"application/octet-stream">();
    headers[name<"Content-Length">()] = qyb::steal(PyUnicode_FromFormat("%zd", length));
    headers[name<"X-Filename-UTF8">()] = filename;
    headers[name<"X-Content-SHA256">()] = digest;
    py::object url = qyb::steal(PyNumber_Add(qyb::get(self, name<"base_url">()).ptr(), name<"/v1/uploads">().ptr()));
    py::object request = urllib.attr(name<"request">()).attr(name<"Request">())(
        url, py::arg("data") = body, py::arg("headers") = headers, py::arg("method") = name<"POST">());
    return qyb::get(self, name<"_open_request">())(request, name<"POST">());
}

// ---------------------------------------------------------------------------------------
// execute

//   refused before sending                          code             outcome
//   request_id or client_id empty or none           invalid_request  not_started
//   argv text, bytes, empty, or a non-text item     invalid_request  not_started
//   answer refused by CommandResponse.from_dict     invalid_response unknown
//   answer for another request id                   invalid_response unknown
py::object execute(const qyb::Call& call) {
    py::handle self = call[0], nickname = call[1], argv = call[2];
    py::handle request_id = call[3], client_id = call[4], client_name = call[5], cli_version = call[6];
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

    py::dict client;
    client[name<"client_id">()] = client_id;
    client[name<"client_name">()] = qyb::truthy(client_name) ? client_name : name<"qybridge4-client">();
    client[name<"cli_version">()] = qyb::truthy(cli_version) ? cli_version : name<"unknown">();
    py::dict body;
    body[name<"protocol_version">()] = call.global<"_remote_client__PROTOCOL_VERSION">();
    body[name<"request_id">()] = request_id;
    body[name<"nickname">()] = nickname;
    body[name<"argv">()] = qyb::steal(PySequence_List(argv.ptr()));
    body[name<"client">()] = client;

    py::object response = qyb::get(self, name<"_request">())(
        name<"POST">(), name<"/v1/commands">(), body, py::arg("request_id") = request_id,
        py::arg("idempotency_key") = request_id);
    py::object parsed;
    try {
        parsed = call.global<"CommandResponse">().attr(name<"from_dict">())(response);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) {
            throw;
        }
        py::object reason = qyb::steal(PyObject_Str(e.value().ptr()));
        py::object message = qyb::steal(
            PyUnicode_Concat(name<"invalid remote command response: ">().ptr(), reason.ptr()));
        qyb::raise_object_from(client::client_error(call, "invalid_response", message,
                                                py::arg("outcome") = name<"unknown">()),
                           e.value());
    }
    py::object answered = qyb::get(parsed, name<"request_id">());
    if (qyb::compare(answered, request_id, Py_NE)) {
        refuse(call, "invalid_response", "remote request_id does not match", py::arg("outcome") = name<"unknown">());
    }
    return call.global<"CommandResult">()(qyb::get(parsed, name<"exit_code">()), qyb::get(parsed, name<"result">()),
                                          qyb::get(parsed, name<"stderr">()), answered);
}

}  // namespace

void define_remote_client(qyb::Part& p) {
    using namespace client;
    qyb::ClassBuilder c(p.module(), "RemoteClient");
    c.method({.name = "__init__",
              .params = {arg("self"), arg("base_url", "str"), arg("token", "str"),
                         kwonly("allow_insecure", "bool", py::bool_(false)),
                         kwonly("timeout", "float", py::float_(60.0)),
                         kwonly("ca_bundle", "str | None", py::none()),
                         kwonly("verify_tls", "bool", py::bool_(true)),
                         kwonly("urlopen", "Callable[..., Any] | None", py::none()),
                         kwonly("max_response_bytes", "int", p.get("MAX_RESPONSE_BYTES"))},
              .returns = "None",
              .body = client_init,
              .held = {make_client_opener(p.module())}})
        .method({.name = "health", .params = {arg("self")}, .returns = "Mapping[str, Any]", .body = health})
        .method({.name = "auth_check", .params = {arg("self")}, .returns = "Mapping[str, Any]",
                 .body = auth_check})
        .method({.name = "status", .params = {arg("self")}, .returns = "Mapping[str, Any]", .body = status})
        .method({.name = "upload", .params = {arg("self"), arg("path", "str | Path")},
                 .returns = "Mapping[str, Any]", .body = upload})
        .method({.name = "execute",
                 .params = {arg("self"), arg("nickname", "str | None"), arg("argv", "Sequence[str]"),
                            kwonly("request_id", "str"), kwonly("client_id", "str"),
                            kwonly("client_name", "str | None", py::none()),
                            kwonly("cli_version", "str | None", py::none())},
                 .returns = "CommandResult",
                 .body = execute})
        .method({.name = "_request",
                 .params = {arg("self"), arg("method", "str"), arg("path", "str"),
                            arg("payload", "Mapping[str, Any] | None", py::none()),
                            kwonly("request_id", "str | None", py::none()),
                            kwonly("idempotency_key", "str | None", py::none())},
                 .returns = "Mapping[str, Any]",
                 .body = client_request})
        .method({.name = "_open_request",
                 .params = {arg("self"), arg("request"), arg("method"), arg("request_id", py::none())},
                 .body = client_open_request})
        .method({.name = "_raise_http_error",
                 .params = {arg("self"), arg("exc", "urllib.error.HTTPError"), arg("request_id", "str | None"),
                            kwonly("method", "str | None", py::none())},
                 .returns = "None",
                 .body = client_raise_http_error});
    p.bind_class(c);
}

}  // namespace remote
