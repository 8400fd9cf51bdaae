// The protected token store: the TokenStore protocol and DPAPITokenStore, which keeps only the
// Base64 of DPAPI ciphertext in a secrets file of its own.
#include "qyb/python.h"

#include <cstdint>
#include <string>

#include "client/settings_internal.h"
#include "parts.h"

namespace remote {

namespace py = pybind11;
using qyb::arg;
using qyb::name;
using settings::config_error;
using settings::config_error_from;
using settings::with_text;

namespace {

py::object stub(const qyb::Call&) { return py::none(); }

// ---------------------------------------------------------------------------------------
// DPAPITokenStore

py::object store_init(const qyb::Call& call) {
    py::handle path = call[1];
    py::object chosen;
    if (qyb::truthy(path)) {
        chosen = call.global<"Path">()(path);
    } else {
        py::object home = call.global<"Path">().attr(name<"home">())();
        chosen = home.attr(name<"joinpath">())(".qybridge", "remote-secrets.json");
    }
    qyb::set(call[0], name<"path">(), chosen);
    return py::none();
}

py::object store_set(const qyb::Call& call) {
    py::handle self = call[0];
    py::handle reference = call[1];
    py::handle token = call[2];
    if (!qyb::truthy(token)) {
        config_error(call, "token cannot be empty");
    }
    // Anything but text would be filed under json's rendering of it, or not at all.
    if (!PyUnicode_Check(reference.ptr())) {
        qyb::raise(PyExc_TypeError, "token reference must be str");
    }
    if (!PyUnicode_Check(token.ptr())) {
        qyb::raise(PyExc_TypeError, "token must be str");
    }
    py::object values = qyb::call_method(self, name<"_read">());
    py::object plain = qyb::steal(PyUnicode_AsUTF8String(token.ptr()));
    py::object blob = qyb::call_method(self, name<"_protect">(), plain);
    qyb::set_item(values, reference, blob);
    qyb::call_method(self, name<"_write">(), values);
    return py::none();
}

// Runs `step`; any failure but a missing reference becomes "cannot decrypt token: ".
template <class F>
py::object decrypting(const qyb::Call& call, py::handle reference, F&& step) {
    try {
        return step();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) {
            throw;
        }
        config_error_from(call, with_text("cannot decrypt token: ", reference), e.value());
    }
}

py::object store_get(const qyb::Call& call) {
    py::handle self = call[0];
    py::handle reference = call[1];
    py::object values = decrypting(call, reference, [&] { return qyb::call_method(self, name<"_read">()); });
    py::object value;
    try {
        value = qyb::item(values, reference);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) {
            throw;
        }
        const char* prefix = e.matches(PyExc_KeyError) ? "token not found: " : "cannot decrypt token: ";
        config_error_from(call, with_text(prefix, reference), e.value());
    }
    return decrypting(call, reference, [&] {
        py::object plain = qyb::call_method(self, name<"_unprotect">(), value);
        return qyb::call_method(plain, name<"decode">(), name<"utf-8">());
    });
}

py::object store_delete(const qyb::Call& call) {
    py::handle self = call[0];
    py::object values = qyb::call_method(self, name<"_read">());
    qyb::call_method(values, name<"pop">(), call[1], py::none());
    qyb::call_method(self, name<"_write">(), values);
    return py::none();
}

py::object store_read(const qyb::Call& call) {
    py::object path = qyb::get(call[0], name<"path">());
    py::object size = settings::file_size(call, path);
    if (size.is_none()) {
        return py::dict();
    }
    py::object limit = call.global<"MAX_CONFIG_BYTES">();
    if (qyb::compare(size, limit, Py_GT)) {
        config_error(call, "remote secrets file is too large");
    }
    py::object raw = settings::read_file(call, path, limit);
    py::object values = call.global<"loads_strict">()(raw, py::arg("max_bytes") = limit);
    bool valid = PyDict_Check(values.ptr());
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (valid && PyDict_Next(values.ptr(), &pos, &key, &value)) {
        valid = PyUnicode_Check(value);
    }
    if (!valid) {
        config_error(call, "invalid remote secrets file");
    }
    return values;
}

py::object store_write(const qyb::Call& call) {
    call.global<"_remote_config___atomic_json">()(qyb::get(call[0], name<"path">()), call[1]);
    return py::none();
}

// `import win32crypt`, on every call, so a missing facility is reported where it is needed.
py::object load_dpapi(const qyb::Call& call) {
    try {
        return qyb::steal(PyImport_Import(name<"win32crypt">().ptr()));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) {
            throw;
        }
        config_error_from(call, py::str("Windows DPAPI support is unavailable"), e.value());
    }
}

