#include "core/bam_records.h"

#include <cmath>
#include <cstring>
#include <limits>
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

// A tag's value: its type, its characters (a string's without its NUL, an
// 'A' value's one) and its bytes as stored.
struct Tag {
    std::uint8_t type = 0;
    std::string_view text;
    const std::uint8_t* value = nullptr;
    std::size_t size = 0;
    bool found = false;
};

// A tag looked for, by its two characters.
struct Wanted {
    char a, b;
    Tag* tag;
};

// Finds the tags `wanted` (the first of each name, as a reader asking for a
// tag gets) among the tags in [p, end); false when the tags run past `end`.
template <std::size_t N>
bool find_tags(const std::uint8_t* p, const std::uint8_t* end, const Wanted (&wanted)[N]) {
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
        Tag* tag = nullptr;
        for (const Wanted& w : wanted) {
            if (w.a == a && w.b == b) tag = w.tag;
        }
        if (tag != nullptr && !tag->found) {
            tag->found = true;
            tag->type = type;
            tag->value = value;
            tag->size = size;
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

// The fields of one record that the scans read.
struct Record {
    std::int32_t tid = 0, pos = 0, mate_tid = 0, mate_pos = 0;
    std::uint8_t mapq = 0;
    std::uint32_t flag = 0;
    std::size_t n_cigar = 0;
    const std::uint8_t* cigar = nullptr;
    std::size_t l_seq = 0;
    const std::uint8_t* seq = nullptr;  // two bases a byte
    std::string_view name;
    const std::uint8_t* tags = nullptr;
    const std::uint8_t* end = nullptr;
    std::size_t name_at = 0;  // offset of the name in the scanned bytes

    std::uint32_t cigar_op(std::size_t k) const { return u32(cigar + 4 * k); }
    // A CIGAR of one aligned block (M, = or X): query base q sits on pos + q.
    bool block_cigar() const { return n_cigar == 1 && aligned_op(cigar_op(0) & 0xF); }
};

// Walks the whole records at the start of `bytes` (see scan_xm_records):
// `make_calls(record, index, calls written so far)` finds the record's tags,
// writes its calls and returns (false when its tags run past its end, the
// value of its kBamHasXm column).
template <class MakeCalls>
BamScan scan_records(std::span<const std::uint8_t> bytes, std::span<std::int64_t> rows,
                     std::span<std::int64_t> calls, MakeCalls&& make_calls) {
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
        if (block < kFixed) {
            scan.malformed = true;
            break;
        }
        Record r;
        r.end = rec + block;
        r.tid = i32(rec);
        r.pos = i32(rec + 4);
        const std::size_t l_name = rec[8];
        r.mapq = rec[9];
        r.n_cigar = u16(rec + 12);
        r.flag = u16(rec + 14);
        const std::uint64_t l_seq = u32(rec + 16);
        r.mate_tid = i32(rec + 20);
        r.mate_pos = i32(rec + 24);
        const std::uint64_t fixed_end =
            kFixed + l_name + 4 * static_cast<std::uint64_t>(r.n_cigar) + (l_seq + 1) / 2 + l_seq;
        if (l_name == 0 || l_seq > block || fixed_end > block || rec[kFixed + l_name - 1] != 0) {
            scan.malformed = true;
            break;
        }
        r.l_seq = static_cast<std::size_t>(l_seq);
        r.name = std::string_view(reinterpret_cast<const char*>(rec + kFixed), l_name - 1);
        r.cigar = rec + kFixed + l_name;
        r.seq = r.cigar + 4 * r.n_cigar;
        r.tags = rec + fixed_end;
        r.name_at = at + 4 + kFixed;
        std::int64_t* row = rows.data() + scan.records * kBamColumns;
        const std::size_t before = scan.calls;
        if (!make_calls(r, row, scan.records, scan.calls)) {
            scan.calls = before;
            scan.malformed = true;
            break;
        }
        std::int64_t reference_length = 0;
        for (std::size_t i = 0; i < r.n_cigar; ++i) {
            const std::uint32_t c = r.cigar_op(i), op = c & 0xF;
            if (aligned_op(op) || reference_only_op(op)) reference_length += c >> 4;
        }
        row[kBamEnd] = r.block_cigar()
                           ? r.pos + static_cast<std::int64_t>(r.cigar_op(0) >> 4)
                           : r.pos + (reference_length > 0 ? reference_length : 1);
        row[kBamFlag] = r.flag;
        row[kBamTid] = r.tid;
        row[kBamPos] = r.pos;
        row[kBamMateTid] = r.mate_tid;
        row[kBamMatePos] = r.mate_pos;
        row[kBamMapq] = r.mapq;
        const std::uint64_t hash = fnv1a(r.name);
        row[kBamNameId] = names.number(r.name, hash, static_cast<std::int64_t>(scan.records));
        row[kBamNameHash] = static_cast<std::int64_t>(hash);
        row[kBamNameAt] = static_cast<std::int64_t>(r.name_at);
        row[kBamNameLen] = static_cast<std::int64_t>(r.name.size());
        ++scan.records;
        at += 4 + block;
    }
    scan.consumed = at;
    return scan;
}

// Whether a record makes calls: mapped, primary, passing QC, not a duplicate,
// of MAPQ >= min_mapq.
bool kept(const Record& r, std::int64_t min_mapq) {
    return (r.flag & kLeftOut) == 0 && r.mapq >= min_mapq;
}

// f(q, reference position) for every query position q < limit that the
// CIGAR aligns to the reference: soft clips, insertions and query past the
// last operation have none.
template <class F>
void for_each_aligned(const Record& r, std::size_t limit, F&& f) {
    std::size_t q = 0;
    std::int64_t pos = r.pos;
    for (std::size_t k = 0; k < r.n_cigar && q < limit; ++k) {
        const std::uint32_t c = r.cigar_op(k), op = c & 0xF, n = c >> 4;
        if (aligned_op(op)) {
            for (std::size_t j = 0; j < n && q + j < limit; ++j) {
                f(q + j, pos + static_cast<std::int64_t>(j));
            }
            q += n;
            pos += n;
        } else if (query_only_op(op)) {
            q += n;
        } else if (reference_only_op(op)) {
            pos += n;
        }
    }
}

// The reference position of every query position of a record (-1: none).
void reference_positions(const Record& r, std::vector<std::int64_t>& ref) {
    ref.assign(r.l_seq, -1);
    for_each_aligned(r, r.l_seq, [&](std::size_t q, std::int64_t pos) { ref[q] = pos; });
}

// ---------------------------------------------------------------- MM/ML

// Python's str.isspace over ASCII: the groups and deltas of MM are read as
// korvel's Python reader reads them (str.strip, int).
bool py_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || (c >= '\x1c' && c <= '\x1f');
}

