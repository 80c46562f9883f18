#include "python/convert.h"

#include <cstring>
#include <string>

#include "core/errors.h"
#include "python/numpy_api.h"

namespace korvel::py {

PyObject* internal_error_type() {
    // Created on first use with the interpreter lock held, then kept for the
    // life of the process.
    static PyObject* type = PyErr_NewExceptionWithDoc(
        "korvel.InternalError",
        "A korvel computation failed: an argument outside what the computation "
        "can use, an optimiser error, or a failure while building the result.",
        PyExc_BaseException, nullptr);
    return type;
}

PyObject* raise_internal_error(const char* message) {
    PyObject* type = internal_error_type();
    if (type != nullptr) PyErr_SetString(type, message);
    return nullptr;
}

namespace {

std::string type_name(PyObject* obj) {
    PyRef name(PyType_GetName(Py_TYPE(obj)));
    if (!name) {
        PyErr_Clear();
        return "object";
    }
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), nullptr);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "object";
    }
    return utf8;
}

// How NumPy writes a dtype ("float32", ">f8"), for messages.
std::string dtype_text(PyObject* descr) {
    PyRef text(PyObject_Str(descr));
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return type_name(descr);
    }
    return utf8;
}

}  // namespace

bool ArgConverter::fail_conversion(const char* name) {
    ok_ = false;
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;  // passes unchanged
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyRef type_ref(type), cause(value), tb_ref(tb);
    if (cause && tb_ref) PyException_SetTraceback(cause.get(), tb_ref.get());
    PyRef text(cause ? PyObject_Str(cause.get()) : nullptr);
    if (!text) {
        PyErr_Clear();
        text = PyRef(PyUnicode_FromString(""));
        if (!text) return false;
    }
    PyRef message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) return false;
    PyRef exc(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!exc) return false;
    if (cause) {
        // raise TypeError(...) from cause
        Py_INCREF(cause.get());
        PyException_SetContext(exc.get(), cause.get());
        PyException_SetCause(exc.get(), cause.release());
    }
    PyErr_SetObject(PyExc_TypeError, exc.get());
    return false;
}

double ArgConverter::to_float(const char* name, PyObject* obj) {
    if (!ok_) return 0.0;
    const double v = PyFloat_AsDouble(obj);
    // -1.0 is a valid value unless an error is pending.
    if (v == -1.0 && PyErr_Occurred()) {
        fail_conversion(name);
        return 0.0;
    }
    return v;
}

std::optional<double> ArgConverter::to_optional_float(const char* name, PyObject* obj) {
    if (!ok_ || obj == Py_None) return std::nullopt;
    const double v = to_float(name, obj);
    if (!ok_) return std::nullopt;
    return v;
}

bool ArgConverter::to_bool(const char* name, PyObject* obj) {
    if (!ok_) return false;
    if (PyBool_Check(obj)) return obj == Py_True;
    if (PyArray_IsScalar(obj, Bool)) return PyObject_IsTrue(obj) == 1;
    PyErr_Format(PyExc_TypeError, "expected a bool or numpy.bool_, got %s",
                 type_name(obj).c_str());
    fail_conversion(name);
    return false;
}

std::uint64_t ArgConverter::to_count(const char* name, PyObject* obj) {
    if (!ok_) return 0;
    PyRef index(PyNumber_Index(obj));
    if (!index) {
        fail_conversion(name);
        return 0;
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        fail_conversion(name);  // OverflowError for a negative count passes unchanged
        return 0;
    }
    return static_cast<std::uint64_t>(v);
}

Bound ArgConverter::to_pair(const char* name, PyObject* obj) {
    if (!ok_) return {0.0, 0.0};
    if (!PyTuple_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "expected a tuple of two floats, got %s",
                     type_name(obj).c_str());
        fail_conversion(name);
        return {0.0, 0.0};
    }
    if (PyTuple_Size(obj) != 2) {
        PyErr_Format(PyExc_TypeError, "expected a tuple of two floats, got a tuple of length %zd",
                     PyTuple_Size(obj));
        fail_conversion(name);
        return {0.0, 0.0};
    }
    Bound b{};
    b.lo = to_float(name, PyTuple_GetItem(obj, 0));
    b.hi = to_float(name, PyTuple_GetItem(obj, 1));
    return b;
}

std::optional<std::vector<double>> ArgConverter::to_start_point(const char* name, PyObject* obj,
                                                                std::size_t n) {
    if (!ok_ || obj == Py_None) return std::nullopt;
    if (!PyTuple_Check(obj) || static_cast<std::size_t>(PyTuple_Size(obj)) != n) {
        PyErr_Format(PyExc_TypeError, "expected None or a tuple of %zu floats, got %s", n,
                     type_name(obj).c_str());
        fail_conversion(name);
        return std::nullopt;
    }
    std::vector<double> x(n);
    for (std::size_t i = 0; i < n && ok_; ++i) {
        x[i] = to_float(name, PyTuple_GetItem(obj, static_cast<Py_ssize_t>(i)));
    }
    if (!ok_) return std::nullopt;
    return x;
}

