// Field validators of the wire records: exact key sets, bounded texts, UUID texts, identifiers.
#include "qyb/python.h"

#include "internal.h"
#include "parts.h"

namespace remote {

namespace py = pybind11;

namespace protocol {

namespace {

py::object field_message(PyObject* label, const char* suffix) {
    py::object text = steal(PyObject_Format(label, nullptr));
    return steal(PyUnicode_FromFormat("invalid %U%s", text.ptr(), suffix));
}

// `ch.islower() or ch.isdigit() or ch == "_"` for an item of a str subclass's iteration.
bool identifier_char(PyObject* ch) {
    if (qyb::truthy(steal(PyObject_CallMethodNoArgs(ch, qyb::name<"islower">().ptr())).ptr())) {
        return true;
    }
    if (qyb::truthy(steal(PyObject_CallMethodNoArgs(ch, qyb::name<"isdigit">().ptr())).ptr())) {
        return true;
    }
    return qyb::truthy(steal(PyObject_RichCompare(ch, qyb::name<"_">().ptr(), Py_EQ)).ptr());
}

py::object object_core(PyObject* value, PyObject* keys, PyObject* label);
void request_id_core(const qyb::Call& call, PyObject* value, PyObject* label);
py::object identifier_core(PyObject* value);

}  // namespace

// ---------------------------------------------------------------------------------------
// Bodies

py::object object_body(const qyb::Call& call) {
    return object_core(call[0].ptr(), call[1].ptr(), call[2].ptr());
}

// Runs as `_request_id`, whose call holds the original uuid.UUID.
py::object request_id_body(const qyb::Call& call) {
    request_id_core(call, call[0].ptr(), call[1].ptr());
    return py::none();
}

py::object identifier_body(const qyb::Call& call) { return identifier_core(call[0].ptr()); }

py::object string_body(const qyb::Call& call) {
    if (!string_passes(call[0].ptr(), call[2].ptr(), call[3].ptr())) {
        refuse_field(call[1].ptr());
    }
    return py::reinterpret_borrow<py::object>(call[0]);
}

// ---------------------------------------------------------------------------------------
// Shared helpers

PyObject* allow_empty_keyword() {
    static PyObject* names = nullptr;
    if (names == nullptr) {
        names = PyTuple_Pack(1, qyb::name<"allow_empty">().ptr());
        if (names == nullptr) {
            qyb::throw_error();
        }
    }
    return names;
}

PyObject* frozen_set_of(std::initializer_list<py::handle> items) {
    py::list list;
    for (py::handle h : items) {
        list.append(h);
    }
    return steal(PyFrozenSet_New(list.ptr())).release().ptr();
}

// ---------------------------------------------------------------------------------------
// Cores

namespace {

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

bool length_above(Py_ssize_t n, PyObject* limit) {
    if (PyLong_CheckExact(limit)) {
        int overflow = 0;
        long long l = PyLong_AsLongLongAndOverflow(limit, &overflow);
        if (overflow != 0) {
            return overflow < 0;
        }
        if (l == -1 && PyErr_Occurred()) {
            qyb::throw_error();
        }
        return static_cast<long long>(n) > l;
    }
    py::object length = steal(PyLong_FromSsize_t(n));
    int above = PyObject_RichCompareBool(length.ptr(), limit, Py_GT);
    if (above < 0) {
        qyb::throw_error();
    }
    return above != 0;
}

void refuse_field(PyObject* label, const char* suffix) {
    qyb::raise(PyExc_ValueError, field_message(label, suffix));
}

namespace {

py::object object_core(PyObject* value, PyObject* keys, PyObject* label) {
    if (!PyDict_Check(value)) {
        refuse_field(label, " fields");
    }
    bool same = true;
    if (PyDict_CheckExact(value) && PyAnySet_CheckExact(keys)) {
        // Equal sets: the same size and every key of the dict in `keys`.
        if (PyDict_GET_SIZE(value) != PySet_GET_SIZE(keys)) {
            same = false;
        } else {
            Py_ssize_t pos = 0;
            PyObject *key, *item;
            while (PyDict_Next(value, &pos, &key, &item)) {
                py::object held = py::reinterpret_borrow<py::object>(key);
                int found = PySet_Contains(keys, key);
                if (found < 0) {
                    qyb::throw_error();
                }
                if (found == 0) {
                    same = false;
                    break;
                }
            }
        }
    } else {
        py::object present = steal(PySet_New(value));
        int differs = PyObject_RichCompareBool(present.ptr(), keys, Py_NE);
        if (differs < 0) {
            qyb::throw_error();
        }
        same = differs == 0;
    }
    if (!same) {
        refuse_field(label, " fields");
    }
    if (PyDict_CheckExact(value)) {
        return steal(PyDict_Copy(value));
    }
    return steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), value));
}

}  // namespace

