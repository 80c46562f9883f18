// Bootstrap refits in C++: the shared modes' rows are their kernel's result on
// each resample's block, an interrupted call runs no task, and a result too
// large for memory is refused. The independent and fixed-St modes, the row
// checks and Ctrl+C are tested through the bindings (tests/python).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <thread>
#include <limits>
#include <optional>
#include <vector>

#include "core/errors.h"
#include "core/interrupt.h"
#include "core/state.h"
#include "fits/bootstrap.h"
#include "fits/density_fits.h"
#include "fits/shared_fits.h"

namespace {

using korvel::Bound;
using korvel::BootstrapData;
using korvel::BootstrapTable;
using korvel::RowMatrix;
using korvel::RowRange;

// Narrow boxes around the data's optimum keep every fit short.
constexpr Bound kStBounds{0.5, 2.0};
constexpr Bound kCoBounds{1.0, 100.0};
constexpr Bound kExpBounds{1.5, 2.5};
constexpr Bound kVmaxBounds{1.0, 1e3};
const std::vector<double> kEdges{0.0, 0.25, 0.5, 0.75, 1.0};
constexpr std::size_t kDens = 2;

// Two resamples of two density bins: four distinct rows.
RowMatrix resamples() {
    const double rows[4][4] = {
        {0.40, 0.10, 0.10, 0.40},
        {0.30, 0.10, 0.15, 0.45},
        {0.45, 0.10, 0.10, 0.35},
        {0.25, 0.15, 0.15, 0.45},
    };
    RowMatrix m(4, 4);
    for (std::size_t i = 0; i < 4; ++i) std::memcpy(m.mutable_row(i), rows[i], sizeof rows[i]);
    return m;
}

const korvel::Interruption kNever{};

// Compares a table row with the expected values bit for bit (NaN included).
void expect_row(const BootstrapTable& t, std::size_t r, std::initializer_list<double> want) {
    ASSERT_EQ(want.size(), t.cols);
    std::size_t j = 0;
    for (double w : want) {
        const double got = t.values[r * t.cols + j];
        EXPECT_EQ(std::memcmp(&got, &w, sizeof w), 0) << "row " << r << " col " << j << ": "
                                                      << got << " vs " << w;
        ++j;
    }
}

// The shared kernels are run on each resample's own block: the rows are the
// kernel's result laid out with the resample index.
TEST(Bootstrap, SharedExponentRowsAreTheKernelsResultPerResample) {
    const RowMatrix m = resamples();
    const BootstrapData data{m, 2, kDens, kEdges, true};
    const korvel::SharedExpStart warm{1.0, 2.0, 2.0, 10.0};
    const std::vector<double> weights{1.0, 6.0};
    const BootstrapTable t = korvel::fit_bootstrap_exp(data, kStBounds, kCoBounds, kExpBounds,
                                                       0.0, weights, warm, true, kVmaxBounds,
                                                       kNever);
    ASSERT_EQ(t.rows(), 4u);
    for (std::size_t b = 0; b < 2; ++b) {
        const auto fit = korvel::fit_shared_exp_inner(
            RowRange(m, b * kDens, kDens), kEdges, true, kStBounds, kCoBounds, kExpBounds, true,
            kVmaxBounds, 0.0, weights, false, warm);
        for (std::size_t d = 0; d < kDens; ++d) {
            const auto& c = fit.densities[d];
            expect_row(t, b * kDens + d, {double(b), double(d), fit.st, fit.n_u, fit.n_m, c.cow,
                                          c.coe, c.nll, fit.vmax});
        }
    }
}

// Vmax is not fitted in this mode: its column is the run-wide ceiling the
// fits ran with, set here to a value that is not the default.
TEST(Bootstrap, SharedCoRowsAreTheKernelsResultPerResample) {
    const RowMatrix m = resamples();
    const BootstrapData data{m, 2, kDens, kEdges, false};
    korvel::set_mm_vmax(40.0);
    const korvel::SharedCoStart warm{1.0, 10.0, 10.0};
    const std::vector<double> weights{1.0, 0.5, 7.0};  // the extra entry is ignored
    const BootstrapTable t = korvel::fit_bootstrap_co(data, kStBounds, kCoBounds, kExpBounds,
                                                      0.0, weights, warm, kNever);
    ASSERT_EQ(t.rows(), 4u);
    for (std::size_t b = 0; b < 2; ++b) {
        const auto fit =
            korvel::fit_shared_co_inner(RowRange(m, b * kDens, kDens), kEdges, false, kStBounds,
                                        kCoBounds, kExpBounds, 0.0, weights, false, warm);
        for (std::size_t d = 0; d < kDens; ++d) {
            const auto& e = fit.densities[d];
            expect_row(t, b * kDens + d, {double(b), double(d), fit.st, e.n_u, e.n_m, fit.cow,
                                          fit.coe, e.nll, 40.0});
        }
    }
    korvel::set_mm_vmax(std::numeric_limits<double>::infinity());
}

// Counting a call's work changes none of its rows; the counts, read by
// another thread while the call runs, end at every row of the result and
// more fits than rows, each resample being a search that refits its rows at
// every point.
TEST(Bootstrap, CountedWorkChangesNoRowAndEndsAtEveryRow) {
    const RowMatrix m = resamples();
    const BootstrapData data{m, 2, kDens, kEdges, true};
    const korvel::SharedExpStart warm{1.0, 2.0, 2.0, 10.0};
    const auto run = [&](const korvel::Interruption& interruption) {
        return korvel::fit_bootstrap_exp(data, kStBounds, kCoBounds, kExpBounds, 0.0,
                                         std::nullopt, warm, true, kVmaxBounds, interruption);
    };
    const BootstrapTable plain = run(kNever);
    korvel::WorkCount work;
    std::atomic<bool> done{false};
    std::int64_t most_seen = 0;
    std::thread reader([&] {
        while (!done.load()) {
            most_seen = std::max(most_seen, work.fits.load());
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    BootstrapTable counted;
    {
        korvel::InterruptGuard guard(&work);
        counted = run(guard.interruption());
        EXPECT_FALSE(guard.finish());
    }
    done.store(true);
    reader.join();
    ASSERT_EQ(counted.values.size(), plain.values.size());
    EXPECT_EQ(std::memcmp(counted.values.data(), plain.values.data(),
                          plain.values.size() * sizeof(double)),
              0);
    EXPECT_EQ(work.rows.load(), 4);
    EXPECT_GT(work.fits.load(), 4);
    EXPECT_LE(most_seen, work.fits.load());
}

// Density 0's fit gives the resample its St; every other density's (CoW, CoE)
// is refitted at that St with the run-wide Vmax and its own row's seed, so no
// two resamples share a seed.
TEST(Bootstrap, FixedStRowsAreRefitsAtDensityZerosStWithTheirRowsSeed) {
    const RowMatrix m = resamples();
    const BootstrapData data{m, 2, kDens, kEdges, true};
    korvel::set_mm_vmax(3.0);
    const BootstrapTable t =
        korvel::fit_bootstrap(data, korvel::ThreeParamMode::kFixedSt, kStBounds, kCoBounds, 2.0,
                              2.0, 0.0, std::nullopt, kNever);
    ASSERT_EQ(t.rows(), 4u);
    for (std::size_t b = 0; b < 2; ++b) {
        const std::size_t r = b * kDens + 1;
        const double st = t.values[b * kDens * t.cols + 2];
        const korvel::CoFit fit = korvel::fit_co_fixed_st_inner(
            m.row(r), kEdges, true, st, 2.0, 2.0, kCoBounds, 0.0, 3.0, r);
        expect_row(t, r, {double(b), 1.0, st, fit.cow, fit.coe, fit.nll});
    }
    korvel::set_mm_vmax(std::numeric_limits<double>::infinity());
}

// Every task looks at the handle first: once it is requested nothing runs
// and no rows come back, in every mode.
TEST(Bootstrap, InterruptedCallRunsNoTask) {
    struct sigaction saved {};
    sigaction(SIGINT, nullptr, &saved);
    korvel::InterruptGuard guard;
    std::raise(SIGINT);
    const korvel::Interruption& stop = guard.interruption();
    ASSERT_TRUE(stop.requested());

    const RowMatrix m = resamples();
    const BootstrapData data{m, 2, kDens, kEdges, true};
    using korvel::ThreeParamMode;
    const std::vector<BootstrapTable> tables = {
        korvel::fit_bootstrap(data, ThreeParamMode::kIndependent, kStBounds, kCoBounds, 2.0, 2.0,
                              0.0, std::nullopt, stop),
        korvel::fit_bootstrap(data, ThreeParamMode::kFixedSt, kStBounds, kCoBounds, 2.0, 2.0,
                              0.0, std::nullopt, stop),
        korvel::fit_bootstrap(data, ThreeParamMode::kSharedSt, kStBounds, kCoBounds, 2.0, 2.0,
                              0.0, std::nullopt, stop),
        korvel::fit_bootstrap_exp(data, kStBounds, kCoBounds, kExpBounds, 0.0, std::nullopt,
                                  std::nullopt, false, kVmaxBounds, stop),
        korvel::fit_bootstrap_exp_perdensity(data, false, kStBounds, kCoBounds, kExpBounds, 0.0,
                                             std::nullopt, false, kVmaxBounds, stop),
        korvel::fit_bootstrap_exp_perdensity(data, true, kStBounds, kCoBounds, kExpBounds, 0.0,
                                             std::nullopt, false, kVmaxBounds, stop),
        korvel::fit_bootstrap_co(data, kStBounds, kCoBounds, kExpBounds, 0.0, std::nullopt,
                                 std::nullopt, stop),
    };
    for (const BootstrapTable& t : tables) EXPECT_EQ(t.rows(), 0u);
    EXPECT_TRUE(guard.finish());
    sigaction(SIGINT, &saved, nullptr);
}

// No columns: rows are free in memory, the result's nine values per row are
// not. max / 16 rows of nine doubles need more bytes than a size_t counts,
// though not more doubles.
TEST(Bootstrap, ResultTooLargeForMemoryIsRefused) {
    const RowMatrix wide(std::numeric_limits<std::size_t>::max() / 16, 0);
    const BootstrapData huge{wide, wide.rows(), 1, kEdges, true};
    EXPECT_THROW(korvel::fit_bootstrap_exp_perdensity(huge, false, kStBounds, kCoBounds,
                                                      kExpBounds, 0.0, std::nullopt, false,
                                                      kVmaxBounds, kNever),
                 korvel::InternalError);
}

}  // namespace
