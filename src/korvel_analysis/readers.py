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

import csv
import gzip
import hashlib
import io
import math
import os
import sys
import zlib
from dataclasses import dataclass, field

import numpy as np

DENSITY_COLUMN = "cpg_density"
METHYLATION_COLUMN = "meth_fraction"
AGE_COLUMN = "age"
# The longest line a table may have (1 MiB of characters).
MAX_LINE_CHARS = 1 << 20
# Messages that quote a header or a cell show at most this much of it.
SHOWN_COLUMNS = 20
SHOWN_CHARS = 80
STDIN = "-"


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


class _Checksum(io.RawIOBase):
    """The input's raw bytes, counted and hashed as they are read."""

    def __init__(self, f):
        self.f, self.sha256, self.bytes = f, hashlib.sha256(), 0

    def readable(self):
        return True

    def readinto(self, buf):
        n = self.f.readinto(buf)
        if n:
            self.sha256.update(memoryview(buf)[:n])
            self.bytes += n
        return n


def _open_text(path, raw):
    """Text over ``raw`` (a _Checksum), gunzipped when its first bytes say gzip."""
    buffered = io.BufferedReader(raw, 1 << 16)
    if buffered.peek(2)[:2] == b"\x1f\x8b":
        return buffered, io.TextIOWrapper(gzip.GzipFile(fileobj=buffered, mode="rb"),
                                          encoding="utf-8-sig", newline="")
    # utf-8-sig: a leading byte-order mark is dropped, not read into the first column's name.
    return buffered, io.TextIOWrapper(buffered, encoding="utf-8-sig", newline="")


def _lines(path, f, first=1):
    """The lines of ``f``; InputError for a line longer than MAX_LINE_CHARS."""
    lineno = first
    while True:
        line = f.readline(MAX_LINE_CHARS + 1)
        if not line:
            return
        if len(line) > MAX_LINE_CHARS and line[-1] not in "\r\n":
            raise InputError(path, f"is longer than {MAX_LINE_CHARS} characters (a table's "
                             "lines are at most 1 MiB)", line=lineno)
        yield line
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


def _rows(path, source=None):
    """Yields (line number, header, fields) for each data row; the header is line 1.

    Reads the input once; when it has been read to its end, ``source`` (a
    dict) gets its path, SHA-256 and size in bytes.
    """
    try:
        f = sys.stdin.buffer if path == STDIN else open(path, "rb")  # noqa: SIM115
    except OSError as exc:
        raise InputError(path, f"cannot be read ({exc.strerror or exc})") from None
    raw = _Checksum(f)
    try:
        buffered, text = _open_text(path, raw)
        lines = _lines(path, text)
        first = next(lines, "")
        if not first.strip():
            raise InputError(path, "is empty: a header line is expected", line=1)
        delim = _delimiter(path, first)
        # skipinitialspace: a quoted cell after ", " is unquoted too.
        header = [h.strip() for h in next(csv.reader([first], delimiter=delim,
                                                     skipinitialspace=True))]
        seen = set()
        for h in header:
            if h in seen:
                raise InputError(path, f"column '{_shown(h)}' appears twice in the header",
                                 line=1)
            seen.add(h)
        yield 1, header, None
        reader = csv.reader(lines, delimiter=delim, skipinitialspace=True)
        for fields in reader:
            if not fields or (len(fields) == 1 and not fields[0].strip()):
                continue
            lineno = reader.line_num + 1
            if len(fields) != len(header):
                raise InputError(
                    path, f"{len(fields)} fields where the header has {len(header)}", line=lineno
                )
            yield lineno, header, fields
        while buffered.read(1 << 20):  # whatever follows the table counts in the checksum
            pass
    except (UnicodeDecodeError, EOFError, gzip.BadGzipFile, zlib.error, csv.Error) as exc:
        raise InputError(path, f"cannot be read as a text table ({exc})") from None
    finally:
        if f is not sys.stdin.buffer:
            f.close()
    if source is not None:
        source.update(path=path if path == STDIN else os.path.abspath(path),
                      sha256=raw.sha256.hexdigest(), bytes=raw.bytes)


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


def read_reads(path, density_column=DENSITY_COLUMN, methylation_column=METHYLATION_COLUMN,
               age_column=None, percent=False):
    """Reads a reads table; ``age_column`` is read (and required) only when given.

    With ``percent`` the methylation column holds percentages, 0 to 100, and
    is divided by 100. Raises InputError for a missing column, a non-numeric
    or NaN cell, a methylated fraction outside [0, 1] (or a percentage outside
    [0, 100]), or a table without reads. When fractions exceed 1 but no value
    exceeds 100, the message suggests ``percent``.
    """
    density, meth, age = [], [], []
    idx, source = None, {}
    # The first value out of range is reported, but only once the whole column
    # is read: whether it looks like percentages depends on every value.
    scale, unit = (100.0, "percentage") if percent else (1.0, "fraction")
    bad = None
    for lineno, header, fields in _rows(path, source):
        if fields is None:
            idx = (_column_index(path, header, density_column, "density_column"),
                   _column_index(path, header, methylation_column, "methylation_column"),
                   None if age_column is None
                   else _column_index(path, header, age_column, "age_column"))
            continue
        density.append(_number(path, lineno, density_column, fields[idx[0]]))
        x = _number(path, lineno, methylation_column, fields[idx[1]])
        if bad is None and not 0.0 <= x <= scale:
            bad = (lineno, x)
        meth.append(x)
        if age_column is not None:
            age.append(_number(path, lineno, age_column, fields[idx[2]]))
    if bad is not None:
        lineno, x = bad
        what = f"methylated {unit} {x!r} is outside [0, {scale:g}]"
        if not percent and min(meth) >= 0.0 and max(meth) <= 100.0:
            raise InputError(path, what, lineno, methylation_column, "percent",
                             "; the column looks like percentages (0 to 100): pass {}")
        raise InputError(path, what, lineno, methylation_column)
    if not meth:
        raise InputError(path, "holds no reads")
    meth = np.array(meth)
    if percent:
        meth /= 100.0
    return Reads(np.array(density), meth,
                 None if age_column is None else np.array(age), str(path),
                 density_column, methylation_column, age_column, source)


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


FITTED_REQUIRED = ("density_lo", "density_hi", "st", "cow", "coe")
FITTED_OPTIONAL = ("n_u", "n_m", "vmax")


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
