#include "core/text_columns.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>
#include <vector>

#include "core/simd.h"
#include "core/simd_kernels.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#ifdef KORVEL_SIMD_BUILDS
#include <immintrin.h>
#endif

namespace korvel {

namespace {

constexpr std::size_t kMaxPlainChars = 64;
constexpr std::size_t kMaxSlots = 255;

// Plain decimals, [-]digits[.digits] with at most 19 significant digits, read
// without from_chars: a reads table's cells are such, and this reads them in
// about three quarters of from_chars' time. The digits make an integer
// w < 10^19 and the number is w * 10^-k; Eisel and Lemire's product of w with
// 5^-k to 128 bits (Lemire, "Number parsing at a gigabyte per second", 2021;
// Mushtak and Lemire, "Fast number parsing without fallback", 2023: the 128
// bits always suffice) rounds it correctly, as from_chars does, so that the
// two give the same double.
namespace decimal {

constexpr int kMaxFraction = 64;
// 5^-k for k = 1 .. kMaxFraction to 128 bits, high word first: with z the
// bits of 5^k, floor(2^(z + 127) / 5^k) + 1 for k <= 27, else
// floor(2^(2z + 128) / 5^k) + 1 cut to its leading 128 bits.
constexpr std::uint64_t kPow5[kMaxFraction][2] = {
    {0xccccccccccccccccULL, 0xcccccccccccccccdULL},  // 5^-1
    {0xa3d70a3d70a3d70aULL, 0x3d70a3d70a3d70a4ULL},  // 5^-2
    {0x83126e978d4fdf3bULL, 0x645a1cac083126eaULL},  // 5^-3
    {0xd1b71758e219652bULL, 0xd3c36113404ea4a9ULL},  // 5^-4
    {0xa7c5ac471b478423ULL, 0x0fcf80dc33721d54ULL},  // 5^-5
    {0x8637bd05af6c69b5ULL, 0xa63f9a49c2c1b110ULL},  // 5^-6
    {0xd6bf94d5e57a42bcULL, 0x3d32907604691b4dULL},  // 5^-7
    {0xabcc77118461cefcULL, 0xfdc20d2b36ba7c3eULL},  // 5^-8
    {0x89705f4136b4a597ULL, 0x31680a88f8953031ULL},  // 5^-9
    {0xdbe6fecebdedd5beULL, 0xb573440e5a884d1cULL},  // 5^-10
    {0xafebff0bcb24aafeULL, 0xf78f69a51539d749ULL},  // 5^-11
    {0x8cbccc096f5088cbULL, 0xf93f87b7442e45d4ULL},  // 5^-12
    {0xe12e13424bb40e13ULL, 0x2865a5f206b06fbaULL},  // 5^-13
    {0xb424dc35095cd80fULL, 0x538484c19ef38c95ULL},  // 5^-14
    {0x901d7cf73ab0acd9ULL, 0x0f9d37014bf60a11ULL},  // 5^-15
    {0xe69594bec44de15bULL, 0x4c2ebe687989a9b4ULL},  // 5^-16
    {0xb877aa3236a4b449ULL, 0x09befeb9fad487c3ULL},  // 5^-17
    {0x9392ee8e921d5d07ULL, 0x3aff322e62439fd0ULL},  // 5^-18
    {0xec1e4a7db69561a5ULL, 0x2b31e9e3d06c32e6ULL},  // 5^-19
    {0xbce5086492111aeaULL, 0x88f4bb1ca6bcf585ULL},  // 5^-20
    {0x971da05074da7beeULL, 0xd3f6fc16ebca5e04ULL},  // 5^-21
    {0xf1c90080baf72cb1ULL, 0x5324c68b12dd6339ULL},  // 5^-22
    {0xc16d9a0095928a27ULL, 0x75b7053c0f178294ULL},  // 5^-23
    {0x9abe14cd44753b52ULL, 0xc4926a9672793543ULL},  // 5^-24
    {0xf79687aed3eec551ULL, 0x3a83ddbd83f52205ULL},  // 5^-25
    {0xc612062576589ddaULL, 0x95364afe032a819eULL},  // 5^-26
    {0x9e74d1b791e07e48ULL, 0x775ea264cf55347eULL},  // 5^-27
    {0xfd87b5f28300ca0dULL, 0x8bca9d6e188853fcULL},  // 5^-28
    {0xcad2f7f5359a3b3eULL, 0x096ee45813a04330ULL},  // 5^-29
    {0xa2425ff75e14fc31ULL, 0xa1258379a94d028dULL},  // 5^-30
    {0x81ceb32c4b43fcf4ULL, 0x80eacf948770ced7ULL},  // 5^-31
    {0xcfb11ead453994baULL, 0x67de18eda5814af2ULL},  // 5^-32
    {0xa6274bbdd0fadd61ULL, 0xecb1ad8aeacdd58eULL},  // 5^-33
    {0x84ec3c97da624ab4ULL, 0xbd5af13bef0b113eULL},  // 5^-34
    {0xd4ad2dbfc3d07787ULL, 0x955e4ec64b44e864ULL},  // 5^-35
    {0xaa242499697392d2ULL, 0xdde50bd1d5d0b9e9ULL},  // 5^-36
    {0x881cea14545c7575ULL, 0x7e50d64177da2e54ULL},  // 5^-37
    {0xd9c7dced53c72255ULL, 0x96e7bd358c904a21ULL},  // 5^-38
    {0xae397d8aa96c1b77ULL, 0xabec975e0a0d081aULL},  // 5^-39
    {0x8b61313bbabce2c6ULL, 0x2323ac4b3b3da015ULL},  // 5^-40
    {0xdf01e85f912e37a3ULL, 0x6b6c46dec52f6688ULL},  // 5^-41
    {0xb267ed1940f1c61cULL, 0x55f038b237591ed3ULL},  // 5^-42
    {0x8eb98a7a9a5b04e3ULL, 0x77f3608e92adb242ULL},  // 5^-43
    {0xe45c10c42a2b3b05ULL, 0x8cb89a7db77c506aULL},  // 5^-44
    {0xb6b00d69bb55c8d1ULL, 0x3d607b97c5fd0d22ULL},  // 5^-45
    {0x9226712162ab070dULL, 0xcab3961304ca70e8ULL},  // 5^-46
    {0xe9d71b689dde71afULL, 0xaab8f01e6e10b4a6ULL},  // 5^-47
    {0xbb127c53b17ec159ULL, 0x5560c018580d5d52ULL},  // 5^-48
    {0x95a8637627989aadULL, 0xdde7001379a44aa8ULL},  // 5^-49
    {0xef73d256a5c0f77cULL, 0x963e66858f6d4440ULL},  // 5^-50
    {0xbf8fdb78849a5f96ULL, 0xde98520472bdd033ULL},  // 5^-51
    {0x993fe2c6d07b7fabULL, 0xe546a8038efe4029ULL},  // 5^-52
    {0xf53304714d9265dfULL, 0xd53dd99f4b3066a8ULL},  // 5^-53
    {0xc428d05aa4751e4cULL, 0xaa97e14c3c26b886ULL},  // 5^-54
    {0x9ced737bb6c4183dULL, 0x55464dd69685606bULL},  // 5^-55
    {0xfb158592be068d2eULL, 0xeed6e2f0f0d56712ULL},  // 5^-56
    {0xc8de047564d20a8bULL, 0xf245825a5a445275ULL},  // 5^-57
    {0xa0b19d2ab70e6ed6ULL, 0x5b6aceaeae9d0ec4ULL},  // 5^-58
    {0x808e17555f3ebf11ULL, 0xe2bbd88bbee40bd0ULL},  // 5^-59
    {0xcdb02555653131b6ULL, 0x3792f412cb06794dULL},  // 5^-60
    {0xa48ceaaab75a8e2bULL, 0x5fa8c3423c052dd7ULL},  // 5^-61
    {0x83a3eeeef9153e89ULL, 0x1953cf68300424acULL},  // 5^-62
    {0xd29fe4b18e88640eULL, 0x8eec7f0d19a03aadULL},  // 5^-63
    {0xa87fea27a539e9a5ULL, 0x3f2398d747b36224ULL},  // 5^-64
};
constexpr std::uint64_t kPow10[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};

std::uint64_t load8(const char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Whether the eight bytes of `v` (first byte lowest) are all digits.
bool eight_digits(std::uint64_t v) {
    return ((v & 0xF0F0F0F0F0F0F0F0ULL) |
            (((v + 0x0606060606060606ULL) & 0xF0F0F0F0F0F0F0F0ULL) >> 4)) == 0x3333333333333333ULL;
}

// The number the eight digits of `v` write.
std::uint64_t parse8(std::uint64_t v) {
    constexpr std::uint64_t kMask = 0x000000FF000000FFULL;
    constexpr std::uint64_t kMul1 = 100 + (1000000ULL << 32);
    constexpr std::uint64_t kMul2 = 1 + (10000ULL << 32);
    v -= 0x3030303030303030ULL;
    v = (v * 10) + (v >> 8);
    return (((v & kMask) * kMul1) + (((v >> 16) & kMask) * kMul2)) >> 32;
}

std::uint64_t digits(const char*& p, const char* end, std::uint64_t w) {
    while (p != end && static_cast<unsigned char>(*p - '0') < 10) {
        w = 10 * w + static_cast<unsigned>(*p - '0');
        ++p;
    }
    return w;
}

// The double nearest w * 10^-k, 0 < w < 2^64, 0 < k <= kMaxFraction (no
// overflow, no subnormal): ties go to the even neighbour.
double scaled(std::uint64_t w, int k) {
    const int q = -k;
    const int lz = std::countl_zero(w);
    w <<= lz;
    const std::uint64_t* const power = kPow5[k - 1];
    const unsigned __int128 first = static_cast<unsigned __int128>(w) * power[0];
    std::uint64_t hi = static_cast<std::uint64_t>(first >> 64);
    std::uint64_t lo = static_cast<std::uint64_t>(first);
    if ((hi & 0x1FF) == 0x1FF) {  // the bits below those kept may carry into them
        const auto second =
            static_cast<std::uint64_t>((static_cast<unsigned __int128>(w) * power[1]) >> 64);
        lo += second;
        if (second > lo) ++hi;
    }
    const int upper = static_cast<int>(hi >> 63);
    const int shift = upper + 64 - 52 - 3;
    std::uint64_t mantissa = hi >> shift;  // 54 bits: one to round by
    // floor(q * log2(10)) + 63, the biased exponent's share of 10^q.
    int exponent = (((152170 + 65536) * q) >> 16) + 63 + upper - lz + 1023;
    // Exactly half way (which only powers down to 5^-4 can give): to the even one.
    if (lo <= 1 && q >= -4 && (mantissa & 3) == 1 && (mantissa << shift) == hi) {
        mantissa &= ~std::uint64_t{1};
    }
    mantissa += mantissa & 1;
    mantissa >>= 1;
    if (mantissa >= (std::uint64_t{2} << 52)) {
        mantissa = std::uint64_t{1} << 52;
        ++exponent;
    }
    mantissa &= ~(std::uint64_t{1} << 52);
    const std::uint64_t bits = mantissa | (static_cast<std::uint64_t>(exponent) << 52);
    double x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

// The plain decimal as above at the start of [p, end), up to the first byte
// that does not continue it: where it ends, or nullptr when there is none there
// (no digit before the point, none after it, more digits than 19 or than
// kMaxFraction after the point); `out` gets its number.
const char* prefix(const char* p, const char* end, double& out) {
    if constexpr (std::endian::native != std::endian::little) return nullptr;
    const bool negative = p != end && *p == '-';
    p += negative;
    const char* const first = p;
    std::uint64_t w = digits(p, end, 0);
    const auto whole = p - first;
    if (whole == 0) return nullptr;
    std::ptrdiff_t k = 0;
    if (p != end && *p == '.') {
        const char* const point = ++p;
        while (end - p >= 8 && eight_digits(load8(p))) {
            w = w * 100000000 + parse8(load8(p));
            p += 8;
        }
        if (end - p >= 8) {
            // Fewer than eight digits left: how many the first byte that is no digit
            // says (a byte of 0xfa or more carries into the next, which is past it).
            const std::uint64_t v = load8(p);
            const std::uint64_t high = v & 0xF0F0F0F0F0F0F0F0ULL;
            const std::uint64_t low = (v + 0x0606060606060606ULL) & 0xF0F0F0F0F0F0F0F0ULL;
            const std::uint64_t marks = (high | (low >> 4)) ^ 0x3333333333333333ULL;
            const int n = std::countr_zero(marks) / 8;
            if (n > 0) {
                // The n digits read as eight, zeros before them.
                const auto drop = static_cast<unsigned>(8 - n) * 8;
                w = w * kPow10[n] + parse8((v << drop) | (0x3030303030303030ULL >> (64 - drop)));
                p += n;
            }
        } else {
            w = digits(p, end, w);
        }
        k = p - point;
        if (k == 0) return nullptr;
    }
    if (whole + k > 19) {  // leading zeros are no digits of w
        std::ptrdiff_t zeros = 0;
        for (const char* z = first; z != p && (*z == '0' || *z == '.'); ++z) zeros += *z == '0';
        if (whole + k - zeros > 19) return nullptr;
    }
    if (k > kMaxFraction) return nullptr;
    const double x = w == 0 ? 0.0
                     : k == 0 ? static_cast<double>(w)  // correctly rounded
                              : scaled(w, static_cast<int>(k));
    out = negative ? -x : x;
    return p;
}

// Nonzero in the bytes of `v` that are no digit, up to the first of them; the
// bytes after it may be marked wrongly (a byte of 0xfa or more carries).
std::uint64_t nondigits(std::uint64_t v) {
    return ((v & 0xF0F0F0F0F0F0F0F0ULL) |
            (((v + 0x0606060606060606ULL) & 0xF0F0F0F0F0F0F0F0ULL) >> 4)) ^
           0x3333333333333333ULL;
}

// The number of digits the bytes of `v` begin with (first byte lowest), 0 .. 8.
int leading_digits(std::uint64_t v) { return std::countr_zero(nondigits(v)) / 8; }

// ~0 in the low n bytes, n = 0 .. 8.
constexpr std::uint64_t kLowBytes[9] = {0,
                                        0xFFULL,
                                        0xFFFFULL,
                                        0xFFFFFFULL,
                                        0xFFFFFFFFULL,
                                        0xFFFFFFFFFFULL,
                                        0xFFFFFFFFFFFFULL,
                                        0xFFFFFFFFFFFFFFULL,
                                        ~0ULL};

// The number the first n digits of `v` write, n = 0 .. 8 (0 for none): read as
// eight digits with zeros before them.
std::uint64_t first_digits(std::uint64_t v, int n) {
    const auto drop = static_cast<unsigned>(8 - n) * 8;
    const std::uint64_t kept = drop == 64 ? 0 : v << drop;
    return parse8(kept | (0x3030303030303030ULL & kLowBytes[8 - n]));
}

// Whether the 16 bytes from p are all digits; `out` gets the number they write.
inline bool sixteen_digits(const char* p, std::uint64_t& out) {
#if defined(__SSE2__)
    // Pairs, then fours, then eights of digits added up in the lanes.
    const __m128i d = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                                   _mm_set1_epi8('0'));
    const __m128i nine = _mm_set1_epi8(9);
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(d, nine), nine)) != 0xFFFF) return false;
    const __m128i pairs = _mm_add_epi16(
        _mm_mullo_epi16(_mm_and_si128(d, _mm_set1_epi16(0x00FF)), _mm_set1_epi16(10)),
        _mm_srli_epi16(d, 8));
    const __m128i fours = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00010064));  // 100, 1
    const __m128i eights =
        _mm_madd_epi16(_mm_packs_epi32(fours, fours), _mm_set1_epi32(0x00012710));  // 10^4, 1
    const auto high = static_cast<std::uint32_t>(_mm_cvtsi128_si32(eights));
    const auto low = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(eights, 4)));
    out = std::uint64_t{high} * 100000000 + low;
    return true;
