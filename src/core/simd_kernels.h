// How the kernels with one build per instruction set (see simd.h) are
// compiled.
//
// A kernel's code lives in a .inc file that is included once per build, each
// time inside its own namespace and, for the wide builds, between
// KORVEL_TARGET_BEGIN_AVX2 / KORVEL_TARGET_BEGIN_AVX512 and
// KORVEL_TARGET_END. Everything the .inc file defines, templates and the
// helpers they inline included, is then compiled for that build's
// instruction set; nothing compiled for a wide instruction set can run on a
// processor without it, because the build's entry function is reached only
// through a dispatch on simd_path(). (Helpers defined outside the region
// would be compiled for the baseline and, inlined into a wide build, come out
// as slow emulations of the wide operations.) Standard headers are included
// before the regions, so their code is never compiled for a wide target.
//
// Only GCC on x86-64 has the wide builds (KORVEL_SIMD_BUILDS; its target
// pragmas are what make them); elsewhere only the scalar build exists.
#pragma once

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define KORVEL_SIMD_BUILDS 1
#define KORVEL_ALWAYS_INLINE inline __attribute__((always_inline))
// Lambdas inside a kernel are inlined too.
#define KORVEL_LAMBDA_INLINE __attribute__((always_inline))
#define KORVEL_TARGET_BEGIN_AVX2 _Pragma("GCC push_options") _Pragma("GCC target(\"avx2\")")
#define KORVEL_TARGET_BEGIN_AVX512 \
    _Pragma("GCC push_options") _Pragma("GCC target(\"avx512f,avx512dq,avx512bw,avx512vl\")")
#define KORVEL_TARGET_END _Pragma("GCC pop_options")
// Vectors are passed and returned only between functions inlined into one
// build's entry, so the calling convention of a vector argument never applies.
#pragma GCC diagnostic ignored "-Wpsabi"
#else
#define KORVEL_ALWAYS_INLINE inline
#define KORVEL_LAMBDA_INLINE
#endif

// KORVEL_SIMD_DISPATCH(path, call) returns `call` made in the build of
// `path`: in scalar_build (which the including file declares, beside its
// wide builds from core/simd_builds.inc), sse2_build, avx2_build or
// avx512_build. Where only the scalar build exists, every path is scalar.
#ifdef KORVEL_SIMD_BUILDS
#define KORVEL_SIMD_DISPATCH(path, call)                                \
    switch (path) {                                                     \
        case ::korvel::SimdPath::scalar: return scalar_build::call;     \
        case ::korvel::SimdPath::sse2: return sse2_build::call;         \
        case ::korvel::SimdPath::avx2: return avx2_build::call;         \
        case ::korvel::SimdPath::avx512: return avx512_build::call;     \
    }                                                                   \
    return scalar_build::call;
#else
#define KORVEL_SIMD_DISPATCH(path, call) return scalar_build::call;
#endif
