// RemoteClientError and CommandResult: what the gateway client raises and returns.
#include "qyb/python.h"

#include "parts.h"

namespace remote {
namespace {

namespace py = pybind11;
using qyb::arg;
using qyb::kwonly;
using qyb::name;

py::object error_init(const qyb::Call& call) {
    auto [self, code, message, outcome, retryable, http_status, request_id] = call.args<7>();
    qyb::call_method(call.super(self), name<"__init__">(), message);
    qyb::set(self, name<"code">(), code);
    qyb::set(self, name<"message">(), message);
    qyb::set(self, name<"outcome">(), outcome);
    qyb::set(self, name<"retryable">(), retryable);
    qyb::set(self, name<"http_status">(), http_status);
    qyb::set(self, name<"request_id">(), request_id);
    return py::none();
}

qyb::FunctionDef error_init_def() {
    return {.name = "__init__",
            .params = {arg("self"), arg("code", "str"), arg("message", "str"),
                       kwonly("outcome", "str", py::str("not_started")), kwonly("retryable", "bool", py::bool_(false)),
                       kwonly("http_status", "int | None", py::none()),
                       kwonly("request_id", "str | None", py::none())},
            .returns = "None",
            .body = error_init};
}

// A new dict of the named attributes of `self`, in order.
py::object attributes(py::handle self, std::initializer_list<py::handle> keys) {
    py::object out = qyb::steal(PyDict_New());
    for (py::handle key : keys) {
        qyb::dict_set(out, key, qyb::get(self, key));
    }
    return out;
}

py::object error_as_dict(const qyb::Call& call) {
    auto [self] = call.args<1>();
    return attributes(self, {name<"code">(), name<"message">(), name<"outcome">(), name<"retryable">(),
                             name<"http_status">(), name<"request_id">()});
}

qyb::FunctionDef error_as_dict_def() {
    return {.name = "as_dict", .params = {arg("self")}, .returns = "dict[str, Any]", .body = error_as_dict};
}

py::object result_as_dict(const qyb::Call& call) {
    auto [self] = call.args<1>();
    return attributes(self, {name<"exit_code">(), name<"result">(), name<"stderr">()});
}

qyb::FunctionDef result_as_dict_def() {
    return {.name = "as_dict", .params = {arg("self")}, .returns = "dict[str, Any]", .body = result_as_dict};
}

}  // namespace

void define_client_errors(qyb::Part& p) {
    qyb::ClassBuilder error(p.module(), "RemoteClientError", {PyExc_RuntimeError});
    error.doc("A stable, user-presentable remote client failure.").method(error_init_def()).method(error_as_dict_def());
    p.bind_class(error);

    qyb::ClassBuilder result(p.module(), "CommandResult");
    result.field("exit_code", "int")
        .field("result", "Any")
        .field("stderr", "str")
        .field("request_id", "str | None", py::none())
        .method(result_as_dict_def());
    p.step("class CommandResult", std::source_location::current(), [&] {
        py::object frozen = qyb::invoke(p.get("dataclass"), qyb::kw<"frozen">(py::bool_(true)));
        p.bind("CommandResult", qyb::invoke(frozen, result.build()));
    });
}

}  // namespace remote
