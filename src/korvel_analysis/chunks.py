"""Bootstraps run in chunks of whole resamples, kept on disk as each chunk finishes.

A long bootstrap is split into chunks of ``chunk_resamples`` consecutive
resamples; each chunk is one call of the mode's bootstrap function, run here
or on a Dask cluster (``distributed``). The rows of the chunks are put back
in resample order and the resample column is renumbered to the global index,
so the result has the layout of one whole call.

When the chunked rows equal one whole call:

- shared-exp, shared-st-exp, shared-co: every inner fit is seeded from its
  density index, never from the resample's place in the call, so the rows
  equal those of one whole call bit for bit, at any chunk size.
- independent (and the module's fixed-St mode): each fit is seeded from its
  row index inside the call, that is inside the chunk; the rows are the same
  on every run with the same chunk size (recorded in run.json), and differ
  from those of another chunk size by the fits' scatter.
- shared-st: the inner fits draw their seeds from the operating system's
  entropy; the rows are never bit-reproducible, chunked or not.

With ``checkpoint_dir`` every finished chunk is written there at once (a
temporary file renamed into place), so an interrupted run loses only the
chunks in flight, and a run started again with ``resume=True`` computes only
the chunks that are missing.
"""

from __future__ import annotations

import hashlib
import io
import json
import math
import os
import zipfile
from pathlib import Path

import numpy as np

import korvel

from . import distributed, modes, provenance, tl
from . import progress as _progress

# The chunk size `korvel fit` uses unless told otherwise. It is fixed, not
# derived from the machine, because in the independent mode the rows depend
# on it: the same command must give the same rows everywhere.
DEFAULT_CHUNK_RESAMPLES = 10
CHUNK_DIR = "chunks"
# The chunk store's record of whose chunks it holds (the fingerprint of their inputs).
FINGERPRINT_FILE = "manifest.json"

def reproducibility(mode, chunk_resamples):
    """What a chunked bootstrap's rows repeat in a mode: for run.json and the README."""
    m = modes.get(mode)
    if m.chunk_invariant:
        return {"rows": "equal to one whole call at any chunk size",
                "why": "every inner fit is seeded from its density index"}
    if not m.seeded:
        return {"rows": "not reproducible", "why": m.unseeded_because}
    return {"rows": f"reproducible with chunks of {chunk_resamples} resamples",
            "why": "each fit is seeded from its row index inside its chunk, so another chunk "
                   "size gives other (equally valid) rows"}


def chunk_bounds(n_boot, chunk_resamples=None):
    """[(b0, b1), ...]: consecutive chunks of at most ``chunk_resamples`` resamples.

    None gives one chunk of every resample, that is one whole call.
    """
    n_boot = int(n_boot)
    k = n_boot if chunk_resamples is None else int(chunk_resamples)
    if n_boot < 0 or (n_boot and k < 1):
        raise ValueError("n_boot must not be negative and chunks need at least one resample")
    return [(b0, min(b0 + k, n_boot)) for b0 in range(0, n_boot, max(k, 1))]


def run_chunk(rows, b0, n_densities, meth_bin_edges, settings, warm=None, slot=0):
    """One chunk: the bootstrap function on its resamples, resample column renumbered from b0.

    A pure function of its arguments and the module, so that any process
    can run it: it sets the run-wide settings (raw counts, Vmax) itself.
    ``slot``: where the module counts the chunk's finished work (tl.work_slot).
    """
    rows = np.ascontiguousarray(rows, dtype=np.float64)
    n = rows.shape[0] // int(n_densities) if n_densities else 0
    out = np.array(tl.bootstrap(rows, n, n_densities, meth_bin_edges, settings, warm, slot),
                   dtype=np.float64)
    out[:, 0] += b0  # integers in doubles: exact
    return out


def _work_read(read, n_densities):
    """A Watch's read of a module progress slot: whole resamples of finished rows, and the
    density fits beside them where a resample is more than one fit of each of its rows
    (a shared search refits every row at each of its points)."""
    def units():
        rows, fits = read()
        resamples = rows // n_densities if n_densities else 0
        return resamples, (f"{fits} density fits" if fits > rows else "")
    return units


