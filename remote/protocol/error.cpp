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
    if (!qyb::truthy(call.shortcut<"_identifier">(identifier_body)(py::handle(code)).ptr())) {
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
    py::object outer =
        call.shortcut<"_object">(object_body)(call[1], error_response_keys(), qyb::name<"error response">());
    py::object item = call.shortcut<"_object">(object_body)(qyb::item(outer.ptr(), qyb::name<"error">()),
                                                            error_keys(), qyb::name<"error">());
    call.shortcut<"_string">(string_body)(qyb::item(item.ptr(), qyb::name<"code">()),
                                          qyb::name<"error.code">(), int_constant<64>());
    call.shortcut<"_string">(string_body)(qyb::item(item.ptr(), qyb::name<"message">()),
                                          qyb::name<"error.message">(), int_constant<4096>());
    py::object request_id = qyb::item(item.ptr(), qyb::name<"request_id">());
    if (!request_id.is_none()) {
        call.shortcut<"_request_id">(request_id_body)(request_id);
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
