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
                                 std::uint8_t mapq = 40) {
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
    body.insert(body.end(), (l_seq + 1) / 2 + l_seq, 0);
    body.insert(body.end(), tags.begin(), tags.end());
    std::vector<std::uint8_t> out;
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

}  // namespace
