#include "core/simd.h"

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "core/simd_kernels.h"

namespace korvel {
namespace {

struct Supported {
    std::array<SimdPath, 4> paths{};
    std::size_t count = 0;
};

Supported detect() noexcept {
    Supported s;
    s.paths[s.count++] = SimdPath::scalar;
#ifdef KORVEL_SIMD_BUILDS
    // Only paths that have builds are offered. SSE2 is part of x86-64 itself. __builtin_cpu_supports also checks that
    // the operating system saves the wider registers.
    s.paths[s.count++] = SimdPath::sse2;
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) {
        s.paths[s.count++] = SimdPath::avx2;
        if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
            __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl")) {
            s.paths[s.count++] = SimdPath::avx512;
        }
    }
#endif
    return s;
}

const Supported& supported() noexcept {
    static const Supported s = detect();
    return s;
}

}  // namespace

namespace detail {

SimdPath choose_simd_path(const char* request, std::span<const SimdPath> supported) noexcept {
    const SimdPath widest = supported.back();
    if (request == nullptr) return widest;
    SimdPath wanted = widest;
    bool known = false;
    for (SimdPath p : {SimdPath::scalar, SimdPath::sse2, SimdPath::avx2, SimdPath::avx512}) {
        if (std::strcmp(request, simd_path_name(p)) == 0) {
            wanted = p;
            known = true;
        }
    }
    if (!known) return widest;
    SimdPath chosen = supported.front();
    for (SimdPath p : supported) {
        if (static_cast<int>(p) <= static_cast<int>(wanted)) chosen = p;
    }
    return chosen;
}

}  // namespace detail

std::span<const SimdPath> supported_simd_paths() noexcept {
    const Supported& s = supported();
    return {s.paths.data(), s.count};
}

namespace {

std::atomic<int>& path_in_use() noexcept {
    static std::atomic<int> path{
        static_cast<int>(detail::choose_simd_path(std::getenv("KORVEL_SIMD"), supported_simd_paths()))};
    return path;
}

}  // namespace

SimdPath simd_path() noexcept {
    return static_cast<SimdPath>(path_in_use().load(std::memory_order_relaxed));
}

void detail::force_simd_path(SimdPath path) noexcept {
    path_in_use().store(static_cast<int>(path), std::memory_order_relaxed);
}

const char* simd_path_name(SimdPath path) noexcept {
    switch (path) {
        case SimdPath::scalar: return "scalar";
        case SimdPath::sse2: return "sse2";
        case SimdPath::avx2: return "avx2";
        case SimdPath::avx512: return "avx512";
    }
    return "scalar";
}

int simd_lanes(SimdPath path) noexcept {
    switch (path) {
        case SimdPath::scalar: return 1;
        case SimdPath::sse2: return 2;
        case SimdPath::avx2: return 4;
        case SimdPath::avx512: return 8;
    }
    return 1;
}

}  // namespace korvel
