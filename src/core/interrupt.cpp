#include "core/interrupt.h"

#include <csignal>
#include <mutex>

#include "core/state.h"

namespace korvel {
namespace {

std::mutex g_mutex;
int g_depth = 0;
struct sigaction g_saved {};

extern "C" void on_sigint(int) {
    // Only a lock-free atomic store: async-signal-safe.
    set_interrupt_flag(true);
}

}  // namespace

void arm_interrupt() {
    std::lock_guard<std::mutex> lock(g_mutex);
    set_interrupt_flag(false);
    if (g_depth++ == 0) {
        struct sigaction action {};
        action.sa_handler = on_sigint;
        sigemptyset(&action.sa_mask);
        // SA_RESTART, as signal() would install it: other threads blocked in
        // system calls carry on while the computation winds down.
        action.sa_flags = SA_RESTART;
        sigaction(SIGINT, &action, &g_saved);
    }
}

bool disarm_interrupt() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_depth > 0 && --g_depth == 0) {
        sigaction(SIGINT, &g_saved, nullptr);
    }
    const bool fired = interrupt_requested();
    if (fired) set_interrupt_flag(false);
    return fired;
}

int interrupt_arm_depth() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_depth;
}

}  // namespace korvel
