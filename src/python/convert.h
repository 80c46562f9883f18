// Conversion of Python arguments into C++ values, in one place.
//
// The call frame (signature.h) converts each argument in parameter order with
// one ArgConverter. The first failure stops the conversions; a TypeError of a
// conversion is raised again as TypeError("argument '<name>': <message>")
// with the original as its cause, other exceptions (OverflowError of a
// negative count) pass unchanged. Arrays are checked for their memory layout
// and copied into owned buffers only after every argument has converted.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/row_matrix.h"
#include "python/pyref.h"
#include "optimizer/box.h"

namespace korvel::py {

// A converted array argument, kept alive until its data has been copied.
struct ArrayArg {
    const char* name = nullptr;
    PyRef array;  // nullptr: not given (optional vector passed as None)
    int ndim = 0;
};

class ArgConverter {
public:
    bool ok() const noexcept { return ok_; }

    // Anything the interpreter's float conversion accepts.
    double to_float(const char* name, PyObject* obj);
    // A Python bool or a NumPy bool scalar; ints are rejected.
    bool to_bool(const char* name, PyObject* obj);
    // A non-negative int (or __index__ object), as an unsigned 64-bit number.
    std::uint64_t to_count(const char* name, PyObject* obj);
    // None, or anything to_float accepts.
    std::optional<double> to_optional_float(const char* name, PyObject* obj);
    // A tuple of exactly two floats.
    Bound to_pair(const char* name, PyObject* obj);
    // None, or a tuple of exactly n floats.
    std::optional<std::vector<double>> to_start_point(const char* name, PyObject* obj,
                                                      std::size_t n);
    // A NumPy array with one dimension, float64 in native byte order.
    ArrayArg to_vector(const char* name, PyObject* obj);
    // None (the result holds no array), or a vector as above.
    ArrayArg to_optional_vector(const char* name, PyObject* obj);
    // A vector as above of at most max_size values; a longer one is a
    // ValueError naming the argument, raised before anything is copied.
    ArrayArg to_short_vector(const char* name, PyObject* obj, std::size_t max_size);
    // A NumPy array with two dimensions, float64 in native byte order.
    ArrayArg to_matrix(const char* name, PyObject* obj);

    // The type check of a converted array, once more, with the same error.
    // A later argument's __float__ or __index__ is Python code that may have
    // retyped or reshaped the array in place (`a.dtype = np.int8`), so every
    // array is checked again after the last conversion and then copied with
    // its dimensions, strides and data read afresh; no Python code runs from
    // the re-check to the copy. Re-checking every array before the first
    // copy keeps type errors ahead of layout errors.
    void recheck(const ArrayArg& arg);

    // The number of elements of a converted and re-checked array (0 when not
    // given): read before a copy, to refuse an oversized one uncopied.
    std::size_t elements(const ArrayArg& arg) const;

    // Layout checks and copies, after all conversions and re-checks. A vector must be
    // contiguous; a matrix C- or Fortran-contiguous, read by logical rows.
    // Violations raise the internal error.
    std::vector<double> copy_vector(const ArrayArg& arg);
    std::optional<std::vector<double>> copy_optional_vector(const ArrayArg& arg);
    RowMatrix copy_matrix(const ArrayArg& arg);

private:
    bool fail_conversion(const char* name);
    PyObject* check_array(const char* name, PyObject* obj, int ndim);

    bool ok_ = true;
};

// The internal-error type, korvel.InternalError: derived directly from
// BaseException, created once per process.
PyObject* internal_error_type();

// Sets the internal error with the given message; returns nullptr.
PyObject* raise_internal_error(const char* message);

}  // namespace korvel::py
