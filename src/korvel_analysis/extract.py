"""From a lab's files to a reads table: bisulfite BAMs, modified-base BAMs, per-CpG tables.

A *unit* is one row of the reads table ``korvel fit`` and ``korvel drift`` read:

- a read: the mates of a pair merged, a CpG covered by both mates counted once
  (the call of the first mate of the pair, flag 0x40, where they differ);
- with ``window_cpgs=K``: each run of K consecutive CpG calls along a read;
  the calls left over at the end of a read (fewer than K) are left out;
- from a per-CpG table: each run of K consecutive CpGs of a contig (K = 70 by
  default, the model's region), the CpGs left over at the contig's end left out.

``meth_fraction`` is the unit's methylated CpG calls over its CpG calls, and
``n_cpg`` its calls. ``cpg_density`` is the reference's CpG dinucleotides (their
C inside the span) per 100 bp over the unit's reference span, or over a window
of ``density_window`` bp centred on it; without a reference, the unit's own
called CpG sites per 100 bp of its span, which misses every CpG that no call
reached (unconverted, uncovered or filtered), so it runs lower.

A CpG is named by the 0-based position of its C on the forward strand: a call
on the reverse strand sits on the G and is moved one base left, so that both
strands of one CpG are one site.

BAM readers follow the public SAM tag definitions: ``XM`` holds one call per
base of SEQ as stored (``Z``/``z`` a methylated/unmethylated CpG); the
bisulfite strand comes from ``XG`` (``CT`` the top strand, ``GA`` the bottom)
or, without it, from the flags of a directional library. ``MM``/``ML`` count
their deltas over the unmodified base in the read's original orientation, so
for a reverse-strand read they count the complement from the end of SEQ; an
``ML`` byte p is the probability (p + 0.5) / 256, the middle of the range
[p/256, (p+1)/256) it stands for.
"""

from __future__ import annotations

import bisect
import contextlib
import dataclasses
import gzip
import hashlib
import heapq
import json
import os
import re
import shutil
import tempfile
import time
from collections import Counter
from pathlib import Path

import numpy as np

from . import progress as _progress
from . import provenance
from .readers import ArgumentError, InputError

DEFAULT_MIN_MAPQ = 10
DEFAULT_MOD_THRESHOLD = 0.5
DEFAULT_TABLE_CPGS = 70
DEFAULT_MIN_COVERAGE = 1
HYDROXY = ("unmethylated", "methylated")
# A BAM whose first reads carry neither tag is refused after this many mapped reads.
SNIFF_READS = 200
# Units are formatted in batches, so that reference densities are one searchsorted call.
BATCH = 4096
# The 28-byte empty BGZF block every complete BAM ends with.
BGZF_EOF = bytes.fromhex("1f8b08040000000000ff0600424302001b0003000000000000000000")
COLUMNS = ["chrom", "start", "end", "strand", "n_cpg", "meth_fraction", "cpg_density"]


@dataclasses.dataclass
class Options:
    reference: str | None = None
    window_cpgs: int | None = None
    min_cpgs: int = 1
    density_window: int | None = None
    min_mapq: int = DEFAULT_MIN_MAPQ
    mod_threshold: float = DEFAULT_MOD_THRESHOLD
    hydroxy: str = "unmethylated"
    min_coverage: int = DEFAULT_MIN_COVERAGE
    region: str | None = None
    regions: str | None = None


@dataclasses.dataclass
class Summary:
    """What ``extract`` wrote and left out; the sidecar JSON holds the same."""

    out: str
    units: int
    reads: int
    left_out: dict
    inputs: list
    record: dict


# ------------------------------------------------------------ inputs

def _kind(path):
    """'bam', 'cram' or 'table', from the first bytes (a name ending .bam/.cram/.sam must
    hold alignments)."""
    try:
        with open(path, "rb") as f:
            head = f.read(4)
            if head[:2] == b"\x1f\x8b":
                f.seek(0)
                with contextlib.suppress(OSError, EOFError, gzip.BadGzipFile):
                    head = gzip.GzipFile(fileobj=f).read(4)
    except OSError as exc:
        raise InputError(path, f"cannot be read ({exc.strerror or exc})") from None
    if head == b"BAM\x01":
        return "bam"
    if head == b"CRAM":
        return "cram"
    if str(path).lower().endswith((".bam", ".cram", ".sam")):
        raise InputError(path, "is not a BAM or CRAM file (its first bytes are "
                               f"{head!r})")
    return "table"


