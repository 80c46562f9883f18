// Run-wide settings, direct model evaluation and phase grids.
#include <optional>
#include <string>
#include <vector>

#include "core/pool.h"
#include "core/state.h"
#include "fits/phase_grids.h"
#include "model/model.h"
#include "python/signature.h"

namespace korvel::py {

namespace {

// A run-wide setting: its one argument handed to `Set`, None returned.
template <class T>
struct Setting {
    T value;
};

template <auto Set, class T>
PyRef set_body(Setting<T>& a) {
    Set(a.value);  // every value is stored unchanged: none is rejected
    return new_none();
}

constexpr auto kRawCount = signature<Setting<bool>>(
    "py_set_raw_count", arg::boolean("enabled", &Setting<bool>::value));
constexpr auto kMmVmax = signature<Setting<double>>(
    "py_set_mm_vmax", arg::real("vmax", &Setting<double>::value));

struct NoArgs {};
constexpr auto kThreadCount = signature<NoArgs>("py_thread_count");

PyRef thread_count_body(NoArgs&) {
    // Creates the pool if no call has yet, from KORVEL_NUM_THREADS as it is
    // now: what is reported is what every later call runs on.
    return new_int(pool_thread_count());
}

struct Nll {
    std::vector<double> params, observed_fracs, meth_bin_edges;
    bool normalize_stw;
};
constexpr auto kNll = signature<Nll>(
    "py_compute_nll",
    arg::vector("params", &Nll::params),
    arg::vector("observed_fracs", &Nll::observed_fracs),
    arg::vector("meth_bin_edges", &Nll::meth_bin_edges),
    arg::boolean("normalize_stw", &Nll::normalize_stw));

PyRef compute_nll(Nll& a) {
    if (a.params.size() < 3) {
        throw InternalError("params has " + std::to_string(a.params.size()) +
                            " entries; (St, CoW, CoE) needs 3");
    }
    // A short evaluation: computed with the interpreter lock held.
    return new_float(model_nll(a.params[0], a.params[1], a.params[2], a.observed_fracs,
                               a.meth_bin_edges, a.normalize_stw, kDefaultExponent,
                               kDefaultExponent, mm_vmax()));
}

struct ModelFracs {
    double ste, stw, cow, coe;
    std::vector<double> meth_bin_edges;
    double n_u, n_m;
    std::optional<double> vmax;  // None: the run-wide ceiling
};
constexpr auto kModelFracs = signature<ModelFracs>(
    "py_compute_model_fracs",
    arg::real("ste", &ModelFracs::ste),
    arg::real("stw", &ModelFracs::stw),
    arg::real("cow", &ModelFracs::cow),
    arg::real("coe", &ModelFracs::coe),
    arg::vector("meth_bin_edges", &ModelFracs::meth_bin_edges),
    arg::real("n_u", &ModelFracs::n_u, kDefaultExponent),
    arg::real("n_m", &ModelFracs::n_m, kDefaultExponent),
    arg::optional_real("vmax", &ModelFracs::vmax));

PyRef compute_model_fracs(ModelFracs& a) {
    // The fits' own model at their own parameters: a fit with fitted
    // exponents or Vmax is drawn with those, not with the defaults.
    const StateVector p = stationary_distribution(a.ste, a.stw, a.cow, a.coe, a.n_u, a.n_m,
                                                  a.vmax.value_or(mm_vmax()));
    return new_vector(binned_model_fracs(p, a.meth_bin_edges));
}

struct PhaseGridArgs {
    double st_free;
    bool normalize_stw;
    std::vector<double> log_cow_grid, log_coe_grid;
    double n_u, n_m;
};
constexpr auto kPhaseGrids = signature<PhaseGridArgs>(
    "py_compute_phase_grids",
    arg::real("st_free", &PhaseGridArgs::st_free),
    arg::boolean("normalize_stw", &PhaseGridArgs::normalize_stw),
    arg::vector("log_cow_grid", &PhaseGridArgs::log_cow_grid),
    arg::vector("log_coe_grid", &PhaseGridArgs::log_coe_grid),
    arg::real("n_u", &PhaseGridArgs::n_u, kDefaultExponent),
    arg::real("n_m", &PhaseGridArgs::n_m, kDefaultExponent));

PyRef compute_phase_grids_body(PhaseGridArgs& a) {
    const PhaseGrids g = without_gil([&] {
        return compute_phase_grids(a.st_free, a.normalize_stw, a.log_cow_grid, a.log_coe_grid,
                                   a.n_u, a.n_m);
    });
    const std::size_t rows = a.log_cow_grid.size(), cols = a.log_coe_grid.size();
    PyRef bi = new_matrix(rows, cols, g.bistability);
    PyRef avg = new_matrix(rows, cols, g.avg_meth);
    PyRef ent = new_matrix(rows, cols, g.entropy);
    PyRef mid = new_matrix(rows, cols, g.frac_inter);
    return new_tuple({&bi, &avg, &ent, &mid});
}

}  // namespace

const Bindings kModelBindings{
    bind<kRawCount, set_body<set_raw_count, bool>>(
        Place{1},
        "Switch the cooperative drives between fraction bases (M/70, U/70; the\n"
        "default, enabled=False) and raw counts (M, U). Applies to every later\n"
        "model evaluation in this process."),

    bind<kMmVmax, set_body<set_mm_vmax, double>>(
        Place{2},
        "Set the Michaelis-Menten ceiling on both cooperative drives for every\n"
        "later fit and model evaluation: a drive x becomes x / (x / vmax + 1).\n"
        "+inf (the initial value), -inf or NaN disable the saturation."),

    bind<kNll, compute_nll>(
        Place{3},
        "Negative log-likelihood of one density bin's observed bin fractions under\n"
        "the stationary model with params = (St, CoW, CoE) as plain values,\n"
        "exponents 2.0 and the run-wide Vmax. normalize_stw=True makes St the\n"
        "erasing rate (StW = 1), False the writing rate (StE = 1). Returns a float."),

    bind<kModelFracs, compute_model_fracs>(
        Place{4},
        "Model fraction of each methylation bin for the rates (StE, StW, CoW, CoE),\n"
        "the exponents n_u and n_m (default 2.0) and Vmax (None, the default: the\n"
        "run-wide ceiling). meth_bin_edges holds n_meth_bins + 1 edges; returns a\n"
        "float64 array of shape (n_meth_bins,)."),

    bind<kPhaseGrids, compute_phase_grids_body>(
        Place{18},
        "Solve the stationary model at every (log10 CoW, log10 CoE) grid point and\n"
        "return (bistability, avg_meth, entropy, frac_inter), four float64 arrays\n"
        "of shape (n_cow, n_coe); element [i, k] belongs to log_cow_grid[i] and\n"
        "log_coe_grid[k]."),

    bind<kThreadCount, thread_count_body>(
        Place{24},
        "The number of threads the worker pool runs parallel work on, the calling\n"
        "thread included. The pool is made on first use (this call makes it when\n"
        "no call has yet) and keeps its size for the life of the process: set from\n"
        "KORVEL_NUM_THREADS when that is a whole number from 1 to 1024 (larger\n"
        "numbers give 1024), otherwise from the number of logical processors.")};

}  // namespace korvel::py
