"""The data-protection stand-in: sealed blobs bound to one home, and one key per home."""
import inspect
import os
import stat

import pytest

import win32crypt


@pytest.fixture
def home(tmp_path, set_home):
    return set_home(tmp_path)


def test_calls_as_the_store_makes_them(home):
    assert len(inspect.signature(win32crypt.CryptProtectData).parameters) == 6
    assert len(inspect.signature(win32crypt.CryptUnprotectData).parameters) == 5
    blob = win32crypt.CryptProtectData(b"plain", None, None, None, None, 0)
    assert type(blob) is bytes and b"plain" not in blob
    assert win32crypt.CryptUnprotectData(blob, None, None, None, 0) == ("", b"plain")
    named = win32crypt.CryptProtectData(b"x", "label", b"pepper")
    assert win32crypt.CryptUnprotectData(named, b"pepper") == ("label", b"x")
    with pytest.raises(win32crypt.error):
        win32crypt.CryptUnprotectData(named, b"salt")
    assert win32crypt.CryptProtectData(b"x") != win32crypt.CryptProtectData(b"x")


def test_key_is_outside_the_settings_directory(home):
    win32crypt.CryptProtectData(b"x")
    assert os.listdir(home) == [".qybridge4-dpapi.key"]
    assert (home / ".qybridge4-dpapi.key").stat().st_size == 32


@pytest.mark.posix("file modes")
def test_key_is_private_to_its_owner(home):
    win32crypt.CryptProtectData(b"x")
    assert stat.S_IMODE((home / ".qybridge4-dpapi.key").stat().st_mode) == 0o600


def test_damaged_blobs_and_damaged_keys(home, tmp_path_factory, set_home):
    blob = win32crypt.CryptProtectData(b"secret")
    for damaged in (blob[:-1], blob + b"\0", blob[:1] + bytes([blob[1] ^ 1]) + blob[2:], b"", b"\x02" + blob[1:]):
        with pytest.raises(win32crypt.error):
            win32crypt.CryptUnprotectData(damaged)
    set_home(tmp_path_factory.mktemp("other"))
    with pytest.raises(win32crypt.error):
        win32crypt.CryptUnprotectData(blob)
    set_home(home)
    (home / ".qybridge4-dpapi.key").write_bytes(b"short")
    with pytest.raises(win32crypt.error):
        win32crypt.CryptUnprotectData(blob)


@pytest.mark.posix("os.fork")
def test_racing_processes_end_with_one_key(home):
    gate_read, gate_write = os.pipe()
    children = []
    for i in range(8):
        out_read, out_write = os.pipe()
        pid = os.fork()
        if pid == 0:
            status = 1
            try:
                os.close(gate_write)
                os.read(gate_read, 1)  # all start together once the gate closes
                os.write(out_write, win32crypt.CryptProtectData(b"child %d" % i))
                status = 0
            finally:
                os._exit(status)
        os.close(out_write)
        children.append((pid, out_read))
    os.close(gate_read)
    os.close(gate_write)
    for i, (pid, out_read) in enumerate(children):
        blob = b""
        while chunk := os.read(out_read, 4096):
            blob += chunk
        os.close(out_read)
        assert os.waitpid(pid, 0)[1] == 0
        assert win32crypt.CryptUnprotectData(blob)[1] == b"child %d" % i
    assert os.listdir(home) == [".qybridge4-dpapi.key"]
