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

}  // namespace korvel
