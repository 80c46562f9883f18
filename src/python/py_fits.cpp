// Per-density fits: one bin, and every bin in parallel.
#include "core/state.h"
#include "fits/all_densities.h"
#include "fits/density_fits.h"
#include "python/bindings.h"
#include "python/frame.h"

namespace korvel::py {

namespace {

// The arguments that follow the observed fractions in both three-parameter
// fits, converted in parameter order.
struct ThreeParamSettings {
    ArrayArg edges;
    bool normalize_stw = false;
    Bound st_bounds{}, co_bounds{};
    double n_u = 2.0, n_m = 2.0, co_penalty = 0.0;
};

ThreeParamSettings convert_three_param_settings(ArgConverter& c, PyObject* o_edges,
                                                PyObject* o_norm, PyObject* o_st, PyObject* o_co,
                                                PyObject* o_nu, PyObject* o_nm, PyObject* o_pen) {
    ThreeParamSettings s;
    s.edges = c.to_vector("meth_bin_edges", o_edges);
    s.normalize_stw = c.to_bool("normalize_stw", o_norm);
    s.st_bounds = c.to_pair("st_bounds", o_st);
    s.co_bounds = c.to_pair("co_bounds", o_co);
    s.n_u = c.to_float_or("n_u", o_nu, 2.0);
    s.n_m = c.to_float_or("n_m", o_nm, 2.0);
    s.co_penalty = c.to_float_or("co_penalty", o_pen, 0.0);
    return s;
}

}  // namespace

PyObject* py_fit_one_density(PyObject*, PyObject* args, PyObject* kwargs) {
    static char* names[] = {kw("observed_fracs"), kw("meth_bin_edges"), kw("normalize_stw"),
                            kw("st_bounds"),      kw("co_bounds"),      kw("n_u"),
                            kw("n_m"),            kw("co_penalty"),     nullptr};
    PyObject *o_obs, *o_edges, *o_norm, *o_st, *o_co;
    PyObject *o_nu = nullptr, *o_nm = nullptr, *o_pen = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO|OOO:py_fit_one_density", names, &o_obs,
                                     &o_edges, &o_norm, &o_st, &o_co, &o_nu, &o_nm, &o_pen)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        ArgConverter c;
        ArrayArg a_obs = c.to_vector("observed_fracs", o_obs);
        const ThreeParamSettings s =
            convert_three_param_settings(c, o_edges, o_norm, o_st, o_co, o_nu, o_nm, o_pen);
        std::vector<double> obs = c.copy_vector(a_obs);
        std::vector<double> edges = c.copy_vector(s.edges);
        if (!c.ok()) return nullptr;
        const DensityFit fit = without_gil([&] {
            return fit_one_density_inner(obs, edges, s.normalize_stw, s.st_bounds, s.co_bounds,
                                         s.n_u, s.n_m, s.co_penalty, std::nullopt);
        });
        PyRef st = new_float(fit.st), cow = new_float(fit.cow), coe = new_float(fit.coe),
              nll = new_float(fit.nll);
        return new_tuple({&st, &cow, &coe, &nll}).release();
    });
}

PyObject* py_fit_all_densities(PyObject*, PyObject* args, PyObject* kwargs) {
    static char* names[] = {kw("observed_fracs_2d"), kw("meth_bin_edges"), kw("normalize_stw"),
                            kw("st_bounds"),         kw("co_bounds"),      kw("n_u"),
                            kw("n_m"),               kw("co_penalty"),     nullptr};
    PyObject *o_obs, *o_edges, *o_norm, *o_st, *o_co;
    PyObject *o_nu = nullptr, *o_nm = nullptr, *o_pen = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO|OOO:py_fit_all_densities", names,
                                     &o_obs, &o_edges, &o_norm, &o_st, &o_co, &o_nu, &o_nm,
                                     &o_pen)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        ArgConverter c;
        ArrayArg a_obs = c.to_matrix("observed_fracs_2d", o_obs);
        const ThreeParamSettings s =
            convert_three_param_settings(c, o_edges, o_norm, o_st, o_co, o_nu, o_nm, o_pen);
        RowMatrix obs = c.copy_matrix(a_obs);
        std::vector<double> edges = c.copy_vector(s.edges);
        if (!c.ok()) return nullptr;
        const std::vector<DensityFit> fits = without_gil([&] {
            return fit_all_densities(obs, edges, s.normalize_stw, s.st_bounds, s.co_bounds, s.n_u,
                                     s.n_m, s.co_penalty);
        });
        std::vector<double> fitps(fits.size() * 3), nlls(fits.size());
        for (std::size_t i = 0; i < fits.size(); ++i) {
            fitps[3 * i + 0] = fits[i].st;
            fitps[3 * i + 1] = fits[i].cow;
            fitps[3 * i + 2] = fits[i].coe;
            nlls[i] = fits[i].nll;
        }
        PyRef a = new_matrix(fits.size(), 3, fitps), b = new_vector(nlls);
        return new_tuple({&a, &b}).release();
    });
}

PyObject* py_fit_all_densities_exp(PyObject*, PyObject* args, PyObject* kwargs) {
    static char* names[] = {kw("observed_fracs_2d"), kw("meth_bin_edges"), kw("normalize_stw"),
                            kw("st_bounds"),         kw("co_bounds"),      kw("n_exp_bounds"),
                            kw("co_penalty"),        nullptr};
    PyObject *o_obs, *o_edges, *o_norm, *o_st, *o_co, *o_exp, *o_pen = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOO|O:py_fit_all_densities_exp", names,
                                     &o_obs, &o_edges, &o_norm, &o_st, &o_co, &o_exp, &o_pen)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        ArgConverter c;
        ArrayArg a_obs = c.to_matrix("observed_fracs_2d", o_obs);
        ArrayArg a_edges = c.to_vector("meth_bin_edges", o_edges);
        const bool normalize_stw = c.to_bool("normalize_stw", o_norm);
        const Bound st_bounds = c.to_pair("st_bounds", o_st);
        const Bound co_bounds = c.to_pair("co_bounds", o_co);
        const Bound n_exp_bounds = c.to_pair("n_exp_bounds", o_exp);
        const double co_penalty = c.to_float_or("co_penalty", o_pen, 0.0);
        RowMatrix obs = c.copy_matrix(a_obs);
        std::vector<double> edges = c.copy_vector(a_edges);
        if (!c.ok()) return nullptr;
        const std::vector<DensityExpFit> fits = without_gil([&] {
            return fit_all_densities_exp(obs, edges, normalize_stw, st_bounds, co_bounds,
                                         n_exp_bounds, co_penalty);
        });
        // Column order of the shared-exponent fits: [St, n_U, n_M, CoW, CoE].
        std::vector<double> fitps(fits.size() * 5), nlls(fits.size());
        for (std::size_t i = 0; i < fits.size(); ++i) {
            double* row = &fitps[5 * i];
            row[0] = fits[i].st;
            row[1] = fits[i].n_u;
            row[2] = fits[i].n_m;
            row[3] = fits[i].cow;
            row[4] = fits[i].coe;
            nlls[i] = fits[i].nll;
        }
        PyRef a = new_matrix(fits.size(), 5, fitps), b = new_vector(nlls);
        return new_tuple({&a, &b}).release();
    });
}

}  // namespace korvel::py
