#include "python/checks.h"

#include <cmath>

#include "core/format.h"

namespace korvel::py::check {

namespace {

std::string number(double v) { return format_shortest(v); }

}  // namespace

void edges(const char* name, std::span<const double> values) {
    if (values.size() < 2) {
        throw ArgumentError(name, "needs at least two edges, got " +
                                  std::to_string(values.size()));
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!std::isfinite(values[i])) {
            throw ArgumentError(name, "edge " + std::to_string(i) + " is " +
                                      number(values[i]) + ", not a finite number");
        }
        if (i > 0 && !(values[i] > values[i - 1])) {
            throw ArgumentError(name, "edges must increase strictly: edge " +
                                      std::to_string(i) + " is " + number(values[i]) +
                                      " after " + number(values[i - 1]));
        }
    }
}

void size(const char* name, std::size_t got, std::size_t want, const char* unit,
          const std::string& what) {
    if (got != want) {
        throw ArgumentError(name, "has " + std::to_string(got) + " " + unit + ", " + what +
                                  " need " + std::to_string(want));
    }
}

void non_negative(const char* name, std::span<const double> values) {
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!(std::isfinite(values[i]) && values[i] >= 0.0)) {
            throw ArgumentError(name, "entry " + std::to_string(i) + " is " +
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
                throw ArgumentError(name, "entry [" + std::to_string(r) + ", " +
                                          std::to_string(c) + "] is " + number(row[c]) +
                                          ": values must be finite and not negative");
            }
        }
    }
}

void finite(const char* name, double value) {
    if (!std::isfinite(value)) {
        throw ArgumentError(name, "is " + number(value) + ", not a finite number");
    }
}

void non_negative(const char* name, double value) {
    if (!(std::isfinite(value) && value >= 0.0)) {
        throw ArgumentError(name, "is " + number(value) + ": must be finite and not negative");
    }
}

void weights(std::span<const double> values, std::size_t rows) {
    size("weights", values.size(), rows, "entries", "the density rows of observed_fracs_2d");
    non_negative("weights", values);
}

namespace {

void box(const char* name, Bound b, bool positive, bool open) {
    const std::string shown = "(" + number(b.lo) + ", " + number(b.hi) + ")";
    const bool ordered = open ? b.lo < b.hi : b.lo <= b.hi;
    if (!(std::isfinite(b.lo) && std::isfinite(b.hi) && ordered)) {
        throw ArgumentError(name, std::string("must be (lo, hi) with finite lo ") +
                                  (open ? "<" : "<=") + " hi, got " + shown);
    }
    if (positive && !(b.lo > 0.0)) {
        throw ArgumentError(name, "is searched on a logarithmic scale and needs lo > 0, "
                                  "got " + shown);
    }
}

}  // namespace

void bounds(const char* name, Bound b, bool positive) { box(name, b, positive, false); }

void open_bounds(const char* name, Bound b, bool positive) { box(name, b, positive, true); }

void drift_inputs(const char* p0_name, const RowMatrix* p0_rows, std::span<const double> p0,
                  const char* observed_name, const RowMatrix& observed,
                  std::size_t observed_rows, std::span<const double> fit_ages,
                  std::span<const double> edges) {
    check::edges("meth_bin_edges", edges);
    const std::size_t n_bins = edges.size() - 1;
    const std::string bins = "the bins of meth_bin_edges";
    if (p0_rows != nullptr) {
        size(p0_name, p0_rows->cols(), n_bins, "columns", bins);
        non_negative(p0_name, *p0_rows);
    } else {
        size(p0_name, p0.size(), n_bins, "entries", bins);
        non_negative(p0_name, p0);
    }
    size(observed_name, observed.rows(), observed_rows, "rows", "the fit ages (and samples)");
    size(observed_name, observed.cols(), n_bins, "columns", bins);
    non_negative(observed_name, observed);
    non_negative("fit_ages", fit_ages);
}

void at_least(const char* name, std::size_t value, std::size_t minimum) {
    if (value < minimum) {
        throw ArgumentError(name, "is " + std::to_string(value) + ", must be at least " +
                                  std::to_string(minimum));
    }
}

}  // namespace korvel::py::check
