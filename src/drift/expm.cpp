#include "drift/expm.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/errors.h"
#include "core/simd.h"
#include "core/simd_kernels.h"

namespace korvel {

double SquareMatrix::at(std::size_t i, std::size_t j) const {
    if (i >= n_ || j >= n_) {
        throw InternalError("matrix index (" + std::to_string(i) + ", " + std::to_string(j) +
                            ") is out of range for a " + std::to_string(n_) + " x " +
                            std::to_string(n_) + " matrix");
    }
    return (*this)(i, j);
}

SquareMatrix SquareMatrix::identity(std::size_t n) {
    SquareMatrix m(n);
    for (std::size_t i = 0; i < n; ++i) m(i, i) = 1.0;
    return m;
}

namespace {

// Columns per block of the product kernels (== kSquareMatrixPad, so a row of
// blocks covers the padded row exactly).
constexpr std::size_t kBlockCols = kSquareMatrixPad;
static_assert(kBlockCols == 8, "the kernels are written for blocks of 8 columns");

// The builds of the kernels, each in its own namespace and target region,
// and the functions that call the build of the path in use.
namespace scalar_build {
constexpr int kLanes = 1;
#include "drift/expm_kernels.inc"
}  // namespace scalar_build
#ifdef KORVEL_SIMD_BUILDS
#define KORVEL_KERNEL_FILE "drift/expm_kernels.inc"
#include "core/simd_builds.inc"
#endif
#define KORVEL_DISPATCH(call) KORVEL_SIMD_DISPATCH(simd_path(), call)

void dense_product(const SquareMatrix& a, const SquareMatrix& b, SquareMatrix& c) {
    KORVEL_DISPATCH(dense_product(a, b, c))
}
void banded_product(const SquareMatrix& a, std::size_t band_a, const SquareMatrix& b, std::size_t band_b,
                    SquareMatrix& c) {
    KORVEL_DISPATCH(banded_product(a, band_a, b, band_b, c))
}
void eliminate_below(SquareMatrix& a, std::size_t k) { KORVEL_DISPATCH(eliminate_below(a, k)) }
void lu_substitute(const SquareMatrix& lu, SquareMatrix& b) { KORVEL_DISPATCH(lu_substitute(lu, b)) }
bool banded_lu_solve(SquareMatrix& a, std::size_t band, SquareMatrix& b, std::vector<std::size_t>& lo,
                     std::vector<std::size_t>& hi) {
    KORVEL_DISPATCH(banded_lu_solve(a, band, b, lo, hi))
}
void scale_into(const SquareMatrix& m, int exponent, SquareMatrix& out) {
    KORVEL_DISPATCH(scale_into(m, exponent, out))
}
template <std::size_t T>
void combine(SquareMatrix& out, const std::array<double, T>& coef, const std::array<const SquareMatrix*, T>& term,
             std::optional<double> diag) {
    KORVEL_DISPATCH(combine<T>(out, coef, term, diag))
}
template <std::size_t T>
void combine_onto(SquareMatrix& out, const SquareMatrix& base, const std::array<double, T>& coef,
                  const std::array<const SquareMatrix*, T>& term, double diag) {
    KORVEL_DISPATCH(combine_onto<T>(out, base, coef, term, diag))
}
bool pade_sides(const SquareMatrix& u, const SquareMatrix& v, SquareMatrix& p, SquareMatrix& q) {
    KORVEL_DISPATCH(pade_sides(u, v, p, q))
}

// Pade coefficients b_j = (2m - j)! m! / ((2m)! j! (m - j)!), j = 0..m, each
// the double nearest to the exact rational (b_0 = 1).
constexpr std::array<double, 4> kPade3 = {1.0, 0.5, 0.1, 0.008333333333333333};
constexpr std::array<double, 6> kPade5 = {1.0,
                                          0.5,
                                          0.1111111111111111,
                                          0.013888888888888888,
                                          0.000992063492063492,
                                          3.306878306878307e-05};
constexpr std::array<double, 8> kPade7 = {1.0,
                                          0.5,
                                          0.11538461538461539,
                                          0.016025641025641024,
                                          0.001456876456876457,
                                          8.741258741258741e-05,
                                          3.2375032375032376e-06,
                                          5.781255781255781e-08};
constexpr std::array<double, 10> kPade9 = {1.0,
                                           0.5,
                                           0.11764705882352941,
                                           0.01715686274509804,
                                           0.001715686274509804,
                                           0.00012254901960784314,
                                           6.2845651080945196e-06,
                                           2.2444875386051856e-07,
                                           5.101108042284513e-09,
                                           5.66789782476057e-11};
constexpr std::array<double, 14> kPade13 = {1.0,
                                            0.5,
                                            0.12,
                                            0.018333333333333333,
                                            0.0019927536231884057,
                                            0.00016304347826086958,
                                            1.0351966873706003e-05,
                                            5.175983436853002e-07,
                                            2.0431513566525008e-08,
                                            6.306022705717595e-10,
                                            1.48377004840414e-11,
                                            2.529153491597966e-13,
                                            2.8101705462199623e-15,
                                            1.5440497506703088e-17};

// Largest 1-norm-type bound (on d_k) for which the degree-m approximant of
// 2^-s A is accurate to double precision without further scaling.
constexpr double kTheta3 = 0.01495585217958292;
constexpr double kTheta5 = 0.2539398330063230;
constexpr double kTheta7 = 0.9504178996162932;
constexpr double kTheta9 = 2.097847961257068;
constexpr double kTheta13 = 4.25;

// max/min that let a NaN through (std::max would drop it depending on the
// argument order); a NaN bound then fails every threshold test.
double max_nan(double x, double y) {
    if (std::isnan(x) || std::isnan(y)) return std::numeric_limits<double>::quiet_NaN();
    return x < y ? y : x;
}
double min_nan(double x, double y) {
    if (std::isnan(x) || std::isnan(y)) return std::numeric_limits<double>::quiet_NaN();
    return y < x ? y : x;
}

// d_k = ||A^k||_1^(1/k).
double root_norm(const SquareMatrix& power, double k) { return std::pow(norm1(power), 1.0 / k); }

// ceil(log2(x)) for x > 1, else 0; exact (no logarithm): with x = f 2^e and
// f in [0.5, 1), x is a power of two exactly when f == 0.5.
int ceil_log2_nonneg(double x) {
    if (!(x > 1.0)) return 0;
    int e = 0;
    const double f = std::frexp(x, &e);
    return f == 0.5 ? e - 1 : e;
}

// r_m = q_m^-1 p_m with p_m = U + V and q_m = -U + V; the result goes to p.
// When q is banded (band < n - 1: the input of expm was banded) the solve
// leaves out the operations on q's zeros, which gives the same bits whenever
// every value involved is finite (see banded_lu_solve); otherwise it runs
// the full elimination on p and q formed anew.
void pade_quotient(const SquareMatrix& u, const SquareMatrix& v, std::size_t band, SquareMatrix& p,
                   SquareMatrix& q, std::vector<std::size_t>& lo, std::vector<std::size_t>& hi) {
    const std::size_t n = u.size();
    if (pade_sides(u, v, p, q) && band + 1 < n && banded_lu_solve(q, band, p, lo, hi)) return;
    if (band + 1 < n) pade_sides(u, v, p, q);
    lu_solve_in_place(q, p);
}

}  // namespace

std::span<const double> pade_coefficients(int degree) {
    switch (degree) {
        case 3: return kPade3;
        case 5: return kPade5;
        case 7: return kPade7;
        case 9: return kPade9;
        case 13: return kPade13;
        default: return {};
    }
}

void multiply(const SquareMatrix& a, std::size_t band_a, const SquareMatrix& b,
              std::size_t band_b, SquareMatrix& c) {
    const std::size_t n = a.size();
    if (b.size() != n || c.size() != n) {
        throw InternalError("matrix product of mismatched sizes " + std::to_string(n) + ", " +
                            std::to_string(b.size()) + " -> " + std::to_string(c.size()));
    }
    if (&c == &a || &c == &b) throw InternalError("matrix product may not write into an operand");
    if (n == 0) return;
    band_a = std::min(band_a, n - 1);
    band_b = std::min(band_b, n - 1);
    if (band_a >= n - 1 && band_b >= n - 1) {
        dense_product(a, b, c);
    } else {
        banded_product(a, band_a, b, band_b, c);
    }
}

double norm1(const SquareMatrix& a) { KORVEL_DISPATCH(norm1(a)) }

void lu_solve_in_place(SquareMatrix& a, SquareMatrix& b) {
    const std::size_t n = a.size();
    if (b.size() != n) {
        throw InternalError("linear solve of mismatched sizes " + std::to_string(n) + " and " +
                            std::to_string(b.size()));
    }
    // Factor P A = L U in place (L below the diagonal, unit diagonal implied).
    for (std::size_t k = 0; k < n; ++k) {
        // Partial pivoting: the first row from k on with the largest |A(i, k)|;
        // a later row wins only when strictly larger.
        std::size_t p = k;
        double best = std::fabs(a(k, k));
        for (std::size_t i = k + 1; i < n; ++i) {
            const double v = std::fabs(a(i, k));
            if (v > best) {
                best = v;
                p = i;
            }
        }
        if (p != k) {
            std::swap_ranges(a.row(k), a.row(k) + n, a.row(p));
            std::swap_ranges(b.row(k), b.row(k) + b.stride(), b.row(p));
        }
        eliminate_below(a, k);
    }
    lu_substitute(a, b);
}

namespace {

// The matrices of one exponential. One set per thread, kept between calls:
// the drift fits take tens of thousands of exponentials of the same size, and
// fresh allocations would cost more than the banded products.
struct ExpmWorkspace {
    std::size_t n = static_cast<std::size_t>(-1);
    SquareMatrix a2, a4, a6, a8, a10;  // powers of A
    SquareMatrix b1, b2, b4, b6;       // powers of 2^-s A
    SquareMatrix u, v, w, inner, outer, q;
    std::vector<std::size_t> lo, hi;  // row ranges of the banded solve

