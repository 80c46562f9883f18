"""The ``korvel`` command: simulate, fit, compare, drift and phase, over the analysis package.

Exit codes: 0 success; 1 a failure inside korvel (its message printed);
2 bad input or options (nothing written); 130 interrupted (Ctrl+C).
Messages go to the standard error stream; results go to files.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import itertools
import math
import os
import re
import sys
from pathlib import Path

import numpy as np

import korvel

from . import chunks, flags, gof, modes, pp, provenance, readers, simulate, tl
from .readers import InputError

EXIT_OK, EXIT_FAILURE, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130
DEFAULT_PROFILE_POINTS = 15
DEFAULT_PROFILE_SPAN = 1.0
# Rows of a simulated table formatted at a time.
WRITE_ROWS = 1 << 16


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


# ------------------------------------------------------------ option parsing

def _floats(text):
    try:
        values = [float(v) for v in text.split(",") if v.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a comma-separated list of numbers")
    if not values or not all(math.isfinite(v) for v in values):
        raise argparse.ArgumentTypeError(f"'{text}' needs finite numbers")
    return values


def _pair(text):
    values = _floats(text)
    if len(values) != 2 or not values[0] < values[1]:
        raise argparse.ArgumentTypeError(f"'{text}' is not LO,HI with LO < HI")
    return tuple(values)


def _positive_pair(text):
    """Bounds of a rate, coefficient, exponent or ceiling: 0 < LO < HI, both finite."""
    lo, hi = _pair(text)
    if lo <= 0:
        raise argparse.ArgumentTypeError(f"'{text}': bounds must be positive")
    return lo, hi


# The module takes its numbers as given: the command is where a typo that no
# rate can have (a negative rate, an infinite exponent) is caught.

def _number(text, allow_inf=False):
    try:
        v = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a number") from None
    if math.isnan(v) or (math.isinf(v) and not (allow_inf and v > 0)):
        raise argparse.ArgumentTypeError(f"'{text}' is not a finite number")
    return v


def _positive(text):
    v = _number(text)
    if not v > 0:
        raise argparse.ArgumentTypeError(f"'{text}' is not positive")
    return v


def _ceiling(text):
    """A Michaelis-Menten ceiling: positive, inf for none."""
    v = _number(text, allow_inf=True)
    if not v > 0:
        raise argparse.ArgumentTypeError(f"'{text}' is not positive (inf: no ceiling)")
    return v


def _positive_floats(text):
    values = _floats(text)
    if min(values) <= 0:
        raise argparse.ArgumentTypeError(f"'{text}' needs positive numbers")
    return values


def _non_negative_floats(text):
    values = _floats(text)
    if min(values) < 0:
        raise argparse.ArgumentTypeError(f"'{text}' needs numbers that are not negative")
    return values


def _count(text, minimum=0):
    try:
        n = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a whole number")
    if n < minimum:
        raise argparse.ArgumentTypeError(f"'{text}' is below {minimum}")
    return n


def _positive_count(text):
    return _count(text, 1)


def _mode_list(text):
    """--mode: one mode, a comma-separated list of modes, or all of them ("all")."""
    try:
        mode_names(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    return text


def mode_names(text):
    """The modes that --mode names, in the order given (every mode for "all")."""
    if text == "all":
        return list(modes.NAMES)
    names = [n.strip() for n in text.split(",")]
    for n in names:
        modes.get(n)
    if len(set(names)) != len(names):
        raise ValueError(f"'{text}' names a mode twice")
    return names


def _level(text):
    try:
        v = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a number")
    if not 0.0 < v < 1.0:
        raise argparse.ArgumentTypeError(f"'{text}' is not between 0 and 1")
    return v


def _add_table_options(p, drift=False):
    g = p.add_argument_group("reads table")
    g.add_argument("--density-column", default=readers.DENSITY_COLUMN, metavar="NAME",
                   help="column of the read's CpG density (default %(default)s)")
    g.add_argument("--methylation-column", default=readers.METHYLATION_COLUMN, metavar="NAME",
                   help="column of the read's methylated fraction, 0 to 1 (default %(default)s)")
    g.add_argument("--percent", action="store_true",
                   help="the methylation column holds percentages, 0 to 100: divide by 100")
    if drift:
        g.add_argument("--age-column", default=readers.AGE_COLUMN, metavar="NAME",
                       help="column of the read's age (default %(default)s)")
    d = g.add_mutually_exclusive_group()
    d.add_argument("--density-edges", type=_floats, metavar="E0,E1,...",
                   help="density bin edges, comma-separated; bin j is [Ej, Ej+1), the last closed")
    d.add_argument("--density-quantiles", type=_positive_count, metavar="N",
                   help=f"N density bins of equal read counts (default {pp.DEFAULT_DENSITY_QUANTILES})")
    m = g.add_mutually_exclusive_group()
    m.add_argument("--meth-bins", type=_positive_count, default=None, metavar="N",
                   help="N equal methylation bins over [0, 1] (default: one bin per site "
                        "count, 71 bins, whose edges lie midway between the fractions m/70; "
                        "coarser bins approximate the starting distribution)"
                   if drift else "N equal methylation bins over [0, 1] (default 10)")
    m.add_argument("--meth-edges", type=_floats, metavar="E0,E1,...",
                   help="methylation bin edges within [0, 1], comma-separated")


def _add_model_options(p):
    g = p.add_argument_group("model")
    g.add_argument("--normalize-stw", action=argparse.BooleanOptionalAction, default=True,
                   help="St is StE and StW is 1 (default); with --no-normalize-stw St is StW and "
                        "StE is 1")
    g.add_argument("--raw-count", action="store_true",
                   help="cooperative drives on raw site counts instead of fractions")
    g.add_argument("--vmax", type=_ceiling, default=math.inf, metavar="V",
                   help="Michaelis-Menten ceiling of the cooperative drives (default inf: none)")


def _add_out_options(p, level=True):
    p.add_argument("--out", required=True, metavar="DIR", help="output folder")
    p.add_argument("--force", action="store_true",
                   help="write into a non-empty output folder, replacing korvel's files there")
    p.add_argument("--no-plots", action="store_true", help="write no plots (no matplotlib needed)")
    p.add_argument("--seed", type=lambda t: _count(t, 0), default=0, metavar="S",
                   help="seed of the bootstrap resampling (default %(default)s)")
    if level:
        p.add_argument("--level", type=_level, default=0.95,
                       help="confidence level of the intervals (default %(default)s)")
    p.add_argument("--threads", type=_positive_count, metavar="N",
                   help="worker threads (sets KORVEL_NUM_THREADS; default: every logical CPU)")
    p.add_argument("--quiet", action="store_true",
                   help="print nothing but errors (warnings are kept in run.json and the tables)")


def build_parser():
    parser = argparse.ArgumentParser(
        prog="korvel",
        description="Fit a stochastic model of CpG methylation to reads tables.",
        epilog="Exit codes: 0 success, 1 a failure inside korvel, 2 bad input or options "
               "(nothing written), 130 interrupted.")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    s = sub.add_parser(
        "simulate", help="write a reads table simulated from chosen parameters",
        description="Simulate reads by exact Gillespie simulation of the 70-site process: each "
                    "region starts from a random state and runs for a burn-in of --burn-in "
                    "relaxation times (default 20) before it is read; a read's methylated "
                    "fraction is m/70. Density bin d's reads get CpG densities uniform in "
                    "[d, d+1). --st, --cow, --coe, --n-u, --n-m take one value or one per "
                    "density bin, comma-separated.")
    s.add_argument("--out", required=True, metavar="FILE",
                   help="reads table to write: CSV when the name ends in .csv, else TSV; "
                        "gzip-compressed when it ends in .gz")
    s.add_argument("--st", required=True, type=_positive_floats,
                   help="free spontaneous rate St")
    s.add_argument("--cow", required=True, type=_non_negative_floats,
                   help="cooperative writing coefficient")
    s.add_argument("--coe", required=True, type=_non_negative_floats,
                   help="cooperative erasing coefficient")
    s.add_argument("--n-u", type=_positive_floats, default=[2.0], help="exponent n_U (default 2)")
    s.add_argument("--n-m", type=_positive_floats, default=[2.0], help="exponent n_M (default 2)")
    s.add_argument("--densities", type=_positive_count,
                   help="number of density bins (default: the longest parameter list)")
    s.add_argument("--reads-per-density", type=_positive_count, default=1000, metavar="N",
                   help="reads (regions) per density bin (default %(default)s)")
    s.add_argument("--seed", type=lambda t: _count(t, 0), default=0, metavar="S",
                   help="random seed (default %(default)s)")
    s.add_argument("--burn-in", type=_positive, default=simulate.BURN_IN_RELAXATIONS, metavar="K",
                   help="burn-in in relaxation times of the chain (default %(default)s)")
    s.add_argument("--quiet", action="store_true", help="no progress messages")
    _add_model_options(s)
    s.set_defaults(func=cmd_simulate)

    f = sub.add_parser(
        "fit", help="fit a reads (or counts) table in one of the fitting modes",
        description="Fit observed methylation-bin fractions per CpG-density bin and write DIR/"
                    "results.tsv, DIR/bootstrap.tsv (with --bootstrap), DIR/profiles/ (with "
                    "--profile), DIR/run.json and DIR/plots/*.png.")
    f.add_argument("input", metavar="READS",
                   help="reads table (TSV/CSV, optionally gzipped; - reads the standard input)")
    f.add_argument("--counts", action="store_true",
                   help="READS is a counts table: density_lo, density_hi, then one read-count "
                        "column per methylation bin in bin order")
    f.add_argument("--mode", required=True, type=_mode_list, metavar="MODE",
                   help="; ".join(f"{m.name}: {m.summary}" for m in modes.REGISTRY.values())
                   + ". Several modes, comma-separated, or all: each into DIR/MODE/, "
                     "compared in DIR (as korvel compare)")
    f.add_argument("--bootstrap", type=lambda t: _count(t, 0), default=0, metavar="N",
                   help="N bootstrap resamples for percentile intervals (default 0)")
    f.add_argument("--profile", action="store_true",
                   help="likelihood-ratio intervals from profiles of every fitted parameter "
                        "(modes " + ", ".join(modes.names(lambda m: m.profileable)) + "), "
                        "every other parameter refitted at each grid point, the shared ones "
                        "and the other bins included. "
                        "Profile NLL = each bin's NLL per read times its reads (its likelihood "
                        "weight), the likelihood of a multinomial of binned reads")
    f.add_argument("--gof-bootstrap", type=lambda t: _count(t, 0), default=0, metavar="N",
                   help="p-values of the goodness of fit from N data sets drawn from the "
                        "fitted model and refitted (default 0: the chi-square approximation); "
                        "chunked and resumable like --bootstrap")
    f.add_argument("--profile-points", type=lambda t: _count(t, 3),
                   default=DEFAULT_PROFILE_POINTS, metavar="N",
                   help="profile grid points (default %(default)s)")
    f.add_argument("--profile-span", type=_positive, default=DEFAULT_PROFILE_SPAN, metavar="DECADES",
                   help="the first profile grid reaches this many decades either side of "
                        "the estimate; a profile that has not risen enough there is reached "
                        "further, a decade at a time, up to the bounds (default %(default)s)")
    b = f.add_argument_group("fit")
    b.add_argument("--st-bounds", type=_positive_pair, default=(1e-3, 10.0), metavar="LO,HI",
                   help="bounds of St (default 0.001,10)")
    b.add_argument("--co-bounds", type=_positive_pair, default=(1e-3, 1e3), metavar="LO,HI",
                   help="bounds of CoW and CoE (default 0.001,1000)")
    b.add_argument("--exp-bounds", type=_positive_pair, default=(1.0, 4.0), metavar="LO,HI",
                   help="bounds of n_U and n_M where fitted (default 1,4)")
    b.add_argument("--vmax-bounds", type=_positive_pair, default=(1e-3, 1e6), metavar="LO,HI",
                   help="bounds of a fitted Vmax (default 0.001,1000000)")
    b.add_argument("--fit-vmax", action="store_true",
                   help="fit one shared Vmax (modes shared-exp and shared-st-exp)")
    b.add_argument("--penalty", type=_number, default=0.0, metavar="W",
                   help="penalty on the coefficients: W>0 adds W*(CoW+CoE), W<0 adds "
                        "|W|*(log10 CoW + log10 CoE) (default 0)")
    b.add_argument("--weights", type=_floats, metavar="W1,W2,...",
                   help="relative weights of the density bins in the shared modes (default: "
                        "1 each). Each bin's NLL per read is weighted by its reads times its "
                        "weight, rescaled so that the weighted reads add up to the reads, so "
                        "with the default the fit is the reads' maximum-likelihood estimate; "
                        "only the ratios count (10,10 is 1,1). Fit, bootstrap and profiles "
                        "use the same weighted likelihood")
    b.add_argument("--n-u", type=_positive, default=2.0,
                   help="fixed n_U where not fitted (default 2)")
    b.add_argument("--n-m", type=_positive, default=2.0,
                   help="fixed n_M where not fitted (default 2)")
    _add_model_options(f)
    _add_table_options(f)
    _add_out_options(f)
    f.add_argument("--verbose", action="store_true",
                   help="the optimiser's trace of the shared-exp and shared-co fits on the "
                        "standard error stream")
    r = f.add_argument_group("long runs")
    r.add_argument("--chunk-resamples", type=_positive_count,
                   default=chunks.DEFAULT_CHUNK_RESAMPLES, metavar="K",
                   help="resamples per bootstrap chunk, each kept in DIR/chunks/ when done "
                        "(default %(default)s); in the independent mode the rows depend on it")
    r.add_argument("--scheduler", metavar="ADDRESS",
                   help="run the bootstrap chunks on the Dask scheduler at ADDRESS, or on a "
                        "local cluster of N worker processes with local:N (needs "
                        "pip install 'korvel[dask]')")
    r.add_argument("--resume", action="store_true",
                   help="continue an interrupted run in DIR from its finished chunks; refused "
                        "(exit 2) when the input or an option that changes results differs")
    f.set_defaults(func=cmd_fit)

    c = sub.add_parser(
        "compare", help="compare fits of one input in several modes",
        description="Read finished fit folders of the same input (the same SHA-256, "
                    "methylation edges, density bins and weights, else exit 2) and write "
                    "DIR/comparison.tsv (per mode: free parameters, the reads' NLL, AIC, BIC, "
                    "Akaike weights), DIR/nested.tsv (likelihood-ratio test of each nested "
                    "pair), DIR/run.json and DIR/plots/comparison.png.")
    c.add_argument("folders", nargs="+", metavar="FIT_DIR", help="folders of korvel fit")
    c.add_argument("--lrt-bootstrap", type=lambda t: _count(t, 0), default=0, metavar="N",
                   help="parametric-bootstrap p-value of each nested pair from N data sets "
                        "drawn from the smaller model's fit, refitted in both modes")
    c.add_argument("--chunk-resamples", type=_positive_count,
                   default=chunks.DEFAULT_CHUNK_RESAMPLES, metavar="K",
                   help="draws per chunk of --lrt-bootstrap (default %(default)s)")
    _add_out_options(c, level=False)
    c.set_defaults(func=cmd_compare)

    d = sub.add_parser(
        "drift", help="fit the drift model (spontaneous writing and erasing over ages)",
        description="The reads of the youngest age form the starting distribution, the others "
                    "the observations; fits StE and StW, searched on a log scale and keyed "
                    "by --seed, so that a run repeats exactly. Writes DIR/drift.tsv, "
                    "DIR/drift_predicted.tsv, DIR/drift_bootstrap.tsv (with --bootstrap), "
                    "DIR/run.json and DIR/plots/drift.png.")
    d.add_argument("input", metavar="READS",
                   help="reads table with an age column (- reads the standard input)")
    d.add_argument("--density-bin", type=lambda t: _count(t, 0), metavar="K",
                   help="use only density bin K (0-based) of the density binning; default: "
                        "reads pooled over density")
    d.add_argument("--st-bounds", type=_positive_pair, default=(1e-4, 1.0), metavar="LO,HI",
                   help="bounds of StE and StW, per unit of age, both positive: the rates are "
                        "searched on a log scale (default 0.0001,1)")
    d.add_argument("--bootstrap", type=lambda t: _count(t, 0), default=0, metavar="N",
                   help="N resamples of the reads within each age (default 0)")
    d.add_argument("--profile", action="store_true",
                   help="likelihood-ratio intervals of StE and StW from full profiles (the "
                        "other rate refitted at every point) of the reads' NLL; with "
                        "--bootstrap too, drift.tsv's _lo/_hi hold these and the bootstrap's "
                        "move to _boot_lo/_boot_hi")
    d.add_argument("--profile-points", type=lambda t: _count(t, 3),
                   default=DEFAULT_PROFILE_POINTS, metavar="N",
                   help="profile grid points (default %(default)s)")
    d.add_argument("--profile-span", type=_positive, default=DEFAULT_PROFILE_SPAN,
                   metavar="DECADES", help="the first profile grid's reach either side of the "
                                           "estimate (default %(default)s)")
    _add_table_options(d, drift=True)
    _add_out_options(d)
    d.set_defaults(func=cmd_drift)

    ph = sub.add_parser(
        "phase", help="draw the phase diagram over (log10 CoW, log10 CoE)",
        description="Bistability and mean methylation of the stationary distribution over a "
                    "grid of cooperative coefficients; with --results each fitted density bin "
                    "is marked on the map of its own St and exponents. Give a negative range "
                    "as --range=-1,2.")
    ph.add_argument("--out", required=True, metavar="FILE.png", help="PNG to write")
    ph.add_argument("--st", type=_positive, help="St of the diagram (default 1; with --results "
                                                  "each bin's fitted St, and a different --st is "
                                                  "refused)")
    ph.add_argument("--grid", type=lambda t: _count(t, 2), default=61, metavar="N",
                    help="grid points per axis (default %(default)s)")
    ph.add_argument("--range", type=_pair, default=(-1.0, 2.0), metavar="LO,HI",
                    help="range of log10 CoW and log10 CoE (default -1,2)")
    ph.add_argument("--results", metavar="results.tsv",
                    help="a results table of korvel fit: each density bin is marked on the "
                         "map of its own fitted St, exponents and Vmax (one map per distinct "
                         "set), with the model options of the run.json beside it; options "
                         "that contradict them are refused (exit 2)")
    ph.add_argument("--n-u", type=_positive, help="exponent n_U (default 2)")
    ph.add_argument("--n-m", type=_positive, help="exponent n_M (default 2)")
    ph.add_argument("--quiet", action="store_true", help="no progress messages")
    _add_model_options(ph)
    # None: not given, so that a value from --results is not mistaken for a request.
    ph.set_defaults(func=cmd_phase, normalize_stw=None, raw_count=None, vmax=None)
    _add_extract_parser(sub)
    return parser


# ------------------------------------------------------------ shared steps

def _meth_edges(args):
    if args.meth_edges is not None:
        return pp.check_edges(args.meth_edges, "meth_edges", 0.0, 1.0)
    return pp.meth_edges(args.meth_bins or 10)


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
    folder.write_text(provenance.RUN_JSON, provenance.run_json_text(record))
    folder.unlink(provenance.RUNNING_JSON)
    removed = folder.finish()
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


def load_binned(args):
    """Reads and bins the input of korvel fit: (binned data, what was read); raises
    InputError or ValueError on bad input."""
    edges = _meth_edges(args)
    if args.counts:
        if args.density_edges is not None or args.density_quantiles is not None:
            raise UsageError("a counts table brings its own density bins: drop "
                             "--density-edges/--density-quantiles")
        if args.percent:
            raise UsageError("--percent applies to a reads table, not to a counts table")
        table = readers.read_counts(args.input, edges.size - 1)
        return pp.from_counts(table, edges), table.source
    # Binned as it is read: the reads themselves are never all held.
    source = {}
    blocks = readers.scan_reads(args.input, args.density_column, args.methylation_column,
                                percent=args.percent, source=source)
    return pp.bin_read_blocks(blocks, str(args.input), args.density_column, edges,
                              args.density_edges, args.density_quantiles), source


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


def write_reads(path, density, meth, age=None):
    """Writes a reads table with the default column names: commas when the name ends in .csv
    (or .csv.gz), tabs otherwise; gzip-compressed when it ends in .gz."""
    cols = [density, meth] + ([age] if age is not None else [])
    names = [readers.DENSITY_COLUMN, readers.METHYLATION_COLUMN] + (
        [readers.AGE_COLUMN] if age is not None else [])
    sep = provenance.separator(path)
    rows = np.column_stack(cols).astype(np.float64)

    def write(f):
        pieces = itertools.chain([(sep.join(names) + "\n").encode()],
                                 (readers.format_rows(rows[i:i + WRITE_ROWS], sep)
                                  for i in range(0, len(rows), WRITE_ROWS)))
        if str(path).endswith(".gz"):
            pieces = provenance.gzip_stream(pieces)
        for piece in pieces:
            f.write(piece)

    provenance.write_file(path, write)


# ------------------------------------------------------------ fit

def fit_settings(args):
    return tl.FitSettings(
        mode=args.mode, normalize_stw=args.normalize_stw, st_bounds=args.st_bounds,
        co_bounds=args.co_bounds, exp_bounds=args.exp_bounds, vmax_bounds=args.vmax_bounds,
        fit_vmax=args.fit_vmax, co_penalty=args.penalty,
        weights=None if args.weights is None else tuple(args.weights),
        n_u=args.n_u, n_m=args.n_m, raw_count=args.raw_count, vmax=args.vmax)


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
        settings = fit_settings(args)
        _need_plots(args)
        data, source = load_binned(args) if loaded is None else loaded
        if args.weights is not None and len(args.weights) != data.n_densities:
            raise UsageError(f"--weights gives {len(args.weights)} weights for "
                             f"{data.n_densities} density bins")
        settings = dataclasses.replace(settings, n_reads=tuple(data.n_reads))
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
    names = ["results.tsv", provenance.RUN_JSON, provenance.RUNNING_JSON]
    if args.bootstrap:
        names += ["bootstrap.tsv", f"{chunks.CHUNK_DIR}/{chunks.MANIFEST}"]
    if args.gof_bootstrap:
        names.append(f"{GOF_CHUNK_DIR}/{chunks.MANIFEST}")
    profiled = tl.profiled_parameters(settings) if args.profile else ()
    names += [f"profiles/{n}.tsv" for n in (*profiled, "intervals")] if profiled else []
    if not args.no_plots:
        # Checked before the fit like every other file, so that a refusal writes nothing.
        names += ["plots/fractions.png", "plots/parameters.png"]
        names += [f"plots/bootstrap_{n}.png" for n in modes.get(settings.mode).shared
                  if args.bootstrap]
        names += [f"plots/profile_{n}.png" for n in profiled]
    with _output_folder(args, names) as folder:
        if args.resume:
            refusal = chunks.resume_refusal(folder, record)
            if refusal:
                raise UsageError(refusal)
        folder.check_writable(provenance.SUBFOLDERS)  # before the fit, not after it
        return fit_into(folder, args, data, settings, record)


def fit_into(folder, args, data, settings, record):
    """The fit, its bootstrap and profiles, and every file of the run, into the locked folder."""
    _note(args, f"{data.n_densities} density bins, {int(data.n_reads.sum())} reads"
                + (f" ({data.n_dropped} outside the bins left out)" if data.n_dropped else "")
                + f"; fitting in mode {args.mode}")

    result = tl.fit(data.fractions, data.meth_edges, settings, verbose=args.verbose,
                    progress=_progress(args))
    boot_rows, profs, profile_note = None, [], None
    if args.bootstrap:
        _note(args, f"bootstrap: {args.bootstrap} resamples in chunks of {args.chunk_resamples}"
                    + (f" on {args.scheduler}" if args.scheduler else ""))
        try:
            boot_rows = run_bootstrap(args, data, settings, result, folder, record)
        except chunks.Interrupted as exc:
            print(f"korvel fit: {exc}; to continue, run the same command with --resume",
                  file=sys.stderr)
            return EXIT_INTERRUPTED
    if args.profile:
        profile_note = tl.profile_refusal(settings.mode)
        if profile_note is None:
            _note(args, "profiles of " + ", ".join(tl.profiled_parameters(settings)))
            profs = tl.profiles(data.fractions, data.meth_edges, result, data.n_reads,
                                args.level, args.profile_points, args.profile_span,
                                progress=_progress(args))
        else:
            _warn(args, profile_note)
    intervals = tl.intervals(result, boot_rows, profs, args.bootstrap, args.level)
    boot_ivs = tl.bootstrap_intervals(result, boot_rows, args.bootstrap, args.level)

    boot = (tl.bootstrap_parameters(boot_rows, settings, args.bootstrap, data.n_densities)
            if boot_rows is not None else None)
    try:
        fit_quality = goodness_of_fit(args, data, result, folder, record)
    except chunks.Interrupted as exc:
        print(f"korvel fit: goodness-of-fit draws {exc}; to continue, run the same command "
              "with --resume", file=sys.stderr)
        return EXIT_INTERRUPTED
    flagged = flags.flag_estimates(result, boot=boot, intervals=intervals, profiles=profs,
                                   level=args.level, boot_intervals=boot_ivs)
    flagged += gof.poor_fit_flags(fit_quality)

    write_results(folder, "results.tsv", data, result, intervals, flagged, boot_ivs,
                  fit_quality)
    if boot_rows is not None:
        folder.write_tsv("bootstrap.tsv", modes.get(settings.mode).bootstrap_columns,
                         [[int(v) if i < 2 else v for i, v in enumerate(r)] for r in boot_rows])
    open_ends = write_profiles(folder, profs, args.level) if profs else []
    for item in open_ends:
        _warn(args, f"the {args.level:g} interval of {item['parameter']} "
                    f"({item['density_bin']}) is open at the {item['side']} grid end "
                    f"{item['grid_end']:.4g}: no bound there")
    if not args.no_plots:
        plot_fit(folder, data, result, settings, boot_rows, intervals, profs, args, flagged,
                 boot_ivs, fit_quality)
    record.update(
        mode=settings.mode, n_densities=data.n_densities,
        density_edges=list(data.density_lo) + [data.density_hi[-1]],
        meth_edges=data.meth_edges, n_reads=data.n_reads, n_reads_left_out=data.n_dropped,
        module_calls=result.calls + ([modes.get(settings.mode).bootstrap_function] if boot_rows
                                     is not None else [])
        + (list(modes.get(settings.mode).profile_functions) if profs else []),
        warm_start=tl.warm_start(result) if boot_rows is not None else None,
        vmax_used=result.vmax_used, likelihood_weights=settings.weights_array(),
        intervals={name: method for name, (method, _) in intervals.items()},
        bootstrap_interval_columns=sorted(_beside(intervals, boot_ivs)),
        open_interval_ends=open_ends, profile_note=profile_note,
        flags=[{"parameter": f.parameter, "density_idx": f.density_idx, "flag": f.word,
                "reason": f.reason} for f in flagged],
        profiles=profile_record(profs),
        reproducible=reproducibility(settings, intervals, profs),
        goodness_of_fit=gof_record(fit_quality, args), status="finished")
    if boot_rows is not None:
        record.update(chunk_resamples=args.chunk_resamples,
                      bootstrap_rows=chunks.reproducibility(settings.mode, args.chunk_resamples))
    _finish(args, folder, record)
    report_flags(args, flagged)
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


def run_bootstrap(args, data, settings, result, folder, record):
    """Seeded resamples of the reads, refitted by the mode's bootstrap function: its rows.

    The resamples run in chunks, each kept in DIR/chunks/ when done, here or
    on a Dask cluster (--scheduler). Once the chunks' checks have passed, the
    run's record is written as unfinished, beside any finished run.json.
    """
    rows = pp.bootstrap_fracs(data.counts, args.bootstrap, args.seed)
    boot = (rows, args.bootstrap, data.n_densities, data.meth_edges, settings,
            tl.warm_start(result))
    with _chunked(args, folder, record, chunks.CHUNK_DIR) as kw:
        return chunks.run_bootstrap(*boot, **kw)


@contextlib.contextmanager
def _chunked(args, folder, record, subfolder, resume=None):
    """The keywords of chunks.run_bootstrap for a chunked stage of a run: its chunks kept in
    DIR/``subfolder``, progress, resume, and the Dask client of --scheduler. Once the
    chunks' checks have passed, the run's record is written as unfinished."""
    def started():
        folder.write_text(provenance.RUNNING_JSON, provenance.run_json_text(
            dict(record, status="running"), finished=False))

    kw = dict(chunk_resamples=args.chunk_resamples, progress=_progress(args),
              checkpoint_dir=folder.sub(subfolder),
              resume=args.resume if resume is None else resume,
              report=lambda text: _warn(args, text), on_start=started)
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


GOF_CHUNK_DIR = "gof_chunks"


def goodness_of_fit(args, data, result, folder, record):
    """Each density bin's goodness of fit; with --gof-bootstrap N its p-values from N data
    sets drawn from the fit, in chunks kept in DIR/gof_chunks/."""
    if not args.gof_bootstrap:
        return gof.goodness_of_fit(data.counts, data.meth_edges, result)
    mode = modes.get(result.settings.mode)
    resume = args.resume
    if resume and not mode.seeded:
        # The draws come from the fit, which is not reproducible in this mode: the
        # interrupted run's chunks were drawn from another fit.
        _warn(args, f"the goodness-of-fit draws start afresh: {mode.unseeded_because}, so "
                    "they are drawn from another fit than the interrupted run's")
        resume = False
    _note(args, f"goodness of fit: {args.gof_bootstrap} data sets drawn from the fit, in "
                f"chunks of {args.chunk_resamples}")
    with _chunked(args, folder, record, GOF_CHUNK_DIR, resume) as kw:
        return gof.goodness_of_fit(data.counts, data.meth_edges, result, args.gof_bootstrap,
                                   args.seed, **kw)


def gof_record(fit_quality, args):
    """run.json's account of the goodness of fit."""
    return {"p_value": fit_quality.method, "draws": fit_quality.n_draws,
            "p_chi2": fit_quality.p_chi2, "poor_fit_below": gof.POOR_FIT_P,
            "df": "methylation bins holding a site count - 1 - the parameters fitted per "
                  "density bin - the shared parameters / density bins"}


