"""Finding and loading the shared library, and the C declarations.

The library is looked for, in order:

1. the file that ``QKTOKEN_LIBRARY`` names (nothing else when it is set);
2. beside this package (the ``qktoken`` directory itself);
3. the system loader (``LD_LIBRARY_PATH``, the loader cache, ``PATH`` on
   Windows), by its file names and through ``ctypes.util.find_library``.

It is loaded on first use, so that importing the package never fails.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import threading
from ctypes import POINTER, c_char_p, c_uint8, c_uint16, c_uint32, c_void_p
from pathlib import Path
from typing import Any, Dict, List, Optional

ENVIRONMENT_VARIABLE = "QKTOKEN_LIBRARY"


class LibraryError(OSError):
    """The shared library could not be found or is not usable.

    ``searched`` lists every place looked at, with what went wrong there.
    """

    def __init__(self, message: str, searched: List[str]) -> None:
        super().__init__(message)
        self.searched = searched


# ---- Records (sizes are fixed by the C header on every target) -------------


class QKContext(ctypes.Structure):
    _fields_ = [
        ("slotIndex", c_uint32),
        ("infoWord", c_uint32),
        ("device", c_uint32),
        ("reserved", c_uint32 * 3),
        ("queryValue", c_uint32),
        ("infoBlock", c_uint8 * 16),
        ("infoEight", c_uint8 * 8),
        ("markWord", c_uint32),
    ]


class QKOpenOptions(ctypes.Structure):
    _fields_ = [("reserved", c_uint32), ("shared", c_uint32)]


class QKTimeLimits(ctypes.Structure):
    _fields_ = [
        ("lockMs", c_uint32),
        ("writeMs", c_uint32),
        ("firstReadMs", c_uint32),
        ("readMs", c_uint32),
    ]


RSA_MAX_MODULUS_BYTES = 128
RSA_MAX_PRIME_BYTES = 64


class RsaPublicKey(ctypes.Structure):
    _fields_ = [
        ("bitLength", c_uint32),
        ("modulus", c_uint8 * RSA_MAX_MODULUS_BYTES),
        ("publicExponent", c_uint8 * RSA_MAX_MODULUS_BYTES),
    ]


class RsaPrivateKey(ctypes.Structure):
    _fields_ = [
        ("bitLength", c_uint32),
        ("modulus", c_uint8 * RSA_MAX_MODULUS_BYTES),
        ("publicExponent", c_uint8 * RSA_MAX_MODULUS_BYTES),
        ("privateExponent", c_uint8 * RSA_MAX_MODULUS_BYTES),
        ("prime1", c_uint8 * RSA_MAX_PRIME_BYTES),
        ("prime2", c_uint8 * RSA_MAX_PRIME_BYTES),
        ("exponent1", c_uint8 * RSA_MAX_PRIME_BYTES),
        ("exponent2", c_uint8 * RSA_MAX_PRIME_BYTES),
        ("coefficient", c_uint8 * RSA_MAX_PRIME_BYTES),
    ]


for _record, _size in (
    (QKContext, 56),
    (QKOpenOptions, 8),
    (QKTimeLimits, 16),
    (RsaPublicKey, 260),
    (RsaPrivateKey, 708),
):
    assert ctypes.sizeof(_record) == _size, _record.__name__

_u8p = POINTER(c_uint8)
_u32p = POINTER(c_uint32)
_ctx = POINTER(QKContext)

# Every call this package makes, with its C signature (all return uint32_t).
_PROTOTYPES: Dict[str, List[Any]] = {
    "QKFormatErrorMessage": [c_uint32, c_char_p, c_uint32],
    "QKGetErrorText": [c_uint32, c_uint32, c_char_p, c_uint32, _u32p],
    "QKSetTimeLimits": [POINTER(QKTimeLimits)],
    "QKGetTimeLimits": [POINTER(QKTimeLimits)],
    "QKListDevices": [_ctx, _u32p],
    "QKOpenDeviceShared": [_ctx, POINTER(QKOpenOptions)],
    "QKCloseDevice": [_ctx],
    "QKBeginTransaction": [_ctx, c_uint32],
    "QKEndTransaction": [_ctx],
    "QKVerifyPin": [_ctx, _u8p, c_uint32, c_uint32],
    "QKUpdatePin": [_ctx, _u8p, c_uint32, _u8p, c_uint32, c_uint32, c_uint32],
    "QKMakeDir": [_ctx, c_char_p, c_uint32, c_uint32],
    "QKSelectDir": [_ctx, c_char_p],
    "QKWipeDir": [_ctx, c_char_p],
    "QKMakeFile": [_ctx, c_char_p, c_uint32, c_uint32],
    "QKStoreFile": [_ctx, c_char_p, c_uint32, _u8p, c_uint32],
    "QKExecute": [_ctx, c_char_p, _u8p, c_uint32, _u8p, c_uint32, _u32p],
    "QKGenerateRsaKeyPair": [
        _ctx, c_uint16, c_uint32, c_char_p, c_char_p, _u8p, _u32p, _u8p, _u32p,
    ],
    "QKDeviceControl": [_ctx, c_uint32, _u8p, c_uint32, _u8p, c_uint32, _u32p],
    "RsaPublicBlock": [_u8p, _u32p, _u8p, c_uint32, POINTER(RsaPublicKey)],
    "RsaPublicDecrypt": [_u8p, _u32p, _u8p, c_uint32, POINTER(RsaPublicKey)],
    "RsaPrivateBlock": [_u8p, _u32p, _u8p, c_uint32, POINTER(RsaPrivateKey)],
    "RsaPrivateEncrypt": [_u8p, _u32p, _u8p, c_uint32, POINTER(RsaPrivateKey)],
}

# Calls that newer libraries have; without them the package does less.
_OPTIONAL_PROTOTYPES: Dict[str, List[Any]] = {
    "QKGetDevicePath": [_ctx, c_char_p, c_uint32, _u32p],
    "QKWaitForDeviceChange": [_u32p, c_uint32],
    "QKCancelDeviceWait": [],
    "QKSetLogCallback": [c_void_p, c_void_p],
}

# void (*)(const char* line, void* userData), cdecl on every target.
LOG_CALLBACK = ctypes.CFUNCTYPE(None, c_char_p, c_void_p)


def library_file_names() -> List[str]:
    """The library's file names on this platform, most specific first."""
    if sys.platform == "win32":
        return ["qktoken.dll", "libqktoken.dll"]
    if sys.platform == "darwin":
        return ["libqktoken.0.dylib", "libqktoken.dylib"]
    return ["libqktoken.so.0", "libqktoken.so"]


