"""Two processes on one token: transactions, a replaced session, exclusive
opens. The other process is a fresh interpreter driven through its stdin and
stdout."""

from __future__ import annotations

import textwrap

import pytest

import qktoken
from conftest import expect_line, spawn_python
from qktoken import FileType, PinKind
from test_token import READFILE

DEV = qktoken.DEFAULT_DEVELOPER_PIN
USER = qktoken.DEFAULT_USER_PIN

PRELUDE = "import sys, qktoken\n[d] = qktoken.list_tokens()\n"


def child(body: str):  # type: ignore[no-untyped-def]
    return spawn_python(PRELUDE + textwrap.dedent(body))


def finish(process) -> None:  # type: ignore[no-untyped-def]
    out, errors = process.communicate(timeout=60)
    assert process.returncode == 0, errors


def test_a_transaction_keeps_another_process_out_until_it_ends(description) -> None:
    holder = child("""
        with qktoken.open(d, transaction=True) as t:
            print("held", flush=True)
            sys.stdin.readline()
            t.verify_pin(qktoken.DEFAULT_USER_PIN)
        print("done", flush=True)
    """)
    expect_line(holder, "held")
    with pytest.raises(qktoken.TokenBusyError) as raised:
        qktoken.open(description, transaction=True, timeout_ms=300)
    assert raised.value.code == qktoken.Code.LOCK_UNAVAILABLE
    holder.stdin.write("go\n")
    holder.stdin.flush()
    expect_line(holder, "done")
    finish(holder)
    with qktoken.open(description, transaction=True, timeout_ms=5000) as t:
        t.verify_pin(USER)


def test_transactions_keep_two_processes_steps_together(description) -> None:
    with qktoken.open(description) as t:
        t.verify_pin(DEV, PinKind.DEVELOPER)
        t.make_file(0x0F00, len(READFILE), FileType.EXECUTABLE)
        t.write(0x0F00, READFILE)
        t.make_file(0x0002, 32)
    worker = """
        from test_token import read_back
        for i in range(ROUNDS):
            marker = b"%s %04d" % (NAME, i)
            with qktoken.open(d, transaction=True) as t:
                t.verify_pin(qktoken.DEFAULT_DEVELOPER_PIN, qktoken.PinKind.DEVELOPER)
                t.write(0x0002, marker)
                got = read_back(t, 0x0002, 0, len(marker))
                assert got == marker, (got, marker)
        print("ok", flush=True)
    """
    workers = [
        child(f"sys.path.insert(0, {str(__import__('conftest').PYTHON_DIR / 'tests')!r})\n"
              f"ROUNDS = 20\nNAME = b'{name}'\n" + textwrap.dedent(worker))
        for name in ("first", "second")
    ]
    for w in workers:
        expect_line(w, "ok", timeout=120)
        finish(w)


def test_another_open_replaces_the_session_and_a_new_open_restores_it(description) -> None:
    t = qktoken.open(description)
    t.verify_pin(USER)
    other = child("""
        with qktoken.open(d) as t:
            t.verify_pin(qktoken.DEFAULT_USER_PIN)
        print("opened", flush=True)
    """)
    expect_line(other, "opened")
    finish(other)
    with t:
        with pytest.raises(qktoken.SessionReplacedError) as raised:
            t.verify_pin(USER)
        assert raised.value.name == "QK_E_SESSION_REPLACED"
    with qktoken.open(qktoken.list_tokens()[0]) as again:
        again.verify_pin(USER)


def test_an_exclusive_open_fails_while_another_process_has_the_token(description) -> None:
    holder = child("""
        with qktoken.open(d) as t:
            print("open", flush=True)
            sys.stdin.readline()
        print("closed", flush=True)
    """)
    expect_line(holder, "open")
    with pytest.raises(qktoken.CommunicationError) as raised:
        qktoken.open(description, exclusive=True)
    assert raised.value.code == qktoken.Code.DEVICE_NOT_CONNECTED
    holder.stdin.write("go\n")
    holder.stdin.flush()
    expect_line(holder, "closed")
    finish(holder)
    with qktoken.open(description, exclusive=True) as t:
        t.verify_pin(USER)


def test_a_transaction_outlives_a_close_inside_it_and_then_ends(description) -> None:
    with qktoken.open(description) as t, t.transaction():
        t.close()
    other = child("""
        with qktoken.open(d, transaction=True, timeout_ms=2000) as t:
            t.verify_pin(qktoken.DEFAULT_USER_PIN)
        print("ok", flush=True)
    """)
    expect_line(other, "ok")
    finish(other)
