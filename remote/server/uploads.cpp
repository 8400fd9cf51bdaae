// Upload store of the gateway: streams request bodies to disk under a root of its own, checks
// their size and SHA-256, and gives each upload back only to the token that stored it.
#include "qyb/python.h"

#include <algorithm>

#include "parts.h"

namespace remote {
namespace {

namespace py = pybind11;
using qyb::arg;
using qyb::kwonly;
using qyb::name;

constexpr Py_ssize_t kChunk = 1048576;  // largest single read of a body
constexpr Py_ssize_t kMaxNameChars = 255;
constexpr const char kPrefix[] = "artifact://";
constexpr Py_ssize_t kPrefixChars = sizeof(kPrefix) - 1;

using qyb::call_method;
using qyb::check;
using qyb::compare;
using qyb::equals;
using qyb::get;
using qyb::invoke;
using qyb::set;
using qyb::steal;
using qyb::truthy;

[[noreturn]] void refuse(const qyb::Call& call, const char* message) {
    py::object error = call.global<"RemoteResourceError">();
    qyb::raise(error.ptr(), message);
}

// Runs `body` holding the store's lock, as `with self._lock:` does.
template <class F>
py::object with_lock(py::handle self, F&& body) {
    py::object lock = get(self, name<"_lock">());
    py::object release = get(lock, name<"release">());
    call_method(lock, name<"acquire">());
    return qyb::finally([&]() -> py::object { return body(); }, [&] { invoke(release); });
}

// An upload directory that cannot be removed (not empty, already gone) simply stays.
void remove_directory(py::handle directory) {
    try {
        call_method(directory, name<"rmdir">());
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) {
            throw;
        }
    }
}

// Unlinks an upload's file, a missing one being fine, then its directory.
void remove_upload(py::handle path) {
    call_method(path, name<"unlink">(), qyb::kw<"missing_ok">(py::bool_(true)));
    remove_directory(get(path, name<"parent">()));
}

// ---------------------------------------------------------------------------------------
// File-name rule

// Longest single name the file system takes: 255 bytes on the usual POSIX file systems,
// 255 UTF-16 units on NTFS.
constexpr Py_ssize_t kMaxNameUnits = 255;

// The length of `name` in the file system's own units. POSIX counts the bytes of the
// file-system encoding, as the path reaches the kernel; a name that encoding cannot hold (a
// lone surrogate outside the escaped bytes) is measured with those characters replaced, since
// no open can succeed with it anyway. Windows counts UTF-16 units.
Py_ssize_t name_units(py::handle name, bool windows) {
    if (windows) {
        const Py_ssize_t chars = PyUnicode_GET_LENGTH(name.ptr());
        Py_ssize_t units = chars;
        for (Py_ssize_t i = 0; i < chars; ++i) {
            if (PyUnicode_READ_CHAR(name.ptr(), i) > 0xFFFF) {
                ++units;
            }
        }
        return units;
    }
    // Raw: an encoding error is an answer, told apart before anything is thrown.
    PyObject* encoded = PyUnicode_EncodeFSDefault(name.ptr());
    if (encoded == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
            qyb::throw_error();
        }
        PyErr_Clear();
        encoded = PyUnicode_AsEncodedString(name.ptr(), Py_FileSystemDefaultEncoding, "replace");
    }
    return PyBytes_GET_SIZE(steal(encoded).ptr());
}

// Characters that Windows does not take in a file name: ":" would name an alternate data
// stream of the file before it (whose removal at expiry leaves the file behind), the others
// fail in the file system. NUL and the separators are refused on every platform.
bool holds_windows_reserved(py::handle name) {
    const Py_ssize_t chars = PyUnicode_GET_LENGTH(name.ptr());
    for (Py_ssize_t i = 0; i < chars; ++i) {
        const Py_UCS4 c = PyUnicode_READ_CHAR(name.ptr(), i);
        if (c < 32 || c == ':' || c == '<' || c == '>' || c == '"' || c == '|' || c == '?' || c == '*') {
            return true;
        }
    }
    return false;
}

// Windows drops a trailing dot or space from a name: "a.txt." would be stored as "a.txt", and
// "..." or " " would name the upload directory itself.
bool ends_as_windows_drops(py::handle name) {
    const Py_UCS4 last = PyUnicode_READ_CHAR(name.ptr(), PyUnicode_GET_LENGTH(name.ptr()) - 1);
    return last == '.' || last == ' ';
}

