import errno
import os
import subprocess
import sys

import pytest

# The stand-in locks through fcntl's open file description locks and reads /proc.
pytestmark = pytest.mark.posix("fcntl and /proc")

CHILD = """
import os, sys, qyb_msvcrt as m
fd = os.open(sys.argv[1], os.O_RDWR)
try:
    m.locking(fd, m.LK_NBLCK, 1)
except OSError as exc:
    print("refused", exc.errno, flush=True)
    sys.exit(0)
print("locked", flush=True)
sys.stdin.read()
"""


@pytest.fixture
def msvcrt():
    import qyb_msvcrt  # here, not at the top: collected on Windows too, where fcntl is missing
    return qyb_msvcrt


@pytest.fixture
def path(tmp_path):
    target = tmp_path / "remote.lock"
    target.write_bytes(b"\0\0")
    return target


@pytest.fixture
def opener(path):
    fds = []

    def open_():
        fds.append(os.open(path, os.O_RDWR))
        return fds[-1]

    yield open_
    for fd in fds:
        try:
            os.close(fd)
        except OSError:
            pass


def refused(msvcrt, fd, nbytes=1):
    with pytest.raises(OSError) as info:
        msvcrt.locking(fd, msvcrt.LK_NBLCK, nbytes)
    return info.value.errno


def child(path, env):
    return subprocess.Popen([sys.executable, "-c", CHILD, str(path)], env=env,
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)


@pytest.mark.parametrize("name, value", [("LK_UNLCK", 0), ("LK_LOCK", 1), ("LK_NBLCK", 2),
                                         ("LK_RLCK", 3), ("LK_NBRLCK", 4)])
def test_mode_values_match_windows(msvcrt, name, value):
    assert getattr(msvcrt, name) == value


@pytest.mark.parametrize("second", ["same file", "other file"])
def test_lock_is_exclusive_and_not_reentrant(msvcrt, opener, second):
    first = opener()
    msvcrt.locking(first, msvcrt.LK_NBLCK, 1)
    other = first if second == "same file" else opener()
    assert refused(msvcrt, other) == errno.EACCES
    assert refused(msvcrt, other, 2) == errno.EACCES  # an overlapping range is held too


@pytest.mark.parametrize("release", ["unlock", "close"])
def test_release_lets_another_file_lock(msvcrt, opener, release):
    holder, other = opener(), opener()
    msvcrt.locking(holder, msvcrt.LK_NBLCK, 1)
    if release == "unlock":
        msvcrt.locking(holder, msvcrt.LK_UNLCK, 1)
    else:
        os.close(holder)
    msvcrt.locking(other, msvcrt.LK_NBLCK, 1)
    assert refused(msvcrt, opener()) == errno.EACCES


def test_lock_starts_at_current_position(msvcrt, opener):
    holder, other = opener(), opener()
    msvcrt.locking(holder, msvcrt.LK_NBLCK, 1)
    assert os.lseek(holder, 0, os.SEEK_CUR) == 0  # locking does not move the file
    os.lseek(other, 1, os.SEEK_SET)
    msvcrt.locking(other, msvcrt.LK_NBLCK, 1)
    os.lseek(other, 0, os.SEEK_SET)
    assert refused(msvcrt, other) == errno.EACCES


def test_reused_descriptor_number_is_not_mistaken_for_holder(msvcrt, path, opener):
    fd = os.open(path, os.O_RDWR)
    msvcrt.locking(fd, msvcrt.LK_NBLCK, 1)
    os.close(fd)
    again = opener()
    assert again == fd
    msvcrt.locking(again, msvcrt.LK_NBLCK, 1)
    assert refused(msvcrt, opener()) == errno.EACCES


@pytest.mark.parametrize("mode, nbytes, code", [
    (0, 1, errno.EACCES),  # LK_UNLCK with nothing held
    (9, 1, errno.EINVAL),
    (2, 0, errno.EINVAL),  # LK_NBLCK of no byte
])
def test_bad_requests_fail(msvcrt, opener, mode, nbytes, code):
    with pytest.raises(OSError) as info:
        msvcrt.locking(opener(), mode, nbytes)
    assert info.value.errno == code


def test_other_process_is_excluded_until_unlock(msvcrt, path, opener, standins_env):
    fd = opener()
    msvcrt.locking(fd, msvcrt.LK_NBLCK, 1)
    out, _ = child(path, standins_env).communicate("")
    assert out.split() == ["refused", str(errno.EACCES)]
    msvcrt.locking(fd, msvcrt.LK_UNLCK, 1)
    out, _ = child(path, standins_env).communicate("")
    assert out.split() == ["locked"]


def test_lock_dies_with_holder_process(msvcrt, path, opener, standins_env):
    proc = child(path, standins_env)
    try:
        assert proc.stdout.readline().strip() == "locked"
        assert refused(msvcrt, opener()) == errno.EACCES
    finally:
        proc.kill()
        proc.communicate()
    msvcrt.locking(opener(), msvcrt.LK_NBLCK, 1)
