// Shared-parameter fits: start lists and progress lines, the plain NLLs they
// return, determinism and weights of the seeded kernels, input checks made
// before any work, and winding down once the call is interrupted.
//
// With zero density rows every outer value is exactly 0, so each simplex
// stops at its first ordering and returns its start: the progress lines are
// then known exactly and cost nothing to produce.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "core/errors.h"
#include "core/interrupt.h"
#include "core/pool.h"
#include "core/row_matrix.h"
#include "core/state.h"
#include "fits/shared_fits.h"
#include "fits/weighted_total.h"
#include "model/model.h"

namespace {

using korvel::Bound;
using korvel::RowMatrix;
using korvel::RowRange;

constexpr double kInf = std::numeric_limits<double>::infinity();
const std::vector<double> kEdges{0.0, 0.25, 0.5, 0.75, 1.0};
constexpr Bound kSt{0.1, 2.0};
constexpr Bound kCo{0.1, 10.0};
constexpr Bound kExp{1.5, 2.5};
constexpr Bound kVmax{1e-3, 1e6};
// Narrow boxes for the fits that really run, so that they stay quick.
constexpr Bound kCoNarrow{0.3, 3.0};
constexpr Bound kExpNarrow{1.8, 2.2};

// Density bins from mostly unmethylated to bimodal, four methylation bins.
RowMatrix rows_of(std::size_t n) {
    const double rows[3][4] = {
        {0.70, 0.15, 0.10, 0.05},
        {0.40, 0.10, 0.10, 0.40},
        {0.05, 0.10, 0.20, 0.65},
    };
    RowMatrix m(n, 4);
    for (std::size_t i = 0; i < n; ++i) std::memcpy(m.mutable_row(i), rows[i], sizeof rows[i]);
    return m;
}

const RowMatrix kNoRows = rows_of(0);
const RowMatrix kTwoRows = rows_of(2);

std::string stderr_of(const std::function<void()>& body) {
    testing::internal::CaptureStderr();
    body();
    return testing::internal::GetCapturedStderr();
}

std::vector<std::string> lines_starting(const std::string& text, const std::string& prefix) {
    std::vector<std::string> out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t end = text.find('\n', pos);
        const std::string line = text.substr(pos, end - pos);
        if (line.rfind(prefix, 0) == 0) out.push_back(line);
        pos = end == std::string::npos ? text.size() : end + 1;
    }
    return out;
}

// ------------------------------------------------------- starts and progress

TEST(SharedExp, FiveColdStartsAndOneCounterAcrossThem) {
    std::string err;
    korvel::SharedExpFit fit{};
    err = stderr_of([&] {
        fit = korvel::fit_shared_exp_inner(kNoRows, kEdges, true, {1e-3, 10.0}, kCo, {1.0, 4.0},
                                           false, kVmax, 0.0, std::nullopt, true, std::nullopt);
    });
    EXPECT_EQ(lines_starting(err, "--- Nelder-Mead start"),
              (std::vector<std::string>{
                  "--- Nelder-Mead start 1/5 from x0=(logSt=-1.000, n_U=2.500, n_M=2.500) ---",
                  "--- Nelder-Mead start 2/5 from x0=(logSt=-1.000, n_U=1.250, n_M=1.250) ---",
                  "--- Nelder-Mead start 3/5 from x0=(logSt=-1.000, n_U=1.250, n_M=3.750) ---",
                  "--- Nelder-Mead start 4/5 from x0=(logSt=-1.000, n_U=3.750, n_M=1.250) ---",
                  "--- Nelder-Mead start 5/5 from x0=(logSt=-1.000, n_U=3.750, n_M=3.750) ---"}));
    // The first start's block whole: four vertices evaluated, Vmax shown as
    // inf because saturation is off, then the start converges where it began.
    EXPECT_EQ(err.substr(0, err.find("--- Nelder-Mead start 2/5")),
              "--- Nelder-Mead start 1/5 from x0=(logSt=-1.000, n_U=2.500, n_M=2.500) ---\n"
              "  [  1] St=0.1000 (logSt=-1.000)  n_U=2.500  n_M=2.500  Vmax=inf  total NLL=0.000000\n"
              "  [  2] St=0.0891 (logSt=-1.050)  n_U=2.500  n_M=2.500  Vmax=inf  total NLL=0.000000\n"
              "  [  3] St=0.1000 (logSt=-1.000)  n_U=2.625  n_M=2.500  Vmax=inf  total NLL=0.000000\n"
              "  [  4] St=0.1000 (logSt=-1.000)  n_U=2.500  n_M=2.625  Vmax=inf  total NLL=0.000000\n"
              "    => start 1 converged: logSt=-1.000 n_U=2.500 n_M=2.500 NLL=0.000000\n");
    EXPECT_EQ(lines_starting(err, "  [").back().substr(0, 7), "  [ 20]");
    EXPECT_EQ(lines_starting(err, "--- best start"),
              std::vector<std::string>{"--- best start: 1 with NLL=0.000000 ---"});
    EXPECT_EQ(fit.st, std::pow(10.0, -1.0));
    EXPECT_EQ(fit.vmax, kInf);
    EXPECT_TRUE(fit.densities.empty());
}

