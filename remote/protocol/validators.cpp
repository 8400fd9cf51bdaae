// Not built yet.
#include "parts.h"

namespace remote {

void define_validators(qyb::Part&) {}

}  // namespace remote
