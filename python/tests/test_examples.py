"""The examples of docs/python.md, run as written against simulated tokens;
and the copies in the document match the scripts."""

from __future__ import annotations

import os
import re
import subprocess
import sys

import pytest

from conftest import PYTHON_DIR, REPO, SIM_TOOL


# Catches: an example broken by a change to the package, or a verdict with the wrong exit status.
@pytest.mark.parametrize("script, options, env, status, pattern", [
    ("provision.py", [], {}, 0, r"token [0-9a-f]{16} \(QK-SIM\) provisioned:\n"
     r"  directory 2000: config 0001 \(25 bytes\), reader 0F00\n"
     r"  key pair 1001/1002: 1024 bits, modulus .*\n  user PIN changed, 5 tries\n"),
    ("test_rig.py", ["--tokens", "3"], {}, 0, r"(token \d: .*\n(  .*\n)*  PASS\n){3}3 of 3 tokens passed\n"),
    ("test_rig.py", [], {"QK_RIG_PIN": "11111111"}, 1, r"(.*\n)*  FAIL: wrong PIN, 14 tries left\n0 of 1 tokens passed\n"),
])
def test_the_examples_run_as_written(script, options, env, status, pattern) -> None:
    environment = dict(os.environ, PYTHONPATH=str(PYTHON_DIR), **env)
    result = subprocess.run([str(SIM_TOOL), "run", *options, "--", sys.executable, str(PYTHON_DIR / "examples" / script)],
                            env=environment, capture_output=True, text=True, timeout=120)
    assert result.returncode == status, result.stderr
    assert re.fullmatch(pattern, result.stdout), result.stdout
    doc = (REPO / "docs" / "python.md").read_text(encoding="utf-8")
    marker = f"<!-- python/examples/{script} -->\n```python\n"
    assert marker in doc, f"docs/python.md has no copy of {script}"
    assert doc.split(marker, 1)[1].split("```\n", 1)[0] == (PYTHON_DIR / "examples" / script).read_text(encoding="utf-8")
