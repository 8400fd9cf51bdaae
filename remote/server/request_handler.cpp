// The gateway's request handler: the v1 API over BaseHTTPRequestHandler, the head reader that
// bounds the time a request head may take, and the wait for requests in progress at exit.
#include "qyb/python.h"

#include <limits>

#include "parts.h"
#include "server/request_handler.h"

namespace remote {

namespace py = pybind11;
using qyb::arg;
using qyb::call_method;
using qyb::equals;
using qyb::get;
using qyb::invoke;
using qyb::name;
using qyb::set;
using qyb::steal;
using qyb::truthy;

namespace {

// The end of the headers, made once and kept for the process, as qyb::int_constant keeps ints.
py::handle crlf() {
    static PyObject* value = nullptr;
    if (value == nullptr) {
        value = PyBytes_FromStringAndSize("\r\n", 2);
        if (value == nullptr) {
            qyb::throw_error();
        }
    }
    return value;
}

// ---------------------------------------------------------------------------------------
// Content-Length

// The decimal value of a Content-Length value made of the digits 0 to 9 only, or null for any
// other value (None included). A value whose digits the interpreter refuses to convert (beyond
// its integer-conversion limit) is above every size limit; it becomes 16 ** digits, which is
// larger still, so the size tests refuse it as they refuse any too-large length.
// Raw str access: the header is read in place, character by character, on every request.
py::object content_length(py::handle header) {
    if (!PyUnicode_Check(header.ptr())) {
        return py::object();
    }
    const Py_ssize_t n = PyUnicode_GET_LENGTH(header.ptr());
    if (n == 0) {
        return py::object();
    }
    const int kind = PyUnicode_KIND(header.ptr());
    const void* data = PyUnicode_DATA(header.ptr());
    Py_ssize_t first = -1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < '0' || c > '9') {
            return py::object();
        }
        if (first < 0 && c != '0') {
            first = i;
        }
    }
    if (first < 0) {
        return py::reinterpret_borrow<py::object>(qyb::int_constant<0>());
    }
    const Py_ssize_t significant = n - first;
    if (significant <= 18) {
        long long v = 0;
        for (Py_ssize_t i = first; i < n; ++i) {
            v = v * 10 + static_cast<long long>(PyUnicode_READ(kind, data, i) - '0');
        }
        return steal(PyLong_FromLongLong(v));
    }
    // Raw: a ValueError here is an answer, told apart before anything is thrown.
    PyObject* exact = PyLong_FromUnicodeObject(header.ptr(), 10);
    if (exact != nullptr) {
        return steal(exact);
    }
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) {
        qyb::throw_error();
    }
    PyErr_Clear();
    py::object bits = steal(PyLong_FromSsize_t(4 * significant));
    return steal(PyNumber_Lshift(qyb::int_constant<1>(), bits.ptr()));
}

long long clamp_to_long_long(py::handle length) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(length.ptr(), &overflow);
    if (overflow != 0) {
        return std::numeric_limits<long long>::max();
    }
    if (v == -1 && PyErr_Occurred()) {
        qyb::throw_error();
    }
    return v;
}

// No valid announced length: the body may be of any size, so only the time bounds the drain.
constexpr long long kUnknownBodyLimit = std::numeric_limits<long long>::max();
constexpr long long kDrainChunk = 65536;
constexpr double kDrainSeconds = 1.0;