def _check_bam_eof(path):
    with open(path, "rb") as f:
        f.seek(0, os.SEEK_END)
        if f.tell() < len(BGZF_EOF):
            raise InputError(path, "is truncated: too short to be a BAM file")
        f.seek(-len(BGZF_EOF), os.SEEK_END)
        if f.read() != BGZF_EOF:
            raise InputError(path, "is truncated: it lacks the BAM end-of-file block "
                                   "(copied or written only in part?)")


def _pysam():
    try:
        import pysam
    except ImportError:
        raise ArgumentError("reading BAM or CRAM files needs pysam: pip install "
                            "'korvel[bam]' ({} names one)", "inputs") from None
    return pysam


def _open_bam(path, kind, reference):
    pysam = _pysam()
    save = pysam.set_verbosity(0)  # htslib's own warnings would duplicate our messages
    try:
        return pysam.AlignmentFile(str(path), "rc" if kind == "cram" else "rb",
                                   reference_filename=reference)
    except (OSError, ValueError) as exc:
        raise InputError(path, f"cannot be read as {kind.upper()} ({exc})") from None
    finally:
        pysam.set_verbosity(save)


def _parse_region(text, what="--region"):
    m = re.fullmatch(r"([^:\s]+)(?::([\d,]+)-([\d,]+))?", text.strip())
    if not m:
        raise ArgumentError(f"'{text}' is not CHROM or CHROM:START-END ({{}})", "region")
    if m.group(2) is None:
        return m.group(1), None, None
    # 1-based inclusive, as samtools writes regions.
    start, end = int(m.group(2).replace(",", "")) - 1, int(m.group(3).replace(",", ""))
    if start < 0 or end <= start:
        raise ArgumentError(f"'{text}': START must be at least 1 and below END ({{}})", "region")
    return m.group(1), start, end


def _read_bed(path):
    """Regions of a BED file, sorted and with overlaps merged, so no unit is written twice."""
    by_chrom = {}
    with open(path) as f:
        for lineno, line in enumerate(f, 1):
            if not line.strip() or line.startswith(("#", "track", "browser")):
                continue
            parts = line.split()
            try:
                s, e = int(parts[1]), int(parts[2])
                if s < 0 or e <= s:
                    raise ValueError
            except (IndexError, ValueError):
                raise InputError(path, "is not a BED line: CHROM START END, 0 <= START < END",
                                 lineno) from None
            by_chrom.setdefault(parts[0], []).append((s, e))
    out = {}
    for chrom, spans in by_chrom.items():
        merged = []
        for s, e in sorted(spans):
            if merged and s <= merged[-1][1]:
                merged[-1][1] = max(merged[-1][1], e)
            else:
                merged.append([s, e])
        out[chrom] = [tuple(x) for x in merged]
    return out


def _regions(options):
    """{chrom: [(start, end), ...]} of --region/--regions, or None for everything."""
    if options.region:
        chrom, s, e = _parse_region(options.region)
        return {chrom: [(s, e)]}
    if options.regions:
        return _read_bed(options.regions)
    return None


def _sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def _bam_plan(path, kind, options, regions, fasta_refs):
    """Checks a BAM/CRAM before any work and returns (source record, tasks, reads expected)."""
    if kind == "bam":
        _check_bam_eof(path)
    with _open_bam(path, kind, options.reference) as bam:
        header = str(bam.header)
        tag = _sniff(path, bam)
        indexed = bam.has_index()
        if regions is not None and not indexed:
            raise InputError(path, "has no index, which --region/--regions need "
                                   "(make one with samtools index or pysam.index)")
        contigs = list(bam.references)
        total = None
        if indexed:
            stats = bam.get_index_statistics() if kind == "bam" else []
            with_reads = {s.contig for s in stats if s.mapped}
            if stats:
                total = sum(s.mapped for s in stats)
                contigs = [c for c in contigs if c in with_reads]
        sorted_by_pos = "SO:coordinate" in header.split("\n", 1)[0]
    if fasta_refs is not None:
        for c in contigs if regions is None else [c for c in contigs if c in regions]:
            if c not in fasta_refs:
                raise InputError(options.reference, f"lacks contig '{c}' of {path}")
    if regions is not None:
        tasks = [(c, s, e) for c in contigs for s, e in regions.get(c, ())]
    elif indexed:
        tasks = [(c, None, None) for c in contigs]
    else:
        tasks = [(None, None, None)]  # one pass over the file in its own order
    source = {"path": str(path), "kind": kind, "bytes": os.path.getsize(path),
              "header_sha256": hashlib.sha256(header.encode()).hexdigest(), "tag": tag,
              "indexed": indexed, "sorted_by_coordinate": sorted_by_pos}
    return source, tasks, total


