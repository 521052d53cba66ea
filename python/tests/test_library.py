"""Finding the shared library: QKTOKEN_LIBRARY, beside the package, the system
loader; and what a missing or wrong library says. Each case runs in a fresh
interpreter, since a process loads the library once."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import LIBRARY, PYTHON_DIR, run_python

LOAD = "import qktoken; print(qktoken.get_time_limits().lock_ms)"


def environment(**changes: str) -> dict:
    env = {k: v for k, v in os.environ.items() if k not in ("QKTOKEN_LIBRARY", "LD_LIBRARY_PATH")}
    env.update(changes)
    return env


def package_copy(where: Path, with_library: bool) -> Path:
    """A copy of the package in ``where`` (optionally with the library beside
    its modules); returns the directory to put on the path."""
    shutil.copytree(PYTHON_DIR / "qktoken", where / "qktoken",
                    ignore=shutil.ignore_patterns("__pycache__"))
    if with_library:
        shutil.copy(LIBRARY, where / "qktoken" / "libqktoken.so.0")
    return where


def run_isolated(path: Path, env: dict, code: str = LOAD) -> subprocess.CompletedProcess:
    # -I: no user site, no PYTHONPATH; the copy alone is importable.
    return subprocess.run(
        [sys.executable, "-I", "-c", f"import sys; sys.path.insert(0, {str(path)!r}); {code}"],
        env=env, capture_output=True, text=True, timeout=60,
    )


def test_the_variable_names_the_library() -> None:
    result = run_python(LOAD, environment(QKTOKEN_LIBRARY=str(LIBRARY)))
    assert (result.returncode, result.stdout) == (0, "60000\n"), result.stderr


def test_a_missing_library_says_where_it_looked(tmp_path: Path) -> None:
    package = package_copy(tmp_path, with_library=False)
    result = run_isolated(
        package, environment(),
        "import qktoken\n"
        "print(qktoken.PinKind.USER.name)  # importing needs no library\n"
        "try:\n    qktoken.list_tokens()\n"
        "except qktoken.LibraryError as e:\n    print(e); print(len(e.searched))\n",
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "USER"
    text = "\n".join(lines[1:])
    assert "QKTOKEN_LIBRARY: not set" in text
    assert f"{package / 'qktoken' / 'libqktoken.so.0'}: no such file" in text
    assert "system loader, libqktoken.so.0" in text
    assert "Set QKTOKEN_LIBRARY" in text


def test_a_wrong_path_in_the_variable_is_an_error_not_a_fallback(tmp_path: Path) -> None:
    package = package_copy(tmp_path, with_library=True)
    missing = tmp_path / "nowhere" / "libqktoken.so"
    result = run_isolated(package, environment(QKTOKEN_LIBRARY=str(missing)))
    assert result.returncode != 0
    assert f"QKTOKEN_LIBRARY: {missing}" in result.stderr and "LibraryError" in result.stderr


def test_a_library_that_is_not_ours_is_refused(tmp_path: Path) -> None:
    import ctypes.util

    other = ctypes.util.find_library("m")
    if other is None:
        pytest.skip("no libm to stand in for a foreign library")
    result = run_python(LOAD, environment(QKTOKEN_LIBRARY=other))
    assert result.returncode != 0 and "is not a usable qktoken library" in result.stderr
    assert "QKListDevices" in result.stderr


def test_a_library_beside_the_package_is_found(tmp_path: Path) -> None:
    package = package_copy(tmp_path, with_library=True)
    result = run_isolated(package, environment(), LOAD + "; import qktoken._library as l; "
                          "print(l.library()._name)")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["60000", str(package / "qktoken" / "libqktoken.so.0")]


def test_the_system_loader_is_asked_last(tmp_path: Path) -> None:
    package = package_copy(tmp_path, with_library=False)
    libdir = tmp_path / "lib"
    libdir.mkdir()
    shutil.copy(LIBRARY, libdir / "libqktoken.so.0")
    result = run_isolated(package, environment(LD_LIBRARY_PATH=str(libdir)), LOAD)
    assert (result.returncode, result.stdout) == (0, "60000\n"), result.stderr
