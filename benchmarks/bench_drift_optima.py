"""Does the drift fit land on the global optimum? Counts of spurious optima.

Data sets are drawn from the drift model with known (StE, StW): a starting
distribution over the 71 states is propagated with scipy.linalg.expm of the
generator and reads are drawn per age (multinomial), then binned. Some data
sets are chosen so that the later ages lie near equilibrium, where a flat
high-rate plateau (every age at equilibrium, the NLL a function of StW / StE
alone) competes with the optimum.

1. One data set fitted 12 times (seeds 0..11) with py_fit_drift_one_log, and
   with --compare-plain 12 times with the entropy-seeded py_fit_drift_one.
2. Each of 10 data sets resampled 50 times (reads within each age) and refitted
   with py_fit_drift_bootstrap_log (with --compare-plain also with
   py_fit_drift_bootstrap).

A fit is spurious when its NLL lies more than 1e-6 above the reference
minimum of its data: the better of scipy's Nelder-Mead over (log10 StE,
log10 StW) started at the truth and started at the fit's own point. Prints
the counts, the fits on the plateau ((StE + StW) x youngest fit age >= 10)
and the times; exits with status 1 when a log-scale fit is spurious.

    python benchmarks/bench_drift_optima.py [--meth-bins 71] [--boot 50] [--compare-plain]
"""

import argparse
import sys
import time
from pathlib import Path

import numpy as np
import scipy.linalg
import scipy.optimize

sys.path.insert(0, str(Path(__file__).resolve().parent))

import korvel  # noqa: E402
from bench_drift import generator  # noqa: E402
from machine import describe  # noqa: E402

BOUNDS = (1e-4, 1.0)
SPURIOUS = 1e-6  # NLL above the reference minimum; spurious optima were 0.01 to 0.5 above
X = np.arange(71) / 70.0


def start(kind):
    m = np.arange(71)
    p = np.exp(-m / 4.0)
    if kind == "bimodal":
        p = p + 0.4 * np.exp(-0.5 * ((m - 55) / 5.0) ** 2)
    return p / p.sum()


# (StE, StW), ages (the first is the reference), starting distribution.
DATA_SETS = [
    ((0.0221, 0.011), (0, 50, 100, 150), "bimodal"),
    ((0.0221, 0.011), (0, 30, 60, 90), "bimodal"),
    ((0.0221, 0.011), (0, 20, 40, 60), "bimodal"),
    ((0.0221, 0.011), (0, 50, 100, 150), "low"),
    ((0.01, 0.004), (0, 10, 20, 40), "bimodal"),
    ((0.01, 0.004), (0, 50, 100, 150), "bimodal"),
    ((0.05, 0.02), (0, 15, 30), "low"),
    ((0.05, 0.02), (0, 20, 40, 60, 80), "bimodal"),
    ((0.003, 0.006), (0, 100, 200, 400), "low"),
    ((0.1, 0.1), (0, 5, 10, 20), "bimodal"),
]


def edges_of(n_bins):
    if n_bins == 71:  # one bin per state: edges at the midpoints between m / 70
        return np.concatenate([[0.0], (np.arange(70) + 0.5) / 70.0, [1.0]])
    return np.linspace(0.0, 1.0, n_bins + 1)


def draw_counts(truth, ages, kind, n_reads, edges, rng):
    q = generator(*truth)
    which = np.minimum(np.searchsorted(edges, X, side="right") - 1, len(edges) - 2)
    rows = []
    for t in ages:
        p = np.clip(scipy.linalg.expm(t * q) @ start(kind), 0.0, None)
        states = rng.multinomial(n_reads, p / p.sum())
        rows.append(np.bincount(which, weights=states, minlength=len(edges) - 1))
    return np.array(rows)


def fractions(counts):
    return counts / counts.sum(axis=-1, keepdims=True)


def reference_nll(fr, fit_ages, edges, starts):
    """The lowest NLL scipy's Nelder-Mead reaches from the given (StE, StW)."""
    lo, hi = np.log10(BOUNDS)

    def nll(x):
        x = np.clip(x, lo, hi)
        pred = korvel.py_drift_predict(10 ** x[0], 10 ** x[1], fr[0], fit_ages, edges)
        return -(fr[1:] * np.log(pred)).sum()

    best = np.inf
    for s in starts:
        r = scipy.optimize.minimize(nll, np.log10(s), method="Nelder-Mead",
                                    options=dict(xatol=1e-8, fatol=1e-12, maxiter=4000))
        best = min(best, r.fun)
    return best


