// Numbers of chosen fields read from the lines of a delimited text table.
//
// The reader of reads tables hands over blocks of whole lines; this takes the
// plain ones, the overwhelming majority, at the speed of the bytes, and stops
// at the first line it cannot take as plain. The caller reads that line
// itself, with every rule of its own (quotes, other line breaks, words, NaN,
// its error messages), and hands the rest back. A plain number here is read
// to exactly the double that Python's float() gives for the same text: both
// round correctly. A cell whose text came before in its column is given the
// number that text gave then, without reading it again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/simd.h"

namespace korvel {

// How far a scan got: its rows are values[0 .. rows * n_slots) and
// line_numbers[0 .. rows), and the next line starts at byte `consumed`, at
// line number first_line + lines.
struct ColumnScan {
    std::size_t rows = 0;
    std::size_t consumed = 0;
    std::int64_t lines = 0;
};

// `slots` has one entry per field of the header: 0 for a field that is not
// read, s + 1 to put the field's number into column s of the rows.
// Takes lines that end in '\n' (or "\r\n"); a line that is empty is counted
// and holds no row. It stops before a line that lacks its line break, holds a
// byte that is NUL, a quote, a lone '\r' or not ASCII, has another number of
// fields than `slots` has entries, or whose read field is not a plain finite
// decimal ([+-]digits[.digits][e[+-]digits], at most 64 characters, finite
// as a double); and before a row that would not fit into `values` or
// `line_numbers`.
ColumnScan scan_columns(std::span<const char> text, char delimiter,
                        std::span<const std::uint8_t> slots, std::size_t n_slots,
                        std::span<double> values, std::span<std::int64_t> line_numbers,
                        std::int64_t first_line);

namespace detail {
// Where the bytes that end a field or need the caller (the delimiter, '\n',
// '\r', '"', NUL, bytes of 0x80 or more) are in `text`, as scan_columns finds
// them with the instructions of `path`. Exposed for tests: every path must
// find the same.
std::vector<std::size_t> list_stops(std::span<const char> text, char delimiter, SimdPath path);
}  // namespace detail

// Appends rows of `n_cols` numbers to `out`, each number as C's printf("%.17g")
// writes it (Python's "%.17g" % x gives the same characters), the numbers of a
// row separated by `delimiter` and each row ended by '\n'. 17 significant
// digits read back as the same double.
void format_rows(std::span<const double> values, std::size_t n_cols, char delimiter,
                 std::string& out);

// The columns of units of a reads table, all of one length.
struct UnitColumns {
    std::span<const std::int64_t> start, end, n;
    std::span<const std::uint8_t> strand;  // '+', '-' or '.'
    std::span<const double> fraction, density;
};

// Appends one line per unit: head, start, end, strand, n, fraction, density
// (the number or "NA" when it is NaN), tail (which ends the line), the fields
// separated by `delimiter`. Integers in decimal; the fraction and the density
// as Python's repr writes a float, so that the table holds the same bytes as
// one formatted by Python.
void format_units(const UnitColumns& units, std::string_view head, std::string_view tail,
                  char delimiter, std::string& out);

}  // namespace korvel
