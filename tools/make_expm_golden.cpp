// Writes tests/data/expm_golden.json: matrix exponentials as exact IEEE-754
// bit patterns, with the Pade degree and scaling count that produced them,
// so that tests/cpp/drift/test_expm_golden.cpp pins every bit of expm. A
// changed coefficient, threshold, degree rule or scaling count moves bits of
// some case even where the result stays accurate to 1e-14, which is all the
// accuracy tests can see.
//
// Build and run from the repository root:
//   g++ -std=c++20 -O2 -ffp-contract=off -fno-fast-math -I. -Isrc
//       tools/make_expm_golden.cpp src/drift/*.cpp src/core/*.cpp
//       src/optimizer/*.cpp -o /tmp/make_expm_golden -lpthread
//   /tmp/make_expm_golden > tests/data/expm_golden.json
// The output depends only on the C library's pow (through the degree
// choice). Before writing, the program checks every result against a
// long-double Taylor series with scaling and squaring, and that every case
// lands on the degree it was built for; it writes nothing if one does not.
//
// Format (JSON, one object):
//   "format": "korvel-expm-golden-1"
//   "doubles": as in model_golden.json, 16 hex digits of the bit pattern.
//   "cases": list of
//       {"id": text, "note": what the case pins,
//        "n": size, "input": [[i, j, "hex"], ...] the nonzero entries of A,
//        "degree": Pade degree, "squarings": s,
//        "result": ["hex", ...] the n*n entries of exp(A), row-major}
// Cases: every degree on dense and tridiagonal matrices; both sides of every
// degree threshold and of the first two scaling steps (adjacent scale
// factors found by bisection); scaling at exact powers of two of theta13;
// matrices where a higher power, not the lower one, decides the degree; and
// one drift generator t Q.
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "drift/drift.h"
#include "drift/expm.h"
#include "tests/support/splitmix.h"

namespace {

using korvel::ExpmPlan;
using korvel::SquareMatrix;

constexpr double kTheta3 = 0.01495585217958292;
constexpr double kTheta7 = 0.9504178996162932;

int g_failures = 0;

std::string hex(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "\"%016" PRIx64 "\"", std::bit_cast<std::uint64_t>(v));
    return buf;
}

SquareMatrix scaled(const SquareMatrix& a, double c) {
    SquareMatrix out(a.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        for (std::size_t j = 0; j < a.size(); ++j) out(i, j) = c * a(i, j);
    }
    return out;
}

// exp(A) in long double: Taylor series of 2^-k A with ||2^-k A||_1 <= 1/2
// (terms fall below 1e-30 after some 30 steps), then k squarings.
std::vector<long double> reference_expm(const SquareMatrix& a) {
    const std::size_t n = a.size();
    int k = 0;
    while (std::ldexp(korvel::norm1(a), -k) > 0.5) ++k;
    std::vector<long double> x(n * n), term(n * n, 0.0L), sum(n * n, 0.0L), next(n * n);
    for (std::size_t i = 0; i < n * n; ++i) x[i] = std::ldexp(static_cast<long double>(a(i / n, i % n)), -k);
    for (std::size_t i = 0; i < n; ++i) term[i * n + i] = sum[i * n + i] = 1.0L;
    for (int step = 1; step <= 60; ++step) {
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j) {
                long double v = 0.0L;
                for (std::size_t l = 0; l < n; ++l) v += term[i * n + l] * x[l * n + j];
                next[i * n + j] = v / step;
            }
        }
        term.swap(next);
        for (std::size_t i = 0; i < n * n; ++i) sum[i] += term[i];
    }
    for (int s = 0; s < k; ++s) {
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j) {
                long double v = 0.0L;
                for (std::size_t l = 0; l < n; ++l) v += sum[i * n + l] * sum[l * n + j];
                next[i * n + j] = v;
            }
        }
        sum.swap(next);
    }
    return sum;
}

ExpmPlan plan_of(const SquareMatrix& a) {
    ExpmPlan plan;
    (void)korvel::expm(a, &plan);
    return plan;
}

bool same_plan(const ExpmPlan& x, const ExpmPlan& y) {
    return x.degree == y.degree && x.squarings == y.squarings;
}

std::vector<std::string> g_cases;

