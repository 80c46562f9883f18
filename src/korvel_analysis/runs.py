"""Runs of ``korvel fit`` and ``korvel drift`` as objects: computed once, then tabled, drawn or
written.

``fit_reads(reads, mode=..., ...)`` and ``drift_reads(reads, ...)`` take the
command's options as keyword arguments (underscores for dashes) and return a
``FitRun`` or ``DriftRun``: the settings, the results table as a pandas
DataFrame (``.table``, the columns and values of results.tsv or drift.tsv),
the intervals with their method, the flags with their reasons, the bootstrap
rows, the profiles and the run's record. ``.figures()`` draws the plots
without writing them, ``.write(folder)`` writes the files the command writes,
under the same output-folder rules. The command is these calls plus its
options, its messages and its exit codes.
"""

from __future__ import annotations

import contextlib
import dataclasses
import html
from dataclasses import dataclass, field

import numpy as np

from . import chunks, flags, gof, modes, pp, provenance, readers, tl

GOF_CHUNK_DIR = "gof_chunks"
DEFAULT_PROFILE_POINTS = 15
DEFAULT_PROFILE_SPAN = 1.0
_FIT = tl.FitSettings()


@dataclass(frozen=True)
class FitOptions:
    """The options of a fit, named and defaulted as the command's."""

    mode: str = "independent"
    counts: bool = False
    density_column: str = readers.DENSITY_COLUMN
    methylation_column: str = readers.METHYLATION_COLUMN
    percent: bool = False
    density_edges: tuple | None = None
    density_quantiles: int | None = None
    meth_bins: int | None = None
    meth_edges: tuple | None = None
    bootstrap: int = 0
    profile: bool = False
    gof_bootstrap: int = 0
    profile_points: int = DEFAULT_PROFILE_POINTS
    profile_span: float = DEFAULT_PROFILE_SPAN
    # The model's options take the defaults of tl.FitSettings.
    st_bounds: tuple = _FIT.st_bounds
    co_bounds: tuple = _FIT.co_bounds
    exp_bounds: tuple = _FIT.exp_bounds
    vmax_bounds: tuple = _FIT.vmax_bounds
    fit_vmax: bool = _FIT.fit_vmax
    penalty: float = _FIT.co_penalty
    weights: tuple | None = None
    n_u: float = _FIT.n_u
    n_m: float = _FIT.n_m
    normalize_stw: bool = _FIT.normalize_stw
    raw_count: bool = _FIT.raw_count
    vmax: float = _FIT.vmax
    seed: int = 0
    level: float = 0.95
    chunk_resamples: int = chunks.DEFAULT_CHUNK_RESAMPLES
    verbose: bool = False

    @classmethod
    def of(cls, source):
        """The options among the attributes of ``source`` (the command's parsed arguments)."""
        return cls(**{f.name: getattr(source, f.name) for f in dataclasses.fields(cls)})

    def settings(self, n_reads=None):
        return tl.FitSettings(
            mode=self.mode, normalize_stw=self.normalize_stw, st_bounds=self.st_bounds,
            co_bounds=self.co_bounds, exp_bounds=self.exp_bounds, vmax_bounds=self.vmax_bounds,
            fit_vmax=self.fit_vmax, co_penalty=self.penalty,
            weights=None if self.weights is None else tuple(self.weights),
            n_u=self.n_u, n_m=self.n_m, raw_count=self.raw_count, vmax=self.vmax,
            n_reads=n_reads)


class Hooks:
    """What a run says while it computes and where its chunked stages keep their chunks.

    The library's: nothing said (the warnings are kept in the run's ``notes``),
    the chunks held in memory. The command's says them on standard error and
    keeps the chunks in its output folder, resumable.
    """

    progress = False

    def note(self, text):
        pass

    def warn(self, text):
        pass

    @contextlib.contextmanager
    def chunked(self, subfolder, resume=None):
        """The keywords of chunks.run_bootstrap for a chunked stage kept in ``subfolder``."""
        yield {"progress": self.progress}


