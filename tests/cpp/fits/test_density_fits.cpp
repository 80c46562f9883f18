// The per-density fits: boxes, seeds, Vmax and the rule that the reported NLL
// never carries the coefficient penalty.
//
// The data are synthetic: observed fractions are the binned model fractions at
// known parameters, so the NLL at those parameters is the cross-entropy of the
// data with itself, the smallest value any parameter set can reach. The fits
// that search the coefficients at given exponents must get there (up to the
// slack named below); the searches over exponents meet genuine local minima on
// such data (for instance exponents pinned at the edge of their box), so for
// them only the box, seed and result rules are checked.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/errors.h"
#include "core/state.h"
#include "fits/density_fits.h"
#include "model/model.h"

namespace {

using korvel::Bound;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// True parameters of the synthetic bin: strong cooperativity both ways gives
// the bimodal profile of a region that is either mostly methylated or mostly
// unmethylated, spread over all ten bins. (With a distribution packed into
// two bins the three parameters are nearly degenerate and fits wander along
// a flat valley.)
constexpr double kSt = 1.0;
constexpr double kCoW = 10.0;
constexpr double kCoE = 10.0;

constexpr Bound kStBounds{0.01, 10.0};
constexpr Bound kCoBounds{1e-3, 1e3};
constexpr Bound kExpBounds{1.0, 4.0};

// A polished minimum sits within the Nelder-Mead value tolerance (1e-10 on
// the simplex spread) of the true one, so a fit may end a little above the
// exact minimum; 1e-9 covers that with room and is far below any real miss.
constexpr double kValueSlack = 1e-9;
// Two fits keyed differently end where their polishes stop: the stop rule
// bounds the simplex's value spread, not the distance to the minimum, so in a
// flat valley two random paths have been seen to stop 1.4e-9 apart. 1e-7
// allows for that and is still far below a different local minimum.
constexpr double kUnseededSlack = 1e-7;

std::vector<double> tenth_edges() {
    std::vector<double> e;
    for (int i = 0; i <= 10; ++i) e.push_back(i / 10.0);
    return e;
}

std::vector<double> model_fracs(double st, double cow, double coe, bool normalize_stw,
                                double n_u = 2.0, double n_m = 2.0, double vmax = kInf) {
    const double ste = normalize_stw ? st : 1.0;
    const double stw = normalize_stw ? 1.0 : st;
    return korvel::binned_model_fracs(
        korvel::stationary_distribution(ste, stw, cow, coe, n_u, n_m, vmax), tenth_edges());
}

// Every field of a result, as bits, so that "identical" means identical,
// including the sign of zero.
std::vector<std::uint64_t> field_bits(std::initializer_list<double> fields) {
    std::vector<std::uint64_t> out;
    for (const double v : fields) out.push_back(std::bit_cast<std::uint64_t>(v));
    return out;
}
auto bits_of(const korvel::DensityFit& f) { return field_bits({f.st, f.cow, f.coe, f.nll}); }
auto bits_of(const korvel::DensityExpFit& f) {
    return field_bits({f.st, f.cow, f.coe, f.n_u, f.n_m, f.nll});
}
auto bits_of(const korvel::CoFit& f) { return field_bits({f.cow, f.coe, f.nll}); }
auto bits_of(const korvel::CoExpFit& f) { return field_bits({f.cow, f.coe, f.n_u, f.n_m, f.nll}); }
auto bits_of(const korvel::ExpFit& f) { return field_bits({f.n_u, f.n_m, f.nll}); }

// Runs the same seeded fit on two fresh threads at once: the result must not
// depend on the thread, on the call or on what runs beside it.
template <class F>
auto twice_on_threads(F&& fit) {
    using R = decltype(fit());
    R a{}, b{};
    std::thread ta([&] { a = fit(); });
    std::thread tb([&] { b = fit(); });
    ta.join();
    tb.join();
    return std::pair<R, R>{a, b};
}

void expect_in(double v, Bound b, const char* what) {
    EXPECT_GE(v, b.lo) << what;
    EXPECT_LE(v, b.hi) << what;
}

// Restores the run-wide ceiling even when an assertion ends a test early.
struct VmaxGuard {
    explicit VmaxGuard(double v) { korvel::set_mm_vmax(v); }
    ~VmaxGuard() { korvel::set_mm_vmax(kInf); }
};

class DensityFits : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        edges_ = tenth_edges();
        observed_ = model_fracs(kSt, kCoW, kCoE, true);
        true_nll_ = nll(kSt, kCoW, kCoE);
        baseline_ = fit3(0.0, 11);
    }

    static double nll(double st, double cow, double coe, double n_u = 2.0, double n_m = 2.0,
                      double vmax = kInf) {
        return korvel::model_nll(st, cow, coe, observed_, edges_, true, n_u, n_m, vmax);
    }
    static korvel::DensityFit fit3(double co_penalty, std::uint64_t seed) {
        return korvel::fit_one_density_inner(observed_, edges_, true, kStBounds, kCoBounds, 2.0,
                                             2.0, co_penalty, seed);
    }

    static std::vector<double> edges_;
    static std::vector<double> observed_;
    static double true_nll_;
    static korvel::DensityFit baseline_;  // three-parameter fit, no penalty, seed 11
};

