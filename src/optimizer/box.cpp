#include "optimizer/box.h"

#include <cmath>
#include <string>

#include "core/errors.h"
#include "core/format.h"

namespace korvel {

double clamp(double v, double lo, double hi) {
    // !(lo <= hi) is true for inverted bounds and for a NaN at either end.
    if (!(lo <= hi)) {
        throw InternalError("min > max, or either was NaN. min = " + format_shortest(lo) +
                            ", max = " + format_shortest(hi));
    }
    if (v < lo) return lo;
    if (v > hi) return hi;
    return v;  // NaN falls through unchanged
}

void check_bound(Bound b) { (void)clamp(b.lo, b.lo, b.hi); }

Bound log10_of(Bound b) { return {std::log10(b.lo), std::log10(b.hi)}; }

}  // namespace korvel