#else
    const std::uint64_t high = load8(p);
    const std::uint64_t low = load8(p + 8);
    if ((nondigits(high) | nondigits(low)) != 0) return false;
    out = parse8(high) * 100000000 + parse8(low);
    return true;
#endif
}

// prefix(p, stop, out) == stop for the cell [p, stop) of the usual form of a
// reads table, -?d{1,7}.d+ with at most 19 digits, and out set alike; false,
// out untouched, when the cell has another form, so that the caller reads it
// as before. The byte at `stop` must be no digit, and 32 bytes from p must be
// readable. The digits make the same w and k as prefix's, so that `scaled`
// gives the same double; they are taken eight at a time with no loop whose
// length follows the cell's: %.17g writes 15 to 18 digits after the point,
// and prefix's loops missed their exits at about every cell.
inline bool usual(const char* p, const char* stop, double& out) {
    if constexpr (std::endian::native != std::endian::little) return false;
    // The sign and the one digit before the point that %.17g writes for numbers
    // below 10 are taken on branches, which are foreseen, so that the work on the
    // digits after the point does not wait for them: a line's work is too long for
    // the processor to overlap it with the next line's.
    const char* s = p;
    bool negative = false;
    if (*s == '-') [[unlikely]] {
        negative = true;
        ++s;
    }
    int whole = 1;
    std::uint64_t w = 0;
    if (static_cast<unsigned char>(s[0] - '0') < 10 && s[1] == '.') [[likely]] {
        w = static_cast<std::uint64_t>(s[0] - '0');
    } else {
        const std::uint64_t head = load8(s);
        whole = leading_digits(head);
        if (whole == 0 || whole == 8 || s[whole] != '.') return false;
        w = first_digits(head, whole);
    }
    const char* const f = s + whole + 1;
    const std::ptrdiff_t k = stop - f;
    if (k < 1 || whole + k > 19) return false;  // prefix counts leading zeros there
    if (k >= 16) [[likely]] {
        // The last sixteen digits are the two words before `stop`, the zero to two
        // before them the first bytes of f.
        const auto lead = static_cast<int>(k - 16);
        const std::uint64_t first = load8(f);
        std::uint64_t last16 = 0;
        if (!sixteen_digits(stop - 16, last16) || (nondigits(first) & kLowBytes[lead]) != 0) {
            return false;
        }
        // The lead digits as a number, without a branch on how many: k is 16 or 17
        // about as often.
        const std::uint64_t one = 0 - static_cast<std::uint64_t>(lead >= 1);
        const std::uint64_t two = 0 - static_cast<std::uint64_t>(lead == 2);
        const std::uint64_t d0 = first & 0xF;
        const std::uint64_t d1 = (first >> 8) & 0xF;
        const std::uint64_t led = (d0 & one) * (1 + (9 & two)) + (d1 & two);
        w = (w * kPow10[lead] + led) * 10000000000000000ULL + last16;
    } else {
        // At most fifteen digits, in the two words from f.
        const int n0 = static_cast<int>(std::min<std::ptrdiff_t>(k, 8));
        const int n1 = static_cast<int>(std::max<std::ptrdiff_t>(k - 8, 0));
        const std::uint64_t c0 = load8(f);
        const std::uint64_t c1 = load8(f + 8);
        if (((nondigits(c0) & kLowBytes[n0]) | (nondigits(c1) & kLowBytes[n1])) != 0) return false;
        w = w * kPow10[n0] + first_digits(c0, n0);
        w = w * kPow10[n1] + first_digits(c1, n1);
    }
    const double x = w == 0 ? 0.0 : scaled(w, static_cast<int>(k));
    out = negative ? -x : x;
    return true;
}

}  // namespace decimal

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
#if defined(__SIZEOF_INT128__)
    if (end - begin <= static_cast<std::ptrdiff_t>(kMaxPlainChars) &&
        decimal::prefix(p, end, out) == end) {
        return end;
    }
