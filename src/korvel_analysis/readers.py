"""Reading and checking input tables: reads tables and binned counts tables.

Every table is read and validated once, here, before anything is computed:
a bad cell is reported with its file, line and column, and the caller gets
plain NumPy arrays back. Files may be TSV or CSV (the delimiter comes from the
name, ``.csv`` or ``.tsv``, else from the header line) and may be
gzip-compressed (recognised by content, whatever the name).

An input is read once, front to back, in one pass that also takes its
checksum and recognises compression from its first bytes: pipes, FIFOs,
process substitution and ``-`` (the standard input) work as files do. A line
may hold at most ``MAX_LINE_CHARS`` characters, so that a file without line
breaks cannot take the machine's memory.

A leading UTF-8 byte-order mark, as spreadsheets write into "CSV UTF-8", is
not part of the first column's name, and quotes around a header cell are
removed as CSV does. Messages that quote a header show invisible characters
escaped.
"""

from __future__ import annotations

import collections
import contextlib
import csv
import gzip
import hashlib
import itertools
import math
import os
import queue
import re
import stat
import sys
import threading
import zlib
from dataclasses import dataclass, field

import numpy as np

from . import modes, provenance

DENSITY_COLUMN = "cpg_density"
METHYLATION_COLUMN = "meth_fraction"
AGE_COLUMN = "age"
# The longest line a table may have (1 MiB of characters).
MAX_LINE_CHARS = 1 << 20
# Messages that quote a header or a cell show at most this much of it.
SHOWN_COLUMNS = 20
SHOWN_CHARS = 80
STDIN = "-"
# Bytes read from the input at a time, and rows handed over by the bulk reader at a time.
READ_BYTES = 1 << 20
# Room left in a block's buffer for the start of a line that the last block cut off.
READ_SPARE = 1 << 16
SCAN_ROWS = 1 << 16


class ArgumentError(ValueError):
    """A bad argument of a library function; the message names the arguments concerned.

    ``template`` is the message with ``{}`` where the name of each of
    ``parameters`` goes, in order. ``naming`` gives the message with other
    names for some of them, as the korvel command gives its options' names.
    """

    def __init__(self, template, *parameters):
        self.parameters = parameters
        self._parts = template.split("{}")
        assert len(self._parts) == len(parameters) + 1, template
        super().__init__(self.naming({}))

    def naming(self, names):
        """The message with ``names[p]`` for each argument ``p`` it names (``p`` if absent)."""
        text = self._parts[0]
        for p, part in zip(self.parameters, self._parts[1:]):
            text += names.get(p, p) + part
        return text


class InputError(ValueError):
    """Bad input data: says which file, line and column is wrong.

    ``parameter``: the argument that chose the column, when there is one
    (a missing column can be chosen with it).
    """

    def __init__(self, path, what, line=None, column=None, parameter=None,
                 hint=" (set it with {})"):
        self.path, self.line, self.column, self.what = str(path), line, column, what
        self.parameters = () if parameter is None else (parameter,)
        self.hint = hint  # what is said about the parameter: its name goes at "{}"
        super().__init__(self.naming({}))

    def naming(self, names):
        """The message with ``names[p]`` for the argument ``p`` it names (``p`` if absent)."""
        where = "standard input" if self.path == STDIN else self.path
        if self.line is not None:
            where += f", line {self.line}"
        if self.column is not None:
            where += f", column '{_shown(self.column)}'"
        hint = "".join(self.hint.format(names.get(p, p)) for p in self.parameters)
        return f"{where}: {self.what}{hint}"


@dataclass
class Reads:
    """One row per read: the CpG density of its region, its methylated fraction, its age."""

    density: np.ndarray
    meth: np.ndarray
    age: np.ndarray | None
    path: str
    density_column: str = DENSITY_COLUMN
    methylation_column: str = METHYLATION_COLUMN
    age_column: str | None = None
    # What was read: path, sha256 and bytes of the input as it was read.
    source: dict = field(default_factory=dict)

    def __len__(self):
        return self.meth.size


@dataclass
class CountsTable:
    """An already-binned table: one row per density bin, read counts per methylation bin."""

    density_lo: np.ndarray
    density_hi: np.ndarray
    counts: np.ndarray  # (n_densities, n_meth_bins) int64
    path: str
    source: dict = field(default_factory=dict)


def _raw_blocks(f, sha256, head, read):
    """The bytes of the open file ``f`` as read, in blocks: its first bytes ``head``
    (hashed already), then the rest, each block added to ``sha256``. ``read`` (a dict)
    gets "bytes", the input's size, once it has been read to its end."""
    size = len(head)
    yield head
    while True:
        block = f.read(READ_BYTES)
        if not block:
            break
        sha256.update(block)
        size += len(block)
        yield block
    read["bytes"] = size


