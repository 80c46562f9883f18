// The drift model: prediction across ages and fits of (StE, StW).
#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "core/interrupt.h"
#include "core/row_matrix.h"
#include "drift/drift.h"
#include "python/checks.h"
#include "python/signature.h"

namespace korvel::py {

namespace {

// The logical rows of a copied matrix, as the drift kernels take them.
std::vector<std::span<const double>> rows_of(const RowMatrix& m, const char* what) {
    std::vector<std::span<const double>> rows;
    rows.reserve(m.rows());
    for (std::size_t i = 0; i < m.rows(); ++i) rows.push_back(m.row(i, what));
    return rows;
}

struct Predict {
    double ste, stw;
    std::vector<double> p0_observed, ages, meth_bin_edges;
};
constexpr auto kPredict = signature<Predict>(
    "py_drift_predict",
    arg::real("ste", &Predict::ste),
    arg::real("stw", &Predict::stw),
    arg::vector("p0_observed", &Predict::p0_observed),
    arg::vector("ages", &Predict::ages),
    arg::vector("meth_bin_edges", &Predict::meth_bin_edges));

PyRef drift_predict(Predict& a) {
    // Rows of the prediction, one per age, in the order of the ages.
    const std::vector<double> flat = without_gil([&] {
        const DriftDistribution p0 = drift_initial_distribution(a.p0_observed, a.meth_bin_edges);
        const std::vector<DriftDistribution> moved =
            propagate_drift(drift_generator(a.ste, a.stw), p0, a.ages);
        std::vector<double> out;
        out.reserve(a.ages.size() * (a.meth_bin_edges.size() - 1));
        for (const DriftDistribution& p : moved) {
            const std::vector<double> bins = bin_drift_distribution(p, a.meth_bin_edges);
            out.insert(out.end(), bins.begin(), bins.end());
        }
        return out;
    });
    return new_matrix(a.ages.size(), a.meth_bin_edges.size() - 1, flat);
}

struct DriftOne {
    std::vector<double> p0_observed;
    RowMatrix fit_observed_2d;
    std::vector<double> fit_ages, meth_bin_edges;
    Bound st_bounds;
};
constexpr auto kDriftOne = signature<DriftOne>(
    "py_fit_drift_one",
    arg::vector("p0_observed", &DriftOne::p0_observed),
    arg::matrix("fit_observed_2d", &DriftOne::fit_observed_2d),
    arg::vector("fit_ages", &DriftOne::fit_ages),
    arg::vector("meth_bin_edges", &DriftOne::meth_bin_edges),
    arg::pair("st_bounds", &DriftOne::st_bounds));

PyRef fit_drift_one(DriftOne& a) {
    const DriftFit fit = without_gil([&] {
        const DriftDistribution p0 = drift_initial_distribution(a.p0_observed, a.meth_bin_edges);
        const std::vector<std::span<const double>> rows =
            rows_of(a.fit_observed_2d, "fit_observed_2d");
        // Unseeded: keyed from the OS entropy source.
        return fit_drift(p0, rows, a.fit_ages, a.meth_bin_edges, a.st_bounds, std::nullopt);
    });
    PyRef ste = new_float(fit.ste), stw = new_float(fit.stw), nll = new_float(fit.nll);
    return new_tuple({&ste, &stw, &nll});
}

struct DriftBootstrap {
    RowMatrix p0_per_boot, fit_observed_per_boot;
    std::size_t n_boot, n_fit_ages;
    std::vector<double> fit_ages, meth_bin_edges;
    Bound st_bounds;
};
// The two bootstraps take the same arguments; they differ in how each sample
// is fitted.
consteval auto drift_bootstrap_signature(const char* name) {
    return signature<DriftBootstrap>(
        name,
        arg::matrix("p0_per_boot", &DriftBootstrap::p0_per_boot),
        arg::matrix("fit_observed_per_boot", &DriftBootstrap::fit_observed_per_boot),
        arg::count("n_boot", &DriftBootstrap::n_boot),
        arg::count("n_fit_ages", &DriftBootstrap::n_fit_ages),
        arg::vector("fit_ages", &DriftBootstrap::fit_ages),
        arg::vector("meth_bin_edges", &DriftBootstrap::meth_bin_edges),
        arg::pair("st_bounds", &DriftBootstrap::st_bounds));
}
constexpr auto kDriftBootstrap = drift_bootstrap_signature("py_fit_drift_bootstrap");
constexpr auto kDriftBootstrapLog = drift_bootstrap_signature("py_fit_drift_bootstrap_log");

template <DriftRates Rates>
PyRef drift_bootstrap_body(DriftBootstrap& a) {
    // Ctrl+C interrupts this call alone: samples not yet started are
    // skipped and running fits wind down. The guard disarms on every way
    // out, including an internal error from a worker or refused bounds.
    InterruptGuard interrupt;
    const std::vector<DriftFit> fits = without_gil([&] {
        return fit_drift_bootstrap(a.p0_per_boot, a.fit_observed_per_boot, a.n_boot,
                                   a.n_fit_ages, a.fit_ages, a.meth_bin_edges, a.st_bounds,
                                   interrupt.interruption(), Rates);
    });
    if (interrupt.finish()) return PyRef(raise_interrupted());
    return matrix_of(fits, [](const DriftFit& f) { return std::array{f.ste, f.stw, f.nll}; });
}

// The log-scale bootstrap checks its arguments first; the plain one keeps
// taking them as given.
PyRef drift_bootstrap_log_body(DriftBootstrap& a) {
    check_log_bounds(a.st_bounds);
    check::at_least("n_fit_ages", a.n_fit_ages, 1);
    check::size("fit_ages", a.fit_ages.size(), a.n_fit_ages, "entries", "the n_fit_ages ages");
    check::size("p0_per_boot", a.p0_per_boot.rows(), a.n_boot, "rows", "the n_boot samples");
    // Both factors count arrays held in memory, but their product need not fit.
    if (a.n_boot > std::numeric_limits<std::size_t>::max() / a.n_fit_ages) {
        throw ArgumentError("n_boot", "times n_fit_ages is more rows than any "
                                      "fit_observed_per_boot can hold");
    }
    check::drift_inputs("p0_per_boot", &a.p0_per_boot, {}, "fit_observed_per_boot",
                        a.fit_observed_per_boot, a.n_boot * a.n_fit_ages, a.fit_ages,
                        a.meth_bin_edges);
    return drift_bootstrap_body<DriftRates::kLog>(a);
}

struct DriftOneLog {
    std::vector<double> p0_observed;
    RowMatrix fit_observed_2d;
    std::vector<double> fit_ages, meth_bin_edges;
    Bound st_bounds;
    std::size_t seed;
};
constexpr auto kDriftOneLog = signature<DriftOneLog>(
    "py_fit_drift_one_log",
    arg::vector("p0_observed", &DriftOneLog::p0_observed),
    arg::matrix("fit_observed_2d", &DriftOneLog::fit_observed_2d),
    arg::vector("fit_ages", &DriftOneLog::fit_ages),
    arg::vector("meth_bin_edges", &DriftOneLog::meth_bin_edges),
    arg::pair("st_bounds", &DriftOneLog::st_bounds),
    arg::count("seed", &DriftOneLog::seed));

PyRef fit_drift_one_log(DriftOneLog& a) {
    check_log_bounds(a.st_bounds);
    check::drift_inputs("p0_observed", nullptr, a.p0_observed, "fit_observed_2d",
                        a.fit_observed_2d, a.fit_ages.size(), a.fit_ages, a.meth_bin_edges);
    const DriftFit fit = without_gil([&] {
        const DriftDistribution p0 = drift_initial_distribution(a.p0_observed, a.meth_bin_edges);
        const std::vector<std::span<const double>> rows =
            rows_of(a.fit_observed_2d, "fit_observed_2d");
        return fit_drift_log_rates(p0, rows, a.fit_ages, a.meth_bin_edges, a.st_bounds,
                                   static_cast<std::uint64_t>(a.seed));
    });
    PyRef ste = new_float(fit.ste), stw = new_float(fit.stw), nll = new_float(fit.nll);
    return new_tuple({&ste, &stw, &nll});
}

}  // namespace

const Bindings kDriftBindings{
    bind<kDriftOne, fit_drift_one>(
        Place{19},
        "Fit the spontaneous erasing and writing rates (StE, StW) of the drift model\n"
        "to one data set: p0_observed holds the bin fractions at the reference age 0,\n"
        "row k of fit_observed_2d (n_fit_ages, n_meth_bins) those at fit_ages[k].\n"
        "Both rates are searched in st_bounds = (lo, hi), plain values. The search\n"
        "is seeded from the OS entropy source. Returns (StE, StW, total_NLL)."),

    bind<kDriftBootstrap, drift_bootstrap_body<DriftRates::kPlain>>(
        Place{20},
        "Fit (StE, StW) for every bootstrap sample in parallel, sample b seeded with\n"
        "b: row b of p0_per_boot holds its age-0 fractions, rows b * n_fit_ages + k\n"
        "of fit_observed_per_boot its fractions at fit_ages[k]. Returns an array of\n"
        "shape (n_boot, 3) with rows [StE, StW, total_NLL]. Ctrl+C stops starting\n"
        "samples and raises KeyboardInterrupt once the running fits have ended."),

    bind<kPredict, drift_predict>(
        Place{21},
        "Predicted bin fractions of the drift model (spontaneous erasing at StE and\n"
        "writing at StW per site) at each age, starting from the bin fractions\n"
        "p0_observed at age 0. Returns an array of shape (n_ages, n_meth_bins),\n"
        "row i for ages[i]; ages may come in any order."),

    bind<kDriftOneLog, fit_drift_one_log>(
        Place{25},
        "Fit (StE, StW) of the drift model to one data set (arguments as in\n"
        "py_fit_drift_one), searching log10 StE and log10 StW over [log10 lo,\n"
        "log10 hi] of st_bounds = (lo, hi), which needs 0 < lo <= hi < inf (checked\n"
        "first). On a plain scale most of the box is the high-rate plateau where\n"
        "every fit age is at equilibrium and the NLL depends on StW / StE alone, and\n"
        "the search can settle there. When the search ends on that plateau ((StE +\n"
        "StW) times the youngest positive fit age at least 10), a second search over\n"
        "the box cut off where the plateau begins is run and the better fit kept.\n"
        "Both searches are keyed from seed: the same call gives the same bits.\n"
        "Returns (StE, StW, total_NLL), the rates in plain units. Refused with\n"
        "ValueError before any work: edges not finite and strictly increasing,\n"
        "fractions not one per bin or negative or not finite, not one row of\n"
        "fit_observed_2d per fit age, ages negative or not finite."),

    bind<kDriftBootstrapLog, drift_bootstrap_log_body>(
        Place{26},
        "Fit (StE, StW) for every bootstrap sample in parallel (arguments and rows as\n"
        "in py_fit_drift_bootstrap), each as py_fit_drift_one_log fits it with seed\n"
        "b for sample b, so the rows do not depend on the number of threads.\n"
        "st_bounds needs 0 < lo <= hi < inf (checked before any work). Returns an\n"
        "array of shape (n_boot, 3) with rows [StE, StW, total_NLL]. Ctrl+C stops\n"
        "starting samples and raises KeyboardInterrupt once the running fits have\n"
        "ended. Refused with ValueError before any work: n_fit_ages < 1, not\n"
        "n_fit_ages fit_ages, not n_boot rows of p0_per_boot and n_boot *\n"
        "n_fit_ages of fit_observed_per_boot, edges not finite and strictly\n"
        "increasing, fractions not one per bin or negative or not finite, ages\n"
        "negative or not finite.")};

}  // namespace korvel::py
