// Bounded Nelder-Mead: the first simplex, the decisions of one iteration, the
// stopping rules, failures, and textbook minima.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <functional>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "core/errors.h"
#include "optimizer/box.h"
#include "optimizer/nelder_mead.h"

namespace {

using korvel::Bound;
using korvel::InternalError;
using korvel::kOuterSettings;
using korvel::kPolishSettings;
using korvel::nelder_mead;
using korvel::NelderMeadSettings;
using korvel::OptResult;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using Point = std::vector<double>;

// Records every evaluated point. The first script.size() calls return the
// scripted values, later calls fall back to `rest`.
struct Recorder {
    std::vector<double> script;
    std::function<double(const Point&)> rest = [](const Point&) { return 0.0; };
    std::vector<Point> points;

    double operator()(std::span<const double> x) {
        points.emplace_back(x.begin(), x.end());
        const std::size_t call = points.size() - 1;
        return call < script.size() ? script[call] : rest(points.back());
    }
};

std::vector<Bound> wide_box(std::size_t n) { return std::vector<Bound>(n, Bound{-100.0, 100.0}); }

std::string error_of(const std::function<void()>& body) {
    try {
        body();
    } catch (const InternalError& e) {
        return e.what();
    }
    return "<no InternalError>";
}

TEST(NelderMeadFirstSimplex, PerturbationAndClamping) {
    // Coordinates: exactly 0, at the near-zero threshold, negative, on its
    // upper bound, and an ordinary positive value.
    const Point x0{0.0, 1e-10, -2.0, 3.0, 4.0};
    const std::vector<Bound> box{{-1, 1}, {-1, 1}, {-5, 5}, {0, 3}, {0, 10}};
    Recorder rec;
    rec.script = {1.0, 1.0, 1.0, 1.0, 1.0, 1.0};  // all equal: stops at once
    const OptResult r = nelder_mead(rec, x0, box, kPolishSettings);

    ASSERT_EQ(rec.points.size(), 6u);  // slots 0..5, nothing else
    EXPECT_EQ(rec.points[0], x0);
    const std::vector<double> moved{0.0 + 0.00025, 1e-10 + 0.00025, -2.0 + 0.05 * -2.0,
                                    3.0 /* 3.15 clamped back */, 4.0 + 0.05 * 4.0};
    for (std::size_t k = 0; k < 5; ++k) {
        Point want = x0;
        want[k] = moved[k];
        EXPECT_EQ(rec.points[k + 1], want) << "slot " << k + 1;
    }
    EXPECT_DOUBLE_EQ(rec.points[3][2], -2.1);
    // Equal values everywhere: the first tolerance test stops the run and the
    // stable order puts slot 0 first.
    EXPECT_EQ(r.x, x0);
    EXPECT_EQ(r.f, 1.0);
}

TEST(NelderMeadFirstSimplex, StartOutsideBoxIsNotClamped) {
    const Point x0{5.0, -7.0};
    const std::vector<Bound> box{{0, 1}, {0, 1}};
    Recorder rec;
    rec.script = {2.0, 2.0, 2.0};
    nelder_mead(rec, x0, box, kPolishSettings);
    EXPECT_EQ(rec.points[0], x0);
    EXPECT_EQ(rec.points[1], (Point{1.0, -7.0}));  // only the moved coordinate is clamped
    EXPECT_EQ(rec.points[2], (Point{5.0, 0.0}));
}

// With n = 1 the second-worst vertex is the best, so a reflected point either
// beats the best (expansion) or goes to contraction, then shrink.
TEST(NelderMeadOneDimension, ReflectionBetterThanBestIsExpanded) {
    Recorder rec;
    rec.script = {1.0, 2.0, 0.5, 0.25};  // slots, reflection, expansion
    rec.rest = [](const Point&) { return 0.25; };
    const OptResult r = nelder_mead(rec, Point{1.0}, wide_box(1), kPolishSettings);
    const double c = 1.0;            // centroid of the kept vertex
    const double xw = 1.0 + 0.05;    // slot 1
    const double xr = c + (c - xw);  // 0.95
    ASSERT_GE(rec.points.size(), 4u);
    EXPECT_EQ(rec.points[2][0], xr);
    EXPECT_EQ(rec.points[3][0], c + 2.0 * (xr - c));
    // Slot 1 took the expanded point; the later evaluations tie with it, and
    // the tie at the end goes to the lower slot.
    EXPECT_EQ(r.f, 0.25);
}

TEST(NelderMeadOneDimension, ReflectionEqualToBestContractsThenShrinks) {
    Recorder rec;
    // slots 0, 1; reflection equal to the best (not accepted when n = 1);
    // contraction no better than the worst; shrink of slot 1.
    rec.script = {1.0, 2.0, 1.0, 2.0, 1.5};
    rec.rest = [](const Point&) { return 1.0; };
    const OptResult r = nelder_mead(rec, Point{1.0}, wide_box(1), kPolishSettings);
    const double xw = 1.05;
    ASSERT_GE(rec.points.size(), 5u);
    EXPECT_EQ(rec.points[3][0], 1.0 + 0.5 * (xw - 1.0));  // contraction towards the worst
    EXPECT_EQ(rec.points[4][0], 1.0 + 0.5 * (xw - 1.0));  // shrink moves slot 1 halfway
    // Next iteration: slot 0 (1.0) is still the best and the worst is the
    // shrunk slot 1 at 1.5; its reflection is the 6th evaluation.
    ASSERT_GE(rec.points.size(), 6u);
    EXPECT_EQ(rec.points[5][0], 1.0 + (1.0 - rec.points[4][0]));
    EXPECT_EQ(r.f, 1.0);
}

TEST(NelderMeadIteration, AcceptsReflectionBetweenBestAndSecondWorst) {
    Recorder rec;
    // n = 2: slot values 0 (best), 2 (second worst), 3 (worst); a reflection
    // at 1 lies in [f_b, f_s) and replaces the worst without expansion.
    rec.script = {0.0, 2.0, 3.0, 1.0};
    rec.rest = [](const Point&) { return 0.0; };
    const NelderMeadSettings one{1, 1e-10, 0, 0.0};
    const OptResult r = nelder_mead(rec, Point{1.0, 1.0}, wide_box(2), one);
    ASSERT_EQ(rec.points.size(), 4u);  // no expansion, no contraction
    // The centroid of slots 0 and 1, summed best first, divided by 2.
    const double c0 = (1.0 + 1.05) / 2.0;
    const double c1 = (1.0 + 1.0) / 2.0;
    EXPECT_EQ(rec.points[3], (Point{c0 + (c0 - 1.0), c1 + (c1 - 1.05)}));
    EXPECT_EQ(r.f, 0.0);
    EXPECT_EQ(r.x, (Point{1.0, 1.0}));
}

// The equalities at each decision of one iteration in two dimensions (slot
// values 1, 2, 3), told apart by how many times the objective is called: a
// reflection tying the best is accepted (4 calls); one tying the
// second-worst is not, so a contraction follows (5); a contraction tying the
// worst is not accepted, so the two other vertices shrink (7); an expansion
// tying the reflection keeps the reflection (5, and the result is x_r).
TEST(NelderMeadIteration, TiesAtEachDecisionInTwoDimensions) {
    struct Case {
        const char* what;
        std::vector<double> script;
        std::size_t calls;
    };
    const NelderMeadSettings one{1, 1e-10, 0, 0.0};
    for (const Case& c : {Case{"reflection ties best", {1.0, 2.0, 3.0, 1.0}, 4},
                          Case{"reflection ties second-worst", {1.0, 2.0, 3.0, 2.0, 2.5}, 5},
                          Case{"contraction ties worst", {1.0, 2.0, 3.0, 3.0, 3.0, 2.0, 2.0}, 7},
                          Case{"expansion ties reflection", {1.0, 2.0, 3.0, 0.5, 0.5}, 5}}) {
        Recorder rec;
        rec.script = c.script;
        rec.rest = [](const Point&) { return 9.0; };
        const OptResult r = nelder_mead(rec, Point{1.0, 1.0}, wide_box(2), one);
        EXPECT_EQ(rec.points.size(), c.calls) << c.what;
        if (c.script.back() == 0.5) {
            EXPECT_EQ(r.x, rec.points[3]) << c.what;  // the reflected point, not the expanded one
            EXPECT_EQ(r.f, 0.5);
        }
    }
}

// The iteration maximum returns the first slot holding the smallest value,
// without ordering the slots again; a NaN stored by the last shrink is
// therefore not an error unless it would be the answer.
TEST(NelderMeadIteration, IterationMaximumReturnsLowestSlotWithoutOrdering) {
    Recorder rec;
    // slots 1, 2, 3 -> worst slot 2; reflection and contraction fail; the
    // shrink moves slot 0 (rank 1) to value 0.5 and slot 2 to NaN.
    rec.script = {2.0, 1.0, 3.0, 9.0, 9.0, 0.5, kNaN};
    const NelderMeadSettings one{1, 1e-10, 0, 0.0};
    const OptResult r = nelder_mead(rec, Point{1.0, 1.0}, wide_box(2), one);
    ASSERT_EQ(rec.points.size(), 7u);
    EXPECT_EQ(r.f, 0.5);
    EXPECT_EQ(r.x, rec.points[5]);

    // Equal smallest values in slots 0 and 1: slot 0 wins.
    Recorder tie;
    tie.script = {2.0, 1.0, 3.0, 9.0, 9.0, 1.0, 4.0};
    const OptResult t = nelder_mead(tie, Point{1.0, 1.0}, wide_box(2), one);
    EXPECT_EQ(t.f, 1.0);
    EXPECT_EQ(t.x, tie.points[5]);  // slot 0 after its shrink
}

TEST(NelderMeadIteration, NaNReachingTheAnswerIsAnError) {
    Recorder rec;
    // The shrink leaves NaN in slot 0, the slot the final scan starts from.
    rec.script = {2.0, 1.0, 3.0, 9.0, 9.0, kNaN, 5.0};
    const NelderMeadSettings one{1, 1e-10, 0, 0.0};
    const std::string msg =
        error_of([&] { nelder_mead(rec, Point{1.0, 1.0}, wide_box(2), one); });
    EXPECT_NE(msg.find("NaN objective value in the Nelder-Mead simplex"), std::string::npos)
        << msg;
}

TEST(NelderMeadFailures, NaNValueWhenOrderingThrows) {
    Recorder rec;
    rec.script = {1.0, kNaN, 2.0};
    const std::string msg =
        error_of([&] { nelder_mead(rec, Point{0.0, 3.0}, wide_box(2), kPolishSettings); });
    // The message names the point that produced the NaN (slot 1).
    EXPECT_EQ(msg, "NaN objective value in the Nelder-Mead simplex at x = (0.00025, 3)");
    EXPECT_EQ(rec.points.size(), 3u);
}

TEST(NelderMeadFailures, InvertedAndNaNBoundsGiveTheClampMessage) {
    const auto f = [](std::span<const double>) { return 0.0; };
    EXPECT_EQ(error_of([&] {
                  nelder_mead(f, Point{1.5, 0.5}, std::vector<Bound>{{2.0, 1.0}, {0, 1}},
                              kPolishSettings);
              }),
              "min > max, or either was NaN. min = 2, max = 1");
    EXPECT_EQ(error_of([&] {
                  nelder_mead(f, Point{0.5, 0.5}, std::vector<Bound>{{0, 1}, {kNaN, 0.25}},
                              kPolishSettings);
              }),
              "min > max, or either was NaN. min = NaN, max = 0.25");
    EXPECT_EQ(error_of([] { korvel::clamp(0.0, 0.5, kNaN); }),
              "min > max, or either was NaN. min = 0.5, max = NaN");
    EXPECT_TRUE(std::isnan(korvel::clamp(kNaN, 0.0, 1.0)));
    EXPECT_EQ(korvel::clamp(-kInf, -1.0, 1.0), -1.0);
    EXPECT_EQ(korvel::clamp(0.25, 0.25, 0.25), 0.25);
}

TEST(NelderMeadFailures, ShapeMismatchIsAnError) {
    const auto f = [](std::span<const double>) { return 0.0; };
    EXPECT_THROW(nelder_mead(f, Point{1.0, 2.0}, wide_box(1), kPolishSettings), InternalError);
    EXPECT_THROW(nelder_mead(f, Point{}, wide_box(0), kPolishSettings), InternalError);
}

// An objective that returns +inf for every new point (a pending Ctrl+C): the
// best value never improves, so the outer settings stop after 50 orderings
// without improvement, i.e. 49 full iterations of reflection, contraction
// and a shrink of the n other vertices.
TEST(NelderMeadStopping, StallRuleEndsRunOfInfiniteValues) {
    Recorder rec;
    rec.script = {3.0, 1.0, 2.0};
    rec.rest = [](const Point&) { return kInf; };
    const OptResult r = nelder_mead(rec, Point{1.0, 1.0}, wide_box(2), kOuterSettings);
    EXPECT_EQ(rec.points.size(), 3u + 49u * (2u + 2u));
    EXPECT_EQ(r.f, 1.0);
    EXPECT_EQ(r.x, rec.points[1]);
}

// The reference only moves on an improvement of more than 1e-3. Here the
// first reflection gains 2^-10 (< 1e-3) and every later point is worse, so the
// run stops at the 50th ordering: 2 vertices, a reflection and an expansion,
// then 48 iterations of reflection, contraction and a one-vertex shrink.
// A gain of 2^-9 (> 1e-3) sets the counter back from 1 to 0 at the second
// ordering, so 50 more orderings follow: two iterations more.
TEST(NelderMeadStopping, StallRuleNeedsImprovementAboveThreshold) {
    for (const double gain : {0.0009765625, 0.001953125}) {
        Recorder rec;
        rec.script = {1.0, 5.0, 1.0 - gain, 5.0};
        rec.rest = [](const Point&) { return 5.0; };
        const OptResult r = nelder_mead(rec, Point{1.0}, wide_box(1), kOuterSettings);
        const std::size_t extra = gain > 1e-3 ? 2u * 3u : 0u;
        EXPECT_EQ(rec.points.size(), 2u + 2u + 48u * 3u + extra) << "gain " << gain;
        EXPECT_EQ(r.f, 1.0 - gain);
        EXPECT_EQ(r.x, rec.points[2]);
    }
}

// Without a stall rule the iteration maximum bounds a run that never
// converges: 2 vertices, then reflection, contraction and shrink each time.
TEST(NelderMeadStopping, IterationMaximumBoundsEvaluations) {
    Recorder rec;
    rec.script = {1.0, 2.0};
    rec.rest = [](const Point&) { return kInf; };
    const NelderMeadSettings settings{7, 1e-10, 0, 0.0};
    const OptResult r = nelder_mead(rec, Point{0.5}, std::vector<Bound>{{0, 1}}, settings);
    EXPECT_EQ(rec.points.size(), 2u + 7u * 3u);
    EXPECT_EQ(r.f, 1.0);
    EXPECT_EQ(r.x, Point{0.5});
}

double rosenbrock_value(std::span<const double> x) {
    double s = 0.0;
    for (std::size_t i = 0; i + 1 < x.size(); ++i) {
        const double a = 1.0 - x[i];
        const double b = x[i + 1] - x[i] * x[i];
        s += a * a + 100.0 * b * b;
    }
    return s;
}
// FunctionRef refers to callable objects, not to plain functions.
const auto rosenbrock = [](std::span<const double> x) { return rosenbrock_value(x); };

TEST(NelderMeadMinima, RosenbrockFromTheClassicStart) {
    const OptResult r = nelder_mead(rosenbrock, Point{-1.2, 1.0}, wide_box(2), kPolishSettings);
    // The value tolerance 1e-10 on a valley of curvature ~1e3 leaves the point
    // within about 1e-4 of (1, 1).
    EXPECT_NEAR(r.x[0], 1.0, 1e-3);
    EXPECT_NEAR(r.x[1], 1.0, 1e-3);
    EXPECT_LT(r.f, 1e-8);
    EXPECT_EQ(r.f, rosenbrock(r.x));  // the stored value of the returned vertex
}

TEST(NelderMeadMinima, QuadraticWithActiveBound) {
    // Minimum of the unconstrained bowl at (2, -3, 0.5) lies outside the box
    // in coordinate 0 (upper bound 1): the bounded minimum is (1, -3, 0.5).
    const auto bowl = [](std::span<const double> x) {
        const double a = x[0] - 2.0, b = x[1] + 3.0, c = x[2] - 0.5;
        return a * a + 2.0 * b * b + 3.0 * c * c;
    };
    const std::vector<Bound> box{{-1, 1}, {-5, 5}, {0, 1}};
    const OptResult r = nelder_mead(bowl, Point{0.0, 0.0, 0.0}, box, kPolishSettings);
    EXPECT_EQ(r.x[0], 1.0);  // clamped exactly onto the bound
    // Values converge to 1e-10, so coordinates to ~1e-5 on unit curvature.
    EXPECT_NEAR(r.x[1], -3.0, 1e-4);
    EXPECT_NEAR(r.x[2], 0.5, 1e-4);
    EXPECT_NEAR(r.f, 1.0, 1e-9);
}

TEST(NelderMeadMinima, DeterministicToTheBit) {
    const OptResult a = nelder_mead(rosenbrock, Point{-1.2, 1.0, 0.3}, wide_box(3), kPolishSettings);
    const OptResult b = nelder_mead(rosenbrock, Point{-1.2, 1.0, 0.3}, wide_box(3), kPolishSettings);
    EXPECT_EQ(a.x, b.x);
    EXPECT_EQ(a.f, b.f);
}

}  // namespace
