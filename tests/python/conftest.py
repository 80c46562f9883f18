import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import korvel


@pytest.fixture
def edges10():
    """Ten equal methylation bins over [0, 1]."""
    return np.linspace(0.0, 1.0, 11)


@pytest.fixture(autouse=True)
def default_settings():
    """Every test starts and ends with the run-wide settings at their defaults."""
    korvel.py_set_raw_count(False)
    korvel.py_set_mm_vmax(float("inf"))
    yield
    korvel.py_set_raw_count(False)
    korvel.py_set_mm_vmax(float("inf"))


def run_python(code, env=None, timeout=600):
    """Runs code in a fresh interpreter; returns the CompletedProcess."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=env,
        timeout=timeout,
    )


def output_on_one_and_two_threads(code):
    """The standard output of code run in a fresh interpreter on a pool of one
    thread and on one of two: the set holds one text when they agree."""
    out = set()
    for threads in ("1", "2"):
        result = run_python(code, env=dict(os.environ, KORVEL_NUM_THREADS=threads))
        assert result.returncode == 0, result.stderr
        out.add(result.stdout.strip())
    return out

