#include "core/interrupt.h"

#include <csignal>
#include <mutex>

#include "core/pool.h"

namespace korvel {
namespace {

// Guards the arm count and the saved disposition. Held across fork() by the
// pool's fork handlers so that the child finds it in a known state.
std::mutex g_mutex;
int g_depth = 0;
struct sigaction g_saved {};

extern "C" void on_sigint(int) {
    // Only a lock-free atomic add: async-signal-safe.
    detail::g_sigint_count.fetch_add(1, std::memory_order_relaxed);
}

// Whether the first guard found SIGINT ignored and left it so.
bool g_ignored = false;

// Routes SIGINT to the counter when the first guard arms. Call with g_mutex.
//
// A process that ignores SIGINT (a shell starts background jobs of a script
// that way) keeps ignoring it: the Ctrl+C typed for the foreground job must
// not end a background computation, so the call runs to its end.
void arm_locked() {
    if (g_depth++ == 0) {
        sigaction(SIGINT, nullptr, &g_saved);
        g_ignored = g_saved.sa_handler == SIG_IGN;
        if (g_ignored) return;
        struct sigaction action {};
        action.sa_handler = on_sigint;
        sigemptyset(&action.sa_mask);
        // SA_RESTART, as signal() would install it: other threads blocked in
        // system calls carry on while the computation winds down.
        action.sa_flags = SA_RESTART;
        sigaction(SIGINT, &action, nullptr);
    }
}

// Puts the saved disposition back when the last guard disarms. Call with g_mutex.
void disarm_locked() {
    if (g_depth > 0 && --g_depth == 0 && !g_ignored) sigaction(SIGINT, &g_saved, nullptr);
}

}  // namespace

InterruptGuard::InterruptGuard(WorkCount* work) {
    handle_.work_ = work;
    // Registered before g_mutex is taken: the fork handlers take the pool's
    // lock first and g_mutex second, and so must everyone else.
    register_fork_handlers();
    std::lock_guard<std::mutex> lock(g_mutex);
    // The counter is read before the handler can raise it for this guard, so
    // a SIGINT that arrives once the handler is in place always counts.
    handle_.armed_at_ = detail::g_sigint_count.load(std::memory_order_relaxed);
    handle_.armed_ = true;
    arm_locked();
}

InterruptGuard::~InterruptGuard() {
    if (!done_) finish();
}

bool InterruptGuard::finish() {
    if (done_) return handle_.fired_;
    done_ = true;
    std::lock_guard<std::mutex> lock(g_mutex);
    // Restore first, read second: a SIGINT that reached the handler before the
    // restore is seen here; one after it goes to the restored disposition.
    disarm_locked();
    const bool fired = handle_.requested();
    handle_.fired_ = fired;
    handle_.armed_ = false;
    return fired;
}

int interrupt_arm_depth() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_depth;
}

namespace detail {

void interrupt_fork_prepare() noexcept { g_mutex.lock(); }
void interrupt_fork_parent() noexcept { g_mutex.unlock(); }
void interrupt_fork_child() noexcept {
    // The child's only thread is the one that forked, and it is not inside an
    // armed call: nothing in the child computes for a guard, so SIGINT goes
    // back to what it was before the first arm.
    if (g_depth > 0) {
        if (!g_ignored) sigaction(SIGINT, &g_saved, nullptr);
        g_depth = 0;
    }
    g_mutex.unlock();
}

}  // namespace detail

}  // namespace korvel
