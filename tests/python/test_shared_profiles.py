"""Full profiles through the shared fits and the drift fit: each point the
minimum over every other parameter, checked against minima found another way;
the same bits on one thread and on two; bad arguments refused first."""


import numpy as np
import pytest
from scipy import optimize

import korvel
from conftest import output_on_one_and_two_threads

EDGES = np.linspace(0.0, 1.0, 11)
ST, CO, NEXP = (0.1, 10.0), (0.1, 100.0), (1.0, 4.0)
W = np.array([2.0, 0.5])
# Two density bins of 2,000 reads drawn from the model (St 1, exponents 2.5
# and 1.8), as counts: NLLs on the scale of the reads, where 2 dNLL = 3.84
# bounds an interval.
_rng = np.random.default_rng(11)
ROWS = np.array([_rng.multinomial(2000, korvel.py_compute_model_fracs(1.0, 1.0, cow, coe, EDGES,
                                                                      2.5, 1.8))
                 for cow, coe in ((3.0, 4.0), (2.0, 6.0))], dtype=float)
# Two searches of one smooth problem, each stopping at its own tolerance:
# far below the 0.05 in 2 dNLL an interval's end may be off by.
SAME_MINIMUM = 0.01


def weighted(nlls):
    total = 0.0
    for w, v in zip(W, nlls):  # row order from 0.0, as the module sums
        total += w * v
    return total


@pytest.mark.parametrize("mode", ["st_exp", pytest.param("exp", marks=pytest.mark.slow),
                                  pytest.param("co", marks=pytest.mark.slow)])
def test_a_held_st_is_the_fit_pinned_there(mode):
    # A held St is the mode's own fit with st_bounds = (g, g); grid point 0
    # seeds row e with e, as the fit seeds it, so the two agree to the bit.
    g = 0.7
    profile, fit = {"st_exp": (korvel.py_profile_shared_st_exp,
                               korvel.py_fit_shared_st_exp_perdensity),
                    "exp": (korvel.py_profile_shared_exp, korvel.py_fit_shared_exp),
                    "co": (korvel.py_profile_global_co, korvel.py_fit_shared_co)}[mode]
    quiet = {} if mode == "st_exp" else dict(verbose=False)
    got = profile(ROWS, EDGES, True, 0, 0, np.array([g]), ST, CO, NEXP, weights=W)
    *_, nlls = fit(ROWS, EDGES, True, (g, g), CO, NEXP, weights=W, **quiet)
    assert got[0] == weighted(nlls)


@pytest.mark.slow
def test_shared_exp_profile_is_a_brute_force_refit():
    # Outside: scipy's Nelder-Mead over the free shared values; inside: the
    # module's own per-bin refits at them.
    def clip(n):
        return np.clip(n, *NEXP)

    def st_total(x, st):
        return sum(w * korvel.py_profile_shared_st(ROWS[d:d + 1], EDGES, True, np.array([st]), CO,
                                                   clip(x[0]), clip(x[1]))[0]
                   for d, w in enumerate(W))

    def coe_total(x, coe):  # bin 0 with CoE held, bin 1 refitted whole
        st, n_u, n_m = 10 ** np.clip(x[0], *np.log10(ST)), clip(x[1]), clip(x[2])
        held = korvel.py_profile_shared_co(ROWS[:1], EDGES, True, st, np.ones(1), np.array([coe]),
                                           CO, n_u, n_m)[1][0, 0]
        other = korvel.py_profile_shared_st(ROWS[1:], EDGES, True, np.array([st]), CO, n_u, n_m)[0]
        return W[0] * held + W[1] * other

    opts = dict(xatol=1e-4, fatol=1e-6)
    st_held = optimize.minimize(st_total, [2.0, 2.0], args=(0.7,), method="Nelder-Mead",
                                options=opts).fun
    coe_held = optimize.minimize(coe_total, [0.0, 2.0, 2.0], args=(8.0,), method="Nelder-Mead",
                                 options=opts).fun
    st_got = korvel.py_profile_shared_exp(ROWS, EDGES, True, 0, 0, np.array([0.7]), ST, CO, NEXP,
                                          weights=W)[0]
    coe_got = korvel.py_profile_shared_exp(ROWS, EDGES, True, 2, 0, np.array([8.0]), ST, CO, NEXP,
                                           weights=W)[0]
    assert st_got == pytest.approx(st_held, abs=SAME_MINIMUM)
    assert coe_got == pytest.approx(coe_held, abs=SAME_MINIMUM)