// After a refusal written without reading the request body: closing a socket whose receive
// buffer still holds data makes the kernel send a reset, and the client may then lose the
// answer it has not read yet. So the sending side is shut down first (the client sees the
// answer and the end of it), and what the client still sends is read and dropped, at most
// `limit` bytes and for about a second, before the base server closes the connection.
void discard_unread_body(const qyb::Call& call, py::handle self, long long limit) {
    if (limit <= 0) {
        return;
    }
    py::object connection = get(self, name<"connection">());
    py::object rfile = get(self, name<"rfile">());
    try {
        call_method(get(self, name<"wfile">()), name<"flush">());
        // SHUT_WR; SD_SEND on Windows has the same value.
        call_method(connection, name<"shutdown">(), qyb::int_constant<1>());
        const double deadline = qyb::to_double(call.monotonic()) + kDrainSeconds;
        while (limit > 0) {
            const double left = deadline - qyb::to_double(call.monotonic());
            if (left <= 0) {
                break;
            }
            py::object timeout = steal(PyFloat_FromDouble(left));
            call_method(connection, name<"settimeout">(), timeout);
            py::object size = steal(PyLong_FromLongLong(limit < kDrainChunk ? limit : kDrainChunk));
            py::object chunk = call_method(rfile, name<"read1">(), size);
            const Py_ssize_t got = PyObject_Length(chunk.ptr());
            if (got < 0) {
                qyb::throw_error();
            }
            if (got == 0) {
                break;
            }
            limit -= got;
        }
    } catch (py::error_already_set& e) {
        // A client that is gone or too slow: the answer is out, the base server closes.
        if (!e.matches(PyExc_OSError)) {
            throw;
        }
    }
}

// The announced body length for the discard: the Content-Length value, or a small bound
// when there is no valid one.
long long announced_length(py::handle headers) {
    py::object length = content_length(call_method(headers, name<"get">(), name<"Content-Length">()));
    return length ? clamp_to_long_long(length) : kUnknownBodyLimit;
}

// ---------------------------------------------------------------------------------------
// Accepted connections

// A peer that vanishes without closing (its network dropped mid-upload) would otherwise hold
// its thread, and the store's lock, for ever: keepalive probes end its reads with an error.
constexpr long kKeepIdleSeconds = 60;
constexpr long kKeepIntervalSeconds = 10;
constexpr long kKeepProbes = 6;

void keep_alive(const qyb::Call& call, py::handle connection) {
    py::object socket = call.global<"socket">();
    call_method(connection, name<"setsockopt">(), get(socket, name<"SOL_SOCKET">()),
                get(socket, name<"SO_KEEPALIVE">()), qyb::int_constant<1>());
    // The socket module offers the TCP options only where the system honours them (Linux,
    // Windows 10 1709 and later); older Windows takes the times through an ioctl.
    if (qyb::has(socket, name<"TCP_KEEPIDLE">()) && qyb::has(socket, name<"TCP_KEEPINTVL">()) &&
        qyb::has(socket, name<"TCP_KEEPCNT">())) {
        py::object tcp = get(socket, name<"IPPROTO_TCP">());
        call_method(connection, name<"setsockopt">(), tcp, get(socket, name<"TCP_KEEPIDLE">()),
                    qyb::int_constant<kKeepIdleSeconds>());
        call_method(connection, name<"setsockopt">(), tcp, get(socket, name<"TCP_KEEPINTVL">()),
                    qyb::int_constant<kKeepIntervalSeconds>());
        call_method(connection, name<"setsockopt">(), tcp, get(socket, name<"TCP_KEEPCNT">()),
                    qyb::int_constant<kKeepProbes>());
    } else if (qyb::has(socket, name<"SIO_KEEPALIVE_VALS">())) {
        // (on, idle, interval) in milliseconds; the probe count is the system's.
        py::object values =
            steal(Py_BuildValue("(lll)", 1L, kKeepIdleSeconds * 1000, kKeepIntervalSeconds * 1000));
        call_method(connection, name<"ioctl">(), get(socket, name<"SIO_KEEPALIVE_VALS">()), values);
    }
}

// The request head (request line and headers) must arrive whole by a deadline counted from the
// connection's start, or a client that never ends its head holds a thread and a descriptor
// for as long as it likes, without a token. A time-out per receive would not do: a client
// could trickle a byte just inside it, and one buffered readline makes many receives. So the
// handler reads through this raw reader, which gives each receive only the time left and
// fails with TimeoutError at the deadline; the base class then drops the connection as for
// any time-out. A watchdog that shut the socket instead would let the header parser take the
// end of the stream for the end of the headers and serve a half-sent request.
// do_GET and do_POST disarm it: from there on reads have no time-out, and the socket's own
// is left to whoever sets it.

