// Fits of one density bin.
//
// Each fit is a single global search over its own coordinates. The objective
// maps a search point onto the seven model parameters: St stays plain,
// cooperative coefficients are searched as log10 and recovered with
// std::pow(10.0, x), exponents stay plain; everything not searched is fixed for
// the whole fit. The penalty on the coefficients only steers the search: the
// NLL handed back is always the plain model NLL at the returned parameters.
#include "fits/density_fits.h"

#include <cmath>
#include <string>
#include <vector>

#include "core/errors.h"
#include "core/format.h"
#include "core/state.h"
#include "fits/density_objectives.h"
#include "model/model.h"
#include "optimizer/global_search.h"

namespace korvel {

namespace density_fit_detail {

Bound log10_bound(Bound co_bounds) { return {std::log10(co_bounds.lo), std::log10(co_bounds.hi)}; }

void check_box(std::span<const Bound> box) {
    // clamp throws exactly the error the search would raise later.
    for (const Bound& b : box) {
        (void)clamp(b.lo, b.lo, b.hi);
    }
}

void check_co_bounds(Bound co_bounds) {
    if (!(co_bounds.lo > 0.0) || !(co_bounds.hi > 0.0)) {
        throw InternalError("co_bounds must be positive, got lo = " +
                            format_shortest(co_bounds.lo) +
                            ", hi = " + format_shortest(co_bounds.hi));
    }
}

std::array<Bound, 3> three_param_box(Bound st_bounds, Bound co_bounds) {
    const Bound co = log10_bound(co_bounds);
    const std::array<Bound, 3> box{st_bounds, co, co};
    check_box(box);
    check_co_bounds(co_bounds);
    return box;
}

namespace {
// The optimisers always pass points of the box's size; a shorter point would
// be read past its end, so it is refused rather than trusted.
void require_coordinates(std::span<const double> x, std::size_t n, const char* what) {
    if (x.size() < n) {
        throw InternalError(std::string(what) + ": expected " + std::to_string(n) +
                            " coordinates, got " + std::to_string(x.size()));
    }
}
}  // namespace

double ThreeParamObjective::operator()(std::span<const double> x) const {
    require_coordinates(x, 3, "three-parameter objective");
    const double cow = std::pow(10.0, x[1]);
    const double coe = std::pow(10.0, x[2]);
    return model_nll(x[0], cow, coe, data.observed, data.edges, data.normalize_stw, n_u, n_m,
                     vmax) +
           co_penalty_term(co_penalty, cow, coe);
}

}  // namespace density_fit_detail

namespace {

using density_fit_detail::check_box;
using density_fit_detail::check_co_bounds;
using density_fit_detail::log10_bound;
using density_fit_detail::require_coordinates;

// The fit's own copies of the data of its density bin, alive for the fit.
struct OwnedDensity {
    std::vector<double> observed;
    std::vector<double> edges;
    DensityData view;

