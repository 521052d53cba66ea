"""Tokens arriving and leaving (wait_for_change, watch, cancel_wait) and the debug log in `logging`."""

import logging
import signal
import threading
import time

import pytest

import qktoken
from conftest import USER, python, read_line, serve


def _in_thread(function):  # type: ignore[no-untyped-def]
    """Runs ``function`` on a thread; returns a callable giving its result or raising its error."""
    outcome: list = []

    def run() -> None:
        try:
            outcome.append((True, function()))
        except BaseException as error:  # noqa: BLE001 - handed back to the test
            outcome.append((False, error))

    thread = threading.Thread(target=run)
    thread.start()

    def result(timeout: float = 15):  # type: ignore[no-untyped-def]
        thread.join(timeout)
        assert not thread.is_alive(), "the wait did not end"
        ok, value = outcome[0]
        if not ok:
            raise value
        return value

    return result


# Catches: a timeout that is not seconds, out of range, or a bool taken as a number.
@pytest.mark.parametrize("timeout, error", [
    (-1, ValueError), (3601, ValueError), ("1", TypeError), (True, TypeError),
])
def test_wait_for_change_checks_its_timeout(timeout, error) -> None:
    with pytest.raises(error):
        qktoken.wait_for_change(timeout)


# Catches: an arrival or removal not ending a wait, or ending it late; a timeout reported as a change.
def test_wait_for_change_sees_a_token_arrive_and_leave(private_dir, monkeypatch) -> None:
    directory = private_dir / "tokens"
    directory.mkdir(mode=0o700)
    monkeypatch.setenv("QKTOKEN_VIRTUAL_DIR", str(directory))
    qktoken.wait_for_change(0)  # this thread's state from here on
    assert qktoken.wait_for_change(0.2) is False
    waiting = _in_thread(lambda: qktoken.wait_for_change(20))  # a thread of its own: its own state
    time.sleep(0.3)
    with serve(directory):
        served_at = time.monotonic()
        assert waiting() is True
        assert time.monotonic() - served_at < 1.0
        # The main thread's state predates the arrival: it returns at once.
        assert qktoken.wait_for_change(0) is True
        while qktoken.wait_for_change(0.2):
            pass
        leaving = _in_thread(lambda: qktoken.wait_for_change(20))
        time.sleep(0.3)
    left_at = time.monotonic()
    assert leaving() is True
    assert time.monotonic() - left_at < 1.0


# Catches: cancel_wait not reaching a wait on another thread, or on the main thread (where the
# call runs in a helper thread so that Ctrl-C can reach it).
def test_cancel_wait_ends_waits_on_any_thread() -> None:
    waiting = _in_thread(lambda: qktoken.wait_for_change(30))
    time.sleep(0.3)
    qktoken.cancel_wait()
    with pytest.raises(qktoken.WaitCancelledError) as raised:
        waiting()
    assert raised.value.code == qktoken.Code.WAIT_CANCELLED

    while qktoken.wait_for_change(0):  # what earlier tests changed (their token directories)
        pass
    timer = threading.Timer(0.3, qktoken.cancel_wait)
    timer.start()
    started = time.monotonic()
    try:
        with pytest.raises(qktoken.WaitCancelledError):
            qktoken.wait_for_change(30)
    finally:
        timer.cancel()
    assert time.monotonic() - started < 5


# Catches: watch() missing an arrival or removal, naming the wrong path, or not ending on cancel.
def test_watch_yields_arrivals_and_removals_until_cancelled(private_dir, monkeypatch) -> None:
    directory = private_dir / "tokens"
    directory.mkdir(mode=0o700)
    monkeypatch.setenv("QKTOKEN_VIRTUAL_DIR", str(directory))
    events: list = []

    def collect() -> None:
        for event in qktoken.watch():
            events.append(event)

    watching = _in_thread(collect)
    time.sleep(0.5)
    with serve(directory) as entry:
        time.sleep(1.0)
    time.sleep(1.0)
    qktoken.cancel_wait()
    watching()
    path = f"qkvirtual:{entry}"
    assert [(e.kind, e.path) for e in events] == [("arrived", path), ("removed", path)], events


# Catches: Ctrl-C held off until the library's wait ends by itself.
def test_ctrl_c_interrupts_a_wait_at_once() -> None:
    child = python(
        "import qktoken\nprint('waiting', flush=True)\n"
        "try:\n    qktoken.wait_for_change(600)\nexcept KeyboardInterrupt:\n    print('interrupted', flush=True)\n",
        wait=False)
    assert read_line(child) == "waiting"
    time.sleep(0.5)
    child.send_signal(signal.SIGINT)
    started = time.monotonic()
    assert read_line(child, 10) == "interrupted", child.communicate(timeout=10)[1]
    assert time.monotonic() - started < 3
    child.communicate(timeout=10)


# Catches: lines not reaching `logging`, or a PIN reaching the log.
def test_debug_log_goes_to_logging_without_the_pin(token, caplog) -> None:
    caplog.set_level(logging.DEBUG, logger="qktoken")
    qktoken.enable_logging()
    try:
        token.verify_pin(USER)
    finally:
        qktoken.disable_logging()
    lines = [r.getMessage() for r in caplog.records if r.name == "qktoken"]
    assert any(line.startswith("lock: held") for line in lines), lines
    assert any(line.startswith("exchange: instruction") for line in lines), lines
    text = "\n".join(lines)
    assert USER.decode() not in text and USER.hex() not in text
