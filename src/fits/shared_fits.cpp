// Shared-parameter fits: an outer search over the shared values whose every
// evaluation refits each density bin's own parameters in parallel.
//
// Order of operations is fixed so that results are reproducible to the bit:
// every objective value is weighted_total's row-order sum, whatever order the
// workers finish in; weight 1.0 when none is given leaves each NLL's bits
// unchanged, so "no weights" and "all ones" give identical values.
#include "fits/shared_fits.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/errors.h"
#include "core/format.h"
#include "core/pool.h"
#include "core/state.h"
#include "fits/density_search.h"
#include "fits/weighted_total.h"
#include "model/model.h"
#include "optimizer/brent.h"
#include "optimizer/global_search.h"
#include "optimizer/nelder_mead.h"

namespace korvel {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// How the two multi-start fits show their first three search coordinates.
constexpr CoordinateFormat kSharedExpLines[] = {
    {"logSt", 3, true}, {"n_U", 3, false}, {"n_M", 3, false}};
constexpr CoordinateFormat kSharedCoLines[] = {
    {"logSt", 3, true}, {"logCoW", 3, true}, {"logCoE", 3, true}};

std::string bounds_text(Bound b) {
    return "lo = " + format_shortest(b.lo) + ", hi = " + format_shortest(b.hi);
}

Bound ln_of(Bound b) { return {std::log(b.lo), std::log(b.hi)}; }

// The final per-density fits at the chosen shared values, in row order; when
// the call has been interrupted their results could never be seen, so they
// are not run and every entry is NaN.
template <class Fit, class FitOf>
std::vector<Fit> final_fits(RowRange rows, const Interruption& interruption, const Fit& nan_fit,
                            FitOf&& fit_of) {
    if (interruption.requested()) return std::vector<Fit>(rows.size(), nan_fit);
    return parallel_map<Fit>(rows.size(), [&](std::size_t d) {
        Fit fit = fit_of(d);
        interruption.count_fit();
        return fit;
    });
}

// The St that minimises total_at(St): Brent over ln St in st_bounds.
template <class TotalAt>
double brent_over_ln_st(Bound st_bounds, TotalAt&& total_at) {
    const Bound u_bounds = ln_of(st_bounds);
    const auto g = [&](double u) { return total_at(std::exp(u)); };
    return std::exp(brent_minimise(g, u_bounds.lo, u_bounds.hi));
}

// "{:3}": the evaluation number right-aligned in at least three characters.
std::string counter_text(std::uint64_t n) {
    std::string s = std::to_string(n);
    if (s.size() < 3) s.insert(0, 3 - s.size(), ' ');
    return s;
}

double midpoint(Bound b) { return (b.lo + b.hi) / 2; }

// The outer search of a multi-start fit: its box and start points in search
// coordinates, and how its start lines show the leading coordinates.
struct OuterSearch {
    std::vector<Bound> box;
    std::vector<std::vector<double>> starts;
    std::span<const CoordinateFormat> shown;
};

template <class Shared, class Fit>
struct SharedResult {
    Shared shared;
    std::vector<Fit> densities;
};

// The skeleton of the multi-start fits. Each evaluation maps the search point
// onto the shared values (shared_at), refits every density row at them
// (fit_at, in parallel), sums the weighted NLLs in row order and adds what
// the shared values cost by themselves (shared_cost: a shared penalty counts
// once, not once per row); with verbose it prints line(shared, x, total)
// behind the evaluation's number, counted from 1 in each call. After the
// search the rows are fitted once more at the best point's shared values.
template <class Fit, class SharedAt, class FitAt, class SharedCost, class Line>
auto multi_start_shared(RowRange rows, const OptionalWeights& weights,
                        const Interruption& interruption, bool verbose, const OuterSearch& search,
                        const Fit& nan_fit, SharedAt&& shared_at, FitAt&& fit_at,
                        SharedCost&& shared_cost, Line&& line) {
    using Shared = std::invoke_result_t<SharedAt&, std::span<const double>>;
    std::uint64_t evaluations = 0;  // multi_start evaluates on this thread only
    const auto objective = [&](std::span<const double> x) {
        const Shared shared = shared_at(x);
        double total = weighted_total(rows.size(), weights, interruption,
                                      [&](std::size_t d) { return fit_at(shared, d).nll; });
        // An interrupted call's evaluations are +inf and print nothing.
        if (interruption.requested()) return kInf;
        total += shared_cost(shared);
        if (verbose) {
            write_stderr_line("  [" + counter_text(++evaluations) + "] " +
                              line(shared, x, total) + "\n");
        }
        return total;
    };
    const MultiStartResult best =
        multi_start(objective, search.starts, search.box, verbose, search.shown, interruption);

    SharedResult<Shared, Fit> out{shared_at(best.x), {}};
    out.densities = final_fits(rows, interruption, nan_fit,
                               [&](std::size_t d) { return fit_at(out.shared, d); });
    return out;
}

// ------------------------------------------- each mode's outer search

// The shared values of the exponent fit and where a search point puts them.
struct ExpShared {
    double st, n_u, n_m, vmax;
};
ExpShared exp_shared_at(std::span<const double> x, bool fit_vmax, double run_vmax) {
    return {std::pow(10.0, x[0]), x[1], x[2], fit_vmax ? std::pow(10.0, x[3]) : run_vmax};
}

// (log10 St, n_U, n_M[, log10 Vmax]) and the fit's start points.
OuterSearch shared_exp_search(Bound st_bounds, Bound n_exp_bounds, bool fit_vmax,
                              Bound vmax_bounds, std::optional<SharedExpStart> warm_start) {
    const Bound log_st = log10_of(st_bounds);
    const Bound log_vmax = log10_of(vmax_bounds);
    OuterSearch search{{log_st, n_exp_bounds, n_exp_bounds}, {}, kSharedExpLines};
    if (fit_vmax) search.box.push_back(log_vmax);
    if (warm_start) {
        // Every pair is checked before anything is clamped, the Vmax pair even
        // when Vmax is not fitted.
        check_bound(log_st);
        check_bound(log_vmax);
        check_bound(n_exp_bounds);
        std::vector<double> x{clamp(std::log10(warm_start->st), log_st.lo, log_st.hi),
                              clamp(warm_start->n_u, n_exp_bounds.lo, n_exp_bounds.hi),
                              clamp(warm_start->n_m, n_exp_bounds.lo, n_exp_bounds.hi)};
        if (fit_vmax) x.push_back(clamp(std::log10(warm_start->vmax), log_vmax.lo, log_vmax.hi));
        search.starts.push_back(std::move(x));
    } else {
        // Five exponent pairs at the middle of log10 St (and log10 Vmax): the
        // centre, then the four corners a quarter inside the exponent box. The
        // corners are used as they are, even when a narrow box puts them
        // outside it.
        const double m = midpoint(n_exp_bounds);
        const double a = n_exp_bounds.lo + 0.25;
        const double b = n_exp_bounds.hi - 0.25;
        const double pairs[5][2] = {{m, m}, {a, a}, {a, b}, {b, a}, {b, b}};
        for (const auto& p : pairs) {
            std::vector<double> x{midpoint(log_st), p[0], p[1]};
            if (fit_vmax) x.push_back(midpoint(log_vmax));
            search.starts.push_back(std::move(x));
        }
    }
    return search;
}

// The shared values of the coefficient fit.
struct CoShared {
    double st, cow, coe;
};
CoShared co_shared_at(std::span<const double> x) {
    return {std::pow(10.0, x[0]), std::pow(10.0, x[1]), std::pow(10.0, x[2])};
}

// (log10 St, log10 CoW, log10 CoE) and the fit's start points.
OuterSearch shared_co_search(Bound st_bounds, Bound co_bounds,
                             std::optional<SharedCoStart> warm_start) {
    const Bound log_st = log10_of(st_bounds);
    const Bound log_co = log10_of(co_bounds);
    OuterSearch search{{log_st, log_co, log_co}, {}, kSharedCoLines};
    if (warm_start) {
        check_bound(log_st);
        check_bound(log_co);
        search.starts.push_back({clamp(std::log10(warm_start->st), log_st.lo, log_st.hi),
                                 clamp(std::log10(warm_start->cow), log_co.lo, log_co.hi),
                                 clamp(std::log10(warm_start->coe), log_co.lo, log_co.hi)});
    } else {
        // Centre, the four diagonal neighbours a decade away, strong
        // cooperativity near the top of the box, and that again at low St.
        // Used as listed: with narrow bounds a start may lie outside the box.
        const double sL = log_st.lo;
        const double mS = midpoint(log_st);
        const double mC = midpoint(log_co);
        const double cH = log_co.hi;
        search.starts = {{mS, mC, mC},
                         {mS, mC - 1, mC - 1},
                         {mS, mC + 1, mC + 1},
                         {mS, mC + 1, mC - 1},
                         {mS, mC - 1, mC + 1},
                         {mS, cH - 0.5, cH - 0.5},
                         {sL + 0.5, cH - 0.5, cH - 0.5}};
    }
    return search;
}

// The shared-St fit with exponents per bin: Brent over ln St, or with Vmax
// one simplex over (log10 St, log10 Vmax) from the middle of the box.
struct StExpShared {
    double st, vmax;
};
OuterSearch shared_st_exp_search(Bound st_bounds, bool fit_vmax, Bound vmax_bounds) {
    if (!fit_vmax) return {{ln_of(st_bounds)}, {}, {}};
    const Bound log_st = log10_of(st_bounds);
    const Bound log_vmax = log10_of(vmax_bounds);
    return {{log_st, log_vmax}, {{midpoint(log_st), midpoint(log_vmax)}}, {}};
}
StExpShared st_exp_shared_at(std::span<const double> x, bool fit_vmax, double run_vmax) {
    if (!fit_vmax) return {std::exp(x[0]), run_vmax};
    return {std::pow(10.0, x[0]), std::pow(10.0, x[1])};
}

// ------------------------------------------------ profiles through a fit

using density_fit_detail::DensitySearch;

// How the outer search moves: a simplex from each start, or Brent over its
// one coordinate (the shared-St fit without Vmax).
enum class Outer { kSimplex, kBrent };

// What a profile holds, worked out from the parameter number: either one
// coordinate of the outer search, whose grid values it takes as
// coordinate(value), or one parameter of one density row's own fit.
struct ProfileTarget {
    std::optional<std::size_t> outer;  // the held outer coordinate
    double (*coordinate)(double) = nullptr;
    std::size_t density = 0;    // otherwise: this row's fit ...
    std::size_t parameter = 0;  // ... holds this per-density parameter
};

double log10_coordinate(double v) { return std::log10(v); }
double ln_coordinate(double v) { return std::log(v); }
double plain_coordinate(double v) { return v; }

constexpr std::size_t kNumProfileParams = 6;
constexpr const char* kProfileNames[kNumProfileParams] = {"St",  "CoW", "CoE",
                                                          "n_U", "n_M", "Vmax"};
// Which of the six parameters a mode fits, and how: an entry from 0 up names
// the outer coordinate that carries the parameter (scale maps a held value
// onto it), kPerDensity means every row fits its own, kNotFitted not at all.
constexpr int kPerDensity = -1;
constexpr int kNotFitted = -2;
struct ModeParams {
    std::array<int, kNumProfileParams> where;
    std::array<double (*)(double), kNumProfileParams> scale;
};

// The target of `parameter` in a mode, after checking that the mode fits it,
// that density_idx names a row, and that every grid value is finite (and,
// for a rate, positive) and the grid not longer than kMaxProfilePoints.
ProfileTarget profile_target(const ModeParams& mode, std::size_t parameter,
                             std::size_t density_idx, std::size_t n_densities,
                             std::span<const double> grid) {
    if (parameter >= kNumProfileParams || mode.where[parameter] == kNotFitted) {
        std::string names;
        for (std::size_t i = 0; i < kNumProfileParams; ++i) {
            if (mode.where[i] == kNotFitted) continue;
            names += (names.empty() ? "" : ", ") + std::to_string(i) + " (" +
                     kProfileNames[i] + ")";
        }
        throw ArgumentError("parameter", "must be one of " + names + " here, got " +
                                             std::to_string(parameter));
    }
    if (density_idx >= n_densities) {
        throw ArgumentError("density_idx", "is " + std::to_string(density_idx) +
                                                   ", but there are " +
                                                   std::to_string(n_densities) + " density rows");
    }
    if (grid.size() > kMaxProfilePoints) {
        throw ArgumentError("grid", "has " + std::to_string(grid.size()) +
                                        " points, more than the limit of " +
                                        std::to_string(kMaxProfilePoints));
    }
    // St, the coefficients and Vmax are rates, searched on a log scale.
    const bool rate = parameter != 3 && parameter != 4;
    for (const double v : grid) {
        if (!std::isfinite(v) || (rate && !(v > 0.0))) {
            throw ArgumentError("grid", std::string("values of ") + kProfileNames[parameter] +
                                            " must be finite" + (rate ? " and positive" : "") +
                                            ", got " + format_shortest(v));
        }
    }
    ProfileTarget t;
    if (mode.where[parameter] >= 0) {
        t.outer = static_cast<std::size_t>(mode.where[parameter]);
        t.coordinate = mode.scale[parameter];
    } else {
        t.density = density_idx;
        t.parameter = parameter;
    }
    return t;
}

// The search with coordinate c held at v: its interval collapsed to the one
// point and every start moved onto it, so the profile point is the fit
// itself run with lo == hi bounds for that parameter. Starts that then
// coincide are run once: a repeat retraces the same simplex and cannot win,
// since the earlier start keeps a tie.
OuterSearch holding_coordinate(const OuterSearch& search, std::size_t c, double v) {
    OuterSearch out{search.box, {}, {}};
    out.box[c] = {v, v};
    for (std::vector<double> start : search.starts) {
        start[c] = v;
        if (std::find(out.starts.begin(), out.starts.end(), start) == out.starts.end()) {
            out.starts.push_back(std::move(start));
        }
    }
    return out;
}

// A profile's outer search: the warm start (when given) ahead of the fit's
// cold starts, all in one box. The warm start is tried first so that a tie
// keeps the point next to the estimate.
OuterSearch warm_then_cold(OuterSearch warm, const OuterSearch& cold) {
    for (const std::vector<double>& start : cold.starts) warm.starts.push_back(start);
    return warm;
}

// A full profile through one mode's fit. Grid point p runs the mode's outer
// search (the held coordinate pinned) with the mode's inner fits, row e's
// seeded with p * n_densities + e, the held row's fit searching all but the
// held parameter. Its value is the weighted NLL sum, without the shared
// cost, at the point of smallest objective the search evaluated: the search
// ends at its best point, so refitting there could only repeat that value.
// Grid points run in parallel; their inner fits run in parallel as well.
template <class SharedAt, class SearchOf, class SharedCost, class ValuesOf>
SharedProfilePoints profile_through_fit(const SharedProfileRequest& r,
                                        const Interruption& interruption,
                                        const OuterSearch& search, Outer outer,
                                        const ProfileTarget& target, SharedAt&& shared_at,
                                        SearchOf&& search_of, SharedCost&& shared_cost,
                                        std::size_t width, ValuesOf&& values_of) {
    const RowRange& rows = r.rows;
    const std::span<const double> grid = r.grid;
    const std::size_t n_densities = rows.size();
    using Values = std::array<double, kMaxSharedValues>;
    struct Point {
        double nll;
        Values shared;
    };
    Values none;
    none.fill(kNaN);
    const std::vector<Point> points = parallel_map<Point>(grid.size(), [&](std::size_t p) {
        if (interruption.requested()) return Point{kNaN, none};
        const double held = grid[p];
        const OuterSearch pinned =
            target.outer ? holding_coordinate(search, *target.outer, target.coordinate(held))
                         : search;
        double best_f = kInf;
        double best_sum = kNaN;
        Values best_shared = none;
        const auto objective = [&](std::span<const double> x) {
            const auto shared = shared_at(x);
            const auto nll_of = [&](std::size_t e) {
                DensitySearch s = search_of(shared);
                if (!target.outer && e == target.density) {
                    s = density_fit_detail::holding(s, target.parameter, held);
                }
                const std::uint64_t seed = static_cast<std::uint64_t>(p) * n_densities + e;
                return density_fit_detail::run_density_search(rows.row(e), r.edges,
                                                              r.normalize_stw, s, seed)
                    .nll;
            };
            const double sum = weighted_total(n_densities, r.weights, interruption, nll_of);
            if (interruption.requested()) return kInf;
            const double f = sum + shared_cost(shared);
            if (f < best_f) {
                best_f = f;
                best_sum = sum;
                best_shared = values_of(shared);
            }
            return f;
        };
        if (outer == Outer::kBrent) {
            (void)brent_minimise([&](double u) { return objective({&u, 1}); }, pinned.box[0].lo,
                                 pinned.box[0].hi);
        } else {
            (void)multi_start(objective, pinned.starts, pinned.box, false, {}, interruption);
        }
        if (interruption.requested()) return Point{kNaN, none};
        return Point{best_sum, best_shared};
    });
    SharedProfilePoints out{{}, {}, width};
    out.nll.reserve(points.size());
    out.shared.reserve(points.size() * width);
    for (const Point& point : points) {
        out.nll.push_back(point.nll);
        out.shared.insert(out.shared.end(), point.shared.begin(), point.shared.begin() + width);
    }
    return out;
}

// The outer search of a profile that may start from a warm point: the warm
// start alone when the caller asks for no cold starts (a step along a
// profile from its neighbour's optimum), else the warm start ahead of the
// cold ones.
template <class Start, class SearchFrom>
OuterSearch profile_search(const std::optional<Start>& warm, bool cold_starts,
                           SearchFrom&& search_from) {
    if (!warm) return search_from(std::optional<Start>{});
    OuterSearch first = search_from(warm);
    return cold_starts ? warm_then_cold(std::move(first), search_from(std::optional<Start>{}))
                       : first;
}

}  // namespace

