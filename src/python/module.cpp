// Module initialisation and the function table.
#define KORVEL_NUMPY_IMPORT
#include "python/numpy_api.h"

#include <iterator>

#include "python/bindings.h"
#include "python/pyref.h"

namespace korvel::py {
namespace {

#define KORVEL_METHOD(name, doc) \
    {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&name)), \
     METH_VARARGS | METH_KEYWORDS, doc}

// Registration order is the order of __all__. Each docstring starts with the
// text signature, then "--" and an empty line (the interpreter's convention
// for __text_signature__).
PyMethodDef g_methods[] = {
    KORVEL_METHOD(py_set_raw_count,
                  "py_set_raw_count(enabled)\n--\n\n"
                  "Switch the cooperative drives between fraction bases (M/70, U/70; the\n"
                  "default, enabled=False) and raw counts (M, U). Applies to every later\n"
                  "model evaluation in this process."),
    KORVEL_METHOD(py_set_mm_vmax,
                  "py_set_mm_vmax(vmax)\n--\n\n"
                  "Set the Michaelis-Menten ceiling on both cooperative drives for every\n"
                  "later fit and model evaluation: a drive x becomes x / (x / vmax + 1).\n"
                  "+inf (the initial value), -inf or NaN disable the saturation."),
    KORVEL_METHOD(py_compute_nll,
                  "py_compute_nll(params, observed_fracs, meth_bin_edges, normalize_stw)\n--\n\n"
                  "Negative log-likelihood of one density bin's observed bin fractions under\n"
                  "the stationary model with params = (St, CoW, CoE) as plain values,\n"
                  "exponents 2.0 and the run-wide Vmax. normalize_stw=True makes St the\n"
                  "erasing rate (StW = 1), False the writing rate (StE = 1). Returns a float."),
    KORVEL_METHOD(py_compute_model_fracs,
                  "py_compute_model_fracs(ste, stw, cow, coe, meth_bin_edges)\n--\n\n"
                  "Model fraction of each methylation bin for the rates (StE, StW, CoW, CoE),\n"
                  "exponents 2.0 and the run-wide Vmax. meth_bin_edges holds n_meth_bins + 1\n"
                  "edges; returns a float64 array of shape (n_meth_bins,)."),
    KORVEL_METHOD(py_fit_one_density,
                  "py_fit_one_density(observed_fracs, meth_bin_edges, normalize_stw, st_bounds, "
                  "co_bounds, n_u=2.0, n_m=2.0, co_penalty=0.0)\n--\n\n"
                  "Fit St, CoW and CoE of one density bin (differential evolution, then a\n"
                  "Nelder-Mead polish) with the exponents fixed. st_bounds and co_bounds are\n"
                  "(lo, hi) pairs of plain values. Returns (st_free, cow, coe, nll); nll never\n"
                  "contains the co_penalty term."),
    KORVEL_METHOD(py_fit_all_densities,
                  "py_fit_all_densities(observed_fracs_2d, meth_bin_edges, normalize_stw, "
                  "st_bounds, co_bounds, n_u=2.0, n_m=2.0, co_penalty=0.0)\n--\n\n"
                  "Fit every row of observed_fracs_2d (n_densities, n_meth_bins) independently\n"
                  "and in parallel, row i seeded with i. Returns (fitps, nlls): fitps of shape\n"
                  "(n_densities, 3) with columns [St, CoW, CoE], nlls of shape (n_densities,)."),
    KORVEL_METHOD(py_fit_all_densities_exp,
                  "py_fit_all_densities_exp(observed_fracs_2d, meth_bin_edges, normalize_stw, "
                  "st_bounds, co_bounds, n_exp_bounds, co_penalty=0.0)\n--\n\n"
                  "Fit St, CoW, CoE and both exponents of every row of observed_fracs_2d\n"
                  "(n_densities, n_meth_bins) in parallel, row i seeded with i. Returns\n"
                  "(fitps, nlls): fitps of shape (n_densities, 5) with columns\n"
                  "[St, n_U, n_M, CoW, CoE], nlls of shape (n_densities,)."),
    KORVEL_METHOD(py_compute_phase_grids,
                  "py_compute_phase_grids(st_free, normalize_stw, log_cow_grid, log_coe_grid, "
                  "n_u=2.0, n_m=2.0)\n--\n\n"
                  "Solve the stationary model at every (log10 CoW, log10 CoE) grid point and\n"
                  "return (bistability, avg_meth, entropy, frac_inter), four float64 arrays\n"
                  "of shape (n_cow, n_coe); element [i, k] belongs to log_cow_grid[i] and\n"
                  "log_coe_grid[k]."),
    // Drift model (rows 19 to 21 of the table) are registered here, in order.
    KORVEL_METHOD(py_fit_drift_one,
                  "py_fit_drift_one(p0_observed, fit_observed_2d, fit_ages, meth_bin_edges, "
                  "st_bounds)\n--\n\n"
                  "Fit the spontaneous erasing and writing rates (StE, StW) of the drift model\n"
                  "to one data set: p0_observed holds the bin fractions at the reference age 0,\n"
                  "row k of fit_observed_2d (n_fit_ages, n_meth_bins) those at fit_ages[k].\n"
                  "Both rates are searched in st_bounds = (lo, hi), plain values. The search\n"
                  "is seeded from the OS entropy source. Returns (StE, StW, total_NLL)."),
    KORVEL_METHOD(py_fit_drift_bootstrap,
                  "py_fit_drift_bootstrap(p0_per_boot, fit_observed_per_boot, n_boot, "
                  "n_fit_ages, fit_ages, meth_bin_edges, st_bounds)\n--\n\n"
                  "Fit (StE, StW) for every bootstrap sample in parallel, sample b seeded with\n"
                  "b: row b of p0_per_boot holds its age-0 fractions, rows b * n_fit_ages + k\n"
                  "of fit_observed_per_boot its fractions at fit_ages[k]. Returns an array of\n"
                  "shape (n_boot, 3) with rows [StE, StW, total_NLL]. Ctrl+C stops starting\n"
                  "samples and raises KeyboardInterrupt once the running fits have ended."),
    KORVEL_METHOD(py_drift_predict,
                  "py_drift_predict(ste, stw, p0_observed, ages, meth_bin_edges)\n--\n\n"
                  "Predicted bin fractions of the drift model (spontaneous erasing at StE and\n"
                  "writing at StW per site) at each age, starting from the bin fractions\n"
                  "p0_observed at age 0. Returns an array of shape (n_ages, n_meth_bins),\n"
                  "row i for ages[i]; ages may come in any order."),
    {nullptr, nullptr, 0, nullptr},
};