def fingerprint(rows, n_densities, meth_bin_edges, settings, warm, chunk_resamples):
    """A digest of everything that decides a chunk's rows: stale chunks are never reused."""
    h = hashlib.sha256()
    h.update(np.ascontiguousarray(rows, dtype=np.float64).tobytes())
    h.update(np.ascontiguousarray(meth_bin_edges, dtype=np.float64).tobytes())
    fields = sorted(vars(settings).items())
    h.update(repr((int(n_densities), fields, warm, chunk_resamples)).encode())
    return h.hexdigest()


# A .npy member is its array plus a header that np.save keeps to a few hundred bytes.
_NPY_HEADER_ROOM = 4096
# The digest member: one 64-character string.
_DIGEST_MEMBER_MAX = 4096
# The room a bound gives for the rounding of a value searched as a logarithm.
_BOUND_SLACK = 1e-9


def rows_usable(rows, b0, b1, n_densities, settings):
    """Whether chunk rows are what the mode's bootstrap function can return for resamples
    b0..b1-1: one row per (resample, density) in order, every parameter finite and inside
    the box it is searched in (a fixed Vmax equal to the run's), the NLL a number or NaN.
    A chunk with its digest recomputed still has to pass this to be used."""
    columns = modes.get(settings.mode).bootstrap_columns
    n = b1 - b0
    if rows.shape != (n * n_densities, len(columns)):
        return False
    if not (np.array_equal(rows[:, 0], np.repeat(np.arange(b0, b1, dtype=np.float64),
                                                  n_densities))
            and np.array_equal(rows[:, 1], np.tile(np.arange(n_densities, dtype=np.float64),
                                                   n))):
        return False
    for j, name in enumerate(columns[2:], start=2):
        v = rows[:, j]
        if name == "nll":
            ok = not np.any(np.isinf(v))
        elif name == "vmax" and not settings.fit_vmax:
            fixed = float(settings.vmax)
            ok = bool(np.all(v == fixed)) or (math.isnan(fixed) and bool(np.all(np.isnan(v))))
        else:
            lo, hi = (float(b) for b in getattr(settings, modes.BOUNDS_FIELD[name]))
            slack = _BOUND_SLACK * max(abs(lo), abs(hi))
            ok = bool(np.all(np.isfinite(v) & (v >= lo - slack) & (v <= hi + slack)))
        if not ok:
            return False
    return True


def _members_fit(data, n_rows, n_cols):
    """Whether a chunk file's directory lists its two members at no more than the sizes its
    range allows: read before anything is decompressed, and binding, since the archive
    reader stops each member at its listed size."""
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        sizes = {i.filename: i.file_size for i in z.infolist()}
    return (set(sizes) == {"rows.npy", "digest.npy"}
            and sizes["rows.npy"] <= n_rows * n_cols * 8 + _NPY_HEADER_ROOM
            and sizes["digest.npy"] <= _DIGEST_MEMBER_MAX)


class StaleChunks(ValueError):
    """Resuming over chunks that other inputs or settings made."""


