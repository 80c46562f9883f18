// Binned model fractions, the NLL, the penalty and the objectives.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "core/errors.h"
#include "model/model.h"

namespace {

using korvel::StateVector;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

StateVector ramp() {
    StateVector p;
    for (int m = 0; m <= 70; ++m) p[static_cast<std::size_t>(m)] = (m + 1) / 2556.0;
    return p;
}

TEST(Binning, HalfEdgesPutMidpointInUpperBin) {
    StateVector p{};
    p[34] = 0.25;
    p[35] = 0.75;
    const std::vector<double> edges{0.0, 0.5, 1.0};
    const auto f = korvel::binned_model_fracs(p, edges);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0], 0.25);
    EXPECT_EQ(f[1], 0.75);
    // States 0..34 in bin 0, 35..70 in bin 1.
    const StateVector r = ramp();
    double lo = 0.0, hi = 0.0;
    for (int m = 0; m <= 34; ++m) lo += r[static_cast<std::size_t>(m)];
    for (int m = 35; m <= 70; ++m) hi += r[static_cast<std::size_t>(m)];
    const auto g = korvel::binned_model_fracs(r, edges);
    EXPECT_EQ(g[0], lo / (lo + hi));
    EXPECT_EQ(g[1], hi / (lo + hi));
}

TEST(Binning, SingleBinHoldsEverything) {
    const std::vector<double> edges{0.0, 1.0};
    const auto f = korvel::binned_model_fracs(ramp(), edges);
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0], 1.0);
    const std::vector<double> obs{0.37};
    const double nll = korvel::model_nll(0.5, 2.0, 3.0, obs, edges, true, 2.0, 2.0, kInf);
    EXPECT_EQ(nll, 0.0);
    EXPECT_FALSE(std::signbit(nll));
}

TEST(Binning, InnerEdgesDropOuterStates) {
    StateVector p{};
    for (int m = 0; m <= 70; ++m) p[static_cast<std::size_t>(m)] = 1.0;
    p[7] = 5.0;   // x = 0.1 is inside
    p[63] = 7.0;  // x = 0.9 is inside
    const std::vector<double> edges{0.1, 0.9};
    const auto f = korvel::binned_model_fracs(p, edges);
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0], 1.0);
    // Only states 7..63 are summed: put weight on one dropped state.
    StateVector q{};
    q[3] = 1.0;
    q[30] = 1e-9;
    const auto g = korvel::binned_model_fracs(q, edges);
    EXPECT_EQ(g[0], 1.0);  // floored to 1e-8 then divided by itself
}

TEST(Binning, UnreachableBinGetsTheFloor) {
    const StateVector p = ramp();
    const std::vector<double> edges{0.0, 0.001, 0.01, 0.5, 1.0};
    const auto f = korvel::binned_model_fracs(p, edges);
    ASSERT_EQ(f.size(), 4u);
    double b0 = p[0], b2 = 0.0, b3 = 0.0;
    for (int m = 1; m <= 34; ++m) b2 += p[static_cast<std::size_t>(m)];
    for (int m = 35; m <= 70; ++m) b3 += p[static_cast<std::size_t>(m)];
    const double sum = ((b0 + 1e-8) + b2) + b3;
    EXPECT_EQ(f[0], b0 / sum);
    EXPECT_EQ(f[1], 1e-8 / sum);
    EXPECT_EQ(f[2], b2 / sum);
    EXPECT_EQ(f[3], b3 / sum);
}

TEST(Binning, FirstMatchWithUnsortedAndNaNEdges) {
    const StateVector p = ramp();
    // Overlapping bins: [0, 0.6) then [0.3, 1]; 0.3 <= x < 0.6 goes to bin 0.
    {
        const std::vector<double> edges{0.0, 0.6, 0.3, 1.0};
        const auto f = korvel::binned_model_fracs(p, edges);
        ASSERT_EQ(f.size(), 3u);
        double b0 = 0.0, b2 = 0.0;
        for (int m = 0; m <= 70; ++m) {
            const double x = m / 70.0;
            if (x < 0.6) b0 += p[static_cast<std::size_t>(m)];
            else b2 += p[static_cast<std::size_t>(m)];
        }
        const double sum = (b0 + 1e-8) + b2;
        EXPECT_EQ(f[0], b0 / sum);
        EXPECT_EQ(f[1], 1e-8 / sum);
        EXPECT_EQ(f[2], b2 / sum);
    }
    // A NaN edge: bins 0 and 1 contain nothing, bin 2 = [0.5, 1].
    {
        const std::vector<double> edges{0.0, kNaN, 0.5, 1.0};
        const auto f = korvel::binned_model_fracs(p, edges);
        double b2 = 0.0;
        for (int m = 35; m <= 70; ++m) b2 += p[static_cast<std::size_t>(m)];
        const double sum = (1e-8 + 1e-8) + b2;
        EXPECT_EQ(f[0], 1e-8 / sum);
        EXPECT_EQ(f[1], 1e-8 / sum);
        EXPECT_EQ(f[2], b2 / sum);
    }
    // Decreasing edges: no state is in any bin.
    {
        const std::vector<double> edges{1.0, 0.5, 0.0};
        const auto f = korvel::binned_model_fracs(p, edges);
        EXPECT_EQ(f[0], 0.5);
        EXPECT_EQ(f[1], 0.5);
    }
}

