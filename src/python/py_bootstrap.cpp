// Bootstrap refits of every resample, in every fitting mode.
#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/errors.h"
#include "core/interrupt.h"
#include "fits/bootstrap.h"
#include "model/model.h"
#include "python/fit_options.h"
#include "python/frame.h"
#include "python/signature.h"

namespace korvel::py {
namespace {

using namespace fit_param;

// What every bootstrap takes; each function's struct adds its own switches.
struct BootstrapArgs : FitOptions {
    RowMatrix bootstrap_fracs;
    std::size_t n_boot = 0;
    std::size_t n_densities = 0;
    std::size_t progress = 0;
};

// Where the bootstraps count their finished work while they run, for a
// caller that shows progress: slot k = 1 .. kWorkSlots, chosen by the caller
// (one per call running at once) and read with py_work_done from another
// thread; slot 0 counts nothing. The counts only grow, so a caller reads a
// slot before its call and takes the difference.
constexpr std::size_t kWorkSlots = 64;
std::array<WorkCount, kWorkSlots> g_work_slots;

WorkCount* work_slot(const char* name, std::size_t slot) {
    if (slot > kWorkSlots) {
        throw ArgumentError(name, "must be a slot from 0 (none) to " +
                                      std::to_string(kWorkSlots) + ", got " +
                                      std::to_string(slot));
    }
    return slot == 0 ? nullptr : &g_work_slots[slot - 1];
}

struct ThreeParamArgs : BootstrapArgs {
    bool shared_st = false;
    bool fix_st = false;
};

struct ExpArgs : BootstrapArgs {
    bool shared_st = false;
    std::optional<std::vector<double>> warm_start;
    bool fit_vmax = false;
    Bound vmax_bounds = kDefaultVmaxBounds;
};

// The leading parameters, in the order every bootstrap lists them.
constexpr auto kFracs = arg::matrix("bootstrap_fracs", &BootstrapArgs::bootstrap_fracs);
constexpr auto kNBoot = arg::count("n_boot", &BootstrapArgs::n_boot);
constexpr auto kNDens = arg::count("n_densities", &BootstrapArgs::n_densities);
constexpr auto kFitVmax = arg::boolean("fit_vmax", &ExpArgs::fit_vmax, false);
constexpr auto kVmaxBounds = arg::pair("vmax_bounds", &ExpArgs::vmax_bounds, kDefaultVmaxBounds);
// Last in every table.
constexpr auto kProgress = arg::count("progress", &BootstrapArgs::progress, 0);

constexpr auto kBootstrap = signature<ThreeParamArgs>(
    "py_fit_bootstrap", kFracs, kNBoot, kNDens, kEdges, kNormalize,
    arg::boolean("shared_st", &ThreeParamArgs::shared_st),
    arg::boolean("fix_st", &ThreeParamArgs::fix_st), kStBounds, kCoBounds, kNU, kNM, kPenalty,
    kWeights, kProgress);

constexpr auto kBootstrapExp = signature<ExpArgs>(
    "py_fit_bootstrap_exp", kFracs, kNBoot, kNDens, kEdges, kNormalize, kStBounds, kCoBounds,
    kExpBounds, kPenalty, kWeights, arg::start_point("warm_start", &ExpArgs::warm_start, 4),
    kFitVmax, kVmaxBounds, kProgress);

constexpr auto kBootstrapPerdensity = signature<ExpArgs>(
    "py_fit_bootstrap_exp_perdensity", kFracs, kNBoot, kNDens, kEdges, kNormalize,
    arg::boolean("shared_st", &ExpArgs::shared_st), kStBounds, kCoBounds, kExpBounds, kPenalty,
    kWeights, kFitVmax, kVmaxBounds, kProgress);

constexpr auto kBootstrapCo = signature<ExpArgs>(
    "py_fit_bootstrap_co", kFracs, kNBoot, kNDens, kEdges, kNormalize, kStBounds, kCoBounds,
    kExpBounds, kPenalty, kWeights, arg::start_point("warm_start", &ExpArgs::warm_start, 3),
    kProgress);

struct Slot {
    std::size_t slot = 0;
};
constexpr auto kWorkDone = signature<Slot>("py_work_done", arg::count("slot", &Slot::slot));

PyRef work_done(Slot& a) {
    const WorkCount* work = work_slot("slot", a.slot);
    const auto count = [&](const std::atomic<std::int64_t> WorkCount::*n) {
        return new_int(work == nullptr ? 0 : static_cast<std::size_t>((work->*n).load(
                                                 std::memory_order_relaxed)));
    };
    PyRef rows = count(&WorkCount::rows), fits = count(&WorkCount::fits);
    return new_tuple({&rows, &fits});
}

// Runs one bootstrap kernel with Ctrl+C armed for this call alone and returns
// its rows as a (rows, columns) array. Once a SIGINT arrives, tasks not yet
// started produce nothing and running kernels wind down; every row is then
// discarded and the call raises KeyboardInterrupt. The guard disarms on every
// way out, an internal error from a worker included.
template <class Kernel>
PyRef run_bootstrap(const BootstrapArgs& a, Kernel kernel) {
    const BootstrapData data{a.bootstrap_fracs, a.n_boot, a.n_densities, a.meth_bin_edges,
                             a.normalize_stw};
    InterruptGuard interrupt(work_slot("progress", a.progress));
    const BootstrapTable table =
        without_gil([&] { return kernel(data, interrupt.interruption()); });
    if (interrupt.finish()) return PyRef(raise_interrupted());
    return new_matrix(table.rows(), table.cols, table.values);
}

PyRef fit_bootstrap_body(ThreeParamArgs& a) {
    return run_bootstrap(a, [&](const BootstrapData& data, const Interruption& stop) {
        return fit_bootstrap(data, three_param_mode(a.shared_st, a.fix_st), a.st_bounds,
                             a.co_bounds, a.n_u, a.n_m, a.co_penalty, a.weight_view(), stop);
    });
}

PyRef fit_bootstrap_exp_body(ExpArgs& a) {
    std::optional<SharedExpStart> warm;
    if (a.warm_start) {
        const std::vector<double>& w = *a.warm_start;  // exactly four, by conversion
        warm = SharedExpStart{w[0], w[1], w[2], w[3]};
    }
    return run_bootstrap(a, [&](const BootstrapData& data, const Interruption& stop) {
        return fit_bootstrap_exp(data, a.st_bounds, a.co_bounds, a.n_exp_bounds, a.co_penalty,
                                 a.weight_view(), warm, a.fit_vmax, a.vmax_bounds, stop);
    });
}

PyRef fit_bootstrap_perdensity_body(ExpArgs& a) {
    return run_bootstrap(a, [&](const BootstrapData& data, const Interruption& stop) {
        return fit_bootstrap_exp_perdensity(data, a.shared_st, a.st_bounds, a.co_bounds,
                                            a.n_exp_bounds, a.co_penalty, a.weight_view(),
                                            a.fit_vmax, a.vmax_bounds, stop);
    });
}

PyRef fit_bootstrap_co_body(ExpArgs& a) {
    std::optional<SharedCoStart> warm;
    if (a.warm_start) {
        const std::vector<double>& w = *a.warm_start;  // exactly three, by conversion
        warm = SharedCoStart{w[0], w[1], w[2]};
    }
    return run_bootstrap(a, [&](const BootstrapData& data, const Interruption& stop) {
        return fit_bootstrap_co(data, a.st_bounds, a.co_bounds, a.n_exp_bounds, a.co_penalty,
                                a.weight_view(), warm, stop);
    });
}

}  // namespace

const Bindings kBootstrapBindings{
    bind<kBootstrap, fit_bootstrap_body>(
        Place{14},
        "Refit every bootstrap resample with St, CoW and CoE free and the exponents\n"
        "fixed. Row r = b * n_densities + d of bootstrap_fracs holds density d\n"
        "(ascending) of resample b. Modes: independent (every row on its own, seed\n"
        "r); fix_st (density 0's St held for the other densities of its resample,\n"
        "seeds b * n_densities + d); shared_st, which wins over fix_st (one St per\n"
        "resample, inner fits seeded from the OS entropy source; weights are used\n"
        "only here). Returns an array of shape (n_boot * n_densities, 6), rows in\n"
        "the order of r: [bootstrap_idx, density_idx, st_free, cow, coe, nll].\n"
        "Ctrl+C raises KeyboardInterrupt and discards every row.\n"
        "progress: a slot (1 to 64) where the call counts its finished work while it\n"
        "runs, for py_work_done; 0 counts nothing; a larger one is a ValueError."),

    bind<kBootstrapExp, fit_bootstrap_exp_body>(
        Place{15},
        "Refit every bootstrap resample with St and the exponents (and, with\n"
        "fit_vmax, Vmax) shared by its densities and CoW, CoE per density. Each\n"
        "resample runs one simplex search from warm_start = (St, n_U, n_M, Vmax),\n"
        "clamped into the bounds, or five cold starts without it. Returns an array of\n"
        "shape (n_boot * n_densities, 9), rows in the order of r = b * n_densities + d:\n"
        "[boot_idx, dens_idx, st, n_u, n_m, cow, coe, nll, vmax]; vmax is the\n"
        "resample's fitted Vmax, or the run-wide one. Ctrl+C raises KeyboardInterrupt\n"
        "and discards every row.\n"
        "progress: a slot (1 to 64) where the call counts its finished work while it\n"
        "runs, for py_work_done; 0 counts nothing; a larger one is a ValueError."),

    bind<kBootstrapPerdensity, fit_bootstrap_perdensity_body>(
        Place{16},
        "Refit every bootstrap resample with per-density exponents. shared_st: one\n"
        "St (and, with fit_vmax, one Vmax) per resample, CoW, CoE, n_U, n_M per\n"
        "density. Otherwise every row r is fitted on its own with all five\n"
        "parameters free and seed r; weights, fit_vmax and vmax_bounds are then\n"
        "ignored. Returns an array of shape (n_boot * n_densities, 9), columns\n"
        "[boot_idx, dens_idx, st, n_u, n_m, cow, coe, nll, vmax]; vmax is the fitted\n"
        "Vmax, or the run-wide one. Ctrl+C raises KeyboardInterrupt and discards\n"
        "every row.\n"
        "progress: a slot (1 to 64) where the call counts its finished work while it\n"
        "runs, for py_work_done; 0 counts nothing; a larger one is a ValueError."),

    bind<kBootstrapCo, fit_bootstrap_co_body>(
        Place{17},
        "Refit every bootstrap resample with St, CoW and CoE shared by its densities\n"
        "and the exponents per density. Each resample runs one simplex search from\n"
        "warm_start = (St, CoW, CoE), clamped into the bounds, or seven cold starts\n"
        "without it. Returns an array of shape (n_boot * n_densities, 9), columns\n"
        "[boot_idx, dens_idx, st, n_u, n_m, cow, coe, nll, vmax]; vmax is the\n"
        "run-wide Vmax. Ctrl+C raises KeyboardInterrupt and discards every row.\n"
        "progress: a slot (1 to 64) where the call counts its finished work while it\n"
        "runs, for py_work_done; 0 counts nothing; a larger one is a ValueError."),

    bind<kWorkDone, work_done>(
        Place{31},
        "(rows, fits): the work the bootstrap calls given progress=slot have\n"
        "finished so far, counted while they run: result rows (a resample's once\n"
        "its fit ends) and density fits (each fit of one density row, those inside\n"
        "a shared search included). Counts only grow; slot 0 gives (0, 0). A slot\n"
        "above 64 is refused with ValueError.")};

}  // namespace korvel::py
