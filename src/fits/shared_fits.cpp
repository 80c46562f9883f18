// Shared-parameter fits: an outer search over the shared values whose every
// evaluation refits each density bin's own parameters in parallel.
//
// Order of operations is fixed so that results are reproducible to the bit:
// every objective value is weighted_total's row-order sum, whatever order the
// workers finish in; weight 1.0 when none is given leaves each NLL's bits
// unchanged, so "no weights" and "all ones" give identical values.
#include "fits/shared_fits.h"

#include <cmath>
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
    return parallel_map<Fit>(rows.size(), [&](std::size_t d) { return fit_of(d); });
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

    struct Shared {
        double st, n_u, n_m, vmax;
    };
    auto result = multi_start_shared(
        rows, weights, interruption, verbose, search, CoFit{kNaN, kNaN, kNaN},
        [&](std::span<const double> x) {
            return Shared{std::pow(10.0, x[0]), x[1], x[2],
                          fit_vmax ? std::pow(10.0, x[3]) : run_vmax};
        },
        // Bin d is always fitted with seed d, so the same point always gets
        // the same value, and the final fits reproduce the search's.
        [&](const Shared& s, std::size_t d) {
            return fit_co_fixed_st_inner(rows.row(d), edges, normalize_stw, s.st, s.n_u, s.n_m,
                                         co_bounds, co_penalty, s.vmax,
                                         static_cast<std::uint64_t>(d));
        },
        // Each row's fit carries its own penalty; adding 0.0 changes no bits
        // (the sum starts from +0.0, so it is never -0.0).
        [](const Shared&) { return 0.0; },
        [](const Shared& s, std::span<const double> x, double total) {
            return "St=" + format_fixed(s.st, 4) + " (logSt=" + format_fixed(x[0], 3, true) +
                   ")  n_U=" + format_fixed(s.n_u, 3) + "  n_M=" + format_fixed(s.n_m, 3) +
                   "  Vmax=" + format_fixed(s.vmax, 4) + "  total NLL=" + format_fixed(total, 6);
        });
    const Shared best = result.shared;
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

    SharedStExpFit out{kNaN, run_vmax, {}};
    if (!fit_vmax) {
        out.st = brent_over_ln_st(st_bounds, [&](double st) { return total_at(st, run_vmax); });
    } else {
        const Bound log_st = log10_of(st_bounds);
        const Bound log_vmax = log10_of(vmax_bounds);
        const std::vector<Bound> box{log_st, log_vmax};
        const std::vector<double> start{midpoint(log_st), midpoint(log_vmax)};
        const auto h = [&](std::span<const double> x) {
            return total_at(std::pow(10.0, x[0]), std::pow(10.0, x[1]));
        };
        const OptResult best = nelder_mead(h, start, box, kOuterSettings);
        out.st = std::pow(10.0, best.x[0]);
        out.vmax = std::pow(10.0, best.x[1]);
    }
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

    struct Shared {
        double st, cow, coe;
    };
    auto result = multi_start_shared(
        rows, weights, interruption, verbose, search, ExpFit{kNaN, kNaN, kNaN},
        [](std::span<const double> x) {
            return Shared{std::pow(10.0, x[0]), std::pow(10.0, x[1]), std::pow(10.0, x[2])};
        },
        [&](const Shared& s, std::size_t d) {
            return fit_exp_fixed_co_inner(rows.row(d), edges, normalize_stw, s.st, s.cow, s.coe,
                                          n_exp_bounds, vmax, static_cast<std::uint64_t>(d));
        },
        // The coefficients are shared, so their penalty counts once.
        [&](const Shared& s) { return co_penalty_term(co_penalty, s.cow, s.coe); },
        [](const Shared& s, std::span<const double>, double total) {
            return "St=" + format_fixed(s.st, 4) + " CoW=" + format_fixed(s.cow, 4) +
                   " CoE=" + format_fixed(s.coe, 4) + "  total NLL=" + format_fixed(total, 6);
        });
    const Shared best = result.shared;
    return {best.st, best.cow, best.coe, std::move(result.densities)};
}

}  // namespace korvel
