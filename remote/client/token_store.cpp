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

// The protocol's methods, `...` in a Protocol: one body that reads none of its arguments serves
// the three.
py::object stub(const qyb::Call&) { return py::none(); }

qyb::FunctionDef protocol_set_def() {
    return {.name = "set",
            .params = {arg("self"), arg("reference", "str"), arg("token", "str")},
            .returns = "None",
            .body = stub};
}

qyb::FunctionDef protocol_get_def() {
    return {.name = "get", .params = {arg("self"), arg("reference", "str")}, .returns = "str", .body = stub};
}

qyb::FunctionDef protocol_delete_def() {
    return {.name = "delete", .params = {arg("self"), arg("reference", "str")}, .returns = "None", .body = stub};
}

// ---------------------------------------------------------------------------------------
// DPAPITokenStore

py::object store_init(const qyb::Call& call) {
    auto [self, path] = call.args<2>();
    py::object chosen;
    if (qyb::truthy(path)) {
        chosen = qyb::invoke(call.global<"Path">(), path);
    } else {
        py::object home = qyb::call_method(call.global<"Path">(), name<"home">());
        chosen = qyb::call_method(home, name<"joinpath">(), py::str(".qybridge"), py::str("remote-secrets.json"));
    }
    qyb::set(self, name<"path">(), chosen);
    return py::none();
}

qyb::FunctionDef store_init_def() {
    return {.name = "__init__", .params = {arg("self"), arg("path", "Path | None", py::none())}, .body = store_init};
}

py::object store_set(const qyb::Call& call) {
    auto [self, reference, token] = call.args<3>();
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

qyb::FunctionDef store_set_def() {
    return {.name = "set", .params = {arg("self"), arg("reference"), arg("token")}, .body = store_set};
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
        qyb::Except handling(e);
        config_error_from(call, with_text("cannot decrypt token: ", reference), e.value());
    }
}

py::object store_get(const qyb::Call& call) {
    auto [self, reference] = call.args<2>();
    py::object values = decrypting(call, reference, [&] { return qyb::call_method(self, name<"_read">()); });
    py::object value;
    try {
        value = qyb::item(values, reference);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) {
            throw;
        }
        qyb::Except handling(e);
        const char* prefix = e.matches(PyExc_KeyError) ? "token not found: " : "cannot decrypt token: ";
        config_error_from(call, with_text(prefix, reference), e.value());
    }
    return decrypting(call, reference, [&] {
        py::object plain = qyb::call_method(self, name<"_unprotect">(), value);
        return qyb::call_method(plain, name<"decode">(), name<"utf-8">());
    });
}

qyb::FunctionDef store_get_def() {
    return {.name = "get", .params = {arg("self"), arg("reference")}, .body = store_get};
}

py::object store_delete(const qyb::Call& call) {
    auto [self, reference] = call.args<2>();
    py::object values = qyb::call_method(self, name<"_read">());
    qyb::call_method(values, name<"pop">(), reference, py::none());
    qyb::call_method(self, name<"_write">(), values);
    return py::none();
}

qyb::FunctionDef store_delete_def() {
    return {.name = "delete", .params = {arg("self"), arg("reference")}, .body = store_delete};
}

py::object store_read(const qyb::Call& call) {
    auto [self] = call.args<1>();
    py::object path = qyb::get(self, name<"path">());
    py::object size = settings::file_size(call, path);
    if (size.is_none()) {
        return qyb::steal(PyDict_New());
    }
    py::object limit = call.global<"MAX_CONFIG_BYTES">();
    if (qyb::compare(size, limit, Py_GT)) {
        config_error(call, "remote secrets file is too large");
    }
    py::object raw = settings::read_file(call, path, limit);
    py::object values = qyb::invoke(call.global<"loads_strict">(), raw, qyb::kw<"max_bytes">(limit));
    // Raw: a dict's values read in place, whatever its class.
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

qyb::FunctionDef store_read_def() { return {.name = "_read", .params = {arg("self")}, .body = store_read}; }

// `import win32crypt`, on every call, so a missing facility is reported where it is needed.
py::object load_dpapi(const qyb::Call& call) {
    try {
        return qyb::steal(PyImport_Import(name<"win32crypt">().ptr()));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) {
            throw;
        }
        qyb::Except handling(e);
        config_error_from(call, py::str("Windows DPAPI support is unavailable"), e.value());
    }
}

py::object store_protect(const qyb::Call& call) {
    auto [value] = call.args<1>();
    py::object dpapi = load_dpapi(call);
    py::object none = py::none();
    py::object blob = qyb::call_method(dpapi, name<"CryptProtectData">(), value, none, none, none, none,
                                       qyb::int_constant<0>());
    py::object encoded = qyb::call_method(call.global<"base64">(), name<"b64encode">(), blob);
    return qyb::call_method(encoded, name<"decode">(), name<"ascii">());
}

qyb::FunctionDef store_protect_def() {
    return {.name = "_protect", .params = {arg("value")}, .body = store_protect};
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
    auto [value] = call.args<1>();
    py::object dpapi = load_dpapi(call);
    py::object blob = strict_base64(value);
    py::object none = py::none();
    py::object result = qyb::call_method(dpapi, name<"CryptUnprotectData">(), blob, none, none, none,
                                         qyb::int_constant<0>());
    return qyb::item(result, qyb::int_constant<1>());
}

qyb::FunctionDef store_unprotect_def() {
    return {.name = "_unprotect", .params = {arg("value")}, .body = store_unprotect};
}

}  // namespace

void define_token_store(qyb::Part& p) {
    qyb::ClassBuilder protocol(p.module(), "TokenStore", {p.get("Protocol")});
    protocol.method(protocol_set_def()).method(protocol_get_def()).method(protocol_delete_def());
    p.bind_class(protocol);

    qyb::ClassBuilder store(p.module(), "DPAPITokenStore");
    store.doc("Stores only DPAPI ciphertext in a separate secrets file.")
        .method(store_init_def())
        .method(store_set_def())
        .method(store_get_def())
        .method(store_delete_def())
        .method(store_read_def())
        .method(settings::save_json_def("_write", "values"))
        .static_method(store_protect_def())
        .static_method(store_unprotect_def());
    p.bind_class(store);
}

}  // namespace remote