def _gunzipped(blocks):
    """The content of gzip members following each other in ``blocks``, at most
    READ_BYTES at a time whatever the compression ratio, so that a small file
    that expands a thousandfold is never held expanded."""
    unzip = zlib.decompressobj(zlib.MAX_WBITS | 16)
    pending = b""
    for block in blocks:
        pending += block
        while pending:
            if unzip.eof:
                # Another member may follow; zero bytes after the last one are padding.
                pending = pending.lstrip(b"\0")
                if not pending:
                    break
                if len(pending) < 2:
                    break
                if pending[:2] != b"\x1f\x8b":
                    raise gzip.BadGzipFile(f"Not a gzipped file ({pending[:2]!r})")
                unzip = zlib.decompressobj(zlib.MAX_WBITS | 16)
            out = unzip.decompress(pending, READ_BYTES)
            pending = unzip.unconsumed_tail or unzip.unused_data
            if out:
                yield out
            elif not unzip.eof and not unzip.unconsumed_tail:
                break  # the member goes on in the next block
    if pending.strip(b"\0"):
        raise gzip.BadGzipFile(f"Not a gzipped file ({pending[:2]!r})")
    while not unzip.eof:  # output zlib held back when the last block came
        out = unzip.decompress(b"", READ_BYTES)
        if not out:
            break
        yield out
    if not unzip.eof:
        raise EOFError("Compressed file ended before the end-of-stream marker was reached")


def _ahead(blocks, depth=4):
    """The items of the iterator ``blocks``, taken from it by a thread of their own, up to
    ``depth`` ahead: reading, hashing and decompressing (which release the interpreter
    lock) go on while the caller reads the lines. Its exceptions are raised here."""
    items = queue.Queue(depth)
    stop = threading.Event()
    end = object()

    def run():
        try:
            for item in blocks:
                while not stop.is_set():
                    try:
                        items.put((item, None), timeout=0.1)
                        break
                    except queue.Full:
                        pass
                if stop.is_set():
                    return
            items.put((end, None))
        except BaseException as exc:  # noqa: BLE001 - handed to the reading thread
            items.put((end, exc))
        finally:
            blocks.close()

    worker = threading.Thread(target=run, name="korvel-reader", daemon=True)
    worker.start()
    try:
        while True:
            item, exc = items.get()
            if exc is not None:
                raise exc
            if item is end:
                return
            yield item
    finally:
        # Not joined: the thread may wait on a pipe that never ends; it stops at its
        # next block.
        stop.set()


def _content(path, source, sizes, free):
    """The text's bytes in blocks of whole lines (see ``_line_blocks``), as (buffer, end)
    pairs, the lines being buffer[:end]: gunzipped when its first bytes say gzip, a
    leading byte-order mark dropped (it is not part of the first column's name).
    ``sizes`` (a dict) gets "file", the size in bytes of a regular file, and "gzip" True
    once the content is known to be compressed (before its first block comes). The
    caller hands each bytearray back into ``free`` (a deque) once it is done with it,
    to be read into again."""
    try:
        f = sys.stdin.buffer if path == STDIN else open(path, "rb")  # noqa: SIM115
    except OSError as exc:
        raise InputError(path, f"cannot be read ({exc.strerror or exc})") from None
    with contextlib.suppress(OSError, ValueError):
        status = os.fstat(f.fileno())
        if stat.S_ISREG(status.st_mode):
            sizes["file"] = status.st_size
    # Read, hashed and cut into whole lines on the reading thread: the caller's thread
    # only scans.
    yield from _ahead(_decoded(path, f, source, sizes, free))


def _decoded(path, f, source, sizes, free):
    sha256 = hashlib.sha256()
    try:
        head = f.read(3)
        sha256.update(head)
        if head[:2] == b"\x1f\x8b":
            read = {}
            for block in _line_blocks(path, _unpacked(_raw_blocks(f, sha256, head, read),
                                                      sizes)):
                yield block, len(block)
            size = read.get("bytes")
        else:
            size = yield from _plain_blocks(path, f, sha256, head, free)
    finally:
        if f is not sys.stdin.buffer:
            f.close()
    if size is None:
        return  # a line too long or not UTF-8 ended the blocks: the caller refuses it
    source.update(path=path if path == STDIN else os.path.abspath(path),
                  sha256=sha256.hexdigest(), bytes=size)