// ---------------------------------------------------------------- input checks

void check_weights(OptionalWeights weights, std::size_t n_densities) {
    if (weights && weights->size() < n_densities) {
        throw InternalError("weights has " + std::to_string(weights->size()) +
                            " entries, fewer than the " + std::to_string(n_densities) +
                            " density rows");
    }
}

void check_log_bounds(Bound bounds, const char* name, bool require_ordered) {
    const auto usable = [](double v) { return std::isfinite(v) && v > 0.0; };
    if (!usable(bounds.lo) || !usable(bounds.hi)) {
        throw InternalError(std::string(name) +
                            " is searched on a logarithmic scale: both ends must be positive "
                            "and finite, got " + bounds_text(bounds));
    }
    if (require_ordered && bounds.lo > bounds.hi) {
        throw InternalError(std::string(name) + " must have lo <= hi, got " + bounds_text(bounds));
    }
}

void check_shared_st_inputs(std::size_t n_densities, Bound st_bounds, Bound co_bounds,
                            OptionalWeights weights) {
    check_weights(weights, n_densities);
    // Brent never clamps: an inverted interval would be searched "inside out"
    // and its result returned as a success.
    check_log_bounds(st_bounds, "st_bounds", true);
    check_positive_co_bounds(co_bounds);
    check_bound(log10_of(co_bounds));
}

