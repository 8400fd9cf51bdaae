// Base-URL policy of the gateway client: what counts as the local machine, and which gateway
// URLs the client may talk to.
#include "qyb/python.h"

#include "client_internal.h"
#include "parts.h"

namespace remote {
namespace {

namespace py = pybind11;
using qyb::arg;
using qyb::kwonly;
using qyb::name;
using client::refuse;

// The host as received: "localhost" (any case, trailing dots) or a loopback IP literal. Nothing
// is resolved, so "127.1" and names under localhost are not loopback.
py::object is_loopback(const qyb::Call& call) {
    auto [hostname] = call.args<1>();
    if (!qyb::truthy(hostname)) {
        return py::bool_(false);
    }
    py::object bare = qyb::call_method(qyb::call_method(hostname, name<"rstrip">(), name<".">()), name<"lower">());
    if (qyb::equals(bare, name<"localhost">())) {
        return py::bool_(true);
    }
    py::object address;
    try {
        address = qyb::call_method(call.global<"ipaddress">(), name<"ip_address">(), hostname);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) {
            throw;
        }
        return py::bool_(false);
    }
    return py::bool_(qyb::truthy(qyb::get(address, name<"is_loopback">())));
}

qyb::FunctionDef is_loopback_def() {
    return {.name = "_is_loopback", .params = {arg("hostname", "str | None")}, .returns = "bool", .body = is_loopback};
}

//   step  refused when                                   code
//   1     not text, or white space only                  invalid_base_url
//   2     a blank or control character left inside       invalid_base_url
//   3     the splitter or the port cannot read it        invalid_base_url
//   4     scheme not http(s), or no host                 invalid_base_url
//   5     any "@" in the network location                invalid_base_url
//   6     a non-empty query or fragment                  invalid_base_url
//   7     plain http to a non-loopback host, not allowed insecure_remote_url
py::object validate_base_url(const qyb::Call& call) {
    auto [base_url, allow_insecure] = call.args<2>();
    if (!PyUnicode_Check(base_url.ptr())) {
        refuse(call, "invalid_base_url", "remote base URL is required");
    }
    py::object stripped = qyb::call_method(base_url, name<"strip">());
    if (PyObject_Length(stripped.ptr()) == 0) {
        refuse(call, "invalid_base_url", "remote base URL is required");
    }
    // A blank or control character inside: the splitter would drop a tab, CR or LF silently and
    // never looks at the path, and every request made from the URL would fail later, outside
    // the client's own errors.
    if (PyUnicode_Check(stripped.ptr())) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(stripped.ptr());
        for (Py_ssize_t i = 0; i < length; ++i) {
            const Py_UCS4 c = PyUnicode_ReadChar(stripped.ptr(), i);
            if (c == static_cast<Py_UCS4>(-1) && PyErr_Occurred()) {
                qyb::throw_error();
            }
            if (c <= 0x20 || c == 0x7F) {
                py::object character = qyb::steal(PyUnicode_FromOrdinal(static_cast<int>(c)));
                py::object message = qyb::call_method(
                    py::str("invalid remote base URL: character {!r} is not allowed"), name<"format">(), character);
                qyb::raise_object(client::client_error(call, "invalid_base_url", message));
            }
        }
    }
    py::object value = qyb::call_method(stripped, name<"rstrip">(), name<"/">());

    py::object parts;
    try {
        parts = qyb::call_method(qyb::get(call.global<"urllib">(), name<"parse">()), name<"urlsplit">(), value);
        qyb::get(parts, name<"port">());
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) {
            throw;
        }
        qyb::Except handling(e);
        py::object message = qyb::call_method(py::str("invalid remote base URL: {}"), name<"format">(), e.value());
        qyb::raise_from(client::client_error(call, "invalid_base_url", message), e.value());
    }

    py::object scheme = qyb::call_method(qyb::get(parts, name<"scheme">()), name<"lower">());
    const bool http = qyb::equals(scheme, name<"http">());
    py::object host = qyb::get(parts, name<"hostname">());
    if ((!http && !qyb::equals(scheme, name<"https">())) || !qyb::truthy(host)) {
        refuse(call, "invalid_base_url", "remote base URL must be an HTTP(S) URL");
    }
    if (qyb::contains(qyb::get(parts, name<"netloc">()), name<"@">())) {
        refuse(call, "invalid_base_url", "credentials are not allowed in remote base URL");
    }
    if (qyb::truthy(qyb::get(parts, name<"query">())) || qyb::truthy(qyb::get(parts, name<"fragment">()))) {
        refuse(call, "invalid_base_url", "remote base URL cannot contain a query or fragment");
    }
    if (http && !qyb::truthy(qyb::invoke(call.global<"_is_loopback">(), host)) && !qyb::truthy(allow_insecure)) {
        refuse(call, "insecure_remote_url",
               "non-loopback remote connections require HTTPS (or explicit allow_insecure)");
    }
    return value;
}

qyb::FunctionDef validate_base_url_def() {
    return {.name = "validate_base_url",
            .params = {arg("base_url", "str"), kwonly("allow_insecure", "bool", py::bool_(false))},
            .returns = "str",
            .body = validate_base_url};
}

}  // namespace

void define_base_url(qyb::Part& p) {
    p.def(is_loopback_def());
    p.def(validate_base_url_def());
}

}  // namespace remote
