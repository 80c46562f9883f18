"""What kind of value each keyword of korvel's functions takes.

The same keyword has the same kind in every function, with three exceptions:
`shared_st` is a float in py_profile_shared_co and a bool in the bootstraps,
`vmax` may also be None (the run-wide ceiling) in py_compute_model_fracs, and
`warm_start` holds four floats for py_fit_bootstrap_exp and three for
py_fit_bootstrap_co. Tests that sweep every argument of every registered
function (argument-name prefixes, hostile values, reference counts) read the
parameter lists from the functions' own text signatures and the kinds from
here, so a function registered later is covered without another table.
"""

import inspect

import korvel

FLOAT, OPT_FLOAT, BOOL, COUNT, PAIR, START, VECTOR, OPT_VECTOR, MATRIX = (
    "float", "optional float", "bool", "count", "pair", "start", "vector", "optional vector",
    "matrix")

KINDS = {
    **dict.fromkeys(["ste", "stw", "cow", "coe", "st_free", "vmax", "n_u", "n_m",
                     "co_penalty"], FLOAT),
    **dict.fromkeys(["normalize_stw", "enabled", "fix_st", "fit_vmax",
                     "fit_exponents"], BOOL),
    **dict.fromkeys(["n_boot", "n_densities", "n_fit_ages", "parameter"], COUNT),
    **dict.fromkeys(["st_bounds", "co_bounds", "n_exp_bounds", "vmax_bounds"], PAIR),
    "warm_start": START,
    **dict.fromkeys(["params", "observed_fracs", "meth_bin_edges", "st_grid", "cow_grid",
                     "coe_grid", "log_cow_grid", "log_coe_grid", "p0_observed", "ages",
                     "fit_ages"], VECTOR),
    "weights": OPT_VECTOR,
    **dict.fromkeys(["observed_fracs_2d", "bootstrap_fracs", "fit_observed_2d",
                     "p0_per_boot", "fit_observed_per_boot", "grid"], MATRIX),
}

WARM_START_LENGTH = {"py_fit_bootstrap_exp": 4, "py_fit_bootstrap_co": 3}


def kind_of(function_name, keyword):
    if keyword == "shared_st":
        return FLOAT if function_name == "py_profile_shared_co" else BOOL
    if keyword == "vmax" and function_name == "py_compute_model_fracs":
        return OPT_FLOAT
    return KINDS[keyword]


def parameters(function_name):
    """[(keyword, kind, has_default)] in parameter order, from the text signature."""
    sig = inspect.signature(getattr(korvel, function_name))
    return [(p.name, kind_of(function_name, p.name), p.default is not inspect.Parameter.empty)
            for p in sig.parameters.values()]
