// Publishing a post: PrivacyConfig and MomentsWnd.Publish, from the toolbar button to the
// closing of the publish panel.
#include "qyb/python.h"

#include "internal.h"
#include "parts.h"

namespace moment {
namespace {

constexpr const char* kImageSuffixes[] = {".jpg", ".jpeg", ".png", ".gif", ".bmp"};
constexpr const char* kVideoSuffixes[] = {".mp4", ".avi", ".mov", ".mkv", ".mgp", ".mpeg", ".rm", ".rmvb", ".wmv"};

// Audience value -> the radio button that chooses it, compared in this order.
constexpr std::pair<const char*, const char*> kAudience[] = {
    {"白名单", "谁可以看"},
    {"黑名单", "不给谁看"},
    {"公开", "公开"},
    {"私密", "私密"},
};

template <std::size_t N>
py::list text_list(const char* const (&texts)[N]) {
    py::list list;
    for (const char* t : texts) {
        list.append(py::str(t));
    }
    return list;
}

// The body of `class PrivacyConfig(TypedDict)`, run by types.new_class on its namespace.
py::object privacy_config_body(const qyb::Call& call) {
    auto [ns] = call.args<1>();
    py::object annotations = qyb::dict_of(
        {{qyb::name<"privacy">(), qyb::item(call.global<"Literal">(), py::make_tuple("公开", "私密", "白名单", "黑名单"))},
         {qyb::name<"friends">(), list_of_str()},
         {qyb::name<"tags">(), list_of_str()}});
    qyb::set_item(ns, qyb::name<"__module__">(), call.global<"__name__">());
    qyb::set_item(ns, qyb::name<"__qualname__">(), py::str("PrivacyConfig"));
    qyb::set_item(ns, qyb::name<"__annotations__">(), annotations);
    qyb::set_item(ns, qyb::name<"privacy">(), py::str("公开"));
    qyb::set_item(ns, qyb::name<"friends">(), py::list());
    qyb::set_item(ns, qyb::name<"tags">(), py::list());
    return py::none();
}

qyb::FunctionDef privacy_config_body_def() {
    return {.name = "PrivacyConfig", .params = {qyb::arg("ns")}, .body = privacy_config_body};
}

}  // namespace

void define_privacy_config(qyb::Part& p) {
    py::object body = qyb::make_function(privacy_config_body_def(), p.module());
    py::object types = qyb::steal(PyImport_ImportModule("types"));
    py::object cls = p.step("class PrivacyConfig", std::source_location::current(), [&] {
        return qyb::call_method(types, qyb::name<"new_class">(), py::str("PrivacyConfig"),
                                py::make_tuple(p.get("TypedDict")), py::dict(), body);
    });
    p.bind("PrivacyConfig", cls);
}

namespace {

py::object search(py::handle control, py::handle kind, const char* class_name, int depth) {
    return qyb::call_method(control, kind, qyb::kw<"ClassName">(py::str(class_name)),
                            qyb::kw<"searchDepth">(py::int_(depth)));
}

void click(py::handle control) { qyb::call_method(control, qyb::name<"Click">()); }

// The publish panel, searched once the toolbar has opened it.
py::object publish_panel(py::handle window) {
    return search(qyb::get(window, qyb::name<"control">()), qyb::name<"GroupControl">(), "mmui::SnsPublishPanel", 8);
}

// The entries of `media` that exist and whose lower-cased suffix is listed, as real paths.
py::list usable(const qyb::Call& call, py::handle media, const py::list& suffixes) {
    py::object path = qyb::get(call.global<"os">(), qyb::name<"path">());
    py::list kept;
    for (py::handle entry : media) {
        if (!qyb::truthy(qyb::call_method(path, qyb::name<"exists">(), entry))) {
            continue;
        }
        py::object parts = qyb::call_method(path, qyb::name<"splitext">(), entry);
        py::object suffix = qyb::call_method(qyb::item(parts, py::int_(1)), qyb::name<"lower">());
        if (qyb::contains(suffixes, suffix)) {
            kept.append(qyb::call_method(path, qyb::name<"realpath">(), entry));
        }
    }
    return kept;
}

// Hands the media to the file-open dialog, then waits the upload time.
void upload(const qyb::Call& call, py::handle self, py::handle wait_upload, const py::list& files, const char* what) {
    py::object open_ui = call.global<"WinOpenUI">();
    py::object dialog =
        qyb::invoke(open_ui, qyb::kw<"root">(qyb::get(self, qyb::name<"root">())), qyb::kw<"parent">(self));
    qyb::call_method(dialog, qyb::name<"input_files">(), files);
    debug(call, concat({py::str(what), text(wait_upload), py::str("秒")}));
    sleep(call, wait_upload);
}

// Right click on "发表", then the context menu's "发表文字". The menu is polled, without pauses,
// for up to 3 s of the wall clock; its entry is chosen on the last menu built even when it never
// appeared, and on a menu built once afterwards when the time ran out before the first look.
void open_text_panel(const qyb::Call& call, py::handle self) {
    qyb::call_method(qyb::item(qyb::get(self, qyb::name<"toolbar_buttons">()), py::str("发表")),
                     qyb::name<"RightClick">());
    py::object start = wall_clock(call);
    py::object menu;
    while (!qyb::compare(minus(wall_clock(call), start), py::int_(3), Py_GT)) {
        qyb::poll_round();
        menu = qyb::invoke(call.global<"Menu">(), self);
        py::object control = qyb::get(menu, qyb::name<"control">());
        if (qyb::truthy(qyb::call_method(control, qyb::name<"Exists">(), py::int_(0)))) {
            break;
        }
    }
    if (!menu) {
        menu = qyb::invoke(call.global<"Menu">(), self);
    }
    qyb::call_method(menu, qyb::name<"select">(), py::str("发表文字"));
}

// The audience: the privacy entry, its radio button, the tags, "确定".
void choose_audience(const qyb::Call& call, py::handle self, py::handle panel, py::handle config) {
    py::object privacy_button = qyb::call_method(panel, qyb::name<"TextControl">(), qyb::kw<"Name">(py::str("谁可以看")));
    py::object scroll_area =
        qyb::call_method(panel, qyb::name<"GroupControl">(), qyb::kw<"ClassName">(py::str("QFScrollArea")));
    qyb::call_method(call.global<"uia">(), qyb::name<"RollIntoView">(), scroll_area, privacy_button);
    sleep(call, py::float_(0.3));
    click(privacy_button);
    py::object radio = search(qyb::get(self, qyb::name<"control">()), qyb::name<"RadioButtonControl">(),
                              "mmui::PublishPrivacySelection", 5);
    py::object privacy_panel = qyb::call_method(radio, qyb::name<"GetParentControl">());
    for (auto [value, button_name] : kAudience) {
        // The entry is read anew for each comparison.
        if (qyb::equals(qyb::item(config, qyb::name<"privacy">()), py::str(value))) {
            click(qyb::call_method(privacy_panel, qyb::name<"RadioButtonControl">(),
                                   qyb::kw<"Name">(py::str(button_name))));
            break;
        }
    }
    py::object tags = qyb::item(config, qyb::name<"tags">());
    if (qyb::truthy(tags)) {
        py::object picker = qyb::invoke(call.global<"SessionPickerWindow">(), self);
        qyb::call_method(picker, qyb::name<"select_tags">(), qyb::item(config, qyb::name<"tags">()));
    }
    click(qyb::call_method(privacy_panel, qyb::name<"ButtonControl">(), qyb::kw<"Name">(py::str("确定"))));
}

// An audience value that names no radio button would leave the panel's current audience in
// place and still report success, so it is refused before the window is touched. A mapping
// without the key is left to the audience step, which raises its key error.
bool unknown_audience(py::handle config) {
    if (!qyb::truthy(config) || !qyb::contains(config, qyb::name<"privacy">())) {
        return false;
    }
    py::object value = qyb::item(config, qyb::name<"privacy">());
    for (const auto& audience : kAudience) {
        if (qyb::equals(value, audience.first)) {
            return false;
        }
    }
    return true;
}

py::object publish(const qyb::Call& call) {
    auto [self, text_arg, media_files, privacy_config, wait_upload] = call.args<5>();
    py::object media = py::reinterpret_borrow<py::object>(media_files);
    const char* nothing = "至少指定一个发表内容或图片";
    if (!qyb::truthy(text_arg) && !qyb::truthy(media)) {
        return response(call, qyb::name<"error">(), nothing);
    }
    if (unknown_audience(privacy_config)) {
        return response(call, qyb::name<"error">(), "可见范围只能是公开、私密、白名单或黑名单");
    }
    py::object panel;
    if (qyb::truthy(media)) {
        py::list image_suffixes = text_list(kImageSuffixes);
        py::list video_suffixes = text_list(kVideoSuffixes);
        if (PyUnicode_Check(media.ptr())) {
            py::list one;
            one.append(media);
            media = one;
        }
        py::list images = usable(call, media, image_suffixes);
        py::list videos = usable(call, media, video_suffixes);
        if (!images.empty() && !videos.empty()) {
            return response(call, qyb::name<"error">(), "不能同时指定视频和图片");
        }
        if (videos.size() > 1) {
            return response(call, qyb::name<"error">(), "只能同时发表一个视频");
        }
        if (images.size() > 9) {
            return response(call, qyb::name<"error">(), "一次最多发表9张图片");
        }
        // Every entry dropped and no text: there is nothing to post, and the panel must not
        // be opened for it.
        if (images.empty() && videos.empty() && !qyb::truthy(text_arg)) {
            return response(call, qyb::name<"error">(), nothing);
        }
        click(qyb::item(qyb::get(self, qyb::name<"toolbar_buttons">()), py::str("发表")));
        panel = publish_panel(self);
        if (!images.empty()) {
            upload(call, self, wait_upload, images, "强制等待图片上传时间：");
        } else if (!videos.empty()) {
            upload(call, self, wait_upload, videos, "强制等待视频上传时间：");
        }
    } else {
        open_text_panel(call, self);
        panel = publish_panel(self);
    }

    if (qyb::truthy(privacy_config)) {
        choose_audience(call, self, panel, privacy_config);
    }

    py::object input_box = search(panel, qyb::name<"GroupControl">(), "mmui::PublishInputView", 6);
    if (qyb::truthy(text_arg)) {
        click(qyb::call_method(input_box, qyb::name<"EditControl">(), qyb::kw<"searchDepth">(py::int_(6))));
        qyb::call_method(input_box, qyb::name<"ShortcutSelectAll">());
        qyb::invoke(call.global<"SetClipboardText">(), text_arg);
        qyb::call_method(input_box, qyb::name<"ShortcutPaste">());
    }

    py::object publish_button = qyb::call_method(panel, qyb::name<"ButtonControl">(), qyb::kw<"Name">(py::str("发表")),
                                                 qyb::kw<"searchDepth">(py::int_(4)));
    for (int attempt = 0; attempt < 30; ++attempt) {
        if (!qyb::truthy(qyb::call_method(panel, qyb::name<"Exists">(), py::int_(0)))) {
            return response(call, qyb::name<"success">(), "发表成功");
        }
        if (qyb::truthy(qyb::call_method(publish_button, qyb::name<"Exists">(), py::int_(0)))) {
            click(publish_button);
        }
        sleep(call, qyb::get(self, qyb::name<"_publish_wait">()));
    }
    return py::none();
}

}  // namespace

qyb::FunctionDef publish_def(qyb::Part& p) {
    return {.name = "Publish",
            .params = {qyb::arg("self"), qyb::arg("text", declared(&PyUnicode_Type), py::none()),
                       qyb::arg("media_files",
                                qyb::Annotation(qyb::item(p.get("List"), reinterpret_cast<PyObject*>(&PyUnicode_Type))),
                                py::none()),
                       qyb::arg("privacy_config", qyb::Annotation(p.get("PrivacyConfig")), py::none()),
                       qyb::arg("wait_upload", declared(&PyFloat_Type), py::int_(3))},
            .body = publish};
}

}  // namespace moment
