// The module's entry and initialisation: module attributes, then its nine parts in order.
#include "qyb/python.h"

#include <array>
#include <cstring>
#include <string>

#include "parts.h"

#ifndef QYB_MSVCRT_MODULE
#error "the build chooses the byte-range locking module (QYB_MSVCRT_MODULE)"
#endif

namespace remote {

bool on_windows(const qyb::Call& call) {
    return qyb::equals(qyb::get(call.global<"os">(), qyb::name<"name">()), qyb::name<"nt">());
}

namespace {

namespace py = pybind11;

void protocol_part(qyb::Part& p) {
    p.import("json");
    p.import("math");
    p.import("uuid");
    p.import_from("dataclasses", {"dataclass"});
    p.import_from("typing", {"Any", "Mapping"});
    p.bind("_remote_protocol__PROTOCOL_VERSION", py::int_(1));
    p.bind("MAX_JSON_BYTES", py::int_(262144));
    p.bind("MAX_ARGV", py::int_(256));
    p.bind("MAX_ARGUMENT_CHARS", py::int_(16384));
    p.bind("MAX_STDERR_CHARS", py::int_(65536));
    define_remote_error(p);
    define_records(p);
    define_codec(p);
    define_validators(p);
    define_json_value(p);
}

void authentication_part(qyb::Part& p) {
    p.import("hashlib");
    p.import("hmac");
    p.import_from("dataclasses", {"dataclass"});
    p.import_from("typing", {"Mapping"});
    define_auth(p);
}

void capabilities_part(qyb::Part& p) {
    p.import_from("dataclasses", {"dataclass"});
    p.import_from("typing", {"Sequence"});
    define_capability_record(p);
    p.bind("_READ", py::str("read"));
    p.bind("_MUTATION", py::str("mutation"));
    define_capabilities(p);
}

void settings_part(qyb::Part& p) {
    for (const char* m : {"base64", "json", "os", "re", "tempfile", "uuid"}) {
        p.import(m);
    }
    p.import_from("dataclasses", {"asdict", "dataclass"});
    p.import_from("pathlib", {"Path"});
    p.import_from("typing", {"Mapping", "Protocol"});
    p.bind("_remote_config__SCHEMA_VERSION", py::int_(1));
    p.bind("MAX_CONFIG_BYTES", py::int_(65536));
    py::str alias("^[A-Za-z0-9][A-Za-z0-9._-]{0,63}$");
    p.bind("_ALIAS", qyb::call_method(p.get("re"), qyb::name<"compile">(), alias));
    define_config_error(p);
    define_token_store(p);
    define_connection_records(p);
    define_remote_config(p);
    define_atomic_json(p);
}

void client_part(qyb::Part& p) {
    for (const char* m : {"ipaddress", "hashlib", "json", "ssl", "urllib.error", "urllib.parse",
                          "urllib.request"}) {
        p.import(m);
    }
    p.import_from("dataclasses", {"dataclass"});
    p.import_from("typing", {"Any", "Callable", "Mapping", "Sequence"});
    p.import_from("pathlib", {"Path"});
    p.bind("_remote_client__PROTOCOL_VERSION", py::int_(1));
    p.bind("MAX_RESPONSE_BYTES", py::int_(1048576));
    define_client_errors(p);
    define_base_url(p);
    define_strict_json(p);
    define_remote_client(p);
}

void uploads_part(qyb::Part& p) {
    for (const char* m : {"hashlib", "os", "tempfile", "threading", "time", "uuid"}) {
        p.import(m);
    }
    p.import_from("dataclasses", {"dataclass"});
    p.import_from("pathlib", {"Path"});
    p.import_from("typing", {"BinaryIO"});
    p.bind("MAX_UPLOAD_BYTES", py::int_(104857600));
    p.bind("UPLOAD_TTL_SECONDS", py::int_(3600));
    p.bind("MAX_UPLOADS", py::int_(128));
    define_uploads(p);
}

void router_part(qyb::Part& p) {
    p.import_from("dataclasses", {"dataclass"});
    p.import_from("typing", {"Callable"});
    p.import_from("", {"worker"}, 1);
    define_router(p);
}

void http_server_part(qyb::Part& p) {
    p.import("time");
    p.import("urllib.parse");
    p.import_from("http.server", {"BaseHTTPRequestHandler", "ThreadingHTTPServer"});
    define_http_server(p);
}

void runtime_part(qyb::Part& p) {
    p.import("hashlib");
    p.import("json");
    p.import("math");
    p.import_as(QYB_MSVCRT_MODULE, "msvcrt");
    for (const char* m : {"os", "secrets", "subprocess", "sys", "time", "urllib.request", "uuid"}) {
        p.import(m);
    }
    p.import_from("contextlib", {"contextmanager"});
    p.import_from("pathlib", {"Path"});
    p.import("psutil");
    p.bind("_remote_runtime__SCHEMA_VERSION", py::int_(1));
    p.bind("MAX_RUNTIME_BYTES", py::int_(65536));
    runtime::define_state(p);
    runtime::define_token(p);
    runtime::define_registry(p);
    runtime::define_start(p);
    runtime::define_management(p);
    runtime::define_child(p);
}

constexpr std::array<qyb::PartDef, 9> kParts = {{
    {"protocol", protocol_part},
    {"authentication", authentication_part},
    {"command capabilities", capabilities_part},
    {"settings", settings_part},
    {"client", client_part},
    {"upload store", uploads_part},
    {"router", router_part},
    {"HTTP server", http_server_part},
    {"runtime", runtime_part},
}};

// Code-point order, capitals first.
constexpr std::array<const char*, 54> kPublicNames = {
    "ClientIdentity", "CommandRequest", "CommandResponse", "CommandResult", "ConfigError",
    "DPAPITokenStore", "GatewayHTTPServer", "GatewayRequestHandler", "MAX_ARGUMENT_CHARS",
    "MAX_ARGV", "MAX_CONFIG_BYTES", "MAX_JSON_BYTES", "MAX_RESPONSE_BYTES", "MAX_RUNTIME_BYTES",
    "MAX_STDERR_CHARS", "MAX_UPLOADS", "MAX_UPLOAD_BYTES", "REMOTE_COMMANDS", "RemoteCapability",
    "RemoteClient", "RemoteClientError", "RemoteCommandError", "RemoteConfig", "RemoteConnection",
    "RemoteError", "RemotePrincipal", "RemoteResourceError", "RemoteRouteError", "RemoteRouter",
    "RemoteRuntimeError", "ResolvedRemote", "TokenAuthorizer", "TokenStore", "UPLOAD_TTL_SECONDS",
    "UploadStore", "UploadedFile", "add_managed_worker", "command_path", "create_server",
    "dumps_wire", "generate_token", "has_server_token", "load_authorizer", "loads_strict",
    "registered_gateway", "remote_capability", "revoke_server_token", "serve", "set_server_token",
    "start_gateway", "status_gateway", "stop_gateway", "validate_base_url",
    "validate_remote_command",
};

int set_module_attributes(PyObject* module) noexcept {
    try {
        std::string name = py::str(qyb::get(module, qyb::name<"__name__">()));
        if (auto dot = name.rfind('.'); dot != std::string::npos) {
            qyb::set(module, qyb::name<"__package__">(), py::str(name.substr(0, dot)));
        }
        qyb::set(module, qyb::name<"__doc__">(),
                 py::str("Remote Gateway of qybridge4: wire protocol, gateway, client and runtime."));
        qyb::set(module, qyb::name<"__annotations__">(), py::dict());
        qyb::set(module, qyb::name<"annotations">(),
                 qyb::get(py::module_::import("__future__"), qyb::name<"annotations">()));
        return 0;
    } catch (std::exception&) {
        qyb::restore_current_exception();
        return -1;
    }
}

int set_all(PyObject* module) noexcept {
    try {
        py::list all;
        for (const char* n : kPublicNames) {
            all.append(py::str(n));
        }
        qyb::set(module, qyb::name<"__all__">(), all);
        return 0;
    } catch (std::exception&) {
        qyb::restore_current_exception();
        return -1;
    }
}

int exec_remote(PyObject* module) {
    if (qyb::prepare_bindings() < 0 || set_module_attributes(module) < 0 ||
        qyb::run_parts(module, kParts) < 0) {
        return -1;
    }
    return set_all(module);
}

PyModuleDef_Slot remote_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_remote)},
    {0, nullptr},
};

PyModuleDef remote_def = {
    PyModuleDef_HEAD_INIT, "remote", nullptr, 0, nullptr, remote_slots, nullptr, nullptr, nullptr,
};

std::string package_context_name;

}  // namespace
}  // namespace remote

PyMODINIT_FUNC PyInit_remote() {
    const char* context = _Py_PackageContext;
    if (context != nullptr && std::strcmp(context, remote::remote_def.m_name) != 0) {
        remote::package_context_name = context;
        remote::remote_def.m_name = remote::package_context_name.c_str();
    }
    return PyModuleDef_Init(&remote::remote_def);
}
