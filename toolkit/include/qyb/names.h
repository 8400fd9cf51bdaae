// Interned Python names, made once per process and looked up by pointer on hot paths.
#pragma once

#include "qyb/python.h"

#include <algorithm>
#include <cstddef>

#include <pybind11/pybind11.h>

#include "qyb/errors.h"

namespace qyb {

namespace py = pybind11;

// A string literal usable as a template argument: name<"MAX_ARGV">().
template <std::size_t N>
struct fixed_string {
    char value[N];
    constexpr fixed_string(const char (&text)[N]) { std::copy_n(text, N, value); }
};

// The interned str for S. The object lives for the whole process, so the handle is
// borrowed; it is made on first use, under the GIL.
template <fixed_string S>
py::handle name() {
    static PyObject* interned = nullptr;
    if (interned == nullptr) {
        interned = PyUnicode_InternFromString(S.value);
        if (interned == nullptr) {
            throw_error();
        }
    }
    return interned;
}

}  // namespace qyb
