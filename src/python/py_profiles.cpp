// Full profiles through the multi-parameter shared fits and the drift fit.
//
// Every argument a profile cannot use is a ValueError naming it, raised
// before any work: a profile runs a whole fit per grid point, and an error
// found by the first worker to reach it would come after minutes of fits
// whose results are thrown away.
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/errors.h"
#include "core/interrupt.h"
#include "core/row_matrix.h"
#include "drift/drift.h"
#include "fits/shared_fits.h"
#include "python/checks.h"
#include "python/signature.h"

namespace korvel::py {

namespace {

// ------------------------------------------------------------ shared fits

struct SharedProfile {
    RowMatrix observed_fracs_2d;
    std::vector<double> meth_bin_edges;
    bool normalize_stw;
    std::size_t parameter, density_idx;
    std::vector<double> grid;
    Bound st_bounds, co_bounds, n_exp_bounds;
    double co_penalty;
    std::optional<std::vector<double>> weights;
    bool fit_vmax = false;
    Bound vmax_bounds{};
    std::optional<std::vector<double>> warm_start;  // the outer search's first start
    bool cold_starts = true;
    bool with_shared = false;
};

// One table for the three profiles; the two exponent modes add the Vmax
// switch and its bounds at the end, as their fits do.
template <class... Extra>
consteval auto shared_profile_signature(const char* name, Extra... extra) {
    return signature<SharedProfile>(
        name,
        arg::matrix("observed_fracs_2d", &SharedProfile::observed_fracs_2d),
        arg::vector("meth_bin_edges", &SharedProfile::meth_bin_edges),
        arg::boolean("normalize_stw", &SharedProfile::normalize_stw),
        arg::count("parameter", &SharedProfile::parameter),
        arg::count("density_idx", &SharedProfile::density_idx),
        arg::short_vector("grid", &SharedProfile::grid, kMaxProfilePoints),
        arg::pair("st_bounds", &SharedProfile::st_bounds),
        arg::pair("co_bounds", &SharedProfile::co_bounds),
        arg::pair("n_exp_bounds", &SharedProfile::n_exp_bounds),
        arg::real("co_penalty", &SharedProfile::co_penalty, 0.0),
        arg::optional_vector("weights", &SharedProfile::weights), extra...);
}

constexpr auto kProfileSharedExp = shared_profile_signature(
    "py_profile_shared_exp", arg::boolean("fit_vmax", &SharedProfile::fit_vmax, false),
    arg::pair("vmax_bounds", &SharedProfile::vmax_bounds, kDefaultVmaxBounds),
    arg::start_point("warm_start", &SharedProfile::warm_start, 4),
    arg::boolean("cold_starts", &SharedProfile::cold_starts, true),
    arg::boolean("with_shared", &SharedProfile::with_shared, false));
constexpr auto kProfileSharedStExp = shared_profile_signature(
    "py_profile_shared_st_exp", arg::boolean("fit_vmax", &SharedProfile::fit_vmax, false),
    arg::pair("vmax_bounds", &SharedProfile::vmax_bounds, kDefaultVmaxBounds));
constexpr auto kProfileGlobalCo = shared_profile_signature(
    "py_profile_global_co", arg::start_point("warm_start", &SharedProfile::warm_start, 3),
    arg::boolean("cold_starts", &SharedProfile::cold_starts, true),
    arg::boolean("with_shared", &SharedProfile::with_shared, false));

void check_shared_profile(const SharedProfile& a) {
    const RowMatrix& fracs = a.observed_fracs_2d;
    if (fracs.rows() == 0) throw ArgumentError("observed_fracs_2d", "has no density rows");
    check::edges("meth_bin_edges", a.meth_bin_edges);
    check::size("observed_fracs_2d", fracs.cols(), a.meth_bin_edges.size() - 1, "columns",
                "the bins of meth_bin_edges");
    check::non_negative("observed_fracs_2d", fracs);
    if (a.weights) check::weights(*a.weights, fracs.rows());
    check::open_bounds("st_bounds", a.st_bounds, true);
    check::open_bounds("co_bounds", a.co_bounds, true);
    check::open_bounds("n_exp_bounds", a.n_exp_bounds, false);
    if (a.fit_vmax) check::open_bounds("vmax_bounds", a.vmax_bounds, true);
    check::non_negative("co_penalty", a.co_penalty);
}

std::optional<std::span<const double>> weights_of(const SharedProfile& a) {
    if (!a.weights) return std::nullopt;
    return std::span<const double>(*a.weights);
}

// Checks, then the kernel with Ctrl+C armed for the call alone; a refused
// argument, found here or by the kernel's own checks before its work, is a
// ValueError, and an interrupted call's values are discarded.
template <class Check, class Kernel>
auto run_checked_kernel(Check check, Kernel kernel) {
    check();
    InterruptGuard interrupt;
    auto values = without_gil([&] { return kernel(interrupt.interruption()); });
    return std::make_pair(std::move(values), interrupt.finish());
}

template <class Check, class Kernel>
PyRef run_checked_profile(Check check, Kernel kernel) {
    auto [values, interrupted] = run_checked_kernel(check, kernel);
    if (interrupted) return PyRef(raise_interrupted());
    return new_vector(values);
}

// The three kernels take the same request; the profile of the shared-co
// mode, whose table has no Vmax pair, leaves fit_vmax false. A warm start is
// exactly four values for shared-exp and three for shared-co, by conversion;
// shared-st-exp takes none.
template <auto Kernel>
PyRef shared_profile(SharedProfile& a) {
    std::optional<SharedExpStart> exp_start;
    std::optional<SharedCoStart> co_start;
    if (a.warm_start) {
        const std::vector<double>& w = *a.warm_start;
        if (w.size() == 4) exp_start = SharedExpStart{w[0], w[1], w[2], w[3]};
        if (w.size() == 3) co_start = SharedCoStart{w[0], w[1], w[2]};
    }
    auto [points, interrupted] = run_checked_kernel([&] { check_shared_profile(a); }, [&](const Interruption& stop) {
        return Kernel({.rows = RowRange(a.observed_fracs_2d, "observed_fracs_2d"),
                       .edges = a.meth_bin_edges,
                       .normalize_stw = a.normalize_stw,
                       .parameter = a.parameter,
                       .density_idx = a.density_idx,
                       .grid = a.grid,
                       .st_bounds = a.st_bounds,
                       .co_bounds = a.co_bounds,
                       .n_exp_bounds = a.n_exp_bounds,
                       .co_penalty = a.co_penalty,
                       .weights = weights_of(a),
                       .fit_vmax = a.fit_vmax,
                       .vmax_bounds = a.vmax_bounds,
                       .exp_start = exp_start,
                       .co_start = co_start,
                       .cold_starts = a.cold_starts},
                      stop);
    });
    if (interrupted) return PyRef(raise_interrupted());
    PyRef nll = new_vector(points.nll);
    if (!a.with_shared) return nll;
    PyRef shared = new_matrix(points.nll.size(), points.width, points.shared);
    return new_tuple({&nll, &shared});
}

// ------------------------------------------------------------------ drift

struct DriftProfile {
    std::vector<double> p0_observed;
    RowMatrix fit_observed_2d;
    std::vector<double> fit_ages, meth_bin_edges;
    Bound st_bounds;
    std::size_t parameter;
    std::vector<double> grid;
};
constexpr auto kProfileDriftLog = signature<DriftProfile>(
    "py_profile_drift_log",
    arg::vector("p0_observed", &DriftProfile::p0_observed),
    arg::matrix("fit_observed_2d", &DriftProfile::fit_observed_2d),
    arg::vector("fit_ages", &DriftProfile::fit_ages),
    arg::vector("meth_bin_edges", &DriftProfile::meth_bin_edges),
    arg::pair("st_bounds", &DriftProfile::st_bounds),
    arg::count("parameter", &DriftProfile::parameter),
    arg::short_vector("grid", &DriftProfile::grid, kMaxDriftProfilePoints));

void check_drift_profile(const DriftProfile& a) {
    check::at_least("fit_ages", a.fit_ages.size(), 1);
    check::drift_inputs("p0_observed", nullptr, a.p0_observed, "fit_observed_2d",
                        a.fit_observed_2d, a.fit_ages.size(), a.fit_ages, a.meth_bin_edges);
    check::open_bounds("st_bounds", a.st_bounds, true);
}

PyRef profile_drift_log(DriftProfile& a) {
    return run_checked_profile([&] { check_drift_profile(a); }, [&](const Interruption& stop) {
        const DriftDistribution p0 = drift_initial_distribution(a.p0_observed, a.meth_bin_edges);
        std::vector<std::span<const double>> rows;
        for (std::size_t i = 0; i < a.fit_observed_2d.rows(); ++i) {
            rows.push_back(a.fit_observed_2d.row(i, "fit_observed_2d"));
        }
        return profile_drift_log_rates(p0, rows, a.fit_ages, a.meth_bin_edges, a.st_bounds,
                                       a.parameter, a.grid, stop);
    });
}

}  // namespace

const Bindings kProfileBindings{
    bind<kProfileSharedExp, shared_profile<profile_shared_exp_inner>>(
        Place{27},
        "Full profile likelihood through the shared-exponent fit (py_fit_shared_exp:\n"
        "St, n_U, n_M and, with fit_vmax, Vmax shared; CoW, CoE per density bin).\n"
        "parameter: 0 St, 3 n_U, 4 n_M, 5 Vmax (only with fit_vmax) profile the\n"
        "shared value; 1 CoW and 2 CoE that of bin density_idx (which must name a\n"
        "row in every case). Entry p holds the parameter at grid[p] and refits every\n"
        "other one: the shared ones by the fit's Nelder-Mead from its cold starts\n"
        "(after warm_start = (St, n_U, n_M, Vmax), the fit's estimate as a rule,\n"
        "when given: moved onto the held value, it keeps the search next to the\n"
        "minimum where the cold starts can stall in a curved valley; with\n"
        "cold_starts=False from warm_start alone, a step along the profile from\n"
        "its neighbouring point's optimum),\n"
        "each bin's coefficients by its own search (the held bin only its other\n"
        "coefficient), bin e seeded with p * n_densities + e, so a profile is\n"
        "identical on any number of threads. The value is sum_e weights[e] * NLL_e\n"
        "(weights None: 1.0 each) in row order, without the co_penalty term, at the\n"
        "best point the search met. Grid values may lie outside the bounds; grid\n"
        "holds at most 1000 values, finite, positive for St, CoW, CoE and Vmax.\n"
        "Every argument is checked before any work (ValueError). Returns a float64\n"
        "array of shape (len(grid),); with with_shared=True, a pair of it and a\n"
        "(len(grid), 4) array of the shared St, n_U, n_M, Vmax at which each value\n"
        "was found (to start a neighbouring point there). Ctrl+C raises\n"
        "KeyboardInterrupt."),

    bind<kProfileSharedStExp, shared_profile<profile_shared_st_exp_inner>>(
        Place{28},
        "Full profile likelihood through the shared-St fit with exponents per bin\n"
        "(py_fit_shared_st_exp_perdensity: St and, with fit_vmax, Vmax shared; CoW,\n"
        "CoE, n_U, n_M per density bin). parameter: 0 St or 5 Vmax (only with\n"
        "fit_vmax) profile the shared value; 1 CoW, 2 CoE, 3 n_U, 4 n_M that of bin\n"
        "density_idx. The shared values are refitted as the fit searches them (Brent\n"
        "over ln St, or Nelder-Mead over log10 St and log10 Vmax); otherwise as\n"
        "py_profile_shared_exp: seeds, value, grid limits, result, Ctrl+C. Every\n"
        "argument is checked before any work (ValueError)."),

    bind<kProfileGlobalCo, shared_profile<profile_global_co_inner>>(
        Place{29},
        "Full profile likelihood through the shared-coefficient fit\n"
        "(py_fit_shared_co: St, CoW and CoE shared; n_U, n_M per density bin).\n"
        "parameter: 0 St, 1 CoW, 2 CoE profile the shared value; 3 n_U and 4 n_M\n"
        "that of bin density_idx. The shared values are refitted by the fit's\n"
        "Nelder-Mead from its cold starts (after warm_start = (St, CoW, CoE) when\n"
        "given, or from it alone with cold_starts=False, as in\n"
        "py_profile_shared_exp), co_penalty added once to each value it\n"
        "compares, as in the fit; the value returned is the weighted NLL sum\n"
        "without it; with_shared=True adds the (len(grid), 3) array of the shared\n"
        "St, CoW, CoE at each value. Otherwise as py_profile_shared_exp: seeds,\n"
        "grid limits, result, Ctrl+C. Every argument is checked before any work (ValueError)."),

    bind<kProfileDriftLog, profile_drift_log>(
        Place{30},
        "Full profile likelihood of one rate of the log-scale drift fit\n"
        "(py_fit_drift_one_log; data arguments as there, st_bounds with\n"
        "0 < lo < hi < inf): parameter 0 profiles StE, 1 StW. Entry p holds the rate\n"
        "at grid[p] and refits the other as the fit does (over its log10 in\n"
        "st_bounds, again below the plateau when the search ends on it), seeded\n"
        "with p, so a profile is identical on any number of threads; the value is\n"
        "the total NLL on the scale of py_fit_drift_one_log's. fit_observed_2d needs\n"
        "one row per fit age. grid holds at most 1000 values, finite and positive,\n"
        "and may leave st_bounds. Every argument is checked before any work\n"
        "(ValueError). Returns a float64 array of shape (len(grid),). Ctrl+C raises\n"
        "KeyboardInterrupt.")};

}  // namespace korvel::py
