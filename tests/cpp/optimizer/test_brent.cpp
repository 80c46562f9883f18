// Brent's one-dimensional minimiser: its first point, golden-section
// behaviour on a flat objective, the iteration cap and textbook minima.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "optimizer/brent.h"

namespace {

using korvel::brent_minimise;

constexpr double kGolden = 0.3819660112501051;

TEST(Brent, FirstPointIsTheGoldenSectionOfTheInterval) {
    std::vector<double> seen;
    const auto g = [&](double x) {
        seen.push_back(x);
        return (x - 0.7) * (x - 0.7);
    };
    brent_minimise(g, -3.0, 5.0);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen[0], -3.0 + kGolden * (5.0 - -3.0));
    for (const double x : seen) {
        EXPECT_GT(x, -3.0);
        EXPECT_LT(x, 5.0);
    }
}

// Every trial ties with the best (fu <= fx replaces x), so x walks by golden
// steps towards the end farther from it, b here, and stops inside (a, b).
TEST(Brent, ConstantObjectiveWalksToTheFartherEnd) {
    int calls = 0;
    const auto flat = [&](double) {
        ++calls;
        return 3.0;
    };
    const double x = brent_minimise(flat, 1.0, 2.0);
    EXPECT_GT(x, 1.5);
    EXPECT_LT(x, 2.0);
    // Golden steps shrink the interval by 0.618 each; reaching a width of a
    // few 1e-6 takes some 30 iterations, far below the cap.
    EXPECT_LT(calls, 60);
}

TEST(Brent, SmoothObjectivesReachTheirMinimum) {
    // Quadratic with its minimum inside: parabolic steps hit it almost
    // exactly; the stopping rule guarantees 2 * (1e-6 |x| + 1e-10).
    const double q = brent_minimise([](double x) { return (x - 1.25) * (x - 1.25) + 4.0; }, 0.0, 3.0);
    EXPECT_NEAR(q, 1.25, 2 * (1e-6 * 1.25 + 1e-10));

    // x - ln x has its minimum at 1 and is not symmetric about it.
    const double l = brent_minimise([](double x) { return x - std::log(x); }, 0.1, 8.0);
    // Near a minimum the value is flat to second order, so the point is only
    // resolved to about sqrt(machine epsilon) relative: 1e-6 is the tolerance.
    EXPECT_NEAR(l, 1.0, 1e-5);

    // cos on [2, 5]: minimum at pi.
    const double c = brent_minimise([](double x) { return std::cos(x); }, 2.0, 5.0);
    EXPECT_NEAR(c, M_PI, 1e-5);

    // Monotone objective: the minimum is the lower end; Brent approaches it
    // to within its tolerance without evaluating the end itself.
    const double m = brent_minimise([](double x) { return x; }, 0.0, 1.0);
    EXPECT_GT(m, 0.0);
    EXPECT_LT(m, 1e-5);
}

// The tolerance rule, pinned by call counts and result bits on textbook
// functions: tol1 = 1e-6 |x| + 1e-10 and the stop at |x - xm| <= 2 tol1 -
// (b - a) / 2. A change to either constant, to the factor 2, to the
// comparison or to the |x| moves the stop by at least one iteration in some
// row (|x| near 0 makes the absolute part count; a negative x the |x|). The
// counts and bits come from this implementation; the bounds check that the
// answers are the known minima to the accuracy the rule promises.
TEST(Brent, ToleranceRuleKnownAnswers) {
    struct Case {
        const char* name;
        double (*g)(double);
        double a, b, minimum;
        double near;  // how close x must be to the minimum (see below)
        int calls;
        std::uint64_t bits;
    };
    const Case cases[] = {
        {"x - ln x", [](double x) { return x - std::log(x); }, 0.1, 8.0, 1.0, 1e-7, 25, 0x3ff0000004f0c3ffULL},
        {"cos", [](double x) { return std::cos(x); }, 2.0, 5.0, M_PI, 1e-7, 9, 0x400921fb5394ce79ULL},
        {"(x - 0.3)^4", [](double x) { return std::pow(x - 0.3, 4); }, -1.0, 2.0, 0.3, 1e-3, 14, 0x3fd3333381de2114ULL},
        {"|x - 0.25|", [](double x) { return std::fabs(x - 0.25); }, -1.0, 1.0, 0.25, 1e-7, 20, 0x3fd000001785e345ULL},
        {"e^x - 2x", [](double x) { return std::exp(x) - 2.0 * x; }, -3.0, 4.0, M_LN2, 1e-7, 19, 0x3fe62e4319445674ULL},
        {"|x|", [](double x) { return std::fabs(x); }, -1.0, 2.0, 0.0, 1e-7, 27, 0x3dc7f9d08226dddaULL},
        {"(x + 2)^4", [](double x) { return std::pow(x + 2.0, 4); }, -5.0, 1.0, -2.0, 1e-3, 20, 0xbfffffffffffffffULL},
    };
    for (const Case& c : cases) {
        int calls = 0;
        const double x = brent_minimise(
            [&](double u) {
                ++calls;
                return c.g(u);
            },
            c.a, c.b);
        EXPECT_EQ(calls, c.calls) << c.name;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(x), c.bits) << c.name << ": x = " << x;
        // Values are flat to second order at a smooth minimum (fourth order
        // for the quartics), so the point is resolved to about sqrt(eps)
        // (eps^(1/4)) relative: 1e-7 (1e-3) with room.
        EXPECT_NEAR(x, c.minimum, c.near) << c.name;
    }
}

// With a NaN end the stopping test can never hold: exactly 500 iterations
// run after the first evaluation, and the current x comes back.
TEST(Brent, IterationCapWhenStoppingTestNeverHolds) {
    int calls = 0;
    const auto g = [&](double x) {
        ++calls;
        return x * x;
    };
    const double x = brent_minimise(g, std::numeric_limits<double>::quiet_NaN(), 1.0);
    EXPECT_EQ(calls, 501);
    EXPECT_TRUE(std::isnan(x));
}

// A value that is not a number compares false everywhere, so it is worse
// than x and never becomes the best point.
TEST(Brent, NaNValuesNeverBecomeTheBest) {
    const auto g = [](double x) {
        if (x > 2.0) return std::numeric_limits<double>::quiet_NaN();
        return (x - 1.0) * (x - 1.0);
    };
    const double x = brent_minimise(g, 0.0, 4.0);
    EXPECT_LE(x, 2.0);
    EXPECT_NEAR(x, 1.0, 1e-5);
}

}  // namespace