def _beside(intervals, boot_ivs):
    """The parameters whose bootstrap intervals are not the ones shown (a profile's are)."""
    from .pl import bootstrap_beside

    return bootstrap_beside(intervals, boot_ivs)


def write_results(folder, filename, data, result, intervals, flagged=(), boot_ivs=None,
                  fit_quality=None):
    """results.tsv: one row per density bin, each parameter followed by its interval (the
    profile's where there is one) and, where that is a profile's, the bootstrap's as
    <name>_boot_lo/_boot_hi; then the NLL, the goodness of fit (gof.GoodnessOfFit) and the
    bin's flags (empty when none)."""
    names = list(result.params)
    beside = _beside(intervals, boot_ivs or {})
    header = ["density_lo", "density_hi", "n_reads"]
    for name in names:
        header += [name] + ([f"{name}_lo", f"{name}_hi"] if name in intervals else [])
        header += [f"{name}_boot_lo", f"{name}_boot_hi"] if name in beside else []
    header += ["nll"] + (["gof_deviance", "gof_df", "gof_p"] if fit_quality else []) + ["flags"]
    table = []
    for d in range(data.n_densities):
        row = [data.density_lo[d], data.density_hi[d], int(data.n_reads[d])]
        for name in names:
            row.append(result.params[name][d])
            for ivs, there in ((intervals, name in intervals), (boot_ivs, name in beside)):
                if there:
                    row += [ivs[name][1][d].lo, ivs[name][1][d].hi]
        row.append(result.nll[d])
        if fit_quality:
            row += [fit_quality.deviance[d], fit_quality.df[d], fit_quality.p[d]]
        row.append(flags.words_of(flagged, d))
        table.append(row)
    folder.write_tsv(filename, header, table)


