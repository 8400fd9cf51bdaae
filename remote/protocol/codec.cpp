// Strict JSON reader and wire writer over the interpreter's json module, and the plain-JSON check.
#include "qyb/python.h"

#include <cmath>
#include <vector>

#include "internal.h"
#include "parts.h"

namespace remote {

namespace py = pybind11;

namespace protocol {

namespace {

// What the codec takes from `json` when it is defined, held by loads_strict and dumps_wire.
// `json.loads` with hooks builds a new JSONDecoder on every call; the reader instead keeps one
// decoder made with the same two hooks and runs its scanner as JSONDecoder.decode does. Sharing
// it is safe: the scanner reads its options only when it is made, and its key memo is emptied
// after every scan. The writer makes json's C encoder with the options JSONEncoder.iterencode
// would pass, with a fresh circular-reference table per call. Both shortcuts run only while the
// module's `json` is still that module and holds the same function and class that its own call
// would use (and, for the reader, `_unique_object` is still ours); otherwise the public
// functions of whatever is bound are called.
enum LoadsHeld : std::size_t {
    loads_json,           // the json module
    loads_function,       // json.loads
    loads_decoder_class,  // json.JSONDecoder, which json.loads with hooks makes
    loads_scan_once,      // the shared decoder's scanner
    loads_decode_error,   // json.decoder.JSONDecodeError
    loads_constant_hook,
};
enum DumpsHeld : std::size_t {
    dumps_json,
    dumps_function,       // json.dumps
    dumps_encoder_class,  // json.JSONEncoder, which json.dumps with options makes
    dumps_make_encoder,   // json.encoder.c_make_encoder, None without _json
    dumps_encoder_default,
    dumps_encode_string,
    dumps_key_separator,
    dumps_item_separator,
};
enum JsonValueHeld : std::size_t {
    json_value_isfinite,  // math.isfinite
};

[[noreturn]] void too_large() { qyb::raise(PyExc_ValueError, "JSON payload is too large"); }

// ---------------------------------------------------------------------------------------
// _unique_object

// Raw PyObject*: the decoder's hook, run for every JSON object read.
void add_unique(PyObject* result, PyObject* key, PyObject* value, const char* duplicate) {
    const Py_ssize_t before = PyDict_GET_SIZE(result);
    if (PyDict_SetDefault(result, key, value) == nullptr) {
        qyb::throw_error();
    }
    if (PyDict_GET_SIZE(result) == before) {
        py::object text = steal(PyObject_Format(key, nullptr));
        qyb::raise(PyExc_ValueError, steal(PyUnicode_FromFormat(duplicate, text.ptr())));
    }
}

}  // namespace

py::object unique_object(PyObject* pairs, const char* duplicate) {
    if (PyList_CheckExact(pairs)) {
        // The decoder hands over a list of 2-tuples; anything else takes the general road.
        py::object result = steal(PyDict_New());
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs); ++i) {
            py::object item = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(pairs, i));
            if (PyTuple_CheckExact(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 2) {
                add_unique(result.ptr(), PyTuple_GET_ITEM(item.ptr(), 0), PyTuple_GET_ITEM(item.ptr(), 1), duplicate);
            } else {
                auto [key, value] = qyb::unpack_pair(item);
                add_unique(result.ptr(), key.ptr(), value.ptr(), duplicate);
            }
        }
        return result;
    }
    py::object result = steal(PyDict_New());
    py::object it = steal(PyObject_GetIter(pairs));
    while (PyObject* next = PyIter_Next(it.ptr())) {
        py::object item = steal(next);
        auto [key, value] = qyb::unpack_pair(item);
        add_unique(result.ptr(), key.ptr(), value.ptr(), duplicate);
    }
    if (PyErr_Occurred()) {
        qyb::throw_error();
    }
    return result;
}

