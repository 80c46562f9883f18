"""Drift-model benchmarks from Python (run after `pip install .`).

Prints, with the machine:
- the time of py_drift_predict at 20 ages (one 71 x 71 exponential per age)
  and of the same prediction with scipy.linalg.expm, side by side in rounds
  that take turns, as process CPU time (BLAS held to one thread, so both
  figures are one core's) and as wall time, with the ratio, and the largest
  difference between the two predictions;
- the same korvel figure on every vector instruction set the processor has
  (KORVEL_SIMD, each in a fresh interpreter);
- per-matrix times of scipy.linalg.expm at the ages of the C++ benchmark
  (build/<dir>/bench_drift prints korvel's own exponential at those ages);
- the wall time of one py_fit_drift_one with 5 fit ages.

Each figure is checked: the predictions against scipy's to 1e-12, the fit
against the rates that generated its data.
"""

import os

# One core each: korvel computes a prediction on the calling thread, and a
# multi-threaded BLAS would spread scipy's products over other cores.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import subprocess  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
import timeit  # noqa: E402

import numpy as np  # noqa: E402
import scipy.linalg  # noqa: E402

import korvel  # noqa: E402
from machine import describe  # noqa: E402

PATHS = ("scalar", "sse2", "avx2", "avx512")

X = np.arange(71) / 70.0


def generator(ste, stw):
    q = np.zeros((71, 71))
    m = np.arange(71)
    q[m[1:] - 1, m[1:]] = m[1:] * ste
    q[m[:-1] + 1, m[:-1]] = (70 - m[:-1]) * stw
    q[m, m] = -q.sum(axis=0)
    return q


def bins_of(edges):
    n = len(edges) - 1
    first = np.full(71, -1)
    for m in range(71):
        for j in range(n):
            last = j == n - 1
            if edges[j] <= X[m] and (X[m] <= edges[j + 1] if last else X[m] < edges[j + 1]):
                first[m] = j
                break
    return first


def spread_p0(p0_obs, edges, first):
    p0 = np.zeros(71)
    for j in range(len(edges) - 1):
        members = first == j  # equal bins: first match is the only match
        if members.sum() and p0_obs[j] > 0:
            p0[members] = p0_obs[j] / members.sum()
    return p0 / p0.sum()


def scipy_predict(ste, stw, p0_obs, ages, edges):
    """The same prediction with scipy's exponential (timed as a whole)."""
    first = bins_of(edges)
    p0 = spread_p0(p0_obs, edges, first)
    q = generator(ste, stw)
    rows = []
    for t in ages:
        p = np.clip(scipy.linalg.expm(t * q) @ p0, 0.0, None)
        p /= p.sum()
        out = np.bincount(first[first >= 0], weights=p[first >= 0], minlength=len(edges) - 1)
        out = np.maximum(out, 1e-10)
        rows.append(out / out.sum())
    return np.array(rows)


def best_of(fn, number, repeat=7):
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


def main():
    print("machine:", describe())
    edges = np.linspace(0.0, 1.0, 11)
    p0_obs = np.array([0.30, 0.12, 0.08, 0.05, 0.05, 0.05, 0.05, 0.08, 0.12, 0.10])
    ste, stw = 0.3, 0.7
    ages = np.geomspace(0.1, 100.0, 20)

    ours = korvel.py_drift_predict(ste, stw, p0_obs, ages, edges)
    theirs = scipy_predict(ste, stw, p0_obs, ages, edges)
    diff = float(np.max(np.abs(ours - theirs)))
    assert diff <= 1e-12, f"predictions differ by {diff:.3g}"
    korvel_calls = [lambda: korvel.py_drift_predict(ste, stw, p0_obs, ages, edges), 5]
    scipy_calls = [lambda: scipy_predict(ste, stw, p0_obs, ages, edges), 2]
    cpu = {"korvel": [], "scipy": []}
    wall = {"korvel": [], "scipy": []}
    for _ in range(7):
        for name, (fn, number) in (("korvel", korvel_calls), ("scipy", scipy_calls)):
            c0, w0 = time.process_time(), time.perf_counter()
            for _ in range(number):
                fn()
            cpu[name].append((time.process_time() - c0) / number)
            wall[name].append((time.perf_counter() - w0) / number)
    print(f"drift prediction, 20 ages (0.1 .. 100), StE={ste} StW={stw}, korvel path "
          f"{os.environ.get('KORVEL_SIMD', 'default')}; best / median of 7 rounds:")
    for name, label in (("korvel", "py_drift_predict"), ("scipy", "scipy.linalg.expm")):
        c, w = sorted(cpu[name]), sorted(wall[name])
        print(f"  {label:<18} CPU {c[0] * 1e3:7.2f} / {c[3] * 1e3:7.2f} ms   wall {w[0] * 1e3:7.2f} / "
              f"{w[3] * 1e3:7.2f} ms   ({c[0] / 20 * 1e6:.0f} us CPU per age)")
    ratio_best = min(cpu["scipy"]) / min(cpu["korvel"])
    ratio_median = sorted(cpu["scipy"])[3] / sorted(cpu["korvel"])[3]
    print(f"  korvel is {ratio_best:.2f}x (best) / {ratio_median:.2f}x (median) faster than scipy in CPU time")
    print(f"max |korvel - scipy| over the 20 x 10 predicted fractions: {diff:.2e}")

    if "--no-paths" not in sys.argv:
        print("py_drift_predict, 20 ages, on each instruction set (CPU ms, best of 7):")
        for path in PATHS:
            env = dict(os.environ, KORVEL_SIMD=path)
            code = (
                "import time, numpy as np, korvel\n"
                "e = np.linspace(0, 1, 11); p = np.array([.3, .12, .08, .05, .05, .05, .05, .08, .12, .1])\n"
                "a = np.geomspace(0.1, 100.0, 20); best = 1e9\n"
                "for _ in range(7):\n"
                "    c = time.process_time()\n"
                "    for _ in range(5): korvel.py_drift_predict(0.3, 0.7, p, a, e)\n"
                "    best = min(best, (time.process_time() - c) / 5)\n"
                "print(f'{best * 1e3:.2f}')\n"
            )
            out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
            print(f"  KORVEL_SIMD={path:<7} {out.stdout.strip()} ms (a path the processor lacks runs the widest below)")

    q = generator(ste, stw)
    print("scipy.linalg.expm of one 71 x 71 matrix t Q (compare with the C++ bench_drift):")
    for t in (0.1, 1.0, 10.0, 100.0):
        a = t * q
        e = scipy.linalg.expm(a)
        assert np.max(np.abs(e.sum(axis=0) - 1.0)) < 1e-9
        print(f"  t={t:<6g} {best_of(lambda: scipy.linalg.expm(a), number=20) * 1e6:9.1f} us")

    fit_ages = np.array([5.0, 10.0, 20.0, 40.0, 80.0])
    true = (0.02, 0.01)
    obs = korvel.py_drift_predict(*true, p0_obs, fit_ages, edges)
    start = time.perf_counter()
    fit = korvel.py_fit_drift_one(p0_obs, obs, fit_ages, edges, (0.0, 0.1))
    elapsed = time.perf_counter() - start
    assert abs(fit[0] / true[0] - 1) < 1e-3 and abs(fit[1] / true[1] - 1) < 1e-3, fit
    print(f"py_fit_drift_one, 5 fit ages: {elapsed:.2f} s (StE={fit[0]:.6f}, StW={fit[1]:.6f},"
          f" NLL={fit[2]:.6f})")


if __name__ == "__main__":
    main()
