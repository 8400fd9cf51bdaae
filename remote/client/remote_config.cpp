// RemoteConfig: named connections kept in the settings file, their tokens in the token store,
// and the resolution of one connection with the environment's overrides.
#include "qyb/python.h"

#include "client/settings_internal.h"
#include "parts.h"

namespace remote {

namespace py = pybind11;
using qyb::arg;
using qyb::contains;
using qyb::kwargs;
using qyb::kwonly;
using qyb::name;
using settings::config_error;
using settings::with_text;

namespace {

py::object load(py::handle self) { return qyb::call_method(self, name<"_load">()); }
void save(py::handle self, py::handle data) { qyb::call_method(self, name<"_save">(), data); }

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

// `RemoteConnection(alias, **record)`: a record holding `alias` is the class's refusal, not the
// call's.
py::object connection_of(const qyb::Call& call, py::handle alias, py::handle record) {
    return qyb::invoke(call.global<"RemoteConnection">(), alias, qyb::keywords(record));
}

py::object config_init(const qyb::Call& call) {
    auto [self, path_given, store_given, variables_given] = call.args<4>();
    py::object path;
    if (qyb::truthy(path_given)) {
        path = qyb::invoke(call.global<"Path">(), path_given);
    } else {
        py::object home = qyb::call_method(call.global<"Path">(), name<"home">());
        path = qyb::call_method(home, name<"joinpath">(), py::str(".qybridge"), py::str("config.json"));
    }
    py::object store = qyb::truthy(store_given) ? py::reinterpret_borrow<py::object>(store_given)
                                                : qyb::invoke(call.global<"DPAPITokenStore">());
    py::object variables = variables_given.is_none() ? qyb::get(call.global<"os">(), name<"environ">())
                                                     : py::reinterpret_borrow<py::object>(variables_given);
    qyb::set(self, name<"path">(), path);
    qyb::set(self, name<"token_store">(), store);
    qyb::set(self, name<"environ">(), variables);
    return py::none();
}

qyb::FunctionDef config_init_def() {
    return {.name = "__init__",
            .params = {arg("self"), arg("path", "Path | None", py::none()),
                       arg("token_store", "TokenStore | None", py::none()),
                       arg("environ", "Mapping[str, str] | None", py::none())},
            .body = config_init};
}

py::object config_list(const qyb::Call& call) {
    auto [self] = call.args<1>();
    py::object remotes = qyb::item(load(self), name<"remotes">());
    py::object aliases = qyb::steal(PySequence_List(remotes.ptr()));
    qyb::check(PyList_Sort(aliases.ptr()));
    return qyb::steal(PyList_AsTuple(aliases.ptr()));
}

qyb::FunctionDef config_list_def() { return {.name = "list", .params = {arg("self")}, .body = config_list}; }

py::object config_default(const qyb::Call& call) {
    auto [self] = call.args<1>();
    return qyb::item(load(self), name<"default_remote">());
}

qyb::FunctionDef config_default_def() { return {.name = "default", .params = {arg("self")}, .body = config_default}; }

py::object config_get(const qyb::Call& call) {
    auto [self, alias] = call.args<2>();
    py::object remotes = qyb::item(load(self), name<"remotes">());
    if (!contains(remotes, alias)) {
        not_found(call, alias);
    }
    return connection_of(call, alias, qyb::item(remotes, alias));
}

qyb::FunctionDef config_get_def() {
    return {.name = "get", .params = {arg("self"), arg("alias")}, .body = config_get};
}

py::object config_add(const qyb::Call& call) {
    auto [self, alias, base_url, token, options] = call.args<5>();
    py::object data = load(self);
    py::object remotes = qyb::item(data, name<"remotes">());
    if (contains(remotes, alias)) {
        config_error(call, with_text("remote connection already exists: ", alias));
    }
    py::object reference = token.is_none() ? py::none() : reference_for(alias);
    py::object named = qyb::dict_of(
        {{name<"alias">(), alias}, {name<"base_url">(), base_url}, {name<"token_ref">(), reference}});
    py::object connection = settings::keyword_call(call.global<"RemoteConnection">(), named, options);
    if (!token.is_none()) {
        qyb::call_method(qyb::get(self, name<"token_store">()), name<"set">(), reference, token);
    }
    qyb::set_item(remotes, alias, qyb::call_method(self, name<"_record">(), connection));
    save(self, data);
    return connection;
}

qyb::FunctionDef config_add_def() {
    return {.name = "add",
            .params = {arg("self"), arg("alias"), arg("base_url"), kwonly("token", py::none()), kwargs("options")},
            .body = config_add};
}

py::object config_set(const qyb::Call& call) {
    auto [self, alias, changes] = call.args<3>();
    py::object current = qyb::call_method(self, name<"get">(), alias);
    py::object fields = qyb::invoke(call.global<"asdict">(), current);
    if (PyDict_CheckExact(fields.ptr())) {
        qyb::check(PyDict_Update(fields.ptr(), changes.ptr()));
    } else {
        qyb::call_method(fields, name<"update">(), changes);
    }
    // A connection keeps its alias: a change of it is dropped.
    qyb::check(PyObject_DelItem(fields.ptr(), name<"alias">().ptr()));
    py::object changed = connection_of(call, alias, fields);
    py::object data = load(self);
    qyb::set_item(qyb::item(data, name<"remotes">()), alias, qyb::call_method(self, name<"_record">(), changed));
    save(self, data);
    return changed;
}

qyb::FunctionDef config_set_def() {
    return {.name = "set", .params = {arg("self"), arg("alias"), kwargs("changes")}, .body = config_set};
}

py::object config_set_token(const qyb::Call& call) {
    auto [self, alias, token] = call.args<3>();
    py::object current = qyb::call_method(self, name<"get">(), alias);
    py::object stored = qyb::get(current, name<"token_ref">());
    py::object reference = qyb::truthy(stored) ? stored : reference_for(alias);
    qyb::call_method(qyb::get(self, name<"token_store">()), name<"set">(), reference, token);
    if (!qyb::truthy(stored)) {
        qyb::call_method(self, name<"set">(), alias, qyb::kw<"token_ref">(reference));
    }
    return py::none();
}

qyb::FunctionDef config_set_token_def() {
    return {.name = "set_token", .params = {arg("self"), arg("alias"), arg("token")}, .body = config_set_token};
}

py::object config_remove(const qyb::Call& call) {
    auto [self, alias] = call.args<2>();
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
    py::object rest = qyb::call_method(remotes, name<"values">());
    for (py::handle other : py::reinterpret_borrow<py::iterable>(rest)) {
        if (qyb::equals(qyb::call_method(other, name<"get">(), name<"token_ref">()), reference)) {
            return py::none();
        }
    }
    qyb::call_method(qyb::get(self, name<"token_store">()), name<"delete">(), reference);
    return py::none();
}

qyb::FunctionDef config_remove_def() {
    return {.name = "remove", .params = {arg("self"), arg("alias")}, .body = config_remove};
}

py::object config_use(const qyb::Call& call) {
    auto [self, alias] = call.args<2>();
    py::object data = load(self);
    if (!alias.is_none() && !contains(qyb::item(data, name<"remotes">()), alias)) {
        not_found(call, alias);
    }
    qyb::set_item(data, name<"default_remote">(), alias);
    save(self, data);
    return py::none();
}

qyb::FunctionDef config_use_def() {
    return {.name = "use", .params = {arg("self"), arg("alias", py::none())}, .body = config_use};
}

py::object config_set_client(const qyb::Call& call) {
    auto [self, client_name] = call.args<2>();
    py::object data = load(self);
    if (!client_name.is_none()) {
        if (!settings::is_client_name(client_name)) {
            config_error(call, "invalid client_name");
        }
        qyb::set_item(data, name<"client_name">(), client_name);
    }
    save(self, data);
    return py::none();
}

qyb::FunctionDef config_set_client_def() {
    return {.name = "set_client", .params = {arg("self"), kwonly("client_name", py::none())}, .body = config_set_client};
}

//   alias       argument, else QYBRIDGE4_REMOTE, else default_remote   the first non-empty
//   base_url    QYBRIDGE4_BASE_URL when present, else the stored one   revalidated either way
//   token       QYBRIDGE4_TOKEN when present, else the token store     None without a token_ref
//   client_name QYBRIDGE4_CLIENT_NAME when present, else the settings'
py::object config_resolve(const qyb::Call& call) {
    auto [self, alias] = call.args<2>();
    py::object variables = qyb::get(self, name<"environ">());
    py::object data = load(self);

    py::object selected = py::reinterpret_borrow<py::object>(alias);
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
    py::object fields = qyb::invoke(call.global<"asdict">(), stored);
    if (py::object base_url = variable(variables, name<"QYBRIDGE4_BASE_URL">())) {
        qyb::set_item(fields, name<"base_url">(), base_url);
    }
    py::object connection = qyb::invoke(call.global<"RemoteConnection">(), qyb::keywords(fields));

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

qyb::FunctionDef config_resolve_def() {
    return {.name = "resolve", .params = {arg("self"), arg("alias", py::none())}, .body = config_resolve};
}

}  // namespace

void define_remote_config(qyb::Part& p) {
    qyb::ClassBuilder c(p.module(), "RemoteConfig");
    c.method(config_init_def())
        .method(config_list_def())
        .method(config_default_def())
        .method(config_get_def())
        .method(config_add_def())
        .method(config_set_def())
        .method(config_set_token_def())
        .method(config_remove_def())
        .method(config_use_def())
        .method(config_set_client_def())
        .method(config_resolve_def())
        .static_method(settings::config_record_def())
        .method(settings::config_load_def())
        .method(settings::save_json_def("_save", "data"));
    p.bind_class(c);
}

}  // namespace remote