def _declare(library: ctypes.CDLL, where: str) -> ctypes.CDLL:
    missing = [name for name in _PROTOTYPES if not hasattr(library, name)]
    if missing:
        raise LibraryError(
            f"{where} is not a usable qktoken library: it lacks {', '.join(missing)}"
            " (older than this package?)",
            [where],
        )
    for table in (_PROTOTYPES, _OPTIONAL_PROTOTYPES):
        for name, argtypes in table.items():
            if not hasattr(library, name):
                continue
            function = getattr(library, name)
            function.argtypes = argtypes
            function.restype = c_uint32
    return library


def _load_file(path: str) -> ctypes.CDLL:
    return ctypes.CDLL(path)


def locate_and_load(package_dir: Optional[Path] = None) -> ctypes.CDLL:
    """Finds and loads the library; raises LibraryError naming every place tried."""
    searched: List[str] = []
    explicit = os.environ.get(ENVIRONMENT_VARIABLE, "")
    if explicit:
        try:
            return _declare(_load_file(explicit), explicit)
        except OSError as error:
            if isinstance(error, LibraryError):
                raise
            raise LibraryError(
                f"cannot load the qktoken library named by {ENVIRONMENT_VARIABLE}: "
                f"{explicit}: {error}",
                [f"{ENVIRONMENT_VARIABLE}={explicit}: {error}"],
            ) from None
    searched.append(f"{ENVIRONMENT_VARIABLE}: not set")

    here = package_dir if package_dir is not None else Path(__file__).resolve().parent
    for name in library_file_names():
        candidate = here / name
        if not candidate.is_file():
            searched.append(f"{candidate}: no such file")
            continue
        try:
            return _declare(_load_file(str(candidate)), str(candidate))
        except OSError as error:
            searched.append(f"{candidate}: {error}")

    for name in library_file_names():
        try:
            return _declare(_load_file(name), name)
        except OSError as error:
            searched.append(f"system loader, {name}: {error}")
    # Last, the loader cache under other names (find_library may run
    # ldconfig or the compiler, so it is asked only now).
    found = ctypes.util.find_library("qktoken")
    if found and found not in library_file_names():
        try:
            return _declare(_load_file(found), found)
        except OSError as error:
            searched.append(f"system loader, {found}: {error}")

    raise LibraryError(
        "cannot find the qktoken shared library; looked at:\n  "
        + "\n  ".join(searched)
        + f"\nSet {ENVIRONMENT_VARIABLE} to its path, put it beside the package, "
        "or install it where the system loader finds it.",
        searched,
    )


_lock = threading.Lock()
_library: Optional[ctypes.CDLL] = None


def library() -> ctypes.CDLL:
    """The loaded library, loading it on first use."""
    global _library
    with _lock:
        if _library is None:
            _library = locate_and_load()
        return _library


def has_call(name: str) -> bool:
    return hasattr(library(), name)


def input_buffer(data: bytes) -> "ctypes.Array[c_uint8]":
    """A private copy of ``data`` for the library to read (one byte when empty,
    so that no call ever receives a null pointer)."""
    return (c_uint8 * max(len(data), 1)).from_buffer_copy(data or b"\0")


def output_buffer(size: int) -> "ctypes.Array[c_uint8]":
    return (c_uint8 * size)()
