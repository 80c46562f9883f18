// Time per stationary solve: parameter sets solved side by side in the lanes
// of each instruction set this processor has (2, 4 or 8 per call) against the
// same sets solved one at a time. Half the sets come from a real fit's box
// (St in (0.01, 10), CoW and CoE log-uniform in (1e-3, 1e3)), half from its
// strongly cooperative corner (St in (0.01, 0.1), CoW in (10, 1e3), CoE
// within a factor 2 of CoW), exponents 1 to 4, Vmax absent or finite, so
// one-mode and two-mode distributions are mixed; the share of two-mode ones
// is printed. Before any timing,
// every path's results are checked against the one-set solve bit for bit.
//
// Three kinds of sets are timed: exponents fixed for a run, as in a fit of
// (St, CoW, CoE); exponents drawn per set, as in an exponent fit; and the
// rows of a 25 x 40 phase grid (CoE swept at each CoW), where the sets that
// share a call are neighbours and take similar pivots.
//
// Times are the calling thread's CPU time (so that other processes on a
// shared machine count less), the best and the median of the rounds.
//
// Usage: bench_batch [parameter sets, default 4000] [rounds, default 15]
#include <sys/utsname.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

#include "benchmarks/cpp/machine.h"
#include "core/simd.h"
#include "model/model.h"
#include "model/stationary_internal.h"
#include "tests/support/splitmix.h"

namespace {

using korvel::ModelParams;
using korvel::SimdPath;
using korvel::StateVector;

// Interior local maxima plus maxima at either end: two or more is two-mode.
int modes(const StateVector& p) {
    int n = 0;
    for (std::size_t m = 0; m < p.size(); ++m) {
        const bool left = m == 0 || p[m] > p[m - 1];
        const bool right = m + 1 == p.size() || p[m] >= p[m + 1];
        n += left && right && p[m] > 1e-6 ? 1 : 0;
    }
    return n;
}

double thread_cpu_ns() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

// CPU nanoseconds per set of one pass over all sets.
double time_once(SimdPath path, const std::vector<ModelParams>& sets, std::vector<StateVector>& out) {
    const double t0 = thread_cpu_ns();
    korvel::model_detail::stationary_batch(path, sets, false, out);
    return (thread_cpu_ns() - t0) / static_cast<double>(sets.size());
}

}  // namespace

int main(int argc, char** argv) {
    const int n_sets = argc > 1 ? std::max(8, std::atoi(argv[1])) : 4000;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 15;
    constexpr double kInf = std::numeric_limits<double>::infinity();

    utsname u{};
    uname(&u);
    std::printf("machine: %s %s %s\n", u.sysname, u.release, u.machine);
    std::printf("cpu: %s\n", korvel_bench::cpu_model().c_str());
    std::printf("paths: ");
    for (SimdPath p : korvel::supported_simd_paths()) std::printf("%s ", korvel::simd_path_name(p));
    std::printf("(in use: %s)\n", korvel::simd_path_name(korvel::simd_path()));

    korvel_test::SplitMix g{20261207};
    std::vector<ModelParams> fixed, varying;
    const double nu = g.uniform(1.0, 4.0), nm = g.uniform(1.0, 4.0);
    for (int i = 0; i < n_sets; ++i) {
        // Every other set from the strongly cooperative corner, where CoW
        // and CoE are large and balanced and many distributions have two
        // modes; the others from the whole box.
        const bool corner = i % 4 >= 2;
        const double st = corner ? g.log_uniform(0.01, 0.1) : g.log_uniform(0.01, 10.0);
        const bool ste_free = i % 2 == 0;
        const double cow = corner ? g.log_uniform(10.0, 1e3) : g.log_uniform(1e-3, 1e3);
        const double coe = corner ? cow * g.log_uniform(0.5, 2.0) : g.log_uniform(1e-3, 1e3);
        ModelParams p{ste_free ? st : 1.0, ste_free ? 1.0 : st, cow, coe, g.uniform(1.0, 4.0), g.uniform(1.0, 4.0),
                      g.below(3) == 0 ? g.log_uniform(0.1, 1e4) : kInf};
        varying.push_back(p);
        p.n_u = nu;
        p.n_m = nm;
        fixed.push_back(p);
    }

    std::vector<ModelParams> grid;
    for (int i = 0; i < 25; ++i) {
        for (int k = 0; k < 40; ++k) {
            grid.push_back({0.5, 1.0, std::pow(10.0, -3.0 + 6.0 * i / 24.0), std::pow(10.0, -3.0 + 6.0 * k / 39.0),
                            2.0, 2.0, kInf});
        }
    }
    const std::vector<ModelParams>* kinds[] = {&fixed, &varying, &grid};
    const char* titles[] = {"exponents fixed (as in a three-parameter fit):",
                            "exponents drawn per set (as in an exponent fit):",
                            "phase-grid rows (CoE swept at fixed CoW, St = 0.5, exponents 2):"};

    std::vector<StateVector> expected, out;
    int two_mode = 0;
    for (const std::vector<ModelParams>* sets : kinds) {
        expected.resize(sets->size());
        out.resize(sets->size());
        korvel::model_detail::stationary_batch(SimdPath::scalar, *sets, false, expected);
        if (sets == &fixed) {
            for (const StateVector& p : expected) two_mode += modes(p) >= 2 ? 1 : 0;
        }
        for (SimdPath path : korvel::supported_simd_paths()) {
            korvel::model_detail::stationary_batch(path, *sets, false, out);
            for (std::size_t i = 0; i < out.size(); ++i) {
                for (std::size_t k = 0; k < out[i].size(); ++k) {
                    if (std::bit_cast<std::uint64_t>(out[i][k]) != std::bit_cast<std::uint64_t>(expected[i][k])) {
                        std::printf("check FAILED: %s differs from the one-set solve at set %zu\n",
                                    korvel::simd_path_name(path), i);
                        return 1;
                    }
                }
            }
        }
    }
    std::printf("sets: %d (two-mode: %.0f%%), rounds: %d; check: every path equals the one-set solve bit for bit\n",
                n_sets, 100.0 * two_mode / n_sets, rounds);

    // The paths take turns within each round, so that all see the same
    // machine load; best and median over the rounds.
    const std::span<const SimdPath> paths = korvel::supported_simd_paths();
    for (std::size_t kind = 0; kind < 3; ++kind) {
        const std::vector<ModelParams>* sets = kinds[kind];
        out.resize(sets->size());
        std::vector<std::vector<double>> t(paths.size());
        for (int r = 0; r < rounds; ++r) {
            for (std::size_t p = 0; p < paths.size(); ++p) t[p].push_back(time_once(paths[p], *sets, out));
        }
        std::printf("%s\n", titles[kind]);
        std::vector<double> best(paths.size()), median(paths.size());
        for (std::size_t p = 0; p < paths.size(); ++p) {
            std::sort(t[p].begin(), t[p].end());
            best[p] = t[p].front();
            median[p] = t[p][t[p].size() / 2];
        }
        for (std::size_t p = 0; p < paths.size(); ++p) {
            std::printf("  %-6s %d per call: best %6.3f us/set, median %6.3f us/set CPU; speed-up over one at a time: "
                        "best %5.2fx, median %5.2fx\n",
                        korvel::simd_path_name(paths[p]), korvel::simd_lanes(paths[p]), best[p] / 1000.0,
                        median[p] / 1000.0, best[0] / best[p], median[0] / median[p]);
        }
    }
    return 0;
}
