"""korvel extract's own BAM reader: BGZF blocks inflated here, records walked by the module.

A BAM file is a series of BGZF blocks, each a gzip member of at most 64 KiB
whose extra field (subfield ``BC``) gives its compressed size; inflated
back to back they hold the header (magic ``BAM\\1``, the header text, the
reference names and lengths) and then the records. The index (``.bai``)
lists per reference, per bin, chunks of virtual offsets (the compressed
offset of a block << 16 | the offset inside its inflated bytes); the least
chunk start of a reference is where its first record begins.

The records are handed to ``korvel._scan_bam_xm`` a batch at a time; zlib
and the walker both run without the interpreter lock.

The bytes, the rows and the calls live in buffers that are filled again for
every batch rather than made anew: megabyte-sized objects freed and made
again in changing sizes leave the C heap fragmented (glibc raises its
threshold for mapping large blocks after each one freed), and the memory
of a run then grows with the reads it reads.
"""

from __future__ import annotations

import os
import struct
import threading
import zlib

import numpy as np

# Compressed bytes read from the file at a time, and inflated bytes gathered
# before the records are walked: large enough that the per-block Python work
# is small next to inflating, small enough that memory stays flat.
READ_BYTES = 1 << 20
INFLATED_BYTES = 1 << 20
MAX_BLOCK = 1 << 16  # a BGZF block, compressed or inflated, is at most 64 KiB
WINDOW = 1 << 14  # the span of a linear-index entry of a .bai
PSEUDO_BIN = 37450  # the bin of a reference's read counts in a .bai, not a bin of reads
N_COLUMNS = 13  # the columns of core/bam_records.h, in its order
(FLAG, TID, POS, MATE_TID, MATE_POS, MAPQ, END, TOP, HAS_XM, NAME_ID, NAME_HASH, NAME_AT,
 NAME_LEN) = range(N_COLUMNS)


class BamFormatError(Exception):
    """The bytes are not those of a BAM file (a block or a record is broken, or cut)."""


def kernel(name="_scan_bam_xm"):
    """The module's record walker (of XM; ``_scan_bam_mm`` that of MM/ML), or None when
    the installed module predates it."""
    try:
        import korvel
    except ImportError:
        return None
    return getattr(korvel, name, None)


def index_path(path):
    """The .bai file of a BAM (NAME.bam.bai or NAME.bai), or None."""
    for candidate in (str(path) + ".bai", os.path.splitext(str(path))[0] + ".bai"):
        if os.path.isfile(candidate):
            return candidate
    return None


def first_offsets(bai):
    """{reference index: virtual offset of its first record} of the references with reads."""
    return {tid: first for tid, (first, _) in read_index(bai).items()}


def read_index(bai):
    """{reference index: (virtual offset of its first record, its linear index)} of the
    references with reads; entry w of the linear index is the least virtual offset of the
    records overlapping [w * WINDOW, (w + 1) * WINDOW).

    The index may come from anyone: every count is checked against the bytes left
    before it is used, so a forged one is refused instead of read past its end."""
    with open(bai, "rb") as f:
        data = f.read()
    if data[:4] != b"BAI\x01":
        raise BamFormatError(f"{bai} is not a BAM index")
    at, out = 4, {}

    def count(item_bytes):
        # A non-negative count whose items fit in what is left of the file.
        nonlocal at
        if len(data) - at < 4:
            raise BamFormatError(f"{bai} is cut short")
        (n,), at = struct.unpack_from("<i", data, at), at + 4
        if n < 0 or n * item_bytes > len(data) - at:
            raise BamFormatError(f"{bai} is broken: a count of {n} does not fit the file")
        return n

    for tid in range(count(8)):  # every reference takes at least two counts
        for _ in range(count(8)):
            if len(data) - at < 4:
                raise BamFormatError(f"{bai} is cut short")
            (bin_id,), at = struct.unpack_from("<I", data, at), at + 4
            n_chunk = count(16)
            if bin_id != PSEUDO_BIN and n_chunk:
                begins = np.frombuffer(data, dtype="<u8", count=2 * n_chunk, offset=at)[::2]
                first = int(begins.min())
                out[tid] = min(out.get(tid, first), first)
            at += 16 * n_chunk
        n_intv = count(8)  # read before `at` moves past them
        if tid in out:
            out[tid] = (out[tid], np.frombuffer(data, dtype="<u8", count=n_intv, offset=at))
        at += 8 * n_intv
    return out


