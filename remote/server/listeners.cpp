// Listener actions: listen commands parsed here and sent to the worker as structured requests.
#include "qyb/python.h"

#include "server/router_internal.h"

namespace remote {

namespace {

using qyb::equals;
using qyb::get;
using qyb::invoke;
using qyb::kw;
using qyb::name;
using qyb::truthy;

// `from .main import _build_parser`, made each time the action runs.
py::object import_build_parser(const qyb::Call& call) {
    py::tuple fromlist = py::make_tuple(py::str("_build_parser"));
    py::object main = qyb::steal(
        PyImport_ImportModuleLevelObject(name<"main">().ptr(), call.globals().ptr(), nullptr, fromlist.ptr(), 1));
    return qyb::import_name(main, "_build_parser");
}

// worker.remote_listener_request, looked up on the module's `worker` when each request is made.
py::object listener_request(const qyb::Call& call) {
    return get(call.global<"worker">(), name<"remote_listener_request">());
}

// One budget of `args.limit` events shared by the subscriptions, pulled one after another.
py::object pull_all(const qyb::Call& call, py::handle record, py::handle args) {
    py::object subscriptions = invoke(listener_request(call), record, name<"list">());
    py::list events;
    Py_ssize_t pulled = 0;
    py::int_ zero(0);
    for (py::handle subscription : subscriptions) {
        py::object remaining = get(args, name<"limit">()) - py::int_(py::len(events));
        if (remaining <= zero) {
            break;
        }
        py::object subscription_id = qyb::item(subscription, name<"subscription_id">());
        ++pulled;
        py::object request = listener_request(call);
        py::object lease_seconds = get(args, name<"lease_seconds">());
        py::object batch = invoke(request, record, name<"pull">(), kw<"subscription_id">(subscription_id),
                                  kw<"limit">(remaining), kw<"lease_seconds">(lease_seconds));
        for (py::handle event : qyb::item(batch, name<"events">())) {
            // A copy of a mapping, as {**event} makes it: a sequence of pairs is no event.
            py::object marked = qyb::steal(PyDict_New());
            qyb::dict_update(marked, event);
            qyb::dict_set(marked, name<"subscription_id">(), subscription_id);
            events.append(marked);
        }
    }
    return qyb::dict_of({{name<"events">(), events},
                         {name<"subscriptions_total">(), py::int_(py::len(subscriptions))},
                         {name<"subscriptions_pulled">(), py::int_(pulled)}});
}

py::object perform(const qyb::Call& call, py::handle build_parser, py::handle record, py::handle argv) {
    py::object args = qyb::call_method(invoke(build_parser), name<"parse_args">(), argv);
    py::object action = get(args, name<"listen_command">());
    if (equals(action, "start")) {
        // A listener started through the gateway never runs code that the client sent.
        if (truthy(get(args, name<"callback_file">())) || !get(args, name<"callback_code">()).is_none()) {
            raise_route_error(call, "callback_not_allowed",
                              py::str("remote callback code must run on the client"), 403);
        }
        py::object request = listener_request(call);
        py::object chats = get(args, name<"chats">());
        return invoke(request, record, name<"start">(), kw<"chats">(chats), kw<"callback">(py::none()));
    }
    if (equals(action, "list")) {
        return invoke(listener_request(call), record, name<"list">());
    }
    if (equals(action, "status")) {
        py::object request = listener_request(call);
        py::object subscription_id = get(args, name<"subscription_id">());
        return invoke(request, record, name<"status">(), kw<"subscription_id">(subscription_id));
    }
    if (equals(action, "pull")) {
        bool one = truthy(get(args, name<"subscription_id">()));
        bool all = truthy(get(args, name<"all">()));
        if (one == all) {
            raise_route_error(call, "invalid_request",
                              py::str("listen pull requires a subscription ID or --all"), 400);
        }
        if (all) {
            return pull_all(call, record, args);
        }
        py::object request = listener_request(call);
        py::object subscription_id = get(args, name<"subscription_id">());
        py::object limit = get(args, name<"limit">());
        py::object lease_seconds = get(args, name<"lease_seconds">());
        return invoke(request, record, name<"pull">(), kw<"subscription_id">(subscription_id), kw<"limit">(limit),
                      kw<"lease_seconds">(lease_seconds));
    }
    if (equals(action, "ack")) {
        py::object request = listener_request(call);
        py::object subscription_id = get(args, name<"subscription_id">());
        py::object event_ids = get(args, name<"event_ids">());
        return invoke(request, record, name<"ack">(), kw<"subscription_id">(subscription_id),
                      kw<"event_ids">(event_ids));
    }
    if (equals(action, "stop")) {
        py::object request = listener_request(call);
        py::object subscription_id = get(args, name<"subscription_id">());
        py::object all = get(args, name<"all">());
        return invoke(request, record, name<"stop">(), kw<"subscription_id">(subscription_id), kw<"all">(all));
    }
    raise_route_error(call, "command_not_allowed", py::str("listener command is not available remotely"), 403);
}

py::object listener_command(const qyb::Call& call) {
    [[maybe_unused]] auto [self, record, argv] = call.args<3>();
    // Outside the guarded section: a parser that cannot be imported is the caller's failure.
    py::object build_parser = import_build_parser(call);
    py::object result;
    try {
        result = perform(call, build_parser, record, argv);
    } catch (py::error_already_set& e) {
        qyb::Except handling(e);
        if (is_route_error(call, e)) {
            handling.reraise();
        }
        // The parser's usage exit, whatever its code, is the client's bad arguments.
        if (e.matches(PyExc_SystemExit)) {
            raise_route_error(call, "invalid_request", py::str("invalid listener arguments"), 400,
                              "not_started", &e);
        }
        if (e.matches(PyExc_Exception)) {
            raise_route_error(call, "listener_failed", py::str(e.value()), 503, "unknown", &e);
        }
        handling.reraise();
    }
    py::object worker = qyb::dict_of({{name<"instance_id">(), qyb::item(record, name<"instance_id">())},
                                      {name<"nickname">(), qyb::item(record, name<"nickname">())}});
    py::object command = qyb::dict_of({{name<"exit_code">(), qyb::int_constant<0>()},
                                       {name<"result">(), result},
                                       {name<"stderr">(), name<"">()}});
    return qyb::dict_of({{name<"worker">(), worker}, {name<"command">(), command}});
}

}  // namespace

qyb::FunctionDef listener_command_def() {
    return {.name = "_listener_command", .params = {qyb::arg("self"), qyb::arg("record"), qyb::arg("argv")},
            .body = listener_command};
}

}  // namespace remote
