"""The ``korvel`` command: simulate, fit, compare, drift and phase, over the analysis package.

Exit codes: 0 success; 1 a failure inside korvel (its message printed);
2 bad input or options (nothing written); 130 interrupted (Ctrl+C).
Messages go to the standard error stream; results go to files.
"""

from __future__ import annotations

import argparse
import contextlib
import math
import os
import re
import sys


import korvel

from . import chunks, flags, gof, interrupts, modes, provenance, readers, runs, simulate, tl
from .options import build_parser, mode_names
from .readers import InputError, write_reads  # noqa: F401  (cli.write_reads for tests)

EXIT_OK, EXIT_FAILURE, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130


class UsageError(Exception):
    """Bad input or options: exit code 2, nothing written."""


def _note(args, text):
    """A progress message; --quiet silences it."""
    if not getattr(args, "quiet", False):
        print(f"korvel {args.command}: {text}", file=sys.stderr)


def _warn(args, text):
    """Something the user should look at. --quiet silences it too: a batch job asked for
    errors only, and what a warning says is kept in the run's files (run.json, the
    flags column of results.tsv)."""
    if not getattr(args, "quiet", False):
        print(f"korvel {args.command}: warning: {text}", file=sys.stderr)


def _progress(args):
    """The ``progress`` argument of the package's long stages: off with --quiet, else a bar
    on a terminal and plain lines (every 30 s or 5%) in a log."""
    return False if getattr(args, "quiet", False) else None


def _usage(args, exc):
    """A library error as the command says it: the arguments it names that are options of
    the command get their option's name (density_edges: --density-edges)."""
    if not hasattr(exc, "naming"):
        return UsageError(str(exc))
    return UsageError(exc.naming({p: "--" + p.replace("_", "-") for p in exc.parameters
                                  if p in vars(args)}))


# ------------------------------------------------------------ shared steps

def _need_plots(args):
    if args.no_plots:
        return
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise UsageError("plots need matplotlib: pip install 'korvel[analysis]', or pass "
                         "--no-plots") from None


@contextlib.contextmanager
def _output_folder(args, names):
    """The locked output folder of the run (refused with exit 2 when busy, not writable, or
    when one of ``names`` holds a file korvel did not write); released on leaving."""
    try:
        folder = provenance.OutputFolder.open(args.out, args.force or getattr(args, "resume",
                                                                               False))
    except provenance.FolderError as exc:
        raise UsageError(str(exc)) from None
    try:
        folder.check_free(names)
        yield folder
    except provenance.FolderError as exc:
        raise UsageError(str(exc)) from None
    finally:
        folder.close()


def _finish(args, folder, record):
    """run.json of the finished run, then what the previous run left and this one did not
    write again removed, and said."""
    removed = provenance.finish_run(folder, record)
    if removed:
        shown = ", ".join(removed[:10]) + (f" and {len(removed) - 10} more"
                                           if len(removed) > 10 else "")
        _note(args, f"removed {len(removed)} file{'s' if len(removed) > 1 else ''} of the "
                    f"previous run that this run did not write: {shown}")
    _note(args, f"wrote {folder.path}")


def _set_threads(args):
    """--threads into KORVEL_NUM_THREADS, which the module reads when its pool starts; a
    value the module would pass over for the processor count is refused instead."""
    if getattr(args, "threads", None):
        os.environ["KORVEL_NUM_THREADS"] = str(args.threads)
    text = os.environ.get("KORVEL_NUM_THREADS", "")
    if text and not re.fullmatch("[0-9]+", text):
        raise UsageError(f"KORVEL_NUM_THREADS={text!r} is not a whole number of threads "
                         "(1 to 1024, more count as 1024; unset, empty or 0: one per "
                         "logical CPU)")


def _options(args):
    return {k: v for k, v in vars(args).items() if k not in ("func",)}


# ------------------------------------------------------------ simulate

def cmd_simulate(args):
    try:
        n = args.densities or max(len(v) for v in (args.st, args.cow, args.coe, args.n_u,
                                                      args.n_m))
        provenance.check_file_target(args.out)
        _note(args, f"simulating {n} density bins x {args.reads_per_density} reads")
        density, meth = simulate.simulate_reads(
            args.st, args.cow, args.coe, args.n_u, args.n_m, n, args.reads_per_density,
            args.seed, args.normalize_stw, args.raw_count, args.vmax, args.burn_in)
    except (ValueError, provenance.FolderError) as exc:
        raise _usage(args, exc) from None
    write_reads(args.out, density, meth)
    _note(args, f"wrote {meth.size} reads to {args.out}")
    return EXIT_OK


