"""Flags on estimates: short words that say when a number should not be trusted as printed.

A fit can return a genuine optimum that the data do not identify: at a bound
of its search box, on a flat ridge of the likelihood, with a bootstrap that
splits between two optima. Each rule below is a plain function of the
estimate, its bounds, its intervals, its profile and its bootstrap values;
``flag_estimates`` applies them all to one fit. The README states each rule.
"""

from __future__ import annotations

import math
import statistics
from dataclasses import dataclass

import numpy as np

from . import modes

# Distance from a bound, as a share of the search interval's width in the
# search coordinate, below which an estimate (or a bootstrap refit) counts as
# lying on it. An estimate pressed against a bound along a flat ridge of the
# likelihood stops wherever the polish finds the ridge flat to its tolerance:
# CoE = 1.0025e-3 against the bound 1e-3 (1.1e-3 decades away) was seen on
# data drawn with CoE = 0.3.
AT_BOUND_TOLERANCE = 1e-3
# Share of bootstrap refits at a bound above which the bootstrap is flagged.
BOOT_AT_BOUND_SHARE = 0.10
# Bimodality of bootstrap values (see bimodal): at least this many values,
# this share of them on each side of the valley, a valley below this
# fraction of the lower peak and below it by this many Poisson deviations.
BIMODAL_MIN_VALUES = 10
BIMODAL_MIN_SHARE = 0.10
BIMODAL_VALLEY = 0.7
BIMODAL_DEVIATIONS = 2.0

# Two intervals of one estimate disagree when they overlap by less than this
# share of the shorter one (in the search coordinate).
DISAGREE_OVERLAP = 0.5
# A profile that dips below the NLL at the estimate by more than this (as
# 2 * difference) found a better point than the fit did.
MISSED_MINIMUM = 0.1

# The words that say a parameter is stuck, bending the intervals of the others fitted with it.
STUCK = ("at_bound", "boot_at_bound")


def chi2_1_quantile(level):
    """Quantile of the chi-square distribution with one degree of freedom."""
    return statistics.NormalDist().inv_cdf((1.0 + level) / 2.0) ** 2


@dataclass(frozen=True)
class Flag:
    """One reason to distrust one estimate."""

    parameter: str
    density_idx: int | None  # None: a shared parameter, the same in every density bin
    word: str
    reason: str


# ------------------------------------------------------------ search coordinates

def log_searched(mode, name):
    """Whether the fits of ``mode`` search ``name`` on a logarithmic scale.

    The coefficients and Vmax always are; St too, except in the independent
    mode's per-density fits, which search it as a plain value; the exponents
    never are.
    """
    return name not in modes.get(mode).searched_plain


def search_coordinate(values, log_scale):
    """Values in the search coordinate: log10 (non-positive values give NaN) or unchanged."""
    v = np.asarray(values, dtype=np.float64)
    if not log_scale:
        return v
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(v > 0, np.log10(np.where(v > 0, v, 1.0)), np.nan)


def parameter_bounds(settings, name):
    """The search bounds (lo, hi) of a parameter under FitSettings."""
    return getattr(settings, modes.BOUNDS_FIELD[name])


def at_bound(values, bounds, log_scale):
    """Per value: within AT_BOUND_TOLERANCE times the search interval's width of either
    bound, in the search coordinate."""
    x = search_coordinate(values, log_scale)
    lo, hi = search_coordinate(np.asarray(bounds, dtype=np.float64), log_scale)
    tol = AT_BOUND_TOLERANCE * (hi - lo)
    return (np.abs(x - lo) <= tol) | (np.abs(x - hi) <= tol)


# ------------------------------------------------------------ bootstrap shape

