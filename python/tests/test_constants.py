"""The Python constants agree with the C header they mirror."""

from __future__ import annotations

import re

import qktoken
from conftest import REPO

HEADER = (REPO / "include" / "qktoken.h").read_text()
DEFINES = {
    name: int(value, 16 if value.lower().startswith("0x") else 10)
    for name, value in re.findall(r"#define (QK_\w+)\s+(0x[0-9A-Fa-f]+|\d+)u\b", HEADER)
}

ENUMS = [("QK_E_", qktoken.Code), ("QK_CTRL_", qktoken.Control), ("QK_FILE_", qktoken.FileType),
         ("QK_TEXT_", qktoken.TextForm), ("QK_PIN_", qktoken.PinKind)]


def test_every_header_constant_of_a_family_is_an_enum_member() -> None:
    for prefix, enum in ENUMS:
        header = {n[len(prefix):]: v for n, v in DEFINES.items()
                  if n.startswith(prefix) and not n.endswith("_LENGTH")}
        assert header == {m.name: m.value for m in enum}, prefix


def test_the_bounds_match() -> None:
    for name in ("MAX_DEVICES", "MAX_WAIT_MS", "MAX_FILE_SIZE", "MAX_EXEC_INPUT",
                 "MAX_EXEC_OUTPUT", "MAX_PATH_CHARS"):
        assert getattr(qktoken, name) == DEFINES["QK_" + name], name
    assert (qktoken.PIN_USER_LENGTH, qktoken.PIN_DEVELOPER_LENGTH) == (
        DEFINES["QK_PIN_USER_LENGTH"], DEFINES["QK_PIN_DEVELOPER_LENGTH"])
