// Not built yet.
#include "parts.h"

namespace remote {

void define_remote_error(qyb::Part&) {}

}  // namespace remote
