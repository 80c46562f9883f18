// Module initialisation and the function table.
#define KORVEL_NUMPY_IMPORT
#include "python/numpy_api.h"

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "python/bindings.h"
#include "python/convert.h"
#include "python/pyref.h"
#include "python/text.h"

namespace korvel::py {

namespace {

// Written only while the library loads (by the tables' constructors, one
// thread), read afterwards.
constinit BindingList* g_first_list = nullptr;

}  // namespace

const BindingList* registered_bindings() { return g_first_list; }

void register_bindings(BindingList& list) noexcept {
    list.next = g_first_list;
    g_first_list = &list;
}

namespace {

// Every registered function in the order of its place, or an empty vector
// when the places are not exactly 1, 2, ... n (two files claiming one place,
// or a gap): the module would otherwise depend on the order files load in.
std::vector<const Binding*> bindings_in_order() {
    std::vector<const Binding*> all;
    for (const BindingList* list = registered_bindings(); list != nullptr; list = list->next) {
        for (const Binding& b : list->bindings) all.push_back(&b);
    }
    std::sort(all.begin(), all.end(),
              [](const Binding* a, const Binding* b) { return a->place.value < b->place.value; });
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (all[i]->place.value != i + 1) return {};
    }
    return all;
}

// The method table, built once from the bindings and kept for the life of
// the process (nullptr when the places are broken). Each docstring starts
// with the text signature, then "--" and an empty line (the interpreter's
// convention for __text_signature__).
PyMethodDef* method_table() {
    static std::vector<std::string> docs;
    static std::vector<PyMethodDef> methods = [] {
        const std::vector<const Binding*> bindings = bindings_in_order();
        std::vector<PyMethodDef> defs;
        if (bindings.empty()) return defs;
        for (const Binding* b : bindings) {
            docs.push_back(b->text_signature() + "\n--\n\n" + b->doc);
        }
        for (std::size_t i = 0; i < bindings.size(); ++i) {
            defs.push_back({bindings[i]->name,
                            reinterpret_cast<PyCFunction>(
                                reinterpret_cast<void (*)()>(bindings[i]->function)),
                            METH_VARARGS | METH_KEYWORDS, docs[i].c_str()});
        }
        defs.push_back({nullptr, nullptr, 0, nullptr});
        return defs;
    }();
    return methods.empty() ? nullptr : methods.data();
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
    if (methods == nullptr) {
        PyErr_SetString(PyExc_ImportError,
                        "korvel's functions do not take the places 1 to n of __all__ "
                        "exactly once each");
        return nullptr;
    }
    // Importable, so that callers can catch it by name; not in __all__,
    // which lists the functions.
    PyObject* internal_error = internal_error_type();
    if (internal_error == nullptr ||
        PyModule_AddObjectRef(module.get(), "InternalError", internal_error) < 0) {
        return nullptr;
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
    for (PyMethodDef* def = private_methods(); def->ml_name != nullptr; ++def) {
        PyRef fn(PyCFunction_NewEx(def, nullptr, name.get()));
        if (!fn || PyModule_AddObjectRef(module.get(), def->ml_name, fn.get()) < 0) {
            return nullptr;
        }
    }
    g_module = module.get();
    Py_INCREF(g_module);  // the process-wide cell keeps it alive
    return module.release();
}

}  // namespace
}  // namespace korvel::py

PyMODINIT_FUNC PyInit_korvel(void) { return korvel::py::create_module(); }
