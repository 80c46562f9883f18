#include <array>
#include <limits>
#include <string>

#include "drift/drift.h"
#include "core/errors.h"
#include "core/pool.h"
#include "optimizer/global_search.h"

namespace korvel {

DriftFit fit_drift(const DriftDistribution& p0, std::span<const std::span<const double>> observed,
                   std::span<const double> fit_ages, std::span<const double> edges,
                   Bound st_bounds, std::optional<std::uint64_t> seed,
                   const Interruption& interruption) {
    // (StE, StW) in plain rate units, both in the same box.
    const std::array<Bound, 2> box = {st_bounds, st_bounds};
    auto objective = [&](std::span<const double> x) {
        // One evaluation propagates to every age; with many ages a whole fit
        // takes tens of seconds, so a fit whose result will be discarded
        // stops solving at once. The search still runs its generations and
        // polish on +inf values, which costs next to nothing.
        if (interruption.requested()) return std::numeric_limits<double>::infinity();
        return drift_nll(x[0], x[1], p0, observed, fit_ages, edges);
    };
    const OptResult best = global_search(objective, box, seed);  // a point of the box's size
    // The search's own value: recomputing it could only repeat the same
    // arithmetic.
    return {best.x[0], best.x[1], best.f};
}

std::vector<DriftFit> fit_drift_bootstrap(const RowMatrix& p0_per_boot,
                                          const RowMatrix& fit_observed_per_boot,
                                          std::size_t n_boot, std::size_t n_fit_ages,
                                          std::span<const double> fit_ages,
                                          std::span<const double> edges, Bound st_bounds,
                                          const Interruption& interruption) {
    // Row counts are checked before any sample is fitted: a short array would
    // otherwise only be noticed by the worker that reaches the missing row,
    // possibly after hours of fits whose results are then thrown away, and a
    // huge n_boot would queue that many tasks first.
    if (p0_per_boot.rows() < n_boot) {
        throw InternalError("p0_per_boot has " + std::to_string(p0_per_boot.rows()) +
                            " rows, fewer than n_boot = " + std::to_string(n_boot));
    }
    if (n_fit_ages != 0 && n_boot > std::numeric_limits<std::size_t>::max() / n_fit_ages) {
        throw InternalError("n_boot * n_fit_ages overflows: n_boot = " + std::to_string(n_boot) +
                            ", n_fit_ages = " + std::to_string(n_fit_ages));
    }
    const std::size_t needed = n_boot * n_fit_ages;
    if (fit_observed_per_boot.rows() < needed) {
        throw InternalError("fit_observed_per_boot has " +
                            std::to_string(fit_observed_per_boot.rows()) +
                            " rows, fewer than n_boot * n_fit_ages = " + std::to_string(needed));
    }

    return parallel_map<DriftFit>(n_boot, [&](std::size_t b) -> DriftFit {
        // Ctrl+C: samples not yet started are skipped; running fits finish.
        if (interruption.requested()) {
            const double nan = std::numeric_limits<double>::quiet_NaN();
            return {nan, nan, nan};
        }
        const DriftDistribution p0 = drift_initial_distribution(p0_per_boot.row(b, "p0_per_boot"), edges);
        std::vector<std::span<const double>> observed(n_fit_ages);
        for (std::size_t k = 0; k < n_fit_ages; ++k) {
            observed[k] = fit_observed_per_boot.row(b * n_fit_ages + k, "fit_observed_per_boot");
        }
        // Seeded by the sample's index: the result does not depend on the
        // number of threads or on which thread runs the sample.
        return fit_drift(p0, observed, fit_ages, edges, st_bounds, static_cast<std::uint64_t>(b),
                         interruption);
    });
}

}  // namespace korvel
