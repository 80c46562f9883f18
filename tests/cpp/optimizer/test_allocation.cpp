// The optimisers allocate their simplex and population once per run, never
// per objective evaluation: a run with a hundred times more evaluations
// allocates exactly as often. This program replaces the global operator new
// to count allocations, which is why it stands apart from the other tests.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <span>
#include <vector>

#include "optimizer/global_search.h"
#include "optimizer/nelder_mead.h"
#include "optimizer/rng.h"

// GCC pairs the inlined replacement operator new with free() and warns about
// a mismatch that cannot happen: both replacements below use malloc/free.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
std::atomic<std::size_t> g_allocations{0};
}  // namespace

void* operator new(std::size_t n) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using korvel::Bound;
using korvel::ChaCha8;

TEST(Allocation, RunsAllocateIndependentlyOfEvaluationCount) {
    std::size_t calls = 0;
    const auto bowl = [&](std::span<const double> x) {
        ++calls;
        return 1.0 + x[0] * x[0] + 2.0 * x[1] * x[1];
    };
    const auto zero = [&](std::span<const double>) {
        ++calls;
        return 0.0;
    };
    const std::vector<Bound> box{{-1.0, 1.0}, {-1.0, 1.0}};
    const std::vector<double> x0{0.5, -0.25};
    const auto allocations_of = [&](const auto& run) {
        calls = 0;
        const std::size_t before = g_allocations.load();
        run();
        return g_allocations.load() - before;
    };

    // Tolerance 0 is never reached: each run goes to its iteration maximum.
    const std::size_t nm_short = allocations_of(
        [&] { korvel::nelder_mead(bowl, x0, box, korvel::NelderMeadSettings{5, 0.0, 0, 0.0}); });
    const std::size_t nm_short_calls = calls;
    const std::size_t nm_long = allocations_of(
        [&] { korvel::nelder_mead(bowl, x0, box, korvel::NelderMeadSettings{500, 0.0, 0, 0.0}); });
    EXPECT_GT(calls, 50 * nm_short_calls);
    EXPECT_GT(nm_short, 0u);  // the counter does see the simplex and the result
    EXPECT_EQ(nm_short, nm_long);

    // The all-zero objective runs 1000 generations, the bowl far fewer.
    const std::size_t de_bowl = allocations_of([&] {
        ChaCha8 rng = ChaCha8::from_seed(1);
        korvel::differential_evolution(bowl, box, rng);
    });
    const std::size_t de_bowl_calls = calls;
    const std::size_t de_zero = allocations_of([&] {
        ChaCha8 rng = ChaCha8::from_seed(1);
        korvel::differential_evolution(zero, box, rng);
    });
    EXPECT_GT(calls, 2 * de_bowl_calls);
    EXPECT_EQ(de_bowl, de_zero);
}

}  // namespace
