// Field validators of the wire records: exact key sets, bounded texts, UUID texts, identifiers.
#include "qyb/python.h"

#include "internal.h"
#include "parts.h"

namespace remote {

namespace py = pybind11;

namespace protocol {

namespace {

py::object field_message(py::handle label, const char* suffix) {
    py::object text = steal(PyObject_Format(label.ptr(), nullptr));
    return steal(PyUnicode_FromFormat("invalid %U%s", text.ptr(), suffix));
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Shared helpers

bool length_above(Py_ssize_t n, py::handle limit) {
    if (PyLong_CheckExact(limit.ptr())) {
        int overflow = 0;
        long long l = PyLong_AsLongLongAndOverflow(limit.ptr(), &overflow);
        if (overflow != 0) {
            return overflow < 0;
        }
        if (l == -1 && PyErr_Occurred()) {
            qyb::throw_error();
        }
        return static_cast<long long>(n) > l;
    }
    return qyb::compare(steal(PyLong_FromSsize_t(n)), limit, Py_GT);
}

void refuse_field(py::handle label, const char* suffix) { qyb::raise(PyExc_ValueError, field_message(label, suffix)); }

PyObject* frozen_set_of(std::initializer_list<py::handle> items) {
    py::list list;
    for (py::handle h : items) {
        list.append(h);
    }
    return steal(PyFrozenSet_New(list.ptr())).release().ptr();
}

// The names of `_string(..., allow_empty=True)`'s keywords, in the layout Shortcut::keywords takes.
PyObject* allow_empty_keyword() {
    static PyObject* names = steal(PyTuple_Pack(1, name<"allow_empty">().ptr())).release().ptr();
    return names;
}

// ---------------------------------------------------------------------------------------
// _object

namespace {

// Raw PyObject*: the exact dict and set are read through their own structures.
py::object object_core(PyObject* value, PyObject* keys, py::handle label) {
    if (!PyDict_Check(value)) {
        refuse_field(label, " fields");
    }
    bool same = true;
    if (PyDict_CheckExact(value) && PyAnySet_CheckExact(keys)) {
        // `value.keys() != keys`: the same size and every key of the dict in `keys`, walked as
        // the keys view's iterator walks it, so that a key whose __eq__ changes the dict fails
        // the walk as it does in Python instead of passing a dict that was never checked.
        const Py_ssize_t used = PyDict_GET_SIZE(value);
        if (used != PySet_GET_SIZE(keys)) {
            same = false;
        } else {
            Py_ssize_t pos = 0;
            Py_ssize_t remaining = used;
            PyObject *key, *item;
            for (;;) {
                if (PyDict_GET_SIZE(value) != used) {
                    qyb::raise(PyExc_RuntimeError, "dictionary changed size during iteration");
                }
                if (!PyDict_Next(value, &pos, &key, &item)) {
                    break;
                }
                if (remaining-- == 0) {
                    qyb::raise(PyExc_RuntimeError, "dictionary keys changed during iteration");
                }
                py::object held = py::reinterpret_borrow<py::object>(key);
                if (!qyb::check(PySet_Contains(keys, key))) {
                    same = false;
                    break;
                }
            }
        }
    } else {
        same = !qyb::compare(qyb::call_method(value, name<"keys">()), keys, Py_NE);
    }
    if (!same) {
        refuse_field(label, " fields");
    }
    if (PyDict_CheckExact(value)) {
        return steal(PyDict_Copy(value));
    }
    return qyb::invoke(reinterpret_cast<PyObject*>(&PyDict_Type), value);
}

}  // namespace

py::object object_body(const qyb::Call& call) {
    auto [value, keys, label] = call.args<3>();
    return object_core(value.ptr(), keys.ptr(), label);
}

namespace {

qyb::FunctionDef object_def() {
    return {.name = "_object", .params = {arg("value"), arg("keys"), arg("label")}, .body = object_body};
}

}  // namespace

// ---------------------------------------------------------------------------------------
// _string

bool string_passes(py::handle value, py::handle limit, py::handle allow_empty) {
    if (!PyUnicode_Check(value.ptr())) {
        return false;
    }
    if (!qyb::truthy(allow_empty) && !qyb::truthy(value)) {
        return false;
    }
    Py_ssize_t n = PyObject_Length(value.ptr());
    if (n < 0) {
        qyb::throw_error();
    }
    if (length_above(n, limit)) {
        return false;
    }
    if (PyUnicode_CheckExact(value.ptr())) {
        Py_ssize_t at = PyUnicode_FindChar(value.ptr(), 0, 0, n, 1);
        if (at == -2) {
            qyb::throw_error();
        }
        return at == -1;
    }
    static PyObject* nul = steal(PyUnicode_FromOrdinal(0)).release().ptr();
    return !qyb::contains(value, nul);
}

py::object string_body(const qyb::Call& call) {
    auto [value, label, limit, allow_empty] = call.args<4>();
    if (!string_passes(value, limit, allow_empty)) {
        refuse_field(label);
    }
    return py::reinterpret_borrow<py::object>(value);
}

namespace {

qyb::FunctionDef string_def() {
    return {.name = "_string",
            .params = {arg("value"), arg("label"), arg("limit"), kwonly("allow_empty", py::bool_(false))},
            .body = string_body};
}

// ---------------------------------------------------------------------------------------
// _request_id

bool hex_digit(Py_UCS1 c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// An exact str of 32 hex digits, or of 36 characters with hyphens where the canonical form has
// them: text that uuid.UUID always accepts.
bool canonical_uuid_text(PyObject* value) {
    if (!PyUnicode_CheckExact(value) || !PyUnicode_IS_ASCII(value)) {
        return false;
    }
    const Py_ssize_t n = PyUnicode_GET_LENGTH(value);
    const Py_UCS1* text = PyUnicode_1BYTE_DATA(value);
    if (n != 32 && n != 36) {
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        const bool hyphen_place = n == 36 && (i == 8 || i == 13 || i == 18 || i == 23);
        if (hyphen_place ? text[i] != '-' : !hex_digit(text[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

// Runs as `_request_id`, whose call holds the original uuid.UUID.
py::object request_id_body(const qyb::Call& call) {
    auto [value, label] = call.args<2>();
    call.shortcut<"_string">(string_body)(value, label, int_constant<64>());
    py::object uuid = call.global<"uuid">();
    // Both the attribute and the parse stand inside the guarded step: their raw results are
    // tested, the error left set for the test below.
    auto parse = py::reinterpret_steal<py::object>(PyObject_GetAttr(uuid.ptr(), name<"UUID">().ptr()));
    if (parse && parse.ptr() == call.held(0).ptr() && canonical_uuid_text(value.ptr())) {
        // The standard parse accepts this text; skip building the object it would drop.
        return py::none();
    }
    if (parse && py::reinterpret_steal<py::object>(PyObject_CallOneArg(parse.ptr(), value.ptr()))) {
        return py::none();
    }
    if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        qyb::throw_error();
    }
    // The message is made inside the handler of the parse error, as an f-string in its
    // `except` clause is: a label whose __format__ fails chains the parse error.
    py::error_already_set parse_error = qyb::take_error();
    qyb::Except handling(parse_error);
    qyb::raise_from(PyExc_ValueError, field_message(label, ""), parse_error.value());
}

namespace {

qyb::FunctionDef request_id_def(qyb::Part& p) {
    return {.name = "_request_id",
            .params = {arg("value"), arg("label", py::str("request_id"))},
            .body = request_id_body,
            .held = {qyb::get(p.get("uuid"), name<"UUID">())}};  // whose answer for canonical text is known
}

// ---------------------------------------------------------------------------------------
// _identifier

// `ch.islower() or ch.isdigit() or ch == "_"` for an item of a str subclass's iteration.
bool identifier_char(py::handle ch) {
    return qyb::truthy(qyb::call_method(ch, name<"islower">())) ||
           qyb::truthy(qyb::call_method(ch, name<"isdigit">())) || qyb::equals(ch, name<"_">());
}

py::object identifier_core(PyObject* value) {
    if (!PyUnicode_Check(value)) {
        return py::bool_(false);
    }
    if (PyUnicode_CheckExact(value)) {
        // Raw PyObject*: an exact str is read through its own storage.
        const Py_ssize_t n = PyUnicode_GET_LENGTH(value);
        if (n == 0) {
            return py::reinterpret_borrow<py::object>(value);
        }
        if (n > 64) {
            return py::bool_(false);
        }
        const int kind = PyUnicode_KIND(value);
        const void* data = PyUnicode_DATA(value);
        for (Py_ssize_t i = 0; i < n; ++i) {
            Py_UCS4 ch = PyUnicode_READ(kind, data, i);
            if (!(Py_UNICODE_ISLOWER(ch) || Py_UNICODE_ISDIGIT(ch) || ch == '_')) {
                return py::bool_(false);
            }
        }
        return py::bool_(true);
    }
    // A subclass may override its truth, length and iteration: go through them.
    if (!qyb::truthy(value)) {
        return py::reinterpret_borrow<py::object>(value);
    }
    Py_ssize_t n = PyObject_Length(value);
    if (n < 0) {
        qyb::throw_error();
    }
    if (n > 64) {
        return py::bool_(false);
    }
    py::object it = steal(PyObject_GetIter(value));
    while (PyObject* next = PyIter_Next(it.ptr())) {
        py::object ch = steal(next);
        if (!identifier_char(ch)) {
            return py::bool_(false);
        }
    }
    if (PyErr_Occurred()) {
        qyb::throw_error();
    }
    return py::bool_(true);
}

}  // namespace

py::object identifier_body(const qyb::Call& call) {
    auto [value] = call.args<1>();
    return identifier_core(value.ptr());
}

namespace {

qyb::FunctionDef identifier_def() { return {.name = "_identifier", .params = {arg("value")}, .body = identifier_body}; }

}  // namespace

}  // namespace protocol

void define_validators(qyb::Part& p) {
    namespace pr = protocol;
    p.def(pr::object_def());
    p.def(pr::string_def());
    p.def(pr::request_id_def(p));
    p.def(pr::identifier_def());
}

}  // namespace remote
