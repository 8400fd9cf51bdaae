// Not built yet.
#include "parts.h"

namespace remote {

void define_router(qyb::Part&) {}

}  // namespace remote
