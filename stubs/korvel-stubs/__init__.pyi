"""Type stubs for the korvel extension module."""

import numpy as np
from numpy.typing import NDArray

__all__: list[str]

_Vector = NDArray[np.float64]
_Matrix = NDArray[np.float64]
_Bool = bool | np.bool_
_Float = float | int
_Pair = tuple[float, float]

class InternalError(BaseException):
    """A computation failed: an input it cannot use, an optimiser error, or a result it could not build."""

def py_set_raw_count(enabled: _Bool) -> None: ...
def py_set_mm_vmax(vmax: _Float) -> None: ...
def py_compute_nll(
    params: _Vector, observed_fracs: _Vector, meth_bin_edges: _Vector, normalize_stw: _Bool
) -> float: ...
def py_compute_model_fracs(
    ste: _Float,
    stw: _Float,
    cow: _Float,
    coe: _Float,
    meth_bin_edges: _Vector,
    n_u: _Float = 2.0,
    n_m: _Float = 2.0,
    vmax: _Float | None = None,
) -> _Vector: ...
def py_fit_one_density(
    observed_fracs: _Vector,
    meth_bin_edges: _Vector,
    normalize_stw: _Bool,
    st_bounds: _Pair,
    co_bounds: _Pair,
    n_u: _Float = 2.0,
    n_m: _Float = 2.0,
    co_penalty: _Float = 0.0,
) -> tuple[float, float, float, float]: ...
def py_fit_all_densities(
    observed_fracs_2d: _Matrix,
    meth_bin_edges: _Vector,
    normalize_stw: _Bool,
    st_bounds: _Pair,
    co_bounds: _Pair,
    n_u: _Float = 2.0,
    n_m: _Float = 2.0,
    co_penalty: _Float = 0.0,
) -> tuple[_Matrix, _Vector]: ...
def py_fit_all_densities_exp(
    observed_fracs_2d: _Matrix,
    meth_bin_edges: _Vector,
    normalize_stw: _Bool,
    st_bounds: _Pair,
    co_bounds: _Pair,
    n_exp_bounds: _Pair,
    co_penalty: _Float = 0.0,
) -> tuple[_Matrix, _Vector]: ...
def py_fit_shared_st(
    observed_fracs_2d: _Matrix,
    meth_bin_edges: _Vector,
    normalize_stw: _Bool,
    st_bounds: _Pair,
    co_bounds: _Pair,
    n_u: _Float = 2.0,
    n_m: _Float = 2.0,
    co_penalty: _Float = 0.0,
    weights: _Vector | None = None,
) -> tuple[float, _Matrix, _Vector]: ...
def py_fit_shared_exp(
    observed_fracs_2d: _Matrix,
    meth_bin_edges: _Vector,
    normalize_stw: _Bool,
    st_bounds: _Pair,
    co_bounds: _Pair,
    n_exp_bounds: _Pair,
    co_penalty: _Float = 0.0,
    weights: _Vector | None = None,
    fit_vmax: _Bool = False,
    vmax_bounds: _Pair = ...,
    verbose: _Bool = True,
) -> tuple[float, float, float, float, _Matrix, _Vector]: ...
def py_fit_shared_st_exp_perdensity(
    observed_fracs_2d: _Matrix,
    meth_bin_edges: _Vector,
    normalize_stw: _Bool,
    st_bounds: _Pair,
    co_bounds: _Pair,
    n_exp_bounds: _Pair,
    co_penalty: _Float = 0.0,
    weights: _Vector | None = None,
    fit_vmax: _Bool = False,
    vmax_bounds: _Pair = ...,
) -> tuple[float, float, _Matrix, _Vector]: ...
def py_fit_shared_co(
    observed_fracs_2d: _Matrix,
    meth_bin_edges: _Vector,
    normalize_stw: _Bool,
    st_bounds: _Pair,
    co_bounds: _Pair,
    n_exp_bounds: _Pair,
    co_penalty: _Float = 0.0,
    weights: _Vector | None = None,
    verbose: _Bool = True,
) -> tuple[float, float, float, _Matrix, _Vector]: ...
def py_profile_shared_st(
    observed_fracs_2d: _Matrix,
    meth_bin_edges: _Vector,
    normalize_stw: _Bool,
    st_grid: _Vector,
    co_bounds: _Pair,
    n_u: _Float = 2.0,
    n_m: _Float = 2.0,
    weights: _Vector | None = None,
) -> _Vector: ...
def py_profile_shared_co(
    observed_fracs_2d: _Matrix,
    meth_bin_edges: _Vector,
    normalize_stw: _Bool,
    shared_st: _Float,
    cow_grid: _Vector,
    coe_grid: _Vector,
    co_bounds: _Pair,
    n_u: _Float = 2.0,
    n_m: _Float = 2.0,
) -> tuple[_Matrix, _Matrix]: ...
def py_fit_bootstrap(
    bootstrap_fracs: _Matrix,
    n_boot: int,
    n_densities: int,
    meth_bin_edges: _Vector,
    normalize_stw: _Bool,
    shared_st: _Bool,
    fix_st: _Bool,
    st_bounds: _Pair,
    co_bounds: _Pair,
    n_u: _Float = 2.0,
    n_m: _Float = 2.0,
    co_penalty: _Float = 0.0,
    weights: _Vector | None = None,
    progress: int = 0,
) -> _Matrix: ...
def py_fit_bootstrap_exp(
    bootstrap_fracs: _Matrix,
    n_boot: int,
    n_densities: int,
    meth_bin_edges: _Vector,
    normalize_stw: _Bool,
    st_bounds: _Pair,
    co_bounds: _Pair,
    n_exp_bounds: _Pair,
    co_penalty: _Float = 0.0,
    weights: _Vector | None = None,
    warm_start: tuple[float, float, float, float] | None = None,
    fit_vmax: _Bool = False,
    vmax_bounds: _Pair = ...,
    progress: int = 0,
) -> _Matrix: ...
def py_fit_bootstrap_exp_perdensity(
    bootstrap_fracs: _Matrix,
    n_boot: int,
    n_densities: int,
    meth_bin_edges: _Vector,
    normalize_stw: _Bool,
    shared_st: _Bool,
    st_bounds: _Pair,
    co_bounds: _Pair,
    n_exp_bounds: _Pair,
    co_penalty: _Float = 0.0,
    weights: _Vector | None = None,
    fit_vmax: _Bool = False,
    vmax_bounds: _Pair = ...,
    progress: int = 0,
) -> _Matrix: ...
def py_fit_bootstrap_co(
    bootstrap_fracs: _Matrix,
    n_boot: int,
    n_densities: int,
    meth_bin_edges: _Vector,
    normalize_stw: _Bool,
    st_bounds: _Pair,
    co_bounds: _Pair,
    n_exp_bounds: _Pair,
    co_penalty: _Float = 0.0,
    weights: _Vector | None = None,
    warm_start: tuple[float, float, float] | None = None,
    progress: int = 0,
) -> _Matrix: ...
def py_compute_phase_grids(
    st_free: _Float,
    normalize_stw: _Bool,
    log_cow_grid: _Vector,
    log_coe_grid: _Vector,
    n_u: _Float = 2.0,
    n_m: _Float = 2.0,
) -> tuple[_Matrix, _Matrix, _Matrix, _Matrix]: ...
def py_fit_drift_one(
    p0_observed: _Vector,
    fit_observed_2d: _Matrix,
    fit_ages: _Vector,
    meth_bin_edges: _Vector,
    st_bounds: _Pair,
) -> tuple[float, float, float]: ...
def py_fit_drift_bootstrap(
    p0_per_boot: _Matrix,
    fit_observed_per_boot: _Matrix,
    n_boot: int,
    n_fit_ages: int,
    fit_ages: _Vector,
    meth_bin_edges: _Vector,
    st_bounds: _Pair,
) -> _Matrix: ...
def py_drift_predict(
    ste: _Float, stw: _Float, p0_observed: _Vector, ages: _Vector, meth_bin_edges: _Vector
) -> _Matrix: ...
def py_profile_density(
    observed_fracs_2d: _Matrix,
    meth_bin_edges: _Vector,
    normalize_stw: _Bool,
    parameter: int,
    grid: _Matrix,
    st_bounds: _Pair,
    co_bounds: _Pair,
    n_u: _Float = 2.0,
    n_m: _Float = 2.0,
    fit_exponents: _Bool = False,
    n_exp_bounds: _Pair = ...,
) -> _Matrix: ...
def py_profile_shared_st_co(
    observed_fracs_2d: _Matrix,
    meth_bin_edges: _Vector,
    normalize_stw: _Bool,
    parameter: int,
    grid: _Matrix,
    st_bounds: _Pair,
    co_bounds: _Pair,
    n_u: _Float = 2.0,
    n_m: _Float = 2.0,
    weights: _Vector | None = None,
) -> _Matrix: ...
def py_thread_count() -> int: ...
def py_fit_drift_one_log(
    p0_observed: _Vector,
    fit_observed_2d: _Matrix,
    fit_ages: _Vector,
    meth_bin_edges: _Vector,
    st_bounds: _Pair,
    seed: int,
) -> tuple[float, float, float]: ...
def py_fit_drift_bootstrap_log(
    p0_per_boot: _Matrix,
    fit_observed_per_boot: _Matrix,
    n_boot: int,
    n_fit_ages: int,
    fit_ages: _Vector,
    meth_bin_edges: _Vector,
    st_bounds: _Pair,
) -> _Matrix: ...
def py_profile_shared_exp(
    observed_fracs_2d: _Matrix,
    meth_bin_edges: _Vector,
    normalize_stw: _Bool,
    parameter: int,
    density_idx: int,
    grid: _Vector,
    st_bounds: _Pair,
    co_bounds: _Pair,
    n_exp_bounds: _Pair,
    co_penalty: _Float = 0.0,
    weights: _Vector | None = None,
    fit_vmax: _Bool = False,
    vmax_bounds: _Pair = ...,
    warm_start: tuple[float, float, float, float] | None = None,
    cold_starts: _Bool = True,
    with_shared: _Bool = False,
) -> _Vector | tuple[_Vector, _Matrix]: ...
def py_profile_shared_st_exp(
    observed_fracs_2d: _Matrix,
    meth_bin_edges: _Vector,
    normalize_stw: _Bool,
    parameter: int,
    density_idx: int,
    grid: _Vector,
    st_bounds: _Pair,
    co_bounds: _Pair,
    n_exp_bounds: _Pair,
    co_penalty: _Float = 0.0,
    weights: _Vector | None = None,
    fit_vmax: _Bool = False,
    vmax_bounds: _Pair = ...,
) -> _Vector: ...
def py_profile_global_co(
    observed_fracs_2d: _Matrix,
    meth_bin_edges: _Vector,
    normalize_stw: _Bool,
    parameter: int,
    density_idx: int,
    grid: _Vector,
    st_bounds: _Pair,
    co_bounds: _Pair,
    n_exp_bounds: _Pair,
    co_penalty: _Float = 0.0,
    weights: _Vector | None = None,
    warm_start: tuple[float, float, float] | None = None,
    cold_starts: _Bool = True,
    with_shared: _Bool = False,
) -> _Vector | tuple[_Vector, _Matrix]: ...
def py_profile_drift_log(
    p0_observed: _Vector,
    fit_observed_2d: _Matrix,
    fit_ages: _Vector,
    meth_bin_edges: _Vector,
    st_bounds: _Pair,
    parameter: int,
    grid: _Vector,
) -> _Vector: ...
def py_work_done(slot: int) -> tuple[int, int]: ...