py::object head_reader_init(const qyb::Call& call) {
    auto [self, connection, deadline] = call.args<3>();
    set(self, name<"connection">(), connection);
    set(self, name<"deadline">(), deadline);
    return py::none();
}

qyb::FunctionDef head_reader_init_def() {
    return {.name = "__init__", .params = {arg("self"), arg("connection"), arg("deadline")}, .body = head_reader_init};
}

py::object head_reader_readable(const qyb::Call& call) {
    [[maybe_unused]] auto [self] = call.args<1>();
    return py::bool_(true);
}

qyb::FunctionDef head_reader_readable_def() {
    return {.name = "readable", .params = {arg("self")}, .body = head_reader_readable};
}

py::object head_reader_readinto(const qyb::Call& call) {
    auto [self, buffer] = call.args<2>();
    py::object connection = get(self, name<"connection">());
    py::object deadline = get(self, name<"deadline">());
    if (!deadline.is_none()) {
        const double until = qyb::to_double(deadline);
        const double left = until - qyb::to_double(call.monotonic());
        if (left <= 0) {
            qyb::raise(PyExc_TimeoutError, "request head not received in time");
        }
        call_method(connection, name<"settimeout">(), steal(PyFloat_FromDouble(left)));
    }
    return call_method(connection, name<"recv_into">(), buffer);
}

qyb::FunctionDef head_reader_readinto_def() {
    return {.name = "readinto", .params = {arg("self"), arg("buffer")}, .body = head_reader_readinto};
}

// ---------------------------------------------------------------------------------------
// Interpreter exit
//
// Request threads are daemon threads. When the interpreter finalizes, one that is inside a
// handler and waits for the GIL is ended by the C runtime's thread exit, which unwinds through
// the handler's C++ frames while another thread tears the interpreter down. So the first
// server registers an exit hook that gives requests in progress a moment to finish first; a
// request whose client stalls is waited for only that long.

Py_ssize_t requests_in_progress = 0;  // guarded by the GIL
constexpr double kExitGraceSeconds = 2.0;

struct RequestInProgress {
    RequestInProgress() { ++requests_in_progress; }
    ~RequestInProgress() { --requests_in_progress; }
    RequestInProgress(const RequestInProgress&) = delete;
    RequestInProgress& operator=(const RequestInProgress&) = delete;
};

py::object wait_for_requests(const qyb::Call& call) {
    py::object time = call.global<"time">();
    const double deadline = qyb::to_double(call.monotonic()) + kExitGraceSeconds;
    while (requests_in_progress > 0 && qyb::to_double(call.monotonic()) < deadline) {
        call_method(time, name<"sleep">(), py::float_(0.005));
    }
    return py::none();
}

qyb::FunctionDef wait_for_requests_def() { return {.name = "_wait_for_requests", .body = wait_for_requests}; }

}  // namespace

void register_exit_hook(const qyb::Call& call) {
    static bool registered = false;
    if (registered) {
        return;
    }
    py::object module = steal(PyImport_Import(call.global<"__name__">().ptr()));
    py::object hook = qyb::make_function(wait_for_requests_def(), module);
    call_method(steal(PyImport_ImportModule("atexit")), name<"register">(), hook);
    registered = true;
}

void define_head_reader(qyb::Part& p) {
    qyb::ClassBuilder reader(p.module(), "_HeadReader", {get(p.get("io"), name<"RawIOBase">())});
    reader.method(head_reader_init_def()).method(head_reader_readable_def()).method(head_reader_readinto_def());
    p.bind_class(reader);
}

