// Fits of one density bin.
//
// Each fit is a single global search over its own coordinates. The objective
// maps a search point onto the model parameters: St stays plain, cooperative
// coefficients are searched as log10 and recovered with std::pow(10.0, x),
// exponents stay plain; everything not searched is fixed for the whole fit.
// The penalty on the coefficients only steers the search: the NLL handed back
// is always the plain model NLL at the returned parameters. The fits differ
// only in what they search, hold and penalise; run_density_search does the
// rest for all of them.
#include "fits/density_fits.h"

#include <iterator>
#include <string>
#include <vector>

#include "core/errors.h"
#include "core/format.h"
#include "core/state.h"
#include "fits/density_search.h"
#include "optimizer/global_search.h"

namespace korvel {

namespace density_fit_detail {

namespace {

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

// The search minimised NLL + penalty. With no penalty term, or a weight of
// exactly 0, that value is the NLL itself; otherwise (any non-zero weight,
// and NaN, which the objective treats as no penalty but which is not exactly
// 0) the model is scored once more at the returned parameters.
bool penalty_may_be_in(const std::optional<double>& co_penalty) {
    return co_penalty && !(*co_penalty == 0.0);
}

}  // namespace

DensityBox density_box(const DensitySearch& s) {
    DensityBox box{};
    const Bound co = log10_of(s.bounds.co);
    if (s.searched & kSearchSt) box.bounds[box.size++] = s.bounds.st;
    if (s.searched & kSearchCoW) box.bounds[box.size++] = co;
    if (s.searched & kSearchCoE) box.bounds[box.size++] = co;
    if (s.searched & kSearchNU) box.bounds[box.size++] = s.bounds.n_exp;
    if (s.searched & kSearchNM) box.bounds[box.size++] = s.bounds.n_exp;
    // clamp throws exactly the error the search would raise later.
    for (const Bound& b : box.view()) check_bound(b);
    if (s.searched & (kSearchCoW | kSearchCoE)) check_positive_co_bounds(s.bounds.co);
    return box;
}

DensityObjective density_objective(const DensitySearch& s, const DensityData& d) {
    return DensityObjective{d, s.searched, s.fixed, s.vmax, s.co_penalty};
}

DensityResult run_density_search(std::span<const double> observed, std::span<const double> edges,
                                 bool normalize_stw, const DensitySearch& s,
                                 std::optional<std::uint64_t> seed) {
    const DensityBox box = density_box(s);
    const OwnedDensity d(observed, edges, normalize_stw);
    const DensityObjective objective = density_objective(s, d.view);

    const OptResult r = global_search(objective, box.view(), seed);
    DensityResult out{objective.params(r.x), r.f};
    if (penalty_may_be_in(s.co_penalty)) out.nll = objective.nll(out.params);
    return out;
}

DensitySearch three_param_search(Bound st_bounds, Bound co_bounds, double n_u, double n_m,
                                 double vmax, double co_penalty) {
    return {.searched = kSearchSt | kSearchCoW | kSearchCoE,
            .fixed = {.st = 0.0, .cow = 0.0, .coe = 0.0, .n_u = n_u, .n_m = n_m},
            .bounds = {.st = st_bounds, .co = co_bounds, .n_exp = {}},
            .vmax = vmax,
            .co_penalty = co_penalty};
}

DensitySearch co_fixed_st_search(double st, double n_u, double n_m, Bound co_bounds,
                                 double co_penalty, double vmax) {
    return {.searched = kSearchCoW | kSearchCoE,
            .fixed = {.st = st, .cow = 0.0, .coe = 0.0, .n_u = n_u, .n_m = n_m},
            .bounds = {.st = {}, .co = co_bounds, .n_exp = {}},
            .vmax = vmax,
            .co_penalty = co_penalty};
}

DensitySearch co_exp_fixed_st_search(double st, Bound co_bounds, Bound n_exp_bounds,
                                     double co_penalty, double vmax) {
    return {.searched = kSearchCoW | kSearchCoE | kSearchNU | kSearchNM,
            .fixed = {.st = st, .cow = 0.0, .coe = 0.0, .n_u = 0.0, .n_m = 0.0},
            .bounds = {.st = {}, .co = co_bounds, .n_exp = n_exp_bounds},
            .vmax = vmax,
            .co_penalty = co_penalty};
}

DensitySearch exp_fixed_co_search(double st, double cow, double coe, Bound n_exp_bounds,
                                  double vmax) {
    // No penalty: the coefficients are not searched here.
    return {.searched = kSearchNU | kSearchNM,
            .fixed = {.st = st, .cow = cow, .coe = coe, .n_u = 0.0, .n_m = 0.0},
            .bounds = {.st = {}, .co = {}, .n_exp = n_exp_bounds},
            .vmax = vmax,
            .co_penalty = std::nullopt};
}

DensitySearch holding(DensitySearch s, std::size_t parameter, double value) {
    double* slots[] = {&s.fixed.st, &s.fixed.cow, &s.fixed.coe, &s.fixed.n_u, &s.fixed.n_m};
    if (parameter >= std::size(slots)) {
        throw InternalError("no per-density parameter " + std::to_string(parameter));
    }
    *slots[parameter] = value;
    s.searched &= ~(1u << parameter);
    return s;
}

}  // namespace density_fit_detail

void check_positive_co_bounds(Bound co_bounds) {
    if (!(co_bounds.lo > 0.0) || !(co_bounds.hi > 0.0)) {
        throw InternalError("co_bounds must be positive, got lo = " +
                            format_shortest(co_bounds.lo) +
                            ", hi = " + format_shortest(co_bounds.hi));
    }
}

using density_fit_detail::DensityResult;
using density_fit_detail::DensitySearch;
using density_fit_detail::run_density_search;

DensityFit fit_one_density_inner(std::span<const double> observed, std::span<const double> edges,
                                 bool normalize_stw, Bound st_bounds, Bound co_bounds, double n_u,
                                 double n_m, double co_penalty,
                                 std::optional<std::uint64_t> seed) {
    // One ceiling for every evaluation of this fit, even if a setter runs
    // meanwhile.
    const double vmax = mm_vmax();
    const DensityResult r = run_density_search(
        observed, edges, normalize_stw,
        density_fit_detail::three_param_search(st_bounds, co_bounds, n_u, n_m, vmax, co_penalty),
        seed);
    return {r.params.st, r.params.cow, r.params.coe, r.nll};
}

DensityExpFit fit_one_density_exp_inner(std::span<const double> observed,
                                        std::span<const double> edges, bool normalize_stw,
                                        Bound st_bounds, Bound co_bounds, Bound n_exp_bounds,
                                        double co_penalty, std::uint64_t seed) {
    const double vmax = mm_vmax();
    const DensitySearch s{
        .searched = kSearchSt | kSearchCoW | kSearchCoE | kSearchNU | kSearchNM,
        .fixed = {},
        .bounds = {.st = st_bounds, .co = co_bounds, .n_exp = n_exp_bounds},
        .vmax = vmax,
        .co_penalty = co_penalty};
    const DensityResult r = run_density_search(observed, edges, normalize_stw, s, seed);
    return {r.params.st, r.params.cow, r.params.coe, r.params.n_u, r.params.n_m, r.nll};
}

CoFit fit_co_fixed_st_inner(std::span<const double> observed, std::span<const double> edges,
                            bool normalize_stw, double st, double n_u, double n_m,
                            Bound co_bounds, double co_penalty, double vmax,
                            std::optional<std::uint64_t> seed) {
    const DensityResult r = run_density_search(
        observed, edges, normalize_stw,
        density_fit_detail::co_fixed_st_search(st, n_u, n_m, co_bounds, co_penalty, vmax), seed);
    return {r.params.cow, r.params.coe, r.nll};
}

CoExpFit fit_co_exp_fixed_st_inner(std::span<const double> observed,
                                   std::span<const double> edges, bool normalize_stw, double st,
                                   Bound co_bounds, Bound n_exp_bounds, double co_penalty,
                                   double vmax, std::uint64_t seed) {
    const DensityResult r = run_density_search(
        observed, edges, normalize_stw,
        density_fit_detail::co_exp_fixed_st_search(st, co_bounds, n_exp_bounds, co_penalty, vmax),
        seed);
    return {r.params.cow, r.params.coe, r.params.n_u, r.params.n_m, r.nll};
}

ExpFit fit_exp_fixed_co_inner(std::span<const double> observed, std::span<const double> edges,
                              bool normalize_stw, double st, double cow, double coe,
                              Bound n_exp_bounds, double vmax, std::uint64_t seed) {
    const DensityResult r = run_density_search(
        observed, edges, normalize_stw,
        density_fit_detail::exp_fixed_co_search(st, cow, coe, n_exp_bounds, vmax), seed);
    return {r.params.n_u, r.params.n_m, r.nll};
}

double fit_single_co_inner(std::span<const double> observed, std::span<const double> edges,
                           bool normalize_stw, double st, double fixed_co, bool fix_cow,
                           double n_u, double n_m, Bound co_bounds) {
    const double vmax = mm_vmax();
    // One profile point: the scanned coefficient stays at fixed_co, the other
    // one is searched. No penalty.
    const DensitySearch s{
        .searched = fix_cow ? kSearchCoE : kSearchCoW,
        .fixed = {.st = st, .cow = fixed_co, .coe = fixed_co, .n_u = n_u, .n_m = n_m},
        .bounds = {.st = {}, .co = co_bounds, .n_exp = {}},
        .vmax = vmax,
        .co_penalty = std::nullopt};
    // Profile scans run many of these at once without needing them to be
    // reproducible, so the generator is always keyed from entropy.
    return run_density_search(observed, edges, normalize_stw, s, std::nullopt).nll;
}

}  // namespace korvel