def reproducibility(settings, intervals, profs):
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


def profile_record(profs):
    """run.json's account of the profiles: which kind each parameter's intervals are."""
    if not profs:
        return None
    held = {}
    for p in profs:
        held.setdefault(p.parameter, list(p.conditional_on))
    return {name: ({"kind": "conditional", "conditional_on": h} if h else
                   {"kind": "full", "conditional_on": []}) for name, h in held.items()}


def write_profiles(folder, profs, level):
    """profiles/<parameter>.tsv curves and profiles/intervals.tsv; returns the open interval ends."""
    open_ends, ivrows = [], []
    for name in dict.fromkeys(p.parameter for p in profs):
        rows = []
        for p in (p for p in profs if p.parameter == name):
            label = "all" if p.density_idx is None else p.density_idx
            rows += [[label, x, y] for x, y in zip(p.grid, p.nll)]
            iv = p.interval
            ivrows.append([name, label, p.estimate, iv.lo, iv.hi, str(iv.lo_open).lower(),
                           str(iv.hi_open).lower(), level, ",".join(p.conditional_on)])
            for side, is_open, end in (("lower", iv.lo_open, p.grid.min()),
                                       ("upper", iv.hi_open, p.grid.max())):
                if is_open:
                    open_ends.append({"parameter": name, "density_bin": label, "side": side,
                                      "grid_end": float(end)})
        if rows:
            folder.write_tsv(f"profiles/{name}.tsv", ["density_idx", name, "nll_reads"], rows)
    folder.write_tsv("profiles/intervals.tsv",
                         ["parameter", "density_idx", "estimate", "lo", "hi", "lo_open",
                          "hi_open", "level", "conditional_on"], ivrows)
    return open_ends


