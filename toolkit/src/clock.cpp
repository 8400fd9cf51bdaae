// The module's clock, read as a Python body reads it.
#include "qyb/python.h"

#include "qyb/function.h"
#include "qyb/names.h"
#include "qyb/objects.h"

namespace qyb {

py::object Call::monotonic() const { return call_method(global<"time">(), name<"monotonic">()); }

}  // namespace qyb