def meth_edges_of(options):
    if options.meth_edges is not None:
        return pp.check_edges(options.meth_edges, "meth_edges", 0.0, 1.0)
    return pp.meth_edges(options.meth_bins or 10)


def load_binned(path, options):
    """Reads and bins the input of a fit: (binned data, what was read); raises InputError or
    ValueError on bad input."""
    edges = meth_edges_of(options)
    if options.counts:
        if options.density_edges is not None or options.density_quantiles is not None:
            raise ValueError("a counts table brings its own density bins: drop "
                             "--density-edges/--density-quantiles")
        if options.percent:
            raise ValueError("--percent applies to a reads table, not to a counts table")
        table = readers.read_counts(path, edges.size - 1)
        return pp.from_counts(table, edges), table.source
    # Binned as it is read: the reads themselves are never all held.
    source = {}
    blocks = readers.scan_reads(path, options.density_column, options.methylation_column,
                                percent=options.percent, source=source)
    return pp.bin_read_blocks(blocks, str(path), options.density_column, edges,
                              options.density_edges, options.density_quantiles), source


def _binned_of(reads, options):
    """(binned data, source) of what ``fit_reads`` was given: a path, a reads table of
    readers.read_reads, or data binned already (pp.Binned)."""
    if isinstance(reads, pp.Binned):
        return reads, {"path": reads.source}
    if isinstance(reads, readers.Reads):
        dens = pp.density_edges(reads.density, options.density_edges, options.density_quantiles)
        return pp.bin_reads(reads, dens, meth_edges_of(options)), dict(reads.source)
    return load_binned(reads, options)


def fit_settings(options, data):
    """The FitSettings of ``options`` over ``data``; ValueError when they disagree."""
    if options.weights is not None and len(options.weights) != data.n_densities:
        raise ValueError(f"--weights gives {len(options.weights)} weights for "
                         f"{data.n_densities} density bins")
    return options.settings(tuple(data.n_reads))


def fit_files(options, settings, plots=True):
    """Every file a fit with these options writes, checked free before the fit so that a
    refusal writes nothing (the writers below refuse a name missing here)."""
    names = ["results.tsv", provenance.RUN_JSON, provenance.RUNNING_JSON]
    if options.bootstrap:
        names += ["bootstrap.tsv", f"{chunks.CHUNK_DIR}/{chunks.FINGERPRINT_FILE}"]
    if options.gof_bootstrap:
        names.append(f"{GOF_CHUNK_DIR}/{chunks.FINGERPRINT_FILE}")
    profiled = tl.profiled_parameters(settings) if options.profile else ()
    names += [f"profiles/{n}.tsv" for n in (*profiled, "intervals")] if profiled else []
    if plots:
        names += ["plots/fractions.png", "plots/parameters.png"]
        names += [f"plots/bootstrap_{n}.png" for n in modes.get(settings.mode).shared
                  if options.bootstrap]
        names += [f"plots/profile_{n}.png" for n in profiled]
    return names


# ------------------------------------------------------------ computing a fit

def fit_reads(reads, *, record=None, hooks=None, **options):
    """Fits ``reads`` (a path of a reads or counts table, a readers.Reads, or a pp.Binned)
    with the command's options as keywords (``mode``, ``density_edges``, ``bootstrap``,
    ``profile``, ``seed``, ... as in ``korvel fit``); returns the FitRun.

    Bad input raises InputError, impossible options ValueError, before anything is fitted.
    """
    opts = FitOptions(**options)
    data, source = _binned_of(reads, opts)
    settings = fit_settings(opts, data)
    if record is None:
        record = provenance.run_record("fit", [], dataclasses.asdict(opts), [source],
                                       seed=opts.seed)
    return compute_fit(data, opts, settings, record, hooks or Hooks())


