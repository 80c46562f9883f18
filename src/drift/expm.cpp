#include "drift/expm.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "core/errors.h"

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

// Columns per block of the dense product kernel (== kSquareMatrixPad, so a row
// of blocks covers the padded row exactly).
constexpr std::size_t kBlockCols = kSquareMatrixPad;
static_assert(kBlockCols == 8, "the dense kernel is written for blocks of 8 columns");

#if defined(__GNUC__)
#define KORVEL_INLINE inline __attribute__((always_inline))
// Four doubles as one value; on processors without 256-bit registers the
// compiler splits each operation into two halves, with the same IEEE results.
typedef double Vec4 __attribute__((vector_size(32)));
#define KORVEL_HAVE_VEC4 1
// The same as seen through an unaligned pointer (rows are only 8-byte
// aligned), allowed to alias the doubles it is read from, as the compiler's
// own intrinsic types are.
typedef double Vec4Unaligned __attribute__((vector_size(32), aligned(8), may_alias));
#define load4(p) (*reinterpret_cast<const Vec4Unaligned*>(p))
KORVEL_INLINE void store4(double* p, const Vec4& v) { *reinterpret_cast<Vec4Unaligned*>(p) = v; }
#else
#define KORVEL_INLINE inline
#endif

// R rows of C = A B, all columns, k ascending, each sum started at +0.0:
// bit for bit the textbook triple loop. Holding an R x 8 block of C in
// registers while k runs lets each loaded row segment of B serve R rows.
template <std::size_t R>
KORVEL_INLINE void dense_rows(const SquareMatrix& a, const SquareMatrix& b, SquareMatrix& c,
                              std::size_t i0) {
    const std::size_t n = a.size();
    const std::size_t stride = c.stride();
    const double* arow[R];
    for (std::size_t r = 0; r < R; ++r) arow[r] = a.row(i0 + r);
    for (std::size_t j0 = 0; j0 < stride; j0 += kBlockCols) {
#ifdef KORVEL_HAVE_VEC4
        Vec4 lo[R], hi[R];
        for (std::size_t r = 0; r < R; ++r) lo[r] = hi[r] = Vec4{0.0, 0.0, 0.0, 0.0};
        for (std::size_t k = 0; k < n; ++k) {
            const double* bk = b.row(k) + j0;
            const Vec4 blo = load4(bk);
            const Vec4 bhi = load4(bk + 4);
            for (std::size_t r = 0; r < R; ++r) {
                const double aik = arow[r][k];
                const Vec4 av = {aik, aik, aik, aik};
                lo[r] = lo[r] + av * blo;
                hi[r] = hi[r] + av * bhi;
            }
        }
        for (std::size_t r = 0; r < R; ++r) {
            double* crow = c.row(i0 + r) + j0;
            store4(crow, lo[r]);
            store4(crow + 4, hi[r]);
        }
#else
        double acc[R][kBlockCols] = {};
        for (std::size_t k = 0; k < n; ++k) {
            const double* bk = b.row(k) + j0;
            for (std::size_t r = 0; r < R; ++r) {
                const double aik = arow[r][k];
                for (std::size_t jj = 0; jj < kBlockCols; ++jj) acc[r][jj] += aik * bk[jj];
            }
        }
        for (std::size_t r = 0; r < R; ++r) {
            double* crow = c.row(i0 + r) + j0;
            for (std::size_t jj = 0; jj < kBlockCols; ++jj) crow[jj] = acc[r][jj];
        }
#endif
    }
}

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__GLIBC__)
// Wider vectors where the processor has them (dispatch through glibc's
// indirect functions). Both clones perform the same
// IEEE multiplies and adds in the same order (contraction into fused
// multiply-adds is off for the whole build), so the choice of clone never
// changes a bit of the result.
#define KORVEL_DENSE_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define KORVEL_DENSE_CLONES
#endif