namespace {

constexpr const char* kDuplicateKey = "duplicate JSON key: %U";

py::object unique_object_body(const qyb::Call& call) {
    auto [pairs] = call.args<1>();
    return unique_object(pairs.ptr(), kDuplicateKey);
}

qyb::FunctionDef unique_object_def() {
    return {.name = "_unique_object", .params = {arg("pairs")}, .body = unique_object_body};
}

// The decoder's hooks as plain C functions of one argument, in the C API's own convention.
PyObject* pairs_hook(PyObject*, PyObject* pairs) {
    try {
        return unique_object(pairs, kDuplicateKey).release().ptr();
    } catch (std::exception&) {
        qyb::restore_current_exception();
        return nullptr;
    }
}

PyObject* constant_hook(PyObject*, PyObject* literal) {
    PyObject* text = PyObject_Format(literal, nullptr);
    if (text == nullptr) {
        return nullptr;
    }
    PyObject* message = PyUnicode_FromFormat("invalid number: %U", text);
    Py_DECREF(text);
    if (message != nullptr) {
        PyErr_SetObject(PyExc_ValueError, message);
        Py_DECREF(message);
    }
    return nullptr;
}

PyMethodDef pairs_hook_def = {"_unique_object", pairs_hook, METH_O, nullptr};
PyMethodDef constant_hook_def = {"_refuse_constant", constant_hook, METH_O, nullptr};

// ---------------------------------------------------------------------------------------
// loads_strict

// Bytes of the UTF-8 form of an exact str, without making it. An unpaired surrogate raises the
// encoder's own UnicodeEncodeError.
Py_ssize_t utf8_size(PyObject* text) {
    qyb::check(PyUnicode_READY(text));
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (PyUnicode_IS_ASCII(text)) {
        return n;
    }
    Py_ssize_t size = 0;
    const void* data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: {
            const Py_UCS1* s = static_cast<const Py_UCS1*>(data);
            for (Py_ssize_t i = 0; i < n; ++i) {
                size += s[i] < 0x80 ? 1 : 2;
            }
            return size;
        }
        case PyUnicode_2BYTE_KIND: {
            const Py_UCS2* s = static_cast<const Py_UCS2*>(data);
            bool surrogate = false;
            for (Py_ssize_t i = 0; i < n; ++i) {
                Py_UCS2 c = s[i];
                size += c < 0x80 ? 1 : c < 0x800 ? 2 : 3;
                surrogate |= (c >= 0xD800 && c <= 0xDFFF);
            }
            if (!surrogate) {
                return size;
            }
            break;
        }
        default: {
            const Py_UCS4* s = static_cast<const Py_UCS4*>(data);
            bool surrogate = false;
            for (Py_ssize_t i = 0; i < n; ++i) {
                Py_UCS4 c = s[i];
                size += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
                surrogate |= (c >= 0xD800 && c <= 0xDFFF);
            }
            if (!surrogate) {
                return size;
            }
            break;
        }
    }
    py::object encoded = steal(PyUnicode_AsUTF8String(text));
    return PyBytes_GET_SIZE(encoded.ptr());
}

// What json.decoder's WHITESPACE pattern matches from `i`.
Py_ssize_t skip_whitespace(int kind, const void* data, Py_ssize_t n, Py_ssize_t i) {
    while (i < n) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') {
            break;
        }
        ++i;
    }
    return i;
}

// Raises json's JSONDecodeError(msg, doc, pos), as raised `from` nothing over `context`: the
// chain is set by hand, as json's own `raise ... from None` leaves it.
[[noreturn]] void decode_error(const qyb::Call& call, const char* msg, PyObject* doc, py::handle pos,
                               PyObject* context = nullptr) {
    py::object error = qyb::invoke(call.held(loads_decode_error), py::str(msg), doc, pos);
    if (context != nullptr) {
        PyException_SetContext(error.ptr(), Py_NewRef(context));
        PyException_SetCause(error.ptr(), nullptr);
    }
    qyb::raise_object(error);
}

