// The batched stationary solve against the one-set solve, bit for bit, on
// every instruction set this processor has: random sets over wide ranges
// (fit boxes with one and two modes, raw counts, finite and absent ceilings,
// zero, negative and non-finite values, singular systems), in batches of
// every size so that partial lane groups are covered too. The lanes must also
// hand exactly the same sets to the plain algorithm as the one-set solve does.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <thread>
#include <vector>

#include "core/simd.h"
#include "core/state.h"
#include "model/model.h"
#include "model/stationary_internal.h"
#include "tests/support/model_draws.h"

namespace {

using korvel::ModelParams;
using korvel::SimdPath;
using korvel::StateVector;
using korvel::model_detail::SolvePath;

constexpr int kSets = korvel_test::drawn_sets(100000);

struct Case {
    std::vector<ModelParams> sets;
    std::vector<StateVector> expected;
    std::vector<SolvePath> expected_paths;
};

// The sets of one raw-count mode, with the one-set solve's results.
Case make_case(bool raw) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    Case c;
    // Singular and degenerate systems first, then the random draws.
    c.sets = {{0.0, 0.0, 0.0, 0.0, 2.0, 2.0, kInf},  {1.0, 1.0, 0.0, 0.0, 2.0, 2.0, kInf},
              {1.0, 0.0, 0.0, 1.0, 2.0, 2.0, kInf},  {0.0, 1.0, 1.0, 0.0, 2.0, 2.0, kInf},
              {0.5, 1.0, 3.0, 2.0, 2.0, 2.0, 0.0},   {0.5, 1.0, 0.0, 2.0, 2.0, 2.0, 0.0},
              {-0.0, 1.0, -0.0, 2.0, 2.0, 2.0, kInf}, {1.0, -1.0, 1.0, 1.0, 2.0, 2.0, kInf}};
    korvel_test::SplitMix g{raw ? 0x62617463680aULL : 0x62617463680bULL};
    while (c.sets.size() < static_cast<std::size_t>(kSets / 2)) {
        const korvel_test::DrawnParams d = korvel_test::draw_params(g);
        c.sets.push_back({d.ste, d.stw, d.cow, d.coe, d.n_u, d.n_m, d.vmax});
    }
    for (const ModelParams& p : c.sets) {
        SolvePath path{};
        c.expected.push_back(korvel::model_detail::stationary_with_path(p.ste, p.stw, p.cow, p.coe, p.n_u, p.n_m,
                                                                        p.vmax, raw, &path));
        c.expected_paths.push_back(path);
    }
    return c;
}

TEST(StationaryBatch, EveryPathEqualsTheOneSetSolveBitForBit) {
    for (bool raw : {false, true}) {
        const Case c = make_case(raw);
        long handed_over = 0;
        for (SolvePath p : c.expected_paths) handed_over += p == SolvePath::reference ? 1 : 0;
        for (SimdPath path : korvel::supported_simd_paths()) {
            SCOPED_TRACE(korvel::simd_path_name(path));
            std::vector<StateVector> out(c.sets.size());
            std::vector<SolvePath> paths(c.sets.size());
            // Batches of 1 to 19 sets: whole and partial lane groups.
            korvel_test::SplitMix sizes{7};
            for (std::size_t i = 0; i < c.sets.size();) {
                const std::size_t n = std::min<std::size_t>(1 + sizes.below(19), c.sets.size() - i);
                korvel::model_detail::stationary_batch(path, std::span(c.sets).subspan(i, n), raw,
                                                       std::span(out).subspan(i, n), paths.data() + i);
                i += n;
            }
            long mismatches = 0, path_mismatches = 0;
            for (std::size_t i = 0; i < c.sets.size(); ++i) {
                bool same = true;
                for (std::size_t k = 0; k < out[i].size(); ++k) {
                    same &= std::bit_cast<std::uint64_t>(out[i][k]) ==
                            std::bit_cast<std::uint64_t>(c.expected[i][k]);
                }
                if (!same && ++mismatches <= 5) {
                    const ModelParams& p = c.sets[i];
                    std::printf("mismatch: ste=%a stw=%a cow=%a coe=%a n_u=%a n_m=%a vmax=%a raw=%d\n", p.ste,
                                p.stw, p.cow, p.coe, p.n_u, p.n_m, p.vmax, raw ? 1 : 0);
                }
                path_mismatches += paths[i] != c.expected_paths[i] ? 1 : 0;
            }
            EXPECT_EQ(mismatches, 0);
            EXPECT_EQ(path_mismatches, 0);
        }
        // Both algorithms were exercised.
        EXPECT_GT(handed_over, 100);
        EXPECT_LT(handed_over, kSets / 4);
    }
}