#endif
    // Overflow, and underflow where the library reports it, are left to the
    // caller: float() gives inf or 0 there, and the caller says which.
    const auto [ptr, ec] = std::from_chars(p, end, out, std::chars_format::general);
    if (ec != std::errc() || static_cast<std::size_t>(ptr - begin) > kMaxPlainChars ||
        !std::isfinite(out)) {
        return nullptr;
    }
    return ptr;
}

// read_number(p, stop, out) for a cell that ends at a stop byte (no digit) of
// a text that ends at `end`.
const char* read_cell(const char* p, const char* stop, const char* end, double& out) {
#if defined(__SIZEOF_INT128__)
    if (end - p >= 32 && decimal::usual(p, stop, out)) return stop;
#endif
    return read_number(p, stop, out);
}

// Numbers of cells seen before, by their text. Reads tables repeat their cells:
// a methylated fraction is k/n for few n, a density is shared by the reads of
// its region. A cell found here costs a hash and a compare instead of a
// conversion, and its number is the one read_number gave for the same bytes.
// A column whose cells are mostly new stops asking (the hash would be wasted).
class CellCache {
public:
    // What read_number(p, stop, out) gives when the cell [p, stop) is followed by a
    // byte that ends it (the delimiter, a line break or a byte for the caller),
    // holds no NUL (which ends a field too) and `end` (at least `stop`) is the end
    // of the text.
    const char* read(const char* p, const char* stop, const char* end, double& out) {
        const auto length = static_cast<std::uint32_t>(stop - p);
        if (!on_ || length == 0 || length > sizeof(Text) ||
            end - p < static_cast<std::ptrdiff_t>(sizeof(Text))) {
            return read_cell(p, stop, end, out);
        }
        Text text;
        std::memcpy(text.data(), p, sizeof text);
        // The bytes after the cell zeroed: a cell's key is its own bytes alone, and
        // as a cell holds no NUL its key tells its length too. The mask is read
        // from where `length` bytes of ones end.
        Text keep;
        std::memcpy(keep.data(), kKeep.data() + sizeof(Text) - length, sizeof keep);
        for (std::size_t i = 0; i < kWords; ++i) text[i] &= keep[i];
        // Two entries a slot, the newest first: texts whose hashes meet take turns
        // less often (71 fractions k/70 in 256 slots of one entry miss 9% of the time).
        Set& set = sets_[slot_of(text)];
        ++tried_;
        // Both entries compared before the one branch, which is foreseen where
        // cells repeat; which of the two holds the cell is not.
        const bool first = set.ways[0].same(text);
        if (first || set.ways[1].same(text)) {
            ++found_;
            out = first ? set.ways[0].value : set.ways[1].value;
            return stop;
        }
        const char* q = read_cell(p, stop, end, out);
        if (q == stop) {
            set.ways[1] = set.ways[0];
            set.ways[0] = Entry{text, out};
        }
        if (tried_ == kTrial && found_ < kTrial / 2) on_ = false;
        return q;
    }

private:
    static constexpr std::size_t kWords = 3;  // cells of up to 24 characters
    static constexpr int kSlotBits = 8;
    static constexpr std::uint32_t kTrial = 256;
    using Text = std::array<std::uint64_t, kWords>;
    // 0xff for the bytes of a cell, 0 for those after it.
    static constexpr std::array<unsigned char, 2 * sizeof(Text)> kKeep = [] {
        std::array<unsigned char, 2 * sizeof(Text)> keep{};
        for (std::size_t i = 0; i < sizeof(Text); ++i) keep[i] = 0xff;
        return keep;
    }();
    struct Entry {
        Text text{};  // all zero: empty
        double value = 0.0;
        // One branch for the whole compare: whether a cell is found is not predictable.
        bool same(const Text& t) const {
            return ((text[0] ^ t[0]) | (text[1] ^ t[1]) | (text[2] ^ t[2])) == 0;
        }
    };
    // A slot's two entries in one cache line.
    struct alignas(64) Set {
        std::array<Entry, 2> ways{};
    };