@pytest.mark.slow
@pytest.mark.parametrize("mode", ["exp", "st_exp", "co"])
def test_profile_at_the_estimate_is_the_fit(mode):
    # Held at the fit's own estimate, the profile cannot miss the fit's
    # minimum (every other parameter is refitted), nor beat it by more than
    # the outer simplex's slack (on the shared-coefficient ridge the fit stops
    # a few tenths above a point the profile may find); away from it the
    # profile rises.
    if mode == "exp":
        st, *_, nlls = korvel.py_fit_shared_exp(ROWS, EDGES, True, ST, CO, NEXP, weights=W,
                                                verbose=False)
        profile, per_bin, per_bin_est = korvel.py_profile_shared_exp, 1, _[-1][0, 1]
    elif mode == "st_exp":
        st, _, fitps, nlls = korvel.py_fit_shared_st_exp_perdensity(ROWS, EDGES, True, ST, CO,
                                                                     NEXP, weights=W)
        profile, per_bin, per_bin_est = korvel.py_profile_shared_st_exp, 3, fitps[0, 1]
    else:
        st, _, _, fitps, nlls = korvel.py_fit_shared_co(ROWS, EDGES, True, ST, CO, NEXP, weights=W,
                                                        verbose=False)
        profile, per_bin, per_bin_est = korvel.py_profile_global_co, 3, fitps[0, 1]
    fit = weighted(nlls)
    at_st = profile(ROWS, EDGES, True, 0, 0, np.array([st, 3 * st]), ST, CO, NEXP, weights=W)
    at_bin = profile(ROWS, EDGES, True, per_bin, 0, np.array([per_bin_est]), ST, CO, NEXP,
                     weights=W)
    for value in (at_st[0], at_bin[0]):
        assert fit - 1.0 < value <= fit + SAME_MINIMUM
    assert at_st[1] > fit + 1.0


@pytest.mark.slow
def test_a_held_exponent_refits_from_the_estimate():
    # Three bins of 3,000 reads (St 1, n_U = n_M = 2): held at the fit's own
    # n_M, the cold starts alone stalled 1.5 above the fit's minimum (so the
    # n_M interval came out far too narrow). Started at the estimate, the
    # profile passes through the fit and, at n_M = 2, reaches the minimum an
    # outside search (scipy over all nine parameters) found: 13407.5344.
    from korvel_analysis import pp, simulate

    edges = pp.meth_edges(10)
    rng = np.random.default_rng(2026)
    rows = np.array([rng.multinomial(3000, (lambda p: p / p.sum())(
        simulate.model_fractions(1.0, cow, coe, edges, 2.0, 2.0)))
        for cow, coe in ((2.0, 4.0), (3.0, 3.0), (4.0, 5.0))], dtype=float)
    w = rows.sum(axis=1)
    fracs = rows / w[:, None]
    bounds = (1e-3, 10.0), (1e-3, 1e3), (1.0, 4.0)
    st, n_u, n_m, vmax, _, nlls = korvel.py_fit_shared_exp(fracs, edges, True, *bounds,
                                                           weights=w, verbose=False)
    fit = float(np.dot(w, nlls))
    got = korvel.py_profile_shared_exp(fracs, edges, True, 4, 0, np.array([n_m, 2.0]), *bounds,
                                       weights=w, warm_start=(st, n_u, n_m, vmax))
    assert got[0] == pytest.approx(fit, abs=SAME_MINIMUM)
    assert got[1] == pytest.approx(13407.5344, abs=SAME_MINIMUM)