class Inflated:
    """The inflated bytes of a BGZF file from a virtual offset on, a piece at a time."""

    def __init__(self, path, voffset=0):
        self.f = open(path, "rb")
        self.f.seek(voffset >> 16)
        self.skip = voffset & 0xFFFF
        # Compressed bytes read, [at, end) not yet inflated: a block never spans more than
        # what a read leaves plus the next read.
        self.raw = bytearray(READ_BYTES + MAX_BLOCK)
        self.at = self.end = 0

    def close(self):
        self.f.close()

    def fill(self, buf, fill):
        """Inflates blocks into the bytearray ``buf`` behind its first ``fill`` bytes: up to a
        block that holds bytes, and on until INFLATED_BYTES are there or the file ends.
        Returns (the buffer, a larger one when a record outgrew it; its new fill)."""
        start = fill
        while fill == start or fill < INFLATED_BYTES:
            if len(buf) - fill < MAX_BLOCK:
                bigger = bytearray(2 * len(buf))
                bigger[:fill] = memoryview(buf)[:fill]
                buf = bigger
            block = self._next()
            if block is None:
                break
            buf[fill:fill + len(block)] = block
            fill += len(block)
        return buf, fill

    def _next(self):
        block = self._block()
        if block is not None and self.skip:
            block, self.skip = block[self.skip:], 0
        return block

    def _more(self):
        """Moves the bytes not yet inflated to the front and reads on behind them."""
        n = self.end - self.at
        self.raw[:n] = self.raw[self.at:self.end]
        with memoryview(self.raw) as view:
            got = self.f.readinto(view[n:])
        self.at, self.end = 0, n + got
        return got

    def _block(self):
        if self.end - self.at < 18 and not self._more() and self.end == self.at:
            return None
        raw, at = self.raw, self.at
        if self.end - at < 18:
            raise BamFormatError("it ends inside a BGZF block")
        if raw[at:at + 4] != b"\x1f\x8b\x08\x04":
            raise BamFormatError("a BGZF block lacks its gzip header")
        (xlen,) = struct.unpack_from("<H", raw, at + 10)
        if self.end - at < 12 + xlen:  # the extra field is read whole, not past the bytes
            self._more()
            at = self.at
            if self.end - at < 12 + xlen:
                raise BamFormatError("it ends inside a BGZF block")
        size = None
        extra = at + 12
        while extra + 4 <= at + 12 + xlen:
            (slen,) = struct.unpack_from("<H", raw, extra + 2)
            if raw[extra:extra + 2] == b"BC" and slen == 2:
                (size,) = struct.unpack_from("<H", raw, extra + 4)
                size += 1
            extra += 4 + slen
        if size is None or size < 12 + xlen + 8:
            raise BamFormatError("a BGZF block lacks its size")
        if self.end - at < size:
            self._more()
            at = self.at
            if self.end - at < size:
                raise BamFormatError("it ends inside a BGZF block")
        try:
            with memoryview(self.raw) as view:
                block = zlib.decompress(view[at + 12 + xlen:at + size - 8], -15)
        except zlib.error as exc:
            raise BamFormatError(f"a BGZF block cannot be inflated ({exc})") from None
        self.at = at + size
        return block


class XmReads:
    """One batch of records: columns of int64 per record and their CpG calls (read
    index in the batch, position, methylated), names read from the batch's bytes."""

    def __init__(self, rows, calls, data, base):
        self.rows, self.calls, self.data, self.base = rows, calls, data, base

    def __len__(self):
        return len(self.rows)

    def name(self, i):
        at = self.base + int(self.rows[i, NAME_AT])
        return bytes(self.data[at:at + int(self.rows[i, NAME_LEN])])


_spare = threading.local()