    void fit(std::size_t size) {
        if (size == n) return;
        for (SquareMatrix* m : {&a2, &a4, &a6, &a8, &a10, &b1, &b2, &b4, &b6, &u, &v, &w, &inner,
                                &outer, &q}) {
            *m = SquareMatrix(size);
        }
        n = size;
    }
};

}  // namespace

SquareMatrix expm(const SquareMatrix& a, ExpmPlan* plan) {
    SquareMatrix out(a.size());
    expm_into(a, out, plan);
    return out;
}

void expm_into(const SquareMatrix& a, SquareMatrix& out, ExpmPlan* plan) {
    const std::size_t n = a.size();
    if (out.size() != n) {
        throw InternalError("expm: result is " + std::to_string(out.size()) + " x " +
                            std::to_string(out.size()) + ", input " + std::to_string(n) + " x " +
                            std::to_string(n));
    }
    if (&out == &a) throw InternalError("expm: the result may not overwrite the input");
    ExpmPlan local;
    ExpmPlan& chosen = plan ? *plan : local;
    chosen = ExpmPlan{};
    if (n == 0) return;

    // Bandwidth of A (largest |i - j| of a nonzero entry) and finiteness.
    std::size_t band = 0;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            const double x = a(i, j);
            if (!std::isfinite(x)) {
                for (std::size_t r = 0; r < n; ++r) {
                    for (std::size_t c = 0; c < n; ++c) out(r, c) = std::numeric_limits<double>::quiet_NaN();
                }
                return;
            }
            if (x != 0.0) band = std::max(band, i > j ? i - j : j - i);
        }
    }
    const std::size_t full = n - 1;
    auto band_of_power = [&](std::size_t k) { return std::min(band * k, full); };

    thread_local ExpmWorkspace ws;
    ws.fit(n);
    SquareMatrix &a2 = ws.a2, &a4 = ws.a4, &a6 = ws.a6, &u = ws.u, &v = ws.v, &w = ws.w;
    multiply(a, band, a, band, a2);
    multiply(a2, band_of_power(2), a2, band_of_power(2), a4);
    multiply(a2, band_of_power(2), a4, band_of_power(4), a6);

    // Degrees 3 to 9: U = A (b_m A^(m-1) + ... + b_3 A^2 + b_1 I) and
    // V = b_(m-1) A^(m-1) + ... + b_2 A^2 + b_0 I, highest power first.
    auto low_degree = [&](int m) {
        chosen.degree = m;
        chosen.squarings = 0;
        pade_quotient(u, v, band_of_power(m), out, ws.q, ws.lo, ws.hi);
    };

    // With exact norms, the estimates of ||A^4|| and ||A^6|| that decide
    // degrees 3 and 5 coincide.
    const double d4 = root_norm(a4, 4.0);
    const double d6 = root_norm(a6, 6.0);
    const double eta1 = max_nan(d4, d6);
    if (eta1 <= kTheta3) {
        const auto& b = kPade3;
        combine<1>(w, {b[3]}, {&a2}, b[1]);
        multiply(a, band, w, band_of_power(2), u);
        combine<1>(v, {b[2]}, {&a2}, b[0]);
        return low_degree(3);
    }
    if (eta1 <= kTheta5) {
        const auto& b = kPade5;
        combine<2>(w, {b[5], b[3]}, {&a4, &a2}, b[1]);
        multiply(a, band, w, band_of_power(4), u);
        combine<2>(v, {b[4], b[2]}, {&a4, &a2}, b[0]);
        return low_degree(5);
    }
    SquareMatrix& a8 = ws.a8;
    multiply(a4, band_of_power(4), a4, band_of_power(4), a8);
    const double d8 = root_norm(a8, 8.0);
    const double eta3 = max_nan(d6, d8);
    if (eta3 <= kTheta7) {
        const auto& b = kPade7;
        combine<3>(w, {b[7], b[5], b[3]}, {&a6, &a4, &a2}, b[1]);
        multiply(a, band, w, band_of_power(6), u);
        combine<3>(v, {b[6], b[4], b[2]}, {&a6, &a4, &a2}, b[0]);
        return low_degree(7);
    }
    if (eta3 <= kTheta9) {
        const auto& b = kPade9;
        combine<4>(w, {b[9], b[7], b[5], b[3]}, {&a8, &a6, &a4, &a2}, b[1]);
        multiply(a, band, w, band_of_power(8), u);
        combine<4>(v, {b[8], b[6], b[4], b[2]}, {&a8, &a6, &a4, &a2}, b[0]);
        return low_degree(9);
    }

    // Degree 13 on 2^-s A.
    SquareMatrix& a10 = ws.a10;
    multiply(a4, band_of_power(4), a6, band_of_power(6), a10);
    const double d10 = root_norm(a10, 10.0);
    const double eta4 = max_nan(d8, d10);
    const double eta5 = min_nan(eta3, eta4);

    int s = 0;
    SquareMatrix &b1 = ws.b1, &b2 = ws.b2, &b4 = ws.b4, &b6 = ws.b6;
    if (std::isfinite(eta5)) {
        s = ceil_log2_nonneg(eta5 / kTheta13);
        // Powers of two scale exactly: the scaled powers are the powers of
        // the scaled matrix, without forming them again.
        scale_into(a, -s, b1);
        scale_into(a2, -2 * s, b2);
        scale_into(a4, -4 * s, b4);
        scale_into(a6, -6 * s, b6);
    } else {
        // A finite A whose powers overflowed. Every d_k is at most ||A||_1,
        // so scaling by that bound is safe; the powers are then formed anew
        // from the scaled matrix, whose powers cannot overflow.
        constexpr int kPre = 64;
        double norm = norm1(a);
        int shift = 0;
        if (!std::isfinite(norm)) {
            scale_into(a, -kPre, b1);
            norm = norm1(b1);
            shift = kPre;
        }
        s = shift + ceil_log2_nonneg(norm / kTheta13);
        scale_into(a, -s, b1);
        multiply(b1, band, b1, band, b2);
        multiply(b2, band_of_power(2), b2, band_of_power(2), b4);
        multiply(b2, band_of_power(2), b4, band_of_power(4), b6);
    }

    // U = B [B6 (b13 B6 + b11 B4 + b9 B2) + b7 B6 + b5 B4 + b3 B2 + b1 I]
    // V = B6 (b12 B6 + b10 B4 + b8 B2) + b6 B6 + b4 B4 + b2 B2 + b0 I
    const auto& b = kPade13;
    combine<3>(ws.inner, {b[13], b[11], b[9]}, {&b6, &b4, &b2}, std::nullopt);
    multiply(b6, band_of_power(6), ws.inner, band_of_power(6), w);
    combine_onto<3>(ws.outer, w, {b[7], b[5], b[3]}, {&b6, &b4, &b2}, b[1]);
    multiply(b1, band, ws.outer, band_of_power(12), u);
    combine<3>(ws.inner, {b[12], b[10], b[8]}, {&b6, &b4, &b2}, std::nullopt);
    multiply(b6, band_of_power(6), ws.inner, band_of_power(6), w);
    combine_onto<3>(v, w, {b[6], b[4], b[2]}, {&b6, &b4, &b2}, b[0]);

    pade_quotient(u, v, band_of_power(13), out, ws.q, ws.lo, ws.hi);
    // Square s times, alternating between the result and a scratch matrix so
    // that the last square lands in out.
    SquareMatrix* src = &out;
    SquareMatrix* dst = &w;
    for (int k = 0; k < s; ++k) {
        multiply(*src, full, *src, full, *dst);
        std::swap(src, dst);
    }
    if (src != &out) std::swap(out, *src);
    chosen.degree = 13;
    chosen.squarings = s;
}

}  // namespace korvel
