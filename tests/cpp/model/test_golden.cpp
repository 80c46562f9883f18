// tests/data/model_golden.json (written by tools/make_model_golden.cpp with
// the reference solve) against the public model functions, bit for bit: the
// C++ side of the check that the fast solve changes no Python-visible value.
#include <gtest/gtest.h>

#include <bit>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/state.h"
#include "model/model.h"

namespace {

// Just enough JSON for the golden file: objects, arrays, strings, booleans.
struct Value {
    enum class Kind { string, boolean, array, object } kind = Kind::string;
    std::string text;
    bool flag = false;
    std::vector<Value> items;
    std::map<std::string, Value> fields;

    const Value& operator[](const std::string& key) const { return fields.at(key); }
};

class Parser {
public:
    explicit Parser(std::string s) : s_(std::move(s)) {}
    Value parse() {
        Value v = value();
        skip();
        if (pos_ != s_.size()) fail("trailing text");
        return v;
    }

private:
    [[noreturn]] void fail(const char* what) {
        throw std::runtime_error(std::string("golden JSON: ") + what + " at " + std::to_string(pos_));
    }
    void skip() {
        while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
    }
    void expect(char c) {
        skip();
        if (pos_ >= s_.size() || s_[pos_] != c) fail("unexpected character");
        ++pos_;
    }
    std::string string() {
        expect('"');
        std::string out;
        while (pos_ < s_.size() && s_[pos_] != '"') {
            if (s_[pos_] == '\\') ++pos_;
            out += s_[pos_++];
        }
        expect('"');
        return out;
    }
    Value value() {
        skip();
        if (pos_ >= s_.size()) fail("end of text");
        Value v;
        const char c = s_[pos_];
        if (c == '"') {
            v.text = string();
        } else if (c == '[') {
            v.kind = Value::Kind::array;
            ++pos_;
            skip();
            if (s_[pos_] == ']') {
                ++pos_;
                return v;
            }
            for (;;) {
                v.items.push_back(value());
                skip();
                if (s_[pos_] == ',') { ++pos_; continue; }
                expect(']');
                break;
            }
        } else if (c == '{') {
            v.kind = Value::Kind::object;
            ++pos_;
            for (;;) {
                std::string key = string();
                expect(':');
                v.fields.emplace(std::move(key), value());
                skip();
                if (s_[pos_] == ',') { ++pos_; continue; }
                expect('}');
                break;
            }
        } else if (s_.compare(pos_, 4, "true") == 0) {
            v.kind = Value::Kind::boolean;
            v.flag = true;
            pos_ += 4;
        } else if (s_.compare(pos_, 5, "false") == 0) {
            v.kind = Value::Kind::boolean;
            pos_ += 5;
        } else {
            fail("unsupported value");
        }
        return v;
    }

    std::string s_;
    std::size_t pos_ = 0;
};

double to_double(const Value& v) { return std::bit_cast<double>(std::stoull(v.text, nullptr, 16)); }
// The comparison key: the bit pattern, except that every NaN is alike (the
// sign and payload of a NaN depend on the operand order the compiler chose).
std::uint64_t bits(double d) {
    return std::isnan(d) ? 0x7ff8000000000000ULL : std::bit_cast<std::uint64_t>(d);
}
std::vector<double> to_doubles(const Value& v) {
    std::vector<double> out;
    for (const Value& item : v.items) out.push_back(to_double(item));
    return out;
}

const Value& golden() {
    static const std::unique_ptr<Value> doc = [] {
        std::ifstream in(KORVEL_TEST_DATA_DIR "/model_golden.json");
        if (!in) throw std::runtime_error("cannot open model_golden.json");
        std::stringstream ss;
        ss << in.rdbuf();
        return std::make_unique<Value>(Parser(ss.str()).parse());
    }();
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
