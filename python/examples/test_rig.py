"""A production test rig: check every attached token and print a verdict for
each. A token passes when it opens, describes itself as expected, accepts the
user PIN and computes the test vectors right with its program 0001.

    qktoken-sim run --tokens 3 -- python3 python/examples/test_rig.py

The PIN comes from QK_RIG_PIN (default: the shipped user PIN). Exit status 0
when every token passed, 1 otherwise.
"""

import os
import sys

import qktoken

EXPECTED_MODEL = b"QK-SIM"
ADD16 = "0001"  # the shipped program: the sum of two big-endian 16-bit numbers
VECTORS = [(5, 8), (0xFFFF, 2), (0x1234, 0x4321), (0, 0)]


def check(t: qktoken.Token, pin: bytes) -> None:
    """Raises on the first thing wrong with the token."""
    info = t.info
    print(f"  model {info.model.decode(errors='replace')}, version {info.version >> 8}."
          f"{info.version & 0xFF}, serial {info.serial.hex()}")
    if info.model != EXPECTED_MODEL:
        raise AssertionError(f"model {info.model!r}, expected {EXPECTED_MODEL!r}")
    t.verify_pin(pin)
    for a, b in VECTORS:
        answer = t.execute(ADD16, a.to_bytes(2, "big") + b.to_bytes(2, "big"))
        if int.from_bytes(answer, "big") != (a + b) & 0xFFFF:
            raise AssertionError(f"{a:#06x} + {b:#06x} gave {answer.hex()}")
    print(f"  {len(VECTORS)} test vectors right")


def main() -> int:
    pin = os.environ.get("QK_RIG_PIN", qktoken.DEFAULT_USER_PIN.decode()).encode()
    # A dead token must not hold the rig for the one-minute default.
    qktoken.set_time_limits(lock_ms=5000, first_read_ms=5000)
    tokens = qktoken.list_tokens()
    passed = 0
    for description in tokens:
        print(f"token {description.slot}: {description.path}")
        try:
            with qktoken.open(description) as t:
                check(t, pin)
        except qktoken.WrongPinError as error:
            print(f"  FAIL: wrong PIN, {error.tries_left} tries left")
        except qktoken.PinBlockedError:
            print("  FAIL: the user PIN is blocked")
        except (qktoken.QKError, AssertionError) as error:
            print(f"  FAIL: {error}")
        else:
            print("  PASS")
            passed += 1
    print(f"{passed} of {len(tokens)} tokens passed")
    return 0 if tokens and passed == len(tokens) else 1


if __name__ == "__main__":
    sys.exit(main())
