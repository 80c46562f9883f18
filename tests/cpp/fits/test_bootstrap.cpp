// Bootstrap refits: each row is exactly the fit its mode prescribes, with the
// seed its mode prescribes, laid out in the order of r; bad inputs fail before
// any fit; an interrupted call runs no task.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string>
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

TEST(Bootstrap, IndependentRowIsTheSingleFitSeededWithR) {
    const RowMatrix m = resamples();
    const BootstrapData data{m, 2, kDens, kEdges, true};
    const BootstrapTable t =
        korvel::fit_bootstrap(data, korvel::ThreeParamMode::kIndependent, kStBounds, kCoBounds,
                              2.0, 2.0, 0.5, std::nullopt, kNever);
    ASSERT_EQ(t.rows(), 4u);
    for (std::size_t r = 0; r < 4; ++r) {
        const auto f = korvel::fit_one_density_inner(m.row(r), kEdges, true, kStBounds, kCoBounds,
                                                     2.0, 2.0, 0.5, r);
        expect_row(t, r, {double(r / kDens), double(r % kDens), f.st, f.cow, f.coe, f.nll});
    }
}

TEST(Bootstrap, FixedStHoldsDensityZerosStWithinEachResample) {
    const RowMatrix m = resamples();
    const BootstrapData data{m, 2, kDens, kEdges, false};
    const BootstrapTable t = korvel::fit_bootstrap(data, korvel::ThreeParamMode::kFixedSt,
                                                   kStBounds, kCoBounds, 2.0, 2.0, 0.0,
                                                   std::nullopt, kNever);
    ASSERT_EQ(t.rows(), 4u);
    for (std::size_t b = 0; b < 2; ++b) {
        const std::size_t r0 = b * kDens;
        const auto first = korvel::fit_one_density_inner(m.row(r0), kEdges, false, kStBounds,
                                                         kCoBounds, 2.0, 2.0, 0.0, r0);
        expect_row(t, r0, {double(b), 0.0, first.st, first.cow, first.coe, first.nll});
        const auto rest = korvel::fit_co_fixed_st_inner(m.row(r0 + 1), kEdges, false, first.st,
                                                        2.0, 2.0, kCoBounds, 0.0,
                                                        korvel::mm_vmax(), r0 + 1);
        expect_row(t, r0 + 1, {double(b), 1.0, first.st, rest.cow, rest.coe, rest.nll});
    }
}

TEST(Bootstrap, PerdensityIndependentRowIsTheFiveParameterFitSeededWithR) {
    const RowMatrix m = resamples();
    const BootstrapData data{m, 1, 3, kEdges, true};  // one resample of three densities
    // fit_vmax and vmax_bounds play no part here: inverted bounds are not even read.
    const BootstrapTable t = korvel::fit_bootstrap_exp_perdensity(
        data, false, kStBounds, kCoBounds, kExpBounds, 0.0, std::nullopt, true, {5.0, 1.0},
        kNever);
    ASSERT_EQ(t.rows(), 3u);
    for (std::size_t r = 0; r < 3; ++r) {
        const auto f = korvel::fit_one_density_exp_inner(m.row(r), kEdges, true, kStBounds,
                                                         kCoBounds, kExpBounds, 0.0, r);
        expect_row(t, r, {0.0, double(r), f.st, f.n_u, f.n_m, f.cow, f.coe, f.nll,
                          std::numeric_limits<double>::infinity()});
    }
}

// The shared kernels are run on each resample's own block: the rows are the
// kernel's result laid out with the resample index.
TEST(Bootstrap, SharedExponentRowsAreTheKernelsResultPerResample) {
    const RowMatrix m = resamples();
    const BootstrapData data{m, 2, kDens, kEdges, true};
    const korvel::SharedExpStart warm{1.0, 2.0, 2.0, 10.0};
    const BootstrapTable t = korvel::fit_bootstrap_exp(data, kStBounds, kCoBounds, kExpBounds,
                                                       0.0, std::nullopt, warm, true,
                                                       kVmaxBounds, kNever);
    ASSERT_EQ(t.rows(), 4u);
    for (std::size_t b = 0; b < 2; ++b) {
        const auto fit = korvel::fit_shared_exp_inner(
            RowRange(m, b * kDens, kDens), kEdges, true, kStBounds, kCoBounds, kExpBounds, true,
            kVmaxBounds, 0.0, std::nullopt, false, warm);
        for (std::size_t d = 0; d < kDens; ++d) {
            const auto& c = fit.densities[d];
            expect_row(t, b * kDens + d, {double(b), double(d), fit.st, fit.n_u, fit.n_m, c.cow,
                                          c.coe, c.nll, fit.vmax});
        }
    }
}

TEST(Bootstrap, SharedCoRowsAreTheKernelsResultPerResample) {
    const RowMatrix m = resamples();
    const BootstrapData data{m, 2, kDens, kEdges, false};
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
                                          fit.coe, e.nll, korvel::mm_vmax()});
        }
    }
}

