#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <string>

#include "drift/drift.h"
#include "core/errors.h"
#include "core/format.h"
#include "core/pool.h"
#include "optimizer/global_search.h"

namespace korvel {
namespace {

// The objective of both searches: the NLL at (StE, StW) as the rates(x)
// mapping reads them off the search point, which has n_coordinates (2, or 1
// when a profile holds one rate) coordinates, each within coordinate_bounds.
template <class Rates>
OptResult search_rates(const DriftDistribution& p0,
                       std::span<const std::span<const double>> observed,
                       std::span<const double> fit_ages, std::span<const double> edges,
                       Bound coordinate_bounds, std::size_t n_coordinates,
                       std::optional<std::uint64_t> seed, const Interruption& interruption,
                       Rates rates) {
    // (StE, StW), in this order, each in the same box.
    const std::array<Bound, 2> box = {coordinate_bounds, coordinate_bounds};
    auto objective = [&](std::span<const double> x) {
        // One evaluation propagates to every age; with many ages a whole fit
        // takes tens of seconds, so a fit whose result will be discarded
        // stops solving at once. The search still runs its generations and
        // polish on +inf values, which costs next to nothing.
        if (interruption.requested()) return std::numeric_limits<double>::infinity();
        const auto [ste, stw] = rates(x);
        return drift_nll(ste, stw, p0, observed, fit_ages, edges);
    };
    // A point of the box's size.
    return global_search(objective, std::span<const Bound>(box).first(n_coordinates), seed);
}

// 10^x, the rate at a log10 search coordinate.
double rate_at(double x) { return std::pow(10.0, x); }

// exp(-10) of the starting deviation is left at the youngest fit age where
// (StE + StW) t = 10: the predictions there differ from equilibrium by
// parts in 1e5, which no realistic read count can tell apart.
constexpr double kPlateauDecays = 10.0;
// The second search's key, so that it does not retrace the first one's draws.
constexpr std::uint64_t kPlateauSeedMix = 0x9E3779B97F4A7C15ULL;

// The youngest fit age above 0 among the ages that are scored (those with an
// observed row); 0 when there is none.
double youngest_positive_age(std::span<const double> fit_ages, std::size_t rows) {
    double youngest = 0.0;
    const std::size_t pairs = std::min(fit_ages.size(), rows);
    for (std::size_t i = 0; i < pairs; ++i) {
        const double t = fit_ages[i];
        if (t > 0.0 && (youngest == 0.0 || t < youngest)) youngest = t;
    }
    return youngest;
}


// Every sample on the pool, fitted by fit(p0, observed rows, seed b); the
// row counts are checked before any sample starts.
template <class Fit>
std::vector<DriftFit> bootstrap_samples(const RowMatrix& p0_per_boot,
                                        const RowMatrix& fit_observed_per_boot,
                                        std::size_t n_boot, std::size_t n_fit_ages,
                                        std::span<const double> edges,
                                        const Interruption& interruption, Fit fit) {
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
        return fit(p0, observed, static_cast<std::uint64_t>(b));
    });
}

}  // namespace

void check_log_bounds(Bound st_bounds) {
    if (!(st_bounds.lo > 0.0 && st_bounds.lo <= st_bounds.hi && std::isfinite(st_bounds.hi))) {
        throw InternalError("st_bounds must satisfy 0 < lo <= hi < inf for a search of log10 "
                            "rates, got (" + format_shortest(st_bounds.lo) + ", " +
                            format_shortest(st_bounds.hi) + ")");
    }
}

DriftFit fit_drift(const DriftDistribution& p0, std::span<const std::span<const double>> observed,
                   std::span<const double> fit_ages, std::span<const double> edges,
                   Bound st_bounds, std::optional<std::uint64_t> seed,
                   const Interruption& interruption) {
    const OptResult best = search_rates(
        p0, observed, fit_ages, edges, st_bounds, 2, seed, interruption,
        [](std::span<const double> x) { return std::array{x[0], x[1]}; });
    // The search's own value: recomputing it could only repeat the same
    // arithmetic.
    return {best.x[0], best.x[1], best.f};
}

