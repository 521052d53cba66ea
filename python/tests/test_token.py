"""Every method of the package against the simulated token."""

import gc
import sys
import threading
import time
from pathlib import Path

import pytest

import qktoken
from conftest import DEV, USER, serve
from qktoken import Code, Control, FileType, PinKind

# readfile: input file id, offset, length (big-endian words); answers those bytes of a data file.
READFILE = bytes.fromhex("514b564d010000242b00000652002120400000311400003124000231340004205000106051234453"
                         "01046a80")


def read_back(t: qktoken.Token, file_id: int, offset: int, length: int, install: bool = False) -> bytes:
    """Reads a data file through readfile (file 0F00), installed first if asked."""
    if install:
        t.make_file(0x0F00, len(READFILE), FileType.EXECUTABLE)
        t.write(0x0F00, READFILE)
    return t.execute(0x0F00, b"".join(v.to_bytes(2, "big") for v in (file_id, offset, length)))


def code_of(call) -> int:  # type: ignore[no-untyped-def]
    with pytest.raises(qktoken.QKError) as raised:
        call()
    return raised.value.code


# Catches: wrong slot/path or order in listing, stale tables, a failed open leaking a handle.
def test_listing_and_opening(private_dir: Path, monkeypatch) -> None:
    monkeypatch.setenv("QKTOKEN_VIRTUAL_DIR", str(private_dir))  # nothing served in it yet
    assert qktoken.list_tokens() == []
    with serve(private_dir, "--name", "b"), serve(private_dir, "--name", "a"):
        found = qktoken.list_tokens()
        assert [(d.slot, d.path) for d in found] == list(enumerate(f"qkvirtual:{private_dir / n}.sock" for n in "ab"))
        with qktoken.open(found[1]) as first:
            assert code_of(lambda: qktoken.open(found[1])) == Code.ALREADY_OPENED
            with pytest.raises(RuntimeError, match="close the 1 open token"):
                qktoken.list_tokens()
            first.verify_pin(USER)
        assert len(qktoken.list_tokens()) == 2
        with pytest.raises(ValueError, match="earlier listing"):
            qktoken.open(found[0])


# Catches: a handle left open by an exception, by del, or used after close.
def test_every_way_out_closes(description) -> None:
    with pytest.raises(KeyError), qktoken.open(description) as t:
        raise KeyError("out")
    t.close()  # twice is harmless
    assert t.closed and "closed" in repr(t)
    with pytest.raises(ValueError, match="closed"):
        t.verify_pin(USER)
    qktoken.open(qktoken.list_tokens()[0])  # dropped at once
    gc.collect()
    assert len(qktoken.list_tokens()) == 1


# Catches: a misdecoded information record or a query answered with the wrong size.
def test_info_and_control_queries(token: qktoken.Token) -> None:
    info = token.info
    assert (info.info_byte, info.version, info.model, info.capacity, info.value) == (
        1, 0x0102, b"QK-SIM", 262144, bytes(16))
    sizes = {Control.GET_INFO_BYTE: 1, Control.GET_INFO_EIGHT: 8, Control.GET_INFO_NUMBER: 4,
             Control.GET_INFO_BLOCK: 16, Control.GET_CC_VALUE: 4, Control.GET_INFO_SIX: 6,
             Control.GET_CD_VALUE: 4, Control.GET_INFO_WORD: 2}
    answers = {code: token.control(code) for code in sizes}
    assert {code: len(a) for code, a in answers.items()} == sizes and answers[Control.GET_INFO_EIGHT] == info.serial
    number = {code: int.from_bytes(a, sys.byteorder) for code, a in answers.items()}
    assert number[Control.GET_INFO_NUMBER] == 262144  # and both of these count the root's free bytes:
    assert number[Control.GET_CC_VALUE] == number[Control.GET_CD_VALUE] > 0


# Catches: PIN forms mishandled, a change or retry limit not reaching the token.
def test_pins_verify_in_every_form_and_change(token: qktoken.Token) -> None:
    for pin, kind in ((USER, PinKind.USER), (USER.decode(), 0), (bytearray(DEV), PinKind.DEVELOPER),
                      (memoryview(DEV), 1)):
        token.verify_pin(pin, kind)
    for kind, old, new in ((PinKind.USER, USER, b"11223344"), (PinKind.DEVELOPER, DEV, b"A" * 24)):
        token.change_pin(old, new, kind)
        with pytest.raises(qktoken.WrongPinError):
            token.verify_pin(old, kind)
        token.verify_pin(new, kind)
    token.change_pin(b"11223344", USER, retry_limit=3)
    token.change_pin(USER, USER)  # None keeps the limit of 3
    with pytest.raises(qktoken.WrongPinError) as raised:
        token.verify_pin(b"00000000")
    assert raised.value.tries_left == 2


