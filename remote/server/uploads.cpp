// Upload store of the gateway: streams request bodies to disk under a root of its own, checks
// their size and SHA-256, and gives each upload back only to the token that stored it.
#include "qyb/python.h"

#include <algorithm>
#include <exception>

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

using qyb::steal;
using qyb::check;
using qyb::truthy;

using qyb::compare;
using qyb::equals;
using qyb::get;

[[noreturn]] void refuse(const qyb::Call& call, const char* message) {
    py::object error = call.global<"RemoteResourceError">();
    qyb::raise(error.ptr(), message);
}

// Runs `body` holding the store's lock, as `with self._lock:` does.
template <class F>
py::object with_lock(py::handle self, F&& body) {
    py::object lock = self.attr(name<"_lock">());
    py::object release = lock.attr(name<"release">());
    lock.attr(name<"acquire">())();
    py::object result;
    try {
        result = body();
    } catch (std::exception&) {
        release();
        throw;
    }
    release();
    return result;
}

// An upload directory that cannot be removed (not empty, already gone) simply stays.
void remove_directory(py::handle directory) {
    try {
        directory.attr(name<"rmdir">())();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) {
            throw;
        }
    }
}

// Unlinks an upload's file, a missing one being fine, then its directory.
void remove_upload(py::handle path) {
    path.attr(name<"unlink">())(py::arg("missing_ok") = true);
    remove_directory(path.attr(name<"parent">()));
}

// ---------------------------------------------------------------------------------------
// File-name rule

// Longest single name the file system takes: 255 bytes on the usual POSIX file systems,
// 255 UTF-16 units on NTFS.
constexpr Py_ssize_t kMaxNameUnits = 255;

// Whether names follow Windows' rules, decided by the `os` the module sees now.
bool windows_names(const qyb::Call& call) {
    return equals(get(call.global<"os">(), qyb::name<"name">()), qyb::name<"nt">());
}

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

py::object store_filename(const qyb::Call& call) {
    py::handle value = call[0];
    if (!PyUnicode_Check(value.ptr())) {
        refuse(call, "upload filename is required");
    }
    py::object slashed = steal(PyUnicode_Replace(value.ptr(), py::str("\\").ptr(), py::str("/").ptr(), -1));
    py::object path_type = call.global<"Path">();
    py::object last = path_type(slashed).attr(name<"name">());
    if (!PyUnicode_Check(last.ptr())) {
        refuse(call, "invalid upload filename");
    }
    Py_ssize_t chars = PyUnicode_GET_LENGTH(last.ptr());
    bool bad = chars == 0 || chars > kMaxNameChars ||
               PyUnicode_CompareWithASCIIString(last.ptr(), ".") == 0 ||
               PyUnicode_CompareWithASCIIString(last.ptr(), "..") == 0 ||
               PyUnicode_FindChar(last.ptr(), 0, 0, chars, 1) != -1;
    if (!bad) {
        const bool windows = windows_names(call);
        bad = name_units(last, windows) > kMaxNameUnits || (windows && holds_windows_reserved(last));
    }
    if (!bad) {
        // Joined to the upload directory, the name must stay its last component. On Windows a
        // later component such as "c:x" would be read as a drive and leave the directory, and a
        // device name (CON, NUL, COM1, ...) would reach the device instead of a file.
        py::object alone = path_type(last);
        bad = !compare(alone.attr(name<"name">()), last, Py_EQ) ||
              truthy(alone.attr(name<"is_reserved">())());
    }
    if (bad) {
        refuse(call, "invalid upload filename");
    }
    return last;
}

// ---------------------------------------------------------------------------------------
// Constructor

