// Profile likelihood scans over St and over one cooperative coefficient.
//
// Both scans flatten (grid point, density) into one list of pairs and run one
// parallel map over it: with a short grid or few density bins, a map per grid
// point would leave workers idle. Each pair's value lands at its pair index;
// sums are then taken walking the pairs in order, so the result does not
// depend on which worker finished first.
#include "fits/profiles.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "core/errors.h"
#include "core/format.h"
#include "core/pool.h"
#include "core/state.h"
#include "fits/density_fits.h"
#include "fits/density_search.h"
#include "optimizer/brent.h"

namespace korvel {
namespace {

// n_a * n_b pairs; refused if the count does not fit in a size_t.
std::size_t pair_count(std::size_t n_a, std::size_t n_b) {
    if (n_a != 0 && n_b > std::numeric_limits<std::size_t>::max() / n_a) {
        throw InternalError("profile grid of " + std::to_string(n_a) + " x " +
                            std::to_string(n_b) + " points is too large");
    }
    return n_a * n_b;
}

// One coefficient scan: pair k = d * grid.size() + p fixes the scanned
// coefficient at grid[p] for density row d; the table is row-major (d, p).
std::vector<double> coefficient_scan(RowRange rows, std::span<const double> edges,
                                     bool normalize_stw, double shared_st,
                                     std::span<const double> grid, bool fix_cow,
                                     Bound co_bounds, double n_u, double n_m) {
    const std::size_t n_points = grid.size();
    return parallel_map<double>(pair_count(rows.size(), n_points), [&](std::size_t k) {
        const std::size_t d = k / n_points;
        const std::size_t p = k % n_points;
        return fit_single_co_inner(rows.row(d), edges, normalize_stw, shared_st, grid[p], fix_cow,
                                   n_u, n_m, co_bounds);
    });
}

// ------------------------------------------------------ full profiles

using density_fit_detail::DensityBounds;
using density_fit_detail::DensitySearch;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::size_t kNumDensityParams = 5;
constexpr const char* kParamNames[kNumDensityParams] = {"St", "CoW", "CoE", "n_U", "n_M"};

unsigned param_bit(std::size_t parameter) { return 1u << parameter; }

void set_param(DensityParams& p, std::size_t parameter, double value) {
    double* slots[kNumDensityParams] = {&p.st, &p.cow, &p.coe, &p.n_u, &p.n_m};
    *slots[parameter] = value;
}

// The parameter index, the grids' shape and every grid value, before any
// work. NaN marks a point to skip (rows of ragged grids padded with NaN); an
// infinite held value would make every search of its pair run all its
// generations before failing; a rate at or below zero is no rate.
void check_profile(std::size_t parameter, unsigned allowed, RowRange rows, RowRange grids) {
    if (parameter >= kNumDensityParams || !(allowed & param_bit(parameter))) {
        std::string names;
        for (std::size_t i = 0; i < kNumDensityParams; ++i) {
            if (!(allowed & param_bit(i))) continue;
            names += (names.empty() ? "" : ", ") + std::to_string(i) + " (" + kParamNames[i] + ")";
        }
        throw InternalError("parameter must be one of " + names + " here, got " +
                            std::to_string(parameter));
    }
    if (grids.size() != rows.size()) {
        throw InternalError("grid has " + std::to_string(grids.size()) + " rows for " +
                            std::to_string(rows.size()) + " density rows");
    }
    const bool rate = parameter < 3;
    for (std::size_t d = 0; d < grids.size(); ++d) {
        for (const double v : grids.row(d)) {
            if (std::isnan(v)) continue;
            if (std::isinf(v) || (rate && !(v > 0.0))) {
                throw InternalError(std::string("grid values of ") + kParamNames[parameter] +
                                    " must be NaN or finite" + (rate ? " and positive" : "") +
                                    ", got " + format_shortest(v) + " in row " +
                                    std::to_string(d));
            }
        }
    }
}

std::size_t points_of(RowRange grids) { return grids.empty() ? 0 : grids.row(0).size(); }

// One profile point of one density row: the parameters in `searched` fitted
// by a seeded global search, the others at `fixed`; the plain NLL.
double refit_nll(std::span<const double> observed, std::span<const double> edges,
                 bool normalize_stw, unsigned searched, const DensityParams& fixed,
                 const DensityBounds& bounds, double vmax, std::uint64_t seed) {
    const DensitySearch s{.searched = searched,
                          .fixed = fixed,
                          .bounds = bounds,
                          .vmax = vmax,
                          .co_penalty = std::nullopt};
    return density_fit_detail::run_density_search(observed, edges, normalize_stw, s, seed).nll;
}

}  // namespace

std::vector<double> profile_density_inner(RowRange rows, std::span<const double> edges,
                                          bool normalize_stw, std::size_t parameter,
                                          RowRange grids, Bound st_bounds, Bound co_bounds,
                                          double n_u, double n_m,
                                          std::optional<Bound> n_exp_bounds,
                                          const Interruption& interruption) {
    const unsigned fitted = kSearchSt | kSearchCoW | kSearchCoE |
                            (n_exp_bounds ? (kSearchNU | kSearchNM) : 0u);
    check_profile(parameter, fitted, rows, grids);
    const unsigned searched = fitted & ~param_bit(parameter);
    const DensityBounds bounds{.st = st_bounds,
                               .co = co_bounds,
                               .n_exp = n_exp_bounds.value_or(Bound{})};
    // The box of every pair's search, checked once here rather than by the
    // first pair to run.
    (void)density_fit_detail::density_box(
        {.searched = searched, .fixed = {}, .bounds = bounds, .vmax = 0.0, .co_penalty = {}});
    const double vmax = mm_vmax();

    // Pair k = d * n_points + p; the search is seeded with p alone, so a
    // row's profile does not depend on which other rows came with it.
    const std::size_t n_points = points_of(grids);
    return parallel_map<double>(pair_count(rows.size(), n_points), [&](std::size_t k) {
        if (interruption.requested()) return kNaN;
        const std::size_t d = k / n_points;
        const std::size_t p = k % n_points;
        if (std::isnan(grids.row(d)[p])) return kNaN;
        DensityParams fixed{.st = 0.0, .cow = 0.0, .coe = 0.0, .n_u = n_u, .n_m = n_m};
        set_param(fixed, parameter, grids.row(d)[p]);
        return refit_nll(rows.row(d), edges, normalize_stw, searched, fixed, bounds, vmax, p);
    });
}

std::vector<double> profile_shared_st_co_inner(RowRange rows, std::span<const double> edges,
                                               bool normalize_stw, std::size_t parameter,
                                               RowRange grids, Bound st_bounds, Bound co_bounds,
                                               double n_u, double n_m, OptionalWeights weights,
                                               const Interruption& interruption) {
    check_profile(parameter, kSearchCoW | kSearchCoE, rows, grids);
    check_shared_st_inputs(rows.size(), st_bounds, co_bounds, weights);
    const double vmax = mm_vmax();
    const std::size_t n_densities = rows.size();
    const DensityBounds bounds{.st = {}, .co = co_bounds, .n_exp = {}};
    const unsigned both = kSearchCoW | kSearchCoE;
    const double u_lo = std::log(st_bounds.lo);
    const double u_hi = std::log(st_bounds.hi);

    const std::size_t n_points = points_of(grids);
    return parallel_map<double>(pair_count(n_densities, n_points), [&](std::size_t k) {
        if (interruption.requested()) return kNaN;
        const std::size_t d = k / n_points;
        const std::size_t p = k % n_points;
        const double held = grids.row(d)[p];
        if (std::isnan(held)) return kNaN;
        // Every evaluation at this grid point refits row e with the same
        // seed, so the objective is a deterministic function of St.
        const auto total_at = [&](double st) {
            if (interruption.requested()) return kInf;
            const std::vector<double> terms = parallel_map<double>(n_densities, [&](std::size_t e) {
                if (interruption.requested()) return kInf;
                DensityParams fixed{.st = st, .cow = 0.0, .coe = 0.0, .n_u = n_u, .n_m = n_m};
                unsigned searched = both;
                if (e == d) {
                    set_param(fixed, parameter, held);
                    searched &= ~param_bit(parameter);
                }
                const double w = weights ? (*weights)[e] : 1.0;
                return w * refit_nll(rows.row(e), edges, normalize_stw, searched, fixed, bounds,
                                     vmax, p * n_densities + e);
            });
            double sum = 0.0;
            for (const double t : terms) sum += t;
            return sum;
        };
        // Brent's best point holds the smallest value it has seen, so that
        // value is the profile: no need to refit at the point it returns.
        double best = kNaN;
        (void)brent_minimise(
            [&](double u) {
                const double v = total_at(std::exp(u));
                if (std::isnan(best) || v < best) best = v;
                return v;
            },
            u_lo, u_hi);
        return interruption.requested() ? kNaN : best;
    });
}

std::vector<double> profile_shared_st_inner(RowRange rows, std::span<const double> edges,
                                            bool normalize_stw, std::span<const double> st_grid,
                                            Bound co_bounds, double n_u, double n_m,
                                            OptionalWeights weights) {
    const std::size_t n_densities = rows.size();
    check_weights(weights, n_densities);
    check_positive_co_bounds(co_bounds);
    const double vmax = mm_vmax();

    // Pair k = i * n_densities + d: grid point i, density row d. No penalty;
    // the fits draw their keys from the OS entropy source.
    const std::vector<double> values =
        parallel_map<double>(pair_count(st_grid.size(), n_densities), [&](std::size_t k) {
            const std::size_t i = k / n_densities;
            const std::size_t d = k % n_densities;
            const CoFit fit = fit_co_fixed_st_inner(rows.row(d), edges, normalize_stw, st_grid[i],
                                                    n_u, n_m, co_bounds, 0.0, vmax, std::nullopt);
            return fit.nll * (weights ? (*weights)[d] : 1.0);
        });

    std::vector<double> profile(st_grid.size(), 0.0);
    for (std::size_t k = 0; k < values.size(); ++k) profile[k / n_densities] += values[k];
    return profile;
}

CoProfiles profile_shared_co_inner(RowRange rows, std::span<const double> edges,
                                   bool normalize_stw, double shared_st,
                                   std::span<const double> cow_grid,
                                   std::span<const double> coe_grid, Bound co_bounds, double n_u,
                                   double n_m) {
    check_positive_co_bounds(co_bounds);
    CoProfiles out;
    // CoW fixed, CoE searched; then, once that scan has ended, the mirror.
    out.cow_nll = coefficient_scan(rows, edges, normalize_stw, shared_st, cow_grid, true,
                                   co_bounds, n_u, n_m);
    out.coe_nll = coefficient_scan(rows, edges, normalize_stw, shared_st, coe_grid, false,
                                   co_bounds, n_u, n_m);
    return out;
}

}  // namespace korvel
