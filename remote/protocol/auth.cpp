// Bearer-token authentication: principals, and a table of token digests that never holds a secret.
#include "qyb/python.h"

#include <tuple>
#include <utility>

#include "parts.h"

namespace remote {
namespace {

namespace py = pybind11;
using qyb::arg;

constexpr const char kBearer[] = "Bearer ";
constexpr Py_ssize_t kBearerLength = sizeof(kBearer) - 1;

// `first, second = value`, with the interpreter's own unpacking errors.
using qyb::unpack_pair;

using qyb::truthy;

// The raw SHA-256 digest of the UTF-8 form of `text`, through the module's `hashlib`.
py::object sha256_digest(const qyb::Call& call, py::handle encoded) {
    return call.global<"hashlib">().attr("sha256")(encoded).attr(qyb::name<"digest">())();
}

// RemotePrincipal ------------------------------------------------------------------------

py::object principal_permits(const qyb::Call& call) {
    py::handle nickname = call[1];
    if (nickname.is_none()) {
        return py::bool_(true);
    }
    py::object accounts = call[0].attr(qyb::name<"accounts">());
    if (accounts.is_none()) {
        return py::bool_(true);
    }
    return py::bool_(qyb::contains(accounts, nickname));
}

// TokenAuthorizer ------------------------------------------------------------------------

py::object authorizer_init(const qyb::Call& call) {
    // A new dict, so later changes to the caller's mapping do not reach the table.
    py::object table = py::handle(reinterpret_cast<PyObject*>(&PyDict_Type))(call[1]);
    py::setattr(call[0], "_tokens", table);
    return py::none();
}

py::object authorizer_from_tokens(const qyb::Call& call) {
    py::handle cls = call[0];
    py::handle tokens = call[1];
    py::dict table;
    py::handle frozenset_type(reinterpret_cast<PyObject*>(&PyFrozenSet_Type));
    for (py::handle pair : tokens.attr(qyb::name<"items">())()) {
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
        py::object digest = sha256_digest(call, secret.attr(qyb::name<"encode">())("utf-8"));
        if (!accounts.is_none()) {
            accounts = frozenset_type(accounts);
        }
        table[token_id] = py::make_tuple(digest, accounts);
    }
    return cls(table);
}

// The secret of a "Bearer <secret>" header, or null when the header cannot carry a valid one.
py::object bearer_secret(py::handle authorization) {
    if (PyUnicode_Check(authorization.ptr())) {
        if (PyUnicode_GetLength(authorization.ptr()) < kBearerLength ||
            PyUnicode_Tailmatch(authorization.ptr(), py::str(kBearer).ptr(), 0, kBearerLength, -1) != 1) {
            return py::object();
        }
    } else if (!truthy(authorization.attr(qyb::name<"startswith">())(kBearer))) {
        return py::object();
    }
    py::object secret = py::reinterpret_steal<py::object>(
        PySequence_GetSlice(authorization.ptr(), kBearerLength, PY_SSIZE_T_MAX));
    if (!secret) {
        qyb::throw_error();
    }
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
    py::handle authorization = call[1];
    if (!truthy(authorization)) {
        return py::none();
    }
    py::object secret = bearer_secret(authorization);
    if (!secret) {
        return py::none();
    }
    py::object encoded = py::reinterpret_steal<py::object>(
        PyUnicode_Check(secret.ptr()) ? PyUnicode_AsUTF8String(secret.ptr())
                                      : PyObject_CallMethod(secret.ptr(), "encode", "s", "utf-8"));
    if (!encoded) {
        qyb::throw_error();
    }
    py::object candidate = sha256_digest(call, encoded);
    py::object compare = call.global<"hmac">().attr(qyb::name<"compare_digest">());
    py::object principal_class = call.global<"RemotePrincipal">();
    py::object result = py::none();
    // Every entry is compared, also after a match, so the time taken does not tell which matched.
    for (py::handle item : call[0].attr(qyb::name<"_tokens">()).attr(qyb::name<"items">())()) {
        auto [token_id, entry] = unpack_pair(item);
        auto [digest, accounts] = unpack_pair(entry);
        if (truthy(compare(candidate, digest))) {
            result = principal_class(token_id, accounts);
        }
    }
    return result;
}

}  // namespace

void define_auth(qyb::Part& p) {
    qyb::ClassBuilder principal(p.module(), "RemotePrincipal");
    principal.field("token_id", "str")
        .field("accounts", "frozenset[str] | None", py::none())
        .method({.name = "permits",
                 .params = {arg("self"), arg("nickname", "str | None")},
                 .returns = "bool",
                 .body = principal_permits});
    p.step("class RemotePrincipal", std::source_location::current(), [&] {
        py::object cls = principal.build();
        p.bind("RemotePrincipal", p.get("dataclass")(py::arg("frozen") = true)(cls));
    });

    qyb::ClassBuilder authorizer(p.module(), "TokenAuthorizer");
    authorizer.doc("Authenticate opaque bearer tokens without retaining their plaintext.")
        .method({.name = "__init__",
                 .params = {arg("self"), arg("token_hashes", "Mapping[str, tuple[bytes, frozenset[str] | None]]")},
                 .body = authorizer_init})
        .class_method({.name = "from_tokens",
                       .params = {arg("cls"), arg("tokens", "Mapping[str, str | tuple[str, frozenset[str] | None]]")},
                       .body = authorizer_from_tokens})
        .method({.name = "authenticate",
                 .params = {arg("self"), arg("authorization", "str | None")},
                 .returns = "RemotePrincipal | None",
                 .body = authorizer_authenticate});
    p.bind_class(authorizer);
}

}  // namespace remote
