// Walking uncompressed BAM records for their XM calls.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/bam_records.h"

namespace {

using korvel::scan_xm_records;

void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// One record as the format lays it out; cigar as (op, length) pairs.
std::vector<std::uint8_t> record(const std::string& name, std::int32_t pos, std::uint16_t flag,
                                 const std::vector<std::pair<int, int>>& cigar,
                                 std::size_t l_seq, const std::string& tags,
                                 std::uint8_t mapq = 40, const std::string& seq = "") {
    std::vector<std::uint8_t> body;
    put32(body, 0);  // refID
    put32(body, static_cast<std::uint32_t>(pos));
    body.push_back(static_cast<std::uint8_t>(name.size() + 1));
    body.push_back(mapq);
    body.push_back(0);  // bin
    body.push_back(0);
    body.push_back(static_cast<std::uint8_t>(cigar.size()));
    body.push_back(0);
    body.push_back(static_cast<std::uint8_t>(flag));
    body.push_back(static_cast<std::uint8_t>(flag >> 8));
    put32(body, static_cast<std::uint32_t>(l_seq));
    put32(body, 0);  // next refID
    put32(body, 500);
    put32(body, 0);  // tlen
    body.insert(body.end(), name.begin(), name.end());
    body.push_back(0);
    for (auto [op, n] : cigar) put32(body, static_cast<std::uint32_t>(n << 4 | op));
    for (std::size_t q = 0; q < l_seq; q += 2) {  // SEQ two bases a byte ("=" without seq)
        const auto code = [&](std::size_t i) {
            return i < seq.size() ? std::string("=ACMGRSVTWYHKDBN").find(seq[i]) : 0;
        };
        body.push_back(static_cast<std::uint8_t>(code(q) << 4 | code(q + 1)));
    }
    body.insert(body.end(), l_seq, 0);  // qualities
    body.insert(body.end(), tags.begin(), tags.end());
    std::vector<std::uint8_t> out;
    out.reserve(4 + body.size());  // (GCC 12 misreads the growth of an empty vector)
    put32(out, static_cast<std::uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

std::string ztag(const char* tag, const std::string& value) {
    return std::string(tag) + "Z" + value + std::string(1, '\0');
}

struct Scanned {
    korvel::BamScan scan;
    std::vector<std::int64_t> rows, calls;
};

Scanned scan(const std::vector<std::uint8_t>& bytes, std::size_t capacity = 8) {
    Scanned s;
    s.rows.assign(capacity * korvel::kBamColumns, -7);
    s.calls.assign(3 * bytes.size(), -7);
    s.scan = scan_xm_records(bytes, s.rows, s.calls, 10);
    return s;
}

TEST(ScanXmRecords, CallsFollowTheCigarAndTheStrand) {
    // Top strand (XG CT, after an integer tag): 2S 3M 1I 2D 4M, calls at query 0 (clipped),
    // 2, 5 (inserted), 6 and 9.
    std::string tags = std::string("NMi") + std::string(4, '\0') + ztag("XM", "Z.z..ZZ..z") +
                       ztag("XG", "CT");
    auto bytes = record("r1", 100, 0x63, {{4, 2}, {0, 3}, {1, 1}, {2, 2}, {0, 4}}, 10, tags);
    // Bottom strand by its flags (read 2 forward, no XG): one block, calls moved to the C.
    auto second = record("r1", 103, 0xA3, {{0, 6}}, 6, ztag("XM", "z....Z"));
    bytes.insert(bytes.end(), second.begin(), second.end());
    // Left out by its MAPQ: a row, no calls.
    auto third = record("r3", 0, 0, {{0, 2}}, 2, ztag("XM", "ZZ"), 5);
    bytes.insert(bytes.end(), third.begin(), third.end());
    const Scanned s = scan(bytes);
    ASSERT_FALSE(s.scan.malformed);
    ASSERT_EQ(s.scan.records, 3u);
    EXPECT_EQ(s.scan.consumed, bytes.size());
    const std::vector<std::int64_t> want{0, 100, 0, 0, 105, 1, 0, 108, 0, 1, 102, 0, 1, 107, 1};
    ASSERT_EQ(s.scan.calls, want.size() / 3);
    EXPECT_EQ(std::vector<std::int64_t>(s.calls.begin(), s.calls.begin() + 15), want);
    const auto* r = s.rows.data();
    const auto* r2 = r + korvel::kBamColumns;
    EXPECT_EQ(r[korvel::kBamEnd], 100 + 3 + 2 + 4);
    EXPECT_EQ(r[korvel::kBamTop], 1);
    EXPECT_EQ(r2[korvel::kBamTop], 0);
    EXPECT_EQ(r2[korvel::kBamEnd], 109);
    // Mates share a name number and hash; the third read has its own.
    EXPECT_EQ(r2[korvel::kBamNameId], 0);
    EXPECT_EQ(r2[korvel::kBamNameHash], r[korvel::kBamNameHash]);
    EXPECT_EQ(r[2 * korvel::kBamColumns + korvel::kBamNameId], 2);
}

TEST(ScanXmRecords, StopsBeforeACutRecordAndFlagsABrokenOne) {
    const auto one = record("a", 5, 0, {{0, 4}}, 4, ztag("XM", "Z..z"));
    auto bytes = one;
    bytes.insert(bytes.end(), one.begin(), one.end() - 3);  // the second is cut
    Scanned s = scan(bytes);
    EXPECT_EQ(s.scan.records, 1u);
    EXPECT_EQ(s.scan.consumed, one.size());
    EXPECT_FALSE(s.scan.malformed);
    // A tag whose string runs to the end of its record without its NUL.
    auto broken = one;
    broken.pop_back();
    broken[0] = static_cast<std::uint8_t>(broken[0] - 1);
    s = scan(broken);
    EXPECT_EQ(s.scan.records, 0u);
    EXPECT_TRUE(s.scan.malformed);
    // Capacity for one record: it stops after it.
    bytes = one;
    bytes.insert(bytes.end(), one.begin(), one.end());
    s = scan(bytes, 1);
    EXPECT_EQ(s.scan.records, 1u);
    EXPECT_EQ(s.scan.consumed, one.size());
}

// ML as a B array of bytes.
std::string ml_tag(const std::vector<std::uint8_t>& values) {
    std::string out = "MLBC";
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(values.size() >> (8 * i)));
    out.append(values.begin(), values.end());
    return out;
}

TEST(ScanMmRecords, CallsSitAtTheCpgsOfTheReadAsSequenced) {
    const korvel::ModCallRule rule{0.5, false};
    // Forward: both Cs listed, the first likely methylated, the second not.
    auto bytes = record("f", 100, 0, {{0, 6}}, 6, ztag("MM", "C+m?,0,0;") + ml_tag({255, 0}),
                        40, "ACGTCG");
    // Reverse: as sequenced CGACGT; its second C (the stored G at 2) is listed, the
    // first, in a '?' group, has no call. The call moves to the C of the CpG.
    auto reverse = record("r", 200, 0x10, {{0, 6}}, 6, ztag("MM", "C+m?,1;") + ml_tag({255}),
                          40, "ACGTCG");
    // ML shorter than MM; MN (a byte) not the length of SEQ.
    auto short_ml = record("s", 300, 0, {{0, 6}}, 6, ztag("MM", "C+m?,0,0;") + ml_tag({1}),
                           40, "ACGTCG");
    auto wrong_mn = record("n", 400, 0, {{0, 6}}, 6,
                           ztag("MM", "C+m?,0;") + ml_tag({1}) + std::string("MNC\x05", 4), 40,
                           "ACGTCG");
    for (const auto* more : {&reverse, &short_ml, &wrong_mn}) {
        bytes.insert(bytes.end(), more->begin(), more->end());
    }
    std::vector<std::int64_t> rows(8 * korvel::kBamColumns), calls(3 * bytes.size());
    const korvel::BamScan scan = korvel::scan_mm_records(bytes, rows, calls, 10, rule);
    ASSERT_FALSE(scan.malformed);
    ASSERT_EQ(scan.records, 4u);
    const std::vector<std::int64_t> want{0, 101, 1, 0, 104, 0, 1, 201, 1};
    ASSERT_EQ(scan.calls, want.size() / 3);
    EXPECT_EQ(std::vector<std::int64_t>(calls.begin(), calls.begin() + 9), want);
    const auto state = [&](std::size_t i) {
        return rows[i * korvel::kBamColumns + korvel::kBamHasXm];
    };
    EXPECT_EQ(state(0), korvel::kModRead);
    EXPECT_EQ(rows[korvel::kBamColumns + korvel::kBamTop], 0);
    EXPECT_EQ(state(2), korvel::kModMlShort);
    EXPECT_EQ(state(3), korvel::kModSeqLength);
}

}  // namespace