namespace {

// ---------------------------------------------------------------------------------------
// GatewayRequestHandler

// The base class's, then keepalive, then the head read under its deadline.
py::object handler_setup(const qyb::Call& call) {
    auto [self] = call.args<1>();
    const double started = qyb::to_double(call.monotonic());
    call_method(call.super(self), name<"setup">());
    py::object connection = get(self, name<"connection">());
    keep_alive(call, connection);
    py::object limit = get(self, name<"head_timeout">());
    py::object deadline = py::none();
    if (!limit.is_none()) {
        deadline = steal(PyNumber_Add(py::float_(started).ptr(), limit.ptr()));
    }
    // The base class's reader is replaced before anything is read through it.
    call_method(get(self, name<"rfile">()), name<"close">());
    py::object reader = invoke(call.global<"_HeadReader">(), connection, deadline);
    set(self, name<"rfile">(), invoke(get(call.global<"io">(), name<"BufferedReader">()), reader));
    return py::none();
}

qyb::FunctionDef handler_setup_def() { return {.name = "setup", .params = {arg("self")}, .body = handler_setup}; }

// The head has been read: reads from here on have the handler's own time-out (none).
void end_of_head(py::handle self) {
    py::object raw = get(get(self, name<"rfile">()), name<"raw">());
    set(raw, name<"deadline">(), py::none());
    call_method(get(self, name<"connection">()), name<"settimeout">(), get(self, name<"timeout">()));
}

// The base class logs every request and refusal through log_message; the gateway writes no log.
py::object handler_log_message(const qyb::Call& call) {
    [[maybe_unused]] auto [self, format, args] = call.args<3>();
    return py::none();
}

qyb::FunctionDef handler_log_message_def() {
    return {.name = "log_message", .params = {arg("self"), arg("format"), qyb::varargs("args")},
            .body = handler_log_message};
}

// The whole answer leaves in one write. The base class's send_response and send_header fill its
// headers buffer; the end of the headers and the body are joined to that buffer and
// flush_headers writes it, which is end_headers' own work.
py::object handler_json(const qyb::Call& call) {
    auto [self, status, payload] = call.args<3>();
    py::object body = invoke(call.global<"dumps_wire">(), payload);
    call_method(self, name<"send_response">(), status);
    call_method(self, name<"send_header">(), name<"Content-Type">(),
                name<"application/json; charset=utf-8">());
    const Py_ssize_t size = PyObject_Length(body.ptr());
    if (size < 0) {
        qyb::throw_error();
    }
    py::object length = steal(PyUnicode_FromFormat("%zd", size));
    call_method(self, name<"send_header">(), name<"Content-Length">(), length);
    call_method(self, name<"send_header">(), name<"Cache-Control">(), name<"no-store">());
    if (!equals(get(self, name<"request_version">()), name<"HTTP/0.9">())) {
        py::object buffer = get(self, name<"_headers_buffer">());
        call_method(buffer, name<"append">(), crlf());
        call_method(buffer, name<"append">(), body);
        call_method(self, name<"flush_headers">());
    } else {
        // A simple request gets the body alone, as end_headers writes nothing for it.
        call_method(get(self, name<"wfile">()), name<"write">(), body);
    }
    return py::none();
}

qyb::FunctionDef handler_json_def() {
    return {.name = "_json", .params = {arg("self"), arg("status", "int"), arg("payload", "dict")},
            .body = handler_json};
}

py::object handler_error(const qyb::Call& call) {
    auto [self, status, code, message, request_id, outcome] = call.args<6>();
    const bool retryable =
        equals(status, qyb::int_constant<429>()) || equals(status, qyb::int_constant<503>()) ||
        equals(status, qyb::int_constant<504>());
    py::object error = invoke(call.global<"RemoteError">(), code, message, qyb::kw<"request_id">(request_id),
                              qyb::kw<"retryable">(py::bool_(retryable)), qyb::kw<"outcome">(outcome));
    py::object fields = call_method(error, name<"to_dict">());
    py::object payload =
        qyb::dict_of({{name<"protocol_version">(), call.global<"_remote_protocol__PROTOCOL_VERSION">()}});
    qyb::check(PyDict_Update(payload.ptr(), fields.ptr()));
    call_method(self, name<"_json">(), status, payload);
    return py::none();
}

qyb::FunctionDef handler_error_def() {
    return {.name = "_error",
            .params = {arg("self"), arg("status"), arg("code"), arg("message"), arg("request_id", py::none()),
                       arg("outcome", py::str("not_started"))},
            .body = handler_error};
}

// The request's principal, or None once the 401 answer is written.
py::object handler_principal(const qyb::Call& call) {
    auto [self] = call.args<1>();
    py::object authorizer = get(get(self, name<"server">()), name<"authorizer">());
    py::object header = call_method(get(self, name<"headers">()), name<"get">(), name<"Authorization">());
    py::object principal = call_method(authorizer, name<"authenticate">(), header);
    if (principal.is_none()) {
        call_method(self, name<"_error">(), qyb::int_constant<401>(), name<"unauthorized">(),
                    name<"valid bearer token required">());
    }
    return principal;
}

qyb::FunctionDef handler_principal_def() {
    return {.name = "_principal", .params = {arg("self")}, .returns = "RemotePrincipal | None",
            .body = handler_principal};
}

py::object capabilities() {
    py::object list = steal(PyList_New(2));
    PyList_SET_ITEM(list.ptr(), 0, Py_NewRef(name<"execute">().ptr()));
    PyList_SET_ITEM(list.ptr(), 1, Py_NewRef(name<"upload">().ptr()));
    return list;
}

py::object handler_do_get(const qyb::Call& call) {
    RequestInProgress in_progress;
    auto [self] = call.args<1>();
    end_of_head(self);
    py::object path = get(self, name<"path">());
    if (equals(path, name<"/v1/health">())) {
        py::object payload = qyb::dict_of({{name<"protocol_version">(), qyb::int_constant<1>()},
                                           {name<"status">(), name<"ok">()},
                                           {name<"instance_id">(), get(get(self, name<"server">()), name<"instance_id">())},
                                           {name<"capabilities">(), capabilities()}});
        call_method(self, name<"_json">(), qyb::int_constant<200>(), payload);
        return py::none();
    }
    const bool auth_check = equals(path, name<"/v1/auth/check">());
    if (!auth_check && !equals(path, name<"/v1/status">())) {
        call_method(self, name<"_error">(), qyb::int_constant<404>(), name<"not_found">(), name<"endpoint not found">());
        return py::none();
    }
    py::object principal = call_method(self, name<"_principal">());
    if (principal.is_none()) {
        return py::none();
    }
    if (auth_check) {
        py::object payload = qyb::dict_of({{name<"protocol_version">(), qyb::int_constant<1>()},
                                           {name<"status">(), name<"ok">()},
                                           {name<"authenticated">(), Py_True},
                                           {name<"token_id">(), get(principal, name<"token_id">())}});
        call_method(self, name<"_json">(), qyb::int_constant<200>(), payload);
        return py::none();
    }
    py::object status;
    try {
        py::object router = get(get(self, name<"server">()), name<"router">());
        status = call_method(router, name<"status">(), get(principal, name<"accounts">()));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) {
            throw;
        }
        qyb::Except handling(e);
        call_method(self, name<"_error">(), qyb::int_constant<503>(), name<"service_unavailable">(),
                    name<"worker registry is unavailable">());
        return py::none();
    }
    py::object payload = qyb::dict_of({{name<"protocol_version">(), qyb::int_constant<1>()}});
    qyb::check(PyDict_Update(payload.ptr(), status.ptr()));
    call_method(self, name<"_json">(), qyb::int_constant<200>(), payload);
    return py::none();
}

