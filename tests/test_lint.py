"""The repository's own code held to its linters: shellcheck for the shell
scripts, ruff (rules in pyproject.toml) for the Python."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


@pytest.mark.parametrize("tool", ["shellcheck", "ruff"])
def test_linters_find_nothing(tool):
    # ruff comes with the test extra, beside this interpreter.
    path = shutil.which(tool, path=f"{Path(sys.executable).parent}:{os.environ['PATH']}")
    if path is None:
        pytest.skip(f"{tool} is not installed (scripts/test.sh installs it)")
    if tool == "shellcheck":
        args = ["-x", *sorted(map(str, (ROOT / "scripts").glob("*.sh"))), str(ROOT / ".ci" / "run")]
    else:
        args = ["check", "--no-cache", str(ROOT)]
    run = subprocess.run([path, *args], cwd=ROOT, capture_output=True, text=True, check=False)
    assert run.returncode == 0, run.stdout + run.stderr
