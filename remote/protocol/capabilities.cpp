// Not built yet.
#include "parts.h"

namespace remote {

void define_capability_record(qyb::Part&) {}
void define_capabilities(qyb::Part&) {}

}  // namespace remote