py::object store_protect(const qyb::Call& call) {
    py::object dpapi = load_dpapi(call);
    py::object none = py::none();
    py::object blob = qyb::call_method(dpapi, name<"CryptProtectData">(), call[0], none, none, none, none,
                                       qyb::int_constant<0>());
    py::object encoded = call.global<"base64">().attr(name<"b64encode">())(blob);
    return qyb::call_method(encoded, name<"decode">(), name<"ascii">());
}

int base64_digit(Py_UCS4 c) {
    if (c >= 'A' && c <= 'Z') {
        return static_cast<int>(c - 'A');
    }
    if (c >= 'a' && c <= 'z') {
        return static_cast<int>(c - 'a') + 26;
    }
    if (c >= '0' && c <= '9') {
        return static_cast<int>(c - '0') + 52;
    }
    if (c == '+') {
        return 62;
    }
    return c == '/' ? 63 : -1;
}

// Standard Base64 in its one canonical form: whole quanta, the alphabet only, "=" pads only as
// the last one or two characters and zero bits under them. binascii's strict mode still takes
// "QUJD=" and "QUJD====".
py::object strict_base64(py::handle value) {
    if (!PyUnicode_Check(value.ptr())) {
        qyb::raise(PyExc_TypeError, "token value must be Base64 text");
    }
    Py_ssize_t n = PyUnicode_GET_LENGTH(value.ptr());
    Py_ssize_t pads = 0;
    while (pads < 2 && pads < n && PyUnicode_READ_CHAR(value.ptr(), n - 1 - pads) == '=') {
        ++pads;
    }
    if (n % 4 != 0) {
        qyb::raise(PyExc_ValueError, "invalid Base64 token value");
    }
    std::string out;
    out.reserve(static_cast<size_t>(n / 4 * 3));
    std::uint32_t bits = 0;
    int held = 0;
    for (Py_ssize_t i = 0; i < n - pads; ++i) {
        int digit = base64_digit(PyUnicode_READ_CHAR(value.ptr(), i));
        if (digit < 0) {
            qyb::raise(PyExc_ValueError, "invalid Base64 token value");
        }
        bits = (bits << 6) | static_cast<std::uint32_t>(digit);
        held += 6;
        if (held >= 8) {
            held -= 8;
            out.push_back(static_cast<char>((bits >> held) & 0xFF));
        }
    }
    if ((bits & ((1u << held) - 1)) != 0) {
        qyb::raise(PyExc_ValueError, "invalid Base64 token value");
    }
    return py::bytes(out);
}

py::object store_unprotect(const qyb::Call& call) {
    py::object dpapi = load_dpapi(call);
    py::object blob = strict_base64(call[0]);
    py::object none = py::none();
    py::object result = qyb::call_method(dpapi, name<"CryptUnprotectData">(), blob, none, none, none,
                                         qyb::int_constant<0>());
    return qyb::item(result, qyb::int_constant<1>());
}

}  // namespace

void define_token_store(qyb::Part& p) {
    qyb::ClassBuilder protocol(p.module(), "TokenStore", {p.get("Protocol")});
    protocol
        .method({.name = "set",
                 .params = {arg("self"), arg("reference", "str"), arg("token", "str")},
                 .returns = "None",
                 .body = stub})
        .method({.name = "get", .params = {arg("self"), arg("reference", "str")}, .returns = "str", .body = stub})
        .method({.name = "delete",
                 .params = {arg("self"), arg("reference", "str")},
                 .returns = "None",
                 .body = stub});
    p.bind_class(protocol);

    qyb::ClassBuilder store(p.module(), "DPAPITokenStore");
    store.doc("Stores only DPAPI ciphertext in a separate secrets file.")
        .method({.name = "__init__", .params = {arg("self"), arg("path", "Path | None", py::none())}, .body = store_init})
        .method({.name = "set", .params = {arg("self"), arg("reference"), arg("token")}, .body = store_set})
        .method({.name = "get", .params = {arg("self"), arg("reference")}, .body = store_get})
        .method({.name = "delete", .params = {arg("self"), arg("reference")}, .body = store_delete})
        .method({.name = "_read", .params = {arg("self")}, .body = store_read})
        .method({.name = "_write", .params = {arg("self"), arg("values")}, .body = store_write})
        .static_method({.name = "_protect", .params = {arg("value")}, .body = store_protect})
        .static_method({.name = "_unprotect", .params = {arg("value")}, .body = store_unprotect});
    p.bind_class(store);
}

}  // namespace remote
