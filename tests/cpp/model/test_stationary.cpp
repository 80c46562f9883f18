// The generator and its stationary distribution at the edges of the model,
// checked on both the public function and the reference.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "core/state.h"
#include "model/model.h"

namespace {

using korvel::StateVector;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Restores the raw-count switch when a test ends.
class RawCountGuard {
public:
    explicit RawCountGuard(bool on) : saved_(korvel::raw_count_enabled()) { korvel::set_raw_count(on); }
    ~RawCountGuard() { korvel::set_raw_count(saved_); }
    RawCountGuard(const RawCountGuard&) = delete;
    RawCountGuard& operator=(const RawCountGuard&) = delete;

private:
    bool saved_;
};

bool same_bits(const StateVector& a, const StateVector& b) {
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::bit_cast<std::uint64_t>(a[i]) != std::bit_cast<std::uint64_t>(b[i])) return false;
    }
    return true;
}

// Both entry points, which must agree entry by entry (a zero may differ in sign).
StateVector solve(double ste, double stw, double cow, double coe, double nu, double nm, double vmax) {
    const StateVector fast = korvel::stationary_distribution(ste, stw, cow, coe, nu, nm, vmax);
    const StateVector ref = korvel::stationary_distribution_reference(ste, stw, cow, coe, nu, nm, vmax);
    for (std::size_t i = 0; i < fast.size(); ++i) {
        EXPECT_TRUE(fast[i] == ref[i] || (std::isnan(fast[i]) && std::isnan(ref[i])))
            << "entry " << i << ": " << fast[i] << " vs " << ref[i];
    }
    return ref;
}

double binomial_pmf(int n, int k, double q) {
    return std::exp(std::lgamma(n + 1.0) - std::lgamma(k + 1.0) - std::lgamma(n - k + 1.0) +
                    k * std::log(q) + (n - k) * std::log1p(-q));
}

TEST(Stationary, AllRatesZeroGivesUniform) {
    for (bool raw : {false, true}) {
        RawCountGuard guard(raw);
        const StateVector p = solve(0.0, 0.0, 0.0, 0.0, 2.0, 2.0, kInf);
        for (double v : p) EXPECT_EQ(std::bit_cast<std::uint64_t>(v), std::bit_cast<std::uint64_t>(1.0 / 71.0));
        EXPECT_EQ(p[0], 0.014084507042253521);
    }
}

TEST(Stationary, NoCooperationIsBinomial) {
    struct Case { double ste, stw, nu, nm; };
    const Case cases[] = {{1.0, 1.0, 2.0, 2.0}, {0.3, 1.0, 1.0, 3.0}, {1.0, 2.5, 0.0, 0.0}, {5.0, 4.0, 6.0, 1.5}};
    for (bool raw : {false, true}) {
        RawCountGuard guard(raw);
        for (const Case& c : cases) {
            const StateVector p = solve(c.ste, c.stw, 0.0, 0.0, c.nu, c.nm, kInf);
            const double q = c.stw / (c.stw + c.ste);
            for (int m = 0; m <= 70; ++m) {
                EXPECT_NEAR(p[static_cast<std::size_t>(m)], binomial_pmf(70, m, q), 1e-12) << m;
            }
        }
    }
    const StateVector p = solve(1.0, 1.0, 0.0, 0.0, 2.0, 2.0, kInf);
    EXPECT_NEAR(p[35], 0.0950255, 1e-7);
}

TEST(Stationary, SymmetricParametersGiveSymmetricDistribution) {
    for (bool raw : {false, true}) {
        RawCountGuard guard(raw);
        const StateVector p = solve(0.7, 0.7, raw ? 1e-4 : 3.0, raw ? 1e-4 : 3.0, 2.0, 2.0, kInf);
        double sum = 0.0;
        for (int m = 0; m <= 70; ++m) {
            sum += p[static_cast<std::size_t>(m)];
            EXPECT_NEAR(p[static_cast<std::size_t>(m)], p[static_cast<std::size_t>(70 - m)],
                        1e-12 * (1.0 + p[static_cast<std::size_t>(m)]));
        }
        EXPECT_NEAR(sum, 1.0, 1e-12);
    }
}

TEST(Stationary, NonFiniteVmaxMeansNoCeiling) {
    for (bool raw : {false, true}) {
        RawCountGuard guard(raw);
        const StateVector a = solve(0.5, 1.0, 20.0, 3.0, 2.0, 1.0, kInf);
        EXPECT_TRUE(same_bits(a, solve(0.5, 1.0, 20.0, 3.0, 2.0, 1.0, -kInf)));
        EXPECT_TRUE(same_bits(a, solve(0.5, 1.0, 20.0, 3.0, 2.0, 1.0, kNaN)));
        // A large ceiling approaches the unsaturated result.
        const StateVector big = solve(0.5, 1.0, 20.0, 3.0, 2.0, 1.0, 1e15);
        for (std::size_t i = 0; i < a.size(); ++i) EXPECT_NEAR(big[i], a[i], 1e-9);
        const StateVector mid = solve(0.5, 1.0, 20.0, 3.0, 2.0, 1.0, 1.0);
        EXPECT_FALSE(same_bits(a, mid));
    }
}