def _plain_blocks(path, f, sha256, head, free):
    """What ``_line_blocks`` gives for an input that is not compressed, whose first bytes
    ``head`` are read and hashed, as (buffer, end) pairs: the rest is read straight into
    bytearrays taken from ``free`` (or new), each after the start of a line that the
    last one cut off, so that a block is neither copied nor joined, nor its memory
    made anew. Returns the input's size, None when a line too long or not UTF-8 ended
    the blocks."""
    size = len(head)
    carry = b"" if head == b"\xef\xbb\xbf" else head  # a byte-order mark dropped
    while True:
        buf = free.pop() if free else bytearray(READ_BYTES + READ_SPARE)
        if len(buf) < len(carry) + READ_BYTES:  # a long line goes on
            buf = bytearray(len(carry) + READ_BYTES)
        start = len(carry)
        buf[:start] = carry
        with memoryview(buf) as view:
            end = start
            while end < start + READ_BYTES:  # read(n) reads until n or the end, so does this
                n = f.readinto(view[end:start + READ_BYTES])
                if not n:
                    break
                end += n
            sha256.update(view[start:end])
            size += end - start
            if end == start:
                if start:
                    yield buf, start
                return size
            cut = buf.rfind(b"\n", start, end) + 1
            if not cut:
                cut = buf.rfind(b"\r", 0, end - 1) + 1  # "\r" alone breaks a line
            carry = bytes(view[cut:end])
        if cut:
            yield buf, cut
        if len(carry) > MAX_LINE_CHARS and _unreadable_line(carry):
            yield carry, len(carry)  # the caller refuses the line it holds, long or not UTF-8
            return None


def _unpacked(raw, sizes):
    head = b""
    for block in raw:
        head += block
        if len(head) >= 3:
            break
    rest = itertools.chain([head], raw)
    blocks = rest
    if head[:2] == b"\x1f\x8b":
        sizes["gzip"] = True
        blocks = _gunzipped(rest)
    first = True
    for block in blocks:
        if first:
            if len(block) < 3 and b"\xef\xbb\xbf".startswith(block):
                block += next(blocks, b"")  # too short to tell yet
            if block.startswith(b"\xef\xbb\xbf"):
                block = block[3:]
            first = False
        if block:
            yield block


def _too_long(path, lineno):
    return InputError(path, f"is longer than {MAX_LINE_CHARS} characters (a table's lines "
                      "are at most 1 MiB)", line=lineno)


def _not_utf8(path, lineno, exc):
    return InputError(path, f"cannot be read as a text table (byte 0x{exc.object[exc.start]:02x}"
                      f" is not UTF-8: {exc.reason})", line=lineno)


def _line_blocks(path, content):
    """The bytes of ``content`` in blocks of whole lines: each ends at a line break but the
    last. A line that grows beyond MAX_LINE_CHARS characters, or is not UTF-8, ends the
    blocks as soon as that much of it has been read: it is the last block, for the caller
    to refuse."""
    pending = b""
    for block in content:
        cut = block.rfind(b"\n") + 1
        if not cut:
            pending += block
            cut = pending.rfind(b"\r", 0, len(pending) - 1) + 1  # "\r" alone breaks a line
            if cut:
                yield pending[:cut]
                pending = pending[cut:]
        else:  # the block copied once, its last line's start kept for the next one
            yield b"".join((pending, memoryview(block)[:cut])) if pending else block[:cut]
            pending = block[cut:]
        if len(pending) > MAX_LINE_CHARS and _unreadable_line(pending):
            yield pending  # the caller refuses the line it holds, long or not UTF-8
            return
    if pending:
        yield pending


def _unreadable_line(data):
    """Whether the start of a line, ``data``, is already longer than a line may be, or
    not UTF-8 (a character cut at its end is not counted)."""
    try:
        return len(data.decode("utf-8")) > MAX_LINE_CHARS
    except UnicodeDecodeError as exc:
        if exc.end != len(data) or exc.reason != "unexpected end of data":
            return True
        return len(data[:exc.start].decode("utf-8", "replace")) > MAX_LINE_CHARS


_BREAK = re.compile(rb"\r\n|\r|\n")


def _text_lines(path, data, lineno):
    """(line number, text) of each line of ``data``, numbered from ``lineno``."""
    pos = 0
    ends = [m.end() for m in _BREAK.finditer(data)]
    if not ends or ends[-1] != len(data):
        ends.append(len(data))
    for end in ends:
        try:
            text = data[pos:end].decode("utf-8")
        except UnicodeDecodeError as exc:
            if exc.reason == "unexpected end of data" and not _unreadable_line(data[pos:end]):
                raise _not_utf8(path, lineno, exc) from None
            if exc.reason == "unexpected end of data":  # the start of a line too long
                raise _too_long(path, lineno) from None
            raise _not_utf8(path, lineno, exc) from None
        if len(text.rstrip("\r\n")) > MAX_LINE_CHARS:
            raise _too_long(path, lineno)
        yield lineno, text
        pos = end
        lineno += 1


def _delimiter(path, header_line):
    name = str(path).lower()
    if name.endswith(".gz"):
        name = name[:-3]
    if name.endswith(".csv"):
        return ","
    if name.endswith((".tsv", ".tab")):
        return "\t"
    return "\t" if "\t" in header_line or "," not in header_line else ","


