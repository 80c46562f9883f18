"""The mode registry: each record says what its module functions return."""

import dataclasses
import math
from unittest import mock

import numpy as np
import pytest

import korvel
from korvel_analysis import modes, pp, tl
# Two density bins of 400 reads binned as the model predicts, in narrow boxes.
from test_analysis_dask import BOXES, EDGES, counts  # noqa: F401 - counts is a fixture


@pytest.mark.slow
@pytest.mark.parametrize("name", modes.NAMES)
def test_record_describes_the_fit_and_bootstrap_of_its_mode(counts, name):
    mode = modes.get(name)
    settings = tl.FitSettings(mode=name, **BOXES)
    result = tl.fit(pp.observed_fractions(counts), EDGES, settings)
    assert result.calls == [mode.fit_function]
    assert list(result.params) == list(mode.parameters)
    # Each parameter in its column: the module's fractions at the fitted
    # values score exactly the NLL the fit reports.
    model = tl.model_fractions(result, EDGES)
    for d, observed in enumerate(pp.observed_fractions(counts)):
        assert nll_by_hand(observed, model[d]) == result.nll[d], d
    n_boot, n_d = 2, counts.shape[0]
    rows = tl.bootstrap(pp.bootstrap_fracs(counts, n_boot, seed=1), n_boot, n_d, EDGES,
                        settings, tl.warm_start(result))
    assert rows.shape == (n_boot * n_d, len(mode.bootstrap_columns))
    boot = tl.bootstrap_parameters(rows, settings, n_boot, n_d)
    for p in mode.parameters:
        # Shared parameters take one value per fit and per resample; the
        # others are fitted per density bin, so the two bins (different
        # truths) differ.
        assert (np.ptp(result.params[p]) == 0) == (p in mode.shared), p
        assert (np.ptp(boot[p], axis=1) == 0).all() == (p in mode.shared), p


def test_unknown_mode_and_options_a_mode_lacks_are_refused():
    with pytest.raises(ValueError, match="unknown mode 'shared'; modes are independent, "):
        tl.FitSettings(mode="shared")
    with pytest.raises(ValueError, match="^Vmax is fitted only in the shared-exp and "
                                         "shared-st-exp modes$"):
        tl.FitSettings(mode="shared-co", fit_vmax=True)
    assert tl.profile_refusal("shared-st") is None
    # A module without an exponent mode's profile function: that mode refuses.
    record = dataclasses.replace(modes.get("shared-exp"), profilers=())
    with mock.patch.dict(modes.REGISTRY, {"shared-exp": record}):
        with pytest.raises(ValueError, match="no profile exists in mode shared-exp"):
            tl.profiles(None, EDGES, tl.FitResult(tl.FitSettings(mode="shared-exp"), {}, None),
                        None)


def test_warm_starts_hand_the_main_fits_values_in_the_kernels_order():
    # The module takes (St, CoW, CoE) and (St, n_U, n_M, Vmax).
    params = {"st": [0.5] * 2, "cow": [3.0] * 2, "coe": [7.0] * 2, "n_u": [1.5] * 2,
              "n_m": [2.5] * 2}
    params = {k: np.array(v) for k, v in params.items()}
    co = tl.FitResult(tl.FitSettings(mode="shared-co"), params, np.zeros(2))
    assert tl.warm_start(co) == (0.5, 3.0, 7.0)
    exp = tl.FitResult(tl.FitSettings(mode="shared-exp"), params, np.zeros(2), vmax_used=40.0)
    assert tl.warm_start(exp) == (0.5, 1.5, 2.5, 40.0)
    assert tl.warm_start(tl.FitResult(tl.FitSettings(), params, np.zeros(2))) is None


def nll_by_hand(observed, model):
    # The module's order: NLL <- NLL - ln(F[i]) * observed[i], bin by bin.
    nll = 0.0
    for o, f in zip(observed, model):
        nll -= math.log(f) * o
    return nll


@pytest.mark.slow
def test_plotted_fractions_are_those_whose_nll_the_fit_reports(counts):
    # Fitted exponents and a fitted Vmax: the fractions drawn for a fit must
    # be the module's at exactly those values, not at the defaults.
    fracs = pp.observed_fractions(counts)
    settings = tl.FitSettings(mode="shared-exp", fit_vmax=True, vmax_bounds=(5.0, 50.0),
                              normalize_stw=False, **BOXES)
    result = tl.fit(fracs, EDGES, settings)
    model = tl.model_fractions(result, EDGES)
    assert result.shared_value("n_u") != 2.0 and np.isfinite(result.vmax_used)
    for d in range(fracs.shape[0]):
        assert nll_by_hand(fracs[d], model[d]) == result.nll[d], d
        st = result.params["st"][d]
        at_defaults = korvel.py_compute_model_fracs(1.0, st, result.params["cow"][d],
                                                    result.params["coe"][d], EDGES)
        assert nll_by_hand(fracs[d], at_defaults) != result.nll[d]