// JSONDecoder.decode(text) on the shared decoder, for an exact str. Raw PyObject*: the reader's
// measured core, which reads the text's storage and tests the scanner's raw result.
py::object decode_shared(const qyb::Call& call, PyObject* text) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    if (n > 0 && PyUnicode_READ(kind, data, 0) == 0xFEFF) {
        decode_error(call, "Unexpected UTF-8 BOM (decode using utf-8-sig)", text, int_constant<0>());
    }
    const Py_ssize_t start = skip_whitespace(kind, data, n, 0);
    py::object args = steal(Py_BuildValue("(On)", text, start));
    PyObject* scanned = PyObject_Call(call.held(loads_scan_once).ptr(), args.ptr(), nullptr);
    if (scanned == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_StopIteration)) {
            qyb::throw_error();
        }
        py::object stop = fetch_exception();
        decode_error(call, "Expecting value", text, qyb::get(stop, name<"value">()), stop.ptr());
    }
    py::object result = steal(scanned);
    auto [value, end_object] = qyb::unpack_pair(result);
    Py_ssize_t end = PyLong_AsSsize_t(end_object.ptr());
    if (end == -1 && PyErr_Occurred()) {
        qyb::throw_error();
    }
    end = skip_whitespace(kind, data, n, end);
    if (end != n) {
        decode_error(call, "Extra data", text, steal(PyLong_FromSsize_t(end)));
    }
    return value;
}

// True while `json` is the module the shortcuts were made from (held at `module`) and still
// holds the function and class that its own call would use (held right after it).
bool json_unchanged(const qyb::Call& call, PyObject* json, std::size_t module, PyObject* function_name,
                    PyObject* class_name) {
    if (json != call.held(module).ptr()) {
        return false;
    }
    py::object f = qyb::get(json, function_name);
    py::object c = qyb::get(json, class_name);
    return f.ptr() == call.held(module + 1).ptr() && c.ptr() == call.held(module + 2).ptr();
}

py::object loads_strict_body(const qyb::Call& call) {
    auto [payload, max_bytes] = call.args<2>();
    py::object text;
    Py_ssize_t size = -1;  // of the text's UTF-8 form, when already known
    if (PyBytes_Check(payload.ptr())) {
        const bool exact = PyBytes_CheckExact(payload.ptr());
        Py_ssize_t n = exact ? PyBytes_GET_SIZE(payload.ptr()) : PyObject_Length(payload.ptr());
        if (n < 0) {
            qyb::throw_error();
        }
        if (length_above(n, max_bytes)) {
            too_large();
        }
        // Raw result: a UnicodeDecodeError is tested before it is thrown.
        PyObject* decoded = exact ? PyUnicode_DecodeUTF8(PyBytes_AS_STRING(payload.ptr()), n, "strict")
                                  : PyObject_CallMethodOneArg(payload.ptr(), name<"decode">().ptr(),
                                                              name<"utf-8">().ptr());
        if (decoded == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
                qyb::throw_error();
            }
            py::object cause = fetch_exception();
            qyb::raise_from(PyExc_ValueError, py::str("JSON payload must be UTF-8"), cause);
        }
        text = steal(decoded);
        if (exact) {
            size = n;  // strict UTF-8 text encodes back to the very bytes it came from
        }
    } else if (PyUnicode_Check(payload.ptr())) {
        text = py::reinterpret_borrow<py::object>(payload);
    } else {
        qyb::raise(PyExc_TypeError, "payload must be bytes or str");
    }

    if (size < 0 && PyUnicode_CheckExact(text.ptr())) {
        size = utf8_size(text.ptr());
    } else if (size < 0) {
        py::object encoded = qyb::call_method(text, name<"encode">(), name<"utf-8">());
        size = PyObject_Length(encoded.ptr());
        if (size < 0) {
            qyb::throw_error();
        }
    }
    if (length_above(size, max_bytes)) {
        too_large();
    }

    py::object json = call.global<"json">();
    try {
        if (PyUnicode_CheckExact(text.ptr()) && call.shortcut<"_unique_object">(unique_object_body) &&
            json_unchanged(call, json.ptr(), loads_json, name<"loads">().ptr(), name<"JSONDecoder">().ptr())) {
            return decode_shared(call, text.ptr());
        }
        py::object hook = call.global<"_unique_object">();
        return qyb::call_method(json, name<"loads">(), text, qyb::kw<"object_pairs_hook">(hook),
                                qyb::kw<"parse_constant">(call.held(loads_constant_hook)));
    } catch (py::error_already_set& e) {
        if (!e.matches(qyb::get(json, name<"JSONDecodeError">()))) {
            throw;
        }
        qyb::Except handling(e);
        py::object reason = steal(PyObject_Format(qyb::get(e.value(), name<"msg">()).ptr(), nullptr));
        qyb::raise_from(PyExc_ValueError, steal(PyUnicode_FromFormat("invalid JSON: %U", reason.ptr())), e.value());
    }
}