class _BlockScans:
    """The blocks of ``blocks`` ((data, end) pairs) scanned by ``scan(data, 0, end)``,
    handed out in order by ``next()``: a helper thread scans the blocks ahead, and the
    thread that asks for a block not scanned yet scans the next block that no thread
    has taken before it waits, so that the scanning goes to whichever thread is free
    (the scan releases the interpreter lock) and neither sits idle while there are
    blocks to scan."""

    AHEAD = 4  # blocks the helper scans beyond the one asked for

    def __init__(self, blocks, scan):
        self._blocks, self._scan = blocks, scan
        self._taking = threading.Lock()  # held while the next block is taken
        self._changed = threading.Condition()
        self._results = {}  # block number -> (block, chunks), None at the end, or an error
        self._taken = 0  # blocks taken from ``blocks``
        self._wanted = 0  # the block next() hands out next
        self._stop = False
        threading.Thread(target=self._help, name="korvel-scan", daemon=True).start()

    def _take_and_scan(self):
        """Takes the next block, scans it and files the result under its number; returns
        whether there are blocks left."""
        with self._taking:
            n = self._taken
            self._taken += 1
            try:
                block = next(self._blocks, None)
            except BaseException as exc:  # noqa: BLE001 - raised by next() in its turn
                block = exc
        result = block
        if isinstance(block, tuple):
            try:
                result = block, self._scan(block[0], 0, block[1])
            except BaseException as exc:  # noqa: BLE001
                result = exc
        with self._changed:
            self._results[n] = result
            self._changed.notify_all()
        return isinstance(block, tuple)

    def _help(self):
        while True:
            with self._changed:
                while not self._stop and self._taken - self._wanted >= self.AHEAD:
                    self._changed.wait()
                if self._stop:
                    return
            if not self._take_and_scan():
                return

    def next(self):
        """The next block and its chunks, ((data, end), chunks); None at the end."""
        n = self._wanted
        with self._changed:
            ready = n in self._results
        # Not scanned yet: the next block that no thread has taken is scanned here
        # meanwhile (the wanted one itself, or one after it while the helper scans that
        # one: waiting would leave a core idle once the reading is ahead), then the
        # wanted one is waited for.
        if not ready and self._taken - n < self.AHEAD:
            self._take_and_scan()
        with self._changed:
            while n not in self._results:
                self._changed.wait()
            result = self._results.pop(n)
            self._wanted = n + 1
            self._changed.notify_all()
        if isinstance(result, BaseException):
            raise result
        return result

    def close(self):
        with self._changed:
            self._stop = True
            self._changed.notify_all()
        # The blocks' reading thread stops once they are closed; the helper may still be
        # waiting for a block (from a pipe that never ends), and then closes nothing.
        if self._taking.acquire(blocking=False):
            try:
                close = getattr(self._blocks, "close", None)
                if close is not None:
                    close()
            finally:
                self._taking.release()


