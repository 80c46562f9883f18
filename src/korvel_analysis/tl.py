"""Tools: fits in every mode, bootstraps, profiles, confidence intervals, drift, phase grids.

Each function takes prepared arrays (see ``pp``) and calls the korvel module;
the ``korvel`` command is a thin layer over these.
"""

from __future__ import annotations

import contextlib
import math
import threading
import time
from dataclasses import dataclass, field

import numpy as np

import korvel

from . import flags, modes, pp
from .flags import chi2_1_quantile
from .readers import ArgumentError
from . import progress as _progress
from .interrupts import kept as _sigint_kept, promptly as _promptly
from .interrupts import side_by_side as _side_by_side


@dataclass
class FitSettings:
    """Every option that changes a fit's result; defaults are those of the command."""

    mode: str = "independent"
    normalize_stw: bool = True
    st_bounds: tuple = (1e-3, 10.0)
    co_bounds: tuple = (1e-3, 1e3)
    exp_bounds: tuple = (1.0, 4.0)
    vmax_bounds: tuple = (1e-3, 1e6)
    fit_vmax: bool = False
    co_penalty: float = 0.0
    weights: tuple | None = None
    n_u: float = 2.0
    n_m: float = 2.0
    raw_count: bool = False
    vmax: float = math.inf

    # Reads of each density bin. In the shared modes every fit, bootstrap and
    # profile weights each bin's per-read NLL by them (likelihood_weights), so
    # the shared parameters are the maximum-likelihood estimates of the reads.
    n_reads: tuple | None = None

    def __post_init__(self):
        mode = modes.get(self.mode)
        if self.fit_vmax and not mode.fits_vmax:
            raise ValueError("Vmax is fitted only in the "
                             + " and ".join(modes.names(lambda m: m.fits_vmax)) + " modes")
        if self.weights is not None and not mode.weighted:
            raise ValueError(f"weights apply to the shared modes, not to {self.mode} fits")
        if self.n_reads is not None:
            self.n_reads = tuple(int(n) for n in self.n_reads)
        if self.weights is not None:
            self.weights = tuple(float(w) for w in self.weights)
        if self.n_reads is not None and self.weights is not None:
            likelihood_weights(self.n_reads, self.weights)  # raises on a mismatch

    def weights_array(self):
        """The per-density weights the module's shared fits and profiles take, or None.

        None (the module's 1.0 for every bin) when neither read counts nor
        weights are known; otherwise likelihood_weights of the read counts
        (equal counts when they are not known) and the user's weights.
        """
        if not modes.get(self.mode).weighted or (self.n_reads is None and self.weights is None):
            return None
        n_reads = self.n_reads if self.n_reads is not None else np.ones(len(self.weights))
        return likelihood_weights(n_reads, self.weights)


def likelihood_weights(n_reads, weights=None):
    """Weights of the density bins' per-read NLLs that make their sum the reads' NLL.

    The module scores a density bin by the NLL per read of its observed
    fractions; the NLL of the bin's n_d reads is n_d times that. Weighting
    bin d by w_d = n_d * u_d * N / sum_k(n_k * u_k), with N the total of the
    reads and u_d the user's relative weights (1 each when None), makes the
    shared fit's minimum the maximum-likelihood estimate of the reads (for
    u = 1: w_d = n_d), and the same weighted sum is the profile's NLL, so
    an estimate always lies inside its own profile interval. The user's
    weights change only the bins' relative shares: they are normalised so
    that the weighted reads add up to N, and ``10,10`` means ``1,1``.
    """
    n = np.asarray(n_reads, dtype=np.float64)
    u = np.ones_like(n) if weights is None else np.asarray(weights, dtype=np.float64)
    if n.ndim != 1 or u.shape != n.shape:
        raise ValueError(f"{u.size} weights for {n.size} density bins")
    if not (np.all(np.isfinite(n)) and np.all(n >= 0)):
        raise ValueError("read counts must be finite and not negative")
    if not (np.all(np.isfinite(u)) and np.all(u >= 0)):
        raise ValueError("weights must be finite and not negative")
    share = n * u
    total = share.sum()
    if n.size and not total > 0:
        raise ValueError("the weights leave no reads: every density bin has weight or reads 0")
    return share / (total / n.sum()) if n.size else share


def apply_run_settings(settings):
    """Sets the module's process-wide raw-count switch and Vmax; every process that fits must."""
    korvel.py_set_raw_count(bool(settings.raw_count))
    korvel.py_set_mm_vmax(float(settings.vmax))


def parameter_names(settings):
    """The fitted parameters of a mode, in the order of the results table."""
    return modes.get(settings.mode).parameter_names(settings.fit_vmax)


@dataclass
class FitResult:
    """Per-density values of every fitted parameter (shared ones repeated), and the NLLs."""

    settings: FitSettings
    params: dict  # name -> (n_densities,) array
    nll: np.ndarray
    calls: list = field(default_factory=list)
    vmax_used: float = math.inf

    def shared_value(self, name):
        return float(self.params[name][0]) if self.params[name].size else math.nan


def fit(fracs, meth_bin_edges, settings, verbose=False, progress=None):
    """Fits the observed fractions (n_densities, n_meth_bins) in ``settings.mode``.

    ``verbose`` lets the shared fits that have one write their optimiser
    trace to standard error. The module reports no progress from inside one
    fit, so ``progress`` (see ``korvel_analysis.progress``) shows the time
    elapsed: a ticking bar on a terminal, a line every 30 s elsewhere.
    """
    s = settings
    apply_run_settings(s)
    fracs = np.ascontiguousarray(fracs, dtype=np.float64)
    edges = np.ascontiguousarray(meth_bin_edges, dtype=np.float64)
    n_d = fracs.shape[0]
    args = (fracs, edges, bool(s.normalize_stw), tuple(s.st_bounds), tuple(s.co_bounds))
    mode = modes.get(s.mode)
    with _sigint_kept(), _progress.waiting(f"fit in mode {s.mode}", progress):
        if mode.fit_stops_on_ctrl_c:
            p, nlls = mode.fit(args, s, s.weights_array(), verbose)
        else:
            p, nlls = _promptly(mode.fit, args, s, s.weights_array(), verbose)
    params = {name: np.asarray(p[name], dtype=np.float64) for name in parameter_names(s)}
    # The Vmax the fit used: fitted, or the run-wide ceiling it read.
    vmax_used = float(p["vmax"][0]) if "vmax" in p and n_d else float(s.vmax)
    return FitResult(s, params, np.asarray(nlls, dtype=np.float64), [mode.fit_function],
                     vmax_used)


