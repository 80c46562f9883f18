// Differential evolution, the global search built on it, and the multi-start
// driver with its progress lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <csignal>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "core/errors.h"
#include "core/interrupt.h"
#include "optimizer/global_search.h"
#include "optimizer/mutation.h"
#include "optimizer/nelder_mead.h"
#include "optimizer/rng.h"

namespace {

using korvel::Bound;
using korvel::ChaCha8;
using korvel::InternalError;
using korvel::OptResult;
using korvel::CoordinateFormat;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using Point = std::vector<double>;

std::string error_of(const std::function<void()>& body) {
    try {
        body();
    } catch (const InternalError& e) {
        return e.what();
    }
    return "<no InternalError>";
}

double rosenbrock(std::span<const double> x) {
    const double a = 1.0 - x[0];
    const double b = x[1] - x[0] * x[0];
    return a * a + 100.0 * b * b;
}

// ---------------------------------------------------------------- mutation

// A mutant below the lower bound is redrawn between the bound and the
// target's own coordinate (one extra draw), not put on the bound.
TEST(MutantCoordinate, BelowLowerBoundLandsBetweenBoundAndTarget) {
    const Bound b{0.0, 1.0};
    ChaCha8 rng = ChaCha8::from_seed(5);
    ChaCha8 twin = ChaCha8::from_seed(5);
    for (int i = 0; i < 200; ++i) {
        // 0.1 + 0.8 * (0.0 - 1.0) = -0.7 < 0.
        const double v = korvel::detail::mutant_coordinate(0.1, 0.0, 1.0, 0.7, 0.8, b, rng);
        const double expect = 0.0 + twin.uniform() * (0.7 - 0.0);
        ASSERT_EQ(v, expect);
        ASSERT_GE(v, 0.0);
        ASSERT_LT(v, 0.7);
    }
    // Exactly one draw per mutant: both streams are at the same word.
    EXPECT_EQ(rng.next_u32(), twin.next_u32());
}

TEST(MutantCoordinate, AboveUpperBoundLandsBetweenTargetAndBound) {
    const Bound b{-2.0, 3.0};
    ChaCha8 rng = ChaCha8::from_seed(6);
    ChaCha8 twin = ChaCha8::from_seed(6);
    const double v = korvel::detail::mutant_coordinate(2.5, 4.0, 1.0, -1.0, 0.9, b, rng);
    EXPECT_EQ(v, 3.0 - twin.uniform() * (3.0 - -1.0));
    EXPECT_GT(v, -1.0);
    EXPECT_LE(v, 3.0);
    EXPECT_EQ(rng.next_u32(), twin.next_u32());
}

TEST(MutantCoordinate, InsideTheBoxDrawsNothing) {
    const Bound b{-1.0, 1.0};
    ChaCha8 rng = ChaCha8::from_seed(8);
    ChaCha8 twin = ChaCha8::from_seed(8);
    EXPECT_EQ(korvel::detail::mutant_coordinate(0.25, 0.5, 0.25, 0.0, 0.5, b, rng),
              0.25 + 0.5 * (0.5 - 0.25));
    EXPECT_EQ(rng.next_u32(), twin.next_u32());
}

// ------------------------------------------------------ differential evolution

// The initial population is drawn member by member, coordinate by
// coordinate, without clamping, and evaluated in member order.
TEST(DifferentialEvolution, InitialPopulationFollowsTheDrawOrder) {
    const std::vector<Bound> box{{-1.0, 3.0}, {10.0, 20.0}};
    std::vector<Point> seen;
    const auto f = [&](std::span<const double> x) {
        seen.emplace_back(x.begin(), x.end());
        return 1.0 + (x[0] - 1.0) * (x[0] - 1.0) + (x[1] - 12.0) * (x[1] - 12.0);
    };
    ChaCha8 rng = ChaCha8::from_seed(2024);
    korvel::differential_evolution(f, box, rng);

    ChaCha8 replay = ChaCha8::from_seed(2024);
    ASSERT_GE(seen.size(), 30u);
    for (std::size_t i = 0; i < 30; ++i) {
        for (std::size_t k = 0; k < 2; ++k) {
            const double want = box[k].lo + replay.uniform() * (box[k].hi - box[k].lo);
            ASSERT_EQ(seen[i][k], want) << "member " << i << " coordinate " << k;
        }
    }
}

// Mirrors the population from outside: the objective sees the NP initial
// members, then one trial per target in order 0..NP-1, generation after
// generation; a trial no worse than its target replaces it at once, and one
// strictly better than the best member makes the target the best.
struct PopulationMirror {
    std::size_t np;
    double quantum;  // > 0: values rounded down to multiples, to create ties
    std::vector<Point> members;
    std::vector<double> values;
    std::size_t best = 0;
    std::size_t calls = 0;
    std::size_t trials_equal_to_target = 0;
    std::size_t coordinates_copied = 0;

