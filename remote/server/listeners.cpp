// Listener actions: listen commands parsed here and sent to the worker as structured requests.
#include "qyb/python.h"

#include "server/router_internal.h"

namespace remote {

namespace {

using qyb::truthy;

using qyb::equals;

// `from .main import _build_parser`, made each time the action runs.
py::object import_build_parser(const qyb::Call& call) {
    py::tuple fromlist = py::make_tuple(py::str("_build_parser"));
    PyObject* main = PyImport_ImportModuleLevelObject(qyb::name<"main">().ptr(), call.globals().ptr(),
                                                      nullptr, fromlist.ptr(), 1);
    if (main == nullptr) {
        qyb::throw_error();
    }
    return qyb::import_name(py::reinterpret_steal<py::object>(main), "_build_parser");
}

// worker.remote_listener_request, looked up on the module's `worker` when each request is made.
py::object listener_request(const qyb::Call& call) {
    return call.global<"worker">().attr(qyb::name<"remote_listener_request">());
}

// One budget of `args.limit` events shared by the subscriptions, pulled one after another.
py::object pull_all(const qyb::Call& call, py::handle record, py::handle args) {
    py::object subscriptions = listener_request(call)(record, "list");
    py::list events;
    Py_ssize_t pulled = 0;
    py::int_ zero(0);
    for (py::handle subscription : subscriptions) {
        py::object remaining = py::object(args.attr(qyb::name<"limit">())) - py::int_(py::len(events));
        if (remaining <= zero) {
            break;
        }
        py::object subscription_id = qyb::item(subscription, qyb::name<"subscription_id">());
        ++pulled;
        py::object batch = listener_request(call)(record, "pull", py::arg("subscription_id") = subscription_id,
                                                  py::arg("limit") = remaining,
                                                  py::arg("lease_seconds") = args.attr(qyb::name<"lease_seconds">()));
        for (py::handle event : qyb::item(batch, qyb::name<"events">())) {
            // A copy of a mapping, as {**event} makes it: a sequence of pairs is no event.
            py::object marked = qyb::steal(PyDict_New());
            qyb::dict_update(marked, event);
            marked["subscription_id"] = subscription_id;
            events.append(marked);
        }
    }
    py::dict result;
    result["events"] = events;
    result["subscriptions_total"] = py::int_(py::len(subscriptions));
    result["subscriptions_pulled"] = py::int_(pulled);
    return result;
}

py::object perform(const qyb::Call& call, py::handle build_parser, py::handle record, py::handle argv) {
    py::object args = build_parser().attr(qyb::name<"parse_args">())(argv);
    py::object action = args.attr(qyb::name<"listen_command">());
    if (equals(action, "start")) {
        // A listener started through the gateway never runs code that the client sent.
        if (truthy(args.attr(qyb::name<"callback_file">())) || !py::object(args.attr(qyb::name<"callback_code">())).is_none()) {
            raise_route_error(call, "callback_not_allowed",
                              py::str("remote callback code must run on the client"), 403);
        }
        return listener_request(call)(record, "start", py::arg("chats") = args.attr(qyb::name<"chats">()),
                                      py::arg("callback") = py::none());
    }
    if (equals(action, "list")) {
        return listener_request(call)(record, "list");
    }
    if (equals(action, "status")) {
        return listener_request(call)(record, "status", py::arg("subscription_id") = args.attr(qyb::name<"subscription_id">()));
    }
    if (equals(action, "pull")) {
        bool one = truthy(args.attr(qyb::name<"subscription_id">()));
        bool all = truthy(args.attr(qyb::name<"all">()));
        if (one == all) {
            raise_route_error(call, "invalid_request",
                              py::str("listen pull requires a subscription ID or --all"), 400);
        }
        if (all) {
            return pull_all(call, record, args);
        }
        return listener_request(call)(record, "pull", py::arg("subscription_id") = args.attr(qyb::name<"subscription_id">()),
                                      py::arg("limit") = args.attr(qyb::name<"limit">()),
                                      py::arg("lease_seconds") = args.attr(qyb::name<"lease_seconds">()));
    }
    if (equals(action, "ack")) {
        return listener_request(call)(record, "ack", py::arg("subscription_id") = args.attr(qyb::name<"subscription_id">()),
                                      py::arg("event_ids") = args.attr(qyb::name<"event_ids">()));
    }
    if (equals(action, "stop")) {
        return listener_request(call)(record, "stop", py::arg("subscription_id") = args.attr(qyb::name<"subscription_id">()),
                                      py::arg("all") = args.attr(qyb::name<"all">()));
    }
    raise_route_error(call, "command_not_allowed", py::str("listener command is not available remotely"), 403);
}

}  // namespace

py::object listener_command(const qyb::Call& call) {
    py::handle record = call[1];
    py::handle argv = call[2];
    // Outside the guarded section: a parser that cannot be imported is the caller's failure.
    py::object build_parser = import_build_parser(call);
    py::object result;
    try {
        result = perform(call, build_parser, record, argv);
    } catch (py::error_already_set& e) {
        if (is_route_error(call, e)) {
            throw;
        }
        // The parser's usage exit, whatever its code, is the client's bad arguments.
        if (e.matches(PyExc_SystemExit)) {
            raise_route_error(call, "invalid_request", py::str("invalid listener arguments"), 400,
                              "not_started", &e);
        }
        if (e.matches(PyExc_Exception)) {
            raise_route_error(call, "listener_failed", py::str(e.value()), 503, "unknown", &e);
        }
        throw;
    }
    py::dict worker;
    worker["instance_id"] = qyb::item(record, qyb::name<"instance_id">());
    worker["nickname"] = qyb::item(record, qyb::name<"nickname">());
    py::dict command;
    command["exit_code"] = py::int_(0);
    command["result"] = result;
    command["stderr"] = py::str("");
    py::dict answer;
    answer["worker"] = worker;
    answer["command"] = command;
    return answer;
}

}  // namespace remote