TEST(Binning, EdgeCountLimits) {
    EXPECT_THROW(korvel::binned_model_fracs(ramp(), std::vector<double>{}), korvel::InternalError);
    EXPECT_TRUE(korvel::binned_model_fracs(ramp(), std::vector<double>{0.5}).empty());
    const std::vector<double> obs{1.0};
    EXPECT_THROW(korvel::model_nll(1.0, 1.0, 1.0, obs, std::vector<double>{}, true, 2.0, 2.0, kInf),
                 korvel::InternalError);
    const double nll = korvel::model_nll(1.0, 1.0, 1.0, obs, std::vector<double>{0.5}, true, 2.0, 2.0, kInf);
    EXPECT_EQ(nll, 0.0);
    EXPECT_FALSE(std::signbit(nll));
}

TEST(Binning, NaNDistributionGivesNaNBins) {
    StateVector p;
    p.fill(kNaN);
    const auto f = korvel::binned_model_fracs(p, std::vector<double>{0.0, 0.5, 1.0});
    EXPECT_TRUE(std::isnan(f[0]));
    EXPECT_TRUE(std::isnan(f[1]));
}

const std::vector<double> kTenBins{0.0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 1.0};

TEST(Nll, AllZeroObservedGivesPositiveZero) {
    const std::vector<double> obs(10, 0.0);
    const double nll = korvel::model_nll(0.3, 5.0, 2.0, obs, kTenBins, true, 2.0, 2.0, kInf);
    EXPECT_EQ(nll, 0.0);
    EXPECT_FALSE(std::signbit(nll));
}

TEST(Nll, ScoresTheCommonPrefix) {
    const std::vector<double> obs{0.05, 0.1, 0.2, 0.1, 0.05, 0.05, 0.1, 0.15, 0.1, 0.1, 123.0, 456.0};
    const StateVector p = korvel::stationary_distribution(0.3, 1.0, 5.0, 2.0, 2.0, 2.0, kInf);
    const auto f = korvel::binned_model_fracs(p, kTenBins);
    const auto by_hand = [&](std::size_t n) {
        double nll = 0.0;
        for (std::size_t i = 0; i < n; ++i) nll = nll - std::log(f[i]) * obs[i];
        return nll;
    };
    // normalize_stw true: StE = St, StW = 1.
    EXPECT_EQ(korvel::model_nll(0.3, 5.0, 2.0, obs, kTenBins, true, 2.0, 2.0, kInf), by_hand(10));
    const std::span<const double> shorter(obs.data(), 4);
    EXPECT_EQ(korvel::model_nll(0.3, 5.0, 2.0, shorter, kTenBins, true, 2.0, 2.0, kInf), by_hand(4));
    EXPECT_EQ(korvel::model_nll(0.3, 5.0, 2.0, std::span<const double>(), kTenBins, true, 2.0, 2.0, kInf), 0.0);
    // normalize_stw false: StE = 1, StW = St.
    const StateVector q = korvel::stationary_distribution(1.0, 0.3, 5.0, 2.0, 2.0, 2.0, kInf);
    const auto g = korvel::binned_model_fracs(q, kTenBins);
    double nll = 0.0;
    for (std::size_t i = 0; i < 10; ++i) nll = nll - std::log(g[i]) * obs[i];
    EXPECT_EQ(korvel::model_nll(0.3, 5.0, 2.0, obs, kTenBins, false, 2.0, 2.0, kInf), nll);
}

TEST(Nll, NaNParametersGiveNaN) {
    const std::vector<double> obs{0.5, 0.5};
    const std::vector<double> edges{0.0, 0.5, 1.0};
    EXPECT_TRUE(std::isnan(korvel::model_nll(kNaN, 1.0, 1.0, obs, edges, true, 2.0, 2.0, kInf)));
    EXPECT_TRUE(std::isnan(korvel::model_nll(1.0, kNaN, 1.0, obs, edges, true, 2.0, 2.0, kInf)));
    EXPECT_TRUE(std::isnan(korvel::model_nll(1.0, 1.0, 1.0, obs, edges, true, kNaN, 2.0, kInf)));
    EXPECT_TRUE(std::isnan(korvel::model_nll(1.0, 0.0, 1.0, obs, edges, true, 2.0, 2.0, 0.0)));
}

