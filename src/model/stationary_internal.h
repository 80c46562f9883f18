// Private interfaces of the stationary solve (src/model only, and its tests).
#pragma once

#include <cstdint>
#include <span>

#include "core/simd.h"
#include "model/model.h"

namespace korvel::model_detail {

// Which algorithm produced a result of stationary_distribution_with_path.
enum class SolvePath {
    fast,       // the structured elimination
    reference,  // the plain dense algorithm (the fallback)
};

// The plain dense algorithm, with the raw-count mode
// given rather than read (so that a fallback uses the mode its caller read).
StateVector reference_solve(double ste, double stw, double cow, double coe, double n_u,
                            double n_m, double vmax, bool raw_count);

// stationary_distribution with the raw-count mode given, reporting which
// path produced the result. The values are those of reference_solve (up to
// the sign of zero entries).
StateVector stationary_with_path(double ste, double stw, double cow, double coe, double n_u,
                                 double n_m, double vmax, bool raw_count, SolvePath* path);

// Bases of the cooperative drives, by mode and by side.
enum BaseKind : std::uint8_t { kMethylatedFraction, kUnmethylatedFraction, kMethylatedRaw, kUnmethylatedRaw };

// The 70 powers of one base kind for one exponent, from a per-thread cache:
// methylated kinds hold BM(i + 1)^exponent, unmethylated kinds
// BU(i)^exponent, i = 0..69. A miss is computed into a slot other than
// `keep` (a table the caller still holds); any later call may reuse the slot
// of the returned table.
const double* power_table(int kind, double exponent, const double* keep);

// stationary_distributions with the raw-count mode given and the vector
// instructions chosen by the caller (a path the processor cannot run is an
// error of the caller's: tests and benchmarks pass one of
// supported_simd_paths()). With `paths`, paths[i] tells which algorithm
// produced out[i]: a set the lanes hand over is solved again alone.
void stationary_batch(SimdPath path, std::span<const ModelParams> sets, bool raw_count,
                      std::span<StateVector> out, SolvePath* paths = nullptr);

}  // namespace korvel::model_detail
