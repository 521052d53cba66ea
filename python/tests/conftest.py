"""Simulated tokens (QK_SIM_TOOL) and the in-tree package over QKTOKEN_LIBRARY, else from build-ci/ or build/."""

import contextlib
import os
import selectors
import signal
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Iterator, Optional

import pytest

PYTHON_DIR = Path(__file__).resolve().parents[1]
REPO = PYTHON_DIR.parent


def _first_file(variable: str, relative: str) -> Optional[Path]:
    if os.environ.get(variable):
        return Path(os.environ[variable])
    return next((REPO / b / relative for b in ("build-ci", "build") if (REPO / b / relative).is_file()), None)


LIBRARY = _first_file("QKTOKEN_LIBRARY", "libqktoken.so")
SIM_TOOL = _first_file("QK_SIM_TOOL", "tools/sim/qktoken-sim")
if LIBRARY is None or SIM_TOOL is None:
    raise pytest.UsageError("build the targets qktoken and qktoken-sim, or set QKTOKEN_LIBRARY and QK_SIM_TOOL")
os.environ["QKTOKEN_LIBRARY"] = str(LIBRARY)  # before the first load; children inherit it
sys.path.insert(0, str(PYTHON_DIR))

import qktoken  # noqa: E402

DEV, USER = qktoken.DEFAULT_DEVELOPER_PIN, qktoken.DEFAULT_USER_PIN


def read_line(process: subprocess.Popen, timeout: float = 30) -> str:
    with selectors.DefaultSelector() as selector:
        selector.register(process.stdout, selectors.EVENT_READ)
        ready = selector.select(timeout)
    return process.stdout.readline().strip() if ready else "(no line in time)"


@contextlib.contextmanager
def serve(directory: Path, *options: str) -> Iterator[Path]:
    """Serves one simulated token in ``directory`` for the block, named by QKTOKEN_VIRTUAL_DIR."""
    os.environ["QKTOKEN_VIRTUAL_DIR"] = str(directory)  # the autouse fixture restores it
    process = subprocess.Popen([str(SIM_TOOL), "serve", "--dir", str(directory), *options],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        line = read_line(process, 10)
        if not line.startswith("serving "):
            process.kill()
            raise RuntimeError(f"qktoken-sim did not start: {line!r} {process.stderr.read()}")
        yield Path(line.split(" ", 1)[1])
    finally:
        process.terminate()
        process.communicate(timeout=10)


@pytest.fixture
def private_dir() -> Iterator[Path]:
    with tempfile.TemporaryDirectory(prefix="qkpy-") as name:  # short: socket paths fit 108 bytes
        yield Path(name)


@pytest.fixture
def description(private_dir: Path) -> Iterator[qktoken.TokenDescription]:
    with serve(private_dir / "tokens"):
        [found] = qktoken.list_tokens()
        yield found


@pytest.fixture
def token(description: qktoken.TokenDescription) -> Iterator[qktoken.Token]:
    with qktoken.open(description) as t:
        yield t


@pytest.fixture(autouse=True)
def short_time_limits(monkeypatch: pytest.MonkeyPatch) -> Iterator[None]:
    """No tokens but those a test serves; a test that goes wrong fails in seconds, not minutes."""
    monkeypatch.delenv("QKTOKEN_VIRTUAL_DIR", raising=False)
    qktoken.set_time_limits(lock_ms=10_000, first_read_ms=10_000)
    yield
    qktoken.reset_time_limits()


def python(code: str, wait: bool = True):  # type: ignore[no-untyped-def]
    """Runs ``code`` in a fresh interpreter with the in-tree package; unless it waits, returns the process."""
    env = dict(os.environ, PYTHONPATH=str(PYTHON_DIR))
    if wait:
        return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
    # A shell without job control starts background jobs with SIGINT
    # ignored, and Python then installs no KeyboardInterrupt handler: the
    # child gets the default disposition an interactive interpreter starts with.
    default_sigint = (lambda: signal.signal(signal.SIGINT, signal.SIG_DFL)) if os.name == "posix" else None
    return subprocess.Popen([sys.executable, "-c", code], env=env, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, bufsize=1,
                            preexec_fn=default_sigint)

