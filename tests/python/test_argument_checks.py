"""The functions added after the first release refuse inputs they cannot use before any work,
with a ValueError naming the argument (the first release's functions keep taking theirs as
given)."""

import numpy as np
import pytest

import korvel

EDGES = np.linspace(0.0, 1.0, 11)
ROWS = np.full((2, 10), 0.1)
GRID = np.array([[1.0], [1.0]])
P0 = np.full(10, 0.1)
OBS = np.full((2, 10), 0.1)
AGES = np.array([4.0, 12.0])
BOX = (1e-3, 0.3)


def profile(fn, **over):
    a = dict(observed_fracs_2d=ROWS, meth_bin_edges=EDGES, normalize_stw=True, parameter=1,
             grid=GRID, st_bounds=(0.05, 20.0), co_bounds=(0.01, 100.0))
    a.update(over)
    return getattr(korvel, fn)(**a)


def one_log(**over):
    a = dict(p0_observed=P0, fit_observed_2d=OBS, fit_ages=AGES, meth_bin_edges=EDGES,
             st_bounds=BOX, seed=0)
    a.update(over)
    return korvel.py_fit_drift_one_log(**a)


def bootstrap_log(**over):
    a = dict(p0_per_boot=P0[None, :], fit_observed_per_boot=OBS, n_boot=1, n_fit_ages=2,
             fit_ages=AGES, meth_bin_edges=EDGES, st_bounds=BOX)
    a.update(over)
    return korvel.py_fit_drift_bootstrap_log(**a)


BOTH = ("py_profile_density", "py_profile_shared_st_co")


CASES = [
    # Fractions against edges, edges themselves, fraction values.
    *[(f, dict(observed_fracs_2d=np.full((2, 9), 0.1)), "observed_fracs_2d") for f in BOTH],
    *[(f, dict(meth_bin_edges=EDGES[::-1].copy()), "meth_bin_edges") for f in BOTH],
    *[(f, dict(meth_bin_edges=np.where(EDGES == 0.5, np.nan, EDGES)), "meth_bin_edges")
      for f in BOTH],
    *[(f, dict(observed_fracs_2d=ROWS - 0.2), "observed_fracs_2d") for f in BOTH],
    # Boxes and exponents.
    *[(f, dict(st_bounds=(2.0, 1.0)), "st_bounds") for f in BOTH],
    *[(f, dict(st_bounds=(np.nan, 1.0)), "st_bounds") for f in BOTH],
    *[(f, dict(co_bounds=(-1.0, 1.0)), "co_bounds") for f in BOTH],
    *[(f, dict(n_u=np.nan), "n_u") for f in BOTH],
    ("py_profile_density", dict(fit_exponents=True, n_exp_bounds=(3.0, np.inf)), "n_exp_bounds"),
    # Weights against density rows, and their values.
    ("py_profile_shared_st_co", dict(weights=np.ones(3)), "weights"),
    ("py_profile_shared_st_co", dict(weights=np.array([1.0, np.nan])), "weights"),
    ("py_profile_shared_st_co", dict(weights=np.array([1.0, -1.0])), "weights"),
    # A grid of four billion points, refused before a byte of it is copied (a broadcast
    # array holds one value).
    *[(f, dict(grid=np.broadcast_to(1.0, (2, 2_000_000_000))), "grid") for f in BOTH],
]


@pytest.mark.parametrize("fn, over, argument", CASES)
def test_profiles_refuse_what_they_cannot_use(fn, over, argument):
    with pytest.raises(ValueError, match=rf"^argument '{argument}': "):
        profile(fn, **over)


@pytest.mark.parametrize("call, over, argument", [
    (one_log, dict(fit_ages=np.array([4.0])), "fit_observed_2d"),  # one age, two rows
    (one_log, dict(fit_ages=np.array([-1.0, 12.0])), "fit_ages"),
    (one_log, dict(p0_observed=P0[:9]), "p0_observed"),
    (one_log, dict(fit_observed_2d=-OBS), "fit_observed_2d"),
    (one_log, dict(meth_bin_edges=EDGES[::-1].copy()), "meth_bin_edges"),
    (bootstrap_log, dict(n_fit_ages=0, fit_ages=AGES[:0]), "n_fit_ages"),
    (bootstrap_log, dict(n_fit_ages=1), "fit_ages"),
    # A billion samples queued for the rows of one: refused, not started.
    (bootstrap_log, dict(n_boot=10**9), "p0_per_boot"),
    (bootstrap_log, dict(fit_observed_per_boot=OBS[:1]), "fit_observed_per_boot"),
])
def test_log_drift_fits_refuse_what_they_cannot_use(call, over, argument):
    with pytest.raises(ValueError, match=rf"^argument '{argument}': "):
        call(**over)


def test_the_checks_let_a_sound_call_through():
    assert profile("py_profile_density").shape == (2, 1)
    assert profile("py_profile_shared_st_co", weights=np.ones(2)).shape == (2, 1)
    assert np.isfinite(one_log()[2])
    assert bootstrap_log().shape == (1, 3)
