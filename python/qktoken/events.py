"""Tokens arriving and leaving, and the library's debug log.

    for event in qktoken.watch():          # Ctrl-C or cancel_wait() ends it
        print(event.kind, event.path)

``wait_for_change(timeout)`` blocks until the set of attached tokens changes;
``cancel_wait()`` ends every wait running in the process, from any thread.
``enable_logging()`` sends the library's debug lines to the ``logging``
logger "qktoken".
"""

from __future__ import annotations

import logging
import signal
import threading
import time
from ctypes import byref, c_uint32
from dataclasses import dataclass
from typing import Iterator, Optional

from . import _library
from .constants import MAX_WAIT_MS, Code
from .errors import check
from .token import list_tokens

__all__ = [
    "TokenEvent",
    "cancel_wait",
    "disable_logging",
    "enable_logging",
    "wait_for_change",
    "watch",
]


@dataclass(frozen=True)
class TokenEvent:
    """What ``watch()`` saw: ``kind`` is "present" (there when the watch
    began, with ``include_present``), "arrived", "removed", or "changed" (the
    set changed but cannot be listed now, because a token of this process is
    open: ``path`` is then None)."""

    kind: str
    path: Optional[str]


def _call(name: str):  # type: ignore[no-untyped-def]
    lib = _library.library()
    if not _library.has_call(name):
        raise _library.LibraryError(
            f"the qktoken library in use lacks {name} (older than this package?)", []
        )
    return getattr(lib, name)


def _timeout_ms(timeout: Optional[float]) -> Optional[int]:
    """Seconds (None: no limit) as the milliseconds of one wait."""
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"timeout must be a number of seconds or None, not {type(timeout).__name__}")
    if timeout < 0 or timeout * 1000 > MAX_WAIT_MS:
        raise ValueError(f"timeout must be 0 to {MAX_WAIT_MS // 1000} seconds, not {timeout}")
    return int(round(timeout * 1000))


def _wait_once(state: c_uint32, timeout_ms: int) -> bool:
    """One library wait: True on a change, False at the time limit."""
    rc = _call("QKWaitForDeviceChange")(byref(state), timeout_ms)
    if rc == Code.WAIT_TIMEOUT:
        return False
    check(rc, "QKWaitForDeviceChange")
    return True


def _wait_interruptible(state: c_uint32, timeout_ms: int) -> bool:
    """The wait, run where Ctrl-C can reach the caller: on the main thread the
    library call blocks in a helper thread while this one waits on it (a
    KeyboardInterrupt cancels the library's wait, then propagates); on any
    other thread the call blocks right here."""
    if threading.current_thread() is not threading.main_thread():
        return _wait_once(state, timeout_ms)
    outcome: list = []

    def run() -> None:
        # Ctrl-C must reach the main thread: a SIGINT the system hands to
        # this thread would only set Python's flag while the main thread
        # sleeps on, unaware, until the library's wait ends.
        if hasattr(signal, "pthread_sigmask"):
            signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
        try:
            outcome.append(_wait_once(state, timeout_ms))
        except BaseException as error:  # handed to the caller below
            outcome.append(error)

    helper = threading.Thread(target=run, name="qktoken-wait", daemon=True)
    helper.start()
    try:
        if hasattr(signal, "pthread_sigmask"):
            helper.join()  # a lock wait that a signal interrupts (POSIX)
        else:
            while helper.is_alive():  # Windows: a lock wait Ctrl-C cannot end
                helper.join(0.25)
    except KeyboardInterrupt:
        # A cancel reaches only a wait in progress: repeat until it ended.
        while helper.is_alive():
            _call("QKCancelDeviceWait")()
            helper.join(0.05)
        raise
    result = outcome[0]
    if isinstance(result, BaseException):
        raise result
    return bool(result)


_local = threading.local()


def _thread_state() -> c_uint32:
    state = getattr(_local, "state", None)
    if state is None:
        state = c_uint32(0)
        _wait_once(state, 0)  # the state now; a change from here on counts
        _local.state = state
    return state


def wait_for_change(timeout: Optional[float] = None) -> bool:
    """Blocks until the set of attached tokens changes, or ``timeout`` seconds
    (None: no limit) pass; True on a change, False at the time limit.

    A change counts from this thread's previous call (the first call: from
    the call itself), so nothing that happens between two calls is missed,
    even a token that came and went. A return may be spurious; list the
    tokens to see what changed. Works while tokens are open. Raises
    ``WaitCancelledError`` when ``cancel_wait()`` ends it, and
    KeyboardInterrupt on Ctrl-C.
    """
    limit = _timeout_ms(timeout)
    state = _thread_state()
    deadline = None if limit is None else time.monotonic() + limit / 1000
    while True:
        left = MAX_WAIT_MS if deadline is None else max(0, int((deadline - time.monotonic()) * 1000))
        if _wait_interruptible(state, min(left, MAX_WAIT_MS)):
            return True
        if deadline is not None and time.monotonic() >= deadline:
            return False


def cancel_wait() -> None:
    """Ends every ``wait_for_change`` and ``watch`` running in this process
    (from any thread); waits that start later are not affected."""
    _call("QKCancelDeviceWait")()


def _paths() -> Optional[set]:
    try:
        return {description.path for description in list_tokens()}
    except RuntimeError:  # a token of this process is open: no listing
        return None


def watch(include_present: bool = False) -> Iterator[TokenEvent]:
    """Yields a ``TokenEvent`` per token that arrives or leaves, until
    ``cancel_wait()`` (the iteration then ends) or Ctrl-C (KeyboardInterrupt).

    Tokens are told apart by their interface path. While a token of this
    process is open the set cannot be listed: a change then yields one
    "changed" event without a path.
    """
    state = c_uint32(0)
    _wait_once(state, 0)
    known = _paths()
    if include_present and known:
        for path in sorted(known):
            yield TokenEvent("present", path)
    while True:
        try:
            if not _wait_interruptible(state, MAX_WAIT_MS):
                continue
        except Exception as error:
            if getattr(error, "code", None) == Code.WAIT_CANCELLED:
                return
            raise
        now = _paths()
        if now is None or known is None:
            yield TokenEvent("changed", None)
        else:
            for path in sorted(known - now):
                yield TokenEvent("removed", path)
            for path in sorted(now - known):
                yield TokenEvent("arrived", path)
        if now is not None:
            known = now


# ---- the debug log -----------------------------------------------------------

_logger = logging.getLogger("qktoken")
_log_lock = threading.Lock()
_log_callback = None  # kept alive while the library holds it


def _forward(line: bytes, _user: object) -> None:
    try:
        _logger.debug("%s", line.decode("utf-8", "replace"))
    except Exception:  # never let a logging failure unwind into C
        pass


def enable_logging() -> None:
    """Routes the library's debug lines to the ``logging`` logger "qktoken"
    at DEBUG level (configure that logger to see them). The lines never hold
    PINs, keys or command data."""
    global _log_callback
    with _log_lock:
        if _log_callback is None:
            _log_callback = _library.LOG_CALLBACK(_forward)
        check(_call("QKSetLogCallback")(_log_callback, None), "QKSetLogCallback")


def disable_logging() -> None:
    """Stops routing the lines (QKTOKEN_DEBUG applies again)."""
    with _log_lock:
        check(_call("QKSetLogCallback")(None, None), "QKSetLogCallback")

