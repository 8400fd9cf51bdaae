// The administrator token: made, stored only as its SHA-256 digest, tested, revoked, and turned
// into the gateway's authorizer.
#include "qyb/python.h"

#include <cmath>

#include "runtime/runtime.h"

namespace remote::runtime {
namespace {

using qyb::arg;
using qyb::name;

constexpr const char kTokenKeys[][16] = {"schema_version", "token_id", "token_hash", "created_at"};

constexpr const char kInvalid[] = "invalid Remote Gateway token configuration";

bool has_whitespace(py::handle text) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    int kind = PyUnicode_KIND(text.ptr());
    const void* data = PyUnicode_DATA(text.ptr());
    for (Py_ssize_t i = 0; i < length; ++i) {
        if (Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i))) {
            return true;
        }
    }
    return false;
}

bool is_lower_hex(py::handle value, Py_ssize_t length) {
    if (!PyUnicode_Check(value.ptr()) || PyUnicode_GET_LENGTH(value.ptr()) != length) {
        return false;
    }
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(value.ptr(), i);
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

bool valid_token_record(py::handle value) {
    if (!PyDict_Check(value.ptr()) || PyDict_GET_SIZE(value.ptr()) != static_cast<Py_ssize_t>(std::size(kTokenKeys))) {
        return false;
    }
    for (const char* key : kTokenKeys) {
        if (!qyb::check(PyDict_Contains(value.ptr(), py::str(key).ptr()))) {
            return false;
        }
    }
    py::object token_id = field(value, "token_id");
    return qyb::equals(field(value, "schema_version"), py::int_(1)) && PyUnicode_Check(token_id.ptr()) &&
           PyUnicode_CompareWithASCIIString(token_id.ptr(), "admin") == 0 &&
           is_lower_hex(field(value, "token_hash"), 64) && is_finite_time(field(value, "created_at"));
}

py::object has_server_token(const qyb::Call& call) {
    return py::bool_(!qyb::invoke(call.global<"_read_token_record">()).is_none());
}

qyb::FunctionDef has_server_token_def() {
    return {.name = "has_server_token", .returns = "bool", .body = has_server_token};
}

py::object generate_token(const qyb::Call& call) {
    py::object text = qyb::call_method(call.global<"secrets">(), name<"token_urlsafe">(), py::int_(32));
    return qyb::steal(PyUnicode_Concat(py::str("qyb_admin_").ptr(), text.ptr()));
}

qyb::FunctionDef generate_token_def() { return {.name = "generate_token", .returns = "str", .body = generate_token}; }

py::object set_server_token(const qyb::Call& call) {
    auto [token] = call.args<1>();
    if (!PyUnicode_Check(token.ptr()) || PyUnicode_GET_LENGTH(token.ptr()) == 0 || has_whitespace(token)) {
        fail(call, "remote token must be a non-empty value without whitespace");
    }
    py::object encoded = qyb::call_method(token, name<"encode">(), py::str("utf-8"));
    py::object digest = qyb::call_method(call.global<"hashlib">(), name<"sha256">(), encoded);
    py::object record = qyb::dict_of({
        {name<"schema_version">(), call.global<"_remote_runtime__SCHEMA_VERSION">()},
        {name<"token_id">(), py::str("admin")},
        {name<"token_hash">(), qyb::call_method(digest, name<"hexdigest">())},
        {name<"created_at">(), qyb::call_method(call.global<"time">(), name<"time">())},
    });
    qyb::invoke(call.global<"_remote_runtime___atomic_json">(), qyb::invoke(call.global<"_token_path">()), record);
    return py::none();
}

qyb::FunctionDef set_server_token_def() {
    return {.name = "set_server_token", .params = {arg("token", "str")}, .returns = "None", .body = set_server_token};
}

py::object revoke_server_token(const qyb::Call& call) {
    remove_file(qyb::invoke(call.global<"_token_path">()));
    return py::none();
}

qyb::FunctionDef revoke_server_token_def() {
    return {.name = "revoke_server_token", .returns = "None", .body = revoke_server_token};
}

py::object read_token_record(const qyb::Call& call) {
    py::object value = read_record(call, qyb::invoke(call.global<"_token_path">()), kInvalid);
    if (!value) {
        return py::none();
    }
    if (!valid_token_record(value)) {
        fail(call, kInvalid);
    }
    return value;
}

qyb::FunctionDef read_token_record_def() { return {.name = "_read_token_record", .body = read_token_record}; }

py::object load_authorizer(const qyb::Call& call) {
    py::object record = qyb::invoke(call.global<"_read_token_record">());
    if (record.is_none()) {
        fail(call, "Remote Gateway token is not configured");
    }
    py::handle bytes_type = reinterpret_cast<PyObject*>(&PyBytes_Type);
    py::object digest = qyb::call_method(bytes_type, name<"fromhex">(), field(record, "token_hash"));
    py::object table = qyb::dict_of({{field(record, "token_id"), py::make_tuple(digest, py::none())}});
    return qyb::invoke(call.global<"TokenAuthorizer">(), table);
}

qyb::FunctionDef load_authorizer_def() {
    return {.name = "load_authorizer", .returns = "TokenAuthorizer", .body = load_authorizer};
}

}  // namespace

void define_token(qyb::Part& p) {
    p.def(has_server_token_def());
    p.def(generate_token_def());
    p.def(set_server_token_def());
    p.def(revoke_server_token_def());
    p.def(read_token_record_def());
    p.def(load_authorizer_def());
}

}  // namespace remote::runtime
