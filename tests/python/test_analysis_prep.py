"""korvel_analysis preparation and intervals: layouts and known answers."""

import math

import numpy as np
import pytest

import korvel
from korvel_analysis import pp, readers, simulate, tl


def test_resample_rows_follow_the_bootstrap_layout():
    # Three density bins whose reads sit in one methylation bin each: a
    # resample of density d can only hold reads in bin d, so every row shows
    # which density it came from, whatever the draws.
    counts = np.array([[5, 0, 0, 0], [0, 7, 0, 0], [0, 0, 9, 0]])
    rows = pp.bootstrap_fracs(counts, n_boot=4, seed=3)
    assert rows.shape == (12, 4) and rows.flags.c_contiguous
    for r in range(12):
        b, d = divmod(r, 3)
        assert np.array_equal(rows[r], np.eye(4)[d]), (r, b, d)
    # Hand-built stack: resample b, density d holds the value 10 b + d.
    per = np.array([[[10 * b + d] * 2 for d in range(3)] for b in range(2)], dtype=float)
    stacked = pp.stack_resamples(per)
    assert stacked[:, 0].tolist() == [0, 1, 2, 10, 11, 12]
    assert np.array_equal(pp.unstack_rows(stacked, 2, 3), per)


def test_resampling_is_seeded_and_keeps_each_density_bins_read_count():
    counts = np.array([[3, 1, 4, 1], [5, 9, 2, 6]])
    a = pp.resample_counts(counts, 50, np.random.default_rng(7))
    b = pp.resample_counts(counts, 50, np.random.default_rng(7))
    assert np.array_equal(a, b)
    assert np.array_equal(a.sum(axis=2), np.tile(counts.sum(axis=1), (50, 1)))
    # Each resample is its own draw: they differ, and on average they give
    # back the observed fractions (the multinomial's mean).
    assert len({r.tobytes() for r in a}) > 40
    many = pp.bootstrap_fracs(counts, 4000, seed=1).reshape(4000, 2, 4).mean(axis=0)
    np.testing.assert_allclose(many, pp.observed_fractions(counts), atol=0.01)


def test_default_methylation_edges_are_exact_tenths():
    # A read of fraction 0.3 lies on the edge of [0.3, 0.4), not in the bin below.
    edges = pp.meth_edges(10)
    assert list(edges) == [0.0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 1.0]
    assert list(pp.bin_index(np.array([0.0, 0.3, 0.6, 0.7, 1.0]), edges)) == [0, 3, 6, 7, 9]


@pytest.mark.parametrize("edges", [np.linspace(0, 1, 11), np.array([0.0, 0.5, 1.0]),
                                   np.array([0.0, 0.3, 0.31, 0.7, 1.0]),
                                   np.array([0.1, 0.45, 0.9])])
def test_read_binning_and_detailed_balance_match_the_module(edges):
    # A read's fraction m/70 must land in the bin of state m, and the
    # detailed-balance distribution used for plots must agree with the
    # module's solve (to rounding: two different algorithms).
    for st, cow, coe in [(1.0, 3.0, 4.0), (0.3, 20.0, 5.0), (2.0, 0.0, 0.0)]:
        mine = simulate.model_fractions(st, cow, coe, edges)
        ref = korvel.py_compute_model_fracs(st, 1.0, cow, coe, edges)
        np.testing.assert_allclose(mine, ref, rtol=1e-9, atol=1e-14)


@pytest.mark.parametrize("raw_count,vmax,cow,coe", [(True, math.inf, 0.001, 0.002),
                                                   (False, 2.0, 30.0, 5.0)])
def test_the_simulators_rate_law_follows_the_run_wide_settings(raw_count, vmax, cow, coe):
    # StW = St with normalize_stw off; raw counts and a finite Vmax as the
    # module's setters give them.
    edges = np.linspace(0, 1, 11)
    korvel.py_set_raw_count(raw_count)
    korvel.py_set_mm_vmax(vmax)
    mine = simulate.model_fractions(0.5, cow, coe, edges, normalize_stw=False,
                                    raw_count=raw_count, vmax=vmax)
    ref = korvel.py_compute_model_fracs(1.0, 0.5, cow, coe, edges)
    np.testing.assert_allclose(mine, ref, rtol=1e-9, atol=1e-14)


