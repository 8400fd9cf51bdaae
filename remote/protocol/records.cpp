// The command records: ClientIdentity, CommandRequest and CommandResponse, frozen dataclasses
// whose native __post_init__ checks every field.
#include "qyb/python.h"

#include "internal.h"
#include "parts.h"

namespace remote {

namespace py = pybind11;

namespace protocol {

namespace {

using qyb::compare;

PyObject* client_keys() {
    static PyObject* set = frozen_set_of({name<"client_id">(), name<"client_name">(), name<"cli_version">()});
    return set;
}

PyObject* request_keys() {
    static PyObject* set = frozen_set_of(
        {name<"protocol_version">(), name<"request_id">(), name<"nickname">(), name<"argv">(), name<"client">()});
    return set;
}

PyObject* response_keys() {
    static PyObject* set =
        frozen_set_of({name<"protocol_version">(), name<"request_id">(), name<"command">(), name<"duration_ms">()});
    return set;
}

PyObject* command_keys() {
    static PyObject* set = frozen_set_of({name<"exit_code">(), name<"result">(), name<"stderr">()});
    return set;
}

// ---------------------------------------------------------------------------------------
// ClientIdentity

py::object client_post_init(const qyb::Call& call) {
    auto [self] = call.args<1>();
    call.shortcut<"_request_id">(request_id_body)(qyb::get(self, name<"client_id">()), name<"client.client_id">());
    call.shortcut<"_string">(string_body)(qyb::get(self, name<"client_name">()), name<"client.client_name">(),
                                          int_constant<128>());
    call.shortcut<"_string">(string_body)(qyb::get(self, name<"cli_version">()), name<"client.cli_version">(),
                                          int_constant<128>());
    return py::none();
}

qyb::FunctionDef client_post_init_def() {
    return {.name = "__post_init__", .params = {arg("self")}, .body = client_post_init};
}

py::object client_to_dict(const qyb::Call& call) {
    auto [self] = call.args<1>();
    return qyb::dict_of({{name<"client_id">(), qyb::get(self, name<"client_id">())},
                         {name<"client_name">(), qyb::get(self, name<"client_name">())},
                         {name<"cli_version">(), qyb::get(self, name<"cli_version">())}});
}

qyb::FunctionDef client_to_dict_def() {
    return {.name = "to_dict", .params = {arg("self")}, .body = client_to_dict};
}

py::object client_from_dict(const qyb::Call& call) {
    auto [cls, value] = call.args<2>();
    py::object data = call.shortcut<"_object">(object_body)(value, client_keys(), name<"client">());
    return call_with_keywords(cls, data);
}

qyb::FunctionDef client_from_dict_def() {
    return {.name = "from_dict", .params = {arg("cls"), arg("value")}, .body = client_from_dict};
}

// ---------------------------------------------------------------------------------------
// CommandRequest

[[noreturn]] void bad_argv() { qyb::raise(PyExc_ValueError, "argv must be a non-empty array with at most 256 items"); }

void check_word(const qyb::Call& call, py::handle word, Py_ssize_t index) {
    qyb::Shortcut check = call.shortcut<"_string">(string_body);
    py::object limit = call.global<"MAX_ARGUMENT_CHARS">();
    if (check) {
        // The label is only needed for the refusal.
        if (!string_passes(word, limit, Py_True)) {
            refuse_field(steal(PyUnicode_FromFormat("argv[%zd]", index)));
        }
        return;
    }
    check.keywords(allow_empty_keyword(), word, steal(PyUnicode_FromFormat("argv[%zd]", index)), limit, Py_True);
}

py::object request_post_init(const qyb::Call& call) {
    auto [self] = call.args<1>();
    py::object version = qyb::get(self, name<"protocol_version">());
    if (!PyLong_CheckExact(version.ptr()) ||
        compare(version, call.global<"_remote_protocol__PROTOCOL_VERSION">(), Py_NE)) {
        qyb::raise(PyExc_ValueError, "unsupported protocol_version");
    }
    call.shortcut<"_request_id">(request_id_body)(qyb::get(self, name<"request_id">()));

    py::object argv = qyb::get(self, name<"argv">());
    if (!PyTuple_Check(argv.ptr()) || !qyb::truthy(argv)) {
        bad_argv();
    }
    Py_ssize_t count = PyObject_Length(argv.ptr());
    if (count < 0) {
        qyb::throw_error();
    }
    if (length_above(count, call.global<"MAX_ARGV">())) {
        bad_argv();
    }
    if (PyTuple_CheckExact(argv.ptr())) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(argv.ptr()); ++i) {
            check_word(call, PyTuple_GET_ITEM(argv.ptr(), i), i);
        }
    } else {
        py::object it = steal(PyObject_GetIter(argv.ptr()));
        Py_ssize_t i = 0;
        while (PyObject* next = PyIter_Next(it.ptr())) {
            py::object word = steal(next);
            check_word(call, word, i++);
        }
        if (PyErr_Occurred()) {
            qyb::throw_error();
        }
    }

