"""The module object: function table, signatures, initialisation, error type."""

import numpy as np
import pytest

import korvel
from conftest import internal_error_type, run_python

# The full function table, in registration order, with the exact text
# signatures. Functions are registered as their computations are built.
TABLE = [
    ("py_set_raw_count", "(enabled)"),
    ("py_set_mm_vmax", "(vmax)"),
    ("py_compute_nll", "(params, observed_fracs, meth_bin_edges, normalize_stw)"),
    ("py_compute_model_fracs", "(ste, stw, cow, coe, meth_bin_edges, n_u=2.0, n_m=2.0, vmax=None)"),
    ("py_fit_one_density", "(observed_fracs, meth_bin_edges, normalize_stw, st_bounds, co_bounds, n_u=2.0, n_m=2.0, co_penalty=0.0)"),
    ("py_fit_all_densities", "(observed_fracs_2d, meth_bin_edges, normalize_stw, st_bounds, co_bounds, n_u=2.0, n_m=2.0, co_penalty=0.0)"),
    ("py_fit_all_densities_exp", "(observed_fracs_2d, meth_bin_edges, normalize_stw, st_bounds, co_bounds, n_exp_bounds, co_penalty=0.0)"),
    ("py_fit_shared_st", "(observed_fracs_2d, meth_bin_edges, normalize_stw, st_bounds, co_bounds, n_u=2.0, n_m=2.0, co_penalty=0.0, weights=None)"),
    ("py_fit_shared_exp", "(observed_fracs_2d, meth_bin_edges, normalize_stw, st_bounds, co_bounds, n_exp_bounds, co_penalty=0.0, weights=None, fit_vmax=False, vmax_bounds=...)"),
    ("py_fit_shared_st_exp_perdensity", "(observed_fracs_2d, meth_bin_edges, normalize_stw, st_bounds, co_bounds, n_exp_bounds, co_penalty=0.0, weights=None, fit_vmax=False, vmax_bounds=...)"),
    ("py_fit_shared_co", "(observed_fracs_2d, meth_bin_edges, normalize_stw, st_bounds, co_bounds, n_exp_bounds, co_penalty=0.0, weights=None)"),
    ("py_profile_shared_st", "(observed_fracs_2d, meth_bin_edges, normalize_stw, st_grid, co_bounds, n_u=2.0, n_m=2.0, weights=None)"),
    ("py_profile_shared_co", "(observed_fracs_2d, meth_bin_edges, normalize_stw, shared_st, cow_grid, coe_grid, co_bounds, n_u=2.0, n_m=2.0)"),
    ("py_fit_bootstrap", "(bootstrap_fracs, n_boot, n_densities, meth_bin_edges, normalize_stw, shared_st, fix_st, st_bounds, co_bounds, n_u=2.0, n_m=2.0, co_penalty=0.0, weights=None)"),
    ("py_fit_bootstrap_exp", "(bootstrap_fracs, n_boot, n_densities, meth_bin_edges, normalize_stw, st_bounds, co_bounds, n_exp_bounds, co_penalty=0.0, weights=None, warm_start=None, fit_vmax=False, vmax_bounds=...)"),
    ("py_fit_bootstrap_exp_perdensity", "(bootstrap_fracs, n_boot, n_densities, meth_bin_edges, normalize_stw, shared_st, st_bounds, co_bounds, n_exp_bounds, co_penalty=0.0, weights=None, fit_vmax=False, vmax_bounds=...)"),
    ("py_fit_bootstrap_co", "(bootstrap_fracs, n_boot, n_densities, meth_bin_edges, normalize_stw, st_bounds, co_bounds, n_exp_bounds, co_penalty=0.0, weights=None, warm_start=None)"),
    ("py_compute_phase_grids", "(st_free, normalize_stw, log_cow_grid, log_coe_grid, n_u=2.0, n_m=2.0)"),
    ("py_fit_drift_one", "(p0_observed, fit_observed_2d, fit_ages, meth_bin_edges, st_bounds)"),
    ("py_fit_drift_bootstrap", "(p0_per_boot, fit_observed_per_boot, n_boot, n_fit_ages, fit_ages, meth_bin_edges, st_bounds)"),
    ("py_drift_predict", "(ste, stw, p0_observed, ages, meth_bin_edges)"),
    ("py_profile_density", "(observed_fracs_2d, meth_bin_edges, normalize_stw, parameter, grid, st_bounds, co_bounds, n_u=2.0, n_m=2.0, fit_exponents=False, n_exp_bounds=...)"),
    ("py_profile_shared_st_co", "(observed_fracs_2d, meth_bin_edges, normalize_stw, parameter, grid, st_bounds, co_bounds, n_u=2.0, n_m=2.0, weights=None)"),
]