class _Table:
    """A table read once, front to back: its header, then its rows as text fields or, for
    the plain lines that hold nothing but numbers, in bulk (see ``korvel._scan_columns``).

    ``source`` (a dict) gets the input's path, SHA-256 and size in bytes once it
    has been read to its end.
    """

    def __init__(self, path, source):
        # A cell may be as long as a line may be.
        if csv.field_size_limit() < MAX_LINE_CHARS + 1:
            csv.field_size_limit(MAX_LINE_CHARS + 1)
        self.path = path
        self._sizes = {}
        # The buffers of blocks done with, for the reading thread to read into again.
        self._free = collections.deque()
        self._blocks = _content(path, source, self._sizes, self._free)
        # The current block's lines are _data[:_end]; _taken: the bytes of the blocks
        # before it.
        self._data, self._end, self._pos, self._lineno, self._taken = b"", 0, 0, 1, 0
        first = self._next_line()
        if first is None or not first.strip():
            raise InputError(path, "is empty: a header line is expected", line=1)
        self.delimiter = _delimiter(path, first)
        # skipinitialspace: a quoted cell after ", " is unquoted too.
        header = [h.strip() for h in next(csv.reader([first], delimiter=self.delimiter,
                                                     skipinitialspace=True))]
        seen = set()
        for h in header:
            if h in seen:
                raise InputError(path, f"column '{_shown(h)}' appears twice in the header",
                                 line=1)
            seen.add(h)
        self.header = header

    def _fill(self):
        """False at the end of the input."""
        while self._pos >= self._end:
            block = next(self._blocks, None)
            if block is None:
                return False
            if isinstance(self._data, bytearray):
                # Nothing holds on to it now: every line of it has been read.
                self._free.append(self._data)
            self._taken += self._end
            (self._data, self._end), self._pos = block, 0
        return True

    def expected_lines(self):
        """How many lines the whole input holds, judged by the length of those read so far,
        when it is a file read as it is stored (None otherwise, or before a line is read)."""
        size, read = self._sizes.get("file"), self._taken + self._pos
        if size is None or self._sizes.get("gzip") or self._lineno <= 1 or not read:
            return None
        return (self._lineno - 1) * size // read

    def _next_line(self):
        """The next line as text (None at the end)."""
        if not self._fill():
            return None
        m = _BREAK.search(self._data, self._pos, self._end)
        end = m.end() if m else self._end
        ((_, text),) = _text_lines(self.path, self._data[self._pos:end], self._lineno)
        self._pos, self._lineno = end, self._lineno + 1
        return text

    def _line_texts(self):
        """(line number, text) of every line left."""
        while True:
            text = self._next_line()
            if text is None:
                return
            yield self._lineno - 1, text

    def rows(self, lines=None):
        """(line number, fields) of each data row of ``lines`` (default: all left)."""
        numbers = []

        def texts():
            for lineno, text in (self._line_texts() if lines is None else lines):
                numbers.append(lineno)
                yield text

        reader = csv.reader(texts(), delimiter=self.delimiter, skipinitialspace=True)
        n = len(self.header)
        for fields in reader:
            if not fields or (len(fields) == 1 and not fields[0].strip()):
                continue
            # A quoted cell may run over lines: the row is named by the line it ends on.
            lineno = numbers[-1]
            if len(fields) != n:
                raise InputError(self.path, f"{len(fields)} fields where the header has {n}",
                                 line=lineno)
            yield lineno, fields

    def number_blocks(self, columns):
        """Blocks of (numbers, offset, values): the numbers in the fields ``columns``
        (indices into the header) of every data row as a (rows, len(columns)) float64
        array, and the rows' line numbers, numbers + offset (int64; added up only
        where a line is named). A cell that is not a finite number is refused, naming it.

        The values of the bulk reader are a view of its own buffer, valid until the
        next block is taken: the caller copies what it keeps (scan_reads copies each
        column once, where a copy of the block first would make two copies)."""
        scan = _fast_scan()
        k = len(columns)
        if scan is None or len(set(columns)) != k or k > 255:
            yield from self._slow_numbers(columns, self.rows())
            return
        slots = bytearray(len(self.header))
        for s, i in enumerate(columns):
            slots[i] = s + 1
        slots = bytes(slots)
        delimiter = ord(self.delimiter)
        spare = collections.deque()  # the outputs of chunks done with

        def scanned(data, pos, end):
            """The bulk reader's chunks of data[pos:end] from its start, in order: (rows,
            bytes, lines, numbers, values) each, up to the first line it leaves or the
            end. Lines are numbered from 0: where a block starts is known once those
            before it are read."""
            chunks = []
            view = memoryview(data)
            while pos < end:
                numbers, values = spare.pop() if spare else (
                    np.empty(SCAN_ROWS, dtype=np.int64), np.empty((SCAN_ROWS, k)))
                rows, used, n_lines = scan(view[pos:end], delimiter, slots, k, values,
                                           numbers, 0)
                chunks.append((rows, used, n_lines, numbers, values))
                pos += used
                if rows < SCAN_ROWS:  # not stopped by a full output
                    break
            return chunks

        # The rest of the block that holds the header is scanned here; the blocks after
        # it by this thread and a helper, whichever is free (see _BlockScans).
        scans = None
        chunks = scanned(self._data, self._pos, self._end)
        try:
            while True:
                for rows, used, n_lines, numbers, values in chunks:
                    # Moved on first: the caller may ask how far the reading got.
                    first = self._lineno
                    self._pos += used
                    self._lineno += n_lines
                    if rows:
                        yield numbers[:rows], first, values[:rows]
                    spare.append((numbers, values))
                if self._pos < self._end:
                    # A line the bulk reader left: read it here, or, when quotes may make
                    # a row run over lines, every line left, in order.
                    m = _BREAK.search(self._data, self._pos, self._end)
                    end = m.end() if m else self._end
                    if b'"' in self._data[self._pos:end]:
                        if scans is not None:
                            self._blocks = (block for block, _ in iter(scans.next, None))
                        yield from self._slow_numbers(columns, self.rows())
                        return
                    lines = list(_text_lines(self.path, self._data[self._pos:end],
                                             self._lineno))
                    self._pos, self._lineno = end, self._lineno + len(lines)
                    yield from self._slow_numbers(columns, self.rows(lines))
                    # The scan goes on: the next line is plain as often as any other.
                    chunks = scanned(self._data, self._pos, self._end)
                    continue
                if scans is None:
                    scans = _BlockScans(self._blocks, scanned)
                got = scans.next()
                if got is None:
                    return
                (data, end), chunks = got
                if isinstance(self._data, bytearray):
                    # Nothing holds on to it now: every line of it has been read.
                    self._free.append(self._data)
                self._taken += self._end
                self._data, self._end, self._pos = data, end, 0
        finally:
            if scans is not None:
                scans.close()

    def _slow_numbers(self, columns, rows):
        names = [self.header[i] for i in columns]
        numbers, values = [], []
        for lineno, fields in rows:
            numbers.append(lineno)
            values.append([_number(self.path, lineno, name, fields[i])
                           for name, i in zip(names, columns)])
            if len(numbers) == SCAN_ROWS:
                yield np.array(numbers, dtype=np.int64), 0, np.array(values)
                numbers, values = [], []
        if numbers:
            yield np.array(numbers, dtype=np.int64), 0, np.array(values)


