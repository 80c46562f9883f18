// Binned model fractions, the NLL and the cooperative penalty.
#include <array>
#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include "core/errors.h"
#include "core/sites.h"
#include "model/model.h"

namespace korvel {
namespace {

// Every bin's model fraction is at least this before renormalisation: a bin
// that no state reaches (narrower than 1/70, or outside where the mass is)
// would otherwise score ln(0), and one empty model bin would make the NLL
// infinite whatever the other bins say. (The drift model has its own floor,
// kDriftBinFloor.)
constexpr double kFloor = 1e-8;

// binned_model_fracs (first-match bins, floor, renormalisation) into out[0 .. edges.size() - 2].
// edges must not be empty.
void bin_into(const StateVector& p, std::span<const double> edges, double* out) {
    const std::size_t nb = edges.size() - 1;
    for (std::size_t j = 0; j < nb; ++j) out[j] = 0.0;
    if (nb == 0) return;

    // Strictly increasing edges (no NaN) make the bins disjoint, so the first
    // bin that contains x is the only one, and as x grows with m it is found
    // by a forward sweep. Otherwise every state scans from bin 0.
    bool increasing = true;
    for (std::size_t j = 0; j < nb; ++j) {
        if (!(edges[j] < edges[j + 1])) {
            increasing = false;
            break;
        }
    }
    if (increasing) {
        std::size_t j = 0;
        for (int m = 0; m < kNumStates; ++m) {
            const double x = methylated_fraction(m);
            if (x < edges[0]) continue;
            while (j + 1 < nb && !(x < edges[j + 1])) ++j;
            if (in_meth_bin(edges, j, x)) out[j] += p[static_cast<std::size_t>(m)];
        }
    } else {
        for (int m = 0; m < kNumStates; ++m) {
            const double x = methylated_fraction(m);
            for (std::size_t j = 0; j < nb; ++j) {
                if (in_meth_bin(edges, j, x)) {
                    out[j] += p[static_cast<std::size_t>(m)];
                    break;
                }
            }
        }
    }
    for (std::size_t j = 0; j < nb; ++j) {
        if (out[j] < kFloor) out[j] = kFloor;  // NaN stays NaN
    }
    double sum = 0.0;
    for (std::size_t j = 0; j < nb; ++j) sum += out[j];
    if (sum > 0.0) {
        for (std::size_t j = 0; j < nb; ++j) out[j] /= sum;
    }
}

void require_edges(std::span<const double> edges) {
    if (edges.empty()) throw InternalError("meth_bin_edges is empty");
}

}  // namespace

std::vector<double> binned_model_fracs(const StateVector& p, std::span<const double> edges) {
    require_edges(edges);
    std::vector<double> out(edges.size() - 1);
    bin_into(p, edges, out.data());
    return out;
}

double model_nll(double st, double cow, double coe, std::span<const double> observed,
                 std::span<const double> edges, bool normalize_stw, double n_u, double n_m,
                 double vmax) {
    require_edges(edges);
    const double ste = normalize_stw ? st : 1.0;
    const double stw = normalize_stw ? 1.0 : st;
    const StateVector p = stationary_distribution(ste, stw, cow, coe, n_u, n_m, vmax);

    // The bins live on the stack for the usual handful of bins.
    constexpr std::size_t kStackBins = 64;
    std::array<double, kStackBins> stack_bins;
    std::vector<double> heap_bins;
    const std::size_t nb = edges.size() - 1;
    double* f = stack_bins.data();
    if (nb > kStackBins) {
        heap_bins.resize(nb);
        f = heap_bins.data();
    }
    bin_into(p, edges, f);

    const std::size_t n = observed.size() < nb ? observed.size() : nb;
    double nll = 0.0;
    for (std::size_t i = 0; i < n; ++i) nll = nll - std::log(f[i]) * observed[i];
    return nll;
}

double co_penalty_term(double w, double cow, double coe) {
    if (w > 0.0) return (cow + coe) * w;
    if (w < 0.0) return (std::log10(coe) + std::log10(cow)) * (-w);
    return 0.0;
}

}  // namespace korvel