@pytest.mark.slow
def test_a_profile_walked_out_reaches_a_far_minimum():
    # Fifth of the same draws: the fit puts bin 1's CoW at 6.63 (truth 3). Held at
    # 3 and started at the estimate, the shared search stalled at 2 dNLL 51.5; an
    # outside search (scipy over the other eight parameters) found 5.77. Walked
    # out from the estimate, each point from its neighbour's optimum, the profile
    # reaches it; the shared values it reports are the start of the next point.
    from korvel_analysis import modes, pp, simulate, tl

    edges = pp.meth_edges(10)
    rng = np.random.default_rng(2026)
    for _ in range(5):
        rows = np.array([rng.multinomial(3000, (lambda p: p / p.sum())(
            simulate.model_fractions(1.0, cow, coe, edges, 2.0, 2.0)))
            for cow, coe in ((2.0, 4.0), (3.0, 3.0), (4.0, 5.0))], dtype=float)
    n = rows.sum(axis=1)
    settings = tl.FitSettings(mode="shared-exp", st_bounds=(1e-3, 10.0), co_bounds=(1e-3, 1e3),
                              n_reads=tuple(n))
    fracs = rows / n[:, None]
    result = tl.fit(fracs, edges, settings)
    cow = float(result.params["cow"][1])
    assert cow == pytest.approx(6.627, abs=0.01)
    profiler = modes.get("shared-exp").profiler("cow")
    run = profiler.run
    scale = tl.likelihood_weights(n)
    grid = np.geomspace(3.0, cow, 4)
    nll = tl._Walk.of(profiler, fracs, edges, settings, scale, 1, 1, tl.warm_start(result))(grid)
    assert 2 * (nll[0] - nll[-1]) == pytest.approx(5.77, abs=0.1)
    # The shared values reported are where the value was found.
    alone, shared = run(fracs, edges, settings, scale, 1, [1], grid[None, -1:],
                        tl.warm_start(result), with_shared=True)
    assert alone[0, 0] == pytest.approx(nll[-1], abs=SAME_MINIMUM)
    assert shared[0] == pytest.approx(tl.warm_start(result), rel=1e-3)


def test_a_walked_point_is_refitted_from_its_own_optimum_until_it_settles():
    # A search that stops early, as a simplex does on a long curved valley: each
    # call goes half the way from its start to the held point's optimum s*(x) =
    # log10(x), where the profile's floor is (log10 x)^2. A far point, reached
    # from the estimate's optimum, then sits well above the floor (shared-co
    # gave 2 dNLL 12.1 where restarts went on to 1.05); restarts from its own
    # optimum bring it down to the floor.
    from korvel_analysis import tl

    def call(grid, start, cold):
        s = start[0] + 0.5 * (np.log10(grid) - start[0])
        return np.log10(grid) ** 2 + 100.0 * (s - np.log10(grid)) ** 2, s[:, None]

    grid = np.geomspace(1.0, 1e3, 7)
    walk = tl._Walk(call, (0.0,))
    nll = walk(grid)
    floor = np.log10(grid) ** 2
    assert np.all(nll >= floor)
    np.testing.assert_allclose(nll, floor, atol=2 * tl._Walk.POLISH_GAIN)
    # A point added later, far out, settles as well.
    assert walk(np.array([1e5]))[0] == pytest.approx(25.0, abs=2 * tl._Walk.POLISH_GAIN)


# ------------------------------------------------------------------ drift

DRIFT_EDGES = np.linspace(0.0, 1.0, 6)
AGES = np.array([5.0, 20.0, 60.0])
P0 = np.array([0.5, 0.2, 0.1, 0.1, 0.1])
DRIFT_ROWS = np.array([_rng.multinomial(3000, p) / 3000
                       for p in korvel.py_drift_predict(0.02, 0.01, P0, AGES, DRIFT_EDGES)])
RATES = (1e-4, 10.0)


def drift_nll(ste, stw):
    pred = korvel.py_drift_predict(ste, stw, P0, AGES, DRIFT_EDGES)
    return -float(np.sum(DRIFT_ROWS * np.log(pred)))


def test_drift_profile_is_a_brute_force_refit_and_bottoms_at_the_fit():
    ste, stw, nll = korvel.py_fit_drift_one_log(P0, DRIFT_ROWS, AGES, DRIFT_EDGES, RATES, 3)
    grid = np.array([ste, 0.5 * ste])
    got = korvel.py_profile_drift_log(P0, DRIFT_ROWS, AGES, DRIFT_EDGES, RATES, 0, grid)
    for held, value in zip(grid, got):
        brute = optimize.minimize_scalar(lambda x: drift_nll(held, 10 ** x),  # noqa: B023
                                         bounds=np.log10(RATES), method="bounded",
                                         options=dict(xatol=1e-8)).fun
        assert value == pytest.approx(brute, abs=1e-6)
    assert got[0] == pytest.approx(nll, abs=1e-6)
    stw_at_fit = korvel.py_profile_drift_log(P0, DRIFT_ROWS, AGES, DRIFT_EDGES, RATES, 1,
                                             np.array([stw]))
    assert stw_at_fit[0] == pytest.approx(nll, abs=1e-6)