# ------------------------------------------------------------ fit

class _CommandHooks(runs.Hooks):
    """The command's side of a run: its messages on standard error, its chunked stages kept
    in the output folder (resumable) and run on the Dask scheduler of --scheduler. Once a
    stage's chunk checks have passed, the run's record is written as unfinished."""

    def __init__(self, args, folder, record):
        self.args, self.folder, self.record = args, folder, record
        self.progress = _progress(args)
        self.resume = getattr(args, "resume", False)
        self.where = f" on {args.scheduler}" if getattr(args, "scheduler", None) else ""

    def note(self, text):
        _note(self.args, text)

    def warn(self, text):
        _warn(self.args, text)

    @contextlib.contextmanager
    def chunked(self, subfolder, resume=None):
        args = self.args
        kw = dict(progress=self.progress, checkpoint_dir=self.folder.sub(subfolder),
                  resume=self.resume if resume is None else resume, report=self.warn,
                  on_start=lambda: provenance.start_run(self.folder, self.record))
        try:
            if args.scheduler is None:
                yield kw
            else:
                from . import distributed

                with distributed.connect(args.scheduler, args.threads) as client:
                    yield dict(kw, client=client)
        except chunks.StaleChunks as exc:
            raise UsageError(str(exc)) from None
        except chunks.Interrupted:
            raise
        except KeyboardInterrupt:
            # Ctrl+C while the cluster started (held until it was up, then acted on):
            # no chunk of this run began, and the same command with --resume goes on.
            raise chunks.Interrupted(0, args.bootstrap, None) from None


def cmd_fit(args):
    if len(mode_names(args.mode)) > 1:
        return fit_modes(args)
    data, settings, source = _fit_checks(args)
    _set_threads(args)
    return fit_folder(args, data, settings, source)


def _fit_checks(args, loaded=None):
    """(data, settings, source) of a fit, the input read unless ``loaded`` (data, source)
    is given. Everything that can be wrong with the input or options is found before
    anything is computed or written."""
    try:
        options = runs.FitOptions.of(args)
        options.settings()  # impossible settings are refused before the input is read
        _need_plots(args)
        data, source = runs.load_binned(args.input, options) if loaded is None else loaded
        settings = runs.fit_settings(options, data)
        if args.scheduler is not None:
            from . import distributed

            distributed.parse_scheduler(args.scheduler)
            distributed.require()
    except ImportError as exc:
        raise UsageError(f"--scheduler: {exc}") from None
    except (InputError, ValueError) as exc:
        raise _usage(args, exc) from None
    return data, settings, source


def fit_folder(args, data, settings, source):
    """One mode's fit into its own folder, args.out."""
    record = provenance.run_record("fit", sys.argv, _options(args), [source], seed=args.seed)
    options = runs.FitOptions.of(args)
    with _output_folder(args, runs.fit_files(options, settings, not args.no_plots)) as folder:
        if args.resume:
            refusal = provenance.resume_refusal(folder, record)
            if refusal:
                raise UsageError(refusal)
        folder.check_writable(provenance.SUBFOLDERS)  # before the fit, not after it
        try:
            run = runs.compute_fit(data, options, settings, record,
                                   _CommandHooks(args, folder, record))
        except chunks.Interrupted as exc:
            print(f"korvel fit: {getattr(exc, 'stage', '')}{exc}; to continue, run the same "
                  "command with --resume", file=sys.stderr)
            return EXIT_INTERRUPTED
        run.write_into(folder, not args.no_plots)
        _finish(args, folder, record)
    report_flags(args, run.flags)
    return EXIT_OK


def report_flags(args, flagged):
    """The flagged estimates, last on the standard error stream (not with --quiet: they are in
    the flags column of results.tsv and in run.json)."""
    if not flagged:
        _note(args, "no estimate flagged")
        return
    if args.quiet:
        return
    _warn(args, f"{len(flagged)} flag{'s' if len(flagged) > 1 else ''} on the estimates "
                "(the flags column of results.tsv; the README defines each):")
    for line in flags.summary(flagged):
        print(f"  {line}", file=sys.stderr)


