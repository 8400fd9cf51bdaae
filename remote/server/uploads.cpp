// Not built yet.
#include "parts.h"

namespace remote {

void define_uploads(qyb::Part&) {}

}  // namespace remote
