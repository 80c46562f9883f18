// The process-wide worker pool.
//
// Design
// ------
// A map (one parallel_for call) is a Job that lives on the stack of the thread
// that started it, its owner. The pool keeps a list of the jobs that still have
// unclaimed indices; a thread claims one index at a time, in increasing order,
// under the pool's single mutex. Each index of korvel's maps is a whole fit
// (milliseconds to minutes), so one lock round trip per index costs nothing
// measurable and keeps the bookkeeping simple enough to reason about.
//
// pool_thread_count() = background workers + 1: the thread that calls
// parallel_for always works on its own map, so a pool of size N runs N tasks
// at once. With size 1 there are no workers and every map runs inline, in
// index order, on the caller.
//
// Waiting. An owner whose map has no unclaimed indices left, but still has
// tasks running elsewhere, runs pending tasks of any map (newest first, which
// favours the nested maps that the running tasks are waiting for) and blocks
// on the condition variable only when there is nothing to run. Nesting cannot
// deadlock: an owner never blocks while its own map has unclaimed indices, and
// a map it waits for is only unfinished because another thread is running one
// of its indices, whose own waits are for maps created later still; that chain
// ends at a thread that is computing.
//
// Failures. Indices are claimed in increasing order and a failed map claims no
// more. When index j fails, every lower index has already been claimed and
// will run to its end, so the exception rethrown (that of the lowest failing
// index) is the one a plain sequential loop would have thrown first.
//
// fork(). Python's multiprocessing forks the interpreter while the pool may
// exist. The child has only the forking thread; the parent's workers, and any
// map other threads were running, are gone. The child therefore abandons the
// parent's pool object (it is kept reachable, never touched again) and builds
// a new one on first use. The only lock the child still needs, the one that
// guards creation, is held across fork() by the prepare handler so that it is
// in a known state on both sides.
//
// Process exit. The pool is never destroyed: its workers sleep on the
// condition variable until the process ends, so exit neither joins nor races
// with them. Python extension modules are never unloaded.
#include "core/pool.h"

#include "core/interrupt.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace korvel {
namespace {

// Upper bound on KORVEL_NUM_THREADS, so that a typo cannot ask the system for
// millions of threads.
constexpr std::size_t kMaxThreads = 1024;

// A thread whose stack already holds this many nested parallel_for waits only
// runs tasks of the map it waits for. Helping with an unrelated long task from
// deep inside a wait adds another full fit to the stack each time; korvel
// nests three maps deep at most, so the limit only guards against pathologies.
constexpr int kMaxHelpingDepth = 16;

thread_local int t_wait_depth = 0;

struct Job {
    Job(std::size_t count, FunctionRef<void(std::size_t)> fn) : n(count), body(fn) {}

    const std::size_t n;
    const FunctionRef<void(std::size_t)> body;
    std::size_t next = 0;     // lowest unclaimed index
    std::size_t running = 0;  // claimed and not yet finished
    bool failed = false;
    std::size_t fail_index = std::numeric_limits<std::size_t>::max();
    std::exception_ptr error;

    bool exhausted() const { return failed || next == n; }
    bool done() const { return exhausted() && running == 0; }
};

class Pool {
public:
    explicit Pool(std::size_t size) {
        // Threads that cannot be created (a process limit) just make the pool
        // smaller; the caller always works, so size 1 is always available.
        workers_.reserve(size - 1);
        for (std::size_t k = 1; k < size; ++k) {
            try {
                workers_.emplace_back([this] { worker_loop(); });
            } catch (const std::system_error&) {
                break;
            }
        }
        size_ = workers_.size() + 1;
    }

    std::size_t size() const { return size_; }

    void run(std::size_t n, FunctionRef<void(std::size_t)> body) {
        Job job(n, body);
        struct DepthGuard {
            DepthGuard() { ++t_wait_depth; }
            ~DepthGuard() { --t_wait_depth; }
        } depth;

        std::unique_lock<std::mutex> lock(mu_);
        jobs_.push_back(&job);
        if (sleepers_ > 0) cv_.notify_all();
        while (!job.done()) {
            Job* pick = job.exhausted() ? pick_other(&job) : &job;
            if (pick != nullptr) {
                run_one(lock, *pick, pick == &job);
            } else {
                ++sleepers_;
                cv_.wait(lock);
                --sleepers_;
            }
        }
        lock.unlock();
        if (job.error) std::rethrow_exception(job.error);
    }

    // Called in the child after fork(): the workers that served this object
    // do not exist there, so it must never be used again.
    Pool* next_orphan = nullptr;

private:
    void worker_loop() {
        std::unique_lock<std::mutex> lock(mu_);
        for (;;) {
            Job* pick = jobs_.empty() ? nullptr : jobs_.back();
            if (pick != nullptr) {
                run_one(lock, *pick, false);
            } else {
                ++sleepers_;
                cv_.wait(lock);
                --sleepers_;
            }
        }
    }

    // A job with unclaimed indices for an owner whose own job is exhausted.
    Job* pick_other(const Job* own) const {
        if (jobs_.empty() || t_wait_depth > kMaxHelpingDepth) return nullptr;
        Job* newest = jobs_.back();
        return newest == own ? nullptr : newest;
    }

