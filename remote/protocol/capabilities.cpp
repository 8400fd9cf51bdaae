// The table of remotely allowed commands, and the scanner that finds a command line's path.
#include "qyb/python.h"

#include <array>
#include <string_view>

#include "internal.h"
#include "parts.h"

namespace remote {
namespace {

namespace py = pybind11;
using qyb::arg;
using qyb::name;

struct Entry {
    std::array<const char*, 3> words;  // unused words are null
    const char* scope;
    bool mutation;
};

constexpr std::array<Entry, 22> kCommands = {{
    {{"status"}, "status:read", false},
    {{"sessions", "list"}, "session:read", false},
    {{"chat", "open"}, "session:read", false},
    {{"chat", "info"}, "session:read", false},
    {{"chat", "load-more"}, "message:read", false},
    {{"message", "list"}, "message:read", false},
    {{"message", "next"}, "message:read", false},
    {{"message", "history"}, "message:read", false},
    {{"message", "send"}, "message:send", true},
    {{"message", "send-file"}, "file:send", true},
    {{"message", "at-all"}, "message:send", true},
    {{"contact", "requests", "list"}, "contact:read", false},
    {{"contacts", "details"}, "contact:read", false},
    {{"contacts", "by-tag"}, "contact:read", false},
    {{"group", "recent"}, "group:read", false},
    {{"moments", "list"}, "moments:read", false},
    {{"listen", "start"}, "listen:manage", true},
    {{"listen", "list"}, "listen:read", false},
    {{"listen", "status"}, "listen:read", false},
    {{"listen", "pull"}, "listen:read", false},
    {{"listen", "ack"}, "listen:manage", true},
    {{"listen", "stop"}, "listen:manage", true},
}};

constexpr const char kCommandPathDoc[] =
    "Return the public command path while ignoring root CLI options.\n"
    "\n"
    "    Parsing the full argparse tree remains the CLI's responsibility.  This\n"
    "    scanner only identifies the already-validated command for policy checks.\n"
    "    ";

// Root options of the command-line interface, standing before the command words:
//
//   --json, --local                       1 word (flags)
//   --nickname, --remote, --base-url      2 words (the next word is the value, whatever it is)
//   --nickname=V, --remote=V, --base-url=V 1 word
constexpr std::array<std::string_view, 2> kFlags = {"--json", "--local"};
constexpr std::array<std::string_view, 3> kValued = {"--nickname", "--remote", "--base-url"};
constexpr std::array<std::string_view, 3> kJoined = {"--nickname=", "--remote=", "--base-url="};
constexpr std::array<std::string_view, 8> kGroups = {"moments", "message", "sessions", "contacts",
                                                     "contact", "listen", "chat", "group"};

// The word's UTF-8 text; false for a word that is not text, or that cannot be encoded (it then
// equals none of the ASCII words above).
bool word_text(PyObject* word, std::string_view& out) {
    if (!PyUnicode_Check(word)) {
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(word, &size);
    if (data == nullptr) {
        PyErr_Clear();
        return false;
    }
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

template <std::size_t N>
bool one_of(std::string_view word, const std::array<std::string_view, N>& set) {
    for (std::string_view s : set) {
        if (word == s) {
            return true;
        }
    }
    return false;
}

template <std::size_t N>
bool starts_with_one_of(std::string_view word, const std::array<std::string_view, N>& set) {
    for (std::string_view s : set) {
        if (word.starts_with(s)) {
            return true;
        }
    }
    return false;
}

py::object command_path(const qyb::Call& call) {
    auto [argv] = call.args<1>();
    // Raw items: a list made here, read by index.
    py::object words = qyb::steal(PySequence_List(argv.ptr()));
    Py_ssize_t size = PyList_GET_SIZE(words.ptr());
    Py_ssize_t index = 0;
    while (index < size) {
        std::string_view word;
        if (!word_text(PyList_GET_ITEM(words.ptr(), index), word)) {
            break;
        }
        if (one_of(word, kFlags)) {
            index += 1;
        } else if (one_of(word, kValued)) {
            index += 2;
        } else if (starts_with_one_of(word, kJoined)) {
            index += 1;
        } else {
            break;
        }
    }
    if (index >= size) {
        return py::tuple();
    }
    py::handle first = PyList_GET_ITEM(words.ptr(), index);
    std::string_view first_text;
    if (!word_text(first.ptr(), first_text) || !one_of(first_text, kGroups) || index + 1 >= size) {
        return py::make_tuple(first);
    }
    py::handle second = PyList_GET_ITEM(words.ptr(), index + 1);
    std::string_view second_text;
    if (first_text == "contact" && word_text(second.ptr(), second_text) && second_text == "requests" &&
        index + 2 < size) {
        return py::make_tuple(first, second, py::handle(PyList_GET_ITEM(words.ptr(), index + 2)));
    }
    return py::make_tuple(first, second);
}

qyb::FunctionDef command_path_def() {
    return {.name = "command_path",
            .params = {arg("argv", "Sequence[str]")},
            .returns = "tuple[str, ...]",
            .doc = kCommandPathDoc,
            .body = command_path};
}

py::object remote_capability(const qyb::Call& call) {
    auto [argv] = call.args<1>();
    py::object path = qyb::invoke(call.global<"command_path">(), argv);
    py::object table = call.global<"REMOTE_COMMANDS">();
    py::object capability = qyb::get_or_none(table, path);
    if (!capability.is_none()) {
        return capability;
    }
    py::object label = qyb::truthy(path) ? qyb::call_method(py::str(" "), name<"join">(), path) : py::str("<missing>");
    qyb::raise(call.global<"RemoteCommandError">().ptr(),
               py::str("command is not available remotely: ") + py::str(label));
}

qyb::FunctionDef remote_capability_def() {
    return {.name = "remote_capability",
            .params = {arg("argv", "Sequence[str]")},
            .returns = "RemoteCapability",
            .body = remote_capability};
}

}  // namespace

void define_capability_record(qyb::Part& p) {
    qyb::ClassBuilder record(p.module(), "RemoteCapability");
    record.field("scope", "str").field("kind", "str");
    protocol::bind_frozen_dataclass(p, record);
}

void define_capabilities(qyb::Part& p) {
    py::object capability = p.get("RemoteCapability");
    py::object read = p.get("_READ");
    py::object mutation = p.get("_MUTATION");
    py::dict table;
    p.step("build REMOTE_COMMANDS", std::source_location::current(), [&] {
        for (const Entry& e : kCommands) {
            py::list key;
            for (const char* w : e.words) {
                if (w != nullptr) {
                    key.append(py::str(w));
                }
            }
            py::object kind = e.mutation ? mutation : read;
            qyb::dict_set(table, py::tuple(key), qyb::invoke(capability, py::str(e.scope), kind));
        }
    });
    p.bind("REMOTE_COMMANDS", table);
    p.step("annotate REMOTE_COMMANDS", std::source_location::current(), [&] {
        qyb::set_item(p.get("__annotations__"), py::str("REMOTE_COMMANDS"),
                      py::str("dict[tuple[str, ...], RemoteCapability]"));
    });
    p.bind("RemoteCommandError", qyb::make_exception(p.module(), "RemoteCommandError", PyExc_ValueError));
    p.def(command_path_def());
    p.def(remote_capability_def());
}

}  // namespace remote
