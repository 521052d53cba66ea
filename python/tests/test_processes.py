"""Two processes on one token: transactions, a replaced session, exclusive opens."""

import textwrap

import pytest

import qktoken
from conftest import DEV, PYTHON_DIR, USER, python, read_line
from qktoken import Code, PinKind
from test_token import read_back

PRELUDE = f"import sys, qktoken\nsys.path.insert(0, {str(PYTHON_DIR / 'tests')!r})\n[d] = qktoken.list_tokens()\n"


def child(body: str, wait: bool = True):  # type: ignore[no-untyped-def]
    process = python(PRELUDE + textwrap.dedent(body), wait=wait)
    assert not wait or process.returncode == 0, process.stderr
    return process


# Catches: a transaction lock not held across processes or past its timeout; an exclusive open beside another.
@pytest.mark.parametrize("options, error, code", [
    ({"transaction": True, "timeout_ms": 300}, qktoken.TokenBusyError, Code.LOCK_UNAVAILABLE),
    ({"exclusive": True}, qktoken.CommunicationError, Code.DEVICE_NOT_CONNECTED),
])
def test_a_holder_in_another_process_keeps_this_one_out(description, options, error, code) -> None:
    holder = child(f"""
        with qktoken.open(d, transaction={options.get('transaction', False)}) as t:
            print("held", flush=True)
            sys.stdin.readline()
            t.verify_pin(qktoken.DEFAULT_USER_PIN)
    """, wait=False)
    assert read_line(holder) == "held", holder.communicate(timeout=60)[1]
    with pytest.raises(error) as raised:
        qktoken.open(description, **options)
    assert raised.value.code == code
    assert holder.communicate("go\n", timeout=60)[0] == "" and holder.returncode == 0
    with qktoken.open(description, **dict(options, timeout_ms=5000)) as t:
        t.verify_pin(USER)


# Catches: another process's command falling between one process's steps.
def test_transactions_keep_two_processes_steps_together(token) -> None:
    token.verify_pin(DEV, PinKind.DEVELOPER)
    token.make_file(0x0002, 32)
    read_back(token, 2, 0, 0, install=True)
    token.close()
    workers = [child(f"""
        from test_token import read_back
        for i in range(20):
            marker = b"{name} %04d" % i
            with qktoken.open(d, transaction=True) as t:
                t.verify_pin(qktoken.DEFAULT_DEVELOPER_PIN, qktoken.PinKind.DEVELOPER)
                t.write(0x0002, marker)
                assert read_back(t, 0x0002, 0, len(marker)) == marker
    """, wait=False) for name in ("first", "second")]
    for w in workers:
        assert (w.communicate(timeout=120)[1], w.returncode) == ("", 0)


# Catches: a replaced session unreported; nested transactions stuck; a lock kept past an exception or a close.
def test_another_open_replaces_the_session_and_a_close_ends_the_transaction(description) -> None:
    with qktoken.open(description) as t:
        t.verify_pin(USER)
        child("with qktoken.open(d) as t:\n    t.verify_pin(qktoken.DEFAULT_USER_PIN)")
        with pytest.raises(qktoken.SessionReplacedError) as raised:
            t.verify_pin(USER)
        assert raised.value.name == "QK_E_SESSION_REPLACED"
    with qktoken.open(qktoken.list_tokens()[0]) as t:
        with t.transaction() as inner, inner.transaction(timeout_ms=100):
            t.verify_pin(USER)
        with pytest.raises(KeyError), t.transaction():
            raise KeyError("out")
        with t.transaction():
            t.close()
    child("with qktoken.open(d, transaction=True, timeout_ms=2000) as t:\n    t.verify_pin(qktoken.DEFAULT_USER_PIN)")


# Catches: close() from another thread, or the finalizer, reporting success while the worker's transaction
# still holds the lock against other processes and this one.
@pytest.mark.parametrize("how", ["close", "finalizer"])
def test_a_close_on_another_thread_releases_the_lock(description, how: str) -> None:
    import gc
    import threading
    import time

    opened: list = []
    worker = threading.Thread(target=lambda: opened.append(qktoken.open(description, transaction=True)))
    worker.start()
    worker.join()
    if how == "close":
        opened[0].close()
        assert opened[0].closed
    else:
        opened.clear()
        gc.collect()
    start = time.monotonic()
    child("with qktoken.open(d, transaction=True, timeout_ms=1000) as t:\n    t.verify_pin(qktoken.DEFAULT_USER_PIN)")
    assert time.monotonic() - start < 5
    with qktoken.open(qktoken.list_tokens()[0], transaction=True, timeout_ms=1000) as t:
        t.verify_pin(USER)
