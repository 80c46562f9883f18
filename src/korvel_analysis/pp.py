"""Preparation: density and methylation bins, observed fractions, bootstrap resamples.

The module's fits take observed methylation-bin fractions, one row per CpG
density bin with densities ascending, and its bootstraps take resamples laid
out row by row: row r = b * n_densities + d holds density bin d of resample b
(density fastest). The functions here build exactly those arrays.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

from .readers import ArgumentError, InputError

# CpG sites of a region: its states are m = 0..NCPG methylated sites.
NCPG = 70

# Density bins of equal read counts when no edges are given.
DEFAULT_DENSITY_QUANTILES = 4


@dataclass
class Binned:
    """Read counts per (density bin, methylation bin), densities ascending."""

    density_lo: np.ndarray
    density_hi: np.ndarray
    meth_edges: np.ndarray
    counts: np.ndarray  # (n_densities, n_meth_bins) int64
    source: str = ""
    n_dropped: int = 0  # reads outside the density or methylation edges
    extra: dict = field(default_factory=dict)

    @property
    def n_densities(self):
        return self.counts.shape[0]

    @property
    def n_reads(self):
        return self.counts.sum(axis=1)

    @property
    def fractions(self):
        return observed_fractions(self.counts)


def meth_edges(n_bins=10):
    """``n_bins`` equal methylation-fraction bins over [0, 1]: the edges k / n_bins.

    Each edge is the division k / n_bins, the double nearest the fraction, so
    a read of fraction 0.3 lies on the edge 3/10 and falls into [0.3, 0.4).
    ``linspace`` would give 0.30000000000000004 there and put it in the bin
    below.
    """
    if n_bins < 1:
        raise ValueError("at least one methylation bin is needed")
    n = int(n_bins)
    return np.arange(n + 1, dtype=np.float64) / n


def site_count_edges():
    """One methylation bin per site count: NCPG + 1 bins whose inner edges lie
    midway between neighbouring fractions m/NCPG, so that bin m holds exactly
    the state m (and a read whose fraction lies nearer m/NCPG than any other)."""
    return np.concatenate([[0.0], (np.arange(NCPG) + 0.5) / NCPG, [1.0]])


def states_per_bin(meth_bin_edges):
    """How many of the states m/NCPG (m = 0..NCPG) each methylation bin holds,
    by the first-match rule of the model."""
    which = bin_index(np.arange(NCPG + 1) / float(NCPG), meth_bin_edges)
    return np.bincount(which[which >= 0], minlength=meth_bin_edges.size - 1)


def check_edges(edges, parameter, lo=None, hi=None):
    """Edges as a float64 vector: at least two, finite and strictly increasing.

    ``parameter``: the name of the argument that gave them, for the errors.
    """
    edges = np.asarray(edges, dtype=np.float64)
    if edges.ndim != 1 or edges.size < 2:
        raise ArgumentError("{} need at least two values", parameter)
    if not np.all(np.isfinite(edges)) or np.any(np.diff(edges) <= 0):
        raise ArgumentError("{} must be finite and strictly increasing", parameter)
    if (lo is not None and edges[0] < lo) or (hi is not None and edges[-1] > hi):
        raise ArgumentError(f"{{}} must lie within [{lo}, {hi}]", parameter)
    return edges


def quantile_edges(values, n_bins, overwrite=False):
    """Edges that split ``values`` into ``n_bins`` bins of (nearly) equal counts; with
    ``overwrite`` the values may be reordered in place (no copy of them is made)."""
    edges = np.quantile(np.asarray(values, dtype=np.float64), np.linspace(0.0, 1.0, n_bins + 1),
                        overwrite_input=overwrite)
    if np.any(np.diff(edges) <= 0):
        raise ArgumentError(f"{n_bins} quantiles ({{}}) give coinciding edges (too many equal "
                            "values): ask for fewer bins", "n_bins")
    return edges


def density_edges(densities, density_edges=None, density_quantiles=None, overwrite=False):
    """The density bins' edges: ``density_edges`` (checked) when given, else the edges of
    ``density_quantiles`` bins of equal counts of ``densities`` (default
    DEFAULT_DENSITY_QUANTILES; with ``overwrite`` they may be reordered in place)."""
    if density_edges is not None:
        return check_edges(density_edges, "density_edges")
    n = density_quantiles or DEFAULT_DENSITY_QUANTILES
    try:
        return quantile_edges(densities, n, overwrite)
    except ArgumentError:
        raise ArgumentError(f"{n} density quantiles ({{}}) give coinciding edges (too many "
                            "equal densities): ask for fewer bins or give {}",
                            "density_quantiles", "density_edges") from None


def bin_index(values, edges):
    """Index of the bin of each value: bin j is [edge j, edge j+1), the last closed; -1 outside.

    The same first-match rule as the model uses for methylation states, so a
    read whose fraction is exactly m/70 falls into the bin of state m.
    """
    idx = np.searchsorted(edges, values, side="right") - 1
    idx[values == edges[-1]] = edges.size - 2
    idx[(values < edges[0]) | (values > edges[-1])] = -1
    return idx


def bin_reads(reads, density_edges, meth_bin_edges):
    """Counts of reads per (density bin, methylation bin).

    Reads outside the density edges or the methylation edges are left out and
    counted in ``n_dropped``; a density bin without reads is an InputError.
    """
    density_edges = check_edges(density_edges, "density edges")
    meth_bin_edges = check_edges(meth_bin_edges, "meth_bin_edges", 0.0, 1.0)
    d = bin_index(reads.density, density_edges)
    m = bin_index(reads.meth, meth_bin_edges)
    keep = (d >= 0) & (m >= 0)
    n_d, n_m = density_edges.size - 1, meth_bin_edges.size - 1
    counts = np.bincount(d[keep] * n_m + m[keep], minlength=n_d * n_m).reshape(n_d, n_m)
    return _binned(reads.path, reads.density_column, density_edges, meth_bin_edges, counts,
                   np.count_nonzero(~keep))


def _binned(path, density_column, density_edges, meth_bin_edges, counts, n_dropped):
    for j in np.flatnonzero(counts.sum(axis=1) == 0):
        raise InputError(path, f"density bin {j} [{density_edges[j]:g}, "
                         f"{density_edges[j + 1]:g}] holds no reads", column=density_column)
    return Binned(density_edges[:-1].copy(), density_edges[1:].copy(), meth_bin_edges,
                  counts.astype(np.int64), path, int(n_dropped))


def _drain(blocks):
    """Reads the rest of a table, for its errors: they come before errors in the options,
    as they do when the table is read whole first."""
    for _ in blocks:
        pass


def _pair_counter():
    """The extension's counting of (density, methylation) pairs into their bins, which
    gives what ``bin_index`` and ``np.bincount`` give, in one pass; None when the
    installed module lacks it."""
    import korvel

    return getattr(korvel, "_count_pairs", None)


def bin_read_blocks(blocks, path, density_column, meth_bin_edges, edges=None, quantiles=None):
    """What ``bin_reads`` gives for the reads of ``blocks`` ((density, meth, age) arrays,
    as readers.scan_reads yields them), without holding the reads.

    With density ``edges`` each block is binned as it comes, so memory does not
    grow with the reads. With quantiles the densities alone are kept, grouped
    by methylation bin (8 bytes a read); finding the quantiles copies them
    once. Errors in the table come before errors in the edges, as they do when
    the table is read first.
    """
    try:
        meth_bin_edges = check_edges(meth_bin_edges, "meth_bin_edges", 0.0, 1.0)
        if edges is not None:
            edges = density_edges(None, edges)
    except ArgumentError:
        _drain(blocks)
        raise
    n_m = meth_bin_edges.size - 1
    if edges is not None:
        n_d = edges.size - 1
        counts = np.zeros(n_d * n_m, dtype=np.int64)
        dropped = 0
        count = _pair_counter()
        edges, meth_bin_edges = np.ascontiguousarray(edges), np.ascontiguousarray(meth_bin_edges)
        for density, meth, _ in blocks:
            if count is not None:  # one pass over the block in the extension
                dropped += count(np.ascontiguousarray(density, dtype=np.float64),
                                 np.ascontiguousarray(meth, dtype=np.float64), edges,
                                 meth_bin_edges, counts)
                continue
            d, m = bin_index(density, edges), bin_index(meth, meth_bin_edges)
            keep = (d >= 0) & (m >= 0)
            counts += np.bincount(d[keep] * n_m + m[keep], minlength=n_d * n_m)
            dropped += keep.size - np.count_nonzero(keep)
        return _binned(path, density_column, edges, meth_bin_edges, counts.reshape(n_d, n_m),
                       dropped)
    # Densities by methylation bin, the last list for reads outside the methylation edges
    # (they count in the quantiles, as every read does).
    groups = [[] for _ in range(n_m + 1)]
    for density, meth, _ in blocks:
        m = bin_index(meth, meth_bin_edges)
        order = np.argsort(m, kind="stable")
        bounds = np.searchsorted(m[order], np.arange(-1, n_m + 1))
        for j in range(-1, n_m):
            part = density[order[bounds[j + 1]:bounds[j + 2]]]
            if part.size:
                groups[j].append(part)
    every = np.concatenate([p for g in groups for p in g])
    total = every.size
    edges = density_edges(every, None, quantiles, overwrite=True)
    del every
    n_d = edges.size - 1
    counts = np.zeros((n_d, n_m), dtype=np.int64)
    for j in range(n_m):
        for part in groups[j]:
            d = bin_index(part, edges)
            counts[:, j] += np.bincount(d[d >= 0], minlength=n_d)
    dropped = total - int(counts.sum())
    return _binned(path, density_column, edges, meth_bin_edges, counts, dropped)


def from_counts(table, meth_bin_edges):
    """A counts table (readers.read_counts) as binned data."""
    meth_bin_edges = check_edges(meth_bin_edges, "meth_bin_edges", 0.0, 1.0)
    if table.counts.shape[1] != meth_bin_edges.size - 1:
        raise InputError(table.path, f"has {table.counts.shape[1]} count columns but there are "
                         f"{meth_bin_edges.size - 1} methylation bins", line=1)
    return Binned(table.density_lo, table.density_hi, meth_bin_edges, table.counts, table.path)


def observed_fractions(counts):
    """Counts (rows of methylation bins) as fractions of each row's total."""
    counts = np.asarray(counts, dtype=np.float64)
    return counts / counts.sum(axis=-1, keepdims=True)


