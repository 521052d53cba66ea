"""Bad arguments raise TypeError or ValueError before they reach the library; the time limits."""

import pytest

import qktoken
from conftest import DEV, USER
from qktoken import Control, PinKind, TimeLimits

BAD_CALLS = [
    ("verify_pin", (12345678,), {}, TypeError, "pin must be bytes or str"),
    ("verify_pin", (b"1234567",), {}, ValueError, "8 or 24 bytes"),
    ("verify_pin", (USER,), {"kind": 2}, ValueError, "kind must be one of"),
    ("verify_pin", (USER,), {"kind": "user"}, TypeError, "kind must be a PinKind"),
    ("change_pin", (USER, DEV), {}, ValueError, "new_pin must be 8 bytes"),
    ("change_pin", (DEV, DEV), {"kind": PinKind.DEVELOPER, "retry_limit": 255}, ValueError, "from 1 to 254"),
    ("change_pin", (USER, USER), {"retry_limit": 3.0}, TypeError, "retry_limit must be an int"),
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
    ("write", (1, "text"), {}, TypeError, "data must be bytes, bytearray or memoryview"),
    ("write", (1, b"ab"), {"offset": 65534}, ValueError, "data must be 0 to 1 bytes"),
    ("write", (1, b""), {"offset": 65536}, ValueError, "offset must be from 0 to 65535"),
    ("execute", (1, bytes(1025)), {}, ValueError, "data must be 0 to 1024 bytes"),
    ("generate_key_pair", (4096, 1, 2), {}, ValueError, "bits must be 512, 1024 or 2048"),
    ("generate_key_pair", (512, "1001", 0x1001), {}, ValueError, "must differ"),
    ("generate_key_pair", (512, 1, 2), {"exponent": 1 << 32}, ValueError, "exponent"),
    ("control", (0x04,), {}, ValueError, "code must be one of"),
    ("control", ("GET_INFO_BYTE",), {}, TypeError, "code must be a Control"),
    ("control", (Control.GET_INFO_BYTE, b"x"), {}, ValueError, "data must be 0 bytes long"),
    ("control", (Control.MODE_3, b"\x05"), {}, ValueError, "data must be 4 bytes long"),
    ("control", (Control.GET_FILE_RECORD, b"00G1"), {}, ValueError, "four hexadecimal digits"),
    ("control", (Control.SEND_25, b""), {}, ValueError, "1 to 16 bytes"),
    ("control", (Control.SEND_25, bytes(15) + b"\x01"), {}, ValueError, "16th byte"),
    ("control", (Control.SEND_CB, bytes(257)), {}, ValueError, "1 to 256 bytes"),
    ("transaction", (), {"timeout_ms": qktoken.MAX_WAIT_MS + 1}, ValueError, "timeout_ms"),
    # the module's functions; D stands for the token's description
    ("open", ("D",), {"exclusive": 1}, TypeError, "exclusive"),
    ("open", ("D",), {"transaction": "yes"}, TypeError, "transaction"),
    ("open", ("D",), {"timeout_ms": -1}, ValueError, "timeout_ms"),
    ("open", (0,), {}, TypeError, "TokenDescription"),
    ("set_time_limits", (), {"lock_ms": 0}, ValueError, "lock_ms must be from 1"),
    ("set_time_limits", (), {"read_ms": qktoken.MAX_WAIT_MS + 1}, ValueError, "read_ms must be from 1"),
    ("set_time_limits", (), {"write_ms": 1.5}, TypeError, "write_ms must be an int"),
    ("set_time_limits", (), {"first_read_ms": True}, TypeError, "first_read_ms must be an int"),
]


# Catches: a bad value reaching the library or wrapped silently (offsets, SEND_25), or changing the limits.
@pytest.mark.parametrize("method, args, kwargs, exception, message", BAD_CALLS,
                         ids=[f"{c[0]}-{i}" for i, c in enumerate(BAD_CALLS)])
def test_a_bad_argument_is_refused_before_the_library(description, token, method, args, kwargs, exception,
                                                      message) -> None:
    token.verify_pin(DEV, PinKind.DEVELOPER)
    limits = qktoken.get_time_limits()
    call = getattr(token, method, None) or getattr(qktoken, method)
    with pytest.raises(exception, match=message):
        result = call(*[description if a == "D" else a for a in args], **kwargs)
        if method == "transaction":
            result.__enter__()
    token.make_file(0x0EEE, 1)  # untouched: the PIN is still verified and no file appeared
    assert qktoken.get_time_limits() == limits


# Catches: setting some limits disturbing the others, or reset not restoring the defaults.
def test_time_limits_set_some_and_reset_all() -> None:
    qktoken.reset_time_limits()
    assert qktoken.set_time_limits(write_ms=1, read_ms=qktoken.MAX_WAIT_MS) == TimeLimits(60000, 1, 60000, 3600000)
    assert qktoken.reset_time_limits() == TimeLimits(60000, 5000, 60000, 5000) == qktoken.get_time_limits()
