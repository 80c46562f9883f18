// Bootstrap refits in every fitting mode.
//
// Work is spread in one of two shapes. The independent modes run one task per
// row, so that even a few resamples keep every worker busy. The other modes
// run one task per resample; their density loops (inside the shared kernels,
// or the fixed-St refits here) are nested maps on the same pool, which the
// waiting task helps to run.
#include "fits/bootstrap.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>

#include "core/errors.h"
#include "core/function_ref.h"
#include "core/pool.h"
#include "core/state.h"
#include "fits/density_fits.h"

namespace korvel {
namespace {

constexpr const char* kFracsName = "bootstrap_fracs";

// n_boot * n_densities, checked against overflow and against the rows given.
// Both checks come before any fit: a huge n_boot with a short matrix fails at
// once instead of after every earlier resample has been fitted.
std::size_t checked_row_count(const BootstrapData& data, std::size_t cols) {
    const std::size_t max = std::numeric_limits<std::size_t>::max();
    if (data.n_densities != 0 && data.n_boot > max / data.n_densities) {
        throw InternalError("n_boot * n_densities overflows: n_boot = " +
                            std::to_string(data.n_boot) +
                            ", n_densities = " + std::to_string(data.n_densities));
    }
    const std::size_t needed = data.n_boot * data.n_densities;
    if (data.fracs.rows() < needed) {
        throw InternalError(std::string(kFracsName) + " has " + std::to_string(data.fracs.rows()) +
                            " rows, fewer than n_boot * n_densities = " + std::to_string(needed));
    }
    // A matrix with no columns can have more rows than a result can hold.
    if (needed > max / sizeof(double) / cols) {
        throw InternalError("a result of " + std::to_string(needed) + " rows of " +
                            std::to_string(cols) + " values does not fit in memory");
    }
    return needed;
}

// Runs task t = 0 .. n_tasks - 1 on the pool; task t writes rows_per_task
// rows of cols values into its own block, starting at row t * rows_per_task,
// and says whether it produced them. A task that starts once the call is
// interrupted produces nothing. Blocks are kept in task order, so the rows
// come back in the order of r whatever ran first.
BootstrapTable run_tasks(std::size_t n_tasks, std::size_t rows_per_task, std::size_t cols,
                         const Interruption& interruption,
                         FunctionRef<bool(std::size_t, double*)> task) {
    const std::size_t block = rows_per_task * cols;
    BootstrapTable table{cols, std::vector<double>(n_tasks * block)};
    // One byte per task, each written by its own task only.
    std::vector<unsigned char> produced(n_tasks, 0);
    parallel_for(n_tasks, [&](std::size_t t) {
        if (interruption.requested()) return;
        produced[t] = task(t, table.values.data() + t * block) ? 1 : 0;
    });
    std::size_t kept = 0;
    for (std::size_t t = 0; t < n_tasks; ++t) {
        if (!produced[t]) continue;
        if (kept != t) {
            std::copy_n(table.values.begin() + static_cast<std::ptrdiff_t>(t * block), block,
                        table.values.begin() + static_cast<std::ptrdiff_t>(kept * block));
        }
        ++kept;
    }
    table.values.resize(kept * block);
    return table;
}

// One task per row r = 0 .. n_rows - 1 (the independent modes).
BootstrapTable per_row(const BootstrapData& data, std::size_t n_rows, std::size_t cols,
                       const Interruption& interruption,
                       FunctionRef<void(std::size_t, std::size_t, std::size_t, double*)> fit_row) {
    return run_tasks(n_rows, 1, cols, interruption, [&](std::size_t r, double* out) {
        fit_row(r, r / data.n_densities, r % data.n_densities, out);
        interruption.count_fit();
        interruption.count_rows(1);
        return true;
    });
}

// One task per resample b, given its block of rows as a view. With no
// densities a resample produces no rows, so none is run: n_boot = 10^18 with
// n_densities = 0 returns at once rather than running that many empty fits.
BootstrapTable per_resample(const BootstrapData& data, std::size_t cols,
                            const Interruption& interruption,
                            FunctionRef<bool(std::size_t, RowRange, double*)> fit_resample) {
    const std::size_t n_tasks = data.n_densities == 0 ? 0 : data.n_boot;
    return run_tasks(n_tasks, data.n_densities, cols, interruption,
                     [&](std::size_t b, double* out) {
                         const RowRange rows(data.fracs, b * data.n_densities, data.n_densities,
                                             kFracsName);
                         const bool produced = fit_resample(b, rows, out);
                         // A resample's rows are final together, when its fit ends.
                         if (produced) {
                             interruption.count_rows(static_cast<std::int64_t>(data.n_densities));
                         }
                         return produced;
                     });
}

double as_index(std::size_t i) { return static_cast<double>(i); }

void put_row6(double* out, std::size_t b, std::size_t d, double st, double cow, double coe,
              double nll) {
    const double row[kBootstrapColumns] = {as_index(b), as_index(d), st, cow, coe, nll};
    std::copy_n(row, kBootstrapColumns, out);
}

void put_row9(double* out, std::size_t b, std::size_t d, double st, double n_u, double n_m,
              double cow, double coe, double nll, double vmax) {
    const double row[kBootstrapExpColumns] = {as_index(b), as_index(d), st,  n_u, n_m,
                                              cow,         coe,         nll, vmax};
    std::copy_n(row, kBootstrapExpColumns, out);
}

std::uint64_t seed_of(std::size_t r) { return static_cast<std::uint64_t>(r); }

// Fixed-St mode, resample b: density 0 fitted with three free parameters,
// its St then held while (CoW, CoE) are refitted for the other densities in
// parallel. The refits are skipped once the call is interrupted, since the
// resample's rows would be discarded anyway.
bool fit_fixed_st_resample(const BootstrapData& data, std::size_t b, const RowRange& rows,
                           Bound st_bounds, Bound co_bounds, double n_u, double n_m,
                           double co_penalty, const Interruption& interruption, double* out) {
    const std::size_t base = b * data.n_densities;
    const DensityFit first = fit_one_density_inner(rows.row(0), data.edges, data.normalize_stw,
                                                   st_bounds, co_bounds, n_u, n_m, co_penalty,
                                                   seed_of(base));
    interruption.count_fit();
    put_row6(out, b, 0, first.st, first.cow, first.coe, first.nll);
    const std::size_t rest = data.n_densities - 1;
    std::vector<unsigned char> done(rest, 0);
    parallel_for(rest, [&](std::size_t i) {
        if (interruption.requested()) return;
        const std::size_t d = i + 1;
        // Read when this density's fit starts, as every fit reads its ceiling.
        const double vmax = mm_vmax();
        const CoFit fit = fit_co_fixed_st_inner(rows.row(d), data.edges, data.normalize_stw,
                                                first.st, n_u, n_m, co_bounds, co_penalty, vmax,
                                                seed_of(base + d));
        interruption.count_fit();
        put_row6(out + d * kBootstrapColumns, b, d, first.st, fit.cow, fit.coe, fit.nll);
        done[i] = 1;
    });
    for (unsigned char ok : done) {
        if (!ok) return false;
    }
    return true;
}

}  // namespace

BootstrapTable fit_bootstrap(const BootstrapData& data, ThreeParamMode mode, Bound st_bounds,
                             Bound co_bounds, double n_u, double n_m, double co_penalty,
                             OptionalWeights weights, const Interruption& interruption) {
    constexpr std::size_t cols = kBootstrapColumns;
    const std::size_t n_rows = checked_row_count(data, cols);
    switch (mode) {
        case ThreeParamMode::kIndependent:
            check_positive_co_bounds(co_bounds);
            return per_row(data, n_rows, cols, interruption,
                           [&](std::size_t r, std::size_t b, std::size_t d, double* out) {
                               const DensityFit f = fit_one_density_inner(
                                   data.fracs.row(r, kFracsName), data.edges,
                                   data.normalize_stw, st_bounds, co_bounds, n_u, n_m,
                                   co_penalty, seed_of(r));
                               put_row6(out, b, d, f.st, f.cow, f.coe, f.nll);
                           });
        case ThreeParamMode::kFixedSt:
            check_positive_co_bounds(co_bounds);
            return per_resample(data, cols, interruption,
                                [&](std::size_t b, RowRange rows, double* out) {
                                    return fit_fixed_st_resample(data, b, rows, st_bounds,
                                                                 co_bounds, n_u, n_m, co_penalty,
                                                                 interruption, out);
                                });
        case ThreeParamMode::kSharedSt:
            check_shared_st_inputs(data.n_densities, st_bounds, co_bounds, weights);
            return per_resample(
                data, cols, interruption, [&](std::size_t b, RowRange rows, double* out) {
                    const SharedStFit fit =
                        fit_shared_st_inner(rows, data.edges, data.normalize_stw, st_bounds,
                                            co_bounds, n_u, n_m, co_penalty, weights,
                                            interruption);
                    if (interruption.requested()) return false;  // final fits were skipped
                    for (std::size_t d = 0; d < data.n_densities; ++d) {
                        const CoFit& c = fit.densities[d];
                        put_row6(out + d * cols, b, d, fit.st, c.cow, c.coe, c.nll);
                    }
                    return true;
                });
    }
    throw InternalError("unknown bootstrap mode");
}

BootstrapTable fit_bootstrap_exp(const BootstrapData& data, Bound st_bounds, Bound co_bounds,
                                 Bound n_exp_bounds, double co_penalty, OptionalWeights weights,
                                 std::optional<SharedExpStart> warm_start, bool fit_vmax,
                                 Bound vmax_bounds, const Interruption& interruption) {
    constexpr std::size_t cols = kBootstrapExpColumns;
    checked_row_count(data, cols);
    check_shared_exp_inputs(data.n_densities, st_bounds, co_bounds, n_exp_bounds, fit_vmax,
                            vmax_bounds, weights);
    return per_resample(data, cols, interruption, [&](std::size_t b, RowRange rows, double* out) {
        const SharedExpFit fit = fit_shared_exp_inner(
            rows, data.edges, data.normalize_stw, st_bounds, co_bounds, n_exp_bounds, fit_vmax,
            vmax_bounds, co_penalty, weights, /*verbose=*/false, warm_start, interruption);
        if (interruption.requested()) return false;
        for (std::size_t d = 0; d < data.n_densities; ++d) {
            const CoFit& c = fit.densities[d];
            put_row9(out + d * cols, b, d, fit.st, fit.n_u, fit.n_m, c.cow, c.coe, c.nll,
                     fit.vmax);
        }
        return true;
    });
}

BootstrapTable fit_bootstrap_exp_perdensity(const BootstrapData& data, bool shared_st,
                                            Bound st_bounds, Bound co_bounds, Bound n_exp_bounds,
                                            double co_penalty, OptionalWeights weights,
                                            bool fit_vmax, Bound vmax_bounds,
                                            const Interruption& interruption) {
    constexpr std::size_t cols = kBootstrapExpColumns;
    const std::size_t n_rows = checked_row_count(data, cols);
    if (!shared_st) {
        check_positive_co_bounds(co_bounds);
        return per_row(data, n_rows, cols, interruption,
                       [&](std::size_t r, std::size_t b, std::size_t d, double* out) {
                           const DensityExpFit f = fit_one_density_exp_inner(
                               data.fracs.row(r, kFracsName), data.edges, data.normalize_stw,
                               st_bounds, co_bounds, n_exp_bounds, co_penalty, seed_of(r));
                           put_row9(out, b, d, f.st, f.n_u, f.n_m, f.cow, f.coe, f.nll,
                                    mm_vmax());
                       });
    }
    check_shared_st_perdensity_exp_inputs(data.n_densities, st_bounds, co_bounds, n_exp_bounds,
                                          fit_vmax, vmax_bounds, weights);
    return per_resample(data, cols, interruption, [&](std::size_t b, RowRange rows, double* out) {
        const SharedStExpFit fit = fit_shared_st_perdensity_exp_inner(
            rows, data.edges, data.normalize_stw, st_bounds, co_bounds, n_exp_bounds, fit_vmax,
            vmax_bounds, co_penalty, weights, interruption);
        if (interruption.requested()) return false;
        for (std::size_t d = 0; d < data.n_densities; ++d) {
            const CoExpFit& c = fit.densities[d];
            put_row9(out + d * cols, b, d, fit.st, c.n_u, c.n_m, c.cow, c.coe, c.nll, fit.vmax);
        }
        return true;
    });
}

BootstrapTable fit_bootstrap_co(const BootstrapData& data, Bound st_bounds, Bound co_bounds,
                                Bound n_exp_bounds, double co_penalty, OptionalWeights weights,
                                std::optional<SharedCoStart> warm_start,
                                const Interruption& interruption) {
    constexpr std::size_t cols = kBootstrapExpColumns;
    checked_row_count(data, cols);
    check_shared_co_inputs(data.n_densities, st_bounds, co_bounds, n_exp_bounds, weights);
    return per_resample(data, cols, interruption, [&](std::size_t b, RowRange rows, double* out) {
        const SharedCoFit fit =
            fit_shared_co_inner(rows, data.edges, data.normalize_stw, st_bounds, co_bounds,
                                n_exp_bounds, co_penalty, weights, /*verbose=*/false, warm_start,
                                interruption);
        if (interruption.requested()) return false;
        // Read after the resample's fit, like the row of an independent fit.
        const double vmax = mm_vmax();
        for (std::size_t d = 0; d < data.n_densities; ++d) {
            const ExpFit& e = fit.densities[d];
            put_row9(out + d * cols, b, d, fit.st, e.n_u, e.n_m, fit.cow, fit.coe, e.nll, vmax);
        }
        return true;
    });
}

}  // namespace korvel
