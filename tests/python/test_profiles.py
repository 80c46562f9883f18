"""Full profile likelihoods: each point is the minimum over every other
parameter, checked against minima found another way (scipy's optimisers over
the module's plain NLL); the same bits on one thread and on two."""


import numpy as np
import pytest
from scipy import optimize

import korvel
from conftest import output_on_one_and_two_threads

EDGES = np.linspace(0.0, 1.0, 11)
ST, CO = (0.05, 20.0), (0.01, 100.0)
# Reads drawn from the model (St 1, CoW 3, CoE 4 and St 1, CoW 2, CoE 6):
# the minimum does not fit the data exactly, as with real reads.
_rng = np.random.default_rng(7)
ROWS = np.array([_rng.multinomial(3000, korvel.py_compute_model_fracs(1.0, 1.0, cow, coe, EDGES))
                 / 3000 for cow, coe in ((3.0, 4.0), (2.0, 6.0))])
# Two global searches and scipy's polished minimum of these smooth two-
# coordinate problems agree far inside this.
SAME_MINIMUM = 2e-6


def nll(row, st, cow, coe):
    return korvel.py_compute_nll(np.array([st, cow, coe]), row, EDGES, True)


def brute_min(f, box, n=9):
    """Minimum of f over a box (log10 coordinates): Nelder-Mead from the best
    three points of an n x n grid."""
    axes = [np.linspace(lo, hi, n) for lo, hi in box]
    starts = sorted((np.array([a, b]) for a in axes[0] for b in axes[1]), key=f)[:3]
    return min(optimize.minimize(f, x0, method="Nelder-Mead", bounds=box,
                                 options=dict(xatol=1e-9, fatol=1e-12, maxiter=4000)).fun
               for x0 in starts)


def test_density_profile_is_the_minimum_over_the_other_two_parameters():
    lc = (np.log10(CO[0]), np.log10(CO[1]))
    ls = (np.log10(ST[0]), np.log10(ST[1]))
    for parameter, grid in ((0, [0.7, 1.4]), (1, [2.0, 4.5]), (2, [3.0, 6.0])):
        got = korvel.py_profile_density(ROWS[:1], EDGES, True, parameter, np.array([grid]), ST, CO)
        for held, value in zip(grid, got[0]):
            if parameter == 0:
                f = lambda x: nll(ROWS[0], held, 10 ** x[0], 10 ** x[1])  # noqa: E731
                box = [lc, lc]
            elif parameter == 1:
                f = lambda x: nll(ROWS[0], 10 ** x[0], held, 10 ** x[1])  # noqa: E731
                box = [ls, lc]
            else:
                f = lambda x: nll(ROWS[0], 10 ** x[0], 10 ** x[1], held)  # noqa: E731
                box = [ls, lc]
            assert value == pytest.approx(brute_min(f, box), abs=SAME_MINIMUM), (parameter, held)


def test_exponent_profiles_hold_the_named_exponent():
    # A zero-width exponent box pins the free exponent at 2, so holding n_U
    # (or n_M) at 3 leaves the three-parameter fit at exponents (3, 2) (or
    # (2, 3)): the profile point is that fit's minimum.
    for parameter, n_u, n_m in ((3, 3.0, 2.0), (4, 2.0, 3.0)):
        got = korvel.py_profile_density(ROWS[:1], EDGES, True, parameter, np.array([[3.0]]), ST,
                                        CO, fit_exponents=True, n_exp_bounds=(2.0, 2.0))
        _, nlls = korvel.py_fit_all_densities(ROWS[:1], EDGES, True, ST, CO, n_u, n_m)
        assert got[0, 0] == pytest.approx(nlls[0], abs=SAME_MINIMUM), parameter


def test_shared_st_profile_refits_the_shared_st_and_every_bin():
    w = np.array([2.0, 0.5])
    grid = np.array([[2.0, 4.5], [4.0, 9.0]])  # CoE of bin 0, then of bin 1
    got = korvel.py_profile_shared_st_co(ROWS, EDGES, True, 2, grid, ST, CO, weights=w)

    def total(u, d, coe):
        # Bin d with CoE held (only CoW refitted), the other bin refitted whole, at St = e^u.
        st = float(np.exp(u))
        held = korvel.py_profile_shared_co(ROWS[d:d + 1], EDGES, True, st, np.ones(1),
                                           np.array([coe]), CO)[1][0, 0]
        other = korvel.py_profile_shared_st(ROWS[1 - d:2 - d], EDGES, True, np.array([st]), CO)[0]
        return w[d] * held + w[1 - d] * other

    for d in range(2):
        for coe, value in zip(grid[d], got[d]):
            us = np.linspace(np.log(ST[0]), np.log(ST[1]), 25)
            u0 = us[np.argmin([total(u, d, coe) for u in us])]
            best = optimize.minimize_scalar(lambda u: total(u, d, coe),  # noqa: B023
                                            bounds=(u0 - 0.3, u0 + 0.3), method="bounded",
                                            options=dict(xatol=1e-7)).fun
            assert value == pytest.approx(best, abs=SAME_MINIMUM), (d, coe)


def test_same_bits_on_one_thread_and_on_two():
    code = f"""
        import numpy as np, korvel
        rows = np.frombuffer(bytes.fromhex({ROWS.tobytes().hex()!r})).reshape(2, 10)
        e = np.linspace(0.0, 1.0, 11)
        g = np.array([[0.8, 1.3], [0.9, np.nan]])
        a = korvel.py_profile_density(rows, e, True, 0, g, {ST!r}, {CO!r})
        b = korvel.py_profile_shared_st_co(rows, e, True, 1, 3 * g, {ST!r}, {CO!r})
        print(a.tobytes().hex() + b.tobytes().hex())
    """
    out = output_on_one_and_two_threads(code)
    assert len(out) == 1
    # NaN pads a short grid row: that point is not fitted.
    a = np.frombuffer(bytes.fromhex(out.pop()[:64]))
    assert np.isnan(a[3]) and np.isfinite(a[:3]).all()


@pytest.mark.parametrize("fn,parameter,grid,match", [
    ("py_profile_density", 3, [[1.0], [1.0]], "parameter must be one of 0 .St., 1 .CoW., 2 .CoE."),
    ("py_profile_shared_st_co", 0, [[1.0], [1.0]], "parameter must be one of 1 .CoW., 2 .CoE."),
    ("py_profile_density", 1, [[1.0]], "grid has 1 rows for 2 density rows"),
    ("py_profile_density", 0, [[1.0], [0.0]], "grid values of St must be NaN or finite and positive"),
    ("py_profile_shared_st_co", 2, [[1.0], [np.inf]], "grid values of CoE must be NaN or finite"),
])
def test_bad_inputs_are_refused_before_any_work(fn, parameter, grid, match):
    with pytest.raises(korvel.InternalError, match=match):
        getattr(korvel, fn)(ROWS, EDGES, True, parameter, np.array(grid), ST, CO)