def resample_counts(counts, n_boot, rng):
    """Bootstrap resamples of the reads behind each row of counts: (n_boot, n_rows, n_bins).

    Drawing n reads with replacement from a row's n reads and binning them is
    a multinomial draw of n with the row's fractions, so that is what is drawn,
    row after row, each row's n_boot resamples at once.
    """
    counts = np.asarray(counts, dtype=np.int64)
    out = np.empty((n_boot,) + counts.shape, dtype=np.int64)
    for i, row in enumerate(counts):
        out[:, i, :] = rng.multinomial(int(row.sum()), row / row.sum(), size=n_boot)
    return out


def stack_resamples(per_resample):
    """(n_boot, n_densities, n_bins) -> rows r = b * n_densities + d, as the bootstraps expect."""
    per_resample = np.asarray(per_resample, dtype=np.float64)
    n_boot, n_d, n_m = per_resample.shape
    return np.ascontiguousarray(per_resample.reshape(n_boot * n_d, n_m))


def unstack_rows(rows, n_boot, n_densities):
    """The inverse of stack_resamples: any row-wise table back to (n_boot, n_densities, ...)."""
    rows = np.asarray(rows)
    return rows.reshape((n_boot, n_densities) + rows.shape[1:])


def bootstrap_fracs(counts, n_boot, seed):
    """Seeded bootstrap fractions in the module's row layout, (n_boot * n_densities, n_bins)."""
    rng = np.random.default_rng(seed)
    return stack_resamples(observed_fractions(resample_counts(counts, n_boot, rng)))