TEST(SharedCo, SevenColdStarts) {
    const std::string err = stderr_of([] {
        korvel::fit_shared_co_inner(kNoRows, kEdges, true, {1e-4, 1.0}, {1e-3, 1e3}, kExp, 0.0,
                                    std::nullopt, true, std::nullopt);
    });
    EXPECT_EQ(
        lines_starting(err, "--- Nelder-Mead start"),
        (std::vector<std::string>{
            "--- Nelder-Mead start 1/7 from x0=(logSt=-2.000, logCoW=+0.000, logCoE=+0.000) ---",
            "--- Nelder-Mead start 2/7 from x0=(logSt=-2.000, logCoW=-1.000, logCoE=-1.000) ---",
            "--- Nelder-Mead start 3/7 from x0=(logSt=-2.000, logCoW=+1.000, logCoE=+1.000) ---",
            "--- Nelder-Mead start 4/7 from x0=(logSt=-2.000, logCoW=+1.000, logCoE=-1.000) ---",
            "--- Nelder-Mead start 5/7 from x0=(logSt=-2.000, logCoW=-1.000, logCoE=+1.000) ---",
            "--- Nelder-Mead start 6/7 from x0=(logSt=-2.000, logCoW=+2.500, logCoE=+2.500) ---",
            "--- Nelder-Mead start 7/7 from x0=(logSt=-3.500, logCoW=+2.500, logCoE=+2.500) ---"}));
    EXPECT_EQ(lines_starting(err, "  [")[0],
              "  [  1] St=0.0100 CoW=1.0000 CoE=1.0000  total NLL=0.000000");
    EXPECT_EQ(lines_starting(err, "  [").size(), 28u);
}

TEST(SharedFits, WarmStartsAreClampedIntoTheBox) {
    const std::string exp_err = stderr_of([] {
        korvel::fit_shared_exp_inner(kNoRows, kEdges, true, {1e-3, 10.0}, kCo, {1.0, 4.0}, true,
                                     {1.0, 100.0}, 0.0, std::nullopt, true,
                                     korvel::SharedExpStart{1e6, 9.0, -3.0, 1e-9});
    });
    EXPECT_EQ(lines_starting(exp_err, "--- Nelder-Mead start"),
              std::vector<std::string>{
                  "--- Nelder-Mead start 1/1 from x0=(logSt=+1.000, n_U=4.000, n_M=1.000) ---"});
    // The fourth coordinate, log10 Vmax, is not shown in the start line but
    // its clamped value is the evaluated Vmax.
    EXPECT_NE(lines_starting(exp_err, "  [  1]")[0].find("Vmax=1.0000 "), std::string::npos);

    const std::string co_err = stderr_of([] {
        korvel::fit_shared_co_inner(kNoRows, kEdges, true, {1e-4, 1.0}, {1e-3, 1e3}, kExp, 0.0,
                                    std::nullopt, true, korvel::SharedCoStart{1e-9, 1e9, 0.5});
    });
    EXPECT_EQ(lines_starting(co_err, "--- Nelder-Mead start"),
              std::vector<std::string>{"--- Nelder-Mead start 1/1 from x0=(logSt=-4.000, "
                                       "logCoW=+3.000, logCoE=-0.301) ---"});
}