def _save_plot(folder, name, fig):
    from . import pl

    folder.write_with(f"plots/{name}", lambda f: pl.save(fig, f))


def plot_fit(folder, data, result, settings, boot_rows, intervals, profs, args, flagged=(),
             boot_ivs=None, fit_quality=None):
    from . import pl

    figures = pl.fit_figures(data, result, settings, args.level, boot_rows=boot_rows,
                             n_bootstrap=args.bootstrap, intervals=intervals, profiles=profs,
                             flagged=flagged, boot_ivs=boot_ivs, fit_quality=fit_quality)
    for name, fig in figures.items():
        _save_plot(folder, name, fig)


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
        edges = (pp.site_count_edges() if args.meth_bins is None and args.meth_edges is None
                 else _meth_edges(args))
        columns = (args.input, args.density_column, args.methylation_column, args.age_column)
        dens, source = None, {}
        if args.density_bin is not None and args.density_edges is None:
            # Quantiles of the densities need all of them: the reads are held.
            reads = readers.read_reads(*columns, percent=args.percent)
            dens = pp.density_edges(reads.density, None, args.density_quantiles)
            data, source = pp.drift_data(reads, edges, dens, args.density_bin), reads.source
        else:  # counted as read
            blocks = readers.scan_reads(*columns, percent=args.percent, source=source)
            data = pp.drift_read_blocks(blocks, str(args.input), args.age_column, edges,
                                        args.density_edges, args.density_bin)
            if args.density_bin is not None:
                dens = pp.density_edges(None, args.density_edges)
        if args.profile and tl.drift_profile_refusal():
            raise UsageError(tl.drift_profile_refusal())
    except (InputError, ValueError) as exc:
        raise _usage(args, exc) from None
    _set_threads(args)
    record = provenance.run_record("drift", sys.argv, _options(args), [source],
                                   seed=args.seed)
    names = [provenance.RUN_JSON, "drift.tsv", "drift_predicted.tsv", "drift_bootstrap.tsv"]
    names += [] if args.no_plots else ["plots/drift.png"]
    with _output_folder(args, names) as folder:
        folder.check_writable(provenance.SUBFOLDERS)
        return drift_into(folder, args, data, edges, dens, record)