std::string_view py_strip(std::string_view s) {
    while (!s.empty() && py_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && py_space(s.back())) s.remove_suffix(1);
    return s;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// int(text) as Python reads it (spaces around, a sign, digits with single
// underscores between them), into an int64; false where Python refuses it or
// the value does not fit.
bool py_int(std::string_view text, std::int64_t& out) {
    text = py_strip(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || !is_digit(text.front()) || !is_digit(text.back())) return false;
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '_') {
            if (!is_digit(text[i + 1])) return false;  // the last character is a digit
            continue;
        }
        if (!is_digit(c)) return false;
        if (v > (std::uint64_t{1} << 63) / 10) return false;
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
        if (v > (std::uint64_t{1} << 63)) return false;
    }
    if (!negative && v == (std::uint64_t{1} << 63)) return false;
    out = negative ? static_cast<std::int64_t>(0 - v) : static_cast<std::int64_t>(v);
    return true;
}

// The numbers of a B-array tag (ML), as doubles; false for a tag of another kind.
bool array_values(const Tag& tag, std::vector<double>& out) {
    out.clear();
    if (!tag.found) return true;
    if (tag.type != 'B') return false;
    const std::uint8_t sub = tag.value[0];
    const std::size_t n = u32(tag.value + 1), item = fixed_size(sub);
    const std::uint8_t* p = tag.value + 5;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i, p += item) {
        switch (sub) {
            case 'c': out.push_back(static_cast<std::int8_t>(p[0])); break;
            case 'C': out.push_back(p[0]); break;
            case 's': out.push_back(static_cast<std::int16_t>(u16(p))); break;
            case 'S': out.push_back(u16(p)); break;
            case 'i': out.push_back(i32(p)); break;
            case 'I': out.push_back(u32(p)); break;
            case 'f': {
                const std::uint32_t bits = u32(p);
                float f;
                std::memcpy(&f, &bits, sizeof f);
                out.push_back(f);
                break;
            }
            default: return false;
        }
    }
    return true;
}