// Six rows at a time: twelve accumulators, two row segments of B and one
// broadcast fit the sixteen vector registers.
KORVEL_DENSE_CLONES
void dense_product(const SquareMatrix& a, const SquareMatrix& b, SquareMatrix& c) {
    const std::size_t n = a.size();
    std::size_t i = 0;
    for (; i + 6 <= n; i += 6) dense_rows<6>(a, b, c, i);
    switch (n - i) {
        case 5: dense_rows<5>(a, b, c, i); break;
        case 4: dense_rows<4>(a, b, c, i); break;
        case 3: dense_rows<3>(a, b, c, i); break;
        case 2: dense_rows<2>(a, b, c, i); break;
        case 1: dense_rows<1>(a, b, c, i); break;
        default: break;
    }
}

// Banded operands: only the k where both A(i, k) and B(k, j) lie inside their
// bands contribute. The skipped terms are products of an exact zero and a
// finite number, i.e. +-0, and adding +-0 to a sum that started at +0.0 never
// changes it, so the result equals the dense one bit for bit as long as the
// operands are finite (entries of C outside the combined band are sums of
// such terms only: +0). expm only multiplies finite matrices this way; a
// power that overflowed is detected afterwards through its norm.
void banded_product(const SquareMatrix& a, std::size_t band_a, const SquareMatrix& b,
                    std::size_t band_b, SquareMatrix& c) {
    // Signed indices: the band limits below may lie outside [0, n).
    const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(a.size());
    const std::ptrdiff_t ba = static_cast<std::ptrdiff_t>(band_a);
    const std::ptrdiff_t bb = static_cast<std::ptrdiff_t>(band_b);
    const std::size_t stride = b.stride();
    const double* bdata = b.row(0);
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        double* crow = c.row(static_cast<std::size_t>(i));
        std::fill(crow, crow + c.stride(), 0.0);
        const double* arow = a.row(static_cast<std::size_t>(i));
        const std::ptrdiff_t j_lo = std::max<std::ptrdiff_t>(0, i - ba - bb);
        const std::ptrdiff_t j_hi = std::min<std::ptrdiff_t>(n - 1, i + ba + bb);
        // One short dot product per entry of the band of C, over the k where
        // both factors lie inside their bands, in ascending k.
        for (std::ptrdiff_t j = j_lo; j <= j_hi; ++j) {
            const std::ptrdiff_t k_lo = std::max(i - ba, j - bb);
            const std::ptrdiff_t k_hi = std::min(i + ba, j + bb);
            double sum = 0.0;
            for (std::ptrdiff_t k = std::max<std::ptrdiff_t>(k_lo, 0); k <= std::min(k_hi, n - 1); ++k) {
                sum += arow[k] * bdata[static_cast<std::size_t>(k) * stride + static_cast<std::size_t>(j)];
            }
            crow[j] = sum;
        }
    }
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

// out = 2^exponent m. A product with an exact power of two is rounded once,
// like ldexp; factors beyond the normal range (only in the fallback for
// absurdly large inputs) go through ldexp itself.
void scale_into(const SquareMatrix& m, int exponent, SquareMatrix& out) {
    const std::size_t n = m.size();
    if (exponent >= std::numeric_limits<double>::min_exponent - 1 &&
        exponent <= std::numeric_limits<double>::max_exponent - 1) {
        const double factor = std::ldexp(1.0, exponent);
        for (std::size_t i = 0; i < n; ++i) {
            const double* src = m.row(i);
            double* dst = out.row(i);
            for (std::size_t j = 0; j < n; ++j) dst[j] = src[j] * factor;
        }
        return;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const double* src = m.row(i);
        double* dst = out.row(i);
        for (std::size_t j = 0; j < n; ++j) dst[j] = std::ldexp(src[j], exponent);
    }
}

