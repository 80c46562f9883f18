// Parameter sets of the stationary model drawn over wide ranges, for the
// tests that hold one solve against another: half from a real fit's box, half
// from anywhere (huge, tiny, denormal, zero, negative and non-finite values,
// finite and absent ceilings), in either raw-count mode.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "tests/support/splitmix.h"

namespace korvel_test {

// How many drawn sets a test runs: `optimised` in an optimised build, a tenth
// of that under sanitizers or without optimisation, where the same run would
// take minutes.
constexpr int drawn_sets(int optimised) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || !defined(__OPTIMIZE__)
    return optimised / 10;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(undefined_behavior_sanitizer)
    return optimised / 10;
#else
    return optimised;
#endif
#else
    return optimised;
#endif
}

struct DrawnParams {
    double ste, stw, cow, coe, n_u, n_m, vmax;
    bool raw;
};

inline double draw_rate(SplitMix& g) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const int c = g.below(100);
    if (c < 45) return g.pow10_uniform(-4.0, 4.0);          // a fit's range
    if (c < 65) return g.pow10_uniform(-12.0, 12.0);        // wide
    if (c < 75) return g.pow10_uniform(-300.0, 300.0);      // huge and tiny
    if (c < 78) return std::bit_cast<double>(g.next() % (1ULL << 52));  // denormal (or zero)
    if (c < 84) return 0.0;
    if (c < 85) return -0.0;
    if (c < 88) return -g.pow10_uniform(-3.0, 3.0);         // negative
    if (c < 94) return 1.0;
    if (c < 96) return g.uniform(0.0, 1.0) * 1e308 * 1.7;  // near the largest double
    if (c < 97) return std::numeric_limits<double>::quiet_NaN();
    if (c < 98) return kInf;
    if (c < 99) return -kInf;
    return std::numeric_limits<double>::denorm_min();
}

inline double draw_exponent(SplitMix& g) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const int c = g.below(100);
    if (c < 60) return g.uniform(0.0, 6.0);
    if (c < 70) return 0.0;
    if (c < 85) return static_cast<double>(1 + g.below(6));
    if (c < 90) return 2.0;
    if (c < 95) return g.uniform(-3.0, 0.0);
    if (c < 97) return g.uniform(6.0, 400.0);  // overflow in raw-count mode
    if (c < 98) return std::numeric_limits<double>::quiet_NaN();
    if (c < 99) return kInf;
    return -kInf;
}

inline double draw_vmax(SplitMix& g) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const int c = g.below(100);
    if (c < 40) return kInf;
    if (c < 45) return -kInf;
    if (c < 50) return std::numeric_limits<double>::quiet_NaN();
    if (c < 85) return g.pow10_uniform(-6.0, 12.0);
    if (c < 90) return 0.0;
    if (c < 95) return -g.pow10_uniform(-3.0, 3.0);
    return g.pow10_uniform(-300.0, 300.0);
}

inline DrawnParams draw_params(SplitMix& g) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    DrawnParams p{};
    if (g.below(100) < 50) {
        // A fit's box: St in (0.01, 10) with the other rate 1, coefficients
        // log-uniform in (1e-3, 1e3), exponents 1 to 4.
        const double st = g.pow10_uniform(-2.0, 1.0);
        const bool ste_free = g.below(2) == 0;
        p.ste = ste_free ? st : 1.0;
        p.stw = ste_free ? 1.0 : st;
        p.cow = g.pow10_uniform(-3.0, 3.0);
        p.coe = g.pow10_uniform(-3.0, 3.0);
        p.n_u = g.below(4) == 0 ? 2.0 : g.uniform(1.0, 4.0);
        p.n_m = g.below(4) == 0 ? 2.0 : g.uniform(1.0, 4.0);
        p.vmax = g.below(3) == 0 ? g.pow10_uniform(-1.0, 4.0) : kInf;
        if (g.below(10) == 0) p.cow = draw_rate(g);
        if (g.below(10) == 0) p.coe = draw_rate(g);
    } else {
        p.ste = draw_rate(g);
        p.stw = draw_rate(g);
        p.cow = draw_rate(g);
        p.coe = draw_rate(g);
        p.n_u = draw_exponent(g);
        p.n_m = draw_exponent(g);
        p.vmax = draw_vmax(g);
    }
    p.raw = g.below(2) == 0;
    return p;
}

}  // namespace korvel_test