// Whether an MN tag differs from the length of SEQ (a tag that is no number does).
bool length_differs(const Tag& mn, std::size_t l_seq) {
    if (!mn.found) return false;
    const auto n = static_cast<double>(l_seq);
    switch (mn.type) {
        case 'c': return static_cast<std::int8_t>(mn.value[0]) != n;
        case 'C': return mn.value[0] != n;
        case 's': return static_cast<std::int16_t>(u16(mn.value)) != n;
        case 'S': return u16(mn.value) != n;
        case 'i': return i32(mn.value) != n;
        case 'I': return u32(mn.value) != n;
        case 'f': {
            const std::uint32_t bits = u32(mn.value);
            float f;
            std::memcpy(&f, &bits, sizeof f);
            return static_cast<double>(f) != n;
        }
        default: return true;
    }
}

char complement(char c) {
    switch (c) {
        case 'A': return 'T';
        case 'C': return 'G';
        case 'G': return 'C';
        case 'T': return 'A';
        default: return c;
    }
}

// The methylation calls of one read's MM/ML, made as korvel's Python reader
// (korvel_analysis.extract.mod_probabilities, mm_calls) makes them: the
// probability of each base that a C+m group gives (plus C+h's with hydroxy
// counted as methylated), a later group standing where it lists a base.
class ModCalls {
public:
    ModState read(const std::uint8_t* packed, std::size_t l_seq, bool reverse, const Tag& mm,
                  const Tag& ml, const Tag& mn, const ModCallRule& rule) {
        static constexpr char kBases[] = "=ACMGRSVTWYHKDBN";
        rule_ = rule;
        stored_.resize(l_seq);
        for (std::size_t q = 0; q < l_seq; ++q) {
            stored_[q] = kBases[(packed[q / 2] >> (q % 2 == 0 ? 4 : 0)) & 0xF];
        }
        if (length_differs(mn, l_seq)) return kModSeqLength;
        if ((mm.type != 'Z' && mm.type != 'H') || !array_values(ml, ml_)) return kModMalformed;
        // The deltas count bases of the read as sequenced: SEQ reverse-complemented back.
        orig_.resize(l_seq);
        for (std::size_t i = 0; i < l_seq; ++i) {
            orig_[i] = reverse ? complement(stored_[l_seq - 1 - i]) : stored_[i];
        }
        const double nan = std::numeric_limits<double>::quiet_NaN();
        has_m_ = has_h_ = false;
        m_.assign(l_seq, nan);
        h_.assign(l_seq, nan);
        std::size_t used = 0;
        std::string_view text = mm.text;
        while (true) {
            const std::size_t semi = text.find(';');
            const std::string_view group = text.substr(0, semi);
            const ModState state = group_(group, used);
            if (state != kModRead) return state;
            if (semi == std::string_view::npos) break;
            text.remove_prefix(semi + 1);
        }
        prob_.assign(l_seq, nan);
        if (!has_m_) return kModRead;
        for (std::size_t i = 0; i < l_seq; ++i) {
            double p = m_[i];
            if (rule.hydroxy_methylated && has_h_) p = p + h_[i];
            prob_[reverse ? l_seq - 1 - i : i] = p;
        }
        return kModRead;
    }

