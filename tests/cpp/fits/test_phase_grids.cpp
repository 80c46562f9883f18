// Phase measures, including the uniform fallback that Python can hardly reach.
#include <gtest/gtest.h>

#include <cmath>

#include "core/state.h"
#include "fits/phase_grids.h"
#include "model/model.h"

namespace {

TEST(PhaseMeasures, UniformFallbackFigures) {
    // All four rates zero: every pivot after the first vanishes and the solve
    // falls back to 1/71 in every state.
    const korvel::StateVector p = korvel::stationary_distribution(0, 0, 0, 0, 2, 2, INFINITY);
    for (double v : p) ASSERT_EQ(v, 1.0 / 71.0);
    const korvel::PhaseMeasures m = korvel::phase_measures(p);
    // 14 low states, 14 high states, 43 intermediate ones; sums of 71 equal
    // terms are exact to a few ulps.
    EXPECT_NEAR(m.bistability, 784.0 / 5041.0, 1e-15);
    EXPECT_NEAR(m.avg_meth, 0.5, 1e-15);
    EXPECT_NEAR(m.entropy, std::log(71.0), 1e-13);
    EXPECT_NEAR(m.frac_inter, 43.0 / 71.0, 1e-15);
}

TEST(PhaseMeasures, ThresholdStatesAreIntermediate) {
    korvel::StateVector p{};
    p[14] = 0.5;  // x = 0.2
    p[56] = 0.5;  // x = 0.8
    const korvel::PhaseMeasures m = korvel::phase_measures(p);
    EXPECT_EQ(m.frac_inter, 1.0);
    EXPECT_EQ(m.bistability, 0.0);
    p = {};
    p[13] = 0.5;
    p[57] = 0.5;
    EXPECT_EQ(korvel::phase_measures(p).bistability, 1.0);
}

TEST(PhaseMeasures, NonPositiveEntriesCarryNoEntropy) {
    korvel::StateVector p{};
    p[0] = 1.0;
    p[1] = -0.0;
    p[2] = -1e-300;
    EXPECT_EQ(korvel::phase_measures(p).entropy, 0.0);
}

TEST(PhaseGrids, GridOrderAndVmaxReadOncePerCall) {
    const double cow[] = {-1.0, 0.5};
    const double coe[] = {0.0, 1.0, 2.0};
    const korvel::PhaseGrids g = korvel::compute_phase_grids(0.3, true, cow, coe, 2.0, 2.0);
    ASSERT_EQ(g.avg_meth.size(), 6u);
    const korvel::StateVector p = korvel::stationary_distribution(
        0.3, 1.0, std::pow(10.0, 0.5), std::pow(10.0, 2.0), 2.0, 2.0, korvel::mm_vmax());
    EXPECT_EQ(g.avg_meth[1 * 3 + 2], korvel::phase_measures(p).avg_meth);
}

}  // namespace
