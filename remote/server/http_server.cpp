// Not built yet.
#include "parts.h"

namespace remote {

void define_http_server(qyb::Part&) {}

}  // namespace remote
