// MomentsWnd: the bound Moments window, its toolbar, its visible posts, refresh and close.
#include "qyb/python.h"

#include "internal.h"
#include "parts.h"

namespace moment {
namespace {

// Waits, without pauses, for the window titled "朋友圈".
py::object init(const qyb::Call& call) {
    auto [self, root, timeout] = call.args<3>();
    qyb::set(self, qyb::name<"root">(), root);
    qyb::set(self, qyb::name<"_roll_cache_id">(), py::dict());
    py::object start = call.monotonic();
    py::object handle;
    while (true) {
        qyb::poll_round();
        if (qyb::compare(minus(call.monotonic(), start), timeout, Py_GT)) {
            qyb::raise(PyExc_Exception, "朋友圈窗口打开超时");
        }
        handle = qyb::invoke(call.global<"FindWindow">(), qyb::kw<"name">(py::str("朋友圈")));
        if (qyb::truthy(handle)) {
            break;
        }
    }
    py::object control = qyb::call_method(call.global<"uia">(), qyb::name<"ControlFromHandle">(), handle);
    qyb::set(self, qyb::name<"control">(), control);
    qyb::set(self, qyb::name<"HWND">(), handle);
    qyb::set(self, qyb::name<"NavigationBox">(),
             qyb::call_method(control, qyb::name<"ToolBarControl">(),
                              qyb::kw<"ClassName">(py::str("mmui::SNSWindowToolBar")),
                              qyb::kw<"searchDepth">(py::int_(5))));
    py::object close_button =
        qyb::call_method(control, qyb::name<"ButtonControl">(), qyb::kw<"Name">(py::str("关闭")));
    py::object rect = qyb::get(close_button, qyb::name<"BoundingRectangle">());
    // Each call in its own statement: C++ leaves the order of a call's arguments open, and
    // Python reads them left to right.
    py::object close_width = qyb::call_method(rect, qyb::name<"width">());
    py::object close_height = qyb::call_method(rect, qyb::name<"height">());
    qyb::set(self, qyb::name<"_close_size">(), py::make_tuple(close_width, close_height));
    py::object left = qyb::get(rect, qyb::name<"left">());
    py::object right = qyb::get(rect, qyb::name<"right">());
    py::object width = qyb::steal(PyNumber_Absolute(minus(left, right).ptr()));
    qyb::set(self, qyb::name<"_cmt_xbias">(), qyb::steal(PyNumber_Negative(width.ptr())));
    // -int(abs(top - bottom) / 3): a true division, truncated toward zero.
    py::object top = qyb::get(rect, qyb::name<"top">());
    py::object bottom = qyb::get(rect, qyb::name<"bottom">());
    py::object height = qyb::steal(PyNumber_Absolute(minus(top, bottom).ptr()));
    py::object third = qyb::steal(PyNumber_TrueDivide(height.ptr(), py::int_(3).ptr()));
    py::object truncated = qyb::steal(PyNumber_Long(third.ptr()));
    qyb::set(self, qyb::name<"_cmt_ybias">(), qyb::steal(PyNumber_Negative(truncated.ptr())));
    return py::none();
}

qyb::FunctionDef init_def() {
    return {.name = "__init__",
            .params = {qyb::arg("self"), qyb::arg("root"), qyb::arg("timeout", py::int_(5))},
            .body = init};
}

// {child.Name: child for child in self.NavigationBox.GetChildren()}, made anew.
py::object toolbar_buttons(const qyb::Call& call) {
    auto [self] = call.args<1>();
    py::dict buttons;
    for (py::handle child : children(qyb::get(self, qyb::name<"NavigationBox">()))) {
        qyb::set_item(buttons, qyb::get(child, qyb::name<"Name">()), child);
    }
    return buttons;
}

qyb::FunctionDef toolbar_buttons_def() {
    return {.name = "toolbar_buttons", .params = {qyb::arg("self")}, .body = toolbar_buttons};
}

// The posts of the timeline list now present, in list order; cells of the two timeline
// classes are left out.
py::object get_current_moments(const qyb::Call& call) {
    auto [self] = call.args<1>();
    py::object list = qyb::call_method(qyb::get(self, qyb::name<"control">()), qyb::name<"ListControl">());
    py::list posts;
    for (py::handle child : children(list)) {
        py::object class_name = qyb::get(child, qyb::name<"ClassName">());
        if (qyb::equals(class_name, py::str("mmui::TimelineCommentCell")) ||
            qyb::equals(class_name, py::str("mmui::TimelineCell"))) {
            continue;
        }
        posts.append(qyb::invoke(call.global<"Moments">(), child, self));
    }
    return posts;
}

qyb::FunctionDef get_current_moments_def() {
    return {.name = "_get_current_moments", .params = {qyb::arg("self")}, .body = get_current_moments};
}

void click_toolbar_button(py::handle self, const char* name) {
    py::object buttons = qyb::get(self, qyb::name<"toolbar_buttons">());
    qyb::call_method(qyb::item(buttons, py::str(name)), qyb::name<"Click">());
}

py::object refresh(const qyb::Call& call) {
    auto [self] = call.args<1>();
    click_toolbar_button(self, "刷新");
    return py::none();
}

qyb::FunctionDef refresh_def() { return {.name = "Refresh", .params = {qyb::arg("self")}, .body = refresh}; }

py::object close(const qyb::Call& call) {
    auto [self] = call.args<1>();
    click_toolbar_button(self, "关闭");
    return py::none();
}

qyb::FunctionDef close_def() { return {.name = "Close", .params = {qyb::arg("self")}, .body = close}; }

}  // namespace

void define_window(qyb::Part& p) {
    // The window is found by its title, not by these two, so they are plain attributes: only
    // the publish pause carries a declared type.
    qyb::ClassBuilder c(p.module(), "MomentsWnd", {p.get("BaseUISubWnd")});
    c.attr("_ui_cls_name", py::str("mmui::SNSWindow")).attr("_ui_name", py::str("朋友圈"));
    py::object toolbar = qyb::make_function(toolbar_buttons_def(), p.module(), "MomentsWnd");
    c.field("_publish_wait", declared(&PyLong_Type), py::int_(1))
        .method(init_def())
        .attr("toolbar_buttons", qyb::invoke(reinterpret_cast<PyObject*>(&PyProperty_Type), toolbar))
        .method(get_current_moments_def())
        .method(refresh_def())
        .method(close_def())
        .method(get_moments_def())
        .method(publish_def(p));
    p.bind_class(c);
}

}  // namespace moment
