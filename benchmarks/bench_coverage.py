"""Coverage of korvel's intervals on data drawn from the model with known parameters.

Four regimes of two density bins each (mid-range monostable; low methylation,
CoW small and CoE large; near-bistable, CoW and CoE 8 to 10; few reads, 300
per bin), each with --replicates data sets drawn directly from the model's
stationary distribution: multinomial reads over the methylation bins of the
stationary distribution that korvel_analysis.simulate solves by detailed
balance, independently of the module's own solve. Every data set is fitted
in the independent and the shared-St mode, and each parameter gets two
intervals: the percentile bootstrap of --bootstrap resamples and the
likelihood-ratio interval of the full profile.

Per regime, mode and interval kind the table gives the coverage of the truth
among unflagged intervals, how many were flagged and how many were open. An
interval is flagged when its estimate is within 1e-3 of a bound (in log10 of
the parameter), lies outside its own interval, the interval is open (a
profile that stays below the threshold up to its grid end), or, for the
bootstrap, more than 10% of the resamples' estimates are at a bound. A miss
by more than one interval width that carries no flag is listed by name.

    python benchmarks/bench_coverage.py [--quick] [--replicates 20] [--bootstrap 100]
        [--regimes mid,low,bistable,few] [--modes independent,shared-st] [--kinds bootstrap,profile]

--regimes four-bins runs four density bins (St 1, CoW 2, 3, 3.5, 4, CoE 4, 3, 5, 6) instead.

--quick runs 4 replicates of every regime, with 100 resamples and profile
grids of 9 points. Exits with status 1 when an unflagged coverage falls below
--min-coverage (default 0.8) or a bad miss carries no flag.
"""

import argparse
import math
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

from machine import describe  # noqa: E402

from korvel_analysis import modes, pp, simulate, tl  # noqa: E402

REGIMES = {  # name: (St, CoW per bin, CoE per bin, reads per bin)
    "mid": (1.0, (3.0, 4.0), (4.0, 4.0), 5000),
    "low": (1.0, (0.3, 1.0), (10.0, 15.0), 5000),
    "bistable": (1.0, (8.0, 10.0), (8.0, 10.0), 5000),
    "few": (1.0, (3.0, 4.0), (4.0, 4.0), 300),
}
# Not run by default: four density bins whose CoW/CoE intervals, when the
# profiles held the shared St at its fit, all missed the truth in shared-st.
EXTRA_REGIMES = {"four-bins": (1.0, (2.0, 3.0, 3.5, 4.0), (4.0, 3.0, 5.0, 6.0), 5000)}
ST_BOUNDS, CO_BOUNDS = (1e-3, 10.0), (1e-3, 1e3)
AT_BOUND = 1e-3  # in log10 of the parameter
BOOT_AT_BOUND_SHARE = 0.10


def draw_counts(st, cows, coes, n_reads, edges, rng):
    """One data set: per density bin, multinomial reads of the stationary bin fractions."""
    counts = []
    for cow, coe in zip(cows, coes):
        p = simulate.model_fractions(st, cow, coe, edges)
        counts.append(rng.multinomial(n_reads, p / p.sum()))
    return np.array(counts)


def at_bound(value, bounds):
    return any(abs(math.log10(value) - math.log10(b)) < AT_BOUND for b in bounds)


def judge(truth, estimate, iv, bounds, boot=None):
    """(covered, flagged, open, bad_miss) of one interval."""
    is_open = iv.lo_open or iv.hi_open or math.isnan(iv.lo) or math.isnan(iv.hi)
    lo = bounds[0] if math.isnan(iv.lo) else iv.lo
    hi = bounds[1] if math.isnan(iv.hi) else iv.hi
    flagged = is_open or at_bound(estimate, bounds) or not lo <= estimate <= hi
    if boot is not None:
        share = np.mean([at_bound(v, bounds) for v in boot])
        flagged |= share > BOOT_AT_BOUND_SHARE
    covered = lo <= truth <= hi
    width = hi - lo
    bad_miss = not covered and min(abs(truth - lo), abs(truth - hi)) > width
    return covered, flagged, is_open, bad_miss


