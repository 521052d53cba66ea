"""Listing, opening and using tokens."""

from __future__ import annotations

import contextlib
import ctypes
import os
import sys
import threading
import weakref
from ctypes import byref, c_uint32
from dataclasses import dataclass, field
from types import TracebackType
from typing import Iterator, List, Optional, Set, Type

from . import _checks, _library, rsa
from ._checks import BytesLike, FileId
from .constants import (
    MAX_DEVICES,
    MAX_DIR_CAPACITY,
    MAX_EXEC_INPUT,
    MAX_EXEC_OUTPUT,
    MAX_FILE_SIZE,
    MAX_PATH_CHARS,
    MAX_WAIT_MS,
    PIN_DEVELOPER_LENGTH,
    PIN_USER_LENGTH,
    ROOT_ID,
    Code,
    Control,
    FileType,
    PinKind,
)
from .errors import QKError, check, error_for

# The library keeps one table of listed tokens per process: a listing rewrites
# it and forgets any token open in it, and a slot opens once. This package
# keeps track of both, so that neither can happen by accident.
_registry = threading.Lock()
_listing = 0  # advanced by every listing
_open_slots: Set[int] = set()

_PATH_LIMIT = 4096
_DIR_ROOT, _DIR_SUB = 0, 1  # QK_DIR_ROOT, QK_DIR_SUB
_PIN_LENGTHS = (PIN_USER_LENGTH, PIN_DEVELOPER_LENGTH)
_CHANGE_PIN_LENGTH = {PinKind.USER: PIN_USER_LENGTH, PinKind.DEVELOPER: PIN_DEVELOPER_LENGTH}
_KEY_BLOCKS = {512: (76, 180), 1024: (140, 340), 2048: (268, 660)}

# Input bytes each control code takes (low, high) and output bytes it gives.
_CONTROL_INPUT = {
    Control.MODE_3: (4, 4),
    Control.GET_FILE_RECORD: (4, 4),
    Control.SEND_25: (1, 16),
    Control.SEND_E7: (1, 1),
    Control.SEND_30: (8, 8),
    Control.SEND_CB: (1, 256),
}
_CONTROL_OUTPUT = {
    Control.GET_INFO_BYTE: 1,
    Control.GET_INFO_EIGHT: 8,
    Control.GET_INFO_NUMBER: 4,
    Control.GET_INFO_BLOCK: 16,
    Control.GET_CC_VALUE: 4,
    Control.GET_INFO_SIX: 6,
    Control.GET_CD_VALUE: 4,
    Control.GET_FILE_RECORD: 5,
    Control.GET_INFO_WORD: 2,
}


@dataclass(frozen=True)
class TokenDescription:
    """A token found by ``list_tokens``: its slot in this process's table and
    its interface path (None from a library that does not report paths)."""

    slot: int
    path: Optional[str]
    listing: int = field(default=0, repr=False)


@dataclass(frozen=True)
class TokenInfo:
    """The token's information record, decoded."""

    info_byte: int  # byte 0
    version: int  # bytes 2-3, big-endian (0x0102: version 1.2)
    value: bytes  # bytes 4-19: the 16-byte value set with Control.SEND_25
    model: bytes  # bytes 20-25
    serial: bytes  # bytes 26-33
    capacity: int  # bytes 34-37, little-endian


@dataclass(frozen=True)
class KeyPair:
    """The two blocks a token answers for a generated key pair (also stored in
    its two files)."""

    public_block: bytes
    private_block: bytes

    def public_key(self) -> rsa.PublicKey:
        return rsa.PublicKey.from_token_block(self.public_block)

    def private_key(self) -> rsa.PrivateKey:
        return rsa.PrivateKey.from_token_blocks(self.public_block, self.private_block)


def _path_of(lib: ctypes.CDLL, context: _library.QKContext) -> Optional[str]:
    if not hasattr(lib, "QKGetDevicePath"):
        return None
    needed = c_uint32(0)
    size = 512
    for _ in range(2):
        buffer = ctypes.create_string_buffer(size)
        rc = lib.QKGetDevicePath(byref(context), buffer, size, byref(needed))
        if rc == Code.SUCCESS:
            return os.fsdecode(buffer.value)
        if rc != Code.BUFFER_TOO_SMALL or not size < needed.value <= _PATH_LIMIT:
            return None
        size = needed.value
    return None


