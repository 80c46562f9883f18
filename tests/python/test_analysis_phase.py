"""Phase diagrams of fitted bins: each bin on the map of its own fitted parameters."""

import numpy as np
import pytest

from korvel_analysis import readers, tl


def fitted(st, run=None, **more):
    n = len(st)
    params = {"st": np.array(st), "cow": np.ones(n), "coe": np.ones(n)}
    params.update({k: np.array(v) for k, v in more.items()})
    return readers.FittedBins(np.arange(n), np.arange(n) + 1.0, params, run, "r.tsv")


def test_bins_share_a_map_only_when_their_fitted_parameters_agree():
    maps, _, _ = tl.phase_maps(fitted([0.5, 0.5, 0.7]))
    assert [(m.st, m.density_idx) for m in maps] == [(0.5, [0, 1]), (0.7, [2])]
    maps, _, _ = tl.phase_maps(fitted([0.5, 0.5], n_u=[2.0, 3.0], n_m=[2.0, 2.0]))
    assert [(m.st, m.n_u, m.density_idx) for m in maps] == [(0.5, 2.0, [0]), (0.5, 3.0, [1])]
    # What the table does not hold comes from the fit's run.json.
    run = {"options": {"n_u": 3.0, "n_m": 1.5, "normalize_stw": False, "raw_count": True},
           "vmax_used": 50.0}
    (m,), nstw, raw = tl.phase_maps(fitted([0.5], run))
    assert (m.n_u, m.n_m, m.vmax, nstw, raw) == (3.0, 1.5, 50.0, False, True)
    # The fitted value typed to 7 digits is the fitted value; another is refused.
    assert tl.phase_maps(fitted([0.5]), st=0.5000001)[0][0].st == 0.5
    with pytest.raises(ValueError, match=r"--st 1 contradicts r.tsv: .* st = 0.5, 0.7"):
        tl.phase_maps(fitted([0.5, 0.7]), st=1.0)
    with pytest.raises(ValueError, match="--n-u 2 contradicts"):
        tl.phase_maps(fitted([0.5], run), n_u=2.0)
    # Without results: one map at what was asked, defaults elsewhere.
    (m,), nstw, raw = tl.phase_maps(None, st=0.3)
    assert (m.st, m.n_u, m.vmax, nstw, raw) == (0.3, 2.0, float("inf"), True, False)
