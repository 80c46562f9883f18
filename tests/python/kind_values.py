"""Small, valid arguments for every keyword, for tests that call every
registered function (prefix sweep, fuzzing, long runs), and the repeated
calls of the long-run checks (tests/python/test_long_runs.py and
benchmarks/bench_rss.py).

Boxes are zero-width and arrays one row of five bins, so that a fit ends
after one generation of its search and every call takes milliseconds. The
values are chosen per keyword rather than per kind because some keywords
of one kind must agree with each other (edges and fractions, counts and
row numbers).
"""

import numpy as np

from arg_kinds import (BOOL, COUNT, FLOAT, MATRIX, OPT_FLOAT, OPT_VECTOR, PAIR, START, VECTOR,
                       kind_of, parameters)

N_BINS = 5
EDGES = np.linspace(0.0, 1.0, N_BINS + 1)

_BY_KEYWORD = {
    "meth_bin_edges": EDGES,
    "params": np.array([0.5, 2.0, 3.0]),
    "st_grid": np.array([1.0]),
    "cow_grid": np.array([1.0]),
    "coe_grid": np.array([1.0]),
    "log_cow_grid": np.array([0.0]),
    "log_coe_grid": np.array([0.0]),
    "ages": np.array([0.5]),
    # Age 0: the drift fits then need only exp(0) = I, not a 71 x 71
    # exponential per objective value.
    "fit_ages": np.array([0.0]),
    "co_penalty": 0.0,
    "n_u": 2.0,
    "n_m": 2.0,
    "fit_vmax": False,
    "verbose": False,  # the sweeps call the shared fits thousands of times
    "vmax": float("inf"),
    "density_idx": 0,
}

# The full profiles refuse a box with lo == hi (nothing to search on either
# side of the held value): theirs are 1e-6 wide, as narrow for the searches.
_STRICT_BOXES = {"py_profile_shared_exp", "py_profile_shared_st_exp", "py_profile_global_co",
                 "py_profile_drift_log"}
_NARROW_PAIR = (0.5, 0.500001)

_BY_KIND = {
    FLOAT: 0.5,
    OPT_FLOAT: None,
    BOOL: True,
    COUNT: 1,
    PAIR: (0.5, 0.5),
    START: None,
    VECTOR: np.full(N_BINS, 1.0 / N_BINS),
    OPT_VECTOR: None,
    MATRIX: np.full((1, N_BINS), 1.0 / N_BINS),
}


def valid_value(function_name, keyword):
    """A fresh valid value for one argument (arrays are copies)."""
    if keyword in _BY_KEYWORD:
        value = _BY_KEYWORD[keyword]
    elif function_name in _STRICT_BOXES and kind_of(function_name, keyword) == PAIR:
        value = _NARROW_PAIR
    else:
        value = _BY_KIND[kind_of(function_name, keyword)]
    return value.copy() if isinstance(value, np.ndarray) else value


def valid_args(function_name, with_defaults=False):
    """{keyword: value} for the required arguments (and the defaulted ones)."""
    return {name: valid_value(function_name, name)
            for name, _, has_default in parameters(function_name)
            if with_defaults or not has_default}


# ---------------------------------------------------------------- long runs
# For every registered function: a call that succeeds, one that fails
# converting its last argument (every earlier argument converted and let go),
# one whose __float__ raises mid-conversion, and one that ends in the
# internal error after conversion (a strided vector).

class Raises:
    """A float argument whose conversion raises."""

    def __float__(self):
        raise ValueError("no float here")


def fresh(value):
    # A float object of its own, so that its reference count is the call's
    # alone (small ints, True and None are shared by the whole interpreter).
    return float(np.float64(value)) if isinstance(value, float) else value


def cases(fn):
    """[(path name, {keyword: value})] for one function."""
    params = parameters(fn)
    base = {k: fresh(v) for k, v in valid_args(fn).items()}
    out = [("result", base)]
    if not params:
        return out
    last = params[-1][0]
    out.append(("type error", {**base, last: "wrong"}))
    floats = [name for name, kind, _ in params if kind == FLOAT]
    if floats:
        out.append(("raising __float__", {**base, floats[-1]: Raises()}))
    vectors = [name for name, kind, has_default in params if kind == VECTOR and not has_default]
    if vectors:
        name = "meth_bin_edges" if "meth_bin_edges" in vectors else vectors[0]
        v = base[name] if base[name].size >= 2 else np.resize(base[name], 2)
        out.append(("internal error", {**base, name: np.repeat(v, 2)[::2]}))  # strided
    return out


def tracked(args):
    """The argument objects whose reference counts must not grow: the arrays,
    tuples, floats and raising objects of this call (not the shared
    singletons)."""
    return [v for v in args.values()
            if isinstance(v, (np.ndarray, tuple, float, Raises))]


def call(fn, args):
    """fn(**args), with the failures the cases provoke swallowed."""
    try:
        fn(**args)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException:  # noqa: BLE001 - TypeError, ValueError, the internal error
        pass
