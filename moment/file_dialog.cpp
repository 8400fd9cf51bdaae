// WinOpenUI: the system file-open dialog through which WeChat takes a post's pictures or video.
#include "qyb/python.h"

#include "internal.h"
#include "parts.h"

namespace moment {
namespace {

py::object init(const qyb::Call& call) {
    auto [self, root, parent, wait] = call.args<4>();
    // The top-level dialog is awaited by its title, on the wall clock and without pauses; a dialog
    // that never comes ends the wait quietly.
    py::object start = wall_clock(call);
    while (qyb::compare(minus(wall_clock(call), start), wait, Py_LT)) {
        qyb::poll_round();
        py::object found = qyb::invoke(call.global<"FindWindow">(), qyb::kw<"classname">(py::str("#32770")),
                                       qyb::kw<"name">(py::str("打开")));
        if (qyb::truthy(found)) {
            break;
        }
    }
    py::object parent_control = qyb::get(parent, qyb::name<"control">());
    py::object control = qyb::call_method(parent_control, qyb::name<"WindowControl">(),
                                          qyb::kw<"ClassName">(qyb::get(self, qyb::name<"_ui_cls_name">())),
                                          qyb::kw<"Name">(qyb::get(self, qyb::name<"_ui_name">())),
                                          qyb::kw<"searchDepth">(py::int_(3)));
    qyb::set(self, qyb::name<"control">(), control);
    qyb::call_method(control, qyb::name<"Exists">(), wait);
    qyb::set(self, qyb::name<"root">(), root);
    qyb::set(self, qyb::name<"hwnd">(), qyb::get(control, qyb::name<"NativeWindowHandle">()));
    return py::none();
}

qyb::FunctionDef init_def() {
    return {.name = "__init__",
            .params = {qyb::arg("self"), qyb::arg("root"), qyb::arg("parent"), qyb::arg("wait", py::int_(3))},
            .body = init};
}

// Every path quoted into the file-name field, then Open pressed.
py::object input_files(const qyb::Call& call) {
    auto [self, files_arg] = call.args<2>();
    py::object files = py::reinterpret_borrow<py::object>(files_arg);
    if (PyUnicode_Check(files.ptr())) {
        py::list one;
        one.append(files);
        files = one;
    } else if (!PyList_Check(files.ptr())) {
        qyb::raise(PyExc_TypeError, "files must be str or list");
    }
    py::object control = qyb::get(self, qyb::name<"control">());
    py::object edit = qyb::call_method(control, qyb::name<"EditControl">(), qyb::kw<"ClassName">(py::str("Edit")));
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

qyb::FunctionDef input_files_def() {
    return {.name = "input_files", .params = {qyb::arg("self"), qyb::arg("files")}, .body = input_files};
}

}  // namespace

void define_file_dialog(qyb::Part& p) {
    qyb::ClassBuilder c = sub_window(p, "WinOpenUI", "#32770", "选择文件");
    c.method(init_def()).method(input_files_def());
    p.bind_class(c);
}

}  // namespace moment
