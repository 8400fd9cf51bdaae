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
    return control.attr(qyb::name<"ButtonControl">())(py::arg("Name") = name);
}

// The ids of the posts of one read of the window's list, in list order.
py::list read_ids(py::handle window) {
    py::list ids;
    for (py::handle post : qyb::call_method(window, qyb::name<"_get_current_moments">())) {
        ids.append(qyb::get(post, qyb::name<"id">()));
    }
    return ids;
}

// __init__(self, control, parent)
py::object init(const qyb::Call& call) {
    py::handle self = call[0];
    py::handle control = call[1];
    py::handle parent = call[2];
    qyb::set(self, qyb::name<"control">(), control);
    qyb::set(self, qyb::name<"parent">(), parent);
    qyb::set(self, qyb::name<"root">(), qyb::get(parent, qyb::name<"root">()));
    qyb::set(self, qyb::name<"content">(), qyb::get(control, qyb::name<"Name">()));
    qyb::set(self, qyb::name<"id">(), qyb::get(control, qyb::name<"runtimeid">()));
    return py::none();
}

// "<WeChat Moments {class without mmui::} ({truncated text}) at 0x{address}>"
py::object repr(const qyb::Call& call) {
    py::handle self = call[0];
    py::object class_name = qyb::call_method(qyb::get(control_of(self), qyb::name<"ClassName">()),
                                             qyb::name<"replace">(), py::str("mmui::"), py::str(""));
    py::object shown = qyb::invoke(call.global<"truncate_string">(), qyb::get(self, qyb::name<"content">()));
    py::object address = qyb::steal(PyNumber_ToBase(qyb::steal(PyLong_FromVoidPtr(self.ptr())).ptr(), 16));
    return concat({py::str("<WeChat Moments "), text(class_name), py::str(" ("), text(shown), py::str(") at "),
                   address, py::str(">")});
}

// Scrolls the post into view and records, for each post visible afterwards, whether it was
// visible before.
py::object roll_into_view(const qyb::Call& call) {
    py::handle self = call[0];
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

// Opens the interaction pop-up by clicking further and further left of the cell's bottom-right
// corner, without pauses, for up to 5 s of the wall clock. None once it is open.
py::object open_like_panel(const qyb::Call& call) {
    py::handle self = call[0];
    qyb::call_method(self, qyb::name<"_roll_into_view">());
    py::object start = wall_clock(call);
    py::object window = window_of(self);
    qyb::set(self, qyb::name<"like_panel">(),
             qyb::get(window, qyb::name<"control">())
                 .attr(qyb::name<"WindowControl">())(py::arg("ClassName") = "mmui::TimelineFloatMenu",
                                                     py::arg("Name") = "Weixin"));
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
        cell.attr(qyb::name<"Click">())(py::arg("x") = x, py::arg("y") = qyb::get(window, qyb::name<"_cmt_ybias">()),
                                        py::arg("pos") = "rightbottom");
    }
    return py::none();
}

// Like(self, like=True): likes, or takes the like back; a pop-up without the wanted button is
// dismissed and the call still succeeds.
py::object like(const qyb::Call& call) {
    py::handle self = call[0];
    py::handle wanted = call[1];
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

// Comment(self, text): opens the comment field under the post, pastes the text and presses
// "发送" wherever ten Tab presses put the focus on it.
py::object comment(const qyb::Call& call) {
    py::handle self = call[0];
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
    field.attr(qyb::name<"Click">())(py::arg("move") = true);
    field.attr(qyb::name<"Paste">())(call[1], py::arg("click") = false);
    for (int pass = 0; pass < 10; ++pass) {
        qyb::call_method(control_of(self), qyb::name<"SendKeys">(), py::str("{Tab}"));
        py::object focused = qyb::call_method(call.global<"uia">(), qyb::name<"GetFocusedControl">());
        if (qyb::equals(qyb::get(focused, qyb::name<"Name">()), py::str("发送"))) {
            qyb::call_method(focused, qyb::name<"SendKeys">(), py::str("{Enter}"));
        }
    }
    return success(call);
}

}  // namespace

void define_post(qyb::Part& p) {
    qyb::ClassBuilder c(p.module(), "Moments", {p.get("BaseUISubWnd")});
    c.method({.name = "__init__",
              .params = {qyb::arg("self"), qyb::arg("control", qyb::Annotation(p.get("uia").attr("Control"))),
                         qyb::arg("parent", qyb::Annotation(p.get("MomentsWnd")))},
              .returns = qyb::Annotation(py::none()),
              .body = init})
        .method({.name = "__repr__", .params = {qyb::arg("self")}, .body = repr})
        .method({.name = "_roll_into_view", .params = {qyb::arg("self")}, .body = roll_into_view})
        .method({.name = "_open_like_panel", .params = {qyb::arg("self")}, .body = open_like_panel})
        .method({.name = "Like",
                 .params = {qyb::arg("self"), qyb::arg("like", py::bool_(true))},
                 .returns = qyb::Annotation(p.get("QyResponse")),
                 .body = like})
        .method({.name = "Comment", .params = {qyb::arg("self"), qyb::arg("text")}, .body = comment});
    p.bind_class(c);
}

}  // namespace moment
