// The gateway client's transport: the constructor, building a request, one bounded read of the
// answer, and every HTTP or connection failure turned into a RemoteClientError.
#include "qyb/python.h"

#include "client_internal.h"
#include "parts.h"

namespace remote::client {

namespace {

using qyb::arg;
using qyb::name;

// `close = getattr(response, "close", None); if close: close()`.
void close_response(py::handle response) {
    PyObject* close = PyObject_GetAttr(response.ptr(), name<"close">().ptr());
    if (close == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            qyb::throw_error();
        }
        PyErr_Clear();
        return;
    }
    py::object held = qyb::steal(close);
    if (qyb::truthy(held)) {
        qyb::steal(PyObject_CallNoArgs(close));
    }
}

// `getattr(exc, "reason", exc)`.
py::object reason_of(py::handle exc) {
    PyObject* reason = PyObject_GetAttr(exc.ptr(), name<"reason">().ptr());
    if (reason == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            qyb::throw_error();
        }
        PyErr_Clear();
        return py::reinterpret_borrow<py::object>(exc);
    }
    return qyb::steal(reason);
}

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

// `self.max_response_bytes + 1`.
py::object read_bound(py::handle self) {
    py::object limit = qyb::get(self, name<"max_response_bytes">());
    return qyb::steal(PyNumber_Add(limit.ptr(), qyb::int_constant<1>()));
}

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
    qyb::invoke(add, qyb::get(request, name<"HTTPSHandler">())(py::arg("context") = context));
    return opener;
}

// `_urlopen(request, timeout=..., context=...)` of a client given no opener, bound to
// (opener, the TLS context it was made with, whether it uses proxies). A context other than its
// own gets an opener of its own for that call, as urlopen would make one.
py::object open_with_own_opener(const qyb::Call& call) {
    py::handle state = call[0], request = call[1], timeout = call[2], context = call[3];
    if (!PyTuple_CheckExact(state.ptr()) || PyTuple_GET_SIZE(state.ptr()) != 3) {
        qyb::raise(PyExc_TypeError, "the client's opener is bound to (opener, context, proxied)");
    }
    py::object opener = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(state.ptr(), 0));
    if (!context.is_none() && context.ptr() != PyTuple_GET_ITEM(state.ptr(), 1)) {
        opener = make_opener(call.global<"urllib">().attr(name<"request">()), context,
                             qyb::truthy(PyTuple_GET_ITEM(state.ptr(), 2)));
    }
    return qyb::get(opener, name<"open">())(request, py::arg("timeout") = timeout);
}

// Statuses a reverse proxy gives when the gateway behind it failed or was too slow to answer:
// a POST may have started its command before.
bool gateway_lost(py::handle status) {
    return qyb::is_int(status) &&
           (qyb::equals(status, qyb::int_constant<502>()) || qyb::equals(status, qyb::int_constant<504>()));
}

}  // namespace

py::object make_client_opener(py::handle module) {
    return qyb::make_function({.name = "_urlopen",
                               .params = {arg("self"), arg("request"), qyb::kwonly("timeout"),
                                          qyb::kwonly("context", py::none())},
                               .body = open_with_own_opener},
                              module, "RemoteClient");
}

py::dict base_headers(py::handle self) {
    py::dict headers;
    headers[name<"Accept">()] = name<"application/json">();
    py::object token = qyb::get(self, name<"token">());
    headers[name<"Authorization">()] = qyb::steal(PyUnicode_Concat(name<"Bearer ">().ptr(), token.ptr()));
    return headers;
}

