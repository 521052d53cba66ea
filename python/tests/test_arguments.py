"""Bad arguments raise TypeError or ValueError before anything reaches the
library (a refusal by the library would be a QKError instead)."""

from __future__ import annotations

import pytest

import qktoken
from qktoken import Control, PinKind

DEV = qktoken.DEFAULT_DEVELOPER_PIN
USER = qktoken.DEFAULT_USER_PIN

BAD_CALLS = [
    # verify_pin / change_pin
    ("verify_pin", (12345678,), {}, TypeError, "pin must be bytes or str"),
    ("verify_pin", (b"1234567",), {}, ValueError, "8 or 24 bytes"),
    ("verify_pin", (USER,), {"kind": 2}, ValueError, "kind must be one of"),
    ("verify_pin", (USER,), {"kind": "user"}, TypeError, "kind must be a PinKind"),
    ("change_pin", (USER, DEV), {}, ValueError, "new_pin must be 8 bytes"),
    ("change_pin", (DEV, DEV), {"kind": PinKind.DEVELOPER, "retry_limit": 255}, ValueError,
     "retry_limit must be from 1 to 254"),
    ("change_pin", (USER, USER), {"retry_limit": 3.0}, TypeError, "retry_limit must be an int"),
    # identifiers and paths
    ("mkdir", ("12",), {}, ValueError, "four hexadecimal digits"),
    ("mkdir", ("12G4",), {}, ValueError, "four hexadecimal digits"),
    ("mkdir", (0x10000,), {}, ValueError, "0xFFFF"),
    ("mkdir", (b"1000",), {}, TypeError, "dir_id must be an int or a str"),
    ("mkdir", ("1000", 0x1000000), {}, ValueError, "capacity must be from 0 to 16777215"),
    ("mkdir", (qktoken.ROOT_ID, 16), {}, ValueError, "root directory is made with capacity 0"),
    ("select", ("",), {}, ValueError, "path must be"),
    ("select", ("1000/..",), {}, ValueError, "path must be"),
    ("select", ("/" + "/".join(["1000"] * 26),), {}, ValueError, "at most 127 characters"),
    ("select", (0x1000,), {}, TypeError, "path must be a str"),
    ("make_file", (1, 65536), {}, ValueError, "size must be from 1 to 65535"),
    ("make_file", (1, 16, 256), {}, ValueError, "file_type must be from 0 to 255"),
    ("make_file", (True, 16), {}, TypeError, "file_id must be an int"),
    # data
    ("write", (1, "text"), {}, TypeError, "data must be bytes, bytearray or memoryview"),
    ("write", (1, b"ab"), {"offset": 65534}, ValueError, "data must be 0 to 1 bytes"),
    ("write", (1, b""), {"offset": 65536}, ValueError, "offset must be from 0 to 65535"),
    ("execute", (1, bytes(1025)), {}, ValueError, "data must be 0 to 1024 bytes"),
    # key pairs
    ("generate_key_pair", (4096, 1, 2), {}, ValueError, "bits must be 512, 1024 or 2048"),
    ("generate_key_pair", (512, "1001", 0x1001), {}, ValueError, "must differ"),
    ("generate_key_pair", (512, 1, 2), {"exponent": 1 << 32}, ValueError, "exponent"),
    # control
    ("control", (0x04,), {}, ValueError, "code must be one of"),
    ("control", ("GET_INFO_BYTE",), {}, TypeError, "code must be a Control"),
    ("control", (Control.GET_INFO_BYTE, b"x"), {}, ValueError, "data must be 0 bytes long"),
    ("control", (Control.MODE_3, b"\x05"), {}, ValueError, "data must be 4 bytes long"),
    ("control", (Control.GET_FILE_RECORD, b"00G1"), {}, ValueError, "four hexadecimal digits"),
    ("control", (Control.SEND_25, b""), {}, ValueError, "1 to 16 bytes"),
    ("control", (Control.SEND_25, bytes(15) + b"\x01"), {}, ValueError, "16th byte"),
    ("control", (Control.SEND_CB, bytes(257)), {}, ValueError, "1 to 256 bytes"),
    ("transaction", (), {"timeout_ms": qktoken.MAX_WAIT_MS + 1}, ValueError, "timeout_ms"),
]


@pytest.mark.parametrize(
    "method, args, kwargs, exception, message",
    BAD_CALLS,
    ids=[f"{c[0]}-{i}" for i, c in enumerate(BAD_CALLS)],
)
def test_a_bad_argument_is_refused_before_the_library(
    token: qktoken.Token, method, args, kwargs, exception, message
) -> None:
    token.verify_pin(DEV, PinKind.DEVELOPER)
    call = getattr(token, method)
    with pytest.raises(exception, match=message):
        result = call(*args, **kwargs)
        if method == "transaction":
            result.__enter__()
    # The token is untouched: the developer PIN is still verified and no
    # directory or file appeared.
    token.make_file(0x0EEE, 1)


@pytest.mark.parametrize(
    "kwargs, exception",
    [({"exclusive": 1}, TypeError), ({"transaction": "yes"}, TypeError),
     ({"timeout_ms": -1}, ValueError)],
)
def test_open_checks_its_options(description, kwargs, exception) -> None:
    with pytest.raises(exception):
        qktoken.open(description, **kwargs)
    with qktoken.open(description) as t:  # nothing was left open
        t.verify_pin(USER)


def test_open_takes_only_a_description(token_dir) -> None:
    with pytest.raises(TypeError, match="TokenDescription"):
        qktoken.open(0)


@pytest.mark.parametrize(
    "kwargs, exception",
    [({"lock_ms": 0}, ValueError), ({"read_ms": qktoken.MAX_WAIT_MS + 1}, ValueError),
     ({"write_ms": 1.5}, TypeError), ({"first_read_ms": True}, TypeError)],
)
def test_bad_time_limits_change_nothing(kwargs, exception) -> None:
    before = qktoken.get_time_limits()
    with pytest.raises(exception):
        qktoken.set_time_limits(**kwargs)
    assert qktoken.get_time_limits() == before