def compute_fit(data, opts, settings, record, hooks):
    """The fit of ``data``, its bootstrap, profiles, intervals, goodness of fit and flags."""
    hooks.note(f"{data.n_densities} density bins, {int(data.n_reads.sum())} reads"
               + (f" ({data.n_dropped} outside the bins left out)" if data.n_dropped else "")
               + f"; fitting in mode {opts.mode}")
    run = FitRun(opts, settings, data, record)
    run.result = tl.fit(data.fractions, data.meth_edges, settings, verbose=opts.verbose,
                        progress=hooks.progress)
    warm = tl.warm_start(run.result)
    if opts.bootstrap:
        run.boot_rows = _bootstrap_rows(run, warm, hooks)
        run.boot = tl.bootstrap_parameters(run.boot_rows, settings, opts.bootstrap,
                                           data.n_densities)
    if opts.profile:
        run.profiles = _profiles(run, hooks)
    run.intervals = tl.intervals(run.result, run.boot_rows, run.profiles, opts.bootstrap,
                                 opts.level)
    run.boot_intervals = tl.bootstrap_intervals(run.result, run.boot_rows, opts.bootstrap,
                                                opts.level)
    run.fit_quality = _goodness_of_fit(run, hooks)
    run.flags = flags.flag_estimates(run.result, boot=run.boot, intervals=run.intervals,
                                     profiles=run.profiles, level=opts.level,
                                     boot_intervals=run.boot_intervals)
    run.flags += gof.poor_fit_flags(run.fit_quality)
    for item in run.open_ends:
        hooks.warn(f"the {opts.level:g} interval of {item['parameter']} "
                   f"({item['density_bin']}) is open at the {item['side']} grid end "
                   f"{item['grid_end']:.4g}: no bound there")
    record.update(_fit_record(run, warm))
    return run


def _bootstrap_rows(run, warm, hooks):
    opts, data = run.options, run.data
    hooks.note(f"bootstrap: {opts.bootstrap} resamples in chunks of {opts.chunk_resamples}"
               + getattr(hooks, "where", ""))
    rows = pp.bootstrap_fracs(data.counts, opts.bootstrap, opts.seed)
    with hooks.chunked(chunks.CHUNK_DIR) as kw:
        return chunks.run_bootstrap(rows, opts.bootstrap, data.n_densities, data.meth_edges,
                                    run.settings, warm, chunk_resamples=opts.chunk_resamples,
                                    **kw)


def _profiles(run, hooks):
    opts, data = run.options, run.data
    run.profile_note = tl.profile_refusal(opts.mode)
    if run.profile_note is not None:
        hooks.warn(run.profile_note)
        run.notes.append(run.profile_note)
        return []
    hooks.note("profiles of " + ", ".join(tl.profiled_parameters(run.settings)))
    return tl.profiles(data.fractions, data.meth_edges, run.result, data.n_reads, opts.level,
                       opts.profile_points, opts.profile_span, progress=hooks.progress)


def _goodness_of_fit(run, hooks):
    """Each density bin's goodness of fit; with gof_bootstrap N its p-values from N data
    sets drawn from the fit, in chunks (the command keeps them in DIR/gof_chunks/)."""
    opts, data = run.options, run.data
    if not opts.gof_bootstrap:
        return gof.goodness_of_fit(data.counts, data.meth_edges, run.result)
    mode = modes.get(opts.mode)
    resume = None
    if getattr(hooks, "resume", False) and not mode.seeded:
        # The draws come from the fit, which is not reproducible in this mode: the
        # interrupted run's chunks were drawn from another fit.
        hooks.warn(f"the goodness-of-fit draws start afresh: {mode.unseeded_because}, so "
                   "they are drawn from another fit than the interrupted run's")
        resume = False
    hooks.note(f"goodness of fit: {opts.gof_bootstrap} data sets drawn from the fit, in "
               f"chunks of {opts.chunk_resamples}")
    try:
        with hooks.chunked(GOF_CHUNK_DIR, resume) as kw:
            return gof.goodness_of_fit(data.counts, data.meth_edges, run.result,
                                       opts.gof_bootstrap, opts.seed,
                                       chunk_resamples=opts.chunk_resamples, **kw)
    except chunks.Interrupted as exc:
        exc.stage = "goodness-of-fit draws "
        raise


