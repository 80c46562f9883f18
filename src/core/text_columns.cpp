#include "core/text_columns.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvel {

namespace {

constexpr std::size_t kMaxPlainChars = 64;
constexpr std::size_t kMaxSlots = 255;

// Reads the number at the start of [begin, end) into `out`: where its text
// ends, or nullptr when there is no plain finite number there (see the header).
// from_chars reads the decimal forms float() reads, and the words inf, nan
// and infinity besides, which are refused as not finite.
const char* read_number(const char* begin, const char* end, double& out) {
    const char* p = begin;
    // float() takes a leading plus; from_chars does not, so it is stepped over.
    if (p != end && *p == '+') {
        ++p;
        if (p != end && *p == '-') return nullptr;  // "+-1"
    }
    // Overflow, and underflow where the library reports it, are left to the
    // caller: float() gives inf or 0 there, and the caller says which.
    const auto [ptr, ec] = std::from_chars(p, end, out, std::chars_format::general);
    if (ec != std::errc() || static_cast<std::size_t>(ptr - begin) > kMaxPlainChars ||
        !std::isfinite(out)) {
        return nullptr;
    }
    return ptr;
}

// Numbers of cells seen before, by their text. Reads tables repeat their cells:
// a methylated fraction is k/n for few n, a density is shared by the reads of
// its region. A cell found here costs a hash and a compare instead of a
// conversion, and its number is the one read_number gave for the same bytes.
// A column whose cells are mostly new stops asking (the hash would be wasted).
class CellCache {
public:
    // What read_number(p, stop, out) gives when the cell [p, stop) is followed by a
    // byte that ends it (the delimiter, a line break or a byte for the caller) and
    // `end` (at least `stop`) is the end of the text.
    const char* read(const char* p, const char* stop, const char* end, double& out) {
        const auto length = static_cast<std::uint32_t>(stop - p);
        if (!on_ || length == 0 || length > sizeof(Text) ||
            end - p < static_cast<std::ptrdiff_t>(sizeof(Text))) {
            return read_number(p, stop, out);
        }
        Text text;
        std::memcpy(text.data(), p, sizeof text);
        // The bytes after the cell zeroed: a cell's key is its own bytes alone.
        for (std::size_t i = 0; i < kWords; ++i) {
            const std::uint32_t first = static_cast<std::uint32_t>(8 * i);
            if (length <= first) {
                text[i] = 0;
            } else if (length - first < 8) {
                text[i] &= ~0ULL >> (64 - 8 * (length - first));
            }
        }
        // Two entries a slot, the newest first: texts whose hashes meet take turns
        // less often (71 fractions k/70 in 256 slots of one entry miss 9% of the time).
        Entry* const set = entries_[slot_of(text, length)].data();
        ++tried_;
        for (int way = 0; way < 2; ++way) {
            if (set[way].same(text, length)) {
                ++found_;
                out = set[way].value;
                return stop;
            }
        }
        const char* q = read_number(p, stop, out);
        if (q == stop) {
            set[1] = set[0];
            set[0] = Entry{text, length, out};
        }
        if (tried_ == kTrial && found_ < kTrial / 2) on_ = false;
        return q;
    }

private:
    static constexpr std::size_t kWords = 3;  // cells of up to 24 characters
    static constexpr int kSlotBits = 8;
    static constexpr std::uint32_t kTrial = 256;
    using Text = std::array<std::uint64_t, kWords>;
    struct Entry {
        Text text{};
        std::uint32_t length = 0;  // 0: empty
        double value = 0.0;
        // One branch for the whole compare: whether a cell is found is not predictable.
        bool same(const Text& t, std::uint32_t n) const {
            return ((text[0] ^ t[0]) | (text[1] ^ t[1]) | (text[2] ^ t[2]) | (length ^ n)) == 0;
        }
    };

    static std::size_t slot_of(const Text& text, std::uint32_t length) {
        std::uint64_t h = text[0] * 0x9E3779B97F4A7C15ULL + text[1] * 0xC2B2AE3D27D4EB4FULL +
                          text[2] * 0x165667B19E3779F9ULL + length;
        h ^= h >> 29;
        return static_cast<std::size_t>((h * 0xBF58476D1CE4E5B9ULL) >> (64 - kSlotBits));
    }

