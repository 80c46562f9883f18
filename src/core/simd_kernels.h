// Building blocks of the kernels that are compiled once per instruction set
// (see simd.h): W doubles as one value, the lane masks of their comparisons,
// and the attributes that compile a function for AVX2 or AVX-512.
//
// A kernel is written once as a template over W whose helpers are all forced
// inline, and instantiated in small entry functions that carry the target
// attribute: everything a build runs is then compiled for its instruction
// set, and nothing compiled for a wide instruction set can be called on a
// processor without it (each entry is reached only through a dispatch on
// simd_path()). Only GCC-compatible compilers on x86-64 have the wide builds
// (KORVEL_SIMD_BUILDS); elsewhere only the scalar path exists.
#pragma once

#include <bit>
#include <cstdint>

#if defined(__GNUC__) && defined(__x86_64__)
#define KORVEL_SIMD_BUILDS 1
#define KORVEL_ALWAYS_INLINE inline __attribute__((always_inline))
// Lambdas inside a kernel are inlined too, so that every operation is
// compiled for the instruction set of the entry that runs it.
#define KORVEL_LAMBDA_INLINE __attribute__((always_inline))
#define KORVEL_TARGET_AVX2 __attribute__((target("avx2")))
#define KORVEL_TARGET_AVX512 __attribute__((target("avx512f,avx512dq,avx512bw,avx512vl")))
// Vectors are passed and returned only between functions inlined into one
// entry, so the calling convention of a vector argument never applies.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace korvel::simd {

// W doubles as one value, and the lane masks that comparisons of two such
// values give (all bits set in a lane where the comparison holds).
template <int W>
struct Lanes {
    typedef double V __attribute__((vector_size(8 * W)));
    typedef std::int64_t M __attribute__((vector_size(8 * W)));
    // The same, read from and written to memory that is only 8-byte aligned.
    typedef double U __attribute__((vector_size(8 * W), aligned(8), may_alias));
};

template <int W>
KORVEL_ALWAYS_INLINE typename Lanes<W>::V load(const double* p) {
    return *reinterpret_cast<const typename Lanes<W>::U*>(p);
}

template <int W>
KORVEL_ALWAYS_INLINE void store(double* p, typename Lanes<W>::V v) {
    *reinterpret_cast<typename Lanes<W>::U*>(p) = v;
}

// x in every lane. (x - +0 is x for every x, -0 included, so this is an
// exact broadcast; +0 + x would turn -0 into +0.)
template <class V>
KORVEL_ALWAYS_INLINE V splat(double x) {
    return x - V{};
}

}  // namespace korvel::simd
#else
#define KORVEL_ALWAYS_INLINE inline
#define KORVEL_LAMBDA_INLINE
#endif