def list_tokens() -> List[TokenDescription]:
    """The tokens attached (hardware first, then the simulated ones that
    ``QKTOKEN_VIRTUAL_DIR`` names).

    Listing rewrites the library's table and would forget open tokens, so it
    refuses while any token of this process is open.
    """
    global _listing
    lib = _library.library()
    with _registry:
        if _open_slots:
            raise RuntimeError(
                f"close the {len(_open_slots)} open token(s) of this process before listing again"
            )
        # One call with room for the most a listing keeps: the count cannot
        # change between a counting call and a filling one.
        contexts = (_library.QKContext * MAX_DEVICES)()
        count = c_uint32(MAX_DEVICES)
        rc = lib.QKListDevices(contexts, byref(count))
        _listing += 1
        check(rc, "QKListDevices")
        if count.value > MAX_DEVICES:
            raise error_for(Code.BUFFER_TOO_SMALL, "QKListDevices")
        return [
            TokenDescription(slot=c.slotIndex, path=_path_of(lib, c), listing=_listing)
            for c in contexts[: count.value]
        ]


def open(
    token: TokenDescription,
    exclusive: bool = False,
    *,
    transaction: bool = False,
    timeout_ms: int = 0,
) -> "Token":
    """Opens a listed token; use it as ``with qktoken.open(token) as t:``.

    ``exclusive`` refuses other openers (and fails while any is open).
    ``transaction`` holds the token's exchange lock from before the open until
    the close, so that no other handle's command (another process's open
    included) falls between this handle's; ``timeout_ms`` bounds the wait for
    it (0: the process's lock limit).
    """
    if not isinstance(token, TokenDescription):
        raise TypeError(f"token must be a TokenDescription, not {type(token).__name__}")
    for name, flag in (("exclusive", exclusive), ("transaction", transaction)):
        if not isinstance(flag, bool):
            raise TypeError(f"{name} must be a bool, not {type(flag).__name__}")
    timeout_ms = _checks.integer(timeout_ms, "timeout_ms", 0, MAX_WAIT_MS)
    lib = _library.library()
    with _registry:
        if token.listing != _listing:
            raise ValueError("token comes from an earlier listing; call list_tokens() again")
        if token.slot in _open_slots:
            raise error_for(Code.ALREADY_OPENED, "QKOpenDeviceShared")
        _open_slots.add(token.slot)  # reserved: no listing while the open runs
    context = _library.QKContext(slotIndex=token.slot)
    try:
        if transaction:
            check(lib.QKBeginTransaction(byref(context), timeout_ms), "QKBeginTransaction")
        options = _library.QKOpenOptions(reserved=0, shared=0 if exclusive else 1)
        rc = lib.QKOpenDeviceShared(byref(context), byref(options))
        if rc != Code.SUCCESS:
            # A failure after the path opened leaves the slot open; a slot
            # open already is someone else's and stays as it is.
            if rc not in (Code.ALREADY_OPENED, Code.CONTEXT):
                lib.QKCloseDevice(byref(context))
            if transaction:
                lib.QKEndTransaction(byref(context))
            raise error_for(rc, "QKOpenDeviceShared")
    except BaseException:
        with _registry:
            _open_slots.discard(token.slot)
        raise
    return Token(context, token, transaction)


def _close(lib: ctypes.CDLL, context: _library.QKContext, slot: int, transaction: bool) -> int:
    # From the thread that began the transaction, End releases it; from any
    # other (close() elsewhere, the finalizer on the collector's thread) End
    # is refused and QKCloseDevice itself ends the transaction and releases
    # the lock. Either way no lock is left once this returns success.
    if transaction:
        lib.QKEndTransaction(byref(context))
    rc = lib.QKCloseDevice(byref(context))
    with _registry:
        _open_slots.discard(slot)
    return int(rc)


