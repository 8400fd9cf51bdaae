// What the gateway's server takes from its request handler.
#pragma once

#include "qyb/toolkit.h"

namespace remote {

// Registers, once per process, the exit hook that lets requests in progress finish before the
// interpreter tears down (the first server made calls it).
void register_exit_hook(const qyb::Call& call);

}  // namespace remote
