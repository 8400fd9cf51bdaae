// A round of a polling loop: due signal handlers, then a switch to the threads waiting for the GIL.
#include "qyb/python.h"

#include "qyb/polling.h"

namespace qyb {

void poll_round() {
    if (PyErr_CheckSignals() < 0) {
        throw_error();
    }
    // Dropping the GIL hands it to a thread that has asked for it (after the switch interval),
    // as the evaluation loop does; nothing to wait for when no thread has.
    PyThreadState* state = PyEval_SaveThread();
    PyEval_RestoreThread(state);
}

}  // namespace qyb
