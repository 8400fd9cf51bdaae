// Moments: one post of the feed, its text form, its interaction pop-up, like and comment.
#include "qyb/python.h"

#include "internal.h"
#include "parts.h"

namespace moment {
namespace {

py::object window_of(py::handle self) { return qyb::get(self, qyb::name<"parent">()); }
py::object control_of(py::handle self) { return qyb::get(self, qyb::name<"control">()); }
py::object like_panel_of(py::handle self) { return qyb::get(self, qyb::name<"like_panel">()); }

bool exists_now(py::handle control) {
    return qyb::truthy(qyb::call_method(control, qyb::name<"Exists">(), py::int_(0)));
}

py::object button(py::handle control, const char* name) {
    return qyb::call_method(control, qyb::name<"ButtonControl">(), qyb::kw<"Name">(py::str(name)));
}

// The ids of the posts of one read of the window's list, in list order.
py::list read_ids(py::handle window) {
    py::list ids;
    for (py::handle post : qyb::call_method(window, qyb::name<"_get_current_moments">())) {
        ids.append(qyb::get(post, qyb::name<"id">()));
    }
    return ids;
}

py::object init(const qyb::Call& call) {
    auto [self, control, parent] = call.args<3>();
    qyb::set(self, qyb::name<"control">(), control);
    qyb::set(self, qyb::name<"parent">(), parent);
    qyb::set(self, qyb::name<"root">(), qyb::get(parent, qyb::name<"root">()));
    qyb::set(self, qyb::name<"content">(), qyb::get(control, qyb::name<"Name">()));
    qyb::set(self, qyb::name<"id">(), qyb::get(control, qyb::name<"runtimeid">()));
    return py::none();
}

qyb::FunctionDef init_def(qyb::Part& p) {
    return {.name = "__init__",
            .params = {qyb::arg("self"),
                       qyb::arg("control", qyb::Annotation(qyb::get(p.get("uia"), qyb::name<"Control">()))),
                       qyb::arg("parent", qyb::Annotation(p.get("MomentsWnd")))},
            .returns = qyb::Annotation(py::none()),
            .body = init};
}

// "<WeChat Moments {class without mmui::} ({truncated text}) at 0x{address}>"
py::object repr(const qyb::Call& call) {
    auto [self] = call.args<1>();
    py::object class_name = qyb::call_method(qyb::get(control_of(self), qyb::name<"ClassName">()),
                                             qyb::name<"replace">(), py::str("mmui::"), py::str(""));
    py::object shown = qyb::invoke(call.global<"truncate_string">(), qyb::get(self, qyb::name<"content">()));
    py::object address = qyb::steal(PyNumber_ToBase(qyb::steal(PyLong_FromVoidPtr(self.ptr())).ptr(), 16));
    return concat({py::str("<WeChat Moments "), text(class_name), py::str(" ("), text(shown), py::str(") at "),
                   address, py::str(">")});
}

qyb::FunctionDef repr_def() { return {.name = "__repr__", .params = {qyb::arg("self")}, .body = repr}; }

// Scrolls the post into view and records, for each post visible afterwards, whether it was
// visible before.
py::object roll_into_view(const qyb::Call& call) {
    auto [self] = call.args<1>();
    py::object window = window_of(self);
    py::list before = read_ids(window);
    py::object start = wall_clock(call);
    qyb::call_method(call.global<"uia">(), qyb::name<"RollIntoView">(), qyb::get(window, qyb::name<"control">()),
                     control_of(self));
    debug(call, minus(wall_clock(call), start));
    py::dict record;
    for (py::handle id : read_ids(window)) {
        qyb::set_item(record, id, py::bool_(qyb::contains(before, id)));
    }
    qyb::set(window, qyb::name<"_roll_cache_id">(), record);
    return py::none();
}

qyb::FunctionDef roll_into_view_def() {
    return {.name = "_roll_into_view", .params = {qyb::arg("self")}, .body = roll_into_view};
}

// Opens the interaction pop-up by clicking further and further left of the cell's bottom-right
// corner, without pauses, for up to 5 s of the wall clock. None once it is open.
py::object open_like_panel(const qyb::Call& call) {
    auto [self] = call.args<1>();
    qyb::call_method(self, qyb::name<"_roll_into_view">());
    py::object start = wall_clock(call);
    py::object window = window_of(self);
    qyb::set(self, qyb::name<"like_panel">(),
             qyb::call_method(qyb::get(window, qyb::name<"control">()), qyb::name<"WindowControl">(),
                              qyb::kw<"ClassName">(py::str("mmui::TimelineFloatMenu")),
                              qyb::kw<"Name">(py::str("Weixin"))));
    long x = 0;
    while (!exists_now(like_panel_of(self))) {
        qyb::poll_round();
        py::object cell = control_of(self);
        if (qyb::compare(minus(wall_clock(call), start), py::int_(5), Py_GT)) {
            py::object present = qyb::call_method(cell, qyb::name<"Exists">(), py::int_(0));
            py::object rect = qyb::get(cell, qyb::name<"BoundingRectangle">());
            debug(call, concat({py::str("打开互动面板操作超时："), text(present), py::str(" "), text(rect)}));
            return response(call, qyb::name<"failure">(), "打开互动面板操作超时");
        }
        py::object height = qyb::call_method(qyb::get(cell, qyb::name<"BoundingRectangle">()), qyb::name<"height">());
        if (qyb::equals(height, py::int_(0))) {
            return response(call, qyb::name<"failure">(), "当前朋友圈对象已失效");
        }
        x -= 10;
        qyb::call_method(cell, qyb::name<"Click">(), qyb::kw<"x">(py::int_(x)),
                         qyb::kw<"y">(qyb::get(window, qyb::name<"_cmt_ybias">())),
                         qyb::kw<"pos">(py::str("rightbottom")));
    }
    return py::none();
}

qyb::FunctionDef open_like_panel_def() {
    return {.name = "_open_like_panel", .params = {qyb::arg("self")}, .body = open_like_panel};
}

// Likes, or takes the like back; a pop-up without the wanted button is dismissed and the call
// still succeeds.
py::object like(const qyb::Call& call) {
    auto [self, wanted] = call.args<2>();
    py::object opened = qyb::call_method(self, qyb::name<"_open_like_panel">());
    if (qyb::truthy(opened)) {
        return opened;
    }
    py::object panel = like_panel_of(self);
    py::object like_button = button(panel, "赞");
    py::object cancel_button = button(panel, "取消");
    if (qyb::truthy(wanted) && exists_now(like_button)) {
        qyb::call_method(like_button, qyb::name<"Click">());
    } else if (!qyb::truthy(wanted) && exists_now(cancel_button)) {
        qyb::call_method(cancel_button, qyb::name<"Click">());
    } else {
        // Dismissing the pop-up is best effort: a failure of it is dropped, but an interrupt
        // (KeyboardInterrupt, SystemExit) must still reach the caller.
        try {
            py::object current = like_panel_of(self);
            if (exists_now(current)) {
                qyb::call_method(current, qyb::name<"SendKeys">(), py::str("{ESC}"));
            }
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) {
                throw;
            }
        }
    }
    return success(call);
}

qyb::FunctionDef like_def(qyb::Part& p) {
    return {.name = "Like",
            .params = {qyb::arg("self"), qyb::arg("like", py::bool_(true))},
            .returns = qyb::Annotation(p.get("QyResponse")),
            .body = like};
}

// Opens the comment field under the post, pastes the text and presses "发送" wherever ten Tab
// presses put the focus on it.
py::object comment(const qyb::Call& call) {
    auto [self, text_arg] = call.args<2>();
    qyb::call_method(self, qyb::name<"_open_like_panel">());
    qyb::call_method(button(like_panel_of(self), "评论"), qyb::name<"Click">());
    py::object window = window_of(self);
    py::object list = qyb::call_method(qyb::get(window, qyb::name<"control">()), qyb::name<"ListControl">());
    py::list fields;
    for (py::handle child : children(list)) {
        py::object top = qyb::get(qyb::get(child, qyb::name<"BoundingRectangle">()), qyb::name<"top">());
        py::object bottom =
            qyb::get(qyb::get(control_of(self), qyb::name<"BoundingRectangle">()), qyb::name<"bottom">());
        if (qyb::equals(top, bottom)) {
            fields.append(child);
        }
    }
    py::object field = qyb::steal(PySequence_GetItem(fields.ptr(), 0));
    qyb::call_method(field, qyb::name<"Click">(), qyb::kw<"move">(py::bool_(true)));
    qyb::call_method(field, qyb::name<"Paste">(), text_arg, qyb::kw<"click">(py::bool_(false)));
    for (int pass = 0; pass < 10; ++pass) {
        qyb::call_method(control_of(self), qyb::name<"SendKeys">(), py::str("{Tab}"));
        py::object focused = qyb::call_method(call.global<"uia">(), qyb::name<"GetFocusedControl">());
        if (qyb::equals(qyb::get(focused, qyb::name<"Name">()), py::str("发送"))) {
            qyb::call_method(focused, qyb::name<"SendKeys">(), py::str("{Enter}"));
        }
    }
    return success(call);
}

qyb::FunctionDef comment_def() {
    return {.name = "Comment", .params = {qyb::arg("self"), qyb::arg("text")}, .body = comment};
}

}  // namespace

void define_post(qyb::Part& p) {
    qyb::ClassBuilder c(p.module(), "Moments", {p.get("BaseUISubWnd")});
    c.method(init_def(p))
        .method(repr_def())
        .method(roll_into_view_def())
        .method(open_like_panel_def())
        .method(like_def(p))
        .method(comment_def());
    p.bind_class(c);
}

}  // namespace moment
