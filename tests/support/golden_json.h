// Just enough JSON for korvel's golden files (tests/data/*_golden.json):
// objects, arrays, strings, booleans and integers. Doubles are stored as
// strings of 16 hex digits (their IEEE-754 bit patterns), never as JSON
// numbers, so that no decimal conversion stands between the file and the bits.
#pragma once

#include <bit>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvel_test {

struct Value {
    enum class Kind { string, number, boolean, array, object } kind = Kind::string;
    std::string text;  // a string's contents, or a number's digits
    bool flag = false;
    std::vector<Value> items;
    std::map<std::string, Value> fields;

    const Value& operator[](const std::string& key) const { return fields.at(key); }
    bool has(const std::string& key) const { return fields.count(key) != 0; }
    long long integer() const { return std::stoll(text); }
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
        } else if (c == '-' || std::isdigit(static_cast<unsigned char>(c))) {
            v.kind = Value::Kind::number;
            do v.text += s_[pos_++];
            while (pos_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[pos_])));
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

inline Value read_golden(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot open " + path);
    std::stringstream ss;
    ss << in.rdbuf();
    return Parser(ss.str()).parse();
}

inline double to_double(const Value& v) { return std::bit_cast<double>(std::stoull(v.text, nullptr, 16)); }
// The comparison key: the bit pattern, except that every NaN is alike (the
// sign and payload of a NaN depend on the operand order the compiler chose).
inline std::uint64_t bits(double d) {
    return std::isnan(d) ? 0x7ff8000000000000ULL : std::bit_cast<std::uint64_t>(d);
}
inline std::vector<double> to_doubles(const Value& v) {
    std::vector<double> out;
    for (const Value& item : v.items) out.push_back(to_double(item));
    return out;
}

}  // namespace korvel_test
