// The gateway client's transport: the constructor, building a request, one bounded read of the
// answer, and every HTTP or connection failure turned into a RemoteClientError.
#include "qyb/python.h"

#include "client_internal.h"
#include "parts.h"

namespace remote::client {

namespace {

using qyb::arg;
using qyb::kwonly;
using qyb::name;

// The opener of a client given none, made from urllib's own handlers. No redirect handler: the
// gateway never redirects, and following one would hand the bearer token (in plain text, too) to
// whatever host the Location names, and turn a command's POST into a bodiless GET; a 3xx answer
// is raised as an HTTP error instead. No proxy for a loopback gateway, so the token goes straight
// to the local machine (a Windows "<local>" bypass does not cover 127.0.0.1); other hosts keep
// the proxies urllib finds, an HTTPS exchange being tunnelled through them.
py::object make_opener(py::handle request, py::handle context, bool proxied) {
    py::object opener = qyb::invoke(qyb::get(request, name<"OpenerDirector">()));
    py::object add = qyb::get(opener, name<"add_handler">());
    if (proxied) {
        qyb::invoke(add, qyb::invoke(qyb::get(request, name<"ProxyHandler">())));
    }
    for (py::handle handler : {name<"UnknownHandler">(), name<"HTTPHandler">(), name<"HTTPDefaultErrorHandler">(),
                               name<"HTTPErrorProcessor">()}) {
        qyb::invoke(add, qyb::invoke(qyb::get(request, handler)));
    }
    qyb::invoke(add, qyb::invoke(qyb::get(request, name<"HTTPSHandler">()), qyb::kw<"context">(context)));
    return opener;
}

// `_urlopen(request, timeout=..., context=...)` of a client given no opener, bound to
// (opener, the TLS context it was made with, whether it uses proxies). A context other than its
// own gets an opener of its own for that call, as urlopen would make one.
py::object open_with_own_opener(const qyb::Call& call) {
    auto [state, request, timeout, context] = call.args<4>();
    // Raw: the bound state is a tuple of a known shape, read in place.
    if (!PyTuple_CheckExact(state.ptr()) || PyTuple_GET_SIZE(state.ptr()) != 3) {
        qyb::raise(PyExc_TypeError, "the client's opener is bound to (opener, context, proxied)");
    }
    py::object opener = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(state.ptr(), 0));
    if (!context.is_none() && context.ptr() != PyTuple_GET_ITEM(state.ptr(), 1)) {
        opener = make_opener(qyb::get(call.global<"urllib">(), name<"request">()), context,
                             qyb::truthy(PyTuple_GET_ITEM(state.ptr(), 2)));
    }
    return qyb::call_method(opener, name<"open">(), request, qyb::kw<"timeout">(timeout));
}

qyb::FunctionDef open_with_own_opener_def() {
    return {.name = "_urlopen",
            .params = {arg("self"), arg("request"), kwonly("timeout"), kwonly("context", py::none())},
            .body = open_with_own_opener};
}

// Construction: the base URL first, then the token, then the time-out; nothing else is checked.
py::object client_init(const qyb::Call& call) {
    auto [self, base_url_given, token, allow_insecure, timeout, ca_bundle, verify_tls, urlopen,
          max_response_bytes] = call.args<9>();
    py::object base_url =
        qyb::invoke(call.global<"validate_base_url">(), base_url_given, qyb::kw<"allow_insecure">(allow_insecure));
    if (!PyUnicode_Check(token.ptr()) || PyUnicode_GET_LENGTH(token.ptr()) == 0) {
        refuse(call, "missing_token", "remote token is required");
    }
    if (qyb::compare(timeout, qyb::int_constant<0>(), Py_LE)) {
        refuse(call, "invalid_timeout", "remote timeout must be positive");
    }
    qyb::set(self, name<"base_url">(), base_url);
    qyb::set(self, name<"token">(), token);
    qyb::set(self, name<"timeout">(), timeout);
    qyb::set(self, name<"max_response_bytes">(), max_response_bytes);
    py::object urllib = call.global<"urllib">();
    py::object parts = qyb::call_method(qyb::get(urllib, name<"parse">()), name<"urlsplit">(), base_url);
    py::object context = py::none();
    if (qyb::equals(qyb::call_method(qyb::get(parts, name<"scheme">()), name<"lower">()), name<"https">())) {
        py::object ssl = call.global<"ssl">();
        context = qyb::truthy(verify_tls)
                      ? qyb::call_method(ssl, name<"create_default_context">(), qyb::kw<"cafile">(ca_bundle))
                      : qyb::call_method(ssl, name<"_create_unverified_context">());
    }
    py::object opener;
    if (qyb::truthy(urlopen)) {
        opener = py::reinterpret_borrow<py::object>(urlopen);
    } else {
        // Made once per client: its proxies depend only on the host, and making an opener
        // costs a noticeable share of a round trip.
        py::object is_loopback = call.global<"_is_loopback">();
        const bool proxied = !qyb::truthy(qyb::invoke(is_loopback, qyb::get(parts, name<"hostname">())));
        py::object own = make_opener(qyb::get(urllib, name<"request">()), context, proxied);
        opener = qyb::steal(PyMethod_New(call.held(0).ptr(), py::make_tuple(own, context, py::bool_(proxied)).ptr()));
    }
    qyb::set(self, name<"_urlopen">(), opener);
    qyb::set(self, name<"_ssl_context">(), context);
    return py::none();
}

}  // namespace

