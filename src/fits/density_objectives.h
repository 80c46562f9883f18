// Boxes and the three-parameter objective of the per-density fits.
//
// Kept out of density_fits.h because only the fit kernels and the fit
// benchmark need them: the benchmark wraps the very objective the fit
// minimises with an evaluation counter, so what it counts is what runs.
#pragma once

#include <array>
#include <span>

#include "model/model.h"
#include "optimizer/box.h"

namespace korvel::density_fit_detail {

// Box of a cooperative coefficient searched as its base-10 logarithm: both
// ends of co_bounds through std::log10.
Bound log10_bound(Bound co_bounds);

// Fails up front, with the optimisers' clamp error, on a pair that is inverted
// or has a NaN end; the search itself would fail the same way at its first
// clamp of that coordinate, after spending a population's worth of model
// solves.
void check_box(std::span<const Bound> box);

// A coefficient box must be positive: a zero end becomes -inf on the log10
// scale, from which the initial population is drawn as NaN.
void check_co_bounds(Bound co_bounds);

// (St, log10 CoW, log10 CoE), checked.
std::array<Bound, 3> three_param_box(Bound st_bounds, Bound co_bounds);

// NLL of x = (St, log10 CoW, log10 CoE) at fixed exponents and Vmax, plus the
// coefficient penalty. Holds references only: evaluating it allocates nothing
// beyond what model_nll itself does.
struct ThreeParamObjective {
    const DensityData& data;
    double n_u;
    double n_m;
    double vmax;
    double co_penalty;

    double operator()(std::span<const double> x) const;
};

}  // namespace korvel::density_fit_detail
