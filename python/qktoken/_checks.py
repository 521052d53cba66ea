"""Argument checks: every value is checked here before it reaches C."""

from __future__ import annotations

import enum
import string
from typing import Tuple, Type, TypeVar, Union

BytesLike = Union[bytes, bytearray, memoryview]
FileId = Union[int, str]

_HEX_DIGITS = frozenset(string.hexdigits)

E = TypeVar("E", bound=enum.IntEnum)


def integer(value: object, what: str, low: int, high: int) -> int:
    """``value`` as an int in [low, high]."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be an int, not {type(value).__name__}")
    if not low <= value <= high:
        raise ValueError(f"{what} must be from {low} to {high}, not {value}")
    return int(value)


def member(value: object, enum_type: Type[E], what: str) -> E:
    """``value`` as a member of ``enum_type`` (a member or its int value)."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be a {enum_type.__name__} or an int, not {type(value).__name__}")
    try:
        return enum_type(value)
    except ValueError:
        names = ", ".join(f"{m.name} ({m.value})" for m in enum_type)
        raise ValueError(f"{what} must be one of {names}; not {value}") from None


def data(value: object, what: str, low: int, high: int) -> bytes:
    """``value`` (bytes, bytearray or memoryview) as bytes of a length in [low, high]."""
    if isinstance(value, memoryview):
        result = value.tobytes()
    elif isinstance(value, (bytes, bytearray)):
        result = bytes(value)
    else:
        raise TypeError(
            f"{what} must be bytes, bytearray or memoryview, not {type(value).__name__}"
        )
    if not low <= len(result) <= high:
        if low == high:
            raise ValueError(f"{what} must be {low} bytes long, not {len(result)}")
        raise ValueError(f"{what} must be {low} to {high} bytes long, not {len(result)}")
    return result


def pin(value: object, what: str, lengths: Tuple[int, ...]) -> bytes:
    """A PIN given as bytes or as an ASCII str, of one of ``lengths``."""
    if isinstance(value, str):
        try:
            value = value.encode("ascii")
        except UnicodeEncodeError:
            raise ValueError(f"{what} given as str must be ASCII") from None
    if not isinstance(value, (bytes, bytearray, memoryview)):
        raise TypeError(f"{what} must be bytes or str, not {type(value).__name__}")
    result = value.tobytes() if isinstance(value, memoryview) else bytes(value)
    if len(result) not in lengths:
        allowed = " or ".join(str(n) for n in lengths)
        raise ValueError(f"{what} must be {allowed} bytes long, not {len(result)}")
    return result


def file_id(value: object, what: str = "file_id") -> int:
    """An identifier given as an int 0..0xFFFF or as four hexadecimal digits."""
    if isinstance(value, str):
        if len(value) != 4 or not set(value) <= _HEX_DIGITS:
            raise ValueError(f"{what} must be four hexadecimal digits, not {value!r}")
        return int(value, 16)
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be an int or a str of four hexadecimal digits, "
                        f"not {type(value).__name__}")
    if not 0 <= value <= 0xFFFF:
        raise ValueError(f"{what} must be from 0x0000 to 0xFFFF, not {value:#x}")
    return int(value)


def id_text(identifier: int) -> bytes:
    """The text the library parses an identifier from."""
    return b"%04X" % identifier


def select_path(value: object, max_chars: int) -> bytes:
    """A select path: "/" (or "\\") for the root, ".." for the parent, or
    identifiers of four hexadecimal digits joined by "/" or "\\", from the
    root when it starts with one."""
    if not isinstance(value, str):
        raise TypeError(f"path must be a str, not {type(value).__name__}")
    path = value.replace("/", "\\")
    if path in ("\\", ".."):
        return path.encode("ascii")
    body = path[1:] if path.startswith("\\") else path
    parts = body.split("\\")
    if not body or any(len(p) != 4 or not set(p) <= _HEX_DIGITS for p in parts):
        raise ValueError(
            f"path must be '/', '..' or identifiers of four hexadecimal digits joined by '/', "
            f"not {value!r}"
        )
    if len(path) > max_chars:
        raise ValueError(f"path must be at most {max_chars} characters, not {len(path)}")
    return path.upper().encode("ascii")