bool string_passes(PyObject* value, PyObject* limit, PyObject* allow_empty) {
    if (!PyUnicode_Check(value)) {
        return false;
    }
    if (!qyb::truthy(allow_empty) && !qyb::truthy(value)) {
        return false;
    }
    Py_ssize_t n = PyObject_Length(value);
    if (n < 0) {
        qyb::throw_error();
    }
    if (length_above(n, limit)) {
        return false;
    }
    if (PyUnicode_CheckExact(value)) {
        Py_ssize_t at = PyUnicode_FindChar(value, 0, 0, n, 1);
        if (at == -2) {
            qyb::throw_error();
        }
        return at == -1;
    }
    static PyObject* nul = nullptr;
    if (nul == nullptr) {
        nul = PyUnicode_FromOrdinal(0);
        if (nul == nullptr) {
            qyb::throw_error();
        }
    }
    int contains = PySequence_Contains(value, nul);
    if (contains < 0) {
        qyb::throw_error();
    }
    return contains == 0;
}

namespace {

void request_id_core(const qyb::Call& call, PyObject* value, PyObject* label) {
    call.shortcut<"_string">(string_body)(value, label, int_constant<64>());
    py::object uuid = call.global<"uuid">();
    // Both the attribute and the parse stand inside the guarded step.
    PyObject* parsed = nullptr;
    PyObject* parse = PyObject_GetAttr(uuid.ptr(), qyb::name<"UUID">().ptr());
    if (parse != nullptr && parse == call.held(0).ptr() && canonical_uuid_text(value)) {
        // The standard parse accepts this text; skip building the object it would drop.
        Py_DECREF(parse);
        return;
    }
    if (parse != nullptr) {
        parsed = PyObject_CallOneArg(parse, value);
        Py_DECREF(parse);
    }
    if (parsed != nullptr) {
        Py_DECREF(parsed);
        return;
    }
    if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        qyb::throw_error();
    }
    py::object cause = fetch_exception();
    qyb::raise_from(PyExc_ValueError, field_message(label, ""), cause);
}

py::object identifier_core(PyObject* value) {
    if (!PyUnicode_Check(value)) {
        return py::bool_(false);
    }
    if (PyUnicode_CheckExact(value)) {
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
    while (PyObject* ch = PyIter_Next(it.ptr())) {
        py::object held = steal(ch);
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

}  // namespace protocol

void define_validators(qyb::Part& p) {
    using qyb::arg;
    using qyb::kwonly;
    namespace pr = protocol;

    p.def({.name = "_object", .params = {arg("value"), arg("keys"), arg("label")}, .body = pr::object_body});
    p.def({.name = "_string",
           .params = {arg("value"), arg("label"), arg("limit"), kwonly("allow_empty", py::bool_(false))},
           .body = pr::string_body});
    p.def({.name = "_request_id",
           .params = {arg("value"), arg("label", py::str("request_id"))},
           .body = pr::request_id_body,
           .held = {p.get("uuid").attr("UUID")}});  // whose answer for canonical text is known
    p.def({.name = "_identifier", .params = {arg("value")}, .body = pr::identifier_body});
}

}  // namespace remote