    // The words folded into one and spread by one multiply, whose high bits
    // depend on every bit of it.
    static std::size_t slot_of(const Text& text) {
        const std::uint64_t h = text[0] ^ std::rotl(text[1], 21) ^ std::rotl(text[2], 42);
        return static_cast<std::size_t>((h * 0x9E3779B97F4A7C15ULL) >> (64 - kSlotBits));
    }

    std::array<Set, std::size_t{1} << kSlotBits> sets_{};
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

// The stops of 64 bytes from p, bit i for p[i]: the bytes that end a field
// (the delimiter, '\n') or need the caller (is_special). One build per
// instruction set; each gives the same bits.
std::uint64_t stop_bits_scalar(const char* p, char delimiter) {
    std::uint64_t bits = 0;
    for (unsigned i = 0; i < 64; ++i) {
        const auto c = static_cast<unsigned char>(p[i]);
        const bool stop = c == static_cast<unsigned char>(delimiter) || c == '\n' || is_special(c);
        bits |= static_cast<std::uint64_t>(stop) << i;
    }
    return bits;
}

#if defined(__SSE2__)
std::uint64_t stop_bits_sse2(const char* p, char delimiter) {
    const __m128i delimiters = _mm_set1_epi8(delimiter);
    const __m128i newline = _mm_set1_epi8('\n');
    const __m128i ret = _mm_set1_epi8('\r');
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i zero = _mm_setzero_si128();
    std::uint64_t bits = 0;
    for (unsigned i = 0; i < 64; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const __m128i stop = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(v, delimiters), _mm_cmpeq_epi8(v, newline)),
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, ret), _mm_cmpeq_epi8(v, quote)),
                         _mm_cmpeq_epi8(v, zero)));
        // A byte of 0x80 or more has its high bit set, as a match does.
        const auto found = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_or_si128(stop, v)));
        bits |= static_cast<std::uint64_t>(found) << i;
    }
    return bits;
}
#endif

