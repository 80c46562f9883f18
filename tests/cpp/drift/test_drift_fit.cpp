// Fits of (StE, StW): reproducibility under a seed, recovery of the rates
// that generated the data, fixed boxes, and the bootstrap kernel's sample
// order, seeding, interruption and input checks.
#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "drift/drift.h"
#include "core/errors.h"
#include "core/row_matrix.h"
#include "core/interrupt.h"

namespace {

using korvel::DriftDistribution;
using korvel::DriftFit;
using korvel::RowMatrix;

const std::vector<double> kEdges = {0.0, 0.25, 0.5, 0.75, 1.0};
const std::vector<double> kAges = {3.0, 9.0};
constexpr double kSte = 0.05;
constexpr double kStw = 0.02;
const korvel::Bound kBox{0.0, 0.2};
const korvel::Interruption kNever{};

// Observed fractions exactly as the model predicts them at (StE, StW).
std::vector<std::vector<double>> predicted_rows(const DriftDistribution& p0, double ste, double stw) {
    std::vector<std::vector<double>> rows;
    for (const auto& p : korvel::propagate_drift(korvel::drift_generator(ste, stw), p0, kAges)) {
        rows.push_back(korvel::bin_drift_distribution(p, kEdges));
    }
    return rows;
}

std::vector<std::span<const double>> spans(const std::vector<std::vector<double>>& rows) {
    return {rows.begin(), rows.end()};
}

// Bootstrap-like samples: sample b's age-0 fractions are tilted by b.
std::vector<double> sample_p0(std::size_t b) {
    const double tilt = 0.05 * static_cast<double>(b);
    return {0.55 - tilt, 0.2, 0.1 + tilt, 0.15};
}

struct BootInputs {
    RowMatrix p0;
    RowMatrix observed;
};

BootInputs bootstrap_inputs(std::size_t n_boot) {
    BootInputs in{RowMatrix(n_boot, kEdges.size() - 1), RowMatrix(n_boot * kAges.size(), kEdges.size() - 1)};
    for (std::size_t b = 0; b < n_boot; ++b) {
        const std::vector<double> p0_obs = sample_p0(b);
        std::copy(p0_obs.begin(), p0_obs.end(), in.p0.mutable_row(b));
        const DriftDistribution p0 = korvel::drift_initial_distribution(p0_obs, kEdges);
        // Slightly different true rates per sample.
        const auto rows = predicted_rows(p0, kSte * (1.0 + 0.1 * b), kStw);
        for (std::size_t k = 0; k < rows.size(); ++k) {
            std::copy(rows[k].begin(), rows[k].end(), in.observed.mutable_row(b * kAges.size() + k));
        }
    }
    return in;
}

void expect_same_fit(const DriftFit& x, const DriftFit& y) {
    EXPECT_EQ(x.ste, y.ste);
    EXPECT_EQ(x.stw, y.stw);
    EXPECT_EQ(x.nll, y.nll);
}

TEST(FitDrift, SeededFitIsReproducibleAndRecoversTheGeneratingRates) {
    const DriftDistribution p0 = korvel::drift_initial_distribution(sample_p0(0), kEdges);
    const auto rows = predicted_rows(p0, kSte, kStw);
    const auto obs = spans(rows);
    const DriftFit first = korvel::fit_drift(p0, obs, kAges, kEdges, kBox, 7);
    const DriftFit again = korvel::fit_drift(p0, obs, kAges, kEdges, kBox, 7);
    expect_same_fit(first, again);

    // The data are the model's own predictions, so the minimum sits at the
    // generating rates; the polish stops at a value spread of 1e-10, which
    // leaves the rates determined to a few parts in 1e4.
    EXPECT_NEAR(first.ste / kSte, 1.0, 1e-3);
    EXPECT_NEAR(first.stw / kStw, 1.0, 1e-3);
    // The returned value is the objective at the returned point.
    EXPECT_EQ(first.nll, korvel::drift_nll(first.ste, first.stw, p0, obs, kAges, kEdges));
    EXPECT_LE(first.nll, korvel::drift_nll(kSte, kStw, p0, obs, kAges, kEdges) + 1e-10);
}

TEST(FitDrift, EqualBoundsFixBothRates) {
    const DriftDistribution p0 = korvel::drift_initial_distribution(sample_p0(1), kEdges);
    const auto rows = predicted_rows(p0, kSte, kStw);
    const auto obs = spans(rows);
    const DriftFit fixed = korvel::fit_drift(p0, obs, kAges, kEdges, korvel::Bound{0.03, 0.03}, 1);
    EXPECT_EQ(fixed.ste, 0.03);
    EXPECT_EQ(fixed.stw, 0.03);
    EXPECT_EQ(fixed.nll, korvel::drift_nll(0.03, 0.03, p0, obs, kAges, kEdges));
}

TEST(FitDrift, InvertedBoundsAreAnError) {
    const DriftDistribution p0 = korvel::drift_initial_distribution(sample_p0(0), kEdges);
    const auto rows = predicted_rows(p0, kSte, kStw);
    EXPECT_THROW((void)korvel::fit_drift(p0, spans(rows), kAges, kEdges, korvel::Bound{0.2, 0.1}, 3),
                 korvel::InternalError);
}

TEST(FitDriftBootstrap, RowBIsTheSeedBFitOfSampleB) {
    const std::size_t n_boot = 3;
    const BootInputs in = bootstrap_inputs(n_boot);
    const std::vector<DriftFit> rows =
        korvel::fit_drift_bootstrap(in.p0, in.observed, n_boot, kAges.size(), kAges, kEdges, kBox, kNever);
    ASSERT_EQ(rows.size(), n_boot);
    for (std::size_t b = 0; b < n_boot; ++b) {
        const DriftDistribution p0 = korvel::drift_initial_distribution(in.p0.row(b), kEdges);
        std::vector<std::span<const double>> obs;
        for (std::size_t k = 0; k < kAges.size(); ++k) obs.push_back(in.observed.row(b * kAges.size() + k));
        SCOPED_TRACE(::testing::Message() << "sample " << b);
        expect_same_fit(rows[b], korvel::fit_drift(p0, obs, kAges, kEdges, kBox, b));
        // Each sample's own rates come back, not a neighbour's.
        EXPECT_NEAR(rows[b].ste / (kSte * (1.0 + 0.1 * b)), 1.0, 1e-3);
    }
    EXPECT_TRUE(korvel::fit_drift_bootstrap(in.p0, in.observed, 0, kAges.size(), kAges, kEdges, kBox, kNever).empty());
}

TEST(FitDriftBootstrap, PendingInterruptSkipsEverySample) {
    const BootInputs in = bootstrap_inputs(4);
    korvel::InterruptGuard call;
    std::raise(SIGINT);
    const std::vector<DriftFit> rows = korvel::fit_drift_bootstrap(
        in.p0, in.observed, 4, kAges.size(), kAges, kEdges, kBox, call.interruption());
    EXPECT_TRUE(call.finish());
    ASSERT_EQ(rows.size(), 4u);
    for (const DriftFit& r : rows) {
        EXPECT_TRUE(std::isnan(r.ste));
        EXPECT_TRUE(std::isnan(r.stw));
        EXPECT_TRUE(std::isnan(r.nll));
    }
}

// A fit running when Ctrl+C arrives stops solving: every later evaluation is
// +inf at once, so a fit of many ages ends in milliseconds, not its full time.
TEST(FitDrift, InterruptedFitSolvesNothingMore) {
    const DriftDistribution p0 = korvel::drift_initial_distribution(sample_p0(0), kEdges);
    const auto rows = predicted_rows(p0, kSte, kStw);
    korvel::InterruptGuard call;
    std::raise(SIGINT);
    const DriftFit fit = korvel::fit_drift(p0, spans(rows), kAges, kEdges, kBox, 7,
                                           call.interruption());
    EXPECT_TRUE(call.finish());
    EXPECT_EQ(fit.nll, std::numeric_limits<double>::infinity());
}

std::string error_of(const std::function<void()>& call) {
    try {
        call();
    } catch (const korvel::InternalError& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(FitDriftBootstrap, ShortInputsAndOverflowingCountsFailBeforeAnyFit) {
    const BootInputs in = bootstrap_inputs(3);
    // Each of these would otherwise first fit the samples that are present;
    // the check must come at once (no interruption is passed, so a fit
    // started here would take seconds and return rows instead of failing).
    EXPECT_EQ(error_of([&] {
                  (void)korvel::fit_drift_bootstrap(in.p0, in.observed, 5, kAges.size(), kAges, kEdges, kBox, kNever);
              }),
              "p0_per_boot has 3 rows, fewer than n_boot = 5");
    EXPECT_EQ(error_of([&] {
                  (void)korvel::fit_drift_bootstrap(in.p0, in.observed, 3, 3, kAges, kEdges, kBox, kNever);
              }),
              "fit_observed_per_boot has 6 rows, fewer than n_boot * n_fit_ages = 9");
    const std::size_t huge = std::numeric_limits<std::size_t>::max() / 2 + 1;
    EXPECT_EQ(error_of([&] {
                  (void)korvel::fit_drift_bootstrap(in.p0, in.observed, 2, huge, kAges, kEdges, kBox, kNever);
              }),
              "n_boot * n_fit_ages overflows: n_boot = 2, n_fit_ages = " + std::to_string(huge));
    // A huge n_boot with a short array queues nothing.
    EXPECT_EQ(error_of([&] {
                  (void)korvel::fit_drift_bootstrap(in.p0, in.observed, huge, 0, kAges, kEdges, kBox, kNever);
              }),
              "p0_per_boot has 3 rows, fewer than n_boot = " + std::to_string(huge));
}

}  // namespace
