"""No input crashes, leaks or changes the caller's data.

The sweeps run in subprocesses, so that a crash fails the test instead of killing the
test runner; the scripts under tests/robustness/ can also be run on their own.
"""

import importlib
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def run_script(module, *args, timeout=900):
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", PYTHONPATH=os.pathsep.join(
        [str(ROOT)] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]))
    r = subprocess.run([sys.executable, "-m", module, *args], cwd=ROOT, env=env,
                       capture_output=True, text=True, timeout=timeout)
    tail = "\n".join((r.stdout + r.stderr).splitlines()[-30:])
    assert r.returncode == 0, f"{module} exited with {r.returncode}:\n{tail}"
    return r.stdout


def test_sweep_of_malformed_arguments():
    out = run_script("tests.robustness.sweep")
    assert "swept" in out


def test_random_and_corrupted_structures():
    out = run_script("tests.robustness.structures", "400")
    assert "0 problems" in out


def test_memory_stays_flat():
    run_script("tests.robustness.leaks", "1000" if UNDER_ASAN else "4000")


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer runtime reserves more address space than the limit")
@pytest.mark.parametrize("case, module, attr", [("camd", "ferrow.camd", "camd"),
                                                ("colamd", "ferrow.colamd", "colamd"),
                                                ("spqr", "ferrow.spqr", "spqr"),
                                                ("spqr_factor", "ferrow.spqr", "spqr_factor")])
def test_out_of_memory_is_an_exception(case, module, attr):
    try:
        if not hasattr(importlib.import_module(module), attr):
            pytest.skip(f"{module}.{attr} is not built")
    except ImportError:
        pytest.skip(f"{module} is not built")
    out = run_script("tests.robustness.oom", case, timeout=300)
    assert out.strip().endswith("ok")