def format_rows(rows, delimiter):
    """The rows of a matrix of numbers as lines of text (bytes), the numbers separated by
    ``delimiter``, each as "%.17g" writes it: 17 significant digits read back as the same
    double, so m/70 is read as m/70."""
    import korvel

    rows = np.ascontiguousarray(rows, dtype=np.float64)
    fast = getattr(korvel, "_format_rows", None)
    if fast is not None and np.all(np.isfinite(rows)):
        return fast(rows, ord(delimiter))
    line = delimiter.join(["%.17g"] * rows.shape[1]) + "\n"
    return ((line * rows.shape[0]) % tuple(rows.ravel().tolist())).encode()


def _fast_scan():
    """The extension's bulk reader, when the installed module has it and it is not turned
    off (KORVEL_SLOW_READER=1 reads every line in Python, as a check of it)."""
    if os.environ.get("KORVEL_SLOW_READER") == "1":
        return None
    import korvel

    return getattr(korvel, "_scan_columns", None)


def _rows(path, source=None):
    """Yields (line number, header, fields) for each data row; the header is line 1.

    Reads the input once; when it has been read to its end, ``source`` (a
    dict) gets its path, SHA-256 and size in bytes.
    """
    source = {} if source is None else source
    with _reading(path):
        table = _Table(path, source)
        yield 1, table.header, None
        for lineno, fields in table.rows():
            yield lineno, table.header, fields


@contextlib.contextmanager
def _reading(path):
    """Errors of decompression and of the csv module as InputErrors of ``path``."""
    try:
        yield
    except (EOFError, gzip.BadGzipFile, zlib.error, csv.Error) as exc:
        raise InputError(path, f"cannot be read as a text table ({exc})") from None


def _shown(text):
    """A header cell or a cell as a message quotes it: at most SHOWN_CHARS characters, and
    invisible characters escaped (a byte-order mark, a tab or a non-breaking space in a
    column name would otherwise make the message look as if the name were right)."""
    text = str(text)
    if len(text) > SHOWN_CHARS:
        text = text[:SHOWN_CHARS] + "..."
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii")
                   for c in text)


def _header_shown(header):
    """A header as a message quotes it: the first SHOWN_COLUMNS columns, then a count."""
    shown = ", ".join(_shown(h) for h in header[:SHOWN_COLUMNS])
    if len(header) > SHOWN_COLUMNS:
        shown += f", ... ({len(header)} columns)"
    return shown


def _number(path, lineno, column, text):
    try:
        value = float(text)
    except ValueError:
        raise InputError(path, f"'{_shown(text.strip())}' is not a number", lineno,
                         column) from None
    if math.isnan(value):
        raise InputError(path, "NaN is not allowed", lineno, column)
    if math.isinf(value):
        raise InputError(path, f"'{_shown(text.strip())}' is not a finite number", lineno,
                         column)
    return value


def _column_index(path, header, name, parameter):
    if name not in header:
        raise InputError(path, f"no column '{_shown(name)}'; the header has "
                         f"{_header_shown(header)}", line=1, column=name, parameter=parameter)
    return header.index(name)


def scan_reads(path, density_column=DENSITY_COLUMN, methylation_column=METHYLATION_COLUMN,
               age_column=None, percent=False, source=None):
    """The reads of a reads table block by block, as they are read: (density, meth, age)
    arrays of each block (age None unless ``age_column`` is given), fractions already
    divided by 100 with ``percent``.

    The same checks and messages as ``read_reads``; the last ones (a fraction
    out of range, no reads) come once the table has been read, after the last
    block. ``source`` (a dict) gets what was read: path, SHA-256, size.
    """
    for values in _read_blocks(path, density_column, methylation_column, age_column, percent,
                               {} if source is None else source):
        # Copies: the block's values are the reader's buffer, which the next block
        # overwrites.
        meth = values[:, 1]
        density = np.array(values[:, 0])
        age = None if age_column is None else np.array(values[:, 2])
        yield density, (meth / 100.0 if percent else np.array(meth)), age


