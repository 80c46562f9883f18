"""What counting progress costs: whole bootstrap calls against the calls the progress
lines now need (run after `pip install .`).

Prints, with the machine and the pool's thread count, the wall time of
- the drift bootstrap as one py_fit_drift_bootstrap_log call and as one
  py_fit_drift_one_log call per resample (seed b for resample b, as tl.drift_fit
  now runs it), and checks that the rows are the same bits;
- a shared-exp bootstrap chunk as one call counting nothing and as one call
  counting its finished rows and fits in a progress slot (tl.work_slot), as
  `korvel fit` runs it, checking the same.

    python benchmarks/bench_progress_split.py [--resamples N]
"""

import argparse
import time

import numpy as np

import korvel
from korvel_analysis import chunks, pp, tl
from machine import describe


def timed(fn):
    t = time.perf_counter()
    out = fn()
    return time.perf_counter() - t, np.asarray(out)


def drift(n_boot):
    rng = np.random.default_rng(1)
    edges = pp.site_count_edges()
    p0 = np.zeros(71)
    p0[:14] = 1.0 / 14
    ages = np.array([0.0, 15.0, 30.0])
    m = np.arange(71)
    q = np.zeros((71, 71))
    q[m[1:] - 1, m[1:]] = m[1:] * 0.05
    q[m[:-1] + 1, m[:-1]] = (70 - m[:-1]) * 0.02
    q[m, m] = -q.sum(axis=0)
    import scipy.linalg

    counts = [rng.multinomial(3000, np.clip(scipy.linalg.expm(t * q) @ p0, 0, None)
                              / np.clip(scipy.linalg.expm(t * q) @ p0, 0, None).sum())
              for t in ages]
    data = pp.DriftData(ages, np.asarray(counts, dtype=np.float64), edges)
    b0, rest = pp.drift_bootstrap_fracs(data, n_boot, 3)
    fit_ages = np.ascontiguousarray(data.fit_ages)
    whole = timed(lambda: korvel.py_fit_drift_bootstrap_log(b0, rest, n_boot, fit_ages.size,
                                                            fit_ages, edges, (1e-4, 1.0)))
    split = timed(lambda: tl._drift_bootstrap(b0, rest, fit_ages, edges, (1e-4, 1.0), False))
    return whole, split


def nested(n_boot):
    edges = np.linspace(0.0, 1.0, 11)
    fr = [korvel.py_compute_model_fracs(1.0, 1.0, c, e, edges)
          for c, e in ((3.0, 4.0), (4.0, 3.0), (6.0, 3.0))]
    counts = np.rint(np.asarray(fr) * 1000)
    settings = tl.FitSettings(mode="shared-exp")
    rows = pp.bootstrap_fracs(counts, n_boot, seed=3)
    args = (rows, 0, 3, edges, settings, (1.0, 2.0, 2.0, np.inf))
    whole = timed(lambda: chunks.run_chunk(*args))
    def counted():
        with tl.work_slot() as (slot, _):
            return chunks.run_chunk(*args, slot)
    return whole, timed(counted)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--resamples", type=int, default=8)
    n = ap.parse_args().resamples
    print(describe(), f"pool threads {korvel.py_thread_count()}")
    for name, run in (("drift bootstrap", drift), ("shared-exp bootstrap chunk", nested)):
        (tw, w), (ts, s) = run(n)
        print(f"{name}, {n} resamples: one call {tw:.2f} s, as run with progress {ts:.2f} s "
              f"(ratio {ts / tw:.2f}); same rows: {w.tobytes() == s.tobytes()}")


if __name__ == "__main__":
    main()