TEST(StationaryBatch, PublicFunctionReadsTheSwitch) {
    const bool saved = korvel::raw_count_enabled();
    const std::vector<ModelParams> sets = {{0.3, 1.0, 0.02, 0.5, 1.5, 2.5, 7.0},
                                           {1.0, 0.2, 30.0, 80.0, 2.0, 2.0, 1e300},
                                           {0.05, 1.0, 500.0, 300.0, 3.0, 1.0, -1.0}};
    for (bool raw : {false, true}) {
        korvel::set_raw_count(raw);
        std::vector<StateVector> out(sets.size());
        korvel::stationary_distributions(sets, out);
        for (std::size_t i = 0; i < sets.size(); ++i) {
            const ModelParams& p = sets[i];
            const StateVector one = korvel::stationary_distribution(p.ste, p.stw, p.cow, p.coe, p.n_u, p.n_m, p.vmax);
            for (std::size_t k = 0; k < one.size(); ++k) {
                EXPECT_EQ(std::bit_cast<std::uint64_t>(out[i][k]), std::bit_cast<std::uint64_t>(one[k]));
            }
        }
    }
    korvel::set_raw_count(saved);
}

TEST(StationaryBatch, ThreadsKeepTheirOwnWorkspaces) {
    // Each thread's lanes and power tables are its own: four threads batching
    // different sets at once get the one-set results.
    constexpr int kThreads = 4;
    std::vector<long> mismatches(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &mismatches] {
            korvel_test::SplitMix g{500u + static_cast<std::uint64_t>(t)};
            std::vector<ModelParams> sets;
            for (int i = 0; i < 800; ++i) {
                const korvel_test::DrawnParams d = korvel_test::draw_params(g);
                sets.push_back({d.ste, d.stw, d.cow, d.coe, d.n_u, d.n_m, d.vmax});
            }
            std::vector<StateVector> out(sets.size());
            korvel::model_detail::stationary_batch(korvel::supported_simd_paths().back(), sets, t % 2 == 0, out);
            for (std::size_t i = 0; i < sets.size(); ++i) {
                const ModelParams& p = sets[i];
                const StateVector one = korvel::model_detail::stationary_with_path(
                    p.ste, p.stw, p.cow, p.coe, p.n_u, p.n_m, p.vmax, t % 2 == 0, nullptr);
                for (std::size_t k = 0; k < one.size(); ++k) {
                    mismatches[static_cast<std::size_t>(t)] +=
                        std::bit_cast<std::uint64_t>(out[i][k]) != std::bit_cast<std::uint64_t>(one[k]) ? 1 : 0;
                }
            }
        });
    }
    for (std::thread& th : threads) th.join();
    for (long m : mismatches) EXPECT_EQ(m, 0);
}

TEST(SimdDispatch, RequestsAreClampedToWhatTheProcessorRuns) {
    using korvel::detail::choose_simd_path;
    const SimdPath up_to_avx2[] = {SimdPath::scalar, SimdPath::sse2, SimdPath::avx2};
    EXPECT_EQ(choose_simd_path(nullptr, up_to_avx2), SimdPath::avx2);
    EXPECT_EQ(choose_simd_path("scalar", up_to_avx2), SimdPath::scalar);
    EXPECT_EQ(choose_simd_path("sse2", up_to_avx2), SimdPath::sse2);
    EXPECT_EQ(choose_simd_path("avx512", up_to_avx2), SimdPath::avx2);
    EXPECT_EQ(choose_simd_path("AVX2 please", up_to_avx2), SimdPath::avx2);
    const SimdPath scalar_only[] = {SimdPath::scalar};
    EXPECT_EQ(choose_simd_path("avx2", scalar_only), SimdPath::scalar);
    // The path in use is one the processor runs.
    bool runnable = false;
    for (SimdPath p : korvel::supported_simd_paths()) runnable |= p == korvel::simd_path();
    EXPECT_TRUE(runnable);
}

}  // namespace
