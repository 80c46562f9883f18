#include "core/bins.h"

#include <algorithm>
#include <cstddef>

namespace korvel {

std::ptrdiff_t bin_of(double x, std::span<const double> edges) {
    if (edges.size() < 2 || !(x >= edges.front() && x <= edges.back())) return -1;
    const auto n = static_cast<std::ptrdiff_t>(edges.size());
    if (x == edges.back()) return n - 2;
    // The edges at or below x, counted by halving without a branch on the data
    // (the reads come in no order, so a branch would be mispredicted half the
    // time): the last of them starts x's bin.
    const double* base = edges.data();
    std::size_t len = edges.size();
    while (len > 1) {
        const std::size_t half = len / 2;
        base += base[half] <= x ? half : 0;
        len -= half;
    }
    return base - edges.data();
}

std::size_t count_pairs(std::span<const double> a, std::span<const double> b,
                        std::span<const double> a_edges, std::span<const double> b_edges,
                        std::span<std::int64_t> counts) {
    const std::size_t n = std::min(a.size(), b.size());
    if (a_edges.size() < 2 || b_edges.size() < 2) return n;
    const std::size_t n_b = b_edges.size() - 1;
    if (counts.size() != (a_edges.size() - 1) * n_b) return n;
    std::size_t outside = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::ptrdiff_t j = bin_of(a[i], a_edges);
        const std::ptrdiff_t k = bin_of(b[i], b_edges);
        if (j < 0 || k < 0) {
            ++outside;
            continue;
        }
        ++counts[static_cast<std::size_t>(j) * n_b + static_cast<std::size_t>(k)];
    }
    return outside;
}

}  // namespace korvel
