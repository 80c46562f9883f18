// Time of one 71 x 71 exponential exp(t Q) of the drift generator at a few
// ages, and of one drift NLL evaluation. Each result is checked (columns of a
// generator's exponential sum to 1, entries are probabilities) before its time
// is printed, so a fast wrong kernel cannot pass for a fast one.
//
// Usage: bench_drift [repetitions]   (default 2000)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "drift/drift.h"
#include "drift/expm.h"
#include "benchmarks/cpp/machine.h"

namespace {


korvel::SquareMatrix scaled_generator(const korvel::SquareMatrix& q, double t) {
    korvel::SquareMatrix a(q.size());
    for (std::size_t i = 0; i < q.size(); ++i) {
        for (std::size_t j = 0; j < q.size(); ++j) a(i, j) = t * q(i, j);
    }
    return a;
}

// Largest deviation of a column sum from 1 and smallest entry.
bool looks_stochastic(const korvel::SquareMatrix& e, double* worst_sum) {
    double worst = 0.0;
    bool ok = true;
    for (std::size_t j = 0; j < e.size(); ++j) {
        double col = 0.0;
        for (std::size_t i = 0; i < e.size(); ++i) {
            col += e(i, j);
            if (!(e(i, j) > -1e-12 && e(i, j) < 1.0 + 1e-12)) ok = false;
        }
        worst = std::max(worst, std::fabs(col - 1.0));
    }
    *worst_sum = worst;
    return ok && worst < 1e-9;
}

// Microseconds per call of f: the best and the median of 20 batches, so that
// other processes on a shared machine show up as a gap between the two
// rather than as a slower kernel.
template <class F>
std::pair<double, double> time_us(int reps, F&& f) {
    const int batches = 20;
    const int per_batch = std::max(1, reps / batches);
    std::vector<double> t;
    for (int b = 0; b < batches; ++b) {
        const auto start = std::chrono::steady_clock::now();
        for (int r = 0; r < per_batch; ++r) f();
        t.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                        .count() /
                    per_batch);
    }
    std::sort(t.begin(), t.end());
    return {t.front(), t[t.size() / 2]};
}

}  // namespace

int main(int argc, char** argv) {
    const int reps = argc > 1 ? std::atoi(argv[1]) : 2000;
    if (reps <= 0) {
        std::fprintf(stderr, "repetitions must be positive\n");
        return 2;
    }
    std::printf("machine: %s, %u logical processors\n", korvel_bench::cpu_model().c_str(),
                std::thread::hardware_concurrency());
    std::printf("drift generator StE=0.3 StW=0.7, %d repetitions each\n", reps);
    const korvel::SquareMatrix q = korvel::drift_generator(0.3, 0.7);
    int failures = 0;
    for (double t : {0.1, 1.0, 10.0, 100.0}) {
        const korvel::SquareMatrix a = scaled_generator(q, t);
        korvel::ExpmPlan plan;
        korvel::SquareMatrix e = korvel::expm(a, &plan);
        double worst = 0.0;
        if (!looks_stochastic(e, &worst)) {
            std::printf("t=%g: result is not a stochastic matrix (column sum error %.3g)\n", t,
                        worst);
            ++failures;
            continue;
        }
        double sink = 0.0;
        const auto [best, median] = time_us(reps, [&] {
            korvel::expm_into(a, e);
            sink += e(35, 35);
        });
        std::printf("expm 71x71  t=%-6g degree %2d  squarings %2d  best %8.1f us  median %8.1f us  (column sum error %.2g)\n",
                    t, plan.degree, plan.squarings, best, median, worst);
        if (!(sink > 0.0)) ++failures;
    }

    // One objective evaluation of a drift fit with 5 fit ages.
    const std::vector<double> edges = {0.0, 0.2, 0.4, 0.6, 0.8, 1.0};
    const std::vector<double> p0_obs = {0.5, 0.2, 0.1, 0.1, 0.1};
    const std::vector<double> ages = {5.0, 10.0, 20.0, 40.0, 80.0};
    const korvel::DriftDistribution p0 = korvel::drift_initial_distribution(p0_obs, edges);
    std::vector<std::vector<double>> rows;
    for (const auto& p : korvel::propagate_drift(korvel::drift_generator(0.02, 0.01), p0, ages)) {
        rows.push_back(korvel::bin_drift_distribution(p, edges));
    }
    std::vector<std::span<const double>> observed(rows.begin(), rows.end());
    const double nll0 = korvel::drift_nll(0.02, 0.01, p0, observed, ages, edges);
    if (!std::isfinite(nll0)) {
        std::printf("drift_nll is not finite\n");
        ++failures;
    }
    double sink = 0.0;
    const auto [best, median] = time_us(std::max(20, reps / 5), [&] {
        sink += korvel::drift_nll(0.02, 0.01, p0, observed, ages, edges);
    });
    std::printf("drift_nll, 5 ages:   best %8.1f us  median %8.1f us per evaluation (NLL %.6f)\n",
                best, median, nll0);
    if (!(sink > 0.0)) ++failures;
    return failures == 0 ? 0 : 1;
}
