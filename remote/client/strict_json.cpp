// The client's strict reader of gateway answers: strict UTF-8, json with two hooks that refuse
// repeated keys and the non-finite literals, every fault reported as "invalid_response".
#include "qyb/python.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "client_internal.h"
#include "parts.h"
#include "protocol/internal.h"

namespace remote {
namespace {

namespace py = pybind11;
using qyb::arg;
using qyb::name;

// The reading is a measured hot core: the scan, the size check and the two hooks work on raw
// PyObject* and code units, with no object wrapper in their loops.

// Deeper documents are refused before json sees them: its scanner recurses once per level, and a
// high recursion limit would let a hostile answer exhaust the C stack. The gateway's own answers
// nest at most 32 levels.
constexpr std::size_t kMaxNesting = 512;

// One pass over a JSON text (UTF-8 bytes or a str's code units), strings skipped: false when
// the brackets nest deeper than kMaxNesting, else the member count of each object in the order of
// its opening brace (every member has one ":" at its object's level). Counts of a text that is not
// JSON are meaningless; json refuses such a text before they are used.
// The characters that scan_structure acts on; every other one is skipped in a tight loop.
constexpr std::array<bool, 128> kStructural = [] {
    std::array<bool, 128> table{};
    for (unsigned char c : {'"', '{', '}', '[', ']', ':'}) {
        table[c] = true;
    }
    return table;
}();

template <class Char>
bool structural(Char c) {
    return static_cast<std::uint32_t>(c) < 128 && kStructural[static_cast<std::uint32_t>(c)];
}

template <class Char>
const Char* find_quote(const Char* p, const Char* end) {
    if constexpr (sizeof(Char) == 1) {
        return static_cast<const Char*>(std::memchr(p, '"', end - p));
    } else {
        const Char* quote = std::find(p, end, static_cast<Char>('"'));
        return quote == end ? nullptr : quote;
    }
}

template <class Char>
bool scan_structure(const Char* text, Py_ssize_t size, std::vector<Py_ssize_t>& members) {
    std::vector<Py_ssize_t> open;  // per level: the object's index in `members`, or -1 for an array
    const Char* p = text;
    const Char* const end = text + size;
    for (;;) {
        while (p < end && !structural(*p)) {
            ++p;
        }
        if (p == end) {
            return true;
        }
        switch (static_cast<std::uint32_t>(*p++)) {
            case '"':
                // To the closing quote: the first one not preceded by an odd run of backslashes.
                for (;;) {
                    const Char* quote = find_quote(p, end);
                    if (quote == nullptr) {
                        return true;
                    }
                    const Char* q = quote;
                    while (q > p && q[-1] == '\\') {
                        --q;
                    }
                    p = quote + 1;
                    if ((quote - q) % 2 == 0) {
                        break;
                    }
                }
                break;
            case '{':
                if (open.size() == kMaxNesting) {
                    return false;
                }
                open.push_back(static_cast<Py_ssize_t>(members.size()));
                members.push_back(0);
                break;
            case '[':
                if (open.size() == kMaxNesting) {
                    return false;
                }
                open.push_back(-1);
                break;
            case ':':
                if (!open.empty() && open.back() >= 0) {
                    ++members[open.back()];
                }
                break;
            default:  // '}' or ']'
                if (!open.empty()) {
                    open.pop_back();
                }
                break;
        }
    }
}

// The same pass over a decoded text, in its own code-unit width.
bool scan_text(PyObject* text, std::vector<Py_ssize_t>& members) {
    qyb::check(PyUnicode_READY(text));
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t size = PyUnicode_GET_LENGTH(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            return scan_structure(static_cast<const Py_UCS1*>(data), size, members);
        case PyUnicode_2BYTE_KIND:
            return scan_structure(static_cast<const Py_UCS2*>(data), size, members);
        default:
            return scan_structure(static_cast<const Py_UCS4*>(data), size, members);
    }
}

// Whether every dict of a value json decoded holds as many keys as its object had members, in
// the order json made them. A repeated key leaves its dict smaller; the dicts before it in that
// order are untouched, so the first shortfall is met at or before it.
bool members_kept(PyObject* value, const std::vector<Py_ssize_t>& members, std::size_t& next);

// Containers only: the scalars between them need no call.
inline bool item_kept(PyObject* item, const std::vector<Py_ssize_t>& members, std::size_t& next) {
    return !(PyDict_CheckExact(item) || PyList_CheckExact(item)) || members_kept(item, members, next);
}

bool members_kept(PyObject* value, const std::vector<Py_ssize_t>& members, std::size_t& next) {
    if (PyDict_CheckExact(value)) {
        if (next == members.size() || PyDict_GET_SIZE(value) != members[next++]) {
            return false;
        }
        Py_ssize_t pos = 0;
        PyObject *key, *item;
        while (PyDict_Next(value, &pos, &key, &item)) {
            if (!item_kept(item, members, next)) {
                return false;
            }
        }
    } else if (PyList_CheckExact(value)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
            if (!item_kept(PyList_GET_ITEM(value, i), members, next)) {
                return false;
            }
        }
    }
    return true;
}

// The object hook: one JSON object's members, in order, as a dict.
PyObject* pairs(PyObject*, PyObject* values) {
    try {
        return protocol::unique_object(values, "duplicate JSON field: %U").release().ptr();
    } catch (std::exception&) {
        qyb::restore_current_exception();
        return nullptr;
    }
}

// The constant hook: NaN, Infinity and -Infinity are not JSON. The message is made before the
// error is set: PyErr_Format would replace a failure to make it with an empty ValueError, which
// the reader reports as a fault of the answer.
PyObject* reject_constant(PyObject*, PyObject* value) {
    PyObject* message = PyUnicode_FromFormat("invalid JSON number: %S", value);
    if (message != nullptr) {
        PyErr_SetObject(PyExc_ValueError, message);
        Py_DECREF(message);
    }
    return nullptr;
}

PyMethodDef pairs_def = {"pairs", pairs, METH_O, nullptr};
PyMethodDef reject_constant_def = {"reject_constant", reject_constant, METH_O, nullptr};

// json with both hooks, as the reference reading: the first problem met in the document is the
// one reported.
py::object loads_with_hooks(const qyb::Call& call, py::handle text) {
    py::object hook = qyb::steal(PyCFunction_New(&pairs_def, nullptr));
    py::object constant = qyb::steal(PyCFunction_New(&reject_constant_def, nullptr));
    return qyb::call_method(call.global<"json">(), name<"loads">(), text, qyb::kw<"object_pairs_hook">(hook),
                            qyb::kw<"parse_constant">(constant));
}

// json builds its dicts fastest without an object hook. So a text whose structure is known is
// decoded that way and its dicts' sizes are checked against the member counts; only a text that
// fails or lost a repeated key is decoded again with both hooks, which then name the fault.
py::object decode(const qyb::Call& call, py::handle data) {
    py::object text;
    std::vector<Py_ssize_t> members;
    bool shallow;
    if (PyBytes_CheckExact(data.ptr())) {
        const char* bytes = PyBytes_AS_STRING(data.ptr());
        const Py_ssize_t size = PyBytes_GET_SIZE(data.ptr());
        text = qyb::steal(PyUnicode_DecodeUTF8(bytes, size, "strict"));
        shallow = scan_structure(bytes, size, members);
    } else {
        // Any other buffer decodes through its own method, as the reference reading does; its
        // text is measured all the same before json recurses into it.
        text = qyb::call_method(data, name<"decode">(), name<"utf-8">());
        if (!PyUnicode_Check(text.ptr())) {
            return loads_with_hooks(call, text);
        }
        shallow = scan_text(text.ptr(), members);
    }
    if (!shallow) {
        qyb::raise(PyExc_ValueError, "JSON nesting is too deep");
    }
    py::object constant = qyb::steal(PyCFunction_New(&reject_constant_def, nullptr));
    py::object fast;
    try {
        fast = qyb::call_method(call.global<"json">(), name<"loads">(), text, qyb::kw<"parse_constant">(constant));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_RecursionError)) {
            throw;
        }
    }
    if (fast) {
        std::size_t next = 0;
        if (members_kept(fast.ptr(), members, next) && next == members.size()) {
            return fast;
        }
    }
    return loads_with_hooks(call, text);
}

py::object strict_json(const qyb::Call& call) {
    auto [data] = call.args<1>();
    try {
        return decode(call, data);
    } catch (py::error_already_set& e) {
        // Decoding and syntax faults and both hooks' refusals are value errors; a nesting that
        // still outruns a low recursion limit is a fault of the answer too.
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_RecursionError)) {
            throw;
        }
        qyb::Except handling(e);
        py::object message = qyb::steal(PyUnicode_FromFormat("remote returned invalid JSON: %S", e.value().ptr()));
        qyb::raise_from(client::client_error(call, "invalid_response", message, qyb::kw<"outcome">(name<"unknown">())),
                        e.value());
    }
}

qyb::FunctionDef strict_json_def() {
    return {.name = "_strict_json", .params = {arg("data", "bytes")}, .returns = "Any", .body = strict_json};
}

}  // namespace

void define_strict_json(qyb::Part& p) { p.def(strict_json_def()); }

}  // namespace remote
