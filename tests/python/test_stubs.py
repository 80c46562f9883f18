"""The installed type stubs: mypy sees korvel's functions and their types."""

import subprocess
import sys
import textwrap

import pytest

import korvel

pytest.importorskip("mypy")
# mypy takes seconds and runs none of the extension's machine code.
pytestmark = pytest.mark.slow


def mypy(tmp_path, source):
    path = tmp_path / "use_korvel.py"
    path.write_text(textwrap.dedent(source))
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(path)],
        capture_output=True, text=True, cwd=tmp_path,
    )


def test_stubs_cover_every_exported_function(tmp_path):
    lines = ["import korvel"] + [f"reveal_type(korvel.{name})" for name in korvel.__all__]
    result = mypy(tmp_path, "\n".join(lines) + "\n")
    assert result.returncode == 0, result.stdout + result.stderr
    revealed = [line for line in result.stdout.splitlines() if "Revealed type" in line]
    assert len(revealed) == len(korvel.__all__)
    for name, line in zip(korvel.__all__, revealed):
        # A callable with parameters, not Any: the stub describes the function.
        assert "def (" in line, (name, line)


def test_mypy_accepts_correct_calls_and_flags_wrong_ones(tmp_path):
    ok = mypy(
        tmp_path,
        """
        import numpy as np
        import korvel
        edges = np.linspace(0.0, 1.0, 11)
        fr = korvel.py_compute_model_fracs(1.0, 1.0, 2.0, 2.0, edges)
        nll: float = korvel.py_compute_nll(np.array([1.0, 2.0, 2.0]), fr, edges, True)
        """,
    )
    assert ok.returncode == 0, ok.stdout + ok.stderr
    bad = mypy(
        tmp_path,
        """
        import numpy as np
        import korvel
        edges = np.linspace(0.0, 1.0, 11)
        x: str = korvel.py_compute_nll(np.array([1.0, 2.0, 2.0]), edges, edges, True)
        """,
    )
    assert bad.returncode != 0 and "Incompatible types" in bad.stdout, bad.stdout
