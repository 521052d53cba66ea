"""The examples of docs/python.md, run as written against simulated tokens;
and the copies in the document match the scripts."""

from __future__ import annotations

import os
import re
import subprocess
import sys

import pytest

from conftest import PYTHON_DIR, REPO, SIM_TOOL

EXAMPLES = PYTHON_DIR / "examples"
DOC = REPO / "docs" / "python.md"


def run_example(script: str, *sim_options: str, **env: str) -> subprocess.CompletedProcess:
    environment = dict(os.environ, PYTHONPATH=str(PYTHON_DIR), **env)
    environment.pop("QKTOKEN_VIRTUAL_DIR", None)
    return subprocess.run(
        [str(SIM_TOOL), "run", *sim_options, "--", sys.executable, str(EXAMPLES / script)],
        env=environment, capture_output=True, text=True, timeout=120,
    )


def test_provisioning_lays_out_the_token() -> None:
    result = run_example("provision.py")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert re.fullmatch(r"token [0-9a-f]{16} \(QK-SIM\) provisioned:", lines[0])
    assert lines[1:] == [
        "  directory 2000: config 0001 (25 bytes), reader 0F00",
        lines[2],
        "  user PIN changed, 5 tries",
    ]
    assert lines[2].startswith("  key pair 1001/1002: 1024 bits, modulus ")


def test_the_rig_passes_every_good_token() -> None:
    result = run_example("test_rig.py", "--tokens", "3")
    assert result.returncode == 0, result.stderr
    assert result.stdout.count("  PASS\n") == 3
    assert result.stdout.endswith("3 of 3 tokens passed\n")


def test_the_rig_reports_a_wrong_pin_with_its_tries_left() -> None:
    result = run_example("test_rig.py", QK_RIG_PIN="11111111")
    assert result.returncode == 1
    assert "  FAIL: wrong PIN, 14 tries left\n0 of 1 tokens passed\n" in result.stdout


@pytest.mark.parametrize("script", ["provision.py", "test_rig.py"])
def test_the_document_shows_the_script_as_it_runs(script: str) -> None:
    text = DOC.read_text(encoding="utf-8")
    marker = f"<!-- python/examples/{script} -->\n```python\n"
    assert marker in text, f"docs/python.md has no copy of {script}"
    copy = text.split(marker, 1)[1].split("```\n", 1)[0]
    assert copy == (EXAMPLES / script).read_text(encoding="utf-8")