void check_shared_exp_inputs(std::size_t n_densities, Bound st_bounds, Bound co_bounds,
                             Bound n_exp_bounds, bool fit_vmax, Bound vmax_bounds,
                             OptionalWeights weights) {
    check_weights(weights, n_densities);
    check_log_bounds(st_bounds, "st_bounds", false);
    if (fit_vmax) check_log_bounds(vmax_bounds, "vmax_bounds", false);
    check_positive_co_bounds(co_bounds);
    // Outer box in coordinate order, then the inner fits' coefficient box.
    check_bound(log10_of(st_bounds));
    check_bound(n_exp_bounds);
    if (fit_vmax) check_bound(log10_of(vmax_bounds));
    check_bound(log10_of(co_bounds));
}

void check_shared_st_perdensity_exp_inputs(std::size_t n_densities, Bound st_bounds,
                                           Bound co_bounds, Bound n_exp_bounds, bool fit_vmax,
                                           Bound vmax_bounds, OptionalWeights weights) {
    check_weights(weights, n_densities);
    // Without Vmax the search is Brent's, which never clamps.
    check_log_bounds(st_bounds, "st_bounds", !fit_vmax);
    if (fit_vmax) check_log_bounds(vmax_bounds, "vmax_bounds", false);
    check_positive_co_bounds(co_bounds);
    if (fit_vmax) {
        check_bound(log10_of(st_bounds));
        check_bound(log10_of(vmax_bounds));
    }
    check_bound(log10_of(co_bounds));
    check_bound(n_exp_bounds);
}