def drift_into(folder, args, data, edges, dens, record):
    """The drift fit and every file of the run, into the locked folder."""
    _note(args, f"{data.ages.size} ages (reference age {data.ages[0]:g}), "
                f"{int(data.counts.sum())} reads")
    shared = pp.states_per_bin(edges)
    if np.any(shared > 1):
        _warn(args, f"{int(np.sum(shared > 1))} of the {shared.size} methylation bins hold more "
                    "than one site count: the starting distribution is approximated by "
                    "spreading each bin's reads evenly over its site counts, which can bias "
                    "StE and StW; the default (one bin per site count) does not")
    res = tl.drift_fit(data, args.st_bounds, args.bootstrap, args.seed, args.level,
                       progress=_progress(args), profile=args.profile,
                       points=args.profile_points, span=args.profile_span)
    flagged = flags.flag_drift(res, args.st_bounds, level=args.level)
    folder.write_tsv("drift.tsv", *tl.drift_table(res, data, flagged))
    folder.write_tsv("drift_predicted.tsv", *tl.drift_predictions(res, data))
    if res.boot is not None:
        folder.write_tsv("drift_bootstrap.tsv", ["boot_idx", "ste", "stw", "nll"],
                         [[b] + list(r) for b, r in enumerate(res.boot)])
    if not args.no_plots:
        from . import pl

        fig = pl.drift_figure(res, data, edges, args.level, args.age_column, args.bootstrap)
        _save_plot(folder, "drift.png", fig)
    record.update(
        ages=data.ages, reference_age=data.ages[0], meth_edges=edges,
        meth_bins={"n_bins": int(edges.size - 1),
                   "one_per_site_count": bool(np.all(shared == 1)),
                   "bins_with_several_site_counts": int(np.sum(shared > 1)),
                   "starting_distribution": "exact" if np.all(shared <= 1) else
                   "approximated: each bin's reads spread evenly over its site counts"},
        density_bin=args.density_bin, density_edges=dens,
        module_calls=["py_fit_drift_one_log", "py_drift_predict"]
        + (["py_profile_drift_log"] if res.profiles else []),
        intervals={name: tl.PROFILE if res.profiles else tl.PERCENTILE
                   for name in res.intervals},
        flags=[{"parameter": f.parameter, "flag": f.word, "reason": f.reason}
               for f in flagged],
        reproducible={"results": True, "why": "the fit's search is keyed by --seed, each "
                      "bootstrap refit by its resample index, and the resamples are drawn "
                      "with --seed"})
    _finish(args, folder, record)
    report_flags(args, flagged)
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

