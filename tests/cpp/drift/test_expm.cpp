// The matrix exponential against independent references: exact cases, a
// long-double Taylor series, the semigroup property, and the bit-exactness of
// the product kernels that the exponential relies on for reproducibility.
#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "drift/drift.h"
#include "drift/expm.h"
#include "core/errors.h"

namespace {

using korvel::ExpmPlan;
using korvel::SquareMatrix;

// Deterministic uniform numbers in [-1, 1) from a fixed 64-bit LCG, so that
// the test matrices are the same on every platform and standard library.
class Lcg {
public:
    explicit Lcg(std::uint64_t seed) : s_(seed) {}
    double next() {
        s_ = s_ * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(s_ >> 11) * 0x1.0p-52 - 1.0;
    }

private:
    std::uint64_t s_;
};

SquareMatrix random_matrix(std::size_t n, std::size_t band, double scale, std::uint64_t seed) {
    Lcg rng(seed);
    SquareMatrix m(n);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            const std::size_t dist = i > j ? i - j : j - i;
            const double v = rng.next();
            if (dist <= band) m(i, j) = scale * v;
        }
    }
    return m;
}

// exp(A) by its Taylor series in long double, summed until the terms stop
// mattering. Only used for ||A||_1 <= 6, where the largest term is about 6^6/6!
// ~ 65 and long double's 64-bit mantissa keeps the cancellation error far
// below the double tolerance of the comparisons.
std::vector<long double> taylor_expm(const SquareMatrix& a) {
    const std::size_t n = a.size();
    std::vector<long double> term(n * n, 0.0L), sum(n * n, 0.0L), next(n * n);
    for (std::size_t i = 0; i < n; ++i) term[i * n + i] = sum[i * n + i] = 1.0L;
    for (int k = 1; k <= 200; ++k) {
        long double biggest = 0.0L;
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j) {
                long double v = 0.0L;
                for (std::size_t l = 0; l < n; ++l) v += term[i * n + l] * a(l, j);
                next[i * n + j] = v / k;
                biggest = std::max(biggest, std::fabs(next[i * n + j]));
            }
        }
        term.swap(next);
        for (std::size_t idx = 0; idx < n * n; ++idx) sum[idx] += term[idx];
        if (biggest < 1e-30L) break;
    }
    return sum;
}

double max_abs_diff(const SquareMatrix& x, const std::vector<long double>& ref) {
    const std::size_t n = x.size();
    double worst = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            worst = std::max(worst, static_cast<double>(std::fabs(x(i, j) - ref[i * n + j])));
        }
    }
    return worst;
}

double max_abs(const std::vector<long double>& ref) {
    long double m = 0.0L;
    for (long double v : ref) m = std::max(m, std::fabs(v));
    return static_cast<double>(m);
}

// The textbook triple loop, k ascending from +0.0: the order every product
// kernel must reproduce exactly.
SquareMatrix naive_product(const SquareMatrix& a, const SquareMatrix& b) {
    const std::size_t n = a.size();
    SquareMatrix c(n);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            double s = 0.0;
            for (std::size_t k = 0; k < n; ++k) s += a(i, k) * b(k, j);
            c(i, j) = s;
        }
    }
    return c;
}

void expect_bit_equal(const SquareMatrix& x, const SquareMatrix& y) {
    ASSERT_EQ(x.size(), y.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        for (std::size_t j = 0; j < x.size(); ++j) {
            ASSERT_EQ(x(i, j), y(i, j)) << "entry (" << i << ", " << j << ")";
        }
    }
}

TEST(Products, DenseAndBandedKernelsMatchTheTripleLoopBitForBit) {
    // Sizes around the 4-row and 8-column blocking, including the 71 of the
    // drift model.
    for (std::size_t n : {1u, 3u, 5u, 8u, 9u, 13u, 71u}) {
        for (std::size_t band_a : {std::size_t{0}, std::size_t{1}, std::size_t{4}, n - 1}) {
            for (std::size_t band_b : {std::size_t{0}, std::size_t{2}, n - 1}) {
                const SquareMatrix a = random_matrix(n, band_a, 3.0, 11 + n + band_a);
                const SquareMatrix b = random_matrix(n, band_b, 0.7, 97 + n * band_b);
                SquareMatrix c(n);
                korvel::multiply(a, band_a, b, band_b, c);
                SCOPED_TRACE(::testing::Message() << "n=" << n << " bands " << band_a << ","
                                                  << band_b);
                expect_bit_equal(c, naive_product(a, b));
            }
        }
    }
}

