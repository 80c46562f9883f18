"""Model choice on data drawn from the model: are the tests calibrated, do they find what is there?

Every data set is drawn from the model's exact stationary distribution
(multinomial reads over the methylation bins of the distribution that
korvel_analysis.simulate solves by detailed balance, independently of the
module's own solve), three density bins of --reads reads each.

- calibration: --replicates data sets under one St (1.0; CoW 3, 4, 5; CoE 4):
  how often the likelihood-ratio test of shared-st inside independent
  rejects at 5% (with the central 95% range of that count under a calibrated
  test, Binomial(replicates, 0.05)), and the share of the goodness-of-fit
  p-values (independent fits, every bin) below 0.05 and 0.01.
- power: St differs between the bins by a factor 2, in two regimes: "weak",
  the calibration bins with St 1, 1, 2, where CoW and CoE make up for most of
  St's change (St is hardly identified there), and "identified", St 0.5, 1, 1
  with CoW 3 and CoE 4 in every bin. Each prints the likelihood-ratio
  statistic of the exact (noise-free) fractions, about the mean a test sees
  above its df, which decides the power. And a 50/50 mixture of two
  parameter sets in bin 1 (CoW 2 and 6, CoE 4): how often that bin is
  flagged poor_fit (p < 0.01).
- cost: one GOF bootstrap draw (a refit of every bin) against one fit.

The goodness-of-fit p-values are the chi-square ones unless --gof-draws N
gives parametric-bootstrap p-values from N draws per data set (slow: N
refits per data set).

    nice python benchmarks/bench_model_choice.py [--replicates 20] [--reads 3000]
        [--gof-draws 0] [--parts calibration,power,mixture,cost] [--cost-draws 20]

(--parts power:weak or power:identified runs one power regime.)

Exits with status 1 when a figure falls outside what the tests promise:
calibration rejections outside the binomial range, power below 18 of 20
(scaled to --replicates).
"""

import argparse
import math
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

from machine import describe  # noqa: E402

from korvel_analysis import gof, pp, simulate, tl  # noqa: E402

EDGES = pp.meth_edges(10)
COWS, COES = (3.0, 4.0, 5.0), (4.0, 4.0, 4.0)
POWER = {"weak": ((1.0, 1.0, 2.0), COWS, COES),
         "identified": ((0.5, 1.0, 1.0), (3.0, 3.0, 3.0), (4.0, 4.0, 4.0))}
MIXED_BIN, MIXTURE = 1, ((1.0, 2.0, 4.0), (1.0, 6.0, 4.0))  # (St, CoW, CoE) each half


def fractions(st, cow, coe):
    p = simulate.model_fractions(st, cow, coe, EDGES)
    return p / p.sum()


def draw(sts, n_reads, rng, mixed=False, cows=COWS, coes=COES):
    counts = []
    for d, (st, cow, coe) in enumerate(zip(sts, cows, coes)):
        p = fractions(st, cow, coe)
        if mixed and d == MIXED_BIN:
            p = 0.5 * fractions(*MIXTURE[0]) + 0.5 * fractions(*MIXTURE[1])
        counts.append(rng.multinomial(n_reads, p))
    return np.array(counts)


def fit(counts, mode):
    settings = tl.FitSettings(mode=mode, n_reads=tuple(np.rint(counts.sum(axis=1))))
    return tl.fit(pp.observed_fractions(counts), EDGES, settings, progress=False)


def lr_test(counts):
    n = np.rint(counts.sum(axis=1))
    runs = [gof.ComparedRun.of(fit(counts, m), n, EDGES) for m in ("independent", "shared-st")]
    (pair,) = gof.compare(runs).pairs
    return pair, runs[0].result


def gof_p(counts, result, draws, seed):
    return gof.goodness_of_fit(counts, EDGES, result, draws, seed, progress=False).p


def binomial_range(n, p, level=0.95):
    """The central range [lo, hi] holding at least ``level`` of Binomial(n, p)."""
    pmf = [math.comb(n, k) * p ** k * (1 - p) ** (n - k) for k in range(n + 1)]
    cdf = np.cumsum(pmf)
    tail = (1 - level) / 2
    lo = int(np.searchsorted(cdf, tail, side="right"))
    hi = int(np.searchsorted(cdf, 1 - tail))
    return lo, hi