py::object store_init(const qyb::Call& call) {
    py::handle self = call[0];
    py::handle root = call[1];
    py::object chosen;
    if (truthy(root)) {
        chosen = py::reinterpret_borrow<py::object>(root);
    } else {
        py::object temp = call.global<"tempfile">().attr(name<"gettempdir">())();
        py::object base = call.global<"Path">()(temp);
        chosen = steal(PyNumber_TrueDivide(base.ptr(), py::str("qybridge4-remote-uploads").ptr()));
    }
    self.attr(name<"root">()) = chosen;
    self.attr(name<"ttl">()) = call[2];
    self.attr(name<"max_bytes">()) = call[3];
    self.attr(name<"max_uploads">()) = call[4];
    self.attr(name<"_lock">()) = call.global<"threading">().attr(name<"RLock">())();
    self.attr(name<"_items">()) = py::dict();
    return py::none();
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
        PyObject* args[] = {sink.fd.ptr(), part.ptr()};
        py::object wrote = steal(PyObject_Vectorcall(sink.write.ptr(), args, 2, nullptr));
        Py_ssize_t n = PyLong_AsSsize_t(wrote.ptr());
        if (n == -1 && PyErr_Occurred()) {
            qyb::throw_error();
        }
        if (n <= 0 || n > size - done) {
            qyb::raise(PyExc_OSError, "os.write() reported an impossible byte count");
        }
        done += n;
    }
    steal(PyObject_CallOneArg(sink.update.ptr(), chunk.ptr()));
}

[[noreturn]] void too_many_bytes() {
    qyb::raise(PyExc_OSError, "upload stream returned more bytes than were asked for");
}

