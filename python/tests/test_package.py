"""The package as shipped: finding its library, the offline install, the examples in python/examples."""

import ctypes.util
import importlib.util
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import LIBRARY, PYTHON_DIR, SIM_TOOL

LOAD = ("import qktoken, qktoken._library as l\n"
        "try:\n    print(qktoken.get_time_limits().lock_ms, l.library()._name)\n"
        "except qktoken.LibraryError as e:\n    print(e)\n")


def run_isolated(path: Path, **env: str) -> subprocess.CompletedProcess:
    """Runs LOAD in an isolated interpreter: only ``path`` importable, only ``env``'s library settings."""
    environment = {k: v for k, v in os.environ.items() if k not in ("QKTOKEN_LIBRARY", "LD_LIBRARY_PATH")}
    return subprocess.run([sys.executable, "-I", "-c", f"import sys; sys.path.insert(0, {str(path)!r})\n{LOAD}"],
                          env=dict(environment, **env), capture_output=True, text=True, timeout=60)


# Catches: a wrong search order, a fallback past QKTOKEN_LIBRARY, a foreign or missing library misreported.
@pytest.mark.parametrize("beside, env, expected", [
    (False, {"QKTOKEN_LIBRARY": str(LIBRARY)}, [f"60000 {LIBRARY}"]),
    (True, {}, ["60000 {beside}"]),
    (False, {"LD_LIBRARY_PATH": "{lib}"}, ["60000 libqktoken.so.0"]),
    (True, {"QKTOKEN_LIBRARY": "{tmp}/nowhere.so"}, ["QKTOKEN_LIBRARY: {tmp}/nowhere.so"]),
    (False, {}, ["QKTOKEN_LIBRARY: not set", "{beside}: no such file", "system loader, libqktoken.so.0",
                 "Set QKTOKEN_LIBRARY"]),
    (False, {"QKTOKEN_LIBRARY": str(ctypes.util.find_library("m"))}, ["is not a usable qktoken library",
                                                                      "QKListDevices"]),
])
def test_where_the_library_is_found(tmp_path: Path, beside: bool, env: dict, expected: list) -> None:
    shutil.copytree(PYTHON_DIR / "qktoken", tmp_path / "qktoken", ignore=shutil.ignore_patterns("__pycache__"))
    (tmp_path / "lib").mkdir()
    shutil.copy(LIBRARY, tmp_path / ("qktoken" if beside else "lib") / "libqktoken.so.0")
    names = {"tmp": tmp_path, "lib": tmp_path / "lib", "beside": tmp_path / "qktoken" / "libqktoken.so.0"}
    result = run_isolated(tmp_path, **{k: v.format(**names) for k, v in env.items()})
    assert result.returncode == 0, result.stderr
    for text in expected:
        assert text.format(**names) in result.stdout, result.stdout


# Catches: an install that needs the network or loses the typing marker or a library beside it.
@pytest.mark.skipif(importlib.util.find_spec("pip") is None, reason="pip is not installed")
def test_an_offline_install_carries_the_typing_marker_and_a_library_beside_it(tmp_path: Path) -> None:
    source, target = tmp_path / "source", tmp_path / "site"  # a copy: a build leaves files behind
    shutil.copytree(PYTHON_DIR, source, ignore=shutil.ignore_patterns(
        "__pycache__", "build", "*.egg-info", "tests", "examples", ".pytest_cache"))
    shutil.copy(LIBRARY, source / "qktoken" / "libqktoken.so.0")
    install = subprocess.run(
        [sys.executable, "-m", "pip", "install", "--no-build-isolation", "--no-index", "--no-cache-dir",
         "--disable-pip-version-check", "--target", str(target), str(source)],
        capture_output=True, text=True, timeout=300)
    assert install.returncode == 0, install.stdout + install.stderr
    assert (target / "qktoken" / "py.typed").is_file()
    result = run_isolated(target)
    assert result.stdout == f"60000 {target / 'qktoken' / 'libqktoken.so.0'}\n", result.stderr


# Catches: an example broken by a change to the package, or a verdict with the wrong exit status.
@pytest.mark.parametrize("script, options, env, status, pattern", [
    ("provision.py", [], {}, 0, r"token [0-9a-f]{16} \(QK-SIM\) provisioned:\n"
     r"  directory 2000: config 0001 \(25 bytes\), reader 0F00\n"
     r"  key pair 1001/1002: 1024 bits, modulus .*\n  user PIN changed, 5 tries\n"),
    ("test_rig.py", ["--tokens", "3"], {}, 0, r"(token \d: .*\n(  .*\n)*  PASS\n){3}3 of 3 tokens passed\n"),
    ("test_rig.py", [], {"QK_RIG_PIN": "11111111"}, 1,
     r"(.*\n)*  FAIL: wrong PIN, 14 tries left\n0 of 1 tokens passed\n"),
])
def test_the_examples_run_as_written(script, options, env, status, pattern) -> None:
    example = PYTHON_DIR / "examples" / script
    result = subprocess.run([str(SIM_TOOL), "run", *options, "--", sys.executable, str(example)],
                            env=dict(os.environ, PYTHONPATH=str(PYTHON_DIR), **env), capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == status, result.stderr
    assert re.fullmatch(pattern, result.stdout), result.stdout
