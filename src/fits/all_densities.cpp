// Every density bin fitted independently, in parallel on the worker pool.
//
// Row i's fit is keyed with seed i and its result is written to slot i, so a
// call gives the same bits on any number of threads and in any finishing
// order. The rows and edges are only read: each fit takes its own copy of
// them for its duration. A row that fails ends the whole map, and the pool
// rethrows the error of the lowest failing row once the running fits are done.
#include "fits/all_densities.h"

#include <cstdint>
#include <optional>

#include "core/pool.h"

namespace korvel {

std::vector<DensityFit> fit_all_densities(const RowMatrix& observed, std::span<const double> edges,
                                          bool normalize_stw, Bound st_bounds, Bound co_bounds,
                                          double n_u, double n_m, double co_penalty) {
    return parallel_map<DensityFit>(observed.rows(), [&](std::size_t i) {
        return fit_one_density_inner(observed.row(i, "observed_fracs_2d"), edges, normalize_stw,
                                     st_bounds, co_bounds, n_u, n_m, co_penalty,
                                     std::optional<std::uint64_t>(i));
    });
}

std::vector<DensityExpFit> fit_all_densities_exp(const RowMatrix& observed,
                                                 std::span<const double> edges,
                                                 bool normalize_stw, Bound st_bounds,
                                                 Bound co_bounds, Bound n_exp_bounds,
                                                 double co_penalty) {
    return parallel_map<DensityExpFit>(observed.rows(), [&](std::size_t i) {
        return fit_one_density_exp_inner(observed.row(i, "observed_fracs_2d"), edges,
                                         normalize_stw, st_bounds, co_bounds, n_exp_bounds,
                                         co_penalty, static_cast<std::uint64_t>(i));
    });
}

}  // namespace korvel