qyb::FunctionDef loads_strict_def(qyb::Part& p, std::vector<py::object> held) {
    return {.name = "loads_strict",
            .params = {arg("payload", "bytes | str"), kwonly("max_bytes", "int", p.get("MAX_JSON_BYTES"))},
            .returns = "Any",
            .body = loads_strict_body,
            .held = std::move(held)};
}

// ---------------------------------------------------------------------------------------
// dumps_wire

// json's C encoder, made as JSONEncoder.iterencode makes it, run over `value`. Raw PyObject*:
// the writer's measured core, one vectorcall of nine arguments and the chunks read in place.
py::object encode_shared(const qyb::Call& call, PyObject* value) {
    py::object markers = steal(PyDict_New());
    PyObject* args[] = {markers.ptr(),
                        call.held(dumps_encoder_default).ptr(),
                        call.held(dumps_encode_string).ptr(),
                        Py_None,
                        call.held(dumps_key_separator).ptr(),
                        call.held(dumps_item_separator).ptr(),
                        Py_False,
                        Py_False,
                        Py_False};
    py::object encoder = steal(PyObject_Vectorcall(call.held(dumps_make_encoder).ptr(), args, 9, nullptr));
    py::object call_args = steal(Py_BuildValue("(Oi)", value, 0));
    py::object chunks = steal(PyObject_Call(encoder.ptr(), call_args.ptr(), nullptr));
    if ((PyList_CheckExact(chunks.ptr()) || PyTuple_CheckExact(chunks.ptr())) &&
        PySequence_Fast_GET_SIZE(chunks.ptr()) == 1 &&
        PyUnicode_CheckExact(PySequence_Fast_GET_ITEM(chunks.ptr(), 0))) {
        return py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(chunks.ptr(), 0));
    }
    return steal(PyUnicode_Join(name<"">().ptr(), chunks.ptr()));
}

py::object dumps_wire_body(const qyb::Call& call) {
    auto [value] = call.args<1>();
    call.shortcut<"_json_value">(json_value_body)(value);
    py::object json = call.global<"json">();
    py::object text;
    if (!call.held(dumps_make_encoder).is_none() &&
        json_unchanged(call, json.ptr(), dumps_json, name<"dumps">().ptr(), name<"JSONEncoder">().ptr())) {
        text = encode_shared(call, value.ptr());
    } else {
        text = qyb::call_method(json, name<"dumps">(), value, qyb::kw<"ensure_ascii">(Py_False),
                                qyb::kw<"allow_nan">(Py_False), qyb::kw<"separators">(py::make_tuple(",", ":")));
    }
    if (PyUnicode_CheckExact(text.ptr())) {
        return steal(PyUnicode_AsUTF8String(text.ptr()));
    }
    return qyb::call_method(text, name<"encode">(), name<"utf-8">());
}

qyb::FunctionDef dumps_wire_def(std::vector<py::object> held) {
    return {.name = "dumps_wire",
            .params = {arg("value", "Mapping[str, Any]")},
            .returns = "bytes",
            .body = dumps_wire_body,
            .held = std::move(held)};
}