    std::array<std::array<Entry, 2>, std::size_t{1} << kSlotBits> entries_{};
    std::uint32_t tried_ = 0;
    std::uint32_t found_ = 0;
    bool on_ = std::endian::native == std::endian::little;
};

// The number a field holds when it is plain, else false.
bool plain_number(const char* begin, const char* end, double& out) {
    return begin != end && read_number(begin, end, out) == end;
}

// True when `c` cannot continue the text of a finite number, so that a number
// read up to the end of the block stops at it.
bool ends_numbers(char c) {
    return !((c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-');
}

// Bytes that end the plain part of a line: a delimiter is found separately.
bool is_special(unsigned char c) {
    return (c == 0) | (c == '"') | (c == '\r') | (c >= 0x80);
}

// The first byte at or after p that ends a field or needs the caller: the
// delimiter, a line break or a special byte; `end` when there is none. Eight
// bytes at a time: the fields stepped over are text of any length (names,
// positions, read identifiers).
const char* field_end(const char* p, const char* end, char delimiter) {
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
        constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
        // The high bit of the first zero byte of x is set, and none below it (a
        // borrow may set some above, which the lowest set bit does not see).
        const auto zeros = [](std::uint64_t x) { return (x - kOnes) & ~x & kHighs; };
        const std::uint64_t delimiters = kOnes * static_cast<unsigned char>(delimiter);
        while (end - p >= 8) {
            std::uint64_t w;
            std::memcpy(&w, p, sizeof w);
            const std::uint64_t stops = zeros(w ^ delimiters) | zeros(w ^ (kOnes * '\n')) |
                                        zeros(w ^ (kOnes * '\r')) | zeros(w ^ (kOnes * '"')) |
                                        zeros(w) | (w & kHighs);
            if (stops != 0) return p + std::countr_zero(stops) / 8;
            p += 8;
        }
    }
    while (p != end && *p != delimiter && *p != '\n' &&
           !is_special(static_cast<unsigned char>(*p))) {
        ++p;
    }
    return p;
}

// The stops of a text, found 64 bytes at a time: the bytes that end a field or
// need the caller, as field_end finds them. A line's fields are then found by a
// bit scan each, where field_end would look at every byte again for each field.
class Stops {
public:
    Stops(const char* end, char delimiter) noexcept : end_(end), delimiter_(delimiter) {}

    // field_end(p, end, delimiter).
    const char* next(const char* p) {
#if defined(__SSE2__)
        for (;;) {
            const auto offset = static_cast<std::size_t>(p - base_);
            if (p >= base_ && offset < kWindow) {
                const std::uint64_t bits = bits_ >> offset;
                if (bits != 0) return p + std::countr_zero(bits);
                p = base_ + kWindow;
            }
            if (end_ - p < static_cast<std::ptrdiff_t>(kWindow)) break;
            base_ = p;
            bits_ = window(p);
        }
#endif
        return field_end(p, end_, delimiter_);
    }

private:
    static constexpr std::size_t kWindow = 64;
#if defined(__SSE2__)
    // Bit i set when byte p[i] is a stop.
    std::uint64_t window(const char* p) const {
        const __m128i delimiter = _mm_set1_epi8(delimiter_);
        const __m128i newline = _mm_set1_epi8('\n');
        const __m128i ret = _mm_set1_epi8('\r');
        const __m128i quote = _mm_set1_epi8('"');
        const __m128i zero = _mm_setzero_si128();
        std::uint64_t bits = 0;
        for (std::size_t i = 0; i < kWindow; i += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
            const __m128i stop = _mm_or_si128(
                _mm_or_si128(_mm_cmpeq_epi8(v, delimiter), _mm_cmpeq_epi8(v, newline)),
                _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, ret), _mm_cmpeq_epi8(v, quote)),
                             _mm_cmpeq_epi8(v, zero)));
            // A byte of 0x80 or more has its high bit set, as a match does.
            const auto found = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_or_si128(stop, v)));
            bits |= static_cast<std::uint64_t>(found) << i;
        }
        return bits;
    }
    const char* base_ = nullptr;
    std::uint64_t bits_ = 0;
