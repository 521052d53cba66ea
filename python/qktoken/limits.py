"""The process-wide time limits of every exchange with a token."""

from __future__ import annotations

import threading
from ctypes import byref
from dataclasses import dataclass
from typing import Optional

from . import _checks, _library
from .constants import MAX_WAIT_MS
from .errors import check


@dataclass(frozen=True)
class TimeLimits:
    """Milliseconds, each 1 to MAX_WAIT_MS."""

    lock_ms: int  # waiting for the token's exchange lock (default 60000)
    write_ms: int  # writing one report (default 5000)
    first_read_ms: int  # the first answer report; the token may be computing (default 60000)
    read_ms: int  # each later answer report (default 5000)


_lock = threading.Lock()


def get_time_limits() -> TimeLimits:
    record = _library.QKTimeLimits()
    check(_library.library().QKGetTimeLimits(byref(record)), "QKGetTimeLimits")
    return TimeLimits(record.lockMs, record.writeMs, record.firstReadMs, record.readMs)


def set_time_limits(
    lock_ms: Optional[int] = None,
    write_ms: Optional[int] = None,
    first_read_ms: Optional[int] = None,
    read_ms: Optional[int] = None,
) -> TimeLimits:
    """Sets the limits given (the others stay) for every token of this process;
    returns the limits now in force."""
    given = {
        "lock_ms": lock_ms,
        "write_ms": write_ms,
        "first_read_ms": first_read_ms,
        "read_ms": read_ms,
    }
    checked = {
        name: _checks.integer(value, name, 1, MAX_WAIT_MS)
        for name, value in given.items()
        if value is not None
    }
    with _lock:
        now = get_time_limits()
        merged = {**now.__dict__, **checked}
        record = _library.QKTimeLimits(
            merged["lock_ms"], merged["write_ms"], merged["first_read_ms"], merged["read_ms"]
        )
        check(_library.library().QKSetTimeLimits(byref(record)), "QKSetTimeLimits")
        return get_time_limits()


def reset_time_limits() -> TimeLimits:
    """Restores the default limits; returns them."""
    with _lock:
        check(_library.library().QKSetTimeLimits(None), "QKSetTimeLimits")
        return get_time_limits()
