// stationary_distributions: W parameter sets solved at once, one per lane of
// a vector register (W = 2, 4 or 8 doubles), each lane performing exactly the
// operations of the structured solve of stationary.cpp on its own set, in
// the same order.
//
// Why each lane gives the scalar bits
// -----------------------------------
// IEEE addition, subtraction, multiplication, division, negation and
// comparison are correctly rounded lane by lane, and the build never fuses a
// multiply with an add, so a lane that performs the scalar solve's
// operations on the same values gets the same results. What differs between
// the lanes is control: the pivot row chosen at each column, the column
// ranges the rows hold, where the row of ones ends up, and whether the solve
// hands over to the plain algorithm. Each of those becomes per-lane data:
//
// - Rows are kept by role, not by name: at column k the three rows that may
//   hold a non-zero in column k sit at positions k (role A), k + 1 (role B,
//   always the untouched original row k + 1) and 70 (role C). A pivot swap
//   exchanges the contents of two roles, in the lanes that swap, by blends;
//   when every lane swaps, the two buffers change roles instead. After the
//   elimination the row of role A is final (position k) and stays where it is.
// - The stored column range of a row ([lstart, hi] in stationary.cpp) is a
//   vector of per-lane bounds. A loop over columns runs over the union of the
//   lanes' ranges and leaves the lanes whose range ends earlier unchanged
//   (a masked operation), so each lane sees the operations of its own range
//   only, never an operation the scalar solve does not perform.
// - Every stored row holds +0 beyond its range, in every lane, which is the
//   value the scalar solve uses there (it computes 0.0 - l * u on extension,
//   and stores explicit zeros before the back substitution).
// - The checks that send the scalar solve to the plain algorithm (a
//   parameter that is not finite, a zero pivot, a multiplier, pivot,
//   reciprocal or result that is not finite) mark the lane; a marked lane
//   goes on computing values that are then thrown away, and its result is
//   the plain algorithm's, as in stationary_with_path.
//
// The powers come from the same per-thread tables as the scalar solve's
// (pow stays a scalar call per lane); the rates are formed lane-wise.
#include <bit>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>

#include "core/errors.h"
#include "core/simd.h"
#include "core/simd_kernels.h"
#include "core/sites.h"
#include "core/state.h"
#include "model/model.h"
#include "model/stationary_internal.h"

