"""Shared-parameter fits from Python (run after `pip install .`).

Runs py_fit_shared_st and py_fit_shared_exp on 6 synthetic density bins
(10 methylation bins each, drawn from the model with one St and exponents
2.0) and prints, with the machine, for each fit:
- the wall time of the call;
- the number of outer evaluations (counted from py_fit_shared_exp's progress
  lines; py_fit_shared_st searches silently, so its count is not observable
  from Python and the line says so);
- the average number of busy cores: process CPU time / wall time;
- model evaluations per second inside the fit, estimated as the CPU time of
  the call divided by the CPU time of one model solve (measured on a
  120 x 120 phase grid, one solve per point) and then by the wall time.

Each result is checked: St within its bounds, St repeated in column 0, every
NLL finite, and py_fit_shared_st's NLLs equal to py_compute_nll at the
returned parameters.
"""

import os
import tempfile
import time

import numpy as np

import korvel
from machine import describe

EDGES = np.linspace(0.0, 1.0, 11)
TRUE_ST = 0.6
COEFFICIENTS = [(0.5, 3.0), (1.0, 2.0), (2.0, 2.0), (3.0, 1.5), (5.0, 1.0), (8.0, 0.8)]
ST_BOUNDS, CO_BOUNDS, EXP_BOUNDS = (0.05, 5.0), (1e-2, 1e2), (1.0, 3.0)


def synthetic_rows():
    return np.array([korvel.py_compute_model_fracs(TRUE_ST, 1.0, cow, coe, EDGES)
                     for cow, coe in COEFFICIENTS])


def cpu_per_solve():
    grid = np.linspace(-1.0, 1.0, 120)
    c0 = time.process_time()
    korvel.py_compute_phase_grids(TRUE_ST, True, grid, grid)
    return (time.process_time() - c0) / grid.size**2


def timed(call):
    """(result, wall seconds, CPU seconds, standard error text) of one call."""
    with tempfile.TemporaryFile(mode="w+") as err:
        saved = os.dup(2)
        os.dup2(err.fileno(), 2)
        try:
            w0, c0 = time.perf_counter(), time.process_time()
            result = call()
            wall, cpu = time.perf_counter() - w0, time.process_time() - c0
        finally:
            os.dup2(saved, 2)
            os.close(saved)
        err.seek(0)
        return result, wall, cpu, err.read()


def report(name, wall, cpu, outer, solve_cpu):
    print(f"{name}: wall {wall:.2f} s, outer evaluations {outer}, "
          f"busy cores {cpu / wall:.2f}, "
          f"model evaluations per second ~{cpu / solve_cpu / wall:,.0f}")


def main():
    print("machine:", describe())
    print("pool threads: KORVEL_NUM_THREADS =", os.environ.get("KORVEL_NUM_THREADS", "(all)"))
    rows = synthetic_rows()
    solve_cpu = cpu_per_solve()
    print(f"one model solve: {solve_cpu * 1e6:.2f} us of CPU")

    (st, fitps, nlls), wall, cpu, _ = timed(
        lambda: korvel.py_fit_shared_st(rows, EDGES, True, ST_BOUNDS, CO_BOUNDS))
    assert ST_BOUNDS[0] <= st <= ST_BOUNDS[1] and (fitps[:, 0] == st).all()
    for d in range(len(rows)):
        assert nlls[d] == korvel.py_compute_nll(fitps[d], rows[d], EDGES, True)
    report("py_fit_shared_st (6 bins)", wall, cpu, "not reported (silent Brent search)",
           solve_cpu)

    result, wall, cpu, err = timed(
        lambda: korvel.py_fit_shared_exp(rows, EDGES, True, ST_BOUNDS, CO_BOUNDS, EXP_BOUNDS))
    st, n_u, n_m, vmax, fitps, nlls = result
    assert ST_BOUNDS[0] <= st <= ST_BOUNDS[1] and (fitps[:, 0] == st).all()
    assert np.isfinite(nlls).all() and vmax == float("inf")
    outer = sum(line.startswith("  [") for line in err.splitlines())
    assert outer > 0 and err.count("--- Nelder-Mead start") == 5
    report("py_fit_shared_exp (6 bins)", wall, cpu, outer, solve_cpu)
    print(f"  shared St {st:.4f} (generated with {TRUE_ST}), n_U {n_u:.3f}, n_M {n_m:.3f}")


if __name__ == "__main__":
    main()