def tests(sts, args, rng, mixed=False, cows=COWS, coes=COES):
    """(LR rejections at 5%, GOF p-values of every bin (replicates x 3))."""
    rejected, ps = 0, []
    for rep in range(args.replicates):
        counts = draw(sts, args.reads, rng, mixed, cows, coes)
        pair, independent = lr_test(counts)
        rejected += pair["p_chi2"] < 0.05
        ps.append(gof_p(counts, independent, args.gof_draws, rep))
        print(f"  data set {rep + 1}/{args.replicates}: LR {pair['lr_statistic']:.3g}, "
              f"p {pair['p_chi2']:.3g}; GOF p {np.round(ps[-1], 3).tolist()} "
              f"({time.perf_counter() - T0:.0f} s)", flush=True)
    return rejected, np.array(ps)


T0 = time.perf_counter()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--replicates", type=int, default=20)
    ap.add_argument("--reads", type=int, default=3000, help="reads per density bin")
    ap.add_argument("--gof-draws", type=int, default=0)
    ap.add_argument("--cost-draws", type=int, default=20)
    ap.add_argument("--parts", default="calibration,power,mixture,cost")
    ap.add_argument("--seed", type=int, default=29)
    args = ap.parse_args()
    parts = args.parts.split(",")
    rng = np.random.default_rng(args.seed)
    print(f"machine: {describe()}")
    how = (f"parametric bootstrap, {args.gof_draws} draws" if args.gof_draws else "chi-square")
    print(f"{args.replicates} data sets of 3 density bins x {args.reads} reads; GOF p-values: "
          f"{how}", flush=True)
    ok = True
    need = math.ceil(18 * args.replicates / 20)
    if "calibration" in parts:
        print("calibration: one St for every bin")
        rejected, ps = tests((1.0, 1.0, 1.0), args, rng)
        lo, hi = binomial_range(args.replicates, 0.05)
        ok &= lo <= rejected <= hi
        print(f"CALIBRATION shared-st vs independent: {rejected}/{args.replicates} rejected at "
              f"5% (a calibrated test: {lo} to {hi}, 95% of the time)")
        print(f"CALIBRATION GOF p-values of {ps.size} bins: {np.mean(ps < 0.05):.1%} below 0.05, "
              f"{np.mean(ps < 0.01):.1%} below 0.01; deciles "
              f"{np.histogram(ps, bins=10, range=(0, 1))[0].tolist()}", flush=True)
    for regime in [p.split(":")[1] for p in parts if p.startswith("power:")] or (
            POWER if "power" in parts else ()):
        sts, cows, coes = POWER[regime]
        exact = np.array([fractions(*t) for t in zip(sts, cows, coes)]) * args.reads
        pair, _ = lr_test(exact)
        print(f"power, {regime}: St {sts}, CoW {cows}, CoE {coes}; the exact fractions' LR "
              f"{pair['lr_statistic']:.3g} (df {pair['df']})")
        rejected, _ = tests(sts, args, rng, cows=cows, coes=coes)
        ok &= regime != "identified" or rejected >= need
        print(f"POWER {regime}, St differing by a factor 2: {rejected}/{args.replicates} "
              f"rejected at 5% (exact LR {pair['lr_statistic']:.3g}; want at least {need} "
              f"where St is identified)", flush=True)
    if "mixture" in parts:
        print(f"mixture: bin {MIXED_BIN} a 50/50 mixture of (St, CoW, CoE) = {MIXTURE}")
        _, ps = tests((1.0, 1.0, 1.0), args, rng, mixed=True)
        flagged = int(np.sum(ps[:, MIXED_BIN] < gof.POOR_FIT_P))
        others = int(np.sum(np.delete(ps, MIXED_BIN, axis=1) < gof.POOR_FIT_P))
        ok &= flagged >= need
        print(f"MIXTURE poor_fit on the mixed bin: {flagged}/{args.replicates} (want at least "
              f"{need}); on the {2 * args.replicates} pure bins: {others}", flush=True)
    if "cost" in parts:
        counts = draw((1.0, 1.0, 1.0), args.reads, rng)
        for mode in ("independent", "shared-st"):
            t = time.perf_counter()
            result = fit(counts, mode)
            t_fit = time.perf_counter() - t
            t = time.perf_counter()
            gof_p(counts, result, args.cost_draws, 0)
            t_draw = (time.perf_counter() - t) / args.cost_draws
            print(f"COST {mode}: one fit {t_fit:.3g} s, one GOF draw {t_draw:.3g} s "
                  f"({t_draw / t_fit:.2g} fits; {args.cost_draws} draws)", flush=True)
    print(f"total time {time.perf_counter() - T0:.0f} s")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
