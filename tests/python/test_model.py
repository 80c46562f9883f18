"""Model evaluation from Python: binned fractions, NLL, run-wide settings."""

import math

import numpy as np
import pytest
from scipy.stats import binom

import korvel
from conftest import run_python

M = np.arange(71)


def binned(p, edges):
    """Sum a 71-state distribution into bins with the module's first-match rule."""
    n = len(edges) - 1
    out = np.zeros(n)
    for m in range(71):
        x = m / 70.0
        for j in range(n):
            last = j == n - 1
            if edges[j] <= x and (x <= edges[j + 1] if last else x < edges[j + 1]):
                out[j] += p[m]
                break
    out = np.maximum(out, 1e-8)
    return out / out.sum()


class TestStationaryModel:
    @pytest.mark.parametrize("ste,stw", [(1.0, 1.0), (0.3, 1.0), (1.0, 4.0)])
    def test_independent_sites_give_binomial(self, edges10, ste, stw):
        # Without cooperation every site flips on its own: Binomial(70, StW/(StE+StW)).
        expected = binned(binom.pmf(M, 70, stw / (ste + stw)), edges10)
        out = korvel.py_compute_model_fracs(ste, stw, 0.0, 0.0, edges10)
        np.testing.assert_allclose(out, expected, rtol=1e-10, atol=1e-14)  # LU rounding only

    def test_symmetric_parameters_give_mirror_image(self):
        # Edges symmetric about 0.5 that fall between states, so that the
        # bins themselves are mirror images under m <-> 70 - m.
        edges = np.array([0.0, 0.155, 0.305, 0.455, 0.545, 0.695, 0.845, 1.0])
        out = korvel.py_compute_model_fracs(0.7, 0.7, 3.0, 3.0, edges)
        np.testing.assert_allclose(out, out[::-1], rtol=1e-10)  # LU rounding only

    def test_vmax_non_finite_means_no_ceiling(self, edges10):
        ref = korvel.py_compute_model_fracs(0.5, 1.0, 5.0, 2.0, edges10)
        for v in (math.nan, -math.inf, math.inf):
            korvel.py_set_mm_vmax(v)
            assert np.array_equal(korvel.py_compute_model_fracs(0.5, 1.0, 5.0, 2.0, edges10), ref)
        korvel.py_set_mm_vmax(1e12)
        np.testing.assert_allclose(
            korvel.py_compute_model_fracs(0.5, 1.0, 5.0, 2.0, edges10), ref, rtol=1e-6, atol=1e-12
        )  # a ceiling of 1e12 changes drives of order 1e2 by about 1e-10 relative
        korvel.py_set_mm_vmax(0.5)
        saturated = korvel.py_compute_model_fracs(0.5, 1.0, 5.0, 2.0, edges10)
        assert not np.allclose(saturated, ref)

    def test_vmax_zero(self, edges10):
        korvel.py_set_mm_vmax(0.0)
        # x / (x / 0 + 1) = x / inf = 0: the cooperative terms vanish.
        out = korvel.py_compute_model_fracs(1.0, 1.0, 5.0, 2.0, edges10)
        np.testing.assert_allclose(out, binned(binom.pmf(M, 70, 0.5), edges10), rtol=1e-10)
        # With a zero coefficient, 0 / NaN is NaN and so is the whole result.
        assert np.isnan(korvel.py_compute_model_fracs(1.0, 1.0, 0.0, 2.0, edges10)).all()

    def test_raw_count_scales_drives_by_70_squared(self, edges10):
        fraction_mode = korvel.py_compute_model_fracs(0.5, 1.0, 2.0 * 4900, 3.0 * 4900, edges10)
        korvel.py_set_raw_count(True)
        raw = korvel.py_compute_model_fracs(0.5, 1.0, 2.0, 3.0, edges10)
        # k^2 and 4900 (k/70)^2 differ in the last bits; the tail bins amplify that.
        np.testing.assert_allclose(raw, fraction_mode, rtol=1e-6, atol=1e-12)
        korvel.py_set_raw_count(np.bool_(False))
        back = korvel.py_compute_model_fracs(0.5, 1.0, 2.0 * 4900, 3.0 * 4900, edges10)
        assert np.array_equal(back, fraction_mode)

    def test_fresh_process_uses_defaults(self):
        result = run_python(
            """
            import math, numpy as np, korvel
            e = np.linspace(0, 1, 11)
            a = korvel.py_compute_model_fracs(0.5, 1.0, 5.0, 2.0, e)
            korvel.py_set_mm_vmax(math.inf)
            korvel.py_set_raw_count(False)
            b = korvel.py_compute_model_fracs(0.5, 1.0, 5.0, 2.0, e)
            print(np.array_equal(a, b))
            """
        )
        assert result.stdout.strip() == "True", result.stderr

    def test_repeated_calls_are_bitwise_identical(self, edges10):
        a = korvel.py_compute_model_fracs(0.37, 1.0, 12.5, 0.8, edges10)
        b = korvel.py_compute_model_fracs(0.37, 1.0, 12.5, 0.8, edges10)
        assert a.tobytes() == b.tobytes()


