// The interpreter's C API, reached through pybind11. Every source opens with this header.
// Under MSVC's Debug configuration CPython's pyconfig.h turns _DEBUG into Py_DEBUG and asks the
// linker for python311_d.lib; pybind11 hides _DEBUG while it includes <Python.h>, so a Debug
// build still runs on the release interpreter, as long as nothing includes <Python.h> first.
#pragma once

#include <pybind11/pybind11.h>

#include <Python.h>