def model_fractions(result, meth_bin_edges):
    """The fitted model's bin fractions, (n_densities, n_meth_bins), from the module itself.

    Each density bin's fractions at its fitted parameters, with the exponents
    and Vmax the fit used (fitted, or the fixed values of the settings) and
    the run-wide raw-count switch of its settings: the fractions whose NLL the
    fit reports, so that a plot of them shows what was fitted.
    """
    s = result.settings
    apply_run_settings(s)
    edges = np.ascontiguousarray(meth_bin_edges, dtype=np.float64)
    p = result.params
    n_d = result.nll.size
    n_u = p["n_u"] if "n_u" in p else np.full(n_d, float(s.n_u))
    n_m = p["n_m"] if "n_m" in p else np.full(n_d, float(s.n_m))
    rows = []
    for d in range(n_d):
        st = float(p["st"][d])
        ste, stw = (st, 1.0) if s.normalize_stw else (1.0, st)
        rows.append(korvel.py_compute_model_fracs(ste, stw, float(p["cow"][d]),
                                                  float(p["coe"][d]), edges, float(n_u[d]),
                                                  float(n_m[d]), float(result.vmax_used)))
    return np.array(rows).reshape(n_d, edges.size - 1)


# ---------------------------------------------------------------- bootstrap

def warm_start(result):
    """The warm start the exponent bootstraps take from the main fit, or None."""
    warm = modes.get(result.settings.mode).warm_start
    return None if warm is None else warm(result)


def bootstrap(rows, n_boot, n_densities, meth_bin_edges, settings, warm=None, slot=0):
    """Bootstrap rows of the mode: one call of its bootstrap function on resamples laid out
    row by row (see ``korvel_analysis.chunks`` for chunked, resumable and Dask runs).

    This is the single place that calls a bootstrap function: a runner that
    splits the resamples into chunks calls it once per chunk. ``slot``: the
    module's progress slot where the call counts its finished rows and fits
    while it runs (see work_slot); 0 counts nothing.
    """
    s = settings
    apply_run_settings(s)
    rows = np.ascontiguousarray(rows, dtype=np.float64)
    edges = np.ascontiguousarray(meth_bin_edges, dtype=np.float64)
    head = (rows, int(n_boot), int(n_densities), edges, bool(s.normalize_stw))
    with _sigint_kept():
        return modes.get(s.mode).bootstrap(head, s, s.weights_array(), warm, int(slot))


# The module's progress slots (py_work_done), handed out one per bootstrap call
# running at once in this process, so that no call reads another's counts.
WORK_SLOTS = 64
_free_slots = list(range(WORK_SLOTS, 0, -1))
_slots_lock = threading.Lock()


@contextlib.contextmanager
def work_slot():
    """A progress slot of the module for the block's bootstrap calls, 0 when all are taken
    (the calls then count nothing); yields (slot, read), read() giving the (rows, fits)
    the block's calls have finished so far, safe to call from any thread."""
    with _slots_lock:
        slot = _free_slots.pop() if _free_slots else 0
    base = korvel.py_work_done(slot)
    try:
        yield slot, lambda: tuple(n - b for n, b in zip(korvel.py_work_done(slot), base))
    finally:
        if slot:
            with _slots_lock:
                _free_slots.append(slot)


def bootstrap_parameters(rows, settings, n_boot, n_densities):
    """The fitted parameters of the bootstrap rows: name -> (n_boot, n_densities) array."""
    cols = modes.get(settings.mode).bootstrap_columns
    return {name: np.asarray(rows)[:, cols.index(name)].reshape(n_boot, n_densities)
            for name in parameter_names(settings)}


# ---------------------------------------------------------------- intervals

@dataclass
class Interval:
    """A confidence interval; an end that the profile grid did not reach is open (NaN)."""

    lo: float
    hi: float
    lo_open: bool = False
    hi_open: bool = False


def percentile_interval(values, level=0.95):
    """The central ``level`` percentile interval of bootstrap values (linear interpolation)."""
    values = np.asarray(values, dtype=np.float64)
    if values.size == 0:
        return Interval(math.nan, math.nan)
    lo, hi = np.quantile(values, [(1.0 - level) / 2.0, (1.0 + level) / 2.0])
    return Interval(float(lo), float(hi))


def likelihood_ratio_interval(grid, nll, level=0.95, log_scale=True):
    """Where the profile NLL crosses its minimum + chi2_1(level)/2.

    Between the two grid points around a crossing, the square root of the
    rise above the minimum is interpolated linearly (in log10 of the
    parameter on log grids): exact for a profile that is quadratic there,
    as profiles are near their minimum. When the profile stays below the
    threshold up to a grid end, that end is open: its bound is NaN and
    ``lo_open``/``hi_open`` say so.
    """
    grid = np.asarray(grid, dtype=np.float64)
    nll = np.asarray(nll, dtype=np.float64)
    order = np.argsort(grid)
    grid, nll = grid[order], nll[order]
    x = np.log10(grid) if log_scale else grid
    i0 = int(np.nanargmin(nll))
    root = np.sqrt(np.maximum(nll - nll[i0], 0.0))
    target = math.sqrt(chi2_1_quantile(level) / 2.0)

    def cross(i_in, i_out):
        t = (target - root[i_in]) / (root[i_out] - root[i_in])
        v = x[i_in] + t * (x[i_out] - x[i_in])
        return float(10.0 ** v if log_scale else v)

    lo = hi = math.nan
    for i in range(i0 - 1, -1, -1):
        if root[i] >= target:
            lo = cross(i + 1, i)
            break
    for i in range(i0 + 1, grid.size):
        if root[i] >= target:
            hi = cross(i - 1, i)
            break
    return Interval(lo, hi, math.isnan(lo), math.isnan(hi))