// Construction: the base URL first, then the token, then the time-out; nothing else is checked.
py::object client_init(const qyb::Call& call) {
    py::handle self = call[0], token = call[2], timeout = call[4], ca_bundle = call[5];
    py::object base_url = call.global<"validate_base_url">()(call[1], py::arg("allow_insecure") = call[3]);
    if (!PyUnicode_Check(token.ptr()) || PyUnicode_GET_LENGTH(token.ptr()) == 0) {
        refuse(call, "missing_token", "remote token is required");
    }
    if (qyb::compare(timeout, qyb::int_constant<0>(), Py_LE)) {
        refuse(call, "invalid_timeout", "remote timeout must be positive");
    }
    qyb::set(self, name<"base_url">(), base_url);
    qyb::set(self, name<"token">(), token);
    qyb::set(self, name<"timeout">(), timeout);
    qyb::set(self, name<"max_response_bytes">(), call[8]);
    py::object urllib = call.global<"urllib">();
    py::object parts = urllib.attr(name<"parse">()).attr(name<"urlsplit">())(base_url);
    py::object context = py::none();
    if (qyb::equals(parts.attr(name<"scheme">()).attr(name<"lower">())(), name<"https">())) {
        py::object ssl = call.global<"ssl">();
        context = qyb::truthy(call[6]) ? ssl.attr(name<"create_default_context">())(py::arg("cafile") = ca_bundle)
                                        : ssl.attr(name<"_create_unverified_context">())();
    }
    py::object opener;
    if (qyb::truthy(call[7])) {
        opener = py::reinterpret_borrow<py::object>(call[7]);
    } else {
        // Made once per client: its proxies depend only on the host, and making an opener
        // costs a noticeable share of a round trip.
        const bool proxied = !qyb::truthy(call.global<"_is_loopback">()(parts.attr(name<"hostname">())));
        py::object own = make_opener(urllib.attr(name<"request">()), context, proxied);
        opener = qyb::steal(PyMethod_New(call.held(0).ptr(), py::make_tuple(own, context, py::bool_(proxied)).ptr()));
    }
    qyb::set(self, name<"_urlopen">(), opener);
    qyb::set(self, name<"_ssl_context">(), context);
    return py::none();
}

py::object client_request(const qyb::Call& call) {
    py::handle self = call[0], method = call[1], path = call[2], payload = call[3];
    py::handle request_id = call[4], idempotency_key = call[5];
    py::object body = py::none();
    if (!payload.is_none()) {
        py::object text = call.global<"json">().attr(name<"dumps">())(
            payload, py::arg("ensure_ascii") = false, py::arg("separators") = py::make_tuple(",", ":"));
        body = text.attr(name<"encode">())(name<"utf-8">());
    }
    py::dict headers = base_headers(self);
    if (!body.is_none()) {
        headers[name<"Content-Type">()] = name<"application/json; charset=utf-8">();
    }
    if (qyb::truthy(idempotency_key)) {
        headers[name<"Idempotency-Key">()] = idempotency_key;
    }
    py::object url = qyb::steal(PyNumber_Add(qyb::get(self, name<"base_url">()).ptr(), path.ptr()));
    py::object request = call.global<"urllib">().attr(name<"request">()).attr(name<"Request">())(
        url, py::arg("data") = body, py::arg("headers") = headers, py::arg("method") = method);
    return qyb::get(self, name<"_open_request">())(request, method, request_id);
}