py::object store_filename(const qyb::Call& call) {
    auto [value] = call.args<1>();
    if (!PyUnicode_Check(value.ptr())) {
        refuse(call, "upload filename is required");
    }
    py::object slashed = steal(PyUnicode_Replace(value.ptr(), py::str("\\").ptr(), py::str("/").ptr(), -1));
    py::object path_type = call.global<"Path">();
    py::object last = get(invoke(path_type, slashed), name<"name">());
    if (!PyUnicode_Check(last.ptr())) {
        refuse(call, "invalid upload filename");
    }
    Py_ssize_t chars = PyUnicode_GET_LENGTH(last.ptr());
    bool bad = chars == 0 || chars > kMaxNameChars ||
               PyUnicode_CompareWithASCIIString(last.ptr(), ".") == 0 ||
               PyUnicode_CompareWithASCIIString(last.ptr(), "..") == 0 ||
               PyUnicode_FindChar(last.ptr(), 0, 0, chars, 1) != -1;
    if (!bad) {
        const bool windows = on_windows(call);
        bad = name_units(last, windows) > kMaxNameUnits ||
              (windows && (holds_windows_reserved(last) || ends_as_windows_drops(last)));
    }
    if (!bad) {
        // Joined to the upload directory, the name must stay its last component. On Windows a
        // later component such as "c:x" would be read as a drive and leave the directory, and a
        // device name (CON, NUL, COM1, ...) would reach the device instead of a file.
        py::object alone = invoke(path_type, last);
        bad = !compare(get(alone, name<"name">()), last, Py_EQ) || truthy(call_method(alone, name<"is_reserved">()));
    }
    if (bad) {
        refuse(call, "invalid upload filename");
    }
    return last;
}

qyb::FunctionDef store_filename_def() {
    return {.name = "_filename", .params = {arg("value", "str")}, .returns = "str", .body = store_filename};
}

// ---------------------------------------------------------------------------------------
// Constructor

py::object store_init(const qyb::Call& call) {
    auto [self, root, ttl, max_bytes, max_uploads] = call.args<5>();
    py::object chosen;
    if (truthy(root)) {
        chosen = py::reinterpret_borrow<py::object>(root);
    } else {
        py::object temp = call_method(call.global<"tempfile">(), name<"gettempdir">());
        py::object base = invoke(call.global<"Path">(), temp);
        chosen = steal(PyNumber_TrueDivide(base.ptr(), py::str("qybridge4-remote-uploads").ptr()));
    }
    set(self, name<"root">(), chosen);
    set(self, name<"ttl">(), ttl);
    set(self, name<"max_bytes">(), max_bytes);
    set(self, name<"max_uploads">(), max_uploads);
    set(self, name<"_lock">(), call_method(call.global<"threading">(), name<"RLock">()));
    set(self, name<"_items">(), py::dict());
    return py::none();
}

// The limits' defaults are the module's constants, read when the class is made.
qyb::FunctionDef store_init_def(qyb::Part& p) {
    return {.name = "__init__",
            .params = {arg("self"), arg("root", "Path | None", py::none()),
                       kwonly("ttl", "float", p.get("UPLOAD_TTL_SECONDS")),
                       kwonly("max_bytes", "int", p.get("MAX_UPLOAD_BYTES")),
                       kwonly("max_uploads", "int", p.get("MAX_UPLOADS"))},
            .body = store_init};
}

// ---------------------------------------------------------------------------------------
// put