PERCENTILE, PROFILE = "percentile bootstrap", "likelihood ratio (profile)"


def bootstrap_intervals(result, boot_rows, n_boot, level=0.95):
    """name -> (PERCENTILE, one Interval per density bin) of every parameter of ``result``
    from its bootstrap rows (``n_boot`` resamples); empty without rows."""
    if boot_rows is None:
        return {}
    n_d = result.nll.size
    boot = bootstrap_parameters(boot_rows, result.settings, n_boot, n_d)
    return {name: (PERCENTILE, [percentile_interval(boot[name][:, d], level)
                                for d in range(n_d)]) for name in result.params}


def intervals(result, boot_rows=None, profiles=(), n_boot=0, level=0.95):
    """name -> (method, one Interval per density bin): the intervals shown beside the estimates.

    A profiled parameter gets its likelihood-ratio intervals, which hold the
    truth more often than the percentile bootstrap's where the two differ (a
    bootstrap refit that sticks to a bound or a ridge narrows the latter);
    every other parameter its percentile intervals where there are bootstrap
    rows (``n_boot`` resamples). Parameters with neither have no entry; see
    bootstrap_intervals for the bootstrap's of every parameter.
    """
    n_d = result.nll.size
    out = dict(bootstrap_intervals(result, boot_rows, n_boot, level))
    for name in result.params:
        mine = [p for p in profiles if p.parameter == name]
        if mine:
            out[name] = (PROFILE, [next(p.interval for p in mine if p.density_idx in (d, None))
                                   for d in range(n_d)])
    return out


# ---------------------------------------------------------------- profiles

def profile_refusal(mode):
    """Why ``mode`` has no profiles, or None when it has."""
    if modes.get(mode).profileable:
        return None
    return (f"no profile exists in mode {mode}: this korvel module has no profile function "
            "for it (modes with profiles: "
            + ", ".join(modes.names(lambda m: m.profileable)) + ")")


def profiled_parameters(settings):
    """The parameters ``tl.profiles`` profiles in a fit with ``settings``, in table order."""
    mode = modes.get(settings.mode)
    return [n for n in mode.parameter_names(settings.fit_vmax) if n in mode.profileable]


@dataclass
class Profile:
    parameter: str
    density_idx: int | None  # None: one profile of a shared parameter over every density bin
    grid: np.ndarray
    nll: np.ndarray  # negative log-likelihood of the reads: per-read NLL times reads
    estimate: float
    interval: Interval
    # Parameters held at their fitted values while this one was scanned (its
    # interval is conditional on them); empty for a full profile, where every
    # other parameter was refitted at each grid point.
    conditional_on: tuple = ()
    # 2 * (NLL at the estimate - the profile's minimum): well above 0 the fit
    # missed a better point (flags.profile_below_fit). The interval is always taken about the profile's
    # own minimum, the likelihood's best point that was found.
    below_estimate: float = 0.0


def profile_grid(estimate, bounds, points=15, span=1.0):
    """A log grid of ``points`` values from estimate / 10**span to estimate * 10**span
    (cut at the bounds), with the estimate itself added."""
    lo = max(math.log10(bounds[0]), math.log10(estimate) - span)
    hi = min(math.log10(bounds[1]), math.log10(estimate) + span)
    return np.unique(np.append(10.0 ** np.linspace(lo, hi, points), estimate))


# Where a closed interval end is taken to be found: 2*(NLL - minimum) there is
# within ROOT_TOLERANCE of chi2_1(level), or the two points that bracket the
# crossing are closer than ROOT_BRACKET in log10 of the parameter (a wall).
ROOT_TOLERANCE = 0.05
ROOT_BRACKET = 1e-6
# Steps of the end search; each is one batch of refits of every end still
# searched. The Illinois rule converges superlinearly, so a bracket of a
# grid step meets the tolerance in a handful; the cap only bounds a profile
# that is noisy at the tolerance's scale.
ROOT_STEPS = 40
# Index of each parameter in the module's profile functions.
PROFILE_PARAMETER = {name: k for k, name in enumerate(modes.PARAMETERS)}


def _crossing(x, nll, q, side):
    """(i_in, i_out) of the grid points either side of the first point, walking from the
    minimum towards ``side`` (-1 left, +1 right), where 2*(NLL - min) reaches q; None
    when the profile never does (the end is open there)."""
    i0 = int(np.nanargmin(nll))
    rise = 2.0 * (nll - nll[i0])
    i = i0 + side
    while 0 <= i < x.size:
        if rise[i] >= q:
            return i - side, i
        i += side
    return None


def _reach(x, bounds_log, side, span):
    """Up to one decade of new points beyond the grid end on ``side``, spaced like a
    first grid of ``span`` decades, stopping at the bound; empty at the bound."""
    end = x[0] if side < 0 else x[-1]
    limit = bounds_log[0] if side < 0 else bounds_log[1]
    far = max(limit, end - 1.0) if side < 0 else min(limit, end + 1.0)
    if abs(far - end) < ROOT_BRACKET:
        return np.empty(0)
    step = max(span / 7.0, 1.0 / 7.0)
    n = max(2, int(math.ceil(abs(far - end) / step)))
    return np.linspace(end, far, n + 1)[1:]


