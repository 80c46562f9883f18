// tests/data/model_golden.json (written by tools/make_model_golden.cpp with
// the reference solve) against the public model functions, bit for bit: the
// C++ side of the check that the fast solve changes no Python-visible value.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/state.h"
#include "model/model.h"
#include "tests/support/golden_json.h"

namespace {

using korvel_test::bits;
using korvel_test::to_double;
using korvel_test::to_doubles;
using korvel_test::Value;

const Value& golden() {
    static const std::unique_ptr<Value> doc =
        std::make_unique<Value>(korvel_test::read_golden(KORVEL_TEST_DATA_DIR "/model_golden.json"));
    return *doc;
}

class SettingsGuard {
public:
    SettingsGuard(const Value& c) : raw_(korvel::raw_count_enabled()) {
        korvel::set_raw_count(c["raw_count"].flag);
        vmax_ = to_double(c["mm_vmax"]);
    }
    ~SettingsGuard() { korvel::set_raw_count(raw_); }
    double vmax() const { return vmax_; }

private:
    bool raw_;
    double vmax_ = 0.0;
};

TEST(Golden, Format) {
    EXPECT_EQ(golden()["format"].text, "korvel-model-golden-1");
    EXPECT_GE(golden()["model_fracs"].items.size(), 30u);
    EXPECT_GE(golden()["nll"].items.size(), 30u);
}

TEST(Golden, ModelFractions) {
    for (const Value& c : golden()["model_fracs"].items) {
        SettingsGuard settings(c);
        const std::vector<double> edges = to_doubles(c["edges"]);
        const std::vector<double> expected = to_doubles(c["result"]);
        for (int path = 0; path < 2; ++path) {
            const auto solve = path == 0 ? korvel::stationary_distribution : korvel::stationary_distribution_reference;
            const korvel::StateVector p = solve(to_double(c["ste"]), to_double(c["stw"]), to_double(c["cow"]),
                                                to_double(c["coe"]), 2.0, 2.0, settings.vmax());
            const std::vector<double> got = korvel::binned_model_fracs(p, edges);
            ASSERT_EQ(got.size(), expected.size()) << c["id"].text;
            for (std::size_t i = 0; i < got.size(); ++i) {
                EXPECT_EQ(bits(got[i]), bits(expected[i]))
                    << c["id"].text << " bin " << i << (path == 0 ? " (public)" : " (reference)");
            }
        }
    }
}

TEST(Golden, Nll) {
    for (const Value& c : golden()["nll"].items) {
        SettingsGuard settings(c);
        const std::vector<double> params = to_doubles(c["params"]);
        const std::vector<double> observed = to_doubles(c["observed"]);
        const std::vector<double> edges = to_doubles(c["edges"]);
        const double got = korvel::model_nll(params[0], params[1], params[2], observed, edges,
                                             c["normalize_stw"].flag, 2.0, 2.0, settings.vmax());
        EXPECT_EQ(bits(got), bits(to_double(c["result"]))) << c["id"].text;
    }
}

}  // namespace
