// The drift model: how the methylation distribution of a region changes with
// age when only spontaneous erasing (StE) and writing (StW) act.
//
// A region of 70 CpG sites is in macrostate m = number of methylated sites,
// m = 0..70. Each methylated site is erased at rate StE and each unmethylated
// site written at rate StW, independently, so the master equation is a linear
// birth-death chain dP/dt = Q P with the tridiagonal generator Q below. The
// distribution observed at the reference age 0 is spread over the macrostates,
// propagated to each age t with exp(t Q), and summed back into the caller's
// methylation bins; fits score the binned predictions at several ages against
// observed bin fractions with a multinomial negative log-likelihood.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/interrupt.h"
#include "core/row_matrix.h"
#include "core/sites.h"
#include "drift/expm.h"
#include "optimizer/box.h"

namespace korvel {

// The drift chain has the states of the master-equation model, m = 0..70.
inline constexpr std::size_t kDriftStates = static_cast<std::size_t>(kNumStates);
// Floor of a binned prediction before renormalisation: keeps ln() finite for
// bins the model leaves empty.
inline constexpr double kDriftBinFloor = 1e-10;

// A distribution over the 71 macrostates, P[m].
using DriftDistribution = std::array<double, kDriftStates>;

// Q[to][from]: erasing m -> m-1 at m StE, writing m -> m+1 at (70 - m) StW,
// each diagonal entry minus its column's off-diagonal sum.
SquareMatrix drift_generator(double ste, double stw);

// P0 from observed bin fractions at age 0: each bin's fraction is spread
// uniformly over the macrostates whose fraction m / 70 lies in the bin, then
// the whole is renormalised (all zeros when nothing positive was spread).
// Throws InternalError when a bin that holds macrostates has no entry in p0,
// or when edges is empty.
DriftDistribution drift_initial_distribution(std::span<const double> p0,
                                             std::span<const double> edges);

// exp(t Q) P0 for every age t, in the order given, each from P0 directly;
// negatives clipped to 0, then renormalised.
std::vector<DriftDistribution> propagate_drift(const SquareMatrix& q, const DriftDistribution& p0,
                                               std::span<const double> ages);

// The distribution summed into the bins of edges (first matching bin; the
// last bin closed), floored at kDriftBinFloor and renormalised. Throws
// InternalError when edges is empty.
std::vector<double> bin_drift_distribution(const DriftDistribution& p,
                                           std::span<const double> edges);

// Multinomial NLL of observed rows (one per age, paired by position; only
// the first min(ages, rows) pairs, and in each row the first min(bins, row
// length) entries, count), natural logarithm, summed over ages.
double drift_nll(double ste, double stw, const DriftDistribution& p0,
                 std::span<const std::span<const double>> observed, std::span<const double> ages,
                 std::span<const double> edges);

struct DriftFit {
    double ste;
    double stw;
    double nll;
};

// Fits (StE, StW), both bounded by st_bounds, by global search on drift_nll.
// Without a seed the search is keyed from the OS entropy source. Once the
// interruption is requested the objective returns +inf without solving
// anything, so the search winds down in milliseconds; its result is then
// meaningless and the caller discards it.
DriftFit fit_drift(const DriftDistribution& p0, std::span<const std::span<const double>> observed,
                   std::span<const double> fit_ages, std::span<const double> edges,
                   Bound st_bounds, std::optional<std::uint64_t> seed,
                   const Interruption& interruption = {});

// Fits (StE, StW) by global search over log10 StE and log10 StW, both in
// [log10 lo, log10 hi] of st_bounds, always seeded. The rates a data set can
// pin down span decades, and on a plain scale almost the whole box is the
// high-rate plateau where every age has reached equilibrium and the NLL no
// longer changes: a population spread evenly over it rarely samples the
// small corner that holds the optimum and can settle on the plateau. On the
// logarithmic scale each decade gets its share of the population; and when
// the search still ends on the plateau ((StE + StW) times the youngest
// positive fit age at least 10), a second search, keyed from seed as well,
// runs over the box cut off where the plateau begins, and the better fit is
// kept. Throws InternalError unless 0 < lo <= hi < inf. Interruption as in
// fit_drift.
// Throws InternalError unless 0 < lo <= hi < inf: the box of a search of log10
// rates. The bindings call it before their own argument checks so a bad box
// is named first, whatever else is wrong.
void check_log_bounds(Bound st_bounds);

DriftFit fit_drift_log_rates(const DriftDistribution& p0,
                             std::span<const std::span<const double>> observed,
                             std::span<const double> fit_ages, std::span<const double> edges,
                             Bound st_bounds, std::uint64_t seed,
                             const Interruption& interruption = {});

// The most grid points one drift profile takes.
inline constexpr std::size_t kMaxDriftProfilePoints = 1000;

// Full profile of one rate of fit_drift_log_rates (parameter 0 StE, 1 StW):
// entry p is the NLL with that rate held at grid[p] and the other refitted
// as fit_drift_log_rates fits it (global search over its log10 in the box,
// and the second search below the plateau when the first ends on it), keyed
// with seed p, so the profile is identical on any number of threads. Grid
// values may lie outside st_bounds. Grid points run in parallel. Checked
// before any work: the parameter, the grid (at most kMaxDriftProfilePoints
// values, each finite and positive) as ArgumentError, then st_bounds
// as fit_drift_log_rates checks them. Once interrupted no further point
// starts and the entries are NaN; the caller discards them.
std::vector<double> profile_drift_log_rates(const DriftDistribution& p0,
                                            std::span<const std::span<const double>> observed,
                                            std::span<const double> fit_ages,
                                            std::span<const double> edges, Bound st_bounds,
                                            std::size_t parameter, std::span<const double> grid,
                                            const Interruption& interruption = {});

// How a bootstrap fits each sample: as fit_drift (plain rates) or as
// fit_drift_log_rates (rates searched as log10 values; the bounds are checked
// as that checks them, before the row counts and before any work starts).
enum class DriftRates { kPlain, kLog };

// Fits every bootstrap sample on the worker pool: sample b has P0 from row b
// of p0_per_boot and observed rows b * n_fit_ages + k of
// fit_observed_per_boot, and is fitted with seed b. Row counts are checked
// before any work starts. Once the interruption is requested, samples not yet
// started get NaN in all three fields and running fits wind down as in
// fit_drift: the caller discards the rows.
std::vector<DriftFit> fit_drift_bootstrap(const RowMatrix& p0_per_boot,
                                          const RowMatrix& fit_observed_per_boot,
                                          std::size_t n_boot, std::size_t n_fit_ages,
                                          std::span<const double> fit_ages,
                                          std::span<const double> edges, Bound st_bounds,
                                          const Interruption& interruption,
                                          DriftRates rates = DriftRates::kPlain);

}  // namespace korvel
