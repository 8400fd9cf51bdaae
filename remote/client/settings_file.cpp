// The settings file: its reading with validation, its writing, the stored form of a connection,
// the atomic JSON writer that the secrets file shares, and the replace that the runtime's writer
// goes through too.
#include "qyb/python.h"

#include <algorithm>
#include <exception>
#include <optional>

#include "client/settings_internal.h"
#include "parts.h"

namespace remote {

namespace py = pybind11;
using qyb::arg;
using qyb::name;

namespace settings {

py::object with_text(const char* prefix, py::handle value) {
    py::object text = qyb::steal(PyObject_Format(value.ptr(), nullptr));
    return qyb::steal(PyUnicode_FromFormat("%s%U", prefix, text.ptr()));
}

py::object keyword_call(py::handle cls, py::handle named, py::handle more) {
    py::object kwargs = qyb::steal(PyDict_Copy(named.ptr()));
    qyb::merge_keywords(cls, kwargs, more);
    return qyb::invoke(cls, qyb::keywords(kwargs));
}

py::object with_alias_call(py::handle cls, py::handle alias, py::handle record) {
    return keyword_call(cls, qyb::dict_of({{name<"alias">(), alias}}), record);
}

bool is_client_name(py::handle value) {
    if (!PyUnicode_Check(value.ptr())) {
        return false;
    }
    Py_ssize_t n = PyUnicode_GET_LENGTH(value.ptr());
    return n >= 1 && n <= 128;
}

py::object file_size(const qyb::Call& call, py::handle path) {
    try {
        return qyb::get(qyb::call_method(call.global<"os">(), name<"stat">(), path), name<"st_size">());
    } catch (py::error_already_set& e) {
        // What Path.exists() takes for "no file": nothing there, or a parent that is a file.
        if (e.matches(PyExc_FileNotFoundError) || e.matches(PyExc_NotADirectoryError)) {
            return py::none();
        }
        throw;
    }
}

py::object read_file(const qyb::Call& call, py::handle path, py::handle limit) {
    py::object os = call.global<"os">();
    Py_ssize_t cap = PY_SSIZE_T_MAX - 1;
    if (PyLong_Check(limit.ptr())) {
        cap = PyLong_AsSsize_t(limit.ptr());
        if (cap == -1 && PyErr_Occurred()) {
            qyb::throw_error();
        }
        cap = std::max<Py_ssize_t>(cap, 0);
    }
    py::object flags = qyb::get(os, name<"O_RDONLY">());
    if (qyb::has(os, name<"O_BINARY">())) {
        flags = qyb::steal(PyNumber_Or(flags.ptr(), qyb::get(os, name<"O_BINARY">()).ptr()));
    }
    py::object fd = qyb::call_method(os, name<"open">(), path, flags);
    py::object read = qyb::get(os, name<"read">());
    py::object chunks = qyb::steal(PyList_New(0));
    Py_ssize_t total = 0;
    try {
        while (total <= cap) {
            py::object wanted = qyb::steal(PyLong_FromSsize_t(std::min<Py_ssize_t>(cap + 1 - total, 1 << 20)));
            py::object chunk = qyb::invoke(read, fd, wanted);
            Py_ssize_t n = PyBytes_Size(chunk.ptr());
            if (n < 0) {
                qyb::throw_error();
            }
            if (n == 0) {
                break;
            }
            qyb::check(PyList_Append(chunks.ptr(), chunk.ptr()));
            total += n;
        }
    } catch (std::exception&) {
        qyb::Except failure;
        try {
            qyb::call_method(os, name<"close">(), fd);
        } catch (py::error_already_set&) {
            // The read failure is the one to report.
        }
        failure.reraise();
    }
    qyb::call_method(os, name<"close">(), fd);
    if (PyList_GET_SIZE(chunks.ptr()) == 1) {
        return py::reinterpret_borrow<py::object>(PyList_GET_ITEM(chunks.ptr(), 0));
    }
    return qyb::steal(_PyBytes_Join(py::bytes("").ptr(), chunks.ptr()));
}

namespace {

// ---------------------------------------------------------------------------------------
// Loading

// Text that UTF-8 can carry: no lone surrogate, as os.environ gives for undecodable bytes.
bool is_encodable(py::handle text) {
    if (PyUnicode_AsUTF8AndSize(text.ptr(), nullptr) != nullptr) {
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
        qyb::throw_error();
    }
    PyErr_Clear();
    return false;
}

py::object default_settings(const qyb::Call& call) {
    py::object uuid = call.global<"uuid">();
    py::object client_id = qyb::steal(PyObject_Str(qyb::call_method(uuid, name<"uuid4">()).ptr()));
    // COMPUTERNAME is taken only when the first save can write it and a later load accepts it;
    // otherwise that save would fail, or lock the settings file out.
    py::object computer =
        qyb::call_method(qyb::get(call.global<"os">(), name<"environ">()), name<"get">(), name<"COMPUTERNAME">());
    bool usable = is_client_name(computer) && is_encodable(computer);
    py::object client_name = usable ? computer : py::str("qybridge4-client");
    return qyb::dict_of({
        {name<"schema_version">(), call.global<"_remote_config__SCHEMA_VERSION">()},
        {name<"default_remote">(), Py_None},
        {name<"client_id">(), client_id},
        {name<"client_name">(), client_name},
        {name<"remotes">(), qyb::steal(PyDict_New())},
    });
}

bool is_hex_digit(Py_UCS4 c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The client id rule: without every "urn:", then every "uuid:", then the braces at either
// end, then every hyphen, exactly 32 hexadecimal digits remain. uuid.UUID would also let
// int() take signs, underscores, blanks, "0x" and non-ASCII digits.
void check_client_id(const qyb::Call& call, py::handle value) {
    if (!PyUnicode_Check(value.ptr())) {
        py::object cause = qyb::invoke(PyExc_TypeError, py::str("client_id must be str"));
        config_error_from(call, py::str("invalid client_id"), cause);
    }
    py::object text = qyb::steal(PyUnicode_Replace(value.ptr(), py::str("urn:").ptr(), py::str("").ptr(), -1));
    text = qyb::steal(PyUnicode_Replace(text.ptr(), py::str("uuid:").ptr(), py::str("").ptr(), -1));
    Py_ssize_t start = 0;
    Py_ssize_t stop = PyUnicode_GET_LENGTH(text.ptr());
    auto brace = [&](Py_ssize_t i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(text.ptr(), i);
        return c == '{' || c == '}';
    };
    while (start < stop && brace(start)) {
        ++start;
    }
    while (stop > start && brace(stop - 1)) {
        --stop;
    }
    int digits = 0;
    bool good = true;
    for (Py_ssize_t i = start; i < stop && good; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(text.ptr(), i);
        if (c == '-') {
            continue;
        }
        good = is_hex_digit(c) && ++digits <= 32;
    }
    if (!good || digits != 32) {
        py::object cause = qyb::invoke(PyExc_ValueError, py::str("badly formed hexadecimal UUID string"));
        config_error_from(call, py::str("invalid client_id"), cause);
    }
}

// data[key] of the five-key dict, known to be present. Raw: a dict subclass is read as a dict,
// never through its own __getitem__.
py::object member(py::handle data, py::handle key) {
    PyObject* value = PyDict_GetItemWithError(data.ptr(), key.ptr());
    if (value == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_SetObject(PyExc_KeyError, key.ptr());
        }
        qyb::throw_error();
    }
    return py::reinterpret_borrow<py::object>(value);
}

void check_records(const qyb::Call& call, py::handle remotes) {
    py::object connection = call.global<"RemoteConnection">();
    // Raw: the items of a dict, as pairs of a known shape.
    py::object items = qyb::steal(PyDict_Items(remotes.ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        PyObject* pair = PyList_GET_ITEM(items.ptr(), i);
        py::handle alias = PyTuple_GET_ITEM(pair, 0);
        py::handle record = PyTuple_GET_ITEM(pair, 1);
        if (!PyDict_Check(record.ptr())) {
            config_error(call, "invalid remote record");
        }
        try {
            with_alias_call(connection, alias, record);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) {
                throw;
            }
            qyb::Except handling(e);
            config_error_from(call, with_text("invalid remote record: ", alias), e.value());
        }
    }
}

py::object config_load(const qyb::Call& call) {
    auto [self] = call.args<1>();
    py::object path = qyb::get(self, name<"path">());
    py::object size = file_size(call, path);
    if (size.is_none()) {
        return default_settings(call);
    }
    py::object limit = call.global<"MAX_CONFIG_BYTES">();
    if (qyb::compare(size, limit, Py_GT)) {
        config_error(call, "remote config is too large");
    }
    py::object data;
    try {
        py::object raw = read_file(call, path, limit);
        data = qyb::invoke(call.global<"loads_strict">(), raw, qyb::kw<"max_bytes">(limit));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) {
            throw;
        }
        qyb::Except handling(e);
        config_error_from(call, with_text("invalid remote config: ", e.value()), e.value());
    }

