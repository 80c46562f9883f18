// ChaCha8 generator: known-answer values from tests/data/chacha8_vectors.json,
// plus the stream positions the file does not reach (a 64-bit draw across a
// refill, the rejection rule for m = 1).
#include <gtest/gtest.h>

#include <bit>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/errors.h"
#include "optimizer/rng.h"

namespace {

using korvel::ChaCha8;

// A reader for the vector file: objects, arrays, strings (no escapes are
// needed there) and numbers kept as their text, so 64-bit integers and
// 17-digit doubles are converted exactly by the test itself.
struct Json {
    enum class Kind { kObject, kArray, kString, kNumber } kind{};
    std::string text;  // string contents or number text
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> members;

    const Json& operator[](const std::string& key) const {
        for (const auto& [k, v] : members) {
            if (k == key) return v;
        }
        throw std::runtime_error("missing key " + key);
    }
    std::uint64_t u64() const {
        std::size_t used = 0;
        const unsigned long long v = std::stoull(text, &used, 10);
        if (used != text.size()) throw std::runtime_error("not an integer: " + text);
        return v;
    }
};

class JsonParser {
public:
    explicit JsonParser(std::string src) : s_(std::move(src)) {}
    Json parse() {
        Json v = value();
        skip_ws();
        if (pos_ != s_.size()) fail("trailing characters");
        return v;
    }

private:
    [[noreturn]] void fail(const std::string& what) const {
        throw std::runtime_error("JSON: " + what + " at offset " + std::to_string(pos_));
    }
    void skip_ws() {
        while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
    }
    char peek() {
        skip_ws();
        if (pos_ >= s_.size()) fail("unexpected end");
        return s_[pos_];
    }
    void expect(char c) {
        if (peek() != c) fail(std::string("expected '") + c + "'");
        ++pos_;
    }
    std::string string_body() {
        expect('"');
        const std::size_t end = s_.find('"', pos_);
        if (end == std::string::npos) fail("unterminated string");
        std::string out = s_.substr(pos_, end - pos_);
        if (out.find('\\') != std::string::npos) fail("escapes are not used by this file");
        pos_ = end + 1;
        return out;
    }
    Json value() {
        Json v;
        const char c = peek();
        if (c == '{') {
            v.kind = Json::Kind::kObject;
            ++pos_;
            if (peek() == '}') { ++pos_; return v; }
            for (;;) {
                std::string key = string_body();
                expect(':');
                v.members.emplace_back(std::move(key), value());
                if (peek() == ',') { ++pos_; continue; }
                expect('}');
                return v;
            }
        }
        if (c == '[') {
            v.kind = Json::Kind::kArray;
            ++pos_;
            if (peek() == ']') { ++pos_; return v; }
            for (;;) {
                v.items.push_back(value());
                if (peek() == ',') { ++pos_; continue; }
                expect(']');
                return v;
            }
        }
        if (c == '"') {
            v.kind = Json::Kind::kString;
            v.text = string_body();
            return v;
        }
        v.kind = Json::Kind::kNumber;
        const std::size_t start = pos_;
        while (pos_ < s_.size() && (std::isdigit(static_cast<unsigned char>(s_[pos_])) ||
                                    s_[pos_] == '-' || s_[pos_] == '+' || s_[pos_] == '.' ||
                                    s_[pos_] == 'e' || s_[pos_] == 'E')) {
            ++pos_;
        }
        if (pos_ == start) fail("unexpected character");
        v.text = s_.substr(start, pos_ - start);
        return v;
    }

