// RemoteError: the error that travels between the gateway and the remote command line.
#include "qyb/python.h"

#include "internal.h"
#include "parts.h"

namespace remote {

namespace py = pybind11;

namespace protocol {

namespace {

PyObject* outcomes() {
    static PyObject* set = frozen_set_of(
        {qyb::name<"not_started">(), qyb::name<"completed">(), qyb::name<"unknown">()});
    return set;
}

PyObject* error_response_keys() {
    static PyObject* set = frozen_set_of({qyb::name<"error">()});
    return set;
}

PyObject* error_keys() {
    static PyObject* set = frozen_set_of({qyb::name<"code">(), qyb::name<"message">(),
                                          qyb::name<"request_id">(), qyb::name<"retryable">(),
                                          qyb::name<"outcome">()});
    return set;
}

// Membership in the three outcomes. They are strings, so anything else (an unhashable JSON
// array or object among them) is simply not one of them.
bool is_outcome(PyObject* value) {
    if (!PyUnicode_Check(value)) {
        return false;
    }
    int found = PySet_Contains(outcomes(), value);
    if (found < 0) {
        qyb::throw_error();
    }
    return found != 0;
}

py::object init_body(const qyb::Call& call) {
    PyObject* self = call[0].ptr();
    PyObject* code = call[1].ptr();
    PyObject* message = call[2].ptr();
    call.super(self).attr(qyb::name<"__init__">())(py::handle(message));
    if (!call_identifier(call, code)) {
        qyb::raise(PyExc_ValueError, "invalid remote error code");
    }
    if (!is_outcome(call[5].ptr())) {
        qyb::raise(PyExc_ValueError, "invalid remote error outcome");
    }
    qyb::set(self, qyb::name<"code">(), code);
    qyb::set(self, qyb::name<"message">(), message);
    qyb::set(self, qyb::name<"request_id">(), call[3].ptr());
    qyb::set(self, qyb::name<"retryable">(), call[4].ptr());
    qyb::set(self, qyb::name<"outcome">(), call[5].ptr());
    return py::none();
}

py::object to_dict_body(const qyb::Call& call) {
    PyObject* self = call[0].ptr();
    py::dict error;
    for (py::handle key : {qyb::name<"code">(), qyb::name<"message">(), qyb::name<"request_id">(),
                           qyb::name<"retryable">(), qyb::name<"outcome">()}) {
        error[key] = qyb::get(self, key);
    }
    py::dict outer;
    outer[qyb::name<"error">()] = error;
    return outer;
}

py::object from_dict_body(const qyb::Call& call) {
    PyObject* cls = call[0].ptr();
    py::object outer = call_object(call, call[1].ptr(), error_response_keys(),
                                   qyb::name<"error response">().ptr());
    py::object item = call_object(call, qyb::item(outer.ptr(), qyb::name<"error">()).ptr(),
                                  error_keys(), qyb::name<"error">().ptr());
    call_string(call, qyb::item(item.ptr(), qyb::name<"code">()).ptr(), qyb::name<"error.code">().ptr(),
                int_constant<64>(), false);
    call_string(call, qyb::item(item.ptr(), qyb::name<"message">()).ptr(),
                qyb::name<"error.message">().ptr(), int_constant<4096>(), false);
    py::object request_id = qyb::item(item.ptr(), qyb::name<"request_id">());
    if (!request_id.is_none()) {
        call_request_id(call, request_id.ptr());
    }
    if (!PyBool_Check(qyb::item(item.ptr(), qyb::name<"retryable">()).ptr())) {
        qyb::raise(PyExc_ValueError, "error.retryable must be boolean");
    }
    if (!is_outcome(qyb::item(item.ptr(), qyb::name<"outcome">()).ptr())) {
        qyb::raise(PyExc_ValueError, "invalid error.outcome");
    }
    return call_with_keywords(cls, item.ptr());
}

}  // namespace

}  // namespace protocol

void define_remote_error(qyb::Part& p) {
    using qyb::arg;
    using qyb::kwonly;
    namespace pr = protocol;
    qyb::ClassBuilder c(p.module(), "RemoteError", {PyExc_RuntimeError});
    c.doc("Stable error transported between the gateway and remote CLI.")
        .method({.name = "__init__",
                 .params = {arg("self"), arg("code", "str"), arg("message", "str"),
                            kwonly("request_id", "str | None", py::none()),
                            kwonly("retryable", "bool", py::bool_(false)),
                            kwonly("outcome", "str", py::str("not_started"))},
                 .body = pr::init_body})
        .method({.name = "to_dict", .params = {arg("self")}, .returns = "dict[str, Any]",
                 .body = pr::to_dict_body})
        .class_method({.name = "from_dict", .params = {arg("cls"), arg("value", "Any")},
                       .returns = "'RemoteError'", .body = pr::from_dict_body});
    p.bind_class(c);
}

}  // namespace remote