class Checkpoints:
    """Finished chunks in one folder, each written whole or not at all, each verified when read.

    A chunk file (.npz) holds its rows and a digest of the run's fingerprint,
    its resample range and its rows: a chunk copied from another run, edited,
    cut short or unreadable fails the check and is computed again. ``folder``
    is a path, or a store of an output folder (``provenance.OutputFolder.sub``)
    that lists what it writes in the folder's manifest.
    """

    def __init__(self, folder):
        if isinstance(folder, (str, os.PathLike)):
            Path(folder).mkdir(parents=True, exist_ok=True)
            folder = provenance.SafeDir.open(folder)
            folder.remove_stale_temps()
            self._owned = folder
        else:
            self._owned = None
        self.dir = folder
        self.folder = Path(folder.shown)
        self.digest = None
        self.resume = False
        self.rejected = 0

    @staticmethod
    def name(b0, b1):
        return f"resamples_{b0:07d}_{b1:07d}.npz"

    def check(self, digest, resume):
        """Raises StaleChunks when resuming over another run's chunks. Writes nothing."""
        if not resume or not self.dir.exists(FINGERPRINT_FILE):
            return
        try:
            old = json.loads(self.dir.read_bytes(FINGERPRINT_FILE, limit=1 << 16))
            old = old.get("fingerprint")
        except (OSError, ValueError, AttributeError):
            old = None
        if old != digest:
            raise StaleChunks(f"the chunks in {self.folder} belong to another run (other "
                              "resamples, settings or chunk size): run without resume")

    def open(self, digest, resume):
        """Starts afresh, or (``resume``) checks that the folder's chunks belong to this run."""
        self.check(digest, resume)
        self.digest, self.resume = digest, resume
        self.dir.write_bytes(FINGERPRINT_FILE, json.dumps({"fingerprint": digest}).encode())

    def _chunk_digest(self, b0, b1, rows):
        h = hashlib.sha256(f"korvel chunk {self.digest} {b0} {b1} {rows.shape}".encode())
        h.update(np.ascontiguousarray(rows, dtype="<f8").tobytes())
        return h.hexdigest()

    def load(self, b0, b1, n_rows, n_cols, usable=None):
        """The chunk's rows when this run wrote them and they are whole and unchanged, else None.

        Only a resumed run reads chunks; a file that is there but fails the
        check (its members larger than its range allows, read from the
        archive's directory before anything is decompressed; its digest; and
        ``usable(rows)``, the rows' values) counts in ``rejected``. Anything
        but a regular file at the name is refused (provenance.FolderError).
        """
        name = self.name(b0, b1)
        if not self.resume or not self.dir.exists(name):
            return None
        try:
            # np.savez stores its members uncompressed: the file is their size and a
            # little directory.
            data = self.dir.read_bytes(name, limit=n_rows * n_cols * 8 + 4 * _NPY_HEADER_ROOM
                                       + _DIGEST_MEMBER_MAX)
            ok = _members_fit(data, n_rows, n_cols)
            if ok:
                with np.load(io.BytesIO(data), allow_pickle=False) as z:
                    rows, digest = z["rows"], str(z["digest"])
                ok = (rows.dtype == np.float64 and rows.shape == (n_rows, n_cols)
                      and digest == self._chunk_digest(b0, b1, rows)
                      and (usable is None or usable(rows)))
        except provenance.FileTooLarge:
            ok = False
        except provenance.FolderError:
            raise  # a FIFO or a link at a chunk's name: refused, not read
        except Exception:  # noqa: BLE001 - whatever is wrong with the file, it is no chunk
            ok = False
        if not ok:
            self.rejected += 1
            return None
        if hasattr(self.dir, "keep"):
            self.dir.keep(name)
        return rows

    def save(self, b0, b1, rows):
        buf = io.BytesIO()
        np.savez(buf, rows=rows, digest=np.array(self._chunk_digest(b0, b1, rows)))
        self.dir.write_bytes(self.name(b0, b1), buf.getvalue())

    def close(self):
        if self._owned is not None:
            self._owned.close()


class Interrupted(KeyboardInterrupt):
    """Ctrl+C during a chunked bootstrap; the finished chunks are kept."""

    def __init__(self, done, total, folder):
        where = f"; they are kept in {folder}" if folder else ""
        super().__init__(f"interrupted after {done} of {total} resamples{where}")
        self.done, self.total, self.folder = done, total, folder


