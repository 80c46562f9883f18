// Boxes and results shared by korvel's optimisers.
#pragma once

#include <span>
#include <vector>

#include "core/function_ref.h"

namespace korvel {

// One coordinate's bounds. lo must not exceed hi and neither may be NaN; the
// clamp reports a violation the first time that coordinate is clamped.
struct Bound {
    double lo;
    double hi;
};

// An objective: a point in the caller's search coordinates -> a value.
using Objective = FunctionRef<double(std::span<const double>)>;

struct OptResult {
    std::vector<double> x;
    double f;
};

// lo if v < lo, hi if v > hi, else v (NaN stays NaN). Throws InternalError
// "min > max, or either was NaN. min = {}, max = {}" for bad bounds.
double clamp(double v, double lo, double hi);

// Throws clamp's error for an inverted or NaN pair: a box checked before any
// work instead of at the first clamp of that coordinate.
void check_bound(Bound b);

// Both ends through std::log10: the box of a coordinate searched as its
// base-10 logarithm.
Bound log10_of(Bound b);

}  // namespace korvel
