// The process-wide worker pool.
//
// Every parallel loop of korvel (density bins, bootstrap samples) runs here.
// Results are placed by index, so nothing computed depends on scheduling or on
// the number of threads. Maps nest: a task may run its own map on the same
// pool; a thread that waits for a map runs pending tasks meanwhile, so nesting
// never deadlocks, even with a single worker.
#pragma once

#include <cstddef>
#include <vector>

#include "core/function_ref.h"

namespace korvel {

// Number of threads that execute tasks, the calling thread included (the pool
// is created on first use). Read from
// KORVEL_NUM_THREADS when the pool is created; 0, empty or anything that is not
// a positive integer means the number of logical processors.
std::size_t pool_thread_count();

// Installs the pool's fork handlers (once per process; creating the pool does
// it too). They also put back the SIGINT disposition that an armed
// InterruptGuard replaced, so every arm calls this first.
void register_fork_handlers();

// Runs body(i) for every i in [0, n) and returns when all have ended. When
// bodies throw, bodies already running finish, no new ones start for this map,
// and the exception of the lowest failing index is rethrown here.
void parallel_for(std::size_t n, FunctionRef<void(std::size_t)> body);

// parallel_for that stores body(i) at position i of the result.
template <class T, class F>
std::vector<T> parallel_map(std::size_t n, F&& f) {
    std::vector<T> out(n);
    parallel_for(n, [&](std::size_t i) { out[i] = f(i); });
    return out;
}

}  // namespace korvel
