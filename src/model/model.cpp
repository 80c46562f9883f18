// The stationary master-equation model: the plain dense reference solve,
// binning into methylation-fraction bins, the NLL and the penalty.
#include "model/model.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "lib/core/errors.h"
#include "lib/core/state.h"

namespace korvel {

namespace {

// Michaelis-Menten saturation of a cooperative drive, in exactly this form
// (divide, add one, divide). A non-finite ceiling means no saturation.
inline double saturate(double x, double vmax) {
    if (std::isfinite(vmax)) return x / (x / vmax + 1.0);
    return x;
}

// Column-major 71x71 storage: element (r, c) at r + 71 c.
inline double& at(double* a, int r, int c) { return a[r + kNumStates * c]; }

}  // namespace

StateVector stationary_distribution_reference(double ste, double stw, double cow, double coe,
                                              double n_u, double n_m, double vmax) {
    const bool raw = raw_count_enabled();  // one mode for the whole call
    std::vector<double> a(static_cast<std::size_t>(kNumStates) * kNumStates, 0.0);
    double* q = a.data();

    // Jumps. The cooperative drive uses the count of the state the jump
    // reaches: writing from m sees m + 1 methylated sites, erasing from m sees
    // 70 - (m - 1) unmethylated ones.
    for (int m = 0; m < kNcpg; ++m) {
        const double bm = raw ? static_cast<double>(m + 1) : (m + 1) / 70.0;
        const double drive = saturate(cow * std::pow(bm, n_m), vmax);
        at(q, m + 1, m) = static_cast<double>(kNcpg - m) * (stw + drive);
    }
    for (int m = 1; m <= kNcpg; ++m) {
        const double bu = raw ? static_cast<double>(kNcpg - (m - 1)) : 1.0 - (m - 1) / 70.0;
        const double drive = saturate(coe * std::pow(bu, n_u), vmax);
        at(q, m - 1, m) = static_cast<double>(m) * (ste + drive);
    }
    // Diagonal: minus the column's outflow, summed in row order.
    for (int c = 0; c < kNumStates; ++c) {
        double sum = 0.0;
        for (int r = 0; r < kNumStates; ++r) sum += at(q, r, c);
        at(q, c, c) = -sum;
    }
    // Row 70 becomes the normalisation condition sum P = 1.
    for (int c = 0; c < kNumStates; ++c) at(q, kNcpg, c) = 1.0;

    // LU with partial pivoting, right-looking. The pivot is the first row with
    // the largest magnitude: a later row wins only when strictly larger, so a
    // NaN never wins and a NaN on the diagonal keeps its row.
    int swap_with[kNumStates];
    for (int k = 0; k < kNumStates; ++k) {
        swap_with[k] = k;
        int p = k;
        double best = std::fabs(at(q, k, k));
        for (int i = k + 1; i < kNumStates; ++i) {
            const double v = std::fabs(at(q, i, k));
            if (v > best) {
                best = v;
                p = i;
            }
        }
        if (at(q, p, k) == 0.0) continue;  // nothing to eliminate in this column
        if (p != k) {
            swap_with[k] = p;
            for (int c = 0; c < kNumStates; ++c) std::swap(at(q, k, c), at(q, p, c));
        }
        const double inv = 1.0 / at(q, k, k);
        for (int i = k + 1; i < kNumStates; ++i) at(q, i, k) = at(q, i, k) * inv;
        for (int j = k + 1; j < kNumStates; ++j) {
            const double ukj = at(q, k, j);
            for (int i = k + 1; i < kNumStates; ++i) {
                at(q, i, j) = at(q, i, j) - at(q, i, k) * ukj;
            }
        }
    }

    StateVector b{};
    b[kNcpg] = 1.0;
    for (int k = 0; k < kNumStates; ++k) {
        if (swap_with[k] != k) std::swap(b[k], b[swap_with[k]]);
    }
    for (int k = 0; k < kNcpg; ++k) {
        for (int i = k + 1; i < kNumStates; ++i) b[i] = b[i] - at(q, i, k) * b[k];
    }
    for (int k = kNcpg; k >= 0; --k) {
        const double ukk = at(q, k, k);
        if (ukk == 0.0) {
            // Singular: no stationary distribution to speak of.
            StateVector uniform;
            uniform.fill(1.0 / 71.0);
            return uniform;
        }
        b[k] = b[k] / ukk;
        for (int i = 0; i < k; ++i) b[i] = b[i] - at(q, i, k) * b[k];
    }
    return b;  // as computed: no clipping, no renormalisation
}

StateVector stationary_distribution(double ste, double stw, double cow, double coe, double n_u,
                                    double n_m, double vmax) {
    return stationary_distribution_reference(ste, stw, cow, coe, n_u, n_m, vmax);
}

std::vector<double> binned_model_fracs(const StateVector& p, std::span<const double> edges) {
    if (edges.empty()) throw InternalError("meth_bin_edges is empty");
    const std::size_t n = edges.size() - 1;
    std::vector<double> bins(n, 0.0);
    for (int m = 0; m < kNumStates; ++m) {
        const double x = m / 70.0;
        for (std::size_t j = 0; j < n; ++j) {
            const bool inside = (j + 1 == n) ? (edges[j] <= x && x <= edges[j + 1])
                                             : (edges[j] <= x && x < edges[j + 1]);
            if (inside) {
                bins[j] += p[m];
                break;
            }
        }
    }
    for (double& v : bins) {
        if (v < 1e-8) v = 1e-8;  // NaN stays NaN
    }
    double sum = 0.0;
    for (double v : bins) sum += v;
    if (sum > 0.0) {
        for (double& v : bins) v = v / sum;
    }
    return bins;
}

double model_nll(double st, double cow, double coe, std::span<const double> observed,
                 std::span<const double> edges, bool normalize_stw, double n_u, double n_m,
                 double vmax) {
    const double ste = normalize_stw ? st : 1.0;
    const double stw = normalize_stw ? 1.0 : st;
    const StateVector p = stationary_distribution(ste, stw, cow, coe, n_u, n_m, vmax);
    const std::vector<double> f = binned_model_fracs(p, edges);
    const std::size_t n = std::min(observed.size(), f.size());
    double nll = 0.0;
    for (std::size_t i = 0; i < n; ++i) nll = nll - std::log(f[i]) * observed[i];
    return nll;
}

double co_penalty_term(double w, double cow, double coe) {
    if (w > 0.0) return (cow + coe) * w;
    if (w < 0.0) return (std::log10(coe) + std::log10(cow)) * (-w);
    return 0.0;  // zero or NaN weight
}

double five_param_objective(std::span<const double> x, const DensityData& d, double vmax,
                            double co_penalty) {
    if (x.size() < 5) {
        throw InternalError("five-parameter objective needs 5 coordinates, got " +
                            std::to_string(x.size()));
    }
    const double cow = std::pow(10.0, x[1]);
    const double coe = std::pow(10.0, x[2]);
    return model_nll(x[0], cow, coe, d.observed, d.edges, d.normalize_stw, x[3], x[4], vmax) +
           co_penalty_term(co_penalty, cow, coe);
}

double fixed_st_exp_objective(std::span<const double> x, double st, const DensityData& d,
                              double vmax, double co_penalty) {
    if (x.size() < 4) {
        throw InternalError("fixed-St exponent objective needs 4 coordinates, got " +
                            std::to_string(x.size()));
    }
    const double cow = std::pow(10.0, x[0]);
    const double coe = std::pow(10.0, x[1]);
    return model_nll(st, cow, coe, d.observed, d.edges, d.normalize_stw, x[2], x[3], vmax) +
           co_penalty_term(co_penalty, cow, coe);
}

}  // namespace korvel
