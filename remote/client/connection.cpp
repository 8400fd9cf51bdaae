// The connection record: ConfigError, RemoteConnection with its self-validation, and
// ResolvedRemote.
#include "qyb/python.h"

#include "client/settings_internal.h"
#include "parts.h"

namespace remote {

namespace py = pybind11;
using qyb::arg;
using qyb::name;
using settings::config_error;

namespace {

bool starts_with(py::handle text, py::handle prefix) {
    return qyb::check(static_cast<int>(PyUnicode_Tailmatch(text.ptr(), prefix.ptr(), 0, PY_SSIZE_T_MAX, -1)));
}

bool is_optional_text(py::handle value) { return value.is_none() || PyUnicode_Check(value.ptr()); }

// A time-out: an int or float, not a bool, with 0 < value <= 3600 (NaN fails the range).
bool is_timeout(py::handle value) {
    if (!qyb::is_real(value)) {
        return false;
    }
    return qyb::compare(value, qyb::int_constant<0>(), Py_GT) &&
           qyb::compare(value, qyb::int_constant<3600>(), Py_LE);
}

// The rules run in this order; the first that fails ends the check.
//
//   alias            full match of _ALIAS                  "invalid remote alias"
//   base_url         "https://" or "http://" prefix        "base_url must be HTTP(S)"
//                    <= 2048 code points, no U+0000        "invalid base_url"
//   token_ref        None or "dpapi:..."                   "invalid token_ref"
//   default_nickname None or 1..128 code points            "invalid default_nickname"
//   verify_tls       exactly a bool                        "verify_tls must be boolean"
//   allow_insecure   exactly a bool                        "allow_insecure must be boolean"
//   base_url         validate_base_url                     its message, it as the cause
//   ca_bundle        None or text                          "invalid ca_bundle"
//   *_timeout        see is_timeout                        "invalid <field>"
py::object connection_post_init(const qyb::Call& call) {
    auto [self] = call.args<1>();
    py::object alias = qyb::get(self, name<"alias">());
    if (qyb::call_method(call.global<"_ALIAS">(), name<"fullmatch">(), alias).is_none()) {
        config_error(call, "invalid remote alias");
    }

    py::object base_url = qyb::get(self, name<"base_url">());
    if (!PyUnicode_Check(base_url.ptr()) ||
        !(starts_with(base_url, name<"https://">()) || starts_with(base_url, name<"http://">()))) {
        config_error(call, "base_url must be HTTP(S)");
    }
    Py_ssize_t length = PyUnicode_GET_LENGTH(base_url.ptr());
    if (length > 2048 || PyUnicode_FindChar(base_url.ptr(), 0, 0, length, 1) != -1) {
        config_error(call, "invalid base_url");
    }

    py::object token_ref = qyb::get(self, name<"token_ref">());
    if (!token_ref.is_none() && !(PyUnicode_Check(token_ref.ptr()) && starts_with(token_ref, name<"dpapi:">()))) {
        config_error(call, "invalid token_ref");
    }
    py::object nickname = qyb::get(self, name<"default_nickname">());
    if (!nickname.is_none() && !(PyUnicode_Check(nickname.ptr()) && PyUnicode_GET_LENGTH(nickname.ptr()) >= 1 &&
                                 PyUnicode_GET_LENGTH(nickname.ptr()) <= 128)) {
        config_error(call, "invalid default_nickname");
    }
    if (!PyBool_Check(qyb::get(self, name<"verify_tls">()).ptr())) {
        config_error(call, "verify_tls must be boolean");
    }
    py::object allow_insecure = qyb::get(self, name<"allow_insecure">());
    if (!PyBool_Check(allow_insecure.ptr())) {
        config_error(call, "allow_insecure must be boolean");
    }

    try {
        qyb::invoke(call.global<"validate_base_url">(), base_url, qyb::kw<"allow_insecure">(allow_insecure));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) {
            throw;
        }
        qyb::Except handling(e);
        settings::config_error_from(call, qyb::steal(PyObject_Str(e.value().ptr())), e.value());
    }

    if (!is_optional_text(qyb::get(self, name<"ca_bundle">()))) {
        config_error(call, "invalid ca_bundle");
    }
    if (!is_timeout(qyb::get(self, name<"connect_timeout">()))) {
        config_error(call, "invalid connect_timeout");
    }
    if (!is_timeout(qyb::get(self, name<"request_timeout">()))) {
        config_error(call, "invalid request_timeout");
    }
    return py::none();
}

qyb::FunctionDef connection_post_init_def() {
    return {.name = "__post_init__", .params = {arg("self")}, .body = connection_post_init};
}

// dataclass(frozen=True) applied to the class the builder makes.
void bind_frozen_record(qyb::Part& p, qyb::ClassBuilder& c,
                        std::source_location where = std::source_location::current()) {
    std::string what = "class " + c.name();
    p.step(what.c_str(), where, [&] {
        py::object frozen = qyb::invoke(p.get("dataclass"), qyb::kw<"frozen">(py::bool_(true)));
        p.bind(c.name().c_str(), qyb::invoke(frozen, c.build()));
    });
}

}  // namespace

void define_config_error(qyb::Part& p) {
    p.bind("ConfigError", qyb::make_exception(p.module(), "ConfigError", PyExc_RuntimeError));
}

void define_connection_records(qyb::Part& p) {
    qyb::ClassBuilder connection(p.module(), "RemoteConnection");
    connection.field("alias", "str")
        .field("base_url", "str")
        .field("token_ref", "str | None", py::none())
        .field("default_nickname", "str | None", py::none())
        .field("verify_tls", "bool", py::bool_(true))
        .field("ca_bundle", "str | None", py::none())
        .field("connect_timeout", "float", py::float_(5.0))
        .field("request_timeout", "float", py::float_(60.0))
        .field("allow_insecure", "bool", py::bool_(false))
        .method(connection_post_init_def());
    bind_frozen_record(p, connection);

    qyb::ClassBuilder resolved(p.module(), "ResolvedRemote");
    resolved.field("connection", "RemoteConnection")
        .field("token", "str | None")
        .field("client_id", "str")
        .field("client_name", "str");
    bind_frozen_record(p, resolved);
}

}  // namespace remote
