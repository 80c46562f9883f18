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

# The column layouts of the module's bootstrap rows, named as in results.tsv in every mode.
BOOTSTRAP_COLUMNS_3 = ("boot_idx", "density_idx", "st", "cow", "coe", "nll")
BOOTSTRAP_COLUMNS_EXP = ("boot_idx", "density_idx", "st", "n_u", "n_m", "cow", "coe", "nll",
                         "vmax")

# The column layouts of the module's per-density parameter arrays (fitps).
FITPS_3 = ("st", "cow", "coe")
FITPS_5 = ("st", "n_u", "n_m", "cow", "coe")


@dataclass(frozen=True)
class Mode:
    """One fitting mode.

    ``fit(args, settings, weights, verbose)`` runs the mode's fit, where ``args`` is
    (fracs, edges, normalize_stw, st_bounds, co_bounds) and ``verbose`` lets
    the module write its optimiser trace to standard error, and returns
    (name -> per-density array, NLLs); shared values are repeated on every
    density bin. ``bootstrap(head, settings, weights, warm)`` refits
    resamples, ``head`` being (rows, n_boot, n_densities, edges,
    normalize_stw), and returns the module's rows.
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
    # Parameters the module can profile with the exponents held fixed; the
    # module functions that profile them; whether those are seeded (the same
    # curves on every run); and, for a parameter whose profile holds others
    # at their fitted values instead of refitting them, those others (its
    # interval is then conditional on them). Absent: a full profile.
    profileable: tuple = ()
    profile_functions: tuple = ()
    profiles_seeded: bool = False
    profile_conditional_on: dict = field(default_factory=dict)
    # The exponent modes' full profile of one parameter (a fitted Vmax too):
    # (fracs, edges, settings, weights, parameter index, density_idx, grid,
    # start) -> the weighted NLL at each grid value, every other parameter
    # refitted; it stops on Ctrl+C itself. ``start``: the fit's warm start
    # (warm_start below) or None; the shared search tries it before its cold
    # starts, which can stall far from the minimum once a parameter is held.
    # None: profiled by tl.profiles' own calls, or not at all.
    profile: Callable | None = None
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
    def run(head, s, w, warm):
        return korvel.py_fit_bootstrap(*head, shared_st, False, tuple(s.st_bounds),
                                       tuple(s.co_bounds), s.n_u, s.n_m, s.co_penalty, w)
    return run


def _boot_shared_exp(head, s, w, warm):
    return korvel.py_fit_bootstrap_exp(*head, tuple(s.st_bounds), tuple(s.co_bounds),
                                       tuple(s.exp_bounds), s.co_penalty, w, warm, s.fit_vmax,
                                       tuple(s.vmax_bounds))


def _boot_shared_st_exp(head, s, w, warm):
    return korvel.py_fit_bootstrap_exp_perdensity(
        *head, True, tuple(s.st_bounds), tuple(s.co_bounds), tuple(s.exp_bounds), s.co_penalty,
        w, s.fit_vmax, tuple(s.vmax_bounds))


def _boot_shared_co(head, s, w, warm):
    return korvel.py_fit_bootstrap_co(*head, tuple(s.st_bounds), tuple(s.co_bounds),
                                      tuple(s.exp_bounds), s.co_penalty, w, warm)


def _profile_call(function, with_vmax=True):
    """The mode's ``profile`` through module function ``function``, None where the
    installed module has no such function (the mode then has no profiles)."""
    fn = getattr(korvel, function, None)
    if fn is None:
        return None

    def run(fracs, edges, s, w, k, d, grid, start=None):
        vmax = (bool(s.fit_vmax), tuple(s.vmax_bounds)) if with_vmax else ()
        warm = {} if start is None else {"warm_start": tuple(float(v) for v in start)}
        return fn(fracs, edges, bool(s.normalize_stw), k, d, grid, tuple(s.st_bounds),
                  tuple(s.co_bounds), tuple(s.exp_bounds), s.co_penalty, w, *vmax, **warm)
    return run


def _profiled_by(function, with_vmax=True):
    """The profile fields of an exponent mode: every fitted parameter, when the module
    has ``function``."""
    run = _profile_call(function, with_vmax)
    if run is None:
        return {}
    return dict(profile=run, profileable=_EXP_PARAMETERS + (("vmax",) if with_vmax else ()),
                profile_functions=(function,), profiles_seeded=True)


def _warm_shared_exp(result):
    return (result.shared_value("st"), result.shared_value("n_u"), result.shared_value("n_m"),
            result.vmax_used)


def _warm_shared_co(result):
    return (result.shared_value("st"), result.shared_value("cow"), result.shared_value("coe"))


_EXP_PARAMETERS = ("st", "cow", "coe", "n_u", "n_m")

REGISTRY = {m.name: m for m in (
    Mode("independent", "St, CoW, CoE per density bin",
         _fit_independent, "py_fit_all_densities", _boot_3(False), "py_fit_bootstrap",
         parameters=FITPS_3, shared=(), bootstrap_columns=BOOTSTRAP_COLUMNS_3, seeded=True,
         profileable=("st", "cow", "coe"), profile_functions=("py_profile_density",),
         profiles_seeded=True, weighted=False, searched_plain=("st",)),
    Mode("shared-st", "one St",
         _fit_shared_st, "py_fit_shared_st", _boot_3(True), "py_fit_bootstrap",
         parameters=FITPS_3, shared=("st",), bootstrap_columns=BOOTSTRAP_COLUMNS_3,
         seeded=False,
         unseeded_because="the shared-St fit seeds its inner fits from the operating "
                          "system's entropy",
         profileable=("st", "cow", "coe"),
         profile_functions=("py_profile_shared_st", "py_profile_shared_st_co")),
    Mode("shared-exp", "one St, n_U, n_M (and Vmax)",
         _fit_shared_exp, "py_fit_shared_exp", _boot_shared_exp, "py_fit_bootstrap_exp",
         parameters=_EXP_PARAMETERS, shared=("st", "n_u", "n_m", "vmax"),
         bootstrap_columns=BOOTSTRAP_COLUMNS_EXP, seeded=True, chunk_invariant=True,
         fits_vmax=True, warm_start=_warm_shared_exp, fit_stops_on_ctrl_c=True,
         **_profiled_by("py_profile_shared_exp")),
    Mode("shared-st-exp", "one St, exponents per density bin",
         _fit_shared_st_exp, "py_fit_shared_st_exp_perdensity", _boot_shared_st_exp,
         "py_fit_bootstrap_exp_perdensity",
         parameters=_EXP_PARAMETERS, shared=("st", "vmax"),
         bootstrap_columns=BOOTSTRAP_COLUMNS_EXP, seeded=True, chunk_invariant=True,
         fits_vmax=True, **_profiled_by("py_profile_shared_st_exp")),
    Mode("shared-co", "one St, CoW, CoE, exponents per density bin",
         _fit_shared_co, "py_fit_shared_co", _boot_shared_co, "py_fit_bootstrap_co",
         parameters=_EXP_PARAMETERS, shared=("st", "cow", "coe"),
         bootstrap_columns=BOOTSTRAP_COLUMNS_EXP, seeded=True, chunk_invariant=True,
         warm_start=_warm_shared_co, fit_stops_on_ctrl_c=True,
         **_profiled_by("py_profile_global_co", with_vmax=False)),
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