TEST(Stationary, ZeroVmax) {
    for (bool raw : {false, true}) {
        RawCountGuard guard(raw);
        // Positive coefficients: the cooperative terms vanish, leaving the binomial.
        const StateVector p = solve(1.0, 3.0, 5.0, 7.0, 2.0, 2.0, 0.0);
        const StateVector binom = solve(1.0, 3.0, 0.0, 0.0, 2.0, 2.0, kInf);
        EXPECT_TRUE(same_bits(p, binom));
        // A zero coefficient gives S(0) = 0 / NaN = NaN.
        const StateVector q = solve(1.0, 3.0, 0.0, 7.0, 2.0, 2.0, 0.0);
        for (double v : q) EXPECT_TRUE(std::isnan(v));
    }
}

TEST(Stationary, ZeroExponentsAreTheSameInBothModes) {
    StateVector frac, raw;
    {
        RawCountGuard guard(false);
        frac = solve(0.4, 1.0, 2.0, 0.5, 0.0, 0.0, kInf);
    }
    {
        RawCountGuard guard(true);
        raw = solve(0.4, 1.0, 2.0, 0.5, 0.0, 0.0, kInf);
    }
    EXPECT_TRUE(same_bits(frac, raw));
    {
        RawCountGuard guard(false);
        frac = solve(0.4, 1.0, 2.0, 0.5, 0.0, 0.0, 3.0);
    }
    {
        RawCountGuard guard(true);
        raw = solve(0.4, 1.0, 2.0, 0.5, 0.0, 0.0, 3.0);
    }
    EXPECT_TRUE(same_bits(frac, raw));
}

TEST(Stationary, RawCountScalesTheDrives) {
    // Raw-count bases are 70 times the fraction bases, so the drives grow by
    // 70^n; coefficients divided by 70^n give nearly the same chain.
    StateVector frac, raw;
    {
        RawCountGuard guard(false);
        frac = solve(0.4, 1.0, 2.0, 0.5, 2.0, 3.0, kInf);
    }
    {
        RawCountGuard guard(true);
        raw = solve(0.4, 1.0, 2.0 / std::pow(70.0, 3.0), 0.5 / std::pow(70.0, 2.0), 2.0, 3.0, kInf);
    }
    for (std::size_t i = 0; i < frac.size(); ++i) EXPECT_NEAR(frac[i], raw[i], 1e-12);
    {
        RawCountGuard guard(true);
        raw = solve(0.4, 1.0, 2.0, 0.5, 2.0, 3.0, kInf);
    }
    EXPECT_FALSE(same_bits(frac, raw));
}

TEST(Stationary, NaNAndInfiniteParametersFlowThrough) {
    for (bool raw : {false, true}) {
        RawCountGuard guard(raw);
        for (double bad : {kNaN, kInf, -kInf}) {
            solve(bad, 1.0, 1.0, 1.0, 2.0, 2.0, kInf);
            solve(1.0, bad, 1.0, 1.0, 2.0, 2.0, kInf);
            solve(1.0, 1.0, bad, 1.0, 2.0, 2.0, kInf);
            solve(1.0, 1.0, 1.0, bad, 2.0, 2.0, kInf);
            solve(1.0, 1.0, 1.0, 1.0, bad, 2.0, kInf);
            solve(1.0, 1.0, 1.0, 1.0, 2.0, bad, 5.0);
        }
        const StateVector p = solve(kNaN, 1.0, 1.0, 1.0, 2.0, 2.0, kInf);
        for (double v : p) EXPECT_TRUE(std::isnan(v));
    }
}

TEST(Stationary, RepeatedCallsAreBitwiseIdentical) {
    for (bool raw : {false, true}) {
        RawCountGuard guard(raw);
        const StateVector a = korvel::stationary_distribution(0.3, 1.0, 12.0, 40.0, 2.5, 1.5, 50.0);
        for (int rep = 0; rep < 5; ++rep) {
            EXPECT_TRUE(same_bits(a, korvel::stationary_distribution(0.3, 1.0, 12.0, 40.0, 2.5, 1.5, 50.0)));
            EXPECT_TRUE(same_bits(korvel::stationary_distribution_reference(0.3, 1.0, 12.0, 40.0, 2.5, 1.5, 50.0),
                                  korvel::stationary_distribution_reference(0.3, 1.0, 12.0, 40.0, 2.5, 1.5, 50.0)));
        }
    }
}

TEST(Stationary, ResultIsNotRenormalised) {
    // Entries are returned as the solver leaves them: they sum to one only
    // within rounding, and no entry is clipped.
    const StateVector p = solve(0.01, 1.0, 1e3, 1e-3, 4.0, 1.0, kInf);
    double sum = 0.0;
    for (double v : p) sum += v;
    EXPECT_NEAR(sum, 1.0, 1e-10);
}

}  // namespace