    std::string s_;
    std::size_t pos_ = 0;
};

Json load_vectors() {
    std::ifstream in(std::string(KORVEL_TEST_DATA_DIR) + "/chacha8_vectors.json");
    if (!in) throw std::runtime_error("cannot open chacha8_vectors.json");
    std::stringstream ss;
    ss << in.rdbuf();
    return JsonParser(ss.str()).parse();
}

std::uint64_t hex64(const std::string& h) {
    std::size_t used = 0;
    const unsigned long long v = std::stoull(h, &used, 16);
    if (used != h.size() || h.size() != 16) throw std::runtime_error("bad hex " + h);
    return v;
}

class KnownAnswers : public ::testing::Test {
protected:
    static void SetUpTestSuite() { vectors_ = new Json(load_vectors()); }
    static void TearDownTestSuite() {
        delete vectors_;
        vectors_ = nullptr;
    }
    static const std::vector<Json>& cases() { return (*vectors_)["cases"].items; }
    static Json* vectors_;
};
Json* KnownAnswers::vectors_ = nullptr;

TEST_F(KnownAnswers, FileHoldsTheFiveSeeds) {
    ASSERT_EQ((*vectors_)["format"].u64(), 1u);
    ASSERT_EQ(cases().size(), 5u);
    EXPECT_EQ(cases().back()["seed"].u64(), 18446744073709551615ull);
}

TEST_F(KnownAnswers, SeedExpandsToKeyWords) {
    for (const Json& c : cases()) {
        const auto key = ChaCha8::key_from_seed(c["seed"].u64());
        const auto& want = c["key_words"].items;
        ASSERT_EQ(want.size(), 8u);
        for (std::size_t i = 0; i < 8; ++i) {
            EXPECT_EQ(key[i], want[i].u64()) << "seed " << c["seed"].text << " word " << i;
        }
    }
}

TEST_F(KnownAnswers, WordStreamAcrossTwoRefills) {
    for (const Json& c : cases()) {
        ChaCha8 rng = ChaCha8::from_seed(c["seed"].u64());
        const auto& want = c["u32"].items;
        ASSERT_EQ(want.size(), 130u);
        for (std::size_t i = 0; i < want.size(); ++i) {
            ASSERT_EQ(rng.next_u32(), want[i].u64()) << "seed " << c["seed"].text << " word " << i;
        }
    }
}

TEST_F(KnownAnswers, SixtyFourBitDrawsAndDoubles) {
    for (const Json& c : cases()) {
        const std::uint64_t seed = c["seed"].u64();
        ChaCha8 rng = ChaCha8::from_seed(seed);
        const auto& dec = c["u64"].items;
        const auto& hex = c["u64_hex"].items;
        ASSERT_EQ(dec.size(), 20u);
        ASSERT_EQ(hex.size(), 20u);
        for (std::size_t i = 0; i < dec.size(); ++i) {
            const std::uint64_t got = rng.next_u64();
            EXPECT_EQ(got, dec[i].u64()) << "seed " << seed << " draw " << i;
            EXPECT_EQ(got, hex64(hex[i].text)) << "seed " << seed << " draw " << i;
        }

        ChaCha8 fresh = ChaCha8::from_seed(seed);
        const auto& bits = c["uniform_f64_bits"].items;
        const auto& decimal = c["uniform_f64"].items;
        ASSERT_EQ(bits.size(), 20u);
        for (std::size_t i = 0; i < bits.size(); ++i) {
            const double u = fresh.uniform();
            EXPECT_EQ(std::bit_cast<std::uint64_t>(u), hex64(bits[i].text))
                << "seed " << seed << " double " << i;
            // The 17-digit decimal text names the same double.
            EXPECT_EQ(std::bit_cast<std::uint64_t>(std::strtod(decimal[i].text.c_str(), nullptr)),
                      std::bit_cast<std::uint64_t>(u));
        }
    }
}

TEST_F(KnownAnswers, UniformIntegersForEveryRange) {
    for (const Json& c : cases()) {
        const std::uint64_t seed = c["seed"].u64();
        const Json& by_m = c["uniform_int"];
        ASSERT_EQ(by_m.members.size(), 10u);
        for (const auto& [m_text, values] : by_m.members) {
            const std::uint64_t m = std::stoull(m_text);
            ChaCha8 rng = ChaCha8::from_seed(seed);
            ASSERT_EQ(values.items.size(), 20u);
            for (std::size_t i = 0; i < values.items.size(); ++i) {
                EXPECT_EQ(rng.uniform_int(m), values.items[i].u64())
                    << "seed " << seed << " m " << m << " draw " << i;
            }
        }
    }
}

// After one 32-bit word, 64-bit draws are odd-aligned: the 32nd draw takes the
// last word of the first refill as its low half and the first word of the
// second refill as its high half. Later draws continue from word 1 of the new
// refill.
TEST(ChaCha8Stream, SixtyFourBitDrawStraddlesRefill) {
    ChaCha8 words = ChaCha8::from_seed(42);
    std::vector<std::uint64_t> w(130);
    for (auto& x : w) x = words.next_u32();

    ChaCha8 rng = ChaCha8::from_seed(42);
    EXPECT_EQ(rng.next_u32(), w[0]);
    for (std::size_t k = 0; k < 40; ++k) {
        const std::size_t lo = 1 + 2 * k;
        ASSERT_EQ(rng.next_u64(), w[lo] | (w[lo + 1] << 32)) << "draw " << k;
    }
    // Draw 31 used words 63 (low) and 64 (high); draws 32.. start at 65.
    ChaCha8 again = ChaCha8::from_seed(42);
    again.next_u32();
    for (int k = 0; k < 31; ++k) again.next_u64();
    EXPECT_EQ(again.next_u64(), w[63] | (w[64] << 32));
    EXPECT_EQ(again.next_u32(), w[65]);
}

// For m = 1 the zone is 2^63 - 1: draws with the top bit set are rejected and
// every accepted draw yields 0. The stream position after n results must match
// the count of rejected draws exactly, or a seeded search would drift.
TEST(ChaCha8Stream, RangeOfOneRejectsDrawsWithTopBitSet) {
    ChaCha8 probe = ChaCha8::from_seed(7);
    std::vector<std::uint64_t> draws(400);
    for (auto& d : draws) d = probe.next_u64();

    ChaCha8 rng = ChaCha8::from_seed(7);
    std::size_t consumed = 0;
    int rejected = 0;
    for (int n = 0; n < 100; ++n) {
        ASSERT_EQ(rng.uniform_int(1), 0u);
        while (draws[consumed] >> 63) {
            ++consumed;
            ++rejected;
        }
        ++consumed;
    }
    // The next 64-bit draw is the one after the last accepted draw.
    EXPECT_EQ(rng.next_u64(), draws[consumed]);
    // About half of the draws are rejected; seed 7 rejects some, which is what
    // makes the position check above meaningful.
    EXPECT_GT(rejected, 20);
}

TEST(ChaCha8Stream, UniformIntegerRangeZeroIsAnError) {
    ChaCha8 rng = ChaCha8::from_seed(1);
    EXPECT_THROW(rng.uniform_int(0), korvel::InternalError);
}

TEST(ChaCha8Stream, LargeRangesStayInRange) {
    ChaCha8 rng = ChaCha8::from_seed(99);
    const std::uint64_t m = (1ull << 63) + 1;  // rejects almost half of all draws
    for (int i = 0; i < 1000; ++i) ASSERT_LT(rng.uniform_int(m), m);
    ChaCha8 full = ChaCha8::from_seed(99);
    for (int i = 0; i < 1000; ++i) ASSERT_LT(full.uniform_int(~0ull), ~0ull);
}

// Two entropy-keyed generators agree on their first 128 bits only by a
// 2^-128 accident.
TEST(ChaCha8Stream, EntropyKeysDiffer) {
    ChaCha8 a = ChaCha8::from_entropy();
    ChaCha8 b = ChaCha8::from_entropy();
    const bool same = a.next_u64() == b.next_u64() && a.next_u64() == b.next_u64();
    EXPECT_FALSE(same);
    const double u = a.uniform();
    EXPECT_GE(u, 0.0);
    EXPECT_LT(u, 1.0);
}

}  // namespace