TEST(Penalty, Cases) {
    EXPECT_EQ(korvel::co_penalty_term(-1.0, 1.0, 1.0), 0.0);
    EXPECT_DOUBLE_EQ(korvel::co_penalty_term(-1.0, 0.1, 0.1), -2.0);
    EXPECT_EQ(korvel::co_penalty_term(-1.0, 0.1, 0.1), (std::log10(0.1) + std::log10(0.1)) * 1.0);
    EXPECT_EQ(korvel::co_penalty_term(0.5, 3.0, 4.0), (3.0 + 4.0) * 0.5);
    EXPECT_EQ(korvel::co_penalty_term(-2.0, 100.0, 10.0), (std::log10(10.0) + std::log10(100.0)) * 2.0);
    EXPECT_EQ(korvel::co_penalty_term(0.0, 3.0, 4.0), 0.0);
    EXPECT_EQ(korvel::co_penalty_term(kNaN, 3.0, 4.0), 0.0);
    EXPECT_TRUE(std::isnan(korvel::co_penalty_term(1.0, kNaN, 4.0)));
    EXPECT_EQ(korvel::co_penalty_term(1.0, kInf, 4.0), kInf);
}

// The objectives of the five-parameter fit, x = (St, log10 CoW, log10 CoE,
// n_U, n_M), and of the fixed-St exponent fit, x = (log10 CoW, log10 CoE, n_U,
// n_M), both with the penalty.
double five_param_objective(std::span<const double> x, const korvel::DensityData& d, double vmax,
                            double co_penalty) {
    const korvel::DensityObjective f{
        d, korvel::kSearchSt | korvel::kSearchCoW | korvel::kSearchCoE | korvel::kSearchNU |
               korvel::kSearchNM,
        {}, vmax, co_penalty};
    return f(x);
}

double fixed_st_exp_objective(std::span<const double> x, double st, const korvel::DensityData& d,
                              double vmax, double co_penalty) {
    const korvel::DensityObjective f{
        d, korvel::kSearchCoW | korvel::kSearchCoE | korvel::kSearchNU | korvel::kSearchNM,
        {.st = st, .cow = 0.0, .coe = 0.0, .n_u = 0.0, .n_m = 0.0}, vmax, co_penalty};
    return f(x);
}

TEST(Objectives, FiveParameter) {
    const std::vector<double> obs{0.05, 0.1, 0.2, 0.1, 0.05, 0.05, 0.1, 0.15, 0.1, 0.1};
    const korvel::DensityData d{obs, kTenBins, true};
    const std::vector<double> x{0.4, 0.5, -0.25, 1.5, 2.5};
    const double cow = std::pow(10.0, 0.5), coe = std::pow(10.0, -0.25);
    const double nll = korvel::model_nll(0.4, cow, coe, obs, kTenBins, true, 1.5, 2.5, 7.0);
    EXPECT_EQ(five_param_objective(x, d, 7.0, 0.0), nll);
    EXPECT_EQ(five_param_objective(x, d, 7.0, 0.1), nll + (cow + coe) * 0.1);
    EXPECT_EQ(five_param_objective(x, d, 7.0, -0.1),
              nll + (std::log10(coe) + std::log10(cow)) * 0.1);
    EXPECT_THROW(five_param_objective(std::span<const double>(x.data(), 4), d, 7.0, 0.0),
                 korvel::InternalError);
}

TEST(Objectives, FixedStExponent) {
    const std::vector<double> obs{0.05, 0.1, 0.2, 0.1, 0.05, 0.05, 0.1, 0.15, 0.1, 0.1};
    const korvel::DensityData d{obs, kTenBins, false};
    const std::vector<double> x{1.25, 0.75, 3.0, 1.0};
    const double cow = std::pow(10.0, 1.25), coe = std::pow(10.0, 0.75);
    const double nll = korvel::model_nll(2.0, cow, coe, obs, kTenBins, false, 3.0, 1.0, kInf);
    EXPECT_EQ(fixed_st_exp_objective(x, 2.0, d, kInf, 0.0), nll);
    EXPECT_EQ(fixed_st_exp_objective(x, 2.0, d, kInf, 2.0), nll + (cow + coe) * 2.0);
    EXPECT_THROW(fixed_st_exp_objective(std::span<const double>(x.data(), 3), 2.0, d, kInf, 0.0),
                 korvel::InternalError);
}

}  // namespace