    double operator()(std::span<const double> x) {
        const Point p(x.begin(), x.end());
        double v = 1.0;
        for (std::size_t k = 0; k < p.size(); ++k) {
            const double d = p[k] - 0.3 * static_cast<double>(k + 1);
            v += d * d;
        }
        if (quantum > 0) v = 1.0 + std::floor((v - 1.0) / quantum) * quantum;
        if (calls < np) {
            members.push_back(p);
            values.push_back(v);
            if (v < values[best]) best = calls;
        } else {
            const std::size_t i = (calls - np) % np;
            if (p == members[i]) ++trials_equal_to_target;
            for (std::size_t k = 0; k < p.size(); ++k) coordinates_copied += p[k] == members[i][k];
            if (v <= values[i]) {
                if (v < values[best]) best = i;
                members[i] = p;
                values[i] = v;
            }
        }
        ++calls;
        return v;
    }
};

TEST(DifferentialEvolution, ForcedCoordinateAndImmediateReplacement) {
    for (const std::size_t dim : {1u, 2u, 3u}) {
        const std::vector<Bound> box(dim, Bound{-1.0, 1.0});
        PopulationMirror mirror{15 * dim, 0.0, {}, {}};
        ChaCha8 rng = ChaCha8::from_seed(77 + dim);
        const OptResult r = korvel::differential_evolution(mirror, box, rng);

        // Every trial mutates at least the forced coordinate.
        EXPECT_EQ(mirror.trials_equal_to_target, 0u) << "dim " << dim;
        if (dim == 1) {
            EXPECT_EQ(mirror.coordinates_copied, 0u);  // the forced coordinate is the only one
        } else {
            EXPECT_GT(mirror.coordinates_copied, 0u);  // crossover keeps some target coordinates
        }
        // The result is the best member of the mirrored population, so
        // replacement and the choice of the best followed the same rules.
        EXPECT_EQ(r.f, mirror.values[mirror.best]);
        EXPECT_EQ(r.x, mirror.members[mirror.best]);
        EXPECT_EQ(r.f, *std::min_element(mirror.values.begin(), mirror.values.end()));
        // A smooth bowl with minimum 1 converges long before 1000 generations.
        EXPECT_LT(mirror.calls, 15 * dim * 1001);
        EXPECT_EQ((mirror.calls - 15 * dim) % (15 * dim), 0u);  // whole generations
        for (std::size_t k = 0; k < dim; ++k) {
            // Converged to a relative spread of 1e-8 in value: ~1e-4 in x.
            EXPECT_NEAR(r.x[k], 0.3 * static_cast<double>(k + 1), 1e-3);
        }
    }
}

// Values in steps of 0.01 make many trials tie with their targets; a tie
// replaces the target, which the mirror follows member by member.
TEST(DifferentialEvolution, TiesReplaceTheTarget) {
    const std::vector<Bound> box(2, Bound{-1.0, 1.0});
    PopulationMirror mirror{30, 0.01, {}, {}};
    ChaCha8 rng = ChaCha8::from_seed(31);
    const OptResult r = korvel::differential_evolution(mirror, box, rng);
    EXPECT_EQ(r.f, 1.0);  // the lowest step
    // Among members tied at the lowest step, the best is the one that got
    // there first, not the lowest index.
    EXPECT_EQ(r.x, mirror.members[mirror.best]);
    // Once every member reaches the lowest step the spread is 0 and the
    // search stops well before its last generation.
    EXPECT_LT(mirror.calls, 30u * 1001u);
}

// A population whose values are all 0 has no scale for the relative spread,
// so the test is skipped and all 1000 generations run; a NaN everywhere fails
// every comparison and keeps member 0 as the best.
TEST(DifferentialEvolution, ZeroAndNaNPopulationsRunEveryGeneration) {
    for (const std::size_t dim : {1u, 2u}) {
        const std::vector<Bound> box(dim, Bound{0.0, 1.0});
        std::size_t calls = 0;
        const auto zero = [&](std::span<const double>) {
            ++calls;
            return 0.0;
        };
        ChaCha8 rng = ChaCha8::from_seed(1);
        const OptResult r = korvel::differential_evolution(zero, box, rng);
        EXPECT_EQ(calls, 15 * dim * 1001);
        EXPECT_EQ(r.f, 0.0);
    }

    std::vector<Point> seen;
    const auto nan = [&](std::span<const double> x) {
        seen.emplace_back(x.begin(), x.end());
        return kNaN;
    };
    ChaCha8 rng = ChaCha8::from_seed(3);
    const std::vector<Bound> box{{0.0, 1.0}};
    const OptResult r = korvel::differential_evolution(nan, box, rng);
    EXPECT_EQ(seen.size(), 15u * 1001u);
    EXPECT_TRUE(std::isnan(r.f));
    EXPECT_EQ(r.x, seen[0]);  // member 0, never replaced
}

// A seeded run, pinned: the evaluation count and the bits of the result of
// differential evolution alone and of the whole global search. Any change to
// the order of the draws (F, r1, r2, the forced coordinate, one u per
// coordinate, the redraws of mutants outside the box) or to the rules that
// redraw r1 and r2 changes the population, and with it these numbers. The
// third coordinate's minimum lies on its lower bound, so mutants below it are
// redrawn all through the run. The numbers come from this implementation;
// the checks on the minimum say that they are a sound answer.
TEST(DifferentialEvolution, SeededRunKnownAnswer) {
    const std::vector<Bound> box{{-2.0, 2.0}, {-1.0, 3.0}, {0.5, 4.0}};
    std::size_t calls = 0;
    const auto f = [&](std::span<const double> x) {
        ++calls;
        return rosenbrock(x) + 0.1 * std::sin(3.0 * x[2]) + 2.0 * x[2] + 1.0;
    };
    const auto bits = [](const Point& x) {
        std::vector<std::uint64_t> out;
        for (const double v : x) out.push_back(std::bit_cast<std::uint64_t>(v));
        return out;
    };
    ChaCha8 rng = ChaCha8::from_seed(20261207);
    const OptResult de = korvel::differential_evolution(f, box, rng);
    EXPECT_EQ(calls, 2655u);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(de.f), 0x4000cc4977516b16ULL) << de.f;
    EXPECT_EQ(bits(de.x), (std::vector<std::uint64_t>{0x3ff000293994fe3dULL, 0x3ff00053735766b3ULL,
                                                       0x3fe000000009a7ebULL}));
    calls = 0;
    const OptResult gs = korvel::global_search(f, box, 20261207);
    EXPECT_EQ(calls, 2732u);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(gs.f), 0x4000cc497719f769ULL) << gs.f;
    EXPECT_EQ(bits(gs.x), (std::vector<std::uint64_t>{0x3ff000024f6e8bb8ULL, 0x3ff00004053adc7bULL,
                                                       0x3fe000000008a2a0ULL}));
    // Rosenbrock's (1, 1) and the lower bound 0.5, to the spread the
    // population converges to (1e-8 relative in value, ~1e-4 in x).
    EXPECT_NEAR(gs.x[0], 1.0, 1e-4);
    EXPECT_NEAR(gs.x[1], 1.0, 1e-4);
    EXPECT_NEAR(gs.x[2], 0.5, 1e-8);
}