namespace {

// One rate held at a value: the other is searched alone.
struct HeldRate {
    std::size_t index;  // 0 StE, 1 StW
    double value;
};

// The log-rate fit, with or without a held rate: one search over the log10
// box, and a second below the plateau when the first ends on it.
DriftFit log_rate_fit(const DriftDistribution& p0,
                      std::span<const std::span<const double>> observed,
                      std::span<const double> fit_ages, std::span<const double> edges,
                      Bound st_bounds, std::uint64_t seed, const Interruption& interruption,
                      std::optional<HeldRate> held) {
    check_log_bounds(st_bounds);
    const auto rates_at = [&](std::span<const double> x) -> std::array<double, 2> {
        if (!held) return {rate_at(x[0]), rate_at(x[1])};
        std::array<double, 2> r{};
        r[held->index] = held->value;
        r[1 - held->index] = rate_at(x[0]);
        return r;
    };
    const auto search = [&](double hi, std::uint64_t key) -> DriftFit {
        const Bound logs{std::log10(st_bounds.lo), std::log10(hi)};
        const OptResult best = search_rates(p0, observed, fit_ages, edges, logs, held ? 1 : 2,
                                            key, interruption, rates_at);
        // The value belongs to exactly the rates returned: they are mapped
        // back with the same 10^x as inside the objective.
        const std::array<double, 2> r = rates_at(best.x);
        return {r[0], r[1], best.f};
    };
    const DriftFit first = search(st_bounds.hi, seed);

    // Every deviation from equilibrium decays at least as fast as
    // exp(-(StE + StW) t), so once (StE + StW) times the youngest fit age is
    // large, every age is at equilibrium and the NLL depends on StW / StE
    // alone: a flat plateau, on which a search that never sampled the
    // optimum's narrow valley can settle. A result there is checked by a
    // second search whose box ends where the plateau begins; the better of
    // the two is kept (the first on a tie), so data that really are at
    // equilibrium keep their plateau fit.
    const double youngest = youngest_positive_age(fit_ages, observed.size());
    if (!(youngest > 0.0)) return first;
    const double plateau_start = kPlateauDecays / youngest;
    if (!((first.ste + first.stw) * youngest >= kPlateauDecays && plateau_start < st_bounds.hi &&
          plateau_start >= st_bounds.lo)) {
        return first;
    }
    const DriftFit below = search(plateau_start, seed ^ kPlateauSeedMix);
    return below.nll < first.nll ? below : first;
}

}  // namespace

DriftFit fit_drift_log_rates(const DriftDistribution& p0,
                             std::span<const std::span<const double>> observed,
                             std::span<const double> fit_ages, std::span<const double> edges,
                             Bound st_bounds, std::uint64_t seed,
                             const Interruption& interruption) {
    return log_rate_fit(p0, observed, fit_ages, edges, st_bounds, seed, interruption,
                        std::nullopt);
}

std::vector<double> profile_drift_log_rates(const DriftDistribution& p0,
                                            std::span<const std::span<const double>> observed,
                                            std::span<const double> fit_ages,
                                            std::span<const double> edges, Bound st_bounds,
                                            std::size_t parameter, std::span<const double> grid,
                                            const Interruption& interruption) {
    if (parameter > 1) {
        throw ArgumentError("parameter",
                            "must be 0 (StE) or 1 (StW), got " + std::to_string(parameter));
    }
    if (grid.size() > kMaxDriftProfilePoints) {
        throw ArgumentError("grid", "has " + std::to_string(grid.size()) +
                                        " points, more than the limit of " +
                                        std::to_string(kMaxDriftProfilePoints));
    }
    for (const double v : grid) {
        if (!(std::isfinite(v) && v > 0.0)) {
            throw ArgumentError("grid",
                                "values must be finite and positive, got " + format_shortest(v));
        }
    }
    check_log_bounds(st_bounds);
    // Point p seeded with p: the profile does not depend on the thread count.
    return parallel_map<double>(grid.size(), [&](std::size_t p) {
        if (interruption.requested()) return std::numeric_limits<double>::quiet_NaN();
        const DriftFit fit = log_rate_fit(p0, observed, fit_ages, edges, st_bounds,
                                          static_cast<std::uint64_t>(p), interruption,
                                          HeldRate{parameter, grid[p]});
        return interruption.requested() ? std::numeric_limits<double>::quiet_NaN() : fit.nll;
    });
}

std::vector<DriftFit> fit_drift_bootstrap(const RowMatrix& p0_per_boot,
                                          const RowMatrix& fit_observed_per_boot,
                                          std::size_t n_boot, std::size_t n_fit_ages,
                                          std::span<const double> fit_ages,
                                          std::span<const double> edges, Bound st_bounds,
                                          const Interruption& interruption, DriftRates rates) {
    if (rates == DriftRates::kLog) check_log_bounds(st_bounds);
    return bootstrap_samples(
        p0_per_boot, fit_observed_per_boot, n_boot, n_fit_ages, edges, interruption,
        [&](const DriftDistribution& p0, std::span<const std::span<const double>> observed,
            std::uint64_t seed) {
            return rates == DriftRates::kLog
                       ? fit_drift_log_rates(p0, observed, fit_ages, edges, st_bounds, seed,
                                             interruption)
                       : fit_drift(p0, observed, fit_ages, edges, st_bounds, seed,
                                   interruption);
        });
}

}  // namespace korvel
