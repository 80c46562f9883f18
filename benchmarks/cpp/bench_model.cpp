// Time per stationary solve: the structured fast path against the plain dense
// reference, and the time of one full model evaluation (model_nll: build,
// solve, bin, score with 10 bins), over parameters drawn from a real fit's
// box: St in (0.01, 10), CoW and CoE log-uniform in (1e-3, 1e3), exponents 1
// to 4. Checks that the fast path equals the reference on every drawn set.
//
// Exponents are timed two ways: fixed for a batch, as in a fit of (St, CoW,
// CoE) where the powers come from the per-thread table, and drawn afresh for
// every call, as in an exponent fit, where all 140 powers are computed.
//
// Usage: bench_model [number of parameter sets, default 2000]
#include <sys/utsname.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "core/state.h"
#include "model/model.h"
#include "tests/support/splitmix.h"
#include "benchmarks/cpp/machine.h"

namespace {


struct Params {
    double st, cow, coe, n_u, n_m;
    bool normalize_stw;
    double ste() const { return normalize_stw ? st : 1.0; }
    double stw() const { return normalize_stw ? 1.0 : st; }
};


volatile double g_sink = 0.0;

// Nanoseconds per call of fn over all sets, one timing.
template <class F>
double time_once(const std::vector<Params>& sets, F&& fn) {
    double sink = 0.0;
    const auto t0 = std::chrono::steady_clock::now();
    for (const Params& p : sets) sink += fn(p);
    const auto t1 = std::chrono::steady_clock::now();
    g_sink = g_sink + sink;
    return std::chrono::duration<double, std::nano>(t1 - t0).count() / static_cast<double>(sets.size());
}

}  // namespace

int main(int argc, char** argv) {
    const int n_sets = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
    constexpr double kInf = std::numeric_limits<double>::infinity();

    utsname u{};
    uname(&u);
    std::printf("machine: %s %s %s %s\n", u.sysname, u.release, u.version, u.machine);
    std::printf("cpu: %s\n", korvel_bench::cpu_model().c_str());
    std::printf("raw-count mode: %s, Vmax: +inf, parameter sets: %d\n",
                korvel::raw_count_enabled() ? "on" : "off", n_sets);

    korvel_test::SplitMix g{20261207};
    std::vector<Params> varying;   // exponents drawn per set
    std::vector<Params> fixed;     // the same sets with one exponent pair
    const double fixed_nu = g.uniform(1.0, 4.0), fixed_nm = g.uniform(1.0, 4.0);
    for (int i = 0; i < n_sets; ++i) {
        Params p{g.log_uniform(0.01, 10.0), g.log_uniform(1e-3, 1e3), g.log_uniform(1e-3, 1e3),
                 g.uniform(1.0, 4.0), g.uniform(1.0, 4.0), (i % 2) == 0};
        varying.push_back(p);
        p.n_u = fixed_nu;
        p.n_m = fixed_nm;
        fixed.push_back(p);
    }

    // Check: fast == reference on every drawn set (and the NaN-free results).
    long mismatches = 0;
    for (const std::vector<Params>* sets : {&varying, &fixed}) {
        for (const Params& p : *sets) {
            const korvel::StateVector a =
                korvel::stationary_distribution(p.ste(), p.stw(), p.cow, p.coe, p.n_u, p.n_m, kInf);
            const korvel::StateVector b =
                korvel::stationary_distribution_reference(p.ste(), p.stw(), p.cow, p.coe, p.n_u, p.n_m, kInf);
            for (std::size_t i = 0; i < a.size(); ++i) {
                if (!(a[i] == b[i])) ++mismatches;
            }
        }
    }
    std::printf("check: fast == reference on %d sets: %s\n", 2 * n_sets,
                mismatches == 0 ? "yes" : "NO");
    if (mismatches != 0) {
        std::printf("%ld mismatching entries\n", mismatches);
        return 1;
    }

    const auto fast = [&](const Params& p) {
        return korvel::stationary_distribution(p.ste(), p.stw(), p.cow, p.coe, p.n_u, p.n_m, kInf)[35];
    };
    const auto reference = [&](const Params& p) {
        return korvel::stationary_distribution_reference(p.ste(), p.stw(), p.cow, p.coe, p.n_u, p.n_m, kInf)[35];
    };
    std::vector<double> edges(11);
    for (int j = 0; j <= 10; ++j) edges[static_cast<std::size_t>(j)] = j / 10.0;
    const std::vector<double> observed{0.02, 0.05, 0.08, 0.1, 0.15, 0.2, 0.15, 0.1, 0.08, 0.07};
    const auto nll = [&](const Params& p) {
        return korvel::model_nll(p.st, p.cow, p.coe, observed, edges, p.normalize_stw, p.n_u, p.n_m, kInf);
    };

    // The timings take turns within each round, so that all of them see the
    // same machine load; each figure is the best of its rounds.
    const int rounds = 15;
    const std::vector<Params> ref_sets(varying.begin(), varying.begin() + std::min<std::ptrdiff_t>(n_sets, 200));
    const double inf = std::numeric_limits<double>::infinity();
    double t_ref = inf, t_fast_fixed = inf, t_fast_varying = inf, t_nll_fixed = inf, t_nll_varying = inf;
    for (int r = 0; r < rounds; ++r) {
        t_ref = std::min(t_ref, time_once(ref_sets, reference));
        t_fast_fixed = std::min(t_fast_fixed, time_once(fixed, fast));
        t_fast_varying = std::min(t_fast_varying, time_once(varying, fast));
        t_nll_fixed = std::min(t_nll_fixed, time_once(fixed, nll));
        t_nll_varying = std::min(t_nll_varying, time_once(varying, nll));
    }

    std::printf("reference solve:                          %9.3f us\n", t_ref / 1000.0);
    std::printf("fast solve, exponents fixed (fit):        %9.3f us   speed-up %6.1fx\n", t_fast_fixed / 1000.0,
                t_ref / t_fast_fixed);
    std::printf("fast solve, exponents drawn per call:     %9.3f us   speed-up %6.1fx\n", t_fast_varying / 1000.0,
                t_ref / t_fast_varying);
    std::printf("model_nll (10 bins), exponents fixed:     %9.3f us\n", t_nll_fixed / 1000.0);
    std::printf("model_nll (10 bins), exponents per call:  %9.3f us\n", t_nll_varying / 1000.0);
    return 0;
}