class _Curve:
    """One profile's points (parameter values, their log10, NLL), sorted, NaN refits
    left out, and the state of the search of each of its two ends."""

    def __init__(self, grid, nll, bounds):
        self.g, self.x, self.nll = np.empty(0), np.empty(0), np.empty(0)
        self.bounds_log = (math.log10(bounds[0]), math.log10(bounds[1]))
        self.search = {-1: None, 1: None}  # side -> [last point, weight in, weight out, moved in]
        self.add(grid, nll)

    def add(self, values, nll):
        g, nll = np.asarray(values, dtype=np.float64), np.asarray(nll, dtype=np.float64)
        keep = ~np.isnan(nll)
        g, nll = np.concatenate([self.g, g[keep]]), np.concatenate([self.nll, nll[keep]])
        g, first = np.unique(g, return_index=True)
        self.g, self.x, self.nll = g, np.log10(g), nll[first]

    def reach(self, q, span):
        """New points on each side whose profile has not risen by q yet."""
        if not self.x.size:
            return np.empty(0)
        sides = [s for s in (-1, 1) if _crossing(self.x, self.nll, q, s) is None]
        far = np.concatenate([np.empty(0)] + [_reach(self.x, self.bounds_log, s, span)
                                              for s in sides])
        return np.clip(10.0 ** far, 10.0 ** self.bounds_log[0], 10.0 ** self.bounds_log[1])

    def next_points(self, q):
        """The next refit of each end still searched (Illinois rule on the square root
        of the rise, where a quadratic profile is straight), none once both are found."""
        out = []
        for side in (-1, 1):
            br = _crossing(self.x, self.nll, q, side) if self.x.size else None
            if br is None:
                self.search[side] = None
                continue
            (xi, xo), (yi, yo) = self.x[list(br)], self.nll[list(br)]
            ref = float(np.min(self.nll))
            if abs(xo - xi) < ROOT_BRACKET or 2 * (yo - ref) - q <= ROOT_TOLERANCE \
                    or q - 2 * (yi - ref) <= ROOT_TOLERANCE:
                self.search[side] = None
                continue
            state = self.search[side]
            if state is not None and state[0] in (xi, xo):
                # The end the last point replaced starts afresh; when it is the same end
                # as the time before, the end that stayed gets half its weight, so that
                # it moves next (regula falsi alone creeps along a flat side).
                moved_in = state[0] == xi
                state[1 if moved_in else 2] = 1.0
                if state[3] == moved_in:
                    state[2 if moved_in else 1] *= 0.5
                state[3] = moved_in
            else:
                state = [None, 1.0, 1.0, None]
            root_q = math.sqrt(q)
            s_in = root_q - math.sqrt(max(2 * (yi - ref), 0.0))
            s_out = math.sqrt(max(2 * (yo - ref), 0.0)) - root_q
            t = state[1] * s_in / (state[1] * s_in + state[2] * s_out)
            t = min(max(t, 0.01), 0.99)
            state[0] = math.log10(10.0 ** (xi + t * (xo - xi)))  # as add() will store it
            self.search[side] = state
            out.append(10.0 ** state[0])
        return np.array(out)

    def missed_minimum(self, estimate):
        """2 * (NLL at the estimate - the profile's minimum), NaN when it was not refitted."""
        at = np.flatnonzero(self.g == estimate)
        return 2.0 * float(self.nll[at[0]] - self.nll.min()) if at.size else math.nan


def _scan_rows(scan, grids):
    """scan() of one grid per profile: the module takes them as the rows of one matrix,
    shorter rows padded with NaN (points it skips). Rows with no points are not scanned."""
    width = max((g.size for g in grids), default=0)
    if not width:
        return [np.empty(0) for _ in grids]
    table = np.full((len(grids), width), np.nan)
    for d, g in enumerate(grids):
        table[d, :g.size] = g
    out = scan(table)
    return [out[d, :g.size] for d, g in enumerate(grids)]


def _each_row(call):
    """A table scan from ``call(row index, grid) -> NLLs``, for module functions that take
    one grid: each row's values without their NaN padding, empty rows left out. Its
    ``row_call`` lets a step of the profiles send each row as a call of its own, beside
    the other profiles' (see _scan_calls)."""
    def scan(table):
        out = np.full(table.shape, np.nan)
        for d, row in enumerate(table):
            keep = ~np.isnan(row)
            if keep.any():
                out[d, keep] = call(d, np.ascontiguousarray(row[keep]))
        return out
    scan.row_call = call
    return scan


# Progress of profiles is counted in parts, three to a profile: its first grid
# and each of its two ends. Their number is known before any refit, whereas
# the number of refits is not (the reach and the end searches take as many as
# the profile's shape asks for), so a total of parts never grows.
PARTS_PER_PROFILE = 3


def _scan_calls(scan, grids):
    """The module calls that scan ``grids`` (one per profile row) as (call, rows) pairs:
    call() returns the NLLs of the grids of ``rows``. A row-wise scan (_each_row) makes
    one call per row with points, any other one call of the whole table (none when no
    row has points). Each call gets exactly the grid it would get alone, so its NLLs are
    the same bits whichever calls run beside it."""
    call = getattr(scan, "row_call", None)
    if call is not None:
        return [((lambda d=d, g=g: [call(d, np.ascontiguousarray(g))]), [d])
                for d, g in enumerate(grids) if g.size]
    if not any(g.size for g in grids):
        return []
    return [((lambda: _scan_rows(scan, grids)), range(len(grids)))]