def _sniff(path, bam):
    """'XM' or 'MM' from the first mapped reads; refuses a BAM with neither."""
    seen = 0
    for r in bam.fetch(until_eof=True):
        if r.is_unmapped:
            continue
        if r.has_tag("XM"):
            return "XM"
        if r.has_tag("MM") or r.has_tag("Mm"):
            return "MM"
        seen += 1
        if seen >= SNIFF_READS:
            break
    raise InputError(path, f"none of its first {seen} mapped reads has an XM tag or MM/ML tags: "
                           "is this a bisulfite BAM (methylation calls in XM) or a "
                           "modified-base BAM (MM/ML)?")


# ------------------------------------------------------------ per-read calls

_ALIGNED = (0, 7, 8)  # M, =, X: both sequences advance
_QUERY_ONLY = (1, 4)  # I, S
_REF_ONLY = (2, 3)  # D, N


def _ref_of(cigar, start, qs):
    """Reference positions of the query positions ``qs`` (ascending), None where the base has
    none (soft clip, insertion)."""
    out, i, q, r, n_qs = [], 0, 0, start, len(qs)
    for op, n in cigar:
        if op in _ALIGNED:
            while i < n_qs and qs[i] < q + n:
                out.append(r + qs[i] - q if qs[i] >= q else None)
                i += 1
            q += n
            r += n
        elif op in _QUERY_ONLY:
            while i < n_qs and qs[i] < q + n:
                out.append(None)
                i += 1
            q += n
        elif op in _REF_ONLY:
            r += n
    out += [None] * (n_qs - i)
    return out


def _ref_array(cigar, start, length):
    """Reference position of every query position (-1: none), for reads with many calls."""
    ref = np.full(length, -1, dtype=np.int64)
    q, r = 0, start
    for op, n in cigar:
        if op in _ALIGNED:
            ref[q:q + n] = np.arange(r, r + n)
            q += n
            r += n
        elif op in _QUERY_ONLY:
            q += n
        elif op in _REF_ONLY:
            r += n
    return ref


def _bisulfite_top(r):
    """True when the read's calls are on the top strand (C of the CpG), False on the bottom."""
    if r.has_tag("XG"):
        return r.get_tag("XG") == "CT"
    # A directional library: read 1 (or a single read) forward, read 2 reverse, is the top.
    return r.is_reverse == r.is_read2


_XM_CALL = re.compile("[Zz]")


def xm_calls(r):
    """{CpG position: methylated} of a read's XM string; strand '+' or '-'."""
    xm = r.get_tag("XM")
    top = _bisulfite_top(r)
    qs, meth = [], []
    for m in _XM_CALL.finditer(xm):
        qs.append(m.start())
        meth.append(m.group() == "Z")
    if not qs:
        return {}, "+" if top else "-"
    cigar = r.cigartuples
    start = r.reference_start
    if len(cigar) == 1 and cigar[0][0] in _ALIGNED:
        refs = [start + q for q in qs]
    else:
        refs = _ref_of(cigar, start, qs)
    shift = 0 if top else 1
    return ({p - shift: z for p, z in zip(refs, meth) if p is not None},
            "+" if top else "-")


class BadModTags(Exception):
    """MM/ML of one read that cannot be read: the read is skipped and counted."""

    def __init__(self, reason):
        self.reason = reason


_COMPLEMENT = bytes.maketrans(b"ACGTNacgtn", b"TGCANtgcan")
_MM_GROUP = re.compile(r"([ACGTUN])([-+])([a-z]+|\d+)([.?]?)$")