// Appends offset + i for each bit i of `bits` at `out`, lowest first; returns
// the new end. Eight are written whatever the count (the bits past the last
// give offset + 64, never read): a 64-byte block of a reads table holds two to
// six stops, and a loop over just those would mispredict its exit at every
// block. `out` needs room for eight more than the count.
KORVEL_ALWAYS_INLINE std::uint32_t* emit_stops(std::uint64_t bits, std::uint32_t offset,
                                               std::uint32_t* out) {
    const int count = std::popcount(bits);
    for (int i = 0; i < 8; ++i) {
        out[i] = offset + static_cast<std::uint32_t>(std::countr_zero(bits));
        bits &= bits - 1;
    }
    for (int i = 8; i < count; ++i) {
        out[i] = offset + static_cast<std::uint32_t>(std::countr_zero(bits));
        bits &= bits - 1;
    }
    return out + count;
}

// The stops of `blocks` whole blocks of 64 bytes from p, as offsets from p,
// written at `out`: the new end.
std::uint32_t* find_stops_scalar(const char* p, std::size_t blocks, char delimiter,
                                 std::uint32_t* out) {
    for (std::size_t b = 0; b < blocks; ++b) {
        out = emit_stops(stop_bits_scalar(p + 64 * b, delimiter), static_cast<std::uint32_t>(64 * b), out);
    }
    return out;
}

