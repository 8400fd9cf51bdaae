// Shared by the client files: raising RemoteClientError as the module binds it now, and the
// transport's part of RemoteClient.
#pragma once

#include "qyb/toolkit.h"

namespace remote::client {

namespace py = pybind11;

// RemoteClientError(code, message, **keywords) through the module's current binding; keywords
// as qyb::kw<"outcome">(value).
template <class... K>
py::object client_error(const qyb::Call& call, const char* code, py::handle message, const K&... keywords) {
    return qyb::invoke(call.global<"RemoteClientError">(), py::str(code), message, keywords...);
}

template <class... K>
[[noreturn]] void refuse(const qyb::Call& call, const char* code, const char* message, const K&... keywords) {
    qyb::raise_object(client_error(call, code, py::str(message), keywords...));
}

// `d.get(key)` for a dict of a decoded answer. Raw: a dict subclass is read as a dict, as the
// checks before it take it, never through its own get() (qyb::get_or_none would call that).
inline py::object dict_value(py::handle d, py::handle key) {
    PyObject* value = PyDict_GetItemWithError(d.ptr(), key.ptr());
    if (value == nullptr && PyErr_Occurred()) {
        qyb::throw_error();
    }
    return py::reinterpret_borrow<py::object>(value != nullptr ? value : Py_None);
}

// The transport's methods of RemoteClient (transport.cpp); the class is built with the
// operations (operations.cpp).
qyb::FunctionDef client_init_def(qyb::Part& p);
qyb::FunctionDef client_request_def();
qyb::FunctionDef client_open_request_def();
qyb::FunctionDef client_raise_http_error_def();

// The headers every request starts with, in order: "Accept" and the bearer "Authorization".
py::object base_headers(py::handle self);

}  // namespace remote::client
