#!/usr/bin/env python3
"""Floods a virtual token's link with idle connections (for measuring that the
owner still gets in): keeps COUNT non-blocking connections open, sending
nothing, and opens a new one for each the token closes.

    link-flood.py unix PATH [COUNT]     # a NAME.sock entry
    link-flood.py tcp PORT [COUNT]      # 127.0.0.1:PORT
Runs until killed."""
import errno
import selectors
import socket
import sys


def connect(kind: str, where: str) -> socket.socket:
    if kind == "unix":
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        address = where
    else:
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        address = ("127.0.0.1", int(where))
    s.setblocking(False)
    try:
        s.connect(address)
    except OSError as error:
        if error.errno not in (errno.EINPROGRESS, errno.EAGAIN):
            s.close()
            raise
    return s


def main() -> None:
    kind, where = sys.argv[1], sys.argv[2]
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 200
    selector = selectors.DefaultSelector()
    opened = 0
    while True:
        while len(selector.get_map()) < count:
            try:
                selector.register(connect(kind, where), selectors.EVENT_READ)
                opened += 1
            except OSError:
                break
        for key, _ in selector.select(timeout=0):
            try:
                gone = key.fileobj.recv(4096) == b""
            except OSError:
                gone = True
            if gone:
                selector.unregister(key.fileobj)
                key.fileobj.close()


if __name__ == "__main__":
    main()