# Functions whose computations exist in this build.
BUILT = {
    "py_set_raw_count", "py_set_mm_vmax", "py_compute_nll", "py_compute_model_fracs",
    "py_fit_one_density", "py_fit_all_densities", "py_fit_all_densities_exp",
    "py_fit_shared_st", "py_fit_shared_exp", "py_fit_shared_st_exp_perdensity",
    "py_fit_shared_co", "py_profile_shared_st", "py_profile_shared_co",
    "py_compute_phase_grids", "py_fit_drift_one", "py_fit_drift_bootstrap", "py_drift_predict",
    "py_fit_bootstrap", "py_fit_bootstrap_exp", "py_fit_bootstrap_exp_perdensity",
    "py_fit_bootstrap_co", "py_profile_density", "py_profile_shared_st_co",
}


def test_all_lists_registered_functions_in_table_order():
    expected = [name for name, _ in TABLE if hasattr(korvel, name)]
    assert korvel.__all__ == expected
    assert BUILT <= set(korvel.__all__)
    # Nothing but table functions is exported.
    assert set(korvel.__all__) <= {name for name, _ in TABLE}


@pytest.mark.parametrize("name,signature", [row for row in TABLE if hasattr(korvel, row[0])])
def test_text_signature_and_doc(name, signature):
    fn = getattr(korvel, name)
    assert fn.__text_signature__ == signature
    assert fn.__name__ == name
    assert fn.__doc__ and fn.__doc__.strip()
    assert not fn.__doc__.startswith(name)  # the signature line is not part of __doc__


def test_stubs_list_the_parameters_and_defaults_of_the_text_signatures():
    import ast
    from pathlib import Path

    stub = Path(__file__).parents[2] / "stubs" / "korvel-stubs" / "__init__.pyi"
    funcs = {f.name: f for f in ast.parse(stub.read_text()).body if isinstance(f, ast.FunctionDef)}
    assert set(funcs) == set(korvel.__all__)
    for name in korvel.__all__:
        a = funcs[name].args
        defaults = [None] * (len(a.args) - len(a.defaults)) + [ast.unparse(d) for d in a.defaults]
        text = ", ".join(p.arg if d is None else f"{p.arg}={d}" for p, d in zip(a.args, defaults))
        assert f"({text})" == getattr(korvel, name).__text_signature__, name


@pytest.mark.parametrize("name", ["py_fit_one_density", "py_fit_drift_one"])
def test_fits_seeded_from_the_os_say_so(name):
    # Their results vary from call to call; the docstring is where users learn why.
    assert "entropy" in getattr(korvel, name).__doc__


def test_module_docstring():
    assert korvel.__doc__ == "Python module."


def test_second_initialisation_is_an_import_error():
    result = run_python(
        """
        import importlib, sys
        import korvel
        del sys.modules["korvel"]
        try:
            importlib.import_module("korvel")
        except ImportError as exc:
            print("ImportError", exc)
        else:
            print("imported twice")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("ImportError"), result.stdout


def test_internal_error_type():
    err = internal_error_type()
    assert issubclass(err, BaseException)
    assert err.__bases__ == (BaseException,)
    assert not issubclass(err, Exception)
    assert not any(getattr(korvel, n) is err for n in dir(korvel))
    # One type for the whole process.
    assert internal_error_type() is err


def test_arguments_bind_like_python_functions(edges10):
    obs = np.full(10, 0.1)
    params = np.array([1.0, 1.0, 1.0])
    base = korvel.py_compute_nll(params, obs, edges10, True)
    assert korvel.py_compute_nll(
        normalize_stw=True, meth_bin_edges=edges10, observed_fracs=obs, params=params
    ) == base
    with pytest.raises(TypeError):
        korvel.py_compute_nll(params, obs, edges10)  # missing
    with pytest.raises(TypeError):
        korvel.py_compute_nll(params, obs, edges10, True, True)  # surplus
    with pytest.raises(TypeError):
        korvel.py_compute_nll(params, obs, edges10, normalize_stw=True, bogus=1)
    with pytest.raises(TypeError):
        korvel.py_compute_nll(params, obs, edges10, True, params=params)  # given twice
