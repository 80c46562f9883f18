// Module initialisation and the function table.
#define KORVEL_NUMPY_IMPORT
#include "python/numpy_api.h"

#include <iterator>
#include <string>
#include <vector>

#include "python/bindings.h"
#include "python/pyref.h"

namespace korvel::py {
namespace {

// Registration order is the order of __all__.
const Binding* const g_bindings[] = {
    &py_set_raw_count,
    &py_set_mm_vmax,
    &py_compute_nll,
    &py_compute_model_fracs,
    &py_fit_one_density,
    &py_fit_all_densities,
    &py_fit_all_densities_exp,
    &py_fit_shared_st,
    &py_fit_shared_exp,
    &py_fit_shared_st_exp_perdensity,
    &py_fit_shared_co,
    &py_profile_shared_st,
    &py_profile_shared_co,
    &py_fit_bootstrap,
    &py_fit_bootstrap_exp,
    &py_fit_bootstrap_exp_perdensity,
    &py_fit_bootstrap_co,
    &py_compute_phase_grids,
    &py_fit_drift_one,
    &py_fit_drift_bootstrap,
    &py_drift_predict,
    &py_profile_density,
    &py_profile_shared_st_co,
};

// The method table, built once from the bindings and kept for the life of
// the process. Each docstring starts with the text signature, then "--" and
// an empty line (the interpreter's convention for __text_signature__).
PyMethodDef* method_table() {
    static std::vector<std::string> docs;
    static std::vector<PyMethodDef> methods = [] {
        for (const Binding* b : g_bindings) {
            docs.push_back(b->text_signature() + "\n--\n\n" + b->doc);
        }
        std::vector<PyMethodDef> defs;
        for (std::size_t i = 0; i < std::size(g_bindings); ++i) {
            defs.push_back({g_bindings[i]->name,
                            reinterpret_cast<PyCFunction>(
                                reinterpret_cast<void (*)()>(g_bindings[i]->function)),
                            METH_VARARGS | METH_KEYWORDS, docs[i].c_str()});
        }
        defs.push_back({nullptr, nullptr, 0, nullptr});
        return defs;
    }();
    return methods.data();
}

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "korvel",
    "Python module.",
    0,  // no per-module state; with -1 a re-import would copy the old module
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The one module of the process; never destroyed.
PyObject* g_module = nullptr;

PyObject* create_module() {
    if (g_module != nullptr) {
        PyErr_SetString(PyExc_ImportError,
                        "korvel cannot be initialised twice in one process");
        return nullptr;
    }
    if (PyArray_ImportNumPyAPI() < 0) return nullptr;
    PyRef module(PyModule_Create(&g_module_def));
    if (!module) return nullptr;
    PyRef name(PyUnicode_FromString("korvel"));
    if (!name) return nullptr;
    PyMethodDef* methods = nullptr;
    try {
        methods = method_table();
    } catch (...) {
        return PyErr_NoMemory();  // only the strings and vectors above can throw
    }
    PyRef all;
    for (PyMethodDef* def = methods; def->ml_name != nullptr; ++def) {
        PyRef fn(PyCFunction_NewEx(def, nullptr, name.get()));
        if (!fn || PyModule_AddObjectRef(module.get(), def->ml_name, fn.get()) < 0) {
            return nullptr;
        }
        if (!all) {
            all = PyRef(PyList_New(0));
            if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) {
                return nullptr;
            }
        }
        PyRef entry(PyUnicode_FromString(def->ml_name));
        if (!entry || PyList_Append(all.get(), entry.get()) < 0) return nullptr;
    }
    g_module = module.get();
    Py_INCREF(g_module);  // the process-wide cell keeps it alive
    return module.release();
}

}  // namespace
}  // namespace korvel::py

PyMODINIT_FUNC PyInit_korvel(void) { return korvel::py::create_module(); }