    static constexpr const char* kKeys[] = {"schema_version", "default_remote", "client_id",
                                            "client_name", "remotes"};
    bool schema = PyDict_Check(data.ptr()) && PyDict_GET_SIZE(data.ptr()) == 5;
    for (const char* key : kKeys) {
        schema = schema && qyb::check(PyDict_Contains(data.ptr(), py::str(key).ptr()));
    }
    if (!schema) {
        config_error(call, "invalid remote config schema");
    }

    py::object version = member(data, name<"schema_version">());
    if (!qyb::is_int(version) ||
        !qyb::equals(version, call.global<"_remote_config__SCHEMA_VERSION">())) {
        config_error(call, "unsupported remote config schema");
    }
    check_client_id(call, member(data, name<"client_id">()));
    if (!is_client_name(member(data, name<"client_name">()))) {
        config_error(call, "invalid client_name");
    }
    py::object remotes = member(data, name<"remotes">());
    if (!PyDict_Check(remotes.ptr()) || PyDict_GET_SIZE(remotes.ptr()) > 128) {
        config_error(call, "invalid remotes");
    }
    check_records(call, remotes);
    py::object chosen = member(data, name<"default_remote">());
    if (!chosen.is_none() &&
        (!PyUnicode_Check(chosen.ptr()) || !qyb::check(PyDict_Contains(remotes.ptr(), chosen.ptr())))) {
        config_error(call, "invalid default_remote");
    }
    return data;
}

}  // namespace

qyb::FunctionDef config_load_def() { return {.name = "_load", .params = {arg("self")}, .body = config_load}; }

namespace {

py::object save_json(const qyb::Call& call) {
    auto [self, value] = call.args<2>();
    qyb::invoke(call.global<"_remote_config___atomic_json">(), qyb::get(self, name<"path">()), value);
    return py::none();
}

}  // namespace

qyb::FunctionDef save_json_def(const char* method, const char* value) {
    return {.name = method, .params = {arg("self"), arg(value)}, .body = save_json};
}

namespace {

py::object config_record(const qyb::Call& call) {
    auto [connection] = call.args<1>();
    py::object record = qyb::invoke(call.global<"asdict">(), connection);
    qyb::check(PyObject_DelItem(record.ptr(), name<"alias">().ptr()));
    return record;
}

}  // namespace

qyb::FunctionDef config_record_def() {
    return {.name = "_record", .params = {arg("connection")}, .body = config_record};
}

// ---------------------------------------------------------------------------------------
// Replacing a written file

// CPython's open() on Windows does not share delete access, so while another process reads the
// target (a second client, a virus scanner or indexer looking at the new file) a replace onto it
// fails with PermissionError, and passes a moment later. As pip's own replace does, Windows
// retries every 0.05 s until a second after the first refusal, on the module's clock.
constexpr double kReplacePause = 0.05;
constexpr double kReplaceWait = 1.0;

void replace_file(const qyb::Call& call, py::handle source, py::handle target) {
    py::object os = call.global<"os">();
    std::optional<double> deadline;  // set at the first refusal
    for (;;) {
        try {
            qyb::call_method(os, name<"replace">(), source, target);
            return;
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_PermissionError)) {
                throw;
            }
            qyb::Except handling(e);
            if (!deadline) {
                if (!on_windows(call)) {
                    throw;
                }
                deadline = qyb::to_double(call.monotonic()) + kReplaceWait;
            } else if (qyb::to_double(call.monotonic()) >= *deadline) {
                throw;
            }
        }
        // The pause lets other threads run, but a signal that came during the replace would
        // otherwise wait for the whole retry.
        qyb::poll_round();
        qyb::call_method(call.global<"time">(), name<"sleep">(), py::float_(kReplacePause));
    }
}

}  // namespace settings