def run(regime, mode, replicates, n_boot, points, kinds, seed0, tally, unflagged_bad):
    st, cows, coes, n_reads = {**REGIMES, **EXTRA_REGIMES}[regime]
    edges = pp.meth_edges(10)
    truth = {"st": (st,) * len(cows), "cow": cows, "coe": coes}
    bounds = {"st": ST_BOUNDS, "cow": CO_BOUNDS, "coe": CO_BOUNDS}
    rng = np.random.default_rng(seed0)
    for rep in range(replicates):
        counts = draw_counts(st, cows, coes, n_reads, edges, rng)
        fracs = pp.observed_fractions(counts)
        n = counts.sum(axis=1)
        settings = tl.FitSettings(mode=mode, st_bounds=ST_BOUNDS, co_bounds=CO_BOUNDS,
                                  n_reads=tuple(n))
        result = tl.fit(fracs, edges, settings)
        ivs = {}
        if "bootstrap" in kinds:
            rows = pp.bootstrap_fracs(counts, n_boot, seed0 + rep)
            brows = tl.bootstrap(rows, n_boot, len(n), edges, settings, tl.warm_start(result))
            boot = tl.bootstrap_parameters(brows, settings, n_boot, len(n))
            ivs["bootstrap"] = {(name, d): (tl.percentile_interval(boot[name][:, d]),
                                            boot[name][:, d])
                                for name in truth for d in range(len(n))}
        if "profile" in kinds:
            profs = tl.profiles(fracs, edges, result, n, points=points, progress=False)
            ivs["profile"] = {(p.parameter, d): (p.interval, None) for p in profs
                              for d in range(len(n)) if p.density_idx in (d, None)}
        shared = modes.get(mode).shared
        for kind, table in ivs.items():
            for (name, d), (iv, boot_values) in table.items():
                if name in shared and d > 0:  # one value for every bin: counted once
                    continue
                est = float(result.params[name][d])
                c, f, o, bad = judge(truth[name][d], est, iv, bounds[name], boot_values)
                key = (regime, mode, kind, name)
                t = tally.setdefault(key, dict(n=0, covered=0, flagged=0, open=0))
                t["n"] += 1
                t["flagged"] += f
                t["open"] += o
                t["covered"] += c and not f
                if bad and not f:
                    unflagged_bad.append((regime, mode, kind, name, d, rep, truth[name][d],
                                          est, iv.lo, iv.hi))
        print(f"  {regime} {mode}: data set {rep + 1}/{replicates} "
              f"({time.perf_counter() - T0:.0f} s)", flush=True)


T0 = time.perf_counter()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true",
                    help="4 replicates, profile grids of 9 points")
    ap.add_argument("--replicates", type=int, default=20)
    ap.add_argument("--bootstrap", type=int, default=100)
    ap.add_argument("--profile-points", type=int, default=15)
    ap.add_argument("--regimes", default=",".join(REGIMES))
    ap.add_argument("--modes", default="independent,shared-st")
    ap.add_argument("--kinds", default="bootstrap,profile")
    ap.add_argument("--seed", type=int, default=2026)
    ap.add_argument("--min-coverage", type=float, default=0.8)
    args = ap.parse_args()
    if args.quick:
        args.replicates, args.profile_points = 4, 9
    kinds = args.kinds.split(",")
    print(f"machine: {describe()}")
    print(f"{args.replicates} data sets per regime, {args.bootstrap} resamples, profile grids "
          f"of {args.profile_points} points, 95% intervals")
    tally, bad = {}, []
    for i, regime in enumerate(args.regimes.split(",")):
        for mode in args.modes.split(","):
            # The same data sets in both modes: the seed depends on the regime only.
            run(regime, mode, args.replicates, args.bootstrap, args.profile_points, kinds,
                args.seed + 1000 * i, tally, bad)
            ok = report(tally, bad, args.min_coverage)  # so far, in case the run is cut short
    print(f"total time {time.perf_counter() - T0:.0f} s")
    return 0 if ok and not bad else 1


def report(tally, bad, min_coverage):
    print(f"\n{'regime':9} {'mode':12} {'interval':10} {'param':5} {'covered/unflagged':>18} "
          f"{'flagged':>8} {'open':>5}")
    ok = True
    for (regime, mode, kind, name), t in tally.items():
        unflagged = t["n"] - t["flagged"]
        share = t["covered"] / unflagged if unflagged else math.nan
        ok &= not unflagged or share >= min_coverage
        print(f"{regime:9} {mode:12} {kind:10} {name:5} "
              f"{t['covered']:>8}/{unflagged:<3} {share:6.0%} {t['flagged']:>8} {t['open']:>5}")
    for b in bad:
        print("unflagged miss by more than the interval's width: "
              "{} {} {} {} bin {} data set {}: truth {:g}, estimate {:.4g}, [{:.4g}, {:.4g}]"
              .format(*b))
    print(flush=True)
    return ok


if __name__ == "__main__":
    sys.exit(main())