void check_shared_co_inputs(std::size_t n_densities, Bound st_bounds, Bound co_bounds,
                            Bound n_exp_bounds, OptionalWeights weights) {
    check_weights(weights, n_densities);
    check_log_bounds(st_bounds, "st_bounds", false);
    check_positive_co_bounds(co_bounds);
    check_bound(log10_of(st_bounds));
    check_bound(log10_of(co_bounds));
    check_bound(n_exp_bounds);
}

// --------------------------------------------------------------------- kernels

SharedStFit fit_shared_st_inner(RowRange rows, std::span<const double> edges, bool normalize_stw,
                                Bound st_bounds, Bound co_bounds, double n_u, double n_m,
                                double co_penalty, OptionalWeights weights,
                                const Interruption& interruption) {
    check_shared_st_inputs(rows.size(), st_bounds, co_bounds, weights);
    const double vmax = mm_vmax();

    // Unseeded per-density fits: each draws its key from the OS entropy source.
    const auto fit_at = [&](double st, std::size_t d) {
        return fit_co_fixed_st_inner(rows.row(d), edges, normalize_stw, st, n_u, n_m, co_bounds,
                                     co_penalty, vmax, std::nullopt);
    };
    const double st = brent_over_ln_st(st_bounds, [&](double st) {
        return weighted_total(rows.size(), weights, interruption,
                              [&](std::size_t d) { return fit_at(st, d).nll; });
    });

    SharedStFit out{st, {}};
    out.densities = final_fits(rows, interruption, CoFit{kNaN, kNaN, kNaN},
                               [&](std::size_t d) { return fit_at(st, d); });
    return out;
}

