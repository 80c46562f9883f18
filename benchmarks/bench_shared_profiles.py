"""What one point of a full profile costs in each shared mode (run after
`pip install .`).

Three density bins of 2,000 reads drawn from the model (St 1, exponents 2),
10 methylation bins, default-wide boxes. For each mode and profiled
parameter, one grid point (the held value near the truth) is timed alone,
so the figure is the cost of one whole refit with that parameter held:
wall seconds and busy cores (CPU time / wall time). A profile of k points
costs about k times that divided by the cores the points keep busy. The
drift profile is timed on five ages for comparison. Prints the machine and
the thread count (KORVEL_NUM_THREADS).

Then the calls of one step of the profiles' end search, one point each of
four shared-exp profiles (St, CoW of bin 1, n_U, n_M), timed one after
another and then side by side as tl.profiles sends them (tl._side_by_side):
the same values, in less wall time where one call alone leaves the pool's
threads idle.

    nice python benchmarks/bench_shared_profiles.py
"""

import time

import numpy as np

import korvel
from korvel_analysis import tl
from machine import describe

EDGES = np.linspace(0.0, 1.0, 11)
COEFFICIENTS = [(0.5, 8.0), (2.0, 3.0), (6.0, 1.0)]
BOX = dict(st_bounds=(1e-3, 1e2), co_bounds=(1e-2, 1e2), n_exp_bounds=(1.0, 4.0))


def rows():
    rng = np.random.default_rng(5)
    return np.array([rng.multinomial(2000, korvel.py_compute_model_fracs(1.0, 1.0, cow, coe,
                                                                         EDGES)) / 2000
                     for cow, coe in COEFFICIENTS])


def timed(call):
    w0, c0 = time.perf_counter(), time.process_time()
    value = call()
    wall = time.perf_counter() - w0
    return value, wall, (time.process_time() - c0) / wall


def end_search_step(data):
    """One step of four profiles' end searches, one call after another and side by side."""
    step = [lambda k=k, g=g: korvel.py_profile_shared_exp(data, EDGES, True, k, 1, np.array([g]),
                                                          **BOX)
            for k, g in ((0, 1.1), (1, 2.2), (3, 2.1), (4, 1.9))]
    turn, wall_turn, cores_turn = timed(lambda: [c() for c in step])
    side, wall_side, cores_side = timed(lambda: tl._side_by_side(step))
    assert all(a.tobytes() == b.tobytes() for a, b in zip(turn, side))
    print(f"one end-search step of four shared-exp profiles: {wall_turn:.1f} s wall "
          f"({cores_turn:.2f} cores busy) one call after another, {wall_side:.1f} s wall "
          f"({cores_side:.2f} cores busy) side by side, the same values")


def main():
    print(describe(), f"threads {korvel.py_thread_count()}")
    data = rows()
    cases = [("shared-exp", korvel.py_profile_shared_exp, 0, 1.0, {}),
             ("shared-exp", korvel.py_profile_shared_exp, 1, 2.0, {}),
             ("shared-exp", korvel.py_profile_shared_exp, 5, 1.0, dict(fit_vmax=True)),
             ("shared-st-exp", korvel.py_profile_shared_st_exp, 0, 1.0, {}),
             ("shared-st-exp", korvel.py_profile_shared_st_exp, 3, 2.0, {}),
             ("shared-co", korvel.py_profile_global_co, 0, 1.0, {}),
             ("shared-co", korvel.py_profile_global_co, 3, 2.0, {})]
    names = ["St", "CoW", "CoE", "n_U", "n_M", "Vmax"]
    for mode, fn, parameter, held, extra in cases:
        value, wall, cores = timed(lambda: fn(data, EDGES, True, parameter, 1,  # noqa: B023
                                              np.array([held]), **BOX, **extra))
        print(f"{mode:14s} {names[parameter]:5s} held {held:g}{' (Vmax fitted)' if extra else ''}:"
              f" {wall:7.1f} s wall, {cores:.2f} cores busy, NLL {value[0]:.4f}")

    end_search_step(data)

    ages = np.array([0.0, 10.0, 20.0, 40.0, 60.0])
    drift_edges = np.linspace(0.0, 1.0, 6)
    p0 = np.array([0.5, 0.2, 0.1, 0.1, 0.1])
    observed = korvel.py_drift_predict(0.02, 0.01, p0, ages, drift_edges)
    for parameter, held in ((0, 0.02), (1, 0.01)):
        value, wall, cores = timed(lambda: korvel.py_profile_drift_log(  # noqa: B023
            p0, observed, ages, drift_edges, (1e-4, 10.0), parameter, np.array([held])))
        print(f"{'drift':14s} {('StE', 'StW')[parameter]:5s} held {held:g}: {wall:7.1f} s wall,"
              f" {cores:.2f} cores busy, NLL {value[0]:.4f}")


if __name__ == "__main__":
    main()
