"""Every method of the package against the simulated token."""

from __future__ import annotations

import sys
from pathlib import Path

import pytest

import qktoken
from conftest import serve
from qktoken import Control, FileType, PinKind

DEV = qktoken.DEFAULT_DEVELOPER_PIN
USER = qktoken.DEFAULT_USER_PIN

# readfile: input file id, offset, length (big-endian words); answers those
# bytes of a data file of the current directory.
READFILE = bytes.fromhex(
    "51 4b 56 4d 01 00 00 24 2b 00 00 06 52 00 21 20 40 00 00 31 14 00 00 31"
    "24 00 02 31 34 00 04 20 50 00 10 60 51 23 44 53 01 04 6a 80"
)


def read_back(t: qktoken.Token, file_id: int, offset: int, length: int, reader: int = 0x0F00) -> bytes:
    """Reads a data file through the readfile program (file ``reader``)."""
    return t.execute(reader, file_id.to_bytes(2, "big") + offset.to_bytes(2, "big")
                     + length.to_bytes(2, "big"))


def install_reader(t: qktoken.Token, reader: int = 0x0F00) -> None:
    t.make_file(reader, len(READFILE), FileType.EXECUTABLE)
    t.write(reader, READFILE)


# ---- listing and opening -----------------------------------------------------


def test_listing_describes_the_served_token(token_dir: Path) -> None:
    [found] = qktoken.list_tokens()
    assert found.slot == 0
    assert found.path == f"qkvirtual:{token_dir / 'token0.sock'}"


def test_listing_gives_every_token_in_name_order(private_dir: Path, monkeypatch) -> None:
    directory = private_dir / "two"
    with serve(directory, "--name", "b"), serve(directory, "--name", "a"):
        monkeypatch.setenv("QKTOKEN_VIRTUAL_DIR", str(directory))
        found = qktoken.list_tokens()
        assert [(d.slot, Path(d.path).name) for d in found] == [(0, "a.sock"), (1, "b.sock")]
        for d in found:  # each opens as itself
            with qktoken.open(d) as t:
                assert t.info.model == b"QK-SIM"


def test_listing_an_empty_directory_gives_no_tokens(private_dir: Path, monkeypatch) -> None:
    empty = private_dir / "empty"
    empty.mkdir(mode=0o700)
    monkeypatch.setenv("QKTOKEN_VIRTUAL_DIR", str(empty))
    assert qktoken.list_tokens() == []


def test_listing_waits_until_every_token_is_closed(description) -> None:
    with qktoken.open(description):
        with pytest.raises(RuntimeError, match="close the 1 open token"):
            qktoken.list_tokens()
    assert len(qktoken.list_tokens()) == 1


def test_a_description_from_an_earlier_listing_is_refused(description) -> None:
    qktoken.list_tokens()
    with pytest.raises(ValueError, match="earlier listing"):
        qktoken.open(description)


def test_opening_an_open_token_again_leaves_the_first_working(description) -> None:
    with qktoken.open(description) as first:
        with pytest.raises(qktoken.QKError) as raised:
            qktoken.open(description)
        assert raised.value.code == qktoken.Code.ALREADY_OPENED
        first.verify_pin(USER)


def test_leaving_the_block_by_an_exception_closes(description) -> None:
    with pytest.raises(KeyError):
        with qktoken.open(description) as t:
            raise KeyError("out")
    assert t.closed
    with qktoken.open(qktoken.list_tokens()[0]) as again:  # listing and opening work
        again.verify_pin(USER)


def test_a_closed_token_refuses_calls_and_closes_twice(description) -> None:
    t = qktoken.open(description)
    t.close()
    t.close()
    assert "closed" in repr(t)
    with pytest.raises(ValueError, match="closed"):
        t.verify_pin(USER)


def test_a_dropped_token_is_closed(description) -> None:
    t = qktoken.open(description)
    del t
    import gc

    gc.collect()
    assert len(qktoken.list_tokens()) == 1


# ---- information -------------------------------------------------------------


def test_info_decodes_the_record(token: qktoken.Token) -> None:
    info = token.info
    assert (info.info_byte, info.version, info.model, info.capacity) == (1, 0x0102, b"QK-SIM", 262144)
    assert info.value == bytes(16)
    assert info.serial == token.control(Control.GET_INFO_EIGHT) and len(info.serial) == 8


# ---- PINs --------------------------------------------------------------------


def test_verify_takes_bytes_or_str_of_either_kind(token: qktoken.Token) -> None:
    token.verify_pin(USER)
    token.verify_pin(USER.decode(), kind=PinKind.USER)
    token.verify_pin(bytearray(DEV), PinKind.DEVELOPER)
    token.verify_pin(memoryview(DEV), 1)


