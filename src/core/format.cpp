#include "core/format.h"

#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace korvel {
namespace {

// The C library prints "nan", "-nan" or "inf" depending on the platform; our
// texts must read the same everywhere.
bool format_non_finite(double v, bool always_sign, std::string& out) {
    if (std::isnan(v)) {
        out = "NaN";
        return true;
    }
    if (std::isinf(v)) {
        out = v < 0 ? "-inf" : (always_sign ? "+inf" : "inf");
        return true;
    }
    return false;
}

// The "d.ddde±XX" form of v with `decimals` digits after the point.
std::string print_exponent_form(double v, int decimals) {
    char buf[64];
    const int len = std::snprintf(buf, sizeof buf, "%.*e", decimals, v);
    return std::string(buf, static_cast<std::size_t>(len));
}

}  // namespace

std::string format_fixed(double v, int decimals, bool always_sign) {
    std::string out;
    if (format_non_finite(v, always_sign, out)) return out;
    if (decimals < 0) decimals = 0;
    // Up to 309 integer digits plus the fraction, sign and point: ask
    // snprintf for the length first instead of guessing a buffer size.
    const char* fmt = always_sign ? "%+.*f" : "%.*f";
    const int len = std::snprintf(nullptr, 0, fmt, decimals, v);
    out.resize(static_cast<std::size_t>(len) + 1);
    std::snprintf(out.data(), out.size(), fmt, decimals, v);
    out.resize(static_cast<std::size_t>(len));
    return out;
}

std::string format_shortest(double v) {
    std::string out;
    if (format_non_finite(v, false, out)) return out;
    const bool negative = std::signbit(v);
    if (v == 0.0) return negative ? "-0" : "0";

    // Fewest significant digits that read back as the same bits. snprintf
    // rounds correctly, so among the candidates of that length it gives the
    // one nearest to v. 17 digits always round-trip a double.
    std::string e_form;
    for (int p = 0; p <= 16; ++p) {
        e_form = print_exponent_form(v, p);
        const double back = std::strtod(e_form.c_str(), nullptr);
        if (std::bit_cast<std::uint64_t>(back) == std::bit_cast<std::uint64_t>(v)) break;
    }

    // Split "[-]d[.ddd]e±XX" into its digit string and decimal exponent.
    std::string digits;
    std::size_t i = negative ? 1 : 0;
    for (; i < e_form.size() && e_form[i] != 'e'; ++i) {
        if (e_form[i] != '.') digits.push_back(e_form[i]);
    }
    const int exponent = std::atoi(e_form.c_str() + i + 1);
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

    // Rewrite as a plain decimal: v = d0.d1d2... x 10^exponent.
    if (negative) out.push_back('-');
    const int n_digits = static_cast<int>(digits.size());
    if (exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out += digits;
    } else if (exponent + 1 >= n_digits) {
        out += digits;
        out.append(static_cast<std::size_t>(exponent + 1 - n_digits), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(exponent + 1));
        out.push_back('.');
        out.append(digits, static_cast<std::size_t>(exponent + 1), std::string::npos);
    }
    return out;
}

void write_stderr_line(const std::string& line) {
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t r = ::write(STDERR_FILENO, p, left);
        if (r < 0) {
            if (errno == EINTR) continue;
            return;  // progress output is best effort; the fit goes on
        }
        p += r;
        left -= static_cast<std::size_t>(r);
    }
}

}  // namespace korvel
