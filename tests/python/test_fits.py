"""Per-density fits from Python: one bin, and every bin in parallel."""

import os

import numpy as np
import pytest

import korvel
from conftest import run_python

EDGES = np.linspace(0.0, 1.0, 11)
ST_BOUNDS = (0.01, 10.0)
CO_BOUNDS = (1e-3, 1e3)
# Parameter sets whose model spreads over several bins, so that ten bins
# identify a clear minimum.
TRUE = [(1.0, 10.0, 10.0), (2.0, 1.0, 3.0), (1.5, 20.0, 5.0)]
# The polish stops once the simplex values agree to 1e-10; in the flat valleys
# of ten-bin data its end point can sit a few 1e-10 above the minimum.
SLACK = 1e-8


def synthetic(st, cow, coe):
    """Observed fractions drawn exactly from the model (normalize_stw=True)."""
    return korvel.py_compute_model_fracs(st, 1.0, cow, coe, EDGES)


def nll_at(params, obs, normalize_stw=True):
    return korvel.py_compute_nll(np.array(params, dtype=float), obs, EDGES, normalize_stw)


class TestFitOneDensity:
    def test_reaches_the_true_nll_and_stays_in_bounds(self):
        obs = synthetic(*TRUE[0])
        st, cow, coe, nll = korvel.py_fit_one_density(obs, EDGES, True, ST_BOUNDS, CO_BOUNDS)
        # Ten bins identify the parameters only loosely; the likelihood is what
        # the fit must get right.
        assert nll <= nll_at(TRUE[0], obs) + SLACK
        assert ST_BOUNDS[0] <= st <= ST_BOUNDS[1]
        assert CO_BOUNDS[0] <= cow <= CO_BOUNDS[1] and CO_BOUNDS[0] <= coe <= CO_BOUNDS[1]
        assert nll == nll_at((st, cow, coe), obs)

    def test_penalty_is_never_in_the_reported_nll(self):
        obs = synthetic(*TRUE[1])
        for w in (1.0, -0.5):
            st, cow, coe, nll = korvel.py_fit_one_density(
                obs, EDGES, True, ST_BOUNDS, CO_BOUNDS, co_penalty=w
            )
            assert nll == nll_at((st, cow, coe), obs)
        # A positive weight trades likelihood for smaller coefficients.
        _, cow0, coe0, _ = korvel.py_fit_one_density(obs, EDGES, True, ST_BOUNDS, CO_BOUNDS)
        _, cow1, coe1, _ = korvel.py_fit_one_density(
            obs, EDGES, True, ST_BOUNDS, CO_BOUNDS, co_penalty=1.0
        )
        assert cow1 + coe1 < cow0 + coe0

    def test_normalize_stw_false_fits_the_writing_rate(self):
        obs = korvel.py_compute_model_fracs(1.0, 2.0, 10.0, 10.0, EDGES)
        st, cow, coe, nll = korvel.py_fit_one_density(obs, EDGES, False, ST_BOUNDS, CO_BOUNDS)
        assert nll <= nll_at((2.0, 10.0, 10.0), obs, False) + SLACK
        assert nll == nll_at((st, cow, coe), obs, False)

    @pytest.mark.parametrize(
        "bad", [[0.01, 10.0], (0.01,), (0.01, 1.0, 2.0), (0.01, None), None],
        ids=["list", "short", "long", "none-item", "none"],
    )
    def test_pairs_must_be_tuples_of_two_floats(self, bad):
        with pytest.raises(TypeError) as excinfo:
            korvel.py_fit_one_density(synthetic(*TRUE[0]), EDGES, True, bad, CO_BOUNDS)
        assert str(excinfo.value).startswith("argument 'st_bounds': ")

    def test_bad_bounds_end_with_internal_error(self):
        obs = synthetic(*TRUE[0])
        err = korvel.InternalError
        with pytest.raises(err, match=r"^min > max, or either was NaN\. min = 10, max = 0\.01$"):
            korvel.py_fit_one_density(obs, EDGES, True, (10.0, 0.01), CO_BOUNDS)
        with pytest.raises(err):
            korvel.py_fit_one_density(obs, EDGES, True, ST_BOUNDS, (-1.0, 10.0))


def fit_all(obs, **kw):
    return korvel.py_fit_all_densities(obs, EDGES, True, ST_BOUNDS, CO_BOUNDS, **kw)


class TestFitAllDensities:
    ROWS = np.array([synthetic(*t) for t in TRUE])

    def test_rows_are_fitted_and_repeatable(self):
        fitps, nlls = fit_all(self.ROWS)
        assert fitps.shape == (3, 3) and nlls.shape == (3,)
        for i, t in enumerate(TRUE):
            assert nlls[i] <= nll_at(t, self.ROWS[i]) + SLACK
        again = fit_all(self.ROWS)
        assert fitps.tobytes() == again[0].tobytes() and nlls.tobytes() == again[1].tobytes()

    def test_fortran_order_reads_logical_rows(self):
        c_order = fit_all(self.ROWS)
        f_order = fit_all(np.asfortranarray(self.ROWS))
        assert all(a.tobytes() == b.tobytes() for a, b in zip(c_order, f_order))

    def test_non_contiguous_matrix_is_internal_error(self):
        wide = np.repeat(self.ROWS, 2, axis=1)[:, ::2]
        with pytest.raises(korvel.InternalError, match="observed_fracs_2d"):
            fit_all(wide)

    def test_zero_rows(self):
        fitps, nlls = fit_all(np.empty((0, 10)))
        assert fitps.shape == (0, 3) and nlls.shape == (0,)
        fitps, nlls = korvel.py_fit_all_densities_exp(
            np.empty((0, 10)), EDGES, True, ST_BOUNDS, CO_BOUNDS, (1.0, 3.0)
        )
        assert fitps.shape == (0, 5) and nlls.shape == (0,)

    def test_nan_row_fails_the_whole_call(self):
        rows = self.ROWS.copy()
        rows[1] = np.nan
        with pytest.raises(korvel.InternalError):
            fit_all(rows)

    def test_vector_instead_of_matrix_is_type_error(self):
        with pytest.raises(TypeError, match="^argument 'observed_fracs_2d': "):
            fit_all(self.ROWS[0])

    def test_exponent_fit_column_order(self):
        rows = self.ROWS[:1]
        fitps, nlls = korvel.py_fit_all_densities_exp(
            rows, EDGES, True, ST_BOUNDS, CO_BOUNDS, (2.0, 2.0)
        )
        # A zero-width exponent box returns the exponents exactly, in columns 1 and 2.
        assert fitps[0, 1] == 2.0 and fitps[0, 2] == 2.0
        st, cow, coe = fitps[0, 0], fitps[0, 3], fitps[0, 4]
        assert nlls[0] == nll_at((st, cow, coe), rows[0])

    def test_same_arrays_with_any_number_of_threads(self):
        code = """
            import numpy as np, korvel
            edges = np.linspace(0, 1, 11)
            rows = np.array([korvel.py_compute_model_fracs(st, 1.0, cw, ce, edges)
                             for st, cw, ce in %r])
            f, n = korvel.py_fit_all_densities(rows, edges, True, (0.01, 10.0), (1e-3, 1e3))
            print(f.tobytes().hex() + n.tobytes().hex())
        """ % (TRUE,)
        outputs = []
        for threads in ("1", "2", "4"):
            env = dict(os.environ, KORVEL_NUM_THREADS=threads)
            result = run_python(code, env=env)
            assert result.returncode == 0, result.stderr
            outputs.append(result.stdout.strip())
        assert outputs[0] and outputs[0] == outputs[1] == outputs[2]