//   failure of the exchange          becomes
//   HTTP error answer                _raise_http_error (its own failures pass unconverted)
//   RemoteClientError of the answer  itself
//   any other OS error               "transport_error", outcome by method, retryable for GET
//   anything else                    itself
py::object client_open_request(const qyb::Call& call) {
    py::handle self = call[0], request = call[1], method = call[2], request_id = call[3];
    try {
        py::dict options;
        options[name<"timeout">()] = qyb::get(self, name<"timeout">());
        py::object context = qyb::get(self, name<"_ssl_context">());
        if (!context.is_none()) {
            options[name<"context">()] = context;
        }
        py::object opener = qyb::get(self, name<"_urlopen">());
        py::object response = qyb::steal(PyObject_Call(opener.ptr(), py::make_tuple(request).ptr(), options.ptr()));
        py::object body;
        try {
            body = response.attr(name<"read">())(read_bound(self));
        } catch (py::error_already_set& e) {
            qyb::Handling handling(e);
            close_response(response);
            throw;
        }
        close_response(response);

        py::object limit = qyb::get(self, name<"max_response_bytes">());
        py::object length = qyb::steal(PyLong_FromSsize_t(py::len(body)));
        if (qyb::compare(length, limit, Py_GT)) {
            refuse(call, "response_too_large", "remote response exceeds size limit",
                   py::arg("outcome") = name<"unknown">());
        }
        py::object decoded = call.global<"_strict_json">()(body);
        if (!PyDict_Check(decoded.ptr())) {
            refuse(call, "invalid_response", "remote response must be a JSON object",
                   py::arg("outcome") = name<"unknown">());
        }
        return decoded;
    } catch (py::error_already_set& e) {
        py::object urllib = call.global<"urllib">();
        if (e.matches(urllib.attr(name<"error">()).attr(name<"HTTPError">()))) {
            qyb::Handling handling(e);
            qyb::get(self, name<"_raise_http_error">())(e.value(), request_id, py::arg("method") = method);
            return py::none();
        }
        if (e.matches(call.global<"RemoteClientError">()) || !e.matches(PyExc_OSError)) {
            throw;
        }
        qyb::Handling handling(e);
        py::object reason = qyb::steal(PyObject_Format(reason_of(e.value()).ptr(), nullptr));
        py::object message = qyb::steal(PyUnicode_Concat(name<"cannot reach remote gateway: ">().ptr(), reason.ptr()));
        const bool post = qyb::equals(method, name<"POST">());
        py::object error = client_error(call, "transport_error", message,
                                        py::arg("outcome") = post ? name<"unknown">() : name<"not_started">(),
                                        py::arg("retryable") = qyb::equals(method, name<"GET">()),
                                        py::arg("request_id") = request_id);
        qyb::raise_object_from(error, e.value());
    }
}

// The HTTP error answer's body is read once, bounded; each field of its "error" object is taken
// when it has the right type, else its fallback.
py::object client_raise_http_error(const qyb::Call& call) {
    py::handle self = call[0], exc = call[1], request_id = call[2], method = call[3];
    py::object raw = exc.attr(name<"read">())(read_bound(self));
    py::object limit = qyb::get(self, name<"max_response_bytes">());
    py::object length = qyb::steal(PyLong_FromSsize_t(py::len(raw)));
    py::object decoded = py::none();
    if (qyb::compare(length, limit, Py_LE)) {
        try {
            decoded = call.global<"_strict_json">()(raw);
        } catch (py::error_already_set& e) {
            if (!e.matches(call.global<"RemoteClientError">())) {
                throw;
            }
        }
    }
    py::object error = py::none();
    if (PyDict_Check(decoded.ptr())) {
        PyObject* found = PyDict_GetItemWithError(decoded.ptr(), name<"error">().ptr());
        if (found == nullptr && PyErr_Occurred()) {
            qyb::throw_error();
        }
        if (found != nullptr) {
            error = py::reinterpret_borrow<py::object>(found);
        }
    }
    // The fields of the error object, or none when it has no such key.
    auto field = [&](py::handle key) -> py::object {
        if (!PyDict_Check(error.ptr())) {
            return py::none();
        }
        PyObject* value = PyDict_GetItemWithError(error.ptr(), key.ptr());
        if (value == nullptr && PyErr_Occurred()) {
            qyb::throw_error();
        }
        return py::reinterpret_borrow<py::object>(value != nullptr ? value : Py_None);
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
    py::object failure = call.global<"RemoteClientError">()(
        code, message, py::arg("outcome") = outcome, py::arg("retryable") = retryable,
        py::arg("http_status") = status, py::arg("request_id") = rid);
    raise_with_cause(failure, exc);
}

}  // namespace remote::client