PyObject* ArgConverter::check_array(const char* name, PyObject* obj, int ndim) {
    const char* what = ndim == 1 ? "a one-dimensional" : "a two-dimensional";
    if (!PyArray_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "expected %s numpy.ndarray of float64, got %s", what,
                     type_name(obj).c_str());
        fail_conversion(name);
        return nullptr;
    }
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(arr) != ndim) {
        PyErr_Format(PyExc_TypeError, "expected %s array, got an array with %d dimension(s)",
                     what, PyArray_NDIM(arr));
        fail_conversion(name);
        return nullptr;
    }
    if (PyArray_TYPE(arr) != NPY_DOUBLE) {
        PyErr_Format(PyExc_TypeError, "expected an array of float64, got dtype %s",
                     dtype_text(reinterpret_cast<PyObject*>(PyArray_DESCR(arr))).c_str());
        fail_conversion(name);
        return nullptr;
    }
    if (!PyArray_ISNOTSWAPPED(arr)) {
        PyErr_SetString(PyExc_TypeError,
                        "expected float64 in native byte order, got float64 in non-native "
                        "byte order (astype('=f8') makes a native copy)");
        fail_conversion(name);
        return nullptr;
    }
    return obj;
}

ArrayArg ArgConverter::to_vector(const char* name, PyObject* obj) {
    if (!ok_) return {name, PyRef(), 1};
    return {name, PyRef::borrow(check_array(name, obj, 1)), 1};
}

ArrayArg ArgConverter::to_optional_vector(const char* name, PyObject* obj) {
    if (!ok_ || obj == Py_None) return {name, PyRef(), 1};
    return to_vector(name, obj);
}

ArrayArg ArgConverter::to_short_vector(const char* name, PyObject* obj, std::size_t max_size) {
    ArrayArg arg = to_vector(name, obj);
    if (!ok_) return arg;
    const auto n = static_cast<std::size_t>(
        PyArray_DIM(reinterpret_cast<PyArrayObject*>(arg.array.get()), 0));
    if (n > max_size) {
        PyErr_Format(PyExc_ValueError, "argument '%s': %zu values, more than the limit of %zu",
                     name, n, max_size);
        ok_ = false;
        return {name, PyRef(), 1};
    }
    return arg;
}

ArrayArg ArgConverter::to_matrix(const char* name, PyObject* obj) {
    if (!ok_) return {name, PyRef(), 2};
    return {name, PyRef::borrow(check_array(name, obj, 2)), 2};
}

void ArgConverter::recheck(const ArrayArg& arg) {
    if (ok_ && arg.array) check_array(arg.name, arg.array.get(), arg.ndim);
}

namespace {

// What recheck() established; a caller that skipped it gets the internal
// error rather than a read with the wrong element size or dimensions.
PyArrayObject* checked_array(const ArrayArg& arg) {
    auto* arr = reinterpret_cast<PyArrayObject*>(arg.array.get());
    if (PyArray_NDIM(arr) != arg.ndim || PyArray_TYPE(arr) != NPY_DOUBLE ||
        !PyArray_ISNOTSWAPPED(arr)) {
        throw InternalError(std::string(arg.name) + " changed after it was checked");
    }
    return arr;
}

}  // namespace

std::vector<double> ArgConverter::copy_vector(const ArrayArg& arg) {
    if (!ok_ || !arg.array) return {};
    PyArrayObject* arr = checked_array(arg);
    if (!PyArray_IS_C_CONTIGUOUS(arr)) {
        ok_ = false;
        raise_internal_error((std::string(arg.name) + " is not contiguous in memory").c_str());
        return {};
    }
    const auto n = static_cast<std::size_t>(PyArray_DIM(arr, 0));
    std::vector<double> out(n);
    if (n > 0) std::memcpy(out.data(), PyArray_DATA(arr), n * sizeof(double));
    return out;
}

std::optional<std::vector<double>> ArgConverter::copy_optional_vector(const ArrayArg& arg) {
    if (!ok_ || !arg.array) return std::nullopt;
    std::vector<double> v = copy_vector(arg);
    if (!ok_) return std::nullopt;
    return v;
}

std::size_t ArgConverter::elements(const ArrayArg& arg) const {
    if (!ok_ || !arg.array) return 0;
    return static_cast<std::size_t>(PyArray_SIZE(checked_array(arg)));
}

RowMatrix ArgConverter::copy_matrix(const ArrayArg& arg) {
    if (!ok_ || !arg.array) return {};
    PyArrayObject* arr = checked_array(arg);
    if (!PyArray_IS_C_CONTIGUOUS(arr) && !PyArray_IS_F_CONTIGUOUS(arr)) {
        ok_ = false;
        raise_internal_error(
            (std::string(arg.name) + " is not contiguous in memory (neither C nor Fortran order)")
                .c_str());
        return {};
    }
    const auto rows = static_cast<std::size_t>(PyArray_DIM(arr, 0));
    const auto cols = static_cast<std::size_t>(PyArray_DIM(arr, 1));
    const npy_intp s0 = PyArray_STRIDE(arr, 0);
    const npy_intp s1 = PyArray_STRIDE(arr, 1);
    const char* base = static_cast<const char*>(PyArray_DATA(arr));
    RowMatrix m(rows, cols);
    // Logical rows, whatever the memory order.
    for (std::size_t i = 0; i < rows; ++i) {
        double* dst = m.mutable_row(i);
        for (std::size_t j = 0; j < cols; ++j) {
            std::memcpy(&dst[j],
                        base + static_cast<npy_intp>(i) * s0 + static_cast<npy_intp>(j) * s1,
                        sizeof(double));
        }
    }
    return m;
}

}  // namespace korvel::py