// ---------------------------------------------------------------------------------------
// _json_value
//
// Depth is an exact int in practice; any other object is compared and incremented as the
// interpreter would. A negative starting depth makes the walk unbounded by the limit, so every
// container level also counts against the interpreter's recursion limit.

struct IntDepth {
    long long value;
    bool above_limit() const { return value > 32; }
    IntDepth next() const { return {value + 1}; }
    py::object object() const { return steal(PyLong_FromLongLong(value)); }
};

struct ObjectDepth {
    py::object value;
    bool above_limit() const { return qyb::compare(value, int_constant<32>(), Py_GT); }
    ObjectDepth next() const { return {steal(PyNumber_Add(value.ptr(), int_constant<1>()))}; }
    py::object object() const { return value; }
};

struct RecursionGuard {
    RecursionGuard() {
        // Failure is 1 here, not -1: not a status for qyb::check.
        if (Py_EnterRecursiveCall(" while checking a JSON value") != 0) {
            qyb::throw_error();
        }
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

[[noreturn]] void key_not_string() { qyb::raise(PyExc_ValueError, "JSON object keys must be strings"); }

template <class Depth>
void walk(const qyb::Call& call, PyObject* value, const Depth& depth);

// The module names a container's items are checked with, read when the walk enters it: the
// check recurses through `_json_value` and tests floats with `math.isfinite` as the module
// binds them, and runs natively while they are still the originals. The walk runs as
// `_json_value`, whose call holds the original `math.isfinite`.
struct Checks {
    qyb::Shortcut json_value;

    explicit Checks(const qyb::Call& c) : json_value(c.shortcut<"_json_value">(json_value_body)) {}

    template <class Depth>
    void item(PyObject* value, const Depth& depth) const {
        if (json_value) {
            walk(json_value.original(), value, depth);
        } else {
            json_value(py::handle(value), depth.object());
        }
    }
};

bool finite(const qyb::Call& call, PyObject* value) {
    py::object math = call.global<"math">();
    py::object isfinite = qyb::get(math, name<"isfinite">());
    if (isfinite.ptr() == call.held(json_value_isfinite).ptr()) {
        return std::isfinite(PyFloat_AS_DOUBLE(value));
    }
    return qyb::truthy(qyb::invoke(isfinite, value));
}

// Raw PyObject*: the measured walk, which reads exact lists and dicts through their own structures.
template <class Depth>
void walk(const qyb::Call& call, PyObject* value, const Depth& depth) {
    if (depth.above_limit()) {
        qyb::raise(PyExc_ValueError, "JSON value nesting is too deep");
    }
    PyTypeObject* type = Py_TYPE(value);
    if (value == Py_None || type == &PyBool_Type || type == &PyLong_Type || type == &PyUnicode_Type) {
        return;
    }
    if (type == &PyFloat_Type) {
        if (!finite(call, value)) {
            qyb::raise(PyExc_ValueError, "non-finite JSON number");
        }
        return;
    }
    if (PyList_Check(value)) {
        RecursionGuard guard;
        const Checks checks(call);
        if (PyList_CheckExact(value)) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
                py::object item = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(value, i));
                checks.item(item.ptr(), depth.next());
            }
            return;
        }
        py::object it = steal(PyObject_GetIter(value));
        while (PyObject* next = PyIter_Next(it.ptr())) {
            py::object item = steal(next);
            checks.item(item.ptr(), depth.next());
        }
        if (PyErr_Occurred()) {
            qyb::throw_error();
        }
        return;
    }
    if (PyDict_Check(value)) {
        RecursionGuard guard;
        const Checks checks(call);
        if (PyDict_CheckExact(value)) {
            const Py_ssize_t size = PyDict_GET_SIZE(value);
            Py_ssize_t pos = 0;
            PyObject *key, *item;
            while (PyDict_Next(value, &pos, &key, &item)) {
                if (!PyUnicode_Check(key)) {
                    key_not_string();
                }
                py::object held = py::reinterpret_borrow<py::object>(item);
                checks.item(item, depth.next());
                if (PyDict_GET_SIZE(value) != size) {
                    qyb::raise(PyExc_RuntimeError, "dictionary changed size during iteration");
                }
            }
            return;
        }
        py::object items = qyb::call_method(value, name<"items">());
        py::object it = steal(PyObject_GetIter(items.ptr()));
        while (PyObject* next = PyIter_Next(it.ptr())) {
            py::object pair = steal(next);
            auto [key, item] = qyb::unpack_pair(pair);
            if (!PyUnicode_Check(key.ptr())) {
                key_not_string();
            }
            checks.item(item.ptr(), depth.next());
        }
        if (PyErr_Occurred()) {
            qyb::throw_error();
        }
        return;
    }
    py::object name = steal(PyType_GetName(type));
    qyb::raise(PyExc_ValueError,
               steal(PyUnicode_FromFormat("value is not JSON serializable: %U", name.ptr())));
}

}  // namespace