qyb::FunctionDef client_init_def(qyb::Part& p) {
    return {.name = "__init__",
            .params = {arg("self"), arg("base_url", "str"), arg("token", "str"),
                       kwonly("allow_insecure", "bool", py::bool_(false)),
                       kwonly("timeout", "float", py::float_(60.0)),
                       kwonly("ca_bundle", "str | None", py::none()),
                       kwonly("verify_tls", "bool", py::bool_(true)),
                       kwonly("urlopen", "Callable[..., Any] | None", py::none()),
                       kwonly("max_response_bytes", "int", p.get("MAX_RESPONSE_BYTES"))},
            .returns = "None",
            .body = client_init,
            .held = {qyb::make_function(open_with_own_opener_def(), p.module(), "RemoteClient")}};
}

py::object base_headers(py::handle self) {
    py::object token = qyb::get(self, name<"token">());
    py::object bearer = qyb::steal(PyUnicode_Concat(name<"Bearer ">().ptr(), token.ptr()));
    return qyb::dict_of({{name<"Accept">(), name<"application/json">()}, {name<"Authorization">(), bearer}});
}

namespace {

py::object client_request(const qyb::Call& call) {
    auto [self, method, path, payload, request_id, idempotency_key] = call.args<6>();
    py::object body = py::none();
    if (!payload.is_none()) {
        py::object text = qyb::call_method(call.global<"json">(), name<"dumps">(), payload,
                                           qyb::kw<"ensure_ascii">(py::bool_(false)),
                                           qyb::kw<"separators">(py::make_tuple(",", ":")));
        body = qyb::call_method(text, name<"encode">(), name<"utf-8">());
    }
    py::object headers = base_headers(self);
    if (!body.is_none()) {
        qyb::dict_set(headers, name<"Content-Type">(), name<"application/json; charset=utf-8">());
    }
    if (qyb::truthy(idempotency_key)) {
        qyb::dict_set(headers, name<"Idempotency-Key">(), idempotency_key);
    }
    py::object url = qyb::steal(PyNumber_Add(qyb::get(self, name<"base_url">()).ptr(), path.ptr()));
    py::object make_request = qyb::get(qyb::get(call.global<"urllib">(), name<"request">()), name<"Request">());
    py::object request = qyb::invoke(make_request, url, qyb::kw<"data">(body), qyb::kw<"headers">(headers),
                                     qyb::kw<"method">(method));
    return qyb::call_method(self, name<"_open_request">(), request, method, request_id);
}

}  // namespace

qyb::FunctionDef client_request_def() {
    return {.name = "_request",
            .params = {arg("self"), arg("method", "str"), arg("path", "str"),
                       arg("payload", "Mapping[str, Any] | None", py::none()),
                       kwonly("request_id", "str | None", py::none()),
                       kwonly("idempotency_key", "str | None", py::none())},
            .returns = "Mapping[str, Any]",
            .body = client_request};
}

