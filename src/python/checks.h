// Checks of argument values that the newer functions run before any work.
//
// The functions of the first release take their inputs as given and fail
// (if at all) with the internal error when a computation meets what it
// cannot use; the command checks for them. The functions added since then
// refuse what they cannot use up front, with a ValueError that names the
// argument, so that a caller learns of a typo at once instead of after a long
// search, or never (a wrong shape that happens to give numbers).
//
// Each check throws ArgumentError (core/errors.h), as the kernels do for
// what only they can judge; the call frame turns it into
// ValueError("argument '<name>': <message>"). Call them at the top of a
// function's body, before without_gil. Large arrays that need only a size
// limit are checked before they are copied: see arg::matrix's max_elements
// in signature.h.
#pragma once

#include <cstddef>
#include <span>
#include <string>

#include "core/errors.h"
#include "core/row_matrix.h"
#include "optimizer/box.h"

namespace korvel::py::check {

// At least two values, every one finite, strictly increasing.
void edges(const char* name, std::span<const double> values);

// `got` entries where `want` are needed; `what` says why, as in
// "the 10 bins of meth_bin_edges".
void size(const char* name, std::size_t got, std::size_t want, const char* unit,
          const std::string& what);

// Every value finite and not negative (fractions, weights, ages).
void non_negative(const char* name, std::span<const double> values);
void non_negative(const char* name, const RowMatrix& values);

// A finite number (an exponent, for instance).
void finite(const char* name, double value);

// A finite number, not negative (a penalty).
void non_negative(const char* name, double value);

// One finite, non-negative weight per density row.
void weights(std::span<const double> values, std::size_t rows);

// Both ends finite and lo <= hi (lo == hi holds a parameter fixed, which
// callers use); with `positive` also lo > 0 (a box searched on a logarithmic
// scale).
void bounds(const char* name, Bound b, bool positive);

// The same with lo < hi: a box that something is searched in, not fixed by.
void open_bounds(const char* name, Bound b, bool positive);

// The data of the log-scale drift fits: finite increasing edges, starting
// fractions (p0_rows, or p0 when p0_rows is null) and observation rows of one
// entry per bin, finite and not negative, `observed_rows` rows, ages finite
// and not negative.
void drift_inputs(const char* p0_name, const RowMatrix* p0_rows, std::span<const double> p0,
                  const char* observed_name, const RowMatrix& observed,
                  std::size_t observed_rows, std::span<const double> fit_ages,
                  std::span<const double> edges);

// A count of at least `minimum`.
void at_least(const char* name, std::size_t value, std::size_t minimum);

}  // namespace korvel::py::check
