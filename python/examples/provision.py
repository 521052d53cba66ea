"""Provision a fresh token for an application: its directory, a configuration
file, a program that reads the configuration back, a key pair, and a user PIN
of its own. All of it runs in one transaction, so no other program's command
falls between the steps.

    qktoken-sim run -- python3 python/examples/provision.py
"""

import sys

import qktoken
from qktoken import FileType, PinKind

APP_DIR = 0x2000
CONFIG_FILE = 0x0001
READER = 0x0F00  # answers a piece of a data file: input file id, offset, length
PUBLIC_KEY, PRIVATE_KEY = 0x1001, 0x1002
USER_PIN = b"24681357"
CONFIG = b"station=7;mode=production"

# The reader program (sim/programs/readfile.qasm, assembled by qktoken-asm).
READFILE = bytes.fromhex(
    "51 4b 56 4d 01 00 00 24 2b 00 00 06 52 00 21 20 40 00 00 31 14 00 00 31"
    "24 00 02 31 34 00 04 20 50 00 10 60 51 23 44 53 01 04 6a 80"
)


def provision(description: qktoken.TokenDescription) -> None:
    with qktoken.open(description, transaction=True) as t:
        t.verify_pin(qktoken.DEFAULT_DEVELOPER_PIN, PinKind.DEVELOPER)
        t.mkdir(APP_DIR, capacity=16 * 1024)
        t.select(f"/{APP_DIR:04X}")

        t.make_file(CONFIG_FILE, 256, FileType.DATA)
        t.write(CONFIG_FILE, CONFIG)
        t.make_file(READER, len(READFILE), FileType.EXECUTABLE)
        t.write(READER, READFILE)
        pair = t.generate_key_pair(1024, PUBLIC_KEY, PRIVATE_KEY)
        t.change_pin(qktoken.DEFAULT_USER_PIN, USER_PIN, PinKind.USER, retry_limit=5)

        # Check the work: the program reads the configuration back.
        t.verify_pin(USER_PIN)
        request = b"".join(n.to_bytes(2, "big") for n in (CONFIG_FILE, 0, len(CONFIG)))
        assert t.execute(READER, request) == CONFIG

        info = t.info
        modulus = pair.public_key().modulus
        print(f"token {info.serial.hex()} ({info.model.decode()}) provisioned:")
        print(f"  directory {APP_DIR:04X}: config {CONFIG_FILE:04X} ({len(CONFIG)} bytes),"
              f" reader {READER:04X}")
        print(f"  key pair {PUBLIC_KEY:04X}/{PRIVATE_KEY:04X}: {modulus.bit_length()} bits,"
              f" modulus {modulus:x}"[:80] + "...")
        print("  user PIN changed, 5 tries")


def main() -> int:
    tokens = qktoken.list_tokens()
    if not tokens:
        print("no token attached", file=sys.stderr)
        return 1
    try:
        provision(tokens[0])
    except qktoken.QKError as error:
        print(f"provisioning failed: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
