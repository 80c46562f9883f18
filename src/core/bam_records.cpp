#include "core/bam_records.h"

#include <cstring>
#include <string_view>
#include <vector>

namespace korvel {

namespace {

// The fixed part of a record after block_size, up to read_name.
constexpr std::size_t kFixed = 32;
constexpr std::uint32_t kLeftOut = 0x4 | 0x100 | 0x200 | 0x400 | 0x800;

// Little-endian fields read byte by byte: records sit at any offset and the
// format fixes the byte order, whatever the machine's.
std::uint32_t u32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::int32_t i32(const std::uint8_t* p) { return static_cast<std::int32_t>(u32(p)); }
std::uint16_t u16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

// Bytes of one value of a fixed-size tag type, 0 for a type of another kind.
std::size_t fixed_size(std::uint8_t type) {
    switch (type) {
        case 'A': case 'c': case 'C': return 1;
        case 's': case 'S': return 2;
        case 'i': case 'I': case 'f': return 4;
        default: return 0;
    }
}

// A tag's value: its type and its bytes (a string's without its NUL).
struct Tag {
    std::uint8_t type = 0;
    std::string_view text;
    bool found = false;
};

// Finds XM and XG (the first of each, as a reader asking for a tag gets)
// among the tags in [p, end); false when the tags run past `end`.
bool find_tags(const std::uint8_t* p, const std::uint8_t* end, Tag& xm, Tag& xg) {
    while (p < end) {
        if (end - p < 3) return false;
        const char a = static_cast<char>(p[0]), b = static_cast<char>(p[1]);
        const std::uint8_t type = p[2];
        p += 3;
        const std::uint8_t* value = p;
        std::size_t size = fixed_size(type);
        if (type == 'Z' || type == 'H') {
            const void* nul = std::memchr(p, 0, static_cast<std::size_t>(end - p));
            if (nul == nullptr) return false;
            size = static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - p) + 1;
        } else if (type == 'B') {
            if (end - p < 5) return false;
            const std::size_t item = fixed_size(p[0]);
            const std::uint64_t count = u32(p + 1);
            if (item == 0 || p[0] == 'A' ||
                count > static_cast<std::uint64_t>(end - p - 5) / item) {
                return false;
            }
            size = 5 + static_cast<std::size_t>(count) * item;
        } else if (size == 0) {
            return false;
        }
        if (static_cast<std::size_t>(end - p) < size) return false;
        Tag* tag = a == 'X' && b == 'M' ? &xm : a == 'X' && b == 'G' ? &xg : nullptr;
        if (tag != nullptr && !tag->found) {
            tag->found = true;
            tag->type = type;
            // A string's characters, or the one of an 'A' value; other types hold no calls.
            const std::size_t n = type == 'Z' || type == 'H' ? size - 1 : type == 'A' ? 1 : 0;
            tag->text = std::string_view(reinterpret_cast<const char*>(value), n);
        }
        p += size;
    }
    return true;
}

std::uint64_t fnv1a(std::string_view s) {
    std::uint64_t h = 14695981039346656037ULL;
    for (const char c : s) {
        h ^= static_cast<std::uint8_t>(c);
        h *= 1099511628211ULL;
    }
    return h;
}

// Numbers the names of one scan: each name gets the index of the first record
// that bore it. Open addressing on the names' hashes, the names compared where
// the hashes agree; at most half full, so a probe ends soon.
class NameNumbers {
public:
    explicit NameNumbers(std::size_t records) {
        std::size_t size = 16;
        while (size < 2 * records) size *= 2;
        slots_.assign(size, Slot{});
    }
    std::int64_t number(std::string_view name, std::uint64_t hash, std::int64_t record) {
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
            Slot& s = slots_[i];
            if (s.record < 0) {
                s = Slot{hash, name, record};
                return record;
            }
            if (s.hash == hash && s.name == name) return s.record;
        }
    }

private:
    struct Slot {
        std::uint64_t hash = 0;
        std::string_view name;
        std::int64_t record = -1;
    };
    std::vector<Slot> slots_;
};

// 'Z' or 'z': one test, the two differ only in the case bit.
bool is_cpg_call(char c) { return (c | 0x20) == 'z'; }

bool aligned_op(std::uint32_t op) { return op == 0 || op == 7 || op == 8; }
bool query_only_op(std::uint32_t op) { return op == 1 || op == 4; }
bool reference_only_op(std::uint32_t op) { return op == 2 || op == 3; }

}  // namespace

