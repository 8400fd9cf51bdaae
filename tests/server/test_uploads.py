"""The gateway's upload store: streaming to disk, name and digest checks, ownership and expiry."""
from __future__ import annotations

import dataclasses
import errno
import hashlib
import inspect
import io
import os
import pathlib
import socket
import tempfile
import threading
import time
import types
from pathlib import Path
from typing import BinaryIO

import pytest

import qybridge4.cli.remote as remote

MiB = 1048576


# --- helpers ------------------------------------------------------------------------------

class ShortReads:
    """A stream with only read(), answering at most `step` bytes a call; records what it is asked."""

    def __init__(self, data: bytes, step: int = 7000):
        self._data = memoryview(data)
        self._pos = 0
        self._step = step
        self.asked = []

    def read(self, n):
        self.asked.append(n)
        chunk = bytes(self._data[self._pos:self._pos + min(n, self._step)])
        self._pos += len(chunk)
        return chunk


class RawShortReads(io.RawIOBase):
    """A raw stream that fills at most `step` bytes of each readinto buffer."""

    def __init__(self, data: bytes, step: int = 70000):
        self._src = io.BytesIO(data)
        self._step = step
        self.asked = []

    def readable(self):
        return True

    def readinto(self, b):
        self.asked.append(len(b))
        return self._src.readinto(memoryview(b)[:self._step])


class Untouchable:
    """A stream that must never be read."""

    def read(self, n):
        raise AssertionError("the stream was read")

    readinto = read


def socket_stream(data: bytes, buffering: int, keep_open: bool = False):
    """The reading end of a real socket pair fed by a thread, as the HTTP handler's rfile."""
    reader, writer = socket.socketpair()

    def feed():
        writer.sendall(data)
        if not keep_open:
            writer.close()

    thread = threading.Thread(target=feed, daemon=True)
    thread.start()
    stream = reader.makefile("rb", buffering=buffering)
    reader.close()  # the file keeps the socket open
    return stream, writer, thread


