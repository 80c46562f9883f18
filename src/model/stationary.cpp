// stationary_distribution: the plain dense solve (fill, LU with first-maximum
// partial pivoting, two triangular solves), computed without the operations
// whose result is known in advance.
//
// Why this gives the reference's values
// -------------------------------------
// The generator is tridiagonal apart from the row of ones (row 70). In the
// dense LU and its solves almost every multiply-subtract has a factor that is an
// exact zero which never changes. When every value the fast path computes is
// finite, each skipped operation is x - (+-0) with x finite, which equals x
// (only a -0 may turn into +0), so the dense algorithm and this one hold the
// same values at every step, up to the sign of zeros, and make the same pivot
// choices (they compare magnitudes of the same values with the same rule).
// A zero's sign never changes a non-zero value, a pivot choice or the zero
// test, so the results agree entry by entry under ==.
//
// Structure. Keep the matrix by rows (row-major, a physical row per original
// row, reached through the position -> row permutation, so that a row swap is
// a swap of two indices). Every physical row holds its values in one
// contiguous column range [lstart, hi]: the multipliers L in [lstart, pos - 1]
// and the U part (or the active part) in [pos, hi]; everything outside is an
// exact +0 in the dense algorithm. Original row r (r < 70) starts as
// [r - 1, r + 1]; row 70 (the ones) as [0, 70].
//
// Which rows are active. At column k the rows that may hold a non-zero in
// column k are exactly three, at positions k, k + 1 and 70: original rows
// r >= k + 2 are untouched and still at their own positions r (an untouched
// row is never swapped: swaps only involve position k and the pivot's
// position), and the remaining three positions hold the rows already reached
// by the elimination. So the pivot search of the dense algorithm over rows
// k..70 reduces to those three, in position order k, k + 1, 70, where a later
// row wins only when strictly larger. The two that are not the pivot get the
// pivot row subtracted over the pivot row's range; their ranges grow to the
// union (an entry beyond a row's old range is computed as 0.0 - l * u, which
// is the dense algorithm's +0 - l * u).
//
// The substitutions run row by row: for each entry of b the dense algorithm
// subtracts in increasing column order (forward) and decreasing column order
// followed by the division (backward), and so does this code. Forward, the
// entries above the final position of the row of ones stay +0 and their
// terms are left out; backward, four rows are solved together so that their
// dependency chains overlap, each over the widest range of the four, with
// explicit +0 entries beyond a row's own range (the dense algorithm's
// operations on those entries, so nothing is skipped there).
//
// Fallback. Everything above assumes that every computed value is finite:
// 0 * inf and 0 * NaN are NaN, so a non-finite value would make the skipped
// operations matter. A non-finite value, once computed, is never turned back
// into a finite one by the operations of the elimination (x - y, and x * r
// with r finite and non-zero, keep it), so it ends up as a stored L or U
// entry. Every multiplier is checked as it is formed; every pivot and its
// reciprocal too; a non-finite U entry off the diagonal is multiplied by a b
// value in the back substitution (zero or not), which makes that entry of the
// result non-finite, and the 71 results are checked at the end. So passing
// the checks proves that every value was finite. If a check fails, or a
// parameter (other than Vmax) is not finite, or a pivot is zero (a singular
// system, rare), the result is computed by the plain algorithm instead, with
// the raw-count mode read by the caller.
//
// The powers BM(k)^n_M and BU(k)^n_U are kept per thread in a small table
// keyed by (exponent bits, base kind): pow is a pure function, so a cached
// power is the same value as a fresh call. The matrix is never reused between
// calls; only the storage is.
#include <bit>
#include <cmath>
#include <cstdint>

#include "core/sites.h"
#include "core/state.h"
#include "model/model.h"
#include "model/stationary_internal.h"