py::object json_value_body(const qyb::Call& call) {
    auto [value, depth] = call.args<2>();
    if (PyLong_CheckExact(depth.ptr())) {
        int overflow = 0;
        long long d = PyLong_AsLongLongAndOverflow(depth.ptr(), &overflow);
        if (d == -1 && PyErr_Occurred()) {
            qyb::throw_error();
        }
        // Far from the limit on either side the exact value no longer matters for the walk.
        if (overflow == 0 && d > -(1LL << 62)) {
            walk(call, value.ptr(), IntDepth{d});
            return py::none();
        }
    }
    walk(call, value.ptr(), ObjectDepth{py::reinterpret_borrow<py::object>(depth)});
    return py::none();
}

namespace {

qyb::FunctionDef json_value_def(qyb::Part& p) {
    return {.name = "_json_value",
            .params = {arg("value"), arg("depth", py::int_(0))},
            .body = json_value_body,
            .held = {qyb::get(p.get("math"), name<"isfinite">())}};
}

}  // namespace

}  // namespace protocol

void define_codec(qyb::Part& p) {
    namespace pr = protocol;
    using qyb::kw;
    using qyb::name;

    std::vector<py::object> loads_held, dumps_held;
    p.step("prepare the JSON decoder and encoder", std::source_location::current(), [&] {
        py::object json = p.get("json");
        py::object pairs = pr::steal(PyCFunction_New(&pr::pairs_hook_def, nullptr));
        py::object constant = pr::steal(PyCFunction_New(&pr::constant_hook_def, nullptr));
        py::object decoder = qyb::call_method(json, name<"JSONDecoder">(), kw<"object_pairs_hook">(pairs),
                                              kw<"parse_constant">(constant));
        py::object encoder = qyb::call_method(json, name<"JSONEncoder">(), kw<"ensure_ascii">(Py_False),
                                              kw<"allow_nan">(Py_False), kw<"separators">(py::make_tuple(",", ":")));
        py::object encoder_module = py::module_::import("json.encoder");
        // In the order of LoadsHeld and DumpsHeld.
        loads_held = {json,
                      qyb::get(json, name<"loads">()),
                      qyb::get(json, name<"JSONDecoder">()),
                      qyb::get(decoder, name<"scan_once">()),
                      qyb::get(py::module_::import("json.decoder"), name<"JSONDecodeError">()),
                      constant};
        dumps_held = {json,
                      qyb::get(json, name<"dumps">()),
                      qyb::get(json, name<"JSONEncoder">()),
                      qyb::get(encoder_module, name<"c_make_encoder">()),
                      qyb::get(encoder, name<"default">()),
                      qyb::get(encoder_module, name<"encode_basestring">()),
                      qyb::get(encoder, name<"key_separator">()),
                      qyb::get(encoder, name<"item_separator">())};
    });
    p.def(pr::loads_strict_def(p, std::move(loads_held)));
    p.def(pr::dumps_wire_def(std::move(dumps_held)));
    p.def(pr::unique_object_def());
}

void define_json_value(qyb::Part& p) { p.def(protocol::json_value_def(p)); }

}  // namespace remote
