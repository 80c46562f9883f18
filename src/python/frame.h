// The call frame shared by every exported function: running the computation
// without the interpreter lock, turning C++ failures into Python exceptions,
// and building results.
#pragma once

#include <cstddef>
#include <exception>
#include <new>
#include <span>
#include <string>
#include <type_traits>
#include <utility>

#include "core/errors.h"
#include "core/interrupt.h"
#include "python/convert.h"
#include "python/pyref.h"

namespace korvel::py {

// Keyword names for PyArg_ParseTupleAndKeywords, which takes char*[] in the
// limited API of 3.11.
inline char* kw(const char* name) { return const_cast<char*>(name); }

// Sets the Python exception for the C++ exception being handled. Call only
// from a catch block, with the interpreter lock held.
void set_python_error_from_current_exception();

// Runs `compute` with the interpreter lock released and rethrows, with the
// lock held again, whatever it threw. The computation only reads buffers that
// were copied out of the arguments beforehand and never touches Python
// objects, so other Python threads may run meanwhile.
template <class F>
auto without_gil(F&& compute) -> decltype(compute()) {
    std::exception_ptr failure;
    PyThreadState* saved = PyEval_SaveThread();
    if constexpr (std::is_void_v<decltype(compute())>) {
        try {
            compute();
        } catch (...) {
            failure = std::current_exception();
        }
        PyEval_RestoreThread(saved);
        if (failure) std::rethrow_exception(failure);
    } else {
        decltype(compute()) result{};
        try {
            result = compute();
        } catch (...) {
            failure = std::current_exception();
        }
        PyEval_RestoreThread(saved);
        if (failure) std::rethrow_exception(failure);
        return result;
    }
}

// Runs `body` (which returns a new reference or nullptr with an exception
// set) and turns any C++ exception into a Python one. No exception ever
// unwinds into the interpreter's C frames.
template <class F>
PyObject* guarded(F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_python_error_from_current_exception();
        return nullptr;
    }
}

// Raises KeyboardInterrupt("Interrupted by Ctrl+C"); returns nullptr.
PyObject* raise_interrupted();

// Result builders. Each throws InternalError when the interpreter cannot
// build the object, so a failed result never reaches the caller half-built.
PyRef new_float(double v);
PyRef new_vector(std::span<const double> values);
// A (rows, cols) row-major array filled from `values` (rows * cols doubles).
PyRef new_matrix(std::size_t rows, std::size_t cols, std::span<const double> values);
// A tuple that takes over the given references.
PyRef new_tuple(std::initializer_list<PyRef*> items);

}  // namespace korvel::py
