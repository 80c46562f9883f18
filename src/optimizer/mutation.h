// The mutant coordinate of the differential-evolution stage, kept apart so
// that its bound handling can be tested on its own.
#pragma once

#include "optimizer/box.h"
#include "optimizer/rng.h"

namespace korvel::detail {

// best/1 mutation of one coordinate: v = best + F * (r1 - r2). A mutant that
// leaves the box is not put on the bound (that would pile members up on the
// faces of the box) but drawn uniformly between the bound and the target's own
// coordinate. The final clamp only guards against rounding and reports bad
// bounds.
inline double mutant_coordinate(double best, double r1, double r2, double target, double F,
                                const Bound& bound, ChaCha8& rng) {
    double v = best + F * (r1 - r2);
    if (v < bound.lo) v = bound.lo + rng.uniform() * (target - bound.lo);
    if (v > bound.hi) v = bound.hi - rng.uniform() * (bound.hi - target);
    return clamp(v, bound.lo, bound.hi);
}

}  // namespace korvel::detail
