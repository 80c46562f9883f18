"""The fitting modes: one record per mode, read by ``tl``, ``chunks``, the command and its plots.

Everything that differs between modes lives in a mode's record: which
module functions fit it and refit its resamples, how their results map to
named parameters, which parameters are shared across density bins, how
reproducible its numbers are, what can be profiled. Code elsewhere asks the
record (``get(settings.mode).shared``), never the mode's name, so adding a
mode is adding a record here (and its tests).
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Callable

import numpy as np

import korvel

# Every parameter of the model, in the order of the results table; the module's
# profile functions number them in this order too (0 St ... 5 Vmax).
PARAMETERS = ("st", "cow", "coe", "n_u", "n_m", "vmax")
# The FitSettings field that holds the box each parameter is searched in.
BOUNDS_FIELD = {"st": "st_bounds", "cow": "co_bounds", "coe": "co_bounds",
                "n_u": "exp_bounds", "n_m": "exp_bounds", "vmax": "vmax_bounds"}
_RATES = PARAMETERS[:3]  # St, CoW, CoE: what every mode fits
_EXP_PARAMETERS = PARAMETERS[:5]  # with the exponents n_U, n_M

# The column layouts of the module's bootstrap rows, named as in results.tsv in every mode.
BOOTSTRAP_COLUMNS_3 = ("boot_idx", "density_idx", *_RATES, "nll")
# The module's own layout: the exponents before the coefficients, Vmax last.
BOOTSTRAP_COLUMNS_EXP = ("boot_idx", "density_idx", "st", "n_u", "n_m", "cow", "coe", "nll",
                         "vmax")

# The column layouts of the module's per-density parameter arrays (fitps).
FITPS_3 = _RATES
FITPS_5 = ("st", "n_u", "n_m", "cow", "coe")


@dataclass(frozen=True)
class Profiler:
    """How the module profiles some of a mode's parameters.

    ``run(fracs, edges, settings, weights, k, rows, grid, start=None)`` returns, for parameter
    ``k`` (its index in PARAMETERS) held at each value of ``grid`` (one row of
    values per entry of ``rows``, the density bins they belong to; row 0 for a
    shared parameter), the NLL of the reads (the per-read NLLs under the
    likelihood ``weights``), every other parameter refitted: an array shaped
    like ``grid``. ``per_row``: the module takes one row per call (``rows`` is
    [d]), so that the calls of many rows run side by side; otherwise one call
    takes every density bin's row at once. ``start``: the mode's warm start from the
    fit (``Mode.warm_start``), where the shared search of an exponent mode starts
    before its cold starts, which can stall far from the minimum once a parameter
    is held; the other profiles take no start.

    ``walks``: ``run`` also takes ``cold_starts`` (False: from ``start`` alone) and
    ``with_shared`` (True: returns the NLLs and, per grid value, the shared values
    where they were found, in ``start``'s order), so that a profile can be walked
    outwards, each point starting at its inner neighbour's optimum.
    """

    parameters: tuple
    run: Callable
    function: str  # the module function ``run`` calls, for run.json
    per_row: bool
    # The call stops on Ctrl+C itself; any other holds no Python frame while it
    # computes, so it is run where Python can answer Ctrl+C meanwhile.
    stops_on_ctrl_c: bool
    seeded: bool = True  # the same curves on every run
    walks: bool = False


@dataclass(frozen=True)
class Mode:
    """One fitting mode.

    ``fit(args, settings, weights, verbose)`` runs the mode's fit, where ``args`` is
    (fracs, edges, normalize_stw, st_bounds, co_bounds) and ``verbose`` lets
    the module write its optimiser trace to standard error, and returns
    (name -> per-density array, NLLs); shared values are repeated on every
    density bin. ``bootstrap(head, settings, weights, warm, slot)`` refits
    resamples, ``head`` being (rows, n_boot, n_densities, edges,
    normalize_stw), counting its finished work in the module's progress slot
    ``slot`` (0: none), and returns the module's rows.
    """

    name: str
    summary: str  # one line for the command's help
    fit: Callable
    fit_function: str  # the module function ``fit`` calls, for run.json
    bootstrap: Callable
    bootstrap_function: str
    # Fitted parameters in the order of the results table (a fitted Vmax is
    # appended where ``fits_vmax``).
    parameters: tuple
    # Parameters that one value per fit (and per resample) describes.
    shared: tuple
    bootstrap_columns: tuple
    # Seeded from row or density indices: the same input gives the same
    # numbers on every run. Otherwise: why not.
    seeded: bool
    unseeded_because: str = ""
    # Bootstrap rows that do not depend on how the resamples are split into
    # chunks (every inner fit is seeded from its density index).
    chunk_invariant: bool = False
    # The module's profiles of the mode's parameters, each parameter in one of
    # them; empty: no profiles. A parameter whose profile holds others at their
    # fitted values instead of refitting them names those others here (its
    # interval is then conditional on them). Absent: a full profile.
    profilers: tuple = ()
    profile_conditional_on: dict = field(default_factory=dict)
    fits_vmax: bool = False
    weighted: bool = True  # the objective sums weighted density bins
    # The bootstrap's warm start from the main fit: (result) -> tuple, or None.
    warm_start: Callable | None = None
    # Parameters the fits search as plain values; every other one is searched
    # as a logarithm. What "close to a bound" means depends on it.
    searched_plain: tuple = ("n_u", "n_m")
    # The fit function stops on Ctrl+C itself; any other holds no Python frame
    # while it computes, so Python sees Ctrl+C only once it returns.
    fit_stops_on_ctrl_c: bool = False

    def parameter_names(self, fit_vmax=False):
        return list(self.parameters) + (["vmax"] if fit_vmax and self.fits_vmax else [])

    @property
    def profileable(self):
        """The parameters the module can profile, in the order of PARAMETERS."""
        return tuple(n for n in PARAMETERS if any(n in p.parameters for p in self.profilers))

    @property
    def profiles_seeded(self):
        return bool(self.profilers) and all(p.seeded for p in self.profilers)

    def profiler(self, name):
        """The Profiler of parameter ``name``."""
        return next(p for p in self.profilers if name in p.parameters)


def _columns(fitps, layout, **shared):
    """name -> per-density column of fitps, plus shared scalars repeated on every density bin."""
    p = {name: fitps[:, i] for i, name in enumerate(layout)}
    n_d = fitps.shape[0]
    p.update({name: np.full(n_d, value) for name, value in shared.items()})
    return p


def _fit_independent(args, s, w, verbose):
    fitps, nlls = korvel.py_fit_all_densities(*args, s.n_u, s.n_m, s.co_penalty)
    return _columns(fitps, FITPS_3), nlls


def _fit_shared_st(args, s, w, verbose):
    _, fitps, nlls = korvel.py_fit_shared_st(*args, s.n_u, s.n_m, s.co_penalty, w)
    return _columns(fitps, FITPS_3), nlls


def _fit_shared_exp(args, s, w, verbose):
    _, n_u, n_m, vmax, fitps, nlls = korvel.py_fit_shared_exp(
        *args, tuple(s.exp_bounds), s.co_penalty, w, s.fit_vmax, tuple(s.vmax_bounds),
        verbose=verbose)
    return _columns(fitps, FITPS_3, n_u=n_u, n_m=n_m, vmax=vmax), nlls


def _fit_shared_st_exp(args, s, w, verbose):
    _, vmax, fitps, nlls = korvel.py_fit_shared_st_exp_perdensity(
        *args, tuple(s.exp_bounds), s.co_penalty, w, s.fit_vmax, tuple(s.vmax_bounds))
    return _columns(fitps, FITPS_5, vmax=vmax), nlls


def _fit_shared_co(args, s, w, verbose):
    _, _, _, fitps, nlls = korvel.py_fit_shared_co(*args, tuple(s.exp_bounds), s.co_penalty, w,
                                                   verbose=verbose)
    return _columns(fitps, FITPS_5), nlls


def _boot_3(shared_st):
    def run(head, s, w, warm, slot):
        return korvel.py_fit_bootstrap(*head, shared_st, False, tuple(s.st_bounds),
                                       tuple(s.co_bounds), s.n_u, s.n_m, s.co_penalty, w,
                                       progress=slot)
    return run


def _boot_shared_exp(head, s, w, warm, slot):
    return korvel.py_fit_bootstrap_exp(*head, tuple(s.st_bounds), tuple(s.co_bounds),
                                       tuple(s.exp_bounds), s.co_penalty, w, warm, s.fit_vmax,
                                       tuple(s.vmax_bounds), progress=slot)


def _boot_shared_st_exp(head, s, w, warm, slot):
    return korvel.py_fit_bootstrap_exp_perdensity(
        *head, True, tuple(s.st_bounds), tuple(s.co_bounds), tuple(s.exp_bounds), s.co_penalty,
        w, s.fit_vmax, tuple(s.vmax_bounds), progress=slot)


def _boot_shared_co(head, s, w, warm, slot):
    return korvel.py_fit_bootstrap_co(*head, tuple(s.st_bounds), tuple(s.co_bounds),
                                      tuple(s.exp_bounds), s.co_penalty, w, warm, progress=slot)


def _profile_density(fracs, edges, s, w, k, rows, grid, start=None):
    # Every density bin on its own: the module refits that bin's other parameters
    # and reports plain NLLs per read.
    nll = korvel.py_profile_density(fracs, edges, bool(s.normalize_stw), k, grid,
                                    tuple(s.st_bounds), tuple(s.co_bounds), s.n_u, s.n_m)
    return np.take(w, rows)[:, None] * nll


def _profile_shared_st(fracs, edges, s, w, k, rows, grid, start=None):
    # The shared St: every bin's coefficients refitted at each value.
    return np.atleast_2d(korvel.py_profile_shared_st(
        fracs, edges, bool(s.normalize_stw), grid[0], tuple(s.co_bounds), s.n_u, s.n_m, w))


def _profile_shared_st_co(fracs, edges, s, w, k, rows, grid, start=None):
    # One bin's coefficient: the shared St and every other bin refitted too.
    return korvel.py_profile_shared_st_co(fracs, edges, bool(s.normalize_stw), k, grid,
                                          tuple(s.st_bounds), tuple(s.co_bounds), s.n_u, s.n_m,
                                          w)


def _exponent_profilers(function, with_vmax=True):
    """The profilers of an exponent mode: every fitted parameter through module function
    ``function``, one row per call; none where the installed module lacks it."""
    fn = getattr(korvel, function, None)
    if fn is None:
        return ()

    walks = function != "py_profile_shared_st_exp"  # the others search shared exponents

    def run(fracs, edges, s, w, k, rows, grid, start=None, cold_starts=True, with_shared=False):
        vmax = (bool(s.fit_vmax), tuple(s.vmax_bounds)) if with_vmax else ()
        more = {} if start is None else {"warm_start": tuple(float(v) for v in start)}
        if walks:
            more.update(cold_starts=cold_starts, with_shared=with_shared)
        out = fn(fracs, edges, bool(s.normalize_stw), k, rows[0], grid[0], tuple(s.st_bounds),
                 tuple(s.co_bounds), tuple(s.exp_bounds), s.co_penalty, w, *vmax, **more)
        if with_shared:
            return np.atleast_2d(out[0]), out[1]
        return np.atleast_2d(out)
    names = _EXP_PARAMETERS + (("vmax",) if with_vmax else ())
    return (Profiler(names, run, function, per_row=True, stops_on_ctrl_c=True, walks=walks),)


def _warm_shared_exp(result):
    return (result.shared_value("st"), result.shared_value("n_u"), result.shared_value("n_m"),
            result.vmax_used)


def _warm_shared_co(result):
    return (result.shared_value("st"), result.shared_value("cow"), result.shared_value("coe"))


REGISTRY = {m.name: m for m in (
    Mode("independent", "St, CoW, CoE per density bin",
         _fit_independent, "py_fit_all_densities", _boot_3(False), "py_fit_bootstrap",
         parameters=_RATES, shared=(), bootstrap_columns=BOOTSTRAP_COLUMNS_3, seeded=True,
         profilers=(Profiler(_RATES, _profile_density, "py_profile_density", per_row=False,
                             stops_on_ctrl_c=True),),
         weighted=False, searched_plain=("st",)),
    Mode("shared-st", "one St",
         _fit_shared_st, "py_fit_shared_st", _boot_3(True), "py_fit_bootstrap",
         parameters=_RATES, shared=("st",), bootstrap_columns=BOOTSTRAP_COLUMNS_3,
         seeded=False,
         unseeded_because="the shared-St fit seeds its inner fits from the operating "
                          "system's entropy",
         profilers=(Profiler(("st",), _profile_shared_st, "py_profile_shared_st", per_row=True,
                             stops_on_ctrl_c=False, seeded=False),
                    Profiler(("cow", "coe"), _profile_shared_st_co, "py_profile_shared_st_co",
                             per_row=False, stops_on_ctrl_c=True))),
    Mode("shared-exp", "one St, n_U, n_M (and Vmax)",
         _fit_shared_exp, "py_fit_shared_exp", _boot_shared_exp, "py_fit_bootstrap_exp",
         parameters=_EXP_PARAMETERS, shared=("st", "n_u", "n_m", "vmax"),
         bootstrap_columns=BOOTSTRAP_COLUMNS_EXP, seeded=True, chunk_invariant=True,
         fits_vmax=True, warm_start=_warm_shared_exp, fit_stops_on_ctrl_c=True,
         profilers=_exponent_profilers("py_profile_shared_exp")),
    Mode("shared-st-exp", "one St, exponents per density bin",
         _fit_shared_st_exp, "py_fit_shared_st_exp_perdensity", _boot_shared_st_exp,
         "py_fit_bootstrap_exp_perdensity",
         parameters=_EXP_PARAMETERS, shared=("st", "vmax"),
         bootstrap_columns=BOOTSTRAP_COLUMNS_EXP, seeded=True, chunk_invariant=True,
         fits_vmax=True, profilers=_exponent_profilers("py_profile_shared_st_exp")),
    Mode("shared-co", "one St, CoW, CoE, exponents per density bin",
         _fit_shared_co, "py_fit_shared_co", _boot_shared_co, "py_fit_bootstrap_co",
         parameters=_EXP_PARAMETERS, shared=("st", "cow", "coe"),
         bootstrap_columns=BOOTSTRAP_COLUMNS_EXP, seeded=True, chunk_invariant=True,
         warm_start=_warm_shared_co, fit_stops_on_ctrl_c=True,
         profilers=_exponent_profilers("py_profile_global_co", with_vmax=False)),
)}

NAMES = tuple(REGISTRY)


def get(name):
    """The record of mode ``name``; ValueError naming the modes when there is none."""
    try:
        return REGISTRY[name]
    except (KeyError, TypeError):
        raise ValueError(f"unknown mode {name!r}; modes are {', '.join(NAMES)}") from None


def names(test):
    """The names of the modes whose record passes ``test``, in registry order."""
    return [m.name for m in REGISTRY.values() if test(m)]