qyb::FunctionDef handler_do_get_def() { return {.name = "do_GET", .params = {arg("self")}, .body = handler_do_get}; }

// POST /v1/uploads: the body stream goes to the store, which reads it.
void post_upload(const qyb::Call& call, py::handle self, py::handle principal) {
    py::object headers = get(self, name<"headers">());
    py::object header = call_method(headers, name<"get">(), name<"Content-Length">());
    py::object upload;
    try {
        py::object length = content_length(header);
        if (!length) {
            qyb::raise_object(invoke(call.global<"RemoteResourceError">(), name<"valid Content-Length required">()));
        }
        py::object uploads = get(get(self, name<"server">()), name<"uploads">());
        py::object owner = get(principal, name<"token_id">());
        py::object filename = call_method(get(call.global<"urllib">(), name<"parse">()), name<"unquote">(),
                                          call_method(headers, name<"get">(), name<"X-Filename-UTF8">(),
                                                      name<"">()));
        py::object rfile = get(self, name<"rfile">());
        py::object digest = call_method(headers, name<"get">(), name<"X-Content-SHA256">());
        upload = call_method(uploads, name<"put">(), owner, filename, rfile, length, digest);
    } catch (py::error_already_set& e) {
        if (!e.matches(call.global<"RemoteResourceError">())) {
            throw;
        }
        {
            qyb::Except handling(e);
            py::object message = steal(PyObject_Str(e.value().ptr()));
            call_method(self, name<"_error">(), qyb::int_constant<400>(), name<"invalid_upload">(), message);
        }
        py::object length = content_length(header);
        discard_unread_body(call, self, length ? clamp_to_long_long(length) : kUnknownBodyLimit);
        return;
    }
    py::object upload_id = get(upload, name<"upload_id">());
    py::object payload = qyb::dict_of(
        {{name<"protocol_version">(), qyb::int_constant<1>()},
         {name<"upload_id">(), upload_id},
         {name<"filename">(), get(upload, name<"filename">())},
         {name<"size">(), get(upload, name<"size">())},
         {name<"sha256">(), get(upload, name<"sha256">())},
         {name<"reference">(), steal(PyNumber_Add(name<"artifact://">().ptr(), upload_id.ptr()))}});
    call_method(self, name<"_json">(), qyb::int_constant<201>(), payload);
}

