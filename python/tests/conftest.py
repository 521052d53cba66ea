"""Fixtures: simulated tokens served by `qktoken-sim serve` in a private
temporary directory, and the in-tree package over the built library.

The library and the simulator are taken from QKTOKEN_LIBRARY and QK_SIM_TOOL,
or else from the build directories build-ci/ and build/ of the checkout.
"""

from __future__ import annotations

import contextlib
import os
import selectors
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Iterator, Optional

import pytest

PYTHON_DIR = Path(__file__).resolve().parents[1]
REPO = PYTHON_DIR.parent
BUILD_DIRS = [REPO / "build-ci", REPO / "build"]


def _first_file(variable: str, relative: str) -> Optional[Path]:
    if os.environ.get(variable):
        return Path(os.environ[variable])
    for build in BUILD_DIRS:
        if (build / relative).is_file():
            return build / relative
    return None


LIBRARY = _first_file("QKTOKEN_LIBRARY", "libqktoken.so")
SIM_TOOL = _first_file("QK_SIM_TOOL", "tools/sim/qktoken-sim")
if LIBRARY is None or SIM_TOOL is None:
    raise pytest.UsageError(
        "build the library and the simulator first (cmake --build build --target qktoken "
        "qktoken-sim), or set QKTOKEN_LIBRARY and QK_SIM_TOOL"
    )
# Set before anything loads the library; child processes inherit it.
os.environ["QKTOKEN_LIBRARY"] = str(LIBRARY)
sys.path.insert(0, str(PYTHON_DIR))

import qktoken  # noqa: E402

START_TIMEOUT_S = 10


@contextlib.contextmanager
def serve(directory: Path, *options: str) -> Iterator[Path]:
    """Serves one simulated token in ``directory`` until the block ends;
    yields its entry's path."""
    process = subprocess.Popen(
        [str(SIM_TOOL), "serve", "--dir", str(directory), *options],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        with selectors.DefaultSelector() as selector:
            selector.register(process.stdout, selectors.EVENT_READ)
            ready = selector.select(START_TIMEOUT_S)
        line = process.stdout.readline() if ready else ""
        if not line.startswith("serving "):
            process.kill()
            raise RuntimeError(f"qktoken-sim did not start: {line!r} {process.stderr.read()}")
        yield Path(line.split(" ", 1)[1].strip())
    finally:
        if process.poll() is None:
            process.terminate()
        try:
            process.wait(timeout=START_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        for stream in (process.stdout, process.stderr):
            stream.close()


@pytest.fixture
def private_dir() -> Iterator[Path]:
    # Short paths: a socket's path must fit in 108 bytes.
    with tempfile.TemporaryDirectory(prefix="qkpy-") as name:
        yield Path(name)


@pytest.fixture
def token_dir(private_dir: Path, monkeypatch: pytest.MonkeyPatch) -> Iterator[Path]:
    """A directory serving one fresh simulated token, named by QKTOKEN_VIRTUAL_DIR."""
    directory = private_dir / "tokens"
    with serve(directory):
        monkeypatch.setenv("QKTOKEN_VIRTUAL_DIR", str(directory))
        yield directory


@pytest.fixture
def description(token_dir: Path) -> qktoken.TokenDescription:
    [found] = qktoken.list_tokens()
    return found


@pytest.fixture
def token(description: qktoken.TokenDescription) -> Iterator[qktoken.Token]:
    with qktoken.open(description) as t:
        yield t


@pytest.fixture(autouse=True)
def short_time_limits() -> Iterator[None]:
    """A test that goes wrong fails in seconds, not after the one-minute waits."""
    qktoken.set_time_limits(lock_ms=10_000, first_read_ms=10_000)
    yield
    qktoken.reset_time_limits()


def run_python(code: str, env: Optional[dict] = None, timeout: float = 60) -> subprocess.CompletedProcess:
    """Runs ``code`` in a fresh interpreter that imports the in-tree package."""
    environment = dict(os.environ if env is None else env)
    environment["PYTHONPATH"] = os.pathsep.join(
        [str(PYTHON_DIR)] + [p for p in [environment.get("PYTHONPATH")] if p]
    )
    return subprocess.run(
        [sys.executable, "-c", code], env=environment, capture_output=True, text=True,
        timeout=timeout,
    )


def spawn_python(code: str) -> subprocess.Popen:
    """Starts ``code`` in a fresh interpreter (stdin and stdout are pipes)."""
    environment = dict(os.environ)
    environment["PYTHONPATH"] = str(PYTHON_DIR)
    return subprocess.Popen(
        [sys.executable, "-c", code], env=environment, stdin=subprocess.PIPE,
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, bufsize=1,
    )


def expect_line(process: subprocess.Popen, expected: str, timeout: float = 30) -> None:
    """Reads the child's next line and checks it (fails with its stderr)."""
    with selectors.DefaultSelector() as selector:
        selector.register(process.stdout, selectors.EVENT_READ)
        ready = selector.select(timeout)
    line = process.stdout.readline().strip() if ready else "(no line in time)"
    if line != expected:
        process.kill()
        _, errors = process.communicate()
        pytest.fail(f"child said {line!r}, expected {expected!r}; stderr:\n{errors}")

