"""Phase-diagram grids over (log10 CoW, log10 CoE)."""

import math

import numpy as np
import pytest

import korvel


def grids(*args, **kwargs):
    return korvel.py_compute_phase_grids(*args, **kwargs)


def test_shapes_and_layout():
    cow = np.array([-1.0, 0.0, 1.0])
    coe = np.array([-0.5, 0.5])
    out = grids(0.3, True, cow, coe)
    assert len(out) == 4
    for g in out:
        assert g.shape == (3, 2) and g.dtype == np.float64 and g.flags.c_contiguous
    # Element [i, k] is the model at CoW = 10^cow[i], CoE = 10^coe[k].
    single = grids(0.3, True, cow[2:3], coe[0:1])
    for g, s in zip(out, single):
        assert g[2, 0] == s[0, 0]


@pytest.mark.parametrize("n_cow,n_coe", [(0, 3), (3, 0), (0, 0)])
def test_empty_grids(n_cow, n_coe):
    out = grids(1.0, True, np.zeros(n_cow), np.zeros(n_coe))
    assert [g.shape for g in out] == [(n_cow, n_coe)] * 4


def test_measures_are_consistent_with_the_binned_model():
    cow, coe = np.array([0.5]), np.array([0.2])
    bistability, avg, entropy, inter = (g[0, 0] for g in grids(1.0, True, cow, coe))
    # These bins hold exactly the low (m <= 13), intermediate (14..56) and high
    # (m >= 57) states; binned fractions are floored at 1e-8 and renormalised,
    # so they agree with the raw class sums to about 1e-8.
    edges = np.array([0.0, 0.19, 0.81, 1.0])
    fr = korvel.py_compute_model_fracs(1.0, 1.0, 10**0.5, 10**0.2, edges)
    assert inter == pytest.approx(fr[1], abs=1e-7)
    assert bistability == pytest.approx(4 * fr[0] * fr[2], abs=1e-7)
    assert 0.0 < avg < 1.0 and 0.0 < entropy < math.log(71)


def test_swapping_coefficients_mirrors_the_measures():
    a, b = np.array([0.7]), np.array([-0.3])
    ab = [g[0, 0] for g in grids(1.0, True, a, b, n_u=3.0, n_m=3.0)]
    ba = [g[0, 0] for g in grids(1.0, True, b, a, n_u=3.0, n_m=3.0)]
    assert ab[0] == pytest.approx(ba[0], rel=1e-9)  # LU rounding only
    assert ab[1] + ba[1] == pytest.approx(1.0, rel=1e-9)
    assert ab[2] == pytest.approx(ba[2], rel=1e-9)
    assert ab[3] == pytest.approx(ba[3], rel=1e-9)


def test_no_writing_puts_all_mass_in_state_zero():
    out = grids(0.0, False, np.array([-np.inf]), np.array([0.0]))
    for g in out:
        assert g[0, 0] == pytest.approx(0.0, abs=1e-12)


def test_zero_exponents_ignore_raw_count_mode():
    cow, coe = np.array([-1.0, 0.3, 1.2]), np.array([0.1, 0.9])
    a = grids(0.4, True, cow, coe, n_u=0.0, n_m=0.0)
    korvel.py_set_raw_count(True)
    b = grids(0.4, True, cow, coe, n_u=0.0, n_m=0.0)
    assert all(x.tobytes() == y.tobytes() for x, y in zip(a, b))


def test_vmax_is_read_and_repeatable():
    cow, coe = np.linspace(-1, 2, 4), np.linspace(-1, 2, 3)
    a = grids(0.4, False, cow, coe)
    assert all(x.tobytes() == y.tobytes() for x, y in zip(a, grids(0.4, False, cow, coe)))
    korvel.py_set_mm_vmax(0.5)
    c = grids(0.4, False, cow, coe)
    assert not np.array_equal(a[1], c[1])


def test_sliced_grid_is_internal_error():
    with pytest.raises(korvel.InternalError):
        grids(1.0, True, np.linspace(0, 1, 6)[::2], np.zeros(2))
