// stationary_distribution: for now the plain dense algorithm.
#include "lib/core/state.h"
#include "model/model.h"
#include "model/stationary_internal.h"

namespace korvel {
namespace model_detail {

StateVector stationary_with_path(double ste, double stw, double cow, double coe, double n_u,
                                 double n_m, double vmax, bool raw_count, SolvePath* path) {
    if (path) *path = SolvePath::reference;
    return reference_solve(ste, stw, cow, coe, n_u, n_m, vmax, raw_count);
}

}  // namespace model_detail

StateVector stationary_distribution(double ste, double stw, double cow, double coe, double n_u,
                                    double n_m, double vmax) {
    return model_detail::stationary_with_path(ste, stw, cow, coe, n_u, n_m, vmax,
                                              raw_count_enabled(), nullptr);
}

}  // namespace korvel