def _read_blocks(path, density_column, methylation_column, age_column, percent, source,
                 expected=None):
    """The checked blocks of ``scan_reads`` as the reader gives them: (rows, 2 or 3)
    matrices of density, methylation as written (percentages with ``percent``) and
    age, valid until the next block is taken. ``expected`` (a dict), when given, has
    "lines" set to the table's expected_lines() as each block comes."""
    # The first value out of range is reported, but only once the whole column
    # is read: whether it looks like percentages depends on every value.
    scale, unit = (100.0, "percentage") if percent else (1.0, "fraction")
    bad, lowest, highest, n = None, math.inf, -math.inf, 0
    with _reading(path):
        table = _Table(path, source)
        header = table.header
        columns = [_column_index(path, header, density_column, "density_column"),
                   _column_index(path, header, methylation_column, "methylation_column")]
        if age_column is not None:
            columns.append(_column_index(path, header, age_column, "age_column"))
        for numbers, offset, values in table.number_blocks(columns):
            meth = values[:, 1]
            # The values are finite: the block's least and greatest say whether one is
            # out of range, and only then is it looked for.
            low, high = meth.min(), meth.max()
            if bad is None and not (low >= 0.0 and high <= scale):
                out = np.flatnonzero(~((meth >= 0.0) & (meth <= scale)))
                bad = (int(numbers[out[0]]) + offset, float(meth[out[0]]))
            lowest, highest = min(lowest, low), max(highest, high)
            n += meth.size
            if expected is not None:
                expected["lines"] = table.expected_lines()
            yield values
    if bad is not None:
        lineno, x = bad
        what = f"methylated {unit} {x!r} is outside [0, {scale:g}]"
        if not percent and lowest >= 0.0 and highest <= 100.0:
            raise InputError(path, what, lineno, methylation_column, "percent",
                             "; the column looks like percentages (0 to 100): pass {}")
        raise InputError(path, what, lineno, methylation_column)
    if not n:
        raise InputError(path, "holds no reads")