def _profile_all(jobs, level, points, span):
    """Profiles of several parameters stepped together: ``jobs`` holds (scan, estimates,
    bounds, tick) of each, as _profile_rows takes them; every step sends the calls of every
    profile at once (_side_by_side). Returns one list of _Curve per job. A job's
    ``tick(n)`` (or None) is told of each part of its profiles done, PARTS_PER_PROFILE
    to a row: the row's first grid, then each end once it is located or found open."""
    q = chi2_1_quantile(level)
    curves = [[_Curve(np.empty(0), np.empty(0), bounds) for _ in estimates]
              for _, estimates, bounds, _ in jobs]
    ticks = [tick or (lambda n: None) for *_, tick in jobs]

    def step(asks):
        calls = [(j, rows, call) for j, (scan, *_) in enumerate(jobs)
                 for call, rows in _scan_calls(scan, asks[j])]
        if not calls:
            return False
        done = _side_by_side([c for _, _, c in calls], korvel.py_thread_count())
        for (j, rows, _), nlls in zip(calls, done):
            for d, nll in zip(rows, nlls):
                curves[j][d].add(asks[j][d], nll)
        return True

    step([[profile_grid(e, bounds, points, span) for e in estimates]
          for _, estimates, bounds, _ in jobs])
    for tick, row in zip(ticks, curves):
        tick(len(row))
    while step([[c.reach(q, span) for c in row] for row in curves]):
        pass
    settled = set()

    def asks():
        out = []
        for j, row in enumerate(curves):
            out.append([c.next_points(q) for c in row])
            # next_points clears the search of an end that is found, open or walled.
            ends = {(j, i, side) for i, c in enumerate(row) for side in (-1, 1)
                    if c.search[side] is None}
            ticks[j](len(ends - settled))
            settled.update(ends)
        return out

    for _ in range(ROOT_STEPS):
        if not step(asks()):
            break
    for j, row in enumerate(curves):  # ends the step cap left unsettled
        ticks[j](2 * len(row) - sum(1 for end in settled if end[0] == j))
    return curves


def _profile_rows(scan, estimates, bounds, level, points, span, tick=None):
    """One profile per row of ``scan`` (a table of grids -> their NLLs), each around its
    estimate: a log grid reaching ``span`` decades either side, then reached out a decade
    at a time while an end has not risen by chi2_1(level)/2 (to the search bound at
    most), then each closed end located by a root search between the grid points that
    bracket it. Every step scans all rows in one call. Returns one _Curve per row.
    ``tick(n)`` is told of each part done (see _profile_all)."""
    return _profile_all([(scan, estimates, bounds, tick)], level, points, span)[0]


class _Walk:
    """One profile of a shared exponent mode, walked outwards from its minimum:
    ``call(grid, start, cold_starts)`` refits the grid's points from ``start`` (and,
    with ``cold_starts``, the fit's cold starts after it) and returns their NLLs and
    the shared values at which each was found.

    Held far from the estimate, the shared search can stall on the side of a
    curved valley well above its floor when it starts at the estimate or cold,
    and an interval end then lands too close. So the first grid is refitted
    once more point by point outwards from its lowest point, each from the
    optimum of the point before it (kept where lower), and every later point
    starts at the optimum of its neighbour towards the minimum. Called with a
    profile's grids, as ``_each_row`` calls a row; returns their NLLs.

    A refit also ends where its simplex stops, which on such a valley can be
    far above the floor although no start was in the wrong basin: in shared-co,
    an exponent held at its truth gave 2*dNLL 12.1 where restarts from that very
    optimum went on down to 1.05 (an outside search: 1.0). So each point is
    then refitted from its own optimum again until a restart gains less than
    POLISH_GAIN (POLISH_ROUNDS at most)."""

    POLISH_GAIN = 1e-3  # in NLL of the reads: 2*dNLL moves by less than 0.002
    POLISH_ROUNDS = 8

    def __init__(self, call, start):
        self.call, self.start = call, tuple(start)
        self.x, self.nll = np.empty(0), np.empty(0)
        self.shared = np.empty((0, len(self.start)))

    @classmethod
    def of(cls, profiler, fracs, edges, settings, scale, k, d, start):
        """The walk of the profile of parameter ``k`` (of bin ``d``) through ``profiler``
        (a walking modes.Profiler), from the fit's ``start``."""
        def call(g, first, cold):
            with _sigint_kept():
                nll, shared = profiler.run(fracs, edges, settings, scale, k, [d], g[None, :],
                                           first, cold_starts=cold, with_shared=True)
            return nll[0], shared
        return cls(call, start)

    def __call__(self, grid):
        grid = np.asarray(grid, dtype=np.float64)
        if not self.x.size:
            nll, shared = self.call(grid, self.start, True)
            self._keep(grid, nll, shared)
            self._walk_out()
        else:
            low = self.x[int(np.nanargmin(self.nll))]
            for g in sorted(grid, key=lambda g: abs(math.log10(g) - math.log10(low))):
                if np.any(self.x == g):
                    continue
                # The nearest point on the minimum's side, else the nearest of all.
                inner = self.x <= g if g > low else self.x >= g
                near = np.flatnonzero(inner) if inner.any() else np.arange(self.x.size)
                i = near[np.argmin(np.abs(np.log10(self.x[near]) - math.log10(g)))]
                nll, shared = self.call(np.array([g]), tuple(self.shared[i]), True)
                self._keep(np.array([g]), nll, shared)
                self._polish(int(np.searchsorted(self.x, g)))
        return self.nll[np.searchsorted(self.x, grid)]

    def _keep(self, grid, nll, shared):
        x = np.concatenate([self.x, grid])
        order = np.argsort(x, kind="stable")
        self.x = x[order]
        self.nll = np.concatenate([self.nll, np.asarray(nll, dtype=np.float64)])[order]
        self.shared = np.concatenate([self.shared, np.asarray(shared).reshape(-1, len(self.start))])[order]

    def _walk_out(self):
        if np.isnan(self.nll).all():
            return
        i0 = int(np.nanargmin(self.nll))
        self._polish(i0)
        for side in (-1, 1):
            i = i0 + side
            while 0 <= i < self.x.size and not np.isnan(self.shared[i - side]).any():
                nll, shared = self.call(self.x[i:i + 1], tuple(self.shared[i - side]), False)
                if nll[0] < self.nll[i]:
                    self.nll[i], self.shared[i] = nll[0], shared[0]
                self._polish(i)
                i += side

    def _polish(self, i):
        """Point ``i`` refitted from its own optimum while that lowers it."""
        for _ in range(self.POLISH_ROUNDS):
            if np.isnan(self.shared[i]).any():
                return
            nll, shared = self.call(self.x[i:i + 1], tuple(self.shared[i]), False)
            gain = self.nll[i] - nll[0]
            if not gain > 0.0:
                return
            self.nll[i], self.shared[i] = nll[0], shared[0]
            if gain < self.POLISH_GAIN:
                return


