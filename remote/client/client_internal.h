// Shared by the client files: raising RemoteClientError as the module binds it now.
#pragma once

#include "qyb/toolkit.h"

namespace remote::client {

namespace py = pybind11;

// `raise error from cause`, its __context__ the exception being handled, if any.
[[noreturn]] inline void raise_with_cause(py::handle error, py::handle cause) {
    PyException_SetCause(error.ptr(), Py_NewRef(cause.ptr()));
    qyb::raise_object(error);
}

// RemoteClientError(code, message, **keywords) through the module's current binding.
template <class... K>
py::object client_error(const qyb::Call& call, const char* code, py::handle message, K&&... keywords) {
    return call.global<"RemoteClientError">()(py::str(code), message, std::forward<K>(keywords)...);
}

template <class... K>
[[noreturn]] void refuse(const qyb::Call& call, const char* code, const char* message, K&&... keywords) {
    qyb::raise_object(client_error(call, code, py::str(message), std::forward<K>(keywords)...));
}

}  // namespace remote::client

namespace remote::client {

// The transport's methods of RemoteClient (transport.cpp); the class is built with the
// operations (operations.cpp).
py::object client_init(const qyb::Call& call);
py::object client_request(const qyb::Call& call);
py::object client_open_request(const qyb::Call& call);
py::object client_raise_http_error(const qyb::Call& call);

// The function bound as `_urlopen` of a client given no opener; RemoteClient.__init__ holds it.
py::object make_client_opener(py::handle module);

// The headers every request starts with, in order: "Accept" and the bearer "Authorization".
py::dict base_headers(py::handle self);

}  // namespace remote::client
