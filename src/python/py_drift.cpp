// The drift model: prediction across ages and fits of (StE, StW).
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "drift/drift.h"
#include "core/interrupt.h"
#include "python/bindings.h"
#include "python/frame.h"

namespace korvel::py {

namespace {
// The logical rows of a copied matrix, as the drift kernels take them.
std::vector<std::span<const double>> rows_of(const RowMatrix& m, const char* what) {
    std::vector<std::span<const double>> rows;
    rows.reserve(m.rows());
    for (std::size_t i = 0; i < m.rows(); ++i) rows.push_back(m.row(i, what));
    return rows;
}

std::size_t to_size(std::uint64_t count, const char* what) {
    if (count > std::numeric_limits<std::size_t>::max()) {
        throw InternalError(std::string(what) + " does not fit in this platform's sizes");
    }
    return static_cast<std::size_t>(count);
}
}  // namespace

PyObject* py_drift_predict(PyObject*, PyObject* args, PyObject* kwargs) {
    static char* names[] = {kw("ste"), kw("stw"), kw("p0_observed"), kw("ages"),
                            kw("meth_bin_edges"), nullptr};
    PyObject *o_ste, *o_stw, *o_p0, *o_ages, *o_edges;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO:py_drift_predict", names, &o_ste,
                                     &o_stw, &o_p0, &o_ages, &o_edges)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        ArgConverter c;
        const double ste = c.to_float("ste", o_ste);
        const double stw = c.to_float("stw", o_stw);
        ArrayArg a_p0 = c.to_vector("p0_observed", o_p0);
        ArrayArg a_ages = c.to_vector("ages", o_ages);
        ArrayArg a_edges = c.to_vector("meth_bin_edges", o_edges);
        std::vector<double> p0_obs = c.copy_vector(a_p0);
        std::vector<double> ages = c.copy_vector(a_ages);
        std::vector<double> edges = c.copy_vector(a_edges);
        if (!c.ok()) return nullptr;
        // Rows of the prediction, one per age, in the order of the ages.
        std::vector<double> flat = without_gil([&] {
            const DriftDistribution p0 = drift_initial_distribution(p0_obs, edges);
            const std::vector<DriftDistribution> moved =
                propagate_drift(drift_generator(ste, stw), p0, ages);
            std::vector<double> out;
            out.reserve(ages.size() * (edges.size() - 1));
            for (const DriftDistribution& p : moved) {
                const std::vector<double> bins = bin_drift_distribution(p, edges);
                out.insert(out.end(), bins.begin(), bins.end());
            }
            return out;
        });
        return new_matrix(ages.size(), edges.size() - 1, flat).release();
    });
}

PyObject* py_fit_drift_one(PyObject*, PyObject* args, PyObject* kwargs) {
    static char* names[] = {kw("p0_observed"), kw("fit_observed_2d"), kw("fit_ages"),
                            kw("meth_bin_edges"), kw("st_bounds"), nullptr};
    PyObject *o_p0, *o_obs, *o_ages, *o_edges, *o_st;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO:py_fit_drift_one", names, &o_p0, &o_obs,
                                     &o_ages, &o_edges, &o_st)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        ArgConverter c;
        ArrayArg a_p0 = c.to_vector("p0_observed", o_p0);
        ArrayArg a_obs = c.to_matrix("fit_observed_2d", o_obs);
        ArrayArg a_ages = c.to_vector("fit_ages", o_ages);
        ArrayArg a_edges = c.to_vector("meth_bin_edges", o_edges);
        const Bound st_bounds = c.to_pair("st_bounds", o_st);
        std::vector<double> p0_obs = c.copy_vector(a_p0);
        RowMatrix obs = c.copy_matrix(a_obs);
        std::vector<double> ages = c.copy_vector(a_ages);
        std::vector<double> edges = c.copy_vector(a_edges);
        if (!c.ok()) return nullptr;
        const DriftFit fit = without_gil([&] {
            const DriftDistribution p0 = drift_initial_distribution(p0_obs, edges);
            const std::vector<std::span<const double>> rows = rows_of(obs, "fit_observed_2d");
            // Unseeded: keyed from the OS entropy source.
            return fit_drift(p0, rows, ages, edges, st_bounds, std::nullopt);
        });
        PyRef ste = new_float(fit.ste), stw = new_float(fit.stw), nll = new_float(fit.nll);
        return new_tuple({&ste, &stw, &nll}).release();
    });
}

PyObject* py_fit_drift_bootstrap(PyObject*, PyObject* args, PyObject* kwargs) {
    static char* names[] = {kw("p0_per_boot"), kw("fit_observed_per_boot"), kw("n_boot"),
                            kw("n_fit_ages"),  kw("fit_ages"),              kw("meth_bin_edges"),
                            kw("st_bounds"),   nullptr};
    PyObject *o_p0, *o_obs, *o_nboot, *o_nages, *o_ages, *o_edges, *o_st;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOO:py_fit_drift_bootstrap", names, &o_p0,
                                     &o_obs, &o_nboot, &o_nages, &o_ages, &o_edges, &o_st)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        ArgConverter c;
        ArrayArg a_p0 = c.to_matrix("p0_per_boot", o_p0);
        ArrayArg a_obs = c.to_matrix("fit_observed_per_boot", o_obs);
        const std::uint64_t n_boot_arg = c.to_count("n_boot", o_nboot);
        const std::uint64_t n_fit_ages_arg = c.to_count("n_fit_ages", o_nages);
        ArrayArg a_ages = c.to_vector("fit_ages", o_ages);
        ArrayArg a_edges = c.to_vector("meth_bin_edges", o_edges);
        const Bound st_bounds = c.to_pair("st_bounds", o_st);
        RowMatrix p0_rows = c.copy_matrix(a_p0);
        RowMatrix obs_rows = c.copy_matrix(a_obs);
        std::vector<double> ages = c.copy_vector(a_ages);
        std::vector<double> edges = c.copy_vector(a_edges);
        if (!c.ok()) return nullptr;
        const std::size_t n_boot = to_size(n_boot_arg, "n_boot");
        const std::size_t n_fit_ages = to_size(n_fit_ages_arg, "n_fit_ages");

        // Ctrl+C interrupts this call alone: samples not yet started are
        // skipped and running fits wind down. The guard disarms on every way
        // out, including an internal error from a worker.
        InterruptGuard interrupt;
        const std::vector<DriftFit> fits = without_gil([&] {
            return fit_drift_bootstrap(p0_rows, obs_rows, n_boot, n_fit_ages, ages, edges,
                                       st_bounds, interrupt.interruption());
        });
        if (interrupt.finish()) return raise_interrupted();
        std::vector<double> flat(fits.size() * 3);
        for (std::size_t b = 0; b < fits.size(); ++b) {
            flat[3 * b + 0] = fits[b].ste;
            flat[3 * b + 1] = fits[b].stw;
            flat[3 * b + 2] = fits[b].nll;
        }
        return new_matrix(fits.size(), 3, flat).release();
    });
}

}  // namespace korvel::py
