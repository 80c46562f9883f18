// Cost of one three-parameter density fit, and of one objective evaluation.
//
// The data are the binned model fractions at St = 1, CoW = 10, CoE = 10 (a
// bimodal profile spread over all bins) over ten methylation bins, so the NLL at those parameters is the smallest any
// fit can reach; the benchmark fails (exit 1) when the fit does not reach it.
// The evaluation count comes from running the same global search on the same
// objective wrapped in a counter; that run must return the very point and
// value of fit_one_density_inner, or the count would describe another search.
//
// Usage: bench_fit [repetitions]   (default 5)
#include <sys/utsname.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "core/state.h"
#include "fits/density_fits.h"
#include "fits/density_search.h"
#include "model/model.h"
#include "optimizer/global_search.h"

namespace {

constexpr double kSt = 1.0;
constexpr double kCoW = 10.0;
constexpr double kCoE = 10.0;
constexpr korvel::Bound kStBounds{0.01, 10.0};
constexpr korvel::Bound kCoBounds{1e-3, 1e3};
constexpr std::uint64_t kSeed = 42;

void print_machine() {
    utsname u{};
    if (uname(&u) == 0) {
        std::printf("machine: %s %s %s %s\n", u.sysname, u.nodename, u.release, u.machine);
    }
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    int cpus = 0;
    std::string model = "unknown";
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0) {
            ++cpus;
            if (const auto colon = line.find(':'); colon != std::string::npos) {
                model = line.substr(colon + 2);
            }
        }
    }
    std::printf("cpu: %s (%d logical)\n", model.c_str(), cpus);
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
    const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    print_machine();

    std::vector<double> edges;
    for (int i = 0; i <= 10; ++i) edges.push_back(i / 10.0);
    const std::vector<double> observed = korvel::binned_model_fracs(
        korvel::stationary_distribution(kSt, 1.0, kCoW, kCoE, 2.0, 2.0, korvel::mm_vmax()),
        edges);
    const double true_nll =
        korvel::model_nll(kSt, kCoW, kCoE, observed, edges, true, 2.0, 2.0, korvel::mm_vmax());

    // Timed fits.
    korvel::DensityFit fit{};
    std::vector<double> times;
    for (int r = 0; r < reps; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        fit = korvel::fit_one_density_inner(observed, edges, true, kStBounds, kCoBounds, 2.0, 2.0,
                                            0.0, kSeed);
        times.push_back(seconds_since(t0));
    }
    std::sort(times.begin(), times.end());
    const double median = times[times.size() / 2];

    // The same search, counted.
    namespace detail = korvel::density_fit_detail;
    const korvel::DensityData data{observed, edges, true};
    const detail::DensitySearch search =
        detail::three_param_search(kStBounds, kCoBounds, 2.0, 2.0, korvel::mm_vmax(), 0.0);
    const detail::DensityBox box = detail::density_box(search);
    const korvel::DensityObjective objective = detail::density_objective(search, data);
    long evaluations = 0;
    auto counted = [&](std::span<const double> x) {
        ++evaluations;
        return objective(x);
    };
    const korvel::OptResult counted_run = korvel::global_search(counted, box.view(), kSeed);

    // Model evaluation alone, at the truth, for comparison.
    const int solo = 2000;
    double sink = 0.0;
    const auto t1 = std::chrono::steady_clock::now();
    for (int i = 0; i < solo; ++i) {
        sink += korvel::model_nll(kSt, kCoW, kCoE, observed, edges, true, 2.0, 2.0,
                                  korvel::mm_vmax());
    }
    const double per_model_nll = seconds_since(t1) / solo;

    std::printf("fit: st=%.9g cow=%.9g coe=%.9g nll=%.12g (nll at truth %.12g)\n", fit.st,
                fit.cow, fit.coe, fit.nll, true_nll);
    std::printf("objective evaluations per fit: %ld\n", evaluations);
    std::printf("time per fit: median %.4f s, min %.4f s, max %.4f s over %d fits\n", median,
                times.front(), times.back(), reps);
    std::printf("time per evaluation (fit time / evaluations): %.2f us\n",
                1e6 * median / static_cast<double>(evaluations));
    std::printf("model_nll alone: %.2f us (checksum %.6g)\n", 1e6 * per_model_nll, sink);

    bool ok = true;
    if (!(std::isfinite(fit.nll) && fit.nll <= true_nll + 1e-9)) {
        std::printf("FAIL: the fit did not reach the NLL at the true parameters\n");
        ok = false;
    }
    if (!(counted_run.x.size() == 3 && counted_run.f == fit.nll && counted_run.x[0] == fit.st &&
          std::pow(10.0, counted_run.x[1]) == fit.cow &&
          std::pow(10.0, counted_run.x[2]) == fit.coe)) {
        std::printf("FAIL: the counted search differs from fit_one_density_inner\n");
        ok = false;
    }
    return ok ? 0 : 1;
}