    py::object nickname = qyb::get(self, name<"nickname">());
    if (!nickname.is_none()) {
        call.shortcut<"_string">(string_body)(nickname, name<"nickname">(), int_constant<128>());
    }
    py::object client = qyb::get(self, name<"client">());
    if (!qyb::check(PyObject_IsInstance(client.ptr(), call.global<"ClientIdentity">().ptr()))) {
        qyb::raise(PyExc_ValueError, "client must be ClientIdentity");
    }
    return py::none();
}

qyb::FunctionDef request_post_init_def() {
    return {.name = "__post_init__", .params = {arg("self")}, .body = request_post_init};
}

py::object request_to_dict(const qyb::Call& call) {
    auto [self] = call.args<1>();
    py::object client = qyb::get(self, name<"client">());
    return qyb::dict_of({{name<"protocol_version">(), qyb::get(self, name<"protocol_version">())},
                         {name<"request_id">(), qyb::get(self, name<"request_id">())},
                         {name<"nickname">(), qyb::get(self, name<"nickname">())},
                         {name<"argv">(), steal(PySequence_List(qyb::get(self, name<"argv">()).ptr()))},
                         {name<"client">(), qyb::call_method(client, name<"to_dict">())}});
}

qyb::FunctionDef request_to_dict_def() {
    return {.name = "to_dict", .params = {arg("self")}, .body = request_to_dict};
}

py::object request_from_dict(const qyb::Call& call) {
    auto [cls, value] = call.args<2>();
    py::object data = call.shortcut<"_object">(object_body)(value, request_keys(), name<"command request">());
    py::object argv = qyb::item(data, name<"argv">());
    if (!PyList_Check(argv.ptr())) {
        qyb::raise(PyExc_ValueError, "argv must be an array");
    }
    qyb::set_item(data, name<"argv">(), steal(PySequence_Tuple(argv.ptr())));
    py::object reader = qyb::get(call.global<"ClientIdentity">(), name<"from_dict">());
    qyb::set_item(data, name<"client">(), qyb::invoke(reader, qyb::item(data, name<"client">())));
    return call_with_keywords(cls, data);
}

qyb::FunctionDef request_from_dict_def() {
    return {.name = "from_dict", .params = {arg("cls"), arg("value")}, .body = request_from_dict};
}

// ---------------------------------------------------------------------------------------
// CommandResponse

py::object response_post_init(const qyb::Call& call) {
    auto [self] = call.args<1>();
    py::object version = qyb::get(self, name<"protocol_version">());
    if (compare(version, call.global<"_remote_protocol__PROTOCOL_VERSION">(), Py_NE) ||
        !PyLong_CheckExact(version.ptr())) {
        qyb::raise(PyExc_ValueError, "unsupported protocol_version");
    }
    call.shortcut<"_request_id">(request_id_body)(qyb::get(self, name<"request_id">()));

    py::object exit_code = qyb::get(self, name<"exit_code">());
    if (!PyLong_CheckExact(exit_code.ptr()) || compare(exit_code, int_constant<0>(), Py_LT) ||
        compare(exit_code, int_constant<255>(), Py_GT)) {
        qyb::raise(PyExc_ValueError, "exit_code must be between 0 and 255");
    }
    call.shortcut<"_json_value">(json_value_body)(qyb::get(self, name<"result">()));
    call.shortcut<"_string">(string_body)
        .keywords(allow_empty_keyword(), qyb::get(self, name<"stderr">()), name<"stderr">(),
                  call.global<"MAX_STDERR_CHARS">(), Py_True);
    py::object duration = qyb::get(self, name<"duration_ms">());
    if (!PyLong_CheckExact(duration.ptr()) || compare(duration, int_constant<0>(), Py_LT)) {
        qyb::raise(PyExc_ValueError, "duration_ms must be a non-negative integer");
    }
    return py::none();
}

qyb::FunctionDef response_post_init_def() {
    return {.name = "__post_init__", .params = {arg("self")}, .body = response_post_init};
}

py::object response_to_dict(const qyb::Call& call) {
    auto [self] = call.args<1>();
    py::object command = qyb::dict_of({{name<"exit_code">(), qyb::get(self, name<"exit_code">())},
                                       {name<"result">(), qyb::get(self, name<"result">())},
                                       {name<"stderr">(), qyb::get(self, name<"stderr">())}});
    return qyb::dict_of({{name<"protocol_version">(), qyb::get(self, name<"protocol_version">())},
                         {name<"request_id">(), qyb::get(self, name<"request_id">())},
                         {name<"command">(), command},
                         {name<"duration_ms">(), qyb::get(self, name<"duration_ms">())}});
}

qyb::FunctionDef response_to_dict_def() {
    return {.name = "to_dict", .params = {arg("self")}, .body = response_to_dict};
}

py::object response_from_dict(const qyb::Call& call) {
    auto [cls, value] = call.args<2>();
    py::object data = call.shortcut<"_object">(object_body)(value, response_keys(), name<"command response">());
    py::object entry = qyb::call_method(data, name<"pop">(), name<"command">());
    py::object command = call.shortcut<"_object">(object_body)(entry, command_keys(), name<"command">());
    // cls(**data, **command)
    py::object kwargs = steal(PyDict_New());
    qyb::merge_keywords(cls, kwargs, data);
    qyb::merge_keywords(cls, kwargs, command);
    return call_with_keywords(cls, kwargs);
}

qyb::FunctionDef response_from_dict_def() {
    return {.name = "from_dict", .params = {arg("cls"), arg("value")}, .body = response_from_dict};
}

// ---------------------------------------------------------------------------------------

}  // namespace