// ------------------------------------------------------------ checks up front

std::string error_of(const std::function<void()>& body) {
    try {
        body();
    } catch (const korvel::InternalError& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(SharedFits, BadInputsFailBeforeAnyWork) {
    const std::vector<double> one_weight{1.0};
    const korvel::OptionalWeights short_w = std::span<const double>(one_weight);
    const auto st_fit = [&](Bound st, Bound co, korvel::OptionalWeights w) {
        return [=] { korvel::fit_shared_st_inner(kTwoRows, kEdges, true, st, co, 2, 2, 0, w); };
    };
    const auto exp_fit = [&](Bound st, bool fit_vmax, Bound vmax, Bound co) {
        return [=] {
            korvel::fit_shared_exp_inner(kTwoRows, kEdges, true, st, co, kExp, fit_vmax, vmax, 0,
                                         std::nullopt, true, std::nullopt);
        };
    };
    const auto perdensity_fit = [&](Bound st, bool fit_vmax, Bound vmax) {
        return [=] {
            korvel::fit_shared_st_perdensity_exp_inner(kTwoRows, kEdges, true, st, kCo, kExp,
                                                       fit_vmax, vmax, 0, std::nullopt);
        };
    };
    const auto co_fit = [&](Bound st, Bound co) {
        return [=] {
            korvel::fit_shared_co_inner(kTwoRows, kEdges, true, st, co, kExp, 0, std::nullopt,
                                        true, std::nullopt);
        };
    };
    const std::string clamp_error = "min > max, or either was NaN";
    const struct {
        std::function<void()> call;
        std::string message_start;
    } cases[] = {
        {st_fit(kSt, kCo, short_w), "weights has 1 entries, fewer than the 2 density rows"},
        {st_fit({0.0, 1.0}, kCo, std::nullopt), "st_bounds is searched on a logarithmic scale"},
        {st_fit({0.1, kInf}, kCo, std::nullopt), "st_bounds is searched on a logarithmic scale"},
        {st_fit({2.0, 0.1}, kCo, std::nullopt), "st_bounds must have lo <= hi"},
        {st_fit(kSt, {0.0, 1.0}, std::nullopt), "co_bounds must be positive"},
        {perdensity_fit({2.0, 0.1}, false, kVmax), "st_bounds must have lo <= hi"},
        {perdensity_fit(kSt, true, {-1.0, 1.0}), "vmax_bounds is searched on a logarithmic"},
        {perdensity_fit({2.0, 0.1}, true, kVmax), clamp_error},
        {exp_fit({-1.0, 1.0}, false, kVmax, kCo), "st_bounds is searched on a logarithmic"},
        {exp_fit(kSt, true, {1.0, std::nan("")}, kCo), "vmax_bounds is searched on a logarithmic"},
        {exp_fit({2.0, 0.1}, false, kVmax, kCo), clamp_error},
        {exp_fit(kSt, true, {10.0, 1.0}, kCo), clamp_error},
        {co_fit(kSt, {-1.0, 1.0}), "co_bounds must be positive"},
        {co_fit({2.0, 0.1}, kCo), clamp_error},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message_start);
        std::string message;
        const std::string err = stderr_of([&] { message = error_of(c.call); });
        EXPECT_EQ(message.rfind(c.message_start, 0), 0u) << message;
        EXPECT_EQ(err, "") << "work began before the check";
    }
    // Bounds of a Vmax that is not fitted (and has no warm start) are unused.
    EXPECT_NO_THROW(korvel::check_shared_exp_inputs(2, kSt, kCo, kExp, false, {10.0, -1.0},
                                                    std::nullopt));
}

// --------------------------------------------------------------- real fits

void expect_plain_nll(double nll, std::size_t d, double st, double cow, double coe, double n_u,
                      double n_m) {
    EXPECT_EQ(nll, korvel::model_nll(st, cow, coe, kTwoRows.row(d), kEdges, true, n_u, n_m,
                                     korvel::mm_vmax()))
        << "density " << d;
}

TEST(SharedSt, ReturnsThePlainNllOfEachDensityInsideTheBounds) {
    const korvel::SharedStFit fit =
        korvel::fit_shared_st_inner(kTwoRows, kEdges, true, kSt, kCo, 2.0, 2.0, 0.0, std::nullopt);
    EXPECT_GE(fit.st, kSt.lo);
    EXPECT_LE(fit.st, kSt.hi);
    ASSERT_EQ(fit.densities.size(), 2u);
    for (std::size_t d = 0; d < 2; ++d) {
        const korvel::CoFit& f = fit.densities[d];
        expect_plain_nll(f.nll, d, fit.st, f.cow, f.coe, 2.0, 2.0);
    }
}

// Every per-density fit is seeded with its density index, so the kernel is a
// function of its inputs: repeated calls agree to the bit, weights of ones
// change nothing, and a zero weight drops its bin from the search exactly.
TEST(SharedExp, SeededKernelIsDeterministicAndWeightsActExactly) {
    const korvel::SharedExpStart warm{0.8, 2.0, 2.0, 1.0};
    const auto run = [&](RowRange rows, korvel::OptionalWeights w) {
        return korvel::fit_shared_exp_inner(rows, kEdges, true, kSt, kCoNarrow, kExpNarrow, false,
                                            kVmax, 0.5, w, false, warm);
    };
    const korvel::SharedExpFit base = run(kTwoRows, std::nullopt);
    const std::vector<double> ones{1.0, 1.0, 7.0}, drop_second{1.0, 0.0};
    // A second call, with weights of ones (extra entries ignored): same bits.
    const korvel::SharedExpFit again = run(kTwoRows, std::span<const double>(ones));
    EXPECT_EQ(again.st, base.st);
    EXPECT_EQ(again.n_u, base.n_u);
    EXPECT_EQ(again.n_m, base.n_m);
    for (std::size_t d = 0; d < 2; ++d) {
        EXPECT_EQ(again.densities[d].cow, base.densities[d].cow);
        EXPECT_EQ(again.densities[d].nll, base.densities[d].nll);
    }
    EXPECT_EQ(base.vmax, kInf);
    // co_penalty = 0.5 steers the inner fits; the returned NLLs exclude it.
    for (std::size_t d = 0; d < 2; ++d) {
        const korvel::CoFit& f = base.densities[d];
        expect_plain_nll(f.nll, d, base.st, f.cow, f.coe, base.n_u, base.n_m);
    }

    const korvel::SharedExpFit dropped = run(kTwoRows, std::span<const double>(drop_second));
    const korvel::SharedExpFit alone = run(RowRange(kTwoRows, 0, 1), std::nullopt);
    EXPECT_EQ(dropped.st, alone.st);
    EXPECT_EQ(dropped.n_u, alone.n_u);
    EXPECT_EQ(dropped.densities[0].nll, alone.densities[0].nll);
}

TEST(SharedCo, PenaltyCountsOnceInTheSearchAndNeverInTheNlls) {
    const korvel::SharedCoStart warm{0.8, 1.0, 1.0};
    korvel::SharedCoFit fit{};
    const std::string err = stderr_of([&] {
        fit = korvel::fit_shared_co_inner(kTwoRows, kEdges, true, kSt, kCoNarrow, kExpNarrow, 1.0,
                                          std::nullopt, true, warm);
    });
    ASSERT_EQ(fit.densities.size(), 2u);
    for (std::size_t d = 0; d < 2; ++d) {
        const korvel::ExpFit& f = fit.densities[d];
        expect_plain_nll(f.nll, d, fit.st, fit.cow, fit.coe, f.n_u, f.n_m);
    }
    // The first evaluation is the warm start, (CoW, CoE) = (1, 1): its
    // printed total is the two bins' NLLs plus 1.0 * (1 + 1), once.
    const std::string first = lines_starting(err, "  [  1]")[0];
    double printed = 0.0;
    ASSERT_EQ(std::sscanf(first.c_str() + first.find("total NLL=") + 10, "%lf", &printed), 1);
    double nlls = 0.0;
    for (std::size_t d = 0; d < 2; ++d) {
        nlls += korvel::fit_exp_fixed_co_inner(kTwoRows.row(d), kEdges, true, 0.8, 1.0, 1.0,
                                               kExpNarrow, kInf, d)
                    .nll;
    }
    EXPECT_NEAR(printed, nlls + 2.0, 1e-6);  // printed with six decimals
}

TEST(SharedStPerDensityExp, BrentSearchReturnsPlainNllsAndTheRunWideVmax) {
    const RowRange one(kTwoRows, 1, 1);
    const korvel::SharedStExpFit fit = korvel::fit_shared_st_perdensity_exp_inner(
        one, kEdges, true, {0.5, 1.5}, kCoNarrow, kExpNarrow, false, kVmax, 0.0, std::nullopt);
    EXPECT_EQ(fit.vmax, kInf);
    ASSERT_EQ(fit.densities.size(), 1u);
    const korvel::CoExpFit& f = fit.densities[0];
    expect_plain_nll(f.nll, 1, fit.st, f.cow, f.coe, f.n_u, f.n_m);
}

// ---------------------------------------------------------------- Ctrl+C

TEST(SharedFits, InterruptedCallRunsNoStartAndNoFinalFit) {
    korvel::InterruptGuard call;
    std::raise(SIGINT);
    korvel::SharedExpFit fit{};
    const std::string err = stderr_of([&] {
        fit = korvel::fit_shared_exp_inner(kTwoRows, kEdges, true, kSt, kCo, kExp, false, kVmax,
                                           0.0, std::nullopt, true, std::nullopt,
                                           call.interruption());
    });
    EXPECT_TRUE(call.finish());
    EXPECT_EQ(err, "--- best start: 0 with NLL=inf ---\n");
    ASSERT_EQ(fit.densities.size(), 2u);
    EXPECT_TRUE(std::isnan(fit.densities[1].nll));
}

// Every shared objective adds its weighted terms in row order, whichever row
// finishes last: with row 0 finishing last, 1.0 is lost against 2^53 in row
// order (the total is 0), while in finish order the big terms cancel first
// and 1.0 survives. Weights multiply each term before the sum.
TEST(SharedObjective, AddsInRowOrderWhateverOrderTheRowsFinish) {
    // The pool is sized when first used; ctest runs each case in its own process.
    setenv("KORVEL_NUM_THREADS", "4", 0);
    if (korvel::pool_thread_count() < 2) GTEST_SKIP() << "needs a pool of two threads";
    const double terms[] = {0.5, 0x1p53, -0x1p53};
    const double weights[] = {2.0, 1.0, 1.0};
    const auto total = [&](korvel::OptionalWeights w) {
        return korvel::weighted_total(3, w, korvel::Interruption{}, [&](std::size_t d) {
            if (d == 0) std::this_thread::sleep_for(std::chrono::milliseconds(200));
            return terms[d];
        });
    };
    EXPECT_EQ(total(std::span<const double>(weights)), 0.0);
    // Without weights each term counts once: 0.5 is lost against 2^53 as well.
    EXPECT_EQ(total(std::nullopt), 0.0);
}

// Once the call is interrupted no further row's fit starts, however many rows
// remain: only the rows already running (one per thread) are evaluated, so
// Ctrl+C waits for one inner fit, not for a whole evaluation.
TEST(SharedObjective, NoRowStartsOnceTheCallIsInterrupted) {
    korvel::InterruptGuard call;
    const korvel::Interruption& stop = call.interruption();
    std::atomic<std::size_t> started{0};
    const double total = korvel::weighted_total(1000, std::nullopt, stop, [&](std::size_t d) {
        ++started;
        if (d == 0) std::raise(SIGINT);
        // Each running row waits for the signal, so no thread runs ahead of it.
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!stop.requested() && std::chrono::steady_clock::now() < give_up) {
            std::this_thread::yield();
        }
        return 1.0;
    });
    EXPECT_TRUE(call.finish());
    EXPECT_EQ(total, kInf);
    EXPECT_LE(started.load(), korvel::pool_thread_count());
}

}  // namespace