def _add_extract_parser(sub):
    from . import extract

    e = sub.add_parser(
        "extract", help="write a reads table from BAM/CRAM files or per-CpG tables",
        description="A unit (one row) is a read, mates of a pair merged and a CpG covered by "
                    "both counted once; with --window-cpgs K each run of K consecutive CpG "
                    "calls along a read; from a per-CpG table (bedMethyl, or chrom, start, "
                    "end, percent, methylated, unmethylated) each run of K consecutive CpGs "
                    f"(K = {extract.DEFAULT_TABLE_CPGS} by default). meth_fraction = methylated "
                    "CpG calls / CpG calls of the unit; n_cpg = its calls. cpg_density = CpG "
                    "dinucleotides of --reference per 100 bp of the unit's reference span (or "
                    "of --density-window BP centred on it); without a reference, the unit's "
                    "own called CpG sites per 100 bp of its span, which misses CpGs without a "
                    "call. Also writes TABLE.json beside the table.")
    e.add_argument("inputs", nargs="+", metavar="INPUT",
                   help="BAM/CRAM with XM (bisulfite) or MM/ML (modified bases) tags, or a "
                        "per-CpG table, plain or gzipped")
    e.add_argument("--out", required=True, metavar="TABLE",
                   help="reads table to write: CSV when the name ends in .csv, else TSV; "
                        "gzip-compressed when it ends in .gz")
    e.add_argument("--reference", metavar="FASTA", help="indexed reference (.fai) for "
                   "cpg_density (and for CRAM)")
    e.add_argument("--window-cpgs", type=_positive_count, metavar="K",
                   help="units of K consecutive CpG calls along a read (the calls left over "
                        "are left out); for per-CpG tables the region size (default "
                        f"{extract.DEFAULT_TABLE_CPGS})")
    e.add_argument("--min-cpgs", type=_positive_count, default=1, metavar="N",
                   help="leave out (and count) units with fewer CpG calls (default %(default)s)")
    e.add_argument("--density-window", type=_positive_count, metavar="BP",
                   help="cpg_density over BP bases centred on the unit (needs --reference)")
    e.add_argument("--ages", type=_floats, metavar="A1,A2,...",
                   help="one age per input: adds an age column for korvel drift")
    e.add_argument("--min-mapq", type=lambda t: _count(t, 0), default=extract.DEFAULT_MIN_MAPQ,
                   metavar="Q", help="skip reads of lower mapping quality (default "
                   "%(default)s); secondary, supplementary, duplicate and QC-fail reads are "
                   "always skipped")
    e.add_argument("--mod-threshold", type=_number, default=extract.DEFAULT_MOD_THRESHOLD,
                   metavar="P", help="MM/ML: a call is methylated when its probability ((ML + "
                   "0.5) / 256) is at least P, unmethylated when at most 1 - P, else left out "
                   "(default %(default)s)")
    e.add_argument("--hydroxy", choices=extract.HYDROXY, default="unmethylated",
                   help="how C+h (5hmC) calls and bedMethyl's other-modification counts count "
                        "(default %(default)s)")
    e.add_argument("--min-coverage", type=_positive_count, default=extract.DEFAULT_MIN_COVERAGE,
                   metavar="N", help="per-CpG tables: leave out CpGs with fewer calls "
                   "(default %(default)s)")
    g = e.add_mutually_exclusive_group()
    g.add_argument("--region", metavar="CHR:START-END", help="only this region (1-based, "
                   "inclusive; the BAM needs an index); a unit belongs to the region its "
                   "leftmost base lies in")
    g.add_argument("--regions", metavar="BED", help="only these regions (overlaps merged)")
    e.add_argument("--threads", type=_positive_count, default=1, metavar="N",
                   help="processes over contigs or regions of indexed BAMs (the command's own "
                        "and N - 1 workers); the table is the same bytes for any N (default "
                        "%(default)s)")
    e.add_argument("--quiet", action="store_true", help="print nothing but errors")
    e.set_defaults(func=cmd_extract)


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

def main(argv=None):
    """Runs the korvel command; returns the exit code."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # --help (0) or bad options (2): argparse has said why
        return exc.code
    try:
        return args.func(args)
    except UsageError as exc:
        print(f"korvel {args.command}: error: {exc}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        print(f"korvel {args.command}: interrupted", file=sys.stderr)
        if tl.calls_left_running():
            # A module call given up on Ctrl+C computes on: end the process now rather
            # than have the interpreter's shutdown wait on it or pull it down midway.
            sys.stdout.flush()
            sys.stderr.flush()
            os._exit(EXIT_INTERRUPTED)
        return EXIT_INTERRUPTED
    except (Exception, korvel.InternalError) as exc:
        print(f"korvel {args.command}: failed: {type(exc).__name__}: {exc}", file=sys.stderr)
        return EXIT_FAILURE