def run_bootstrap(rows, n_boot, n_densities, meth_bin_edges, settings, warm=None, *,
                  chunk_resamples=None, progress=None, client=None, checkpoint_dir=None,
                  resume=False, report=None, on_start=None, what="bootstrap"):
    """Bootstrap rows of ``settings.mode`` over ``n_boot`` resamples, chunk by chunk.

    ``chunk_resamples``: resamples per chunk (None: one chunk, the whole
    call); ``progress``: None (a bar on a terminal), True or False;
    ``client``: a ``dask.distributed.Client`` that runs the chunks;
    ``checkpoint_dir``: a folder for finished chunks; ``resume``: reuse the
    chunks found there (refused with ValueError when they belong to other
    inputs; any chunk that fails its check is computed again, and
    ``report(message)`` is told how many); ``on_start()`` is called once
    those checks have passed, before the first chunk is written; ``what`` names
    the stage in the progress lines. Ctrl+C
    raises ``Interrupted`` after keeping every finished chunk.
    """
    n_boot, n_densities = int(n_boot), int(n_densities)
    rows = np.ascontiguousarray(rows, dtype=np.float64)
    n_cols = len(modes.get(settings.mode).bootstrap_columns)
    if rows.ndim != 2 or rows.shape[0] < n_boot * n_densities:
        raise ValueError(f"the resamples need {n_boot * n_densities} rows "
                         f"(n_boot * n_densities), got {rows.shape[0] if rows.ndim else 0}")
    bounds = chunk_bounds(n_boot, chunk_resamples)
    done = {}
    store = None
    if checkpoint_dir is not None:
        store = Checkpoints(checkpoint_dir)
        digest = fingerprint(rows[:n_boot * n_densities], n_densities, meth_bin_edges, settings,
                             warm, chunk_resamples)
    try:
        if store is not None:
            store.check(digest, resume)  # before anything is written
        if on_start is not None:
            on_start()
        if store is not None:
            store.open(digest, resume)
            for i, (b0, b1) in enumerate(bounds):
                got = store.load(b0, b1, (b1 - b0) * n_densities, n_cols,
                                 lambda r, b0=b0, b1=b1: rows_usable(r, b0, b1, n_densities,
                                                                     settings))
                if got is not None:
                    done[i] = got
            if report is not None and store.rejected:
                report(f"{store.rejected} of the chunks in {store.folder} were not this run's "
                       "or were damaged (another run's, edited, cut short, unreadable, or "
                       "holding values this run's fits cannot return): computed again")
        _run_chunks(rows, bounds, n_boot, n_densities, meth_bin_edges, settings, warm, done,
                    store, progress, client, what)
    finally:
        if store is not None:
            store.close()
    return assemble([done[i] for i in range(len(bounds))], n_boot, n_densities, n_cols)


def _run_chunks(rows, bounds, n_boot, n_densities, meth_bin_edges, settings, warm, done, store,
                progress, client, what="bootstrap"):
    todo = [i for i in range(len(bounds)) if i not in done]
    jobs = [(i, (rows[b0 * n_densities:b1 * n_densities], b0, n_densities, meth_bin_edges,
                 settings, warm)) for i, (b0, b1) in ((i, bounds[i]) for i in todo)]
    n_done = sum(b1 - b0 for i, (b0, b1) in enumerate(bounds) if i in done)

    unit = "resample" if what == "bootstrap" else "draw"
    with _progress.bar(n_boot, what, unit, progress, initial=n_done) as bar:
        def finished(i, out, counted=0):
            b0, b1 = bounds[i]
            if store is not None:
                store.save(b0, b1, out)
            done[i] = out
            bar.update(b1 - b0 - counted)

        try:
            if client is None:
                _run_here(jobs, n_densities, bar, finished)
            else:
                distributed.map_chunks(client, run_chunk, jobs, finished)
        except KeyboardInterrupt:
            kept = sum(bounds[i][1] - bounds[i][0] for i in done)
            raise Interrupted(kept, n_boot, store.folder if store else None) from None


def _run_here(jobs, n_densities, bar, finished):
    """The chunks one after another in this process, the bar moved by the module's count
    of the resamples each call has finished while it runs (progress.Watch)."""
    with tl.work_slot() as (slot, read), \
            _progress.Watch(bar, _work_read(read, n_densities)) as watch:
        for i, args in jobs:
            before = watch.moved
            out = run_chunk(*args, slot)
            watch.poll()  # every row of the chunk is counted once its call returns
            finished(i, out, counted=watch.moved - before)


def assemble(parts, n_boot, n_densities, n_cols):
    """The chunks' rows in resample order; checks that each (resample, density) is there once."""
    out = np.concatenate(parts) if parts else np.empty((0, n_cols))
    want_b = np.repeat(np.arange(n_boot, dtype=np.float64), n_densities)
    want_d = np.tile(np.arange(n_densities, dtype=np.float64), n_boot)
    if (out.shape != (n_boot * n_densities, n_cols) or not np.array_equal(out[:, 0], want_b)
            or not np.array_equal(out[:, 1], want_d)):
        raise RuntimeError("the bootstrap chunks do not add up to one row per resample and "
                           "density bin")
    return out
