// Differential evolution + Nelder-Mead polish, and the multi-start driver.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/interrupt.h"
#include "optimizer/box.h"
#include "optimizer/rng.h"

namespace korvel {

// best/1/bin with immediate replacement; population 15 per coordinate, at most
// 1000 generations. Returns the best member.
OptResult differential_evolution(Objective f, std::span<const Bound> box, ChaCha8& rng);

// Differential evolution, then Nelder-Mead (polishing settings) from the best
// member. Without a seed the generator is keyed from the OS entropy source.
OptResult global_search(Objective f, std::span<const Bound> box,
                        std::optional<std::uint64_t> seed);

// How multi_start shows one coordinate of a point in its progress lines:
// "<label>=<value>" with `decimals` digits after the point, and an explicit
// sign when always_sign. The caller's table says which leading coordinates are
// shown and how; coordinates beyond the table are searched but not shown.
struct CoordinateFormat {
    const char* label;
    int decimals;
    bool always_sign;
};

struct MultiStartResult {
    std::vector<double> x;
    double f;
    int start;  // 1-based; 0 when no start ran
};

// Nelder-Mead (outer-search settings) from each start point in order, keeping
// the strictly best (the earlier start wins a tie). Before each start the
// interruption is polled; once it is requested no further start begins. With
// verbose, writes to standard error, one write per line:
//   "--- Nelder-Mead start s/K from x0=(<shown start coordinates, ", ">) ---"
//   "    => start s converged: <shown returned coordinates, " "> NLL=<f, 6 digits>"
// and at the end "--- best start: s with NLL=<f, 6 digits> ---".
MultiStartResult multi_start(Objective f, std::span<const std::vector<double>> starts,
                             std::span<const Bound> box, bool verbose,
                             std::span<const CoordinateFormat> shown,
                             const Interruption& interruption);

}  // namespace korvel
