// SessionPickerWindow: WeChat's tag picker, in which a post's audience tags are ticked.
#include "qyb/python.h"

#include "internal.h"
#include "parts.h"

namespace moment {
namespace {

// __init__(self, parent): binds the picker below the parent's control, without waiting for it.
py::object init(const qyb::Call& call) {
    py::handle self = call[0];
    py::handle parent = call[1];
    qyb::set(self, qyb::name<"root">(), qyb::get(parent, qyb::name<"root">()));
    qyb::set(self, qyb::name<"parent">(), parent);
    qyb::set(self, qyb::name<"control">(),
             qyb::get(parent, qyb::name<"control">())
                 .attr(qyb::name<"WindowControl">())(py::arg("ClassName") = qyb::get(self, qyb::name<"_ui_cls_name">()),
                                                     py::arg("searchDepth") = 5));
    return py::none();
}

// select_tags(self, tags): types each tag into the search field and ticks its first result;
// a tag without a result is logged and skipped. "完成" closes the picker.
py::object select_tags(const qyb::Call& call) {
    py::object control = qyb::get(call[0], qyb::name<"control">());
    py::object edit = control.attr(qyb::name<"GroupControl">())(py::arg("ClassName") = "mmui::XSearchField",
                                                                py::arg("searchDepth") = 5);
    for (py::handle tag : call[1]) {
        qyb::call_method(edit, qyb::name<"Click">());
        qyb::call_method(edit, qyb::name<"ShortcutSelectAll">());
        qyb::call_method(edit, qyb::name<"Input">(), tag);
        py::object results = control.attr(qyb::name<"GroupControl">())(py::arg("ClassName") = "mmui::SPMasterView",
                                                                       py::arg("searchDepth") = 5);
        py::object checkbox = qyb::call_method(results, qyb::name<"CheckBoxControl">());
        if (qyb::truthy(qyb::call_method(checkbox, qyb::name<"Exists">(), py::int_(0)))) {
            qyb::call_method(checkbox, qyb::name<"Click">());
        } else {
            debug(call, concat({py::str("标签 `"), text(tag), py::str("` 不存在，忽略")}));
        }
    }
    py::object done = control.attr(qyb::name<"ButtonControl">())(
        py::arg("ClassName") = "mmui::XOutlineButton", py::arg("Name") = "完成", py::arg("searchDepth") = 5);
    qyb::call_method(done, qyb::name<"Click">());
    return py::none();
}

}  // namespace

void define_audience_picker(qyb::Part& p) {
    qyb::ClassBuilder c = sub_window(p, "SessionPickerWindow", "mmui::SessionPickerWindow", "微信谁可以看");
    c.method({.name = "__init__", .params = {qyb::arg("self"), qyb::arg("parent")}, .body = init})
        .method({.name = "select_tags", .params = {qyb::arg("self"), qyb::arg("tags", qyb::Annotation(list_of_str()))}, .body = select_tags});
    p.bind_class(c);
}

}  // namespace moment
