// Reading numbers of chosen fields from the plain lines of a table.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <cstdint>
#include <string>
#include <vector>

#include "core/text_columns.h"

namespace {

using korvel::scan_columns;

struct Scanned {
    korvel::ColumnScan scan;
    std::vector<double> values;
    std::vector<std::int64_t> lines;
};

// Fields 0 and 2 of three, into columns 1 and 0.
Scanned scan(const std::string& text, std::size_t capacity = 16) {
    Scanned s;
    s.values.assign(2 * capacity, -1.0);
    s.lines.assign(capacity, -1);
    const std::vector<std::uint8_t> slots{2, 0, 1};
    s.scan = scan_columns(text, '\t', slots, 2, s.values, s.lines, 2);
    return s;
}

TEST(ScanColumns, PlainNumbersAreTheCorrectlyRoundedDoubles) {
    const std::string text =
        "0.1\tx y\t+1.5\n\r\n\n-0\t\t1e5\r\n.5\tz\t1.\n"
        "2.2250738585072014e-308\t\t0.30000000000000004441\n";
    const Scanned s = scan(text);
    ASSERT_EQ(s.scan.rows, 4u);
    EXPECT_EQ(s.scan.consumed, text.size());
    EXPECT_EQ(s.scan.lines, 6);
    const std::vector<double> want{1.5, 0.1, 1e5, -0.0, 1.0, 0.5, 0.30000000000000004,
                                   2.2250738585072014e-308};
    for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(s.values[i], want[i]) << i;
    EXPECT_TRUE(std::signbit(s.values[3]));
    EXPECT_EQ(s.lines, (std::vector<std::int64_t>{2, 5, 6, 7, -1, -1, -1, -1, -1, -1, -1, -1,
                                                  -1, -1, -1, -1}));
}

TEST(ScanColumns, DecimalsReadToTheBitsFromCharsGives) {
    // Plain decimals of up to 19 significant digits are read without from_chars:
    // every one must still give from_chars' double. Doubles written as reads
    // tables write them and with fewer digits, digit strings of any length, and
    // numbers exactly half way between two doubles (ties go to the even one).
    std::mt19937_64 rng(7);
    std::vector<std::string> cells{"0",
                                   "-0.0",
                                   "00.50",
                                   "9007199254740993.0",
                                   "4503599627370496.5",
                                   "4503599627370497.5",
                                   "0.00000000000000000000000000000000000000001"};
    char buf[64];
    for (int i = 0; i < 60000; ++i) {
        const std::uint64_t u = rng();
        double x = std::ldexp(static_cast<double>(u >> 11), -53) *
                   std::ldexp(1.0, static_cast<int>(rng() % 90) - 60);
        if (i % 2 == 1) x = -x;
        const int digits = i % 3 == 0 ? 17 : static_cast<int>(1 + rng() % 19);
        std::snprintf(buf, sizeof buf, "%.*g", digits, x);
        if (std::strchr(buf, 'e') == nullptr) cells.emplace_back(buf);
        std::string figures;
        for (std::uint64_t n = 1 + rng() % 24; n > 0; --n) {
            figures += static_cast<char>('0' + rng() % 10);
        }
        figures.insert(rng() % figures.size() + 1, ".");
        cells.push_back(figures);
        // Half way between 2^52 + n and its neighbour, or 2^53 + 2n and its, with
        // zeros after the point that leave the tie in place.
        const std::uint64_t n = rng() % (1ULL << 52);
        const auto low = static_cast<unsigned long long>((1ULL << 52) + n);
        const auto high = static_cast<unsigned long long>((1ULL << 53) + 2 * n + 1);
        std::snprintf(buf, sizeof buf, "%llu.5%s", low, i % 2 ? "" : "0");
        cells.emplace_back(buf);
        std::snprintf(buf, sizeof buf, "%llu.%.*s", high, static_cast<int>(1 + i % 2), "00");
        cells.emplace_back(buf);
    }
    std::string text;
    for (const std::string& c : cells) text += c + "\n";
    std::vector<double> values(cells.size(), -1.0);
    std::vector<std::int64_t> lines(cells.size());
    const std::vector<std::uint8_t> slots{1};
    const korvel::ColumnScan s = scan_columns(text, '\t', slots, 1, values, lines, 1);
    ASSERT_EQ(s.rows, cells.size());
    for (std::size_t i = 0; i < cells.size(); ++i) {
        double want = 0.0;
        const std::string& c = cells[i];
        ASSERT_EQ(std::from_chars(c.data(), c.data() + c.size(), want).ptr, c.data() + c.size());
        ASSERT_EQ(std::memcmp(&values[i], &want, sizeof want), 0) << c;
    }
}

TEST(ScanColumns, StopsBeforeTheFirstLineThatIsNotPlain) {
    // Each second line is left for the caller, which has the rules for it.
    const std::string first = "1\ta\t2\n";
    for (const std::string& odd : std::vector<std::string>{
          "1\t\"a\"\t2\n", "1\ta\r\t2\n", "1\t\xc3\xa9\t2\n", "1\ta\n", "1\ta\t2\t3\n",
          "nan\ta\t2\n", "1\ta\tinf\n", "1e999\ta\t2\n", "1\ta\t 2\n", "1\ta\t1_0\n",
          "+-1\ta\t2\n", "1\ta\t2e\n", "1\ta\t.\n", std::string("1\ta\0\t2\n", 7),
          "1\ta\t" + std::string(65, '1') + "\n", "1\ta\t2\r\r\n", "+\ta\t2\n", "-\ta\t2\n",
          "1\ta\t2\t\n", "1\ta\t2,\n", "1\ta\t2e+\n", "1\ta\t+inf\n"}) {
        const Scanned s = scan(first + odd + first);
        EXPECT_EQ(s.scan.rows, 1u) << odd;
        EXPECT_EQ(s.scan.consumed, first.size()) << odd;
        EXPECT_EQ(s.scan.lines, 1) << odd;
    }
    // A last line without its line break is left too.
    EXPECT_EQ(scan(first + "1\ta\t2").scan.consumed, first.size());
    // A full output stops the scan before the row that does not fit.
    const Scanned s = scan(first + first + first, 2);
    EXPECT_EQ(s.scan.rows, 2u);
    EXPECT_EQ(s.scan.consumed, 2 * first.size());
}

TEST(ScanColumns, AFieldSteppedOverEndsAtItsFirstByteOfNote) {
    // The unread field is stepped over eight bytes at a time: a byte that needs the
    // caller stops the line wherever in the field it falls, and a long plain field
    // leaves the line plain.
    const std::string first = "1\t" + std::string(40, 'x') + "\t2\n";
    for (const char odd : std::string("\"\r\0\x80\xff\t", 6)) {
        for (std::size_t at = 0; at < 20; ++at) {
            std::string field(20, 'y');
            field[at] = odd;
            const Scanned s = scan(first + "1\t" + field + "\t2\n" + first);
            EXPECT_EQ(s.scan.rows, 1u) << int(odd) << " at " << at;
            EXPECT_EQ(s.scan.consumed, first.size()) << int(odd) << " at " << at;
        }
    }
    const Scanned s = scan(first + first);
    EXPECT_EQ(s.scan.rows, 2u);
    EXPECT_EQ(s.values[0], 2.0);
    EXPECT_EQ(s.values[1], 1.0);
}

TEST(ScanColumns, RepeatedCellsReadAsTheirFirstReading) {
    // Cells that repeat are read from what their text gave before: texts that share a
    // prefix, differ in length or spell the same number differently keep their own
    // number, and a repeated text that is not plain still stops the scan.
    const std::vector<std::string> cells{"0.5", "0.50", "0.5e0", "5", "+0.5", "-0", "0",
                                         "0.12345678901234567", "1234567890.1234567890123",
                                         "0.30000000000000004441", "1e5", "1E5", "0.55", "0.5e1"};
    std::string text;
    std::vector<double> want;
    for (int i = 0; i < 3000; ++i) {
        const std::string& c = cells[static_cast<std::size_t>(i * 5 % 14)];
        text += "1\tx\t" + c + "\n";
        want.push_back(std::stod(c));
    }
    const std::size_t plain = text.size();
    text += "1\tx\t0.5x\n";
    std::vector<double> values(2 * 4000, -1.0);
    std::vector<std::int64_t> lines(4000, -1);
    const std::vector<std::uint8_t> slots{2, 0, 1};
    const korvel::ColumnScan s = scan_columns(text, '\t', slots, 2, values, lines, 2);
    ASSERT_EQ(s.rows, want.size());
    EXPECT_EQ(s.consumed, plain);
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(values[2 * i], want[i]) << i;
        EXPECT_EQ(std::signbit(values[2 * i]), std::signbit(want[i])) << i;
    }
}

