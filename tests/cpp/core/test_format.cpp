// Number formatting of progress lines and error messages.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "core/format.h"

namespace {

using korvel::format_fixed;
using korvel::format_shortest;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(FormatFixed, DigitsAndExplicitSign) {
    EXPECT_EQ(format_fixed(1.0, 6), "1.000000");
    EXPECT_EQ(format_fixed(123.4567891, 6), "123.456789");
    EXPECT_EQ(format_fixed(-2.0, 3, true), "-2.000");
    EXPECT_EQ(format_fixed(0.0, 3, true), "+0.000");
    EXPECT_EQ(format_fixed(2.5, 3, true), "+2.500");
    EXPECT_EQ(format_fixed(1e20, 2), "100000000000000000000.00");
    // A tiny negative value keeps its sign after rounding, like a negative zero.
    EXPECT_EQ(format_fixed(-1e-9, 3), "-0.000");
    // 0.0005 is stored slightly above one half-unit, so it rounds up.
    EXPECT_EQ(format_fixed(0.0005, 3), "0.001");
    EXPECT_EQ(format_fixed(-std::numeric_limits<double>::max(), 0).size(), 310u);
}

TEST(FormatFixed, NonFiniteValues) {
    EXPECT_EQ(format_fixed(kNaN, 6), "NaN");
    EXPECT_EQ(format_fixed(-kNaN, 6), "NaN");
    EXPECT_EQ(format_fixed(kNaN, 3, true), "NaN");
    EXPECT_EQ(format_fixed(kInf, 6), "inf");
    EXPECT_EQ(format_fixed(kInf, 3, true), "+inf");
    EXPECT_EQ(format_fixed(-kInf, 6), "-inf");
    EXPECT_EQ(format_fixed(-kInf, 3, true), "-inf");
}

TEST(FormatShortest, PlainDecimalsWithoutExponent) {
    EXPECT_EQ(format_shortest(2.0), "2");
    EXPECT_EQ(format_shortest(0.001), "0.001");
    EXPECT_EQ(format_shortest(1e-7), "0.0000001");
    EXPECT_EQ(format_shortest(1e22), "10000000000000000000000");
    EXPECT_EQ(format_shortest(0.1), "0.1");
    EXPECT_EQ(format_shortest(0.1 + 0.2), "0.30000000000000004");
    EXPECT_EQ(format_shortest(-1.5), "-1.5");
    EXPECT_EQ(format_shortest(123456.789), "123456.789");
    EXPECT_EQ(format_shortest(1.0 / 3.0), "0.3333333333333333");
    EXPECT_EQ(format_shortest(100.0), "100");
    EXPECT_EQ(format_shortest(1e-3 * 15), "0.015");
    EXPECT_EQ(format_shortest(0.0), "0");
    EXPECT_EQ(format_shortest(-0.0), "-0");
    EXPECT_EQ(format_shortest(kNaN), "NaN");
    EXPECT_EQ(format_shortest(kInf), "inf");
    EXPECT_EQ(format_shortest(-kInf), "-inf");
}

TEST(FormatShortest, ExtremesAreWrittenOut) {
    const std::string tiny = format_shortest(std::numeric_limits<double>::denorm_min());
    EXPECT_EQ(tiny, "0." + std::string(323, '0') + "5");
    const std::string huge = format_shortest(std::numeric_limits<double>::max());
    EXPECT_EQ(huge, "17976931348623157" + std::string(292, '0'));
}

// Whatever the bits, the text reads back as the same double and never uses
// an exponent. Random bit patterns cover subnormals and every binade.
TEST(FormatShortest, RoundTripsRandomBitPatterns) {
    std::mt19937_64 gen(20240611);
    int checked = 0;
    for (int i = 0; i < 20000; ++i) {
        const double v = std::bit_cast<double>(gen());
        if (!std::isfinite(v)) continue;
        const std::string s = format_shortest(v);
        ASSERT_EQ(s.find_first_of("eE"), std::string::npos) << s;
        const double back = std::strtod(s.c_str(), nullptr);
        ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(v)) << s;
        ++checked;
    }
    EXPECT_GT(checked, 19000);
}

}  // namespace