def count_spurious(fits, frs, fit_ages, edges, truth):
    spurious = plateau = 0
    for (ste, stw, nll), fr in zip(fits, frs):
        ref = reference_nll(fr, fit_ages, edges, [truth, (ste, stw)])
        spurious += nll > ref + SPURIOUS
        plateau += (ste + stw) * fit_ages.min() >= 10.0
    return spurious, plateau


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--meth-bins", type=int, default=71, help="71: one bin per site count")
    ap.add_argument("--reads", type=int, default=2000, help="reads per age")
    ap.add_argument("--repeats", type=int, default=12)
    ap.add_argument("--boot", type=int, default=50)
    ap.add_argument("--data-sets", type=int, default=len(DATA_SETS))
    ap.add_argument("--compare-plain", action="store_true",
                    help="also fit with the plain-scale py_fit_drift_one / _bootstrap")
    args = ap.parse_args()
    print(f"machine: {describe()}")
    edges = edges_of(args.meth_bins)
    print(f"{args.meth_bins} methylation bins, {args.reads} reads per age, st_bounds {BOUNDS}")
    methods = [("log", korvel.py_fit_drift_one_log, korvel.py_fit_drift_bootstrap_log)]
    if args.compare_plain:
        methods.append(("plain", None, korvel.py_fit_drift_bootstrap))
    failed = 0

    truth, ages, kind = DATA_SETS[0]
    ages = np.array(ages, dtype=float)
    fr = fractions(draw_counts(truth, ages, kind, args.reads, edges, np.random.default_rng(100)))
    fit_ages = ages[1:] - ages[0]
    for name, _, _ in methods:
        t0 = time.perf_counter()
        if name == "log":
            fits = [korvel.py_fit_drift_one_log(fr[0], fr[1:], fit_ages, edges, BOUNDS, s)
                    for s in range(args.repeats)]
        else:
            fits = [korvel.py_fit_drift_one(fr[0], fr[1:], fit_ages, edges, BOUNDS)
                    for _ in range(args.repeats)]
        wall = time.perf_counter() - t0
        spurious, plateau = count_spurious(fits, [fr] * len(fits), fit_ages, edges, truth)
        print(f"repeated fits ({name}), truth {truth}, ages {ages.tolist()}: {spurious} spurious "
              f"of {len(fits)}, {plateau} on the plateau, {wall / len(fits):.2f} s per fit")
        if name == "log":
            failed += spurious

    totals = {name: [0, 0, 0.0] for name, _, _ in methods}
    for d, (truth, ages, kind) in enumerate(DATA_SETS[:args.data_sets]):
        ages = np.array(ages, dtype=float)
        rng = np.random.default_rng(200 + d)
        counts = draw_counts(truth, ages, kind, args.reads, edges, rng)
        resampled = np.array([[rng.multinomial(int(c.sum()), c / c.sum()) for c in counts]
                              for _ in range(args.boot)])
        frs = fractions(resampled)
        fit_ages = ages[1:] - ages[0]
        p0 = np.ascontiguousarray(frs[:, 0])
        rest = np.ascontiguousarray(frs[:, 1:].reshape(-1, edges.size - 1))
        line = f"data set {d}: truth {truth}, ages {ages.tolist()}, {kind} start:"
        for name, _, boot in methods:
            t0 = time.perf_counter()
            fits = boot(p0, rest, args.boot, fit_ages.size, fit_ages, edges, BOUNDS)
            wall = time.perf_counter() - t0
            spurious, plateau = count_spurious(fits, frs, fit_ages, edges, truth)
            totals[name][0] += spurious
            totals[name][1] += plateau
            totals[name][2] += wall
            line += f"  {name}: {spurious} spurious, {plateau} on the plateau, {wall:.0f} s"
        print(line, flush=True)
    n = args.boot * min(args.data_sets, len(DATA_SETS))
    for name, (spurious, plateau, wall) in totals.items():
        print(f"bootstrap refits ({name}): {spurious} spurious of {n}, {plateau} on the plateau, "
              f"{wall:.0f} s in all")
    failed += totals["log"][0]
    if failed:
        print(f"FAILED: {failed} log-scale fits ended on a spurious optimum")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