SharedExpFit fit_shared_exp_inner(RowRange rows, std::span<const double> edges,
                                  bool normalize_stw, Bound st_bounds, Bound co_bounds,
                                  Bound n_exp_bounds, bool fit_vmax, Bound vmax_bounds,
                                  double co_penalty, OptionalWeights weights, bool verbose,
                                  std::optional<SharedExpStart> warm_start,
                                  const Interruption& interruption) {
    check_shared_exp_inputs(rows.size(), st_bounds, co_bounds, n_exp_bounds, fit_vmax,
                            vmax_bounds, weights);
    const double run_vmax = mm_vmax();

    const OuterSearch search =
        shared_exp_search(st_bounds, n_exp_bounds, fit_vmax, vmax_bounds, warm_start);
    auto result = multi_start_shared(
        rows, weights, interruption, verbose, search, CoFit{kNaN, kNaN, kNaN},
        [&](std::span<const double> x) { return exp_shared_at(x, fit_vmax, run_vmax); },
        // Bin d is always fitted with seed d, so the same point always gets
        // the same value, and the final fits reproduce the search's.
        [&](const ExpShared& s, std::size_t d) {
            return fit_co_fixed_st_inner(rows.row(d), edges, normalize_stw, s.st, s.n_u, s.n_m,
                                         co_bounds, co_penalty, s.vmax,
                                         static_cast<std::uint64_t>(d));
        },
        // Each row's fit carries its own penalty; adding 0.0 changes no bits
        // (the sum starts from +0.0, so it is never -0.0).
        [](const ExpShared&) { return 0.0; },
        [](const ExpShared& s, std::span<const double> x, double total) {
            return "St=" + format_fixed(s.st, 4) + " (logSt=" + format_fixed(x[0], 3, true) +
                   ")  n_U=" + format_fixed(s.n_u, 3) + "  n_M=" + format_fixed(s.n_m, 3) +
                   "  Vmax=" + format_fixed(s.vmax, 4) + "  total NLL=" + format_fixed(total, 6);
        });
    const ExpShared best = result.shared;
    return {best.st, best.n_u, best.n_m, best.vmax, std::move(result.densities)};
}

