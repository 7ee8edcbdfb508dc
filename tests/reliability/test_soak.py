"""A long run: 50,000 mixed calls leave memory and reference counts flat."""

import json
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import not_under_asan

CHILDREN = Path(__file__).resolve().parent / "children"


@pytest.mark.slow
@not_under_asan("the quarantine keeps freed memory resident")
def test_soak_keeps_memory_and_reference_counts_flat(harness_env):
    """50,000 calls of mixed sizes, every tenth refused, each result checked.
    In an interpreter of its own: memory freed by earlier tests (a huge row)
    would otherwise absorb a leak's growth, such as a heap table never freed."""
    run = subprocess.run([sys.executable, str(CHILDREN / "soak.py")], check=False,
                         env=harness_env, capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr
    soak = json.loads(run.stdout)
    print(f"\nsoak: 50000 calls, resident {soak['warm'] / 2**20:.1f} MiB after warm-up, "
          f"growth {soak['growth'] / 2**10:+.0f} KiB")
    assert soak["wrong"] == [0, 0]
    assert soak["growth"] <= 2 * 2**20
    assert set(soak["refcounts"]) == {0}, soak["refcounts"]