TEST(DifferentialEvolution, BadBoundsFailAtTheFirstMutant) {
    const auto f = [](std::span<const double> x) { return x[0]; };
    ChaCha8 rng = ChaCha8::from_seed(9);
    EXPECT_EQ(error_of([&] {
                  korvel::differential_evolution(f, std::vector<Bound>{{1.0, 0.0}}, rng);
              }),
              "min > max, or either was NaN. min = 1, max = 0");
    EXPECT_EQ(error_of([&] { korvel::global_search(f, std::vector<Bound>{{0.0, kNaN}}, 4); }),
              "min > max, or either was NaN. min = 0, max = NaN");
    EXPECT_THROW(korvel::differential_evolution(f, std::vector<Bound>{}, rng), InternalError);
}

// ---------------------------------------------------------------- global search

const auto rosen = [](std::span<const double> x) { return rosenbrock(x); };

TEST(GlobalSearch, FindsRosenbrockMinimum) {
    const std::vector<Bound> box{{-2.0, 2.0}, {-2.0, 2.0}};
    const OptResult r = korvel::global_search(rosen, box, 42);
    // Polished to a value tolerance of 1e-10 along a curved valley: the point
    // is within about 1e-4 of (1, 1).
    EXPECT_NEAR(r.x[0], 1.0, 1e-3);
    EXPECT_NEAR(r.x[1], 1.0, 1e-3);
    EXPECT_LT(r.f, 1e-8);

    // Keyed from the OS instead of a seed, the same minimum is found.
    const OptResult e = korvel::global_search(rosen, box, std::nullopt);
    EXPECT_NEAR(e.x[0], 1.0, 1e-3);
    EXPECT_NEAR(e.x[1], 1.0, 1e-3);
}

