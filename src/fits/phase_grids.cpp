#include "fits/phase_grids.h"

#include <cmath>
#include <limits>
#include <string>

#include "core/errors.h"
#include "core/sites.h"
#include "core/state.h"

namespace korvel {

PhaseMeasures phase_measures(const StateVector& p) {
    double entropy = 0.0, low = 0.0, high = 0.0, mid = 0.0, avg = 0.0;
    for (int m = 0; m < kNumStates; ++m) {
        const double x = methylated_fraction(m);
        const double pm = p[m];
        // The solver's result is used as it stands; zero and negative entries
        // carry no entropy.
        if (pm > 0.0) entropy = entropy - std::log(pm) * pm;
        if (x < 0.2) {
            low = low + pm;
        } else if (x > 0.8) {
            high = high + pm;
        } else {
            mid = mid + pm;
        }
        avg = avg + x * pm;
    }
    return {(high * low) * 4.0, avg, entropy, mid};
}

PhaseGrids compute_phase_grids(double st_free, bool normalize_stw,
                               std::span<const double> log_cow_grid,
                               std::span<const double> log_coe_grid, double n_u, double n_m) {
    const double vmax = mm_vmax();
    const double ste = normalize_stw ? st_free : 1.0;
    const double stw = normalize_stw ? 1.0 : st_free;
    const std::size_t n_cow = log_cow_grid.size();
    const std::size_t n_coe = log_coe_grid.size();
    if (n_coe != 0 && n_cow > std::numeric_limits<std::size_t>::max() / 4 / sizeof(double) / n_coe) {
        throw InternalError("phase grid of " + std::to_string(n_cow) + " x " +
                            std::to_string(n_coe) + " points is too large");
    }
    PhaseGrids g;
    g.bistability.assign(n_cow * n_coe, 0.0);
    g.avg_meth.assign(n_cow * n_coe, 0.0);
    g.entropy.assign(n_cow * n_coe, 0.0);
    g.frac_inter.assign(n_cow * n_coe, 0.0);
    for (std::size_t i = 0; i < n_cow; ++i) {
        const double cow = std::pow(10.0, log_cow_grid[i]);
        for (std::size_t k = 0; k < n_coe; ++k) {
            const double coe = std::pow(10.0, log_coe_grid[k]);
            const StateVector p = stationary_distribution(ste, stw, cow, coe, n_u, n_m, vmax);
            const PhaseMeasures pm = phase_measures(p);
            const std::size_t at = i * n_coe + k;
            g.bistability[at] = pm.bistability;
            g.avg_meth[at] = pm.avg_meth;
            g.entropy[at] = pm.entropy;
            g.frac_inter[at] = pm.frac_inter;
        }
    }
    return g;
}

}  // namespace korvel