def _fit_record(run, warm):
    """What run.json says of a computed fit."""
    opts, data, result, settings = run.options, run.data, run.result, run.settings
    mode = modes.get(settings.mode)
    rec = dict(
        mode=settings.mode, n_densities=data.n_densities,
        density_edges=list(data.density_lo) + [data.density_hi[-1]],
        meth_edges=data.meth_edges, n_reads=data.n_reads, n_reads_left_out=data.n_dropped,
        module_calls=result.calls + ([mode.bootstrap_function] if run.boot_rows is not None
                                     else [])
        + ([p.function for p in mode.profilers] if run.profiles else []),
        warm_start=warm if run.boot_rows is not None else None,
        vmax_used=result.vmax_used, likelihood_weights=settings.weights_array(),
        intervals={name: method for name, (method, _) in run.intervals.items()},
        bootstrap_interval_columns=sorted(run.beside),
        open_interval_ends=run.open_ends, profile_note=run.profile_note,
        flags=[{"parameter": f.parameter, "density_idx": f.density_idx, "flag": f.word,
                "reason": f.reason} for f in run.flags],
        profiles=_profile_record(run.profiles),
        reproducible=_reproducibility(settings, run.intervals, run.profiles),
        goodness_of_fit=_gof_record(run.fit_quality), status="finished")
    if run.boot_rows is not None:
        rec.update(chunk_resamples=opts.chunk_resamples,
                   bootstrap_rows=chunks.reproducibility(settings.mode, opts.chunk_resamples))
    return rec


def _gof_record(fit_quality):
    """run.json's account of the goodness of fit."""
    return {"p_value": fit_quality.method, "draws": fit_quality.n_draws,
            "p_chi2": fit_quality.p_chi2, "poor_fit_below": gof.POOR_FIT_P,
            "df": "methylation bins holding a site count - 1 - the parameters fitted per "
                  "density bin - the shared parameters / density bins"}


def _reproducibility(settings, intervals, profs):
    """What run.json says about running the same command again."""
    mode = modes.get(settings.mode)
    if not mode.seeded:
        return {"results": False, "why": mode.unseeded_because + "; repeated runs differ slightly"}
    why = "every fit is seeded from its row or density index and the resampling from --seed"
    if profs and not mode.profiles_seeded:
        if any(method == tl.PROFILE for method, _ in intervals.values()):
            return {"results": False, "why": "the intervals in results.tsv come from profiles, "
                    "whose fits draw seeds from the operating system; the fitted values repeat"}
        why += ("; the profiles (profiles/*.tsv) draw seeds from the operating system and "
                "differ slightly between runs")
    elif profs:
        why += "; the profiles' fits are seeded from their grid points"
    return {"results": True, "why": why}


def _profile_record(profs):
    """run.json's account of the profiles: which kind each parameter's intervals are."""
    if not profs:
        return None
    held = {}
    for p in profs:
        held.setdefault(p.parameter, list(p.conditional_on))
    return {name: ({"kind": "conditional", "conditional_on": h} if h else
                   {"kind": "full", "conditional_on": []}) for name, h in held.items()}


# ------------------------------------------------------------ a computed fit

def _frame(header, rows):
    import pandas as pd

    return pd.DataFrame(rows, columns=header)


class _Written:
    """The files of a run, written into a locked output folder: each name is one the run
    announced before it was computed (``files``), so that list cannot drift from here."""

    def __init__(self, folder, planned):
        self.folder, self.planned = folder, set(planned)

    def _claimed(self, name):
        if name not in self.planned:
            raise RuntimeError(f"{name} is written but was not among the run's files")
        return name

    def tsv(self, name, header, rows):
        self.folder.write_tsv(self._claimed(name), header, rows)

    def figure(self, name, fig):
        from . import pl

        self.folder.write_with(self._claimed(f"plots/{name}"), lambda f: pl.save(fig, f))