std::vector<double> DensityFits::edges_;
std::vector<double> DensityFits::observed_;
double DensityFits::true_nll_ = 0.0;
korvel::DensityFit DensityFits::baseline_{};

TEST_F(DensityFits, ThreeParameterFitReachesTheMinimumInsideItsBox) {
    const auto& f = baseline_;
    expect_in(f.st, kStBounds, "st");
    expect_in(f.cow, kCoBounds, "cow");
    expect_in(f.coe, kCoBounds, "coe");
    ASSERT_TRUE(std::isfinite(f.nll));
    EXPECT_LE(f.nll, true_nll_ + kValueSlack);
    // Without a penalty the reported NLL is the objective's own value at the
    // returned point, and 10^x is how that point became (cow, coe).
    EXPECT_EQ(f.nll, nll(f.st, f.cow, f.coe) + korvel::co_penalty_term(0.0, f.cow, f.coe));
}

TEST_F(DensityFits, ThreeParameterSeededFitIsIdenticalOnEveryCallAndThread) {
    const auto [a, b] = twice_on_threads([] { return fit3(0.0, 11); });
    EXPECT_EQ(bits_of(a), bits_of(baseline_));
    EXPECT_EQ(bits_of(b), bits_of(baseline_));
}

TEST_F(DensityFits, ThreeParameterFitOfStwWhenNotNormalised) {
    // Scaling every rate leaves the stationary distribution unchanged, so data
    // made with StE = 1, StW = 2 are fitted as well with StW = 1, StE = 0.5
    // and halved coefficients: only the returned values show which of the two
    // rates the fit held at 1.
    const double stw = 2.0;
    const auto observed = model_fracs(stw, kCoW, kCoE, false);
    const auto f = korvel::fit_one_density_inner(observed, edges_, false, kStBounds, kCoBounds,
                                                 2.0, 2.0, 0.0, 5);
    expect_in(f.st, kStBounds, "st");
    const double at_truth =
        korvel::model_nll(stw, kCoW, kCoE, observed, edges_, false, 2.0, 2.0, kInf);
    EXPECT_LE(f.nll, at_truth + kValueSlack);
    EXPECT_EQ(f.nll, korvel::model_nll(f.st, f.cow, f.coe, observed, edges_, false, 2.0, 2.0,
                                       kInf));
    // On these bimodal data fits from any seed land within about 1e-4
    // (relative) of the truth; the other mapping would give 0.5, 5, 5.
    EXPECT_NEAR(f.st, stw, 1e-2 * stw);
    EXPECT_NEAR(f.cow, kCoW, 1e-2 * kCoW);
    EXPECT_NEAR(f.coe, kCoE, 1e-2 * kCoE);
}

