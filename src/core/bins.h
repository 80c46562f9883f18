// Counting pairs of numbers into the cells of two sets of bins.
//
// The reads of a table are binned by CpG density and by methylated fraction
// as they are read, block by block, so that memory does not grow with the
// reads; this counts a block in one pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace korvel {

// The bin of `x` among the ascending `edges`: bin j is [edges[j], edges[j+1]),
// the last one closed, [edges[n-2], edges[n-1]]; -1 outside the edges, for
// NaN, or with fewer than two edges. A fraction exactly at an edge falls into
// the bin that starts there, as the model's methylation states do.
std::ptrdiff_t bin_of(double x, std::span<const double> edges);

// Adds one to counts[bin_of(a[i]) * (b_edges.size() - 1) + bin_of(b[i])] for
// each i below the shorter of a and b where both bins exist; returns how many
// pairs fell outside. `counts` has (a_edges.size() - 1) * (b_edges.size() - 1)
// cells; with another size, or fewer than two edges on either side, nothing
// is counted and every pair is outside.
std::size_t count_pairs(std::span<const double> a, std::span<const double> b,
                        std::span<const double> a_edges, std::span<const double> b_edges,
                        std::span<std::int64_t> counts);

}  // namespace korvel
