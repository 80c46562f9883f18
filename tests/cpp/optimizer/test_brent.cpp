// Brent's one-dimensional minimiser: its first point, golden-section
// behaviour on a flat objective, the iteration cap and textbook minima.
#include <gtest/gtest.h>

#include <cmath>
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