def bimodal(values):
    """Whether bootstrap values fall into two separate groups.

    A Gaussian kernel density of the finite values (at least
    BIMODAL_MIN_VALUES), with Silverman's bandwidth 0.9 * min(sd, IQR/1.34) *
    n**-0.2, evaluated on 512 points from the smallest value - 3 bandwidths to
    the largest + 3, is bimodal when two of its peaks have between them a
    valley (the lowest point) that is at most BIMODAL_VALLEY times the lower
    peak and lies below it by at least BIMODAL_DEVIATIONS times the square
    root of that peak (the density is a kernel-weighted count of values, so
    that is its Poisson deviation), with at least BIMODAL_MIN_SHARE of the
    values on each side of the valley. The last two conditions keep the
    bumps that sampling puts into the tail of a skewed single mode from
    counting: on normal, uniform, exponential, log-normal and t(3) samples of
    50 to 1000 values the rule fires in at most about 1% of samples.
    """
    v = np.sort(np.asarray(values, dtype=np.float64).ravel())
    v = v[np.isfinite(v)]
    n = v.size
    if n < BIMODAL_MIN_VALUES:
        return False
    sd = float(v.std(ddof=1))
    q1, q3 = np.quantile(v, [0.25, 0.75])
    spread = min(sd, (q3 - q1) / 1.34) or sd  # IQR 0: more than half the values tie
    h = 0.9 * spread * n ** -0.2
    if not h > 0:
        return False
    x = np.linspace(v[0] - 3.0 * h, v[-1] + 3.0 * h, 512)
    f = np.empty_like(x)
    for i in range(x.size):  # row by row: n may be thousands of resamples
        f[i] = np.exp(-0.5 * ((x[i] - v) / h) ** 2).sum()
    peaks = np.flatnonzero((f[1:-1] > f[:-2]) & (f[1:-1] >= f[2:])) + 1
    for a in range(peaks.size):
        for b in range(a + 1, peaks.size):
            i, j = peaks[a], peaks[b]
            k = i + int(np.argmin(f[i:j + 1]))
            low = min(f[i], f[j])
            if f[k] <= BIMODAL_VALLEY * low and low - f[k] >= BIMODAL_DEVIATIONS * math.sqrt(low):
                left = np.searchsorted(v, x[k]) / n
                if min(left, 1.0 - left) >= BIMODAL_MIN_SHARE:
                    return True
    return False


# ------------------------------------------------------------ one estimate

def _fmt(v):
    return "open" if not math.isfinite(v) else f"{v:.4g}"


def interval_flags(estimate, interval, what):
    """outside_interval when the estimate lies outside a reported interval (an open end
    bounds nothing), as (word, reason) pairs."""
    below = math.isfinite(interval.lo) and estimate < interval.lo
    above = math.isfinite(interval.hi) and estimate > interval.hi
    if below or above:
        return [("outside_interval", f"estimate {estimate:.4g} outside its {what} interval "
                 f"[{_fmt(interval.lo)}, {_fmt(interval.hi)}]")]
    return []


def profile_flags(prof, level):
    """open_interval and flat_profile of one profile (tl.Profile), as (word, reason) pairs.

    open_interval: an end of the likelihood-ratio interval that the grid did
    not reach, the profile staying below the threshold up to the grid's end.
    flat_profile: the profile rises by less than chi2_1(level)/2 over its
    whole grid, so the data bound the parameter nowhere on it.
    """
    out = []
    iv = prof.interval
    sides = [s for s, o in (("lower", iv.lo_open), ("upper", iv.hi_open)) if o]
    if sides:
        out.append(("open_interval", f"the profile interval has no {' and no '.join(sides)} "
                    f"end within the grid [{prof.grid.min():.4g}, {prof.grid.max():.4g}]"))
    nll = np.asarray(prof.nll, dtype=np.float64)
    threshold = chi2_1_quantile(level) / 2.0
    if nll.size and np.nanmax(nll) - np.nanmin(nll) < threshold:
        out.append(("flat_profile", f"the profile NLL varies by "
                    f"{np.nanmax(nll) - np.nanmin(nll):.3g} < {threshold:.3g} over the grid "
                    f"[{prof.grid.min():.4g}, {prof.grid.max():.4g}]"))
    return out


