// WinOpenUI: the system file-open dialog through which WeChat takes a post's pictures or video.
#include "qyb/python.h"

#include "internal.h"
#include "parts.h"

namespace moment {
namespace {

// __init__(self, root, parent, wait=3)
py::object init(const qyb::Call& call) {
    py::handle self = call[0];
    py::handle wait = call[3];
    // The top-level dialog is awaited by its title, on the wall clock and without pauses; a dialog
    // that never comes ends the wait quietly.
    py::object start = wall_clock(call);
    while (qyb::compare(minus(wall_clock(call), start), wait, Py_LT)) {
        qyb::poll_round();
        py::object found = call.global<"FindWindow">()(py::arg("classname") = "#32770", py::arg("name") = "打开");
        if (qyb::truthy(found)) {
            break;
        }
    }
    py::object parent_control = qyb::get(call[2], qyb::name<"control">());
    py::object control = parent_control.attr(qyb::name<"WindowControl">())(
        py::arg("ClassName") = qyb::get(self, qyb::name<"_ui_cls_name">()),
        py::arg("Name") = qyb::get(self, qyb::name<"_ui_name">()), py::arg("searchDepth") = 3);
    qyb::set(self, qyb::name<"control">(), control);
    qyb::call_method(control, qyb::name<"Exists">(), wait);
    qyb::set(self, qyb::name<"root">(), call[1]);
    qyb::set(self, qyb::name<"hwnd">(), qyb::get(control, qyb::name<"NativeWindowHandle">()));
    return py::none();
}

// input_files(self, files): every path quoted into the file-name field, then Open pressed.
py::object input_files(const qyb::Call& call) {
    py::handle self = call[0];
    py::object files = py::reinterpret_borrow<py::object>(call[1]);
    if (PyUnicode_Check(files.ptr())) {
        py::list one;
        one.append(files);
        files = one;
    } else if (!PyList_Check(files.ptr())) {
        qyb::raise(PyExc_TypeError, "files must be str or list");
    }
    py::object control = qyb::get(self, qyb::name<"control">());
    py::object edit = control.attr(qyb::name<"EditControl">())(py::arg("ClassName") = "Edit");
    py::object edit_handle = qyb::get(edit, qyb::name<"NativeWindowHandle">());
    py::object joined = qyb::steal(PyUnicode_Join(py::str("\" \"").ptr(), files.ptr()));
    py::object filename_str = concat({py::str("\""), joined, py::str("\"")});

    py::list buttons;
    for (py::handle child : children(control)) {
        if (qyb::equals(qyb::get(child, qyb::name<"ControlTypeName">()), py::str("ButtonControl"))) {
            buttons.append(child);
        }
    }
    [[maybe_unused]] auto [open_button, cancel_button] = qyb::unpack_pair(buttons);

    py::object win32gui = call.global<"win32gui">();
    py::object win32con = call.global<"win32con">();
    qyb::call_method(win32gui, qyb::name<"SendMessage">(), edit_handle,
                     qyb::get(win32con, qyb::name<"WM_SETTEXT">()), py::str(""), filename_str);
    qyb::call_method(win32gui, qyb::name<"SendMessage">(),
                     qyb::get(open_button, qyb::name<"NativeWindowHandle">()),
                     qyb::get(win32con, qyb::name<"BM_CLICK">()), py::int_(0), py::int_(0));
    return py::none();
}

}  // namespace

void define_file_dialog(qyb::Part& p) {
    qyb::ClassBuilder c = sub_window(p, "WinOpenUI", "#32770", "选择文件");
    c.method({.name = "__init__",
                 .params = {qyb::arg("self"), qyb::arg("root"), qyb::arg("parent"), qyb::arg("wait", py::int_(3))},
                 .body = init})
        .method({.name = "input_files", .params = {qyb::arg("self"), qyb::arg("files")}, .body = input_files});
    p.bind_class(c);
}

}  // namespace moment
