// Refits of every bootstrap resample, in parallel on the worker pool, for
// each fitting mode.
//
// The resamples come as one matrix: row r = b * n_densities + d holds the
// observed bin fractions of density d (ascending) in resample b. Each function
// returns one result row per input row, in the order of r whatever the
// scheduling: every task writes its own rows, placed by task index.
//
// Reproducibility. Every seeded fit is keyed from a row index: row r in the
// independent modes, b * n_densities (+ d) in the fixed-St mode, the density
// index inside the shared kernels. Only the shared-St three-parameter mode,
// whose kernel seeds its inner fits from entropy, may differ between calls.
//
// Inputs are checked before any fit starts: the row count against
// n_boot * n_densities (a short matrix would otherwise be noticed only by the
// task that reaches the missing row, after hours of fits that are then thrown
// away), the weights length where a mode uses weights, and the bounds as the
// kernels of the mode check them.
//
// Ctrl+C. Each task looks at the caller's Interruption before any work and
// produces no rows once it is requested; the kernels given the handle wind
// down through it too. The rows of an interrupted call are meant to be
// discarded by the caller, which is why running work may stop early.
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

// [bootstrap_idx, density_idx, st_free, cow, coe, nll]
inline constexpr std::size_t kBootstrapColumns = 6;
// [boot_idx, dens_idx, st, n_u, n_m, cow, coe, nll, vmax]
inline constexpr std::size_t kBootstrapExpColumns = 9;

// Result rows, row-major, `cols` values each.
struct BootstrapTable {
    std::size_t cols = 0;
    std::vector<double> values;

    std::size_t rows() const noexcept { return cols == 0 ? 0 : values.size() / cols; }
};

// The resamples and what every fit of them shares.
struct BootstrapData {
    const RowMatrix& fracs;  // n_boot * n_densities rows (more are ignored)
    std::size_t n_boot;
    std::size_t n_densities;
    std::span<const double> edges;
    bool normalize_stw;
};

// The three-parameter modes. shared_st wins over fix_st.
enum class ThreeParamMode {
    kIndependent,  // every row on its own, seed r
    kFixedSt,      // density 0's St held for the other densities of its resample
    kSharedSt,     // one St per resample (fit_shared_st_inner)
};
constexpr ThreeParamMode three_param_mode(bool shared_st, bool fix_st) noexcept {
    return shared_st ? ThreeParamMode::kSharedSt
                     : (fix_st ? ThreeParamMode::kFixedSt : ThreeParamMode::kIndependent);
}

// Six columns. weights are used (and checked) only in the shared-St mode.
BootstrapTable fit_bootstrap(const BootstrapData& data, ThreeParamMode mode, Bound st_bounds,
                             Bound co_bounds, double n_u, double n_m, double co_penalty,
                             OptionalWeights weights, const Interruption& interruption);

// Nine columns: fit_shared_exp_inner per resample, verbose off, the same warm
// start for every resample. vmax is the fitted shared Vmax, or the run-wide
// value the kernel read.
BootstrapTable fit_bootstrap_exp(const BootstrapData& data, Bound st_bounds, Bound co_bounds,
                                 Bound n_exp_bounds, double co_penalty, OptionalWeights weights,
                                 std::optional<SharedExpStart> warm_start, bool fit_vmax,
                                 Bound vmax_bounds, const Interruption& interruption);

// Nine columns. shared_st: fit_shared_st_perdensity_exp_inner per resample.
// Otherwise every row is fitted on its own with fit_one_density_exp_inner and
// seed r, its vmax column the run-wide Vmax read when the row is built;
// weights, fit_vmax and vmax_bounds then play no part.
BootstrapTable fit_bootstrap_exp_perdensity(const BootstrapData& data, bool shared_st,
                                            Bound st_bounds, Bound co_bounds, Bound n_exp_bounds,
                                            double co_penalty, OptionalWeights weights,
                                            bool fit_vmax, Bound vmax_bounds,
                                            const Interruption& interruption);

// Nine columns: fit_shared_co_inner per resample, verbose off, the same warm
// start for every resample; vmax is the run-wide Vmax read after the
// resample's fit.
BootstrapTable fit_bootstrap_co(const BootstrapData& data, Bound st_bounds, Bound co_bounds,
                                Bound n_exp_bounds, double co_penalty, OptionalWeights weights,
                                std::optional<SharedCoStart> warm_start,
                                const Interruption& interruption);

}  // namespace korvel