// out = sum_t coef[t] * term[t], summed left to right in the order given,
// then + diag on the diagonal when there is one (the b I term of the
// approximant comes last).
template <std::size_t T>
void combine(SquareMatrix& out, const std::array<double, T>& coef,
             const std::array<const SquareMatrix*, T>& term, std::optional<double> diag) {
    const std::size_t n = out.size();
    for (std::size_t i = 0; i < n; ++i) {
        double* o = out.row(i);
        for (std::size_t j = 0; j < n; ++j) {
            double v = coef[0] * (*term[0])(i, j);
            for (std::size_t t = 1; t < T; ++t) v = v + coef[t] * (*term[t])(i, j);
            o[j] = v;
        }
        if (diag) o[i] = o[i] + *diag;
    }
}

// base + sum_t coef[t] * term[t] (left to right), then + diag on the diagonal.
template <std::size_t T>
void combine_onto(SquareMatrix& out, const SquareMatrix& base, const std::array<double, T>& coef,
                  const std::array<const SquareMatrix*, T>& term, double diag) {
    const std::size_t n = out.size();
    for (std::size_t i = 0; i < n; ++i) {
        double* o = out.row(i);
        for (std::size_t j = 0; j < n; ++j) {
            double v = base(i, j);
            for (std::size_t t = 0; t < T; ++t) v = v + coef[t] * (*term[t])(i, j);
            o[j] = v;
        }
        o[i] = o[i] + diag;
    }
}

// r_m = q_m^-1 p_m with p_m = U + V and q_m = -U + V; the result goes to p.
void pade_quotient(const SquareMatrix& u, const SquareMatrix& v, SquareMatrix& p,
                   SquareMatrix& q) {
    const std::size_t n = u.size();
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            p(i, j) = u(i, j) + v(i, j);
            q(i, j) = -u(i, j) + v(i, j);
        }
    }
    lu_solve_in_place(q, p);
}

// Step k of the elimination: for every row i below k, the multiplier
// l = A(i, k) / A(k, k) is stored in place of A(i, k) and A(i, j) becomes
// A(i, j) - l A(k, j) for j > k. Rows are updated four at a time so that each
// load of row k serves four rows; every entry sees exactly that one operation.
KORVEL_DENSE_CLONES
void eliminate_below(SquareMatrix& a, std::size_t k) {
    const std::size_t n = a.size();
    const double pivot = a(k, k);
    const double* ak = a.row(k);
    std::size_t i = k + 1;
    for (; i + 4 <= n; i += 4) {
        double* r0 = a.row(i);
        double* r1 = a.row(i + 1);
        double* r2 = a.row(i + 2);
        double* r3 = a.row(i + 3);
        const double l0 = r0[k] / pivot;
        const double l1 = r1[k] / pivot;
        const double l2 = r2[k] / pivot;
        const double l3 = r3[k] / pivot;
        r0[k] = l0;
        r1[k] = l1;
        r2[k] = l2;
        r3[k] = l3;
        std::size_t j = k + 1;
#ifdef KORVEL_HAVE_VEC4
        const Vec4 v0 = {l0, l0, l0, l0}, v1 = {l1, l1, l1, l1}, v2 = {l2, l2, l2, l2},
                   v3 = {l3, l3, l3, l3};
        for (; j + 4 <= n; j += 4) {
            const Vec4 y = load4(ak + j);
            store4(r0 + j, load4(r0 + j) - v0 * y);
            store4(r1 + j, load4(r1 + j) - v1 * y);
            store4(r2 + j, load4(r2 + j) - v2 * y);
            store4(r3 + j, load4(r3 + j) - v3 * y);
        }
#endif
        for (; j < n; ++j) {
            const double y = ak[j];
            r0[j] = r0[j] - l0 * y;
            r1[j] = r1[j] - l1 * y;
            r2[j] = r2[j] - l2 * y;
            r3[j] = r3[j] - l3 * y;
        }
    }
    for (; i < n; ++i) {
        double* ai = a.row(i);
        const double l = ai[k] / pivot;
        ai[k] = l;
        for (std::size_t j = k + 1; j < n; ++j) ai[j] = ai[j] - l * ak[j];
    }
}