def disagree_flags(a, b, log_scale, what=("profile", "bootstrap")):
    """intervals_disagree: two intervals of one estimate overlap by less than
    DISAGREE_OVERLAP of the shorter one, in the search coordinate (an open end reaches
    to infinity)."""
    def ends(iv):
        lo, hi = search_coordinate([iv.lo, iv.hi], log_scale)
        return (-math.inf if math.isnan(lo) else lo), (math.inf if math.isnan(hi) else hi)

    (alo, ahi), (blo, bhi) = ends(a), ends(b)
    shorter = min(ahi - alo, bhi - blo)
    overlap = min(ahi, bhi) - max(alo, blo)
    if overlap < DISAGREE_OVERLAP * shorter:
        return [("intervals_disagree", f"the {what[0]} interval [{_fmt(a.lo)}, {_fmt(a.hi)}] "
                 f"and the {what[1]} interval [{_fmt(b.lo)}, {_fmt(b.hi)}] overlap by less "
                 f"than {DISAGREE_OVERLAP:g} of the shorter")]
    return []


def _below_fit(prof):
    """profile_below_fit: the profile dips below the NLL at the estimate by more than
    MISSED_MINIMUM (as 2 * difference)."""
    if prof.below_estimate > MISSED_MINIMUM:
        return [("profile_below_fit", f"the profile reaches {prof.below_estimate / 2:.3g} "
                 "below the NLL at the estimate: the fit missed a better point, the interval "
                 "is about the profile's minimum")]
    return []


def bootstrap_flags(values, bounds, log_scale):
    """boot_at_bound and bimodal_bootstrap of one parameter's bootstrap values."""
    values = np.asarray(values, dtype=np.float64)
    values = values[np.isfinite(values)]
    out = []
    if values.size:
        share = float(np.mean(at_bound(values, bounds, log_scale)))
        if share > BOOT_AT_BOUND_SHARE:
            out.append(("boot_at_bound", f"{100 * share:.0f}% of {values.size} bootstrap refits "
                        f"at a bound of [{bounds[0]:.4g}, {bounds[1]:.4g}]"))
    if bimodal(search_coordinate(values, log_scale)):
        out.append(("bimodal_bootstrap", f"the {values.size} bootstrap values form two groups"))
    return out


# ------------------------------------------------------------ one fit

