// Phase-diagram measures of the stationary distribution over a grid of
// cooperative coefficients.
#pragma once

#include <span>
#include <vector>

#include "model/model.h"

namespace korvel {

// The four measures of one stationary distribution.
struct PhaseMeasures {
    double bistability;  // 4 * high * low: 1 when half the mass sits at each end
    double avg_meth;     // mean methylated fraction
    double entropy;      // -sum P ln P over positive entries
    double frac_inter;   // mass with 0.2 <= m/70 <= 0.8
};

PhaseMeasures phase_measures(const StateVector& p);

struct PhaseGrids {
    std::vector<double> bistability, avg_meth, entropy, frac_inter;  // row-major (n_cow, n_coe)
};

// st_free maps to (StE, StW) as in every fit; Vmax is read once per call.
PhaseGrids compute_phase_grids(double st_free, bool normalize_stw,
                               std::span<const double> log_cow_grid,
                               std::span<const double> log_coe_grid, double n_u, double n_m);

}  // namespace korvel