#if defined(__SSE2__)
std::uint32_t* find_stops_sse2(const char* p, std::size_t blocks, char delimiter,
                               std::uint32_t* out) {
    for (std::size_t b = 0; b < blocks; ++b) {
        out = emit_stops(stop_bits_sse2(p + 64 * b, delimiter), static_cast<std::uint32_t>(64 * b), out);
    }
    return out;
}
#endif

#ifdef KORVEL_SIMD_BUILDS
KORVEL_TARGET_BEGIN_AVX2
// Two 32-byte compares a block where SSE2 takes four 16-byte ones.
KORVEL_ALWAYS_INLINE std::uint64_t stop_bits_avx2(const char* p, char delimiter) {
    const __m256i delimiters = _mm256_set1_epi8(delimiter);
    const __m256i newline = _mm256_set1_epi8('\n');
    const __m256i ret = _mm256_set1_epi8('\r');
    const __m256i quote = _mm256_set1_epi8('"');
    const __m256i zero = _mm256_setzero_si256();
    std::uint64_t bits = 0;
    for (unsigned i = 0; i < 64; i += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        const __m256i stop = _mm256_or_si256(
            _mm256_or_si256(_mm256_cmpeq_epi8(v, delimiters), _mm256_cmpeq_epi8(v, newline)),
            _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v, ret), _mm256_cmpeq_epi8(v, quote)),
                            _mm256_cmpeq_epi8(v, zero)));
        const auto found =
            static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_or_si256(stop, v)));
        bits |= static_cast<std::uint64_t>(found) << i;
    }
    return bits;
}

