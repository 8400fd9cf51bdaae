// Not built yet.
#include "parts.h"

namespace remote {

void define_records(qyb::Part&) {}

}  // namespace remote