    // Base q of SEQ as stored.
    char base(std::size_t q) const { return stored_[q]; }

    // The call at query position q: 1 methylated, 0 unmethylated, -1 none.
    int call(std::size_t q) const {
        const double p = prob_[q];
        if (p >= rule_.threshold) return 1;
        if (p <= 1.0 - rule_.threshold) return 0;
        return -1;
    }

private:
    ModState group_(std::string_view group, std::size_t& used) {
        if (py_strip(group).empty()) return kModRead;
        const std::size_t comma = group.find(',');
        const std::string_view head = py_strip(group.substr(0, comma));
        // base, strand, codes (letters, or one ChEBI number), mode
        if (head.size() < 3 || std::string_view("ACGTUN").find(head[0]) == std::string_view::npos ||
            (head[1] != '+' && head[1] != '-')) {
            return kModMalformed;
        }
        std::string_view codes = head.substr(2);
        char mode = 0;
        if (codes.back() == '.' || codes.back() == '?') {
            mode = codes.back();
            codes.remove_suffix(1);
        }
        bool letters = !codes.empty(), digits = !codes.empty();
        for (const char c : codes) {
            letters = letters && c >= 'a' && c <= 'z';
            digits = digits && is_digit(c);
        }
        if (!letters && !digits) return kModMalformed;
        const std::size_t n_codes = letters ? codes.size() : 1;
        deltas_.clear();
        if (comma != std::string_view::npos) {
            std::string_view rest = group.substr(comma + 1);
            while (true) {
                const std::size_t next = rest.find(',');
                std::int64_t d = 0;
                if (!py_int(rest.substr(0, next), d)) return kModMalformed;
                deltas_.push_back(d);
                if (next == std::string_view::npos) break;
                rest.remove_prefix(next + 1);
            }
        }
        const std::size_t n_values = deltas_.size() * n_codes;
        if (n_values > ml_.size() - used) return kModMlShort;
        const std::size_t first_value = used;
        used += n_values;
        const char base = head[0];
        if (head[1] != '+' || (base != 'C' && base != 'N')) return kModRead;
        where_.clear();
        for (std::size_t i = 0; i < orig_.size(); ++i) {
            if (base == 'N' || orig_[i] == base) where_.push_back(i);
        }
        listed_.clear();
        std::size_t at = 0;
        for (const std::int64_t d : deltas_) {
            if (d < 0 || static_cast<std::uint64_t>(d) >= where_.size() - at + 0) {
                return kModMalformed;
            }
            at += static_cast<std::size_t>(d);
            listed_.push_back(where_[at]);
            ++at;
        }
        if (!letters) return kModRead;
        const double nan = std::numeric_limits<double>::quiet_NaN();
        for (std::size_t j = 0; j < n_codes; ++j) {
            const char code = codes[j];
            if (code != 'm' && code != 'h') continue;
            group_prob_.assign(orig_.size(), nan);
            if (mode != '?') {
                for (const std::size_t i : where_) group_prob_[i] = 0.0;
            }
            for (std::size_t k = 0; k < listed_.size(); ++k) {
                group_prob_[listed_[k]] = (ml_[first_value + k * n_codes + j] + 0.5) / 256.0;
            }
            std::vector<double>& into = code == 'm' ? m_ : h_;
            (code == 'm' ? has_m_ : has_h_) = true;
            for (std::size_t i = 0; i < group_prob_.size(); ++i) {
                if (!std::isnan(group_prob_[i])) into[i] = group_prob_[i];
            }
        }
        return kModRead;
    }

    ModCallRule rule_;
    std::vector<char> stored_, orig_;
    std::vector<double> ml_, m_, h_, prob_, group_prob_;
    std::vector<std::int64_t> deltas_;
    std::vector<std::size_t> where_, listed_;
    bool has_m_ = false, has_h_ = false;
};

}  // namespace