bool is_sha256_text(py::handle value) {
    if (!PyUnicode_Check(value.ptr()) || PyUnicode_GET_LENGTH(value.ptr()) != 64) {
        return false;
    }
    for (Py_ssize_t i = 0; i < 64; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(value.ptr(), i);
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

// The hot loop's callables, looked up once per upload.
struct Sink {
    py::object fd;
    py::object write;   // os.write
    py::object update;  // the digest's update
};

py::object slice(py::handle view, Py_ssize_t start, Py_ssize_t stop) {
    return steal(PySequence_GetSlice(view.ptr(), start, stop));
}

// Writes all `size` bytes of `chunk` (os.write may write fewer than asked), then hashes them.
void consume_chunk(const Sink& sink, py::handle chunk, Py_ssize_t size) {
    py::object view;
    for (Py_ssize_t done = 0; done < size;) {
        py::handle part = chunk;
        py::object rest;
        if (done > 0) {
            if (!view) {
                view = steal(PyMemoryView_FromObject(chunk.ptr()));
            }
            rest = slice(view, done, size);
            part = rest;
        }
        py::object wrote = invoke(sink.write, sink.fd, part);
        Py_ssize_t n = PyLong_AsSsize_t(wrote.ptr());
        if (n == -1 && PyErr_Occurred()) {
            qyb::throw_error();
        }
        if (n <= 0 || n > size - done) {
            qyb::raise(PyExc_OSError, "os.write() reported an impossible byte count");
        }
        done += n;
    }
    invoke(sink.update, chunk);
}

[[noreturn]] void too_many_bytes() {
    qyb::raise(PyExc_OSError, "upload stream returned more bytes than were asked for");
}

// Copies exactly `length` bytes of `stream`, in reads of at most kChunk. A stream with readinto
// fills one reused buffer; any other gets read() calls, whose chunks go on unchanged.
void copy_body(const qyb::Call& call, const Sink& sink, py::handle stream, Py_ssize_t length) {
    py::object into = get(stream, name<"readinto">(), py::none());
    Py_ssize_t remaining = length;

    if (PyCallable_Check(into.ptr())) {
        Py_ssize_t capacity = std::min(length, kChunk);
        py::object buffer = steal(PyByteArray_FromStringAndSize(nullptr, capacity));
        py::object whole = steal(PyMemoryView_FromObject(buffer.ptr()));
        while (remaining > 0) {
            Py_ssize_t want = std::min(remaining, kChunk);
            py::object target = want == capacity ? whole : slice(whole, 0, want);
            py::object got = invoke(into, target);
            Py_ssize_t n = 0;
            if (!got.is_none()) {
                n = PyNumber_AsSsize_t(got.ptr(), PyExc_OverflowError);
                if (n == -1 && PyErr_Occurred()) {
                    qyb::throw_error();
                }
            }
            if (n == 0) {
                refuse(call, "upload body ended early");
            }
            if (n < 0 || n > want) {
                too_many_bytes();
            }
            consume_chunk(sink, n == capacity ? whole : slice(whole, 0, n), n);
            remaining -= n;
        }
        return;
    }

    py::object read = get(stream, name<"read">());
    while (remaining > 0) {
        Py_ssize_t want = std::min(remaining, kChunk);
        py::object chunk = invoke(read, py::int_(want));
        if (!truthy(chunk)) {
            refuse(call, "upload body ended early");
        }
        Py_buffer view;
        check(PyObject_GetBuffer(chunk.ptr(), &view, PyBUF_SIMPLE));
        Py_ssize_t n = view.len;
        PyBuffer_Release(&view);
        if (n > want) {
            too_many_bytes();
        }
        consume_chunk(sink, chunk, n);
        remaining -= n;
    }
}

long os_flag(py::handle os, const char* flag) {
    py::object value = get(os, py::str(flag), qyb::int_constant<0>());
    long v = PyLong_AsLong(value.ptr());
    if (v == -1 && PyErr_Occurred()) {
        qyb::throw_error();
    }
    return v;
}

// The part of put that runs under the lock: clean-up, count limit, directory, body, record.
py::object put_locked(const qyb::Call& call, py::handle self, py::handle owner, py::handle filename,
                      py::handle stream, py::handle length_obj, Py_ssize_t length,
                      py::handle expected) {
    call_method(self, name<"cleanup">());
    py::object items = get(self, name<"_items">());
    Py_ssize_t held = PyObject_Size(items.ptr());
    if (held < 0) {
        qyb::throw_error();
    }
    if (compare(py::int_(held), get(self, name<"max_uploads">()), Py_GE)) {
        refuse(call, "upload store is full");
    }

    py::object upload_id = get(call_method(call.global<"uuid">(), name<"uuid4">()), name<"hex">());
    py::object root = get(self, name<"root">());
    call_method(root, name<"mkdir">(), qyb::kw<"parents">(py::bool_(true)), qyb::kw<"exist_ok">(py::bool_(true)));
    py::object directory = steal(PyNumber_TrueDivide(root.ptr(), upload_id.ptr()));
    call_method(directory, name<"mkdir">());
    py::object path = steal(PyNumber_TrueDivide(directory.ptr(), filename.ptr()));
    py::object digest = call_method(call.global<"hashlib">(), name<"sha256">());
    py::object os = call.global<"os">();
    Sink sink{py::object(), get(os, name<"write">()), get(digest, name<"update">())};
    // Exclusive creation of a binary file, as open(path, "xb") makes it.
    long flags = os_flag(os, "O_WRONLY") | os_flag(os, "O_CREAT") | os_flag(os, "O_EXCL") |
                 os_flag(os, "O_BINARY");

    bool created = false;
    bool open = false;
    bool entered = false;
    try {
        sink.fd = call_method(os, name<"open">(), path, py::int_(flags), py::int_(0666));
        created = open = true;
        copy_body(call, sink, stream, length);
        // os.write keeps nothing buffered in the process: syncing the descriptor is the flush.
        call_method(os, name<"fsync">(), sink.fd);
        open = false;
        call_method(os, name<"close">(), sink.fd);

        py::object actual = call_method(digest, name<"hexdigest">());
        if (!expected.is_none() && compare(expected, actual, Py_NE)) {
            refuse(call, "upload SHA-256 mismatch");
        }
        py::object now = call_method(call.global<"time">(), name<"time">());
        py::object expires_at = steal(PyNumber_Add(now.ptr(), get(self, name<"ttl">()).ptr()));
        py::object record =
            invoke(call.global<"UploadedFile">(), upload_id, owner, filename, path, length_obj, actual, expires_at);
        qyb::set_item(items, upload_id, record);
        entered = true;
        py::object timer_type = get(call.global<"threading">(), name<"Timer">());
        py::object ttl = get(self, name<"ttl">());
        py::object expire = get(self, name<"_expire">());
        py::object timer = invoke(timer_type, ttl, expire, qyb::kw<"args">(py::make_tuple(upload_id)));
        set(timer, name<"daemon">(), py::bool_(true));
        call_method(timer, name<"start">());
        return record;
    } catch (std::exception&) {
        qyb::Except failure;
        if (open) {
            try {
                call_method(os, name<"close">(), sink.fd);
            } catch (py::error_already_set&) {
                // The failure that brought us here is the one to report.
            }
        }
        if (entered) {
            // A record whose file is about to go must not be handed out.
            try {
                call_method(items, name<"pop">(), upload_id, py::none());
            } catch (py::error_already_set&) {
            }
        }
        // Only a file this call created is removed: when the name itself cannot be opened (too
        // long for the file system, say), unlinking it would fail the same way and keep the
        // directory from going. A failed unlink is raised in place of the failure, chained to it.
        qyb::finally(
            [&] {
                if (created) {
                    call_method(path, name<"unlink">(), qyb::kw<"missing_ok">(py::bool_(true)));
                }
            },
            [&] { remove_directory(directory); });
        failure.reraise();
    }
}

py::object store_put(const qyb::Call& call) {
    auto [self, owner, filename_given, stream, length_obj, expected] = call.args<6>();
    py::object filename = call_method(self, name<"_filename">(), filename_given);
    if (!PyLong_CheckExact(length_obj.ptr()) || !compare(length_obj, py::int_(0), Py_GT) ||
        !compare(length_obj, get(self, name<"max_bytes">()), Py_LE)) {
        refuse(call, "invalid upload size");
    }
    if (!expected.is_none() && !is_sha256_text(expected)) {
        refuse(call, "invalid upload SHA-256");
    }
    Py_ssize_t length = PyLong_AsSsize_t(length_obj.ptr());
    if (length == -1 && PyErr_Occurred()) {
        qyb::throw_error();
    }
    return with_lock(self, [&] {
        return put_locked(call, self, owner, filename, stream, length_obj, length, expected);
    });
}

qyb::FunctionDef store_put_def() {
    return {.name = "put",
            .params = {arg("self"), arg("owner", "str"), arg("filename", "str"), arg("stream", "BinaryIO"),
                       arg("length", "int"), arg("expected_sha256", "str | None", py::none())},
            .returns = "UploadedFile",
            .body = store_put};
}

// ---------------------------------------------------------------------------------------
// resolve, consume, cleanup, _expire

py::object store_resolve(const qyb::Call& call) {
    auto [self, owner, reference] = call.args<3>();
    if (!PyUnicode_Check(reference.ptr()) ||
        PyUnicode_Tailmatch(reference.ptr(), py::str(kPrefix).ptr(), 0, PY_SSIZE_T_MAX, -1) != 1) {
        refuse(call, "invalid upload reference");
    }
    py::object upload_id = steal(PyUnicode_Substring(reference.ptr(), kPrefixChars, PY_SSIZE_T_MAX));
    return with_lock(self, [&] {
        call_method(self, name<"cleanup">());
        py::object record = call_method(get(self, name<"_items">()), name<"get">(), upload_id);
        if (record.is_none() || compare(get(record, name<"owner">()), owner, Py_NE)) {
            refuse(call, "upload not found");
        }
        return record;
    });
}

qyb::FunctionDef store_resolve_def() {
    return {.name = "resolve",
            .params = {arg("self"), arg("owner", "str"), arg("reference", "str")},
            .returns = "UploadedFile",
            .body = store_resolve};
}

py::object store_consume(const qyb::Call& call) {
    auto [self, owner, reference] = call.args<3>();
    py::object record = call_method(self, name<"resolve">(), owner, reference);
    return with_lock(self, [&] {
        call_method(get(self, name<"_items">()), name<"pop">(), get(record, name<"upload_id">()), py::none());
        remove_upload(get(record, name<"path">()));
        return py::none();
    });
}

qyb::FunctionDef store_consume_def() {
    return {.name = "consume",
            .params = {arg("self"), arg("owner", "str"), arg("reference", "str")},
            .returns = "None",
            .body = store_consume};
}

// Callers hold the lock.
py::object store_cleanup(const qyb::Call& call) {
    auto [self] = call.args<1>();
    py::object now = call_method(call.global<"time">(), name<"time">());
    py::object items = get(self, name<"_items">());
    py::list expired;
    for (py::handle entry : call_method(items, name<"items">())) {
        py::object key = qyb::item(entry, qyb::int_constant<0>());
        py::object record = qyb::item(entry, qyb::int_constant<1>());
        if (compare(get(record, name<"expires_at">()), now, Py_LE)) {
            expired.append(key);
        }
    }
    for (py::handle upload_id : expired) {
        py::object record = call_method(items, name<"pop">(), upload_id);
        remove_upload(get(record, name<"path">()));
    }
    return py::none();
}

qyb::FunctionDef store_cleanup_def() {
    return {.name = "cleanup", .params = {arg("self")}, .returns = "None", .body = store_cleanup};
}

// A timer's removal; the timer itself is the measure of the time, so expires_at is not read.
py::object store_expire(const qyb::Call& call) {
    auto [self, upload_id] = call.args<2>();
    return with_lock(self, [&] {
        py::object record = call_method(get(self, name<"_items">()), name<"pop">(), upload_id, py::none());
        if (!record.is_none()) {
            remove_upload(get(record, name<"path">()));
        }
        return py::none();
    });
}

qyb::FunctionDef store_expire_def() {
    return {.name = "_expire",
            .params = {arg("self"), arg("upload_id", "str")},
            .returns = "None",
            .body = store_expire};
}

}  // namespace

void define_uploads(qyb::Part& p) {
    p.bind("RemoteResourceError",
           qyb::make_exception(p.module(), "RemoteResourceError", PyExc_RuntimeError));

    qyb::ClassBuilder record(p.module(), "UploadedFile");
    record.field("upload_id", "str")
        .field("owner", "str")
        .field("filename", "str")
        .field("path", "Path")
        .field("size", "int")
        .field("sha256", "str")
        .field("expires_at", "float");
    py::object frozen = invoke(p.get("dataclass"), qyb::kw<"frozen">(py::bool_(true)));
    p.bind("UploadedFile", invoke(frozen, record.build()));

    qyb::ClassBuilder store(p.module(), "UploadStore");
    store.doc("Stores uploads outside the repository and never trusts client paths.")
        .method(store_init_def(p))
        .method(store_put_def())
        .method(store_resolve_def())
        .method(store_consume_def())
        .method(store_cleanup_def())
        .method(store_expire_def())
        .static_method(store_filename_def());
    p.bind_class(store);
}

}  // namespace remote
