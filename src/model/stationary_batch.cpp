// stationary_distributions: W parameter sets solved at once, one per lane of
// a vector register (W = 2, 4 or 8 doubles), each lane performing exactly the
// operations of the structured solve of stationary.cpp on its own set, in
// the same order.
//
// Why each lane gives the scalar bits
// -----------------------------------
// IEEE addition, subtraction, multiplication, division, negation and
// comparison are correctly rounded lane by lane, and the build never fuses a
// multiply with an add, so a lane that performs the scalar solve's
// operations on the same values gets the same results. What differs between
// the lanes is control: the pivot row chosen at each column, the column
// ranges the rows hold, where the row of ones ends up, and whether the solve
// hands over to the plain algorithm. Each of those becomes per-lane data:
//
// - Rows are kept by role, not by name: at column k the three rows that may
//   hold a non-zero in column k sit at positions k (role A), k + 1 (role B,
//   always the untouched original row k + 1) and 70 (role C). A pivot swap
//   exchanges the contents of two roles, in the lanes that swap, by blends;
//   when every lane swaps, the two buffers change roles instead. After the
//   elimination the row of role A is final (position k) and stays where it is.
// - The stored column range of a row ([lstart, hi] in stationary.cpp) is a
//   vector of per-lane bounds. A loop over columns runs over the union of the
//   lanes' ranges and leaves the lanes whose range ends earlier unchanged
//   (a masked operation), so each lane sees the operations of its own range
//   only, never an operation the scalar solve does not perform.
// - Every stored row holds +0 beyond its range, in every lane, which is the
//   value the scalar solve uses there (it computes 0.0 - l * u on extension,
//   and stores explicit zeros before the back substitution).
// - The checks that send the scalar solve to the plain algorithm (a
//   parameter that is not finite, a zero pivot, a multiplier, pivot,
//   reciprocal or result that is not finite) mark the lane; a marked lane
//   goes on computing values that are then thrown away, and its result is
//   the plain algorithm's, as in stationary_with_path.
//
// The powers come from the same per-thread tables as the scalar solve's
// (pow stays a scalar call per lane); the rates are formed lane-wise.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "core/errors.h"
#include "core/simd.h"
#include "core/simd_kernels.h"
#include "core/sites.h"
#include "core/state.h"
#include "model/model.h"
#include "model/stationary_internal.h"

namespace korvel {
namespace model_detail {
namespace {

constexpr int N = kNumStates;  // 71
constexpr int kCols = 72;      // stored columns per row
// One buffer per original row (0 .. 69) and one for the row of ones.
constexpr int kBuffers = N;
constexpr double kMaxFinite = 1.7976931348623157e308;

// A lane kernel solves a group of sets, one per vector lane, and reports the
// lanes it could not solve.
using LaneKernel = void (*)(const ModelParams*, bool, StateVector*, bool*);

// The scalar path has no lane kernel: it solves one set at a time.
namespace scalar_build {
constexpr LaneKernel solve = nullptr;
}  // namespace scalar_build
#ifdef KORVEL_SIMD_BUILDS
// The builds of the lane kernel, each in its own namespace and target region.
#define KORVEL_KERNEL_FILE "model/stationary_batch_kernel.inc"
#include "core/simd_builds.inc"
#endif  // KORVEL_SIMD_BUILDS

LaneKernel lane_kernel(SimdPath path) { KORVEL_SIMD_DISPATCH(path, solve) }

}  // namespace

void stationary_batch(SimdPath path, std::span<const ModelParams> sets, bool raw_count,
                      std::span<StateVector> out, SolvePath* paths) {
    if (out.size() != sets.size()) {
        throw InternalError("stationary_distributions: " + std::to_string(sets.size()) + " sets but " +
                            std::to_string(out.size()) + " results");
    }
    bool supported = false;
    for (SimdPath s : supported_simd_paths()) supported |= s == path;
    if (!supported) {
        throw InternalError(std::string("stationary_distributions: this processor cannot run the ") +
                            simd_path_name(path) + " path");
    }
    const auto scalar = [&](std::size_t i) {
        const ModelParams& q = sets[i];
        out[i] = stationary_with_path(q.ste, q.stw, q.cow, q.coe, q.n_u, q.n_m, q.vmax, raw_count,
                                      paths ? paths + i : nullptr);
    };
    std::size_t done = 0;
    const LaneKernel kernel = lane_kernel(path);
    if (kernel != nullptr) {
        const std::size_t w = static_cast<std::size_t>(simd_lanes(path));
        ModelParams lane_sets[8];
        StateVector lane_out[8];
        bool fail[8];
        // A last, partial group fills its spare lanes with copies of its
        // first set; their results are dropped.
        while (sets.size() - done >= 2) {
            const std::size_t n = sets.size() - done < w ? sets.size() - done : w;
            for (std::size_t l = 0; l < w; ++l) lane_sets[l] = sets[done + (l < n ? l : 0)];
            kernel(lane_sets, raw_count, lane_out, fail);
            for (std::size_t l = 0; l < n; ++l) {
                if (fail[l]) {
                    scalar(done + l);
                } else {
                    out[done + l] = lane_out[l];
                    if (paths) paths[done + l] = SolvePath::fast;
                }
            }
            done += n;
        }
    }
    for (; done < sets.size(); ++done) scalar(done);
}

}  // namespace model_detail

void stationary_distributions(std::span<const ModelParams> sets, std::span<StateVector> out) {
    // Two lanes do not pay for the per-lane bookkeeping (bench_batch: about
    // 0.65x of one set at a time), so SSE2 alone solves one set at a time.
    const SimdPath path = simd_path() == SimdPath::sse2 ? SimdPath::scalar : simd_path();
    model_detail::stationary_batch(path, sets, raw_count_enabled(), out);
}

}  // namespace korvel
