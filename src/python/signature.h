// Each exported function is declared once, as a table that reads like its
// Python signature. Binding, conversion, copies, error prefixes and the text
// signature all follow from that table.
//
// A new function touches its kernel and one py_*.cpp file (see py_fits.cpp
// for complete examples), then the type stub and the tests:
//
//   struct FitX {                         // 1. where the arguments land
//       std::vector<double> observed_fracs;
//       bool normalize_stw;
//       Bound st_bounds;
//       double n_u;
//   };
//   constexpr auto kFitX = signature<FitX>(  // 2. parameters, in Python order
//       "py_fit_x",
//       arg::vector("observed_fracs", &FitX::observed_fracs),
//       arg::boolean("normalize_stw", &FitX::normalize_stw),
//       arg::pair("st_bounds", &FitX::st_bounds),
//       arg::real("n_u", &FitX::n_u, kDefaultExponent));  // a default makes it optional
//
//   PyRef fit_x(FitX& a) { ... without_gil(...) ...; return new_tuple(...); }   // 3. body
//
//   const Bindings kFileBindings{             // 4. the file's table (bindings.h)
//       ...,
//       bind<kFitX, fit_x>(Place{22}, "Docstring body, no signature line.")};
//
// Place{22}: the next free place in __all__; the module registers itself
// from the tables. The stub (stubs/korvel-stubs/__init__.pyi) lists the
// functions in the same order, and tests/python/test_module.py checks that
// every stub signature is the function's text signature; the argument sweeps
// (prefixes, fuzzing, reference counts) read their parameters from the stub.
//
// Kinds: real, boolean, count, pair (each optionally with a default), optional
// real (None or a float; default None), start point (None or a tuple of n
// floats; default None), vector, optional vector (default None), matrix. A
// parameter with a default may only follow required ones; a table that breaks
// this, or repeats a name, does not compile.
//
// What the call frame does with a table:
//   1. binds positional and keyword arguments with the interpreter's own
//      parser, so missing, surplus, unknown and doubly given arguments raise
//      the interpreter's TypeError;
//   2. converts each argument in parameter order, stopping at the first
//      failure (TypeError gets the "argument '<name>': " prefix, with the
//      original as its cause; other exceptions pass unchanged);
//   3. checks every array's type again, then its layout, and copies it into
//      the destination (see ArgConverter::recheck for why twice);
//   4. runs the body with the destinations; the body's result is returned.
#pragma once

#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/errors.h"
#include "core/row_matrix.h"
#include "optimizer/box.h"
#include "python/bindings.h"
#include "python/checks.h"
#include "python/convert.h"
#include "python/frame.h"
#include "python/pyref.h"

namespace korvel::py {

// Box of a fitted Vmax when the caller gives none (not spelled out in the
// text signatures, which show "vmax_bounds=...").
inline constexpr Bound kDefaultVmaxBounds{0.001, 1000000.0};
// Box of fitted exponents where a caller may leave it out.
inline constexpr Bound kDefaultExpBounds{1.0, 4.0};

namespace detail {

// Python's repr of a float default: the shortest digits that read back to
// the same double, in fixed notation for decimal exponents -4 to 15 ("2.0",
// "0.001", "1000000.0"), otherwise in scientific notation ("1e-05", "1e+16").
inline std::string float_text(double v) {
    char buf[400];
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    const std::string sci(buf, res.ptr);
    const std::size_t e = sci.find('e');
    if (e == std::string::npos) return sci;  // "inf", "nan"
    const int exponent = std::stoi(sci.substr(e + 1));
    if (exponent < -4 || exponent >= 16) return sci;
    res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
    std::string fixed(buf, res.ptr);
    if (fixed.find('.') == std::string::npos) fixed += ".0";
    return fixed;
}

// The passes after conversion, for kinds that write their destination while
// converting.
struct Direct {
    struct Pending {};
    void recheck(ArgConverter&, const auto&) const {}
    void copy(ArgConverter&, auto&, auto&) const {}
    void settle(auto&, auto&) const {}
};

// Arrays are checked while converting and copied after every conversion.
struct Held {
    using Pending = ArrayArg;
    void recheck(ArgConverter& c, const ArrayArg& p) const { c.recheck(p); }
    void settle(auto&, auto&) const {}
};

}  // namespace detail

namespace arg {

// Text of a default in the text signature. Pair defaults are not spelled
// out: they show as "...".
inline std::string default_text(double v) { return detail::float_text(v); }
inline std::string default_text(bool v) { return v ? "True" : "False"; }
inline std::string default_text(const Bound&) { return "..."; }

// A float, bool or pair: converted straight into its destination, or, when
// not passed, given its default.
template <class A, class T, T (ArgConverter::*Convert)(const char*, PyObject*)>
struct Scalar : detail::Direct {
    using Args = A;
    const char* name;
    T A::*dest;
    std::optional<T> fallback;

