"""Result codes as exceptions, and the texts of a code."""

from __future__ import annotations

import ctypes
from typing import Dict, Optional, Type

from . import _checks, _library
from .constants import Code, TextForm

_TEXT_BUFFER_SIZE = 256
# A text longer than this is refused rather than trusted: the library's own
# texts are a few dozen bytes.
_TEXT_LIMIT = 65536


def _text_from_library(code: int, form: int) -> Optional[str]:
    """The text of ``code`` in ``form`` from QKGetErrorText; None when the
    library does not give it."""
    lib = _library.library()
    needed = ctypes.c_uint32(0)
    size = _TEXT_BUFFER_SIZE
    for _ in range(2):
        buffer = ctypes.create_string_buffer(size)
        rc = lib.QKGetErrorText(code, form, buffer, size, ctypes.byref(needed))
        if rc == Code.SUCCESS:
            raw = buffer.value
            return raw.decode("gbk" if form == TextForm.NATIVE_GBK else "utf-8", "replace")
        if rc != Code.BUFFER_TOO_SMALL or not size < needed.value <= _TEXT_LIMIT:
            return None
        size = needed.value
    return None


def error_text(code: int, form: TextForm = TextForm.ENGLISH) -> str:
    """The text of a result code: its symbolic name, English text or the
    library's own (Chinese) text, in the form asked for.

    Status words the library does not map are named "SW_6E00"; codes it
    does not know at all, by their value.
    """
    if isinstance(code, bool) or not isinstance(code, int):
        raise TypeError(f"code must be an int, not {type(code).__name__}")
    if not 0 <= code <= 0xFFFFFFFF:
        raise ValueError(f"code must be a 32-bit unsigned value, not {code}")
    form = _checks.member(form, TextForm, "form")
    text = _text_from_library(code, form)
    # Every code has a text in every form; should the library ever refuse
    # one, the code itself stands in.
    return text if text is not None else f"0x{code:08X}"


class QKError(Exception):
    """A call of the token library failed.

    ``code`` is the 32-bit result code, ``name`` its symbolic name
    ("QK_E_COMMUNICATION"), ``message`` its English text, ``text`` the
    library's own text, and ``call`` the C call that returned it.
    """

    def __init__(
        self, code: int, call: str = "", *, name: str = "", message: str = "", text: str = ""
    ) -> None:
        self.code = code
        self.call = call
        self.name = name or f"0x{code:08X}"
        self.message = message or f"result code 0x{code:08X}"
        self.text = text or self.message
        super().__init__(str(self))

    def __str__(self) -> str:
        where = f"{self.call}: " if self.call else ""
        return f"{where}{self.message} ({self.name}, 0x{self.code:08X})"

    def __reduce__(self):  # type: ignore[no-untyped-def]
        # Pickled errors (e.g. from a worker process) keep their fields.
        return (
            _rebuild,
            (type(self), self.code, self.call, self.name, self.message, self.text),
        )


def _rebuild(cls: Type[QKError], code: int, call: str, name: str, message: str, text: str):  # type: ignore[no-untyped-def]
    return cls(code, call, name=name, message=message, text=text)


class WrongPinError(QKError):
    """The token rejected a PIN; ``tries_left`` more tries remain before it
    blocks (0: the next try, even with the right PIN, finds it blocked)."""

    @property
    def tries_left(self) -> int:
        return self.code & 0xFF


class PinBlockedError(QKError):
    """The PIN is blocked: it had no tries left."""


class PinRequiredError(QKError):
    """The command needs the user or developer PIN verified first."""


class CommunicationError(QKError):
    """The token could not be reached: not connected or removed, no answer in
    time, or an answer that broke the protocol."""


class TokenBusyError(CommunicationError):
    """The token's exchange lock could not be had in time; nothing was sent."""


class LockUnsafeError(QKError):
    """The token's lock directory (or lock file) could be reached or replaced
    by another user, or no private one exists; nothing was sent. Waiting does
    not help: fix the directory (QKTOKEN_DEBUG=1 names it and what is wrong)."""


class SessionReplacedError(QKError):
    """Another handle opened the token and agreed a new session; this handle's
    is void. Nothing was sent. Close the token and open it again."""


class ParameterError(QKError):
    """The library or the token refused an argument's value."""


class WaitCancelledError(QKError):
    """A wait for a change in the attached tokens was cancelled
    (``qktoken.cancel_wait()``, from another thread)."""


_CLASS_OF_CODE: Dict[int, Type[QKError]] = {
    Code.PIN_BLOCKED: PinBlockedError,
    Code.DEV_PIN_NOT_VERIFIED: PinRequiredError,
    Code.USER_PIN_NOT_VERIFIED: PinRequiredError,
    Code.DEVICE_NOT_CONNECTED: CommunicationError,
    Code.COMMUNICATION: CommunicationError,
    Code.FAILURE: CommunicationError,
    Code.LOCK_UNAVAILABLE: TokenBusyError,
    Code.LOCK_UNSAFE: LockUnsafeError,
    Code.SESSION_REPLACED: SessionReplacedError,
    Code.PARAMETER: ParameterError,
    Code.WAIT_CANCELLED: WaitCancelledError,
}


def is_wrong_pin(code: int) -> bool:
    return Code.WRONG_PIN <= code <= Code.WRONG_PIN + 0xFF


def error_class(code: int) -> Type[QKError]:
    if is_wrong_pin(code):
        return WrongPinError
    return _CLASS_OF_CODE.get(code, QKError)


def error_for(code: int, call: str = "") -> QKError:
    """The exception for a failed call's result code."""
    return error_class(code)(
        code,
        call,
        name=error_text(code, TextForm.NAME),
        message=error_text(code, TextForm.ENGLISH),
        text=error_text(code, TextForm.NATIVE_UTF8),
    )


def check(code: int, call: str) -> None:
    """Raises the exception for ``code`` unless it is success."""
    if code != Code.SUCCESS:
        raise error_for(code, call)
