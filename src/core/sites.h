// A region of CpG sites, its states, and the methylation bins a state's
// methylated fraction is sorted into. Shared by the master-equation model, the
// drift model and the phase grids, so that the three agree to the bit on
// where a state falls.
#pragma once

#include <cstddef>
#include <span>

namespace korvel {

// CpG sites of a region; its state is the number m of methylated sites,
// m = 0 .. kNcpg.
inline constexpr int kNcpg = 70;
inline constexpr int kNumStates = kNcpg + 1;

// Methylated fraction of state m: a double division by exactly 70.0.
constexpr double methylated_fraction(double m) { return m / static_cast<double>(kNcpg); }

// Whether x lies in bin j of the methylation-bin edges (j + 1 < edges.size()).
// Bin j is [edge j, edge j+1), closed below and open above, so that a fraction
// on an inner edge belongs to the upper bin; the last bin is closed at both
// ends, so that x = 1 belongs to it. A NaN edge or x fails both comparisons:
// nothing falls into a bin bounded by NaN. Which bin a state is given to when
// several contain it is the caller's rule.
inline bool in_meth_bin(std::span<const double> edges, std::size_t j, double x) {
    if (j + 2 == edges.size()) return edges[j] <= x && x <= edges[j + 1];
    return edges[j] <= x && x < edges[j + 1];
}

}  // namespace korvel