def write_run(run, path, force=False, plots=True, report=None):
    """Writes ``run``'s files into the output folder ``path`` under the command's folder
    rules (a busy or non-empty folder is refused with provenance.FolderError, ``force``
    replaces korvel's files there); returns the folder's path."""
    if plots:
        import matplotlib  # noqa: F401  (refused before the folder is touched)
    with provenance.OutputFolder.open(path, force) as folder:
        folder.check_free(run.files(plots))
        folder.check_writable(provenance.SUBFOLDERS)
        run.write_into(folder, plots)
        removed = provenance.finish_run(folder, run.record)
        if report is not None:
            report(removed)
        return folder.path


@dataclass(eq=False)
class FitRun:
    """A computed fit: its options and settings, the binned data, the fit, bootstrap rows,
    profiles, intervals (name -> (method, per-bin Interval list)), goodness of fit, flags
    (flags.Flag: parameter, density bin, word and reason) and the run's record."""

    options: FitOptions
    settings: tl.FitSettings
    data: pp.Binned
    record: dict
    result: tl.FitResult | None = None
    boot_rows: np.ndarray | None = None
    boot: dict | None = None  # name -> (n_boot, n_densities) bootstrap estimates
    profiles: list = field(default_factory=list)
    profile_note: str | None = None
    intervals: dict = field(default_factory=dict)
    boot_intervals: dict = field(default_factory=dict)
    fit_quality: gof.GoodnessOfFit | None = None
    flags: list = field(default_factory=list)
    notes: list = field(default_factory=list)

    @property
    def beside(self):
        """The parameters whose bootstrap intervals are shown beside a profile's."""
        return [name for name in self.boot_intervals
                if self.intervals.get(name, (None,))[0] != tl.PERCENTILE]

    @property
    def open_ends(self):
        """The profile interval ends at a grid end: no bound there."""
        ends = []
        for p in self.profiles:
            iv = p.interval
            for side, is_open, end in (("lower", iv.lo_open, p.grid.min()),
                                       ("upper", iv.hi_open, p.grid.max())):
                if is_open:
                    ends.append({"parameter": p.parameter,
                                 "density_bin": "all" if p.density_idx is None else p.density_idx,
                                 "side": side, "grid_end": float(end)})
        # In the order the profiles are written: by parameter, then bin.
        order = list(dict.fromkeys(p.parameter for p in self.profiles))
        return sorted(ends, key=lambda e: order.index(e["parameter"]))

    def results_rows(self):
        """results.tsv's header and rows: one row per density bin, each parameter followed by
        its interval (the profile's where there is one) and, where that is a profile's, the
        bootstrap's as <name>_boot_lo/_boot_hi; then the NLL, the goodness of fit and the
        bin's flags (empty when none)."""
        result, ivs, boot_ivs, beside = (self.result, self.intervals, self.boot_intervals,
                                         self.beside)
        names, q = list(result.params), self.fit_quality
        header = ["density_lo", "density_hi", "n_reads"]
        for name in names:
            header += [name] + ([f"{name}_lo", f"{name}_hi"] if name in ivs else [])
            header += [f"{name}_boot_lo", f"{name}_boot_hi"] if name in beside else []
        header += ["nll"] + (["gof_deviance", "gof_df", "gof_p"] if q else []) + ["flags"]
        table = []
        for d in range(self.data.n_densities):
            row = [self.data.density_lo[d], self.data.density_hi[d], int(self.data.n_reads[d])]
            for name in names:
                row.append(result.params[name][d])
                for these, there in ((ivs, name in ivs), (boot_ivs, name in beside)):
                    if there:
                        row += [these[name][1][d].lo, these[name][1][d].hi]
            row.append(result.nll[d])
            row += [q.deviance[d], q.df[d], q.p[d]] if q else []
            row.append(flags.words_of(self.flags, d))
            table.append(row)
        return header, table

    def bootstrap_rows(self):
        """bootstrap.tsv's header and rows (None without a bootstrap)."""
        if self.boot_rows is None:
            return None
        return (list(modes.get(self.settings.mode).bootstrap_columns),
                [[int(v) if i < 2 else v for i, v in enumerate(r)] for r in self.boot_rows])

    @property
    def table(self):
        """results.tsv as a pandas DataFrame."""
        return _frame(*self.results_rows())

    @property
    def bootstrap_table(self):
        """bootstrap.tsv as a pandas DataFrame (None without a bootstrap)."""
        rows = self.bootstrap_rows()
        return None if rows is None else _frame(*rows)

    def files(self, plots=True):
        return fit_files(self.options, self.settings, plots)

    def figures(self):
        """The plots of the run, name -> matplotlib Figure; nothing is written."""
        from . import pl

        return pl.fit_figures(self.data, self.result, self.settings, self.options.level,
                              boot=self.boot, intervals=self.intervals, profiles=self.profiles,
                              flagged=self.flags, boot_ivs=self.boot_intervals,
                              fit_quality=self.fit_quality)

    def write_into(self, folder, plots=True):
        """The run's tables, profiles and plots into the locked provenance.OutputFolder."""
        out = _Written(folder, self.files(plots))
        out.tsv("results.tsv", *self.results_rows())
        if self.boot_rows is not None:
            out.tsv("bootstrap.tsv", *self.bootstrap_rows())
        if self.profiles:
            self._write_profiles(out)
        if plots:
            for name, fig in self.figures().items():
                out.figure(name, fig)

    def _write_profiles(self, out):
        """profiles/<parameter>.tsv curves and profiles/intervals.tsv."""
        ivrows, level = [], self.options.level
        for name in dict.fromkeys(p.parameter for p in self.profiles):
            rows = []
            for p in (p for p in self.profiles if p.parameter == name):
                label = "all" if p.density_idx is None else p.density_idx
                rows += [[label, x, y] for x, y in zip(p.grid, p.nll)]
                iv = p.interval
                ivrows.append([name, label, p.estimate, iv.lo, iv.hi, str(iv.lo_open).lower(),
                               str(iv.hi_open).lower(), level, ",".join(p.conditional_on)])
            if rows:
                out.tsv(f"profiles/{name}.tsv", ["density_idx", name, "nll_reads"], rows)
        out.tsv("profiles/intervals.tsv", ["parameter", "density_idx", "estimate", "lo", "hi",
                                           "lo_open", "hi_open", "level", "conditional_on"],
                ivrows)

    def write(self, path, force=False, plots=True):
        """Writes the run's files into the output folder ``path`` as ``korvel fit --out``
        does (no chunks/: those are the command's resumable checkpoints)."""
        return write_run(self, path, force, plots)

    def compared(self, name=None):
        """The run as ``gof.compare`` takes it."""
        return gof.ComparedRun(name or self.settings.mode, self.record, self.result,
                               np.asarray(self.data.n_reads, dtype=np.int64),
                               np.append(self.data.density_lo, self.data.density_hi[-1]),
                               np.asarray(self.data.meth_edges, dtype=np.float64))

    def _repr_html_(self):
        methods = sorted({m for m, _ in self.intervals.values()}) or ["none"]
        head = (f"<p><b>korvel fit</b>, mode {html.escape(self.settings.mode)}: "
                f"{self.data.n_densities} density bins, {int(self.data.n_reads.sum())} reads; "
                f"intervals: {html.escape(', '.join(methods))}; {len(self.flags)} flag(s)</p>")
        return head + self.table.to_html(index=False, max_cols=24)