def mod_probabilities(mm, ml, seq, is_reverse, hydroxy="unmethylated"):
    """Probability that each base of SEQ (as stored) is methylated, NaN where no call says.

    ``mm``/``ml`` the tags, ``seq`` SEQ as stored. C+m gives the methylated
    probability; C+h counts as methylated only with ``hydroxy='methylated'``.
    A C that an implicit group (no mode, or '.') does not list is unmodified
    for that group; one that a '?' group does not list is unknown. Raises
    BadModTags when the deltas run past the read or ML is shorter than MM.
    """
    L = len(seq)
    # The deltas count bases of the read as sequenced: SEQ reverse-complemented back.
    raw = seq.upper().encode()
    orig = np.frombuffer(raw.translate(_COMPLEMENT)[::-1] if is_reverse else raw,
                         dtype=np.uint8)
    ml = np.asarray(ml if ml is not None else [], dtype=np.float64)
    used = 0
    per_code = {}
    for group in mm.split(";"):
        if not group.strip():
            continue
        head, *deltas = group.split(",")
        m = _MM_GROUP.match(head.strip())
        if not m:
            raise BadModTags("mm_malformed")
        base, strand, codes, mode = m.groups()
        codes = list(codes) if not codes.isdigit() else [codes]
        try:
            d = np.array([int(x) for x in deltas], dtype=np.int64)
        except ValueError:
            raise BadModTags("mm_malformed") from None
        n_values = d.size * len(codes)
        if used + n_values > ml.size:
            raise BadModTags("ml_shorter_than_mm")
        values = ml[used:used + n_values].reshape(d.size, len(codes))
        used += n_values
        if strand != "+" or base not in "CN":
            continue  # calls on the opposite strand or other bases say nothing of this C
        where = np.flatnonzero(orig == ord(base)) if base != "N" else np.arange(L)
        if d.size and (d.min() < 0 or np.sum(d + 1) > where.size):
            raise BadModTags("mm_malformed")
        listed = where[np.cumsum(d + 1) - 1] if d.size else where[:0]
        for j, code in enumerate(codes):
            if code not in ("m", "h"):
                continue
            p = np.full(L, np.nan)
            if mode != "?":
                p[where] = 0.0
            p[listed] = (values[:, j] + 0.5) / 256.0
            per_code[code] = p if code not in per_code else np.where(np.isnan(p),
                                                                    per_code[code], p)
    if "m" not in per_code:
        return np.full(L, np.nan)
    prob = per_code["m"]
    if hydroxy == "methylated" and "h" in per_code:
        prob = prob + per_code["h"]
    return prob[::-1] if is_reverse else prob


def mm_calls(r, threshold, hydroxy):
    """{CpG position: methylated} of a read's MM/ML tags; strand '+' or '-'."""
    mm = r.get_tag("MM") if r.has_tag("MM") else r.get_tag("Mm")
    ml = r.get_tag("ML") if r.has_tag("ML") else (r.get_tag("Ml") if r.has_tag("Ml") else None)
    seq = r.query_sequence
    strand = "-" if r.is_reverse else "+"
    if not seq:
        return {}, strand
    if r.has_tag("MN") and r.get_tag("MN") != len(seq):
        raise BadModTags("mm_seq_length_mismatch")
    prob = mod_probabilities(mm, ml, seq, r.is_reverse, hydroxy)
    s = np.frombuffer(seq.upper().encode(), dtype=np.uint8)
    # A CpG of the original read: C then G forward; on a reverse read the stored G after a C.
    cpg = np.zeros(len(s), dtype=bool)
    if r.is_reverse:
        cpg[1:] = (s[1:] == ord("G")) & (s[:-1] == ord("C"))
    else:
        cpg[:-1] = (s[:-1] == ord("C")) & (s[1:] == ord("G"))
    meth = prob >= threshold
    unmeth = prob <= 1.0 - threshold
    qs = np.flatnonzero(cpg & (meth | unmeth))
    if not qs.size:
        return {}, strand
    ref = _ref_array(r.cigartuples, r.reference_start, len(s))[qs]
    keep = ref >= 0
    shift = 1 if r.is_reverse else 0
    return dict(zip((ref[keep] - shift).tolist(), meth[qs[keep]].tolist())), strand


# ------------------------------------------------------------ units from a BAM

_FILTERS = (("secondary", 0x100), ("supplementary", 0x800), ("duplicate", 0x400),
            ("qc_fail", 0x200))