    OwnedDensity(std::span<const double> obs, std::span<const double> edg, bool normalize_stw)
        : observed(obs.begin(), obs.end()),
          edges(edg.begin(), edg.end()),
          view{observed, edges, normalize_stw} {}
    OwnedDensity(const OwnedDensity&) = delete;
    OwnedDensity& operator=(const OwnedDensity&) = delete;
};

// The search minimised NLL + penalty. With no penalty that value is the NLL
// itself; otherwise (any non-zero weight, and NaN, which the objective treats
// as no penalty but which is not exactly 0) the model is scored once more at
// the returned parameters.
bool penalty_may_be_in(double co_penalty) { return !(co_penalty == 0.0); }

}  // namespace

DensityFit fit_one_density_inner(std::span<const double> observed, std::span<const double> edges,
                                 bool normalize_stw, Bound st_bounds, Bound co_bounds, double n_u,
                                 double n_m, double co_penalty,
                                 std::optional<std::uint64_t> seed) {
    // One ceiling for every evaluation of this fit, even if a setter runs
    // meanwhile.
    const double vmax = mm_vmax();
    const auto box = density_fit_detail::three_param_box(st_bounds, co_bounds);
    const OwnedDensity d(observed, edges, normalize_stw);
    const density_fit_detail::ThreeParamObjective objective{d.view, n_u, n_m, vmax, co_penalty};

    const OptResult r = global_search(objective, box, seed);
    DensityFit out{r.x[0], std::pow(10.0, r.x[1]), std::pow(10.0, r.x[2]), r.f};
    if (penalty_may_be_in(co_penalty)) {
        out.nll = model_nll(out.st, out.cow, out.coe, d.observed, d.edges, normalize_stw, n_u, n_m,
                            vmax);
    }
    return out;
}

DensityExpFit fit_one_density_exp_inner(std::span<const double> observed,
                                        std::span<const double> edges, bool normalize_stw,
                                        Bound st_bounds, Bound co_bounds, Bound n_exp_bounds,
                                        double co_penalty, std::uint64_t seed) {
    const double vmax = mm_vmax();
    const Bound co = log10_bound(co_bounds);
    const std::array<Bound, 5> box{st_bounds, co, co, n_exp_bounds, n_exp_bounds};
    check_box(box);
    check_co_bounds(co_bounds);
    const OwnedDensity d(observed, edges, normalize_stw);
    auto objective = [&](std::span<const double> x) {
        return five_param_objective(x, d.view, vmax, co_penalty);
    };

    const OptResult r = global_search(objective, box, seed);
    DensityExpFit out{r.x[0], std::pow(10.0, r.x[1]), std::pow(10.0, r.x[2]), r.x[3], r.x[4], r.f};
    if (penalty_may_be_in(co_penalty)) {
        out.nll = model_nll(out.st, out.cow, out.coe, d.observed, d.edges, normalize_stw, out.n_u,
                            out.n_m, vmax);
    }
    return out;
}

CoFit fit_co_fixed_st_inner(std::span<const double> observed, std::span<const double> edges,
                            bool normalize_stw, double st, double n_u, double n_m,
                            Bound co_bounds, double co_penalty, double vmax,
                            std::optional<std::uint64_t> seed) {
    const Bound co = log10_bound(co_bounds);
    const std::array<Bound, 2> box{co, co};
    check_box(box);
    check_co_bounds(co_bounds);
    const OwnedDensity d(observed, edges, normalize_stw);
    auto objective = [&](std::span<const double> x) {
        require_coordinates(x, 2, "fixed-St coefficient objective");
        const double cow = std::pow(10.0, x[0]);
        const double coe = std::pow(10.0, x[1]);
        return model_nll(st, cow, coe, d.observed, d.edges, normalize_stw, n_u, n_m, vmax) +
               co_penalty_term(co_penalty, cow, coe);
    };

    const OptResult r = global_search(objective, box, seed);
    CoFit out{std::pow(10.0, r.x[0]), std::pow(10.0, r.x[1]), r.f};
    if (penalty_may_be_in(co_penalty)) {
        out.nll = model_nll(st, out.cow, out.coe, d.observed, d.edges, normalize_stw, n_u, n_m,
                            vmax);
    }
    return out;
}

CoExpFit fit_co_exp_fixed_st_inner(std::span<const double> observed,
                                   std::span<const double> edges, bool normalize_stw, double st,
                                   Bound co_bounds, Bound n_exp_bounds, double co_penalty,
                                   double vmax, std::uint64_t seed) {
    const Bound co = log10_bound(co_bounds);
    const std::array<Bound, 4> box{co, co, n_exp_bounds, n_exp_bounds};
    check_box(box);
    check_co_bounds(co_bounds);
    const OwnedDensity d(observed, edges, normalize_stw);
    auto objective = [&](std::span<const double> x) {
        return fixed_st_exp_objective(x, st, d.view, vmax, co_penalty);
    };

    const OptResult r = global_search(objective, box, seed);
    CoExpFit out{std::pow(10.0, r.x[0]), std::pow(10.0, r.x[1]), r.x[2], r.x[3], r.f};
    if (penalty_may_be_in(co_penalty)) {
        out.nll = model_nll(st, out.cow, out.coe, d.observed, d.edges, normalize_stw, out.n_u,
                            out.n_m, vmax);
    }
    return out;
}

ExpFit fit_exp_fixed_co_inner(std::span<const double> observed, std::span<const double> edges,
                              bool normalize_stw, double st, double cow, double coe,
                              Bound n_exp_bounds, double vmax, std::uint64_t seed) {
    const std::array<Bound, 2> box{n_exp_bounds, n_exp_bounds};
    check_box(box);
    const OwnedDensity d(observed, edges, normalize_stw);
    // No penalty: the coefficients are not searched here.
    auto objective = [&](std::span<const double> x) {
        require_coordinates(x, 2, "fixed-coefficient exponent objective");
        return model_nll(st, cow, coe, d.observed, d.edges, normalize_stw, x[0], x[1], vmax);
    };

    const OptResult r = global_search(objective, box, seed);
    return ExpFit{r.x[0], r.x[1], r.f};
}

double fit_single_co_inner(std::span<const double> observed, std::span<const double> edges,
                           bool normalize_stw, double st, double fixed_co, bool fix_cow,
                           double n_u, double n_m, Bound co_bounds) {
    const double vmax = mm_vmax();
    const std::array<Bound, 1> box{log10_bound(co_bounds)};
    check_box(box);
    check_co_bounds(co_bounds);
    const OwnedDensity d(observed, edges, normalize_stw);
    // One profile point: the scanned coefficient stays at fixed_co, the other
    // one is searched. No penalty.
    auto objective = [&](std::span<const double> x) {
        require_coordinates(x, 1, "single-coefficient objective");
        const double searched = std::pow(10.0, x[0]);
        const double cow = fix_cow ? fixed_co : searched;
        const double coe = fix_cow ? searched : fixed_co;
        return model_nll(st, cow, coe, d.observed, d.edges, normalize_stw, n_u, n_m, vmax);
    };

    // Profile scans run many of these at once without needing them to be
    // reproducible, so the generator is always keyed from entropy.
    const OptResult r = global_search(objective, box, std::nullopt);
    return r.f;
}

}  // namespace korvel
