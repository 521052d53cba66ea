"""Result codes as exceptions: the family classes, the texts, and a wrong PIN
down to a blocked one against the simulated token."""

from __future__ import annotations

import pickle

import pytest

import qktoken
from conftest import serve
from qktoken import Code, PinKind, TextForm
from qktoken.errors import error_for

DEV = qktoken.DEFAULT_DEVELOPER_PIN
USER = qktoken.DEFAULT_USER_PIN


@pytest.mark.parametrize(
    "code, cls, name",
    [
        (Code.WRONG_PIN + 3, qktoken.WrongPinError, "QK_E_WRONG_PIN+3"),
        (Code.WRONG_PIN, qktoken.WrongPinError, "QK_E_WRONG_PIN+0"),
        (Code.PIN_BLOCKED, qktoken.PinBlockedError, "QK_E_PIN_BLOCKED"),
        (Code.USER_PIN_NOT_VERIFIED, qktoken.PinRequiredError, "QK_E_USER_PIN_NOT_VERIFIED"),
        (Code.DEV_PIN_NOT_VERIFIED, qktoken.PinRequiredError, "QK_E_DEV_PIN_NOT_VERIFIED"),
        (Code.DEVICE_NOT_CONNECTED, qktoken.CommunicationError, "QK_E_DEVICE_NOT_CONNECTED"),
        (Code.COMMUNICATION, qktoken.CommunicationError, "QK_E_COMMUNICATION"),
        (Code.FAILURE, qktoken.CommunicationError, "QK_E_FAILURE"),
        (Code.LOCK_UNAVAILABLE, qktoken.TokenBusyError, "QK_E_LOCK_UNAVAILABLE"),
        (Code.SESSION_REPLACED, qktoken.SessionReplacedError, "QK_E_SESSION_REPLACED"),
        (Code.PARAMETER, qktoken.ParameterError, "QK_E_PARAMETER"),
        (Code.FILE_NOT_FOUND, qktoken.QKError, "QK_E_FILE_NOT_FOUND"),
        (0x6E00, qktoken.QKError, "SW_6E00"),  # a status word the library does not map
    ],
)
def test_each_code_raises_its_family(code: int, cls: type, name: str) -> None:
    error = error_for(code, "QKCall")
    assert type(error) is cls and isinstance(error, qktoken.QKError)
    assert (error.code, error.name, error.call) == (code, name, "QKCall")
    assert error.message.isascii() and error.message and error.message != error.name
    assert str(error) == f"QKCall: {error.message} ({name}, 0x{code:08X})"


def test_busy_is_a_communication_failure() -> None:
    assert issubclass(qktoken.TokenBusyError, qktoken.CommunicationError)


def test_texts_come_in_every_form() -> None:
    assert qktoken.error_text(Code.COMMUNICATION, TextForm.NAME) == "QK_E_COMMUNICATION"
    assert qktoken.error_text(0) != qktoken.error_text(Code.COMMUNICATION)
    assert qktoken.error_text(0, TextForm.NATIVE_UTF8) == "操作成功"
    for code in (0, Code.CONTEXT, Code.WRONG_PIN + 5, Code.SESSION_REPLACED, 0x6A8A):
        assert qktoken.error_text(code, TextForm.NATIVE_GBK) == qktoken.error_text(
            code, TextForm.NATIVE_UTF8
        )
    assert qktoken.error_text(Code.WRONG_PIN + 195, TextForm.NATIVE_UTF8) == "密码错误,剩余次数195"
    error = error_for(Code.PIN_BLOCKED)
    assert (error.text, str(error).startswith(error.message)) == ("PIN码锁死", True)


@pytest.mark.parametrize("code, exception", [("1", TypeError), (True, TypeError),
                                             (-1, ValueError), (1 << 32, ValueError)])
def test_error_text_checks_the_code(code, exception) -> None:
    with pytest.raises(exception):
        qktoken.error_text(code)


def test_an_error_survives_pickling_with_its_fields() -> None:
    error = pickle.loads(pickle.dumps(error_for(Code.WRONG_PIN + 4, "QKVerifyPin")))
    assert type(error) is qktoken.WrongPinError
    assert (error.tries_left, error.name, error.call) == (4, "QK_E_WRONG_PIN+4", "QKVerifyPin")


def test_wrong_pin_counts_down_to_blocked_and_a_reset_restores(token: qktoken.Token) -> None:
    left = []
    for _ in range(15):  # the shipped limit
        with pytest.raises(qktoken.WrongPinError) as raised:
            token.verify_pin(b"99999999")
        left.append(raised.value.tries_left)
        assert raised.value.message == f"wrong PIN, {left[-1]} tries left"
    assert left == list(range(14, -1, -1))
    with pytest.raises(qktoken.PinBlockedError) as raised:
        token.verify_pin(USER)  # the right PIN no longer helps
    assert raised.value.code == Code.PIN_BLOCKED
    with pytest.raises(qktoken.PinRequiredError):
        token.execute("0001", bytes(4))
    # The developer PIN has a counter of its own and can reset the token.
    token.verify_pin(DEV, PinKind.DEVELOPER)
    token.control(qktoken.Control.RUN_E3)
    token.verify_pin(USER)


def test_a_right_pin_restores_the_counter(token: qktoken.Token) -> None:
    for expected in (14, 13):
        with pytest.raises(qktoken.WrongPinError) as raised:
            token.verify_pin(b"00000000")
        assert raised.value.tries_left == expected
    token.verify_pin(USER)
    with pytest.raises(qktoken.WrongPinError) as raised:
        token.verify_pin(b"00000000")
    assert raised.value.tries_left == 14


def test_a_token_that_goes_away_raises_communication_error(private_dir, monkeypatch) -> None:
    directory = private_dir / "gone"
    with serve(directory):
        monkeypatch.setenv("QKTOKEN_VIRTUAL_DIR", str(directory))
        [description] = qktoken.list_tokens()
        t = qktoken.open(description)
    qktoken.set_time_limits(first_read_ms=500, read_ms=500)
    with t, pytest.raises(qktoken.CommunicationError):
        t.verify_pin(USER)


def test_a_silent_token_raises_communication_error_within_the_limit(private_dir, monkeypatch) -> None:
    directory = private_dir / "silent"
    with serve(directory, "--fault", "silent@1+3"):
        monkeypatch.setenv("QKTOKEN_VIRTUAL_DIR", str(directory))
        [description] = qktoken.list_tokens()
        with qktoken.open(description) as t:
            qktoken.set_time_limits(first_read_ms=300)
            with pytest.raises(qktoken.CommunicationError) as raised:
                t.verify_pin(USER)
            assert raised.value.code == Code.COMMUNICATION
