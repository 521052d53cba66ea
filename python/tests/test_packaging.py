"""`pip install ./python` works offline with Debian's setuptools, and the
installed package finds a library put beside it."""

from __future__ import annotations

import importlib.util
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import LIBRARY, PYTHON_DIR


@pytest.mark.skipif(importlib.util.find_spec("pip") is None, reason="pip is not installed")
def test_an_offline_install_carries_the_typing_marker_and_a_library_beside_it(tmp_path: Path) -> None:
    source = tmp_path / "source"  # a copy: an in-tree build would leave files behind
    shutil.copytree(PYTHON_DIR, source, ignore=shutil.ignore_patterns(
        "__pycache__", "build", "*.egg-info", "tests", "examples", ".pytest_cache"))
    shutil.copy(LIBRARY, source / "qktoken" / "libqktoken.so.0")
    target = tmp_path / "site"
    install = subprocess.run(
        [sys.executable, "-m", "pip", "install", "--no-build-isolation", "--no-index",
         "--no-cache-dir", "--disable-pip-version-check", "--target", str(target), str(source)],
        capture_output=True, text=True, timeout=300,
    )
    assert install.returncode == 0, install.stdout + install.stderr
    assert (target / "qktoken" / "py.typed").is_file()
    env = {k: v for k, v in os.environ.items() if k not in ("QKTOKEN_LIBRARY", "PYTHONPATH")}
    run = subprocess.run(
        [sys.executable, "-I", "-c",
         f"import sys; sys.path.insert(0, {str(target)!r}); import qktoken, qktoken._library as l;"
         " print(qktoken.__file__); print(qktoken.get_time_limits().read_ms, l.library()._name)"],
        env=env, capture_output=True, text=True, timeout=60,
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == [
        str(target / "qktoken" / "__init__.py"),
        f"5000 {target / 'qktoken' / 'libqktoken.so.0'}",
    ]