#undef KORVEL_METHOD

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "korvel",
    "Python module.",
    0,  // no per-module state; with -1 a re-import would copy the old module
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The one module of the process; never destroyed.
PyObject* g_module = nullptr;

PyObject* create_module() {
    if (g_module != nullptr) {
        PyErr_SetString(PyExc_ImportError,
                        "korvel cannot be initialised twice in one process");
        return nullptr;
    }
    if (PyArray_ImportNumPyAPI() < 0) return nullptr;
    PyRef module(PyModule_Create(&g_module_def));
    if (!module) return nullptr;
    PyRef name(PyUnicode_FromString("korvel"));
    if (!name) return nullptr;
    PyRef all;
    for (PyMethodDef* def = g_methods; def->ml_name != nullptr; ++def) {
        PyRef fn(PyCFunction_NewEx(def, nullptr, name.get()));
        if (!fn || PyModule_AddObjectRef(module.get(), def->ml_name, fn.get()) < 0) {
            return nullptr;
        }
        if (!all) {
            all = PyRef(PyList_New(0));
            if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) {
                return nullptr;
            }
        }
        PyRef entry(PyUnicode_FromString(def->ml_name));
        if (!entry || PyList_Append(all.get(), entry.get()) < 0) return nullptr;
    }
    g_module = module.get();
    Py_INCREF(g_module);  // the process-wide cell keeps it alive
    return module.release();
}

}  // namespace
}  // namespace korvel::py

PyMODINIT_FUNC PyInit_korvel(void) { return korvel::py::create_module(); }