TEST(GlobalSearch, PolishStartsFromBestMemberAndReevaluatesIt) {
    const std::vector<Bound> box{{-2.0, 2.0}, {-2.0, 2.0}};
    std::size_t de_calls = 0;
    const auto count = [&](std::span<const double> x) {
        ++de_calls;
        return rosenbrock(x);
    };
    ChaCha8 rng = ChaCha8::from_seed(11);
    const OptResult de = korvel::differential_evolution(count, box, rng);

    std::vector<Point> seen;
    const auto record = [&](std::span<const double> x) {
        seen.emplace_back(x.begin(), x.end());
        return rosenbrock(x);
    };
    const OptResult r = korvel::global_search(record, box, 11);
    ASSERT_GT(seen.size(), de_calls);
    EXPECT_EQ(seen[de_calls], de.x);  // slot 0 of the polish, evaluated again
    EXPECT_LE(r.f, de.f);
}

TEST(GlobalSearch, SeededRunsAreBitIdenticalAcrossCallsAndThreads) {
    const std::vector<Bound> box{{-2.0, 2.0}, {-1.0, 3.0}, {0.5, 4.0}};
    const auto f = [](std::span<const double> x) {
        // Rosenbrock in the first two coordinates plus a shallow third term,
        // so that the result depends on every draw.
        return rosenbrock(x) + 0.1 * std::sin(3.0 * x[2]) + 0.01 * x[2] * x[2];
    };
    const OptResult a = korvel::global_search(f, box, 123456789u);
    const OptResult b = korvel::global_search(f, box, 123456789u);
    OptResult c;
    std::thread t([&] { c = korvel::global_search(f, box, 123456789u); });
    t.join();
    EXPECT_EQ(a.x, b.x);
    EXPECT_EQ(a.f, b.f);
    EXPECT_EQ(a.x, c.x);
    EXPECT_EQ(a.f, c.f);
}