void add_case(const std::string& id, const std::string& note, const SquareMatrix& a, ExpmPlan want) {
    ExpmPlan plan;
    const SquareMatrix e = korvel::expm(a, &plan);
    if (!same_plan(plan, want)) {
        std::fprintf(stderr, "%s: degree %d, %d squarings; built for %d, %d\n", id.c_str(), plan.degree,
                     plan.squarings, want.degree, want.squarings);
        ++g_failures;
    }
    const std::size_t n = a.size();
    const std::vector<long double> ref = reference_expm(a);
    long double biggest = 0.0L, worst = 0.0L;
    for (std::size_t i = 0; i < n * n; ++i) {
        biggest = std::max(biggest, std::fabs(ref[i]));
        worst = std::max(worst, std::fabs(ref[i] - e(i / n, i % n)));
    }
    // Backward error of a unit roundoff, rounding of the evaluation, and up
    // to 2^s growth of both through the squarings.
    if (!(worst <= std::ldexp(1e-14L, plan.squarings) * biggest)) {
        std::fprintf(stderr, "%s: off the long-double reference by %Lg of %Lg\n", id.c_str(), worst, biggest);
        ++g_failures;
    }
    std::string s = "    {\"id\": \"" + id + "\", \"note\": \"" + note + "\", \"n\": " + std::to_string(n) +
                    ", \"degree\": " + std::to_string(plan.degree) +
                    ", \"squarings\": " + std::to_string(plan.squarings) + ",\n     \"input\": [";
    bool first = true;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            if (a(i, j) == 0.0 && !std::signbit(a(i, j))) continue;
            s += (first ? "[" : ", [") + std::to_string(i) + ", " + std::to_string(j) + ", " + hex(a(i, j)) + "]";
            first = false;
        }
    }
    s += "],\n     \"result\": [";
    for (std::size_t i = 0; i < n * n; ++i) s += (i ? ", " : "") + hex(e(i / n, i % n));
    g_cases.push_back(s + "]}");
}

SquareMatrix random_matrix(std::size_t n, std::size_t band, std::uint64_t seed) {
    korvel_test::SplitMix rng{seed};
    SquareMatrix m(n);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            const double v = rng.uniform(-1.0, 1.0);
            if ((i > j ? i - j : j - i) <= band) m(i, j) = v;
        }
    }
    return m;
}

// The scale factor c, among 2^(k/16), closest to the middle (in log scale)
// of the range where c A gets the wanted plan.
double scale_for(const SquareMatrix& a, ExpmPlan want) {
    std::vector<int> hits;
    for (int k = -200; k <= 120; ++k) {
        if (same_plan(plan_of(scaled(a, std::exp2(k / 16.0))), want)) hits.push_back(k);
    }
    if (hits.empty()) {
        std::fprintf(stderr, "no scale gives degree %d with %d squarings\n", want.degree, want.squarings);
        ++g_failures;
        return 1.0;
    }
    return std::exp2(hits[hits.size() / 2] / 16.0);
}

// Adjacent doubles c_lo < c_hi where the plan of c A changes from `below` to
// `above`.
void add_boundary(const std::string& id, const SquareMatrix& a, ExpmPlan below, ExpmPlan above) {
    double lo = scale_for(a, below), hi = scale_for(a, above);
    for (;;) {
        const double mid = lo + (hi - lo) / 2;
        if (mid == lo || mid == hi) break;
        (same_plan(plan_of(scaled(a, mid)), below) ? lo : hi) = mid;
    }
    if (!same_plan(plan_of(scaled(a, hi)), above)) {
        std::fprintf(stderr, "%s: the plan changes to something other than the next one\n", id.c_str());
        ++g_failures;
    }
    const std::string what = "degree " + std::to_string(below.degree) + "/s=" + std::to_string(below.squarings) +
                             " -> " + std::to_string(above.degree) + "/s=" + std::to_string(above.squarings);
    add_case(id + "/below", "largest scale with " + what, scaled(a, lo), below);
    add_case(id + "/above", "next double scale, " + what, scaled(a, hi), above);
}

// A weighted shift: A(i, i + 1) = w[i], nilpotent, so ||A^k||_1 is the
// largest product of k consecutive weights.
SquareMatrix shift(const std::vector<double>& w) {
    SquareMatrix a(w.size() + 1);
    for (std::size_t i = 0; i < w.size(); ++i) a(i, i + 1) = w[i];
    return a;
}

double root_norm_of_power(const SquareMatrix& a, int k) {
    SquareMatrix p = a, t(a.size());
    for (int i = 1; i < k; ++i) {
        korvel::multiply(p, a.size() - 1, a, a.size() - 1, t);
        std::swap(p, t);
    }
    return std::pow(korvel::norm1(p), 1.0 / k);
}

}  // namespace