# ------------------------------------------------------------ drift

DRIFT_BOOTSTRAP_COLUMNS = ("boot_idx", "ste", "stw", "nll")


@dataclass(frozen=True)
class DriftOptions:
    """The options of a drift fit, named and defaulted as the command's."""

    density_column: str = readers.DENSITY_COLUMN
    methylation_column: str = readers.METHYLATION_COLUMN
    age_column: str = readers.AGE_COLUMN
    percent: bool = False
    density_edges: tuple | None = None
    density_quantiles: int | None = None
    density_bin: int | None = None
    meth_bins: int | None = None
    meth_edges: tuple | None = None
    st_bounds: tuple = (1e-4, 1.0)
    bootstrap: int = 0
    profile: bool = False
    profile_points: int = DEFAULT_PROFILE_POINTS
    profile_span: float = DEFAULT_PROFILE_SPAN
    seed: int = 0
    level: float = 0.95

    of = classmethod(FitOptions.of.__func__)

    def meth_bin_edges(self):
        """One bin per site count unless methylation bins are asked for."""
        if self.meth_bins is None and self.meth_edges is None:
            return pp.site_count_edges()
        return meth_edges_of(self)


def load_drift(path, options):
    """The drift data of the reads table ``path``: (data, density edges or None, source);
    raises InputError or ValueError on bad input."""
    o = options
    edges = o.meth_bin_edges()
    columns = (path, o.density_column, o.methylation_column, o.age_column)
    if o.density_bin is not None and o.density_edges is None:
        # Quantiles of the densities need all of them: the reads are held.
        reads = readers.read_reads(*columns, percent=o.percent)
        dens = pp.density_edges(reads.density, None, o.density_quantiles)
        data, source = pp.drift_data(reads, edges, dens, o.density_bin), reads.source
    else:  # counted as read
        source = {}
        blocks = readers.scan_reads(*columns, percent=o.percent, source=source)
        data = pp.drift_read_blocks(blocks, str(path), o.age_column, edges, o.density_edges,
                                    o.density_bin)
        dens = pp.density_edges(None, o.density_edges) if o.density_bin is not None else None
    if o.profile and tl.drift_profile_refusal():
        raise ValueError(tl.drift_profile_refusal())
    return data, dens, source