class _Units:
    """Collects finished units and writes them in batches to a part file."""

    def __init__(self, f, options, chrom_sites, sep, age, counts):
        self.f, self.o, self.sites, self.sep, self.counts = f, options, chrom_sites, sep, counts
        self.age = None if age is None else provenance.cell(float(age))
        self.rows = []

    def add(self, chrom, calls, span, strand):
        """A read (or pair) with {CpG: methylated}; span (start, end) its aligned reference span."""
        o = self.o
        if o.window_cpgs is None:
            self._unit(chrom, span[0], span[1], strand, len(calls), sum(calls.values()),
                       len(calls))
            return
        pos = sorted(calls)
        k = o.window_cpgs
        full = len(pos) - len(pos) % k
        if len(pos) > full:
            self.counts["window_remainder_calls"] += len(pos) - full
        for i in range(0, full, k):
            w = pos[i:i + k]
            self._unit(chrom, w[0], w[-1] + 2, strand, k, sum(calls[p] for p in w), k)

    def _unit(self, chrom, start, end, strand, n, n_meth, n_sites):
        if n < max(self.o.min_cpgs, 1):
            self.counts["units_below_min_cpgs"] += 1
            return
        self.rows.append((chrom, start, end, strand, n, n_meth, n_sites))
        if len(self.rows) >= BATCH:
            self.flush()

    def flush(self):
        if not self.rows:
            return
        rows, self.rows = self.rows, []
        start = np.array([r[1] for r in rows], dtype=np.int64)
        end = np.array([r[2] for r in rows], dtype=np.int64)
        if self.sites is not None:
            sites, length = self.sites[rows[0][0]]
            if self.o.density_window:
                w = self.o.density_window
                start = (start + end) // 2 - w // 2
                end = start + w
            start = np.clip(start, 0, length)
            end = np.clip(end, 0, length)
            n = np.searchsorted(sites, end) - np.searchsorted(sites, start)
            span = end - start
        else:
            n = np.array([r[6] for r in rows], dtype=np.int64)
            span = end - start
        dens = [100.0 * int(a) / int(b) if b > 0 else float("nan")
                for a, b in zip(n.tolist(), span.tolist())]
        sep, cell = self.sep, provenance.cell
        out = []
        for (chrom, s, e, strand, k, n_meth, _), d in zip(rows, dens):
            fields = [chrom, str(s), str(e), strand, str(k), cell(n_meth / k), cell(d)]
            if self.age is not None:
                fields.append(self.age)
            out.append(sep.join(fields))
        self.f.write("\n".join(out) + "\n")
        self.counts["units"] += len(rows)


def _cpg_sites(reference, chrom):
    """Sorted positions of the C of every CpG of a reference contig, and the contig's length."""
    pysam = _pysam()
    with pysam.FastaFile(reference) as fa:
        seq = fa.fetch(chrom).upper().encode()
    s = np.frombuffer(seq, dtype=np.uint8)
    sites = np.flatnonzero((s[:-1] == ord("C")) & (s[1:] == ord("G")))
    return sites, len(seq)


class _ChromSites(dict):
    """CpG sites of each contig, loaded when first needed (one contig at a time)."""

    def __init__(self, reference):
        super().__init__()
        self.reference = reference

    def __missing__(self, chrom):
        self.clear()
        self[chrom] = _cpg_sites(self.reference, chrom)
        return self[chrom]