namespace korvel {
namespace model_detail {
namespace {

constexpr int N = kNumStates;  // 71
constexpr int kCols = 72;      // stored columns per row
// One buffer per original row (0 .. 69) and one for the row of ones.
constexpr int kBuffers = N;
constexpr double kMaxFinite = 1.7976931348623157e308;

#ifdef KORVEL_SIMD_BUILDS
using simd::Lanes;
using simd::splat;

// The stored rows and per-lane bookkeeping of one batch. A cell outside its
// lane's column range of the row holds whatever an earlier step or batch
// left there: every read of it is masked.
template <int W>
struct BatchWorkspace {
    using V = typename Lanes<W>::V;
    V cell[kBuffers][kCols];  // cell[buffer][column]: the W lanes' values
    // Per lane, the first and last stored column of the row a buffer holds
    // (as doubles, so that they compare with column indices in one
    // instruction).
    V lo[kBuffers];
    V hi[kBuffers];
    V pm[kNcpg];  // BM(m + 1)^n_M per lane
    V pu[kNcpg];  // BU(m)^n_U per lane
    V w[kNcpg];   // writing rates
    V e[N];       // erasing rates
    V b[N];       // right-hand side / solution, by position
    int fin[N];   // position -> buffer of its final row
};

template <int W>
BatchWorkspace<W>& batch_workspace() {
    // One per thread, about 41 KB per lane, zeroed once so that no cell is
    // ever indeterminate.
    thread_local std::unique_ptr<BatchWorkspace<W>> ws{new BatchWorkspace<W>()};
    return *ws;
}

template <class V, class M>
KORVEL_ALWAYS_INLINE V vabs(V x) {
    // Clearing the sign bit: std::fabs lane by lane.
    return std::bit_cast<V>(std::bit_cast<M>(x) & (M{} + INT64_MAX));
}

template <int W, class M>
KORVEL_ALWAYS_INLINE bool any(M m) {
    std::int64_t r = 0;
    for (int l = 0; l < W; ++l) r |= m[l];
    return r != 0;
}

// Smallest and largest lane of a vector of column indices.
template <int W, class V>
KORVEL_ALWAYS_INLINE int lane_min(V v) {
    double r = v[0];
    for (int l = 1; l < W; ++l) r = v[l] < r ? v[l] : r;
    return static_cast<int>(r);
}

template <int W, class V>
KORVEL_ALWAYS_INLINE int lane_max(V v) {
    double r = v[0];
    for (int l = 1; l < W; ++l) r = v[l] > r ? v[l] : r;
    return static_cast<int>(r);
}

template <class V>
KORVEL_ALWAYS_INLINE V lane_wise_max(V x, V y) {
    return x < y ? y : x;
}

KORVEL_ALWAYS_INLINE int imin(int a, int b) { return a < b ? a : b; }
KORVEL_ALWAYS_INLINE int imax(int a, int b) { return a > b ? a : b; }

// W sets at once; `fail_out` gets the lanes whose result must come from the
// plain algorithm; the other lanes' results are written to out.
template <int W>
KORVEL_ALWAYS_INLINE void solve_lanes(const ModelParams* p, bool raw, StateVector* out, bool* fail_out) {
    using V = typename Lanes<W>::V;
    using M = typename Lanes<W>::M;
    BatchWorkspace<W>& ws = batch_workspace<W>();
    const V zero = V{};
    const V one_v = splat<V>(1.0);
    const V max_finite = splat<V>(kMaxFinite);
    const auto finite = [&](V x) KORVEL_LAMBDA_INLINE -> M { return vabs<V, M>(x) <= max_finite; };

    // Parameters, per lane; a set with a parameter (other than Vmax) that is
    // not finite goes to the plain algorithm, as in the scalar solve.
    V ste, stw, cow, coe, vmax;
    M fail{};
    for (int l = 0; l < W; ++l) {
        ste[l] = p[l].ste;
        stw[l] = p[l].stw;
        cow[l] = p[l].cow;
        coe[l] = p[l].coe;
        vmax[l] = p[l].vmax;
        const bool ok = std::isfinite(p[l].ste) && std::isfinite(p[l].stw) && std::isfinite(p[l].cow) &&
                        std::isfinite(p[l].coe) && std::isfinite(p[l].n_u) && std::isfinite(p[l].n_m);
        fail[l] = ok ? 0 : -1;
        // Copied out of the per-thread table at once: a later lane's table
        // may take its slot.
        if (ok) {
            const double* pm = power_table(raw ? kMethylatedRaw : kMethylatedFraction, p[l].n_m, nullptr);
            const double* pu = power_table(raw ? kUnmethylatedRaw : kUnmethylatedFraction, p[l].n_u, pm);
            for (int m = 0; m < kNcpg; ++m) {
                ws.pm[m][l] = pm[m];
                ws.pu[m][l] = pu[m];
            }
        } else {
            for (int m = 0; m < kNcpg; ++m) {
                ws.pm[m][l] = 0.0;
                ws.pu[m][l] = 0.0;
            }
        }
    }

    // Rates: S(x) = x / (x / Vmax + 1) where Vmax is finite, x elsewhere.
    const M saturate = finite(vmax);
    for (int m = 0; m < kNcpg; ++m) {
        const V x = cow * ws.pm[m];
        const V s = saturate ? x / (x / vmax + one_v) : x;
        ws.w[m] = splat<V>(static_cast<double>(kNcpg - m)) * (stw + s);
    }
    ws.e[0] = zero;
    for (int m = 1; m <= kNcpg; ++m) {
        const V x = coe * ws.pu[m - 1];
        const V s = saturate ? x / (x / vmax + one_v) : x;
        ws.e[m] = splat<V>(static_cast<double>(m)) * (ste + s);
    }

    // Original row r (r < 70) goes to buffer r when it first takes a role;
    // the row of ones is buffer 70. The diagonal is minus the column sum in
    // row order, 0.0 + e(c) + w(c), as in stationary.cpp.
    const auto original_row = [&](int r) KORVEL_LAMBDA_INLINE {
        V* row = ws.cell[r];
        if (r == 0) {
            row[0] = -(zero + ws.w[0]);
            row[1] = ws.e[1];
            ws.lo[0] = zero;
            ws.hi[0] = one_v;
        } else {
            row[r - 1] = ws.w[r - 1];
            row[r] = -((zero + ws.e[r]) + ws.w[r]);
            row[r + 1] = ws.e[r + 1];
            ws.lo[r] = splat<V>(r - 1);
            ws.hi[r] = splat<V>(r + 1);
        }
        return r;
    };
    {
        V* ones = ws.cell[kNcpg];
        for (int c = 0; c < N; ++c) ones[c] = one_v;
        ws.lo[kNcpg] = zero;
        ws.hi[kNcpg] = splat<V>(kNcpg);
    }

    // LU. Roles: a at position k, b at k + 1 (the untouched original row
    // k + 1), c at 70. Each step writes, in one pass over the columns, the
    // pivot row into a's buffer (where it stays: position k is final), the
    // row that goes to position k + 1 into b's buffer and the row that goes
    // to position 70 into c's buffer, each of the last two minus its
    // multiple of the pivot row.
    int a = original_row(0), b = original_row(1), c = kNcpg;
    M a_ones{};        // the row of ones is in role a (only at the last column)
    M c_ones = ~M{};   // ... in role c
    V one = zero;      // final position of the row of ones
    M nonfinite{};     // a multiplier that is not finite
    for (int k = 0; k < N; ++k) {
        const bool has_b = k + 1 < kNcpg;  // position k + 1 is not position 70
        const bool has_c = k < kNcpg;      // position 70 is not position k
        V* ra = ws.cell[a];
        V* rb = ws.cell[b];
        V* rc = ws.cell[c];
        // First maximum in position order k, k + 1, 70.
        const V ak = ra[k];
        V best = vabs<V, M>(ak);
        M take_b{}, take_c{};
        V bk = zero, ck = zero;
        if (has_b) {
            bk = rb[k];
            const V v = vabs<V, M>(bk);
            take_b = v > best;
            best = take_b ? v : best;
        }
        if (has_c) {
            ck = rc[k];
            const V v = vabs<V, M>(ck);
            take_c = v > best;
            best = take_c ? v : best;
        }
        fail |= best == zero;
        const M sb = take_b & ~take_c;  // lanes whose pivot is row b
        const M sc = take_c;            // ... row c
        const V pk = sc ? ck : (sb ? bk : ak);
        one = (sc & c_ones) | a_ones ? splat<V>(k) : one;
        c_ones &= ~sc;
        ws.fin[k] = a;
        fail |= ~finite(pk);
        if (k == kNcpg) break;
        const V recip = one_v / pk;
        fail |= ~finite(recip);

        // Column ranges of the three rows as they leave this step.
        const V lo_a = ws.lo[a], hi_a = ws.hi[a];
        const V lo_b = ws.lo[b], hi_b = ws.hi[b];
        const V lo_c = ws.lo[c], hi_c = ws.hi[c];
        const V hi_p = sc ? hi_c : (sb ? hi_b : hi_a);
        const V hi_nb = sb ? hi_a : hi_b;  // before its update
        const V hi_nc = sc ? hi_a : hi_c;
        ws.lo[a] = sc ? lo_c : (sb ? lo_b : lo_a);
        ws.hi[a] = hi_p;
        if (has_b) {
            ws.lo[b] = sb ? lo_a : lo_b;
            ws.hi[b] = lane_wise_max(hi_nb, hi_p);
        }
        ws.lo[c] = sc ? lo_a : lo_c;
        ws.hi[c] = lane_wise_max(hi_nc, hi_p);

        // Multipliers, stored in column k.
        V lb = zero;
        if (has_b) {
            lb = (sb ? ak : bk) * recip;
            nonfinite |= ~finite(lb);
        }
        const V lc = (sc ? ak : ck) * recip;
        nonfinite |= ~finite(lc);
        ra[k] = pk;
        if (has_b) rb[k] = lb;
        rc[k] = lc;

        // Beyond column k: x - l u where u (the pivot row) has a stored
        // entry, with x read as +0 beyond x's own range (the scalar solve's
        // 0.0 - l u); x unchanged beyond u's range. Up to `full` every lane
        // is inside all three ranges and no mask is needed.
        const int full = imin(lane_min<W>(hi_p), imin(has_b ? lane_min<W>(hi_nb) : kNcpg, lane_min<W>(hi_nc)));
        const bool swap_b = has_b && any<W>(sb);
        const bool swap_c = any<W>(sc);
        if (!swap_b && !swap_c) {
            // No lane swaps: the pivot row stays in a's buffer as it is.
            const int last = lane_max<W>(hi_a);
            int j = k + 1;
            for (; j <= full; ++j) {
                const V u = ra[j];
                if (has_b) rb[j] = rb[j] - lb * u;
                rc[j] = rc[j] - lc * u;
            }
            for (; j <= last; ++j) {
                const V jv = splat<V>(j);
                const M in_p = jv <= hi_p;
                const V u = ra[j];
                if (has_b) {
                    const V x = jv <= hi_nb ? rb[j] : zero;
                    rb[j] = in_p ? x - lb * u : rb[j];
                }
                const V x = jv <= hi_nc ? rc[j] : zero;
                rc[j] = in_p ? x - lc * u : rc[j];
            }
        } else {
            // Rows move between the roles in the lanes that swap: the pass
            // covers every column a moving row may hold (row b holds none
            // before column k).
            int first = lane_min<W>(lo_a);
            int last = lane_max<W>(hi_a);
            if (has_b) last = imax(last, lane_max<W>(hi_b));
            if (swap_c) {
                first = imin(first, lane_min<W>(lo_c));
                last = imax(last, lane_max<W>(hi_c));
            }
            for (int j = first; j < k; ++j) {
                const V av = ra[j], cv = rc[j];
                const V bv = has_b ? rb[j] : zero;
                ra[j] = sc ? cv : (sb ? bv : av);
                if (has_b) rb[j] = sb ? av : bv;
                rc[j] = sc ? av : cv;
            }
            int j = k + 1;
            for (; j <= full; ++j) {
                const V av = ra[j], cv = rc[j];
                const V bv = has_b ? rb[j] : zero;
                const V u = sc ? cv : (sb ? bv : av);
                ra[j] = u;
                if (has_b) rb[j] = (sb ? av : bv) - lb * u;
                rc[j] = (sc ? av : cv) - lc * u;
            }
            for (; j <= last; ++j) {
                const V jv = splat<V>(j);
                const M in_p = jv <= hi_p;
                const V av = ra[j], cv = rc[j];
                const V bv = has_b ? rb[j] : zero;
                const V u = sc ? cv : (sb ? bv : av);
                ra[j] = u;
                if (has_b) {
                    const V x = sb ? av : bv;
                    const V x0 = jv <= hi_nb ? x : zero;
                    rb[j] = in_p ? x0 - lb * u : x;
                }
                const V x = sc ? av : cv;
                const V x0 = jv <= hi_nc ? x : zero;
                rc[j] = in_p ? x0 - lc * u : x;
            }
        }
        // Next column: the row at position k + 1 takes role a; the original
        // row k + 2 takes role b.
        if (has_b) {
            a = b;
            a_ones = M{};
            if (k + 2 < kNcpg) b = original_row(k + 2);
        } else {
            a = c;
            a_ones = c_ones;
        }
    }
    fail |= nonfinite;

    // Forward substitution with b = P e_70: the one sits at the position of
    // the row of ones, zeros above it; below it each entry subtracts its
    // terms from column max(lstart, one) on, in increasing column order.
    V* x = ws.b;
    const int first_one = lane_min<W>(one);
    const int last_one = lane_max<W>(one);
    for (int pos = 0; pos <= first_one; ++pos) x[pos] = one == splat<V>(pos) ? one_v : zero;
    for (int pos = first_one + 1; pos < N; ++pos) {
        const int r = ws.fin[pos];
        const V* lr = ws.cell[r];
        const V start = lane_wise_max(ws.lo[r], one);
        const int every = imax(lane_max<W>(ws.lo[r]), last_one);  // every lane's terms start by here
        V y = zero;
        int col = imax(lane_min<W>(ws.lo[r]), first_one);
        for (; col < imin(every, pos); ++col) {
            const M in = splat<V>(col) >= start;
            y = in ? y - lr[col] * x[col] : y;
        }
        for (; col < pos; ++col) y = y - lr[col] * x[col];
        const V pv = splat<V>(pos);
        x[pos] = pv > one ? y : (pv == one ? one_v : zero);
    }

    // Back substitution, four rows at a time as in stationary.cpp: each row
    // over the widest range of the four in its own lane, with +0 beyond its
    // own range, in decreasing column order, then the division.
    int pos = kNcpg;
    for (; pos >= 3; pos -= 4) {
        const int r0 = ws.fin[pos], r1 = ws.fin[pos - 1], r2 = ws.fin[pos - 2], r3 = ws.fin[pos - 3];
        const V* u0 = ws.cell[r0];
        const V* u1 = ws.cell[r1];
        const V* u2 = ws.cell[r2];
        const V* u3 = ws.cell[r3];
        const V h0 = ws.hi[r0], h1 = ws.hi[r1], h2 = ws.hi[r2], h3 = ws.hi[r3];
        const V top = lane_wise_max(lane_wise_max(lane_wise_max(h0, h1), lane_wise_max(h2, h3)), splat<V>(pos));
        const int top_max = lane_max<W>(top);
        // Up to `full` every lane of every row is inside its own range.
        const int full =
            imax(imin(imin(lane_min<W>(h0), lane_min<W>(h1)), imin(lane_min<W>(h2), lane_min<W>(h3))), pos);
        V y0 = x[pos], y1 = x[pos - 1], y2 = x[pos - 2], y3 = x[pos - 3];
        int j = top_max;
        for (; j > full; --j) {
            const V jv = splat<V>(j);
            const M in = jv <= top;
            const V bj = x[j];
            y0 = in ? y0 - (jv <= h0 ? u0[j] : zero) * bj : y0;
            y1 = in ? y1 - (jv <= h1 ? u1[j] : zero) * bj : y1;
            y2 = in ? y2 - (jv <= h2 ? u2[j] : zero) * bj : y2;
            y3 = in ? y3 - (jv <= h3 ? u3[j] : zero) * bj : y3;
        }
        for (; j > pos; --j) {
            const V bj = x[j];
            y0 = y0 - u0[j] * bj;
            y1 = y1 - u1[j] * bj;
            y2 = y2 - u2[j] * bj;
            y3 = y3 - u3[j] * bj;
        }
        // The entries right of the diagonal block's own diagonal may lie
        // beyond a row's range: +0 there.
        const auto u = [&](const V* row, V h, int col) KORVEL_LAMBDA_INLINE {
            return splat<V>(col) <= h ? row[col] : zero;
        };
        const V b0 = y0 / u0[pos];
        x[pos] = b0;
        y1 = y1 - u(u1, h1, pos) * b0;
        y2 = y2 - u(u2, h2, pos) * b0;
        y3 = y3 - u(u3, h3, pos) * b0;
        const V b1 = y1 / u1[pos - 1];
        x[pos - 1] = b1;
        y2 = y2 - u(u2, h2, pos - 1) * b1;
        y3 = y3 - u(u3, h3, pos - 1) * b1;
        const V b2 = y2 / u2[pos - 2];
        x[pos - 2] = b2;
        y3 = y3 - u(u3, h3, pos - 2) * b2;
        x[pos - 3] = y3 / u3[pos - 3];
    }
    for (; pos >= 0; --pos) {
        const int r = ws.fin[pos];
        const V* ur = ws.cell[r];
        const V hr = ws.hi[r];
        V y = x[pos];
        int j = lane_max<W>(hr);
        for (; j > imax(lane_min<W>(hr), pos); --j) {
            const M in = splat<V>(j) <= hr;
            y = in ? y - ur[j] * x[j] : y;
        }
        for (; j > pos; --j) y = y - ur[j] * x[j];
        x[pos] = y / ur[pos];
    }
    for (int i = 0; i < N; ++i) fail |= ~finite(x[i]);

    for (int l = 0; l < W; ++l) {
        fail_out[l] = fail[l] != 0;
        if (fail_out[l]) continue;
        for (int i = 0; i < N; ++i) out[l][static_cast<std::size_t>(i)] = x[i][l];
    }
}

// The three builds of the lane kernel, each for its instruction set.
void solve_lanes_sse2(const ModelParams* p, bool raw, StateVector* out, bool* fail) {
    solve_lanes<2>(p, raw, out, fail);
}

KORVEL_TARGET_AVX2 void solve_lanes_avx2(const ModelParams* p, bool raw, StateVector* out,
                                                        bool* fail) {
    solve_lanes<4>(p, raw, out, fail);
}

KORVEL_TARGET_AVX512 void solve_lanes_avx512(
    const ModelParams* p, bool raw, StateVector* out, bool* fail) {
    solve_lanes<8>(p, raw, out, fail);
}
#endif  // KORVEL_SIMD_BUILDS

}  // namespace

void stationary_batch(SimdPath path, std::span<const ModelParams> sets, bool raw_count,
                      std::span<StateVector> out, SolvePath* paths) {
    if (out.size() != sets.size()) {
        throw InternalError("stationary_distributions: " + std::to_string(sets.size()) + " sets but " +
                            std::to_string(out.size()) + " results");
    }
    bool supported = false;
    for (SimdPath s : supported_simd_paths()) supported |= s == path;
    if (!supported) {
        throw InternalError(std::string("stationary_distributions: this processor cannot run the ") +
                            simd_path_name(path) + " path");
    }
    const auto scalar = [&](std::size_t i) {
        const ModelParams& q = sets[i];
        out[i] = stationary_with_path(q.ste, q.stw, q.cow, q.coe, q.n_u, q.n_m, q.vmax, raw_count,
                                      paths ? paths + i : nullptr);
    };
    std::size_t done = 0;
#ifdef KORVEL_SIMD_BUILDS
    using Kernel = void (*)(const ModelParams*, bool, StateVector*, bool*);
    Kernel kernel = nullptr;
    switch (path) {
        case SimdPath::sse2: kernel = solve_lanes_sse2; break;
        case SimdPath::avx2: kernel = solve_lanes_avx2; break;
        case SimdPath::avx512: kernel = solve_lanes_avx512; break;
        case SimdPath::scalar: break;
    }
    if (kernel != nullptr) {
        const std::size_t w = static_cast<std::size_t>(simd_lanes(path));
        ModelParams lane_sets[8];
        StateVector lane_out[8];
        bool fail[8];
        // A last, partial group fills its spare lanes with copies of its
        // first set; their results are dropped.
        while (sets.size() - done >= 2) {
            const std::size_t n = sets.size() - done < w ? sets.size() - done : w;
            for (std::size_t l = 0; l < w; ++l) lane_sets[l] = sets[done + (l < n ? l : 0)];
            kernel(lane_sets, raw_count, lane_out, fail);
            for (std::size_t l = 0; l < n; ++l) {
                if (fail[l]) {
                    scalar(done + l);
                } else {
                    out[done + l] = lane_out[l];
                    if (paths) paths[done + l] = SolvePath::fast;
                }
            }
            done += n;
        }
    }
#endif
    for (; done < sets.size(); ++done) scalar(done);
}

}  // namespace model_detail

void stationary_distributions(std::span<const ModelParams> sets, std::span<StateVector> out) {
    model_detail::stationary_batch(simd_path(), sets, raw_count_enabled(), out);
}

}  // namespace korvel