def _as_profile(curve, name, density_idx, estimate, level, held):
    return Profile(name, density_idx, curve.g, curve.nll, float(estimate),
                   likelihood_ratio_interval(curve.g, curve.nll, level), held,
                   curve.missed_minimum(estimate))


def profiles(fracs, meth_bin_edges, result, n_reads, level=0.95, points=15, span=1.0,
             progress=None):
    """Profile likelihoods of St and of CoW and CoE of every density bin.

    Every profile is a full one: at each grid point every other parameter is
    refitted, the shared St and the other density bins' coefficients
    included, so the likelihood-ratio intervals are not conditional on any
    fitted value. In the shared-St mode St is profiled over all density bins
    together; otherwise each density bin's St on its own. Each profile is
    scanned on a log grid reaching ``span`` decades either side of the
    estimate, reached further out a decade at a time where it has not risen
    enough (to the search bound at most: only an end at the bound stays
    open), and each closed end is then found by a root search to within
    ROOT_TOLERANCE of chi2_1(level) in 2*(NLL - minimum) (see _profile_rows).

    The module's NLL is per read (observed fractions, not counts), so each
    density bin's profile is multiplied by its likelihood weight (its reads,
    see likelihood_weights): that is the negative log-likelihood of the
    reads, a multinomial of the binned reads, whose rise by chi2_1(level)/2
    bounds the interval. The shared fit minimised the same weighted sum, so
    the estimate is the profile's minimum. Raises ValueError in the modes
    without profiles.
    """
    s = result.settings
    mode = modes.get(s.mode)
    if not mode.profileable:
        raise ValueError(profile_refusal(s.mode))
    apply_run_settings(s)
    fracs = np.ascontiguousarray(fracs, dtype=np.float64)
    edges = np.ascontiguousarray(meth_bin_edges, dtype=np.float64)
    n_d = fracs.shape[0]
    # The likelihood the fit minimised: each bin's per-read NLL times its
    # reads (and the user's normalised weights).
    scale = np.ascontiguousarray(likelihood_weights(n_reads, s.weights))
    # The exponent modes' shared searches start at the estimate first.
    start = warm_start(result)

    def scan(name):
        # The module's profile of ``name``, answering Ctrl+C as its record says.
        p, k = mode.profiler(name), PROFILE_PARAMETER[name]

        def run(rows, grid):
            if not p.stops_on_ctrl_c:
                return _promptly(p.run, fracs, edges, s, scale, k, rows, grid, start)
            with _sigint_kept():
                return p.run(fracs, edges, s, scale, k, rows, grid, start)
        if p.walks:
            walks = {}

            def walked(d, grid):
                if d not in walks:
                    walks[d] = _Walk.of(p, fracs, edges, s, scale, k, d, start)
                return walks[d](grid)
            return _each_row(walked)
        if p.per_row:
            return _each_row(lambda d, grid: run([d], grid[None, :])[0])
        return lambda table: run(range(table.shape[0]), table)

    jobs = []
    for name in profiled_parameters(s):
        # A shared parameter has one profile, over every density bin together.
        shared = name in mode.shared
        jobs.append((name, scan(name), result.params[name][:1] if shared else result.params[name],
                     flags.parameter_bounds(s, name), [None] if shared else range(n_d)))
    with _progress.bar(PARTS_PER_PROFILE * sum(len(job[2]) for job in jobs),
                       f"profiles of {', '.join(job[0] for job in jobs)}", "part",
                       progress) as bar:
        every = _profile_all([(rows, ests, bounds, bar.update)
                              for _, rows, ests, bounds, _ in jobs], level, points, span)
    return [_as_profile(c, name, d, e, level, tuple(mode.profile_conditional_on.get(name, ())))
            for (name, _, ests, _, dens), curves in zip(jobs, every)
            for c, d, e in zip(curves, dens, ests)]


# ---------------------------------------------------------------- drift

@dataclass
class DriftResult:
    ste: float
    stw: float
    nll: float
    boot: np.ndarray | None = None  # (n_boot, 3): StE, StW, NLL
    # The intervals shown: the profiles' where profiled, else the bootstrap's.
    intervals: dict = field(default_factory=dict)
    boot_intervals: dict = field(default_factory=dict)  # the bootstrap's, name -> Interval
    profiles: list = field(default_factory=list)  # Profile of "ste" and "stw"


def drift_profile_refusal():
    """Why ``drift_fit`` cannot profile, or None when it can."""
    if hasattr(korvel, "py_profile_drift_log"):
        return None
    return "no drift profile exists: this korvel module has no py_profile_drift_log"


