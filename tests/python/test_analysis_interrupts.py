"""Ctrl+C and the command: an ignored SIGINT stays ignored, a user's handler is given back."""

import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import korvel
from korvel_analysis import pp, tl

EDGES = np.linspace(0.0, 1.0, 6)
BOXES = dict(st_bounds=(0.5, 2.0), co_bounds=(1.0, 10.0), exp_bounds=(1.8, 2.2))


def model_counts(n=400):
    fr = [korvel.py_compute_model_fracs(1.0, 1.0, cow, coe, EDGES) for cow, coe in
          ((3.0, 4.0), (4.0, 3.0))]
    return np.rint(np.asarray(fr) * n).astype(np.int64)


def write_counts(path, counts):
    lines = ["density_lo\tdensity_hi\t" + "\t".join(f"m{j}" for j in range(counts.shape[1]))]
    lines += [f"{d}\t{d + 1}\t" + "\t".join(map(str, row)) for d, row in enumerate(counts)]
    path.write_text("\n".join(lines) + "\n")
    return path


def test_a_background_run_ignores_the_foreground_ctrl_c(tmp_path):
    # A shell starts `korvel fit ... &` of a script with SIGINT ignored; the Ctrl+C typed
    # for the foreground job must not end it, neither inside a module call nor after one.
    table = write_counts(tmp_path / "counts.tsv", model_counts())
    out = tmp_path / "out"
    argv = [sys.executable, "-m", "korvel_analysis", "fit", str(table), "--counts",
            "--meth-bins", "5", "--out", str(out), "--mode", "independent", "--bootstrap", "6",
            "--chunk-resamples", "1", "--no-plots", "--quiet", "--st-bounds", "0.5,2",
            "--co-bounds", "1,10"]
    with subprocess.Popen(argv, env=dict(os.environ, KORVEL_NUM_THREADS="1"),
                          stderr=subprocess.PIPE, text=True,
                          preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_IGN)) as p:
        for chunk in (1, 3):
            while len(list(out.glob("chunks/resamples_*"))) < chunk and p.poll() is None:
                time.sleep(0.002)
            p.send_signal(signal.SIGINT)
        err = p.communicate(timeout=300)[1]
    assert p.returncode == 0, err
    assert len((out / "bootstrap.tsv").read_text().splitlines()) == 1 + 6 * 2


def test_the_users_sigint_handler_is_given_back():
    counts = model_counts()
    settings = tl.FitSettings(mode="shared-exp", **BOXES)
    hits = []

    def mine(signum, frame):
        hits.append(signum)

    previous = signal.signal(signal.SIGINT, mine)
    try:
        result = tl.fit(pp.observed_fractions(counts), EDGES, settings)
        assert signal.getsignal(signal.SIGINT) is mine
        rows = pp.bootstrap_fracs(counts, 1, seed=0)
        tl.bootstrap(rows, 1, 2, EDGES, settings, tl.warm_start(result))
        assert signal.getsignal(signal.SIGINT) is mine
        os.kill(os.getpid(), signal.SIGINT)  # reaches it at the system level too
        time.sleep(0.01)
        assert hits == [signal.SIGINT]
    finally:
        signal.signal(signal.SIGINT, previous)


def test_a_phase_grid_in_pieces_equals_one_call(monkeypatch):
    monkeypatch.setattr(tl, "PHASE_PIECE_SECONDS", 0.0)  # one row per call
    grids = tl.phase_grids(1.0, True, (-1.0, 2.0), 7)
    axis = np.linspace(-1.0, 2.0, 7)
    whole = korvel.py_compute_phase_grids(1.0, True, axis, axis.copy(), 2.0, 2.0)
    for name, ref in zip(("bistability", "avg_meth", "entropy", "frac_inter"), whole):
        assert grids[name].tobytes() == ref.tobytes(), name


def interrupt_after(argv, seconds, cwd):
    """Runs the command, sends SIGINT once it has computed for ``seconds``; returns
    (exit code, seconds from the signal to the exit, standard error)."""
    with subprocess.Popen([sys.executable, "-m", "korvel_analysis", *map(str, argv)], cwd=cwd,
                          stderr=subprocess.PIPE, text=True) as p:
        time.sleep(seconds)
        assert p.poll() is None, "ended before the signal: make its work longer"
        sent = time.monotonic()
        p.send_signal(signal.SIGINT)
        err = p.communicate(timeout=120)[1]
        return p.returncode, time.monotonic() - sent, err


@pytest.mark.parametrize("argv", [
    # Each runs for tens of seconds, in one module call that Ctrl+C cannot stop.
    ["phase", "--out", "phase.png", "--grid", 3000, "--quiet"],
    ["fit", "counts.tsv", "--counts", "--meth-bins", 5, "--out", "out", "--mode",
     "shared-st-exp", "--no-plots", "--quiet"],
], ids=["phase", "shared-st-exp"])
def test_ctrl_c_ends_long_stages_at_once(tmp_path, argv):
    # Sixteen density bins: on a quiet machine two bins fit in about 2 s, before
    # the signal; sixteen take well over ten.
    write_counts(tmp_path / "counts.tsv", np.tile(model_counts(4000), (8, 1)))
    code, delay, err = interrupt_after(argv, 3.0, tmp_path)
    assert code == 130 and err.endswith("interrupted\n"), err
    # A generous bound for a loaded machine; the uninterrupted stage takes far longer.
    assert delay < 5.0, delay
    assert sorted(p.name for p in tmp_path.iterdir()) == ["counts.tsv"]
