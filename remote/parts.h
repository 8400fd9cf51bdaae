// The definitions that the module's parts bind, one function per concept file, in the order
// the initialisation runs them.
#pragma once

#include "qyb/toolkit.h"

namespace remote {

// Whether the module follows Windows' rules now: its `os`, as bound at this call, is "nt". Read
// at each call, so that both branches are driven anywhere by rebinding what the module sees.
bool on_windows(const qyb::Call& call);

// protocol/
void define_remote_error(qyb::Part& p);        // RemoteError
void define_records(qyb::Part& p);             // ClientIdentity, CommandRequest, CommandResponse
void define_codec(qyb::Part& p);               // loads_strict, dumps_wire, _unique_object
void define_validators(qyb::Part& p);          // _object, _string, _request_id, _identifier
void define_json_value(qyb::Part& p);          // _json_value
void define_auth(qyb::Part& p);                // RemotePrincipal, TokenAuthorizer
void define_capability_record(qyb::Part& p);   // RemoteCapability
void define_capabilities(qyb::Part& p);        // REMOTE_COMMANDS .. remote_capability

// client/
void define_config_error(qyb::Part& p);        // ConfigError
void define_token_store(qyb::Part& p);         // TokenStore, DPAPITokenStore
void define_connection_records(qyb::Part& p);  // RemoteConnection, ResolvedRemote
void define_remote_config(qyb::Part& p);       // RemoteConfig
void define_atomic_json(qyb::Part& p);         // _remote_config___atomic_json
void define_client_errors(qyb::Part& p);       // RemoteClientError, CommandResult
void define_base_url(qyb::Part& p);            // _is_loopback, validate_base_url
void define_strict_json(qyb::Part& p);         // _strict_json
void define_remote_client(qyb::Part& p);       // RemoteClient

// server/
void define_uploads(qyb::Part& p);             // RemoteResourceError, UploadedFile, UploadStore
void define_router(qyb::Part& p);              // RemoteRouteError .. _replace_file_argument
void define_http_server(qyb::Part& p);         // _HeadReader .. serve, calling the two below
void define_head_reader(qyb::Part& p);         // _HeadReader (request_handler.cpp)
void define_request_handler(qyb::Part& p);     // GatewayRequestHandler (request_handler.cpp)

namespace runtime {
void define_state(qyb::Part& p);               // RemoteRuntimeError .. _read_json
void define_token(qyb::Part& p);               // has_server_token .. load_authorizer
void define_registry(qyb::Part& p);            // _read_registry .. _public
void define_start(qyb::Part& p);               // start_gateway
void define_management(qyb::Part& p);          // status_gateway .. stop_gateway
void define_child(qyb::Part& p);               // _remote_gateway_child_main
}  // namespace runtime

}  // namespace remote