BamScan scan_xm_records(std::span<const std::uint8_t> bytes, std::span<std::int64_t> rows,
                        std::span<std::int64_t> calls, std::int64_t min_mapq) {
    return scan_records(bytes, rows, calls, [&](const Record& r, std::int64_t* row,
                                                std::size_t index, std::size_t& n_calls) {
        Tag xm, xg;
        if (!find_tags(r.tags, r.end, {{'X', 'M', &xm}, {'X', 'G', &xg}})) return false;
        const std::uint32_t flag = r.flag;
        const bool top =
            xg.found ? xg.text == "CT" : ((flag & 0x10) != 0) == ((flag & 0x80) != 0);
        row[kBamTop] = top ? 1 : 0;
        row[kBamHasXm] = xm.found ? 1 : 0;
        if (!xm.found || !kept(r, min_mapq)) return true;
        const std::int64_t shift = top ? 0 : 1;
        const auto call = [&](std::int64_t ref, char c) {
            if (ref < 0) return;
            std::int64_t* out = calls.data() + 3 * n_calls++;
            out[0] = static_cast<std::int64_t>(index);
            out[1] = ref - shift;
            out[2] = c == 'Z' ? 1 : 0;
        };
        const std::string_view text = xm.text;
        if (r.block_cigar()) {
            for (std::size_t q = 0; q < text.size(); ++q) {
                if (is_cpg_call(text[q])) call(r.pos + static_cast<std::int64_t>(q), text[q]);
            }
            return true;
        }
        // Calls in soft clips, insertions and past the last query base have no
        // reference position.
        for_each_aligned(r, text.size(), [&](std::size_t q, std::int64_t pos) {
            if (is_cpg_call(text[q])) call(pos, text[q]);
        });
        return true;
    });
}

BamScan scan_mm_records(std::span<const std::uint8_t> bytes, std::span<std::int64_t> rows,
                        std::span<std::int64_t> calls, std::int64_t min_mapq,
                        const ModCallRule& rule) {
    ModCalls mods;
    std::vector<std::int64_t> ref;
    return scan_records(bytes, rows, calls, [&](const Record& r, std::int64_t* row,
                                                std::size_t index, std::size_t& n_calls) {
        Tag mm, mm_old, ml, ml_old, mn;
        if (!find_tags(r.tags, r.end, {{'M', 'M', &mm}, {'M', 'm', &mm_old}, {'M', 'L', &ml},
                                       {'M', 'l', &ml_old}, {'M', 'N', &mn}})) {
            return false;
        }
        const bool reverse = (r.flag & 0x10) != 0;
        row[kBamTop] = reverse ? 0 : 1;
        const Tag& mm_tag = mm.found ? mm : mm_old;
        row[kBamHasXm] = mm_tag.found ? kModRead : kModNone;
        if (!mm_tag.found || !kept(r, min_mapq) || r.l_seq == 0) return true;
        const ModState state = mods.read(r.seq, r.l_seq, reverse, mm_tag, ml.found ? ml : ml_old,
                                         mn, rule);
        row[kBamHasXm] = state;
        if (state != kModRead) return true;
        // A CpG of the read as sequenced: C then G forward; on a reverse read the
        // stored G after a C.
        reference_positions(r, ref);
        const std::int64_t shift = reverse ? 1 : 0;
        for (std::size_t q = 0; q < r.l_seq; ++q) {
            const bool cpg = reverse ? q > 0 && mods.base(q) == 'G' && mods.base(q - 1) == 'C'
                                     : q + 1 < r.l_seq && mods.base(q) == 'C' &&
                                           mods.base(q + 1) == 'G';
            if (!cpg || ref[q] < 0) continue;
            const int call = mods.call(q);
            if (call < 0) continue;
            std::int64_t* out = calls.data() + 3 * n_calls++;
            out[0] = static_cast<std::int64_t>(index);
            out[1] = ref[q] - shift;
            out[2] = call;
        }
        return true;
    });
}

}  // namespace korvel
