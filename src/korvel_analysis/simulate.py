"""Exact stochastic simulation of the 70-site methylation process (Gillespie).

This does not use the master-equation solve at all: each region is a chain of
70 CpG sites whose methylated count m changes by one site at a time, with the
model's rate law, simulated jump by jump. Its samples are therefore an
independent check of the stationary distribution that the fits use.

Rate law (StE, StW from St and ``normalize_stw`` as in the fits):
    writing m -> m+1:  (70 - m) * (StW + S(CoW * BM(m+1) ** n_M))
    erasing m -> m-1:  m * (StE + S(CoE * BU(m-1) ** n_U))
with BM(k) = k/70 and BU(k) = 1 - k/70 (raw counts k and 70 - k with
``raw_count``) and S(x) = x / (x / Vmax + 1) for a finite Vmax, else x.

Burn-in: every region starts from a uniformly drawn state and runs for
``burn_in`` relaxation times (default 20), where the relaxation time is the
inverse of the chain's spectral gap, 1 / |second eigenvalue| of its generator.
After 20 relaxation times the distance to the stationary distribution has
shrunk by a factor of about e^-20 (2e-9), far below the sampling noise of any
realistic number of reads. The state at the end of the burn-in is the read:
it covers the region's 70 sites, so its methylated fraction is m/70.
"""

from __future__ import annotations

import math

import numpy as np

from .pp import NCPG
from .readers import ArgumentError

BURN_IN_RELAXATIONS = 20.0
# A guard against chains whose relaxation is so slow (deeply bistable
# parameters) that an exact simulation would run for hours.
MAX_JUMPS_PER_REGION = 1_000_000


def rates(st, cow, coe, n_u=2.0, n_m=2.0, normalize_stw=True, raw_count=False,
          vmax=math.inf):
    """Writing and erasing rates of every state m = 0..70: (w, e), each 71 values."""
    ste, stw = (st, 1.0) if normalize_stw else (1.0, st)
    k = np.arange(NCPG + 1, dtype=np.float64)
    bm = k if raw_count else k / NCPG
    bu = (NCPG - k) if raw_count else 1.0 - k / NCPG

    def saturate(x):
        return x / (x / vmax + 1.0) if math.isfinite(vmax) else x

    w = np.zeros(NCPG + 1)
    e = np.zeros(NCPG + 1)
    m = np.arange(NCPG)  # writing from m uses the methylated count m + 1
    w[:-1] = (NCPG - m) * (stw + saturate(cow * bm[m + 1] ** n_m))
    m = np.arange(1, NCPG + 1)  # erasing from m uses the unmethylated count 70 - (m - 1)
    e[1:] = m * (ste + saturate(coe * bu[m - 1] ** n_u))
    return w, e


def relaxation_time(w, e):
    """1 / spectral gap of the birth-death generator with jump rates w (up) and e (down).

    A birth-death chain is reversible, so its generator is similar to the
    symmetric tridiagonal matrix with off-diagonal sqrt(w(m) e(m+1)); its
    eigenvalues are real and the largest non-zero one sets the relaxation.
    """
    off = np.sqrt(w[:-1] * e[1:])
    sym = np.diag(-(w + e)) + np.diag(off, 1) + np.diag(off, -1)
    ev = np.sort(np.linalg.eigvalsh(sym))  # 0 is the largest; the gap is the next
    gap = -ev[-2]
    return math.inf if not gap > 0 else 1.0 / gap


def gillespie(w, e, n_regions, duration, rng):
    """States after ``duration`` of time, from uniform random starts, for n_regions chains.

    All regions advance together, one jump per step, so each step is a few
    vector operations over the regions. A region whose next jump would come
    after the end keeps its state (the chain holds it until then); the set of
    running regions is compacted once at most half of it still runs.
    """
    total = w + e
    m = rng.integers(0, NCPG + 1, size=n_regions)
    t = np.zeros(n_regions)
    idx = np.arange(n_regions)  # regions in the working arrays below
    mw, tw = m.copy(), t
    with np.errstate(divide="ignore"):
        while idx.size:
            tot = total[mw]
            tw = tw + rng.standard_exponential(idx.size) / tot
            go = tw < duration
            n_go = np.count_nonzero(go)
            up = rng.random(idx.size) * tot < w[mw]
            mw += go * (2 * up - 1)
            if 2 * n_go <= idx.size:
                m[idx] = mw
                idx, mw, tw = idx[go], mw[go], tw[go]
    return m


