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

// ------------------------------------------------------------- profiles
//
// Full profiles through the three multi-parameter shared fits: entry p is the
// fit's objective with one parameter held at grid[p] and every other free
// parameter refitted, the shared ones by the fit's own outer search (from its
// cold starts, the held coordinate's interval collapsed onto the held value,
// as if the fit ran with lo == hi bounds for it) and every row's own by the
// fit's own per-density search (the held row's searching all but the held
// one).
// Its value is sum_e weights[e] * NLL_e in row order, without any penalty, at
// the best point the outer search evaluated; the penalty still steers the
// searches as in the fit.
//
// `parameter`: 0 St, 1 CoW, 2 CoE, 3 n_U, 4 n_M, 5 Vmax (only with fit_vmax);
// a per-density one is that of row density_idx, which must name a row even
// when a shared parameter is profiled. A held shared value enters the search
// through its coordinate (10^(log10 v) for a log-scale one), as the fit would
// meet it with lo == hi bounds. Grid values may lie outside the search
// bounds: a profile may look beyond the box the fit was confined to.
//
// Every fit at grid point p is seeded (row e with p * n_densities + e), so a
// profile is identical to the bit on any number of threads. Grid points run in
// parallel on the pool, each one's per-density fits in parallel as well.
// Vmax, when not fitted, is the run-wide value read once. Once `interruption`
// is requested no further grid point starts and the running ones wind down;
// their entries are NaN and the caller discards the result.
//
// Checked before any work, as InternalErrors: the parameter (fitted by the
// mode), density_idx, the grid (at most kMaxProfilePoints values, each
// finite, and positive for St, CoW, CoE and Vmax), then the mode's own inputs
// as its fit checks them.

// The most grid points one profile call takes: every point is a whole shared
// fit, minutes each on real data.
inline constexpr std::size_t kMaxProfilePoints = 1000;

// What the three profiles are asked, one field for each of the fit's inputs:
// the rows and their edges, the parameter held (and its row), the grid, and
// the mode's boxes, penalty and weights; fit_vmax and vmax_bounds are read
// only by the two modes that can fit Vmax.
struct SharedProfileRequest {
    RowRange rows;
    std::span<const double> edges;
    bool normalize_stw;
    std::size_t parameter, density_idx;
    std::span<const double> grid;
    Bound st_bounds, co_bounds, n_exp_bounds;
    double co_penalty;
    OptionalWeights weights;
    bool fit_vmax = false;
    Bound vmax_bounds{};
    // Where the shared search starts first (usually the fit's estimate), moved
    // onto the held value, before the fit's cold starts: a held exponent
    // leaves the cold starts at the far end of a curved valley of St against
    // the exponents, where the simplex can stall well above the minimum that
    // the estimate lies next to. Read by the mode it belongs to.
    std::optional<SharedExpStart> exp_start;
    std::optional<SharedCoStart> co_start;
    // False: the warm start alone, without the cold starts after it (a step
    // along a profile from the optimum its neighbouring point found).
    bool cold_starts = true;
};

// The most shared values a profile point reports (shared-exp's four).
inline constexpr std::size_t kMaxSharedValues = 4;

// A profile's points: the NLL at each grid point, and the shared values at
// which it was found, row p of `shared` (`width` values a row: St, n_U, n_M,
// Vmax for shared-exp; St, CoW, CoE for shared-co; St, Vmax for
// shared-st-exp), NaN where the point was interrupted. A caller walking a
// profile outwards starts the next point there.
struct SharedProfilePoints {
    std::vector<double> nll;
    std::vector<double> shared;
    std::size_t width = 0;
};

// St, n_U, n_M (and Vmax) shared, (CoW, CoE) per row: parameters 0, 3, 4 (5)
// shared, 1 and 2 per density; the search starts at exp_start first.
SharedProfilePoints profile_shared_exp_inner(const SharedProfileRequest& request,
                                             const Interruption& interruption = {});

// St (and Vmax) shared, (CoW, CoE, n_U, n_M) per row: 0 (5) shared, 1 to 4
// per density. Without Vmax a held St leaves nothing shared to search: Brent
// over the one point, the sum of the rows' fits at that St.
SharedProfilePoints profile_shared_st_exp_inner(const SharedProfileRequest& request,
                                                const Interruption& interruption = {});

// St, CoW, CoE shared, (n_U, n_M) per row: 0 to 2 shared, 3 and 4 per
// density. The fit adds the coefficient penalty once to each outer value;
// the profile minimises that too but reports the NLL sum alone; the search
// starts at co_start first.
SharedProfilePoints profile_global_co_inner(const SharedProfileRequest& request,
                                            const Interruption& interruption = {});

}  // namespace korvel