namespace {

// ---------------------------------------------------------------------------------------
// Atomic write

void write_all(py::handle os, py::handle fd, py::handle data) {
    py::object write = qyb::get(os, name<"write">());
    Py_ssize_t size = PyBytes_GET_SIZE(data.ptr());
    py::object view;
    for (Py_ssize_t done = 0; done < size;) {
        py::object part = py::reinterpret_borrow<py::object>(data);
        if (done > 0) {
            if (!view) {
                view = qyb::steal(PyMemoryView_FromObject(data.ptr()));
            }
            part = qyb::steal(PySequence_GetSlice(view.ptr(), done, size));
        }
        Py_ssize_t n = PyNumber_AsSsize_t(qyb::invoke(write, fd, part).ptr(), PyExc_OverflowError);
        if (n == -1 && PyErr_Occurred()) {
            qyb::throw_error();
        }
        if (n <= 0 || n > size - done) {
            qyb::raise(PyExc_OSError, "os.write() reported an impossible byte count");
        }
        done += n;
    }
}

py::object atomic_json(const qyb::Call& call) {
    using remote::settings::config_error;
    auto [path_given, value] = call.args<2>();
    py::object path = qyb::invoke(call.global<"Path">(), path_given);
    py::object directory = qyb::get(path, name<"parent">());
    qyb::call_method(directory, name<"mkdir">(), qyb::kw<"parents">(py::bool_(true)),
                     qyb::kw<"exist_ok">(py::bool_(true)));

    py::object text = qyb::call_method(call.global<"json">(), name<"dumps">(), value,
                                       qyb::kw<"ensure_ascii">(py::bool_(false)),
                                       qyb::kw<"indent">(qyb::int_constant<2>()),
                                       qyb::kw<"allow_nan">(py::bool_(false)));
    py::object data = qyb::steal(PyUnicode_AsUTF8String(text.ptr()));
    py::object size = qyb::steal(PyLong_FromSsize_t(PyBytes_GET_SIZE(data.ptr())));
    if (qyb::compare(size, call.global<"MAX_CONFIG_BYTES">(), Py_GT)) {
        config_error(call, "configuration is too large");
    }

    py::object os = call.global<"os">();
    py::object prefix = qyb::steal(PyUnicode_FromFormat(
        "%U.", qyb::steal(PyObject_Str(qyb::get(path, name<"name">()).ptr())).ptr()));
    py::object made = qyb::call_method(call.global<"tempfile">(), name<"mkstemp">(), qyb::kw<"prefix">(prefix),
                                       qyb::kw<"dir">(directory));
    auto [fd, temporary] = qyb::unpack_pair(made);
    bool open = true;
    try {
        write_all(os, fd, data);
        qyb::call_method(os, name<"fsync">(), fd);
        open = false;
        qyb::call_method(os, name<"close">(), fd);
        settings::replace_file(call, temporary, path);
    } catch (std::exception&) {
        qyb::Except failure;
        // Closed first: on Windows an open file can be neither moved nor deleted. A failed
        // removal is raised instead of the failure, which it carries as its context.
        if (open) {
            try {
                qyb::call_method(os, name<"close">(), fd);
            } catch (py::error_already_set&) {
                // The failure that brought us here is the one to report.
            }
        }
        try {
            qyb::call_method(os, name<"unlink">(), temporary);
        } catch (py::error_already_set& replacement) {
            if (!replacement.matches(PyExc_FileNotFoundError)) {
                throw;
            }
        }
        failure.reraise();
    }
    // After the move the temporary name is gone; anything else left under it is removed.
    try {
        qyb::call_method(os, name<"unlink">(), temporary);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_FileNotFoundError)) {
            throw;
        }
    }
    return py::none();
}

qyb::FunctionDef atomic_json_def() {
    return {.name = "_remote_config___atomic_json", .params = {arg("path", "Path"), arg("value")}, .body = atomic_json};
}

}  // namespace

void define_atomic_json(qyb::Part& p) { p.def(atomic_json_def()); }

}  // namespace remote