def simulate_region_states(st, cow, coe, n_regions, rng, n_u=2.0, n_m=2.0, normalize_stw=True,
                           raw_count=False, vmax=math.inf, burn_in=BURN_IN_RELAXATIONS):
    """Methylated counts (0..70) of n_regions independent regions after the burn-in."""
    w, e = rates(st, cow, coe, n_u, n_m, normalize_stw, raw_count, vmax)
    tau = relaxation_time(w, e)
    duration = burn_in * tau
    if not math.isfinite(duration) or duration * total_max(w, e) > MAX_JUMPS_PER_REGION:
        raise ValueError(
            f"the chain at St={st:g}, CoW={cow:g}, CoE={coe:g} relaxes too slowly for an exact "
            f"simulation (relaxation time {tau:.3g}, about {duration * total_max(w, e):.3g} "
            "jumps per region); choose less bistable parameters")
    return gillespie(w, e, n_regions, duration, rng)


def total_max(w, e):
    return float(np.max(w + e))


def _per_density(values, n, name):
    values = [float(v) for v in np.atleast_1d(values)]
    if len(values) == 1:
        return values * n
    if len(values) != n:
        raise ArgumentError(f"{{}} gives {len(values)} values for {n} densities", name)
    return values


def simulate_reads(st, cow, coe, n_u=2.0, n_m=2.0, densities=None, reads_per_density=1000,
                   seed=0, normalize_stw=True, raw_count=False, vmax=math.inf,
                   burn_in=BURN_IN_RELAXATIONS):
    """A simulated reads table: (cpg_density, meth_fraction) arrays.

    Every parameter may be one value or one per density bin. Density bin d's
    reads get CpG densities drawn uniformly from [d, d + 1), so density edges
    0, 1, ..., n recover the bins.
    """
    lengths = [np.atleast_1d(v).size for v in (st, cow, coe, n_u, n_m)]
    n = densities if densities is not None else max(lengths)
    params = [_per_density(v, n, name) for v, name in
              ((st, "st"), (cow, "cow"), (coe, "coe"), (n_u, "n_u"), (n_m, "n_m"))]
    rng = np.random.default_rng(seed)
    dens, meth = [], []
    for d in range(n):
        s, cw, ce, nu, nm = (p[d] for p in params)
        m = simulate_region_states(s, cw, ce, reads_per_density, rng, nu, nm, normalize_stw,
                                   raw_count, vmax, burn_in)
        dens.append(d + rng.random(reads_per_density))
        meth.append(m / float(NCPG))
    return np.concatenate(dens), np.concatenate(meth)


def detailed_balance(w, e):
    """Stationary distribution of the chain from detailed balance, P(m+1) / P(m) = w(m) / e(m+1).

    A second route to the stationary distribution (no linear solve), kept as
    an independent check of the module's solve; plots and tables use the
    module's own fractions.
    """
    with np.errstate(divide="ignore"):
        logp = np.concatenate([[0.0], np.cumsum(np.log(w[:-1]) - np.log(e[1:]))])
    p = np.exp(logp - np.max(logp))
    return p / p.sum()


def binned_fractions(p, meth_bin_edges):
    """States' probabilities summed into methylation bins (first-match rule), floored at 1e-8
    and renormalised, as the model scores them."""
    from .pp import bin_index

    x = np.arange(NCPG + 1) / float(NCPG)
    j = bin_index(x, np.asarray(meth_bin_edges, dtype=np.float64))
    n = len(meth_bin_edges) - 1
    f = np.bincount(j[j >= 0], weights=p[j >= 0], minlength=n)
    f = np.maximum(f, 1e-8)
    return f / f.sum()


def model_fractions(st, cow, coe, meth_bin_edges, n_u=2.0, n_m=2.0, normalize_stw=True,
                    raw_count=False, vmax=math.inf):
    """Binned stationary fractions of one parameter set (detailed balance, not the module's solve)."""
    w, e = rates(st, cow, coe, n_u, n_m, normalize_stw, raw_count, vmax)
    return binned_fractions(detailed_balance(w, e), meth_bin_edges)
