// Number formatting for korvel's own texts (error messages, progress lines).
//
// snprintf-based, so the output does not depend on iostream locale state.
// Non-finite values always print as "NaN", "inf" and "-inf" ("+inf" where the
// sign is always shown), never as the C library's "nan" or "-nan".
#pragma once

#include <string>

namespace korvel {

// Fixed-point with `decimals` digits after the point ("{:.6}" -> 6, "{:+.3}"
// -> 3 with always_sign).
std::string format_fixed(double v, int decimals, bool always_sign = false);

// The shortest decimal that reads back as the same double, written without an
// exponent: 2.0 -> "2", 0.001 -> "0.001", 1e-7 -> "0.0000001".
std::string format_shortest(double v);

// Writes one progress line to standard error (file descriptor 2) with a single
// write(), so that lines of concurrent writers (other threads, Python) never
// interleave inside a line. Best effort: a failed write is not an error.
void write_stderr_line(const std::string& line);

}  // namespace korvel
