// The client's strict reader of gateway answers: strict UTF-8, json with two hooks that refuse
// repeated keys and the non-finite literals, every fault reported as "invalid_response".
#include "client_internal.h"
#include "parts.h"

namespace remote {
namespace {

namespace py = pybind11;
using qyb::arg;
using qyb::name;

// Deeper documents are refused before json sees them: its scanner recurses once per level, and a
// high recursion limit would let a hostile answer exhaust the C stack. The gateway's own answers
// nest at most 32 levels.
constexpr int kMaxNesting = 512;

// Whether the brackets of a UTF-8 JSON text nest at most kMaxNesting deep, strings skipped. A
// text that is not JSON may be counted wrongly; json reports it then.
bool nesting_within_limit(const char* text, Py_ssize_t size) {
    int depth = 0;
    bool in_string = false;
    for (Py_ssize_t i = 0; i < size; ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxNesting) {
                return false;
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

void add_member(PyObject* result, PyObject* key, PyObject* value) {
    const Py_ssize_t before = PyDict_GET_SIZE(result);
    if (PyDict_SetDefault(result, key, value) == nullptr) {
        throw py::error_already_set();
    }
    if (PyDict_GET_SIZE(result) == before) {
        py::object text = qyb::steal(PyObject_Format(key, nullptr));
        qyb::raise(PyExc_ValueError, qyb::steal(PyUnicode_FromFormat("duplicate JSON field: %U", text.ptr())));
    }
}

// The object hook: one JSON object's members, in order, as a dict.
PyObject* pairs(PyObject*, PyObject* values) {
    try {
        py::object result = qyb::steal(PyDict_New());
        if (PyList_CheckExact(values)) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values); ++i) {
                py::object item = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(values, i));
                auto [key, value] = qyb::unpack_pair(item);
                add_member(result.ptr(), key.ptr(), value.ptr());
            }
        } else {
            for (py::handle item : py::reinterpret_borrow<py::iterable>(values)) {
                auto [key, value] = qyb::unpack_pair(item);
                add_member(result.ptr(), key.ptr(), value.ptr());
            }
        }
        return result.release().ptr();
    } catch (std::exception&) {
        qyb::restore_current_exception();
        return nullptr;
    }
}

// The constant hook: NaN, Infinity and -Infinity are not JSON.
PyObject* reject_constant(PyObject*, PyObject* value) {
    PyObject* text = PyObject_Format(value, nullptr);
    if (text != nullptr) {
        PyErr_Format(PyExc_ValueError, "invalid JSON number: %U", text);
        Py_DECREF(text);
    }
    return nullptr;
}

PyMethodDef pairs_def = {"pairs", pairs, METH_O, nullptr};
PyMethodDef reject_constant_def = {"reject_constant", reject_constant, METH_O, nullptr};

[[noreturn]] void invalid_json(const qyb::Call& call, py::handle cause) {
    py::object message = qyb::steal(PyUnicode_FromFormat("remote returned invalid JSON: %S", cause.ptr()));
    client::raise_from(client::client_error(call, "invalid_response", message,
                                            py::arg("outcome") = name<"unknown">()),
                       cause);
}

py::object strict_json(const qyb::Call& call) {
    py::handle data = call[0];
    try {
        py::object text;
        if (PyBytes_CheckExact(data.ptr())) {
            const char* bytes = PyBytes_AS_STRING(data.ptr());
            const Py_ssize_t size = PyBytes_GET_SIZE(data.ptr());
            text = qyb::steal(PyUnicode_DecodeUTF8(bytes, size, "strict"));
            if (!nesting_within_limit(bytes, size)) {
                qyb::raise(PyExc_ValueError, "JSON nesting is too deep");
            }
        } else {
            text = data.attr(name<"decode">())(name<"utf-8">());
        }
        py::object hook = qyb::steal(PyCFunction_New(&pairs_def, nullptr));
        py::object constant = qyb::steal(PyCFunction_New(&reject_constant_def, nullptr));
        return call.global<"json">().attr(name<"loads">())(text, py::arg("object_pairs_hook") = hook,
                                                            py::arg("parse_constant") = constant);
    } catch (py::error_already_set& e) {
        // Decoding and syntax faults and both hooks' refusals are value errors; a nesting that
        // still outruns a low recursion limit is a fault of the answer too.
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_RecursionError)) {
            throw;
        }
        invalid_json(call, e.value());
    }
}

}  // namespace

void define_strict_json(qyb::Part& p) {
    p.def({.name = "_strict_json", .params = {arg("data", "bytes")}, .returns = "Any", .body = strict_json});
}

}  // namespace remote