SharedStExpFit fit_shared_st_perdensity_exp_inner(RowRange rows, std::span<const double> edges,
                                                  bool normalize_stw, Bound st_bounds,
                                                  Bound co_bounds, Bound n_exp_bounds,
                                                  bool fit_vmax, Bound vmax_bounds,
                                                  double co_penalty, OptionalWeights weights,
                                                  const Interruption& interruption) {
    check_shared_st_perdensity_exp_inputs(rows.size(), st_bounds, co_bounds, n_exp_bounds,
                                          fit_vmax, vmax_bounds, weights);
    const double run_vmax = mm_vmax();

    const auto fit_at = [&](double st, double vmax, std::size_t d) {
        return fit_co_exp_fixed_st_inner(rows.row(d), edges, normalize_stw, st, co_bounds,
                                         n_exp_bounds, co_penalty, vmax,
                                         static_cast<std::uint64_t>(d));
    };
    const auto total_at = [&](double st, double vmax) {
        return weighted_total(rows.size(), weights, interruption,
                              [&](std::size_t d) { return fit_at(st, vmax, d).nll; });
    };

    const OuterSearch search = shared_st_exp_search(st_bounds, fit_vmax, vmax_bounds);
    const auto h = [&](std::span<const double> x) {
        const StExpShared s = st_exp_shared_at(x, fit_vmax, run_vmax);
        return total_at(s.st, s.vmax);
    };
    StExpShared best{};
    if (!fit_vmax) {
        const double u = brent_minimise([&](double v) { return h({&v, 1}); }, search.box[0].lo,
                                        search.box[0].hi);
        best = st_exp_shared_at({&u, 1}, fit_vmax, run_vmax);
    } else {
        best = st_exp_shared_at(nelder_mead(h, search.starts[0], search.box, kOuterSettings).x,
                                fit_vmax, run_vmax);
    }
    SharedStExpFit out{best.st, best.vmax, {}};
    out.densities = final_fits(rows, interruption, CoExpFit{kNaN, kNaN, kNaN, kNaN, kNaN},
                               [&](std::size_t d) { return fit_at(out.st, out.vmax, d); });
    return out;
}

