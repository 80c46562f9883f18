// Private interfaces of the stationary solve (src/model only, and its tests).
#pragma once

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

}  // namespace korvel::model_detail
