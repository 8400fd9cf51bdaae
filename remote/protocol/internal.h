// Helpers shared by the protocol files: the validators' cores and the calls that reach them, the
// plain-JSON check, and the frozen-record step.
#pragma once

#include "qyb/python.h"

#include <initializer_list>
#include <source_location>

#include "qyb/toolkit.h"

namespace remote::protocol {

namespace py = pybind11;

using qyb::arg;
using qyb::fetch_exception;
using qyb::int_constant;
using qyb::kwonly;
using qyb::name;
using qyb::steal;

// `cls(**mapping)`: a mapping that is not an exact dict is first copied into one, as `**` copies it.
inline py::object call_with_keywords(py::handle cls, py::handle mapping) {
    return qyb::invoke(cls, qyb::keywords(mapping));
}

// A dict of a JSON object's (key, value) pairs, in order; a repeated key raises ValueError with
// `duplicate` (a PyUnicode_FromFormat text with one %U) formatted with the key.
// Raw PyObject*: the decoder's hook, a hot core that reads the decoder's list of pairs directly.
py::object unique_object(PyObject* pairs, const char* duplicate);

// `n > limit` for a length and any limit object, as the interpreter compares them.
bool length_above(Py_ssize_t n, py::handle limit);

// ValueError "invalid " + format(label, "") + suffix.
[[noreturn]] void refuse_field(py::handle label, const char* suffix = "");

// The bodies of the module functions that other bodies call. A body names one as a Python body
// would, `call.shortcut<"_string">(string_body)(value, label, limit)`: the original's body runs
// in place, with the original's current defaults, while the module's name still refers to it.
py::object object_body(const qyb::Call& call);
py::object string_body(const qyb::Call& call);
py::object request_id_body(const qyb::Call& call);
py::object identifier_body(const qyb::Call& call);
py::object json_value_body(const qyb::Call& call);

// `_string`'s core, for a caller that builds the label only for a refusal; and the keyword of
// `_string(..., allow_empty=True)`, for Shortcut::keywords.
bool string_passes(py::handle value, py::handle limit, py::handle allow_empty);
PyObject* allow_empty_keyword();

// `@dataclass(frozen=True)` over the class the builder makes, bound under its name: one step,
// "class <name>", at `where`.
void bind_frozen_dataclass(qyb::Part& p, qyb::ClassBuilder& c,
                           std::source_location where = std::source_location::current());

// A frozenset of the given names, made once by the caller and kept for the process.
PyObject* frozen_set_of(std::initializer_list<py::handle> items);

}  // namespace remote::protocol