namespace {

// `self.max_response_bytes + 1`.
py::object read_bound(py::handle self) {
    py::object limit = qyb::get(self, name<"max_response_bytes">());
    return qyb::steal(PyNumber_Add(limit.ptr(), qyb::int_constant<1>()));
}

// `close = getattr(response, "close", None); if close: close()`.
void close_response(py::handle response) {
    py::object close = qyb::get(response, name<"close">(), py::none());
    if (qyb::truthy(close)) {
        qyb::invoke(close);
    }
}

//   failure of the exchange          becomes
//   HTTP error answer                _raise_http_error (its own failures pass unconverted)
//   RemoteClientError of the answer  itself
//   any other OS error               "transport_error", outcome by method, retryable for GET
//   anything else                    itself
py::object client_open_request(const qyb::Call& call) {
    auto [self, request, method, request_id] = call.args<4>();
    try {
        py::object timeout = qyb::get(self, name<"timeout">());
        py::object context = qyb::get(self, name<"_ssl_context">());
        py::object opener = qyb::get(self, name<"_urlopen">());
        py::object response =
            context.is_none()
                ? qyb::invoke(opener, request, qyb::kw<"timeout">(timeout))
                : qyb::invoke(opener, request, qyb::kw<"timeout">(timeout), qyb::kw<"context">(context));
        py::object body = qyb::finally([&] { return qyb::call_method(response, name<"read">(), read_bound(self)); },
                                       [&] { close_response(response); });

        py::object limit = qyb::get(self, name<"max_response_bytes">());
        py::object length = qyb::steal(PyLong_FromSsize_t(py::len(body)));
        if (qyb::compare(length, limit, Py_GT)) {
            refuse(call, "response_too_large", "remote response exceeds size limit",
                   qyb::kw<"outcome">(name<"unknown">()));
        }
        py::object decoded = qyb::invoke(call.global<"_strict_json">(), body);
        if (!PyDict_Check(decoded.ptr())) {
            refuse(call, "invalid_response", "remote response must be a JSON object",
                   qyb::kw<"outcome">(name<"unknown">()));
        }
        return decoded;
    } catch (py::error_already_set& e) {
        py::object urllib = call.global<"urllib">();
        if (e.matches(qyb::get(qyb::get(urllib, name<"error">()), name<"HTTPError">()))) {
            qyb::Except handling(e);
            // The mapping keeps its two arguments, so overrides written to them still work; it
            // learns the method from a note on this exchange's own error object.
            qyb::set(e.value(), name<"_RemoteClient__method">(), method);
            qyb::call_method(self, name<"_raise_http_error">(), e.value(), request_id);
            return py::none();
        }
        if (e.matches(call.global<"RemoteClientError">()) || !e.matches(PyExc_OSError)) {
            throw;
        }
        qyb::Except handling(e);
        py::object reason = qyb::get(e.value(), name<"reason">(), e.value());
        py::object text = qyb::steal(PyObject_Format(reason.ptr(), nullptr));
        py::object message = qyb::steal(PyUnicode_Concat(name<"cannot reach remote gateway: ">().ptr(), text.ptr()));
        const bool post = qyb::equals(method, name<"POST">());
        py::object error = client_error(call, "transport_error", message,
                                        qyb::kw<"outcome">(post ? name<"unknown">() : name<"not_started">()),
                                        qyb::kw<"retryable">(py::bool_(qyb::equals(method, name<"GET">()))),
                                        qyb::kw<"request_id">(request_id));
        qyb::raise_from(error, e.value());
    }
}

}  // namespace

qyb::FunctionDef client_open_request_def() {
    return {.name = "_open_request",
            .params = {arg("self"), arg("request"), arg("method"), arg("request_id", py::none())},
            .body = client_open_request};
}

