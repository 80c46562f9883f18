// The stationary master-equation model of CpG methylation.
//
// A region holds 70 CpG sites; its state is the number m of methylated sites
// (71 states). Sites are written and erased one at a time, spontaneously and
// cooperatively; the stationary distribution of that birth-death chain, summed
// into methylation-fraction bins, is scored against observed bin fractions.
#pragma once

#include <array>
#include <span>
#include <vector>

namespace korvel {

inline constexpr int kNcpg = 70;
inline constexpr int kNumStates = 71;

using StateVector = std::array<double, kNumStates>;

// Stationary distribution P(0..70) of the chain with the given parameters,
// in model order. Never fails: a singular system gives 1/71 everywhere.
// Reads the raw-count switch once per call.
StateVector stationary_distribution(double ste, double stw, double cow, double coe, double n_u,
                                    double n_m, double vmax);

// The plain dense algorithm (fill, 71x71 LU with first-maximum partial
// pivoting, two triangular solves). stationary_distribution returns exactly
// the same values; this one is kept as the reference.
StateVector stationary_distribution_reference(double ste, double stw, double cow, double coe,
                                              double n_u, double n_m, double vmax);

// Model fractions per methylation bin: first-match bins, floor 1e-8,
// renormalised. Throws InternalError when edges is empty.
std::vector<double> binned_model_fracs(const StateVector& p, std::span<const double> edges);

// NLL = -sum observed[i] * ln(model fraction i) over the common prefix.
// normalize_stw true: StE = st, StW = 1; false: StE = 1, StW = st.
double model_nll(double st, double cow, double coe, std::span<const double> observed,
                 std::span<const double> edges, bool normalize_stw, double n_u, double n_m,
                 double vmax);

// w > 0: w * (cow + coe); w < 0: -w * (log10 coe + log10 cow); 0 or NaN: 0.
double co_penalty_term(double w, double cow, double coe);

// Data of one density bin as the per-density objectives see it.
struct DensityData {
    std::span<const double> observed;
    std::span<const double> edges;
    bool normalize_stw;
};

// Five-parameter objective, x = (St, log10 CoW, log10 CoE, n_U, n_M).
// Throws InternalError when x has fewer than five entries.
double five_param_objective(std::span<const double> x, const DensityData& d, double vmax,
                            double co_penalty);

// Fixed-St exponent objective, x = (log10 CoW, log10 CoE, n_U, n_M).
// Throws InternalError when x has fewer than four entries.
double fixed_st_exp_objective(std::span<const double> x, double st, const DensityData& d,
                              double vmax, double co_penalty);

}  // namespace korvel
