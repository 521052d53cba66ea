"""The Python constants agree with the C header they mirror."""

from __future__ import annotations

import re

import qktoken
from conftest import REPO

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