#endif
    const char* end_;
    char delimiter_;
};

}  // namespace

ColumnScan scan_columns(std::span<const char> text, char delimiter,
                        std::span<const std::uint8_t> slots, std::size_t n_slots,
                        std::span<double> values, std::span<std::int64_t> line_numbers,
                        std::int64_t first_line) {
    ColumnScan scan;
    if (n_slots == 0 || n_slots > kMaxSlots || slots.empty()) return scan;
    for (std::uint8_t s : slots) {
        if (s > n_slots) return scan;
    }
    const std::size_t capacity = std::min(values.size() / n_slots, line_numbers.size());
    const char* const data = text.data();
    const std::size_t size = text.size();
    std::size_t pos = 0;
    const char* const data_end = data + size;
    const bool one_pass = ends_numbers(delimiter);
    std::vector<CellCache> cells(n_slots);
    Stops stops(data_end, delimiter);
    while (pos < size) {
        // The usual line first, read in one pass: each field ends at the next stop,
        // numbers are read where they are wanted, the other fields stepped over, and
        // each field must end at the delimiter, the last at the line break.
        // Anything else is left to the careful reading below.
        if (one_pass && scan.rows < capacity && data[pos] != '\n' && data[pos] != '\r') {
            const char* p = data + pos;
            // Numbers go straight to their row: it counts only once the line is plain.
            double* const row = values.data() + scan.rows * n_slots;
            std::size_t field = 0;
            bool plain = false;
            for (;;) {
                const char* q = stops.next(p);
                if (q == data_end) break;
                const std::uint8_t s = slots[field];
                if (s != 0 && cells[s - 1].read(p, q, data_end, row[s - 1]) != q) break;
                if (++field == slots.size()) {
                    if (*q == '\r' && q + 1 != data_end) ++q;
                    plain = *q == '\n';
                    p = q;
                    break;
                }
                plain = *q == delimiter;
                if (!plain) break;
                p = q + 1;
            }
            if (plain && field == slots.size()) {
                line_numbers[scan.rows] = first_line + scan.lines;
                ++scan.rows;
                ++scan.lines;
                pos = static_cast<std::size_t>(p - data) + 1;
                continue;
            }
        }
        const void* found = std::memchr(data + pos, '\n', size - pos);
        if (found == nullptr) break;
        const std::size_t newline = static_cast<std::size_t>(static_cast<const char*>(found) - data);
        std::size_t end = newline;
        if (end > pos && data[end - 1] == '\r') --end;  // "\r\n"
        if (end == pos) {  // an empty line
            pos = newline + 1;
            ++scan.lines;
            continue;
        }
        if (scan.rows == capacity) break;
        // One branch-free pass for the bytes that need the caller's rules, then the
        // fields between delimiters.
        unsigned special = 0;
        for (std::size_t i = pos; i < end; ++i) {
            special |= static_cast<unsigned>(is_special(static_cast<unsigned char>(data[i])));
        }
        bool plain = special == 0;
        double* const row = values.data() + scan.rows * n_slots;
        std::size_t field = 0;
        std::size_t start = pos;
        while (plain) {
            const void* at = std::memchr(data + start, delimiter, end - start);
            const std::size_t stop =
                at == nullptr ? end : static_cast<std::size_t>(static_cast<const char*>(at) - data);
            if (field >= slots.size()) {
                plain = false;
                break;
            }
            const std::uint8_t s = slots[field];
            if (s != 0 && !plain_number(data + start, data + stop, row[s - 1])) plain = false;
            ++field;
            if (at == nullptr) break;
            start = stop + 1;
        }
        if (!plain || field != slots.size()) break;
        line_numbers[scan.rows] = first_line + scan.lines;
        ++scan.rows;
        ++scan.lines;
        pos = newline + 1;
    }
    scan.consumed = pos;
    return scan;
}

