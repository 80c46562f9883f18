// Writes tests/data/model_golden.json: results of the model evaluated with the
// plain dense reference solve, as exact IEEE-754 bit patterns, so
// that any faster solve can be checked against it bit for bit from Python
// (py_compute_model_fracs, py_compute_nll) and from C++
// (tests/cpp/model/test_golden.cpp).
//
// Build and run from the repository root:
//   g++ -std=c++20 -O2 -ffp-contract=off -fno-fast-math -I. -Isrc
//       tools/make_model_golden.cpp src/model/*.cpp -o /tmp/make_model_golden
//   /tmp/make_model_golden > tests/data/model_golden.json
// The output depends only on the C library's pow and log (and is identical
// with the fast solve in place: the program checks that before writing).
//
// Format (JSON, one object):
//   "format":  "korvel-model-golden-1"
//   "doubles": how doubles are written: every double, input or result, is a
//              string of 16 lower-case hex digits, the IEEE-754 binary64 bit
//              pattern (big-endian hex of the 64-bit integer), for example
//              "3ff0000000000000" is 1.0 and "7ff0000000000000" is +inf.
//              In Python: struct.unpack("<d", int(s, 16).to_bytes(8, "little"))[0].
//              Results are compared bit for bit, except that a NaN result
//              matches any NaN: the sign and payload of a NaN depend on the
//              operand order the compiler picked, not on the algorithm.
//   "model_fracs": list of cases for py_compute_model_fracs, each
//       {"id": text, "note": readable inputs,
//        "raw_count": bool   -> py_set_raw_count(raw_count) before the call,
//        "mm_vmax":  double  -> py_set_mm_vmax(mm_vmax) before the call,
//        "ste", "stw", "cow", "coe": double,
//        "edges":  [double, ...]  (meth_bin_edges),
//        "result": [double, ...]} (the n_meth_bins returned floats)
//     result = binned_model_fracs(stationary_distribution_reference(
//                  ste, stw, cow, coe, 2.0, 2.0, mm_vmax), edges)
//   "nll": list of cases for py_compute_nll, each
//       {"id", "note", "raw_count", "mm_vmax" as above,
//        "params": [St, CoW, CoE] (doubles),
//        "observed": [double, ...] (observed_fracs),
//        "edges": [double, ...], "normalize_stw": bool,
//        "result": double}
//     result = model_nll(St, CoW, CoE, observed, edges, normalize_stw, 2.0,
//                        2.0, mm_vmax), with the distribution from the
//              reference solve.
// Most cases use the defaults (raw_count false, mm_vmax +inf); a few set
// the raw-count mode or a finite ceiling.
#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "core/state.h"
#include "model/model.h"
#include "tests/support/splitmix.h"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string hex(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "\"%016" PRIx64 "\"", std::bit_cast<std::uint64_t>(v));
    return buf;
}

std::string hex_list(std::span<const double> v) {
    std::string s = "[";
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (i) s += ", ";
        s += hex(v[i]);
    }
    return s + "]";
}

