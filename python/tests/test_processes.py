"""Two processes on one token: a replaced session, and the package's transaction contexts.

(The locks across processes, exclusive opens and transactions under load are the
library's own tests: tests/reliability and tests/sim/link.)"""

import textwrap

import pytest

import qktoken
from conftest import PYTHON_DIR, USER, python

PRELUDE = f"import sys, qktoken\nsys.path.insert(0, {str(PYTHON_DIR / 'tests')!r})\n[d] = qktoken.list_tokens()\n"


def child(body: str, wait: bool = True):  # type: ignore[no-untyped-def]
    process = python(PRELUDE + textwrap.dedent(body), wait=wait)
    assert not wait or process.returncode == 0, process.stderr
    return process


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
