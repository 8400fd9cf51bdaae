// RemoteError: the error that travels between the gateway and the remote command line.
#include "qyb/python.h"

#include "internal.h"
#include "parts.h"

namespace remote {

namespace py = pybind11;

namespace protocol {

namespace {

PyObject* outcomes() {
    static PyObject* set = frozen_set_of({name<"not_started">(), name<"completed">(), name<"unknown">()});
    return set;
}

PyObject* error_response_keys() {
    static PyObject* set = frozen_set_of({name<"error">()});
    return set;
}

PyObject* error_keys() {
    static PyObject* set = frozen_set_of({name<"code">(), name<"message">(), name<"request_id">(),
                                          name<"retryable">(), name<"outcome">()});
    return set;
}

// Membership in the three outcomes. They are strings, so anything else (an unhashable JSON
// array or object among them) is simply not one of them.
bool is_outcome(py::handle value) {
    return PyUnicode_Check(value.ptr()) && qyb::check(PySet_Contains(outcomes(), value.ptr()));
}

py::object init_body(const qyb::Call& call) {
    auto [self, code, message, request_id, retryable, outcome] = call.args<6>();
    qyb::call_method(call.super(self), name<"__init__">(), message);
    if (!qyb::truthy(call.shortcut<"_identifier">(identifier_body)(code))) {
        qyb::raise(PyExc_ValueError, "invalid remote error code");
    }
    if (!is_outcome(outcome)) {
        qyb::raise(PyExc_ValueError, "invalid remote error outcome");
    }
    qyb::set(self, name<"code">(), code);
    qyb::set(self, name<"message">(), message);
    qyb::set(self, name<"request_id">(), request_id);
    qyb::set(self, name<"retryable">(), retryable);
    qyb::set(self, name<"outcome">(), outcome);
    return py::none();
}

qyb::FunctionDef init_def() {
    return {.name = "__init__",
            .params = {arg("self"), arg("code", "str"), arg("message", "str"),
                       kwonly("request_id", "str | None", py::none()), kwonly("retryable", "bool", py::bool_(false)),
                       kwonly("outcome", "str", py::str("not_started"))},
            .body = init_body};
}

py::object to_dict_body(const qyb::Call& call) {
    auto [self] = call.args<1>();
    py::object error = qyb::dict_of({{name<"code">(), qyb::get(self, name<"code">())},
                                     {name<"message">(), qyb::get(self, name<"message">())},
                                     {name<"request_id">(), qyb::get(self, name<"request_id">())},
                                     {name<"retryable">(), qyb::get(self, name<"retryable">())},
                                     {name<"outcome">(), qyb::get(self, name<"outcome">())}});
    return qyb::dict_of({{name<"error">(), error}});
}

qyb::FunctionDef to_dict_def() {
    return {.name = "to_dict", .params = {arg("self")}, .returns = "dict[str, Any]", .body = to_dict_body};
}

py::object from_dict_body(const qyb::Call& call) {
    auto [cls, value] = call.args<2>();
    py::object outer = call.shortcut<"_object">(object_body)(value, error_response_keys(), name<"error response">());
    py::object item =
        call.shortcut<"_object">(object_body)(qyb::item(outer, name<"error">()), error_keys(), name<"error">());
    call.shortcut<"_string">(string_body)(qyb::item(item, name<"code">()), name<"error.code">(), int_constant<64>());
    call.shortcut<"_string">(string_body)(qyb::item(item, name<"message">()), name<"error.message">(),
                                          int_constant<4096>());
    py::object request_id = qyb::item(item, name<"request_id">());
    if (!request_id.is_none()) {
        call.shortcut<"_request_id">(request_id_body)(request_id);
    }
    if (!PyBool_Check(qyb::item(item, name<"retryable">()).ptr())) {
        qyb::raise(PyExc_ValueError, "error.retryable must be boolean");
    }
    if (!is_outcome(qyb::item(item, name<"outcome">()))) {
        qyb::raise(PyExc_ValueError, "invalid error.outcome");
    }
    return call_with_keywords(cls, item);
}

qyb::FunctionDef from_dict_def() {
    return {.name = "from_dict",
            .params = {arg("cls"), arg("value", "Any")},
            .returns = "'RemoteError'",
            .body = from_dict_body};
}

}  // namespace

}  // namespace protocol

void define_remote_error(qyb::Part& p) {
    namespace pr = protocol;
    qyb::ClassBuilder c(p.module(), "RemoteError", {PyExc_RuntimeError});
    c.doc("Stable error transported between the gateway and remote CLI.")
        .method(pr::init_def())
        .method(pr::to_dict_def())
        .class_method(pr::from_dict_def());
    p.bind_class(c);
}

}  // namespace remote
