"""The module object: function table, signatures, initialisation, error type."""

import numpy as np
import pytest

import korvel
from arg_kinds import FUNCTIONS, text_signature
from conftest import run_python


def test_all_lists_the_stub_functions_in_order():
    # The stub is the one list of the functions; the module orders itself by
    # the place each function claims, and must agree with it.
    assert korvel.__all__ == list(FUNCTIONS)


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_text_signature_is_the_stubs(name):
    fn = getattr(korvel, name)
    assert fn.__text_signature__ == text_signature(name)
    assert fn.__name__ == name
    assert fn.__doc__ and fn.__doc__.strip()
    assert not fn.__doc__.startswith(name)  # the signature line is not part of __doc__


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


def test_internal_error_is_importable_and_what_calls_raise():
    err = korvel.InternalError
    assert err.__bases__ == (BaseException,)  # not caught by "except Exception"
    assert err.__module__ == "korvel" and "InternalError" not in korvel.__all__
    # Empty edges, a sliced vector: both end in the one type of the process.
    for call in (lambda: korvel.py_compute_model_fracs(1.0, 1.0, 1.0, 1.0, np.empty(0)),
                 lambda: korvel.py_drift_predict(1.0, 1.0, np.full(10, 0.1), np.ones(2),
                                                 np.linspace(0.0, 1.0, 21)[::2])):
        with pytest.raises(BaseException) as excinfo:
            call()
        assert type(excinfo.value) is err


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
