// The exported functions, registered by module.cpp in the order of its table.
// Each is declared with its argument table next to its body (signature.h
// says how).
#pragma once

#include "python/signature.h"

namespace korvel::py {

extern const Binding py_set_raw_count;
extern const Binding py_set_mm_vmax;
extern const Binding py_compute_nll;
extern const Binding py_compute_model_fracs;
extern const Binding py_fit_one_density;
extern const Binding py_fit_all_densities;
extern const Binding py_fit_all_densities_exp;
extern const Binding py_fit_shared_st;
extern const Binding py_fit_shared_exp;
extern const Binding py_fit_shared_st_exp_perdensity;
extern const Binding py_fit_shared_co;
extern const Binding py_profile_shared_st;
extern const Binding py_profile_shared_co;
extern const Binding py_fit_bootstrap;
extern const Binding py_fit_bootstrap_exp;
extern const Binding py_fit_bootstrap_exp_perdensity;
extern const Binding py_fit_bootstrap_co;
extern const Binding py_compute_phase_grids;
extern const Binding py_fit_drift_one;
extern const Binding py_fit_drift_bootstrap;
extern const Binding py_drift_predict;
extern const Binding py_profile_density;
extern const Binding py_profile_shared_st_co;

}  // namespace korvel::py