TEST(ScanColumns, EveryInstructionSetFindsTheSameStops) {
    // Each byte that stops a field, at each offset of a 64-byte block and across
    // the blocks' and the chunks' seams, in a text whose end is no whole block;
    // the bytes beside it are ones that never stop.
    const std::string stop_bytes("\t\n\r\"\0\x80\xff", 7);
    std::string text;
    std::vector<std::size_t> want;
    for (const char b : stop_bytes) {
        for (std::size_t at = 0; at < 130; ++at) {
            std::string piece(at % 67 + 1, at % 2 == 0 ? 'x' : '7');
            want.push_back(text.size() + piece.size());
            text += piece + b;
        }
    }
    text += std::string(5, '.');
    for (std::size_t cut : {text.size(), std::size_t{4100}, std::size_t{63}, std::size_t{0}}) {
        std::vector<std::size_t> cut_want;
        for (std::size_t w : want) {
            if (w < cut) cut_want.push_back(w);
        }
        for (const korvel::SimdPath path : korvel::supported_simd_paths()) {
            EXPECT_EQ(korvel::detail::list_stops(std::string_view(text).substr(0, cut), '\t', path),
                      cut_want)
                << korvel::simd_path_name(path) << " cut at " << cut;
        }
    }
}

}  // namespace
