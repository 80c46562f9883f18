// The bin interval test that the model's and the drift's binning share.
#include <gtest/gtest.h>

#include <cstddef>
#include <limits>
#include <vector>

#include "core/sites.h"

namespace {

struct BinCase {
    std::vector<double> edges;
    double x;
    std::vector<bool> in;  // expected answer for each bin j
};

TEST(InMethBin, InnerBinsOpenAboveLastBinClosed) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<BinCase> cases = {
        {{0.0, 0.5, 1.0}, 0.0, {true, false}},
        {{0.0, 0.5, 1.0}, 0.5, {false, true}},  // an inner edge opens the upper bin
        {{0.0, 0.5, 1.0}, 1.0, {false, true}},  // the last bin is closed above
        {{0.0, 0.5, 1.0}, 1.5, {false, false}},
        {{0.0, 0.5, 1.0}, -0.1, {false, false}},
        {{0.0, 0.5, 1.0}, nan, {false, false}},
        {{0.0, 0.5, 1.0, 2.0}, 1.0, {false, false, true}},  // bin 1 is inner: open
        {{0.0, nan, 1.0}, 0.25, {false, false}},
        {{0.0, 1.0}, 1.0, {true}},
    };
    for (const BinCase& c : cases) {
        for (std::size_t j = 0; j < c.in.size(); ++j) {
            EXPECT_EQ(korvel::in_meth_bin(c.edges, j, c.x), c.in[j])
                << "x = " << c.x << ", bin " << j << " of " << c.in.size();
        }
    }
}

}  // namespace