@dataclass
class DriftData:
    """Counts per age, oldest last: row 0 is the reference (youngest) age."""

    ages: np.ndarray
    counts: np.ndarray  # (n_ages, n_meth_bins)
    meth_edges: np.ndarray
    source: str = ""

    @property
    def fit_ages(self):
        """Ages of the observations counted from the reference age."""
        return self.ages[1:] - self.ages[0]


def drift_data(reads, meth_bin_edges, density_edges=None, density_bin=None):
    """Counts per age for the drift model, pooled over density or from one density bin."""
    if reads.age is None:
        raise ValueError("the drift model needs an age column")
    meth_bin_edges = check_edges(meth_bin_edges, "meth_bin_edges", 0.0, 1.0)
    keep = bin_index(reads.meth, meth_bin_edges) >= 0
    if density_bin is not None:
        density_edges = check_edges(density_edges, "density_edges")
        if not 0 <= density_bin < density_edges.size - 1:
            raise ArgumentError(f"{{}} {density_bin} is not one of the "
                                f"{density_edges.size - 1} density bins", "density_bin")
        keep &= bin_index(reads.density, density_edges) == density_bin
    if not np.any(keep):
        raise InputError(reads.path, "no reads fall into the chosen bins")
    ages, which = np.unique(reads.age[keep], return_inverse=True)
    if ages.size < 2:
        raise InputError(reads.path, "the drift model needs reads of at least two ages",
                         column=reads.age_column)
    m = bin_index(reads.meth[keep], meth_bin_edges)
    n_m = meth_bin_edges.size - 1
    counts = np.bincount(which * n_m + m, minlength=ages.size * n_m).reshape(ages.size, n_m)
    return DriftData(ages, counts.astype(np.int64), meth_bin_edges, reads.path)