# Catches: lost chunks or offsets in long writes, wrong path walks, a wipe or root rebuild gone wrong.
def test_directories_files_and_paths(token: qktoken.Token) -> None:
    token.verify_pin(DEV, PinKind.DEVELOPER)
    token.mkdir("1000", 80000)
    token.select("1000")
    token.mkdir(0x2000, 70000)
    token.select("/")
    token.select("1000/2000")
    data = bytes((i * 7 + i // 256) & 0xFF for i in range(2500))
    token.make_file(2, 3000)
    token.write(2, data, offset=300)
    got = b"".join(read_back(token, 2, 300 + o, min(1000, 2500 - o), install=o == 0) for o in range(0, 2500, 1000))
    assert got == data
    token.make_file(3, 65535)
    token.write(3, b"\x5a", offset=65534)  # the last byte of the largest file
    assert read_back(token, 3, 65533, 4) == b"\0\x5a"
    token.select("\\1000")
    assert code_of(lambda: read_back(token, 2, 0, 4)) == Code.FILE_NOT_FOUND
    token.select("\\1000\\2000")
    token.select("..")
    token.wipe()
    assert code_of(lambda: token.select("/1000")) == Code.DIR_NOT_FOUND
    token.wipe()  # the root
    assert code_of(lambda: token.make_file(2, 4)) == Code.UNSUPPORTED  # no file system
    token.mkdir(qktoken.ROOT_ID)
    token.make_file(2, 4)
    assert code_of(lambda: token.mkdir("3F00")) == Code.DIR_EXISTS


# Catches: execute buffers too small, or output past 1022 bytes accepted.
def test_execute_passes_the_largest_input_and_output(token: qktoken.Token) -> None:
    token.verify_pin(DEV, PinKind.DEVELOPER)
    echo = bytes.fromhex("514B564D0100000720100000441001")
    token.make_file(0x0E00, len(echo), FileType.EXECUTABLE)
    token.write(0x0E00, echo)
    largest = bytes(range(256)) * 3 + bytes(254)
    assert token.execute(0x0E00, largest) == largest and token.execute(0x0E00) == b""
    code_of(lambda: token.execute(0x0E00, bytes(1024)))  # 1024 in is fine; 1024 out is too many


# Catches: key blocks cut short, decoded at wrong offsets into keys that do not match, a wrong file record.
@pytest.mark.parametrize("bits", [512, 1024, 2048])
def test_generated_key_pairs(token: qktoken.Token, bits: int) -> None:
    token.verify_pin(DEV, PinKind.DEVELOPER)
    pair = token.generate_key_pair(bits, 0x1001, "1002", exponent=3)
    assert (len(pair.public_block), len(pair.private_block)) == (12 + bits // 8, 20 + 5 * bits // 16)
    record = token.control(Control.GET_FILE_RECORD, b"1002")
    assert int.from_bytes(record[:2], sys.byteorder) == 0x1002 and record[2] == FileType.PRIVATE_KEY
    if bits == 2048:
        with pytest.raises(ValueError, match="1024"):
            pair.public_key()  # beyond software RSA
        return
    public = pair.public_key()
    assert public.modulus.bit_length() == bits and public.exponent == 3
    signature = qktoken.rsa.private_encrypt(b"made on the token", pair.private_key())
    assert qktoken.rsa.public_decrypt(signature, public) == b"made on the token"


# Catches: control sends not reaching the record, mode 2 not logging out, reset not restoring.
def test_control_sends_and_reset(token: qktoken.Token) -> None:
    token.verify_pin(DEV, PinKind.DEVELOPER)
    for code, data in ((Control.SEND_25, b"provisioned"), (Control.SEND_E7, b"\x07"), (Control.SEND_30, b"SERIAL01"),
                       (Control.SEND_CB, bytes(256)), (Control.MODE_3, b"\x05\0\0\0"), (Control.MODE_1, b""),
                       (Control.MODE_2, b"")):
        token.control(code, data)
    with pytest.raises(qktoken.PinRequiredError):  # mode 2 logged both PINs out
        token.control(Control.RUN_E3)
    for expected in ((b"provisioned".ljust(16, b"\0"), 7, b"SERIAL01"), (bytes(16), 1, b"SERIAL01")):
        assert (token.info.value, token.info.info_byte, token.info.serial) == expected
        token.verify_pin(DEV, PinKind.DEVELOPER)
        assert token.control(Control.RUN_E3) == b""  # the reset keeps the serial


# Catches: close freeing the handle under a call running in another thread.
def test_close_waits_for_a_call_running_in_another_thread(private_dir: Path) -> None:
    with serve(private_dir, "--fault", "delay:400@1+3"):  # the first command after the open
        t, outcome = qktoken.open(qktoken.list_tokens()[0]), []

        def work() -> None:
            t.verify_pin(USER)  # delayed by the token: close waits for it, then refuses what follows
            outcome.append(pytest.raises(ValueError, t.execute, 1, b"\0\1\0\2").type)

        worker = threading.Thread(target=work)
        worker.start()
        deadline = time.monotonic() + 10
        while t._calls == 0 and time.monotonic() < deadline:  # the verify is under way
            time.sleep(0.005)
        t.close()  # returns once the verify is through
        worker.join()
    assert outcome == [ValueError]
