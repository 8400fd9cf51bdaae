"""Stand-in for pywin32's ``win32crypt`` where Windows data protection does not exist.

``CryptProtectData`` seals the data with AES-256-GCM under a random per-user key kept in
``~/.qybridge4-dpapi.key`` (0600), so only the same home can open a blob again, and any
change to a blob is detected. A blob is a version byte, a fresh 96-bit nonce, then the
ciphertext with its tag; the description travels inside the sealed part and the optional
entropy is bound to it as associated data.
"""

import os
import secrets
import struct
import tempfile
from pathlib import Path

from cryptography.exceptions import InvalidTag
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

_VERSION = b"\x01"
_NONCE_BYTES = 12
_TAG_BYTES = 16
_KEY_BYTES = 32


class error(Exception):
    """A blob that cannot be protected or opened, or an unusable key file."""


def _key_path():
    return Path.home() / ".qybridge4-dpapi.key"


def _read_key(path):
    key = path.read_bytes()
    if len(key) != _KEY_BYTES:
        raise error(f"data protection key {path} is damaged")
    return key


def _key():
    path = _key_path()
    try:
        return _read_key(path)
    except FileNotFoundError:
        pass
    # Written whole under a temporary name, then linked into place: of two processes racing
    # here one link wins, and the other reads the winner's key; nobody reads a partial file.
    fd, temporary = tempfile.mkstemp(prefix=path.name + ".", dir=path.parent)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(secrets.token_bytes(_KEY_BYTES))
            f.flush()
            os.fsync(f.fileno())
        try:
            os.link(temporary, path)
        except FileExistsError:
            pass
    finally:
        os.unlink(temporary)
    return _read_key(path)


def _associated(entropy):
    return _VERSION + (bytes(entropy) if entropy else b"")


def CryptProtectData(DataIn, DataDescr=None, OptionalEntropy=None, Reserved=None,
                     PromptStruct=None, Flags=0):
    description = (DataDescr or "").encode("utf-8")
    plain = struct.pack(">I", len(description)) + description + bytes(DataIn)
    nonce = secrets.token_bytes(_NONCE_BYTES)
    sealed = AESGCM(_key()).encrypt(nonce, plain, _associated(OptionalEntropy))
    return _VERSION + nonce + sealed


def CryptUnprotectData(DataIn, OptionalEntropy=None, Reserved=None, PromptStruct=None, Flags=0):
    blob = bytes(DataIn)
    if len(blob) < 1 + _NONCE_BYTES + _TAG_BYTES or blob[:1] != _VERSION:
        raise error("not a protected data blob")
    nonce = blob[1:1 + _NONCE_BYTES]
    try:
        plain = AESGCM(_key()).decrypt(nonce, blob[1 + _NONCE_BYTES:], _associated(OptionalEntropy))
    except InvalidTag:
        raise error("protected data is damaged or belongs to another user") from None
    (size,) = struct.unpack(">I", plain[:4])
    return plain[4:4 + size].decode("utf-8"), plain[4 + size:]