def _bam_task(path, kind, tag, task, options, part, sep, age, sorted_by_pos, tick=None):
    """Units of one contig or region of a BAM into the file ``part``; returns the counts."""
    counts = Counter()
    chrom_sites = _ChromSites(options.reference) if options.reference else None
    threshold, hydroxy, min_mapq = options.mod_threshold, options.hydroxy, options.min_mapq
    contig, lo, hi = task
    with _open_bam(path, kind, options.reference) as bam, open(part, "w") as f:
        units = _Units(f, options, chrom_sites, sep, age, counts)
        names = bam.references
        it = (bam.fetch(until_eof=True) if contig is None
              else bam.fetch(contig, lo, hi) if lo is not None else bam.fetch(contig))
        stash, due = {}, []  # first mates waiting for theirs; a heap of (mate start, name)
        cur_tid = None

        def emit(item):
            tid, calls, s, e, strand = item[:5]
            units.add(names[tid], calls, (s, e), strand)

        def flush_stash(before=None):
            while due and (before is None or due[0][0] < before):
                _, name = heapq.heappop(due)
                item = stash.pop(name, None)
                if item is not None:
                    emit(item)

        n = 0
        try:
            for r in it:
                n += 1
                if tick is not None and n % 65536 == 0:
                    tick(65536)
                flag = r.flag
                if flag & 0x4:
                    counts["reads_unmapped"] += 1
                    continue
                if r.reference_id != cur_tid:
                    flush_stash()
                    stash.clear()
                    cur_tid = r.reference_id
                start = r.reference_start
                paired = flag & 0x1 and not flag & 0x8 and r.next_reference_id == r.reference_id
                if lo is not None and min(start, r.next_reference_start if paired else start) < lo:
                    continue  # the unit starts in an earlier region, which writes it
                if sorted_by_pos and due:
                    flush_stash(start)
                skip = next((why for why, bit in _FILTERS if flag & bit), None)
                if skip is None and r.mapping_quality < min_mapq:
                    skip = "low_mapq"
                if skip is not None:
                    counts[f"reads_{skip}"] += 1
                    continue
                try:
                    if tag == "XM":
                        if not r.has_tag("XM"):
                            counts["reads_without_tag"] += 1
                            continue
                        calls, strand = xm_calls(r)
                    else:
                        if not (r.has_tag("MM") or r.has_tag("Mm")):
                            counts["reads_without_tag"] += 1
                            continue
                        calls, strand = mm_calls(r, threshold, hydroxy)
                except BadModTags as exc:
                    counts[f"reads_{exc.reason}"] += 1
                    continue
                counts["reads_used"] += 1
                item = (r.reference_id, calls, start, r.reference_end, strand, flag & 0x40)
                if not paired:
                    emit(item)
                    continue
                name = r.query_name
                mate = stash.pop(name, None)
                if mate is None:
                    if sorted_by_pos and r.next_reference_start < start:
                        emit(item)  # its mate came first and was left out
                    else:
                        stash[name] = item
                        heapq.heappush(due, (r.next_reference_start, name))
                    continue
                first, second = (mate, item) if mate[5] or not item[5] else (item, mate)
                merged = dict(second[1])
                merged.update(first[1])  # the first mate's call wins where both call a CpG
                counts["pairs_merged"] += 1
                emit((r.reference_id, merged, min(mate[2], start), max(mate[3], item[3]),
                      first[4]))
            flush_stash()
            for item in stash.values():
                emit(item)
        except OSError as exc:
            raise InputError(path, f"cannot be read past read {n} ({exc})") from None
        units.flush()
        if tick is not None:
            tick(n % 65536)
    return counts


# ------------------------------------------------------------ per-CpG tables

def _open_table(path):
    with open(path, "rb") as f:
        gz = f.read(2) == b"\x1f\x8b"
    return gzip.open(path, "rt") if gz else open(path)


def _table_layout(path):
    """'bedmethyl' or 'coverage' from the first data line; InputError for anything else."""
    with _open_table(path) as f:
        for lineno, line in enumerate(f, 1):
            if not line.strip() or line.startswith(("#", "track", "browser")):
                continue
            p = line.split()
            try:
                int(p[1])
                int(p[2])
                if len(p) == 6:
                    float(p[3])
                    int(p[4])
                    int(p[5])
                    return "coverage"
                if len(p) >= 11 and p[5] in "+-.":
                    int(p[9])
                    float(p[10])
                    return "bedmethyl"
            except (IndexError, ValueError):
                pass
            raise InputError(path, "is a per-CpG table of unknown layout: expected bedMethyl "
                                   "(chrom, start, end, name, score, strand, thickStart, "
                                   "thickEnd, color, coverage, percent[, counts...]) or a "
                                   "coverage table (chrom, start, end, percent, methylated, "
                                   f"unmethylated); this line has {len(p)} fields", lineno)
    raise InputError(path, "holds no per-CpG rows")


def _table_sites(path, layout, hydroxy):
    """(lineno, chrom, C position, methylated, unmethylated) per row of a per-CpG table.

    bedMethyl rows on the '-' strand sit on the G and move to the C; a coverage
    table is 1-based (start = the C) and has no strand, so a row one base after
    the previous row is taken as the G of that CpG.
    """
    with _open_table(path) as f:
        for lineno, line in enumerate(f, 1):
            if not line.strip() or line.startswith(("#", "track", "browser")):
                continue
            p = line.split()
            try:
                if layout == "coverage":
                    yield lineno, p[0], int(p[1]) - 1, int(p[4]), int(p[5]), None
                    continue
                name = p[3]
                if name not in ("m", "5mC", "CpG", "."):
                    if name != "h":
                        yield lineno, None, 0, 0, 0, f"rows_mod_{name}"
                    continue  # hydroxymethylation is read from the m rows' other-mod count
                pos = int(p[1]) - (1 if p[5] == "-" else 0)
                if len(p) >= 14:
                    n_mod, n_canonical, n_other = int(p[11]), int(p[12]), int(p[13])
                    if hydroxy == "methylated":
                        n_mod += n_other
                    else:
                        n_canonical += n_other
                else:
                    cov = int(p[9])
                    n_mod = int(round(cov * float(p[10]) / 100.0))
                    n_canonical = cov - n_mod
                if n_mod < 0 or n_canonical < 0:
                    raise ValueError
                yield lineno, p[0], pos, n_mod, n_canonical, None
            except (IndexError, ValueError):
                raise InputError(path, f"is not a {layout} line", lineno) from None