def drift_fit(data, st_bounds=(1e-4, 1.0), n_boot=0, seed=0, level=0.95, progress=None,
              profile=False, points=15, span=1.0):
    """Fits StE and StW of the drift model; with n_boot, percentile intervals from resampled reads.

    Both rates are searched as log10 values within ``st_bounds`` (0 < lo <= hi),
    which keeps the search off the plateau of high rates where every age is at
    equilibrium. ``seed`` keys the search of the fit and draws the resamples;
    resample b's refit is keyed by b. The same call gives the same numbers.
    ``progress``: the time elapsed in the fit, one module call that reports nothing
    until it returns (see ``fit``), and the bootstrap's resamples done.
    """
    lo, hi = (float(v) for v in st_bounds)
    if not (0.0 < lo <= hi < math.inf):
        raise ArgumentError(f"{{}} must satisfy 0 < lo <= hi < inf (the rates are searched "
                            f"on a log scale), got ({lo:g}, {hi:g})", "st_bounds")
    fr = pp.observed_fractions(data.counts)
    edges = np.ascontiguousarray(data.meth_edges, dtype=np.float64)
    fit_ages = np.ascontiguousarray(data.fit_ages, dtype=np.float64)
    with _progress.waiting("drift fit", progress):
        ste, stw, nll = _promptly(korvel.py_fit_drift_one_log, np.ascontiguousarray(fr[0]),
                                  np.ascontiguousarray(fr[1:]), fit_ages, edges, (lo, hi),
                                  int(seed))
    res = DriftResult(ste, stw, nll)
    if n_boot:
        p0, rest = pp.drift_bootstrap_fracs(data, n_boot, seed)
        res.boot = _drift_bootstrap(p0, rest, fit_ages, edges, (lo, hi), progress)
        res.boot_intervals = {"ste": percentile_interval(res.boot[:, 0], level),
                              "stw": percentile_interval(res.boot[:, 1], level)}
        res.intervals = dict(res.boot_intervals)
    if profile:
        res.profiles = drift_profiles(data, res, (lo, hi), level, points, span, progress)
        res.intervals.update({p.parameter: p.interval for p in res.profiles})
    return res


def _drift_bootstrap(p0, rest, fit_ages, edges, bounds, progress=None):
    """(n_boot, 3) refits [StE, StW, NLL] of the drift resamples (pp.drift_bootstrap_fracs),
    one module call each so that progress counts resamples. Resample b is fitted as the
    module's whole-bootstrap call fits it, by py_fit_drift_one_log with seed b, so the
    rows are the same; each fit spreads its search over the worker pool itself."""
    n_boot, n_ages = p0.shape[0], fit_ages.size
    out = np.empty((n_boot, 3))
    with _progress.bar(n_boot, "drift bootstrap", "resample", progress) as bar:
        for b in range(n_boot):
            out[b] = _promptly(korvel.py_fit_drift_one_log, np.ascontiguousarray(p0[b]),
                               np.ascontiguousarray(rest[b * n_ages:(b + 1) * n_ages]),
                               fit_ages, edges, bounds, b)
            bar.update(1)
    return out


def drift_profiles(data, res, st_bounds, level=0.95, points=15, span=1.0, progress=None):
    """Full profiles of StE and StW, the other rate refitted at every point (see profiles for
    the grid, its reach and the root search of the ends).

    The module scores each age's observed row by its multinomial NLL; given the
    read counts of the ages after the reference instead of their fractions, that
    is the NLL of the reads, whose rise by chi2_1(level)/2 bounds the interval.
    The fit scored fractions, each age alike, so with unequal reads per age the
    profile's minimum can lie beside the estimate: the interval is about the
    profile's own minimum (below_estimate says how far the estimate is above it).
    """
    refusal = drift_profile_refusal()
    if refusal:
        raise ValueError(refusal)
    p0 = np.ascontiguousarray(pp.observed_fractions(data.counts)[0])
    rows = np.ascontiguousarray(data.counts[1:], dtype=np.float64)
    ages = np.ascontiguousarray(data.fit_ages, dtype=np.float64)
    edges = np.ascontiguousarray(data.meth_edges, dtype=np.float64)
    def scan(k):
        def call(_, grid):
            with _sigint_kept():  # stops on Ctrl+C itself
                return korvel.py_profile_drift_log(p0, rows, ages, edges, tuple(st_bounds), k,
                                                   grid)
        return _each_row(call)

    names = ("ste", "stw")
    ests = [float(getattr(res, name)) for name in names]
    with _progress.bar(2 * PARTS_PER_PROFILE, "drift profiles of ste, stw", "part",
                       progress) as bar:
        # Both rates' points of each step side by side (see _profile_all).
        every = _profile_all([(scan(k), [e], st_bounds, bar.update)
                              for k, e in enumerate(ests)], level, points, span)
    return [_as_profile(curve, name, None, e, level, ())
            for name, e, (curve,) in zip(names, ests, every)]


def drift_table(result, data, flagged=()):
    """(header, [row]): StE and StW (each with its interval when bootstrapped), the NLL,
    the reference age, the numbers of ages and reads, and the flags (flags.flag_drift)."""
    header, row = [], []
    for name, value in (("ste", result.ste), ("stw", result.stw)):
        header.append(name)
        row.append(value)
        if name in result.intervals:
            header += [f"{name}_lo", f"{name}_hi"]
            row += [result.intervals[name].lo, result.intervals[name].hi]
        if result.profiles and name in result.boot_intervals:
            header += [f"{name}_boot_lo", f"{name}_boot_hi"]
            row += [result.boot_intervals[name].lo, result.boot_intervals[name].hi]
    header += ["nll", "reference_age", "n_ages", "n_reads", "flags"]
    row += [result.nll, data.ages[0], int(data.ages.size), int(data.counts.sum()),
            ",".join(f"{f.parameter}:{f.word}" for f in flagged)]
    return header, [row]


def drift_predictions(result, data):
    """(header, rows): observed and predicted fractions of each age and methylation bin."""
    predicted = drift_predict(result, data)
    observed = pp.observed_fractions(data.counts)
    edges = np.asarray(data.meth_edges, dtype=np.float64)
    rows = []
    for i, age in enumerate(data.ages):
        for j in range(edges.size - 1):
            rows.append([age, edges[j], edges[j + 1], int(data.counts[i].sum()),
                         observed[i, j], predicted[i, j]])
    return ["age", "meth_lo", "meth_hi", "n_reads", "observed", "predicted"], rows


