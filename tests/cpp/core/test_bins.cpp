// Counting pairs into density and methylation bins.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/bins.h"

namespace {

TEST(Bins, EdgesBelongToTheBinTheyStartAndTheLastEdgeToTheLastBin) {
    const std::vector<double> edges{0.0, 0.5, 1.0, 2.0};
    EXPECT_EQ(korvel::bin_of(0.0, edges), 0);
    EXPECT_EQ(korvel::bin_of(0.5, edges), 1);
    EXPECT_EQ(korvel::bin_of(std::nextafter(0.5, 0.0), edges), 0);
    EXPECT_EQ(korvel::bin_of(2.0, edges), 2);
    EXPECT_EQ(korvel::bin_of(-0.0, edges), 0);
    for (double out : {-1e-300, std::nextafter(2.0, 3.0), std::numeric_limits<double>::quiet_NaN(),
                       std::numeric_limits<double>::infinity()}) {
        EXPECT_EQ(korvel::bin_of(out, edges), -1) << out;
    }
    EXPECT_EQ(korvel::bin_of(0.0, std::vector<double>{0.0}), -1);
}

TEST(Bins, CountsEachPairInItsCellAndTheRestAsOutside) {
    const std::vector<double> a_edges{0.0, 1.0, 2.0};
    const std::vector<double> b_edges{0.0, 0.5, 1.0};
    const std::vector<double> a{0.0, 1.0, 2.0, 2.5, 0.3, 1.5};
    const std::vector<double> b{1.0, 0.2, 0.5, 0.5, -0.1, 0.7};
    std::vector<std::int64_t> counts{10, 0, 0, 0};  // added to, not overwritten
    EXPECT_EQ(korvel::count_pairs(a, b, a_edges, b_edges, counts), 2u);
    EXPECT_EQ(counts, (std::vector<std::int64_t>{10, 1, 1, 2}));
    // A counts array of the wrong size is left alone.
    std::vector<std::int64_t> wrong(3, 0);
    EXPECT_EQ(korvel::count_pairs(a, b, a_edges, b_edges, wrong), a.size());
    EXPECT_EQ(wrong, (std::vector<std::int64_t>(3, 0)));
}

}  // namespace
