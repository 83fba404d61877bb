"""Every Python block of the README's tour runs on its own, as printed, in a fresh interpreter."""
import os
import pathlib
import re
import subprocess
import sys

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)


def test_the_readme_has_its_tour():
    assert len(BLOCKS) >= 8


@pytest.mark.parametrize("block", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_a_readme_block_runs_on_its_own(block):
    child = subprocess.run([sys.executable, "-c", block], capture_output=True, text=True, timeout=120,
                           env=dict(os.environ))
    assert child.returncode == 0, child.stderr