TEST_F(DensityFits, PositivePenaltyShrinksCoefficientsAndIsLeftOutOfTheNll) {
    const double w = 1.0;
    const auto p = fit3(w, 11);
    expect_in(p.cow, kCoBounds, "cow");
    expect_in(p.coe, kCoBounds, "coe");
    // The plain NLL at the returned parameters, not NLL + w * (cow + coe).
    EXPECT_EQ(p.nll, nll(p.st, p.cow, p.coe));
    // The search minimised NLL + penalty, so its point beats the unpenalised
    // optimum on that measure, and loses to it on the NLL alone.
    const double pen_at_p = p.nll + korvel::co_penalty_term(w, p.cow, p.coe);
    const double pen_at_base =
        baseline_.nll + korvel::co_penalty_term(w, baseline_.cow, baseline_.coe);
    EXPECT_LE(pen_at_p, pen_at_base + kValueSlack);
    EXPECT_GE(p.nll, baseline_.nll - kValueSlack);
    EXPECT_LT(p.cow + p.coe, baseline_.cow + baseline_.coe);
}

TEST_F(DensityFits, NegativeAndNaNPenalties) {
    // w < 0 adds |w| * (log10 cow + log10 coe), which also pulls the
    // coefficients down; the NLL is again rescored without it.
    const auto n = fit3(-0.5, 11);
    EXPECT_EQ(n.nll, nll(n.st, n.cow, n.coe));
    EXPECT_GE(n.nll, baseline_.nll - kValueSlack);
    EXPECT_LT(std::log10(n.cow) + std::log10(n.coe),
              std::log10(baseline_.cow) + std::log10(baseline_.coe));

    // A NaN weight adds nothing, so the search runs exactly as with 0.
    const auto q = fit3(kNaN, 11);
    EXPECT_EQ(bits_of(q), bits_of(baseline_));
}

TEST_F(DensityFits, ThreeParameterFitUsesTheRunWideVmax) {
    const VmaxGuard guard(1.0);
    const auto f = fit3(0.0, 11);
    ASSERT_TRUE(std::isfinite(f.nll));
    // Only a ceiling that binds makes this test mean something.
    ASSERT_NE(nll(f.st, f.cow, f.coe, 2.0, 2.0, 1.0), nll(f.st, f.cow, f.coe));
    EXPECT_EQ(f.nll, nll(f.st, f.cow, f.coe, 2.0, 2.0, 1.0));
}

TEST_F(DensityFits, FiveParameterFitWithPinnedExponentsMatchesThreeParameterFit) {
    const Bound pinned{2.0, 2.0};
    const auto [a, b] = twice_on_threads([&] {
        return korvel::fit_one_density_exp_inner(observed_, edges_, true, kStBounds, kCoBounds,
                                                 pinned, 0.0, 3);
    });
    EXPECT_EQ(bits_of(a), bits_of(b));
    // A zero-width box: drawn, mutated and clamped, the exponents stay 2.
    EXPECT_EQ(a.n_u, 2.0);
    EXPECT_EQ(a.n_m, 2.0);
    EXPECT_EQ(a.nll, nll(a.st, a.cow, a.coe, 2.0, 2.0));
    EXPECT_LE(a.nll, true_nll_ + kValueSlack);
    // Same objective, different random paths: both polish into the same
    // minimum and stop once the simplex values agree to 1e-10, which leaves
    // the parameters about 1e-5 apart (relative) on these data; 1e-3 only
    // fails when a fit lands in another basin.
    EXPECT_NEAR(a.st, baseline_.st, 1e-3 * baseline_.st);
    EXPECT_NEAR(a.cow, baseline_.cow, 1e-3 * baseline_.cow);
    EXPECT_NEAR(a.coe, baseline_.coe, 1e-3 * baseline_.coe);
}