    void unlist(Job& job) {
        const auto it = std::find(jobs_.begin(), jobs_.end(), &job);
        if (it != jobs_.end()) jobs_.erase(it);
    }

    // Claims the next index of `job`, runs it without the lock and records
    // its outcome. Enters and leaves with the lock held.
    void run_one(std::unique_lock<std::mutex>& lock, Job& job, bool is_owner) {
        const std::size_t i = job.next++;
        ++job.running;
        if (job.exhausted()) unlist(job);
        lock.unlock();

        std::exception_ptr error;
        try {
            job.body(i);
        } catch (...) {
            error = std::current_exception();
        }

        lock.lock();
        --job.running;
        if (error) {
            if (i < job.fail_index) {
                job.fail_index = i;
                job.error = error;
            }
            if (!job.failed) {
                job.failed = true;
                unlist(job);
            }
        }
        // The owner may be asleep waiting for this last task. Once the lock is
        // released the owner may return and destroy the job, so the job is not
        // touched after this point.
        if (!is_owner && job.done()) cv_.notify_all();
    }

    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<Job*> jobs_;  // jobs with unclaimed indices, oldest first
    std::size_t sleepers_ = 0;
    std::vector<std::thread> workers_;
    std::size_t size_ = 1;
};

// Strict parse of KORVEL_NUM_THREADS: decimal digits only, value >= 1.
// Returns 0 for anything else, which selects the processor count.
std::size_t parse_thread_count(const char* text) {
    if (text == nullptr || *text == '\0') return 0;
    std::size_t value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return 0;
        value = std::min<std::size_t>(value * 10 + static_cast<std::size_t>(*p - '0'),
                                      kMaxThreads + 1);
    }
    return std::min(value, kMaxThreads);
}

std::size_t configured_size() {
    std::size_t size = parse_thread_count(std::getenv("KORVEL_NUM_THREADS"));
    if (size == 0) size = std::thread::hardware_concurrency();
    return std::clamp<std::size_t>(size, 1, kMaxThreads);
}

std::mutex g_create_mutex;
std::atomic<Pool*> g_pool{nullptr};
Pool* g_orphans = nullptr;  // pools abandoned by fork(), kept reachable
bool g_atfork_registered = false;

// The interrupt bookkeeping's lock is taken after this file's, here and
// everywhere else, so the two cannot deadlock.
void atfork_prepare() {
    g_create_mutex.lock();
    detail::interrupt_fork_prepare();
}
void atfork_parent() {
    detail::interrupt_fork_parent();
    g_create_mutex.unlock();
}
void atfork_child() {
    // A call that was armed in the parent computes nowhere in the child, so
    // the child gets back the SIGINT disposition in force before any arm.
    detail::interrupt_fork_child();
    Pool* old = g_pool.load(std::memory_order_relaxed);
    if (old != nullptr) {
        old->next_orphan = g_orphans;
        g_orphans = old;
    }
    g_pool.store(nullptr, std::memory_order_relaxed);
    // The forking thread locked this in atfork_prepare and is the same thread
    // here, so the unlock is its own.
    g_create_mutex.unlock();
}

// Handlers are inherited by a forked child, so once per process tree. Call
// with g_create_mutex held.
void register_fork_handlers_locked() {
    if (!g_atfork_registered) {
        if (pthread_atfork(atfork_prepare, atfork_parent, atfork_child) != 0) {
            throw std::system_error(std::make_error_code(std::errc::not_enough_memory),
                                    "pool: pthread_atfork failed");
        }
        g_atfork_registered = true;
    }
}

// The handlers are registered when this library is loaded, before any thread
// can call into it. Registering them only on the pool's first use, under
// g_create_mutex, left a window: a fork() by another thread while the first
// user held that mutex but had not yet registered gave a child whose copy of
// the mutex stayed locked forever, and the child's first map hung. Should
// registration fail here (out of memory), the first use tries again and
// reports the failure there.
const bool g_registered_at_load = [] {
    std::lock_guard<std::mutex> guard(g_create_mutex);
    try {
        register_fork_handlers_locked();
    } catch (const std::system_error&) {
        // Left unregistered: pool() tries again and reports it.
    }
    return g_atfork_registered;
}();

Pool& pool() {
    Pool* p = g_pool.load(std::memory_order_acquire);
    if (p != nullptr) return *p;
    std::lock_guard<std::mutex> guard(g_create_mutex);
    p = g_pool.load(std::memory_order_relaxed);
    if (p == nullptr) {
        register_fork_handlers_locked();
        p = new Pool(configured_size());
        g_pool.store(p, std::memory_order_release);
    }
    return *p;
}

}  // namespace

void register_fork_handlers() {
    std::lock_guard<std::mutex> guard(g_create_mutex);
    register_fork_handlers_locked();
}

std::size_t pool_thread_count() { return pool().size(); }

void parallel_for(std::size_t n, FunctionRef<void(std::size_t)> body) {
    if (n == 0) return;
    Pool& p = pool();
    if (n == 1 || p.size() == 1) {
        // Inline, in index order: the first exception is that of the lowest
        // failing index and ends the loop, as the pooled path guarantees.
        for (std::size_t i = 0; i < n; ++i) body(i);
        return;
    }
    p.run(n, body);
}

}  // namespace korvel
