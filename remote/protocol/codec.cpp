// Not built yet.
#include "parts.h"

namespace remote {

void define_codec(qyb::Part&) {}
void define_json_value(qyb::Part&) {}

}  // namespace remote