// POST /v1/commands: the request stage, then the answer stage.
void post_command(const qyb::Call& call, py::handle self, py::handle principal) {
    py::object request_id = py::none();
    const double started = qyb::to_double(call.monotonic());
    py::object result;
    // The bytes of the body left unread when the request ends with a refusal.
    long long unread = 0;
    // The guarded steps: true when they end the request with an answer of their own.
    auto request_stage = [&]() -> bool {
        py::object headers = get(self, name<"headers">());
        py::object length = content_length(call_method(headers, name<"get">(), name<"Content-Length">()));
        if (!length) {
            unread = kUnknownBodyLimit;
            qyb::raise(PyExc_ValueError, name<"valid Content-Length required">());
        }
        if (qyb::compare(length, call.global<"MAX_JSON_BYTES">(), Py_GT)) {
            unread = clamp_to_long_long(length);
            call_method(self, name<"_error">(), qyb::int_constant<413>(), name<"request_too_large">(),
                        name<"request body is too large">());
            return true;
        }
        py::object body = call_method(get(self, name<"rfile">()), name<"read">(), length);
        py::object request = call_method(call.global<"CommandRequest">(), name<"from_dict">(),
                                         invoke(call.global<"loads_strict">(), body));
        request_id = get(request, name<"request_id">());
        py::object nickname = get(request, name<"nickname">());
        py::object argv = steal(PySequence_List(get(request, name<"argv">()).ptr()));
        if (!truthy(call_method(principal, name<"permits">(), nickname))) {
            call_method(self, name<"_error">(), qyb::int_constant<403>(), name<"account_forbidden">(),
                        name<"token cannot access this account">(), request_id);
            return true;
        }
        py::object router = get(get(self, name<"server">()), name<"router">());
        result = call_method(router, name<"execute_command">(), nickname, argv,
                             get(principal, name<"accounts">()), get(principal, name<"token_id">()));
        return false;
    };
    bool answered;
    try {
        answered = request_stage();
    } catch (py::error_already_set& e) {
        qyb::Except handling(e);
        if (e.matches(PyExc_ValueError)) {
            py::object message = steal(PyObject_Str(e.value().ptr()));
            call_method(self, name<"_error">(), qyb::int_constant<400>(), name<"invalid_request">(), message, request_id);
        } else if (e.matches(call.global<"RemoteRouteError">())) {
            py::handle exc = e.value();
            py::object status = get(exc, name<"status">());
            py::object code = get(exc, name<"code">());
            py::object message = steal(PyObject_Str(exc.ptr()));
            py::object outcome = get(exc, name<"outcome">());
            call_method(self, name<"_error">(), status, code, message, request_id, outcome);
        } else if (e.matches(PyExc_Exception)) {
            call_method(self, name<"_error">(), qyb::int_constant<500>(), name<"internal_error">(),
                        name<"remote command failed">(), request_id, name<"unknown">());
        } else {
            handling.reraise();
        }
        answered = true;
    }
    if (answered) {
        discard_unread_body(call, self, unread);
        return;
    }
    try {
        py::object command = qyb::item(result, name<"command">());
        py::object exit_code = qyb::item(command, name<"exit_code">());
        py::object value = qyb::item(command, name<"result">());
        py::object stderr_text = qyb::item(command, name<"stderr">());
        const double elapsed = (qyb::to_double(call.monotonic()) - started) * 1000.0;
        py::object duration = steal(PyLong_FromDouble(elapsed > 0 ? elapsed : 0.0));
        py::object response = invoke(call.global<"CommandResponse">(), qyb::kw<"request_id">(request_id),
                                     qyb::kw<"exit_code">(exit_code), qyb::kw<"result">(value),
                                     qyb::kw<"stderr">(stderr_text), qyb::kw<"duration_ms">(duration));
        call_method(self, name<"_json">(), qyb::int_constant<200>(), call_method(response, name<"to_dict">()));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_KeyError) && !e.matches(PyExc_TypeError) && !e.matches(PyExc_ValueError)) {
            throw;
        }
        qyb::Except handling(e);
        call_method(self, name<"_error">(), qyb::int_constant<500>(), name<"invalid_worker_response">(),
                    name<"worker returned an invalid command response">(), request_id, name<"completed">());
    }
}

