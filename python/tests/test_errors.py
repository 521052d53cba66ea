"""Result codes as exceptions (families, texts, PINs, a lost token); the constants mirror the header."""

import contextlib
import pickle
import re

import pytest

import qktoken
from conftest import DEV, REPO, USER, serve
from qktoken import Code, PinKind, TextForm
from qktoken.errors import error_for


# Catches: a code raised as the wrong class, a wrong name, or fields lost in pickling.
@pytest.mark.parametrize("cls, codes", [
    (qktoken.WrongPinError, [Code.WRONG_PIN + 3, Code.WRONG_PIN]), (qktoken.PinBlockedError, [Code.PIN_BLOCKED]),
    (qktoken.PinRequiredError, [Code.USER_PIN_NOT_VERIFIED, Code.DEV_PIN_NOT_VERIFIED]),
    (qktoken.CommunicationError, [Code.DEVICE_NOT_CONNECTED, Code.COMMUNICATION, Code.FAILURE]),
    (qktoken.TokenBusyError, [Code.LOCK_UNAVAILABLE]), (qktoken.SessionReplacedError, [Code.SESSION_REPLACED]),
    (qktoken.LockUnsafeError, [Code.LOCK_UNSAFE]),
    (qktoken.ParameterError, [Code.PARAMETER]), (qktoken.QKError, [Code.FILE_NOT_FOUND, 0x6E00]),
])
def test_each_code_raises_its_family(cls: type, codes: list) -> None:
    assert issubclass(qktoken.TokenBusyError, qktoken.CommunicationError)
    assert not issubclass(qktoken.LockUnsafeError, (qktoken.TokenBusyError, qktoken.CommunicationError))
    names = {Code.WRONG_PIN + 3: "QK_E_WRONG_PIN+3", Code.WRONG_PIN: "QK_E_WRONG_PIN+0", 0x6E00: "SW_6E00"}
    for code in codes:
        error = pickle.loads(pickle.dumps(error_for(code, "QKCall")))
        name = names.get(code) or f"QK_E_{Code(code).name}"
        assert type(error) is cls and (error.code, error.name, error.call) == (code, name, "QKCall")
        assert error.message.isascii() and error.message and error.message != error.name
        assert str(error) == f"QKCall: {error.message} ({name}, 0x{code:08X})"


# Catches: texts in the wrong form or encoding, and bad codes reaching the library.
def test_texts_come_in_every_form() -> None:
    assert (qktoken.error_text(Code.COMMUNICATION, TextForm.NAME), qktoken.error_text(0, TextForm.NATIVE_UTF8)) == (
        "QK_E_COMMUNICATION", "操作成功")
    assert qktoken.error_text(0) != qktoken.error_text(Code.COMMUNICATION)
    for code in (0, Code.CONTEXT, Code.WRONG_PIN + 5, Code.SESSION_REPLACED, 0x6A8A):
        assert qktoken.error_text(code, TextForm.NATIVE_GBK) == qktoken.error_text(code, TextForm.NATIVE_UTF8)
    assert qktoken.error_text(Code.WRONG_PIN + 195, TextForm.NATIVE_UTF8) == "密码错误,剩余次数195"
    assert error_for(Code.PIN_BLOCKED).text == "PIN码锁死"
    for code, exception in (("1", TypeError), (True, TypeError), (-1, ValueError), (1 << 32, ValueError)):
        with pytest.raises(exception):
            qktoken.error_text(code)


# Catches: tries left miscounted or not restored, a blocked PIN misreported, a failing developer reset.
def test_wrong_pin_counts_down_to_blocked_and_a_reset_restores(token: qktoken.Token) -> None:
    def wrong() -> int:
        with pytest.raises(qktoken.WrongPinError) as raised:
            token.verify_pin(b"99999999")
        assert raised.value.message == f"wrong PIN, {raised.value.tries_left} tries left"
        return raised.value.tries_left

    assert [wrong(), wrong()] == [14, 13]
    token.verify_pin(USER)
    assert [wrong() for _ in range(15)] == list(range(14, -1, -1))  # the shipped limit
    with pytest.raises(qktoken.PinBlockedError):
        token.verify_pin(USER)  # the right PIN no longer helps
    with pytest.raises(qktoken.PinRequiredError):
        token.execute("0001", bytes(4))
    token.verify_pin(DEV, PinKind.DEVELOPER)  # a counter of its own
    token.control(qktoken.Control.RUN_E3)
    token.verify_pin(USER)


# Catches: a vanished or silent token reported as anything but CommunicationError, or not in time.
@pytest.mark.parametrize("fault", ["gone", "silent@1+3"])
def test_a_token_gone_or_silent_raises_communication_error(private_dir, fault) -> None:
    with contextlib.ExitStack() as running:
        running.enter_context(serve(private_dir, *(["--fault", fault] if "@" in fault else [])))
        t = qktoken.open(qktoken.list_tokens()[0])
        if fault == "gone":
            running.close()
        qktoken.set_time_limits(first_read_ms=300, read_ms=300)
        with t, pytest.raises(qktoken.CommunicationError):
            t.verify_pin(USER)


DEFINES = {name: int(value, 0) for name, value in re.findall(
    r"#define (QK_\w+)\s+(0x[0-9A-Fa-f]+|\d+)u\b", (REPO / "include" / "qktoken.h").read_text())}


# Catches: a constant added to or changed in the header but not in the package.
def test_every_header_constant_is_mirrored() -> None:
    for prefix, enum in (("QK_E_", qktoken.Code), ("QK_CTRL_", qktoken.Control), ("QK_FILE_", qktoken.FileType),
                         ("QK_TEXT_", qktoken.TextForm), ("QK_PIN_", qktoken.PinKind)):
        header = {n[len(prefix):]: v for n, v in DEFINES.items() if n.startswith(prefix) and not n.endswith("_LENGTH")}
        assert header == {m.name: m.value for m in enum}, prefix
    for name in ("MAX_DEVICES", "MAX_WAIT_MS", "MAX_FILE_SIZE", "MAX_EXEC_INPUT", "MAX_EXEC_OUTPUT",
                 "MAX_PATH_CHARS", "PIN_USER_LENGTH", "PIN_DEVELOPER_LENGTH"):
        assert getattr(qktoken, name) == DEFINES["QK_" + name], name
