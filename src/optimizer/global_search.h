// Differential evolution + Nelder-Mead polish, and the multi-start driver.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

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

// Which fit's progress lines multi_start writes.
enum class StartLineStyle {
    kSharedExponent,  // (logSt, n_U, n_M)
    kGlobalCo,        // (logSt, logCoW, logCoE)
};

struct MultiStartResult {
    std::vector<double> x;
    double f;
    int start;  // 1-based; 0 when no start ran
};

// Nelder-Mead (outer-search settings) from each start point in order, keeping
// the best; stops starting new points once the interrupt flag is set.
MultiStartResult multi_start(Objective f, std::span<const std::vector<double>> starts,
                             std::span<const Bound> box, bool verbose, StartLineStyle style);

}  // namespace korvel
