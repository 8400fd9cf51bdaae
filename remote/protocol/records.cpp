// The command records: ClientIdentity, CommandRequest and CommandResponse, frozen dataclasses
// whose native __post_init__ checks every field.
#include "qyb/python.h"

#include "internal.h"
#include "parts.h"

namespace remote {

namespace py = pybind11;

namespace protocol {

namespace {

PyObject* client_keys() {
    static PyObject* set = frozen_set_of(
        {qyb::name<"client_id">(), qyb::name<"client_name">(), qyb::name<"cli_version">()});
    return set;
}

PyObject* request_keys() {
    static PyObject* set = frozen_set_of({qyb::name<"protocol_version">(), qyb::name<"request_id">(),
                                          qyb::name<"nickname">(), qyb::name<"argv">(),
                                          qyb::name<"client">()});
    return set;
}

PyObject* response_keys() {
    static PyObject* set = frozen_set_of({qyb::name<"protocol_version">(), qyb::name<"request_id">(),
                                          qyb::name<"command">(), qyb::name<"duration_ms">()});
    return set;
}

PyObject* command_keys() {
    static PyObject* set = frozen_set_of(
        {qyb::name<"exit_code">(), qyb::name<"result">(), qyb::name<"stderr">()});
    return set;
}

using qyb::compare;

py::dict with_keys(std::initializer_list<std::pair<py::handle, py::object>> entries) {
    py::dict d;
    for (const auto& [key, value] : entries) {
        d[key] = value;
    }
    return d;
}

// ---------------------------------------------------------------------------------------
// ClientIdentity

py::object client_post_init(const qyb::Call& call) {
    PyObject* self = call[0].ptr();
    call.shortcut<"_request_id">(request_id_body)(qyb::get(self, qyb::name<"client_id">()),
                                                  qyb::name<"client.client_id">());
    call.shortcut<"_string">(string_body)(qyb::get(self, qyb::name<"client_name">()),
                                          qyb::name<"client.client_name">(), int_constant<128>());
    call.shortcut<"_string">(string_body)(qyb::get(self, qyb::name<"cli_version">()),
                                          qyb::name<"client.cli_version">(), int_constant<128>());
    return py::none();
}

py::object client_to_dict(const qyb::Call& call) {
    PyObject* self = call[0].ptr();
    return with_keys({{qyb::name<"client_id">(), qyb::get(self, qyb::name<"client_id">())},
                      {qyb::name<"client_name">(), qyb::get(self, qyb::name<"client_name">())},
                      {qyb::name<"cli_version">(), qyb::get(self, qyb::name<"cli_version">())}});
}

py::object client_from_dict(const qyb::Call& call) {
    py::object data = call.shortcut<"_object">(object_body)(call[1], client_keys(), qyb::name<"client">());
    return call_with_keywords(call[0].ptr(), data.ptr());
}

// ---------------------------------------------------------------------------------------
// CommandRequest

[[noreturn]] void bad_argv() {
    qyb::raise(PyExc_ValueError, "argv must be a non-empty array with at most 256 items");
}

void check_word(const qyb::Call& call, PyObject* word, Py_ssize_t index) {
    qyb::Shortcut check = call.shortcut<"_string">(string_body);
    py::object limit = call.global<"MAX_ARGUMENT_CHARS">();
    if (check) {
        // The label is only needed for the refusal.
        if (!string_passes(word, limit.ptr(), Py_True)) {
            refuse_field(steal(PyUnicode_FromFormat("argv[%zd]", index)).ptr());
        }
        return;
    }
    check.keywords(allow_empty_keyword(), word, steal(PyUnicode_FromFormat("argv[%zd]", index)), limit,
                   Py_True);
}

py::object request_post_init(const qyb::Call& call) {
    PyObject* self = call[0].ptr();
    py::object version = qyb::get(self, qyb::name<"protocol_version">());
    if (!PyLong_CheckExact(version.ptr()) ||
        compare(version.ptr(), call.global<"_remote_protocol__PROTOCOL_VERSION">().ptr(), Py_NE)) {
        qyb::raise(PyExc_ValueError, "unsupported protocol_version");
    }
    call.shortcut<"_request_id">(request_id_body)(qyb::get(self, qyb::name<"request_id">()));

    py::object argv = qyb::get(self, qyb::name<"argv">());
    if (!PyTuple_Check(argv.ptr()) || !qyb::truthy(argv.ptr())) {
        bad_argv();
    }
    Py_ssize_t count = PyObject_Length(argv.ptr());
    if (count < 0) {
        qyb::throw_error();
    }
    if (length_above(count, call.global<"MAX_ARGV">().ptr())) {
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
            check_word(call, word.ptr(), i++);
        }
        if (PyErr_Occurred()) {
            qyb::throw_error();
        }
    }