int main() {
    const ExpmPlan plans[] = {{3, 0}, {5, 0}, {7, 0}, {9, 0}, {13, 0}, {13, 1}, {13, 2}};

    // Every degree on a dense and a tridiagonal matrix, at the middle of its
    // range, and degree 13 with several squarings.
    const SquareMatrix dense = random_matrix(6, 5, 71);
    const SquareMatrix tri = random_matrix(16, 1, 72);
    for (const ExpmPlan& p : plans) {
        const std::string tag = "degree" + std::to_string(p.degree) + "_s" + std::to_string(p.squarings);
        add_case("dense/" + tag, "middle of the range of this plan", scaled(dense, scale_for(dense, p)), p);
        add_case("tridiagonal/" + tag, "middle of the range of this plan", scaled(tri, scale_for(tri, p)), p);
    }
    add_case("dense/degree13_s5", "five squarings", scaled(dense, scale_for(dense, {13, 5})), {13, 5});

    // Both sides of each threshold.
    const SquareMatrix dense5 = random_matrix(5, 4, 73);
    const SquareMatrix tri12 = random_matrix(12, 1, 74);
    for (std::size_t k = 0; k + 1 < std::size(plans); ++k) {
        const std::string tag = "threshold" + std::to_string(k + 1);
        add_boundary("dense5/" + tag, dense5, plans[k], plans[k + 1]);
        add_boundary("tridiagonal12/" + tag, tri12, plans[k], plans[k + 1]);
    }

    // eta5 / theta13 an exact power of two: 4.25 * 2^s takes exactly s
    // squarings (ceil(log2 2^s) = s, not s + 1). For a 1 x 1 matrix or a
    // diagonal one, d8 = ||A^8||^(1/8) comes out exact and decides eta5.
    for (int s = 0; s <= 3; ++s) {
        SquareMatrix one(1);
        one(0, 0) = (s % 2 ? -1.0 : 1.0) * std::ldexp(4.25, s);
        add_case("power_of_two/scalar_s" + std::to_string(s), "eta5 = theta13 * 2^s exactly", one, {13, s});
    }
    SquareMatrix diag(3);
    diag(0, 0) = -1.0;
    diag(1, 1) = 17.0;
    diag(2, 2) = 0.25;
    add_case("power_of_two/diagonal_s2", "eta5 = theta13 * 4 exactly", diag, {13, 2});

    // The degree-3/5 test takes max(d4, d6): here d4 <= theta3 < d6, so the
    // A^6 term alone calls for degree 5. Weights (a, a, b, b, a, a) with
    // a = 4b: every product of four consecutive weights is (ab)^2, the one
    // product of six is a^4 b^2.
    {
        const double b = kTheta3 / 2.2, a = 4.0 * b;
        const SquareMatrix m = shift({a, a, b, b, a, a});
        const double d4 = root_norm_of_power(m, 4), d6 = root_norm_of_power(m, 6);
        if (!(d4 <= kTheta3 && d6 > kTheta3)) {
            std::fprintf(stderr, "shift6: d4 = %g, d6 = %g do not straddle theta3\n", d4, d6);
            ++g_failures;
        }
        add_case("higher_power/d6_decides_degree5", "d4 <= theta3 < d6", m, {5, 0});
    }
    // Likewise for degrees 7/9, max(d6, d8): weights (a, a, b, b, b, b, a, a),
    // products of six (a b^2)^2, the one product of eight (ab)^4.
    {
        const double b = kTheta7 / 1.35, a = 2.0 * b;
        const SquareMatrix m = shift({a, a, b, b, b, b, a, a});
        const double d6 = root_norm_of_power(m, 6), d8 = root_norm_of_power(m, 8);
        if (!(d6 <= kTheta7 && d8 > kTheta7)) {
            std::fprintf(stderr, "shift8: d6 = %g, d8 = %g do not straddle theta7\n", d6, d8);
            ++g_failures;
        }
        add_case("higher_power/d8_decides_degree9", "d6 <= theta7 < d8", m, {9, 0});
    }

    // The drift model's use: t Q formed entry by entry, as propagate_drift does.
    {
        const SquareMatrix q = korvel::drift_generator(0.3, 0.7);
        add_case("drift/t0.5", "drift_generator(0.3, 0.7) at age 0.5", scaled(q, 0.5), plan_of(scaled(q, 0.5)));
    }

    if (g_failures) {
        std::fprintf(stderr, "%d failed checks; nothing written\n", g_failures);
        return 1;
    }
    std::printf("{\n  \"format\": \"korvel-expm-golden-1\",\n");
    std::printf("  \"generated_by\": \"tools/make_expm_golden.cpp\",\n");
    std::printf("  \"doubles\": \"16 hex digits of the IEEE-754 binary64 bit pattern, e.g. 3ff0000000000000 = 1.0\",\n");
    std::printf("  \"cases\": [\n");
    for (std::size_t i = 0; i < g_cases.size(); ++i) {
        std::printf("%s%s\n", g_cases[i].c_str(), i + 1 < g_cases.size() ? "," : "");
    }
    std::printf("  ]\n}\n");
    return 0;
}
