// The structured stationary solve against the plain dense reference on many
// parameter sets drawn over wide ranges: every entry equal under == or NaN in
// both (a zero may differ in sign only), and the fast path, not the fallback,
// produces nearly all finite cases.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <thread>
#include <vector>

#include "core/state.h"
#include "model/model.h"
#include "model/stationary_internal.h"
#include "tests/support/model_draws.h"
#include "tests/support/splitmix.h"

namespace {

using korvel::StateVector;
using korvel::model_detail::SolvePath;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// 100,000 sets in an optimised build (a few seconds, most of it in the
// reference solve).
constexpr int kRandomSets = korvel_test::drawn_sets(100000);

using Params = korvel_test::DrawnParams;
using korvel_test::draw_params;

bool all_finite(const StateVector& v) {
    for (double x : v) {
        if (!std::isfinite(x)) return false;
    }
    return true;
}

struct Tally {
    long cases = 0;
    long mismatches = 0;
    long zero_sign_differences = 0;
    long finite_cases = 0;
    long finite_fast = 0;
    long fast = 0;
    long nonfinite_param_cases = 0;
    long uniform = 0;
};

void compare(const Params& p, Tally& t) {
    SolvePath path{};
    const StateVector fast = korvel::model_detail::stationary_with_path(p.ste, p.stw, p.cow, p.coe, p.n_u, p.n_m,
                                                                        p.vmax, p.raw, &path);
    const StateVector ref =
        korvel::model_detail::reference_solve(p.ste, p.stw, p.cow, p.coe, p.n_u, p.n_m, p.vmax, p.raw);
    ++t.cases;
    bool bad = false;
    for (std::size_t i = 0; i < ref.size(); ++i) {
        if (fast[i] == ref[i]) {
            if (std::signbit(fast[i]) != std::signbit(ref[i])) ++t.zero_sign_differences;
        } else if (!(std::isnan(fast[i]) && std::isnan(ref[i]))) {
            bad = true;
        }
    }
    if (bad) {
        ++t.mismatches;
        if (t.mismatches <= 10) {
            std::printf("mismatch: ste=%a stw=%a cow=%a coe=%a n_u=%a n_m=%a vmax=%a raw=%d path=%s\n", p.ste,
                        p.stw, p.cow, p.coe, p.n_u, p.n_m, p.vmax, p.raw ? 1 : 0,
                        path == SolvePath::fast ? "fast" : "reference");
        }
    }
    if (path == SolvePath::fast) ++t.fast;
    const bool params_finite = std::isfinite(p.ste) && std::isfinite(p.stw) && std::isfinite(p.cow) &&
                               std::isfinite(p.coe) && std::isfinite(p.n_u) && std::isfinite(p.n_m);
    if (!params_finite) ++t.nonfinite_param_cases;
    if (params_finite && all_finite(ref)) {
        ++t.finite_cases;
        if (path == SolvePath::fast) ++t.finite_fast;
        if (ref[0] == 1.0 / 71.0 && ref[70] == 1.0 / 71.0) ++t.uniform;
    }
}

TEST(FastPath, MatchesReferenceOnWideRandomSets) {
    korvel_test::SplitMix g{0x6b6f7276656cULL};
    Tally t;
    const int kSets = kRandomSets;
    for (int i = 0; i < kSets; ++i) compare(draw_params(g), t);
    std::printf("cases %ld, fast %ld, finite cases %ld (fast %ld, uniform %ld), non-finite parameters %ld, "
                "zero entries differing in sign only %ld\n",
                t.cases, t.fast, t.finite_cases, t.finite_fast, t.uniform, t.nonfinite_param_cases,
                t.zero_sign_differences);
    EXPECT_EQ(t.mismatches, 0);
    ASSERT_GT(t.finite_cases, kSets / 2);
    EXPECT_GE(static_cast<double>(t.finite_fast), 0.99 * static_cast<double>(t.finite_cases));
    // The fallback was exercised too.
    EXPECT_GT(t.cases - t.fast, 100);
}

TEST(FastPath, SpecialCases) {
    const Params cases[] = {
        {0.0, 0.0, 0.0, 0.0, 2.0, 2.0, kInf, false},       // singular: uniform
        {1.0, 1.0, 0.0, 0.0, 2.0, 2.0, kInf, false},       // binomial
        {1.0, 0.0, 0.0, 1.0, 2.0, 2.0, kInf, false},       // no writing
        {0.0, 1.0, 1.0, 0.0, 2.0, 2.0, kInf, true},        // no erasing
        {0.0, 0.0, 1.0, 1.0, 2.0, 2.0, kInf, false},       // no spontaneous
        {1e300, 1e300, 1e300, 1e300, 2.0, 2.0, kInf, false},
        {1e-300, 1e-300, 1e-300, 1e-300, 2.0, 2.0, kInf, false},
        {5e-324, 1e-310, 4e-320, 2e-315, 2.0, 2.0, kInf, false},
        {0.5, 1.0, 3.0, 2.0, 2.0, 2.0, 0.0, false},        // Vmax 0
        {0.5, 1.0, 0.0, 2.0, 2.0, 2.0, 0.0, false},        // S(0) = NaN
        {0.5, 1.0, 3.0, 2.0, 0.0, 0.0, kInf, true},
        {0.5, 1.0, 3.0, 2.0, 300.0, 300.0, kInf, true},    // overflowing powers
        {0.5, 1.0, 3.0, 2.0, -300.0, -300.0, kInf, false},
        {-0.5, 1.0, 2.0, 3.0, 2.0, 2.0, kInf, false},      // negative rate
        {-0.0, 1.0, -0.0, 2.0, 2.0, 2.0, kInf, false},
        {1.0, -1.0, 1.0, 1.0, 2.0, 2.0, kInf, false},      // rates cancelling in a column
        {kNaN, 1.0, 1.0, 1.0, 2.0, 2.0, kInf, false},
        {1.0, 1.0, 1.0, 1.0, kInf, 2.0, kInf, false},      // infinite exponent
        {1.0, 1.0, 1.0, 1.0, 2.0, -kInf, 5.0, true},
    };
    Tally t;
    for (const Params& p : cases) compare(p, t);
    EXPECT_EQ(t.mismatches, 0);
}

TEST(FastPath, RepeatedCallsAndManyExponents) {
    // The power tables are per thread and evicted in turn: cycling through
    // more exponents than there are slots must not change any result.
    korvel_test::SplitMix g{42};
    std::vector<Params> sets;
    for (int i = 0; i < 40; ++i) {
        sets.push_back({g.pow10_uniform(-2, 1), 1.0, g.pow10_uniform(-3, 3), g.pow10_uniform(-3, 3),
                        static_cast<double>(i % 13) * 0.5, static_cast<double>(i % 7), kInf, i % 3 == 0});
    }
    std::vector<StateVector> first;
    for (const Params& p : sets) {
        first.push_back(korvel::model_detail::stationary_with_path(p.ste, p.stw, p.cow, p.coe, p.n_u, p.n_m, p.vmax,
                                                                   p.raw, nullptr));
    }
    for (int rep = 0; rep < 3; ++rep) {
        for (std::size_t i = 0; i < sets.size(); ++i) {
            const Params& p = sets[i];
            const StateVector again = korvel::model_detail::stationary_with_path(p.ste, p.stw, p.cow, p.coe, p.n_u,
                                                                                 p.n_m, p.vmax, p.raw, nullptr);
            for (std::size_t j = 0; j < again.size(); ++j) {
                EXPECT_EQ(std::bit_cast<std::uint64_t>(again[j]), std::bit_cast<std::uint64_t>(first[i][j]));
            }
        }
    }
}

TEST(FastPath, ConcurrentThreadsAgreeWithReference) {
    constexpr int kThreads = 4;
    std::vector<long> mismatches(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &mismatches] {
            korvel_test::SplitMix g{1000u + static_cast<std::uint64_t>(t)};
            Tally tally;
            for (int i = 0; i < 1500; ++i) compare(draw_params(g), tally);
            mismatches[static_cast<std::size_t>(t)] = tally.mismatches;
        });
    }
    for (std::thread& th : threads) th.join();
    for (long m : mismatches) EXPECT_EQ(m, 0);
}

TEST(FastPath, PublicFunctionReadsTheSwitch) {
    const bool saved = korvel::raw_count_enabled();
    for (bool raw : {false, true}) {
        korvel::set_raw_count(raw);
        const StateVector a = korvel::stationary_distribution(0.3, 1.0, 0.02, 0.5, 1.5, 2.5, kInf);
        const StateVector b = korvel::model_detail::reference_solve(0.3, 1.0, 0.02, 0.5, 1.5, 2.5, kInf, raw);
        for (std::size_t i = 0; i < a.size(); ++i) EXPECT_EQ(a[i], b[i]);
    }
    korvel::set_raw_count(saved);
}

}  // namespace
