// Brent's derivative-free minimiser on a closed interval.
#pragma once

#include "core/function_ref.h"

namespace korvel {

// Minimises g on [a, b]; returns the best point found.
double brent_minimise(FunctionRef<double(double)> g, double a, double b);

}  // namespace korvel
