"""Constants of the token's C API (include/qktoken.h), as Python names."""

from __future__ import annotations

import enum


class Code(enum.IntEnum):
    """Result codes of the library. A rejected PIN is ``WRONG_PIN + tries left``."""

    SUCCESS = 0x00000000
    DEVICE_NOT_CONNECTED = 0xF0000001
    PARAMETER = 0xF0000002
    COMMUNICATION = 0xF0000003
    BUFFER_TOO_SMALL = 0xF0000004
    NO_DEVICE_LIST = 0xF0000005
    DEV_PIN_NOT_VERIFIED = 0xF0000006
    USER_PIN_NOT_VERIFIED = 0xF0000007
    RSA_FILE_FORMAT = 0xF0000008
    DIR_NOT_FOUND = 0xF0000009
    ACCESS_DENIED = 0xF000000A
    ALREADY_INITIALIZED = 0xF000000B
    INCORRECT_PIN = 0xF000000C
    DIR_SPACE = 0xF000000D
    FILE_EXISTS = 0xF000000E
    UNSUPPORTED = 0xF000000F
    FILE_NOT_FOUND = 0xF0000010
    ALREADY_OPENED = 0xF0000011
    DIR_EXISTS = 0xF0000012
    VM_ADDRESS_OVERFLOW = 0xF0000013
    VM_BAD_POINTER = 0xF0000014
    FILE_SYSTEM = 0xF0000015
    OFFSET_BEYOND_FILE = 0xF0000016
    FILE_TYPE_MISMATCH = 0xF0000017
    PIN_BLOCKED = 0xF0000018
    CONTEXT = 0xF0000019
    SHARING_VIOLATION = 0xF000001A
    UNKNOWN = 0xF000001B
    SESSION_REPLACED = 0xF000001C
    LOCK_UNAVAILABLE = 0xF000001D
    LOCK_UNSAFE = 0xF000001E
    WAIT_CANCELLED = 0xF000001F
    WAIT_TIMEOUT = 0xF0000020
    WATCH_UNAVAILABLE = 0xF0000021
    WRONG_PIN = 0xF0000C00
    FAILURE = 0xFFFFFFFF


class PinKind(enum.IntEnum):
    USER = 0
    DEVELOPER = 1


class FileType(enum.IntEnum):
    """The token's file types (QK_FILE_*)."""

    DATA = 0x01
    EXECUTABLE = 0x02
    PUBLIC_KEY = 0x03
    PRIVATE_KEY = 0x04


class Control(enum.IntEnum):
    """Codes of ``Token.control`` (QK_CTRL_*)."""

    MODE_1 = 0x01
    MODE_2 = 0x02
    MODE_3 = 0x03
    GET_INFO_BYTE = 0x11
    GET_INFO_EIGHT = 0x12
    GET_INFO_NUMBER = 0x13
    GET_INFO_BLOCK = 0x14
    GET_CC_VALUE = 0x15
    GET_INFO_SIX = 0x16
    GET_CD_VALUE = 0x17
    GET_FILE_RECORD = 0x18
    GET_INFO_WORD = 0x19
    SEND_25 = 0x21
    SEND_E7 = 0x22
    SEND_30 = 0x23
    SEND_CB = 0x24
    RUN_E3 = 0x31


class TextForm(enum.IntEnum):
    """Forms of a result code's text (QK_TEXT_*)."""

    NAME = 0
    ENGLISH = 1
    NATIVE_UTF8 = 2
    NATIVE_GBK = 3


# PIN lengths: a PIN of either length verifies as either kind; a change takes
# PINs of its kind's length.
PIN_USER_LENGTH = 8
PIN_DEVELOPER_LENGTH = 24

# The PINs a token ships with.
DEFAULT_USER_PIN = b"60719283"
DEFAULT_DEVELOPER_PIN = b"904817263590481726359048"

# Identifiers with a meaning of their own: the root directory, and the parent
# alias of a select.
ROOT_ID = 0x3F00
PARENT_ID = 0x0000

MAX_DEVICES = 128  # the most tokens one listing keeps
MAX_WAIT_MS = 3_600_000  # the longest time limit any call accepts
MAX_FILE_SIZE = 65535  # a file's size in bytes
MAX_EXEC_INPUT = 1024  # the input one execute command carries
MAX_EXEC_OUTPUT = 1024  # the output a token answers at most
MAX_PATH_CHARS = 127  # the longest path select takes
MAX_DIR_CAPACITY = 0xFFFFFF  # a directory's capacity travels in three bytes