std::string readable(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

bool same_bits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

int g_failures = 0;

// The reference distribution, also checked against the public (fast) solve:
// entries equal, or both NaN (a zero may differ in sign; the bins cannot see it).
korvel::StateVector reference(double ste, double stw, double cow, double coe, double vmax) {
    const korvel::StateVector p = korvel::stationary_distribution_reference(ste, stw, cow, coe, 2.0, 2.0, vmax);
    const korvel::StateVector q = korvel::stationary_distribution(ste, stw, cow, coe, 2.0, 2.0, vmax);
    for (std::size_t i = 0; i < p.size(); ++i) {
        if (!(p[i] == q[i] || (std::isnan(p[i]) && std::isnan(q[i])))) {
            std::fprintf(stderr, "stationary_distribution differs from the reference at %zu\n", i);
            ++g_failures;
        }
    }
    return p;
}

struct Settings {
    bool raw_count = false;
    double vmax = kInf;
};

std::string settings_json(const Settings& s) {
    return std::string("\"raw_count\": ") + (s.raw_count ? "true" : "false") + ", \"mm_vmax\": " + hex(s.vmax);
}

std::string fracs_case(const std::string& id, const Settings& s, double ste, double stw, double cow,
                       double coe, const std::vector<double>& edges) {
    korvel::set_raw_count(s.raw_count);
    const korvel::StateVector p = reference(ste, stw, cow, coe, s.vmax);
    const std::vector<double> f = korvel::binned_model_fracs(p, edges);
    const std::vector<double> g =
        korvel::binned_model_fracs(korvel::stationary_distribution(ste, stw, cow, coe, 2.0, 2.0, s.vmax), edges);
    for (std::size_t i = 0; i < f.size(); ++i) {
        if (!same_bits(f[i], g[i])) {
            std::fprintf(stderr, "%s: fractions differ from the public solve at %zu\n", id.c_str(), i);
            ++g_failures;
        }
    }
    korvel::set_raw_count(false);
    const std::string note = "ste=" + readable(ste) + " stw=" + readable(stw) + " cow=" + readable(cow) +
                             " coe=" + readable(coe) + " vmax=" + readable(s.vmax) +
                             (s.raw_count ? " raw_count" : "");
    return "    {\"id\": \"" + id + "\", \"note\": \"" + note + "\", " + settings_json(s) +
           ",\n     \"ste\": " + hex(ste) + ", \"stw\": " + hex(stw) + ", \"cow\": " + hex(cow) +
           ", \"coe\": " + hex(coe) + ",\n     \"edges\": " + hex_list(edges) +
           ",\n     \"result\": " + hex_list(f) + "}";
}

std::string nll_case(const std::string& id, const Settings& s, double st, double cow, double coe,
                     const std::vector<double>& observed, const std::vector<double>& edges, bool normalize_stw) {
    korvel::set_raw_count(s.raw_count);
    const double ste = normalize_stw ? st : 1.0;
    const double stw = normalize_stw ? 1.0 : st;
    const korvel::StateVector p = reference(ste, stw, cow, coe, s.vmax);
    const std::vector<double> f = korvel::binned_model_fracs(p, edges);
    const std::size_t n = observed.size() < f.size() ? observed.size() : f.size();
    double nll = 0.0;
    for (std::size_t i = 0; i < n; ++i) nll = nll - std::log(f[i]) * observed[i];
    const double pub = korvel::model_nll(st, cow, coe, observed, edges, normalize_stw, 2.0, 2.0, s.vmax);
    if (!same_bits(nll, pub)) {
        std::fprintf(stderr, "%s: model_nll differs from the reference\n", id.c_str());
        ++g_failures;
    }
    korvel::set_raw_count(false);
    const std::string note = "st=" + readable(st) + " cow=" + readable(cow) + " coe=" + readable(coe) +
                             " vmax=" + readable(s.vmax) + (normalize_stw ? " normalize_stw" : "") +
                             (s.raw_count ? " raw_count" : "");
    const double params[3] = {st, cow, coe};
    return "    {\"id\": \"" + id + "\", \"note\": \"" + note + "\", " + settings_json(s) +
           ",\n     \"params\": " + hex_list(params) + ", \"normalize_stw\": " +
           (normalize_stw ? "true" : "false") + ",\n     \"observed\": " + hex_list(observed) +
           ",\n     \"edges\": " + hex_list(edges) + ",\n     \"result\": " + hex(nll) + "}";
}


}  // namespace