// One row of the substitutions on G blocks of 8 columns starting at j0:
// acc = b(i) - m(i, k0) y(k0) - m(i, k0+1) y(k0+1) ... over k in [k0, k1), in
// ascending k. G blocks give 2G independent chains of subtractions, enough
// to hide the latency of the additions.
template <std::size_t G>
KORVEL_INLINE void substitute_row(const double* mi, const SquareMatrix& y, std::size_t k0,
                                  std::size_t k1, double* bi, std::size_t j0) {
    constexpr std::size_t W = G * kBlockCols;
#ifdef KORVEL_HAVE_VEC4
    constexpr std::size_t V = W / 4;
    Vec4 acc[V];
    for (std::size_t v = 0; v < V; ++v) acc[v] = load4(bi + j0 + 4 * v);
    for (std::size_t k = k0; k < k1; ++k) {
        const double m = mi[k];
        const Vec4 mv = {m, m, m, m};
        const double* yk = y.row(k) + j0;
        for (std::size_t v = 0; v < V; ++v) acc[v] = acc[v] - mv * load4(yk + 4 * v);
    }
    for (std::size_t v = 0; v < V; ++v) store4(bi + j0 + 4 * v, acc[v]);
#else
    double acc[W];
    std::memcpy(acc, bi + j0, sizeof acc);
    for (std::size_t k = k0; k < k1; ++k) {
        const double m = mi[k];
        const double* yk = y.row(k) + j0;
        for (std::size_t jj = 0; jj < W; ++jj) acc[jj] = acc[jj] - m * yk[jj];
    }
    std::memcpy(bi + j0, acc, sizeof acc);
#endif
}

KORVEL_INLINE void substitute_full_row(const double* mi, const SquareMatrix& y, std::size_t k0,
                                       std::size_t k1, double* bi) {
    const std::size_t stride = y.stride();
    std::size_t j0 = 0;
    for (; j0 + 3 * kBlockCols <= stride; j0 += 3 * kBlockCols) substitute_row<3>(mi, y, k0, k1, bi, j0);
    for (; j0 < stride; j0 += kBlockCols) substitute_row<1>(mi, y, k0, k1, bi, j0);
}

// Forward substitution with L, then back substitution with U, on all
// columns of B (already in pivot order). Each entry sees the same operations
// in the same order as the textbook right-looking elimination of B:
// b(i) - l(i,0) b(0) - l(i,1) b(1) ..., then b(i) - u(i,i+1) x(i+1) - ...,
// divided by u(i,i). Rows are finished one at a time, with a block of columns
// held in registers, so each earlier row is only read.
KORVEL_DENSE_CLONES
void lu_substitute(const SquareMatrix& lu, SquareMatrix& b) {
    const std::size_t n = lu.size();
    for (std::size_t i = 1; i < n; ++i) substitute_full_row(lu.row(i), b, 0, i, b.row(i));
    for (std::size_t i = n; i-- > 0;) {
        double* bi = b.row(i);
        substitute_full_row(lu.row(i), b, i + 1, n, bi);
        const double pivot = lu(i, i);
        for (std::size_t j = 0; j < b.stride(); ++j) bi[j] = bi[j] / pivot;
    }
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

double norm1(const SquareMatrix& a) {
    const std::size_t n = a.size();
    std::vector<double> col(n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        const double* r = a.row(i);
        for (std::size_t j = 0; j < n; ++j) col[j] += std::fabs(r[j]);
    }
    double best = 0.0;
    for (double s : col) {
        if (std::isnan(s)) return s;
        if (s > best) best = s;
    }
    return best;
}

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
        pade_quotient(u, v, out, ws.q);
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

    pade_quotient(u, v, out, ws.q);
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