def _save_plot(folder, name, fig):
    from . import pl

    folder.write_with(f"plots/{name}", lambda f: pl.save(fig, f))


# ------------------------------------------------------------ several modes, compare

COMPARISON_FILES = ["comparison.tsv", "nested.tsv", provenance.RUN_JSON]


def fit_modes(args):
    """--mode with several modes: the input read once, each mode fitted into DIR/MODE/ as a
    run of its own, then the fits compared into DIR. Options a mode does not take (a fitted
    Vmax, --weights) apply to the modes that take them."""
    subs = []
    for name in mode_names(args.mode):
        mode = modes.get(name)
        subs.append(argparse.Namespace(**dict(
            vars(args), mode=name, out=os.path.join(args.out, name),
            fit_vmax=args.fit_vmax and mode.fits_vmax,
            weights=args.weights if mode.weighted else None)))
    checked, loaded = [], None
    for sub in subs:
        data, settings, source = _fit_checks(sub, loaded)
        loaded = (data, source)
        checked.append(settings)
    _set_threads(args)
    record = provenance.run_record("compare", sys.argv, _options(args), [source],
                                   folders=[sub.out for sub in subs])
    names = COMPARISON_FILES + ([] if args.no_plots else ["plots/comparison.png"])
    with _output_folder(args, names) as folder:
        for sub, settings in zip(subs, checked):
            _note(args, f"mode {sub.mode} into {sub.out}")
            code = fit_folder(sub, data, settings, source)
            if code != EXIT_OK:
                return code
        return compare_into(folder, args, [gof.load_run(sub.out) for sub in subs], record)


def cmd_compare(args):
    try:
        _need_plots(args)
        runs = [gof.load_run(f) for f in args.folders]
        refusal = gof.comparison_refusal(runs)
        if refusal:
            raise UsageError(refusal)
    except InputError as exc:
        raise _usage(args, exc) from None
    _set_threads(args)
    record = provenance.run_record("compare", sys.argv, _options(args),
                                   [i for r in runs[:1] for i in r.record.get("inputs", [])],
                                   seed=args.seed, folders=[r.folder for r in runs])
    names = COMPARISON_FILES + ([] if args.no_plots else ["plots/comparison.png"])
    with _output_folder(args, names) as folder:
        return compare_into(folder, args, runs, record)


def compare_into(folder, args, runs, record):
    """comparison.tsv, nested.tsv, the plot and run.json of fits of one input."""
    n_draws = getattr(args, "lrt_bootstrap", 0)
    if n_draws:
        _note(args, f"likelihood-ratio tests: {n_draws} data sets drawn from each smaller "
                    "model's fit, refitted in both modes")
    result = gof.compare(runs, n_draws, args.seed, chunk_resamples=args.chunk_resamples,
                         progress=_progress(args))
    (mh, mrows), (ph, prows) = result.tables()
    folder.write_tsv("comparison.tsv", mh, mrows)
    folder.write_tsv("nested.tsv", ph, prows)
    if not args.no_plots:
        from . import pl

        _save_plot(folder, "comparison.png", pl.comparison_figure(result.models, result.pairs))
    for note in result.notes:
        _warn(args, note)
    best = min(result.models, key=lambda m: m["aic"])
    _note(args, f"lowest AIC: {best['mode']} (Akaike weight {best['akaike_weight']:.3g})")
    for p in result.pairs:
        _note(args, f"{p['smaller']} inside {p['larger']}: LR {p['lr_statistic']:.4g}, "
                    f"df {p['df']}, p = {p['p_chi2']:.3g} (chi-square)"
                    + (f", {p['p_bootstrap']:.3g} ({p['n_draws']} draws)" if p["n_draws"]
                       else ""))
    record.update(modes=[m["mode"] for m in result.models], notes=result.notes,
                  lrt_bootstrap=n_draws, status="finished")
    _finish(args, folder, record)
    return EXIT_OK


# ------------------------------------------------------------ drift

def cmd_drift(args):
    try:
        _need_plots(args)
        options = runs.DriftOptions.of(args)
        data, dens, source = runs.load_drift(args.input, options)
    except (InputError, ValueError) as exc:
        raise _usage(args, exc) from None
    _set_threads(args)
    record = provenance.run_record("drift", sys.argv, _options(args), [source],
                                   seed=args.seed)
    with _output_folder(args, runs.drift_files(not args.no_plots)) as folder:
        folder.check_writable(provenance.SUBFOLDERS)
        run = runs.compute_drift(data, dens, options, record,
                                 _CommandHooks(args, folder, record))
        run.write_into(folder, not args.no_plots)
        _finish(args, folder, record)
    report_flags(args, run.flags)
    return EXIT_OK