def drift_read_blocks(blocks, path, age_column, meth_bin_edges, density_edges=None,
                      density_bin=None):
    """What ``drift_data`` gives for the reads of ``blocks`` ((density, meth, age) arrays,
    as readers.scan_reads yields them), counting each block as it comes: memory grows with
    the number of distinct ages, not of reads."""
    try:
        meth_bin_edges = check_edges(meth_bin_edges, "meth_bin_edges", 0.0, 1.0)
        if density_bin is not None:
            density_edges = check_edges(density_edges, "density_edges")
            if not 0 <= density_bin < density_edges.size - 1:
                raise ArgumentError(f"{{}} {density_bin} is not one of the "
                                    f"{density_edges.size - 1} density bins", "density_bin")
    except ArgumentError:
        _drain(blocks)
        raise
    n_m = meth_bin_edges.size - 1
    ages, counts = np.empty(0), np.zeros((0, n_m), dtype=np.int64)
    for density, meth, age in blocks:
        m = bin_index(meth, meth_bin_edges)
        keep = m >= 0
        if density_bin is not None:
            keep &= bin_index(density, density_edges) == density_bin
        if not np.any(keep):
            continue
        here, which = np.unique(age[keep], return_inverse=True)
        block = np.bincount(which * n_m + m[keep], minlength=here.size * n_m)
        merged = np.union1d(ages, here)
        total = np.zeros((merged.size, n_m), dtype=np.int64)
        total[np.searchsorted(merged, ages)] += counts
        total[np.searchsorted(merged, here)] += block.reshape(here.size, n_m)
        ages, counts = merged, total
    if not ages.size:
        raise InputError(path, "no reads fall into the chosen bins")
    if ages.size < 2:
        raise InputError(path, "the drift model needs reads of at least two ages",
                         column=age_column)
    return DriftData(ages, counts, meth_bin_edges, path)


def drift_bootstrap_fracs(data, n_boot, seed):
    """Resamples of the reads within each age: (p0_per_boot, fit_observed_per_boot).

    p0_per_boot row b is resample b at the reference age; fit_observed_per_boot
    row b * n_fit_ages + k is resample b at fit age k, as the drift bootstrap
    expects.
    """
    rng = np.random.default_rng(seed)
    fr = observed_fractions(resample_counts(data.counts, n_boot, rng))  # (n_boot, n_ages, n_m)
    p0 = np.ascontiguousarray(fr[:, 0, :])
    rest = stack_resamples(fr[:, 1:, :]) if fr.shape[1] > 1 else np.empty((0, fr.shape[2]))
    return p0, rest