def _table_units(path, options, regions, sep, age, f, counts):
    layout = _table_layout(path)
    k = options.window_cpgs or DEFAULT_TABLE_CPGS
    chrom_sites = _ChromSites(options.reference) if options.reference else None
    units = _Units(f, dataclasses.replace(options, window_cpgs=k), chrom_sites, sep, age,
                   counts)
    fasta = None
    if options.reference:
        fasta = _pysam().FastaFile(options.reference)
    seen_chroms = set()
    chrom, last = None, -1
    calls, run = {}, []  # the current region's CpGs: position -> (methylated, calls)
    pending = None  # the CpG being read: [position, methylated, calls], both strands summed

    def settle():
        nonlocal pending
        if pending is None:
            return
        p, m, n = pending
        pending = None
        if n < max(options.min_coverage, 1):
            counts["cpgs_below_min_coverage"] += 1
            return
        if len(run) == k:
            close_region()
        run.append(p)
        calls[p] = (m, n)

    def close_region():
        if len(run) == k:
            units._unit(chrom, run[0], run[-1] + 2, ".", sum(calls[p][1] for p in run),
                        sum(calls[p][0] for p in run), k)
        elif run:
            counts["region_remainder_cpgs"] += len(run)
        run.clear()
        calls.clear()

    for lineno, c, pos, n_mod, n_can, skipped in _table_sites(path, layout, options.hydroxy):
        if skipped:
            counts[skipped] += 1
            continue
        if c != chrom:
            settle()
            close_region()
            if c in seen_chroms:
                raise InputError(path, f"is not sorted: contig '{c}' appears again", lineno)
            seen_chroms.add(c)
            if fasta is not None and c not in fasta.references:
                raise InputError(options.reference, f"lacks contig '{c}' of {path}")
            chrom, last = c, -1
        if pos < last:
            raise InputError(path, "is not sorted by position within its contig", lineno)
        last = pos
        if regions is not None and not any(s is None or s <= pos < e
                                           for s, e in regions.get(c, ())):
            counts["rows_outside_regions"] += 1
            continue
        if pending is not None and pos in (pending[0], pending[0] + 1):
            # the other strand of the same CpG (a coverage table names its G)
            pending[1] += n_mod
            pending[2] += n_mod + n_can
            continue
        settle()
        pending = [pos, n_mod, n_mod + n_can]
    settle()
    close_region()
    units.flush()
    if fasta is not None:
        fasta.close()
    return layout


# ------------------------------------------------------------ the whole run

def _worker(job):
    """One contig or region in a worker process: (counts, reads seen)."""
    return dict(_bam_task(*job))