# ------------------------------------------------------------ phase

def cmd_phase(args):
    try:
        if not args.out.lower().endswith(".png"):
            raise UsageError("--out must name a .png file")
        fitted = readers.read_fitted(args.results) if args.results else None
        maps, normalize_stw, raw_count = tl.phase_maps(
            fitted, st=args.st, n_u=args.n_u, n_m=args.n_m, vmax=args.vmax,
            normalize_stw=args.normalize_stw, raw_count=args.raw_count)
        provenance.check_file_target(args.out)
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            raise UsageError("the phase diagram needs matplotlib: "
                             "pip install 'korvel[analysis]'") from None
    except (InputError, ValueError, provenance.FolderError) as exc:
        raise _usage(args, exc) from None
    from . import pl

    if fitted is not None and fitted.run is None:
        _warn(args, f"no run.json beside {args.results}: values the table does not hold "
                    "(fixed exponents, Vmax, --normalize-stw, --raw-count) are taken from "
                    "the options or their defaults")
    lo, hi = args.range
    labels, logs, outside = [], [], []
    if fitted is not None:
        labels = [f"[{a:.3g}, {b:.3g}]" for a, b in zip(fitted.density_lo, fitted.density_hi)]
        logs = [(math.log10(c), math.log10(e)) for c, e in zip(fitted.params["cow"],
                                                                 fitted.params["coe"])]
        outside = [labels[d] for d, (c, e) in enumerate(logs)
                   if not (lo <= c <= hi and lo <= e <= hi)]
    if outside:
        _warn(args, f"density bins {', '.join(outside)} lie outside --range: marked at "
                    "the map's edge, pointing the way they lie")
    fig = pl.phase_figure(maps, normalize_stw, raw_count, args.range, args.grid,
                          [logs[d] + (labels[d],) for d in range(len(labels))])
    provenance.write_file(args.out, lambda f: pl.save(fig, f))
    _note(args, f"wrote {args.out}" + (f" ({len(maps)} maps: one per fitted St, exponents "
                                        "and Vmax)" if len(maps) > 1 else ""))
    return EXIT_OK


# ------------------------------------------------------------ extract

def cmd_extract(args):
    from . import extract

    kw = {k: getattr(args, k) for k in (
        "reference", "window_cpgs", "min_cpgs", "density_window", "min_mapq", "mod_threshold",
        "hydroxy", "min_coverage", "region", "regions")}
    try:
        summary = extract.extract(args.inputs, args.out, ages=args.ages, threads=args.threads,
                                  progress=_progress(args), argv=sys.argv, **kw)
    except (InputError, ValueError, provenance.FolderError) as exc:
        raise _usage(args, exc) from None
    left = ", ".join(f"{k} {v}" for k, v in summary.left_out.items() if v)
    _note(args, f"wrote {summary.units} units from {summary.reads} reads to {args.out}"
                + (f"; left out: {left}" if left else ""))
    return EXIT_OK


# ------------------------------------------------------------ entry point

COMMANDS = {"simulate": cmd_simulate, "fit": cmd_fit, "compare": cmd_compare, "drift": cmd_drift,
            "phase": cmd_phase, "extract": cmd_extract}


def main(argv=None):
    """Runs the korvel command; returns the exit code."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # --help (0) or bad options (2): argparse has said why
        return exc.code
    try:
        return COMMANDS[args.command](args)
    except UsageError as exc:
        print(f"korvel {args.command}: error: {exc}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        print(f"korvel {args.command}: interrupted", file=sys.stderr)
        if interrupts.calls_left_running():
            # A module call given up on Ctrl+C computes on: end the process now rather
            # than have the interpreter's shutdown wait on it or pull it down midway.
            sys.stdout.flush()
            sys.stderr.flush()
            os._exit(EXIT_INTERRUPTED)
        return EXIT_INTERRUPTED
    except (Exception, korvel.InternalError) as exc:
        print(f"korvel {args.command}: failed: {type(exc).__name__}: {exc}", file=sys.stderr)
        return EXIT_FAILURE