std::uint32_t* find_stops_avx2(const char* p, std::size_t blocks, char delimiter,
                               std::uint32_t* out) {
    for (std::size_t b = 0; b < blocks; ++b) {
        out = emit_stops(stop_bits_avx2(p + 64 * b, delimiter), static_cast<std::uint32_t>(64 * b), out);
    }
    return out;
}
KORVEL_TARGET_END
#endif

using FindStops = std::uint32_t* (*)(const char*, std::size_t, char, std::uint32_t*);

FindStops find_stops_for(SimdPath path) {
#ifdef KORVEL_SIMD_BUILDS
    if (static_cast<int>(path) >= static_cast<int>(SimdPath::avx2)) return find_stops_avx2;
#endif
#if defined(__SSE2__)
    if (static_cast<int>(path) >= static_cast<int>(SimdPath::sse2)) return find_stops_sse2;
#endif
    (void)path;
    return find_stops_scalar;
}

// The stops of a text: found for a chunk of it at a time into a list of
// offsets, which the lines then take one per field. Where a line's fields were found in a window of 64 bytes
// that was computed again whenever a field crossed its end, the branch that
// asked for a new window went either way with the lengths of the lines and
// missed often; the list is filled in a loop of its own.
class Stops {
public:
    // Every byte of a chunk may be a stop; eight more for emit_stops' writes.
    static constexpr std::size_t kChunk = 2048;  // a multiple of 64
    using List = std::array<std::uint32_t, kChunk + 8>;

