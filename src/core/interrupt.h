// Ctrl+C for long computations that run with the interpreter lock released.
//
// While an interruptible call computes, SIGINT only sets the interrupt flag
// (state.h); the computation polls it at objective and work-item granularity
// and winds down, and the call then reports the interruption. Whatever SIGINT
// disposition was in force before the first of the concurrently running
// interruptible calls armed is put back, whole (handler, mask and flags), when
// the last of them disarms: an interactive session keeps its own Ctrl+C.
#pragma once

namespace korvel {

// Clears the interrupt flag and routes SIGINT to the flag. Safe to call from
// several threads; only the first concurrent arm saves the old disposition.
void arm_interrupt();

// Ends one arm. The last concurrent disarm restores the saved disposition.
// Returns whether the flag was set, and clears it in that case.
bool disarm_interrupt();

// Number of calls currently armed (for tests).
int interrupt_arm_depth();

// RAII form of arm/disarm for code paths that may throw.
class InterruptGuard {
public:
    InterruptGuard() { arm_interrupt(); }
    ~InterruptGuard() {
        if (!done_) disarm_interrupt();
    }
    // Disarms now and reports whether Ctrl+C arrived.
    bool finish() {
        done_ = true;
        return disarm_interrupt();
    }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

private:
    bool done_ = false;
};

}  // namespace korvel