TEST_F(DensityFits, FiveParameterFitSearchesExponentsAndDropsThePenalty) {
    const auto observed = model_fracs(kSt, kCoW, kCoE, true, 3.0, 1.5);
    const double w = 0.1;
    const auto f = korvel::fit_one_density_exp_inner(observed, edges_, true, kStBounds, kCoBounds,
                                                     kExpBounds, w, 9);
    expect_in(f.st, kStBounds, "st");
    expect_in(f.cow, kCoBounds, "cow");
    expect_in(f.coe, kCoBounds, "coe");
    expect_in(f.n_u, kExpBounds, "n_u");
    expect_in(f.n_m, kExpBounds, "n_m");
    const auto plain = [&](double st, double cow, double coe, double n_u, double n_m) {
        return korvel::model_nll(st, cow, coe, observed, edges_, true, n_u, n_m, kInf);
    };
    EXPECT_EQ(f.nll, plain(f.st, f.cow, f.coe, f.n_u, f.n_m));
}

TEST_F(DensityFits, CoefficientFitAtFixedSt) {
    const auto [a, b] = twice_on_threads([] {
        return korvel::fit_co_fixed_st_inner(observed_, edges_, true, kSt, 2.0, 2.0, kCoBounds,
                                             0.0, kInf, std::uint64_t{4});
    });
    EXPECT_EQ(bits_of(a), bits_of(b));
    expect_in(a.cow, kCoBounds, "cow");
    expect_in(a.coe, kCoBounds, "coe");
    EXPECT_EQ(a.nll, nll(kSt, a.cow, a.coe));
    EXPECT_LE(a.nll, true_nll_ + kValueSlack);

    // Unseeded: another random path to the same minimum.
    const auto e = korvel::fit_co_fixed_st_inner(observed_, edges_, true, kSt, 2.0, 2.0,
                                                 kCoBounds, 0.0, kInf, std::nullopt);
    EXPECT_NEAR(e.nll, a.nll, kUnseededSlack);
}

TEST_F(DensityFits, CoefficientFitAtFixedStTakesVmaxAndPenaltyFromItsArguments) {
    // The run-wide ceiling stays +inf; the argument alone must bind.
    const double vmax = 1.0;
    const auto capped = [&](double cow, double coe) { return nll(kSt, cow, coe, 2.0, 2.0, vmax); };
    const auto f = korvel::fit_co_fixed_st_inner(observed_, edges_, true, kSt, 2.0, 2.0,
                                                 kCoBounds, 0.0, vmax, std::uint64_t{4});
    ASSERT_NE(capped(f.cow, f.coe), nll(kSt, f.cow, f.coe));
    EXPECT_EQ(f.nll, capped(f.cow, f.coe));

    const double w = 2.0;
    const auto p = korvel::fit_co_fixed_st_inner(observed_, edges_, true, kSt, 2.0, 2.0,
                                                 kCoBounds, w, vmax, std::uint64_t{4});
    EXPECT_EQ(p.nll, capped(p.cow, p.coe));
    EXPECT_LT(p.cow + p.coe, f.cow + f.coe);
}

TEST_F(DensityFits, CoefficientAndExponentFitAtFixedSt) {
    const auto observed = model_fracs(kSt, kCoW, kCoE, true, 3.0, 1.5);
    const auto plain = [&](double cow, double coe, double n_u, double n_m) {
        return korvel::model_nll(kSt, cow, coe, observed, edges_, true, n_u, n_m, kInf);
    };
    const auto [a, b] = twice_on_threads([&] {
        return korvel::fit_co_exp_fixed_st_inner(observed, edges_, true, kSt, kCoBounds,
                                                 kExpBounds, 0.0, kInf, 8);
    });
    EXPECT_EQ(bits_of(a), bits_of(b));
    expect_in(a.cow, kCoBounds, "cow");
    expect_in(a.coe, kCoBounds, "coe");
    expect_in(a.n_u, kExpBounds, "n_u");
    expect_in(a.n_m, kExpBounds, "n_m");
    EXPECT_EQ(a.nll, plain(a.cow, a.coe, a.n_u, a.n_m));

    const auto n = korvel::fit_co_exp_fixed_st_inner(observed, edges_, true, kSt, kCoBounds,
                                                     kExpBounds, -1.0, kInf, 8);
    EXPECT_EQ(n.nll, plain(n.cow, n.coe, n.n_u, n.n_m));
}