TEST(Products, RejectMismatchedOrAliasedOperands) {
    SquareMatrix a(4), b(5), c(4);
    EXPECT_THROW(korvel::multiply(a, 3, b, 4, c), korvel::InternalError);
    EXPECT_THROW(korvel::multiply(a, 3, a, 3, a), korvel::InternalError);
    EXPECT_THROW((void)a.at(4, 0), korvel::InternalError);
}

// Textbook elimination: pivot search from row k, a later row only on a
// strictly larger magnitude, full row exchanges, and the right-hand sides
// eliminated alongside; then back substitution in ascending column order.
SquareMatrix naive_lu_solve(SquareMatrix a, SquareMatrix b) {
    const std::size_t n = a.size();
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t p = k;
        for (std::size_t i = k + 1; i < n; ++i) {
            if (std::fabs(a(i, k)) > std::fabs(a(p, k))) p = i;
        }
        for (std::size_t j = 0; j < n; ++j) {
            std::swap(a(k, j), a(p, j));
            std::swap(b(k, j), b(p, j));
        }
        for (std::size_t i = k + 1; i < n; ++i) {
            const double l = a(i, k) / a(k, k);
            a(i, k) = l;
            for (std::size_t j = k + 1; j < n; ++j) a(i, j) = a(i, j) - l * a(k, j);
            for (std::size_t j = 0; j < n; ++j) b(i, j) = b(i, j) - l * b(k, j);
        }
    }
    for (std::size_t i = n; i-- > 0;) {
        for (std::size_t c = 0; c < n; ++c) {
            double x = b(i, c);
            for (std::size_t j = i + 1; j < n; ++j) x = x - a(i, j) * b(j, c);
            b(i, c) = x / a(i, i);
        }
    }
    return b;
}

TEST(LuSolve, MatchesTextbookEliminationBitForBit) {
    for (std::size_t n : {1u, 2u, 5u, 7u, 13u, 71u}) {
        SquareMatrix a = random_matrix(n, n - 1, 1.0, 300 + n);
        // Ties in magnitude below the diagonal: the first row must stay.
        if (n > 2) a(2, 0) = -a(1, 0);
        const SquareMatrix b = random_matrix(n, n - 1, 2.0, 400 + n);
        SquareMatrix lu = a;
        SquareMatrix x = b;
        korvel::lu_solve_in_place(lu, x);
        SCOPED_TRACE(::testing::Message() << "n=" << n);
        expect_bit_equal(x, naive_lu_solve(a, b));
    }
}

TEST(LuSolve, SolvesWithRowExchangesAndSmallResidual) {
    // A zero on the leading diagonal forces a row exchange at the first step.
    const std::size_t n = 9;
    SquareMatrix a = random_matrix(n, n - 1, 1.0, 5);
    a(0, 0) = 0.0;
    const SquareMatrix b = random_matrix(n, n - 1, 1.0, 6);
    SquareMatrix lu = a;
    SquareMatrix x = b;
    korvel::lu_solve_in_place(lu, x);
    const SquareMatrix ax = naive_product(a, x);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            // Backward-stable solve of a well-scaled 9 x 9 system: residuals of
            // a few hundred ulps at most.
            EXPECT_NEAR(ax(i, j), b(i, j), 1e-13);
        }
    }
}

TEST(Expm, ZeroMatrixGivesIdentityExactly) {
    ExpmPlan plan;
    const SquareMatrix e = korvel::expm(SquareMatrix(71), &plan);
    expect_bit_equal(e, SquareMatrix::identity(71));
    EXPECT_EQ(plan.degree, 3);
    EXPECT_EQ(plan.squarings, 0);
}

TEST(Expm, DiagonalMatrixGivesScalarExponentials) {
    const std::vector<double> d = {-30.0, -7.5, -1.0, -1e-3, 0.0, 2e-4, 0.3, 1.7, 4.0, 12.0};
    SquareMatrix a(d.size());
    for (std::size_t i = 0; i < d.size(); ++i) a(i, i) = d[i];
    ExpmPlan plan;
    const SquareMatrix e = korvel::expm(a, &plan);
    EXPECT_EQ(plan.degree, 13);
    for (std::size_t i = 0; i < d.size(); ++i) {
        for (std::size_t j = 0; j < d.size(); ++j) {
            if (i != j) {
                EXPECT_EQ(e(i, j), 0.0);
                continue;
            }
            // Each squaring can double the relative error of the approximant
            // (about one ulp); with s squarings that is 2^s ulps, well under
            // 1e-12 for the s = 2 these entries need.
            EXPECT_NEAR(e(i, i) / std::exp(d[i]), 1.0, 1e-12) << "d = " << d[i];
        }
    }
}

