// The gateway child's entry: its options, the stored administrator token, then the server loop
// until the process is terminated.
#include "qyb/python.h"

#include "runtime/runtime.h"

namespace remote::runtime {
namespace {

using qyb::arg;
using qyb::name;

py::object child_main(const qyb::Call& call) {
    py::module_ argparse = py::module_::import("argparse");
    py::object parser = argparse.attr("ArgumentParser")(py::arg("add_help") = false);
    py::object add = qyb::get(parser, name<"add_argument">());
    add("--host", py::arg("required") = true);
    add("--port", py::arg("type") = py::handle(reinterpret_cast<PyObject*>(&PyLong_Type)),
        py::arg("required") = true);
    add("--instance", py::arg("required") = true);
    py::object options = qyb::call_method(parser, name<"parse_args">(), call[0]);

    py::object authorizer = qyb::invoke(call.global<"load_authorizer">());
    call.global<"serve">()(py::arg("tokens") = authorizer, py::arg("host") = qyb::get(options, name<"host">()),
                           py::arg("port") = qyb::get(options, name<"port">()),
                           py::arg("instance_id") = qyb::get(options, name<"instance">()));
    return py::none();
}

}  // namespace

void define_child(qyb::Part& p) {
    p.def({.name = "_remote_gateway_child_main", .params = {arg("argv", py::none())}, .body = child_main});
}

}  // namespace remote::runtime
