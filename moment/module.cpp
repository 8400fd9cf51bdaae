// The module's entry and body: its imports in order, then its function and classes.
#include "qyb/python.h"

#include <array>

#include "internal.h"
#include "parts.h"

namespace moment {
namespace {

// `s` without line feeds, stripped, cut to `n` characters plus "...".
py::object truncate_string(const qyb::Call& call) {
    auto [s, n] = call.args<2>();
    py::object replaced = qyb::call_method(s, qyb::name<"replace">(), py::str("\n"), py::str(""));
    py::object stripped = qyb::call_method(replaced, qyb::name<"strip">());
    // A length, not a status: check() would narrow it.
    Py_ssize_t length = PyObject_Length(stripped.ptr());
    if (length < 0) {
        qyb::throw_error();
    }
    if (qyb::compare(py::int_(length), n, Py_LE)) {
        return stripped;
    }
    py::object head = qyb::item(stripped, qyb::steal(PySlice_New(nullptr, n.ptr(), nullptr)));
    return qyb::steal(PyNumber_Add(head.ptr(), py::str("...").ptr()));
}

qyb::FunctionDef truncate_string_def() {
    return {.name = "truncate_string",
            .params = {qyb::arg("s", declared(&PyUnicode_Type)), qyb::arg("n", declared(&PyLong_Type), py::int_(8))},
            .returns = declared(&PyUnicode_Type),
            .body = truncate_string};
}

void body(qyb::Part& p) {
    p.import_from("base", {"BaseUISubWnd"}, 1);
    p.import_from("qybridge4.utils", {"FindWindow", "SetClipboardText"});
    p.import_from("qybridge4.ui.component", {"Menu"});
    p.import_from("qybridge4.utils.win32", {"get_monitor_info"});
    p.import_star("qybridge4.languages");
    p.import_from("qybridge4.logger", {"qylog"});
    p.import_from("qybridge4.param", {"QyResponse", "QyParam"});
    p.import_from("qybridge4", {"uia"});
    p.import("win32gui");
    p.import("win32con");
    p.import("math");
    p.import_from("typing", {"Literal", "TypedDict", "List"});
    p.import("time");
    p.import("os");
    p.def(truncate_string_def());
    define_file_dialog(p);
    define_privacy_config(p);
    define_window(p);
    define_audience_picker(p);
    define_post(p);
}

constexpr std::array<qyb::PartDef, 1> kParts = {{{"moment", body}}};

int exec_moment(PyObject* module) { return qyb::run_parts(module, kParts); }

PyModuleDef_Slot moment_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_moment)},
    {0, nullptr},
};

PyModuleDef moment_def = {
    PyModuleDef_HEAD_INIT, "moment", nullptr, 0, nullptr, moment_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace moment

PyMODINIT_FUNC PyInit_moment() { return PyModuleDef_Init(&moment::moment_def); }
