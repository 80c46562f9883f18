"""The mode registry: each record says what its module functions return."""

import numpy as np
import pytest

import korvel
from korvel_analysis import modes, pp, tl

EDGES = np.linspace(0.0, 1.0, 6)
# Narrow boxes around the truth keep the nested fits short.
BOXES = dict(st_bounds=(0.5, 2.0), co_bounds=(1.0, 10.0), exp_bounds=(1.5, 2.5))


@pytest.fixture(scope="module")
def counts():
    """Two density bins of 400 reads, binned as the model predicts."""
    fr = [korvel.py_compute_model_fracs(1.0, 1.0, cow, coe, EDGES) for cow, coe in
          ((3.0, 4.0), (4.0, 3.0))]
    return np.rint(np.asarray(fr) * 400).astype(np.int64)


@pytest.mark.slow
@pytest.mark.parametrize("name", modes.NAMES)
def test_record_describes_the_fit_and_bootstrap_of_its_mode(counts, name):
    mode = modes.get(name)
    settings = tl.FitSettings(mode=name, **BOXES)
    result = tl.fit(pp.observed_fractions(counts), EDGES, settings)
    assert result.calls == [mode.fit_function]
    assert list(result.params) == list(mode.parameters)
    n_boot, n_d = 2, counts.shape[0]
    rows = tl.bootstrap(pp.bootstrap_fracs(counts, n_boot, seed=1), n_boot, n_d, EDGES,
                        settings, tl.warm_start(result), progress=False)
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
    with pytest.raises(ValueError, match="no profile exists in mode shared-exp"):
        tl.profiles(None, EDGES, tl.FitResult(tl.FitSettings(mode="shared-exp"), {}, None), None)