    // `list` is kept apart from the object so that the object, whose members
    // the lines use at every field, can live in registers.
    Stops(const char* begin, const char* end, char delimiter, SimdPath path, List& list) noexcept
        : scanned_(begin), end_(end), list_(list.data()), find_(find_stops_for(path)),
          delimiter_(delimiter) {}

    // The first stop at or after p, `end` when there is none. p must be past
    // every stop returned before (the scan only moves forward).
    const char* next(const char* p) {
        for (;;) {
            while (cur_ != last_) {
                const char* const q = base_ + *cur_++;
                if (q >= p) return q;
            }
            const char* const from = std::max(p, scanned_);
            if (from >= end_) return end_;
            const auto length = std::min(static_cast<std::size_t>(end_ - from), kChunk);
            last_ = fill(from, length, delimiter_, find_, list_);
            cur_ = list_;
            base_ = from;
            scanned_ = from + length;
        }
    }

private:
    // Lists the stops of [from, from + length) at `list`: the end of the list.
    static const std::uint32_t* fill(const char* from, std::size_t length, char delimiter,
                                     FindStops find, std::uint32_t* list) {
        const std::size_t blocks = length / 64;
        std::uint32_t* out = find(from, blocks, delimiter, list);
        if (const std::size_t rest = length - 64 * blocks; rest != 0) {
            // The text's last bytes: copied into a block of their own, the bits of
            // the bytes after them dropped.
            std::array<char, 64> tail{};
            std::memcpy(tail.data(), from + 64 * blocks, rest);
            const std::uint64_t bits =
                stop_bits_scalar(tail.data(), delimiter) & (~0ULL >> (64 - rest));
            out = emit_stops(bits, static_cast<std::uint32_t>(64 * blocks), out);
        }
        return out;
    }

    const char* base_ = nullptr;  // what the offsets count from
    const char* scanned_;         // the end of the chunk last listed
    const std::uint32_t* cur_ = nullptr;
    const std::uint32_t* last_ = nullptr;
    const char* end_;
    std::uint32_t* list_;
    FindStops find_;
    char delimiter_;
};

}  // namespace

std::vector<std::size_t> detail::list_stops(std::span<const char> text, char delimiter,
                                            SimdPath path) {
    std::vector<std::size_t> found;
    const char* const end = text.data() + text.size();
    Stops::List list;
    Stops stops(text.data(), end, delimiter, path, list);
    for (const char* p = text.data();;) {
        const char* const q = stops.next(p);
        if (q == end) break;
        found.push_back(static_cast<std::size_t>(q - text.data()));
        p = q + 1;
    }
    return found;
}

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
    const std::uint8_t* const slot = slots.data();
    const std::size_t n_fields = slots.size();
    Stops::List stop_list;
    Stops stops(data, data_end, delimiter, simd_path(), stop_list);
    while (pos < size) {
        // The usual lines first, read in one pass each, one after another while they
        // are plain: each field ends at the next stop, numbers are read where they
        // are wanted, the other fields stepped over, and each field must end at the
        // delimiter, the last at the line break. Anything else is left to the
        // careful reading below.
        if (one_pass) {
            const char* line = data + pos;
            std::size_t rows = scan.rows;
            // Numbers go straight to their row: it counts only once the line is plain.
            double* row = values.data() + rows * n_slots;
            while (rows < capacity && line != data_end && *line != '\n' && *line != '\r') {
                const char* p = line;
                std::size_t field = 0;
                bool plain = false;
                for (;;) {
                    const char* q = stops.next(p);
                    if (q == data_end) break;
                    const std::uint8_t s = slot[field];
                    if (s != 0 && cells[s - 1].read(p, q, data_end, row[s - 1]) != q) break;
                    if (++field == n_fields) {
                        if (*q == '\r' && q + 1 != data_end) ++q;
                        plain = *q == '\n';
                        p = q;
                        break;
                    }
                    if (*q != delimiter) break;
                    p = q + 1;
                }
                if (!plain) break;
                line_numbers[rows] = first_line + scan.lines + static_cast<std::int64_t>(rows - scan.rows);
                ++rows;
                row += n_slots;
                line = p + 1;
            }
            scan.lines += static_cast<std::int64_t>(rows - scan.rows);
            scan.rows = rows;
            pos = static_cast<std::size_t>(line - data);
            if (pos == size) break;
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
