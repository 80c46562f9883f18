// Fits of every density bin at once with some parameters shared by all bins.
//
// Each kernel nests per-density fits inside an outer search over the shared
// values: every outer evaluation refits each density bin's own parameters at
// the candidate shared values, in parallel on the worker pool, and sums
// weight[d] * NLL[d] in row order starting from 0.0, so the value does not
// depend on scheduling. After the search the per-density fits are run once
// more at the chosen shared values; their results are what the kernel returns,
// one entry per density row, in row order. Returned NLLs are plain data NLLs:
// never weighted, never penalised.
//
// Common arguments:
// - rows: the observed bin fractions, one row per density bin, densities
//   ascending. A view of the caller's matrix (all rows of one data set, or
//   one bootstrap resample's block); the kernels only read it.
// - edges, normalize_stw: passed to the model unchanged.
// - weights: one weight per density bin, or std::nullopt for 1.0 each. Must
//   hold at least rows.size() entries; entries beyond are ignored.
// - interruption: the caller's Ctrl+C handle. Once it is requested the result
//   will be discarded, so the kernel winds down: outer objectives return
//   +infinity at once, multi-start begins no further start, and the final fits
//   are skipped (the per-density entries are then NaN). A default-constructed
//   handle is never requested and the kernel always runs to its end.
//
// Every kernel reads the run-wide Vmax once when it starts and uses that value
// wherever Vmax is not fitted.
//
// Inputs are checked before any work by the check_* functions below (each
// kernel calls its own first; a bootstrap may call it once before its tasks):
// a weights vector shorter than the number of density rows, a log-scale bound
// pair with an end that is zero, negative, infinite or NaN, and a co_bounds
// pair with an end that is not positive are all InternalErrors naming the
// argument. Where the outer search is a simplex, inverted (lo > hi) positive
// bounds raise the optimisers' clamp error; in the Brent searches, which
// never clamp, they raise an InternalError naming st_bounds.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "core/interrupt.h"
#include "core/row_matrix.h"
#include "fits/density_fits.h"
#include "optimizer/box.h"

namespace korvel {

// Per-density weights of a shared objective; std::nullopt means 1.0 each.
using OptionalWeights = std::optional<std::span<const double>>;

// ---------------------------------------------------------------- input checks

// weights, when given, must hold at least n_densities entries.
void check_weights(OptionalWeights weights, std::size_t n_densities);

// A pair searched on a logarithmic scale: both ends positive and finite. With
// require_ordered, lo <= hi too (the Brent searches, which never clamp).
void check_log_bounds(Bound bounds, const char* name, bool require_ordered);

// Every check of each kernel, in the order the kernel makes them.
void check_shared_st_inputs(std::size_t n_densities, Bound st_bounds, Bound co_bounds,
                            OptionalWeights weights);
void check_shared_exp_inputs(std::size_t n_densities, Bound st_bounds, Bound co_bounds,
                             Bound n_exp_bounds, bool fit_vmax, Bound vmax_bounds,
                             OptionalWeights weights);
void check_shared_st_perdensity_exp_inputs(std::size_t n_densities, Bound st_bounds,
                                           Bound co_bounds, Bound n_exp_bounds, bool fit_vmax,
                                           Bound vmax_bounds, OptionalWeights weights);
void check_shared_co_inputs(std::size_t n_densities, Bound st_bounds, Bound co_bounds,
                            Bound n_exp_bounds, OptionalWeights weights);

// --------------------------------------------------------------------- results

struct SharedStFit {
    double st;
    std::vector<CoFit> densities;  // (CoW, CoE, NLL) per density row
};

struct SharedExpFit {
    double st, n_u, n_m;
    double vmax;  // fitted, or the run-wide value read at the start
    std::vector<CoFit> densities;
};

struct SharedStExpFit {
    double st;
    double vmax;  // fitted, or the run-wide value read at the start
    std::vector<CoExpFit> densities;  // (CoW, CoE, n_U, n_M, NLL) per density row
};

struct SharedCoFit {
    double st, cow, coe;
    std::vector<ExpFit> densities;  // (n_U, n_M, NLL) per density row
};

// Warm starts, in plain units (usually a main fit's estimate).
struct SharedExpStart {
    double st, n_u, n_m, vmax;
};
struct SharedCoStart {
    double st, cow, coe;
};

// --------------------------------------------------------------------- kernels

// One St shared by every density bin, (CoW, CoE) per bin at fixed exponents.
// Brent over ln St on [ln lo, ln hi] of st_bounds; each evaluation refits every
// bin with fit_co_fixed_st_inner seeded from entropy, so repeated calls may
// differ slightly. Prints nothing.
SharedStFit fit_shared_st_inner(RowRange rows, std::span<const double> edges, bool normalize_stw,
                                Bound st_bounds, Bound co_bounds, double n_u, double n_m,
                                double co_penalty, OptionalWeights weights,
                                const Interruption& interruption = {});

// St, n_U and n_M (and, with fit_vmax, Vmax) shared; (CoW, CoE) per bin.
// Multi-start Nelder-Mead over (log10 St, n_U, n_M[, log10 Vmax]) from five
// cold starts, or from the warm start alone (clamped into the box). Bin d is
// fitted with seed d, so the kernel is deterministic. With verbose, writes the
// start, converged and best-start lines and one line per outer evaluation to
// standard error, numbered from 1 in each call.
SharedExpFit fit_shared_exp_inner(RowRange rows, std::span<const double> edges,
                                  bool normalize_stw, Bound st_bounds, Bound co_bounds,
                                  Bound n_exp_bounds, bool fit_vmax, Bound vmax_bounds,
                                  double co_penalty, OptionalWeights weights, bool verbose,
                                  std::optional<SharedExpStart> warm_start,
                                  const Interruption& interruption = {});

// St (and, with fit_vmax, Vmax) shared; (CoW, CoE, n_U, n_M) per bin. Brent
// over ln St, or with fit_vmax one Nelder-Mead search over (log10 St,
// log10 Vmax) from the middle of the box. Bin d is fitted with seed d, so the
// kernel is deterministic. Prints nothing.
SharedStExpFit fit_shared_st_perdensity_exp_inner(RowRange rows, std::span<const double> edges,
                                                  bool normalize_stw, Bound st_bounds,
                                                  Bound co_bounds, Bound n_exp_bounds,
                                                  bool fit_vmax, Bound vmax_bounds,
                                                  double co_penalty, OptionalWeights weights,
                                                  const Interruption& interruption = {});

// St, CoW and CoE shared; (n_U, n_M) per bin. Multi-start Nelder-Mead over
// (log10 St, log10 CoW, log10 CoE) from seven cold starts, or from the warm
// start alone (clamped into the box). The coefficient penalty is added once to
// each outer value. Bin d is fitted with seed d. Progress lines as in
// fit_shared_exp_inner.
SharedCoFit fit_shared_co_inner(RowRange rows, std::span<const double> edges, bool normalize_stw,
                                Bound st_bounds, Bound co_bounds, Bound n_exp_bounds,
                                double co_penalty, OptionalWeights weights, bool verbose,
                                std::optional<SharedCoStart> warm_start,
                                const Interruption& interruption = {});

}  // namespace korvel