TEST_F(DensityFits, ExponentFitAtFixedCoefficientsReportsThePlainNll) {
    const auto observed = model_fracs(kSt, kCoW, kCoE, true, 3.0, 1.5);
    const double vmax = 4.0;
    const auto plain = [&](double n_u, double n_m, double v) {
        return korvel::model_nll(kSt, kCoW, kCoE, observed, edges_, true, n_u, n_m, v);
    };
    const auto [a, b] = twice_on_threads([&] {
        return korvel::fit_exp_fixed_co_inner(observed, edges_, true, kSt, kCoW, kCoE, kExpBounds,
                                              vmax, 6);
    });
    EXPECT_EQ(bits_of(a), bits_of(b));
    expect_in(a.n_u, kExpBounds, "n_u");
    expect_in(a.n_m, kExpBounds, "n_m");
    // No penalty term of any kind, and the Vmax of the argument.
    EXPECT_EQ(a.nll, plain(a.n_u, a.n_m, vmax));
    ASSERT_NE(plain(a.n_u, a.n_m, vmax), plain(a.n_u, a.n_m, kInf));
}

// Smallest NLL over log10 of the searched coefficient, the other coefficient
// held fixed: steps of 0.01 across the coefficient box, then steps of 1e-4
// around the best of them. A profile curved by as much as 1e3 per squared
// decade is then missed by at most about 1e3 * (5e-5)^2 / 2 ~ 1e-6.
template <class F>
double fine_profile(F&& nll_at) {
    const auto at = [&](double x) { return nll_at(std::pow(10.0, x)); };
    double best = kInf;
    double best_x = 0.0;
    for (int i = 0; i <= 600; ++i) {
        const double x = -3.0 + i / 100.0;
        if (const double v = at(x); v < best) {
            best = v;
            best_x = x;
        }
    }
    for (int i = -100; i <= 100; ++i) {
        const double x = std::clamp(best_x + i / 1e4, -3.0, 3.0);
        best = std::min(best, at(x));
    }
    return best;
}

TEST_F(DensityFits, SingleCoefficientFitIsAProfilePoint) {
    // Lopsided data (StE = 2, StW = 1), so that fixing CoW and fixing CoE at
    // the same wrong value give different profiles.
    const double ste = 2.0;
    const auto observed = model_fracs(ste, kCoW, kCoE, true);
    const auto plain = [&](double cow, double coe) {
        return korvel::model_nll(ste, cow, coe, observed, edges_, true, 2.0, 2.0, kInf);
    };
    // Observed and model fractions both sum to 1, so no parameters can score
    // below the data's own cross-entropy (Gibbs' inequality).
    const double floor = plain(kCoW, kCoE);
    for (const bool fix_cow : {true, false}) {
        for (const double fixed : {kCoW, 50.0}) {
            SCOPED_TRACE(std::string(fix_cow ? "CoW" : "CoE") + " fixed at " +
                         std::to_string(fixed));
            const double profile = fine_profile(
                [&](double c) { return fix_cow ? plain(fixed, c) : plain(c, fixed); });
            const double mirrored = fine_profile(
                [&](double c) { return fix_cow ? plain(c, fixed) : plain(fixed, c); });
            if (fixed != kCoW) {
                // Otherwise this case could not tell which coefficient was fixed.
                ASSERT_GT(std::abs(profile - mirrored), 1e-2);
            }
            const double v = korvel::fit_single_co_inner(observed, edges_, true, ste, fixed,
                                                         fix_cow, 2.0, 2.0, kCoBounds);
            // Minimised over the searched coefficient: no worse than the grid,
            // and better than it by no more than the grid can miss (1e-4
            // allowed, a hundred times that).
            EXPECT_LE(v, profile + kValueSlack);
            EXPECT_NEAR(v, profile, 1e-4);
            EXPECT_GE(v, floor - kValueSlack);
        }
    }
}