int main() {
    std::vector<double> ten(11);
    for (int j = 0; j <= 10; ++j) ten[static_cast<std::size_t>(j)] = j / 10.0;
    const std::vector<double> half{0.0, 0.5, 1.0};
    const std::vector<double> one{0.0, 1.0};
    const std::vector<double> inner{0.1, 0.9};
    const std::vector<double> unreachable{0.0, 0.001, 0.01, 0.5, 1.0};
    const std::vector<double> single{0.5};
    const std::vector<double> unsorted{0.0, 0.6, 0.3, 1.0};
    const std::vector<double> nan_edge{0.0, kNaN, 0.5, 1.0};
    const std::vector<double> five{0.0, 0.2, 0.4, 0.6, 0.8, 1.0};

    const Settings def;
    const Settings raw{true, kInf};
    const Settings sat{false, 50.0};
    const Settings raw_sat{true, 1e4};
    const Settings zero_vmax{false, 0.0};
    const Settings nan_vmax{false, kNaN};
    const Settings neg_inf_vmax{false, -kInf};

    std::vector<std::string> fr;
    struct Rates { const char* id; double ste, stw, cow, coe; };
    const Rates rates[] = {
        {"typical", 0.5, 1.0, 3.0, 2.0},
        {"low_st", 0.01, 1.0, 100.0, 0.001},
        {"high_co", 1.0, 0.2, 1000.0, 1000.0},
        {"write_dominant", 0.05, 1.0, 500.0, 0.01},
        {"erase_dominant", 1.0, 0.05, 0.01, 500.0},
        {"bistable", 0.1, 0.1, 50.0, 50.0},
        {"symmetric", 0.7, 0.7, 3.0, 3.0},
        {"binomial", 1.0, 1.0, 0.0, 0.0},
        {"binomial_skew", 0.3, 2.0, 0.0, 0.0},
        {"all_zero", 0.0, 0.0, 0.0, 0.0},
        {"no_spontaneous", 0.0, 0.0, 1.0, 1.0},
        {"no_writing", 1.0, 0.0, 0.0, 1.0},
        {"no_erasing", 0.0, 1.0, 1.0, 0.0},
        {"huge_rates", 1e300, 1e300, 1e300, 1e300},
        {"tiny_rates", 1e-300, 1e-300, 1e-300, 1e-300},
        {"denormal_rates", 5e-324, 1e-310, 4e-320, 2e-315},
        {"mixed_scales", 1e-200, 1e200, 1e-5, 1e5},
        {"negative_rate", -0.5, 1.0, 2.0, 3.0},
        {"negative_zero", -0.0, 1.0, -0.0, 2.0},
        {"nan_ste", kNaN, 1.0, 1.0, 1.0},
        {"nan_coe", 1.0, 1.0, 1.0, kNaN},
        {"inf_stw", 1.0, kInf, 1.0, 1.0},
        {"inf_cow", 1.0, 1.0, kInf, 1.0},
        {"neg_inf_ste", -kInf, 1.0, 1.0, 1.0},
    };
    for (const Rates& r : rates) fr.push_back(fracs_case(std::string(r.id) + "/ten", def, r.ste, r.stw, r.cow, r.coe, ten));
    // Settings other than the defaults.
    fr.push_back(fracs_case("typical/raw", raw, 0.5, 1.0, 3e-4, 2e-4, ten));
    fr.push_back(fracs_case("typical/vmax50", sat, 0.5, 1.0, 300.0, 200.0, ten));
    fr.push_back(fracs_case("typical/raw_vmax", raw_sat, 0.5, 1.0, 3.0, 2.0, ten));
    fr.push_back(fracs_case("typical/vmax0", zero_vmax, 0.5, 1.0, 3.0, 2.0, ten));
    fr.push_back(fracs_case("zero_coef/vmax0", zero_vmax, 0.5, 1.0, 0.0, 2.0, ten));
    fr.push_back(fracs_case("typical/vmax_nan", nan_vmax, 0.5, 1.0, 3.0, 2.0, ten));
    fr.push_back(fracs_case("typical/vmax_neg_inf", neg_inf_vmax, 0.5, 1.0, 3.0, 2.0, ten));
    // Edge vectors.
    fr.push_back(fracs_case("typical/half", def, 0.5, 1.0, 3.0, 2.0, half));
    fr.push_back(fracs_case("typical/one", def, 0.5, 1.0, 3.0, 2.0, one));
    fr.push_back(fracs_case("typical/inner", def, 0.5, 1.0, 3.0, 2.0, inner));
    fr.push_back(fracs_case("typical/unreachable", def, 0.5, 1.0, 3.0, 2.0, unreachable));
    fr.push_back(fracs_case("typical/single_edge", def, 0.5, 1.0, 3.0, 2.0, single));
    fr.push_back(fracs_case("typical/unsorted", def, 0.5, 1.0, 3.0, 2.0, unsorted));
    fr.push_back(fracs_case("typical/nan_edge", def, 0.5, 1.0, 3.0, 2.0, nan_edge));
    fr.push_back(fracs_case("bistable/five", def, 0.1, 0.1, 50.0, 50.0, five));
    // Draws from a fit's box: St in (0.01, 10), CoW, CoE log-uniform in (1e-3, 1e3).
    korvel_test::SplitMix rng{20261207};
    for (int i = 0; i < 24; ++i) {
        const double st = rng.log_uniform(0.01, 10.0);
        const double cow = rng.log_uniform(1e-3, 1e3);
        const double coe = rng.log_uniform(1e-3, 1e3);
        const bool ste_free = (i % 2) == 0;
        fr.push_back(fracs_case("drawn" + std::to_string(i), def, ste_free ? st : 1.0, ste_free ? 1.0 : st, cow, coe,
                                (i % 3) == 2 ? five : ten));
    }

    std::vector<std::string> nl;
    const std::vector<double> obs10{0.02, 0.05, 0.08, 0.1, 0.15, 0.2, 0.15, 0.1, 0.08, 0.07};
    const std::vector<double> obs_zero(10, 0.0);
    const std::vector<double> obs_long{0.02, 0.05, 0.08, 0.1, 0.15, 0.2, 0.15, 0.1, 0.08, 0.07, 5.0, 9.0};
    const std::vector<double> obs_short{0.3, 0.2, 0.1};
    const std::vector<double> obs_odd{-0.1, 2.0, 0.0, 1e-300, 0.5, 0.25, 3.0, 0.0, 0.1, 7.0};
    const std::vector<double> obs2{0.4, 0.6};
    const std::vector<double> obs1{0.37};
    const std::vector<double> obs5{0.1, 0.2, 0.3, 0.2, 0.2};
    const std::vector<double> obs_empty;

    nl.push_back(nll_case("typical/stw_norm", def, 0.5, 3.0, 2.0, obs10, ten, true));
    nl.push_back(nll_case("typical/ste_norm", def, 0.5, 3.0, 2.0, obs10, ten, false));
    nl.push_back(nll_case("zero_observed", def, 0.5, 3.0, 2.0, obs_zero, ten, true));
    nl.push_back(nll_case("long_observed", def, 0.5, 3.0, 2.0, obs_long, ten, true));
    nl.push_back(nll_case("short_observed", def, 0.5, 3.0, 2.0, obs_short, ten, false));
    nl.push_back(nll_case("empty_observed", def, 0.5, 3.0, 2.0, obs_empty, ten, false));
    nl.push_back(nll_case("odd_observed", def, 2.0, 0.3, 20.0, obs_odd, ten, true));
    nl.push_back(nll_case("half", def, 0.5, 3.0, 2.0, obs2, half, true));
    nl.push_back(nll_case("one_bin", def, 0.5, 3.0, 2.0, obs1, one, true));
    nl.push_back(nll_case("inner", def, 0.5, 3.0, 2.0, obs1, inner, false));
    nl.push_back(nll_case("single_edge", def, 0.5, 3.0, 2.0, obs1, single, true));
    nl.push_back(nll_case("unreachable", def, 0.5, 3.0, 2.0, obs5, unreachable, true));
    nl.push_back(nll_case("binomial", def, 1.0, 0.0, 0.0, obs10, ten, true));
    nl.push_back(nll_case("all_zero", def, 0.0, 0.0, 0.0, obs10, ten, true));
    nl.push_back(nll_case("high_co", def, 0.01, 1000.0, 1000.0, obs10, ten, true));
    nl.push_back(nll_case("huge", def, 1e300, 1e300, 1e-300, obs10, ten, false));
    nl.push_back(nll_case("denormal", def, 5e-324, 1e-310, 3.0, obs10, ten, true));
    nl.push_back(nll_case("nan_st", def, kNaN, 1.0, 1.0, obs10, ten, true));
    nl.push_back(nll_case("inf_cow", def, 1.0, kInf, 1.0, obs10, ten, false));
    nl.push_back(nll_case("raw", raw, 0.5, 3e-4, 2e-4, obs10, ten, true));
    nl.push_back(nll_case("vmax50", sat, 0.5, 300.0, 200.0, obs10, ten, true));
    nl.push_back(nll_case("raw_vmax", raw_sat, 0.5, 3.0, 2.0, obs10, ten, false));
    nl.push_back(nll_case("vmax0", zero_vmax, 0.5, 3.0, 2.0, obs10, ten, true));
    nl.push_back(nll_case("vmax0_zero_coef", zero_vmax, 0.5, 0.0, 2.0, obs10, ten, true));
    for (int i = 0; i < 24; ++i) {
        const double st = rng.log_uniform(0.01, 10.0);
        const double cow = rng.log_uniform(1e-3, 1e3);
        const double coe = rng.log_uniform(1e-3, 1e3);
        nl.push_back(nll_case("drawn" + std::to_string(i), def, st, cow, coe, (i % 3) == 2 ? obs5 : obs10,
                              (i % 3) == 2 ? five : ten, (i % 2) == 0));
    }

    if (g_failures) {
        std::fprintf(stderr, "%d mismatches between the public functions and the reference; nothing written\n",
                     g_failures);
        return 1;
    }
    std::printf("{\n  \"format\": \"korvel-model-golden-1\",\n");
    std::printf("  \"generated_by\": \"tools/make_model_golden.cpp\",\n");
    std::printf("  \"doubles\": \"16 hex digits of the IEEE-754 binary64 bit pattern, e.g. 3ff0000000000000 = 1.0\",\n");
    std::printf("  \"exponents\": \"n_U = n_M = 2.0 in every case, as in py_compute_model_fracs and py_compute_nll\",\n");
    std::printf("  \"model_fracs\": [\n");
    for (std::size_t i = 0; i < fr.size(); ++i) std::printf("%s%s\n", fr[i].c_str(), i + 1 < fr.size() ? "," : "");
    std::printf("  ],\n  \"nll\": [\n");
    for (std::size_t i = 0; i < nl.size(); ++i) std::printf("%s%s\n", nl[i].c_str(), i + 1 < nl.size() ? "," : "");
    std::printf("  ]\n}\n");
    return 0;
}