def drift_predict(result, data, ages=None):
    """Predicted bin fractions at ``ages`` (counted from the reference age); default the data's."""
    ages = data.ages - data.ages[0] if ages is None else np.asarray(ages, dtype=np.float64)
    p0 = np.ascontiguousarray(pp.observed_fractions(data.counts)[0])
    return korvel.py_drift_predict(result.ste, result.stw, p0,
                                   np.ascontiguousarray(ages, dtype=np.float64),
                                   np.ascontiguousarray(data.meth_edges, dtype=np.float64))


# ---------------------------------------------------------------- phase diagram

# Seconds of work per call of a phase grid computed in pieces: Ctrl+C, which
# Python sees between calls, then takes about this long to act.
PHASE_PIECE_SECONDS = 0.5


def phase_grids(st=1.0, normalize_stw=True, log_range=(-1.0, 2.0), n_grid=61, n_u=2.0, n_m=2.0):
    """Bistability, mean methylation, entropy and intermediate fraction over (log10 CoW, log10 CoE).

    Computed in pieces of rows of about PHASE_PIECE_SECONDS each, so that
    Ctrl+C ends a large grid at once; every point is solved on its own, so the
    pieces put together equal one call.
    """
    axis = np.linspace(log_range[0], log_range[1], n_grid)
    coe = axis.copy()
    pieces, start, rows = [], 0, 1
    while start < n_grid:
        t0 = time.perf_counter()
        pieces.append(korvel.py_compute_phase_grids(
            float(st), bool(normalize_stw), np.ascontiguousarray(axis[start:start + rows]), coe,
            n_u, n_m))
        start += rows
        per_row = (time.perf_counter() - t0) / max(pieces[-1][0].shape[0], 1)
        rows = max(1, int(PHASE_PIECE_SECONDS / max(per_row, 1e-9)))
    grids = [np.concatenate([p[i] for p in pieces]) for i in range(4)]
    return dict(log_cow=axis, log_coe=coe, bistability=grids[0], avg_meth=grids[1],
                entropy=grids[2], frac_inter=grids[3])


@dataclass
class PhaseMap:
    """One phase diagram's parameters and the fitted density bins that belong on it."""

    st: float
    n_u: float
    n_m: float
    vmax: float
    density_idx: list = field(default_factory=list)


# What a phase diagram is computed at when nothing else says: the command's defaults.
PHASE_DEFAULTS = dict(st=1.0, n_u=2.0, n_m=2.0, vmax=math.inf, normalize_stw=True,
                      raw_count=False)


def _same(a, b):
    # Values the results table holds to 17 digits, against values a user typed.
    return a == b or math.isclose(a, b, rel_tol=1e-6)


def phase_maps(fitted=None, **given):
    """The phase diagrams that draw each fitted density bin on the map of its own parameters.

    ``fitted``: readers.FittedBins (or None: one map at ``given`` and the
    defaults). ``given``: st, n_u, n_m, vmax, normalize_stw, raw_count as the
    caller asks for them, None where not asked. A bin's St comes from the
    table; its exponents and Vmax from the table's columns where the fit
    fitted them, else from the fit's run.json, else from ``given`` or the
    defaults. Bins with the same (St, n_U, n_M, Vmax) share one map.

    Returns (maps, normalize_stw, raw_count). ValueError naming each value
    asked for that contradicts the fit: a diagram at another St would mark
    the bins on a map of parameters they were not fitted at.
    """
    unknown = set(given) - set(PHASE_DEFAULTS)
    if unknown:
        raise ValueError(f"phase_maps takes no {', '.join(sorted(unknown))}")

    def pick(name):
        return PHASE_DEFAULTS[name] if given.get(name) is None else given[name]

    if fitted is None:
        return ([PhaseMap(float(pick("st")), float(pick("n_u")), float(pick("n_m")),
                          float(pick("vmax")))], bool(pick("normalize_stw")),
                bool(pick("raw_count")))
    n = fitted.params["st"].size
    run = fitted.run or {}
    options = run.get("options") or {}
    known = {"st": fitted.params["st"]}
    for name in ("n_u", "n_m"):
        if name in fitted.params:
            known[name] = fitted.params[name]
        elif name in options:
            known[name] = np.full(n, float(options[name]))
    if "vmax" in fitted.params:
        known["vmax"] = fitted.params["vmax"]
    elif "vmax_used" in run:
        known["vmax"] = np.full(n, float(run["vmax_used"]))
    model = {name: bool(options[name]) for name in ("normalize_stw", "raw_count")
             if name in options}
    conflicts = []
    for name, values in known.items():
        g = given.get(name)
        if g is not None and not all(_same(float(v), float(g)) for v in values):
            shown = ", ".join(f"{v:.7g}" for v in dict.fromkeys(values.tolist()))
            conflicts.append(f"--{name.replace('_', '-')} {g:g} contradicts {fitted.path}: its "
                             f"density bins were fitted at {name} = {shown}")
    for name, value in model.items():
        g = given.get(name)
        if g is not None and bool(g) != value:
            conflicts.append(f"--{'' if g else 'no-'}{name.replace('_', '-')} contradicts "
                             f"{fitted.path}: it was fitted with{'' if value else 'out'} "
                             f"--{name.replace('_', '-')}")
    if conflicts:
        raise ValueError("; ".join(conflicts) + ". Leave these options out: each density bin "
                         "is drawn on the map of its own fitted values")
    maps = {}
    for d in range(n):
        key = tuple(float(known[name][d]) if name in known else float(pick(name))
                    for name in ("st", "n_u", "n_m", "vmax"))
        maps.setdefault(key, PhaseMap(*key)).density_idx.append(d)
    return (list(maps.values()), model.get("normalize_stw", bool(pick("normalize_stw"))),
            model.get("raw_count", bool(pick("raw_count"))))
