"""Every Python example of the README runs on its own, in a fresh interpreter."""

import os
import re
import subprocess
import sys

import pytest

README = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")


def _examples():
    with open(README, encoding="utf-8") as f:
        text = f.read()
    heads = [(m.start(), m.group(1)) for m in re.finditer(r"^#+ (.*)$", text, re.M)]
    out = []
    for m in re.finditer(r"^```python\n(.*?)^```", text, re.M | re.S):
        title = [h for pos, h in heads if pos < m.start()][-1]
        out.append(pytest.param(m.group(1), id=title))
    return out


EXAMPLES = _examples()


def test_readme_has_examples():
    assert len(EXAMPLES) >= 6


@pytest.mark.parametrize("code", EXAMPLES)
def test_readme_example_runs_alone(code, tmp_path):
    run = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True,
                         text=True, timeout=300)
    assert run.returncode == 0, run.stderr
