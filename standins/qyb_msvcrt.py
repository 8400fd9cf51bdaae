"""Byte-range locking with the behaviour of the Windows C runtime's ``msvcrt.locking``.

Built on Linux open-file-description locks, which, like Windows locks, belong to one
open file: they exclude every other open file of the path, in this process or another,
and are dropped when that file is closed or its process ends. Plain POSIX record locks
would not exclude within one process and would drop on the close of any descriptor.

Windows also refuses a second lock of a held range through the same file, which an
OFD lock would grant. Locks held through a file are invisible to F_OFD_GETLK on that
same file but visible from a fresh open file of the path, which tells the two apart.
"""

import errno
import fcntl
import os
import struct
import threading
import time

LK_UNLCK = 0
LK_LOCK = 1
LK_NBLCK = 2
LK_RLCK = 3
LK_NBRLCK = 4

# struct flock on x86-64: l_type, l_whence, (pad), l_start, l_len, l_pid, (pad).
_FLOCK = "hhqqi4x"
_RETRIES = 10  # LK_LOCK and LK_RLCK try once a second, ten times, as on Windows
# Two threads locking through one file would both pass the check before either sets.
_check_and_set = threading.Lock()


def _flock(kind, start, length):
    return struct.pack(_FLOCK, kind, os.SEEK_SET, start, length, 0)


def _locked_for(fd, start, length):
    """Whether an open file other than ``fd``'s holds a lock within the range."""
    answer = fcntl.fcntl(fd, fcntl.F_OFD_GETLK, _flock(fcntl.F_WRLCK, start, length))
    return struct.unpack(_FLOCK, answer)[0] != fcntl.F_UNLCK


def _held_here(fd, start, length):
    """Whether ``fd``'s own open file holds a lock within the range."""
    if _locked_for(fd, start, length):
        return False
    probe = os.open(f"/proc/self/fd/{fd}", os.O_RDONLY)
    try:
        return _locked_for(probe, start, length)
    finally:
        os.close(probe)


def _refused():
    return OSError(errno.EACCES, os.strerror(errno.EACCES))


def _try_lock(fd, start, length):
    with _check_and_set:
        if _held_here(fd, start, length):
            raise _refused()
        try:
            fcntl.fcntl(fd, fcntl.F_OFD_SETLK, _flock(fcntl.F_WRLCK, start, length))
        except OSError as exc:
            if exc.errno in (errno.EAGAIN, errno.EACCES):
                raise _refused() from None
            raise


def locking(fd, mode, nbytes, /):
    if mode not in (LK_UNLCK, LK_LOCK, LK_NBLCK, LK_RLCK, LK_NBRLCK) or nbytes <= 0:
        raise OSError(errno.EINVAL, os.strerror(errno.EINVAL))
    start = os.lseek(fd, 0, os.SEEK_CUR)
    if mode == LK_UNLCK:
        with _check_and_set:
            if not _held_here(fd, start, nbytes):
                raise _refused()
            fcntl.fcntl(fd, fcntl.F_OFD_SETLK, _flock(fcntl.F_UNLCK, start, nbytes))
        return None
    attempts = _RETRIES if mode in (LK_LOCK, LK_RLCK) else 1
    for attempt in range(attempts):
        try:
            return _try_lock(fd, start, nbytes)
        except OSError as exc:
            if exc.errno != errno.EACCES or attempt + 1 == attempts:
                raise
            time.sleep(1.0)
