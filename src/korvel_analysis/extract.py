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

import contextlib
import dataclasses
import functools
import gzip
import hashlib
import heapq
import itertools
import operator
import json
import os
import re
import shutil
import tempfile
import time
from collections import Counter
from pathlib import Path

import numpy as np

from . import bgzf, interrupts
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
# Regions of a per-CpG table are written this many at a time, their densities in one call.
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


@contextlib.contextmanager
def _open_bam(path, kind, reference):
    pysam = _pysam()
    save = pysam.set_verbosity(0)  # htslib's own warnings would duplicate our messages
    try:
        bam = pysam.AlignmentFile(str(path), "rc" if kind == "cram" else "rb",
                                  reference_filename=reference)
    except (OSError, ValueError) as exc:
        raise InputError(path, f"cannot be read as {kind.upper()} ({exc})") from None
    finally:
        pysam.set_verbosity(save)
    try:
        yield bam
    finally:
        # After a read error htslib fails the close too: the error already raised, which
        # names the read, is the one to report.
        with contextlib.suppress(OSError):
            bam.close()


def _parse_region(text):
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


def _data_lines(f):
    """(line number, fields) of each line of a BED-like text that holds data: blank,
    comment, track and browser lines are passed over."""
    for lineno, line in enumerate(f, 1):
        if line.strip() and not line.startswith(("#", "track", "browser")):
            yield lineno, line.split()


def _read_bed(path):
    """Regions of a BED file, sorted and with overlaps merged, so no unit is written twice."""
    by_chrom = {}
    with open(path) as f:
        for lineno, parts in _data_lines(f):
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


def _bisulfite_top(r, flag):
    """True when the read's calls are on the top strand (C of the CpG), False on the bottom."""
    try:
        return r.get_tag("XG") == "CT"
    except KeyError:
        # A directional library: read 1 (or a single read) forward, read 2 reverse, is the top.
        return bool(flag & 0x10) == bool(flag & 0x80)


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
        except (ValueError, OverflowError):  # not a number, or past any read's length
            raise BadModTags("mm_malformed") from None
        n_values = d.size * len(codes)
        if used + n_values > ml.size:
            raise BadModTags("ml_shorter_than_mm")
        values = ml[used:used + n_values].reshape(d.size, len(codes))
        used += n_values
        if strand != "+" or base not in "CN":
            continue  # calls on the opposite strand or other bases say nothing of this C
        where = np.flatnonzero(orig == ord(base)) if base != "N" else np.arange(L)
        # (the largest delta is checked first: d + 1 of a huge one would wrap round)
        if d.size and (d.min() < 0 or d.max() >= where.size or np.sum(d + 1) > where.size):
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
    """CpG positions and methylated (0/1) arrays of a read's MM/ML calls; strand '+' or '-'."""
    mm = r.get_tag("MM") if r.has_tag("MM") else r.get_tag("Mm")
    ml = r.get_tag("ML") if r.has_tag("ML") else (r.get_tag("Ml") if r.has_tag("Ml") else None)
    seq = r.query_sequence
    strand = "-" if r.is_reverse else "+"
    none = np.zeros(0, np.int64)
    if not seq:
        return none, none, strand
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
        return none, none, strand
    ref = _ref_array(r.cigartuples, r.reference_start, len(s))[qs]
    keep = ref >= 0
    shift = 1 if r.is_reverse else 0
    return ref[keep] - shift, meth[qs[keep]].astype(np.int64), strand


# ------------------------------------------------------------ units from a BAM

_FILTERS = (("secondary", 0x100), ("supplementary", 0x800), ("duplicate", 0x400),
            ("qc_fail", 0x200))
# Reads gathered before their calls are found (as one array operation) and units written.
READ_BATCH = 20000
# Reads of the XM path gathered at a time: their strings stay in the processor's cache.
XM_BATCH = 4096


def _reprs(x):
    """repr of each float of ``x``, each distinct value formatted once (fractions of a few
    calls repeat)."""
    values, back = np.unique(x, return_inverse=True)
    return np.array(list(map(repr, values.tolist())), dtype=object)[back.ravel()].tolist()


class _Writer:
    """Writes units to a part file: chrom, start, end, strand, n_cpg, meth_fraction,
    cpg_density (and age), computing the densities of many units at once."""

    def __init__(self, f, options, reference, sep, age, counts):
        self.f, self.o, self.sep, self.counts = f, options, sep, counts
        self.sites = _ChromSites(reference) if reference else None
        self.age = None if age is None else provenance.cell(float(age))

    def write(self, chrom, start, end, strand, n, n_meth, n_sites):
        """Arrays of one contig's units; those below --min-cpgs are counted, not written."""
        keep = n >= max(self.o.min_cpgs, 1)
        self.counts["units_below_min_cpgs"] += int(np.sum(~keep))
        if not np.any(keep):
            return
        start, end, n, n_meth, n_sites = (a[keep] for a in (start, end, n, n_meth, n_sites))
        strand = np.asarray(strand)[keep] if not isinstance(strand, str) else None
        lo, hi = start, end
        if self.sites is not None:
            sites, length = self.sites[chrom]
            if self.o.density_window:
                w = self.o.density_window
                lo = (start + end) // 2 - w // 2
                hi = lo + w
            lo, hi = np.clip(lo, 0, length), np.clip(hi, 0, length)
            n_sites = np.searchsorted(sites, hi) - np.searchsorted(sites, lo)
        span = hi - lo
        with np.errstate(divide="ignore", invalid="ignore"):
            dens = np.where(span > 0, 100.0 * n_sites / np.maximum(span, 1), np.nan)
        frac = n_meth / n
        sep = self.sep
        tail = "" if self.age is None else sep + self.age
        self.counts["units"] += start.size
        fast = _format_units()
        if fast is not None:
            codes = b"." * start.size if strand is None else np.asarray(strand, dtype="S1")
            i64 = functools.partial(np.ascontiguousarray, dtype=np.int64)
            text = fast(i64(start), i64(end), codes, i64(n),
                        np.ascontiguousarray(frac, dtype=np.float64),
                        np.ascontiguousarray(dens, dtype=np.float64), ord(sep),
                        f"{chrom}{sep}".encode(), f"{tail}\n".encode())
            self.f.write(text.decode())
            return
        strands = strand.tolist() if strand is not None else itertools.repeat(".")
        dens_text = _reprs(dens)
        if np.isnan(dens).any():
            dens_text = ["NA" if d == "nan" else d for d in dens_text]
        # Columns joined by C loops (str.join over zip), not a format per line: a table can
        # have a row for every two reads.
        head, cut = f"{chrom}{sep}", f"{tail}\n"
        lines = map(sep.join, zip(map(str, start.tolist()), map(str, end.tolist()), strands,
                                  map(str, n.tolist()), _reprs(frac), dens_text))
        self.f.write(head + (cut + head).join(lines) + cut)


def _format_units():
    """The module's writer of unit lines (the bytes the Python lines below give, in one
    pass), or None when the installed module predates it."""
    try:
        import korvel
    except ImportError:
        return None
    return getattr(korvel, "_format_units", None)


