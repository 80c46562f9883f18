// Shared-parameter fits and profile likelihoods.
#include <array>
#include <optional>
#include <span>
#include <vector>

#include "core/interrupt.h"
#include "core/row_matrix.h"
#include "fits/profiles.h"
#include "fits/shared_fits.h"
#include "model/model.h"
#include "python/fit_options.h"
#include "python/signature.h"

namespace korvel::py {

namespace {

RowRange density_rows(const RowMatrix& m) { return RowRange(m, "observed_fracs_2d"); }

// The most points a full profile's grid may hold: each is a whole fit, so a
// larger grid is a mistake, and it is refused before it is copied.
constexpr std::size_t kMaxProfileGridPoints = 10'000'000;

// What both full profiles check before any work: fractions that match the
// edges, finite increasing edges, usable boxes and exponents.
void check_profile_inputs(const RowMatrix& fracs, const std::vector<double>& edges,
                          Bound st_bounds, bool st_on_log_scale, Bound co_bounds, double n_u,
                          double n_m) {
    check::edges("meth_bin_edges", edges);
    check::size("observed_fracs_2d", fracs.cols(), edges.size() - 1, "columns",
                "the bins of meth_bin_edges");
    check::non_negative("observed_fracs_2d", fracs);
    check::bounds("st_bounds", st_bounds, st_on_log_scale);
    check::bounds("co_bounds", co_bounds, true);
    check::finite("n_u", n_u);
    check::finite("n_m", n_m);
}

using namespace fit_param;

// What the fits and profiles here take; each function's struct adds its own.
struct RowsArgs : FitOptions {
    RowMatrix observed_fracs_2d;
};

constexpr auto kFracs = arg::matrix("observed_fracs_2d", &RowsArgs::observed_fracs_2d);

// ------------------------------------------------------------ shared St

constexpr auto kSharedSt = signature<RowsArgs>("py_fit_shared_st", kFracs, kEdges, kNormalize,
                                               kStBounds, kCoBounds, kNU, kNM, kPenalty,
                                               kWeights);

PyRef fit_shared_st(RowsArgs& a) {
    const SharedStFit fit = without_gil([&] {
        return fit_shared_st_inner(density_rows(a.observed_fracs_2d), a.meth_bin_edges,
                                   a.normalize_stw, a.st_bounds, a.co_bounds, a.n_u, a.n_m,
                                   a.co_penalty, a.weight_view());
    });
    PyRef st = new_float(fit.st);
    PyRef fitps = matrix_of(fit.densities,
                            [&](const CoFit& f) { return std::array{fit.st, f.cow, f.coe}; });
    PyRef nlls = vector_of(fit.densities, [](const CoFit& f) { return f.nll; });
    return new_tuple({&st, &fitps, &nlls});
}

// The arguments of the two fits with exponent and Vmax bounds.
struct SharedExpArgs : RowsArgs {
    bool fit_vmax = false;
    Bound vmax_bounds{};
    bool verbose = false;  // read only by py_fit_shared_exp, whose table has it
};

// One table for both fits; they differ in the name and in what the shared
// exponent fit adds at the end (its verbose switch).
template <class... Extra>
consteval auto shared_exp_signature(const char* name, Extra... extra) {
    return signature<SharedExpArgs>(
        name, kFracs, kEdges, kNormalize, kStBounds, kCoBounds, kExpBounds, kPenalty, kWeights,
        arg::boolean("fit_vmax", &SharedExpArgs::fit_vmax, false),
        arg::pair("vmax_bounds", &SharedExpArgs::vmax_bounds, kDefaultVmaxBounds), extra...);
}

// ------------------------------------------------------ shared exponents

constexpr auto kSharedExp = shared_exp_signature(
    "py_fit_shared_exp", arg::boolean("verbose", &SharedExpArgs::verbose, true));

PyRef fit_shared_exp(SharedExpArgs& a) {
    // Ctrl+C interrupts this call alone; the guard disarms on every way out.
    InterruptGuard interrupt;
    const SharedExpFit fit = without_gil([&] {
        return fit_shared_exp_inner(density_rows(a.observed_fracs_2d), a.meth_bin_edges,
                                    a.normalize_stw, a.st_bounds, a.co_bounds, a.n_exp_bounds,
                                    a.fit_vmax, a.vmax_bounds, a.co_penalty,
                                    a.weight_view(), a.verbose, std::nullopt,
                                    interrupt.interruption());
    });
    if (interrupt.finish()) return PyRef(raise_interrupted());
    PyRef st = new_float(fit.st), n_u = new_float(fit.n_u), n_m = new_float(fit.n_m),
          vmax = new_float(fit.vmax);
    PyRef fitps = matrix_of(fit.densities,
                            [&](const CoFit& f) { return std::array{fit.st, f.cow, f.coe}; });
    PyRef nlls = vector_of(fit.densities, [](const CoFit& f) { return f.nll; });
    return new_tuple({&st, &n_u, &n_m, &vmax, &fitps, &nlls});
}

// ------------------------------------------ shared St, per-density exponents

constexpr auto kSharedStExp = shared_exp_signature("py_fit_shared_st_exp_perdensity");

PyRef fit_shared_st_exp_perdensity(SharedExpArgs& a) {
    const SharedStExpFit fit = without_gil([&] {
        return fit_shared_st_perdensity_exp_inner(
            density_rows(a.observed_fracs_2d), a.meth_bin_edges, a.normalize_stw, a.st_bounds,
            a.co_bounds, a.n_exp_bounds, a.fit_vmax, a.vmax_bounds, a.co_penalty,
            a.weight_view());
    });
    PyRef st = new_float(fit.st), vmax = new_float(fit.vmax);
    PyRef fitps = matrix_of(fit.densities, [&](const CoExpFit& f) {
        return std::array{fit.st, f.n_u, f.n_m, f.cow, f.coe};
    });
    PyRef nlls = vector_of(fit.densities, [](const CoExpFit& f) { return f.nll; });
    return new_tuple({&st, &vmax, &fitps, &nlls});
}

// ---------------------------------------------- shared (St, CoW, CoE)

struct SharedCo : RowsArgs {
    bool verbose = true;
};
constexpr auto kSharedCo = signature<SharedCo>(
    "py_fit_shared_co", kFracs, kEdges, kNormalize, kStBounds, kCoBounds, kExpBounds, kPenalty,
    kWeights, arg::boolean("verbose", &SharedCo::verbose, true));

PyRef fit_shared_co(SharedCo& a) {
    InterruptGuard interrupt;
    const SharedCoFit fit = without_gil([&] {
        return fit_shared_co_inner(density_rows(a.observed_fracs_2d), a.meth_bin_edges,
                                   a.normalize_stw, a.st_bounds, a.co_bounds, a.n_exp_bounds,
                                   a.co_penalty, a.weight_view(), a.verbose, std::nullopt,
                                   interrupt.interruption());
    });
    if (interrupt.finish()) return PyRef(raise_interrupted());
    PyRef st = new_float(fit.st), cow = new_float(fit.cow), coe = new_float(fit.coe);
    PyRef fitps = matrix_of(fit.densities, [&](const ExpFit& f) {
        return std::array{fit.st, f.n_u, f.n_m, fit.cow, fit.coe};
    });
    PyRef nlls = vector_of(fit.densities, [](const ExpFit& f) { return f.nll; });
    return new_tuple({&st, &cow, &coe, &fitps, &nlls});
}

// ------------------------------------------------------------- profiles

struct ProfileSt : RowsArgs {
    std::vector<double> st_grid;
};
constexpr auto kProfileSt = signature<ProfileSt>(
    "py_profile_shared_st", kFracs, kEdges, kNormalize,
    arg::vector("st_grid", &ProfileSt::st_grid), kCoBounds, kNU, kNM, kWeights);

PyRef profile_shared_st(ProfileSt& a) {
    const std::vector<double> profile = without_gil([&] {
        return profile_shared_st_inner(density_rows(a.observed_fracs_2d), a.meth_bin_edges,
                                       a.normalize_stw, a.st_grid, a.co_bounds, a.n_u, a.n_m,
                                       a.weight_view());
    });
    return new_vector(profile);
}

struct ProfileCo : RowsArgs {
    double shared_st = 0.0;
    std::vector<double> cow_grid, coe_grid;
};
constexpr auto kProfileCo = signature<ProfileCo>(
    "py_profile_shared_co", kFracs, kEdges, kNormalize,
    arg::real("shared_st", &ProfileCo::shared_st),
    arg::vector("cow_grid", &ProfileCo::cow_grid), arg::vector("coe_grid", &ProfileCo::coe_grid),
    kCoBounds, kNU, kNM);

PyRef profile_shared_co(ProfileCo& a) {
    const CoProfiles p = without_gil([&] {
        return profile_shared_co_inner(density_rows(a.observed_fracs_2d), a.meth_bin_edges,
                                       a.normalize_stw, a.shared_st, a.cow_grid, a.coe_grid,
                                       a.co_bounds, a.n_u, a.n_m);
    });
    const std::size_t n_densities = a.observed_fracs_2d.rows();
    PyRef cow_nll = new_matrix(n_densities, a.cow_grid.size(), p.cow_nll);
    PyRef coe_nll = new_matrix(n_densities, a.coe_grid.size(), p.coe_nll);
    return new_tuple({&cow_nll, &coe_nll});
}

// ------------------------------------------------------- full profiles

// The two full profiles of one parameter per density row: the same head,
// then each its own switches.
struct FullProfile : RowsArgs {
    std::size_t parameter = 0;
    RowMatrix grid;
    bool fit_exponents = false;
};

template <class... Extra>
consteval auto full_profile_signature(const char* name, Extra... extra) {
    return signature<FullProfile>(
        name, kFracs, kEdges, kNormalize, arg::count("parameter", &FullProfile::parameter),
        arg::matrix("grid", &FullProfile::grid, kMaxProfileGridPoints), kStBounds, kCoBounds,
        kNU, kNM, extra...);
}

constexpr auto kProfileDensity = full_profile_signature(
    "py_profile_density", arg::boolean("fit_exponents", &FullProfile::fit_exponents, false),
    arg::pair("n_exp_bounds", &FitOptions::n_exp_bounds, kDefaultExpBounds));
constexpr auto kProfileSharedStCo = full_profile_signature("py_profile_shared_st_co", kWeights);

// Both full profiles: Ctrl+C armed for the call alone, the table discarded
// once it has fired.
template <class Kernel>
PyRef run_profile(std::size_t n_densities, std::size_t n_points, Kernel kernel) {
    InterruptGuard interrupt;
    const std::vector<double> table =
        without_gil([&] { return kernel(interrupt.interruption()); });
    if (interrupt.finish()) return PyRef(raise_interrupted());
    return new_matrix(n_densities, n_points, table);
}

PyRef profile_density(FullProfile& a) {
    check_profile_inputs(a.observed_fracs_2d, a.meth_bin_edges, a.st_bounds, false, a.co_bounds,
                         a.n_u, a.n_m);
    if (a.fit_exponents) check::bounds("n_exp_bounds", a.n_exp_bounds, false);
    const std::optional<Bound> n_exp =
        a.fit_exponents ? std::optional<Bound>(a.n_exp_bounds) : std::nullopt;
    return run_profile(a.observed_fracs_2d.rows(), a.grid.cols(), [&](const Interruption& stop) {
        return profile_density_inner(density_rows(a.observed_fracs_2d), a.meth_bin_edges,
                                     a.normalize_stw, a.parameter, RowRange(a.grid, "grid"),
                                     a.st_bounds, a.co_bounds, a.n_u, a.n_m, n_exp, stop);
    });
}

PyRef profile_shared_st_co(FullProfile& a) {
    check_profile_inputs(a.observed_fracs_2d, a.meth_bin_edges, a.st_bounds, true, a.co_bounds,
                         a.n_u, a.n_m);
    if (a.weights) {
        check::size("weights", a.weights->size(), a.observed_fracs_2d.rows(), "entries",
                    "the density rows of observed_fracs_2d");
        check::non_negative("weights", *a.weights);
    }
    return run_profile(a.observed_fracs_2d.rows(), a.grid.cols(), [&](const Interruption& stop) {
        return profile_shared_st_co_inner(density_rows(a.observed_fracs_2d), a.meth_bin_edges,
                                          a.normalize_stw, a.parameter, RowRange(a.grid, "grid"),
                                          a.st_bounds, a.co_bounds, a.n_u, a.n_m,
                                          a.weight_view(), stop);
    });
}

}  // namespace

const Bindings kSharedBindings{
    bind<kSharedSt, fit_shared_st>(
        Place{8},
        "Fit every row of observed_fracs_2d (n_densities, n_meth_bins) under one\n"
        "shared St, each density bin keeping its own CoW and CoE, with the exponents\n"
        "fixed: a Brent search over ln St whose objective refits every bin and sums\n"
        "weights[d] * NLL_d (weights None: 1.0 each). The per-density fits draw their\n"
        "seeds from the OS entropy source, so repeated calls may differ slightly.\n"
        "Returns (shared_st, fitps, nlls): fitps of shape (n_densities, 3) with\n"
        "columns [St, CoW, CoE], nlls of shape (n_densities,), unweighted and\n"
        "without the co_penalty term."),

    bind<kSharedExp, fit_shared_exp>(
        Place{9},
        "Fit every row of observed_fracs_2d under one shared St and one shared pair\n"
        "of exponents (n_U, n_M), optionally one shared Vmax (fit_vmax, searched in\n"
        "vmax_bounds, default (0.001, 1000000.0)), each density bin keeping its own\n"
        "CoW and CoE: Nelder-Mead from five starts, progress lines on standard\n"
        "error unless verbose is False. Bin d is fitted with seed d, so the result\n"
        "is reproducible. Returns (shared_st, shared_n_u, shared_n_m, shared_vmax,\n"
        "fitps, nlls): shared_vmax\n"
        "is the run-wide Vmax unless fitted; fitps (n_densities, 3) with columns\n"
        "[St, CoW, CoE]. Ctrl+C raises KeyboardInterrupt."),

    bind<kSharedStExp, fit_shared_st_exp_perdensity>(
        Place{10},
        "Fit every row of observed_fracs_2d under one shared St (and, with fit_vmax,\n"
        "one shared Vmax searched in vmax_bounds, default (0.001, 1000000.0)), each\n"
        "density bin keeping its own CoW, CoE, n_U and n_M. Bin d is fitted with\n"
        "seed d, so the result is reproducible. Returns (shared_st, shared_vmax,\n"
        "fitps, nlls): fitps (n_densities, 5) with columns [St, n_U, n_M, CoW, CoE];\n"
        "shared_vmax is the run-wide Vmax unless fitted."),

    bind<kSharedCo, fit_shared_co>(
        Place{11},
        "Fit every row of observed_fracs_2d under one shared (St, CoW, CoE), each\n"
        "density bin keeping its own exponents n_U and n_M: Nelder-Mead from seven\n"
        "starts, progress lines on standard error unless verbose is False;\n"
        "co_penalty counts once. Bin d is\n"
        "fitted with seed d, so the result is reproducible. Returns (shared_st,\n"
        "shared_cow, shared_coe, fitps, nlls): fitps (n_densities, 5) with columns\n"
        "[St, n_U, n_M, CoW, CoE]. Ctrl+C raises KeyboardInterrupt."),

    bind<kProfileSt, profile_shared_st>(
        Place{12},
        "Profile likelihood over St: for each st_grid value, refit CoW and CoE of\n"
        "every density bin at that St and sum weights[d] * NLL_d (weights None: 1.0\n"
        "each). The fits draw their seeds from the OS entropy source. Returns a\n"
        "float64 array of shape (n_points,)."),

    bind<kProfileCo, profile_shared_co>(
        Place{13},
        "Profile likelihoods over one coefficient at St = shared_st: cow_nll[d, p]\n"
        "fixes CoW at cow_grid[p] and refits CoE of density bin d in co_bounds;\n"
        "coe_nll[d, p] fixes CoE at coe_grid[p] and refits CoW. The fits draw their\n"
        "seeds from the OS entropy source. Returns (cow_nll, coe_nll) of shapes\n"
        "(n_densities, len(cow_grid)) and (n_densities, len(coe_grid))."),

    bind<kProfileDensity, profile_density>(
        Place{22},
        "Full profile likelihood of one parameter of each density bin's own fit:\n"
        "entry [d, p] is the NLL of row d of observed_fracs_2d with the parameter\n"
        "held at grid[d, p] and every other parameter refitted (differential\n"
        "evolution and Nelder-Mead, seeded with p, so a scan is reproducible on any\n"
        "number of threads). parameter: 0 St, 1 CoW, 2 CoE, 3 n_U, 4 n_M. The fit is\n"
        "(St, CoW, CoE) at exponents n_u, n_m, or, with fit_exponents, all five\n"
        "with the exponents in n_exp_bounds (default (1.0, 4.0)); n_U and n_M are\n"
        "profiled only then. grid has one row per density row; a NaN in it is a\n"
        "point not fitted (NaN in the result). No penalty. Returns a float64 array\n"
        "of shape (n_densities, grid columns), plain NLLs. Ctrl+C raises\n"
        "KeyboardInterrupt. Refused with ValueError before any work: edges not\n"
        "finite and strictly increasing, fractions not one column per bin or\n"
        "negative or not finite, a box without finite lo <= hi (co_bounds also\n"
        "lo > 0), exponents not finite, a grid of more than 10,000,000 points\n"
        "(checked before it is copied)."),

    bind<kProfileSharedStCo, profile_shared_st_co>(
        Place{23},
        "Full profile likelihood of one density bin's CoW (parameter 1) or CoE\n"
        "(parameter 2) in the shared-St fit: entry [d, p] holds that coefficient of\n"
        "row d at grid[d, p] and refits the shared St (Brent over ln St in\n"
        "st_bounds) with every bin's other coefficients, returning the minimum of\n"
        "sum_e weights[e] * NLL_e (weights None: 1.0 each). At grid column p bin e\n"
        "is fitted with seed p * n_densities + e, so a scan is reproducible on any\n"
        "number of threads. grid has one row per density row; a NaN in it is a\n"
        "point not fitted (NaN in the result). Returns a float64 array of shape\n"
        "(n_densities, grid columns). Ctrl+C raises KeyboardInterrupt. Refused with\n"
        "ValueError before any work: edges not finite and strictly increasing,\n"
        "fractions not one column per bin or negative or not finite, a box\n"
        "without finite 0 < lo <= hi, exponents not finite, weights not one per\n"
        "density row or negative or not finite, a grid of more than 10,000,000\n"
        "points (checked before it is copied).")};

}  // namespace korvel::py