TEST(GlobalSearch, NaNBestMemberEndsInTheSimplexError) {
    const auto f = [](std::span<const double>) { return kNaN; };
    const std::string msg =
        error_of([&] { korvel::global_search(f, std::vector<Bound>{{0.0, 1.0}}, 1); });
    EXPECT_EQ(msg.rfind("NaN objective value in the Nelder-Mead simplex", 0), 0u) << msg;
}

// ------------------------------------------------------------------ multi-start

// The two shapes of line the shared fits ask for: log coordinates with a
// sign, exponents without.
constexpr CoordinateFormat kLogCoLines[] = {
    {"logSt", 3, true}, {"logCoW", 3, true}, {"logCoE", 3, true}};
constexpr CoordinateFormat kExponentLines[] = {
    {"logSt", 3, true}, {"n_U", 3, false}, {"n_M", 3, false}};
const korvel::Interruption kNever{};

// A call armed for Ctrl+C; interrupt() delivers a SIGINT to it.
struct ArmedCall {
    korvel::InterruptGuard guard;
    const korvel::Interruption& handle() const { return guard.interruption(); }
    static void interrupt() { std::raise(SIGINT); }
};

std::vector<Bound> cube(double lo, double hi, std::size_t n = 3) {
    return std::vector<Bound>(n, Bound{lo, hi});
}

// A constant objective makes every search stop at its start (equal values,
// slot 0), so the progress lines are known exactly; the tie between the two
// starts goes to the first.
TEST(MultiStart, GlobalCoLinesAndEarlierStartWinsTies) {
    const auto flat = [](std::span<const double>) { return 7.5; };
    const std::vector<Point> starts{{-2.0, 0.0, 0.0}, {-2.0, -1.0, -1.0}};
    testing::internal::CaptureStderr();
    const auto r = korvel::multi_start(flat, starts, cube(-5, 5), true, kLogCoLines, kNever);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err,
              "--- Nelder-Mead start 1/2 from x0=(logSt=-2.000, logCoW=+0.000, logCoE=+0.000) ---\n"
              "    => start 1 converged: logSt=-2.000 logCoW=+0.000 logCoE=+0.000 NLL=7.500000\n"
              "--- Nelder-Mead start 2/2 from x0=(logSt=-2.000, logCoW=-1.000, logCoE=-1.000) ---\n"
              "    => start 2 converged: logSt=-2.000 logCoW=-1.000 logCoE=-1.000 NLL=7.500000\n"
              "--- best start: 1 with NLL=7.500000 ---\n");
    EXPECT_EQ(r.start, 1);
    EXPECT_EQ(r.f, 7.5);
    EXPECT_EQ(r.x, starts[0]);
}

TEST(MultiStart, SharedExponentLinesShowThreeCoordinates) {
    const auto flat = [](std::span<const double>) { return 7.5; };
    // The fourth coordinate (log10 Vmax) is searched but never printed.
    const std::vector<Point> starts{{0.5, 2.5, 1.25, 3.0}};
    testing::internal::CaptureStderr();
    korvel::multi_start(flat, starts, cube(-5, 5, 4), true, kExponentLines, kNever);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "--- Nelder-Mead start 1/1 from x0=(logSt=+0.500, n_U=2.500, n_M=1.250) ---\n"
              "    => start 1 converged: logSt=+0.500 n_U=2.500 n_M=1.250 NLL=7.500000\n"
              "--- best start: 1 with NLL=7.500000 ---\n");
}