void format_rows(std::span<const double> values, std::size_t n_cols, char delimiter,
                 std::string& out) {
    if (n_cols == 0) return;
    // "-1.2345678901234567e-308" is 24 characters; every number fits into 32.
    constexpr std::size_t kWidest = 32;
    const std::size_t n_rows = values.size() / n_cols;
    const std::size_t start = out.size();
    out.resize(start + n_rows * n_cols * (kWidest + 1));
    char* p = out.data() + start;
    char* const end = out.data() + out.size();
    for (std::size_t i = 0; i < n_rows * n_cols; ++i) {
        p = std::to_chars(p, end, values[i], std::chars_format::general, 17).ptr;
        *p++ = (i + 1) % n_cols == 0 ? '\n' : delimiter;
    }
    out.resize(static_cast<std::size_t>(p - out.data()));
}

}  // namespace korvel

namespace korvel {

namespace {

// Appends x as Python's repr(x) writes it: the shortest digits that read back
// as x, in fixed notation ("0.25", "3.0") when the decimal point falls
// between 4 places left of the first digit and 16 right of it, else as
// "1.5e-05", "1e+16"; "nan", "inf", "-inf".
char* python_repr(char* p, char* end, double x) {
    if (std::isnan(x)) return std::copy_n("nan", 3, p);
    if (std::isinf(x)) return x > 0 ? std::copy_n("inf", 3, p) : std::copy_n("-inf", 4, p);
    // Shortest round-trip digits, as d[.ddd]e[+-]XX.
    std::array<char, 40> sci{};
    const char* stop = std::to_chars(sci.data(), sci.data() + sci.size(), x,
                                     std::chars_format::scientific).ptr;
    const char* s = sci.data();
    if (*s == '-') *p++ = *s++;
    std::array<char, 20> digits{};
    std::size_t n = 0;
    while (*s != 'e') {
        if (*s != '.') digits[n++] = *s;
        ++s;
    }
    int exponent = 0;
    std::from_chars(s + (s[1] == '+' ? 2 : 1), stop, exponent);
    const int point = exponent + 1;  // the digits are 0.d1d2... x 10^point
    if (point <= -4 || point > 16) {
        *p++ = digits[0];
        if (n > 1) {
            *p++ = '.';
            p = std::copy_n(digits.data() + 1, n - 1, p);
        }
        *p++ = 'e';
        *p++ = exponent < 0 ? '-' : '+';
        const int e = exponent < 0 ? -exponent : exponent;
        if (e < 10) *p++ = '0';
        return std::to_chars(p, end, e).ptr;
    }
    if (point <= 0) {
        *p++ = '0';
        *p++ = '.';
        p = std::fill_n(p, -point, '0');
        return std::copy_n(digits.data(), n, p);
    }
    const auto whole = static_cast<std::size_t>(point);
    for (std::size_t i = 0; i < whole; ++i) *p++ = i < n ? digits[i] : '0';
    *p++ = '.';
    if (n > whole) return std::copy_n(digits.data() + whole, n - whole, p);
    *p++ = '0';
    return p;
}

}  // namespace

void format_units(const UnitColumns& units, std::string_view head, std::string_view tail,
                  char delimiter, std::string& out) {
    // Three integers of at most 20 characters, the strand, two numbers of at
    // most 24 (repr's longest, "-2.2250738585072014e-308") and the delimiters.
    constexpr std::size_t kWidest = 3 * 20 + 1 + 2 * 24 + 5;
    const std::size_t n_rows = units.start.size();
    const std::size_t start = out.size();
    out.resize(start + n_rows * (kWidest + head.size() + tail.size()));
    char* p = out.data() + start;
    char* const end = out.data() + out.size();
    for (std::size_t i = 0; i < n_rows; ++i) {
        p = std::copy(head.begin(), head.end(), p);
        p = std::to_chars(p, end, units.start[i]).ptr;
        *p++ = delimiter;
        p = std::to_chars(p, end, units.end[i]).ptr;
        *p++ = delimiter;
        *p++ = static_cast<char>(units.strand[i]);
        *p++ = delimiter;
        p = std::to_chars(p, end, units.n[i]).ptr;
        *p++ = delimiter;
        p = python_repr(p, end, units.fraction[i]);
        *p++ = delimiter;
        p = std::isnan(units.density[i]) ? std::copy_n("NA", 2, p)
                                         : python_repr(p, end, units.density[i]);
        p = std::copy(tail.begin(), tail.end(), p);
    }
    out.resize(static_cast<std::size_t>(p - out.data()));
}

}  // namespace korvel
