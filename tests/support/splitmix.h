// splitmix64: a small, fixed generator for drawing test and benchmark cases.
// Fixed so that drawn cases (and the golden data made from them) can be
// regenerated exactly; korvel itself draws from ChaCha8.
#pragma once

#include <cmath>
#include <cstdint>

namespace korvel_test {

struct SplitMix {
    std::uint64_t s;

    std::uint64_t next() {
        std::uint64_t z = (s += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    // Uniform in [0, 1).
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    double uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }
    // 10^e with e uniform in [lo_exp10, hi_exp10).
    double pow10_uniform(double lo_exp10, double hi_exp10) {
        return std::pow(10.0, uniform(lo_exp10, hi_exp10));
    }
    // Log-uniform between two positive values.
    double log_uniform(double lo, double hi) {
        return pow10_uniform(std::log10(lo), std::log10(hi));
    }
    int below(int n) { return static_cast<int>(next() % static_cast<std::uint64_t>(n)); }
};

}  // namespace korvel_test
