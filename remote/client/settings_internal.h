// What the settings files share: ConfigError raising, keyword calls of the record classes, the
// limited reading of a settings or secrets file, RemoteConfig's file hooks, and the replace of a
// written file that the runtime's state files go through too.
#pragma once

#include "qyb/python.h"

#include "qyb/toolkit.h"

namespace remote::settings {

namespace py = pybind11;

// raise ConfigError(message)
[[noreturn]] inline void config_error(const qyb::Call& call, py::handle message) {
    qyb::raise(call.global<"ConfigError">().ptr(), message);
}
[[noreturn]] inline void config_error(const qyb::Call& call, const char* message) {
    config_error(call, py::str(message));
}
// raise ConfigError(message) from cause
[[noreturn]] inline void config_error_from(const qyb::Call& call, py::handle message, py::handle cause) {
    qyb::raise_from(call.global<"ConfigError">().ptr(), message, cause);
}

// prefix + format(value), as an f-string builds it.
py::object with_text(const char* prefix, py::handle value);

// `cls(**named, **more)` for a dict `named` and any mapping `more`, with the interpreter's own
// refusals of the merge (a key given twice, an object that is no mapping) and then the class's.
py::object keyword_call(py::handle cls, py::handle named, py::handle more);

// `cls(alias=alias, **record)`, the same refusals as keyword_call.
py::object with_alias_call(py::handle cls, py::handle alias, py::handle record);

// A client name that the settings accept: text of 1 to 128 code points.
bool is_client_name(py::handle value);

// The size in bytes of the file at `path`, or None when there is none.
py::object file_size(const qyb::Call& call, py::handle path);
// The file's bytes; reading stops one byte past `limit` (an int) so the decoder can refuse it.
py::object read_file(const qyb::Call& call, py::handle path, py::handle limit);

// `os.replace(source, target)` through the module's `os`. On Windows a PermissionError, the
// target held open by another process for a moment, is retried for about a second; the last
// one is raised. Elsewhere every failure is raised at once.
void replace_file(const qyb::Call& call, py::handle source, py::handle target);

// RemoteConfig._load and _record.
qyb::FunctionDef config_load_def();
qyb::FunctionDef config_record_def();
// `def <method>(self, <value>): _remote_config___atomic_json(self.path, <value>)`: RemoteConfig._save
// and DPAPITokenStore._write.
qyb::FunctionDef save_json_def(const char* method, const char* value);

}  // namespace remote::settings
