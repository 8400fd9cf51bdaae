// The gateway's threaded HTTP server, and the functions that make and run one.
#include "qyb/python.h"

#include "parts.h"
#include "server/request_handler.h"

namespace remote {

namespace py = pybind11;
using qyb::arg;
using qyb::call_method;
using qyb::invoke;
using qyb::kwonly;
using qyb::name;
using qyb::set;

namespace {

py::object server_init(const qyb::Call& call) {
    auto [self, address, authorizer, router, instance_id, uploads] = call.args<6>();
    register_exit_hook(call);
    set(self, name<"authorizer">(), authorizer);
    set(self, name<"router">(), router);
    set(self, name<"instance_id">(), instance_id);
    py::object store = qyb::truthy(uploads) ? py::reinterpret_borrow<py::object>(uploads)
                                            : invoke(call.global<"UploadStore">());
    set(self, name<"uploads">(), store);
    set(router, name<"uploads">(), store);
    call_method(call.super(self), name<"__init__">(), address, call.global<"GatewayRequestHandler">());
    return py::none();
}

qyb::FunctionDef server_init_def() {
    return {.name = "__init__",
            .params = {arg("self"), arg("address"), arg("authorizer", "TokenAuthorizer"), arg("router", "RemoteRouter"),
                       arg("instance_id", py::none()), arg("uploads", py::none())},
            .body = server_init};
}

// On Windows SO_REUSEADDR lets a socket bind a port that another live socket listens on, which
// would then share the connections, tokens and all; Windows rebinds past TIME_WAIT without it, so
// there the socket is bound as socket.create_server binds it and a port in use fails. (Not
// SO_EXCLUSIVEADDRUSE: its port stays taken while accepted connections linger, so a restart
// right after a stop would fail.) Decided by the `os` the module sees now.
py::object server_bind(const qyb::Call& call) {
    auto [self] = call.args<1>();
    if (on_windows(call)) {
        set(self, name<"allow_reuse_address">(), py::bool_(false));
    }
    call_method(call.super(self), name<"server_bind">());
    return py::none();
}

qyb::FunctionDef server_bind_def() {
    return {.name = "server_bind", .params = {arg("self")}, .body = server_bind};
}

py::object create_server(const qyb::Call& call) {
    auto [tokens, host, port, router, instance_id] = call.args<5>();
    py::object authorizer_class = call.global<"TokenAuthorizer">();
    py::object authorizer = qyb::check(PyObject_IsInstance(tokens.ptr(), authorizer_class.ptr()))
                                ? py::reinterpret_borrow<py::object>(tokens)
                                : call_method(authorizer_class, name<"from_tokens">(), tokens);
    py::object address = qyb::steal(PyTuple_Pack(2, host.ptr(), port.ptr()));
    py::object chosen = qyb::truthy(router) ? py::reinterpret_borrow<py::object>(router)
                                            : invoke(call.global<"RemoteRouter">());
    return invoke(call.global<"GatewayHTTPServer">(), address, authorizer, chosen, instance_id);
}

qyb::FunctionDef create_server_def() {
    return {.name = "create_server",
            .params = {kwonly("tokens"), kwonly("host", py::str("127.0.0.1")), kwonly("port", py::int_(8765)),
                       kwonly("router", py::none()), kwonly("instance_id", py::none())},
            .doc = "Create, but do not start, a configured remote Gateway server.",
            .body = create_server};
}

py::object serve(const qyb::Call& call) {
    auto [tokens, host, port, router, instance_id] = call.args<5>();
    py::object server = invoke(call.global<"create_server">(), qyb::kw<"tokens">(tokens), qyb::kw<"host">(host),
                               qyb::kw<"port">(port), qyb::kw<"router">(router),
                               qyb::kw<"instance_id">(instance_id));
    qyb::finally([&] { call_method(server, name<"serve_forever">()); },
                 [&] { call_method(server, name<"server_close">()); });
    return py::none();
}

qyb::FunctionDef serve_def() {
    return {.name = "serve",
            .params = {kwonly("tokens"), kwonly("host", py::str("127.0.0.1")), kwonly("port", py::int_(8765)),
                       kwonly("router", py::none()), kwonly("instance_id", py::none())},
            .body = serve};
}

}  // namespace

// The handler's classes are defined around the server's, in the module's order.
void define_http_server(qyb::Part& p) {
    p.import("io");
    p.import("socket");
    define_head_reader(p);

    qyb::ClassBuilder server(p.module(), "GatewayHTTPServer", {p.get("ThreadingHTTPServer")});
    server.attr("daemon_threads", py::bool_(true))
        .attr("allow_reuse_address", py::bool_(true))
        .method(server_init_def())
        .method(server_bind_def());
    p.bind_class(server);

    define_request_handler(p);
    p.def(create_server_def());
    p.def(serve_def());
}

}  // namespace remote