TEST(Expm, ScalarDegreeAndScalingFollowTheThresholds) {
    struct Case {
        double x;
        int degree;
        int squarings;
    };
    // 1 x 1 matrices: every d_k is |x| up to rounding, so the choice is the
    // first threshold above |x| (values kept away from the thresholds).
    for (const Case c : {Case{0.01, 3, 0}, Case{-0.2, 5, 0}, Case{0.9, 7, 0}, Case{2.0, 9, 0},
                         Case{-4.0, 13, 0}, Case{8.0, 13, 1}, Case{-40.0, 13, 4}}) {
        SquareMatrix a(1);
        a(0, 0) = c.x;
        ExpmPlan plan;
        const SquareMatrix e = korvel::expm(a, &plan);
        EXPECT_EQ(plan.degree, c.degree) << "x = " << c.x;
        EXPECT_EQ(plan.squarings, c.squarings) << "x = " << c.x;
        // Relative error of a few ulps, times 2^s from the squarings.
        EXPECT_NEAR(e(0, 0) / std::exp(c.x), 1.0, 1e-13) << "x = " << c.x;
    }
}

TEST(Expm, NilpotentMatrixIsNotOverscaled) {
    // ||A||_1 = 1e6 but A^2 = 0: the powers, not the norm, decide, so the
    // lowest degree is chosen with no scaling and exp(A) = I + A comes out
    // exactly.
    SquareMatrix a(2);
    a(0, 1) = 1e6;
    ExpmPlan plan;
    const SquareMatrix e = korvel::expm(a, &plan);
    EXPECT_EQ(plan.degree, 3);
    EXPECT_EQ(plan.squarings, 0);
    EXPECT_EQ(e(0, 0), 1.0);
    EXPECT_EQ(e(0, 1), 1e6);
    EXPECT_EQ(e(1, 0), 0.0);
    EXPECT_EQ(e(1, 1), 1.0);
}

TEST(Expm, MatchesLongDoubleTaylorSeriesAtEveryDegree) {
    // Dense and banded matrices scaled so that every degree is reached, and
    // one that needs scaling.
    struct Case {
        std::size_t n;
        std::size_t band;
        double scale;
    };
    std::vector<int> degrees_seen;
    std::vector<SquareMatrix> inputs;
    std::uint64_t seed = 1;
    for (const Case c : {Case{6, 5, 0.001}, Case{6, 5, 0.02}, Case{12, 1, 0.1}, Case{7, 6, 0.15},
                         Case{9, 8, 0.25}, Case{15, 2, 0.6}, Case{10, 9, 0.6}, Case{20, 3, 1.0}}) {
        inputs.push_back(random_matrix(c.n, c.band, c.scale, seed++));
    }
    // A non-symmetric matrix with eigenvalues near -5 and 5 needs one squaring.
    SquareMatrix big(2);
    big(0, 0) = -5.0;
    big(0, 1) = 0.5;
    big(1, 0) = 0.3;
    big(1, 1) = 4.8;
    inputs.push_back(big);
    int max_squarings = 0;
    for (const SquareMatrix& a : inputs) {
        ASSERT_LE(korvel::norm1(a), 6.0) << "the Taylor reference is only trusted up to norm 6";
        ExpmPlan plan;
        const SquareMatrix e = korvel::expm(a, &plan);
        degrees_seen.push_back(plan.degree);
        const std::vector<long double> ref = taylor_expm(a);
        // Backward error of at most one unit roundoff per the choice of
        // degree, plus rounding in the evaluation: a relative 1e-14 of the
        // largest entry covers both with room.
        max_squarings = std::max(max_squarings, plan.squarings);
        EXPECT_LE(max_abs_diff(e, ref), 1e-14 * max_abs(ref))
            << "n=" << a.size() << " degree=" << plan.degree << " s=" << plan.squarings;
    }
    EXPECT_GE(max_squarings, 1) << "the squaring phase was never exercised";
    for (int m : {3, 5, 7, 9, 13}) {
        EXPECT_NE(std::find(degrees_seen.begin(), degrees_seen.end(), m), degrees_seen.end())
            << "degree " << m << " never exercised";
    }
}

