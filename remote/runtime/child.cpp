// The gateway child's entry: its options, the stored administrator token, then the server loop
// until the process is terminated.
#include "qyb/python.h"

#include "runtime/runtime.h"

namespace remote::runtime {
namespace {

using qyb::arg;
using qyb::name;

py::object child_main(const qyb::Call& call) {
    auto [argv] = call.args<1>();
    py::object argparse = qyb::steal(PyImport_ImportModule("argparse"));
    py::object parser = qyb::call_method(argparse, name<"ArgumentParser">(), qyb::kw<"add_help">(py::bool_(false)));
    py::object add = qyb::get(parser, name<"add_argument">());
    py::bool_ required(true);
    qyb::invoke(add, py::str("--host"), qyb::kw<"required">(required));
    qyb::invoke(add, py::str("--port"), qyb::kw<"type">(reinterpret_cast<PyObject*>(&PyLong_Type)),
                qyb::kw<"required">(required));
    qyb::invoke(add, py::str("--instance"), qyb::kw<"required">(required));
    py::object options = qyb::call_method(parser, name<"parse_args">(), argv);

    py::object authorizer = qyb::invoke(call.global<"load_authorizer">());
    qyb::invoke(call.global<"serve">(), qyb::kw<"tokens">(authorizer),
                qyb::kw<"host">(qyb::get(options, name<"host">())), qyb::kw<"port">(qyb::get(options, name<"port">())),
                qyb::kw<"instance_id">(qyb::get(options, name<"instance">())));
    return py::none();
}

qyb::FunctionDef child_main_def() {
    return {.name = "_remote_gateway_child_main", .params = {arg("argv", py::none())}, .body = child_main};
}

}  // namespace

void define_child(qyb::Part& p) { p.def(child_main_def()); }

}  // namespace remote::runtime