def test_exponent_and_vmax_keywords_follow_the_simulators_rate_law():
    # The keywords, not the run-wide ceiling (left at +inf here), decide the
    # model; checked against the independent detailed-balance solve.
    edges = np.array([0.0, 0.2, 0.5, 0.51, 1.0])
    for n_u, n_m, vmax in [(3.0, 1.5, 4.0), (1.2, 3.7, math.inf)]:
        mine = simulate.model_fractions(0.7, 6.0, 2.0, edges, n_u, n_m, vmax=vmax)
        ref = korvel.py_compute_model_fracs(0.7, 1.0, 6.0, 2.0, edges, n_u=n_u, n_m=n_m,
                                            vmax=vmax)
        np.testing.assert_allclose(mine, ref, rtol=1e-9, atol=1e-14)
    default = korvel.py_compute_model_fracs(0.7, 1.0, 6.0, 2.0, edges)
    assert np.array_equal(korvel.py_compute_model_fracs(0.7, 1.0, 6.0, 2.0, edges, 2.0, 2.0,
                                                        None), default)


def test_likelihood_ratio_interval_of_a_parabola():
    # NLL = 2 (log10 x)^2 + 7: the 95% threshold 3.8415/2 is crossed at
    # log10 x = +-sqrt(3.8415/4). The square-root interpolation is exact for a
    # parabola, even on a coarse grid that misses the crossings.
    grid = 10.0 ** np.linspace(-2, 2, 9)
    nll = 2.0 * np.log10(grid) ** 2 + 7.0
    iv = tl.likelihood_ratio_interval(grid, nll, 0.95)
    half = math.sqrt(tl.chi2_1_quantile(0.95) / 4.0)
    assert tl.chi2_1_quantile(0.95) == pytest.approx(3.841458820694124, rel=1e-12)
    assert math.log10(iv.lo) == pytest.approx(-half, rel=1e-12)
    assert math.log10(iv.hi) == pytest.approx(half, rel=1e-12)
    assert not iv.lo_open and not iv.hi_open
    # A crossing between the first two grid points is found too.
    iv = tl.likelihood_ratio_interval(grid[2:7], nll[2:7], 0.95)
    assert math.log10(iv.lo) == pytest.approx(-half, rel=1e-12) and not iv.lo_open
    # Cut the grid inside the interval on the upper side: that end is open.
    cut = grid < 10.0 ** (half / 2)
    iv = tl.likelihood_ratio_interval(grid[cut], nll[cut], 0.95)
    assert iv.hi_open and math.isnan(iv.hi) and not iv.lo_open


def test_percentile_interval():
    iv = tl.percentile_interval(np.arange(101.0), 0.9)
    assert (iv.lo, iv.hi) == (pytest.approx(5.0), pytest.approx(95.0))


def test_drift_ages_count_from_the_youngest_and_one_density_bin_is_taken():
    # Reads at ages 70, 40, 55 in two density bins; bin 1's reads are all unmethylated.
    density = np.array([0.5, 0.5, 0.5, 1.5, 1.5, 1.5, 1.5])
    meth = np.array([0.9, 0.9, 0.9, 0.0, 0.0, 0.0, 0.0])
    age = np.array([70.0, 40.0, 55.0, 70.0, 40.0, 55.0, 40.0])
    reads = readers.Reads(density, meth, age, "reads.tsv")
    data = pp.drift_data(reads, np.array([0.0, 0.5, 1.0]), np.array([0.0, 1.0, 2.0]), 1)
    assert data.ages.tolist() == [40.0, 55.0, 70.0]
    assert data.fit_ages.tolist() == [15.0, 30.0]
    assert data.counts.tolist() == [[2, 0], [1, 0], [1, 0]]
