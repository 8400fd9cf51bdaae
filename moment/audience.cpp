// SessionPickerWindow: WeChat's tag picker, in which a post's audience tags are ticked.
#include "qyb/python.h"

#include "internal.h"
#include "parts.h"

namespace moment {
namespace {

// Binds the picker below the parent's control, without waiting for it.
py::object init(const qyb::Call& call) {
    auto [self, parent] = call.args<2>();
    qyb::set(self, qyb::name<"root">(), qyb::get(parent, qyb::name<"root">()));
    qyb::set(self, qyb::name<"parent">(), parent);
    qyb::set(self, qyb::name<"control">(),
             qyb::call_method(qyb::get(parent, qyb::name<"control">()), qyb::name<"WindowControl">(),
                              qyb::kw<"ClassName">(qyb::get(self, qyb::name<"_ui_cls_name">())),
                              qyb::kw<"searchDepth">(py::int_(5))));
    return py::none();
}

qyb::FunctionDef init_def() {
    return {.name = "__init__", .params = {qyb::arg("self"), qyb::arg("parent")}, .body = init};
}

// Types each tag into the search field and ticks its first result;
// a tag without a result is logged and skipped. "完成" closes the picker.
py::object select_tags(const qyb::Call& call) {
    auto [self, tags] = call.args<2>();
    py::object control = qyb::get(self, qyb::name<"control">());
    py::object edit = qyb::call_method(control, qyb::name<"GroupControl">(),
                                       qyb::kw<"ClassName">(py::str("mmui::XSearchField")),
                                       qyb::kw<"searchDepth">(py::int_(5)));
    for (py::handle tag : tags) {
        qyb::call_method(edit, qyb::name<"Click">());
        qyb::call_method(edit, qyb::name<"ShortcutSelectAll">());
        qyb::call_method(edit, qyb::name<"Input">(), tag);
        py::object results = qyb::call_method(control, qyb::name<"GroupControl">(),
                                              qyb::kw<"ClassName">(py::str("mmui::SPMasterView")),
                                              qyb::kw<"searchDepth">(py::int_(5)));
        py::object checkbox = qyb::call_method(results, qyb::name<"CheckBoxControl">());
        if (qyb::truthy(qyb::call_method(checkbox, qyb::name<"Exists">(), py::int_(0)))) {
            qyb::call_method(checkbox, qyb::name<"Click">());
        } else {
            debug(call, concat({py::str("标签 `"), text(tag), py::str("` 不存在，忽略")}));
        }
    }
    py::object done = qyb::call_method(control, qyb::name<"ButtonControl">(),
                                       qyb::kw<"ClassName">(py::str("mmui::XOutlineButton")),
                                       qyb::kw<"Name">(py::str("完成")), qyb::kw<"searchDepth">(py::int_(5)));
    qyb::call_method(done, qyb::name<"Click">());
    return py::none();
}

qyb::FunctionDef select_tags_def() {
    return {.name = "select_tags",
            .params = {qyb::arg("self"), qyb::arg("tags", qyb::Annotation(list_of_str()))},
            .body = select_tags};
}

}  // namespace

void define_audience_picker(qyb::Part& p) {
    qyb::ClassBuilder c = sub_window(p, "SessionPickerWindow", "mmui::SessionPickerWindow", "微信谁可以看");
    c.method(init_def()).method(select_tags_def());
    p.bind_class(c);
}

}  // namespace moment