TEST(Expm, SemigroupPropertyOnTheDriftGenerator) {
    // exp(2A) = exp(A)^2 for the tQ of the drift model at several ages,
    // including ones that need many squarings.
    const SquareMatrix q = korvel::drift_generator(0.3, 0.7);
    for (double t : {0.01, 0.5, 3.0, 40.0}) {
        SquareMatrix a(q.size()), a2(q.size());
        for (std::size_t i = 0; i < q.size(); ++i) {
            for (std::size_t j = 0; j < q.size(); ++j) {
                a(i, j) = t * q(i, j);
                a2(i, j) = 2.0 * t * q(i, j);
            }
        }
        const SquareMatrix e1 = korvel::expm(a);
        const SquareMatrix e2 = korvel::expm(a2);
        const SquareMatrix sq = naive_product(e1, e1);
        for (std::size_t i = 0; i < q.size(); ++i) {
            for (std::size_t j = 0; j < q.size(); ++j) {
                // Entries are transition probabilities in [0, 1]; both sides
                // carry errors of order s * 1e-16 and the product adds 71
                // rounded terms, so 1e-13 absolute is a comfortable bound.
                ASSERT_NEAR(e2(i, j), sq(i, j), 1e-13) << "t=" << t << " (" << i << "," << j << ")";
            }
        }
    }
}

TEST(Expm, NonFiniteInputGivesNaN) {
    for (double bad : {std::numeric_limits<double>::infinity(),
                       std::numeric_limits<double>::quiet_NaN()}) {
        SquareMatrix a(3);
        a(1, 2) = bad;
        ExpmPlan plan;
        const SquareMatrix e = korvel::expm(a, &plan);
        EXPECT_EQ(plan.degree, 0);
        for (std::size_t i = 0; i < 3; ++i) {
            for (std::size_t j = 0; j < 3; ++j) EXPECT_TRUE(std::isnan(e(i, j)));
        }
    }
}

TEST(Expm, OverflowingPowersFallBackOnTheNormForScaling) {
    // t Q at an absurd age: the powers of t Q overflow, so the scaling is
    // taken from ||A||_1 (an upper bound on every d_k) instead, and the call
    // still returns. So many squarings compound the rounding of the
    // approximant beyond use; the point is a defined, finite amount of work.
    const SquareMatrix q = korvel::drift_generator(1.0, 1.0);
    SquareMatrix a(q.size());
    for (std::size_t i = 0; i < q.size(); ++i) {
        for (std::size_t j = 0; j < q.size(); ++j) a(i, j) = 1e40 * q(i, j);
    }
    ExpmPlan plan;
    (void)korvel::expm(a, &plan);
    EXPECT_EQ(plan.degree, 13);
    EXPECT_EQ(plan.squarings,
              static_cast<int>(std::ceil(std::log2(korvel::norm1(a) / 4.25))));
}

TEST(Expm, LongTimesKeepTheColumnsStochastic) {
    // A generator's exponential is a stochastic matrix. At the largest ages a
    // caller plausibly asks for, the 2^s-fold compounding of the
    // approximant's rounding in the stationary direction stays small.
    const SquareMatrix q = korvel::drift_generator(10.0, 10.0);
    for (double t : {1e2, 1e4}) {
        SquareMatrix a(q.size());
        for (std::size_t i = 0; i < q.size(); ++i) {
            for (std::size_t j = 0; j < q.size(); ++j) a(i, j) = t * q(i, j);
        }
        ExpmPlan plan;
        const SquareMatrix e = korvel::expm(a, &plan);
        for (std::size_t j = 0; j < q.size(); ++j) {
            double col = 0.0;
            for (std::size_t i = 0; i < q.size(); ++i) col += e(i, j);
            // About one ulp of error per Pade evaluation, doubled by each of
            // the s squarings: 2^s * 1e-16 with s = 22 at t = 1e4 is 4e-10.
            EXPECT_NEAR(col, 1.0, std::ldexp(2e-16, plan.squarings)) << "t=" << t << " s=" << plan.squarings;
        }
    }
}

}  // namespace