@pytest.mark.parametrize(
    "kind, old, new",
    [(PinKind.USER, USER, b"11223344"), (PinKind.DEVELOPER, DEV, b"A" * 24)],
)
def test_change_pin_replaces_it(token: qktoken.Token, kind, old, new) -> None:
    token.change_pin(old, new, kind)
    with pytest.raises(qktoken.WrongPinError):
        token.verify_pin(old, kind)
    token.verify_pin(new, kind)


def test_change_pin_sets_a_retry_limit(token: qktoken.Token) -> None:
    token.change_pin(USER, USER, retry_limit=3)
    with pytest.raises(qktoken.WrongPinError) as raised:
        token.verify_pin(b"00000000")
    assert raised.value.tries_left == 2
    token.change_pin(USER, USER)  # None keeps the limit of 3
    with pytest.raises(qktoken.WrongPinError) as raised:
        token.verify_pin(b"00000000")
    assert raised.value.tries_left == 2


# ---- directories, files and execution ---------------------------------------


def test_make_write_and_run_in_a_new_directory(token: qktoken.Token) -> None:
    token.verify_pin(DEV, PinKind.DEVELOPER)
    token.mkdir("1000", 8192)
    token.select("1000")
    install_reader(token)
    token.make_file(0x0002, 64)
    token.write("0002", b"hello", offset=10)
    assert read_back(token, 0x0002, 8, 10) == b"\0\0hello\0\0\0"
    token.select("..")
    with pytest.raises(qktoken.QKError) as raised:
        token.execute(0x0F00)  # not in the root
    assert raised.value.code == qktoken.Code.FILE_NOT_FOUND
    token.select("/1000")
    assert read_back(token, 0x0002, 10, 5) == b"hello"