// Copies exactly `length` bytes of `stream`, in reads of at most kChunk. A stream with readinto
// fills one reused buffer; any other gets read() calls, whose chunks go on unchanged.
void copy_body(const qyb::Call& call, const Sink& sink, py::handle stream, Py_ssize_t length) {
    PyObject* readinto = PyObject_GetAttr(stream.ptr(), name<"readinto">().ptr());
    if (readinto == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            qyb::throw_error();
        }
        PyErr_Clear();
    }
    py::object into = py::reinterpret_steal<py::object>(readinto);
    Py_ssize_t remaining = length;

    if (into && PyCallable_Check(into.ptr())) {
        Py_ssize_t capacity = std::min(length, kChunk);
        py::object buffer = steal(PyByteArray_FromStringAndSize(nullptr, capacity));
        py::object whole = steal(PyMemoryView_FromObject(buffer.ptr()));
        while (remaining > 0) {
            Py_ssize_t want = std::min(remaining, kChunk);
            py::object target = want == capacity ? whole : slice(whole, 0, want);
            py::object got = steal(PyObject_CallOneArg(into.ptr(), target.ptr()));
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

    py::object read = stream.attr(name<"read">());
    while (remaining > 0) {
        Py_ssize_t want = std::min(remaining, kChunk);
        py::object chunk = steal(PyObject_CallOneArg(read.ptr(), py::int_(want).ptr()));
        if (!truthy(chunk)) {
            refuse(call, "upload body ended early");
        }
        Py_buffer view;
        if (PyObject_GetBuffer(chunk.ptr(), &view, PyBUF_SIMPLE) < 0) {
            qyb::throw_error();
        }
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
    py::object value = py::getattr(os, flag, py::int_(0));
    long v = PyLong_AsLong(value.ptr());
    if (v == -1 && PyErr_Occurred()) {
        qyb::throw_error();
    }
    return v;
}

// Sets `original` (when it is a Python error) as the context of `replacement`, as raising
// inside an except clause does.
void chain_context(py::error_already_set& replacement, const std::exception_ptr& original) {
    try {
        std::rethrow_exception(original);
    } catch (py::error_already_set& e) {
        if (replacement.value() && e.value()) {
            PyException_SetContext(replacement.value().ptr(), e.value().inc_ref().ptr());
        }
    } catch (std::exception&) {
    }
}

// The part of put that runs under the lock: clean-up, count limit, directory, body, record.
py::object put_locked(const qyb::Call& call, py::handle self, py::handle owner, py::handle filename,
                      py::handle stream, py::handle length_obj, Py_ssize_t length,
                      py::handle expected) {
    self.attr(name<"cleanup">())();
    py::object items = self.attr(name<"_items">());
    Py_ssize_t held = PyObject_Size(items.ptr());
    if (held < 0) {
        qyb::throw_error();
    }
    if (compare(py::int_(held), self.attr(name<"max_uploads">()), Py_GE)) {
        refuse(call, "upload store is full");
    }

    py::object upload_id = call.global<"uuid">().attr(name<"uuid4">())().attr(name<"hex">());
    py::object root = self.attr(name<"root">());
    root.attr(name<"mkdir">())(py::arg("parents") = true, py::arg("exist_ok") = true);
    py::object directory = steal(PyNumber_TrueDivide(root.ptr(), upload_id.ptr()));
    directory.attr(name<"mkdir">())();
    py::object path = steal(PyNumber_TrueDivide(directory.ptr(), filename.ptr()));
    py::object digest = call.global<"hashlib">().attr(name<"sha256">())();
    py::object os = call.global<"os">();
    Sink sink{py::object(), os.attr(name<"write">()), digest.attr(name<"update">())};
    // Exclusive creation of a binary file, as open(path, "xb") makes it.
    long flags = os_flag(os, "O_WRONLY") | os_flag(os, "O_CREAT") | os_flag(os, "O_EXCL") |
                 os_flag(os, "O_BINARY");

    bool created = false;
    bool open = false;
    bool entered = false;
    try {
        sink.fd = os.attr(name<"open">())(path, flags, 0666);
        created = open = true;
        copy_body(call, sink, stream, length);
        // os.write keeps nothing buffered in the process: syncing the descriptor is the flush.
        os.attr(name<"fsync">())(sink.fd);
        open = false;
        os.attr(name<"close">())(sink.fd);

        py::object actual = digest.attr(name<"hexdigest">())();
        if (!expected.is_none() && compare(expected, actual, Py_NE)) {
            refuse(call, "upload SHA-256 mismatch");
        }
        py::object now = call.global<"time">().attr(name<"time">())();
        py::object expires_at = steal(PyNumber_Add(now.ptr(), self.attr(name<"ttl">()).ptr()));
        py::object record = call.global<"UploadedFile">()(upload_id, owner, filename, path,
                                                          length_obj, actual, expires_at);
        if (PyObject_SetItem(items.ptr(), upload_id.ptr(), record.ptr()) < 0) {
            qyb::throw_error();
        }
        entered = true;
        py::object timer = call.global<"threading">().attr(name<"Timer">())(
            self.attr(name<"ttl">()), self.attr(name<"_expire">()),
            py::arg("args") = py::make_tuple(upload_id));
        timer.attr(name<"daemon">()) = true;
        timer.attr(name<"start">())();
        return record;
    } catch (std::exception&) {
        std::exception_ptr original = std::current_exception();
        if (open) {
            try {
                os.attr(name<"close">())(sink.fd);
            } catch (py::error_already_set&) {
                // The failure that brought us here is the one to report.
            }
        }
        if (entered) {
            // A record whose file is about to go must not be handed out.
            try {
                items.attr(name<"pop">())(upload_id, py::none());
            } catch (py::error_already_set&) {
            }
        }
        // Only a file this call created is removed: when the name itself cannot be opened (too
        // long for the file system, say), unlinking it would fail the same way and keep the
        // directory from going.
        if (created) {
            try {
                path.attr(name<"unlink">())(py::arg("missing_ok") = true);
            } catch (py::error_already_set& replacement) {
                chain_context(replacement, original);
                remove_directory(directory);
                throw;
            }
        }
        remove_directory(directory);
        throw;
    }
}

py::object store_put(const qyb::Call& call) {
    py::handle self = call[0];
    py::object filename = self.attr(name<"_filename">())(call[2]);
    py::handle length_obj = call[4];
    if (!PyLong_CheckExact(length_obj.ptr()) || !compare(length_obj, py::int_(0), Py_GT) ||
        !compare(length_obj, self.attr(name<"max_bytes">()), Py_LE)) {
        refuse(call, "invalid upload size");
    }
    py::handle expected = call[5];
    if (!expected.is_none() && !is_sha256_text(expected)) {
        refuse(call, "invalid upload SHA-256");
    }
    Py_ssize_t length = PyLong_AsSsize_t(length_obj.ptr());
    if (length == -1 && PyErr_Occurred()) {
        qyb::throw_error();
    }
    return with_lock(self, [&] {
        return put_locked(call, self, call[1], filename, call[3], length_obj, length, expected);
    });
}

// ---------------------------------------------------------------------------------------
// resolve, consume, cleanup, _expire

py::object store_resolve(const qyb::Call& call) {
    py::handle self = call[0];
    py::handle owner = call[1];
    py::handle reference = call[2];
    if (!PyUnicode_Check(reference.ptr()) ||
        PyUnicode_Tailmatch(reference.ptr(), py::str(kPrefix).ptr(), 0, PY_SSIZE_T_MAX, -1) != 1) {
        refuse(call, "invalid upload reference");
    }
    py::object upload_id = steal(PyUnicode_Substring(reference.ptr(), kPrefixChars, PY_SSIZE_T_MAX));
    return with_lock(self, [&] {
        self.attr(name<"cleanup">())();
        py::object record = self.attr(name<"_items">()).attr(name<"get">())(upload_id);
        if (record.is_none() || compare(record.attr(name<"owner">()), owner, Py_NE)) {
            refuse(call, "upload not found");
        }
        return record;
    });
}

py::object store_consume(const qyb::Call& call) {
    py::handle self = call[0];
    py::object record = self.attr(name<"resolve">())(call[1], call[2]);
    return with_lock(self, [&] {
        self.attr(name<"_items">()).attr(name<"pop">())(record.attr(name<"upload_id">()), py::none());
        remove_upload(record.attr(name<"path">()));
        return py::none();
    });
}

// Callers hold the lock.
py::object store_cleanup(const qyb::Call& call) {
    py::handle self = call[0];
    py::object now = call.global<"time">().attr(name<"time">())();
    py::object items = self.attr(name<"_items">());
    py::list expired;
    for (py::handle entry : items.attr(name<"items">())()) {
        py::object key = entry[py::int_(0)];
        py::object record = entry[py::int_(1)];
        if (compare(record.attr(name<"expires_at">()), now, Py_LE)) {
            expired.append(key);
        }
    }
    for (py::handle upload_id : expired) {
        py::object record = items.attr(name<"pop">())(upload_id);
        remove_upload(record.attr(name<"path">()));
    }
    return py::none();
}

// A timer's removal; the timer itself is the measure of the time, so expires_at is not read.
py::object store_expire(const qyb::Call& call) {
    py::handle self = call[0];
    return with_lock(self, [&] {
        py::object record = self.attr(name<"_items">()).attr(name<"pop">())(call[1], py::none());
        if (!record.is_none()) {
            remove_upload(record.attr(name<"path">()));
        }
        return py::none();
    });
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
    p.bind("UploadedFile", p.get("dataclass")(py::arg("frozen") = true)(record.build()));

    qyb::ClassBuilder store(p.module(), "UploadStore");
    store.doc("Stores uploads outside the repository and never trusts client paths.")
        .method({.name = "__init__",
                 .params = {arg("self"), arg("root", "Path | None", py::none()),
                            kwonly("ttl", "float", p.get("UPLOAD_TTL_SECONDS")),
                            kwonly("max_bytes", "int", p.get("MAX_UPLOAD_BYTES")),
                            kwonly("max_uploads", "int", p.get("MAX_UPLOADS"))},
                 .body = store_init})
        .method({.name = "put",
                 .params = {arg("self"), arg("owner", "str"), arg("filename", "str"),
                            arg("stream", "BinaryIO"), arg("length", "int"),
                            arg("expected_sha256", "str | None", py::none())},
                 .returns = "UploadedFile",
                 .body = store_put})
        .method({.name = "resolve",
                 .params = {arg("self"), arg("owner", "str"), arg("reference", "str")},
                 .returns = "UploadedFile",
                 .body = store_resolve})
        .method({.name = "consume",
                 .params = {arg("self"), arg("owner", "str"), arg("reference", "str")},
                 .returns = "None",
                 .body = store_consume})
        .method({.name = "cleanup", .params = {arg("self")}, .returns = "None", .body = store_cleanup})
        .method({.name = "_expire",
                 .params = {arg("self"), arg("upload_id", "str")},
                 .returns = "None",
                 .body = store_expire})
        .static_method({.name = "_filename",
                        .params = {arg("value", "str")},
                        .returns = "str",
                        .body = store_filename});
    p.bind_class(store);
}

}  // namespace remote
