// The skeleton every per-density fit runs: which parameters it searches and
// which it holds, the box that follows from that, one global search, and the
// rule for the reported NLL.
//
// Kept out of density_fits.h because only the fit kernels and the fit
// benchmark need it: the benchmark wraps the very objective a fit minimises
// with an evaluation counter, so what it counts is what runs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "model/model.h"
#include "optimizer/box.h"

namespace korvel::density_fit_detail {

// Bounds of the searched parameters, each given on its plain scale: St
// searched within st, CoW and CoE both within log10 of co, the two exponents
// both within n_exp. Bounds of a parameter the fit does not search are not
// read.
struct DensityBounds {
    Bound st;
    Bound co;
    Bound n_exp;
};

// One per-density fit: what it searches, the values of everything else, and
// whether its coefficients are penalised.
struct DensitySearch {
    unsigned searched;  // DensityParam bits
    DensityParams fixed;
    DensityBounds bounds;
    double vmax;
    std::optional<double> co_penalty;
};

// Search box in coordinate order, at most one entry per parameter.
struct DensityBox {
    std::array<Bound, 5> bounds;
    std::size_t size;

    std::span<const Bound> view() const { return {bounds.data(), size}; }
};

// The box of s, checked: first every pair, with the optimisers' clamp error
// (inverted or NaN), then, when a coefficient is searched, co_bounds for
// positivity. The search would fail on a bad pair too, but only at its first
// clamp of that coordinate, after a population's worth of model solves; a
// zero end becomes -inf on the log10 scale, from which the initial population
// is drawn as NaN.
DensityBox density_box(const DensitySearch& s);

// The objective of s over the data d.
DensityObjective density_objective(const DensitySearch& s, const DensityData& d);

struct DensityResult {
    DensityParams params;  // plain values, the searched ones at the best point
    double nll;            // never with the penalty
};

// Runs s on its own copy of the bin's data: checks the box, runs
// global_search with the seed (none: entropy), maps the best point back to
// plain values. The NLL is the best objective value when the fit has no
// penalty or a weight of exactly 0, otherwise the model scored once more at
// the returned parameters.
DensityResult run_density_search(std::span<const double> observed, std::span<const double> edges,
                                 bool normalize_stw, const DensitySearch& s,
                                 std::optional<std::uint64_t> seed);

// What fit_one_density_inner searches: (St, log10 CoW, log10 CoE) at fixed
// exponents.
DensitySearch three_param_search(Bound st_bounds, Bound co_bounds, double n_u, double n_m,
                                 double vmax, double co_penalty);

// What the per-density fits inside the shared fits search, one builder per
// fit: fit_co_fixed_st_inner, fit_co_exp_fixed_st_inner and
// fit_exp_fixed_co_inner run exactly these.
DensitySearch co_fixed_st_search(double st, double n_u, double n_m, Bound co_bounds,
                                 double co_penalty, double vmax);
DensitySearch co_exp_fixed_st_search(double st, Bound co_bounds, Bound n_exp_bounds,
                                     double co_penalty, double vmax);
DensitySearch exp_fixed_co_search(double st, double cow, double coe, Bound n_exp_bounds,
                                  double vmax);

// s with one parameter (0 St, 1 CoW, 2 CoE, 3 n_U, 4 n_M) no longer searched
// but held at value: one point of a profile through that fit.
DensitySearch holding(DensitySearch s, std::size_t parameter, double value);

}  // namespace korvel::density_fit_detail
