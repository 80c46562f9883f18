#include "python/frame.h"

#include <cstring>

#include "python/checks.h"
#include "python/numpy_api.h"

namespace korvel::py {

void set_python_error_from_current_exception() {
    try {
        throw;
    } catch (const InternalError& e) {
        raise_internal_error(e.what());
    } catch (const ArgumentError& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_internal_error(e.what());
    } catch (...) {
        raise_internal_error("unknown C++ exception");
    }
}

PyObject* raise_interrupted() {
    PyErr_SetString(PyExc_KeyboardInterrupt, "Interrupted by Ctrl+C");
    return nullptr;
}

namespace {

[[noreturn]] void result_failed(const char* what) {
    // Whatever the interpreter reported is replaced by the internal error.
    PyErr_Clear();
    throw InternalError(std::string("could not build the result: ") + what);
}

}  // namespace

PyRef new_float(double v) {
    PyRef f(PyFloat_FromDouble(v));
    if (!f) result_failed("float");
    return f;
}

PyRef new_int(std::size_t v) {
    PyRef i(PyLong_FromSize_t(v));
    if (!i) result_failed("int");
    return i;
}

namespace {

// A new row-major float64 array of the given shape holding `values`.
PyRef new_array(int nd, npy_intp* dims, std::span<const double> values) {
    PyRef arr(PyArray_SimpleNew(nd, dims, NPY_DOUBLE));
    if (!arr) result_failed("array");
    if (!values.empty()) {
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr.get())), values.data(),
                    values.size() * sizeof(double));
    }
    return arr;
}

}  // namespace

PyRef new_vector(std::span<const double> values) {
    npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
    return new_array(1, dims, values);
}

PyRef new_matrix(std::size_t rows, std::size_t cols, std::span<const double> values) {
    if (values.size() != rows * cols) throw InternalError("result matrix size mismatch");
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    return new_array(2, dims, values);
}

PyRef new_vector(std::size_t n, FunctionRef<double(std::size_t)> value) {
    npy_intp dims[1] = {static_cast<npy_intp>(n)};
    PyRef arr = new_array(1, dims, {});
    auto* out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr.get())));
    for (std::size_t i = 0; i < n; ++i) out[i] = value(i);
    return arr;
}

PyRef new_matrix(std::size_t rows, std::size_t cols,
                 FunctionRef<void(std::size_t, std::span<double>)> fill) {
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    PyRef arr = new_array(2, dims, {});
    auto* out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr.get())));
    for (std::size_t i = 0; i < rows; ++i) fill(i, {out + i * cols, cols});
    return arr;
}

PyRef new_none() { return PyRef::borrow(Py_None); }

PyRef new_tuple(std::initializer_list<PyRef*> items) {
    PyRef t(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!t) result_failed("tuple");
    Py_ssize_t i = 0;
    for (PyRef* item : items) {
        // PyTuple_SetItem steals the reference, also on failure.
        if (PyTuple_SetItem(t.get(), i++, item->release()) != 0) result_failed("tuple");
    }
    return t;
}

}  // namespace korvel::py
