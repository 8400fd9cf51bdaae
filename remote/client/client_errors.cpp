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
    py::handle self = call[0];
    call.super(self).attr(name<"__init__">())(call[2]);
    qyb::set(self, name<"code">(), call[1]);
    qyb::set(self, name<"message">(), call[2]);
    qyb::set(self, name<"outcome">(), call[3]);
    qyb::set(self, name<"retryable">(), call[4]);
    qyb::set(self, name<"http_status">(), call[5]);
    qyb::set(self, name<"request_id">(), call[6]);
    return py::none();
}

// A new dict of the named attributes of `self`, in order.
py::dict attributes(py::handle self, std::initializer_list<py::handle> keys) {
    py::dict out;
    for (py::handle key : keys) {
        qyb::set_item(out, key, qyb::get(self, key));
    }
    return out;
}

py::object error_as_dict(const qyb::Call& call) {
    return attributes(call[0], {name<"code">(), name<"message">(), name<"outcome">(),
                                name<"retryable">(), name<"http_status">(), name<"request_id">()});
}

py::object result_as_dict(const qyb::Call& call) {
    return attributes(call[0], {name<"exit_code">(), name<"result">(), name<"stderr">()});
}

}  // namespace

void define_client_errors(qyb::Part& p) {
    qyb::ClassBuilder error(p.module(), "RemoteClientError", {PyExc_RuntimeError});
    error.doc("A stable, user-presentable remote client failure.")
        .method({.name = "__init__",
                 .params = {arg("self"), arg("code", "str"), arg("message", "str"),
                            kwonly("outcome", "str", py::str("not_started")),
                            kwonly("retryable", "bool", py::bool_(false)),
                            kwonly("http_status", "int | None", py::none()),
                            kwonly("request_id", "str | None", py::none())},
                 .returns = "None",
                 .body = error_init})
        .method({.name = "as_dict", .params = {arg("self")}, .returns = "dict[str, Any]",
                 .body = error_as_dict});
    p.bind_class(error);

    qyb::ClassBuilder result(p.module(), "CommandResult");
    result.field("exit_code", "int")
        .field("result", "Any")
        .field("stderr", "str")
        .field("request_id", "str | None", py::none())
        .method({.name = "as_dict", .params = {arg("self")}, .returns = "dict[str, Any]",
                 .body = result_as_dict});
    p.step("class CommandResult", std::source_location::current(), [&] {
        py::object cls = p.get("dataclass")(py::arg("frozen") = true)(result.build());
        p.bind("CommandResult", cls);
    });
}

}  // namespace remote