namespace korvel {
namespace model_detail {
namespace {

// Per-thread cache of the 70 powers of one base kind for one exponent.
struct PowTable {
    std::uint64_t exponent_bits = 0;
    int kind = -1;  // -1: empty
    double v[kNcpg];
};

struct PowCache {
    static constexpr int kSlots = 8;
    PowTable slot[kSlots];
    int next = 0;
};

thread_local PowCache t_pow_cache;

// The base of index i of a table: methylated kinds hold BM(i + 1), i = 0..69
// (BM(1) .. BM(70)); unmethylated kinds hold BU(i), i = 0..69.
double base_of(int kind, int i) {
    switch (kind) {
        case kMethylatedFraction: return methylated_fraction(i + 1);
        case kUnmethylatedFraction: return 1.0 - methylated_fraction(i);
        case kMethylatedRaw: return static_cast<double>(i + 1);
        default: return static_cast<double>(kNcpg - i);
    }
}

}  // namespace

const double* power_table(int kind, double exponent, const double* keep) {
    PowCache& cache = t_pow_cache;
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(exponent);
    for (PowTable& t : cache.slot) {
        if (t.kind == kind && t.exponent_bits == bits) return t.v;
    }
    if (cache.slot[cache.next].v == keep) cache.next = (cache.next + 1) % PowCache::kSlots;
    PowTable& t = cache.slot[cache.next];
    cache.next = (cache.next + 1) % PowCache::kSlots;
    for (int i = 0; i < kNcpg; ++i) t.v[i] = std::pow(base_of(kind, i), exponent);
    t.kind = kind;
    t.exponent_bits = bits;
    return t.v;
}

namespace {

constexpr int N = kNumStates;  // 71
constexpr int kStride = 72;    // doubles per stored row

struct Workspace {
    alignas(64) double row[N][kStride];
    int lstart[N];  // by physical row
    int hi[N];      // by physical row
    int perm[N];    // position -> physical row
    double b[N];    // by position
};

thread_local Workspace t_ws;

constexpr double kMaxFinite = 1.7976931348623157e308;

// The multiplier of row x at column k, stored in place of A(x, k).
inline double multiplier(double* xr, int k, double recip, bool& nonfinite) {
    const double l = xr[k] * recip;
    xr[k] = l;
    nonfinite |= !(std::fabs(l) <= kMaxFinite);
    return l;
}

// x <- x - l * u over columns k + 1 .. hi(u).
inline void update_row(Workspace& ws, int x, int u, int k, double l) {
    double* __restrict xr = ws.row[x];
    const double* __restrict ur = ws.row[u];
    const int hu = ws.hi[u];
    const int hx = ws.hi[x];
    const int common = hx < hu ? hx : hu;
    for (int j = k + 1; j <= common; ++j) xr[j] = xr[j] - l * ur[j];
    for (int j = (hx > k ? hx : k) + 1; j <= hu; ++j) xr[j] = 0.0 - l * ur[j];
    if (hu > hx) ws.hi[x] = hu;
}

// Both other active rows minus their multiple of the pivot row u, in one
// pass over u when one of them (x_full) already covers u's range (the row of
// ones before it is the pivot, the dense rows after); the other one (x_part)
// may be shorter, and beyond its range its entries are the dense algorithm's
// +0 - l * u.
inline void update_pair(Workspace& ws, int x_part, double l_part, int x_full, double l_full, int u,
                        int k) {
    double* __restrict rp = ws.row[x_part];
    double* __restrict rf = ws.row[x_full];
    const double* __restrict ur = ws.row[u];
    const int hu = ws.hi[u];
    const int hp = ws.hi[x_part];
    const int common = hp < hu ? hp : hu;  // >= k
    for (int j = k + 1; j <= common; ++j) {
        const double uj = ur[j];
        rp[j] = rp[j] - l_part * uj;
        rf[j] = rf[j] - l_full * uj;
    }
    for (int j = common + 1; j <= hu; ++j) {
        const double uj = ur[j];
        rp[j] = 0.0 - l_part * uj;
        rf[j] = rf[j] - l_full * uj;
    }
    if (hu > hp) ws.hi[x_part] = hu;
}

inline void eliminate_pair(Workspace& ws, int x1, int x2, int u, int k, double recip, bool& nonfinite) {
    const double l1 = multiplier(ws.row[x1], k, recip, nonfinite);
    const double l2 = multiplier(ws.row[x2], k, recip, nonfinite);
    const int hu = ws.hi[u];
    if (ws.hi[x2] >= hu) {
        update_pair(ws, x1, l1, x2, l2, u, k);
    } else if (ws.hi[x1] >= hu) {
        update_pair(ws, x2, l2, x1, l1, u, k);
    } else {
        update_row(ws, x1, u, k, l1);
        update_row(ws, x2, u, k, l2);
    }
}

// The structured solve. Returns false when the plain algorithm must decide.
bool fast_solve(double ste, double stw, double cow, double coe, double n_u, double n_m, double vmax,
                bool raw, StateVector& out) {
    if (!(std::isfinite(ste) && std::isfinite(stw) && std::isfinite(cow) && std::isfinite(coe) &&
          std::isfinite(n_u) && std::isfinite(n_m))) {
        return false;
    }
    // pm[m] = BM(m + 1)^n_M, pu[m] = BU(m)^n_U, m = 0..69.
    const double* pm = power_table(raw ? kMethylatedRaw : kMethylatedFraction, n_m, nullptr);
    const double* pu = power_table(raw ? kUnmethylatedRaw : kUnmethylatedFraction, n_u, pm);

    // Rates. w[m]: m -> m + 1 (m = 0..69); e[m]: m -> m - 1 (m = 1..70).
    double w[kNcpg];
    double e[N];
    e[0] = 0.0;
    if (std::isfinite(vmax)) {
        for (int m = 0; m < kNcpg; ++m) {
            const double x = cow * pm[m];
            w[m] = static_cast<double>(kNcpg - m) * (stw + x / (x / vmax + 1.0));
        }
        for (int m = 1; m <= kNcpg; ++m) {
            const double x = coe * pu[m - 1];
            e[m] = static_cast<double>(m) * (ste + x / (x / vmax + 1.0));
        }
    } else {
        for (int m = 0; m < kNcpg; ++m) w[m] = static_cast<double>(kNcpg - m) * (stw + cow * pm[m]);
        for (int m = 1; m <= kNcpg; ++m) e[m] = static_cast<double>(m) * (ste + coe * pu[m - 1]);
    }

    Workspace& ws = t_ws;
    // Rows 0..69 of the generator. The diagonal is minus the column sum in
    // row order: 0.0 + e(c) (from row c - 1), + 0 (the diagonal itself, which
    // leaves a sum that is not -0 unchanged), + w(c) (from row c + 1); the
    // further zero entries leave it unchanged as it is never -0.
    {
        double* r0 = ws.row[0];
        r0[0] = -(0.0 + w[0]);
        r0[1] = e[1];
        ws.lstart[0] = 0;
        ws.hi[0] = 1;
    }
    for (int r = 1; r < kNcpg; ++r) {
        double* rr = ws.row[r];
        rr[r - 1] = w[r - 1];
        rr[r] = -((0.0 + e[r]) + w[r]);
        rr[r + 1] = e[r + 1];
        ws.lstart[r] = r - 1;
        ws.hi[r] = r + 1;
    }
    {
        double* r70 = ws.row[kNcpg];
        for (int c = 0; c < N; ++c) r70[c] = 1.0;
        ws.lstart[kNcpg] = 0;
        ws.hi[kNcpg] = kNcpg;
    }

    // LU. Active rows: ra at position k, rb at position k + 1, rc at 70.
    int ra = 0, rb = 1, rc = kNcpg;
    int one = 0;             // final position of the row of ones
    bool nonfinite = false;  // a multiplier that is not finite
    for (int k = 0; k < N; ++k) {
        const bool has_b = k + 1 < kNcpg;  // position k + 1 is not position 70
        const bool has_c = k < kNcpg;      // position 70 is not position k
        // First maximum in position order k, k + 1, 70.
        int* pivot = &ra;
        double best = std::fabs(ws.row[ra][k]);
        if (has_b) {
            const double v = std::fabs(ws.row[rb][k]);
            if (v > best) {
                best = v;
                pivot = &rb;
            }
        }
        if (has_c) {
            const double v = std::fabs(ws.row[rc][k]);
            if (v > best) {
                best = v;
                pivot = &rc;
            }
        }
        if (best == 0.0) return false;  // singular (or NaN elsewhere): the plain algorithm decides
        if (pivot != &ra) {
            const int t = ra;
            ra = *pivot;
            *pivot = t;
        }
        ws.perm[k] = ra;
        if (ra == kNcpg) one = k;
        const double piv = ws.row[ra][k];
        if (!std::isfinite(piv)) return false;
        if (k == kNcpg) break;
        const double recip = 1.0 / piv;
        if (!std::isfinite(recip)) return false;
        if (has_b) {
            eliminate_pair(ws, rb, rc, ra, k, recip, nonfinite);
        } else {
            update_row(ws, rc, ra, k, multiplier(ws.row[rc], k, recip, nonfinite));
        }
        // Next column: position k + 1 becomes the pivot position; original
        // row k + 2 (untouched so far, at its own position) becomes active.
        ra = has_b ? rb : rc;
        rb = k + 2;
    }
    // Every multiplier was checked above: the forward substitution below
    // leaves out terms whose b value is an exact zero.
    if (nonfinite) return false;

    // Forward substitution with b = P e_70, P the recorded swaps: the one
    // follows the row of ones, to position `one`. Above it, b stays +0 in
    // the dense algorithm (+0 - L * (+0) = +0 with L finite), and below it
    // the terms with those b values leave a sum that is never -0 unchanged.
    double* b = ws.b;
    for (int pos = 0; pos < one; ++pos) b[pos] = 0.0;
    b[one] = 1.0;
    for (int pos = one + 1; pos < N; ++pos) {
        const int r = ws.perm[pos];
        const double* lr = ws.row[r];
        double y = 0.0;
        for (int c = ws.lstart[r] > one ? ws.lstart[r] : one; c < pos; ++c) y = y - lr[c] * b[c];
        b[pos] = y;
    }

    // Back substitution, four rows at a time so that their dependency chains
    // overlap. Each b entry gets its terms in decreasing column order and
    // then the division, as in the dense algorithm; the terms beyond a row's
    // stored range (up to the group's widest range) use explicit +0 entries,
    // which is what the dense algorithm uses there. Every U(k, k) is a
    // non-zero pivot here.
    int pos = kNcpg;
    for (; pos >= 3; pos -= 4) {
        double* u0 = ws.row[ws.perm[pos]];
        double* u1 = ws.row[ws.perm[pos - 1]];
        double* u2 = ws.row[ws.perm[pos - 2]];
        double* u3 = ws.row[ws.perm[pos - 3]];
        const int h0 = ws.hi[ws.perm[pos]], h1 = ws.hi[ws.perm[pos - 1]];
        const int h2 = ws.hi[ws.perm[pos - 2]], h3 = ws.hi[ws.perm[pos - 3]];
        int top = h0 > pos ? h0 : pos;
        top = h1 > top ? h1 : top;
        top = h2 > top ? h2 : top;
        top = h3 > top ? h3 : top;
        for (int j = h0 + 1; j <= top; ++j) u0[j] = 0.0;
        for (int j = h1 + 1; j <= top; ++j) u1[j] = 0.0;
        for (int j = h2 + 1; j <= top; ++j) u2[j] = 0.0;
        for (int j = h3 + 1; j <= top; ++j) u3[j] = 0.0;
        double y0 = b[pos], y1 = b[pos - 1], y2 = b[pos - 2], y3 = b[pos - 3];
        for (int j = top; j > pos; --j) {
            const double bj = b[j];
            y0 = y0 - u0[j] * bj;
            y1 = y1 - u1[j] * bj;
            y2 = y2 - u2[j] * bj;
            y3 = y3 - u3[j] * bj;
        }
        const double b0 = y0 / u0[pos];
        b[pos] = b0;
        y1 = y1 - u1[pos] * b0;
        y2 = y2 - u2[pos] * b0;
        y3 = y3 - u3[pos] * b0;
        const double b1 = y1 / u1[pos - 1];
        b[pos - 1] = b1;
        y2 = y2 - u2[pos - 1] * b1;
        y3 = y3 - u3[pos - 1] * b1;
        const double b2 = y2 / u2[pos - 2];
        b[pos - 2] = b2;
        y3 = y3 - u3[pos - 2] * b2;
        b[pos - 3] = y3 / u3[pos - 3];
    }
    for (; pos >= 0; --pos) {
        const int r = ws.perm[pos];
        const double* ur = ws.row[r];
        double y = b[pos];
        for (int j = ws.hi[r]; j > pos; --j) y = y - ur[j] * b[j];
        b[pos] = y / ur[pos];
    }
    for (int i = 0; i < N; ++i) {
        if (!std::isfinite(b[i])) return false;
        out[static_cast<std::size_t>(i)] = b[i];
    }
    return true;
}

}  // namespace

StateVector stationary_with_path(double ste, double stw, double cow, double coe, double n_u,
                                 double n_m, double vmax, bool raw_count, SolvePath* path) {
    StateVector out;
    if (fast_solve(ste, stw, cow, coe, n_u, n_m, vmax, raw_count, out)) {
        if (path) *path = SolvePath::fast;
        return out;
    }
    if (path) *path = SolvePath::reference;
    return reference_solve(ste, stw, cow, coe, n_u, n_m, vmax, raw_count);
}

}  // namespace model_detail

StateVector stationary_distribution(double ste, double stw, double cow, double coe, double n_u,
                                    double n_m, double vmax) {
    return model_detail::stationary_with_path(ste, stw, cow, coe, n_u, n_m, vmax,
                                              raw_count_enabled(), nullptr);
}

}  // namespace korvel
