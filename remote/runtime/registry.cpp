// The gateway registry and the two identities of a registered gateway: its process (id and
// creation time) and its instance (the id that /v1/health reports).
#include "qyb/python.h"

#include <array>
#include <cmath>
#include <vector>

#include "runtime/runtime.h"

namespace remote::runtime {
namespace {

using qyb::arg;
using qyb::name;

// The registry's keys, in the order the start writes them; the last may be absent.
constexpr const char kRegistryKeys[][20] = {
    "schema_version", "instance_id", "pid", "process_create_time", "host", "port",
    "public_url", "started_at", "package_version", "managed_workers",
};
constexpr const char kInvalid[] = "invalid Remote Gateway registry";
constexpr const char kPublicKeys[][16] = {
    "instance_id", "pid", "host", "port", "public_url", "started_at", "package_version", "managed_workers",
};

bool has_key(py::handle record, const char* key) {
    return qyb::check(PyDict_Contains(record.ptr(), py::str(key).ptr()));
}

bool has_registry_keys(py::handle record) {
    Py_ssize_t size = PyDict_GET_SIZE(record.ptr());
    Py_ssize_t required = static_cast<Py_ssize_t>(std::size(kRegistryKeys)) - 1;
    if (size != required && size != required + 1) {
        return false;
    }
    for (Py_ssize_t i = 0; i < required; ++i) {
        if (!has_key(record, kRegistryKeys[i])) {
            return false;
        }
    }
    return size == required || has_key(record, "managed_workers");
}

bool integer_between(py::handle value, long low, long high) {
    if (!qyb::is_int(value)) {
        return false;
    }
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(value.ptr(), &overflow);
    if (overflow != 0) {
        return overflow > 0 && high == LONG_MAX;
    }
    return v >= low && v <= high;
}

bool valid_registry(py::handle record) {
    if (!PyDict_Check(record.ptr()) || !has_registry_keys(record)) {
        return false;
    }
    if (!qyb::equals(field(record, "schema_version"), py::int_(1))) {
        return false;
    }
    for (const char* key : {"instance_id", "host", "package_version"}) {
        if (!is_text_of(field(record, key), 1, PY_SSIZE_T_MAX)) {
            return false;
        }
    }
    py::object public_url = field(record, "public_url");
    return integer_between(field(record, "pid"), 1, LONG_MAX) &&
           integer_between(field(record, "port"), 1, 65535) &&
           (public_url.is_none() || PyUnicode_Check(public_url.ptr())) &&
           is_finite_time(field(record, "process_create_time")) && is_finite_time(field(record, "started_at"));
}

py::object read_registry(const qyb::Call& call) {
    py::object record = read_record(call, qyb::invoke(call.global<"_registry_path">()), kInvalid);
    if (!record) {
        return py::none();
    }
    if (!valid_registry(record)) {
        fail(call, kInvalid);
    }
    if (!has_key(record, "managed_workers")) {
        qyb::set_item(record, py::str("managed_workers"), py::list());
    }
    if (!valid_worker_names(field(record, "managed_workers"))) {
        fail(call, "invalid Remote Gateway managed worker list");
    }
    return record;
}

qyb::FunctionDef read_registry_def() { return {.name = "_read_registry", .body = read_registry}; }

// A zombie has ended and only waits to be reaped: on Linux it stays listed with its creation
// time, on Windows it is gone. It counts as gone here.
py::object pid_matches(const qyb::Call& call) {
    auto [record] = call.args<1>();
    py::object psutil = call.global<"psutil">();
    try {
        py::object process = qyb::call_method(psutil, name<"Process">(), field(record, "pid"));
        py::object created = qyb::call_method(process, name<"create_time">());
        if (qyb::equals(qyb::call_method(process, name<"status">()), qyb::get(psutil, name<"STATUS_ZOMBIE">()))) {
            return py::bool_(false);
        }
        py::object recorded = field(record, "process_create_time");
        py::object difference = qyb::steal(PyNumber_Subtract(created.ptr(), recorded.ptr()));
        py::object distance = qyb::steal(PyNumber_Absolute(difference.ptr()));
        return py::bool_(qyb::compare(distance, py::float_(0.01), Py_LT));
    } catch (py::error_already_set& e) {
        if (e.matches(qyb::get(psutil, name<"Error">()).ptr()) || e.matches(PyExc_OSError)) {
            return py::bool_(false);
        }
        throw;
    }
}

qyb::FunctionDef pid_matches_def() {
    return {.name = "_pid_matches", .params = {arg("record")}, .returns = "bool", .body = pid_matches};
}

py::object url(const qyb::Call& call) {
    auto [host, port] = call.args<2>();
    py::object shown = py::reinterpret_borrow<py::object>(host);
    if (qyb::equals(host, py::str("0.0.0.0")) || qyb::equals(host, py::str("::"))) {
        shown = py::str("127.0.0.1");
    }
    py::object text = py::str(shown);
    if (qyb::contains(text, py::str(":")) &&
        !qyb::truthy(qyb::call_method(text, name<"startswith">(), py::str("[")))) {
        text = py::str("[{}]").format(text);
    }
    return py::str("http://{}:{}").format(text, qyb::steal(PyNumber_ToBase(port.ptr(), 10)));
}

qyb::FunctionDef url_def() {
    return {.name = "_url", .params = {arg("host", "str"), arg("port", "int")}, .returns = "str", .body = url};
}

// The probe's client: HTTP only, errors raised for error statuses, no redirect, and no proxy, so
// the gateway is reached at its own address whatever the environment says. Made from the few
// handlers it needs, as build_opener's full set costs more than the probe itself.
//
// `_health` holds an opener made when it is defined, followed by the classes it was made from.
// It serves every probe while `urllib.request` still gives those classes (an opener keeps nothing
// of a request it opened); otherwise one is made from what the module gives now. Building one
// costs a tenth of a probe.
using ProbeClasses = std::array<py::object, 5>;

ProbeClasses probe_classes(py::handle request) {
    return {qyb::get(request, name<"OpenerDirector">()), qyb::get(request, name<"ProxyHandler">()),
            qyb::get(request, name<"HTTPHandler">()), qyb::get(request, name<"HTTPDefaultErrorHandler">()),
            qyb::get(request, name<"HTTPErrorProcessor">())};
}

py::object probe_opener(const ProbeClasses& classes) {
    py::object opener = qyb::invoke(classes[0]);
    py::object add = qyb::get(opener, name<"add_handler">());
    qyb::invoke(add, qyb::invoke(classes[1], py::dict()));
    for (std::size_t i = 2; i < classes.size(); ++i) {
        qyb::invoke(add, qyb::invoke(classes[i]));
    }
    return opener;
}

std::vector<py::object> probe_held(py::handle request) {
    ProbeClasses classes = probe_classes(request);
    std::vector<py::object> held{probe_opener(classes)};
    held.insert(held.end(), classes.begin(), classes.end());
    return held;
}

py::object opener_for(const qyb::Call& call, py::handle request) {
    ProbeClasses classes = probe_classes(request);
    for (std::size_t i = 0; i < classes.size(); ++i) {
        if (classes[i].ptr() != call.held(i + 1).ptr()) {
            return probe_opener(classes);
        }
    }
    return py::reinterpret_borrow<py::object>(call.held(0));
}

py::object health(const qyb::Call& call) {
    auto [record, timeout] = call.args<2>();
    py::object limit = call.global<"MAX_RUNTIME_BYTES">();
    py::object request = qyb::get(call.global<"urllib">(), name<"request">());
    py::object value;
    try {
        py::object address = qyb::invoke(call.global<"_url">(), field(record, "host"), field(record, "port"));
        address = qyb::steal(PyNumber_Add(address.ptr(), py::str("/v1/health").ptr()));
        py::object opener = opener_for(call, request);
        py::object response = qyb::call_method(opener, name<"open">(), address, qyb::kw<"timeout">(timeout));
        py::object data = qyb::finally([&] { return qyb::call_method(response, name<"read">(), limit); },
                                       [&] { qyb::call_method(response, name<"close">()); });
        value = qyb::invoke(call.global<"loads_strict">(), data, qyb::kw<"max_bytes">(limit));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) {
            throw;
        }
        qyb::Except handling(e);
        py::object http_error = qyb::get(qyb::get(call.global<"urllib">(), name<"error">()), name<"HTTPError">());
        if (qyb::check(PyObject_IsInstance(e.value().ptr(), http_error.ptr()))) {
            qyb::call_method(e.value(), name<"close">());
        }
        fail_from(call, py::str("Remote Gateway is unreachable: {}").format(e.value()), e.value());
    }
    if (!PyDict_Check(value.ptr()) ||
        !qyb::equals(qyb::call_method(value, name<"get">(), py::str("instance_id")), field(record, "instance_id"))) {
        fail(call, "Remote Gateway identity mismatch");
    }
    return value;
}

qyb::FunctionDef health_def(qyb::Part& p) {
    return {.name = "_health",
            .params = {arg("record"), arg("timeout", py::float_(1.0))},
            .body = health,
            .held = probe_held(qyb::get(p.get("urllib"), name<"request">()))};
}

py::object public_record(const qyb::Call& call) {
    auto [record] = call.args<1>();
    py::dict result;
    for (const char* key : kPublicKeys) {
        qyb::dict_set(result, py::str(key), field(record, key));
    }
    return result;
}

qyb::FunctionDef public_record_def() { return {.name = "_public", .params = {arg("record")}, .body = public_record}; }

}  // namespace

void define_registry(qyb::Part& p) {
    p.def(read_registry_def());
    p.def(pid_matches_def());
    p.def(url_def());
    p.def(health_def(p));
    p.def(public_record_def());
}

}  // namespace remote::runtime
