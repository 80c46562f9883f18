// tests/data/expm_golden.json (written by tools/make_expm_golden.cpp) against
// expm, bit for bit, with the Pade degree and scaling count of every case, on
// every instruction set this processor has.
// The accuracy tests in test_expm.cpp allow 1e-14; these pin the arithmetic
// itself: the coefficients, the thresholds and which powers decide them, the
// scaling count at exact powers of two, and the order of every operation.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>

#include "core/simd.h"
#include "drift/expm.h"
#include "tests/support/golden_json.h"

namespace {

using korvel_test::bits;
using korvel_test::to_double;
using korvel_test::Value;

TEST(ExpmGolden, EveryCaseBitForBitOnEveryPath) {
    const Value doc = korvel_test::read_golden(KORVEL_TEST_DATA_DIR "/expm_golden.json");
    ASSERT_EQ(doc["format"].text, "korvel-expm-golden-1");
    ASSERT_GE(doc["cases"].items.size(), 40u);
    const korvel::SimdPath in_use = korvel::simd_path();
    for (korvel::SimdPath path : korvel::supported_simd_paths()) {
        korvel::detail::force_simd_path(path);
        for (const Value& c : doc["cases"].items) {
            SCOPED_TRACE(std::string(korvel::simd_path_name(path)) + " " + c["id"].text);
            const std::size_t n = static_cast<std::size_t>(c["n"].integer());
            korvel::SquareMatrix a(n);
            for (const Value& e : c["input"].items) {
                const auto i = static_cast<std::size_t>(e.items[0].integer());
                const auto j = static_cast<std::size_t>(e.items[1].integer());
                ASSERT_TRUE(i < n && j < n);
                a(i, j) = to_double(e.items[2]);
            }
            korvel::ExpmPlan plan;
            const korvel::SquareMatrix got = korvel::expm(a, &plan);
            EXPECT_EQ(plan.degree, c["degree"].integer());
            EXPECT_EQ(plan.squarings, c["squarings"].integer());
            const auto& want = c["result"].items;
            ASSERT_EQ(want.size(), n * n);
            int wrong = 0;
            for (std::size_t i = 0; i < n * n; ++i) {
                if (bits(got(i / n, i % n)) != bits(to_double(want[i])) && wrong++ < 3) {
                    ADD_FAILURE() << "entry (" << i / n << ", " << i % n << "): " << got(i / n, i % n)
                                  << " != " << to_double(want[i]);
                }
            }
            EXPECT_EQ(wrong, 0) << "entries differing from the golden bits";
        }
    }
    korvel::detail::force_simd_path(in_use);
}

// Each coefficient b_j = C(m, j) / (2m (2m - 1) ... (2m - j + 1)) must be the
// double nearest to that rational. With c = M 2^e, that is
// |n / d - M 2^e| <= 2^(e - 1), checked exactly in 128-bit integers as
// |n 2^(1 - e) - 2 M d| <= d (every term stays below 2^111 for m <= 13).
TEST(ExpmGolden, PadeCoefficientsAreTheNearestDoubles) {
    using U = unsigned __int128;
    for (const int m : {3, 5, 7, 9, 13}) {
        const auto b = korvel::pade_coefficients(m);
        ASSERT_EQ(b.size(), static_cast<std::size_t>(m + 1));
        std::uint64_t binom = 1, falling = 1;  // C(m, j) and 2m (2m - 1) ...
        for (int j = 0; j <= m; ++j) {
            if (j > 0) {
                binom = binom * static_cast<std::uint64_t>(m - j + 1) / static_cast<std::uint64_t>(j);
                falling *= static_cast<std::uint64_t>(2 * m - j + 1);
            }
            int ex = 0;
            const double f = std::frexp(b[j], &ex);
            const U mant = static_cast<U>(std::ldexp(f, 53));
            const int shift = 1 - (ex - 53);
            ASSERT_TRUE(shift > 0 && shift < 120) << "m=" << m << " j=" << j;
            const U lhs = static_cast<U>(binom) << shift;
            const U rhs = 2 * mant * static_cast<U>(falling);
            const U diff = lhs > rhs ? lhs - rhs : rhs - lhs;
            EXPECT_TRUE(diff <= falling) << "m=" << m << " j=" << j << ": " << b[j] << " is not the nearest double to "
                                         << binom << "/" << falling;
        }
    }
    EXPECT_TRUE(korvel::pade_coefficients(11).empty());
}

}  // namespace
