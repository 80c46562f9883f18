// The value of every shared-fit objective: the weighted per-density NLLs,
// computed in parallel and added in row order.
//
// Addition of doubles is not associative, so the order of the sum is part of
// the result: the terms are placed by row index and added from 0.0 in row
// order on the calling thread, never in the order the workers finish. That
// keeps every shared fit bit-identical at any thread count.
#pragma once

#include <cstddef>
#include <limits>
#include <vector>

#include "core/interrupt.h"
#include "core/pool.h"
#include "fits/shared_fits.h"

namespace korvel {

inline double weight_of(const OptionalWeights& weights, std::size_t d) {
    return weights ? (*weights)[d] : 1.0;
}

// Sum over d in [0, n_rows), in row order from 0.0, of nll_of(d) * weight[d]
// (weight 1.0 when none are given, which leaves each NLL's bits unchanged);
// each finished fit is counted in the call's work.
// Once the call is interrupted no further per-density fit starts and the value
// is +inf: nobody will look at it, and +inf (unlike the NaN that a skipped
// term times a zero weight would give) lets a running simplex wind down
// instead of failing.
template <class NllOf>
double weighted_total(std::size_t n_rows, const OptionalWeights& weights,
                      const Interruption& interruption, NllOf&& nll_of) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    if (interruption.requested()) return inf;
    const std::vector<double> terms = parallel_map<double>(n_rows, [&](std::size_t d) {
        if (interruption.requested()) return inf;
        const double nll = nll_of(d);
        interruption.count_fit();
        return nll * weight_of(weights, d);
    });
    if (interruption.requested()) return inf;
    double sum = 0.0;
    for (const double t : terms) sum += t;
    return sum;
}

}  // namespace korvel
