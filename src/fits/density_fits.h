// Fits of one density bin: the three-parameter fit and its variants.
//
// Every fit is one global search (differential evolution + Nelder-Mead
// polish) over its own coordinates: St plain, cooperative coefficients as
// log10, exponents plain. Coefficients come back as plain values and the
// reported NLL never contains the coefficient penalty.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "optimizer/box.h"

namespace korvel {

struct DensityFit {  // three-parameter fit
    double st, cow, coe, nll;
};
struct DensityExpFit {  // five-parameter fit
    double st, cow, coe, n_u, n_m, nll;
};
struct CoFit {
    double cow, coe, nll;
};
struct CoExpFit {
    double cow, coe, n_u, n_m, nll;
};
struct ExpFit {
    double n_u, n_m, nll;
};

// Both ends of co_bounds positive: the fits search log10 of them, and a zero
// end would become -inf, from which the initial population is drawn as NaN.
// Throws InternalError naming co_bounds.
void check_positive_co_bounds(Bound co_bounds);

// (St, log10 CoW, log10 CoE) with fixed exponents; Vmax = the run-wide ceiling
// read once at the start. Without a seed the generator is keyed from entropy.
DensityFit fit_one_density_inner(std::span<const double> observed, std::span<const double> edges,
                                 bool normalize_stw, Bound st_bounds, Bound co_bounds, double n_u,
                                 double n_m, double co_penalty,
                                 std::optional<std::uint64_t> seed);

// (St, log10 CoW, log10 CoE, n_U, n_M); Vmax = the run-wide ceiling.
DensityExpFit fit_one_density_exp_inner(std::span<const double> observed,
                                        std::span<const double> edges, bool normalize_stw,
                                        Bound st_bounds, Bound co_bounds, Bound n_exp_bounds,
                                        double co_penalty, std::uint64_t seed);

// (log10 CoW, log10 CoE) at fixed St, n_U, n_M.
CoFit fit_co_fixed_st_inner(std::span<const double> observed, std::span<const double> edges,
                            bool normalize_stw, double st, double n_u, double n_m,
                            Bound co_bounds, double co_penalty, double vmax,
                            std::optional<std::uint64_t> seed);

// (log10 CoW, log10 CoE, n_U, n_M) at fixed St.
CoExpFit fit_co_exp_fixed_st_inner(std::span<const double> observed,
                                   std::span<const double> edges, bool normalize_stw, double st,
                                   Bound co_bounds, Bound n_exp_bounds, double co_penalty,
                                   double vmax, std::uint64_t seed);

// (n_U, n_M) at fixed St, CoW, CoE; no penalty.
ExpFit fit_exp_fixed_co_inner(std::span<const double> observed, std::span<const double> edges,
                              bool normalize_stw, double st, double cow, double coe,
                              Bound n_exp_bounds, double vmax, std::uint64_t seed);

// One coefficient searched (log10), the other fixed: fix_cow true fixes CoW at
// fixed_co and searches CoE; false fixes CoE and searches CoW. No penalty;
// Vmax = the run-wide ceiling; always seeded from entropy. Returns the NLL.
double fit_single_co_inner(std::span<const double> observed, std::span<const double> edges,
                           bool normalize_stw, double st, double fixed_co, bool fix_cow,
                           double n_u, double n_m, Bound co_bounds);

}  // namespace korvel