SharedCoFit fit_shared_co_inner(RowRange rows, std::span<const double> edges, bool normalize_stw,
                                Bound st_bounds, Bound co_bounds, Bound n_exp_bounds,
                                double co_penalty, OptionalWeights weights, bool verbose,
                                std::optional<SharedCoStart> warm_start,
                                const Interruption& interruption) {
    check_shared_co_inputs(rows.size(), st_bounds, co_bounds, n_exp_bounds, weights);
    const double vmax = mm_vmax();

    const OuterSearch search = shared_co_search(st_bounds, co_bounds, warm_start);
    auto result = multi_start_shared(
        rows, weights, interruption, verbose, search, ExpFit{kNaN, kNaN, kNaN},
        co_shared_at,
        [&](const CoShared& s, std::size_t d) {
            return fit_exp_fixed_co_inner(rows.row(d), edges, normalize_stw, s.st, s.cow, s.coe,
                                          n_exp_bounds, vmax, static_cast<std::uint64_t>(d));
        },
        // The coefficients are shared, so their penalty counts once.
        [&](const CoShared& s) { return co_penalty_term(co_penalty, s.cow, s.coe); },
        [](const CoShared& s, std::span<const double>, double total) {
            return "St=" + format_fixed(s.st, 4) + " CoW=" + format_fixed(s.cow, 4) +
                   " CoE=" + format_fixed(s.coe, 4) + "  total NLL=" + format_fixed(total, 6);
        });
    const CoShared best = result.shared;
    return {best.st, best.cow, best.coe, std::move(result.densities)};
}

// ------------------------------------------------------------- profiles

