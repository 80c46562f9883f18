// Which vector instructions the kernels that have several builds use.
//
// korvel ships one build for every processor of an architecture. The kernels
// that profit from wide vector registers (the batched stationary solve, the
// products of the matrix exponential) are compiled several times, each for
// one instruction set, and the widest the processor can run is chosen when a
// kernel is first called. Every build performs the same IEEE operations in
// the same order (no fused multiply-add: contraction is off for the whole
// build), so the choice never changes a bit of any result; it changes only
// the speed.
//
// The environment variable KORVEL_SIMD names a path to use instead (scalar,
// sse2, avx2 or avx512), for benchmarks and tests; a path the processor
// cannot run is replaced by the widest one below it that it can.
#pragma once

#include <span>

namespace korvel {

enum class SimdPath : int {
    scalar = 0,  // one value at a time (every architecture)
    sse2 = 1,    // 128-bit registers, 2 doubles (every x86-64 processor)
    avx2 = 2,    // 256-bit registers, 4 doubles
    avx512 = 3,  // 512-bit registers, 8 doubles (AVX-512 F, DQ, BW and VL)
};

// The path in use: read once, on the first call (KORVEL_SIMD, or the widest
// the processor supports).
SimdPath simd_path() noexcept;

// Every path this processor can run, narrowest first (scalar always).
std::span<const SimdPath> supported_simd_paths() noexcept;

// "scalar", "sse2", "avx2", "avx512".
const char* simd_path_name(SimdPath path) noexcept;

// Doubles per vector register of a path: 1, 2, 4, 8.
int simd_lanes(SimdPath path) noexcept;

namespace detail {
// Replaces the path in use, for tests that run every path in one process.
// `path` must be one of supported_simd_paths(); not for use while another
// thread computes.
void force_simd_path(SimdPath path) noexcept;

// The path KORVEL_SIMD asks for, clamped to the widest of `supported`
// (unset, empty or unknown: the widest). Exposed for tests.
SimdPath choose_simd_path(const char* request, std::span<const SimdPath> supported) noexcept;
}  // namespace detail

}  // namespace korvel
