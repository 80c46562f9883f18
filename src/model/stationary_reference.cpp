// The plain dense stationary solve, written out operation by operation: fill
// the generator, LU with first-maximum partial pivoting, two triangular solves,
// uniform fallback on an exact-zero pivot. It is the reference the fast path is checked
// against, and the fallback the fast path hands over to whenever a value that
// is not finite appears.
#include <cmath>
#include <utility>
#include <vector>

#include "core/sites.h"
#include "core/state.h"
#include "model/model.h"
#include "model/stationary_internal.h"

namespace korvel {
namespace model_detail {

StateVector reference_solve(double ste, double stw, double cow, double coe, double n_u,
                            double n_m, double vmax, bool raw_count) {
    constexpr int N = kNumStates;
    const bool saturate = std::isfinite(vmax);
    const auto sat = [&](double x) { return saturate ? x / (x / vmax + 1.0) : x; };
    const auto base_m = [&](int k) {
        return raw_count ? static_cast<double>(k) : methylated_fraction(k);
    };
    const auto base_u = [&](int k) {
        return raw_count ? static_cast<double>(kNcpg - k) : 1.0 - methylated_fraction(k);
    };

    // 1. Q, column-major, all zeros.
    std::vector<double> a(static_cast<std::size_t>(N) * N, 0.0);
    const auto at = [&](int r, int c) -> double& { return a[static_cast<std::size_t>(r + N * c)]; };

    // 2. The jumps.
    for (int m = 0; m < kNcpg; ++m) {
        at(m + 1, m) = static_cast<double>(kNcpg - m) * (stw + sat(cow * std::pow(base_m(m + 1), n_m)));
    }
    for (int m = 1; m <= kNcpg; ++m) {
        at(m - 1, m) = static_cast<double>(m) * (ste + sat(coe * std::pow(base_u(m - 1), n_u)));
    }
    // 3. Diagonal from the column sums, in row order.
    for (int c = 0; c < N; ++c) {
        double sum = 0.0;
        for (int r = 0; r < N; ++r) sum += at(r, c);
        at(c, c) = -sum;
    }
    // 4. Normalisation row.
    for (int c = 0; c < N; ++c) at(N - 1, c) = 1.0;

    // 5. LU with first-maximum partial pivoting, right-looking.
    std::vector<std::pair<int, int>> swaps;
    for (int k = 0; k < N; ++k) {
        int p = k;
        double best = std::fabs(at(k, k));
        for (int i = k + 1; i < N; ++i) {
            const double v = std::fabs(at(i, k));
            if (v > best) {  // strictly larger: ties and NaN never win
                best = v;
                p = i;
            }
        }
        if (at(p, k) == 0.0) continue;  // NaN is not zero
        if (p != k) {
            swaps.emplace_back(k, p);
            for (int c = 0; c < N; ++c) std::swap(at(k, c), at(p, c));
        }
        const double recip = 1.0 / at(k, k);
        for (int i = k + 1; i < N; ++i) at(i, k) *= recip;
        for (int j = k + 1; j < N; ++j) {
            const double u = at(k, j);
            for (int i = k + 1; i < N; ++i) at(i, j) -= at(i, k) * u;
        }
    }

    // 6. Solve.
    std::vector<double> b(N, 0.0);
    b[N - 1] = 1.0;
    for (const auto& [k, p] : swaps) std::swap(b[static_cast<std::size_t>(k)], b[static_cast<std::size_t>(p)]);
    for (int k = 0; k < N - 1; ++k) {
        const double bk = b[static_cast<std::size_t>(k)];
        for (int i = k + 1; i < N; ++i) b[static_cast<std::size_t>(i)] -= at(i, k) * bk;
    }
    StateVector out;
    for (int k = N - 1; k >= 0; --k) {
        const double ukk = at(k, k);
        if (ukk == 0.0) {
            // 7. Singular: the uniform fallback.
            out.fill(1.0 / static_cast<double>(N));
            return out;
        }
        b[static_cast<std::size_t>(k)] /= ukk;
        const double bk = b[static_cast<std::size_t>(k)];
        for (int i = 0; i < k; ++i) b[static_cast<std::size_t>(i)] -= at(i, k) * bk;
    }
    // 8. As computed.
    for (int i = 0; i < N; ++i) out[static_cast<std::size_t>(i)] = b[static_cast<std::size_t>(i)];
    return out;
}

}  // namespace model_detail

StateVector stationary_distribution_reference(double ste, double stw, double cow, double coe,
                                              double n_u, double n_m, double vmax) {
    return model_detail::reference_solve(ste, stw, cow, coe, n_u, n_m, vmax, raw_count_enabled());
}

}  // namespace korvel
