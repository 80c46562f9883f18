// The drift model's building blocks: generator, initial distribution,
// propagation (against the closed-form solution of independent sites),
// binning and the NLL over ages.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "drift/drift.h"
#include "core/errors.h"

namespace {

using korvel::DriftDistribution;
using korvel::kDriftStates;

const std::vector<double> kEdges5 = {0.0, 0.2, 0.4, 0.6, 0.8, 1.0};

// The chain is 70 independent sites, each methylated -> unmethylated at StE
// and back at StW. A site methylated at age 0 is methylated at age t with
// probability pi + (1 - pi) e^(-lambda t), an unmethylated one with
// pi (1 - e^(-lambda t)), lambda = StE + StW, pi = StW / lambda. Starting from
// m methylated sites, the count at age t is the sum of two binomials.
std::vector<long double> closed_form(double ste, double stw, double t,
                                     const DriftDistribution& p0) {
    const long double lambda = static_cast<long double>(ste) + stw;
    long double stay = 1.0L, gain = 0.0L;  // lambda == 0: nothing moves
    if (lambda > 0.0L) {
        const long double pi = stw / lambda;
        const long double moved = -std::expm1(-lambda * t);  // 1 - e^(-lambda t)
        stay = pi + (1.0L - pi) * (1.0L - moved);
        gain = pi * moved;
    }
    auto binom = [](int n, long double p) {
        std::vector<long double> pmf(n + 1);
        for (int k = 0; k <= n; ++k) {
            const long double logc = std::lgamma(n + 1.0L) - std::lgamma(k + 1.0L) -
                                     std::lgamma(n - k + 1.0L);
            const long double a = k == 0 ? 1.0L : std::pow(p, static_cast<long double>(k));
            const long double b = n - k == 0 ? 1.0L : std::pow(1.0L - p, static_cast<long double>(n - k));
            pmf[k] = std::exp(logc) * a * b;
        }
        return pmf;
    };
    std::vector<long double> out(kDriftStates, 0.0L);
    for (int m = 0; m < static_cast<int>(kDriftStates); ++m) {
        if (p0[m] == 0.0) continue;
        const auto kept = binom(m, stay);
        const auto won = binom(70 - m, gain);
        for (int a = 0; a <= m; ++a) {
            for (int b = 0; b <= 70 - m; ++b) out[a + b] += p0[m] * kept[a] * won[b];
        }
    }
    return out;
}

DriftDistribution spread_p0() {
    return korvel::drift_initial_distribution(std::vector<double>{0.5, 0.1, 0.05, 0.15, 0.2},
                                              kEdges5);
}

TEST(DriftGenerator, RatesOnTheTwoOffDiagonalsAndConservedColumns) {
    const korvel::SquareMatrix q = korvel::drift_generator(0.3, 0.7);
    ASSERT_EQ(q.size(), kDriftStates);
    for (std::size_t from = 0; from < kDriftStates; ++from) {
        double column = 0.0;
        for (std::size_t to = 0; to < kDriftStates; ++to) {
            const double v = q(to, from);
            if (to + 1 == from) {
                EXPECT_EQ(v, static_cast<double>(from) * 0.3);
            } else if (to == from + 1) {
                EXPECT_EQ(v, static_cast<double>(70 - from) * 0.7);
            } else if (to != from) {
                EXPECT_EQ(v, 0.0);
            }
            column += v;
        }
        // Two rates and their negated sum: zero up to one rounding.
        EXPECT_NEAR(column, 0.0, 1e-13) << "column " << from;
    }
    EXPECT_EQ(q(0, 0), -70.0 * 0.7);
    EXPECT_EQ(q(70, 70), -70.0 * 0.3);
}

TEST(DriftInitialDistribution, SpreadsEachBinUniformlyOverItsStates) {
    // Bin [0, 0.2) holds m = 0..13 (14 states), [0.8, 1] holds m = 56..70 (15).
    // The final division by the sum of 71 rounded shares (within about 71
    // ulps of 1) moves each entry by up to ~1e-14 relative: 1e-15 absolute
    // on entries below 0.05.
    const DriftDistribution p0 = spread_p0();
    double total = 0.0;
    for (double v : p0) total += v;
    EXPECT_NEAR(total, 1.0, 1e-15);
    EXPECT_NEAR(p0[0], 0.5 / 14.0, 1e-15);
    EXPECT_EQ(p0[0], p0[13]);
    EXPECT_NEAR(p0[14], 0.1 / 14.0, 1e-15);  // 0.2 = 14/70 opens the second bin
    EXPECT_NEAR(p0[70], 0.2 / 15.0, 1e-15);
}

TEST(DriftInitialDistribution, IgnoresEmptyBinsAndNonPositiveFractions) {
    // [0.501, 0.51) lies between 35/70 and 36/70: its entry is never read,
    // not even a NaN. Zero, negative and NaN fractions spread nothing.
    const std::vector<double> edges = {0.0, 0.501, 0.51, 1.0};
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const DriftDistribution p0 = korvel::drift_initial_distribution(
        std::vector<double>{0.25, nan, 0.75, 123.0 /* beyond the bins: ignored */}, edges);
    // Exact shares up to the renormalisation (see above).
    EXPECT_NEAR(p0[0], 0.25 / 36.0, 1e-15);
    EXPECT_NEAR(p0[70], 0.75 / 35.0, 1e-15);

    for (double bad : {0.0, -0.3, nan}) {
        const DriftDistribution half = korvel::drift_initial_distribution(
            std::vector<double>{bad, 1.0, 0.5}, edges);
        EXPECT_EQ(half[0], 0.0);
        EXPECT_NEAR(half[70], 1.0 / 35.0, 1e-15);
    }
    const DriftDistribution none = korvel::drift_initial_distribution(
        std::vector<double>{0.0, 1.0, -1.0}, edges);
    for (double v : none) EXPECT_EQ(v, 0.0);
}

TEST(DriftInitialDistribution, MissingEntriesAndEmptyEdges) {
    // A p0 that ends before a bin that holds states: an error naming p0.
    try {
        (void)korvel::drift_initial_distribution(std::vector<double>{0.5, 0.5}, kEdges5);
        FAIL() << "expected InternalError";
    } catch (const korvel::InternalError& e) {
        EXPECT_NE(std::string(e.what()).find("p0 has 2 entries"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("bin 2"), std::string::npos) << e.what();
    }
    // ... but a missing entry for a bin without states is never needed.
    const std::vector<double> tail_empty = {0.0, 0.5, 1.0000001, 2.0};
    EXPECT_NO_THROW((void)korvel::drift_initial_distribution(std::vector<double>{0.3, 0.7}, tail_empty));
    EXPECT_THROW((void)korvel::drift_initial_distribution(std::vector<double>{0.3}, std::vector<double>{}),
                 korvel::InternalError);
    const DriftDistribution no_bins =
        korvel::drift_initial_distribution(std::vector<double>{}, std::vector<double>{0.5});
    for (double v : no_bins) EXPECT_EQ(v, 0.0);
}

TEST(PropagateDrift, MatchesTheClosedFormOfIndependentSites) {
    struct Case {
        double ste, stw, t;
    };
    DriftDistribution point{};
    point[20] = 1.0;
    for (const DriftDistribution& p0 : {spread_p0(), point}) {
        for (const Case c : {Case{0.3, 0.7, 0.1}, Case{0.3, 0.7, 1.0}, Case{0.02, 0.01, 40.0},
                             Case{1.0, 0.0, 5.0}, Case{0.0, 2.0, 0.5}, Case{5e-3, 1e-3, 80.0},
                             Case{10.0, 3.0, 0.05}, Case{10.0, 10.0, 1e4}}) {
            const std::vector<double> ages = {c.t};
            const auto got = korvel::propagate_drift(korvel::drift_generator(c.ste, c.stw), p0, ages);
            ASSERT_EQ(got.size(), 1u);
            const auto want = closed_form(c.ste, c.stw, c.t, p0);
            for (std::size_t m = 0; m < kDriftStates; ++m) {
                // Probabilities of order 1 from an exponential accurate to a
                // few ulps per squaring (up to 2^22 squarings' worth of
                // compounding at t = 1e4, removed again by the
                // renormalisation): 1e-12 absolute.
                ASSERT_NEAR(got[0][m], static_cast<double>(want[m]), 1e-12)
                    << "StE=" << c.ste << " StW=" << c.stw << " t=" << c.t << " m=" << m;
                ASSERT_GE(got[0][m], 0.0);
            }
        }
    }
}

TEST(PropagateDrift, AgeZeroAndZeroRatesKeepP0InAnyAgeOrder) {
    const DriftDistribution p0 = spread_p0();
    const std::vector<double> ages = {30.0, 0.0, 2.5, 1e3, 0.0};
    const auto moving = korvel::propagate_drift(korvel::drift_generator(0.3, 0.7), p0, ages);
    const auto frozen = korvel::propagate_drift(korvel::drift_generator(0.0, 0.0), p0, ages);
    ASSERT_EQ(moving.size(), ages.size());
    for (std::size_t m = 0; m < kDriftStates; ++m) {
        // exp(0) is the identity exactly; only the renormalisation of an
        // already normalised vector can move the last bit.
        EXPECT_NEAR(moving[1][m], p0[m], 1e-16);
        EXPECT_EQ(moving[1][m], moving[4][m]);
        for (std::size_t a = 0; a < ages.size(); ++a) EXPECT_NEAR(frozen[a][m], p0[m], 1e-16);
    }
    // Each age is propagated from P0 on its own: order and company do not
    // change a bit.
    const std::vector<double> one = {2.5};
    const auto alone = korvel::propagate_drift(korvel::drift_generator(0.3, 0.7), p0, one);
    for (std::size_t m = 0; m < kDriftStates; ++m) EXPECT_EQ(alone[0][m], moving[2][m]);
}

TEST(PropagateDrift, NonFiniteRatesOrAgesGiveNaNWithoutFailing) {
    const DriftDistribution p0 = spread_p0();
    const std::vector<double> ages = {std::numeric_limits<double>::infinity(), 1.0};
    const auto nan_age = korvel::propagate_drift(korvel::drift_generator(0.3, 0.7), p0, ages);
    EXPECT_TRUE(std::isnan(nan_age[0][10]));
    EXPECT_FALSE(std::isnan(nan_age[1][10]));
    const auto nan_rate = korvel::propagate_drift(
        korvel::drift_generator(std::numeric_limits<double>::quiet_NaN(), 0.7), p0, ages);
    EXPECT_TRUE(std::isnan(nan_rate[1][10]));
}

TEST(BinDriftDistribution, FirstMatchLastBinClosedFloorAndRenormalise) {
    DriftDistribution p{};
    p[0] = 0.25;   // x = 0
    p[14] = 0.25;  // x = 0.2: first bin that holds it is [0.2, 0.4)
    p[70] = 0.5;   // x = 1: only in the closed last bin
    const std::vector<double> bins = korvel::bin_drift_distribution(p, kEdges5);
    ASSERT_EQ(bins.size(), 5u);
    const double total = 1.0 + 2e-10;  // two empty bins floored
    EXPECT_EQ(bins[0], 0.25 / total);
    EXPECT_EQ(bins[1], 0.25 / total);
    EXPECT_EQ(bins[2], 1e-10 / total);
    EXPECT_EQ(bins[4], 0.5 / total);

    // Overlapping bins: the first one that contains a state takes it.
    const std::vector<double> overlapping = {0.0, 0.6, 0.2, 1.0};
    const std::vector<double> o = korvel::bin_drift_distribution(p, overlapping);
    EXPECT_NEAR(o[0], 0.5, 1e-9);  // m = 0 and m = 14
    EXPECT_NEAR(o[2], 0.5, 1e-9);
}

TEST(BinDriftDistribution, StatesOutsideTheEdgesAreDroppedAndEmptyInputsFloored) {
    DriftDistribution p{};
    for (std::size_t m = 0; m < kDriftStates; ++m) p[m] = 1.0 / 71.0;
    // Edges covering only [0.5, 0.75]: states 35..52 are kept.
    const std::vector<double> partial = {0.5, 0.6, 0.75};
    const std::vector<double> b = korvel::bin_drift_distribution(p, partial);
    EXPECT_NEAR(b[0] + b[1], 1.0, 1e-15);
    EXPECT_NEAR(b[0], 7.0 / 18.0, 1e-15);  // 35..41 of 35..52

    // All-zero P0 propagates to zero and every bin ends at 1/n.
    const DriftDistribution zero{};
    const auto moved = korvel::propagate_drift(korvel::drift_generator(0.3, 0.7), zero,
                                               std::vector<double>{5.0});
    const std::vector<double> flat = korvel::bin_drift_distribution(moved[0], kEdges5);
    for (double v : flat) EXPECT_DOUBLE_EQ(v, 0.2);

    // A bin that holds no state gets the floor before renormalising.
    const std::vector<double> narrow = {0.0, 0.501, 0.51, 1.0};
    const std::vector<double> nb = korvel::bin_drift_distribution(p, narrow);
    EXPECT_DOUBLE_EQ(nb[1], 1e-10 / (1.0 + 1e-10));

    EXPECT_TRUE(korvel::bin_drift_distribution(p, std::vector<double>{0.3}).empty());
    EXPECT_THROW((void)korvel::bin_drift_distribution(p, std::vector<double>{}), korvel::InternalError);
}

TEST(DriftPredict, LargeAgesApproachTheBinomialStationaryDistribution) {
    const double ste = 0.4, stw = 0.1;  // pi = 0.2
    const auto far = korvel::propagate_drift(korvel::drift_generator(ste, stw), spread_p0(),
                                             std::vector<double>{200.0});
    const std::vector<double> bins = korvel::bin_drift_distribution(far[0], kEdges5);
    DriftDistribution binom{};
    for (int k = 0; k <= 70; ++k) {
        binom[k] = std::exp(std::lgamma(71.0) - std::lgamma(k + 1.0) - std::lgamma(71.0 - k) +
                            k * std::log(0.2) + (70 - k) * std::log(0.8));
    }
    const std::vector<double> want = korvel::bin_drift_distribution(binom, kEdges5);
    // e^(-0.5 * 200) of the initial distribution is left: nothing visible.
    for (std::size_t j = 0; j < want.size(); ++j) EXPECT_NEAR(bins[j], want[j], 1e-12);
}

TEST(DriftNll, ScoresCommonPrefixesOfAgesRowsAndBins) {
    const DriftDistribution p0 = spread_p0();
    const std::vector<double> ages = {10.0, 20.0, 40.0};
    const double ste = 0.02, stw = 0.01;
    std::vector<std::vector<double>> rows;
    for (const auto& p : korvel::propagate_drift(korvel::drift_generator(ste, stw), p0, ages)) {
        rows.push_back(korvel::bin_drift_distribution(p, kEdges5));
    }
    std::vector<std::span<const double>> obs(rows.begin(), rows.end());
    const double full = korvel::drift_nll(ste, stw, p0, obs, ages, kEdges5);
    EXPECT_GT(full, 0.0);

    // Extra ages without rows, or extra rows without ages, change nothing.
    const std::vector<double> more_ages = {10.0, 20.0, 40.0, 80.0};
    EXPECT_EQ(korvel::drift_nll(ste, stw, p0, obs, more_ages, kEdges5), full);
    std::vector<double> extra_row = {0.9, 0.1, 0.0, 0.0, 0.0};
    std::vector<std::span<const double>> more_obs = obs;
    more_obs.push_back(extra_row);
    EXPECT_EQ(korvel::drift_nll(ste, stw, p0, more_obs, ages, kEdges5), full);
    // Entries past the number of bins are ignored.
    std::vector<std::vector<double>> long_rows = rows;
    for (auto& r : long_rows) r.push_back(1e6);
    std::vector<std::span<const double>> long_obs(long_rows.begin(), long_rows.end());
    EXPECT_EQ(korvel::drift_nll(ste, stw, p0, long_obs, ages, kEdges5), full);
    // Short rows score only their own entries; no ages score nothing.
    EXPECT_EQ(korvel::drift_nll(ste, stw, p0, obs, std::vector<double>{}, kEdges5), 0.0);

    // The observed rows are the model's own predictions, so by Gibbs'
    // inequality any other rates score worse.
    EXPECT_GT(korvel::drift_nll(0.03, 0.01, p0, obs, ages, kEdges5), full);
    EXPECT_GT(korvel::drift_nll(0.02, 0.005, p0, obs, ages, kEdges5), full);
}

}  // namespace
