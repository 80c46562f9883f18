// Profile scans: each flattened pair's value lands where its grid point and
// density say, sums run over the densities with their weights, and the
// shapes follow the grids, empty ones included.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/errors.h"
#include "core/row_matrix.h"
#include "core/state.h"
#include "fits/density_fits.h"
#include "fits/profiles.h"

namespace {

using korvel::Bound;
using korvel::RowMatrix;

const std::vector<double> kEdges{0.0, 0.25, 0.5, 0.75, 1.0};
constexpr Bound kCo{0.3, 3.0};
// The per-point fits are keyed from entropy, so a value is compared with an
// independent fit of the same point: two global searches of these smooth
// one- and two-coordinate problems agree far inside this tolerance.
constexpr double kSameMinimum = 1e-6;

RowMatrix two_rows() {
    const double rows[2][4] = {{0.70, 0.15, 0.10, 0.05}, {0.40, 0.10, 0.10, 0.40}};
    RowMatrix m(2, 4);
    for (std::size_t i = 0; i < 2; ++i) std::memcpy(m.mutable_row(i), rows[i], sizeof rows[i]);
    return m;
}

TEST(ProfileSharedSt, EachGridPointIsTheWeightedSumOfItsDensityFits) {
    const RowMatrix rows = two_rows();
    const std::vector<double> grid{0.4, 1.5};
    const std::vector<double> weights{1.0, 0.5, 99.0};  // the extra entry is ignored
    const std::vector<double> profile = korvel::profile_shared_st_inner(
        rows, kEdges, true, grid, kCo, 2.0, 2.0, std::span<const double>(weights));
    ASSERT_EQ(profile.size(), 2u);
    for (std::size_t i = 0; i < grid.size(); ++i) {
        double expected = 0.0;
        for (std::size_t d = 0; d < 2; ++d) {
            expected += korvel::fit_co_fixed_st_inner(rows.row(d), kEdges, true, grid[i], 2.0, 2.0,
                                                      kCo, 0.0, korvel::mm_vmax(), d)
                            .nll *
                        weights[d];
        }
        EXPECT_NEAR(profile[i], expected, kSameMinimum) << "grid point " << i;
    }
}

TEST(ProfileSharedSt, EmptyGridsAndRowsAndBadInputs) {
    const RowMatrix rows = two_rows();
    const RowMatrix none(0, 4);
    EXPECT_TRUE(korvel::profile_shared_st_inner(rows, kEdges, true, {}, kCo, 2, 2, std::nullopt)
                    .empty());
    EXPECT_EQ(korvel::profile_shared_st_inner(none, kEdges, true, std::vector<double>{0.5, 1.0},
                                              kCo, 2, 2, std::nullopt),
              (std::vector<double>{0.0, 0.0}));
    const std::vector<double> short_weights{1.0};
    EXPECT_THROW(korvel::profile_shared_st_inner(rows, kEdges, true, std::vector<double>{1.0}, kCo,
                                                 2, 2, std::span<const double>(short_weights)),
                 korvel::InternalError);
    EXPECT_THROW(korvel::profile_shared_co_inner(rows, kEdges, true, 1.0, std::vector<double>{1.0},
                                                 std::vector<double>{1.0}, {0.0, 3.0}, 2, 2),
                 korvel::InternalError);
}

TEST(ProfileSharedCo, TablesAreDensityByPointForEachScan) {
    const RowMatrix rows = two_rows();
    const std::vector<double> cow_grid{0.5, 2.0};
    const std::vector<double> coe_grid{0.5, 1.0, 2.0};
    // Unequal exponents: each must reach the inner fit in its own place.
    const korvel::CoProfiles p =
        korvel::profile_shared_co_inner(rows, kEdges, true, 0.8, cow_grid, coe_grid, kCo, 1.5, 3);
    ASSERT_EQ(p.cow_nll.size(), 4u);
    ASSERT_EQ(p.coe_nll.size(), 6u);
    for (std::size_t d = 0; d < 2; ++d) {
        for (std::size_t k = 0; k < cow_grid.size(); ++k) {
            EXPECT_NEAR(p.cow_nll[d * 2 + k],
                        korvel::fit_single_co_inner(rows.row(d), kEdges, true, 0.8, cow_grid[k],
                                                    true, 1.5, 3, kCo),
                        kSameMinimum);
        }
        for (std::size_t k = 0; k < coe_grid.size(); ++k) {
            EXPECT_NEAR(p.coe_nll[d * 3 + k],
                        korvel::fit_single_co_inner(rows.row(d), kEdges, true, 0.8, coe_grid[k],
                                                    false, 1.5, 3, kCo),
                        kSameMinimum);
        }
    }
}

}  // namespace