def read_reads(path, density_column=DENSITY_COLUMN, methylation_column=METHYLATION_COLUMN,
               age_column=None, percent=False):
    """Reads a reads table; ``age_column`` is read (and required) only when given.

    With ``percent`` the methylation column holds percentages, 0 to 100, and
    is divided by 100. Raises InputError for a missing column, a non-numeric
    or NaN cell, a methylated fraction outside [0, 1] (or a percentage outside
    [0, 100]), or a table without reads. When fractions exceed 1 but no value
    exceeds 100, the message suggests ``percent``.
    """
    source, expected = {}, {}
    # Each block is copied once, into columns made as long as the file's size says
    # (its lines are about as long as the first ones; pages never written cost
    # nothing), or, when that is not known or too short, that double when full:
    # resizing a large array costs more than copying into it, so a file's columns
    # are seldom resized.
    columns, n = [], 0
    for values in _read_blocks(path, density_column, methylation_column, age_column, percent,
                               source, expected):
        rows = values.shape[0]
        if not columns:
            lines = expected["lines"] or 0
            size = max(rows, SCAN_ROWS, lines + lines // 32 + SCAN_ROWS)
            columns = [np.empty(1) for _ in range(values.shape[1])]
            for c in columns:
                # Grown from one item: NumPy asks for huge pages for large new arrays,
                # which the kernel may first have to make by compacting memory (0.02
                # to 0.35 s for the columns of 10^7 reads, run to run), not for grown
                # ones (0.11 s, steady).
                c.resize(size, refcheck=False)
        if n + rows > columns[0].size:
            for c in columns:
                c.resize(max(2 * c.size, n + rows), refcheck=False)
        for j, c in enumerate(columns):
            c[n:n + rows] = values[:, j]
        n += rows
    for c in columns:
        c.resize(n, refcheck=False)
    if percent:
        columns[1] /= 100.0
    density, meth = columns[:2]
    age = columns[2] if age_column is not None else None
    return Reads(density, meth, age, str(path), density_column, methylation_column,
                 age_column, source)


def read_counts(path, n_meth_bins=None):
    """Reads a counts table: ``density_lo``, ``density_hi``, then one count column per methylation bin.

    Counts must be non-negative whole numbers; density bins must be given in
    ascending, non-overlapping order, and none may be empty. With
    ``n_meth_bins`` the number of count columns must equal it.
    """
    lo, hi, rows, names, source = [], [], [], None, {}
    for lineno, header, fields in _rows(path, source):
        if fields is None:
            ilo = _column_index(path, header, "density_lo", None)
            ihi = _column_index(path, header, "density_hi", None)
            if (ilo, ihi) != (0, 1):
                raise InputError(path, "the first two columns must be density_lo and density_hi",
                                 line=1)
            names = header[2:]
            if not names:
                raise InputError(path, "has no count columns after density_hi", line=1)
            if n_meth_bins is not None and len(names) != n_meth_bins:
                raise InputError(path, f"has {len(names)} count columns but there are "
                                 f"{n_meth_bins} methylation bins", line=1)
            continue
        a = _number(path, lineno, "density_lo", fields[0])
        b = _number(path, lineno, "density_hi", fields[1])
        if not a < b:
            raise InputError(path, f"density_lo {a!r} is not below density_hi {b!r}", lineno,
                             "density_hi")
        if hi and a < hi[-1]:
            raise InputError(path, f"density bin starts at {a!r}, inside the previous bin "
                             "(bins must ascend without overlap)", lineno, "density_lo")
        counts = []
        for name, text in zip(names, fields[2:]):
            c = _number(path, lineno, name, text)
            if c < 0 or c != int(c):
                raise InputError(path, f"count {_shown(text.strip())!r} is not a non-negative "
                                 "whole number", lineno, name)
            counts.append(int(c))
        if sum(counts) == 0:
            raise InputError(path, "this density bin holds no reads", lineno, names[0])
        lo.append(a)
        hi.append(b)
        rows.append(counts)
    if not rows:
        raise InputError(path, "holds no density bins")
    return CountsTable(np.array(lo), np.array(hi), np.array(rows, dtype=np.int64), str(path),
                       source)


@dataclass
class FittedBins:
    """The density bins of a results table that ``korvel fit`` wrote, with the values the
    map of each bin needs: its St, CoW, CoE and, where the fit fitted them, n_U, n_M, Vmax."""

    density_lo: np.ndarray
    density_hi: np.ndarray
    params: dict  # name -> (n_densities,) array: st, cow, coe, and any of n_u, n_m, vmax
    run: dict | None  # the run.json beside the table, when there is one
    path: str


# St, CoW and CoE are in every fit's table; the exponents and Vmax only where fitted.
FITTED_REQUIRED = ("density_lo", "density_hi") + modes.PARAMETERS[:3]
FITTED_OPTIONAL = modes.PARAMETERS[3:]


def read_columns(path, names):
    """name -> float64 array of each named column of a table; InputError naming the file,
    line and column of a missing column or a cell that is no number."""
    cols, idx = {n: [] for n in names}, None
    for lineno, header, fields in _rows(path):
        if fields is None:
            idx = {c: _column_index(path, header, c, None) for c in names}
            continue
        for c, i in idx.items():
            cols[c].append(_number(path, lineno, c, fields[i]))
    return {c: np.array(v, dtype=np.float64) for c, v in cols.items()}


def read_fitted(path):
    """Reads a results table of ``korvel fit`` and the run.json beside it (if any).

    InputError unless St, CoW and CoE (and Vmax, where present) are positive
    and the exponents finite, or when the run.json cannot be read.
    """
    import json
    from pathlib import Path

    cols, idx = {}, None
    for lineno, header, fields in _rows(path):
        if fields is None:
            idx = {c: _column_index(path, header, c, None) for c in FITTED_REQUIRED}
            idx.update({c: header.index(c) for c in FITTED_OPTIONAL if c in header})
            cols = {c: [] for c in idx}
            continue
        for c, i in idx.items():
            v = _number(path, lineno, c, fields[i])
            if c in ("st", "cow", "coe", "vmax") and not v > 0:
                raise InputError(path, f"{c} must be positive", lineno, c)
            cols[c].append(v)
    if not cols or not cols["st"]:
        raise InputError(path, "holds no density bins")
    run_path = Path(path).with_name("run.json")
    run = None
    if run_path.is_file():
        try:
            run = json.loads(run_path.read_text(encoding="utf-8"))
        except (OSError, ValueError) as exc:
            raise InputError(run_path, f"cannot be read as JSON ({exc})") from None
        if not isinstance(run, dict):
            raise InputError(run_path, "does not hold a run record")
    arrays = {c: np.array(v, dtype=np.float64) for c, v in cols.items()}
    lo, hi = arrays.pop("density_lo"), arrays.pop("density_hi")
    return FittedBins(lo, hi, arrays, run, str(path))


# Rows of a written reads table formatted at a time.
WRITE_ROWS = 1 << 16


def write_reads(path, density, meth, age=None):
    """Writes a reads table with the default column names: commas when the name ends in .csv
    (or .csv.gz), tabs otherwise; gzip-compressed when it ends in .gz."""
    cols = [density, meth] + ([age] if age is not None else [])
    names = [DENSITY_COLUMN, METHYLATION_COLUMN] + (
        [AGE_COLUMN] if age is not None else [])
    sep = provenance.separator(path)
    rows = np.column_stack(cols).astype(np.float64)

    def write(f):
        pieces = itertools.chain([(sep.join(names) + "\n").encode()],
                                 (format_rows(rows[i:i + WRITE_ROWS], sep)
                                  for i in range(0, len(rows), WRITE_ROWS)))
        if str(path).endswith(".gz"):
            pieces = provenance.gzip_stream(pieces)
        for piece in pieces:
            f.write(piece)

    provenance.write_file(path, write)
