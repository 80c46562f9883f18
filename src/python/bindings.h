// The exported functions, registered by module.cpp in the order of its table.
#pragma once

#include "python/python.h"

namespace korvel::py {

#define KORVEL_BINDING(name) PyObject* name(PyObject* self, PyObject* args, PyObject* kwargs)

KORVEL_BINDING(py_set_raw_count);
KORVEL_BINDING(py_set_mm_vmax);
KORVEL_BINDING(py_compute_nll);
KORVEL_BINDING(py_compute_model_fracs);
KORVEL_BINDING(py_fit_one_density);
KORVEL_BINDING(py_fit_all_densities);
KORVEL_BINDING(py_fit_all_densities_exp);
KORVEL_BINDING(py_compute_phase_grids);
KORVEL_BINDING(py_fit_drift_one);
KORVEL_BINDING(py_fit_drift_bootstrap);
KORVEL_BINDING(py_drift_predict);

#undef KORVEL_BINDING

}  // namespace korvel::py
