// A round of a loop that polls outside services: what the interpreter does between bytecodes.
#pragma once

#include "qyb/errors.h"

namespace qyb {

// Runs the signal handlers that are due (throwing what one raises, KeyboardInterrupt for
// Ctrl-C) and lets the threads that wait for the GIL run. A C++ loop that calls only native
// services (on Windows FindWindow and UI Automation end in C) never passes through the
// interpreter's own checks, so each round of such a loop calls this once.
void poll_round();

}  // namespace qyb
