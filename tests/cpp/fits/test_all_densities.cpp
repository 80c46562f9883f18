// The all-densities maps: row i is exactly the single fit of row i keyed with
// seed i, whatever thread ran it; no rows give no results; a failing row ends
// the whole call.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "core/errors.h"
#include "core/pool.h"
#include "fits/all_densities.h"
#include "fits/density_fits.h"

namespace {

using korvel::Bound;
using korvel::RowMatrix;

constexpr Bound kStBounds{0.01, 10.0};
constexpr Bound kCoBounds{1e-3, 1e3};
constexpr Bound kExpBounds{1.0, 4.0};
const std::vector<double> kEdges{0.0, 0.25, 0.5, 0.75, 1.0};

// Three density bins with four methylation bins each: mostly unmethylated,
// bimodal, mostly methylated, as the density bins of a real sample run.
RowMatrix three_rows() {
    const double rows[3][4] = {
        {0.70, 0.15, 0.10, 0.05},
        {0.40, 0.10, 0.10, 0.40},
        {0.05, 0.10, 0.20, 0.65},
    };
    RowMatrix m(3, 4);
    for (std::size_t i = 0; i < 3; ++i) std::memcpy(m.mutable_row(i), rows[i], sizeof rows[i]);
    return m;
}

std::vector<std::uint64_t> bits(std::initializer_list<double> fields) {
    std::vector<std::uint64_t> out;
    for (double v : fields) out.push_back(std::bit_cast<std::uint64_t>(v));
    return out;
}
auto bits_of(const korvel::DensityFit& f) { return bits({f.st, f.cow, f.coe, f.nll}); }
auto bits_of(const korvel::DensityExpFit& f) {
    return bits({f.st, f.cow, f.coe, f.n_u, f.n_m, f.nll});
}

TEST(AllDensities, RowIsTheSingleFitSeededWithItsIndex) {
    const RowMatrix obs = three_rows();
    ASSERT_GT(korvel::pool_thread_count(), 0u);
    // A non-zero penalty also covers the rescoring of the NLL without it.
    for (double penalty : {0.0, 0.5}) {
        const auto all = korvel::fit_all_densities(obs, kEdges, true, kStBounds, kCoBounds, 2.0,
                                                   2.0, penalty);
        ASSERT_EQ(all.size(), 3u);
        for (std::size_t i = 0; i < 3; ++i) {
            const auto one = korvel::fit_one_density_inner(obs.row(i), kEdges, true, kStBounds,
                                                           kCoBounds, 2.0, 2.0, penalty, i);
            EXPECT_EQ(bits_of(all[i]), bits_of(one)) << "row " << i << " penalty " << penalty;
        }
        // Rows are different data, so their fits differ: a map that wrote one
        // row's result everywhere would not pass.
        EXPECT_NE(bits_of(all[0]), bits_of(all[2]));
    }
}

TEST(AllDensities, ExpRowIsTheSingleFitSeededWithItsIndex) {
    const RowMatrix obs = three_rows();
    const auto all =
        korvel::fit_all_densities_exp(obs, kEdges, false, kStBounds, kCoBounds, kExpBounds, 0.0);
    ASSERT_EQ(all.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        const auto one = korvel::fit_one_density_exp_inner(obs.row(i), kEdges, false, kStBounds,
                                                           kCoBounds, kExpBounds, 0.0, i);
        EXPECT_EQ(bits_of(all[i]), bits_of(one)) << "row " << i;
    }
}

TEST(AllDensities, NoRowsGiveNoResults) {
    const RowMatrix none(0, 4);
    EXPECT_TRUE(
        korvel::fit_all_densities(none, kEdges, true, kStBounds, kCoBounds, 2.0, 2.0, 0.0).empty());
    EXPECT_TRUE(korvel::fit_all_densities_exp(none, kEdges, true, kStBounds, kCoBounds, kExpBounds,
                                              0.0)
                    .empty());
}

// The message a single fit of `row` keyed with `seed` ends with.
std::string single_fit_error(std::span<const double> row, std::uint64_t seed) {
    try {
        korvel::fit_one_density_inner(row, kEdges, true, kStBounds, kCoBounds, 2.0, 2.0, 0.0, seed);
    } catch (const korvel::InternalError& e) {
        return e.what();
    }
    return "";
}

TEST(AllDensities, NaNRowsEndTheWholeCallWithTheLowestRowsError) {
    // Every objective value of a NaN row is NaN, which the Nelder-Mead polish
    // refuses. Rows 1 and 3 fail; their seeded searches stop at different
    // points, so the messages tell which row's error the call reports.
    RowMatrix obs(4, 4);
    const RowMatrix good = three_rows();
    for (std::size_t i = 0; i < 4; ++i) {
        for (std::size_t j = 0; j < 4; ++j) {
            obs.mutable_row(i)[j] = (i % 2 == 1) ? std::nan("") : good.row(i / 2)[j];
        }
    }
    const std::string row1 = single_fit_error(obs.row(1), 1);
    const std::string row3 = single_fit_error(obs.row(3), 3);
    ASSERT_NE(row1.find("NaN"), std::string::npos) << row1;
    ASSERT_NE(row1, row3);
    try {
        korvel::fit_all_densities(obs, kEdges, true, kStBounds, kCoBounds, 2.0, 2.0, 0.0);
        FAIL() << "a NaN row must end the call";
    } catch (const korvel::InternalError& e) {
        EXPECT_EQ(std::string(e.what()), row1);
    }
}

}  // namespace