def test_long_writes_land_whole_across_chunks(token: qktoken.Token) -> None:
    token.verify_pin(DEV, PinKind.DEVELOPER)
    install_reader(token)
    data = bytes((i * 7 + i // 256) & 0xFF for i in range(2500))
    token.make_file(0x0002, 3000)
    token.write(0x0002, data, offset=300)
    read = b"".join(read_back(token, 0x0002, 300 + o, min(1000, 2500 - o)) for o in range(0, 2500, 1000))
    assert read == data
    token.make_file(0x0003, 65535)  # the last byte of the largest file
    token.write(0x0003, b"\x5a", offset=65534)
    assert read_back(token, 0x0003, 65533, 4) == b"\0\x5a"


def test_select_walks_paths(token: qktoken.Token) -> None:
    token.verify_pin(DEV, PinKind.DEVELOPER)
    token.mkdir(0x1000, 4096)
    token.select("1000")
    token.mkdir(0x2000, 1024)
    token.select("/")
    token.select("1000/2000")
    install_reader(token)
    token.select("\\")
    token.select("\\1000\\2000")
    token.make_file(0x0002, 4)
    token.write(0x0002, b"deep")
    assert read_back(token, 0x0002, 0, 4) == b"deep"
    token.select("..")
    with pytest.raises(qktoken.QKError):
        read_back(token, 0x0002, 0, 4)


def test_wipe_erases_the_current_directory(token: qktoken.Token) -> None:
    token.verify_pin(DEV, PinKind.DEVELOPER)
    token.mkdir("1000", 4096)
    token.select("1000")
    token.wipe()
    with pytest.raises(qktoken.QKError) as raised:
        token.select("1000")
    assert raised.value.code == qktoken.Code.DIR_NOT_FOUND


def test_a_wiped_root_is_built_again_by_mkdir_root(token: qktoken.Token) -> None:
    token.verify_pin(DEV, PinKind.DEVELOPER)
    token.select("/")
    token.wipe()
    with pytest.raises(qktoken.QKError) as raised:
        token.make_file(0x0002, 4)
    assert raised.value.code == qktoken.Code.UNSUPPORTED  # no file system
    token.mkdir(qktoken.ROOT_ID)
    token.make_file(0x0002, 4)
    with pytest.raises(qktoken.QKError) as raised:
        token.mkdir("3F00")
    assert raised.value.code == qktoken.Code.DIR_EXISTS


def test_execute_passes_the_largest_input_and_output(token: qktoken.Token) -> None:
    token.verify_pin(DEV, PinKind.DEVELOPER)
    echo = bytes.fromhex("514B564D0100000720100000441001")
    token.make_file(0x0E00, len(echo), FileType.EXECUTABLE)
    token.write(0x0E00, echo)
    assert token.execute(0x0E00, bytes(range(256)) * 3 + bytes(254)) == bytes(range(256)) * 3 + bytes(254)
    with pytest.raises(qktoken.QKError):  # 1024 bytes in is fine; 1024 out is past 1022
        token.execute(0x0E00, bytes(1024))
    assert token.execute(0x0E00) == b""


@pytest.mark.parametrize("bits", [512, 1024])
def test_generated_key_pairs_work_in_software_rsa(token: qktoken.Token, bits: int) -> None:
    token.verify_pin(DEV, PinKind.DEVELOPER)
    pair = token.generate_key_pair(bits, 0x1001, "1002", exponent=3)
    k = bits // 8
    assert (len(pair.public_block), len(pair.private_block)) == (12 + k, 20 + 5 * k // 2)
    public, private = pair.public_key(), pair.private_key()
    assert public.modulus.bit_length() == bits and public.exponent == 3
    signature = qktoken.rsa.private_encrypt(b"made on the token", private)
    assert qktoken.rsa.public_decrypt(signature, public) == b"made on the token"
    assert token.control(Control.GET_FILE_RECORD, b"1001")[2] == FileType.PUBLIC_KEY
    assert token.control(Control.GET_FILE_RECORD, b"1002")[2] == FileType.PRIVATE_KEY


def test_generate_2048_bits_gives_the_full_blocks(token: qktoken.Token) -> None:
    token.verify_pin(DEV, PinKind.DEVELOPER)
    pair = token.generate_key_pair(2048, 0x1001, 0x1002)
    assert (len(pair.public_block), len(pair.private_block)) == (268, 660)
    with pytest.raises(ValueError, match="1024"):
        pair.public_key()  # beyond software RSA


# ---- control -----------------------------------------------------------------


def _number(raw: bytes) -> int:
    return int.from_bytes(raw, sys.byteorder)


def test_control_queries_give_their_documented_sizes(token: qktoken.Token) -> None:
    sizes = {
        Control.GET_INFO_BYTE: 1, Control.GET_INFO_EIGHT: 8, Control.GET_INFO_NUMBER: 4,
        Control.GET_INFO_BLOCK: 16, Control.GET_CC_VALUE: 4, Control.GET_INFO_SIX: 6,
        Control.GET_CD_VALUE: 4, Control.GET_INFO_WORD: 2,
    }
    answers = {code: token.control(code) for code in sizes}
    assert {code: len(a) for code, a in answers.items()} == sizes
    assert _number(answers[Control.GET_INFO_NUMBER]) == 262144
    # The 0xCC value and the 0xCD record's second word both count the root's free bytes.
    assert _number(answers[Control.GET_CC_VALUE]) == _number(answers[Control.GET_CD_VALUE]) > 0
    record = token.control(Control.GET_FILE_RECORD, b"0001")
    assert _number(record[:2]) == 1 and record[2] == FileType.EXECUTABLE


def test_control_sends_change_the_record_and_reset_restores_it(token: qktoken.Token) -> None:
    token.verify_pin(DEV, PinKind.DEVELOPER)
    token.control(Control.SEND_25, b"provisioned")
    token.control(Control.SEND_E7, b"\x07")
    token.control(Control.SEND_30, b"SERIAL01")
    token.control(Control.SEND_CB, bytes(256))
    token.control(Control.MODE_3, b"\x05\0\0\0")
    info = token.info
    assert (info.value, info.info_byte, info.serial) == (b"provisioned".ljust(16, b"\0"), 7, b"SERIAL01")
    token.control(Control.MODE_1)
    token.control(Control.MODE_2)
    with pytest.raises(qktoken.PinRequiredError):  # mode 2 logged both PINs out
        token.control(Control.RUN_E3)
    token.verify_pin(DEV, PinKind.DEVELOPER)
    assert token.control(Control.RUN_E3) == b""
    info = token.info
    assert (info.value, info.info_byte, info.serial) == (bytes(16), 1, b"SERIAL01")


# ---- transactions and threads ------------------------------------------------


def test_transactions_nest(token: qktoken.Token) -> None:
    with token.transaction() as t, t.transaction(timeout_ms=100):
        t.verify_pin(USER)
    with pytest.raises(KeyError), token.transaction():
        raise KeyError("the lock is released on the way out")
    with token.transaction(timeout_ms=100):
        token.verify_pin(USER)


def test_close_waits_for_a_call_running_in_another_thread(private_dir: Path, monkeypatch) -> None:
    import threading
    import time

    directory = private_dir / "slow"
    with serve(directory, "--fault", "delay:400@1+3"):  # the first command after the open
        monkeypatch.setenv("QKTOKEN_VIRTUAL_DIR", str(directory))
        t = qktoken.open(qktoken.list_tokens()[0])
        outcome = []

        def work() -> None:
            try:
                t.verify_pin(USER)
                outcome.append("verified")
                t.execute(1, b"\0\1\0\2")
            except Exception as error:  # noqa: BLE001 - recorded for the assertion
                outcome.append(type(error).__name__)

        worker = threading.Thread(target=work)
        worker.start()
        deadline = time.monotonic() + 10
        while t._calls == 0 and time.monotonic() < deadline:  # the verify is under way
            time.sleep(0.005)
        t.close()  # returns once the verify is through
        worker.join()
    assert outcome == ["verified", "ValueError"]
