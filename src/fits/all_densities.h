// Every density bin fitted independently, in parallel on the worker pool.
// Row i is seeded with i, so results do not depend on threads or scheduling.
#pragma once

#include <span>
#include <vector>

#include "core/row_matrix.h"
#include "fits/density_fits.h"

namespace korvel {

std::vector<DensityFit> fit_all_densities(const RowMatrix& observed, std::span<const double> edges,
                                          bool normalize_stw, Bound st_bounds, Bound co_bounds,
                                          double n_u, double n_m, double co_penalty);

std::vector<DensityExpFit> fit_all_densities_exp(const RowMatrix& observed,
                                                 std::span<const double> edges,
                                                 bool normalize_stw, Bound st_bounds,
                                                 Bound co_bounds, Bound n_exp_bounds,
                                                 double co_penalty);

}  // namespace korvel
