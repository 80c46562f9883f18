// Process-wide run state: the raw-count switch and the Michaelis-Menten
// ceiling. (Ctrl+C has no process-wide flag: each interruptible call owns its
// interruption, see interrupt.h.)
//
// Each is a single value written by the calling Python thread and read by
// worker threads without a lock, so each is a lock-free atomic of its own
// width accessed with relaxed ordering: no other memory is published through
// them.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>

namespace korvel {

namespace detail {
inline std::atomic<std::uint8_t> g_raw_count{0};
inline std::atomic<double> g_mm_vmax{std::numeric_limits<double>::infinity()};

static_assert(std::atomic<double>::is_always_lock_free,
              "Vmax is read by workers while a setter may write it");
}  // namespace detail

// Raw-count switch: false = fraction bases k/70, true = raw counts k.
inline bool raw_count_enabled() noexcept {
    return detail::g_raw_count.load(std::memory_order_relaxed) != 0;
}
inline void set_raw_count(bool on) noexcept {
    detail::g_raw_count.store(on ? 1 : 0, std::memory_order_relaxed);
}

// Michaelis-Menten ceiling on the cooperative drives; +inf means none.
inline double mm_vmax() noexcept {
    return detail::g_mm_vmax.load(std::memory_order_relaxed);
}
inline void set_mm_vmax(double v) noexcept {
    detail::g_mm_vmax.store(v, std::memory_order_relaxed);
}

}  // namespace korvel