namespace {

bool is_outcome(py::handle value) {
    if (!PyUnicode_Check(value.ptr())) {
        return false;
    }
    for (py::handle outcome : {name<"not_started">(), name<"completed">(), name<"unknown">()}) {
        if (qyb::equals(value, outcome)) {
            return true;
        }
    }
    return false;
}

// Statuses where a later retry may meet a gateway that can answer again.
bool retryable_status(py::handle status) {
    if (!qyb::is_int(status)) {
        return false;
    }
    for (PyObject* retryable : {qyb::int_constant<429>(), qyb::int_constant<502>(),
                                qyb::int_constant<503>(), qyb::int_constant<504>()}) {
        if (qyb::equals(status, retryable)) {
            return true;
        }
    }
    return false;
}

// Statuses a reverse proxy gives when the gateway behind it failed or was too slow to answer:
// a POST may have started its command before.
bool gateway_lost(py::handle status) {
    return qyb::is_int(status) &&
           (qyb::equals(status, qyb::int_constant<502>()) || qyb::equals(status, qyb::int_constant<504>()));
}

// The HTTP error answer's body is read once, bounded; each field of its "error" object is taken
// when it has the right type, else its fallback.
py::object client_raise_http_error(const qyb::Call& call) {
    auto [self, exc, request_id] = call.args<3>();
    // None when the error did not come through _open_request, which notes its method.
    py::object method = qyb::get(exc, name<"_RemoteClient__method">(), py::none());
    py::object raw = qyb::call_method(exc, name<"read">(), read_bound(self));
    py::object limit = qyb::get(self, name<"max_response_bytes">());
    py::object length = qyb::steal(PyLong_FromSsize_t(py::len(raw)));
    py::object decoded = py::none();
    if (qyb::compare(length, limit, Py_LE)) {
        try {
            decoded = qyb::invoke(call.global<"_strict_json">(), raw);
        } catch (py::error_already_set& e) {
            if (!e.matches(call.global<"RemoteClientError">())) {
                throw;
            }
        }
    }
    py::object error = PyDict_Check(decoded.ptr()) ? dict_value(decoded, name<"error">()) : py::none();
    // The fields of the error object, or none when it has no such key.
    auto field = [&](py::handle key) -> py::object {
        return PyDict_Check(error.ptr()) ? dict_value(error, key) : py::none();
    };

    py::object status = qyb::get(exc, name<"code">());
    py::object code = field(name<"code">());
    if (!PyUnicode_Check(code.ptr())) {
        code = py::reinterpret_borrow<py::object>(name<"remote_http_error">());
    }
    py::object message = field(name<"message">());
    if (!PyUnicode_Check(message.ptr())) {
        py::object decimal = qyb::steal(PyObject_Format(status.ptr(), nullptr));
        message = qyb::steal(PyUnicode_Concat(name<"remote HTTP error ">().ptr(), decimal.ptr()));
    }
    // A POST that a proxy gave up on may still be running behind it: neither "not started" nor
    // safe to send again, as the gateway does not honour Idempotency-Key.
    const bool maybe_running = qyb::equals(method, name<"POST">()) && gateway_lost(status);
    py::object outcome = field(name<"outcome">());
    if (!is_outcome(outcome)) {
        outcome = py::reinterpret_borrow<py::object>(maybe_running ? name<"unknown">() : name<"not_started">());
    }
    py::object retryable = field(name<"retryable">());
    if (!PyBool_Check(retryable.ptr())) {
        retryable = py::bool_(!maybe_running && retryable_status(status));
    }
    py::object rid = field(name<"request_id">());
    if (!PyUnicode_Check(rid.ptr())) {
        rid = py::reinterpret_borrow<py::object>(request_id);
    }
    py::object failure = qyb::invoke(call.global<"RemoteClientError">(), code, message, qyb::kw<"outcome">(outcome),
                                     qyb::kw<"retryable">(retryable), qyb::kw<"http_status">(status),
                                     qyb::kw<"request_id">(rid));
    // `raise failure from exc`, exc not being handled here: the context stays what the caller
    // handles, if anything (qyb::raise_from would make exc the context too).
    PyException_SetCause(failure.ptr(), Py_NewRef(exc.ptr()));
    qyb::raise_object(failure);
}

}  // namespace

qyb::FunctionDef client_raise_http_error_def() {
    return {.name = "_raise_http_error",
            .params = {arg("self"), arg("exc", "urllib.error.HTTPError"), arg("request_id", "str | None")},
            .returns = "None",
            .body = client_raise_http_error};
}

}  // namespace remote::client