def drift_files(plots=True):
    """Every file a drift run writes, checked free before the fit."""
    return [provenance.RUN_JSON, "drift.tsv", "drift_predicted.tsv", "drift_bootstrap.tsv"] + (
        ["plots/drift.png"] if plots else [])


def drift_reads(reads, *, record=None, hooks=None, **options):
    """Fits the drift model to the reads table ``reads`` (a path, or a readers.Reads with
    ages) with the options of ``korvel drift`` as keywords; returns the DriftRun."""
    opts = DriftOptions(**options)
    if isinstance(reads, readers.Reads):
        edges = opts.meth_bin_edges()
        dens = (pp.density_edges(reads.density, opts.density_edges, opts.density_quantiles)
                if opts.density_bin is not None else None)
        data, source = pp.drift_data(reads, edges, dens, opts.density_bin), dict(reads.source)
    else:
        data, dens, source = load_drift(reads, opts)
    if record is None:
        record = provenance.run_record("drift", [], dataclasses.asdict(opts), [source],
                                       seed=opts.seed)
    return compute_drift(data, dens, opts, record, hooks or Hooks())


def compute_drift(data, dens, opts, record, hooks):
    """The drift fit of ``data``, its bootstrap or profiles, and its flags."""
    hooks.note(f"{data.ages.size} ages (reference age {data.ages[0]:g}), "
               f"{int(data.counts.sum())} reads")
    edges = opts.meth_bin_edges()
    shared = pp.states_per_bin(edges)
    run = DriftRun(opts, data, edges, dens, record)
    if np.any(shared > 1):
        run.notes.append(
            f"{int(np.sum(shared > 1))} of the {shared.size} methylation bins hold more "
            "than one site count: the starting distribution is approximated by "
            "spreading each bin's reads evenly over its site counts, which can bias "
            "StE and StW; the default (one bin per site count) does not")
        hooks.warn(run.notes[-1])
    run.result = res = tl.drift_fit(data, opts.st_bounds, opts.bootstrap, opts.seed, opts.level,
                                    progress=hooks.progress, profile=opts.profile,
                                    points=opts.profile_points, span=opts.profile_span)
    run.flags = flags.flag_drift(res, opts.st_bounds, level=opts.level)
    record.update(
        ages=data.ages, reference_age=data.ages[0], meth_edges=edges,
        meth_bins={"n_bins": int(edges.size - 1),
                   "one_per_site_count": bool(np.all(shared == 1)),
                   "bins_with_several_site_counts": int(np.sum(shared > 1)),
                   "starting_distribution": "exact" if np.all(shared <= 1) else
                   "approximated: each bin's reads spread evenly over its site counts"},
        density_bin=opts.density_bin, density_edges=dens,
        module_calls=["py_fit_drift_one_log", "py_drift_predict"]
        + (["py_profile_drift_log"] if res.profiles else []),
        intervals=run.interval_methods,
        flags=[{"parameter": f.parameter, "flag": f.word, "reason": f.reason}
               for f in run.flags],
        reproducible={"results": True, "why": "the fit's search is keyed by --seed, each "
                      "bootstrap refit by its resample index, and the resamples are drawn "
                      "with --seed"})
    return run