BamScan scan_xm_records(std::span<const std::uint8_t> bytes, std::span<std::int64_t> rows,
                        std::span<std::int64_t> calls, std::int64_t min_mapq) {
    BamScan scan;
    const std::size_t capacity = rows.size() / kBamColumns;
    // 3 numbers per byte bounds the calls of every record these bytes hold.
    if (calls.size() / 3 < bytes.size()) return scan;
    NameNumbers names(capacity);
    const std::uint8_t* const data = bytes.data();
    std::size_t at = 0;
    while (scan.records < capacity && bytes.size() - at >= 4) {
        const std::uint64_t block = u32(data + at);
        if (bytes.size() - at - 4 < block) break;  // the rest of it is in the next bytes
        const std::uint8_t* const rec = data + at + 4;
        const std::uint8_t* const end = rec + block;
        if (block < kFixed) {
            scan.malformed = true;
            break;
        }
        const std::int32_t tid = i32(rec), pos = i32(rec + 4);
        const std::size_t l_name = rec[8];
        const std::uint8_t mapq = rec[9];
        const std::size_t n_cigar = u16(rec + 12);
        const std::uint32_t flag = u16(rec + 14);
        const std::uint64_t l_seq = u32(rec + 16);
        const std::int32_t mate_tid = i32(rec + 20), mate_pos = i32(rec + 24);
        const std::uint64_t fixed_end =
            kFixed + l_name + 4 * static_cast<std::uint64_t>(n_cigar) + (l_seq + 1) / 2 + l_seq;
        if (l_name == 0 || l_seq > block || fixed_end > block || rec[kFixed + l_name - 1] != 0) {
            scan.malformed = true;
            break;
        }
        const std::string_view name(reinterpret_cast<const char*>(rec + kFixed), l_name - 1);
        const std::uint8_t* const cigar = rec + kFixed + l_name;
        Tag xm, xg;
        if (!find_tags(rec + fixed_end, end, xm, xg)) {
            scan.malformed = true;
            break;
        }
        std::int64_t reference_length = 0;
        for (std::size_t i = 0; i < n_cigar; ++i) {
            const std::uint32_t c = u32(cigar + 4 * i), op = c & 0xF;
            if (aligned_op(op) || reference_only_op(op)) reference_length += c >> 4;
        }
        const bool block_cigar = n_cigar == 1 && aligned_op(u32(cigar) & 0xF);
        const std::int64_t end_pos =
            block_cigar ? pos + static_cast<std::int64_t>(u32(cigar) >> 4)
                        : pos + (reference_length > 0 ? reference_length : 1);
        const bool top = xg.found ? xg.text == "CT" : ((flag & 0x10) != 0) == ((flag & 0x80) != 0);

        std::int64_t* row = rows.data() + scan.records * kBamColumns;
        row[kBamFlag] = flag;
        row[kBamTid] = tid;
        row[kBamPos] = pos;
        row[kBamMateTid] = mate_tid;
        row[kBamMatePos] = mate_pos;
        row[kBamMapq] = mapq;
        row[kBamEnd] = end_pos;
        row[kBamTop] = top ? 1 : 0;
        row[kBamHasXm] = xm.found ? 1 : 0;
        const std::uint64_t hash = fnv1a(name);
        row[kBamNameId] = names.number(name, hash, static_cast<std::int64_t>(scan.records));
        row[kBamNameHash] = static_cast<std::int64_t>(hash);
        row[kBamNameAt] = static_cast<std::int64_t>(at + 4 + kFixed);
        row[kBamNameLen] = static_cast<std::int64_t>(name.size());

        if (xm.found && (flag & kLeftOut) == 0 && mapq >= min_mapq) {
            const std::int64_t shift = top ? 0 : 1;
            const auto call = [&](std::int64_t ref, char c) {
                if (ref < 0) return;
                std::int64_t* out = calls.data() + 3 * scan.calls++;
                out[0] = static_cast<std::int64_t>(scan.records);
                out[1] = ref - shift;
                out[2] = c == 'Z' ? 1 : 0;
            };
            const std::string_view text = xm.text;
            if (block_cigar) {
                for (std::size_t q = 0; q < text.size(); ++q) {
                    if (is_cpg_call(text[q])) call(pos + static_cast<std::int64_t>(q), text[q]);
                }
            } else {
                // Walk the CIGAR: calls in soft clips, insertions and past the
                // last query base have no reference position.
                std::size_t q = 0;
                std::int64_t r = pos;
                for (std::size_t k = 0; k < n_cigar && q < text.size(); ++k) {
                    const std::uint32_t c = u32(cigar + 4 * k), op = c & 0xF, n = c >> 4;
                    if (aligned_op(op)) {
                        for (std::size_t j = 0; j < n && q + j < text.size(); ++j) {
                            const char ch = text[q + j];
                            if (is_cpg_call(ch)) call(r + static_cast<std::int64_t>(j), ch);
                        }
                        q += n;
                        r += n;
                    } else if (query_only_op(op)) {
                        q += n;
                    } else if (reference_only_op(op)) {
                        r += n;
                    }
                }
            }
        }
        ++scan.records;
        at += 4 + block;
    }
    scan.consumed = at;
    return scan;
}

}  // namespace korvel