void bind_frozen_dataclass(qyb::Part& p, qyb::ClassBuilder& c, std::source_location where) {
    std::string what = "class " + c.name();
    p.step(what.c_str(), where, [&] {
        // The decorator's expression first, as for a decorated class statement.
        py::object decorator = qyb::invoke(p.get("dataclass"), qyb::kw<"frozen">(Py_True));
        p.bind(c.name().c_str(), qyb::invoke(decorator, c.build()));
    });
}

}  // namespace protocol

void define_records(qyb::Part& p) {
    namespace pr = protocol;
    py::object version = p.get("_remote_protocol__PROTOCOL_VERSION");

    qyb::ClassBuilder client(p.module(), "ClientIdentity");
    client.field("client_id", "str").field("client_name", "str").field("cli_version", "str");
    client.method(pr::client_post_init_def())
        .method(pr::client_to_dict_def())
        .class_method(pr::client_from_dict_def());
    pr::bind_frozen_dataclass(p, client);

    qyb::ClassBuilder request(p.module(), "CommandRequest");
    request.field("request_id", "str")
        .field("argv", "tuple[str, ...]")
        .field("client", "ClientIdentity")
        .field("nickname", "str | None", py::none())
        .field("protocol_version", "int", version);
    request.method(pr::request_post_init_def())
        .method(pr::request_to_dict_def())
        .class_method(pr::request_from_dict_def());
    pr::bind_frozen_dataclass(p, request);

    qyb::ClassBuilder response(p.module(), "CommandResponse");
    response.field("request_id", "str")
        .field("exit_code", "int")
        .field("result", "Any")
        .field("stderr", "str")
        .field("duration_ms", "int")
        .field("protocol_version", "int", version);
    response.method(pr::response_post_init_def())
        .method(pr::response_to_dict_def())
        .class_method(pr::response_from_dict_def());
    pr::bind_frozen_dataclass(p, response);
}

}  // namespace remote