SharedProfilePoints profile_shared_exp_inner(const SharedProfileRequest& r,
                                             const Interruption& interruption) {
    const ModeParams mode{{0, kPerDensity, kPerDensity, 1, 2, r.fit_vmax ? 3 : kNotFitted},
                          {log10_coordinate, nullptr, nullptr, plain_coordinate,
                           plain_coordinate, log10_coordinate}};
    const ProfileTarget target =
        profile_target(mode, r.parameter, r.density_idx, r.rows.size(), r.grid);
    check_shared_exp_inputs(r.rows.size(), r.st_bounds, r.co_bounds, r.n_exp_bounds, r.fit_vmax,
                            r.vmax_bounds, r.weights);
    const double run_vmax = mm_vmax();
    return profile_through_fit(
        r, interruption,
        profile_search(r.exp_start, r.cold_starts,
                       [&](const std::optional<SharedExpStart>& start) {
                           return shared_exp_search(r.st_bounds, r.n_exp_bounds, r.fit_vmax,
                                                    r.vmax_bounds, start);
                       }),
        Outer::kSimplex, target,
        [&](std::span<const double> x) { return exp_shared_at(x, r.fit_vmax, run_vmax); },
        [&](const ExpShared& s) {
            return density_fit_detail::co_fixed_st_search(s.st, s.n_u, s.n_m, r.co_bounds,
                                                          r.co_penalty, s.vmax);
        },
        [](const ExpShared&) { return 0.0; }, 4,
        [](const ExpShared& s) { return std::array<double, kMaxSharedValues>{s.st, s.n_u, s.n_m, s.vmax}; });
}

SharedProfilePoints profile_shared_st_exp_inner(const SharedProfileRequest& r,
                                                const Interruption& interruption) {
    const ModeParams mode{{0, kPerDensity, kPerDensity, kPerDensity, kPerDensity,
                           r.fit_vmax ? 1 : kNotFitted},
                          {r.fit_vmax ? log10_coordinate : ln_coordinate, nullptr, nullptr,
                           nullptr, nullptr, log10_coordinate}};
    const ProfileTarget target =
        profile_target(mode, r.parameter, r.density_idx, r.rows.size(), r.grid);
    check_shared_st_perdensity_exp_inputs(r.rows.size(), r.st_bounds, r.co_bounds,
                                          r.n_exp_bounds, r.fit_vmax, r.vmax_bounds, r.weights);
    const double run_vmax = mm_vmax();
    return profile_through_fit(
        r, interruption, shared_st_exp_search(r.st_bounds, r.fit_vmax, r.vmax_bounds),
        r.fit_vmax ? Outer::kSimplex : Outer::kBrent, target,
        [&](std::span<const double> x) { return st_exp_shared_at(x, r.fit_vmax, run_vmax); },
        [&](const StExpShared& s) {
            return density_fit_detail::co_exp_fixed_st_search(s.st, r.co_bounds, r.n_exp_bounds,
                                                              r.co_penalty, s.vmax);
        },
        [](const StExpShared&) { return 0.0; }, 2,
        [](const StExpShared& s) { return std::array<double, kMaxSharedValues>{s.st, s.vmax}; });
}

SharedProfilePoints profile_global_co_inner(const SharedProfileRequest& r,
                                            const Interruption& interruption) {
    const ModeParams mode{{0, 1, 2, kPerDensity, kPerDensity, kNotFitted},
                          {log10_coordinate, log10_coordinate, log10_coordinate, nullptr,
                           nullptr, nullptr}};
    const ProfileTarget target =
        profile_target(mode, r.parameter, r.density_idx, r.rows.size(), r.grid);
    check_shared_co_inputs(r.rows.size(), r.st_bounds, r.co_bounds, r.n_exp_bounds, r.weights);
    const double vmax = mm_vmax();
    return profile_through_fit(
        r, interruption,
        profile_search(r.co_start, r.cold_starts,
                       [&](const std::optional<SharedCoStart>& start) {
                           return shared_co_search(r.st_bounds, r.co_bounds, start);
                       }),
        Outer::kSimplex, target, co_shared_at,
        [&](const CoShared& s) {
            return density_fit_detail::exp_fixed_co_search(s.st, s.cow, s.coe, r.n_exp_bounds,
                                                           vmax);
        },
        [&](const CoShared& s) { return co_penalty_term(r.co_penalty, s.cow, s.coe); }, 3,
        [](const CoShared& s) { return std::array<double, kMaxSharedValues>{s.st, s.cow, s.coe}; });
}

}  // namespace korvel