    constexpr bool optional() const { return fallback.has_value(); }
    std::string default_text() const { return arg::default_text(*fallback); }
    template <class D>
    void convert(ArgConverter& c, PyObject* obj, D& a, Pending&) const {
        a.*dest = obj == nullptr ? *fallback : (c.*Convert)(name, obj);
    }
};

template <class A>
using Real = Scalar<A, double, &ArgConverter::to_float>;
template <class A>
using Boolean = Scalar<A, bool, &ArgConverter::to_bool>;
template <class A>
using Pair = Scalar<A, Bound, &ArgConverter::to_pair>;

template <class A>
struct OptionalReal : detail::Direct {
    using Args = A;
    const char* name;
    std::optional<double> A::*dest;

    constexpr bool optional() const { return true; }
    std::string default_text() const { return "None"; }
    template <class D>
    void convert(ArgConverter& c, PyObject* obj, D& a, Pending&) const {
        if (obj != nullptr) a.*dest = c.to_optional_float(name, obj);
    }
};

template <class A>
struct StartPoint : detail::Direct {
    using Args = A;
    const char* name;
    std::optional<std::vector<double>> A::*dest;
    std::size_t size;

    constexpr bool optional() const { return true; }
    std::string default_text() const { return "None"; }
    template <class D>
    void convert(ArgConverter& c, PyObject* obj, D& a, Pending&) const {
        if (obj != nullptr) a.*dest = c.to_start_point(name, obj, size);
    }
};

// A count is kept as the interpreter's unsigned 64-bit value until every
// array is copied; only then is it narrowed to this platform's sizes.
template <class A>
struct Count : detail::Direct {
    using Args = A;
    struct Pending {
        std::uint64_t value = 0;
    };
    const char* name;
    std::size_t A::*dest;
    std::optional<std::uint64_t> fallback;

    constexpr bool optional() const { return fallback.has_value(); }
    std::string default_text() const { return std::to_string(*fallback); }
    template <class D>
    void convert(ArgConverter& c, PyObject* obj, D&, Pending& p) const {
        p.value = obj == nullptr ? *fallback : c.to_count(name, obj);
    }
    template <class D>
    void settle(Pending& p, D& a) const {
        if (p.value > std::numeric_limits<std::size_t>::max()) {
            throw InternalError(std::string(name) + " does not fit in this platform's sizes");
        }
        a.*dest = static_cast<std::size_t>(p.value);
    }
};

// An array: checked while converting, copied into its destination after the
// last conversion. An optional one defaults to None.
template <class A, class T, ArrayArg (ArgConverter::*Take)(const char*, PyObject*),
          T (ArgConverter::*Copy)(const ArrayArg&), bool Optional>
struct Array : detail::Held {
    using Args = A;
    const char* name;
    T A::*dest;
    // More elements than this (0: no limit) are refused with a ValueError
    // before the copy: a grid of billions of points is not copied to be
    // refused later, or to run for years.
    std::size_t max_elements = 0;

    constexpr bool optional() const { return Optional; }
    std::string default_text() const { return "None"; }
    template <class D>
    void convert(ArgConverter& c, PyObject* obj, D&, Pending& p) const {
        if (obj != nullptr) p = (c.*Take)(name, obj);
    }
    template <class D>
    void copy(ArgConverter& c, Pending& p, D& a) const {
        if (max_elements != 0 && c.elements(p) > max_elements) {
            throw ArgumentError(name, "has " + std::to_string(c.elements(p)) +
                                      " values, more than the limit of " +
                                      std::to_string(max_elements));
        }
        a.*dest = (c.*Copy)(p);
    }
};

template <class A>
using Vector = Array<A, std::vector<double>, &ArgConverter::to_vector, &ArgConverter::copy_vector,
                     false>;
template <class A>
using OptionalVector = Array<A, std::optional<std::vector<double>>,
                             &ArgConverter::to_optional_vector,
                             &ArgConverter::copy_optional_vector, true>;
template <class A>
using Matrix = Array<A, RowMatrix, &ArgConverter::to_matrix, &ArgConverter::copy_matrix, false>;

// A vector of limited length, refused before it is copied: a grid, say, whose
// every point costs a whole fit.
template <class A>
struct ShortVector : detail::Held {
    using Args = A;
    const char* name;
    std::vector<double> A::*dest;
    std::size_t max_size;