def _take_buffers(limit):
    """This thread's buffers for a reader: inflated bytes, rows of ``limit`` records and
    the calls of all the bytes (3 numbers a byte, of which only those written are ever
    touched). A reader takes them while it runs and gives them back for the next."""
    buf, rows, calls = getattr(_spare, "buffers", None) or (None, None, None)
    _spare.buffers = None
    if buf is None:
        buf = bytearray(INFLATED_BYTES + 2 * MAX_BLOCK)
    if rows is None or len(rows) < limit:
        rows = np.empty((limit, N_COLUMNS), dtype=np.int64)
    return buf, rows, calls


def xm_batches(path, voffset, tid, limit, min_mapq, header=False, mods=None):
    """Batches (``XmReads``) of at most ``limit`` records from ``voffset`` on: of the
    reference ``tid`` only (it stops at the first record of another), or of the whole
    file with ``tid`` None. ``header``: the stream starts with the header, stepped over.
    ``mods``: (threshold, hydroxy counted as methylated) to read the calls of MM/ML
    instead of XM. A batch's arrays and bytes are the reader's buffers, good until the
    next batch is asked for. Raises BamFormatError for broken bytes."""
    if mods is None:
        scan = kernel()
    else:
        walker = kernel("_scan_bam_mm")

        def scan(view, rows, calls, min_mapq):
            return walker(view, rows, calls, min_mapq, *mods)
    stream = Inflated(path, voffset)
    buf, rows, calls = _take_buffers(limit)
    rows = rows[:limit]
    try:
        fill = at = 0
        if header:
            data, at, _ = _past_header(stream)
            fill = len(data) - at
            if len(buf) < fill + MAX_BLOCK:
                buf = bytearray(fill + MAX_BLOCK)
            buf[:fill] = memoryview(data)[at:]
            del data
            at = 0
        if fill == 0:
            buf, fill = stream.fill(buf, 0)
        while True:
            if calls is None or calls.size < 3 * len(buf):
                calls = None
                calls = np.empty(3 * len(buf), dtype=np.int64)
            with memoryview(buf) as view:
                n, used, n_calls, malformed = scan(view[at:fill], rows, calls, min_mapq)
            if malformed:
                raise BamFormatError("a record is broken")
            if n == 0:
                # The record at `at` is cut: it moves to the front, more bytes go behind.
                tail = fill - at
                buf[:tail] = buf[at:fill]
                buf, fill = stream.fill(buf, tail)
                at = 0
                if fill == tail:
                    if tail:
                        raise BamFormatError("it ends inside a record")
                    return
                continue
            batch = rows[:n]
            done = False
            if tid is not None:
                other = np.flatnonzero(batch[:, TID] != tid)
                if other.size:
                    n, done = int(other[0]), True
                    batch = batch[:n]
            got = calls[:3 * n_calls].reshape(-1, 3)
            if done:
                got = got[got[:, 0] < n]
            if n:
                yield XmReads(batch, got, buf, at)
            if done:
                return
            at += used
    finally:
        stream.close()
        _spare.buffers = (buf, rows.base if rows.base is not None else rows, calls)


def references(path):
    """The reference names of a BAM's header, in the order of their indices."""
    stream = Inflated(path)
    try:
        return _past_header(stream)[2]
    finally:
        stream.close()


def _past_header(stream):
    """(the bytes inflated, offset of the first record in them, reference names) of the
    header at the start of ``stream``, inflated a block at a time as far as it goes."""
    data = bytearray()

    def need(n):
        while len(data) < n:
            more = stream._next()
            if more is None:
                raise BamFormatError("it ends inside its header")
            data.extend(more)

    need(12)
    if data[:4] != b"BAM\x01":
        raise BamFormatError("it lacks the BAM magic")
    (l_text,) = struct.unpack_from("<i", data, 4)
    if l_text < 0:
        raise BamFormatError("its header is broken")
    at = 8 + l_text
    need(at + 4)
    (n_ref,), at = struct.unpack_from("<i", data, at), at + 4
    names = []
    for _ in range(max(n_ref, 0)):
        need(at + 4)
        (l_name,) = struct.unpack_from("<i", data, at)
        if l_name < 1:
            raise BamFormatError("its header is broken")
        need(at + 4 + l_name + 4)
        names.append(data[at + 4:at + 4 + l_name - 1].decode("utf-8", "replace"))
        at += 4 + l_name + 4
    return data, at, names