TEST_F(DensityFits, SingleCoefficientFitUsesTheRunWideVmax) {
    // CoW fixed far above the truth; the CoE profile with and without a
    // ceiling of 1 on the cooperative drives.
    const double capped = fine_profile([](double coe) { return nll(kSt, 50.0, coe, 2.0, 2.0, 1.0); });
    const double free = fine_profile([](double coe) { return nll(kSt, 50.0, coe); });
    // The ceiling must move the profile by far more than the grid can miss,
    // or this test could not tell which ceiling the fit used.
    ASSERT_GT(std::abs(capped - free), 1e-2);

    const VmaxGuard guard(1.0);
    const double v = korvel::fit_single_co_inner(observed_, edges_, true, kSt, 50.0, true, 2.0,
                                                 2.0, kCoBounds);
    EXPECT_LE(v, capped + kValueSlack);
    EXPECT_NEAR(v, capped, 1e-4);  // what the grid can miss, as above
}

template <class F>
void expect_internal_error(F&& f, const std::string& needle) {
    try {
        f();
        ADD_FAILURE() << "no InternalError; expected one mentioning \"" << needle << "\"";
    } catch (const korvel::InternalError& e) {
        EXPECT_NE(std::string(e.what()).find(needle), std::string::npos) << e.what();
    }
}

TEST_F(DensityFits, BadBoundsEndTheFitWithAnInternalError) {
    const std::string clamp_msg = "min > max, or either was NaN";
    const auto fit3_with = [](Bound st, Bound co) {
        return [=] {
            korvel::fit_one_density_inner(observed_, edges_, true, st, co, 2.0, 2.0, 0.0, 1);
        };
    };
    expect_internal_error(fit3_with({10.0, 0.01}, kCoBounds), clamp_msg);
    expect_internal_error(fit3_with({kNaN, 10.0}, kCoBounds), clamp_msg);
    expect_internal_error(fit3_with(kStBounds, {1e3, 1e-3}), clamp_msg);
    expect_internal_error(fit3_with(kStBounds, {1e-3, kNaN}), clamp_msg);
    expect_internal_error(fit3_with(kStBounds, {0.0, 1e3}), "co_bounds must be positive");
    expect_internal_error(fit3_with(kStBounds, {0.0, 0.0}), "co_bounds must be positive");
    // log10 of a negative end is NaN, which the clamp refuses.
    expect_internal_error(fit3_with(kStBounds, {-1.0, 1e3}), clamp_msg);

    expect_internal_error(
        [] {
            korvel::fit_one_density_exp_inner(observed_, edges_, true, kStBounds, kCoBounds,
                                              {4.0, 1.0}, 0.0, 1);
        },
        clamp_msg);
    expect_internal_error(
        [] {
            korvel::fit_co_fixed_st_inner(observed_, edges_, true, kSt, 2.0, 2.0, {0.0, 1.0},
                                          0.0, kInf, std::nullopt);
        },
        "co_bounds must be positive");
    expect_internal_error(
        [] {
            korvel::fit_co_exp_fixed_st_inner(observed_, edges_, true, kSt, kCoBounds,
                                              {1.0, kNaN}, 0.0, kInf, 1);
        },
        clamp_msg);
    expect_internal_error(
        [] {
            korvel::fit_exp_fixed_co_inner(observed_, edges_, true, kSt, kCoW, kCoE, {3.0, 2.0},
                                           kInf, 1);
        },
        clamp_msg);
    expect_internal_error(
        [] {
            korvel::fit_single_co_inner(observed_, edges_, true, kSt, kCoW, true, 2.0, 2.0,
                                        {1e3, 1e-3});
        },
        clamp_msg);
    expect_internal_error(
        [] {
            korvel::fit_single_co_inner(observed_, edges_, true, kSt, kCoW, true, 2.0, 2.0,
                                        {0.0, 1e3});
        },
        "co_bounds must be positive");
}

}  // namespace
