#include "drift/drift.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "core/errors.h"

namespace korvel {
namespace {

// Number of methylation bins; an empty edge list describes none and is an
// error of the caller, a single edge gives zero bins.
std::size_t bin_count(std::span<const double> edges) {
    if (edges.empty()) throw InternalError("meth_bin_edges is empty: at least one edge is needed");
    return edges.size() - 1;
}

// Methylated fraction of macrostate m, computed as in the master-equation
// model, so that a fraction on an edge falls the same way everywhere.
double state_fraction(std::size_t m) { return methylated_fraction(static_cast<double>(m)); }

}  // namespace

SquareMatrix drift_generator(double ste, double stw) {
    SquareMatrix q(kDriftStates);
    const double sites = static_cast<double>(kNcpg);
    for (std::size_t m = 1; m < kDriftStates; ++m) {
        q(m - 1, m) = static_cast<double>(m) * ste;  // erase one of m methylated sites
    }
    for (std::size_t m = 0; m + 1 < kDriftStates; ++m) {
        q(m + 1, m) = (sites - static_cast<double>(m)) * stw;  // write one of 70 - m
    }
    // Probability is conserved: each column sums to zero. The diagonal is
    // minus the column sum taken while it is still zero, rows in order.
    for (std::size_t m = 0; m < kDriftStates; ++m) {
        double column = 0.0;
        for (std::size_t i = 0; i < kDriftStates; ++i) column += q(i, m);
        q(m, m) = -column;
    }
    return q;
}

DriftDistribution drift_initial_distribution(std::span<const double> p0,
                                             std::span<const double> edges) {
    const std::size_t bins = bin_count(edges);
    DriftDistribution out{};
    std::array<std::size_t, kDriftStates> members{};
    for (std::size_t j = 0; j < bins; ++j) {
        std::size_t k = 0;
        for (std::size_t m = 0; m < kDriftStates; ++m) {
            if (in_meth_bin(edges, j, state_fraction(m))) members[k++] = m;
        }
        if (k == 0) continue;  // a bin too narrow to hold a macrostate carries no mass
        if (j >= p0.size()) {
            throw InternalError("p0 has " + std::to_string(p0.size()) + " entries, but bin " +
                                std::to_string(j) + " holds macrostates and needs an entry");
        }
        const double fraction = p0[j];
        if (!(fraction > 0.0)) continue;  // zero, negative or NaN: nothing to spread
        const double share = fraction / static_cast<double>(k);
        for (std::size_t i = 0; i < k; ++i) out[members[i]] = share;
    }
    double sum = 0.0;
    for (double v : out) sum += v;
    if (sum > 0.0) {
        for (double& v : out) v = v / sum;
    }
    return out;
}

std::vector<DriftDistribution> propagate_drift(const SquareMatrix& q, const DriftDistribution& p0,
                                               std::span<const double> ages) {
    if (q.size() != kDriftStates) {
        throw InternalError("drift generator must be " + std::to_string(kDriftStates) + " x " +
                            std::to_string(kDriftStates) + ", got " + std::to_string(q.size()));
    }
    std::vector<DriftDistribution> out(ages.size());
    SquareMatrix tq(kDriftStates);
    SquareMatrix e(kDriftStates);
    for (std::size_t a = 0; a < ages.size(); ++a) {
        // Every age from P0 itself, never from the previous age: the result
        // for one age does not depend on which other ages were asked for.
        const double t = ages[a];
        for (std::size_t i = 0; i < kDriftStates; ++i) {
            for (std::size_t j = 0; j < kDriftStates; ++j) tq(i, j) = t * q(i, j);
        }
        expm_into(tq, e);
        DriftDistribution& p = out[a];
        for (std::size_t i = 0; i < kDriftStates; ++i) {
            const double* row = e.row(i);
            double v = 0.0;
            for (std::size_t k = 0; k < kDriftStates; ++k) v += row[k] * p0[k];
            // Rounding in the exponential can leave tiny negative
            // probabilities in states the chain has (almost) not reached.
            p[i] = v < 0.0 ? 0.0 : v;
        }
        double sum = 0.0;
        for (double v : p) sum += v;
        if (sum > 0.0) {
            for (double& v : p) v = v / sum;
        }
    }
    return out;
}

std::vector<double> bin_drift_distribution(const DriftDistribution& p,
                                           std::span<const double> edges) {
    const std::size_t bins = bin_count(edges);
    std::vector<double> out(bins, 0.0);
    for (std::size_t m = 0; m < kDriftStates; ++m) {
        const double x = state_fraction(m);
        for (std::size_t j = 0; j < bins; ++j) {
            if (in_meth_bin(edges, j, x)) {
                out[j] += p[m];
                break;
            }
        }
    }
    for (double& v : out) {
        if (v < kDriftBinFloor) v = kDriftBinFloor;
    }
    double sum = 0.0;
    for (double v : out) sum += v;
    if (sum > 0.0) {
        for (double& v : out) v = v / sum;
    }
    return out;
}

double drift_nll(double ste, double stw, const DriftDistribution& p0,
                 std::span<const std::span<const double>> observed, std::span<const double> ages,
                 std::span<const double> edges) {
    const SquareMatrix q = drift_generator(ste, stw);
    // Ages without an observed row would not be scored; they are not
    // propagated either (each age is propagated independently, so this
    // changes no value).
    const std::size_t pairs = std::min(ages.size(), observed.size());
    const std::vector<DriftDistribution> predicted = propagate_drift(q, p0, ages.first(pairs));
    double total = 0.0;
    for (std::size_t i = 0; i < pairs; ++i) {
        const std::vector<double> pred = bin_drift_distribution(predicted[i], edges);
        const std::span<const double> obs = observed[i];
        const std::size_t len = std::min(pred.size(), obs.size());
        double loglik = 0.0;
        for (std::size_t k = 0; k < len; ++k) loglik += obs[k] * std::log(pred[k]);
        total -= loglik;
    }
    return total;
}

}  // namespace korvel
