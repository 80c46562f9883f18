// Bounded Nelder-Mead simplex minimiser.
#pragma once

#include <span>

#include "optimizer/box.h"

namespace korvel {

struct NelderMeadSettings {
    int max_iterations;
    double tolerance;          // on worst - best
    int stall_window;          // 0: no stall rule
    double stall_improvement;  // improvement that resets the stall counter
};

// Second stage of every global search.
inline constexpr NelderMeadSettings kPolishSettings{2000, 1e-10, 0, 0.0};
// Searches over shared parameters from fixed start points.
inline constexpr NelderMeadSettings kOuterSettings{200, 1e-4, 50, 1e-3};

// Minimises f from x0 inside box (box.size() == x0.size()). Throws
// InternalError on bad bounds or when a NaN value has to be ordered.
OptResult nelder_mead(Objective f, std::span<const double> x0, std::span<const Bound> box,
                      const NelderMeadSettings& settings);

}  // namespace korvel
