// Run-wide settings, direct model evaluation and phase grids.
#include <cmath>

#include "core/state.h"
#include "fits/phase_grids.h"
#include "python/bindings.h"
#include "python/frame.h"
#include "model/model.h"

namespace korvel::py {

PyObject* py_set_raw_count(PyObject*, PyObject* args, PyObject* kwargs) {
    static char* names[] = {kw("enabled"), nullptr};
    PyObject* o_enabled = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:py_set_raw_count", names, &o_enabled)) {
        return nullptr;
    }
    ArgConverter c;
    const bool enabled = c.to_bool("enabled", o_enabled);
    if (!c.ok()) return nullptr;
    set_raw_count(enabled);
    Py_RETURN_NONE;
}

PyObject* py_set_mm_vmax(PyObject*, PyObject* args, PyObject* kwargs) {
    static char* names[] = {kw("vmax"), nullptr};
    PyObject* o_vmax = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:py_set_mm_vmax", names, &o_vmax)) {
        return nullptr;
    }
    ArgConverter c;
    const double vmax = c.to_float("vmax", o_vmax);
    if (!c.ok()) return nullptr;
    set_mm_vmax(vmax);  // stored unchanged: no value is rejected
    Py_RETURN_NONE;
}

PyObject* py_compute_nll(PyObject*, PyObject* args, PyObject* kwargs) {
    static char* names[] = {kw("params"), kw("observed_fracs"), kw("meth_bin_edges"),
                            kw("normalize_stw"), nullptr};
    PyObject *o_params, *o_obs, *o_edges, *o_norm;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO:py_compute_nll", names, &o_params,
                                     &o_obs, &o_edges, &o_norm)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        ArgConverter c;
        ArrayArg a_params = c.to_vector("params", o_params);
        ArrayArg a_obs = c.to_vector("observed_fracs", o_obs);
        ArrayArg a_edges = c.to_vector("meth_bin_edges", o_edges);
        const bool normalize_stw = c.to_bool("normalize_stw", o_norm);
        std::vector<double> params = c.copy_vector(a_params);
        std::vector<double> obs = c.copy_vector(a_obs);
        std::vector<double> edges = c.copy_vector(a_edges);
        if (!c.ok()) return nullptr;
        if (params.size() < 3) {
            throw InternalError("params has " + std::to_string(params.size()) +
                                " entries; (St, CoW, CoE) needs 3");
        }
        // A short evaluation: computed with the interpreter lock held.
        const double nll = model_nll(params[0], params[1], params[2], obs, edges, normalize_stw,
                                     2.0, 2.0, mm_vmax());
        return new_float(nll).release();
    });
}

PyObject* py_compute_model_fracs(PyObject*, PyObject* args, PyObject* kwargs) {
    static char* names[] = {kw("ste"), kw("stw"), kw("cow"), kw("coe"), kw("meth_bin_edges"),
                            nullptr};
    PyObject *o_ste, *o_stw, *o_cow, *o_coe, *o_edges;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO:py_compute_model_fracs", names, &o_ste,
                                     &o_stw, &o_cow, &o_coe, &o_edges)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        ArgConverter c;
        const double ste = c.to_float("ste", o_ste);
        const double stw = c.to_float("stw", o_stw);
        const double cow = c.to_float("cow", o_cow);
        const double coe = c.to_float("coe", o_coe);
        ArrayArg a_edges = c.to_vector("meth_bin_edges", o_edges);
        std::vector<double> edges = c.copy_vector(a_edges);
        if (!c.ok()) return nullptr;
        const StateVector p = stationary_distribution(ste, stw, cow, coe, 2.0, 2.0, mm_vmax());
        const std::vector<double> fracs = binned_model_fracs(p, edges);
        return new_vector(fracs).release();
    });
}

PyObject* py_compute_phase_grids(PyObject*, PyObject* args, PyObject* kwargs) {
    static char* names[] = {kw("st_free"), kw("normalize_stw"), kw("log_cow_grid"),
                            kw("log_coe_grid"), kw("n_u"), kw("n_m"), nullptr};
    PyObject *o_st, *o_norm, *o_cow, *o_coe, *o_nu = nullptr, *o_nm = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO|OO:py_compute_phase_grids", names,
                                     &o_st, &o_norm, &o_cow, &o_coe, &o_nu, &o_nm)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        ArgConverter c;
        const double st_free = c.to_float("st_free", o_st);
        const bool normalize_stw = c.to_bool("normalize_stw", o_norm);
        ArrayArg a_cow = c.to_vector("log_cow_grid", o_cow);
        ArrayArg a_coe = c.to_vector("log_coe_grid", o_coe);
        const double n_u = c.to_float_or("n_u", o_nu, 2.0);
        const double n_m = c.to_float_or("n_m", o_nm, 2.0);
        std::vector<double> cow_grid = c.copy_vector(a_cow);
        std::vector<double> coe_grid = c.copy_vector(a_coe);
        if (!c.ok()) return nullptr;
        PhaseGrids g = without_gil([&] {
            return compute_phase_grids(st_free, normalize_stw, cow_grid, coe_grid, n_u, n_m);
        });
        const std::size_t rows = cow_grid.size(), cols = coe_grid.size();
        PyRef bi = new_matrix(rows, cols, g.bistability);
        PyRef avg = new_matrix(rows, cols, g.avg_meth);
        PyRef ent = new_matrix(rows, cols, g.entropy);
        PyRef mid = new_matrix(rows, cols, g.frac_inter);
        return new_tuple({&bi, &avg, &ent, &mid}).release();
    });
}

}  // namespace korvel::py
