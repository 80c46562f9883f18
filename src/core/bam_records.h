// Records of an uncompressed BAM stream read for their bisulfite calls.
//
// korvel extract inflates the BGZF blocks itself and hands the bytes of whole
// records here; this walks them at the speed of the bytes and gives, per
// record, the fields the pairing of mates needs and, per CpG call of the XM
// tag, where it sits on the reference. The layout is the public BAM record:
// block_size, refID, pos, l_read_name, mapq, bin, n_cigar_op, flag, l_seq,
// next_refID, next_pos, tlen, read_name, cigar, seq, qual, then the tags.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace korvel {

// The columns of a record's row, in this order.
enum BamColumn : std::size_t {
    kBamFlag,
    kBamTid,
    kBamPos,
    kBamMateTid,
    kBamMatePos,
    kBamMapq,
    kBamEnd,      // the reference end (see scan_xm_records)
    kBamTop,      // 1 when the calls sit on the top strand (the C of the CpG)
    kBamHasXm,    // 1 when the record has an XM tag (scan_mm_records: a ModState)
    kBamNameId,   // index of this scan's first record of the same name
    kBamNameHash, // FNV-1a of the name's bytes, to find names of earlier scans
    kBamNameAt,   // offset of the name in the scanned bytes
    kBamNameLen,  // its length, without the NUL
    kBamColumns,
};

// How far a scan got: rows[0 .. records * kBamColumns) and calls[0 .. calls *
// 3) are filled and the next record starts at byte `consumed`. `malformed`
// says that the record at `consumed` is not a BAM record (its fields run past
// its block, its name lacks its NUL, its tags are cut).
struct BamScan {
    std::size_t records = 0;
    std::size_t consumed = 0;
    std::size_t calls = 0;
    bool malformed = false;
};

// Reads the whole records at the start of `bytes`, at most rows.size() /
// kBamColumns of them, and stops before one that is not complete.
//
// A record's end is pos plus the reference length of its CIGAR (M, D, N, =,
// X), at least 1, and pos plus the length of its one operation when that is an
// aligned block (M, = or X). The strand is the top one when XG is "CT", the
// bottom one when XG is anything else; without XG it comes from the flags of
// a directional library (read 1 or a single read forward, read 2 reverse, is
// the top strand).
//
// Calls (3 numbers each: the record's index in this scan, the position, 1
// for methylated) are made only for records that are mapped, not secondary,
// QC-failed, duplicate or supplementary, of MAPQ >= min_mapq and with XM: for
// each 'Z' or 'z' at query position q, the reference position of q (through
// the CIGAR: none in soft clips, insertions or past its query bases; start + q
// for an aligned block), kept when it is not negative and then moved one base
// left on the bottom strand, where the call sits on the G. `calls` must hold
// 3 numbers per byte of `bytes`, which bounds the calls a record can make.
BamScan scan_xm_records(std::span<const std::uint8_t> bytes, std::span<std::int64_t> rows,
                        std::span<std::int64_t> calls, std::int64_t min_mapq);

// What scan_mm_records makes of a record's MM/ML, in its kBamHasXm column.
enum ModState : std::int64_t {
    kModNone = 0,       // no MM (nor Mm) tag
    kModRead = 1,       // read: its calls are made
    kModMalformed = 2,  // MM cannot be read, or its deltas run past the read's bases
    kModMlShort = 3,    // ML holds fewer values than MM lists
    kModSeqLength = 4,  // MN differs from the length of SEQ
};

// When a modified-base probability p is a call: methylated when p >=
// threshold, unmethylated when p <= 1 - threshold; with hydroxy_methylated,
// p is the C+m probability plus the C+h one.
struct ModCallRule {
    double threshold = 0.5;
    bool hydroxy_methylated = false;
};

// As scan_xm_records, with the calls of modified-base tags: MM (or Mm) and ML
// (or Ml) read as the public SAM tag definitions say, exactly as korvel's
// Python reader reads them. Calls sit at the CpGs of the read as sequenced
// (a C then a G; on a reverse read the stored G after a C, moved one base
// left), at positions the CIGAR gives; kBamTop is 1 for a forward read.
// Records that are kept and carry MM but whose tags cannot be read make no
// calls and say why in kBamHasXm. A record without SEQ makes no calls.
BamScan scan_mm_records(std::span<const std::uint8_t> bytes, std::span<std::int64_t> rows,
                        std::span<std::int64_t> calls, std::int64_t min_mapq,
                        const ModCallRule& rule);

}  // namespace korvel
