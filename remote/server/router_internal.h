// Declarations shared by the router and its listener actions.
#pragma once

#include "qyb/toolkit.h"

namespace remote {

namespace py = pybind11;

// Raises the module's RemoteRouteError(code, message, status, outcome); with a cause, as
// `raise ... from cause` inside the `except` that caught it.
[[noreturn]] void raise_route_error(const qyb::Call& call, const char* code, py::handle message,
                                    int status, const char* outcome = "not_started",
                                    const py::error_already_set* cause = nullptr);

// True when the caught error is the module's RemoteRouteError, as the module binds it now.
bool is_route_error(const qyb::Call& call, const py::error_already_set& e);

// RemoteRouter._listener_command(self, record, argv).
qyb::FunctionDef listener_command_def();

}  // namespace remote
