// The gateway client's transport: the constructor, building a request, one bounded read of the
// answer, and every HTTP or connection failure turned into a RemoteClientError.
#include "qyb/python.h"

#include "client_internal.h"
#include "parts.h"

namespace remote::client {

namespace {

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

}  // namespace

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
    py::object opener = qyb::truthy(call[7]) ? py::reinterpret_borrow<py::object>(call[7])
                                              : urllib.attr(name<"request">()).attr(name<"urlopen">());
    qyb::set(self, name<"_urlopen">(), opener);

    py::object context = py::none();
    py::object scheme = urllib.attr(name<"parse">()).attr(name<"urlsplit">())(base_url).attr(name<"scheme">());
    if (qyb::equals(scheme.attr(name<"lower">())(), name<"https">())) {
        py::object ssl = call.global<"ssl">();
        context = qyb::truthy(call[6]) ? ssl.attr(name<"create_default_context">())(py::arg("cafile") = ca_bundle)
                                        : ssl.attr(name<"_create_unverified_context">())();
    }
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
            qyb::get(self, name<"_raise_http_error">())(e.value(), request_id);
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
    py::handle self = call[0], exc = call[1], request_id = call[2];
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
    py::object outcome = field(name<"outcome">());
    if (!is_outcome(outcome)) {
        outcome = py::reinterpret_borrow<py::object>(name<"not_started">());
    }
    py::object retryable = field(name<"retryable">());
    if (!PyBool_Check(retryable.ptr())) {
        retryable = py::bool_(retryable_status(status));
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