def flag_estimates(result, *, boot=None, intervals=None, profiles=(), level=0.95,
                   boot_intervals=None):
    """Every flag of a fit (tl.FitResult), in parameter order then density order.

    ``boot``: name -> (n_boot, n_densities) bootstrap values
    (tl.bootstrap_parameters); ``intervals``: name -> (method, one
    tl.Interval per density bin), the intervals reported beside the
    estimates; ``profiles``: tl.Profile objects, whose intervals are checked
    too; ``boot_intervals``: name -> (method, intervals) of the bootstrap
    (tl.bootstrap_intervals), checked too and held against the profile's. A
    parameter that the mode shares gets its flags once, with density_idx None.
    """
    s = result.settings
    shared = modes.get(s.mode).shared
    flags, per_estimate, has_interval = [], {}, {}
    for name, values in result.params.items():
        values = np.asarray(values, dtype=np.float64)
        bounds = parameter_bounds(s, name)
        log_scale = log_searched(s.mode, name)
        dens = [None] if name in shared else range(values.size)
        if not values.size:
            continue
        for d in dens:
            i = 0 if d is None else d
            est = float(values[i])
            found = []
            if at_bound([est], bounds, log_scale)[0]:
                found.append(("at_bound", f"estimate {est:.6g} at a bound of "
                              f"[{bounds[0]:.4g}, {bounds[1]:.4g}]"))
            if intervals and name in intervals:
                method, ivs = intervals[name]
                found += interval_flags(est, ivs[i], method)
            for prof in profiles:
                if prof.parameter == name and prof.density_idx == d:
                    found += interval_flags(est, prof.interval, "profile")
                    found += profile_flags(prof, level)
                    found += _below_fit(prof)
                    if boot_intervals and name in boot_intervals:
                        found += disagree_flags(prof.interval, boot_intervals[name][1][i],
                                                log_scale)
            if boot_intervals and name in boot_intervals:
                found += interval_flags(est, boot_intervals[name][1][i], PERCENTILE_WHAT)
            if boot is not None and name in boot:
                found += bootstrap_flags(np.asarray(boot[name])[:, i], bounds, log_scale)
            per_estimate[(name, d)] = found
            has_interval[(name, d)] = (
                name in (intervals or {}) or name in (boot_intervals or {})
                or any(p.parameter == name and p.density_idx == d for p in profiles))
    stuck = [k for k, found in per_estimate.items() if any(w in STUCK for w, _ in found)]
    for (name, d), found in per_estimate.items():
        # An interval is computed with the other parameters of its fit free to move
        # within their bounds; one of them stuck on a bound holds it narrower than
        # the data allow. The fit of a per-bin estimate holds the shared parameters
        # and its own bin's; a shared estimate's holds every parameter.
        others = [f"{n}{'' if e is None else f' (bin {e})'}" for n, e in stuck
                  if n != name and (e is None or d is None or e == d)]
        if others and has_interval[(name, d)]:
            found.append(("conditional_on_bound", "its interval was computed with "
                          + ", ".join(others) + " stuck at a bound of the search"))
        flags += _once(name, d, found)
    return flags


def _once(name, d, found):
    """Flags of one estimate: each word once, with its first reason."""
    seen, out = set(), []
    for word, reason in found:
        if word not in seen:
            seen.add(word)
            out.append(Flag(name, d, word, reason))
    return out


PERCENTILE_WHAT = "percentile bootstrap"


def flag_drift(result, st_bounds, level=0.95):
    """The flags of a drift fit (tl.DriftResult) whose rates were searched as log10 values
    within ``st_bounds``: at_bound, outside_interval and boot_at_bound of StE and StW, and
    open_interval, flat_profile, profile_below_fit and intervals_disagree where they were
    profiled (result.profiles). Shared by every age: density_idx None."""
    flags = []
    for col, name in enumerate(("ste", "stw")):
        est = float(getattr(result, name))
        found = []
        if at_bound([est], st_bounds, True)[0]:
            found.append(("at_bound", f"estimate {est:.6g} at a bound of "
                          f"[{st_bounds[0]:.4g}, {st_bounds[1]:.4g}]"))
        boot_iv = result.boot_intervals.get(name)
        if boot_iv is not None:
            found += interval_flags(est, boot_iv, PERCENTILE_WHAT)
        for prof in (p for p in result.profiles if p.parameter == name):
            found += interval_flags(est, prof.interval, "profile") + profile_flags(prof, level)
            found += _below_fit(prof)
            if boot_iv is not None:
                found += disagree_flags(prof.interval, boot_iv, True)
        if result.boot is not None:
            found += [f for f in bootstrap_flags(result.boot[:, col], st_bounds, True)
                      if f[0] == "boot_at_bound"]
        flags += _once(name, None, found)
    return flags


def words_of(flags, density_idx):
    """The results table's ``flags`` cell of one density bin: "param:word" items, comma-separated."""
    return ",".join(f"{f.parameter}:{f.word}" for f in flags
                    if f.density_idx in (None, density_idx))


def summary(flags):
    """Lines for the end of a run: one per flag, the shared ones said once."""
    return [f"{f.parameter} ({'shared' if f.density_idx is None else f'density bin {f.density_idx}'})"
            f": {f.word}: {f.reason}" for f in flags]