    py::object nickname = qyb::get(self, qyb::name<"nickname">());
    if (!nickname.is_none()) {
        call.shortcut<"_string">(string_body)(nickname, qyb::name<"nickname">(), int_constant<128>());
    }
    int is_client = PyObject_IsInstance(qyb::get(self, qyb::name<"client">()).ptr(),
                                        call.global<"ClientIdentity">().ptr());
    if (is_client < 0) {
        qyb::throw_error();
    }
    if (is_client == 0) {
        qyb::raise(PyExc_ValueError, "client must be ClientIdentity");
    }
    return py::none();
}

py::object request_to_dict(const qyb::Call& call) {
    PyObject* self = call[0].ptr();
    py::object client = qyb::get(self, qyb::name<"client">());
    return with_keys(
        {{qyb::name<"protocol_version">(), qyb::get(self, qyb::name<"protocol_version">())},
         {qyb::name<"request_id">(), qyb::get(self, qyb::name<"request_id">())},
         {qyb::name<"nickname">(), qyb::get(self, qyb::name<"nickname">())},
         {qyb::name<"argv">(), steal(PySequence_List(qyb::get(self, qyb::name<"argv">()).ptr()))},
         {qyb::name<"client">(),
          steal(PyObject_CallMethodNoArgs(client.ptr(), qyb::name<"to_dict">().ptr()))}});
}

py::object request_from_dict(const qyb::Call& call) {
    py::object data =
        call.shortcut<"_object">(object_body)(call[1], request_keys(), qyb::name<"command request">());
    py::object argv = qyb::item(data.ptr(), qyb::name<"argv">());
    if (!PyList_Check(argv.ptr())) {
        qyb::raise(PyExc_ValueError, "argv must be an array");
    }
    qyb::set_item(data.ptr(), qyb::name<"argv">(), steal(PySequence_Tuple(argv.ptr())));
    py::object reader = steal(PyObject_GetAttr(call.global<"ClientIdentity">().ptr(),
                                               qyb::name<"from_dict">().ptr()));
    py::object client = steal(PyObject_CallOneArg(reader.ptr(), qyb::item(data.ptr(), qyb::name<"client">()).ptr()));
    qyb::set_item(data.ptr(), qyb::name<"client">(), client);
    return call_with_keywords(call[0].ptr(), data.ptr());
}

// ---------------------------------------------------------------------------------------
// CommandResponse

py::object response_post_init(const qyb::Call& call) {
    PyObject* self = call[0].ptr();
    py::object version = qyb::get(self, qyb::name<"protocol_version">());
    if (compare(version.ptr(), call.global<"_remote_protocol__PROTOCOL_VERSION">().ptr(), Py_NE) ||
        !PyLong_CheckExact(version.ptr())) {
        qyb::raise(PyExc_ValueError, "unsupported protocol_version");
    }
    call.shortcut<"_request_id">(request_id_body)(qyb::get(self, qyb::name<"request_id">()));

    py::object exit_code = qyb::get(self, qyb::name<"exit_code">());
    if (!PyLong_CheckExact(exit_code.ptr()) || compare(exit_code.ptr(), int_constant<0>(), Py_LT) ||
        compare(exit_code.ptr(), int_constant<255>(), Py_GT)) {
        qyb::raise(PyExc_ValueError, "exit_code must be between 0 and 255");
    }
    call.shortcut<"_json_value">(json_value_body)(qyb::get(self, qyb::name<"result">()));
    call.shortcut<"_string">(string_body)
        .keywords(allow_empty_keyword(), qyb::get(self, qyb::name<"stderr">()), qyb::name<"stderr">(),
                  call.global<"MAX_STDERR_CHARS">(), Py_True);
    py::object duration = qyb::get(self, qyb::name<"duration_ms">());
    if (!PyLong_CheckExact(duration.ptr()) || compare(duration.ptr(), int_constant<0>(), Py_LT)) {
        qyb::raise(PyExc_ValueError, "duration_ms must be a non-negative integer");
    }
    return py::none();
}

py::object response_to_dict(const qyb::Call& call) {
    PyObject* self = call[0].ptr();
    py::dict command = with_keys({{qyb::name<"exit_code">(), qyb::get(self, qyb::name<"exit_code">())},
                                  {qyb::name<"result">(), qyb::get(self, qyb::name<"result">())},
                                  {qyb::name<"stderr">(), qyb::get(self, qyb::name<"stderr">())}});
    return with_keys({{qyb::name<"protocol_version">(), qyb::get(self, qyb::name<"protocol_version">())},
                      {qyb::name<"request_id">(), qyb::get(self, qyb::name<"request_id">())},
                      {qyb::name<"command">(), command},
                      {qyb::name<"duration_ms">(), qyb::get(self, qyb::name<"duration_ms">())}});
}

py::object response_from_dict(const qyb::Call& call) {
    py::object data =
        call.shortcut<"_object">(object_body)(call[1], response_keys(), qyb::name<"command response">());
    py::object entry = steal(PyObject_CallMethodOneArg(data.ptr(), qyb::name<"pop">().ptr(),
                                                       qyb::name<"command">().ptr()));
    py::object command = call.shortcut<"_object">(object_body)(entry, command_keys(), qyb::name<"command">());
    // cls(**data, **command)
    py::object kwargs = steal(PyDict_New());
    qyb::merge_keywords(call[0], kwargs, data);
    qyb::merge_keywords(call[0], kwargs, command);
    return call_with_keywords(call[0].ptr(), kwargs.ptr());
}

// ---------------------------------------------------------------------------------------

using qyb::arg;

void bind_record(qyb::Part& p, qyb::ClassBuilder& c, qyb::Body post_init, qyb::Body to_dict,
                 qyb::Body from_dict, std::source_location where = std::source_location::current()) {
    c.method({.name = "__post_init__", .params = {arg("self")}, .body = post_init})
        .method({.name = "to_dict", .params = {arg("self")}, .body = to_dict})
        .class_method({.name = "from_dict", .params = {arg("cls"), arg("value")}, .body = from_dict});
    std::string what = "class " + c.name();
    p.step(what.c_str(), where, [&] {
        py::object cls = p.get("dataclass")(py::arg("frozen") = true)(c.build());
        p.bind(c.name().c_str(), cls);
    });
}

}  // namespace

}  // namespace protocol

void define_records(qyb::Part& p) {
    namespace pr = protocol;
    py::object version = p.get("_remote_protocol__PROTOCOL_VERSION");

    qyb::ClassBuilder client(p.module(), "ClientIdentity");
    client.field("client_id", "str").field("client_name", "str").field("cli_version", "str");
    pr::bind_record(p, client, pr::client_post_init, pr::client_to_dict, pr::client_from_dict);

    qyb::ClassBuilder request(p.module(), "CommandRequest");
    request.field("request_id", "str")
        .field("argv", "tuple[str, ...]")
        .field("client", "ClientIdentity")
        .field("nickname", "str | None", py::none())
        .field("protocol_version", "int", version);
    pr::bind_record(p, request, pr::request_post_init, pr::request_to_dict, pr::request_from_dict);

    qyb::ClassBuilder response(p.module(), "CommandResponse");
    response.field("request_id", "str")
        .field("exit_code", "int")
        .field("result", "Any")
        .field("stderr", "str")
        .field("duration_ms", "int")
        .field("protocol_version", "int", version);
    pr::bind_record(p, response, pr::response_post_init, pr::response_to_dict, pr::response_from_dict);
}

}  // namespace remote
