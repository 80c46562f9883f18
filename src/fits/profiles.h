// Profile likelihoods: the NLL along a grid of one parameter, every other free
// parameter refitted from scratch at each grid point.
//
// Each scan is one parallel map over all (grid point, density) pairs, so a
// short grid or few density bins still keep every worker busy; values are
// placed by pair index, and sums are taken in pair order, so the outcome does
// not depend on scheduling. The per-point fits draw their seeds from the OS
// entropy source, so repeated scans may differ slightly. Neither scan can be
// interrupted. Vmax is the run-wide value.
#pragma once

#include <span>
#include <vector>

#include "core/row_matrix.h"
#include "fits/shared_fits.h"
#include "optimizer/box.h"

namespace korvel {

// Entry i: sum over density rows d, in row order, of weight[d] times the NLL
// of fit_co_fixed_st_inner at St = st_grid[i] (no penalty). weights as in the
// shared fits (std::nullopt = 1.0 each; too short is an InternalError before
// any work); co_bounds must be positive.
std::vector<double> profile_shared_st_inner(RowRange rows, std::span<const double> edges,
                                            bool normalize_stw, std::span<const double> st_grid,
                                            Bound co_bounds, double n_u, double n_m,
                                            OptionalWeights weights);

// Row-major (n_densities, n_points) tables of plain NLLs.
struct CoProfiles {
    std::vector<double> cow_nll;  // [d * cow_grid.size() + p]: CoW fixed at cow_grid[p]
    std::vector<double> coe_nll;  // [d * coe_grid.size() + p]: CoE fixed at coe_grid[p]
};

// For every density row d and grid point p: CoW fixed at cow_grid[p] with CoE
// searched in co_bounds (the CoW scan), then, once that scan has ended, CoE
// fixed at coe_grid[p] with CoW searched (the CoE scan); St = shared_st.
// co_bounds must be positive.
CoProfiles profile_shared_co_inner(RowRange rows, std::span<const double> edges,
                                   bool normalize_stw, double shared_st,
                                   std::span<const double> cow_grid,
                                   std::span<const double> coe_grid, Bound co_bounds, double n_u,
                                   double n_m);

}  // namespace korvel
