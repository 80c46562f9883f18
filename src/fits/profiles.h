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

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "core/interrupt.h"
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

// ------------------------------------------------------ full profiles
//
// The two scans above hold St (or the shared St) at a fitted value while a
// coefficient is scanned, so their curves are conditional on it. The scans
// below refit everything else at every grid point: their minimum over the
// remaining parameters is the profile likelihood proper, whose rise by
// chi2_1 / 2 bounds a likelihood-ratio interval.
//
// Both take one grid row per density row (grids.size() == rows.size(); the
// caller centres each row on that bin's estimate) and return a row-major
// (n_densities, n_points) table, n_points being the grids' row length. Both
// are parallel over every (density, grid point) pair and reproducible to the
// bit on any number of threads: the fits at grid point p are seeded from p
// (see each kernel), never from entropy. No coefficient penalty. Vmax is the
// run-wide value, read once. Once `interruption` is requested no further
// pair starts and running ones wind down; the table is then NaN where work
// was skipped, and the caller discards it. A NaN grid value is a point not to
// fit (rows of different lengths padded with NaN): its entry is NaN.
//
// `parameter` counts the per-density parameters in the order of the search
// coordinates: 0 St, 1 CoW, 2 CoE, 3 n_U, 4 n_M.

// Entry (d, p): the NLL of density row d with `parameter` held at
// grids[d][p] and every other parameter of the three-parameter fit (St, CoW,
// CoE), or, with n_exp_bounds, of the five-parameter fit (St, CoW, CoE, n_U,
// n_M), searched by one global search seeded with p. The exponents are
// profiled only when they are fitted. Inputs are checked before any work:
// the parameter, the grids' row count, grid values (NaN, or finite and, for
// St, CoW and CoE, positive) and the bounds of every searched parameter.
std::vector<double> profile_density_inner(RowRange rows, std::span<const double> edges,
                                          bool normalize_stw, std::size_t parameter,
                                          RowRange grids, Bound st_bounds, Bound co_bounds,
                                          double n_u, double n_m,
                                          std::optional<Bound> n_exp_bounds,
                                          const Interruption& interruption = {});

// The shared-St fit with CoW (parameter 1) or CoE (parameter 2) of density
// row d held at grids[d][p]: entry (d, p) is the minimum over the shared St
// (Brent over ln St in st_bounds, as the shared-St fit searches it) of
// sum_e weights[e] * NLL_e, where every row e refits its own (CoW, CoE) at
// that St, and row d only its other coefficient. At grid point p row e's fit
// is seeded with p * n_densities + e. Weights as in the shared fits; inputs
// are checked before any work as for profile_density_inner, with st_bounds
// as the shared-St fit checks them.
std::vector<double> profile_shared_st_co_inner(RowRange rows, std::span<const double> edges,
                                               bool normalize_stw, std::size_t parameter,
                                               RowRange grids, Bound st_bounds, Bound co_bounds,
                                               double n_u, double n_m, OptionalWeights weights,
                                               const Interruption& interruption = {});

}  // namespace korvel