def wait_until(predicate, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def sha(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def leftovers(root: Path):
    return sorted(p.relative_to(root).as_posix() for p in root.rglob("*")) if root.exists() else []


@pytest.fixture
def root(tmp_path):
    return tmp_path / "uploads"


@pytest.fixture
def store(root):
    return remote.UploadStore(root, max_bytes=8 * MiB, max_uploads=4)


@pytest.fixture
def clock(monkeypatch):
    """A wall clock the test moves; the store reads the module's `time` on every call."""
    now = [time.time()]
    monkeypatch.setattr(remote, "time", types.SimpleNamespace(time=lambda: now[0]))
    return now


def refused(message):
    return pytest.raises(remote.RemoteResourceError, match=f"^{message}$")


# --- surface ------------------------------------------------------------------------------

class Reference:
    """The store's public shape written as a plain class, to compare signatures against."""

    def __init__(self, root: Path | None = None, *, ttl: float = 3600, max_bytes: int = 104857600,
                 max_uploads: int = 128):
        pass

    def put(self, owner: str, filename: str, stream: BinaryIO, length: int,
            expected_sha256: str | None = None) -> UploadedFile:
        pass

    def resolve(self, owner: str, reference: str) -> UploadedFile:
        pass

    def consume(self, owner: str, reference: str) -> None:
        pass

    def cleanup(self) -> None:
        pass

    def _expire(self, upload_id: str) -> None:
        pass

    @staticmethod
    def _filename(value: str) -> str:
        pass


@pytest.mark.parametrize("method", ["__init__", "put", "resolve", "consume", "cleanup", "_expire",
                                    "_filename"])
def test_methods_match_their_python_signatures(method):
    native, expected = getattr(remote.UploadStore, method), getattr(Reference, method)
    assert inspect.signature(native) == inspect.signature(expected)
    assert native.__annotations__ == expected.__annotations__
    assert native.__qualname__ == f"UploadStore.{method}"
    assert isinstance(inspect.getattr_static(remote.UploadStore, "_filename"), staticmethod)


def test_classes_and_defaults(monkeypatch, root):
    assert remote.RemoteResourceError.__bases__ == (RuntimeError,)
    assert remote.RemoteResourceError.__doc__ is None
    assert remote.UploadStore.__doc__ == "Stores uploads outside the repository and never trusts client paths."
    assert [(f.name, f.type) for f in dataclasses.fields(remote.UploadedFile)] == [
        ("upload_id", "str"), ("owner", "str"), ("filename", "str"), ("path", "Path"),
        ("size", "int"), ("sha256", "str"), ("expires_at", "float")]
    record = remote.UploadedFile("a" * 32, "o", "f", root / "f", 1, "0" * 64, 1.5)
    assert record == remote.UploadedFile("a" * 32, "o", "f", root / "f", 1, "0" * 64, 1.5)
    assert hash(record) == hash(dataclasses.replace(record))
    with pytest.raises(dataclasses.FrozenInstanceError):
        record.size = 2
    # Defaults were fixed when the class was made.
    monkeypatch.setattr(remote, "MAX_UPLOAD_BYTES", 1)
    store = remote.UploadStore(root)
    assert (store.root, store.ttl, store.max_bytes, store.max_uploads, store._items) == (root, 3600, 104857600, 128, {})
    assert type(store._lock) is type(threading.RLock())


def test_default_root_is_made_by_the_first_put(monkeypatch, tmp_path):
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    default = tmp_path / "qybridge4-remote-uploads"
    for given in (None, "", 0):
        assert remote.UploadStore(given).root == default
    store = remote.UploadStore()
    assert not default.exists()
    record = store.put("tok", "a.txt", io.BytesIO(b"hi"), 2)
    assert record.path == default / record.upload_id / "a.txt"


# --- storing ------------------------------------------------------------------------------

STREAMS = {
    "bytesio": lambda data: io.BytesIO(data + b"TRAILING"),
    "read-only, short reads": lambda data: ShortReads(data + b"TRAILING"),
    "raw, short readinto": lambda data: RawShortReads(data + b"TRAILING"),
}


@pytest.mark.parametrize("size", [1, MiB, MiB + 1, 2 * MiB + 12345])
@pytest.mark.parametrize("kind", STREAMS)
def test_put_stores_exactly_length_bytes(store, root, kind, size):
    data = bytes(range(256)) * (size // 256) + bytes(size % 256)
    stream = STREAMS[kind](data)
    before = time.time()
    record = store.put("tok", "../dir/report.pdf", stream, size, sha(data))
    after = time.time()

    assert record.path.read_bytes() == data
    assert (record.owner, record.filename, record.size, record.sha256) == ("tok", "report.pdf", size, sha(data))
    assert len(record.upload_id) == 32 and int(record.upload_id, 16) >= 0 and record.upload_id.islower()
    assert record.path == root / record.upload_id / "report.pdf"
    assert leftovers(root) == [record.upload_id, f"{record.upload_id}/report.pdf"]
    assert before + 3600 <= record.expires_at <= after + 3600
    assert store._items == {record.upload_id: record}
    assert store.resolve("tok", "artifact://" + record.upload_id) is record
    asked = getattr(stream, "asked", None)
    if asked is not None:
        assert max(asked) <= MiB
    rest = stream.read(100)
    assert rest == b"TRAILING"


@pytest.mark.parametrize("buffering", [-1, 0], ids=["buffered", "raw"])
def test_put_reads_a_socket_stream(store, buffering):
    data = bytes(range(251)) * 9000  # ~2.2 MiB, more than a socket buffer
    stream, writer, feeder = socket_stream(data + b"next", buffering, keep_open=True)
    try:
        record = store.put("tok", "sock.bin", stream, len(data))
        assert record.path.read_bytes() == data and record.sha256 == sha(data)
        assert stream.read(4) == b"next"  # the rest stays for whoever reads next
    finally:
        feeder.join()
        writer.close()
        stream.close()


def test_put_without_expected_digest_still_records_it(store):
    record = store.put("tok", "x", io.BytesIO(b"abc"), 3, None)
    assert record.sha256 == sha(b"abc")


def test_lock_is_held_while_the_body_is_read(store):
    seen = []

    class Probe:
        def read(self, n):
            other = []
            t = threading.Thread(target=lambda: other.append(store._lock.acquire(blocking=False)))
            t.start()
            t.join()
            seen.append((store._lock._is_owned(), other[0], store.root.exists()))
            return b"z" * n

    store.put("tok", "p", Probe(), 10)
    assert seen == [(True, False, True)]
    assert not store._lock._is_owned()


# --- refusals before anything is touched --------------------------------------------------

@pytest.mark.parametrize("value, expected", [
    ("report.pdf", "report.pdf"),
    ("../x", "x"),
    ("../../etc/passwd", "passwd"),
    ("a\\b\\..\\c.txt", "c.txt"),
    ("..\\..\\secret", "secret"),
    ("docs/", "docs"),
    ("a//b/./", "b"),
    ("中文.txt", "中文.txt"),
    ("n" * 255, "n" * 255),
    ("中" * 85, "中" * 85),               # 255 bytes of UTF-8
    ("\udc80" * 255, "\udc80" * 255),   # escaped bytes: one byte each
    ("\ud800" * 10, "\ud800" * 10),     # no byte form: measured, not refused
    (type("Name", (str,), {})("sub.txt"), "sub.txt"),
])
def test_filename_keeps_the_last_component(value, expected):
    assert remote.UploadStore._filename(value) == expected


@pytest.mark.parametrize("value, message", [
    ("", "invalid upload filename"),
    (".", "invalid upload filename"),
    ("..", "invalid upload filename"),
    ("a/..", "invalid upload filename"),
    ("a\\..", "invalid upload filename"),
    ("/", "invalid upload filename"),
    ("n" * 256, "invalid upload filename"),
    ("dir/" + "n" * 256, "invalid upload filename"),
    ("中" * 86, "invalid upload filename"),          # 258 bytes: more than a file system name holds
    ("dir/" + "é" * 128, "invalid upload filename"),
    ("bad\0name", "invalid upload filename"),
    (None, "upload filename is required"),
    (b"bytes.txt", "upload filename is required"),
])
def test_filename_refusals(store, root, value, message):
    with refused(message):
        remote.UploadStore._filename(value)
    with refused(message):
        store.put("tok", value, Untouchable(), 1)
    assert not root.exists()


@pytest.mark.parametrize("value, expected", [
    ("C:\\Data\\report.pdf", "report.pdf"),
    ("\\\\server\\share\\dir\\f.txt", "f.txt"),
    ("C:", None),
    ("C:\\", None),
    ("\\\\server\\share", None),
    ("dir\\c:escape", None),   # joined to a directory it would become a drive-relative path
    ("CON", None),
    ("x/nul.txt", None),
])
def test_filename_under_windows_path_rules(monkeypatch, value, expected):
    monkeypatch.setattr(remote, "Path", pathlib.PureWindowsPath)
    if expected is None:
        with refused("invalid upload filename"):
            remote.UploadStore._filename(value)
    else:
        assert remote.UploadStore._filename(value) == expected


@pytest.mark.parametrize("value, accepted", [
    ("中" * 255, True),
    ("😀" * 127, True),       # 254 UTF-16 units
    ("😀" * 128, False),      # 256 units in 128 characters
    ("ab" + "😀" * 127, False),
])
def test_filename_measured_in_utf16_units_on_windows(monkeypatch, value, accepted):
    monkeypatch.setattr(remote, "os", types.SimpleNamespace(name="nt"))
    if accepted:
        assert remote.UploadStore._filename(value) == value
    else:
        with refused("invalid upload filename"):
            remote.UploadStore._filename(value)


WINDOWS_REFUSED_NAMES = ["a.txt:stream", "dir/a.txt:$DATA", "what?.txt", "star*.txt", "a<b", "a>b",
                         'say "hi".txt', "a|b", "tab\tname", "\x01", "line\x1fend", "new\nline",
                         # Windows drops a trailing dot or space: another file's name, or the
                         # upload directory's own.
                         "a.txt.", "dir/a.txt.", "...", " ", "a ", "a. ", "name.pdf ", "a .. "]


@pytest.mark.parametrize("value", WINDOWS_REFUSED_NAMES)
def test_filename_characters_windows_refuses(monkeypatch, store, root, value):
    monkeypatch.setattr(remote, "os", types.SimpleNamespace(name="posix"))
    kept = remote.UploadStore._filename(value)
    assert kept == value.rpartition("/")[2]
    # Under Windows' rules the name is refused before the size and the digest are looked at.
    monkeypatch.setattr(remote, "os", types.SimpleNamespace(name="nt"))
    with refused("invalid upload filename"):
        remote.UploadStore._filename(value)
    with refused("invalid upload filename"):
        store.put("tok", value, Untouchable(), -1, "not a digest")
    assert not root.exists()


@pytest.mark.parametrize("length", [True, 0, -1, 10.0, 8 * MiB + 1, type("I", (int,), {})(5), "5", None])
def test_invalid_size(store, root, length):
    with refused("invalid upload size"):
        store.put("tok", "f", Untouchable(), length)
    assert not root.exists()


def test_max_bytes_itself_is_accepted(root):
    store = remote.UploadStore(root, max_bytes=5)
    assert store.put("tok", "f", io.BytesIO(b"12345"), 5).size == 5


@pytest.mark.parametrize("digest", ["", sha(b"x").upper(), sha(b"x")[:63], sha(b"x") + "0",
                                    "g" * 64, " " * 64, sha(b"x").encode(), 0])
def test_malformed_digest(store, root, digest):
    with refused("invalid upload SHA-256"):
        store.put("tok", "f", Untouchable(), 1, digest)
    assert not root.exists()


def test_checks_run_in_order(store):
    with refused("upload filename is required"):
        store.put("tok", None, Untouchable(), 0, "bad")
    with refused("invalid upload size"):
        store.put("tok", "f", Untouchable(), 0, "bad")


# --- failures while storing leave nothing behind ------------------------------------------

class Failing:
    def __init__(self, data, error):
        self._src = io.BytesIO(data)
        self._error = error

    def read(self, n):
        chunk = self._src.read(min(n, 1000))
        if not chunk:
            raise self._error
        return chunk


class TooGenerous:
    def read(self, n):
        return b"x" * (n + 1)


class TooGenerousRaw(io.RawIOBase):
    def readable(self):
        return True

    def readinto(self, b):
        return len(b) + 1


@pytest.mark.parametrize("stream, length, digest, error, message", [
    (io.BytesIO(b"short"), 6, None, remote.RemoteResourceError, "^upload body ended early$"),
    (ShortReads(b"x" * (MiB + 5)), 2 * MiB, None, remote.RemoteResourceError, "^upload body ended early$"),
    (RawShortReads(b"x" * 100, step=30), 101, None, remote.RemoteResourceError, "^upload body ended early$"),
    (io.BytesIO(b"abc"), 3, sha(b"abd"), remote.RemoteResourceError, "^upload SHA-256 mismatch$"),
    (Failing(b"x" * 5000, ConnectionResetError("peer went away")), 9000, None, ConnectionResetError, "peer went away"),
    (Failing(b"x" * 10, KeyboardInterrupt()), 20, None, KeyboardInterrupt, ""),
    (io.StringIO("text"), 4, None, TypeError, ""),
    (TooGenerous(), 10, None, OSError, "more bytes"),
    (TooGenerousRaw(), 10, None, OSError, "more bytes"),
], ids=["ended-early", "ended-after-a-chunk", "raw-ended-early", "digest-mismatch", "read-raises",
        "interrupted", "text-stream", "read-too-long", "readinto-too-long"])
def test_failed_upload_leaves_no_file_or_directory(store, root, stream, length, digest, error, message):
    with pytest.raises(error, match=message):
        store.put("tok", "f.bin", stream, length, digest)
    assert root.is_dir() and leftovers(root) == []
    assert store._items == {}
    assert not store._lock._is_owned()



def test_name_the_file_system_refuses_leaves_no_directory(store, root, monkeypatch):
    # 100 three-byte characters pass the 255-character rule but not a 255-byte name limit:
    # refused with the other name checks, before anything is read or created.
    with refused("invalid upload filename"):
        store.put("tok", "中" * 100, Untouchable(), 3)
    assert not root.exists()
    # Any other refusal of the name by the file system stays its OS error.
    class RefusingOpen:
        def __getattr__(self, attr):
            return getattr(os, attr)

        def open(self, path, flags, mode):
            raise OSError(errno.ENAMETOOLONG, "File name too long", str(path))

    monkeypatch.setattr(remote, "os", RefusingOpen())
    with pytest.raises(OSError, match="too long"):
        store.put("tok", "f.bin", io.BytesIO(b"abc"), 3)
    assert leftovers(root) == []
    assert store._items == {}

def test_upload_file_is_made_in_binary_mode_where_os_has_it(store, root, monkeypatch):
    opened = []

    class WindowsOS:
        """The real os with Windows' O_BINARY, which the real open is not given."""
        O_BINARY = 0x8000

        def __getattr__(self, attr):
            return getattr(os, attr)

        def open(self, path, flags, mode):
            opened.append(flags)
            return os.open(path, flags & ~self.O_BINARY, mode)

    monkeypatch.setattr(remote, "os", WindowsOS())
    record = store.put("tok", "f.bin", io.BytesIO(b"abc"), 3)
    assert opened == [os.O_WRONLY | os.O_CREAT | os.O_EXCL | WindowsOS.O_BINARY]
    assert (root / record.upload_id / "f.bin").read_bytes() == b"abc"


def test_socket_closed_early(store, root):
    stream, _, feeder = socket_stream(b"x" * 3000, buffering=-1)
    with stream, refused("upload body ended early"):
        store.put("tok", "f.bin", stream, 3001)
    feeder.join()
    assert leftovers(root) == []


def test_existing_upload_directory_is_an_error_and_stays(store, root, monkeypatch):
    taken = root / ("0" * 32)
    (taken / "keep").mkdir(parents=True)
    monkeypatch.setattr(remote, "uuid", types.SimpleNamespace(uuid4=lambda: types.SimpleNamespace(hex="0" * 32)))
    with pytest.raises(FileExistsError):
        store.put("tok", "f", Untouchable(), 1)
    assert leftovers(root) == ["0" * 32, "0" * 32 + "/keep"]


def test_timer_failure_withdraws_the_record(store, root, monkeypatch):
    def no_timer(*args, **kwargs):
        raise RuntimeError("can't start new thread")

    monkeypatch.setattr(remote, "threading", types.SimpleNamespace(Timer=no_timer))
    with pytest.raises(RuntimeError, match="can't start new thread"):
        store.put("tok", "f", io.BytesIO(b"x"), 1)
    assert store._items == {} and leftovers(root) == []


# --- ownership, references, consume -------------------------------------------------------

def test_only_the_owner_resolves(store):
    record = store.put("alice", "f", io.BytesIO(b"x"), 1)
    reference = "artifact://" + record.upload_id
    with refused("upload not found"):
        store.resolve("bob", reference)
    with refused("upload not found"):
        store.consume("bob", reference)
    assert store.resolve("alice", reference) is record
    assert record.path.exists()


@pytest.mark.parametrize("make, message", [
    (lambda uid: "artifact://", "upload not found"),
    (lambda uid: "artifact://" + "0" * 32, "upload not found"),
    (lambda uid: "artifact://" + uid.upper(), "upload not found"),
    (lambda uid: "ARTIFACT://" + uid, "invalid upload reference"),
    (lambda uid: "file://" + uid, "invalid upload reference"),
    (lambda uid: " artifact://" + uid, "invalid upload reference"),
    (lambda uid: uid, "invalid upload reference"),
    (lambda uid: None, "invalid upload reference"),
    (lambda uid: ("artifact://" + uid).encode(), "invalid upload reference"),
])
def test_bad_references(store, make, message):
    record = store.put("alice", "f", io.BytesIO(b"x"), 1)
    with refused(message):
        store.resolve("alice", make(record.upload_id))
    with refused(message):
        store.consume("alice", make(record.upload_id))
    assert store._items == {record.upload_id: record}


def test_consume_removes_file_and_directory(store, root):
    keep = store.put("alice", "keep", io.BytesIO(b"k"), 1)
    gone = store.put("alice", "gone", io.BytesIO(b"g"), 1)
    assert store.consume("alice", "artifact://" + gone.upload_id) is None
    with refused("upload not found"):
        store.resolve("alice", "artifact://" + gone.upload_id)
    assert leftovers(root) == [keep.upload_id, f"{keep.upload_id}/keep"]
    store._expire(gone.upload_id)  # its timer, firing late, finds nothing to do
    assert store._items == {keep.upload_id: keep}


# --- count limit and expiry ---------------------------------------------------------------

def test_store_full_until_one_expires(store, root, clock):
    first = store.put("tok", "f0", io.BytesIO(b"0"), 1)
    clock[0] += 10
    others = [store.put("tok", f"f{i}", io.BytesIO(b"x"), 1) for i in range(1, 4)]
    with refused("upload store is full"):
        store.put("tok", "extra", Untouchable(), 1)
    clock[0] = first.expires_at  # expired exactly at its expires_at
    fresh = store.put("tok", "extra", io.BytesIO(b"e"), 1)
    assert list(store._items) == [o.upload_id for o in others] + [fresh.upload_id]
    assert not (root / first.upload_id).exists()


def test_resolve_cleans_up_expired_uploads_before_the_timer(store, root, clock):
    old = store.put("tok", "old", io.BytesIO(b"o"), 1)
    clock[0] += 1800
    young = store.put("tok", "young", io.BytesIO(b"y"), 1)
    clock[0] = old.expires_at + 0.5
    with refused("upload not found"):
        store.resolve("tok", "artifact://" + old.upload_id)
    assert not (root / old.upload_id).exists()
    assert store.resolve("tok", "artifact://" + young.upload_id) is young
    clock[0] = young.expires_at
    store.cleanup()
    assert store._items == {} and leftovers(root) == []


def test_timer_removes_the_upload(root):
    store = remote.UploadStore(root, ttl=0.05)
    record = store.put("tok", "f", io.BytesIO(b"data"), 4)
    timers = [t for t in threading.enumerate()
              if isinstance(t, threading.Timer) and t.args == (record.upload_id,)]
    assert len(timers) == 1 and timers[0].daemon
    assert wait_until(lambda: not (root / record.upload_id).exists())
    assert store._items == {}
    assert leftovers(root) == []


def test_expire_of_an_unknown_id_touches_nothing(store, root):
    record = store.put("tok", "f", io.BytesIO(b"x"), 1)
    store._expire("0" * 32)
    assert store._items == {record.upload_id: record} and record.path.exists()
