// Bearer-token authentication: principals, and a table of token digests that never holds a secret.
#include "qyb/python.h"

#include <tuple>
#include <utility>

#include "internal.h"
#include "parts.h"

namespace remote {
namespace {

namespace py = pybind11;
using qyb::arg;
using qyb::name;
using qyb::truthy;
using qyb::unpack_pair;

constexpr Py_ssize_t kBearerLength = sizeof("Bearer ") - 1;

// The raw SHA-256 digest of `encoded`, through the module's `hashlib`.
py::object sha256_digest(const qyb::Call& call, py::handle encoded) {
    return qyb::call_method(qyb::call_method(call.global<"hashlib">(), name<"sha256">(), encoded), name<"digest">());
}

// RemotePrincipal ------------------------------------------------------------------------

py::object principal_permits(const qyb::Call& call) {
    auto [self, nickname] = call.args<2>();
    if (nickname.is_none()) {
        return py::bool_(true);
    }
    py::object accounts = qyb::get(self, name<"accounts">());
    if (accounts.is_none()) {
        return py::bool_(true);
    }
    return py::bool_(qyb::contains(accounts, nickname));
}

qyb::FunctionDef principal_permits_def() {
    return {.name = "permits",
            .params = {arg("self"), arg("nickname", "str | None")},
            .returns = "bool",
            .body = principal_permits};
}

// TokenAuthorizer ------------------------------------------------------------------------

py::object authorizer_init(const qyb::Call& call) {
    auto [self, token_hashes] = call.args<2>();
    // A new dict, so later changes to the caller's mapping do not reach the table.
    qyb::set(self, name<"_tokens">(), qyb::invoke(reinterpret_cast<PyObject*>(&PyDict_Type), token_hashes));
    return py::none();
}

qyb::FunctionDef authorizer_init_def() {
    return {.name = "__init__",
            .params = {arg("self"), arg("token_hashes", "Mapping[str, tuple[bytes, frozenset[str] | None]]")},
            .body = authorizer_init};
}

py::object authorizer_from_tokens(const qyb::Call& call) {
    auto [cls, tokens] = call.args<2>();
    py::dict table;
    for (py::handle pair : qyb::call_method(tokens, name<"items">())) {
        auto [token_id, value] = unpack_pair(pair);
        py::object secret;
        py::object accounts;
        if (PyUnicode_Check(value.ptr())) {
            secret = value;
            accounts = py::none();
        } else {
            std::tie(secret, accounts) = unpack_pair(value);
        }
        if (!truthy(token_id) || !truthy(secret)) {
            qyb::raise(PyExc_ValueError, "token id and secret must not be empty");
        }
        py::object digest = sha256_digest(call, qyb::call_method(secret, name<"encode">(), name<"utf-8">()));
        if (!accounts.is_none()) {
            accounts = qyb::invoke(reinterpret_cast<PyObject*>(&PyFrozenSet_Type), accounts);
        }
        qyb::dict_set(table, token_id, py::make_tuple(digest, accounts));
    }
    return qyb::invoke(cls, table);
}

qyb::FunctionDef authorizer_from_tokens_def() {
    return {.name = "from_tokens",
            .params = {arg("cls"), arg("tokens", "Mapping[str, str | tuple[str, frozenset[str] | None]]")},
            .body = authorizer_from_tokens};
}

// The secret of a "Bearer <secret>" header, or null when the header cannot carry a valid one.
py::object bearer_secret(py::handle authorization) {
    if (PyUnicode_Check(authorization.ptr())) {
        if (PyUnicode_GetLength(authorization.ptr()) < kBearerLength ||
            PyUnicode_Tailmatch(authorization.ptr(), name<"Bearer ">().ptr(), 0, kBearerLength, -1) != 1) {
            return py::object();
        }
    } else if (!truthy(qyb::call_method(authorization, name<"startswith">(), name<"Bearer ">()))) {
        return py::object();
    }
    py::object secret = qyb::steal(PySequence_GetSlice(authorization.ptr(), kBearerLength, PY_SSIZE_T_MAX));
    if (!PyUnicode_Check(secret.ptr())) {
        return secret;
    }
    Py_ssize_t length = PyUnicode_GET_LENGTH(secret.ptr());
    if (length == 0) {
        return py::object();
    }
    // Whitespace anywhere refuses the secret; str.strip() uses the same set, so this also
    // covers leading and trailing whitespace.
    int kind = PyUnicode_KIND(secret.ptr());
    const void* data = PyUnicode_DATA(secret.ptr());
    for (Py_ssize_t i = 0; i < length; ++i) {
        if (Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i))) {
            return py::object();
        }
    }
    return secret;
}

py::object authorizer_authenticate(const qyb::Call& call) {
    auto [self, authorization] = call.args<2>();
    if (!truthy(authorization)) {
        return py::none();
    }
    py::object secret = bearer_secret(authorization);
    if (!secret) {
        return py::none();
    }
    py::object encoded = PyUnicode_Check(secret.ptr()) ? qyb::steal(PyUnicode_AsUTF8String(secret.ptr()))
                                                       : qyb::call_method(secret, name<"encode">(), name<"utf-8">());
    py::object candidate = sha256_digest(call, encoded);
    py::object compare = qyb::get(call.global<"hmac">(), name<"compare_digest">());
    py::object principal_class = call.global<"RemotePrincipal">();
    py::object result = py::none();
    // Every entry is compared, also after a match, so the time taken does not tell which matched.
    for (py::handle item : qyb::call_method(qyb::get(self, name<"_tokens">()), name<"items">())) {
        auto [token_id, entry] = unpack_pair(item);
        auto [digest, accounts] = unpack_pair(entry);
        if (truthy(qyb::invoke(compare, candidate, digest))) {
            result = qyb::invoke(principal_class, token_id, accounts);
        }
    }
    return result;
}

qyb::FunctionDef authorizer_authenticate_def() {
    return {.name = "authenticate",
            .params = {arg("self"), arg("authorization", "str | None")},
            .returns = "RemotePrincipal | None",
            .body = authorizer_authenticate};
}

}  // namespace

void define_auth(qyb::Part& p) {
    qyb::ClassBuilder principal(p.module(), "RemotePrincipal");
    principal.field("token_id", "str")
        .field("accounts", "frozenset[str] | None", py::none())
        .method(principal_permits_def());
    protocol::bind_frozen_dataclass(p, principal);

    qyb::ClassBuilder authorizer(p.module(), "TokenAuthorizer");
    authorizer.doc("Authenticate opaque bearer tokens without retaining their plaintext.")
        .method(authorizer_init_def())
        .class_method(authorizer_from_tokens_def())
        .method(authorizer_authenticate_def());
    p.bind_class(authorizer);
}

}  // namespace remote
