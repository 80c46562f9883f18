#include "python/checks.h"

#include <cmath>

#include "core/format.h"

namespace korvel::py::check {

namespace {

std::string number(double v) { return format_shortest(v); }

}  // namespace

void edges(const char* name, std::span<const double> values) {
    if (values.size() < 2) {
        throw ArgumentValueError(name, "needs at least two edges, got " +
                                           std::to_string(values.size()));
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!std::isfinite(values[i])) {
            throw ArgumentValueError(name, "edge " + std::to_string(i) + " is " +
                                               number(values[i]) + ", not a finite number");
        }
        if (i > 0 && !(values[i] > values[i - 1])) {
            throw ArgumentValueError(name, "edges must increase strictly: edge " +
                                               std::to_string(i) + " is " + number(values[i]) +
                                               " after " + number(values[i - 1]));
        }
    }
}

void size(const char* name, std::size_t got, std::size_t want, const char* unit,
          const std::string& what) {
    if (got != want) {
        throw ArgumentValueError(name, "has " + std::to_string(got) + " " + unit + ", " + what +
                                           " need " + std::to_string(want));
    }
}

void non_negative(const char* name, std::span<const double> values) {
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!(std::isfinite(values[i]) && values[i] >= 0.0)) {
            throw ArgumentValueError(name, "entry " + std::to_string(i) + " is " +
                                               number(values[i]) +
                                               ": values must be finite and not negative");
        }
    }
}

void non_negative(const char* name, const RowMatrix& values) {
    for (std::size_t r = 0; r < values.rows(); ++r) {
        const std::span<const double> row = values.row(r, name);
        for (std::size_t c = 0; c < row.size(); ++c) {
            if (!(std::isfinite(row[c]) && row[c] >= 0.0)) {
                throw ArgumentValueError(name, "entry [" + std::to_string(r) + ", " +
                                                   std::to_string(c) + "] is " + number(row[c]) +
                                                   ": values must be finite and not negative");
            }
        }
    }
}

void finite(const char* name, double value) {
    if (!std::isfinite(value)) {
        throw ArgumentValueError(name, "is " + number(value) + ", not a finite number");
    }
}

void bounds(const char* name, Bound b, bool positive) {
    const std::string shown = "(" + number(b.lo) + ", " + number(b.hi) + ")";
    if (!(std::isfinite(b.lo) && std::isfinite(b.hi) && b.lo <= b.hi)) {
        throw ArgumentValueError(name, "must be (lo, hi) with finite lo <= hi, got " + shown);
    }
    if (positive && !(b.lo > 0.0)) {
        throw ArgumentValueError(name, "is searched on a logarithmic scale and needs lo > 0, "
                                       "got " + shown);
    }
}

void at_least(const char* name, std::size_t value, std::size_t minimum) {
    if (value < minimum) {
        throw ArgumentValueError(name, "is " + std::to_string(value) + ", must be at least " +
                                           std::to_string(minimum));
    }
}

}  // namespace korvel::py::check