def extract(inputs, out, *, ages=None, threads=1, progress=None, argv=None, **kw):
    """Writes the reads table ``out`` from BAM/CRAM files and per-CpG tables.

    ``inputs``: paths; ``ages``: one per input, adds an ``age`` column. Options
    as ``Options`` (reference, window_cpgs, min_cpgs, density_window, min_mapq,
    mod_threshold, hydroxy, min_coverage, region, regions). ``threads`` worker
    processes take the contigs (or regions) in turn; the table is the same bytes
    for any number. The table is written through a temporary file renamed into
    place, with the sidecar ``out + '.json'``. Raises InputError (a file is
    bad) or ArgumentError (an option is). Returns a ``Summary``.
    """
    options = Options(**kw)
    inputs = [str(p) for p in inputs]
    if not inputs:
        raise ArgumentError("no input given ({})", "inputs")
    if ages is not None and len(ages) != len(inputs):
        raise ArgumentError(f"{{}} gives {len(ages)} ages for {len(inputs)} inputs", "ages")
    if not 0.5 <= options.mod_threshold <= 1.0:
        raise ArgumentError("{} must lie in [0.5, 1]", "mod_threshold")
    if options.hydroxy not in HYDROXY:
        raise ArgumentError("{} must be 'unmethylated' or 'methylated'", "hydroxy")
    for name in ("window_cpgs", "density_window"):
        v = getattr(options, name)
        if v is not None and v < 1:
            raise ArgumentError("{} must be at least 1", name)
    if options.region and options.regions:
        raise ArgumentError("give {} or {}, not both", "region", "regions")
    if options.density_window and not options.reference:
        raise ArgumentError("{} needs {}", "density_window", "reference")
    provenance.check_file_target(out)
    regions = _regions(options)
    fasta_refs = None
    if options.reference:
        pysam = _pysam()
        try:
            with pysam.FastaFile(options.reference) as fa:
                fasta_refs = set(fa.references)
        except (OSError, ValueError) as exc:
            raise InputError(options.reference, f"cannot be read as an indexed FASTA ({exc})") \
                from None

    sep = provenance.separator(str(out).removesuffix(".gz"))
    plans, total = [], 0
    for i, path in enumerate(inputs):
        kind = _kind(path)
        if kind == "table":
            _table_layout(path)
            plans.append(({"path": path, "kind": "table", "bytes": os.path.getsize(path),
                           "sha256": _sha256_file(path)}, None))
        else:
            source, tasks, n = _bam_plan(path, kind, options, regions, fasta_refs)
            plans.append((source, tasks))
            total = None if n is None or total is None else total + n

    counts = Counter()
    t0 = time.monotonic()
    with tempfile.TemporaryDirectory(prefix=".korvel-extract-",
                                     dir=Path(out).resolve().parent) as tmp:
        parts, jobs = [], []
        for i, (source, tasks) in enumerate(plans):
            age = None if ages is None else ages[i]
            if tasks is None:
                part = os.path.join(tmp, f"{i}.table")
                with open(part, "w") as f:
                    source["layout"] = _table_units(source["path"], options, regions, sep, age,
                                                    f, counts)
                parts.append(part)
                continue
            for j, task in enumerate(tasks):
                part = os.path.join(tmp, f"{i}.{j}.part")
                jobs.append((source["path"], source["kind"], source["tag"], task, options,
                             part, sep, age, source["sorted_by_coordinate"]))
                parts.append(part)
        _run_jobs(jobs, threads, total, progress, counts)
        elapsed = time.monotonic() - t0
        header = sep.join(COLUMNS + (["age"] if ages is not None else [])) + "\n"

        def write(f):
            target = gzip.GzipFile(fileobj=f, mode="wb", mtime=0, filename="") \
                if str(out).endswith(".gz") else f
            target.write(header.encode())
            for part in parts:
                with open(part, "rb") as p:
                    shutil.copyfileobj(p, target, 1 << 20)
            if target is not f:
                target.close()

        provenance.write_file(out, write)
    units = counts.pop("units", 0)
    reads = counts.get("reads_used", 0)
    left_out = {k: v for k, v in sorted(counts.items()) if k not in ("reads_used",
                                                                         "pairs_merged")}
    record = {
        "command": "extract", "argv": list(argv) if argv is not None else None,
        "korvel_version": provenance.korvel_version(), "started": provenance.now(),
        "inputs": [p[0] for p in plans], "ages": ages, "threads": threads,
        "options": dataclasses.asdict(options) | {"cpg_position": "0-based C of the CpG",
                                                  "ml_probability": "(p + 0.5) / 256"},
        "columns": COLUMNS + (["age"] if ages is not None else []),
        "units_written": units, "reads_used": reads,
        "pairs_merged": counts.get("pairs_merged", 0), "left_out": left_out,
        "seconds": round(elapsed, 3),
    }
    provenance.write_text(str(out) + ".json", json.dumps(provenance.jsonable(record), indent=2)
                          + "\n")
    return Summary(str(out), units, reads, left_out, [p[0] for p in plans], record)


def _run_jobs(jobs, threads, total, progress, counts):
    if not jobs:
        return
    bar = _progress.bar(total, "korvel extract", "read", progress)
    try:
        if threads <= 1 or len(jobs) == 1:
            for job in jobs:
                counts.update(_bam_task(*job, tick=lambda n: _progress.advance(bar, n)))
            return
        import concurrent.futures as cf
        import multiprocessing as mp

        # Spawned, not forked: the parent may hold korvel's thread pool and pysam's handles.
        with cf.ProcessPoolExecutor(threads, mp_context=mp.get_context("spawn")) as pool:
            futures = [pool.submit(_worker, job) for job in jobs]
            done = set()
            for fut in cf.as_completed(futures):
                c = fut.result()
                counts.update(c)
                done.add(fut)
                _progress.advance(bar, sum(v for k, v in c.items() if k.startswith("reads_")))
    finally:
        bar.close()