class TestBinning:
    P_HALF = binom.pmf(M, 70, 0.5)

    def test_half_point_belongs_to_upper_bin(self):
        out = korvel.py_compute_model_fracs(1.0, 1.0, 0.0, 0.0, np.array([0.0, 0.5, 1.0]))
        low = self.P_HALF[:35].sum()
        np.testing.assert_allclose(out, [low, 1.0 - low], rtol=1e-10)

    @pytest.mark.parametrize("edges", [[0.0, 1.0], [0.1, 0.9]])
    def test_single_bin_is_one(self, edges):
        out = korvel.py_compute_model_fracs(1.0, 1.0, 2.0, 2.0, np.array(edges))
        assert out.tolist() == [1.0]
        obs = np.array([0.7])
        assert korvel.py_compute_nll(np.array([1.0, 2.0, 2.0]), obs, np.array(edges), True) == 0.0

    def test_unreachable_bin_gets_the_floor(self):
        edges = np.array([0.0, 0.001, 0.01, 1.0])
        out = korvel.py_compute_model_fracs(1.0, 1.0, 0.0, 0.0, edges)
        total = self.P_HALF[0] + 1e-8 + self.P_HALF[1:].sum()
        assert out[1] == pytest.approx(1e-8 / total, rel=1e-12)
        assert out.sum() == pytest.approx(1.0, rel=1e-15)

    def test_one_edge_means_no_bins(self):
        out = korvel.py_compute_model_fracs(1.0, 1.0, 1.0, 1.0, np.array([0.0]))
        assert out.shape == (0,)
        assert korvel.py_compute_nll(np.array([1.0, 1.0, 1.0]), np.ones(3), np.array([0.0]), True) == 0.0


class TestNll:
    def test_matches_hand_scoring_of_model_fracs(self, edges10):
        obs = np.random.default_rng(3).dirichlet(np.ones(10))
        for normalize_stw in (True, False):
            st, cow, coe = 0.4, 7.0, 0.2
            ste, stw = (st, 1.0) if normalize_stw else (1.0, st)
            fracs = korvel.py_compute_model_fracs(ste, stw, cow, coe, edges10)
            expected = 0.0
            for o, f in zip(obs, fracs):
                expected = expected - math.log(f) * o
            got = korvel.py_compute_nll(np.array([st, cow, coe]), obs, edges10, normalize_stw)
            assert got == expected

    def test_all_zero_observed_gives_positive_zero(self, edges10):
        got = korvel.py_compute_nll(np.array([1.0, 1.0, 1.0]), np.zeros(10), edges10, True)
        assert got == 0.0 and math.copysign(1.0, got) == 1.0

    def test_common_prefix_is_scored(self, edges10):
        params = np.array([0.5, 2.0, 3.0])
        obs = np.random.default_rng(5).dirichlet(np.ones(10))
        full = korvel.py_compute_nll(params, obs, edges10, True)
        longer = korvel.py_compute_nll(params, np.concatenate([obs, [5.0, 7.0]]), edges10, True)
        assert longer == full
        fracs = korvel.py_compute_model_fracs(0.5, 1.0, 2.0, 3.0, edges10)
        shorter = korvel.py_compute_nll(params, obs[:4], edges10, True)
        expected = 0.0
        for o, f in zip(obs[:4], fracs[:4]):
            expected = expected - math.log(f) * o
        assert shorter == expected

    def test_nan_parameters_give_nan(self, edges10):
        assert math.isnan(
            korvel.py_compute_nll(np.array([math.nan, 1.0, 1.0]), np.full(10, 0.1), edges10, True)
        )