py::object handler_do_post(const qyb::Call& call) {
    RequestInProgress in_progress;
    auto [self] = call.args<1>();
    end_of_head(self);
    py::object path = get(self, name<"path">());
    const bool uploads = equals(path, name<"/v1/uploads">());
    if (!uploads && !equals(path, name<"/v1/commands">())) {
        call_method(self, name<"_error">(), qyb::int_constant<404>(), name<"not_found">(), name<"endpoint not found">());
        discard_unread_body(call, self, announced_length(get(self, name<"headers">())));
        return py::none();
    }
    py::object principal = call_method(self, name<"_principal">());
    if (principal.is_none()) {
        discard_unread_body(call, self, announced_length(get(self, name<"headers">())));
        return py::none();
    }
    if (uploads) {
        post_upload(call, self, principal);
    } else {
        post_command(call, self, principal);
    }
    return py::none();
}

qyb::FunctionDef handler_do_post_def() { return {.name = "do_POST", .params = {arg("self")}, .body = handler_do_post}; }

}  // namespace

void define_request_handler(qyb::Part& p) {
    qyb::ClassBuilder handler(p.module(), "GatewayRequestHandler", {p.get("BaseHTTPRequestHandler")});
    handler.attr("server_version", py::str("qybridge4-remote/1"))
        .attr("sys_version", py::str(""))
        .attr("head_timeout", py::int_(30))
        .method(handler_setup_def())
        .method(handler_log_message_def())
        .method(handler_json_def())
        .method(handler_error_def())
        .method(handler_principal_def())
        .method(handler_do_get_def())
        .method(handler_do_post_def());
    p.bind_class(handler);
}

}  // namespace remote
