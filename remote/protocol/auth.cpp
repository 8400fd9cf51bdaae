// Not built yet.
#include "parts.h"

namespace remote {

void define_auth(qyb::Part&) {}

}  // namespace remote