@dataclass(eq=False)
class DriftRun:
    """A computed drift fit: options, the per-age data, the fit (tl.DriftResult: rates,
    bootstrap rows, intervals, profiles), flags and the run's record."""

    options: DriftOptions
    data: pp.DriftData
    meth_edges: np.ndarray
    density_edges: np.ndarray | None
    record: dict
    result: tl.DriftResult | None = None
    flags: list = field(default_factory=list)
    notes: list = field(default_factory=list)

    @property
    def interval_methods(self):
        return {name: tl.PROFILE if self.result.profiles else tl.PERCENTILE
                for name in self.result.intervals}

    @property
    def intervals(self):
        """name -> (method, Interval) of the intervals drift.tsv shows."""
        methods = self.interval_methods
        return {name: (methods[name], iv) for name, iv in self.result.intervals.items()}

    def _tables(self):
        res = self.result
        yield "drift.tsv", tl.drift_table(res, self.data, self.flags)
        yield "drift_predicted.tsv", tl.drift_predictions(res, self.data)
        if res.boot is not None:
            yield "drift_bootstrap.tsv", (list(DRIFT_BOOTSTRAP_COLUMNS),
                                          [[b] + list(r) for b, r in enumerate(res.boot)])

    @property
    def table(self):
        """drift.tsv as a pandas DataFrame."""
        return _frame(*dict(self._tables())["drift.tsv"])

    @property
    def predicted(self):
        """drift_predicted.tsv as a pandas DataFrame."""
        return _frame(*dict(self._tables())["drift_predicted.tsv"])

    @property
    def bootstrap_table(self):
        """drift_bootstrap.tsv as a pandas DataFrame (None without a bootstrap)."""
        rows = dict(self._tables()).get("drift_bootstrap.tsv")
        return None if rows is None else _frame(*rows)

    def files(self, plots=True):
        return drift_files(plots)

    def figures(self):
        """drift.png as a matplotlib Figure, keyed by its name; nothing is written."""
        from . import pl

        return {"drift.png": pl.drift_figure(self.result, self.data, self.meth_edges,
                                             self.options.level, self.options.age_column,
                                             self.options.bootstrap)}

    def write_into(self, folder, plots=True):
        out = _Written(folder, self.files(plots))
        for name, (header, rows) in self._tables():
            out.tsv(name, header, rows)
        if plots:
            for name, fig in self.figures().items():
                out.figure(name, fig)

    def write(self, path, force=False, plots=True):
        """Writes the run's files into the output folder ``path`` as ``korvel drift --out``."""
        return write_run(self, path, force, plots)

    def _repr_html_(self):
        return (f"<p><b>korvel drift</b>: {self.data.ages.size} ages, "
                f"{int(self.data.counts.sum())} reads; {len(self.flags)} flag(s)</p>"
                + self.table.to_html(index=False))