    constexpr bool optional() const { return false; }
    std::string default_text() const { return {}; }
    template <class D>
    void convert(ArgConverter& c, PyObject* obj, D&, Pending& p) const {
        p = c.to_short_vector(name, obj, max_size);
    }
    template <class D>
    void copy(ArgConverter& c, Pending& p, D& a) const {
        a.*dest = c.copy_vector(p);
    }
};

// Anything the interpreter's float conversion accepts.
template <class A>
constexpr Real<A> real(const char* name, double A::*dest) {
    return {{}, name, dest, std::nullopt};
}
template <class A>
constexpr Real<A> real(const char* name, double A::*dest, double fallback) {
    return {{}, name, dest, fallback};
}
// None (the default) or a float as above.
template <class A>
constexpr OptionalReal<A> optional_real(const char* name, std::optional<double> A::*dest) {
    return {{}, name, dest};
}
// True, False or a NumPy bool scalar; ints are rejected.
template <class A>
constexpr Boolean<A> boolean(const char* name, bool A::*dest) {
    return {{}, name, dest, std::nullopt};
}
template <class A>
constexpr Boolean<A> boolean(const char* name, bool A::*dest, bool fallback) {
    return {{}, name, dest, fallback};
}
// A tuple of exactly two floats.
template <class A>
constexpr Pair<A> pair(const char* name, Bound A::*dest) {
    return {{}, name, dest, std::nullopt};
}
template <class A>
constexpr Pair<A> pair(const char* name, Bound A::*dest, Bound fallback) {
    return {{}, name, dest, fallback};
}
// None (the default) or a tuple of exactly `size` floats.
template <class A>
constexpr StartPoint<A> start_point(const char* name, std::optional<std::vector<double>> A::*dest,
                                    std::size_t size) {
    return {{}, name, dest, size};
}
// A non-negative int or __index__ object; a negative one is OverflowError.
template <class A>
constexpr Count<A> count(const char* name, std::size_t A::*dest) {
    return {{}, name, dest, std::nullopt};
}
template <class A>
constexpr Count<A> count(const char* name, std::size_t A::*dest, std::uint64_t fallback) {
    return {{}, name, dest, fallback};
}
// A one-dimensional float64 array in native byte order, contiguous.
template <class A>
constexpr Vector<A> vector(const char* name, std::vector<double> A::*dest) {
    return {{}, name, dest};
}
// A vector as above of at most max_size values; a longer one is a ValueError.
template <class A>
constexpr ShortVector<A> short_vector(const char* name, std::vector<double> A::*dest,
                                      std::size_t max_size) {
    return {{}, name, dest, max_size};
}
// None (the default) or a vector as above.
template <class A>
constexpr OptionalVector<A> optional_vector(const char* name,
                                            std::optional<std::vector<double>> A::*dest) {
    return {{}, name, dest};
}
// A two-dimensional float64 array in native byte order, C- or Fortran-
// contiguous, read by logical rows.
template <class A>
constexpr Matrix<A> matrix(const char* name, RowMatrix A::*dest) {
    return {{}, name, dest};
}
// A matrix as above with at most max_elements values, checked before the copy
// (a ValueError naming the argument).
template <class A>
constexpr Matrix<A> matrix(const char* name, RowMatrix A::*dest, std::size_t max_elements) {
    return {{}, name, dest, max_elements};
}

}  // namespace arg

// The table of one function: its name and its parameters in order, with the
// parser's keyword list and format ("OO|O:name") worked out at compile time.
template <class A, class... P>
struct Signature {
    using Args = A;
    using Pending = std::tuple<typename P::Pending...>;
    static constexpr std::size_t size = sizeof...(P);

    const char* name;
    std::tuple<P...> params;
    std::array<const char*, size + 1> keywords{};
    std::array<char, size + 66> format{};

