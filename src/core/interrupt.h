// Ctrl+C for long computations that run with the interpreter lock released.
//
// Each interruptible call owns an InterruptGuard for the time it computes.
// While at least one guard is armed, SIGINT does nothing but raise a
// process-wide signal counter (one lock-free atomic add: async-signal-safe).
// A guard remembers the counter's value when it armed; its call was
// interrupted exactly when the counter has moved since. So one Ctrl+C
// interrupts every call armed at that moment, a call that arms later is not
// affected by an earlier one, and no call can clear another call's
// interruption.
//
// Kernels never look at the counter themselves: they are handed an
// Interruption by their caller and poll it at objective and work-item
// granularity. A default-constructed Interruption is never requested, which
// is what every non-interruptible entry point passes, so those computations
// never stop early whatever other threads' calls do.
//
// Whatever SIGINT disposition was in force before the first of the
// concurrently armed guards is put back, whole (handler, mask and flags),
// when the last of them disarms: an interactive session keeps its own Ctrl+C.
// When SIGINT is ignored as the first guard arms, it stays ignored and the
// calls run to their end: a background job does not die of the Ctrl+C meant
// for the foreground one.
// A child forked while a guard is armed gets that disposition back at once
// (the worker pool's fork handler sees to it): none of its threads is
// computing for a guard.
#pragma once

#include <atomic>
#include <cstdint>

namespace korvel {

namespace detail {
// SIGINTs received while some guard was armed.
inline std::atomic<std::uint64_t> g_sigint_count{0};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free,
              "the signal counter is raised from a signal handler");
}  // namespace detail

// The work a call has finished, counted while it runs for a caller that shows
// progress from another thread: result rows (a resample's when all of them are
// final) and density fits (every fit of one density row, those inside a
// shared search included). Relaxed adds and loads: a count orders nothing,
// and counting changes neither what is computed nor in which order.
struct WorkCount {
    std::atomic<std::int64_t> rows{0};
    std::atomic<std::int64_t> fits{0};
};

// What a computation sees of the call it works for: whether Ctrl+C has
// interrupted it (polling costs one relaxed atomic load), and where to count
// the work it finishes.
class Interruption {
public:
    // Never requested; counts nothing.
    constexpr Interruption() noexcept = default;

    bool requested() const noexcept {
        return fired_ ||
               (armed_ && detail::g_sigint_count.load(std::memory_order_relaxed) != armed_at_);
    }

    void count_rows(std::int64_t n) const noexcept {
        if (work_ != nullptr) work_->rows.fetch_add(n, std::memory_order_relaxed);
    }
    void count_fit() const noexcept {
        if (work_ != nullptr) work_->fits.fetch_add(1, std::memory_order_relaxed);
    }

private:
    friend class InterruptGuard;
    bool armed_ = false;
    bool fired_ = false;  // frozen outcome once the guard has disarmed
    std::uint64_t armed_at_ = 0;
    WorkCount* work_ = nullptr;
};

// Arms on construction (with the interpreter lock held, before the
// computation starts) and disarms in finish() or, on any other way out such as
// an exception, in the destructor. Pass interruption() to the kernels; with
// `work` (which must outlive the guard) they count their finished work there.
class InterruptGuard {
public:
    explicit InterruptGuard(WorkCount* work = nullptr);
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

    const Interruption& interruption() const noexcept { return handle_; }

    // Disarms now; returns whether a SIGINT arrived while this guard was armed.
    bool finish();

private:
    Interruption handle_;
    bool done_ = false;
};

// Number of guards currently armed (for tests).
int interrupt_arm_depth();

namespace detail {
// Fork handlers, called by the worker pool's pthread_atfork hooks: the lock
// of the arm bookkeeping is held across fork(), and in the child the
// disposition saved by the first arm is put back and no guard counts as armed.
void interrupt_fork_prepare() noexcept;
void interrupt_fork_parent() noexcept;
void interrupt_fork_child() noexcept;
}  // namespace detail

}  // namespace korvel
