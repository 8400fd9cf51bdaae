// RemoteConfig: named connections kept in the settings file, their tokens in the token store,
// and the resolution of one connection with the environment's overrides.
#include "qyb/python.h"

#include "client/settings_internal.h"
#include "parts.h"

namespace remote {

namespace py = pybind11;
using qyb::arg;
using qyb::kwargs;
using qyb::kwonly;
using qyb::name;
using settings::config_error;
using settings::with_text;

namespace {

py::object load(py::handle self) { return qyb::call_method(self, name<"_load">()); }
void save(py::handle self, py::handle data) { qyb::call_method(self, name<"_save">(), data); }

using qyb::contains;

[[noreturn]] void not_found(const qyb::Call& call, py::handle alias) {
    config_error(call, with_text("remote connection not found: ", alias));
}

// "dpapi:remote:" + alias
py::object reference_for(py::handle alias) { return with_text("dpapi:remote:", alias); }

// variables[key] when the mapping holds the variable at all, else null.
py::object variable(py::handle variables, py::handle key) {
    if (!contains(variables, key)) {
        return py::object();
    }
    return qyb::item(variables, key);
}

py::object config_init(const qyb::Call& call) {
    py::handle self = call[0];
    py::object path;
    if (qyb::truthy(call[1])) {
        path = call.global<"Path">()(call[1]);
    } else {
        path = call.global<"Path">().attr(name<"home">())().attr(name<"joinpath">())(".qybridge", "config.json");
    }
    py::object store = qyb::truthy(call[2]) ? py::reinterpret_borrow<py::object>(call[2])
                                            : call.global<"DPAPITokenStore">()();
    py::object variables = call[3].is_none() ? call.global<"os">().attr(name<"environ">())
                                             : py::reinterpret_borrow<py::object>(call[3]);
    qyb::set(self, name<"path">(), path);
    qyb::set(self, name<"token_store">(), store);
    qyb::set(self, name<"environ">(), variables);
    return py::none();
}

py::object config_list(const qyb::Call& call) {
    py::object remotes = qyb::item(load(call[0]), name<"remotes">());
    py::object aliases = qyb::steal(PySequence_List(remotes.ptr()));
    qyb::check(PyList_Sort(aliases.ptr()));
    return qyb::steal(PyList_AsTuple(aliases.ptr()));
}

py::object config_default(const qyb::Call& call) { return qyb::item(load(call[0]), name<"default_remote">()); }

py::object config_get(const qyb::Call& call) {
    py::handle alias = call[1];
    py::object remotes = qyb::item(load(call[0]), name<"remotes">());
    if (!contains(remotes, alias)) {
        not_found(call, alias);
    }
    return settings::connection_of(call.global<"RemoteConnection">(), alias, qyb::item(remotes, alias));
}

py::object config_add(const qyb::Call& call) {
    py::handle self = call[0];
    py::handle alias = call[1];
    py::handle token = call[3];
    py::object data = load(self);
    py::object remotes = qyb::item(data, name<"remotes">());
    if (contains(remotes, alias)) {
        config_error(call, with_text("remote connection already exists: ", alias));
    }
    py::object reference = token.is_none() ? py::none() : reference_for(alias);
    py::dict named;
    named[name<"alias">()] = alias;
    named[name<"base_url">()] = call[2];
    named[name<"token_ref">()] = reference;
    py::object connection = settings::keyword_call(call.global<"RemoteConnection">(), named, call[4]);
    if (!token.is_none()) {
        qyb::call_method(qyb::get(self, name<"token_store">()), name<"set">(), reference, token);
    }
    qyb::set_item(remotes, alias, qyb::call_method(self, name<"_record">(), connection));
    save(self, data);
    return connection;
}

py::object config_set(const qyb::Call& call) {
    py::handle self = call[0];
    py::handle alias = call[1];
    py::object current = qyb::call_method(self, name<"get">(), alias);
    py::object fields = call.global<"asdict">()(current);
    if (PyDict_CheckExact(fields.ptr())) {
        qyb::check(PyDict_Update(fields.ptr(), call[2].ptr()));
    } else {
        qyb::call_method(fields, name<"update">(), call[2]);
    }
    // A connection keeps its alias: a change of it is dropped.
    qyb::check(PyObject_DelItem(fields.ptr(), name<"alias">().ptr()));
    py::object changed = settings::connection_of(call.global<"RemoteConnection">(), alias, fields);
    py::object data = load(self);
    qyb::set_item(qyb::item(data, name<"remotes">()), alias, qyb::call_method(self, name<"_record">(), changed));
    save(self, data);
    return changed;
}

py::object config_set_token(const qyb::Call& call) {
    py::handle self = call[0];
    py::handle alias = call[1];
    py::object current = qyb::call_method(self, name<"get">(), alias);
    py::object stored = qyb::get(current, name<"token_ref">());
    py::object reference = qyb::truthy(stored) ? stored : reference_for(alias);
    qyb::call_method(qyb::get(self, name<"token_store">()), name<"set">(), reference, call[2]);
    if (!qyb::truthy(stored)) {
        py::dict change;
        change[name<"token_ref">()] = reference;
        py::object method = qyb::get(self, name<"set">());
        py::object args = py::make_tuple(alias);
        qyb::steal(PyObject_Call(method.ptr(), args.ptr(), change.ptr()));
    }
    return py::none();
}

py::object config_remove(const qyb::Call& call) {
    py::handle self = call[0];
    py::handle alias = call[1];
    py::object data = load(self);
    py::object remotes = qyb::item(data, name<"remotes">());
    if (!contains(remotes, alias)) {
        not_found(call, alias);
    }
    py::object record = qyb::call_method(remotes, name<"pop">(), alias);
    py::object reference = qyb::call_method(record, name<"get">(), name<"token_ref">());
    if (qyb::equals(qyb::item(data, name<"default_remote">()), alias)) {
        qyb::set_item(data, name<"default_remote">(), py::none());
    }
    save(self, data);
    if (!qyb::truthy(reference)) {
        return py::none();
    }
    // Connections may share a reference (set can point one at another's); its secret goes
    // only with the last of them.
    py::object rest = qyb::steal(PyObject_CallMethodNoArgs(remotes.ptr(), name<"values">().ptr()));
    py::object it = qyb::steal(PyObject_GetIter(rest.ptr()));
    while (PyObject* next = PyIter_Next(it.ptr())) {
        py::object other = qyb::steal(next);
        if (qyb::equals(qyb::call_method(other, name<"get">(), name<"token_ref">()), reference)) {
            return py::none();
        }
    }
    if (PyErr_Occurred()) {
        qyb::throw_error();
    }
    qyb::call_method(qyb::get(self, name<"token_store">()), name<"delete">(), reference);
    return py::none();
}

py::object config_use(const qyb::Call& call) {
    py::handle self = call[0];
    py::handle alias = call[1];
    py::object data = load(self);
    if (!alias.is_none() && !contains(qyb::item(data, name<"remotes">()), alias)) {
        not_found(call, alias);
    }
    qyb::set_item(data, name<"default_remote">(), alias);
    save(self, data);
    return py::none();
}

py::object config_set_client(const qyb::Call& call) {
    py::handle self = call[0];
    py::handle client_name = call[1];
    py::object data = load(self);
    if (!client_name.is_none()) {
        if (!PyUnicode_Check(client_name.ptr()) || PyUnicode_GET_LENGTH(client_name.ptr()) < 1 ||
            PyUnicode_GET_LENGTH(client_name.ptr()) > 128) {
            config_error(call, "invalid client_name");
        }
        qyb::set_item(data, name<"client_name">(), client_name);
    }
    save(self, data);
    return py::none();
}

//   alias       argument, else QYBRIDGE4_REMOTE, else default_remote   the first non-empty
//   base_url    QYBRIDGE4_BASE_URL when present, else the stored one   revalidated either way
//   token       QYBRIDGE4_TOKEN when present, else the token store     None without a token_ref
//   client_name QYBRIDGE4_CLIENT_NAME when present, else the settings'
py::object config_resolve(const qyb::Call& call) {
    py::handle self = call[0];
    py::object variables = qyb::get(self, name<"environ">());
    py::object data = load(self);

    py::object selected = py::reinterpret_borrow<py::object>(call[1]);
    if (!qyb::truthy(selected)) {
        selected = variable(variables, name<"QYBRIDGE4_REMOTE">());
    }
    if (!selected || !qyb::truthy(selected)) {
        selected = qyb::item(data, name<"default_remote">());
    }
    if (!qyb::truthy(selected)) {
        config_error(call, "no remote connection selected");
    }

    py::object stored = qyb::call_method(self, name<"get">(), selected);
    py::object fields = call.global<"asdict">()(stored);
    if (py::object base_url = variable(variables, name<"QYBRIDGE4_BASE_URL">())) {
        qyb::set_item(fields, name<"base_url">(), base_url);
    }
    py::object connection = qyb::invoke_keywords(call.global<"RemoteConnection">(), fields);

    py::object token = variable(variables, name<"QYBRIDGE4_TOKEN">());
    if (!token) {
        py::object reference = qyb::get(stored, name<"token_ref">());
        token = qyb::truthy(reference)
                    ? qyb::call_method(qyb::get(self, name<"token_store">()), name<"get">(), reference)
                    : py::none();
    }
    py::object client_id = qyb::item(data, name<"client_id">());
    py::object client_name = variable(variables, name<"QYBRIDGE4_CLIENT_NAME">());
    if (!client_name) {
        client_name = qyb::item(data, name<"client_name">());
    }
    return qyb::invoke(call.global<"ResolvedRemote">(), connection, token, client_id, client_name);
}

}  // namespace

void define_remote_config(qyb::Part& p) {
    qyb::ClassBuilder c(p.module(), "RemoteConfig");
    c.method({.name = "__init__",
              .params = {arg("self"), arg("path", "Path | None", py::none()),
                         arg("token_store", "TokenStore | None", py::none()),
                         arg("environ", "Mapping[str, str] | None", py::none())},
              .body = config_init})
        .method({.name = "list", .params = {arg("self")}, .body = config_list})
        .method({.name = "default", .params = {arg("self")}, .body = config_default})
        .method({.name = "get", .params = {arg("self"), arg("alias")}, .body = config_get})
        .method({.name = "add",
                 .params = {arg("self"), arg("alias"), arg("base_url"), kwonly("token", py::none()),
                            kwargs("options")},
                 .body = config_add})
        .method({.name = "set", .params = {arg("self"), arg("alias"), kwargs("changes")}, .body = config_set})
        .method({.name = "set_token", .params = {arg("self"), arg("alias"), arg("token")}, .body = config_set_token})
        .method({.name = "remove", .params = {arg("self"), arg("alias")}, .body = config_remove})
        .method({.name = "use", .params = {arg("self"), arg("alias", py::none())}, .body = config_use})
        .method({.name = "set_client",
                 .params = {arg("self"), kwonly("client_name", py::none())},
                 .body = config_set_client})
        .method({.name = "resolve", .params = {arg("self"), arg("alias", py::none())}, .body = config_resolve})
        .static_method({.name = "_record", .params = {arg("connection")}, .body = settings::config_record})
        .method({.name = "_load", .params = {arg("self")}, .body = settings::config_load})
        .method({.name = "_save", .params = {arg("self"), arg("data")}, .body = settings::config_save});
    p.bind_class(c);
}

}  // namespace remote