    // "name(a, b, c=2.0)", the first line of the docstring.
    std::string text() const {
        std::string s;
        const auto add = [&s](const auto& p) {
            s += s.empty() ? "" : ", ";
            s += p.name;
            if (p.optional()) s.append("=").append(p.default_text());
        };
        std::apply([&](const auto&... p) { (add(p), ...); }, params);
        return std::string(name) + "(" + s + ")";
    }
};

namespace detail {

consteval bool same_text(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) ++a, ++b;
    return *a == *b;
}

}  // namespace detail

template <class A, class... P>
consteval Signature<A, P...> signature(const char* name, P... params) {
    static_assert((std::is_base_of_v<typename P::Args, A> && ...),
                  "every destination must be a member of the signature's struct");
    Signature<A, P...> sig{name, std::tuple<P...>(params...)};
    // std::array, not a built-in array: a function may take no parameters.
    const std::array<const char*, sizeof...(P)> names{params.name...};
    const std::array<bool, sizeof...(P)> optional{params.optional()...};
    std::size_t f = 0;
    bool seen_optional = false;
    for (std::size_t i = 0; i < sizeof...(P); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (detail::same_text(names[i], names[j])) throw "a parameter name is repeated";
        }
        if (optional[i] && !seen_optional) sig.format[f++] = '|';
        if (!optional[i] && seen_optional) throw "a required parameter follows an optional one";
        seen_optional = seen_optional || optional[i];
        sig.format[f++] = 'O';
        sig.keywords[i] = names[i];
    }
    sig.format[f++] = ':';
    for (const char* c = name; *c != '\0'; ++c) {
        if (f + 1 >= sig.format.size()) throw "the function name is too long";
        sig.format[f++] = *c;
    }
    return sig;
}

namespace detail {

template <const auto& Sig, std::size_t... I>
bool parse(PyObject* args, PyObject* kwargs, std::array<PyObject*, sizeof...(I)>& objs,
           std::index_sequence<I...>) {
    // One "O" unit per parameter, so the pointers below always match the
    // format. The limited API of 3.11 takes a mutable keyword list that it
    // never writes to.
    return PyArg_ParseTupleAndKeywords(args, kwargs, Sig.format.data(),
                                       const_cast<char**>(Sig.keywords.data()), &objs[I]...) != 0;
}

template <const auto& Sig, auto Body>
PyObject* call(PyObject*, PyObject* args, PyObject* kwargs) {
    using S = std::remove_cvref_t<decltype(Sig)>;
    constexpr auto indices = std::make_index_sequence<S::size>();
    std::array<PyObject*, S::size> objs{};  // nullptr: an optional argument not passed
    if (!parse<Sig>(args, kwargs, objs, indices)) return nullptr;
    // The parser lends the argument objects. A keyword dict that Python code
    // can reach (one a C caller passes as it is) may drop them while an
    // earlier argument's __float__ runs, so each is held until the return.
    std::array<PyRef, S::size> held;
    for (std::size_t i = 0; i < S::size; ++i) held[i] = PyRef::borrow(objs[i]);
    return guarded([&]() -> PyObject* {
        ArgConverter c;
        typename S::Args a{};
        // Holds the checked arrays (one reference each) until the call returns.
        typename S::Pending pending{};
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            // Conversion runs Python code (__float__, __index__), which may
            // reshape or retype arrays already checked; the copies therefore
            // check every array's type again first. From there to the last
            // copy no Python code runs.
            (std::get<I>(Sig.params).convert(c, objs[I], a, std::get<I>(pending)), ...);
            (std::get<I>(Sig.params).recheck(c, std::get<I>(pending)), ...);
            (std::get<I>(Sig.params).copy(c, std::get<I>(pending), a), ...);
        }(indices);
        if (!c.ok()) return nullptr;
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            (std::get<I>(Sig.params).settle(std::get<I>(pending), a), ...);
        }(indices);
        return Body(a).release();
    });
}

template <const auto& Sig>
std::string text_signature() {
    return Sig.text();
}

}  // namespace detail

// The exported function of a table and a body `PyRef body(Args&)`, which
// runs after every argument is converted and copied; `place` is its place in
// __all__.
template <const auto& Sig, auto Body>
constexpr Binding bind(Place place, const char* doc) {
    return {place, Sig.name, &detail::call<Sig, Body>, &detail::text_signature<Sig>, doc};
}

}  // namespace korvel::py