class _Assembler:
    """Units of one contig (or region) from its reads' CpG calls.

    Each read or pair is a unit numbered in the order its first read comes.
    Calls are kept as arrays (unit, position, methylated, mate rank) and a unit
    is written once no read of it can come any more: both mates seen, its mate
    left out, or, in a coordinate-sorted file, the reads gone past its mate's
    start. Units are written in the order of their numbers, so the table does
    not depend on where the batches end.
    """

    def __init__(self, writer, options, chrom, sorted_by_pos):
        self.w, self.o, self.chrom, self.sorted = writer, options, chrom, sorted_by_pos
        self.base = 0  # number of the first unit not yet written
        self.u_start, self.u_end, self.u_strand = [], [], []
        self.waiting = {}  # query name -> unit number, pairs whose other mate has not come
        self.waiting_ids = {}  # the same, by unit number, in number order
        self.due = []  # heap of (mate start, unit number)
        self.calls = [np.zeros(0, np.int64)] * 4  # unit, position, methylated, rank
        self.batch = []  # per-read call arrays not yet joined

    def pass_by(self, start):
        """In a coordinate-sorted file, a read at ``start`` closes the pairs whose other mate
        starts before it: that mate came and was left out."""
        while self.due and self.due[0][0] < start:
            _, uid = heapq.heappop(self.due)
            name_left = self.waiting_ids.pop(uid, None)
            if name_left is not None:
                del self.waiting[name_left]

    def read(self, name, flag, start, end, strand, paired, mate_start):
        """Registers a read; returns (unit number, rank: 0 read 1 or a single read, 1 read 2)."""
        rank = 1 if flag & 0x80 else 0
        uid = self.waiting.pop(name, None) if paired else None
        if uid is not None:
            del self.waiting_ids[uid]
            i = uid - self.base
            self.u_start[i] = min(self.u_start[i], start)
            self.u_end[i] = max(self.u_end[i], end)
            if rank == 0:
                self.u_strand[i] = strand
            self.w.counts["pairs_merged"] += 1
            return uid, rank
        uid = self.base + len(self.u_start)
        self.u_start.append(start)
        self.u_end.append(end)
        self.u_strand.append(strand)
        if paired and not (self.sorted and mate_start < start):
            self.waiting[name] = uid
            self.waiting_ids[uid] = name
            if self.sorted:
                heapq.heappush(self.due, (mate_start, uid))
        return uid, rank

    def add_calls(self, unit, pos, meth, rank):
        self.batch.append((unit, pos, meth, rank))

    def flush(self, everything=False):
        """Writes every unit that no read to come can change (all of them at the end)."""
        if self.batch:
            parts = list(zip(*self.batch))
            self.batch = []
            self.calls = [np.concatenate([old] + [np.asarray(p, dtype=np.int64) for p in new])
                          for old, new in zip(self.calls, parts)]
        n_units = len(self.u_start)
        cutoff = self.base + n_units if everything or not self.waiting_ids \
            else next(iter(self.waiting_ids))
        if cutoff <= self.base:
            return
        if everything:
            self.waiting.clear()
            self.waiting_ids.clear()
            self.due.clear()
        unit, pos, meth, rank = self.calls
        now = unit < cutoff
        self.calls = [a[~now] for a in self.calls]
        unit, pos, meth, rank = unit[now], pos[now], meth[now], rank[now]
        order = np.lexsort((rank, pos, unit))
        unit, pos, meth = unit[order], pos[order], meth[order]
        # A CpG both mates call counts once, with read 1's call.
        first = np.ones(unit.size, dtype=bool)
        first[1:] = (unit[1:] != unit[:-1]) | (pos[1:] != pos[:-1])
        unit, pos, meth = unit[first], pos[first], meth[first]
        k = cutoff - self.base
        idx = unit - self.base
        starts = np.array(self.u_start[:k], dtype=np.int64)
        ends = np.array(self.u_end[:k], dtype=np.int64)
        strands = np.array(self.u_strand[:k])
        del self.u_start[:k], self.u_end[:k], self.u_strand[:k]
        self.base = cutoff
        K = self.o.window_cpgs
        if K is None:
            n = np.bincount(idx, minlength=k)
            n_meth = np.bincount(idx, weights=meth, minlength=k)
            self.w.write(self.chrom, starts, ends, strands, n, n_meth, n)
            return
        # Windows of K consecutive calls along each unit; the calls left over are left out.
        _, first_of, per_unit = np.unique(idx, return_index=True, return_counts=True)
        within = np.arange(idx.size) - np.repeat(first_of, per_unit)
        window = within // K
        full = (window < np.repeat(per_unit // K, per_unit))
        self.w.counts["window_remainder_calls"] += int(np.sum(~full))
        self.w.counts["units_below_min_cpgs"] += int(k - per_unit.size)  # units without calls
        idx, pos, meth, within = idx[full], pos[full], meth[full], within[full]
        heads = np.flatnonzero(within % K == 0)
        if not heads.size:
            return
        n = np.full(heads.size, K, dtype=np.int64)
        n_meth = np.add.reduceat(meth, heads)
        self.w.write(self.chrom, pos[heads], pos[heads + K - 1] + 2, strands[idx[heads]], n,
                     n_meth, n)


def _xm_calls_of_batch(xms, starts, shifts, cigars):
    """Calls of many reads' XM strings at once: (read index, CpG position, methylated).

    XM has one character per base of SEQ as stored; 'Z'/'z' are the CpG calls.
    A read whose CIGAR is one aligned block maps base q to start + q; the
    others are walked through their CIGAR, and calls in soft clips and
    insertions dropped.
    """
    lengths = np.fromiter(map(len, xms), dtype=np.int64, count=len(xms))
    ends = np.cumsum(lengths)
    text = np.frombuffer("".join(xms).encode("ascii", "replace"), dtype=np.uint8)
    hits = np.flatnonzero((text == ord("Z")) | (text == ord("z")))
    read = np.searchsorted(ends, hits, side="right")
    q = hits - (ends - lengths)[read]
    pos = np.asarray(starts, dtype=np.int64)[read] + q
    for i in np.flatnonzero(np.fromiter(map(operator.is_not, cigars, itertools.repeat(None)),
                                        dtype=bool, count=len(cigars))).tolist():
        at = np.flatnonzero(read == i)
        if at.size:
            refs = _ref_of(cigars[i], starts[i], q[at].tolist())
            pos[at] = [-1 if p is None else p for p in refs]
    keep = pos >= 0
    read, pos = read[keep], pos[keep]
    pos -= np.asarray(shifts, dtype=np.int64)[read]
    return read, pos, (text[hits[keep]] == ord("Z")).astype(np.int64)


def _gather_xm(it, limit, min_mapq):
    """Up to ``limit`` reads of ``it`` as a ``_PysamXmReads`` batch, None at the end.

    The loop does nothing but read attributes: each line of Python here is paid
    once per read, so filtering and pairing are left to whole-batch array work.
    """
    rows = []
    app = rows.append
    for r in itertools.islice(it, limit):
        flag, mapq = r.flag, r.mapping_quality
        if flag & 0xF04 or mapq < min_mapq:  # left out: its tags and name are not needed
            app((flag, r.reference_id, r.reference_start, -1, -1, mapq, None, None, None, None))
            continue
        try:
            xm = r.get_tag("XM")
        except KeyError:
            xm = None
        try:
            xg = r.get_tag("XG")
        except KeyError:
            xg = None
        app((flag, r.reference_id, r.reference_start, r.next_reference_id,
             r.next_reference_start, mapq, r.query_name, r.cigarstring, xm, xg))
    return _PysamXmReads(rows) if rows else None


class _PysamXmReads:
    """A batch of reads read through pysam, in the columns of ``bgzf.XmReads``: one row of
    int64 per read (flag, contig, start, mate contig, mate start, MAPQ, end, top strand,
    has XM, name number, name hash) and the CpG calls of the reads kept (read, position,
    methylated)."""

    def __init__(self, rows):
        flag, tid, start, mtid, mstart, mapq, self.names, cigar, xm, xg = zip(*rows)
        n = len(rows)
        m = np.zeros((n, bgzf.N_COLUMNS), dtype=np.int64)
        for col, values in ((bgzf.FLAG, flag), (bgzf.TID, tid), (bgzf.POS, start),
                            (bgzf.MATE_TID, mtid), (bgzf.MATE_POS, mstart), (bgzf.MAPQ, mapq)):
            m[:, col] = values
        cigars, m[:, bgzf.END] = _cigars_and_ends(cigar, m[:, bgzf.POS])
        has_xg = np.fromiter(map(operator.is_not, xg, itertools.repeat(None)), dtype=bool,
                             count=n)
        is_ct = np.fromiter(map(operator.eq, xg, itertools.repeat("CT")), dtype=bool, count=n)
        f = m[:, bgzf.FLAG]
        # Without XG, a directional library: read 1 (or a single read) forward, read 2
        # reverse, is the top strand.
        m[:, bgzf.TOP] = np.where(has_xg, is_ct, ((f & 0x10) != 0) == ((f & 0x80) != 0))
        kept = np.fromiter(map(operator.is_not, xm, itertools.repeat(None)), dtype=bool,
                           count=n)
        m[:, bgzf.HAS_XM] = kept
        number = {}
        m[:, bgzf.NAME_ID] = [number.setdefault(nm, i) for i, nm in enumerate(self.names)]
        m[:, bgzf.NAME_HASH] = list(map(hash, self.names))
        self.rows = m
        # A read's XM is read only when its flags and MAPQ keep it.
        at = np.flatnonzero(kept)
        read, pos, meth = _xm_calls_of_batch([xm[i] for i in at.tolist()], m[at, bgzf.POS],
                                             1 - m[at, bgzf.TOP], [cigars[i] for i in at.tolist()])
        self.calls = np.stack([at[read], pos, meth], axis=1) if read.size else \
            np.zeros((0, 3), dtype=np.int64)

    def __len__(self):
        return len(self.rows)

    def name(self, i):
        return self.names[i]

_CIGAR_OP = re.compile(r"(\d+)([MIDNSHP=X])")
_REF_STEP = frozenset("MDN=X")


def _cigars_and_ends(cs, start):
    """(CIGARs as (op, length) lists, None for one aligned block; reference ends) of CIGAR
    strings. Most reads are one block ('150M'), read without a Python step per read."""
    n = len(cs)
    cs = [c or "*" for c in cs]
    lengths = np.fromiter(map(len, cs), dtype=np.int64, count=n)
    text = np.frombuffer("".join(cs).encode("ascii", "replace"), dtype=np.uint8)
    heads = np.cumsum(lengths) - lengths
    letter = text > ord("9")
    n_ops = np.add.reduceat(letter, heads) if n else np.zeros(0, np.int64)
    op = text[heads + lengths - 1]
    block = (n_ops == 1) & ((op == ord("M")) | (op == ord("=")) | (op == ord("X")))
    # The length of a one-block CIGAR: its digits, each times its power of ten.
    owner = np.repeat(np.arange(n), lengths)
    power = (heads + lengths - 2)[owner] - np.arange(text.size)
    digit = np.where(letter | (power < 0) | (power > 18), 0, text.astype(np.int64) - 48)
    size = np.add.reduceat(digit * 10 ** np.clip(power, 0, 18), heads) if n else digit[:0]
    end = np.asarray(start, dtype=np.int64) + size
    cigars = [None] * n
    for i in np.flatnonzero(~block).tolist():
        ops = _CIGAR_OP.findall(cs[i])
        cigars[i] = [("MIDNSHP=X".index(o), int(k)) for k, o in ops]
        # as htslib ends a read: a CIGAR without reference bases spans one
        end[i] = start[i] + max(sum(int(k) for k, o in ops if o in _REF_STEP), 1)
    return cigars, end


# The has-tag codes of the MM/ML walker for tags it cannot read, as mm_calls names them.
_MOD_TAG_PROBLEMS = ((2, "mm_malformed"), (3, "ml_shorter_than_mm"), (4, "mm_seq_length_mismatch"))


class _XmBatches(_Assembler):
    """The units of one contig from whole batches of reads and their calls (of XM, or of
    MM/ML read by korvel's own reader).

    Gives the units, calls and counts that ``_Assembler.read`` gives read by
    read: a pair is joined when its second registered read comes while the
    first still waits (not passed by, in a coordinate-sorted file, by a read
    starting after the first's mate start). Pairs whose reads both fall in one
    batch and whose name no other read of it bears are matched with arrays
    (by the name numbers of the batch); the rest (a name waiting from an
    earlier batch, three or more reads of one name) one name at a time.
    """

    def __init__(self, writer, options, chrom, sorted_by_pos):
        super().__init__(writer, options, chrom, sorted_by_pos)
        self.max_start = -1  # the furthest start seen, what pass_by was last called with
        self.u_mate = {}  # unit number -> its mate's start, of the units waiting
        self.name_hash = {}  # name -> its hash in the batch, of the names waiting

    def take(self, reads, sel, counts):
        """Registers the mapped reads ``sel`` (ascending indices) of a batch (``_PysamXmReads``
        or ``bgzf.XmReads``), all of this contig."""
        rows = reads.rows[sel]
        flag, start, mapq = rows[:, bgzf.FLAG], rows[:, bgzf.POS], rows[:, bgzf.MAPQ]
        tid = rows[0, bgzf.TID]
        paired = ((flag & 0x1) != 0) & ((flag & 0x8) == 0) & (rows[:, bgzf.MATE_TID] == tid)
        mate = np.where(paired, rows[:, bgzf.MATE_POS], start)
        # What pass_by has been called with by each read: the furthest start so far.
        cm = np.maximum.accumulate(np.maximum(start, self.max_start)) if self.sorted else None
        if self.sorted:
            self.max_start = int(cm[-1])
        bad = (flag & 0xF00) != 0
        for why, bit in _FILTERS:
            hit = (flag & bit) != 0
            if np.any(hit & bad):
                counts[f"reads_{why}"] += int(np.sum(hit & bad))
            bad &= ~hit
        bad = (flag & 0xF00) != 0
        low = ~bad & (mapq < self.o.min_mapq)
        if np.any(low):
            counts["reads_low_mapq"] += int(np.sum(low))
        state = rows[:, bgzf.HAS_XM]
        untagged = ~bad & ~low & (state == 0)
        if np.any(untagged):
            counts["reads_without_tag"] += int(np.sum(untagged))
        if np.any(state > 1):  # MM/ML that cannot be read, by the walker's reason
            for code, why in _MOD_TAG_PROBLEMS:
                hit = ~bad & ~low & (state == code)
                if np.any(hit):
                    counts[f"reads_{why}"] += int(np.sum(hit))
        ok = np.flatnonzero(~bad & ~low & (state == 1))
        if ok.size:
            self._register(reads, sel, rows, ok, paired, mate, cm, counts)
        if self.sorted:
            self.pass_by(self.max_start)
        return ok.size

    def _waiting_of(self, reads, idx, hashes):
        """Whether each read ``idx`` of the batch bears a name that waits from an earlier
        batch: names are compared only where the hashes say they may be equal."""
        out = np.zeros(idx.size, dtype=bool)
        if not self.waiting:
            return out
        if len(self.name_hash) > 2 * len(self.waiting):
            self.name_hash = {nm: self.name_hash[nm] for nm in self.waiting}
        maybe = np.flatnonzero(np.isin(hashes, [self.name_hash[nm] for nm in self.waiting]))
        for k in maybe.tolist():
            out[k] = reads.name(int(idx[k])) in self.waiting
        return out

    def _register(self, reads, sel, rows, ok, paired, mate, cm, counts):
        rows = rows[ok]
        flag, start, end = rows[:, bgzf.FLAG], rows[:, bgzf.POS], rows[:, bgzf.END]
        mate, paired = mate[ok], paired[ok]
        cm = cm[ok] if cm is not None else None
        at = sel[ok]  # the reads' indices in the batch
        rank = ((flag & 0x80) != 0).astype(np.int64)
        strand = np.where(rows[:, bgzf.TOP] != 0, "+", "-")
        waits = paired & ~(mate < start) if self.sorted else paired.copy()
        merged, partner, joins_old, last_waiting = self._pair_up(reads, at, rows, paired, waits,
                                                                 mate, cm)
        uids = self._number_units(merged, partner, joins_old)
        self._add_units(start, end, strand, rank, merged, partner, joins_old)
        if np.any(merged):
            counts["pairs_merged"] += int(np.sum(merged))
        for j in np.flatnonzero(last_waiting).tolist():
            uid, nm = int(uids[j]), reads.name(int(at[j]))
            self.waiting[nm] = uid
            self.waiting_ids[uid] = nm
            self.name_hash[nm] = int(rows[j, bgzf.NAME_HASH])
            self.u_mate[uid] = int(mate[j])
            if self.sorted:
                heapq.heappush(self.due, (int(mate[j]), uid))

        # The calls of the reads kept: the batch has them by batch index.
        of_read = np.full(len(reads), -1, dtype=np.int64)
        of_read[at] = np.arange(at.size)
        calls = reads.calls
        j = of_read[calls[:, 0]]
        mine = j >= 0
        j = j[mine]
        self.add_calls(uids[j], calls[mine, 1], calls[mine, 2], rank[j])

    def _pair_up(self, reads, at, rows, paired, waits, mate, cm):
        """Which kept reads join a unit (``merged``), the batch read whose unit each joins
        (``partner``, -1 for none), the units of earlier batches joined (``joins_old``:
        batch read -> unit number), and the reads still waiting for a mate once their
        name's reads are done (``last_waiting``)."""
        n = at.size
        merged = np.zeros(n, dtype=bool)
        partner = np.full(n, -1, dtype=np.int64)
        joins_old = {}
        last_waiting = np.zeros(n, dtype=bool)
        pi = np.flatnonzero(paired)
        if not pi.size:
            return merged, partner, joins_old, last_waiting
        _, first_at, which, per_name = np.unique(rows[pi, bgzf.NAME_ID], return_index=True,
                                                 return_inverse=True, return_counts=True)
        count = per_name[which]
        first = pi[first_at[which]]
        old = self._waiting_of(reads, at[pi], rows[pi, bgzf.NAME_HASH])
        simple = (count <= 2) & ~old
        # One read of its name: a unit of its own, waiting when its mate is to come.
        alone = pi[simple & (count == 1)]
        last_waiting[alone] = waits[alone]
        # Two: the second joins the first if the first still waits when it comes.
        second = simple & (count == 2) & (first != pi)
        b, a = pi[second], first[second]
        joined = waits[a] & (cm[b] <= mate[a] if cm is not None else True)
        merged[b[joined]] = True
        partner[b[joined]] = a[joined]
        last_waiting[b[~joined]] = waits[b[~joined]]
        # Everything else read by read, as _Assembler.read does.
        chains = {}
        for j in pi[~simple].tolist():
            chains.setdefault(reads.name(int(at[j])), []).append(j)
        for nm, group in chains.items():
            self._pair_name(nm, group, waits, mate, cm, merged, partner, joins_old,
                            last_waiting)
        return merged, partner, joins_old, last_waiting

    def _pair_name(self, nm, group, waits, mate, cm, merged, partner, joins_old,
                   last_waiting):
        """The reads ``group`` of one name, in order, paired as _Assembler.read pairs
        them, with the unit of the name waiting from an earlier batch if there is one."""
        uid = self.waiting.pop(nm, None)
        here = None  # (batch read, mate start) of a waiting unit made in this batch
        if uid is not None:
            del self.waiting_ids[uid]
            old_mate = self.u_mate.pop(uid)
        for j in group:
            if uid is not None and (cm is None or cm[j] <= old_mate):
                merged[j] = True
                joins_old[j] = uid
                uid = None
            elif here is not None and (cm is None or cm[j] <= here[1]):
                merged[j] = True
                partner[j] = here[0]
                here = None
            else:
                uid = None
                here = (j, mate[j]) if waits[j] else None
        if here is not None:
            last_waiting[here[0]] = True

    def _number_units(self, merged, partner, joins_old):
        """The unit number of each kept read: new units numbered on from the last, a read
        that joins one takes its number."""
        new = ~merged
        uids = np.full(merged.size, -1, dtype=np.int64)
        base = self.base + len(self.u_start)
        uids[new] = base + np.arange(int(np.sum(new)))
        inb = partner >= 0
        uids[inb] = uids[partner[inb]]
        for j, uid in joins_old.items():
            uids[j] = uid
        return uids

    def _add_units(self, start, end, strand, rank, merged, partner, joins_old):
        """Start, end and strand of the units made here, from the read that made them,
        widened by the mate that joined them; read 1's strand names the pair. Units of
        earlier batches widen by the reads that joined them."""
        new, inb = ~merged, partner >= 0
        u_start, u_end = start.copy(), end.copy()
        u_strand = strand.copy()
        b, a = np.flatnonzero(inb), partner[inb]
        # A read is joined by one mate at most: no read is twice in ``a``.
        u_start[a] = np.minimum(u_start[a], start[b])
        u_end[a] = np.maximum(u_end[a], end[b])
        r0 = rank[b] == 0
        u_strand[a[r0]] = strand[b[r0]]
        self.u_start += u_start[new].tolist()
        self.u_end += u_end[new].tolist()
        self.u_strand += u_strand[new].tolist()
        for j, uid in joins_old.items():
            i = uid - self.base
            self.u_start[i] = min(self.u_start[i], int(start[j]))
            self.u_end[i] = max(self.u_end[i], int(end[j]))
            if rank[j] == 0:
                self.u_strand[i] = str(strand[j])

    def pass_by(self, start):
        super().pass_by(start)
        for uid in [u for u in self.u_mate if u not in self.waiting_ids]:
            del self.u_mate[uid]

def _xm_whole(batches, writer, options, names, sorted_by_pos, counts, tick):
    """The units of every read of ``batches`` (a contig, or a whole file, as batches of
    ``_gather_xm`` or ``bgzf.xm_batches``) from their XM calls; returns the reads used."""
    asm, cur_tid, used = None, None, 0
    counts["reads_seen"] += 0
    for reads in batches:
        counts["reads_seen"] += len(reads)
        if tick is not None:
            tick(len(reads))
        mapped = np.flatnonzero((reads.rows[:, bgzf.FLAG] & 0x4) == 0)
        if mapped.size < len(reads):
            counts["reads_unmapped"] += len(reads) - mapped.size
        if not mapped.size:
            continue
        tids = reads.rows[mapped, bgzf.TID]
        cuts = [0] + (np.flatnonzero(np.diff(tids)) + 1).tolist() + [mapped.size]
        for a, b in zip(cuts[:-1], cuts[1:]):
            tid = int(tids[a])
            if tid != cur_tid:
                if asm is not None:
                    asm.flush(everything=True)
                asm, cur_tid = _XmBatches(writer, options, names[tid], sorted_by_pos), tid
            used += asm.take(reads, mapped[a:b], counts)
            asm.flush()
    if asm is not None:
        asm.flush(everything=True)
    return used


def _own_xm_batches(path, kind, contig, min_mapq, piece=None, mods=None):
    """(reference names, batches of reads of a contig or of the whole file with their XM
    calls, or with those of MM/ML given ``mods`` (``bgzf.xm_batches``)) read by korvel's
    own BAM reader, without pysam; None where it cannot (CRAM, an index other than .bai,
    a module built without the record walker). ``piece``: the batches of one piece of
    the contig only (``_Piece``), read from the piece's own offset."""
    bai = bgzf.index_path(path) if contig is not None else None
    walker = bgzf.kernel("_scan_bam_xm" if mods is None else "_scan_bam_mm")
    if kind != "bam" or walker is None or (contig is not None and bai is None):
        return None
    if piece is not None:  # planned from the index: the header is not read again
        return {piece["tid"]: contig}, _Piece(
            bgzf.xm_batches(path, piece["voffset"], piece["tid"], XM_BATCH, min_mapq,
                            mods=mods), piece)
    names = bgzf.references(path)
    if contig is None:
        return names, bgzf.xm_batches(path, 0, None, XM_BATCH, min_mapq, header=True,
                                      mods=mods)
    offsets = bgzf.first_offsets(bai)
    tid = names.index(contig) if contig in names else None
    if tid not in offsets:
        return None
    return names, bgzf.xm_batches(path, offsets[tid], tid, XM_BATCH, min_mapq, mods=mods)


# A piece's first read is looked for this far (bp) behind its nominal cut: pairs whose
# reads lie closer together than this are seen whole by the piece that starts there.
LOOKBACK = bgzf.WINDOW


class _Piece:
    """The batches of one piece of a coordinate-sorted contig, so that two processes can
    share a contig and still write the bytes of one.

    A contig is cut at positions P where no read before P has its mate at P or
    after it (its *reach*, the greatest mate start of the reads before P, is
    below P): no unit then has reads on both sides, so the units of the pieces,
    one after the other, are those of the whole contig. The contig's planned
    cuts ``cuts`` (c_1 < c_2 < ...) are nominal; piece k (0 = from the start)
    starts at the first position P >= c_k whose reach over the reads from
    c_k - LOOKBACK on is below P, a guess that misses only pairs further apart.
    The piece before knows the whole reach: it stops at the first position past
    c_{k+1} that is a cut by both reckonings, and where the two differ it reads
    on through piece k+1 (whose table is then dropped) to the next cut. Which
    pieces are kept is settled once all are done (``_settle``). Aligners report
    pairs within their largest insert, far below LOOKBACK, so reading on is rare;
    a file with many pairs far apart on one contig gains nothing from pieces and
    loses the work of those dropped.

    After the batches are read, ``outcome`` says where the piece started, where
    it stopped (the position and the cut's number, len(cuts) + 1 at the end of
    the contig) and whether it surely read every read from its start on (its
    offset, from the index, is not past a read it should have read).
    """

    def __init__(self, batches, cut):
        self.batches, self.k, self.cuts = batches, cut["k"], cut["cuts"]
        self.m = len(self.cuts)
        self.outcome = {"start": None, "stop": self.m + 1, "end": None,
                        "sure": self.k == 0 or cut["from_first"]}
        self.started = self.k == 0
        self.seen_any = False
        self.reach = -1
        self.last = -1
        self.view = {}  # cut number -> reach over the reads from its look-back on
        self.guess = {}  # cut number -> its position by the look-back's reckoning
        self.next = self.k + 1  # the next cut at which this piece may stop

    def _cut(self, j):
        return self.cuts[j - 1]

    def _first_cut(self, j, pos, first, mate, reach0, lo, from_row=0):
        """(row of the first position >= cut j whose reach, over the reads at ``lo`` or
        after, stays below it; or None, and the reach after the batch)."""
        m = mate if lo is None else np.where(pos >= lo, mate, -1)
        before = np.maximum.accumulate(np.concatenate(([reach0], m)))
        ok = first & (pos >= self._cut(j)) & (before[:-1] < pos)
        ok[:from_row] = False
        rows = np.flatnonzero(ok)
        return (int(rows[0]) if rows.size else None), int(before[-1])

    def __iter__(self):
        try:
            for reads in self.batches:
                part = self._take(reads)
                if part is not None:
                    yield part
                if self.outcome["end"] is not None:
                    return
        finally:
            self.batches.close()

    def _take(self, reads):
        """The part of a batch that is this piece's (None for none of it), noting where the
        piece starts and stops."""
        rows = reads.rows
        pos, flag = rows[:, bgzf.POS], rows[:, bgzf.FLAG]
        paired = ((flag & 0x1) != 0) & ((flag & 0x8) == 0) & (rows[:, bgzf.MATE_TID] ==
                                                               rows[:, bgzf.TID])
        mate = np.where(paired, rows[:, bgzf.MATE_POS], -1)
        first = pos > np.concatenate(([self.last], pos[:-1]))
        at_first_read, self.seen_any = not self.seen_any, True
        # The look-back reckoning of every cut this batch reaches, this piece's own start
        # among them until it is found.
        start_row = None
        for j in range(self.next - (not self.started), self.m + 1):
            c = self._cut(j)
            if c - LOOKBACK > pos[-1]:
                break
            if j not in self.guess:
                row, self.view[j] = self._first_cut(j, pos, first, mate, self.view.get(j, -1),
                                                    c - LOOKBACK)
                if row is not None:
                    self.guess[j] = int(pos[row])
                    if j == self.k:
                        start_row = row
        begin = 0
        if not self.started:
            if start_row is None:
                self.reach = max(self.reach, int(mate.max()))
                self.last = int(pos[-1])
                return None
            self.started, begin = True, start_row
            self.outcome["start"] = int(pos[start_row])
            # The reads before the offset read from lie at or before the first one seen:
            # when that one lies before the start, no read of the piece was missed.
            self.outcome["sure"] |= not (at_first_read and start_row == 0)
        # The whole reckoning of the cuts in order: the first where it agrees with the
        # look-back's ends the piece; where they differ the piece reads on through the next.
        stop = None
        for j in range(self.next, self.m + 1):
            if self._cut(j) > pos[-1]:
                break
            row, _ = self._first_cut(j, pos, first, mate, self.reach, None, begin)
            if row is None:
                break
            if self.guess.get(j) == int(pos[row]):
                stop = row
                self.outcome.update(stop=j, end=int(pos[row]))
                break
            self.next = j + 1
        self.reach = max(self.reach, int(mate.max()))
        self.last = int(pos[-1])
        end = len(rows) if stop is None else stop
        if end <= begin:
            return None
        if begin == 0 and end == len(rows):
            return reads
        calls = reads.calls
        a, b = np.searchsorted(calls[:, 0], [begin, end])
        got = calls[a:b].copy()
        got[:, 0] -= begin
        return bgzf.XmReads(rows[begin:end], got, reads.data, reads.base)


def _xm_task(path, batches, names, options, f, sep, age, sorted_by_pos, counts, tick):
    """The units of XM reads in batches into the part file ``f``; returns the counts."""
    writer = _Writer(f, options, options.reference, sep, age, counts)
    try:
        used = _xm_whole(batches, writer, options, names, sorted_by_pos, counts, tick)
    except (OSError, bgzf.BamFormatError) as exc:
        raise InputError(path, f"cannot be read past read {counts['reads_seen']} "
                               f"({exc})") from None
    counts.pop("reads_seen")
    counts["reads_used"] += used
    return counts


class _Counts(Counter):
    """A job's counts, and how it went: ``reader`` 'korvel' (the module's own BAM reader)
    or 'pysam', ``piece`` the outcome of a piece of a contig (``_Piece``)."""

    reader = "pysam"
    piece = None

    def answer(self):
        """The job's result as it travels from a worker."""
        return {"counts": dict(self), "reader": self.reader, "piece": self.piece}


def _bam_task(path, kind, tag, task, options, part, sep, age, sorted_by_pos, tick=None):
    """Units of one contig or region (or piece) of a BAM into the file ``part``; returns the
    counts (``_Counts``)."""
    counts = _Counts()
    contig, lo, hi, *piece = task
    piece = piece[0] if piece else None
    xm_tag = tag == "XM"
    if lo is None:
        mods = None if xm_tag else (options.mod_threshold, options.hydroxy == "methylated")
        try:
            own = _own_xm_batches(path, kind, contig, options.min_mapq, piece, mods)
        except (OSError, bgzf.BamFormatError) as exc:
            raise InputError(path, f"cannot be read ({exc})") from None
        if own is not None:
            counts.reader = "korvel"
            with open(part, "w") as f:
                _xm_task(path, own[1], own[0], options, f, sep, age, sorted_by_pos, counts,
                         tick)
            if piece is not None:
                counts.piece = own[1].outcome
            return counts
        if piece is not None:  # not to be read in pieces after all: the whole contig is
            counts.piece = {"start": None, "stop": None, "end": None, "sure": False}
            open(part, "w").close()
            return counts
    with _open_bam(path, kind, options.reference) as bam, open(part, "w") as f:
        names = bam.references
        if xm_tag and lo is None:
            it = bam.fetch(until_eof=True) if contig is None else bam.fetch(contig)
            batches = iter(lambda: _gather_xm(it, XM_BATCH, options.min_mapq), None)
            return _xm_task(path, batches, names, options, f, sep, age, sorted_by_pos, counts,
                            tick)
        writer = _Writer(f, options, options.reference, sep, age, counts)
        # A region's reads run past its end, to the second mates of the pairs it starts.
        it = (bam.fetch(until_eof=True) if contig is None
              else bam.fetch(contig, lo) if lo is not None else bam.fetch(contig))
        used = _units_read_by_read(path, it, names, writer, options, xm_tag, (lo, hi),
                                   sorted_by_pos, counts, tick)
    counts["reads_used"] += used
    return counts


def _units_read_by_read(path, it, names, writer, options, xm_tag, span, sorted_by_pos, counts,
                        tick):
    """The units of the pysam reads ``it`` (of a region ``span`` = (lo, hi), or of a
    contig or file where both are None), read by read; returns the reads used."""
    lo, hi = span
    asm, cur_tid = None, None
    batch = []  # per XM read: XM, unit, rank, start, shift to the C, CIGAR (None: one block)

    def calls_of_batch():
        if batch:
            xms, units, ranks, starts, shifts, cigars = zip(*batch)
            read, pos, meth = _xm_calls_of_batch(xms, starts, shifts, cigars)
            u, k = np.asarray(units, dtype=np.int64), np.asarray(ranks, dtype=np.int64)
            asm.add_calls(u[read], pos, meth, k[read])
            batch.clear()

    n = used = 0
    try:
        for r in it:
            n += 1
            if tick is not None and n % 65536 == 0:
                tick(65536)
            flag = r.flag
            if flag & 0x4:
                counts["reads_unmapped"] += 1
                continue
            tid = r.reference_id
            if tid != cur_tid:
                if asm is not None:
                    calls_of_batch()
                    asm.flush(everything=True)
                asm, cur_tid = _Assembler(writer, options, names[tid], sorted_by_pos), tid
            start = r.reference_start
            paired = flag & 0x1 and not flag & 0x8 and r.next_reference_id == tid
            mate_start = r.next_reference_start if paired else start
            if lo is not None and min(start, mate_start) < lo:
                continue  # the unit starts in an earlier region, which writes it
            if asm.due and asm.due[0][0] < start and sorted_by_pos:
                asm.pass_by(start)
            if hi is not None and start >= hi:
                if not asm.waiting:
                    break
                if not paired or r.query_name not in asm.waiting:
                    continue  # a unit of a later region
            if _left_out(r, flag, options.min_mapq, counts):
                continue
            if not xm_tag:
                used += _take_mm(r, flag, asm, (start, paired, mate_start), options, counts)
            elif _take_xm(r, flag, asm, (start, paired, mate_start), batch, counts):
                used += 1
                if len(batch) >= READ_BATCH:
                    calls_of_batch()
                    asm.flush()
        if asm is not None:
            calls_of_batch()
            asm.flush(everything=True)
    except OSError as exc:
        raise InputError(path, f"cannot be read past read {n} ({exc})") from None
    if tick is not None:
        tick(n % 65536)
    return used


def _left_out(r, flag, min_mapq, counts):
    """Whether a mapped read is left out by its flags or its MAPQ (and counted so)."""
    if flag & 0xF00:
        why = next(why for why, bit in _FILTERS if flag & bit)
        counts[f"reads_{why}"] += 1
        return True
    if r.mapping_quality < min_mapq:
        counts["reads_low_mapq"] += 1
        return True
    return False


def _take_xm(r, flag, asm, where, batch, counts):
    """Registers an XM read (start, paired, mate start = ``where``) and adds it to the
    batch whose calls are read together; False for a read without XM."""
    start, paired, mate_start = where
    try:
        xm = r.get_tag("XM")
    except KeyError:
        counts["reads_without_tag"] += 1
        return False
    top = _bisulfite_top(r, flag)
    cigar = r.cigarstring
    simple = cigar[-1:] == "M" and cigar[:-1].isdigit()
    uid, rank = asm.read(r.query_name if paired else None, flag, start,
                         start + int(cigar[:-1]) if simple else r.reference_end,
                         "+" if top else "-", paired, mate_start)
    batch.append((xm, uid, rank, start, 0 if top else 1, None if simple else r.cigartuples))
    return True


def _take_mm(r, flag, asm, where, options, counts):
    """Registers an MM/ML read (start, paired, mate start = ``where``) with its calls;
    False for a read without usable modification tags."""
    start, paired, mate_start = where
    if not (r.has_tag("MM") or r.has_tag("Mm")):
        counts["reads_without_tag"] += 1
        return False
    try:
        pos, meth, strand = mm_calls(r, options.mod_threshold, options.hydroxy)
    except BadModTags as exc:
        counts[f"reads_{exc.reason}"] += 1
        return False
    uid, rank = asm.read(r.query_name if paired else None, flag, start, r.reference_end, strand,
                         paired, mate_start)
    asm.add_calls(np.full(pos.size, uid), pos, meth, np.full(pos.size, rank))
    if len(asm.batch) >= 1000:
        asm.flush()
    return True


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


# ------------------------------------------------------------ per-CpG tables

def _open_table(path):
    with open(path, "rb") as f:
        gz = f.read(2) == b"\x1f\x8b"
    return gzip.open(path, "rt") if gz else open(path)


def _table_layout(path):
    """'bedmethyl' or 'coverage' from the first data line; InputError for anything else."""
    with _open_table(path) as f:
        for lineno, p in _data_lines(f):
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
    """(lineno, chrom, position, methylated, unmethylated) per row of a per-CpG table.

    bedMethyl rows on the '-' strand sit on the G and move to the C. A coverage
    table is 1-based and has no strand: with a reference, a row on the G of a
    CpG moves to its C; without one, a row one base after the previous row is
    taken as the G of that CpG.
    """
    with _open_table(path) as f:
        for lineno, p in _data_lines(f):
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


class _TableWindows:
    """The regions of ``k`` consecutive CpGs of a per-CpG table, one contig at a time:
    CpGs come in with both strands summed, regions go to the writer in batches."""

    def __init__(self, writer, k, min_coverage, counts):
        self.writer, self.k, self.counts = writer, k, counts
        self.min_calls = max(min_coverage, 1)
        self.chrom = None
        self.rows = []  # the contig's regions not yet written: start, end, calls, methylated
        self.calls, self.run = {}, []  # the current region's CpGs: position -> (methylated, calls)
        self.pending = None  # the CpG being read: [position, methylated, calls]

    def add(self, pos, n_mod, n_can):
        """A row of the table: the other strand of the CpG being read (a coverage table
        names its G), or the next CpG."""
        pending = self.pending
        if pending is not None and pos in (pending[0], pending[0] + 1):
            pending[1] += n_mod
            pending[2] += n_mod + n_can
            return
        self._settle()
        self.pending = [pos, n_mod, n_mod + n_can]

    def end_contig(self):
        """Writes what the contig has left: its last CpG, its last region if whole."""
        self._settle()
        self._close_region()
        self._write_rows()

    def _settle(self):
        if self.pending is None:
            return
        p, m, n = self.pending
        self.pending = None
        if n < self.min_calls:
            self.counts["cpgs_below_min_coverage"] += 1
            return
        if len(self.run) == self.k:
            self._close_region()
        self.run.append(p)
        self.calls[p] = (m, n)

    def _close_region(self):
        run, calls = self.run, self.calls
        if len(run) == self.k:
            self.rows.append((run[0], run[-1] + 2, sum(calls[p][1] for p in run),
                              sum(calls[p][0] for p in run)))
            if len(self.rows) >= BATCH:
                self._write_rows()
        elif run:
            self.counts["region_remainder_cpgs"] += len(run)
        run.clear()
        calls.clear()

    def _write_rows(self):
        if self.rows:
            a = np.array(self.rows, dtype=np.int64).reshape(-1, 4)
            self.writer.write(self.chrom, a[:, 0], a[:, 1], ".", a[:, 2], a[:, 3],
                              np.full(len(a), self.k))
            self.rows.clear()


def _table_units(path, options, regions, sep, age, f, counts):
    layout = _table_layout(path)
    writer = _Writer(f, options, options.reference, sep, age, counts)
    windows = _TableWindows(writer, options.window_cpgs or DEFAULT_TABLE_CPGS,
                            options.min_coverage, counts)
    fasta = None
    if options.reference:
        fasta = _pysam().FastaFile(options.reference)
    seen_chroms = set()
    last = -1
    for lineno, c, pos, n_mod, n_can, skipped in _table_sites(path, layout, options.hydroxy):
        if skipped:
            counts[skipped] += 1
            continue
        if c != windows.chrom:
            windows.end_contig()
            if c in seen_chroms:
                raise InputError(path, f"is not sorted: contig '{c}' appears again", lineno)
            seen_chroms.add(c)
            if fasta is not None and c not in fasta.references:
                raise InputError(options.reference, f"lacks contig '{c}' of {path}")
            windows.chrom, last = c, -1
            if layout == "coverage" and writer.sites is not None:
                g_sites = writer.sites[c][0] + 1
        if layout == "coverage" and writer.sites is not None:
            # A coverage table has no strand: the reference says which rows sit on a G.
            i = np.searchsorted(g_sites, pos)
            if i < g_sites.size and g_sites[i] == pos:
                pos -= 1
        if pos < last:
            raise InputError(path, "is not sorted by position within its contig", lineno)
        last = pos
        if regions is not None and not any(s is None or s <= pos < e
                                           for s, e in regions.get(c, ())):
            counts["rows_outside_regions"] += 1
            continue
        windows.add(pos, n_mod, n_can)
    windows.end_contig()
    if fasta is not None:
        fasta.close()
    return layout


# ------------------------------------------------------------ the whole run

def extract(inputs, out, *, ages=None, threads=1, progress=None, argv=None, **kw):
    """Writes the reads table ``out`` from BAM/CRAM files and per-CpG tables.

    ``inputs``: paths; ``ages``: one per input, adds an ``age`` column. Options
    as ``Options`` (reference, window_cpgs, min_cpgs, density_window, min_mapq,
    mod_threshold, hydroxy, min_coverage, region, regions). ``threads``
    processes (this one and threads - 1 workers) take the contigs (or regions,
    or pieces of contigs: ``_Piece``) in turn; the table is the same bytes for
    any number. The table is written
    through a temporary file renamed into place, with the sidecar
    ``out + '.json'``. Raises InputError (a file is bad) or ArgumentError (an
    option is). Returns a ``Summary``.
    """
    options = Options(**kw)
    inputs = [str(p) for p in inputs]
    _check_options(inputs, ages, options)
    provenance.check_file_target(out)
    regions = _regions(options)
    fasta_refs = _fasta_contigs(options.reference) if options.reference else None
    sep = provenance.separator(str(out).removesuffix(".gz"))
    kinds = [_kind(path) for path in inputs]
    columns = COLUMNS + (["age"] if ages is not None else [])
    # Workers start now, so that their interpreters load while this one plans the jobs.
    n_workers = threads - 1 if threads > 1 and any(k != "table" for k in kinds) else 0
    with _Workers(n_workers) as workers:
        plans, total = _plan(inputs, kinds, options, regions, fasta_refs)
        counts = Counter()
        started, t0 = provenance.now(), time.monotonic()
        with tempfile.TemporaryDirectory(prefix=".korvel-extract-",
                                         dir=Path(out).resolve().parent) as tmp:
            parts, jobs = _parts(plans, tmp, options, regions, sep, ages, counts, threads)
            how = _run_jobs(jobs, threads, total, progress, counts, workers)
            elapsed = time.monotonic() - t0
            _join_parts(out, sep.join(columns) + "\n", parts)
        units = counts.pop("units", 0)
        reads = counts.get("reads_used", 0)
        left_out = {k: v for k, v in sorted(counts.items()) if k not in ("reads_used",
                                                                             "pairs_merged")}
        record = {
            "command": "extract", "argv": list(argv) if argv is not None else None,
            "korvel_version": provenance.korvel_version(), "started": started,
            "finished": provenance.now(),
            "inputs": [p[0] for p in plans], "ages": ages, "threads": threads,
            "options": dataclasses.asdict(options) | {"cpg_position": "0-based C of the CpG",
                                                      "ml_probability": "(p + 0.5) / 256"},
            "columns": columns,
            "units_written": units, "reads_used": reads,
            "pairs_merged": counts.get("pairs_merged", 0), "left_out": left_out,
            "bam_jobs": how,
            "seconds": round(elapsed, 3),
        }
        provenance.write_text(str(out) + ".json", json.dumps(provenance.jsonable(record), indent=2)
                              + "\n")
        return Summary(str(out), units, reads, left_out, [p[0] for p in plans], record)


def _check_options(inputs, ages, options):
    """ArgumentError for inputs, ages or options that cannot make a table."""
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


def _fasta_contigs(reference):
    """The contig names of an indexed FASTA; InputError where it cannot be read."""
    pysam = _pysam()
    try:
        with pysam.FastaFile(reference) as fa:
            return set(fa.references)
    except (OSError, ValueError) as exc:
        raise InputError(reference, f"cannot be read as an indexed FASTA ({exc})") from None


def _plan(inputs, kinds, options, regions, fasta_refs):
    """Per input (its source record, its BAM tasks or None for a per-CpG table), and the
    reads of all BAM inputs (None where not known)."""
    plans, total = [], 0
    for path, kind in zip(inputs, kinds):
        if kind == "table":
            _table_layout(path)
            plans.append(({"path": path, "kind": "table", "bytes": os.path.getsize(path),
                           "sha256": _sha256_file(path)}, None))
        else:
            source, tasks, n = _bam_plan(path, kind, options, regions, fasta_refs)
            plans.append((source, tasks))
            total = None if n is None or total is None else total + n
    return plans, total


def _parts(plans, tmp, options, regions, sep, ages, counts, threads=1):
    """The part files of the table in the folder ``tmp``, in the table's order, and the
    BAM jobs that write theirs; per-CpG tables are written here and now."""
    parts, jobs = [], []
    for i, (source, tasks) in enumerate(plans):
        age = None if ages is None else ages[i]
        if tasks is None:
            part = os.path.join(tmp, f"{i}.table")
            with open(part, "w") as f:
                source["layout"] = _table_units(source["path"], options, regions, sep, age, f,
                                                counts)
            parts.append(part)
            continue
        split = _pieces(source, regions, threads, sum(p[0]["bytes"] for p in plans))
        for j, task in enumerate(tasks):
            for k, piece in enumerate(split.get(task[0], [None])):
                part = os.path.join(tmp, f"{i}.{j}.{k}.part")
                jobs.append((source["path"], source["kind"], source["tag"],
                             task if piece is None else task + (piece | {"input": i},),
                             options, part, sep, age, source["sorted_by_coordinate"]))
                parts.append(part)
    return parts, jobs


# Pieces a contig is cut into are about the bytes of all inputs over this many per
# process, so that the last job to end is short; no piece is planned below PIECE_BYTES.
PIECES_PER_PROCESS = 8
PIECE_BYTES = 1 << 20


def _pieces(source, regions, threads, all_bytes):
    """{contig: the cuts of its pieces (``_Piece``)} of the contigs of a BAM worth cutting
    for ``threads`` processes: a BAM sorted by coordinate and indexed, read whole contigs
    at a time by korvel's own reader."""
    bai = bgzf.index_path(source["path"])
    walker = bgzf.kernel("_scan_bam_xm" if source["tag"] == "XM" else "_scan_bam_mm")
    if (threads <= 1 or regions is not None or source["kind"] != "bam"
            or not source["sorted_by_coordinate"] or bai is None or walker is None):
        return {}
    target = max(PIECE_BYTES, all_bytes // (threads * PIECES_PER_PROCESS))
    try:
        index, names = bgzf.read_index(bai), bgzf.references(source["path"])
    except (OSError, bgzf.BamFormatError):
        return {}  # the jobs read whole contigs and say what is wrong
    out = {}
    for tid, (first, linear) in index.items():
        # Windows of the linear index are cut where a piece's compressed bytes reach the
        # target, while what is left is worth a piece of its own.
        blocks = linear.astype(np.int64) >> 16
        cuts, starts, last = [], [], int(first) >> 16
        for w in range(1, len(linear)):
            if blocks[w] - last >= target and blocks[-1] - blocks[w] >= target // 2:
                cuts.append(w * bgzf.WINDOW)
                # the reads from one window back (the look-back) on
                starts.append(max(int(linear[w - 1]), int(first)))
                last = int(blocks[w])
        if cuts and tid < len(names):
            out[names[tid]] = [{"k": k, "tid": tid, "cuts": cuts, "voffset": v,
                                "from_first": v == int(first)}
                               for k, v in enumerate([int(first)] + starts)]
    return out


def _join_parts(out, header, parts):
    """The table ``out`` (gzip-compressed for a .gz name): the header, then the parts."""
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


# A worker loads extract and what it imports, not the package's __init__ (the fits,
# plots and simulations, a third of a worker's start-up): the package is entered as an
# empty module whose submodules are found where the installed package's are.
_WORKER = """\
import importlib.util, sys, types
found = importlib.util.find_spec("korvel_analysis")
package = types.ModuleType("korvel_analysis")
package.__path__ = list(found.submodule_search_locations)
sys.modules["korvel_analysis"] = package
from korvel_analysis.extract import _serve
_serve()
"""


class _Workers:
    """Worker processes started before the jobs are planned, so that their interpreters
    load meanwhile; those the jobs do not take are ended with the run."""

    def __init__(self, n):
        import subprocess
        import sys

        env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
        self.procs = [subprocess.Popen([sys.executable, "-c", _WORKER],
                                       stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                       env=env) for _ in range(n)]

    def take(self, n):
        taken, self.procs = self.procs[:n], self.procs[n:]
        return taken

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        _stop(self.procs, True)


def _stop(procs, finished):
    """Ends worker processes: each ends when its input does (within 10 s of a finished
    run), or is killed."""
    import subprocess

    for proc in procs:
        with contextlib.suppress(OSError):
            proc.stdin.close()
        try:
            proc.wait(timeout=10 if finished else 0)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        proc.stdout.close()


def _run_jobs(jobs, threads, total, progress, counts, workers):
    """Runs the BAM jobs, adds up their counts in ``counts``; returns ``_settle``'s account."""
    if not jobs:
        return {}
    bar = _progress.bar(total, "korvel extract", "read", progress)
    try:
        if threads <= 1 or len(jobs) == 1:
            results = {}
            for i, job in enumerate(jobs):
                done = _bam_task(*job, tick=lambda n: _progress.advance(bar, n))
                results[i] = done.answer()
        else:
            results = _run_workers(jobs, min(threads, len(jobs)), bar, workers)
        return _settle(jobs, results, counts)
    finally:
        bar.close()


def _settle(jobs, results, counts):
    """Adds up the counts of the jobs whose parts make the table: every whole job and, of
    a contig read in pieces, the chain of pieces that ran from one cut to the next
    (``_Piece``); the parts of the other pieces are emptied. A contig whose pieces do not
    chain (an index whose offsets were not where the reads are) is read again whole.
    Returns how the reads were read, for the run record: the jobs kept by reader, the
    pieces kept and dropped, the contigs read again."""
    how = Counter()
    pieces = {}
    for i, job in enumerate(jobs):
        if len(job[3]) > 3:  # a piece: of this input's contig
            pieces.setdefault((job[3][3]["input"], job[3][0]), []).append(i)
        else:
            counts.update(results[i]["counts"])
            how[f"jobs_read_by_{results[i]['reader']}"] += 1
    for at in pieces.values():
        chain = _chain([results[i]["piece"] for i in at])
        for k, i in enumerate(at):
            if chain is not None and k in chain:
                counts.update(results[i]["counts"])
                how[f"jobs_read_by_{results[i]['reader']}"] += 1
                how["pieces_kept"] += 1
            else:
                open(jobs[i][5], "w").close()
                how["pieces_dropped"] += 1
        if chain is None:
            path, kind, tag, task, *rest = jobs[at[0]]
            again = _bam_task(path, kind, tag, tuple(task[:3]), *rest)
            counts.update(again)
            how[f"jobs_read_by_{again.reader}"] += 1
            how["contigs_read_again"] += 1
    return dict(sorted(how.items()))


def _chain(outcomes):
    """The pieces (numbers) that make a contig, each starting where the one before stopped,
    from the first to the contig's end; None where they do not."""
    chain, k = [], 0
    while True:
        o = outcomes[k]
        if k and not (o["sure"] and o["start"] is not None
                      and o["start"] == outcomes[chain[-1]]["end"]):
            return None
        chain.append(k)
        if o["stop"] == len(outcomes):
            return chain
        if o["stop"] is None or not k < o["stop"] < len(outcomes):
            return None
        k = o["stop"]


def _run_workers(jobs, n_workers, bar, workers):
    """The jobs on this process and ``n_workers - 1`` worker processes, each worker fed by
    a thread of this one.

    Workers are fresh interpreters (running ``_serve``) that take one job per
    line on their standard input and answer with progress and result lines:
    not forked from this process, which may run threads (korvel's pool, a
    progress bar), and, unlike multiprocessing's spawned workers, they do not
    run the caller's script again (one without a main guard, or a notebook's
    cell, would start the extraction anew in every worker). This process takes
    jobs from the same queue meanwhile (its feeding threads mostly wait on
    pipes), so two-way work starts one interpreter, not two.
    """
    import queue
    import threading

    todo = queue.Queue()
    for i, job in enumerate(jobs):
        todo.put(i)
    results, lock = {}, threading.Lock()
    procs = workers.take(n_workers - 1)

    def tick(n):
        with lock:
            _progress.advance(bar, n)

    threads = [threading.Thread(target=_feed, args=(p, todo, jobs, results, tick), daemon=True)
               for p in procs]
    finished = False
    try:
        for t in threads:
            t.start()
        while True:
            try:
                i = todo.get_nowait()
            except queue.Empty:
                break
            results[i] = _answer(*jobs[i], tick)
            if "counts" not in results[i]:
                break
        for t in threads:
            while t.is_alive():
                t.join(0.2)  # a short wait, so that Ctrl+C is seen at once
        finished = True
    finally:
        _stop(procs, finished)
    for i in range(len(jobs)):
        answer = results.get(i, {"failed": "not run: another job failed"})
        if "bad input" in answer:
            raise InputError(*answer["bad input"])
        if "failed" in answer:
            raise RuntimeError(f"extract worker: {answer['failed']}")
    return results


def _feed(proc, todo, jobs, results, tick):
    """A feeding thread: hands the worker ``proc`` jobs of the queue ``todo`` one at a time
    until none is left or one fails, passing its progress to ``tick``."""
    import queue

    while True:
        try:
            i = todo.get_nowait()
        except queue.Empty:
            return
        path, kind, tag, task, options, part, sep, age, sorted_by_pos = jobs[i]
        proc.stdin.write(json.dumps([path, kind, tag, list(task), dataclasses.asdict(options),
                                     part, sep, age, sorted_by_pos]) + "\n")
        proc.stdin.flush()
        for line in proc.stdout:
            answer = json.loads(line)
            if "tick" in answer:
                tick(answer["tick"])
                continue
            results[i] = answer
            break
        else:
            results[i] = {"failed": f"worker process ended (exit code {proc.wait()})"}
            return
        if "counts" not in answer:
            return

def _serve():
    """A worker process: one job per line in, progress and the job's counts out."""
    import sys

    interrupts.ignored()
    out = sys.stdout

    def tick(n):
        out.write(json.dumps({"tick": n}) + "\n")
        out.flush()

    for line in sys.stdin:
        path, kind, tag, task, options, part, sep, age, sorted_by_pos = json.loads(line)
        answer = _answer(path, kind, tag, tuple(task), Options(**options), part, sep, age,
                         sorted_by_pos, tick)
        out.write(json.dumps(answer) + "\n")
        out.flush()
    # Every answer is out and every part file closed. The interpreter's own teardown
    # (numpy's modules and all) takes a worker some 0.1-0.2 s, which the command would
    # wait for before it joins the table: the worker ends here instead.
    os._exit(0)


def _answer(*job):
    """A job's result as a worker reports it: its counts, the bad input, or the failure."""
    try:
        return _bam_task(*job).answer()
    except InputError as exc:
        return {"bad input": [exc.path, exc.what]}
    except Exception as exc:  # the command reports it as a failure inside korvel
        return {"failed": f"{type(exc).__name__}: {exc}"}