TEST(MultiStart, InterruptBeforeFirstStartRunsNothing) {
    ArmedCall call;
    ArmedCall::interrupt();
    std::size_t calls = 0;
    const auto f = [&](std::span<const double>) {
        ++calls;
        return 1.0;
    };
    const std::vector<Point> starts{{1.0, 2.0, 3.0}, {0.0, 0.0, 0.0}};
    testing::internal::CaptureStderr();
    const auto r = korvel::multi_start(f, starts, cube(-5, 5), true, kLogCoLines, call.handle());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "--- best start: 0 with NLL=inf ---\n");
    EXPECT_EQ(calls, 0u);
    EXPECT_EQ(r.start, 0);
    EXPECT_EQ(r.f, kInf);
    EXPECT_EQ(r.x, starts[0]);
}

// Ctrl+C during the first start: that search runs to its end, the second
// start is never begun, and the best-start line is still written.
TEST(MultiStart, InterruptDuringFirstStartStopsBeforeTheNext) {
    ArmedCall call;
    std::vector<Point> seen;
    const auto f = [&](std::span<const double> x) {
        seen.emplace_back(x.begin(), x.end());
        ArmedCall::interrupt();
        return (x[0] - 1.0) * (x[0] - 1.0) + x[1] * x[1] + x[2] * x[2] + 2.0;
    };
    const std::vector<Point> starts{{1.5, 0.5, 0.5}, {-3.0, -3.0, -3.0}};
    testing::internal::CaptureStderr();
    const auto r = korvel::multi_start(f, starts, cube(-5, 5), true, kLogCoLines, call.handle());
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r.start, 1);
    EXPECT_NE(err.find("start 1/2"), std::string::npos);
    EXPECT_EQ(err.find("start 2/2"), std::string::npos);
    EXPECT_NE(err.find("--- best start: 1 with NLL="), std::string::npos);
    for (const Point& p : seen) EXPECT_NE(p, starts[1]);
}

// Two basins: start 1 lies in the basin with minimum 0.5 near x0 = -2,
// start 2 in the basin with minimum 0 near x0 = 2. The strictly better start
// wins, and nothing is written without the verbose flag.
TEST(MultiStart, KeepsStrictlyBestStartQuietly) {
    const auto two_bowls = [](std::span<const double> x) {
        const double tail = x[1] * x[1] + x[2] * x[2];
        const double left = (x[0] + 2.0) * (x[0] + 2.0) + 0.5;
        const double right = (x[0] - 2.0) * (x[0] - 2.0);
        return std::min(left, right) + tail;
    };
    const std::vector<Point> starts{{-2.5, 0.3, -0.2}, {2.5, 0.3, -0.2}};
    testing::internal::CaptureStderr();
    const auto r =
        korvel::multi_start(two_bowls, starts, cube(-5, 5), false, kLogCoLines, kNever);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(r.start, 2);
    // Outer settings stop at a value spread of 1e-4: the value is within a
    // few 1e-4 of 0 and the point within ~0.05 of the minimum.
    EXPECT_LT(r.f, 1e-3);
    EXPECT_NEAR(r.x[0], 2.0, 0.05);
    // The returned pair is exactly what the second search returned.
    const OptResult second =
        korvel::nelder_mead(two_bowls, starts[1], cube(-5, 5), korvel::kOuterSettings);
    EXPECT_EQ(r.x, second.x);
    EXPECT_EQ(r.f, second.f);
}

TEST(MultiStart, RejectsMissingStartsAndShortVerbosePoints) {
    const auto f = [](std::span<const double>) { return 0.0; };
    EXPECT_THROW(korvel::multi_start(f, std::vector<Point>{}, cube(0, 1), false, kLogCoLines,
                                     kNever),
                 InternalError);
    EXPECT_THROW(korvel::multi_start(f, std::vector<Point>{{0.5, 0.5}}, cube(0, 1, 2), true,
                                     kLogCoLines, kNever),
                 InternalError);
}

}  // namespace
