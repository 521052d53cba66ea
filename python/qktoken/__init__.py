"""qktoken: the QK USB token from Python, over the token library (libqktoken).

    import qktoken

    for description in qktoken.list_tokens():
        with qktoken.open(description) as t:
            t.verify_pin(qktoken.DEFAULT_USER_PIN)
            print(t.info.serial.hex(), t.execute("0001", bytes([0, 5, 0, 8])).hex())

Tokens arriving and leaving: qktoken.wait_for_change(timeout) and
qktoken.watch(); the library's debug log to `logging`: qktoken.enable_logging().

Failures raise QKError (or a subclass for the families a caller acts on);
arguments are checked before they reach the library and raise TypeError or
ValueError. See docs/python.md.
"""

from . import rsa
from ._library import ENVIRONMENT_VARIABLE, LibraryError
from .constants import (
    DEFAULT_DEVELOPER_PIN,
    DEFAULT_USER_PIN,
    MAX_DEVICES,
    MAX_DIR_CAPACITY,
    MAX_EXEC_INPUT,
    MAX_EXEC_OUTPUT,
    MAX_FILE_SIZE,
    MAX_PATH_CHARS,
    MAX_WAIT_MS,
    PARENT_ID,
    PIN_DEVELOPER_LENGTH,
    PIN_USER_LENGTH,
    ROOT_ID,
    Code,
    Control,
    FileType,
    PinKind,
    TextForm,
)
from .errors import (
    CommunicationError,
    LockUnsafeError,
    ParameterError,
    PinBlockedError,
    PinRequiredError,
    QKError,
    SessionReplacedError,
    TokenBusyError,
    WaitCancelledError,
    WrongPinError,
    error_text,
)
from .events import (
    TokenEvent,
    cancel_wait,
    disable_logging,
    enable_logging,
    wait_for_change,
    watch,
)
from .limits import TimeLimits, get_time_limits, reset_time_limits, set_time_limits
from .token import KeyPair, Token, TokenDescription, TokenInfo, list_tokens, open

__version__ = "0.1.0"

__all__ = [
    "CommunicationError",
    "Code",
    "Control",
    "DEFAULT_DEVELOPER_PIN",
    "DEFAULT_USER_PIN",
    "ENVIRONMENT_VARIABLE",
    "FileType",
    "KeyPair",
    "LibraryError",
    "LockUnsafeError",
    "MAX_DEVICES",
    "MAX_DIR_CAPACITY",
    "MAX_EXEC_INPUT",
    "MAX_EXEC_OUTPUT",
    "MAX_FILE_SIZE",
    "MAX_PATH_CHARS",
    "MAX_WAIT_MS",
    "PARENT_ID",
    "PIN_DEVELOPER_LENGTH",
    "PIN_USER_LENGTH",
    "ParameterError",
    "PinBlockedError",
    "PinKind",
    "PinRequiredError",
    "QKError",
    "ROOT_ID",
    "SessionReplacedError",
    "TextForm",
    "TimeLimits",
    "Token",
    "TokenBusyError",
    "TokenDescription",
    "TokenEvent",
    "TokenInfo",
    "WaitCancelledError",
    "WrongPinError",
    "cancel_wait",
    "disable_logging",
    "enable_logging",
    "error_text",
    "get_time_limits",
    "list_tokens",
    "open",
    "reset_time_limits",
    "rsa",
    "set_time_limits",
    "wait_for_change",
    "watch",
]