class Token:
    """An open token. Made by ``qktoken.open``; closed by ``close`` or by
    leaving its ``with`` block."""

    def __init__(
        self, context: _library.QKContext, description: TokenDescription, transaction: bool
    ) -> None:
        self._lib = _library.library()
        self._context = context
        self._description = description
        self._closed = False
        self._transaction = transaction
        self._state = threading.Condition()
        self._calls = 0  # calls running now
        # A token dropped without close is still closed.
        self._finalizer = weakref.finalize(
            self, _close, self._lib, context, description.slot, transaction
        )

    # ---- life -------------------------------------------------------------

    @property
    def description(self) -> TokenDescription:
        return self._description

    @property
    def closed(self) -> bool:
        return self._closed

    def close(self) -> None:
        """Closes the token (and ends the transaction ``open`` began). Calls
        running in other threads finish first; later ones raise ValueError.
        Closing twice does nothing."""
        with self._state:
            if self._closed:
                return
            self._closed = True
            while self._calls:
                self._state.wait()
        self._finalizer.detach()
        check(_close(self._lib, self._context, self._description.slot, self._transaction),
              "QKCloseDevice")

    def __enter__(self) -> "Token":
        return self

    def __exit__(
        self,
        kind: Optional[Type[BaseException]],
        value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        try:
            self.close()
        except QKError:
            if kind is None:
                raise

    def __repr__(self) -> str:
        state = "closed" if self._closed else "open"
        return f"<qktoken.Token slot={self._description.slot} {state}>"

    def _call(self, name: str, *args: object) -> None:
        # Counted, so that close never pulls the device from under a call.
        with self._state:
            if self._closed:
                raise ValueError("the token is closed")
            self._calls += 1
        try:
            rc = getattr(self._lib, name)(byref(self._context), *args)
        finally:
            with self._state:
                self._calls -= 1
                if self._calls == 0:
                    self._state.notify_all()
        check(rc, name)

    @contextlib.contextmanager
    def transaction(self, timeout_ms: int = 0) -> Iterator["Token"]:
        """Holds the token's exchange lock for the block: no other handle's
        command, in this process or another, falls between this block's.
        Nests. ``timeout_ms`` bounds the wait (0: the process's lock limit)."""
        timeout_ms = _checks.integer(timeout_ms, "timeout_ms", 0, MAX_WAIT_MS)
        self._call("QKBeginTransaction", timeout_ms)
        try:
            yield self
        except BaseException:
            self._lib.QKEndTransaction(byref(self._context))
            raise
        # Also when the block closed the token: the lock outlives the close
        # until its transaction ends.
        check(self._lib.QKEndTransaction(byref(self._context)), "QKEndTransaction")

    # ---- information ------------------------------------------------------

    def _control_number(self, code: Control) -> int:
        return int.from_bytes(self.control(code), sys.byteorder)

    @property
    def info(self) -> TokenInfo:
        """The token's information record, read from the token now (in one
        transaction, so that no other handle changes it half way)."""
        with self.transaction():
            return TokenInfo(
                info_byte=self.control(Control.GET_INFO_BYTE)[0],
                version=self._control_number(Control.GET_INFO_WORD),
                value=self.control(Control.GET_INFO_BLOCK),
                model=self.control(Control.GET_INFO_SIX),
                serial=self.control(Control.GET_INFO_EIGHT),
                capacity=self._control_number(Control.GET_INFO_NUMBER),
            )

    # ---- PINs -------------------------------------------------------------

    def verify_pin(self, pin: "BytesLike | str", kind: int = PinKind.USER) -> None:
        """Presents a PIN (8 or 24 bytes, or an ASCII str). A wrong one raises
        WrongPinError with the tries left; a blocked one PinBlockedError."""
        kind = _checks.member(kind, PinKind, "kind")
        value = _checks.pin(pin, "pin", _PIN_LENGTHS)
        self._call("QKVerifyPin", _library.input_buffer(value), len(value), kind)

    def change_pin(
        self,
        old_pin: "BytesLike | str",
        new_pin: "BytesLike | str",
        kind: int = PinKind.USER,
        retry_limit: Optional[int] = None,
    ) -> None:
        """Changes a PIN: the user PIN is 8 bytes, the developer PIN 24.
        ``retry_limit`` (1 to 254) sets how many wrong tries block it; None
        keeps the present limit."""
        kind = _checks.member(kind, PinKind, "kind")
        length = _CHANGE_PIN_LENGTH[kind]
        old = _checks.pin(old_pin, "old_pin", (length,))
        new = _checks.pin(new_pin, "new_pin", (length,))
        limit = 0 if retry_limit is None else _checks.integer(retry_limit, "retry_limit", 1, 254)
        self._call(
            "QKUpdatePin",
            _library.input_buffer(old), len(old),
            _library.input_buffer(new), len(new),
            kind, limit,
        )

    # ---- directories and files --------------------------------------------

    def mkdir(self, dir_id: FileId, capacity: int = 0) -> None:
        """Makes directory ``dir_id`` in the current directory with room for
        ``capacity`` bytes. ``mkdir(ROOT_ID)`` builds the root of a token that
        has no file system (capacity 0)."""
        identifier = _checks.file_id(dir_id, "dir_id")
        if identifier == ROOT_ID:
            if _checks.integer(capacity, "capacity", 0, MAX_DIR_CAPACITY) != 0:
                raise ValueError("the root directory is made with capacity 0")
            self._call("QKMakeDir", b"3F00", 0, _DIR_ROOT)
            return
        capacity = _checks.integer(capacity, "capacity", 0, MAX_DIR_CAPACITY)
        self._call("QKMakeDir", _checks.id_text(identifier), capacity, _DIR_SUB)

    def select(self, path: str) -> None:
        """Selects a directory: "/" the root, ".." the parent, "0001" a child,
        "0001/0002" a walk, "/0001/0002" a walk from the root ("\\" works as
        "/" does)."""
        self._call("QKSelectDir", _checks.select_path(path, MAX_PATH_CHARS))

    def wipe(self) -> None:
        """Erases the current directory and everything in it (developer PIN);
        its parent becomes current. Wiping the root removes the file system."""
        self._call("QKWipeDir", None)

    def make_file(self, file_id: FileId, size: int, file_type: int = FileType.DATA) -> None:
        """Makes a file of ``size`` bytes (1 to 65535, zero-filled) in the
        current directory. ``file_type`` is a FileType or the token's byte."""
        identifier = _checks.file_id(file_id)
        size = _checks.integer(size, "size", 1, MAX_FILE_SIZE)
        file_type = _checks.integer(file_type, "file_type", 0, 0xFF)
        self._call("QKMakeFile", _checks.id_text(identifier), size, file_type)

    def write(self, file_id: FileId, data: BytesLike, offset: int = 0) -> None:
        """Writes ``data`` into a file from ``offset``. Files hold at most 65535
        bytes, and offsets travel as 16 bits: offset + len(data) must not pass
        65535 (it would wrap to the file's start)."""
        identifier = _checks.file_id(file_id)
        offset = _checks.integer(offset, "offset", 0, MAX_FILE_SIZE)
        raw = _checks.data(data, "data", 0, MAX_FILE_SIZE - offset)
        self._call("QKStoreFile", _checks.id_text(identifier), offset,
                   _library.input_buffer(raw), len(raw))

    def execute(self, file_id: FileId, data: BytesLike = b"") -> bytes:
        """Runs an executable file with ``data`` (at most 1024 bytes) as input
        and returns its output."""
        identifier = _checks.file_id(file_id)
        raw = _checks.data(data, "data", 0, MAX_EXEC_INPUT)
        output = _library.output_buffer(MAX_EXEC_OUTPUT)
        length = c_uint32(0)
        self._call("QKExecute", _checks.id_text(identifier), _library.input_buffer(raw),
                   len(raw), output, MAX_EXEC_OUTPUT, byref(length))
        if length.value > MAX_EXEC_OUTPUT:
            raise error_for(Code.COMMUNICATION, "QKExecute")
        return bytes(output[: length.value])

    def generate_key_pair(
        self, bits: int, public_file: FileId, private_file: FileId, exponent: int = 65537
    ) -> KeyPair:
        """Has the token generate an RSA key pair of 512, 1024 or 2048 bits into
        two files of the current directory and returns both blocks."""
        if isinstance(bits, bool) or not isinstance(bits, int):
            raise TypeError(f"bits must be an int, not {type(bits).__name__}")
        if bits not in _KEY_BLOCKS:
            raise ValueError(f"bits must be 512, 1024 or 2048, not {bits}")
        first = _checks.file_id(public_file, "public_file")
        second = _checks.file_id(private_file, "private_file")
        if first == second:
            raise ValueError("public_file and private_file must differ")
        exponent = _checks.integer(exponent, "exponent", 0, 0xFFFFFFFF)
        first_size, second_size = _KEY_BLOCKS[bits]
        first_out = _library.output_buffer(first_size)
        second_out = _library.output_buffer(second_size)
        first_length = c_uint32(first_size)
        second_length = c_uint32(second_size)
        self._call("QKGenerateRsaKeyPair", bits, exponent,
                   _checks.id_text(first), _checks.id_text(second),
                   first_out, byref(first_length), second_out, byref(second_length))
        if first_length.value != first_size or second_length.value != second_size:
            raise error_for(Code.COMMUNICATION, "QKGenerateRsaKeyPair")
        return KeyPair(bytes(first_out), bytes(second_out))

    def control(self, code: int, data: BytesLike = b"") -> bytes:
        """Runs a control code and returns its output (empty for codes that
        send). Numbers come in this machine's byte order, as the library
        writes them. Inputs: MODE_3 4 bytes (the first is sent);
        GET_FILE_RECORD a file id as 4 hexadecimal ASCII digits; SEND_25 1 to
        16 bytes; SEND_E7 1 byte; SEND_30 8 bytes; SEND_CB 1 to 256 bytes;
        the rest none."""
        code = _checks.member(code, Control, "code")
        low, high = _CONTROL_INPUT.get(code, (0, 0))
        raw = _checks.data(data, "data", low, high)
        if code == Control.GET_FILE_RECORD:
            _checks.file_id(raw.decode("latin-1"), "data")
        if code == Control.SEND_25 and len(raw) == 16 and raw[15] != 0:
            # The library always sends the 16th byte as 0.
            raise ValueError("SEND_25 sends the 16th byte as 0: give at most 15 bytes, "
                             "or 16 with the last one 0")
        size = _CONTROL_OUTPUT.get(code, 0)
        output = _library.output_buffer(max(size, 1))
        length = c_uint32(0)
        self._call("QKDeviceControl", code, _library.input_buffer(raw), len(raw),
                   output, size, byref(length))
        if size == 0:
            return b""
        if length.value != size:
            raise error_for(Code.COMMUNICATION, "QKDeviceControl")
        return bytes(output[:size])
