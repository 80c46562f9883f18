// The call frame shared by every exported function: running the computation
// without the interpreter lock, turning C++ failures into Python exceptions,
// and building results.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <exception>
#include <new>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "core/errors.h"
#include "core/function_ref.h"
#include "core/interrupt.h"
#include "python/convert.h"
#include "python/pyref.h"

namespace korvel::py {

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
PyRef new_int(std::size_t v);
PyRef new_vector(std::span<const double> values);
// A vector of n values, value i given by value(i).
PyRef new_vector(std::size_t n, FunctionRef<double(std::size_t)> value);
// A (rows, cols) row-major array filled from `values` (rows * cols doubles).
PyRef new_matrix(std::size_t rows, std::size_t cols, std::span<const double> values);
// A (rows, cols) row-major array whose row i is written by fill(i, row).
PyRef new_matrix(std::size_t rows, std::size_t cols,
                 FunctionRef<void(std::size_t, std::span<double>)> fill);
// A tuple that takes over the given references.
PyRef new_tuple(std::initializer_list<PyRef*> items);
// None, as a result.
PyRef new_none();

// One row per item: row_of(item) gives the row as a std::array, whose size is
// the number of columns, e.g.
//   matrix_of(fits, [](const DensityFit& f) { return std::array{f.st, f.cow, f.coe}; })
template <class Items, class RowOf>
PyRef matrix_of(const Items& items, RowOf row_of) {
    using Row = decltype(row_of(items[0]));
    return new_matrix(items.size(), std::tuple_size_v<Row>,
                      [&](std::size_t i, std::span<double> out) {
                          const Row row = row_of(items[i]);
                          std::copy(row.begin(), row.end(), out.begin());
                      });
}

// One value per item: value_of(item) gives a double.
template <class Items, class ValueOf>
PyRef vector_of(const Items& items, ValueOf value_of) {
    return new_vector(items.size(), [&](std::size_t i) -> double { return value_of(items[i]); });
}

}  // namespace korvel::py