// The failures a caller would otherwise meet only after long fits come first.
TEST(Bootstrap, ShortOrOverflowingLayoutsFailBeforeAnyFit) {
    const RowMatrix m = resamples();
    const auto run = [&](std::size_t n_boot, std::size_t n_dens) {
        const BootstrapData data{m, n_boot, n_dens, kEdges, true};
        return korvel::fit_bootstrap(data, korvel::ThreeParamMode::kIndependent, kStBounds,
                                     kCoBounds, 2.0, 2.0, 0.0, std::nullopt, kNever);
    };
    const auto message = [&](std::size_t n_boot, std::size_t n_dens) -> std::string {
        try {
            run(n_boot, n_dens);
        } catch (const korvel::InternalError& e) {
            return e.what();
        }
        return "no error";
    };
    // Had the fits of the rows present run first, the task reaching row 4
    // would have reported the missing row instead.
    EXPECT_EQ(message(1'000'000, 2),
              "bootstrap_fracs has 4 rows, fewer than n_boot * n_densities = 2000000");
    EXPECT_EQ(message(std::size_t{1} << 40, std::size_t{1} << 30),
              "n_boot * n_densities overflows: n_boot = 1099511627776, n_densities = 1073741824");
    EXPECT_EQ(run(0, 2).rows(), 0u);
    EXPECT_EQ(run(0, 2).cols, korvel::kBootstrapColumns);

    // No columns: rows are free in memory, the result's nine values per row are not.
    const RowMatrix wide(std::numeric_limits<std::size_t>::max() / 8, 0);
    const BootstrapData huge{wide, wide.rows(), 1, kEdges, true};
    EXPECT_THROW(korvel::fit_bootstrap_exp_perdensity(huge, false, kStBounds, kCoBounds,
                                                      kExpBounds, 0.0, std::nullopt, false,
                                                      kVmaxBounds, kNever),
                 korvel::InternalError);
}

TEST(Bootstrap, BadBoundsAndShortWeightsFailBeforeAnyFit) {
    const RowMatrix m = resamples();
    const BootstrapData data{m, 2, kDens, kEdges, true};
    const std::vector<double> one_weight{1.0};
    const auto three = [&](korvel::ThreeParamMode mode, Bound co, korvel::OptionalWeights w) {
        return korvel::fit_bootstrap(data, mode, kStBounds, co, 2.0, 2.0, 0.0, w, kNever);
    };
    using korvel::ThreeParamMode;
    for (ThreeParamMode mode : {ThreeParamMode::kIndependent, ThreeParamMode::kFixedSt,
                                ThreeParamMode::kSharedSt}) {
        EXPECT_THROW(three(mode, {0.0, 10.0}, std::nullopt), korvel::InternalError);
    }
    // Weights are read only by the shared-St mode, so only it checks them.
    EXPECT_THROW(three(ThreeParamMode::kSharedSt, kCoBounds, one_weight), korvel::InternalError);
    EXPECT_THROW(korvel::fit_bootstrap_exp(data, kStBounds, kCoBounds, kExpBounds, 0.0,
                                           one_weight, std::nullopt, false, kVmaxBounds, kNever),
                 korvel::InternalError);
    EXPECT_THROW(korvel::fit_bootstrap_co(data, {0.0, 1.0}, kCoBounds, kExpBounds, 0.0,
                                          std::nullopt, std::nullopt, kNever),
                 korvel::InternalError);
    EXPECT_THROW(korvel::fit_bootstrap_exp_perdensity(data, true, kStBounds, kCoBounds,
                                                      kExpBounds, 0.0, std::nullopt, true,
                                                      {-1.0, 10.0}, kNever),
                 korvel::InternalError);
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
    for (ThreeParamMode mode : {ThreeParamMode::kIndependent, ThreeParamMode::kFixedSt,
                                ThreeParamMode::kSharedSt}) {
        EXPECT_EQ(korvel::fit_bootstrap(data, mode, kStBounds, kCoBounds, 2.0, 2.0, 0.0,
                                        std::nullopt, stop)
                      .rows(),
                  0u);
    }
    EXPECT_EQ(korvel::fit_bootstrap_exp(data, kStBounds, kCoBounds, kExpBounds, 0.0,
                                        std::nullopt, std::nullopt, false, kVmaxBounds, stop)
                  .rows(),
              0u);
    for (bool shared : {false, true}) {
        EXPECT_EQ(korvel::fit_bootstrap_exp_perdensity(data, shared, kStBounds, kCoBounds,
                                                       kExpBounds, 0.0, std::nullopt, false,
                                                       kVmaxBounds, stop)
                      .rows(),
                  0u);
    }
    EXPECT_EQ(korvel::fit_bootstrap_co(data, kStBounds, kCoBounds, kExpBounds, 0.0, std::nullopt,
                                       std::nullopt, stop)
                  .rows(),
              0u);
    EXPECT_TRUE(guard.finish());
    sigaction(SIGINT, &saved, nullptr);
}

}  // namespace
