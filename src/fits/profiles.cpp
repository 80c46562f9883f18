// Profile likelihood scans over St and over one cooperative coefficient.
//
// Both scans flatten (grid point, density) into one list of pairs and run one
// parallel map over it: with a short grid or few density bins, a map per grid
// point would leave workers idle. Each pair's value lands at its pair index;
// sums are then taken walking the pairs in order, so the result does not
// depend on which worker finished first.
#include "fits/profiles.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "core/errors.h"
#include "core/pool.h"
#include "core/state.h"
#include "fits/density_fits.h"

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

}  // namespace

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
