// What the module's bodies share: its clocks, its logger, its results and small Python idioms.
// Every service is reached through the module's names as they are bound at the moment of use.
#pragma once

#include "qyb/toolkit.h"

namespace moment {

namespace py = pybind11;

// time.time() and time.sleep(seconds) of the module's `time` (call.monotonic() is its other clock).
inline py::object wall_clock(const qyb::Call& call) {
    return qyb::call_method(call.global<"time">(), qyb::name<"time">());
}
inline void sleep(const qyb::Call& call, py::handle seconds) {
    qyb::call_method(call.global<"time">(), qyb::name<"sleep">(), seconds);
}

// `a - b` with the interpreter's rules and errors.
inline py::object minus(py::handle a, py::handle b) { return qyb::steal(PyNumber_Subtract(a.ptr(), b.ptr())); }

// `str(value)` and the concatenation of texts.
inline py::object text(py::handle value) { return qyb::steal(PyObject_Str(value.ptr())); }
inline py::object concat(std::initializer_list<py::handle> parts) {
    py::list items;
    for (py::handle part : parts) {
        items.append(part);
    }
    return qyb::steal(PyUnicode_Join(qyb::name<"">().ptr(), items.ptr()));
}

// Declared types, evaluated objects as the module body evaluates them: `str`, `list[str]`.
inline qyb::Annotation declared(PyTypeObject* type) { return qyb::Annotation(reinterpret_cast<PyObject*>(type)); }
inline py::object list_of_str() {
    return qyb::item(reinterpret_cast<PyObject*>(&PyList_Type), reinterpret_cast<PyObject*>(&PyUnicode_Type));
}

// A sub-window class: derived from BaseUISubWnd through its metaclass, with the UI class name and
// UI name of the control it binds to as declared class attributes.
inline qyb::ClassBuilder sub_window(qyb::Part& p, const char* name, const char* ui_cls_name, const char* ui_name) {
    qyb::ClassBuilder c(p.module(), name, {p.get("BaseUISubWnd")});
    c.field("_ui_cls_name", declared(&PyUnicode_Type), py::str(ui_cls_name))
        .field("_ui_name", declared(&PyUnicode_Type), py::str(ui_name));
    return c;
}

// qylog.debug(message).
inline void debug(const qyb::Call& call, py::handle message) {
    qyb::call_method(call.global<"qylog">(), qyb::name<"debug">(), message);
}

// QyResponse.<kind>(message) and QyResponse.success().
inline py::object response(const qyb::Call& call, py::handle kind, const char* message) {
    return qyb::call_method(call.global<"QyResponse">(), kind, py::str(message));
}
inline py::object success(const qyb::Call& call) {
    return qyb::call_method(call.global<"QyResponse">(), qyb::name<"success">());
}

// control.GetChildren(), as a list.
inline py::list children(py::handle control) {
    return py::list(qyb::call_method(control, qyb::name<"GetChildren">()));
}

}  // namespace moment
