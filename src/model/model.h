// The stationary master-equation model of CpG methylation.
//
// A region holds 70 CpG sites; its state is the number m of methylated sites
// (71 states). Sites are written and erased one at a time, spontaneously and
// cooperatively; the stationary distribution of that birth-death chain, summed
// into methylation-fraction bins, is scored against observed bin fractions.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "core/sites.h"

namespace korvel {

// n_U and n_M where a caller gives none: the drive grows with the square of
// the methylated or unmethylated share.
inline constexpr double kDefaultExponent = 2.0;

using StateVector = std::array<double, kNumStates>;

// Stationary distribution P(0..70) of the chain with the given parameters,
// in model order. Never fails: a singular system gives 1/71 everywhere.
// Reads the raw-count switch once per call.
StateVector stationary_distribution(double ste, double stw, double cow, double coe, double n_u,
                                    double n_m, double vmax);

// One parameter set of the model, in model order.
struct ModelParams {
    double ste, stw, cow, coe, n_u, n_m, vmax;
};

// stationary_distribution of every set, out[i] for sets[i] (the spans have
// the same length), each equal to it bit for bit. Independent sets are
// solved side by side in the lanes of the processor's vector registers.
// Reads the raw-count switch once per call.
void stationary_distributions(std::span<const ModelParams> sets, std::span<StateVector> out);

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

// The five model parameters a per-density fit may search, each on its own
// scale: St and the exponents as plain values, CoW and CoE as base-10
// logarithms (recovered with std::pow(10.0, x)). A search point holds the
// searched ones in this order, whichever of them a fit searches.
enum DensityParam : unsigned {
    kSearchSt = 1u << 0,
    kSearchCoW = 1u << 1,
    kSearchCoE = 1u << 2,
    kSearchNU = 1u << 3,
    kSearchNM = 1u << 4,
};

// Plain values of the five per-density parameters.
struct DensityParams {
    double st;
    double cow;
    double coe;
    double n_u;
    double n_m;
};

// The objective of every per-density fit: a search point mapped onto the
// model parameters (the searched ones from x, the rest from `fixed`), scored
// by model_nll, plus co_penalty_term when the fit penalises its coefficients.
// Holds views only: an evaluation allocates nothing beyond what model_nll
// itself does.
struct DensityObjective {
    DensityData data;
    unsigned searched;  // DensityParam bits
    DensityParams fixed;  // entries of searched parameters are not read
    double vmax;
    std::optional<double> co_penalty;  // empty: the fit has no penalty term

    // Number of search coordinates.
    std::size_t size() const;

    // Model values at x. Throws InternalError when x is shorter than size():
    // it would be read past its end.
    DensityParams params(std::span<const double> x) const {
        if (x.size() < size()) short_point(x.size());
        std::size_t k = 0;
        DensityParams p = fixed;
        if (searched & kSearchSt) p.st = x[k++];
        if (searched & kSearchCoW) p.cow = std::pow(10.0, x[k++]);
        if (searched & kSearchCoE) p.coe = std::pow(10.0, x[k++]);
        if (searched & kSearchNU) p.n_u = x[k++];
        if (searched & kSearchNM) p.n_m = x[k++];
        return p;
    }

    // The plain NLL at p, never with the penalty.
    double nll(const DensityParams& p) const {
        return model_nll(p.st, p.cow, p.coe, data.observed, data.edges, data.normalize_stw, p.n_u,
                         p.n_m, vmax);
    }

    double operator()(std::span<const double> x) const {
        const DensityParams p = params(x);
        if (!co_penalty) return nll(p);
        return nll(p) + co_penalty_term(*co_penalty, p.cow, p.coe);
    }

private:
    [[noreturn]] void short_point(std::size_t got) const;
};

}  // namespace korvel
