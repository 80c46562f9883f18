// Per-density fits: one bin, and every bin in parallel.
#include <array>
#include <optional>
#include <vector>

#include "core/row_matrix.h"
#include "core/state.h"
#include "fits/all_densities.h"
#include "fits/density_fits.h"
#include "model/model.h"
#include "python/signature.h"

namespace korvel::py {

namespace {

struct OneDensity {
    std::vector<double> observed_fracs, meth_bin_edges;
    bool normalize_stw;
    Bound st_bounds, co_bounds;
    double n_u, n_m, co_penalty;
};
constexpr auto kOneDensity = signature<OneDensity>(
    "py_fit_one_density",
    arg::vector("observed_fracs", &OneDensity::observed_fracs),
    arg::vector("meth_bin_edges", &OneDensity::meth_bin_edges),
    arg::boolean("normalize_stw", &OneDensity::normalize_stw),
    arg::pair("st_bounds", &OneDensity::st_bounds),
    arg::pair("co_bounds", &OneDensity::co_bounds),
    arg::real("n_u", &OneDensity::n_u, kDefaultExponent),
    arg::real("n_m", &OneDensity::n_m, kDefaultExponent),
    arg::real("co_penalty", &OneDensity::co_penalty, 0.0));

PyRef fit_one_density(OneDensity& a) {
    const DensityFit fit = without_gil([&] {
        // Unseeded: keyed from the OS entropy source.
        return fit_one_density_inner(a.observed_fracs, a.meth_bin_edges, a.normalize_stw,
                                     a.st_bounds, a.co_bounds, a.n_u, a.n_m, a.co_penalty,
                                     std::nullopt);
    });
    PyRef st = new_float(fit.st), cow = new_float(fit.cow), coe = new_float(fit.coe),
          nll = new_float(fit.nll);
    return new_tuple({&st, &cow, &coe, &nll});
}

struct AllDensities {
    RowMatrix observed_fracs_2d;
    std::vector<double> meth_bin_edges;
    bool normalize_stw;
    Bound st_bounds, co_bounds;
    double n_u, n_m, co_penalty;
};
constexpr auto kAllDensities = signature<AllDensities>(
    "py_fit_all_densities",
    arg::matrix("observed_fracs_2d", &AllDensities::observed_fracs_2d),
    arg::vector("meth_bin_edges", &AllDensities::meth_bin_edges),
    arg::boolean("normalize_stw", &AllDensities::normalize_stw),
    arg::pair("st_bounds", &AllDensities::st_bounds),
    arg::pair("co_bounds", &AllDensities::co_bounds),
    arg::real("n_u", &AllDensities::n_u, kDefaultExponent),
    arg::real("n_m", &AllDensities::n_m, kDefaultExponent),
    arg::real("co_penalty", &AllDensities::co_penalty, 0.0));

PyRef fit_all_densities_body(AllDensities& a) {
    const std::vector<DensityFit> fits = without_gil([&] {
        return fit_all_densities(a.observed_fracs_2d, a.meth_bin_edges, a.normalize_stw,
                                 a.st_bounds, a.co_bounds, a.n_u, a.n_m, a.co_penalty);
    });
    PyRef fitps = matrix_of(fits, [](const DensityFit& f) { return std::array{f.st, f.cow, f.coe}; });
    PyRef nlls = vector_of(fits, [](const DensityFit& f) { return f.nll; });
    return new_tuple({&fitps, &nlls});
}

struct AllDensitiesExp {
    RowMatrix observed_fracs_2d;
    std::vector<double> meth_bin_edges;
    bool normalize_stw;
    Bound st_bounds, co_bounds, n_exp_bounds;
    double co_penalty;
};
constexpr auto kAllDensitiesExp = signature<AllDensitiesExp>(
    "py_fit_all_densities_exp",
    arg::matrix("observed_fracs_2d", &AllDensitiesExp::observed_fracs_2d),
    arg::vector("meth_bin_edges", &AllDensitiesExp::meth_bin_edges),
    arg::boolean("normalize_stw", &AllDensitiesExp::normalize_stw),
    arg::pair("st_bounds", &AllDensitiesExp::st_bounds),
    arg::pair("co_bounds", &AllDensitiesExp::co_bounds),
    arg::pair("n_exp_bounds", &AllDensitiesExp::n_exp_bounds),
    arg::real("co_penalty", &AllDensitiesExp::co_penalty, 0.0));

PyRef fit_all_densities_exp_body(AllDensitiesExp& a) {
    const std::vector<DensityExpFit> fits = without_gil([&] {
        return fit_all_densities_exp(a.observed_fracs_2d, a.meth_bin_edges, a.normalize_stw,
                                     a.st_bounds, a.co_bounds, a.n_exp_bounds, a.co_penalty);
    });
    // Column order of the shared-exponent fits: [St, n_U, n_M, CoW, CoE].
    PyRef fitps = matrix_of(fits, [](const DensityExpFit& f) {
        return std::array{f.st, f.n_u, f.n_m, f.cow, f.coe};
    });
    PyRef nlls = vector_of(fits, [](const DensityExpFit& f) { return f.nll; });
    return new_tuple({&fitps, &nlls});
}

}  // namespace

const Bindings kFitBindings{
    bind<kOneDensity, fit_one_density>(
        Place{5},
        "Fit St, CoW and CoE of one density bin (differential evolution, then a\n"
        "Nelder-Mead polish) with the exponents fixed. st_bounds and co_bounds are\n"
        "(lo, hi) pairs of plain values. The search is seeded from the OS entropy\n"
        "source, so repeated calls may differ. Returns (st_free, cow, coe, nll); nll\n"
        "never contains the co_penalty term."),

    bind<kAllDensities, fit_all_densities_body>(
        Place{6},
        "Fit every row of observed_fracs_2d (n_densities, n_meth_bins) independently\n"
        "and in parallel, row i seeded with i. Returns (fitps, nlls): fitps of shape\n"
        "(n_densities, 3) with columns [St, CoW, CoE], nlls of shape (n_densities,)."),

    bind<kAllDensitiesExp, fit_all_densities_exp_body>(
        Place{7},
        "Fit St, CoW, CoE and both exponents of every row of observed_fracs_2d\n"
        "(n_densities, n_meth_bins) in parallel, row i seeded with i. Returns\n"
        "(fitps, nlls): fitps of shape (n_densities, 5) with columns\n"
        "[St, n_U, n_M, CoW, CoE], nlls of shape (n_densities,).")};

}  // namespace korvel::py