# ------------------------------------------------------- threads and checks

@pytest.mark.slow
def test_same_bits_on_one_thread_and_on_two():
    code = f"""
        import numpy as np, korvel
        rows = np.frombuffer(bytes.fromhex({ROWS.tobytes().hex()!r})).reshape(2, 10)
        e = np.linspace(0.0, 1.0, 11)
        box = dict(st_bounds=(0.5, 2.0), co_bounds=(1.0, 10.0), n_exp_bounds=(1.5, 3.0))
        g = np.array([0.8, 1.3])
        out = [korvel.py_profile_shared_exp(rows, e, True, 0, 0, g, **box, fit_vmax=True),
               korvel.py_profile_shared_exp(rows, e, True, 1, 1, 3 * g, **box),
               korvel.py_profile_shared_st_exp(rows, e, True, 4, 1, 2 * g, **box),
               korvel.py_profile_global_co(rows, e, True, 2, 0, 4 * g, **box, co_penalty=0.1),
               korvel.py_profile_drift_log(np.full(5, 0.2), np.full((2, 5), 0.2),
                                           np.array([1.0, 4.0]), np.linspace(0, 1, 6),
                                           (0.01, 10.0), 1, g)]
        print("".join(a.tobytes().hex() for a in out))
    """
    out = output_on_one_and_two_threads(code)
    assert len(out) == 1
    assert np.isfinite(np.frombuffer(bytes.fromhex(out.pop()))).all()


def _shared(**change):
    args = dict(observed_fracs_2d=ROWS, meth_bin_edges=EDGES, normalize_stw=True, parameter=0,
                density_idx=0, grid=np.array([1.0]), st_bounds=ST, co_bounds=CO, n_exp_bounds=NEXP)
    return {**args, **change}


def _drift(**change):
    args = dict(p0_observed=P0, fit_observed_2d=DRIFT_ROWS, fit_ages=AGES,
                meth_bin_edges=DRIFT_EDGES, st_bounds=RATES, parameter=0, grid=np.array([0.1]))
    return {**args, **change}


@pytest.mark.parametrize("fn,args,match", [
    ("py_profile_shared_exp", _shared(meth_bin_edges=EDGES[:-1]), "observed_fracs_2d': has 10 col"),
    ("py_profile_shared_exp", _shared(meth_bin_edges=EDGES[::-1].copy()), "edges must increase strictly"),
    ("py_profile_shared_exp", _shared(observed_fracs_2d=-ROWS), "observed_fracs_2d': entry .0, 1. is -5"),
    ("py_profile_shared_st_exp", _shared(weights=np.ones(3)), "weights': has 3 entries"),
    ("py_profile_shared_st_exp", _shared(weights=np.array([1.0, np.nan])), "weights': entry 1 is NaN"),
    ("py_profile_global_co", _shared(co_bounds=(5.0, 5.0)), "co_bounds': must be .lo, hi. with finite lo < hi"),
    ("py_profile_global_co", _shared(st_bounds=(0.0, 1.0)), "st_bounds': is searched on a logarithmic scale"),
    ("py_profile_shared_exp", _shared(grid=np.array([1.0, np.inf])), "grid': values of St"),
    ("py_profile_shared_exp", _shared(parameter=5), r"one of 0 \(St\), 1 \(CoW\), 2 \(CoE\), 3"),
    ("py_profile_global_co", _shared(parameter=3, density_idx=2), "density_idx': is 2"),
    ("py_profile_shared_st_exp", _shared(grid=np.ones(1001)), "'grid': 1001 values, more than"),
    ("py_profile_drift_log", _drift(fit_ages=AGES[:2]), "fit_observed_2d': has 3 rows, the fit ages .and samples. need 2"),
    ("py_profile_drift_log", _drift(parameter=2), r"0 \(StE\) or 1 \(StW\)"),
])
def test_bad_arguments_are_value_errors_before_any_work(fn, args, match):
    with pytest.raises(ValueError, match=match):
        getattr(korvel, fn)(**args)
